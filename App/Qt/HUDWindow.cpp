#include "App/Qt/HUDWindow.h"

#include "App/Qt/Symbols.h"
#include "TessarinCore/Domain/Overloaded.h"

#include <QCursor>
#include <QEasingCurve>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTextLayout>

#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace Parlindo {

using Phase = HUDModel::Phase;
using Style = HUDModel::Style;

namespace {

constexpr int horizontalPadding = 14;
constexpr int verticalPadding = 9;
constexpr int minimumPillHeight = 36;
constexpr int bottomSpace = 8;
constexpr int cornerRadius = 18;
constexpr int dotSize = 8;
constexpr int barWidth = 3;
constexpr int barSpacing = 2;
constexpr int barRowHeight = 20;
constexpr int listeningSpacing = 10;
constexpr int transcribingSpacing = 8;
constexpr int messageSpacing = 8;
constexpr int iconSize = 16;
constexpr int spinnerSize = 16;
constexpr int maximumTextLines = 2;
constexpr int dotStepMs = 700;
constexpr int levelAnimationMs = 80;
constexpr int presenceAnimationMs = 260;
const QColor secondaryText(255, 255, 255, 140);

const QString transcribingText = QStringLiteral("Transcribing\u2026");

int barsWidth() {
    const int count = static_cast<int>(HUDModel::levelHistoryLength);
    return count * barWidth + (count - 1) * barSpacing;
}

QString languageLabel(const std::optional<TessarinCore::DictationLanguage>& language) {
    return language ? QString::fromUtf8(TessarinCore::shortName(*language)) : QString();
}

struct StyleLook {
    Symbol symbol;
    QColor color;
};

StyleLook look(Style style) {
    switch (style) {
    case Style::success:
        return {Symbol::checkmarkCircleFill, QColor(48, 209, 88)};
    case Style::info:
        return {Symbol::waveformSlash, secondaryText};
    case Style::warning:
        return {Symbol::exclamationTriangleFill, QColor(255, 214, 10)};
    }
    return {Symbol::waveformSlash, secondaryText};
}

// Without a compositing manager the X server cannot blend the transparent corners of the window with what
// lies below; the window is then cut to the pill's shape instead.
bool askDesktopBlendsWindows() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (QGuiApplication::platformName() != QStringLiteral("xcb") || !x11 || !x11->connection()) {
        return true;
    }
    xcb_connection_t* connection = x11->connection();
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(0);
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.constData()),
        nullptr);
    if (!atom) {
        return false;
    }
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
    const bool blends = owner && owner->owner != XCB_NONE;
    free(owner);
    free(atom);
    return blends;
}

bool desktopBlendsWindows() {
    static const bool blends = askDesktopBlendsWindows();
    return blends;
}

} // namespace

HUDView::HUDView(HUDModel& model, QWidget* parent)
    : QWidget(parent)
    , model_(model) {
    setFixedSize(panelWidth, panelHeight);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(QStringLiteral("Parlindo Overlay"));

    presenceAnimation_.setDuration(presenceAnimationMs);
    QObject::connect(&presenceAnimation_, &QVariantAnimation::valueChanged, this,
                     [this](const QVariant& value) {
                         presence_ = value.toDouble();
                         update();
                     });
    frameTimer_.setInterval(16);
    QObject::connect(&frameTimer_, &QTimer::timeout, this, [this] { animateTick(); });

    levelsTo_ = model_.levels().get();
    levelsFrom_ = levelsTo_;
    levelsClock_.start();
    shownClock_.start();

    phaseSubscription_ = model_.phase().observe([this](const Phase& phase) { phaseChanged(phase); });
    levelsSubscription_ =
        model_.levels().observe([this](const std::vector<float>& levels) { levelsChanged(levels); });
    languageSubscription_ = model_.language().observe([this](const auto&) {
        setAccessibleName(spokenText());
        updateMask();
        update();
    });
    phaseChanged(model_.phase().get());
}

QFont HUDView::pillFont() {
    QFont font;
    font.setPixelSize(13);
    font.setWeight(QFont::Medium);
    return font;
}

QFont HUDView::smallFont(bool semibold) {
    QFont font;
    font.setPixelSize(11);
    font.setWeight(semibold ? QFont::DemiBold : QFont::Normal);
    return font;
}

double HUDView::barHeight(float level) {
    return 17.0 * std::clamp(static_cast<double>(level), 0.0, 1.0) + 3.0;
}

