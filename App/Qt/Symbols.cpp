#include "App/Qt/Symbols.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <array>

namespace Parlindo {

namespace {

// Every symbol is drawn on a 24 × 24 grid, scaled to the box.
constexpr double grid = 24.0;

QPen strokePen(const QColor& color, double width) {
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

void drawMicrophone(QPainter& p, const QColor& color, bool filled) {
    p.setPen(strokePen(color, 1.8));
    p.setBrush(filled ? QBrush(color) : Qt::NoBrush);
    p.drawRoundedRect(QRectF(8.5, 2.5, 7, 12), 3.5, 3.5);
    p.setBrush(Qt::NoBrush);
    QPainterPath cup;
    cup.moveTo(5, 11);
    cup.cubicTo(5, 15.5, 8, 18, 12, 18);
    cup.cubicTo(16, 18, 19, 15.5, 19, 11);
    p.drawPath(cup);
    p.drawLine(QPointF(12, 18), QPointF(12, 21.5));
    p.drawLine(QPointF(8.5, 21.5), QPointF(15.5, 21.5));
}

void drawWaveform(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 2.0));
    constexpr std::array<double, 7> heights{4, 9, 14, 18, 12, 7, 4};
    for (std::size_t i = 0; i < heights.size(); ++i) {
        const double x = 3.0 + 3.0 * static_cast<double>(i);
        p.drawLine(QPointF(x, 12 - heights[i] / 2), QPointF(x, 12 + heights[i] / 2));
    }
}

void drawSlash(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 2.0));
    p.drawLine(QPointF(3.5, 3.5), QPointF(20.5, 20.5));
}

void drawTriangle(QPainter& p, const QColor& color, bool filled) {
    QPainterPath triangle;
    triangle.moveTo(12, 2.5);
    triangle.lineTo(22, 20.5);
    triangle.lineTo(2, 20.5);
    triangle.closeSubpath();
    p.setPen(strokePen(color, 1.8));
    p.setBrush(filled ? QBrush(color) : Qt::NoBrush);
    p.drawPath(triangle);
    // A filled symbol cuts its mark out of the shape; an outline draws it in the symbol's colour.
    const QColor mark = filled ? QColor(0, 0, 0, 200) : color;
    p.setPen(strokePen(mark, 2.2));
    p.drawLine(QPointF(12, 8.5), QPointF(12, 14));
    p.setPen(strokePen(mark, 2.6));
    p.drawPoint(QPointF(12, 17.3));
}

void drawCircle(QPainter& p, const QColor& color) {
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QRectF(2, 2, 20, 20));
}

void drawGlobe(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(3, 3, 18, 18));
    p.drawEllipse(QRectF(8, 3, 8, 18));
    p.drawLine(QPointF(3, 12), QPointF(21, 12));
    p.drawLine(QPointF(4.5, 7.5), QPointF(19.5, 7.5));
    p.drawLine(QPointF(4.5, 16.5), QPointF(19.5, 16.5));
}

void drawClipboard(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(5, 4, 14, 18), 2, 2);
    p.setBrush(color);
    p.drawRoundedRect(QRectF(9, 2.5, 6, 3.5), 1, 1);
    p.drawLine(QPointF(8.5, 11), QPointF(15.5, 11));
    p.drawLine(QPointF(8.5, 15), QPointF(15.5, 15));
}

} // namespace

void drawSymbol(QPainter& painter, Symbol symbol, const QRectF& box, const QColor& color) {
    const double side = std::min(box.width(), box.height());
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(box.center().x() - side / 2, box.center().y() - side / 2);
    painter.scale(side / grid, side / grid);
    const QColor cutOut(255, 255, 255);
    switch (symbol) {
    case Symbol::mic:
        drawMicrophone(painter, color, false);
        break;
    case Symbol::micFill:
        drawMicrophone(painter, color, true);
        break;
    case Symbol::micSlash:
        drawMicrophone(painter, color, false);
        drawSlash(painter, color);
        break;
    case Symbol::waveform:
        drawWaveform(painter, color);
        break;
    case Symbol::waveformSlash:
        drawWaveform(painter, color);
        drawSlash(painter, color);
        break;
    case Symbol::exclamationTriangle:
        drawTriangle(painter, color, false);
        break;
    case Symbol::exclamationTriangleFill:
        drawTriangle(painter, color, true);
        break;
    case Symbol::checkmarkCircleFill: {
        drawCircle(painter, color);
        painter.setPen(strokePen(cutOut, 2.2));
        QPainterPath check;
        check.moveTo(7.5, 12.5);
        check.lineTo(10.8, 15.8);
        check.lineTo(16.8, 8.8);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(check);
        break;
    }
    case Symbol::exclamationCircleFill:
        drawCircle(painter, color);
        painter.setPen(strokePen(cutOut, 2.2));
        painter.drawLine(QPointF(12, 6.5), QPointF(12, 13));
        painter.setPen(strokePen(cutOut, 2.6));
        painter.drawPoint(QPointF(12, 17));
        break;
    case Symbol::minusCircleFill:
        drawCircle(painter, color);
        painter.setPen(strokePen(cutOut, 2.2));
        painter.drawLine(QPointF(7.5, 12), QPointF(16.5, 12));
        break;
    case Symbol::globe:
        drawGlobe(painter, color);
        break;
    case Symbol::docOnClipboard:
        drawClipboard(painter, color);
        break;
    }
    painter.restore();
}

QIcon symbolIcon(Symbol symbol, const QColor& color) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        drawSymbol(painter, symbol, QRectF(0, 0, size, size), color);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace Parlindo
