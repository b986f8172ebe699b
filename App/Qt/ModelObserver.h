#pragma once

#include "App/AppModel.h"

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

namespace Parlindo {

// Tells a window when anything it may show has changed: any observed field of the application model or the
// coordinator's state, last result or settings. Changes that come together (one command often changes
// several fields) are told once, from Qt's event loop, so a window never rebuilds itself in the middle of
// one of its own actions.
class ModelObserver {
public:
    ModelObserver(AppModel& model, QObject* context, std::function<void()> changed);
    ModelObserver(const ModelObserver&) = delete;
    ModelObserver& operator=(const ModelObserver&) = delete;

private:
    template <class Property>
    void watch(Property property);
    void schedule();

    QObject* context_;
    std::function<void()> changed_;
    bool pending_ = false;
    std::vector<std::shared_ptr<void>> subscriptions_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace Parlindo
