#include "App/Qt/QtUpdateUserDriver.h"

#include "App/Qt/WidgetSupport.h"

#include <QMessageBox>
#include <QPushButton>

#include <memory>

namespace Parlindo {

namespace {

QMessageBox* makeBox(QMessageBox::Icon icon, const QString& title, const QString& text) {
    auto* box = new QMessageBox(icon, QStringLiteral("Parlindo"), title);
    box->setInformativeText(text);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

} // namespace

void QtUpdateUserDriver::showUpdateFound(const TessarinUpdates::AppcastItem& item,
                                         const std::string& currentVersion, bool,
                                         std::function<void(Choice)> reply) {
    QMessageBox* box =
        makeBox(QMessageBox::Information, QStringLiteral("A new version of Parlindo is available."),
                QStringLiteral("Parlindo %1 is available; you have %2. Download it now?")
                    .arg(qtText(item.version), qtText(currentVersion)));
    QPushButton* download = box->addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    box->setDefaultButton(download);
    // The reply is owed exactly once, however the dialog goes away.
    auto pending = std::make_shared<std::function<void(Choice)>>(std::move(reply));
    QObject::connect(box, &QMessageBox::finished, box, [box, download, pending] {
        if (*pending) {
            auto answer = std::exchange(*pending, nullptr);
            answer(box->clickedButton() == download ? Choice::download : Choice::dismiss);
        }
    });
    box->open();
    box->raise();
    box->activateWindow();
}

void QtUpdateUserDriver::showUpToDate(const std::string& currentVersion) {
    QMessageBox* box =
        makeBox(QMessageBox::Information, QStringLiteral("You're up to date!"),
                QStringLiteral("Parlindo %1 is the newest version available.").arg(qtText(currentVersion)));
    box->open();
}

void QtUpdateUserDriver::showUpdateError(const std::string& message) {
    QMessageBox* box =
        makeBox(QMessageBox::Warning, QStringLiteral("Couldn't check for updates."), qtText(message));
    box->open();
}

} // namespace Parlindo
