#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>

class QPainter;

namespace Parlindo {

// The small pictures the windows, the overlay and the tray icon show, drawn as vectors so they are sharp at
// every size and need no image files or icon theme.
enum class Symbol {
    mic,
    micSlash,
    micFill,
    waveform,
    waveformSlash,
    exclamationTriangle,
    exclamationTriangleFill,
    checkmarkCircleFill,
    exclamationCircleFill,
    minusCircleFill,
    globe,
    docOnClipboard,
};

// Draws `symbol` into `box` (kept square, centred) in `color`.
void drawSymbol(QPainter& painter, Symbol symbol, const QRectF& box, const QColor& color);

// The symbol as an icon of the usual sizes, drawn in `color`.
QIcon symbolIcon(Symbol symbol, const QColor& color);

} // namespace Parlindo
