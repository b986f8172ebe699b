#pragma once

#include "App/Platform/DesktopServices.h"

#include <QColor>
#include <QLabel>
#include <QString>

#include <memory>
#include <string>
#include <string_view>

class QWidget;

namespace Parlindo {

inline QString qtText(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

// The texts of the windows mark bold runs with "**" pairs; this turns such a text into rich text.
QString richText(const QString& text);

// A label that wraps: plain, or with "**" runs in bold; `secondary` draws it in the dimmer text colour.
QLabel* makeLabel(const QString& text, bool secondary = false, QWidget* parent = nullptr);

// Status colours: green for granted or ready, orange for missing, red for a destructive control.
inline const QColor greenColor(52, 199, 89);
inline const QColor orangeColor(255, 149, 0);
inline const QColor redColor(255, 59, 48);

// Opens an address the windows offer. The permission and keyboard addresses have no settings pane to open
// on a Linux desktop: for those the application explains in a message where the setting lives. Anything
// else goes to the desktop's handler.
class SettingsOpener {
public:
    explicit SettingsOpener(std::shared_ptr<DesktopServices> desktop)
        : desktop_(std::move(desktop)) {}
    virtual ~SettingsOpener() = default;

    virtual void open(const std::string& address, QWidget* parent);

    // The help shown for one of the application's own settings addresses; empty for any other address.
    static QString helpFor(const std::string& address);

    // The keyboard settings the setup window offers.
    static constexpr std::string_view keyboardSettingsURL =
        "x-apple.systempreferences:com.apple.Keyboard-Settings.extension";

private:
    std::shared_ptr<DesktopServices> desktop_;
};

} // namespace Parlindo
