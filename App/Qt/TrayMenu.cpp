#include "App/Qt/TrayMenu.h"

#include "App/Qt/Symbols.h"
#include "TessarinCore/Domain/Overloaded.h"

#include <QActionGroup>
#include <QApplication>
#include <QKeySequence>
#include <QPalette>
#include <QTextBoundaryFinder>

#include <map>

namespace Parlindo {

using namespace TessarinCore;

namespace {

constexpr int previewLength = 60;

QString text(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

std::optional<Symbol> symbolNamed(const std::string& name) {
    static const std::map<std::string, Symbol> symbols{
        {"mic", Symbol::mic},
        {"mic.slash", Symbol::micSlash},
        {"mic.fill", Symbol::micFill},
        {"waveform", Symbol::waveform},
        {"exclamationmark.triangle", Symbol::exclamationTriangle},
    };
    const auto found = symbols.find(name);
    return found == symbols.end() ? std::nullopt : std::optional(found->second);
}

} // namespace

TrayMenu::TrayMenu(std::shared_ptr<AppModel> model, System::Concurrency::Executor& mainActor, Host host)
    : model_(std::move(model))
    , mainActor_(mainActor)
    , host_(std::move(host))
    , menu_(std::make_unique<QMenu>())
    , trayIcon_(std::make_unique<QSystemTrayIcon>()) {
    menu_->setObjectName("trayMenu");
    trayIcon_->setContextMenu(menu_.get());
    trayIcon_->setToolTip(QStringLiteral("Parlindo"));
    // A click on the icon opens the same menu as the context click, as a menu-bar extra does.
    QObject::connect(trayIcon_.get(), &QSystemTrayIcon::activated, menu_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger) {
                             menu_->popup(QCursor::pos());
                         }
                     });
    observer_ = std::make_unique<ModelObserver>(*model_, menu_.get(), [this] { rebuild(); });
    rebuild();
}

TrayMenu::~TrayMenu() {
    observer_.reset();
    trayIcon_.reset();
}

std::optional<QString> TrayMenu::menuTitle(const AppModel::UpdateStatus& update) {
    return std::visit(
        Overloaded{
            [](const AppModel::UpdateStatus::Available& available) -> std::optional<QString> {
                return QStringLiteral("New Version Available (") + text(available.version) +
                       QStringLiteral(")\u2026");
            },
            [](const AppModel::UpdateStatus::Required& required) -> std::optional<QString> {
                return QStringLiteral("\u26A0\uFE0E Update Required for Parlindo Cloud (") +
                       text(required.version) + QStringLiteral(")\u2026");
            },
            [](const AppModel::UpdateStatus::UpToDate&) -> std::optional<QString> { return std::nullopt; },
        },
        update.value);
}

QString TrayMenu::transcriptPreview(const std::string& value) {
    const QString full = text(value);
    // Characters as the user sees them: a letter with its accents, or an emoji, counts once.
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, full);
    int count = 0;
    qsizetype cut = -1;
    while (graphemes.toNextBoundary() != -1) {
        if (++count == previewLength) {
            cut = graphemes.position();
            break;
        }
    }
    const bool longer = cut != -1 && cut < full.size();
    return QStringLiteral("\u201C") + (longer ? full.left(cut) : full) +
           (longer ? QStringLiteral("\u2026") : QString()) + QStringLiteral("\u201D");
}

QIcon TrayMenu::icon(const AppModel::StatusImage& image) {
    const std::optional<Symbol> symbol = symbolNamed(image.symbolName);
    if (!symbol) {
        return QIcon();
    }
    const QColor color = image.paletteColor == std::optional<std::string>("systemRed")
                             ? QColor(255, 59, 48)
                             : QApplication::palette().color(QPalette::WindowText);
    return symbolIcon(*symbol, color);
}

