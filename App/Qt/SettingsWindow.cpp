#include "App/Qt/SettingsWindow.h"

#include "App/KeyNames.h"
#include "App/Qt/Symbols.h"
#include "System/LoginItem/AutostartLoginItem.h"
#include "System/Pasteboard/PasteboardError.h"
#include "TessarinCore/Domain/Overloaded.h"

#include <QAbstractTextDocumentLayout>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLocale>
#include <QMenu>
#include <QScrollArea>
#include <QTextBlock>
#include <QUrl>

namespace Parlindo {

using namespace TessarinCore;

namespace {

// A titled group of controls, with an optional footer of secondary lines under it.
QGroupBox* makeSection(const QString& title, QWidget* parent) {
    auto* section = new QGroupBox(title, parent);
    auto* layout = new QVBoxLayout(section);
    layout->setSpacing(8);
    return section;
}

QVBoxLayout* sectionLayout(QGroupBox* section) {
    return static_cast<QVBoxLayout*>(section->layout());
}

QWidget* makeFooter(const QStringList& lines, QWidget* parent) {
    auto* footer = new QWidget(parent);
    auto* layout = new QVBoxLayout(footer);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    for (const QString& line : lines) {
        layout->addWidget(makeLabel(line, true, footer));
    }
    return footer;
}

QIcon removeIcon(bool enabled) {
    return symbolIcon(Symbol::minusCircleFill, enabled ? redColor : QColor(142, 142, 147));
}

} // namespace

HotkeyBindingRow::HotkeyBindingRow(AppModel& model, const HotkeyBinding& binding, QWidget* parent)
    : QWidget(parent)
    , model_(model)
    , binding_(binding) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    keyPicker_ = new QComboBox(this);
    keyPicker_->setObjectName("keyPicker");
    keyPicker_->setAccessibleName(QStringLiteral("Key"));
    keyPicker_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    std::vector<Hotkey> keys{binding.hotkey};
    const std::vector<Hotkey> unused = model_.unusedHotkeys();
    keys.insert(keys.end(), unused.begin(), unused.end());
    for (const Hotkey& key : keys) {
        keyPicker_->addItem(qtText(keyName(key)), key.keyCode);
    }
    QObject::connect(keyPicker_, &QComboBox::activated, this, [this, keys](int index) {
        HotkeyBinding changed = binding_;
        changed.hotkey = keys.at(static_cast<std::size_t>(index));
        write(changed);
    });
    layout->addWidget(keyPicker_);
    layout->addStretch(1);

    if (const std::optional<std::string> engine = model_.engineLabel(binding.language)) {
        engineLabel_ = makeLabel(qtText(*engine), true, this);
        engineLabel_->setObjectName("engineLabel");
        engineLabel_->setWordWrap(false);
        layout->addWidget(engineLabel_);
    }

    languagePicker_ = new QComboBox(this);
    languagePicker_->setObjectName("languagePicker");
    languagePicker_->setAccessibleName(QStringLiteral("Language"));
    languagePicker_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    for (const DictationLanguage language : allCases<DictationLanguage>()) {
        languagePicker_->addItem(qtText(displayName(language)), static_cast<int>(language));
        if (language == binding.language) {
            languagePicker_->setCurrentIndex(languagePicker_->count() - 1);
        }
    }
    QObject::connect(languagePicker_, &QComboBox::activated, this, [this](int index) {
        HotkeyBinding changed = binding_;
        changed.language = allCases<DictationLanguage>().at(static_cast<std::size_t>(index));
        write(changed);
    });
    layout->addWidget(languagePicker_);

    const bool removable = model_.coordinator()->settings()->bindings().size() >= 2;
    removeButton_ = new QToolButton(this);
    removeButton_->setObjectName("removeButton");
    removeButton_->setAutoRaise(true);
    removeButton_->setIcon(removeIcon(removable));
    removeButton_->setEnabled(removable);
    const QString removeText = QStringLiteral("Remove ") + qtText(keyName(binding.hotkey));
    removeButton_->setToolTip(removeText);
    removeButton_->setAccessibleName(removeText);
    QObject::connect(removeButton_, &QToolButton::clicked, this,
                     [this] { model_.removeHotkey(binding_.hotkey); });
    layout->addWidget(removeButton_);
}

