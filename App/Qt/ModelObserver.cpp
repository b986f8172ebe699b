#include "App/Qt/ModelObserver.h"

#include <QTimer>

namespace Parlindo {

ModelObserver::ModelObserver(AppModel& model, QObject* context, std::function<void()> changed)
    : context_(context)
    , changed_(std::move(changed)) {
    watch(model.hotkeyStatus());
    watch(model.engineStatus());
    watch(model.permissionStatus());
    watch(model.cloudEnginesWithKeys());
    watch(model.cloudKeyHints());
    watch(model.supportID());
    watch(model.cloudMinutesLeft());
    watch(model.cloudBlocked());
    watch(model.update());
    watch(model.loginItemStatus());
    watch(model.settingsNotSaved());
    const auto& coordinator = model.coordinator();
    watch(coordinator->state());
    watch(coordinator->lastResult());
    watch(coordinator->settings());
}

template <class Property>
void ModelObserver::watch(Property property) {
    using Subscription = decltype(property.observe(nullptr));
    subscriptions_.push_back(
        std::make_shared<Subscription>(property.observe([this](const auto&) { schedule(); })));
}

void ModelObserver::schedule() {
    if (pending_) {
        return;
    }
    pending_ = true;
    QTimer::singleShot(0, context_, [this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.expired()) {
            return;
        }
        pending_ = false;
        changed_();
    });
}

} // namespace Parlindo
