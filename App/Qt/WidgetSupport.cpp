#include "App/Qt/WidgetSupport.h"

#include <QMessageBox>
#include <QPalette>

namespace Parlindo {

QString richText(const QString& text) {
    QString html;
    const QStringList runs = text.split(QStringLiteral("**"));
    for (qsizetype i = 0; i < runs.size(); ++i) {
        // Odd runs lie between a pair of markers.
        html += i % 2 == 1 ? QStringLiteral("<b>") + runs[i].toHtmlEscaped() + QStringLiteral("</b>")
                           : runs[i].toHtmlEscaped();
    }
    return html;
}

QLabel* makeLabel(const QString& text, bool secondary, QWidget* parent) {
    auto* label = new QLabel(parent);
    if (text.contains(QStringLiteral("**"))) {
        label->setTextFormat(Qt::RichText);
        label->setText(richText(text));
    } else {
        label->setTextFormat(Qt::PlainText);
        label->setText(text);
    }
    label->setWordWrap(true);
    if (secondary) {
        label->setForegroundRole(QPalette::PlaceholderText);
    }
    return label;
}

QString SettingsOpener::helpFor(const std::string& address) {
    if (address == keyboardSettingsURL) {
        return QStringLiteral(
            "PC keyboards don't report the fn key to the system, so Parlindo listens to the "
            "Menu key in its place, and keeps it from other applications while it is a dictation key. "
            "To have the Menu key open context menus again, remove it in Parlindo's settings.");
    }
    if (address.rfind("parlindo-settings:privacy", 0) != 0) {
        return {};
    }
    if (address.ends_with("Privacy_Microphone")) {
        return QStringLiteral("Parlindo records from the sound server's default input. Make sure the sound "
                              "server (PulseAudio or PipeWire) runs and that a microphone is connected and "
                              "not muted in your sound settings.");
    }
    if (address.ends_with("Privacy_ListenEvent")) {
        return QStringLiteral(
            "Parlindo sees the dictation keys through the X display's XInput2 extension. Run it in an X11 "
            "session, or in a Wayland session that runs XWayland, where it sees the keys only while an app "
            "that runs through XWayland is in front. A Wayland session without XWayland has no X display, "
            "so Parlindo can't see the keys there.");
    }
    return QStringLiteral(
        "Parlindo pastes and types through the X display's test extension (XTest). Run it in an X11 session, "
        "or in a Wayland session that runs XWayland, where it reaches only apps that run through XWayland. "
        "Until then, dictated text is copied for you to paste.");
}

void SettingsOpener::open(const std::string& address, QWidget* parent) {
    const QString help = helpFor(address);
    if (help.isEmpty()) {
        desktop_->openURL(address);
        return;
    }
    auto* box =
        new QMessageBox(QMessageBox::Information, QStringLiteral("Parlindo"), help, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

} // namespace Parlindo
