#pragma once

#include "App/AppModel.h"
#include "App/Qt/ModelObserver.h"
#include "App/Qt/WidgetSupport.h"
#include "System/Pasteboard/Pasteboard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

namespace Parlindo {

// One dictation key of the General tab: its key, the engine that will transcribe its language, its language
// and a button that removes it.
class HotkeyBindingRow : public QWidget {
public:
    HotkeyBindingRow(AppModel& model, const TessarinCore::HotkeyBinding& binding, QWidget* parent = nullptr);

    QComboBox& keyPicker() { return *keyPicker_; }
    QComboBox& languagePicker() { return *languagePicker_; }
    QToolButton& removeButton() { return *removeButton_; }
    // Absent when no registered engine transcribes the row's language.
    QLabel* engineLabel() { return engineLabel_; }

private:
    void write(TessarinCore::HotkeyBinding changed);

    AppModel& model_;
    TessarinCore::HotkeyBinding binding_;
    QComboBox* keyPicker_;
    QLabel* engineLabel_ = nullptr;
    QComboBox* languagePicker_;
    QToolButton* removeButton_;
};

// The General tab: the dictation keys and their languages, the keywords, how text is inserted, and opening at
// login. Every control writes the model at once; the model saves.
class GeneralSettingsView : public QWidget {
public:
    GeneralSettingsView(std::shared_ptr<AppModel> model, std::shared_ptr<SettingsOpener> opener,
                        QWidget* parent = nullptr);

    void refresh();

    std::vector<HotkeyBindingRow*> rows() const { return rows_; }
    QToolButton& addKeyButton() { return *addKey_; }
    QLabel& fnFooter() { return *fnFooter_; }
    QPlainTextEdit& keywordsField() { return *keywords_; }
    QLabel& recognizedLabel() { return *recognized_; }
    QWidget& recognizedRow() { return *recognizedRow_; }
    QComboBox& insertionPicker() { return *insertion_; }
    QCheckBox& restoreClipboardToggle() { return *restoreClipboard_; }
    QCheckBox& trailingSpaceToggle() { return *trailingSpace_; }
    QCheckBox& openAtLoginToggle() { return *openAtLogin_; }
    QWidget& loginApprovalRow() { return *loginApprovalRow_; }
    QLabel& notSavedNote() { return *notSaved_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* makeKeysSection();
    QWidget* makeKeywordsSection();
    QWidget* makeInsertingSection();
    QWidget* makeStartupSection();
    void rebuildRows();

    std::shared_ptr<AppModel> model_;
    std::shared_ptr<SettingsOpener> opener_;
    QVBoxLayout* rowsLayout_ = nullptr;
    std::vector<HotkeyBindingRow*> rows_;
    // What the rows were built from: rebuilt only when it changes, so a control keeps its focus otherwise.
    std::vector<std::pair<TessarinCore::HotkeyBinding, std::optional<std::string>>> rowsBuiltFrom_;
    std::vector<TessarinCore::Hotkey> unusedBuiltFrom_;
    QToolButton* addKey_ = nullptr;
    QLabel* fnFooter_ = nullptr;
    QPlainTextEdit* keywords_ = nullptr;
    QWidget* recognizedRow_ = nullptr;
    QLabel* recognized_ = nullptr;
    QComboBox* insertion_ = nullptr;
    QCheckBox* restoreClipboard_ = nullptr;
    QCheckBox* trailingSpace_ = nullptr;
    QCheckBox* openAtLogin_ = nullptr;
    QWidget* loginApprovalRow_ = nullptr;
    QLabel* notSaved_ = nullptr;
    std::unique_ptr<ModelObserver> observer_;
};

// The About tab: the version and update state, this computer's cloud account, the privacy note, the support
// line and the links to the privacy and terms pages. Each time it is shown it reads the cloud account again.
class AboutSettingsView : public QWidget {
public:
    // The maker's addresses.
    static constexpr std::string_view supportEmail = "support@parlindo.invalid";
    static constexpr std::string_view privacyPolicyURL = "https://parlindo.invalid/privacy";
    static constexpr std::string_view termsOfUseURL = "https://parlindo.invalid/terms";

    AboutSettingsView(std::shared_ptr<AppModel> model, System::Concurrency::Executor& mainActor,
                      std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard,
                      std::shared_ptr<DesktopServices> desktop, QWidget* parent = nullptr);
    ~AboutSettingsView() override;

    void refresh();

    QLabel& versionLabel() { return *version_; }
    QLabel& updatesLabel() { return *updates_; }
    QPushButton& updateButton() { return *update_; }
    QPushButton& checkNowButton() { return *checkNow_; }
    QLabel& supportIDLabel() { return *supportID_; }
    QPushButton& copyButton() { return *copy_; }
    QLabel& accountTitle() { return *accountTitle_; }
    QLabel& accountValue() { return *accountValue_; }
    QLabel& privacyLink() { return *privacy_; }
    QLabel& termsLink() { return *terms_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    std::shared_ptr<AppModel> model_;
    System::Concurrency::Executor& mainActor_;
    std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard_;
    std::shared_ptr<DesktopServices> desktop_;
    QLabel* version_ = nullptr;
    QLabel* updates_ = nullptr;
    QPushButton* update_ = nullptr;
    QPushButton* checkNow_ = nullptr;
    QLabel* supportID_ = nullptr;
    QPushButton* copy_ = nullptr;
    QLabel* accountTitle_ = nullptr;
    QLabel* accountValue_ = nullptr;
    QLabel* privacy_ = nullptr;
    QLabel* terms_ = nullptr;
    std::optional<System::Concurrency::TaskHandle<void>> refreshTask_;
    std::unique_ptr<ModelObserver> observer_;
};

// The settings window: the General and About tabs.
class SettingsWindow : public QWidget {
public:
    SettingsWindow(std::shared_ptr<AppModel> model, System::Concurrency::Executor& mainActor,
                   std::shared_ptr<SettingsOpener> opener,
                   std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard,
                   std::shared_ptr<DesktopServices> desktop, QWidget* parent = nullptr);

    QTabWidget& tabs() { return *tabs_; }
    GeneralSettingsView& general() { return *general_; }
    AboutSettingsView& about() { return *about_; }

private:
    QTabWidget* tabs_;
    GeneralSettingsView* general_;
    AboutSettingsView* about_;
};

} // namespace Parlindo
