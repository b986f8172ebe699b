#include "App/Qt/SetupWindow.h"

#include "App/Qt/Symbols.h"
#include "TessarinPlatform/System/TCCPermissionService.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace Parlindo {

using namespace TessarinCore;

namespace {

QLabel* makeIcon(Symbol symbol, const QColor& color, int size, QWidget* parent) {
    auto* icon = new QLabel(parent);
    icon->setPixmap(symbolIcon(symbol, color).pixmap(size, size));
    icon->setFixedSize(size, size);
    return icon;
}

QFont titleFont(int pixelSize, bool bold) {
    QFont font;
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

QFrame* makeDivider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// An icon beside a text, as a note.
QWidget* makeNote(Symbol symbol, const QString& text, bool secondary, QWidget* parent) {
    auto* note = new QWidget(parent);
    auto* layout = new QHBoxLayout(note);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(makeIcon(symbol, note->palette().color(QPalette::WindowText), 16, note), 0,
                      Qt::AlignTop);
    layout->addWidget(makeLabel(text, secondary, note), 1);
    return note;
}

// What to do when the session offers no X display with the extension a row needs.
const QString sessionStep = QStringLiteral(
    "1. Log in to an X11 session, or to a Wayland session that runs XWayland. In a Wayland session without "
    "XWayland, Parlindo can't do this.");

} // namespace

PermissionRow::PermissionRow(const QString& title, QWidget* parent)
    : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    mark_ = new QLabel(this);
    mark_->setFixedSize(22, 22);
    layout->addWidget(mark_);
    auto* texts = new QVBoxLayout();
    texts->setSpacing(2);
    title_ = new QLabel(title, this);
    title_->setFont(titleFont(13, true));
    detail_ = makeLabel(QString(), true, this);
    texts->addWidget(title_);
    texts->addWidget(detail_);
    layout->addLayout(texts, 1);
    button_ = new QPushButton(this);
    QObject::connect(button_, &QPushButton::clicked, this, [this] {
        if (action_) {
            action_();
        }
    });
    layout->addWidget(button_);
    setAccessibleName(title);
}

void PermissionRow::setState(const QString& detail, bool isGranted, const QString& actionTitle,
                             std::function<void()> action, bool prominent) {
    granted_ = isGranted;
    mark_->setPixmap(symbolIcon(isGranted ? Symbol::checkmarkCircleFill : Symbol::exclamationCircleFill,
                                isGranted ? greenColor : orangeColor)
                         .pixmap(22, 22));
    detail_->setText(detail);
    button_->setText(actionTitle);
    button_->setVisible(!isGranted);
    QFont font = button_->font();
    font.setBold(prominent);
    button_->setFont(font);
    action_ = std::move(action);
    setAccessibleDescription(isGranted ? QStringLiteral("Working") : QStringLiteral("Not working"));
}

