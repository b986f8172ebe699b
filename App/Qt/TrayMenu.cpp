#include "App/Qt/TrayMenu.h"

#include "App/KeyNames.h"
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
    build();
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
            [](const auto&) -> std::optional<QString> { return std::nullopt; },
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

QString TrayMenu::itemText(const QString& value) {
    QString escaped = value;
    return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QAction* TrayMenu::addItem(const char* name, const QString& value) {
    QAction* action = menu_->addAction(itemText(value));
    action->setObjectName(name);
    return action;
}

void TrayMenu::build() {
    update_ = addItem("updateItem");
    QObject::connect(update_, &QAction::triggered, menu_.get(), [this] {
        if (auto* updater = model_->updater()) {
            updater->checkForUpdates();
        } else {
            model_->openDownloadPage();
        }
    });
    updateSeparator_ = menu_->addSeparator();

    status_ = addItem("statusLabel");
    status_->setEnabled(false);
    preview_ = addItem("lastTranscriptLabel");
    preview_->setEnabled(false);

    menu_->addSection(itemText(QStringLiteral("Keys")));
    keysEnd_ = menu_->addSeparator();

    setup_ = addItem("setupItem");
    QObject::connect(setup_, &QAction::triggered, menu_.get(), [this] { host_.openSetup(); });

    QAction* settings = addItem("settingsItem", QStringLiteral("Settings\u2026"));
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    QObject::connect(settings, &QAction::triggered, menu_.get(), [this] { host_.openSettings(); });

    check_ = addItem("checkForUpdatesItem", QStringLiteral("Check for Updates\u2026"));
    QObject::connect(check_, &QAction::triggered, menu_.get(), [this] {
        if (auto* updater = model_->updater()) {
            updater->checkForUpdates();
        }
    });

    paste_ = addItem("pasteItem", QStringLiteral("Paste Last Transcript"));
    QObject::connect(paste_, &QAction::triggered, menu_.get(),
                     [this] { System::Concurrency::spawn(mainActor_, model_->pasteLastTranscript()); });
    copy_ = addItem("copyItem", QStringLiteral("Copy Last Transcript"));
    QObject::connect(copy_, &QAction::triggered, menu_.get(), [this] { model_->copyLastTranscript(); });

    menu_->addSeparator();
    QAction* quit = addItem("quitItem", QStringLiteral("Quit Parlindo"));
    quit->setShortcut(QKeySequence::Quit);
    QObject::connect(quit, &QAction::triggered, menu_.get(), [this] { host_.quit(); });
}

void TrayMenu::rebuild() {
    AppModel& model = *model_;
    const std::optional<DictationResult>& lastResult = model.coordinator()->lastResult().get();

    // Qt leaves an unchanged text, visibility or state alone, so the open menu does not flicker.
    const std::optional<QString> title = menuTitle(model.update().get());
    update_->setText(itemText(title.value_or(QString())));
    update_->setVisible(title.has_value());
    update_->setEnabled(model.canInstallUpdate());
    updateSeparator_->setVisible(title.has_value());

    status_->setText(itemText(text(model.statusText())));
    preview_->setText(itemText(lastResult ? transcriptPreview(lastResult->text) : QString()));
    preview_->setVisible(lastResult.has_value());

    updateKeyPickers();

    setup_->setText(itemText(model.needsSetup() ? QStringLiteral("\u26A0\uFE0E Finish Setup\u2026")
                                                : QStringLiteral("Setup & Permissions\u2026")));
    check_->setVisible(model.updater() != nullptr);
    paste_->setEnabled(lastResult.has_value());
    copy_->setEnabled(lastResult.has_value());

    trayIcon_->setIcon(icon(model.statusImage()));
}

void TrayMenu::updateKeyPickers() {
    const std::vector<HotkeyBinding> bindings = model_->bindings();
    bool sameKeys = bindings.size() == pickers_.size();
    for (std::size_t i = 0; sameKeys && i < bindings.size(); ++i) {
        sameKeys = bindings[i].id() == pickers_[i].keyCode;
    }
    if (!sameKeys) {
        // Another set of keys: the old pickers go, with their options and action groups.
        for (const KeyPicker& picker : pickers_) {
            delete picker.menu;
        }
        pickers_.clear();
        for (const HotkeyBinding& binding : bindings) {
            pickers_.push_back(makeKeyPicker(binding.id()));
        }
    }
    for (std::size_t i = 0; i < bindings.size(); ++i) {
        const HotkeyBinding& binding = bindings[i];
        KeyPicker& picker = pickers_[i];
        picker.menu->setTitle(itemText(text(keyName(binding.hotkey)) + QStringLiteral(": ") +
                                       text(shortName(binding.language))));
        const auto& languages = allCases<DictationLanguage>();
        for (std::size_t option = 0; option < languages.size(); ++option) {
            picker.options[option]->setChecked(languages[option] == binding.language);
        }
    }
}

TrayMenu::KeyPicker TrayMenu::makeKeyPicker(std::uint16_t keyCode) {
    KeyPicker picker{keyCode, new QMenu(menu_.get()), {}};
    picker.menu->setObjectName(QStringLiteral("keyPicker%1").arg(keyCode));
    menu_->insertMenu(keysEnd_, picker.menu);
    auto* group = new QActionGroup(picker.menu);
    group->setExclusive(true);
    for (const DictationLanguage language : allCases<DictationLanguage>()) {
        QAction* option = picker.menu->addAction(itemText(text(displayName(language))));
        option->setCheckable(true);
        group->addAction(option);
        picker.options.push_back(option);
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
    return picker;
}

} // namespace Parlindo
