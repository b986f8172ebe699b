#pragma once

#include "App/HUD/HUDModel.h"

#include <QElapsedTimer>
#include <QFont>
#include <QRect>
#include <QStringList>
#include <QTimer>
#include <QVariantAnimation>
#include <QWidget>

#include <vector>

namespace Parlindo {

// The dictation overlay: a pill at the bottom of a transparent 520 × 110 window, drawn for the overlay
// model's phase: a pulsing red dot, the level bars and the language while listening; a spinner and
// "Transcribing…" while the speech turns into text; an icon, the text and a detail line for an outcome.
// Reads the model's phase, levels and language and redraws when they change.
class HUDView : public QWidget {
public:
    static constexpr int panelWidth = 520;
    static constexpr int panelHeight = 110;
    static constexpr int maximumRowWidth = 460;

    // Where the parts of the pill go, in the view's coordinates.
    struct Layout {
        QRect pill;
        QRect content;
        QStringList textLines;
        QStringList detailLines;
    };

    explicit HUDView(HUDModel& model, QWidget* parent = nullptr);

    // The phase drawn now: the model's phase, or while the pill fades out, the phase it had before.
    const HUDModel::Phase& drawnPhase() const { return drawn_; }
    Layout layout() const;
    // What the pill says, as one line: its accessibility label.
    QString spokenText() const;

    // A bar is 3 points high for silence and 20 for a full level.
    static double barHeight(float level);
    // The recording dot's opacity `elapsedMs` after it appeared: 1.0 → 0.35 → 1.0 …, 0.7 s each way.
    static double dotOpacity(qint64 elapsedMs);
    // `text` broken into at most `maxLines` lines of `width`; the last line is cut at its tail with "…".
    static QStringList wrappedLines(const QString& text, const QFont& font, int width, int maxLines);

    static QFont pillFont();
    static QFont smallFont(bool semibold);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void phaseChanged(const HUDModel::Phase& phase);
    void levelsChanged(const std::vector<float>& levels);
    void animateTick();
    std::vector<float> displayedLevels() const;
    void updateMask();

    HUDModel& model_;
    HUDModel::Phase drawn_ = HUDModel::Phase::hidden();
    bool showing_ = false;
    double presence_ = 0.0; // 0 hidden … 1 shown; the pill scales and fades with it
    QVariantAnimation presenceAnimation_;
    QElapsedTimer shownClock_;
    QTimer frameTimer_;
    std::vector<float> levelsFrom_;
    std::vector<float> levelsTo_;
    QElapsedTimer levelsClock_;
    System::Concurrency::Observed<HUDModel::Phase>::Subscription phaseSubscription_;
    System::Concurrency::Observed<std::vector<float>>::Subscription levelsSubscription_;
    System::Concurrency::Observed<std::optional<TessarinCore::DictationLanguage>>::Subscription
        languageSubscription_;
};

// The window of the overlay: frameless, above other windows, transparent, never focused and click-through,
// so the application that receives the dictated text keeps the keyboard.
class QtHUDPanel final : public HUDPanel {
public:
    explicit QtHUDPanel(HUDModel& model);
    ~QtHUDPanel() override;

    // On the screen under the mouse (else the primary screen): centred, 12 points above the bottom of the
    // screen's usable area. With no screen at all the window keeps its place.
    void present() override;
    void orderOut() override;

    HUDView& view() { return *view_; }

    // The panel's top-left corner on a screen with the usable area `available`.
    static QPoint origin(const QRect& available);

private:
    std::unique_ptr<HUDView> view_;
};

// For HUDModel::create: makes the Qt panel.
HUDModel::PanelFactory qtPanelFactory();

} // namespace Parlindo