SetupWindow::SetupWindow(std::shared_ptr<AppModel> model, System::Concurrency::Executor& mainActor,
                         std::shared_ptr<SettingsOpener> opener,
                         std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard, QWidget* parent)
    : QDialog(parent)
    , model_(std::move(model))
    , mainActor_(mainActor)
    , opener_(std::move(opener))
    , pasteboard_(std::move(pasteboard)) {
    setWindowTitle(QStringLiteral("Parlindo Setup"));
    setObjectName("setupWindow");
    // The width is fixed; the height is what the wrapped texts need at that width (see fitHeight).
    setFixedWidth(fixedWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(18);

    auto* header = new QVBoxLayout();
    header->setSpacing(4);
    auto* title = new QLabel(QStringLiteral("Set up Parlindo"), this);
    title->setFont(titleFont(22, true));
    header->addWidget(title);
    header->addWidget(makeLabel(QStringLiteral("Hold the dictation key, speak, and release. Parlindo needs "
                                               "three things from this desktop for that."),
                                true, this));
    layout->addLayout(header);

    auto* list = new QFrame(this);
    list->setObjectName("permissionList");
    list->setStyleSheet(
        QStringLiteral("#permissionList { background: palette(alternate-base); border-radius: 10px; }"));
    auto* listLayout = new QVBoxLayout(list);
    listLayout->setContentsMargins(14, 14, 14, 14);
    listLayout->setSpacing(12);
    microphone_ = new PermissionRow(QStringLiteral("Microphone"), list);
    inputMonitoring_ = new PermissionRow(QStringLiteral("Dictation Keys"), list);
    accessibility_ = new PermissionRow(QStringLiteral("Pasting and Typing"), list);
    listLayout->addWidget(microphone_);
    listLayout->addWidget(makeDivider(list));
    listLayout->addWidget(inputMonitoring_);
    listLayout->addWidget(makeDivider(list));
    listLayout->addWidget(accessibility_);
    accessibilityHelp_ = makeAccessibilityHelp();
    accessibilityHelp_->setParent(list);
    listLayout->addWidget(accessibilityHelp_);
    layout->addWidget(list);

    layout->addWidget(makeNote(
        Symbol::globe,
        QStringLiteral(
            "PC keyboards don't report fn, so Parlindo listens to the **Menu key** in its place. While it "
            "is a dictation key, Parlindo keeps it from other apps, so it opens no context menu there."),
        false, this));
    clipboardNote_ = makeNote(
        Symbol::docOnClipboard,
        QStringLiteral(
            "Your clipboard can't be restored after pasting, because this desktop doesn't let Parlindo read "
            "it. Parlindo reads the clipboard through the X display: run it in an X11 session, or under "
            "Wayland through XWayland."),
        true, this);
    layout->addWidget(clipboardNote_);

    ready_ = new QWidget(this);
    auto* readyLayout = new QHBoxLayout(ready_);
    readyLayout->setContentsMargins(0, 0, 0, 0);
    readyLayout->addWidget(makeIcon(Symbol::checkmarkCircleFill, greenColor, 18, ready_));
    readyText_ = new QLabel(ready_);
    readyText_->setFont(titleFont(13, true));
    QPalette green = readyText_->palette();
    green.setColor(QPalette::WindowText, greenColor.darker(120));
    readyText_->setPalette(green);
    readyLayout->addWidget(readyText_, 1);
    layout->addWidget(ready_);
    staleGrantHelp_ = makeStaleGrantHelp();
    layout->addWidget(staleGrantHelp_);

    auto* bottom = new QHBoxLayout();
    keyboardSettings_ = new QPushButton(QStringLiteral("About the Menu Key\u2026"), this);
    QObject::connect(keyboardSettings_, &QPushButton::clicked, this,
                     [this] { opener_->open(std::string(SettingsOpener::keyboardSettingsURL), this); });
    done_ = new QPushButton(QStringLiteral("Done"), this);
    done_->setDefault(true);
    done_->setAutoDefault(true);
    QObject::connect(done_, &QPushButton::clicked, this, [this] { close(); });
    bottom->addWidget(keyboardSettings_);
    bottom->addStretch(1);
    bottom->addWidget(done_);
    layout->addLayout(bottom);

    observer_ = std::make_unique<ModelObserver>(*model_, this, [this] { refresh(); });
    refresh();
}

SetupWindow::~SetupWindow() {
    if (monitor_) {
        monitor_->cancel();
    }
}

QWidget* SetupWindow::makeAccessibilityHelp() {
    auto* help = new QWidget(this);
    auto* layout = new QVBoxLayout(help);
    layout->setContentsMargins(38, 0, 0, 0);
    layout->setSpacing(6);
    for (const QString& line :
         {QStringLiteral("Parlindo presses keys through the X display's XTest extension, and this session "
                         "doesn't offer it. To fix it:"),
          sessionStep,
          QStringLiteral("2. Start Parlindo again. Until then, dictated text is copied for you to paste.")}) {
        layout->addWidget(makeLabel(line, false, help));
    }
    auto* reveal = new QPushButton(QStringLiteral("Show Parlindo in the File Manager"), help);
    reveal->setObjectName("revealButton");
    QObject::connect(reveal, &QPushButton::clicked, this, [this] { model_->revealAppInFinder(); });
    layout->addWidget(reveal, 0, Qt::AlignLeft);
    return help;
}

QWidget* SetupWindow::makeStaleGrantHelp() {
    auto* box = new QFrame(this);
    box->setObjectName("staleGrantHelp");
    box->setStyleSheet(
        QStringLiteral("#staleGrantHelp { background: rgba(255, 149, 0, 31); border-radius: 10px; }"));
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(8);
    auto* heading = new QLabel(QStringLiteral("Parlindo can't see the dictation keys here?"), box);
    heading->setFont(titleFont(13, true));
    layout->addWidget(heading);
    layout->addWidget(makeLabel(
        QStringLiteral("It watches them through the X display's XInput2 extension, and this session "
                       "doesn't offer it:"),
        false, box));
    auto* steps = new QVBoxLayout();
    steps->setSpacing(4);
    for (const QString& line :
         {sessionStep,
          QStringLiteral(
              "2. Click **Relaunch Parlindo**. Once it sees the keys, this window turns green within a "
              "second.")}) {
        steps->addWidget(makeLabel(line, false, box));
    }
    layout->addLayout(steps);
    auto* buttons = new QHBoxLayout();
    auto* open = new QPushButton(QStringLiteral("Learn More\u2026"), box);
    open->setObjectName("openInputMonitoringButton");
    QObject::connect(open, &QPushButton::clicked, this,
                     [this] { openSettings(Permission::inputMonitoring); });
    auto* relaunch = new QPushButton(QStringLiteral("Relaunch Parlindo"), box);
    relaunch->setObjectName("staleRelaunchButton");
    QObject::connect(relaunch, &QPushButton::clicked, this, [this] { model_->relaunch(); });
    buttons->addWidget(open);
    buttons->addWidget(relaunch);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    return box;
}

std::optional<PermissionStatus> SetupWindow::status(Permission permission) {
    const auto& statuses = model_->permissionStatus().get();
    const auto found = statuses.find(permission);
    return found == statuses.end() ? std::nullopt : std::optional(found->second);
}

void SetupWindow::openSettings(Permission permission) {
    opener_->open(TessarinPlatform::TCCPermissionService::settingsURL(permission), this);
}

void SetupWindow::refresh() {
    // There are no settings to open: the button explains what the row needs and how to get it.
    const QString fixTitle = QStringLiteral("How to Fix\u2026");
    const QString recordingDetail =
        QStringLiteral("Records from the sound server's default input, only while you hold the key.");
    const std::optional<PermissionStatus> microphone = status(Permission::microphone);
    if (microphone == PermissionStatus::notDetermined) {
        microphone_->setState(recordingDetail, false, QStringLiteral("Allow\u2026"), [this] {
            System::Concurrency::spawn(mainActor_, model_->requestMicrophone());
        });
    } else {
        microphone_->setState(recordingDetail, microphone == PermissionStatus::granted, fixTitle,
                              [this] { openSettings(Permission::microphone); });
    }

    const QString keys = qtText(model_->hotkeyNames());
    const AppModel::HotkeyStatus hotkeyStatus = model_->hotkeyStatus().get();
    inputMonitoring_->setState(QStringLiteral("Detects when you hold ") + keys +
                                   QStringLiteral(", through the X display's XInput2 extension."),
                               hotkeyStatus == AppModel::HotkeyStatus::listening, fixTitle,
                               [this] { openSettings(Permission::inputMonitoring); });

    const std::optional<PermissionStatus> postEvents = status(Permission::postEvents);
    if (postEvents == PermissionStatus::grantedAfterRelaunch) {
        accessibility_->setState(
            QStringLiteral("Switched on. It applies after Parlindo relaunches."), false,
            QStringLiteral("Relaunch Parlindo"), [this] { model_->relaunch(); }, true);
    } else {
        accessibility_->setState(
            QStringLiteral("Pastes the text into the app you're using, through the X display's XTest "
                           "extension. Without it, text is copied for you to paste."),
            postEvents == PermissionStatus::granted, fixTitle,
            [this] { openSettings(Permission::postEvents); });
    }
    accessibilityHelp_->setVisible(postEvents == PermissionStatus::denied);

    const auto access = pasteboard_->accessBehavior();
    clipboardNote_->setVisible(access == System::Pasteboard::AccessBehavior::ask ||
                               access == System::Pasteboard::AccessBehavior::alwaysDeny);

    const bool ready = model_->isReadyToDictate();
    readyText_->setText(QStringLiteral("All set. Hold ") + keys + QStringLiteral(" and speak."));
    ready_->setVisible(ready);
    staleGrantHelp_->setVisible(!ready && hotkeyStatus == AppModel::HotkeyStatus::needsInputMonitoring);
    fitHeight();
}

void SetupWindow::fitHeight() {
    // A layout left to size the window itself would also shrink its width to what the texts need unwrapped.
    layout()->activate();
    setFixedHeight(heightForWidth(fixedWidth));
}

void SetupWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!isMonitoring()) {
        monitor_ = System::Concurrency::spawn(mainActor_, model_->monitorPermissions());
    }
}

void SetupWindow::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    if (monitor_) {
        monitor_->cancel();
        monitor_.reset();
    }
}

} // namespace Parlindo
