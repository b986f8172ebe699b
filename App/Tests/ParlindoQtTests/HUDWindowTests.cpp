#include "App/Qt/HUDWindow.h"

#include "QtPrinting.h"
#include "System/Concurrency/ManualExecutor.h"
#include "TessarinPlatform/Cloud/TessarinCloudTranscriber.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

using namespace Parlindo;
using namespace TessarinCore;
using System::Concurrency::ManualExecutor;
using System::Concurrency::Observed;
using Phase = HUDModel::Phase;
using Style = HUDModel::Style;

namespace {

class HUDWindowTest : public testing::Test {
protected:
    void SetUp() override {
        model = HUDModel::create(HUDModel::Source{ReadOnlyObserved(state), ReadOnlyObserved(lastEvent),
                                                  ReadOnlyObserved(inputLevel),
                                                  ReadOnlyObserved(recordingLanguage), nullptr},
                                 executor, [this](HUDModel& hud) {
                                     auto panel = std::make_unique<QtHUDPanel>(hud);
                                     this->panel = panel.get();
                                     return panel;
                                 });
        executor.runUntilIdle();
    }
    void TearDown() override {
        model.reset();
        executor.runUntilIdle();
    }

    void record(std::optional<DictationLanguage> language) {
        recordingLanguage.set(language);
        state.set(DictationState::recording());
        executor.runUntilIdle();
    }

