#pragma once

#include "App/AppModel.h"
#include "App/Qt/ModelObserver.h"
#include "App/Qt/WidgetSupport.h"
#include "System/Pasteboard/Pasteboard.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

namespace Parlindo {

// One permission of the setup window: a green or orange mark, the title and a line of detail, and while
// the permission is missing, the button that helps get it.
class PermissionRow : public QWidget {
public:
    explicit PermissionRow(const QString& title, QWidget* parent = nullptr);

    void setState(const QString& detail, bool isGranted, const QString& actionTitle,
                  std::function<void()> action, bool prominent = false);

    bool isGranted() const { return granted_; }
    QLabel& titleLabel() { return *title_; }
    QLabel& detailLabel() { return *detail_; }
    QPushButton& actionButton() { return *button_; }

private:
    bool granted_ = false;
    QLabel* mark_;
    QLabel* title_;
    QLabel* detail_;
    QPushButton* button_;
    std::function<void()> action_;
};

// The setup window: the three permissions dictation needs with the state and the fitting action of each,
// two notes on desktop settings that get in the way, and whether everything is ready. While it is shown it
// has the model re-read the permissions every second. A dialog, so that Return triggers "Done"; it is never
// modal.
class SetupWindow : public QDialog {
public:
    SetupWindow(std::shared_ptr<AppModel> model, System::Concurrency::Executor& mainActor,
                std::shared_ptr<SettingsOpener> opener,
                std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard, QWidget* parent = nullptr);
    ~SetupWindow() override;

    void refresh();
    // Whether the permission monitor runs (between showing and hiding the window).
    bool isMonitoring() const { return monitor_.has_value() && !monitor_->isDone(); }

    PermissionRow& microphoneRow() { return *microphone_; }
    PermissionRow& inputMonitoringRow() { return *inputMonitoring_; }
    PermissionRow& accessibilityRow() { return *accessibility_; }
    QWidget& accessibilityHelp() { return *accessibilityHelp_; }
    QWidget& clipboardNote() { return *clipboardNote_; }
    QWidget& readyLabel() { return *ready_; }
    QLabel& readyText() { return *readyText_; }
    QWidget& staleGrantHelp() { return *staleGrantHelp_; }
    QPushButton& keyboardSettingsButton() { return *keyboardSettings_; }
    QPushButton& doneButton() { return *done_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    static constexpr int fixedWidth = 480;

    QWidget* makeAccessibilityHelp();
    void fitHeight();
    QWidget* makeStaleGrantHelp();
    std::optional<TessarinCore::PermissionStatus> status(TessarinCore::Permission permission);
    void openSettings(TessarinCore::Permission permission);

    std::shared_ptr<AppModel> model_;
    System::Concurrency::Executor& mainActor_;
    std::shared_ptr<SettingsOpener> opener_;
    std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard_;
    PermissionRow* microphone_ = nullptr;
    PermissionRow* inputMonitoring_ = nullptr;
    PermissionRow* accessibility_ = nullptr;
    QWidget* accessibilityHelp_ = nullptr;
    QWidget* clipboardNote_ = nullptr;
    QWidget* ready_ = nullptr;
    QLabel* readyText_ = nullptr;
    QWidget* staleGrantHelp_ = nullptr;
    QPushButton* keyboardSettings_ = nullptr;
    QPushButton* done_ = nullptr;
    std::optional<System::Concurrency::TaskHandle<void>> monitor_;
    std::unique_ptr<ModelObserver> observer_;
};

} // namespace Parlindo