double HUDView::dotOpacity(qint64 elapsedMs) {
    const qint64 step = elapsedMs % (2 * dotStepMs);
    const double progress = static_cast<double>(step % dotStepMs) / dotStepMs;
    const double eased = 0.5 - 0.5 * std::cos(std::numbers::pi * progress); // ease in and out
    const double fading = 1.0 - 0.65 * eased;
    return step < dotStepMs ? fading : 0.35 + 0.65 * eased;
}

QStringList HUDView::wrappedLines(const QString& text, const QFont& font, int width, int maxLines) {
    QStringList lines;
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) {
            break;
        }
        line.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            // The last line allowed takes the rest of the text, cut at its tail.
            const QString rest = text.mid(line.textStart()).simplified();
            lines.append(QFontMetrics(font).elidedText(rest, Qt::ElideRight, width));
            break;
        }
        lines.append(text.mid(line.textStart(), line.textLength()).trimmed());
    }
    layout.endLayout();
    return lines;
}

HUDView::Layout HUDView::layout() const {
    Layout result;
    QSize content;
    std::visit(
        TessarinCore::Overloaded{
            [&](const Phase::Hidden&) {},
            [&](const Phase::Listening&) {
                int width = dotSize + listeningSpacing + barsWidth();
                const QString language = languageLabel(model_.language().get());
                if (!language.isEmpty()) {
                    width += listeningSpacing + QFontMetrics(smallFont(true)).horizontalAdvance(language);
                }
                content = QSize(width, barRowHeight);
            },
            [&](const Phase::Transcribing&) {
                const QFontMetrics metrics(pillFont());
                content =
                    QSize(spinnerSize + transcribingSpacing + metrics.horizontalAdvance(transcribingText),
                          std::max(spinnerSize, metrics.height()));
            },
            [&](const Phase::Message& message) {
                const int columnLimit = maximumRowWidth - iconSize - messageSpacing;
                const QFontMetrics textMetrics(pillFont());
                const QFontMetrics detailMetrics(smallFont(false));
                result.textLines = wrappedLines(QString::fromStdString(message.text), pillFont(), columnLimit,
                                                maximumTextLines);
                if (message.detail) {
                    result.detailLines = wrappedLines(QString::fromStdString(*message.detail),
                                                      smallFont(false), columnLimit, maximumTextLines);
                }
                int column = 0;
                for (const QString& line : result.textLines) {
                    column = std::max(column, textMetrics.horizontalAdvance(line));
                }
                for (const QString& line : result.detailLines) {
                    column = std::max(column, detailMetrics.horizontalAdvance(line));
                }
                int height = static_cast<int>(result.textLines.size()) * textMetrics.lineSpacing();
                if (!result.detailLines.isEmpty()) {
                    height += 2 + static_cast<int>(result.detailLines.size()) * detailMetrics.lineSpacing();
                }
                content = QSize(iconSize + messageSpacing + std::min(column, columnLimit),
                                std::max(height, iconSize));
            },
        },
        drawn_.value);
    if (content.isEmpty()) {
        return result;
    }
    const int pillWidth = content.width() + 2 * horizontalPadding;
    const int pillHeight = std::max(minimumPillHeight, content.height() + 2 * verticalPadding);
    result.pill =
        QRect((panelWidth - pillWidth) / 2, panelHeight - bottomSpace - pillHeight, pillWidth, pillHeight);
    result.content = QRect(QPoint(0, 0), content);
    result.content.moveCenter(result.pill.center());
    return result;
}

QString HUDView::spokenText() const {
    return std::visit(TessarinCore::Overloaded{
                          [](const Phase::Hidden&) { return QString(); },
                          [&](const Phase::Listening&) {
                              const QString language = languageLabel(model_.language().get());
                              return language.isEmpty() ? QStringLiteral("Listening")
                                                        : QStringLiteral("Listening, ") + language;
                          },
                          [](const Phase::Transcribing&) { return transcribingText; },
                          [](const Phase::Message& message) {
                              QString text = QString::fromStdString(message.text);
                              if (message.detail) {
                                  text += QStringLiteral("\n") + QString::fromStdString(*message.detail);
                              }
                              return text;
                          },
                      },
                      drawn_.value);
}