    ManualExecutor executor;
    Observed<DictationState> state{DictationState::idle()};
    Observed<std::optional<DictationEvent>> lastEvent;
    Observed<float> inputLevel{0.0f};
    Observed<std::optional<DictationLanguage>> recordingLanguage;
    std::shared_ptr<HUDModel> model;
    QtHUDPanel* panel = nullptr;
};

TEST_F(HUDWindowTest, TheWindowIsAFramelessClickThroughToolWindowThatTakesNoFocus) {
    record(DictationLanguage::english);
    ASSERT_NE(panel, nullptr);
    const HUDView& view = panel->view();
    const Qt::WindowFlags flags = view.windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool);
    for (const Qt::WindowType flag : {Qt::FramelessWindowHint, Qt::WindowStaysOnTopHint,
                                      Qt::WindowDoesNotAcceptFocus, Qt::WindowTransparentForInput}) {
        EXPECT_TRUE(flags.testFlag(flag)) << flag;
    }
    EXPECT_TRUE(view.testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_TRUE(view.testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_TRUE(view.testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_EQ(view.size(), QSize(520, 110));
    EXPECT_TRUE(view.isVisible());
    EXPECT_EQ(QGuiApplication::focusWindow(), nullptr);
}

TEST_F(HUDWindowTest, ThePanelSitsCentredTwelvePointsAboveTheBottomOfTheUsableArea) {
    EXPECT_EQ(QtHUDPanel::origin(QRect(0, 0, 1280, 800)), QPoint(380, 678));
    // A second screen to the right, with a panel along its bottom.
    EXPECT_EQ(QtHUDPanel::origin(QRect(1280, 0, 1920, 1040)), QPoint(1280 + 700, 918));

    record(DictationLanguage::english);
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(panel->view().pos(), QtHUDPanel::origin(available));
}

TEST_F(HUDWindowTest, ListeningShowsTheDotTheBarsAndTheLanguage) {
    record(DictationLanguage::arabic);
    const HUDView& view = panel->view();
    EXPECT_EQ(view.spokenText(), "Listening, Arabic");
    EXPECT_EQ(view.accessibleName(), "Listening, Arabic");
    const HUDView::Layout layout = view.layout();
    // Dot 8, spacing 10, 28 bars of 3 with 2 between, spacing 10, the label; 14 points either side.
    const int label = QFontMetrics(HUDView::smallFont(true)).horizontalAdvance("Arabic");
    EXPECT_EQ(layout.content.width(), 8 + 10 + 28 * 3 + 27 * 2 + 10 + label);
    EXPECT_EQ(layout.pill.width(), layout.content.width() + 28);
    EXPECT_EQ(layout.pill.height(), 38); // 20-point bar row plus 9 above and below
    EXPECT_EQ(layout.pill.bottom() + 1, 110 - 8);
    EXPECT_LE(std::abs(layout.pill.left() - (520 - layout.pill.right() - 1)), 1);

    state.set(DictationState::idle());
    record(std::nullopt);
    EXPECT_EQ(view.spokenText(), "Listening");
}

TEST_F(HUDWindowTest, TranscribingShowsTheSpinnerText) {
    state.set(DictationState::transcribing());
    executor.runUntilIdle();
    EXPECT_EQ(panel->view().spokenText(), QString::fromUtf8("Transcribing\u2026"));
    EXPECT_EQ(panel->view().layout().pill.height(), 36);
}

TEST_F(HUDWindowTest, AMessageShowsAtMostTwoLinesOfTextAndOfDetailAndIsNeverWiderThanTheRowLimit) {
    const std::string longText(400, 'a');
    model->present(Phase::message(longText + " end", "A detail that is short", Style::warning));
    const HUDView& view = panel->view();
    const HUDView::Layout layout = view.layout();
    ASSERT_EQ(layout.textLines.size(), 2);
    EXPECT_TRUE(layout.textLines.last().endsWith(QString::fromUtf8("\u2026")));
    EXPECT_EQ(layout.detailLines, QStringList{"A detail that is short"});
    EXPECT_LE(layout.content.width(), HUDView::maximumRowWidth);
    EXPECT_LE(layout.pill.width(), HUDView::maximumRowWidth + 28);

    model->present(Phase::message("Hello there", std::nullopt, Style::success));
    EXPECT_EQ(view.layout().textLines, QStringList{"Hello there"});
    EXPECT_TRUE(view.layout().detailLines.isEmpty());
    EXPECT_EQ(view.spokenText(), "Hello there");
}

// The cloud's sentence about a missing server is longer than the overlay holds: the overlay shows all of its
// own text, cut nowhere.
TEST_F(HUDWindowTest, TheCloudsMissingServerFitsTheOverlayUncut) {
    const auto presented =
        HUDModel::presentation(DictationOutcome::failed(DictationFailure::transcriptionFailed(
            TessarinPlatform::TessarinCloudTranscriber::CloudError::notConfigured().description())));
    ASSERT_TRUE(presented);
    model->present(presented->first);
    const HUDView::Layout layout = panel->view().layout();
    EXPECT_EQ(layout.textLines, QStringList{"Parlindo Cloud is not set up"});
    EXPECT_EQ(layout.detailLines.join(" "),
              QString::fromUtf8("Start Parlindo with PARLINDO_API_URL set to your server\u2019s address."));
}

TEST_F(HUDWindowTest, HidingKeepsDrawingTheLastPhaseUntilThePanelIsOrderedOut) {
    model->present(Phase::message("Done", std::nullopt, Style::success), Duration::milliseconds(1500));
    executor.advance(Duration::milliseconds(1500));
    EXPECT_EQ(model->phase().get(), Phase::hidden());
    EXPECT_EQ(panel->view().drawnPhase(), Phase::message("Done", std::nullopt, Style::success));
    EXPECT_TRUE(panel->view().isVisible());
    executor.advance(HUDModel::orderOutDelay);
    EXPECT_FALSE(panel->view().isVisible());
}

TEST(HUDViewTest, BarsGrowFromThreeToTwentyPoints) {
    EXPECT_DOUBLE_EQ(HUDView::barHeight(0.0f), 3.0);
    EXPECT_DOUBLE_EQ(HUDView::barHeight(1.0f), 20.0);
    EXPECT_DOUBLE_EQ(HUDView::barHeight(0.5f), 11.5);
}

TEST(HUDViewTest, TheRecordingDotPulsesBetweenFullAndAThirdOverSevenTenthsOfASecondEachWay) {
    EXPECT_DOUBLE_EQ(HUDView::dotOpacity(0), 1.0);
    EXPECT_NEAR(HUDView::dotOpacity(350), 0.675, 1e-9);
    EXPECT_NEAR(HUDView::dotOpacity(699), 0.35, 1e-4);
    EXPECT_NEAR(HUDView::dotOpacity(700), 0.35, 1e-9);
    EXPECT_NEAR(HUDView::dotOpacity(1399), 1.0, 1e-4);
    EXPECT_DOUBLE_EQ(HUDView::dotOpacity(1400), 1.0);
}

} // namespace