void TrayMenu::rebuild() {
    AppModel& model = *model_;
    menu_->clear();
    const std::optional<DictationResult>& lastResult = model.coordinator()->lastResult().get();

    if (const std::optional<QString> title = menuTitle(model.update().get())) {
        QAction* update = menu_->addAction(*title);
        update->setObjectName("updateItem");
        update->setEnabled(model.canInstallUpdate());
        QObject::connect(update, &QAction::triggered, menu_.get(), [this] {
            if (auto* updater = model_->updater()) {
                updater->checkForUpdates();
            } else {
                model_->openDownloadPage();
            }
        });
        menu_->addSeparator();
    }

    QAction* status = menu_->addAction(text(model.statusText()));
    status->setObjectName("statusLabel");
    status->setEnabled(false);

    if (lastResult) {
        QAction* preview = menu_->addAction(transcriptPreview(lastResult->text));
        preview->setObjectName("lastTranscriptLabel");
        preview->setEnabled(false);
    }

    menu_->addSection(QStringLiteral("Keys"));
    addKeyPickers();
    menu_->addSeparator();

    QAction* setup = menu_->addAction(model.needsSetup() ? QStringLiteral("\u26A0\uFE0E Finish Setup\u2026")
                                                         : QStringLiteral("Setup & Permissions\u2026"));
    setup->setObjectName("setupItem");
    QObject::connect(setup, &QAction::triggered, menu_.get(), [this] { host_.openSetup(); });

    QAction* settings = menu_->addAction(QStringLiteral("Settings\u2026"));
    settings->setObjectName("settingsItem");
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    QObject::connect(settings, &QAction::triggered, menu_.get(), [this] { host_.openSettings(); });

    if (model.updater()) {
        QAction* check = menu_->addAction(QStringLiteral("Check for Updates\u2026"));
        check->setObjectName("checkForUpdatesItem");
        QObject::connect(check, &QAction::triggered, menu_.get(), [this] {
            if (auto* updater = model_->updater()) {
                updater->checkForUpdates();
            }
        });
    }

    QAction* paste = menu_->addAction(QStringLiteral("Paste Last Transcript"));
    paste->setObjectName("pasteItem");
    paste->setEnabled(lastResult.has_value());
    QObject::connect(paste, &QAction::triggered, menu_.get(),
                     [this] { System::Concurrency::spawn(mainActor_, model_->pasteLastTranscript()); });

    QAction* copy = menu_->addAction(QStringLiteral("Copy Last Transcript"));
    copy->setObjectName("copyItem");
    copy->setEnabled(lastResult.has_value());
    QObject::connect(copy, &QAction::triggered, menu_.get(), [this] { model_->copyLastTranscript(); });

    menu_->addSeparator();
    QAction* quit = menu_->addAction(QStringLiteral("Quit Parlindo"));
    quit->setObjectName("quitItem");
    quit->setShortcut(QKeySequence::Quit);
    QObject::connect(quit, &QAction::triggered, menu_.get(), [this] { host_.quit(); });

    trayIcon_->setIcon(icon(model.statusImage()));
}

void TrayMenu::addKeyPickers() {
    const std::vector<HotkeyBinding> bindings = model_->bindings();
    for (const HotkeyBinding& binding : bindings) {
        QMenu* picker = menu_->addMenu(text(binding.hotkey.displayName) + QStringLiteral(": ") +
                                       text(shortName(binding.language)));
        picker->setObjectName(QStringLiteral("keyPicker%1").arg(binding.id()));
        auto* group = new QActionGroup(picker);
        group->setExclusive(true);
        for (const DictationLanguage language : allCases<DictationLanguage>()) {
            QAction* option = picker->addAction(text(displayName(language)));
            option->setCheckable(true);
            option->setChecked(language == binding.language);
            group->addAction(option);
            const std::uint16_t keyCode = binding.id();
            QObject::connect(option, &QAction::triggered, menu_.get(), [this, keyCode, language] {
                std::vector<HotkeyBinding> edited = model_->bindings();
                for (HotkeyBinding& each : edited) {
                    if (each.id() == keyCode) {
                        each.language = language;
                    }
                }
                model_->setBindings(std::move(edited));
            });
        }
    }
}

} // namespace Parlindo