void HotkeyBindingRow::write(HotkeyBinding changed) {
    std::vector<HotkeyBinding> bindings = model_.bindings();
    for (HotkeyBinding& each : bindings) {
        if (each.id() == binding_.id()) {
            each = changed;
        }
    }
    model_.setBindings(std::move(bindings));
}

GeneralSettingsView::GeneralSettingsView(std::shared_ptr<AppModel> model,
                                         std::shared_ptr<SettingsOpener> opener, QWidget* parent)
    : QWidget(parent)
    , model_(std::move(model))
    , opener_(std::move(opener)) {
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(14);
    // Above everything: a change that is not saved is gone at the next start.
    notSaved_ = makeLabel(QString(), false, this);
    notSaved_->setObjectName("notSavedNote");
    notSaved_->setStyleSheet(QStringLiteral("#notSavedNote { color: #b3261e; }"));
    layout->addWidget(notSaved_);
    layout->addWidget(makeKeysSection());
    layout->addWidget(makeKeywordsSection());
    layout->addWidget(makeInsertingSection());
    layout->addWidget(makeStartupSection());
    layout->addStretch(1);
    observer_ = std::make_unique<ModelObserver>(*model_, this, [this] { refresh(); });
    refresh();
}

QWidget* GeneralSettingsView::makeKeysSection() {
    QGroupBox* section = makeSection(QStringLiteral("Push-to-talk keys"), this);
    auto* rows = new QWidget(section);
    rowsLayout_ = new QVBoxLayout(rows);
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    sectionLayout(section)->addWidget(rows);

    auto* addRow = new QHBoxLayout();
    addRow->addStretch(1);
    addKey_ = new QToolButton(section);
    addKey_->setObjectName("addKeyButton");
    addKey_->setText(QStringLiteral("Add Key"));
    addKey_->setPopupMode(QToolButton::InstantPopup);
    addKey_->setMenu(new QMenu(addKey_));
    addRow->addWidget(addKey_);
    sectionLayout(section)->addLayout(addRow);

    QWidget* footer = makeFooter(
        {QStringLiteral("Hold a key, speak, and release. Each key dictates in its own language, so short "
                        "phrases are never detected as the wrong one."),
         QStringLiteral(
             "Pressing another key while holding cancels the dictation, so shortcuts with the right "
             "Alt, Super, Ctrl or Shift key still work.")},
        section);
    fnFooter_ = makeLabel(
        QStringLiteral(
            "Using the **Menu key**: while it is a dictation key, Parlindo keeps it from other apps, so it "
            "opens no context menu and no shortcut with it reaches them."),
        true, footer);
    fnFooter_->setObjectName("fnFooter");
    footer->layout()->addWidget(fnFooter_);
    sectionLayout(section)->addWidget(footer);
    return section;
}

