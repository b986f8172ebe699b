#pragma once

#include "AppModelFixture.h"
#include "QtPrinting.h"

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>

#include <memory>
#include <vector>

namespace Parlindo::Testing {

// A window over an application model on fakes: the model's tasks run on the manual executor, the window's
// updates on Qt's event loop; settle() runs both until neither has anything left to do.
class WindowTest : public AppModelTest {
protected:
    void TearDown() override {
        closeWindows();
        AppModelTest::TearDown();
    }
    // Windows hold the model; they go before the model's own teardown.
    virtual void closeWindows() {}

    void settle() {
        for (int round = 0; round < 4; ++round) {
            executor.runUntilIdle();
            QCoreApplication::processEvents();
        }
    }

    // Launches with every permission granted and the dictation keys listening.
    void launchReady() {
        grantAll();
        notFirstRun();
        launch();
        settle();
    }
};

// A menu item's text as the menu draws it: Qt takes "&" as the mark of the mnemonic that follows it (drawn
// underlined, so the mark itself is not shown) and "&&" as one "&".
inline QString shownText(const QString& text) {
    QString shown;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&')) {
            if (++i == text.size()) {
                break;
            }
        }
        shown += text[i];
    }
    return shown;
}

inline QString shownText(const QAction& action) {
    return shownText(action.text());
}

// The texts of every label in a window, in the order the labels were made.
inline QStringList labelTexts(const QWidget& window) {
    QStringList texts;
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        texts.append(label->text());
    }
    return texts;
}

// The visible items of a menu, as they show ("---" for a separator; a section shows its title).
inline std::vector<QString> itemTexts(const QMenu& menu) {
    std::vector<QString> texts;
    for (QAction* action : menu.actions()) {
        if (!action->isVisible()) {
            continue;
        }
        texts.push_back(action->isSeparator() && action->text().isEmpty() ? QStringLiteral("---")
                                                                          : shownText(*action));
    }
    return texts;
}

inline QAction* itemNamed(const QMenu& menu, const QString& objectName) {
    for (QAction* action : menu.actions()) {
        if (action->objectName() == objectName) {
            return action;
        }
    }
    return nullptr;
}

} // namespace Parlindo::Testing