void HUDView::phaseChanged(const Phase& phase) {
    const bool hidden = std::holds_alternative<Phase::Hidden>(phase.value);
    if (hidden) {
        // The pill keeps what it showed while it shrinks and fades away.
        showing_ = false;
        presenceAnimation_.stop();
        presenceAnimation_.setEasingCurve(QEasingCurve::InCubic);
        presenceAnimation_.setStartValue(presence_);
        presenceAnimation_.setEndValue(0.0);
        presenceAnimation_.start();
        return;
    }
    const bool startsListening = std::holds_alternative<Phase::Listening>(phase.value) &&
                                 !(showing_ && std::holds_alternative<Phase::Listening>(drawn_.value));
    drawn_ = phase;
    if (startsListening) {
        shownClock_.restart();
    }
    if (!showing_) {
        showing_ = true;
        presenceAnimation_.stop();
        // A spring that settles quickly with a slight overshoot.
        QEasingCurve spring(QEasingCurve::OutBack);
        spring.setOvershoot(0.8);
        presenceAnimation_.setEasingCurve(spring);
        presenceAnimation_.setStartValue(presence_);
        presenceAnimation_.setEndValue(1.0);
        presenceAnimation_.start();
    }
    if (!frameTimer_.isActive()) {
        frameTimer_.start();
    }
    setAccessibleName(spokenText());
    updateMask();
    update();
}

void HUDView::levelsChanged(const std::vector<float>& levels) {
    levelsFrom_ = displayedLevels();
    levelsTo_ = levels;
    levelsClock_.restart();
    update();
}

std::vector<float> HUDView::displayedLevels() const {
    const double progress = std::min(1.0, static_cast<double>(levelsClock_.elapsed()) / levelAnimationMs);
    const double eased = 1.0 - (1.0 - progress) * (1.0 - progress);
    std::vector<float> shown(levelsTo_.size(), 0.0f);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const float from = i < levelsFrom_.size() ? levelsFrom_[i] : 0.0f;
        shown[i] = from + static_cast<float>(eased) * (levelsTo_[i] - from);
    }
    return shown;
}

void HUDView::animateTick() {
    if (!showing_ && presence_ <= 0.0 && presenceAnimation_.state() != QAbstractAnimation::Running) {
        frameTimer_.stop();
        return;
    }
    const bool moving = std::holds_alternative<Phase::Listening>(drawn_.value) ||
                        std::holds_alternative<Phase::Transcribing>(drawn_.value);
    if (moving) {
        update();
    }
}

void HUDView::updateMask() {
    if (!isWindow() || desktopBlendsWindows()) {
        clearMask();
        return;
    }
    const QRect pill = layout().pill;
    if (pill.isEmpty()) {
        return;
    }
    QPainterPath path;
    const double radius = std::min<double>(cornerRadius, pill.height() / 2.0);
    path.addRoundedRect(QRectF(pill).adjusted(-1, -1, 1, 1), radius, radius);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
}