QWidget* GeneralSettingsView::makeKeywordsSection() {
    QGroupBox* section = makeSection(QStringLiteral("Keywords"), this);
    keywords_ = new QPlainTextEdit(section);
    keywords_->setObjectName("keywordsField");
    keywords_->setAccessibleName(QStringLiteral("Keywords"));
    keywords_->setPlaceholderText(QStringLiteral("Android Studio, Cursor, Linux"));
    keywords_->setTabChangesFocus(true);
    // Between two and four lines high: it follows the lines the text takes, whether typed, read from the
    // settings or wrapped anew at another width.
    const int line = keywords_->fontMetrics().lineSpacing();
    const int frame =
        2 * keywords_->frameWidth() + static_cast<int>(2 * keywords_->document()->documentMargin());
    auto fit = [this, line, frame] {
        const int lines = std::clamp(keywords_->document()->lineCount(), 2, 4);
        keywords_->setFixedHeight(lines * line + frame + 4);
    };
    fit();
    QObject::connect(keywords_->document()->documentLayout(),
                     &QAbstractTextDocumentLayout::documentSizeChanged, this, fit);
    QObject::connect(keywords_, &QPlainTextEdit::textChanged, this,
                     [this] { model_->setVocabulary(keywords_->toPlainText().toStdString()); });
    sectionLayout(section)->addWidget(keywords_);

    recognizedRow_ = new QWidget(section);
    recognizedRow_->setObjectName("recognizedRow");
    auto* row = new QHBoxLayout(recognizedRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(new QLabel(QStringLiteral("Recognized"), recognizedRow_));
    recognized_ = makeLabel(QString(), true, recognizedRow_);
    recognized_->setObjectName("recognizedLabel");
    recognized_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addWidget(recognized_, 1);
    sectionLayout(section)->addWidget(recognizedRow_);

    sectionLayout(section)->addWidget(makeFooter(
        {QStringLiteral(
             "Words you want written exactly as you typed them here: app and product names, people, "
             "places, and technical terms."),
         QStringLiteral("Separate them with commas (, or \u060C) or put each one on its own line."),
         QStringLiteral(
             "Tip: add the English words you say inside Arabic sentences, like \u201CAndroid Studio, "
             "install, "
             "meeting\u201D, so they stay in English letters instead of being spelled out in Arabic.")},
        section));
    return section;
}

QWidget* GeneralSettingsView::makeInsertingSection() {
    QGroupBox* section = makeSection(QStringLiteral("Inserting text"), this);
    auto* form = new QFormLayout();
    insertion_ = new QComboBox(section);
    insertion_->setObjectName("insertionPicker");
    for (const InsertionMethod method : allCases<InsertionMethod>()) {
        insertion_->addItem(qtText(methodName(method)), static_cast<int>(method));
    }
    QObject::connect(insertion_, &QComboBox::activated, this, [this](int index) {
        model_->setInsertionMethod(allCases<InsertionMethod>().at(static_cast<std::size_t>(index)));
    });
    form->addRow(QStringLiteral("Insert text by"), insertion_);
    sectionLayout(section)->addLayout(form);

    restoreClipboard_ = new QCheckBox(QStringLiteral("Restore clipboard after pasting"), section);
    restoreClipboard_->setObjectName("restoreClipboardToggle");
    QObject::connect(restoreClipboard_, &QCheckBox::clicked, this,
                     [this](bool on) { model_->setRestoresClipboard(on); });
    sectionLayout(section)->addWidget(restoreClipboard_);

    trailingSpace_ = new QCheckBox(QStringLiteral("Add a space after the text"), section);
    trailingSpace_->setObjectName("trailingSpaceToggle");
    QObject::connect(trailingSpace_, &QCheckBox::clicked, this,
                     [this](bool on) { model_->setAppendsTrailingSpace(on); });
    sectionLayout(section)->addWidget(trailingSpace_);
    return section;
}

QWidget* GeneralSettingsView::makeStartupSection() {
    QGroupBox* section = makeSection(QStringLiteral("Startup"), this);
    openAtLogin_ = new QCheckBox(QStringLiteral("Open Parlindo at login"), section);
    openAtLogin_->setObjectName("openAtLoginToggle");
    QObject::connect(openAtLogin_, &QCheckBox::clicked, this,
                     [this](bool on) { model_->setOpensAtLogin(on); });
    sectionLayout(section)->addWidget(openAtLogin_);

    loginApprovalRow_ = new QWidget(section);
    loginApprovalRow_->setObjectName("loginApprovalRow");
    auto* row = new QHBoxLayout(loginApprovalRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(
        new QLabel(QStringLiteral("Your desktop needs your OK to open Parlindo at login"), loginApprovalRow_),
        1);
    auto* open = new QPushButton(QStringLiteral("Open Autostart Folder"), loginApprovalRow_);
    open->setObjectName("openLoginItemsButton");
    // The login item is an autostart entry: its folder is where the user sees and allows it.
    QObject::connect(open, &QPushButton::clicked, this, [this] {
        const QUrl folder = QUrl::fromLocalFile(
            QString::fromStdString(System::LoginItem::AutostartLoginItem::defaultDirectory().string()));
        opener_->open(folder.toString(QUrl::FullyEncoded).toStdString(), this);
    });
    row->addWidget(open);
    sectionLayout(section)->addWidget(loginApprovalRow_);
    return section;
}

void GeneralSettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    model_->refreshLoginItemStatus();
}

void GeneralSettingsView::rebuildRows() {
    std::vector<std::pair<HotkeyBinding, std::optional<std::string>>> source;
    for (const HotkeyBinding& binding : model_->bindings()) {
        source.emplace_back(binding, model_->engineLabel(binding.language));
    }
    const std::vector<Hotkey> unused = model_->unusedHotkeys();
    if (source == rowsBuiltFrom_ && unused == unusedBuiltFrom_ && !rows_.empty()) {
        return;
    }
    rowsBuiltFrom_ = source;
    unusedBuiltFrom_ = unused;
    for (HotkeyBindingRow* row : rows_) {
        row->hide();
        row->deleteLater();
    }
    rows_.clear();
    for (const auto& [binding, engine] : source) {
        auto* row = new HotkeyBindingRow(*model_, binding, rowsLayout_->parentWidget());
        rowsLayout_->addWidget(row);
        rows_.push_back(row);
    }

    QMenu* menu = addKey_->menu();
    menu->clear();
    for (const Hotkey& hotkey : unused) {
        QAction* add = menu->addAction(qtText(keyName(hotkey)));
        QObject::connect(add, &QAction::triggered, this, [this, hotkey] { model_->addHotkey(hotkey); });
    }
    addKey_->setEnabled(!unused.empty());
}

void GeneralSettingsView::refresh() {
    rebuildRows();
    const DictationSettings& settings = model_->coordinator()->settings().get();

    bool bindsFn = false;
    for (const HotkeyBinding& binding : settings.bindings()) {
        if (binding.hotkey == Hotkey::function()) {
            bindsFn = true;
            break;
        }
    }
    fnFooter_->setVisible(bindsFn);

    const auto& notSaved = model_->settingsNotSaved().get();
    notSaved_->setVisible(notSaved.has_value());
    notSaved_->setText(notSaved ? QStringLiteral("Your changes apply until Parlindo quits, but they can't be "
                                                 "saved, so the next start won't have them: ") +
                                      qtText(*notSaved)
                                : QString());

    const QString vocabulary = qtText(model_->vocabulary());
    if (keywords_->toPlainText() != vocabulary) {
        const QSignalBlocker blocker(keywords_);
        keywords_->setPlainText(vocabulary);
    }
    QStringList keywords;
    for (const std::string& keyword : settings.transcriptionConfig(DictationLanguage::automatic).keywords()) {
        keywords.append(qtText(keyword));
    }
    recognized_->setText(keywords.join(QStringLiteral(" \u00B7 ")));
    recognizedRow_->setVisible(!keywords.isEmpty());

    const QSignalBlocker insertionBlocker(insertion_);
    insertion_->setCurrentIndex(insertion_->findData(static_cast<int>(model_->insertionMethod())));
    restoreClipboard_->setChecked(model_->restoresClipboard());
    trailingSpace_->setChecked(model_->appendsTrailingSpace());
    openAtLogin_->setChecked(model_->opensAtLogin());
    loginApprovalRow_->setVisible(model_->loginItemStatus().get() ==
                                  System::LoginItem::Status::requiresApproval);
}

AboutSettingsView::AboutSettingsView(std::shared_ptr<AppModel> model,
                                     System::Concurrency::Executor& mainActor,
                                     std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard,
                                     std::shared_ptr<DesktopServices> desktop, QWidget* parent)
    : QWidget(parent)
    , model_(std::move(model))
    , mainActor_(mainActor)
    , pasteboard_(std::move(pasteboard))
    , desktop_(std::move(desktop)) {
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(14);

    auto* first = new QGroupBox(this);
    auto* firstForm = new QFormLayout(first);
    version_ = new QLabel(qtText(model_->appVersion()), first);
    version_->setObjectName("versionLabel");
    firstForm->addRow(QStringLiteral("Version"), version_);
    auto* updatesRow = new QHBoxLayout();
    updates_ = new QLabel(first);
    updates_->setObjectName("updatesLabel");
    update_ = new QPushButton(QStringLiteral("Update"), first);
    update_->setObjectName("updateButton");
    QObject::connect(update_, &QPushButton::clicked, this, [this] {
        if (auto* updater = model_->updater()) {
            updater->checkForUpdates();
        } else {
            model_->openDownloadPage();
        }
    });
    checkNow_ = new QPushButton(QStringLiteral("Check Now"), first);
    checkNow_->setObjectName("checkNowButton");
    QObject::connect(checkNow_, &QPushButton::clicked, this, [this] {
        if (auto* updater = model_->updater()) {
            updater->checkForUpdates();
        }
    });
    updatesRow->addWidget(updates_, 1);
    updatesRow->addWidget(update_);
    updatesRow->addWidget(checkNow_);
    firstForm->addRow(QStringLiteral("Updates"), updatesRow);
    layout->addWidget(first);

    auto* cloud = new QGroupBox(QStringLiteral("Parlindo Cloud"), this);
    auto* cloudLayout = new QVBoxLayout(cloud);
    auto* cloudForm = new QFormLayout();
    auto* supportRow = new QHBoxLayout();
    supportID_ = new QLabel(cloud);
    supportID_->setObjectName("supportIDLabel");
    copy_ = new QPushButton(QStringLiteral("Copy"), cloud);
    copy_->setObjectName("copyButton");
    QObject::connect(copy_, &QPushButton::clicked, this, [this] {
        if (const std::optional<std::string> id = model_->supportID().get()) {
            System::Pasteboard::PasteboardItem item;
            item.setString(*id);
            try {
                pasteboard_->setContents({item});
            } catch (const System::Pasteboard::PasteboardError&) {
                // The clipboard keeps what it had; the ID stays on screen to be copied by hand.
            }
        }
    });
    supportRow->addWidget(supportID_, 1);
    supportRow->addWidget(copy_);
    cloudForm->addRow(QStringLiteral("Support ID"), supportRow);
    accountTitle_ = new QLabel(cloud);
    accountTitle_->setObjectName("accountTitle");
    accountValue_ = new QLabel(cloud);
    accountValue_->setObjectName("accountValue");
    cloudForm->addRow(accountTitle_, accountValue_);
    cloudLayout->addLayout(cloudForm);

    QWidget* footer = makeFooter(
        {QStringLiteral(
             "Arabic and Auto-detect dictation goes over an encrypted connection to Parlindo Cloud to be "
             "turned into text. Parlindo keeps neither your audio nor the text."),
         QStringLiteral("Need help? Send your Support ID to ") + qtText(supportEmail) + QStringLiteral(".")},
        cloud);
    auto* links = new QHBoxLayout();
    links->setSpacing(16);
    auto makeLink = [this, footer](const QString& title, std::string_view address) {
        auto* link = new QLabel(
            QStringLiteral("<a href=\"%1\">%2</a>").arg(qtText(address).toHtmlEscaped(), title), footer);
        link->setTextFormat(Qt::RichText);
        QObject::connect(link, &QLabel::linkActivated, this,
                         [this](const QString& href) { desktop_->openURL(href.toStdString()); });
        return link;
    };
    privacy_ = makeLink(QStringLiteral("Privacy Policy"), privacyPolicyURL);
    privacy_->setObjectName("privacyLink");
    terms_ = makeLink(QStringLiteral("Terms of Use"), termsOfUseURL);
    terms_->setObjectName("termsLink");
    links->addWidget(privacy_);
    links->addWidget(terms_);
    links->addStretch(1);
    static_cast<QVBoxLayout*>(footer->layout())->addLayout(links);
    cloudLayout->addWidget(footer);
    layout->addWidget(cloud);
    layout->addStretch(1);

    observer_ = std::make_unique<ModelObserver>(*model_, this, [this] { refresh(); });
    refresh();
}

AboutSettingsView::~AboutSettingsView() {
    if (refreshTask_) {
        refreshTask_->cancel();
    }
}

void AboutSettingsView::refresh() {
    using UpdateStatus = AppModel::UpdateStatus;
    const auto showNewer = [this](const std::string& version) {
        updates_->setText(QStringLiteral("Version ") + qtText(version) + QStringLiteral(" is available"));
        updates_->setForegroundRole(QPalette::WindowText);
        update_->setVisible(model_->canInstallUpdate());
        checkNow_->setVisible(false);
    };
    const auto showNoNewer = [this](const QString& text) {
        updates_->setText(text);
        updates_->setForegroundRole(QPalette::PlaceholderText);
        update_->setVisible(false);
        checkNow_->setVisible(model_->updater() != nullptr);
    };
    std::visit(Overloaded{
                   [&](const UpdateStatus::Available& newer) { showNewer(newer.version); },
                   [&](const UpdateStatus::Required& newer) { showNewer(newer.version); },
                   [&](const UpdateStatus::UpToDate&) { showNoNewer(QStringLiteral("Up to date")); },
                   [&](const UpdateStatus::NotChecked&) { showNoNewer(QStringLiteral("Not checked yet")); },
                   [&](const UpdateStatus::NotSetUp&) { showNoNewer(QStringLiteral("Not set up")); },
               },
               model_->update().get().value);

    if (const std::optional<std::string> id = model_->supportID().get()) {
        supportID_->setText(qtText(*id));
        supportID_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        supportID_->setTextInteractionFlags(Qt::TextSelectableByMouse);
        supportID_->setForegroundRole(QPalette::WindowText);
        copy_->setVisible(true);
    } else {
        supportID_->setText(QStringLiteral("Not assigned yet"));
        supportID_->setFont(font());
        supportID_->setTextInteractionFlags(Qt::NoTextInteraction);
        supportID_->setForegroundRole(QPalette::PlaceholderText);
        copy_->setVisible(false);
    }

    std::optional<std::pair<QString, QString>> account;
    if (model_->cloudBlocked().get()) {
        account = {QStringLiteral("Cloud dictation"), QStringLiteral("Turned off for this computer")};
    } else if (const std::optional<std::int64_t> minutes = model_->cloudMinutesLeft().get()) {
        account = {QStringLiteral("Minutes left this month"),
                   QLocale().toString(static_cast<qlonglong>(*minutes))};
    }
    accountTitle_->setVisible(account.has_value());
    accountValue_->setVisible(account.has_value());
    if (account) {
        accountTitle_->setText(account->first);
        accountValue_->setText(account->second);
    }
}

void AboutSettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (refreshTask_) {
        refreshTask_->cancel();
    }
    refreshTask_ = System::Concurrency::spawn(mainActor_, model_->refreshCloudAccount());
}

void AboutSettingsView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (refreshTask_) {
        refreshTask_->cancel();
        refreshTask_.reset();
    }
}

SettingsWindow::SettingsWindow(std::shared_ptr<AppModel> model, System::Concurrency::Executor& mainActor,
                               std::shared_ptr<SettingsOpener> opener,
                               std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard,
                               std::shared_ptr<DesktopServices> desktop, QWidget* parent)
    : QWidget(parent) {
    setWindowTitle(QStringLiteral("Parlindo Settings"));
    setObjectName("settingsWindow");
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    general_ = new GeneralSettingsView(model, std::move(opener), tabs_);
    about_ = new AboutSettingsView(model, mainActor, std::move(pasteboard), std::move(desktop), tabs_);
    // In a scroll area each tab gets the height its wrapped lines need at the window's width.
    for (const auto& [view, title] : {std::pair<QWidget*, QString>{general_, QStringLiteral("General")},
                                      std::pair<QWidget*, QString>{about_, QStringLiteral("About")}}) {
        auto* scroll = new QScrollArea(tabs_);
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll->setWidget(view);
        tabs_->addTab(scroll, title);
    }
    layout->addWidget(tabs_);
    setFixedWidth(520);
    resize(520, 760);
}

} // namespace Parlindo