void HUDView::paintEvent(QPaintEvent*) {
    const Layout parts = layout();
    if (parts.pill.isEmpty() || presence_ <= 0.0) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(std::clamp(presence_, 0.0, 1.0));
    // The pill grows from 85 % of its size, anchored at its bottom edge.
    const double scale = 0.85 + 0.15 * presence_;
    const QPointF anchor(parts.pill.center().x(), parts.pill.bottom());
    painter.translate(anchor);
    painter.scale(scale, scale);
    painter.translate(-anchor);

    const QRectF pill(parts.pill);
    const double radius = std::min<double>(cornerRadius, pill.height() / 2.0);
    // A soft shadow below the pill: black at 0.3, about 10 points of blur, 3 points down.
    painter.setPen(Qt::NoPen);
    for (int ring = 5; ring >= 1; --ring) {
        painter.setBrush(QColor(0, 0, 0, 16));
        const QRectF spread = pill.adjusted(-2 * ring, -2 * ring + 3, 2 * ring, 2 * ring + 3);
        painter.drawRoundedRect(spread, radius + 2 * ring, radius + 2 * ring);
    }
    painter.setBrush(QColor(0, 0, 0, 217));
    painter.drawRoundedRect(pill, radius, radius);
    painter.setPen(QPen(QColor(255, 255, 255, 31), 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(pill.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);

    const QRect content = parts.content;
    const int middle = content.center().y();
    std::visit(
        TessarinCore::Overloaded{
            [](const Phase::Hidden&) {},
            [&](const Phase::Listening&) {
                painter.setPen(Qt::NoPen);
                QColor red(255, 59, 48);
                red.setAlphaF(static_cast<float>(dotOpacity(shownClock_.elapsed())));
                painter.setBrush(red);
                painter.drawEllipse(QRectF(content.left(), middle - dotSize / 2.0, dotSize, dotSize));
                painter.setBrush(Qt::white);
                double x = content.left() + dotSize + listeningSpacing;
                for (const float level : displayedLevels()) {
                    const double height = barHeight(level);
                    painter.drawRoundedRect(QRectF(x, middle - height / 2 + 0.5, barWidth, height), 1.5, 1.5);
                    x += barWidth + barSpacing;
                }
                const QString language = languageLabel(model_.language().get());
                if (!language.isEmpty()) {
                    painter.setFont(smallFont(true));
                    painter.setPen(secondaryText);
                    const QRect label(static_cast<int>(x) - barSpacing + listeningSpacing, content.top(),
                                      content.right() - static_cast<int>(x), content.height());
                    painter.drawText(label, Qt::AlignLeft | Qt::AlignVCenter, language);
                }
            },
            [&](const Phase::Transcribing&) {
                // A small indeterminate spinner: eight spokes, the brightest one turning once a second.
                const QPointF centre(content.left() + spinnerSize / 2.0, middle);
                const int lead = static_cast<int>((shownClock_.elapsed() % 1000) * 8 / 1000);
                for (int spoke = 0; spoke < 8; ++spoke) {
                    const double angle = spoke * std::numbers::pi / 4 - std::numbers::pi / 2;
                    const int age = (lead - spoke + 8) % 8;
                    QPen pen(QColor(255, 255, 255, 255 - age * 26), 2.0);
                    pen.setCapStyle(Qt::RoundCap);
                    painter.setPen(pen);
                    painter.drawLine(centre + QPointF(std::cos(angle), std::sin(angle)) * 3.5,
                                     centre + QPointF(std::cos(angle), std::sin(angle)) * 7.0);
                }
                painter.setFont(pillFont());
                painter.setPen(Qt::white);
                painter.drawText(content.adjusted(spinnerSize + transcribingSpacing, 0, 0, 0),
                                 Qt::AlignLeft | Qt::AlignVCenter, transcribingText);
            },
            [&](const Phase::Message& message) {
                const StyleLook styleLook = look(message.style);
                const QFontMetrics textMetrics(pillFont());
                // The icon sits on the first line of text.
                const double iconTop = content.top() + (textMetrics.height() - iconSize) / 2.0;
                drawSymbol(painter, styleLook.symbol, QRectF(content.left(), iconTop, iconSize, iconSize),
                           styleLook.color);
                const int column = content.left() + iconSize + messageSpacing;
                int y = content.top();
                painter.setFont(pillFont());
                painter.setPen(Qt::white);
                for (const QString& line : parts.textLines) {
                    painter.drawText(column, y + textMetrics.ascent(), line);
                    y += textMetrics.lineSpacing();
                }
                if (!parts.detailLines.isEmpty()) {
                    const QFontMetrics detailMetrics(smallFont(false));
                    y += 2;
                    painter.setFont(smallFont(false));
                    painter.setPen(secondaryText);
                    for (const QString& line : parts.detailLines) {
                        painter.drawText(column, y + detailMetrics.ascent(), line);
                        y += detailMetrics.lineSpacing();
                    }
                }
            },
        },
        drawn_.value);
}

QtHUDPanel::QtHUDPanel(HUDModel& model)
    : view_(std::make_unique<HUDView>(model)) {
    view_->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput |
                          Qt::X11BypassWindowManagerHint);
    view_->setAttribute(Qt::WA_ShowWithoutActivating);
    view_->setAttribute(Qt::WA_TranslucentBackground);
    view_->setAttribute(Qt::WA_TransparentForMouseEvents);
}

QtHUDPanel::~QtHUDPanel() = default;

QPoint QtHUDPanel::origin(const QRect& available) {
    return QPoint(available.left() + available.width() / 2 - HUDView::panelWidth / 2,
                  available.top() + available.height() - 12 - HUDView::panelHeight);
}

void QtHUDPanel::present() {
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen) {
        view_->move(origin(screen->availableGeometry()));
    }
    view_->show();
    view_->raise();
}

void QtHUDPanel::orderOut() {
    view_->hide();
}

HUDModel::PanelFactory qtPanelFactory() {
    return [](HUDModel& model) { return std::make_unique<QtHUDPanel>(model); };
}

} // namespace Parlindo
