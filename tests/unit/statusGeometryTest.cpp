// The status window's pure decisions: figures, ring geometry, layout, hit tests, placement, texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <utility>

#include "i18n/strings.h"
#include "ui/status/statusRendering.h"
#include "ui/status/statusWindowState.h"

namespace {

constexpr float kPi = 3.14159265f;
constexpr float kPointTolerance = 0.01f;
constexpr D2D1_POINT_2F kCentre{88.0f, 125.0f};
constexpr float kRadius = 47.0f;

float degrees(float value)
{
    return value * kPi / 180.0f;
}

// The point `clockwiseDegrees` clockwise from 12 o'clock, built without the code under test.
D2D1_POINT_2F clockPoint(float clockwiseDegrees)
{
    return D2D1_POINT_2F{kCentre.x + kRadius * std::sin(degrees(clockwiseDegrees)),
                         kCentre.y - kRadius * std::cos(degrees(clockwiseDegrees))};
}

void expectPoint(D2D1_POINT_2F actual, D2D1_POINT_2F expected, const char* what)
{
    EXPECT_NEAR(actual.x, expected.x, kPointTolerance) << what;
    EXPECT_NEAR(actual.y, expected.y, kPointTolerance) << what;
}

void expectRect(const D2D1_RECT_F& actual, float left, float top, float right, float bottom, const char* what)
{
    EXPECT_FLOAT_EQ(actual.left, left) << what;
    EXPECT_FLOAT_EQ(actual.top, top) << what;
    EXPECT_FLOAT_EQ(actual.right, right) << what;
    EXPECT_FLOAT_EQ(actual.bottom, bottom) << what;
}

TEST(StatusFigures, PercentUsedAndLimitForEveryCase)
{
    const struct {
        const char* name;
        int32_t limitMinutes;
        int32_t remaining;
        int64_t used;
        int32_t limitSeconds;
        int64_t usedShown;
        int32_t percent;
    } cases[] = {
        {"nothing used", 120, 7200, 0, 7200, 0, 100},
        {"71 of 7200 left", 120, 71, 7129, 7200, 7129, 0},
        {"exactly 1 %", 120, 72, 7128, 7200, 7128, 1},
        {"just under 2 %", 120, 143, 7057, 7200, 7057, 1},
        {"25 %", 120, 1800, 5400, 7200, 5400, 25},
        {"one second used", 120, 7199, 1, 7200, 1, 99},
        {"limit spent", 120, 0, 7200, 7200, 7200, 0},
        {"extra minute after unlock", 120, 0, 7230, 7200, 7200, 0},
        {"limit lowered below the used time", 60, 0, 5000, 3600, 3600, 0},
        {"negative used count", 120, 7200, -40, 7200, 0, 100},
        {"remaining above the limit", 1, 500, 0, 60, 0, 100},
        {"zero limit", 0, 0, 10, 0, 0, 0},
        {"zero limit with time left", 0, 50, 0, 0, 0, 0},
        {"negative limit", -5, 0, 10, -300, 0, 0},
        {"limit at the largest count", INT32_MAX / 60, 100, 0, (INT32_MAX / 60) * 60, 0, 0},
        {"limit beyond 32 bits", INT32_MAX, INT32_MAX, 5, INT32_MAX, 5, 100},
    };
    for (const auto& c : cases) {
        const StatusFigures figures = computeStatusFigures(c.limitMinutes, c.remaining, c.used);
        EXPECT_EQ(figures.limitSeconds, c.limitSeconds) << c.name;
        EXPECT_EQ(figures.remaining, c.remaining) << c.name;
        EXPECT_EQ(figures.usedShown, c.usedShown) << c.name;
        EXPECT_EQ(figures.percent, c.percent) << c.name;
    }
}

// The scene holds what a frame draws, so two counts that read the same on
// screen give the same scene, and the repaint timer stays quiet between them.
TEST(StatusScene, ChangesExactlyWhenSomethingDrawnChanges)
{
    struct Count {
        int32_t limitMinutes;
        int32_t remaining;
        int64_t used;
    };
    const struct {
        const char* name;
        Count before;
        Count after;
        bool same;
    } cases[] = {
        {"a second within the minute", {120, 5430, 1770}, {120, 5429, 1771}, true},
        {"the minute turns", {120, 5430, 1770}, {120, 5399, 1801}, false},
        {"only the percentage moves", {1, 40, 20}, {1, 39, 21}, false},
        {"more seconds on a spent day", {120, 0, 7230}, {120, 0, 7290}, true},
        {"a negative remainder reads as none", {120, -5, 7205}, {120, 0, 7200}, true},
        {"another limit", {120, 5430, 1770}, {90, 5430, 1770}, false},
    };
    for (const auto& c : cases) {
        const StatusFigures before = computeStatusFigures(c.before.limitMinutes, c.before.remaining, c.before.used);
        const StatusFigures after = computeStatusFigures(c.after.limitMinutes, c.after.remaining, c.after.used);
        const StatusScene sceneBefore = statusSceneOf(before, false, false, Language::English);
        const StatusScene sceneAfter = statusSceneOf(after, false, false, Language::English);
        EXPECT_EQ(sceneBefore == sceneAfter, c.same) << c.name;
        for (const auto& [figures, scene] : {std::pair{before, sceneBefore}, std::pair{after, sceneAfter}}) {
            EXPECT_EQ(scene.percent, figures.percent) << c.name;
            EXPECT_EQ(formatDuration(scene.remainingMinutes * 60), formatDuration(figures.remaining)) << c.name;
            EXPECT_EQ(usedLineText(scene.usedMinutes * 60), usedLineText(figures.usedShown)) << c.name;
            EXPECT_EQ(limitLineText(scene.limitMinutes * 60), limitLineText(figures.limitSeconds)) << c.name;
        }
    }
    const StatusFigures figures = computeStatusFigures(120, 5430, 1770);
    const StatusScene plain = statusSceneOf(figures, false, false, Language::English);
    EXPECT_NE(statusSceneOf(figures, true, false, Language::English), plain) << "close button hovered";
    EXPECT_NE(statusSceneOf(figures, false, true, Language::English), plain) << "settings button hovered";
    EXPECT_NE(statusSceneOf(figures, false, false, Language::Russian), plain) << "another language";
}

TEST(StatusRing, ShapeAndSegmentCountFollowThePercent)
{
    const struct {
        int32_t percent;
        RingShape shape;
        int segments;
    } cases[] = {
        {-20, RingShape::TrackOnly, 0}, {0, RingShape::TrackOnly, 0},  {1, RingShape::Arc, 1},
        {2, RingShape::Arc, 2},         {3, RingShape::Arc, 3},        {10, RingShape::Arc, 10},
        {25, RingShape::Arc, 24},       {50, RingShape::Arc, 48},      {75, RingShape::Arc, 72},
        {99, RingShape::Arc, 96},       {100, RingShape::FullCircle, 0}, {250, RingShape::FullCircle, 0},
    };
    for (const auto& c : cases) {
        const RingPlan plan = planUsageRing(c.percent);
        EXPECT_EQ(plan.shape, c.shape) << c.percent;
        EXPECT_EQ(plan.segments, c.segments) << c.percent;
    }
}

TEST(StatusRing, ArcStartsBeforeTwelveAndEndsAtTheTop)
{
    const D2D1_POINT_2F top = clockPoint(0.0f);
    const struct {
        int32_t percent;
        float startClockwiseDegrees;  // where the polyline begins
    } cases[] = {
        {1, -3.6f},   // one segment from 3.6 degrees counter-clockwise of the top
        {25, -90.0f}, // from 9 o'clock
        {50, -180.0f},
        {75, 90.0f},  // from 3 o'clock
        {99, 3.6f},   // almost all the way round
    };
    for (const auto& c : cases) {
        const RingPlan plan = planUsageRing(c.percent);
        expectPoint(ringArcPoint(kCentre, kRadius, plan, 0), clockPoint(c.startClockwiseDegrees), "start");
        expectPoint(ringArcPoint(kCentre, kRadius, plan, plan.segments), top, "end");
        EXPECT_NEAR(plan.sweepAngle, degrees(3.6f * static_cast<float>(c.percent)), 1e-5f) << c.percent;
    }
}

TEST(StatusRing, QuarterArcRunsClockwiseThroughEvenSteps)
{
    const RingPlan plan = planUsageRing(25);
    ASSERT_EQ(plan.segments, 24);
    // Halfway along a quarter from 9 to 12 o'clock is 10:30.
    expectPoint(ringArcPoint(kCentre, kRadius, plan, 12), clockPoint(-45.0f), "middle");
    for (int i = 0; i <= plan.segments; ++i) {
        const D2D1_POINT_2F point = ringArcPoint(kCentre, kRadius, plan, i);
        const float expectedDegrees = -90.0f + 90.0f * static_cast<float>(i) / 24.0f;
        expectPoint(point, clockPoint(expectedDegrees), "step");
    }
}

TEST(StatusLayout, SceneAtTheCreationSize)
{
    const StatusSceneLayout layout = layoutStatusScene(D2D1_SIZE_F{420.0f, 250.0f});
    expectRect(layout.card, 12, 12, 408, 238, "card");
    expectRect(layout.closeButton, 370, 22, 398, 50, "close button");
    expectRect(layout.title, 30, 20, 356, 52, "title");
    EXPECT_FLOAT_EQ(layout.ringCentre.x, 88.0f);
    EXPECT_FLOAT_EQ(layout.ringCentre.y, 125.0f);
    EXPECT_FLOAT_EQ(layout.ringRadius, 47.0f);
    expectRect(layout.percentText, 45, 108, 131, 142, "percentage");
    expectRect(layout.remainingLabel, 162, 67, 390, 90, "remaining label");
    expectRect(layout.remainingValue, 162, 89, 390, 129, "remaining duration");
    expectRect(layout.usedLine, 162, 137, 390, 160, "used line");
    expectRect(layout.limitLine, 162, 162, 390, 185, "limit line");
    expectRect(layout.settingsButton, 30, 187, 390, 223, "settings button");
}

TEST(StatusLayout, RightAndBottomPiecesFollowALargerClientArea)
{
    const StatusSceneLayout layout = layoutStatusScene(D2D1_SIZE_F{630.0f, 375.0f});
    expectRect(layout.card, 12, 12, 618, 363, "card");
    expectRect(layout.closeButton, 580, 22, 608, 50, "close button");
    expectRect(layout.title, 30, 20, 566, 52, "title");
    EXPECT_FLOAT_EQ(layout.ringCentre.x, 88.0f);
    expectRect(layout.usedLine, 162, 137, 600, 160, "used line");
    expectRect(layout.settingsButton, 30, 312, 600, 348, "settings button");
}

constexpr D2D1_RECT_F kCloseButton{370.0f, 22.0f, 398.0f, 50.0f};
constexpr D2D1_RECT_F kSettingsButton{30.0f, 187.0f, 390.0f, 223.0f};

TEST(StatusHitTest, EdgesCountAsInsideAtBothScales)
{
    const struct {
        int x;
        int y;
        float scale;
        bool inside;
    } cases[] = {
        {370, 22, 1.0f, true},   {398, 50, 1.0f, true},  {370, 50, 1.0f, true},  {384, 36, 1.0f, true},
        {369, 22, 1.0f, false},  {399, 30, 1.0f, false}, {380, 21, 1.0f, false}, {380, 51, 1.0f, false},
        // 144 DPI: pixels are divided by 1.5 before the comparison.
        {555, 33, 1.5f, true},   {597, 75, 1.5f, true},  {554, 33, 1.5f, false}, {598, 75, 1.5f, false},
        {555, 32, 1.5f, false},  {580, 76, 1.5f, false}, {384, 36, 1.5f, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(containsPixel(kCloseButton, c.x, c.y, c.scale), c.inside) << c.x << "," << c.y << " @" << c.scale;
    }
}

TEST(StatusHitTest, DragStripIsTheTopBandWithoutTheCloseButton)
{
    const struct {
        int x;
        int y;
        float scale;
        bool drag;
    } cases[] = {
        {0, 0, 1.0f, true},     {200, 47, 1.0f, true},  {200, 48, 1.0f, false}, {384, 36, 1.0f, false},
        {369, 36, 1.0f, true},  {405, 10, 1.0f, true},  {200, 120, 1.0f, false},
        {200, 71, 1.5f, true},  {200, 72, 1.5f, false}, {576, 54, 1.5f, false}, {540, 54, 1.5f, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isDragStripPixel(kCloseButton, c.x, c.y, c.scale), c.drag) << c.x << "," << c.y << " @" << c.scale;
    }
}

TEST(StatusHitTest, HoverAndButtonUseTheLastPaintedRectangles)
{
    StatusWindowState state;
    state.closeButton = kCloseButton;
    state.settingsButton = kSettingsButton;
    const struct {
        int x;
        int y;
        bool close;
        bool settings;
        StatusButton button;
    } cases[] = {
        {384, 36, true, false, StatusButton::Close},  {30, 187, false, true, StatusButton::Settings},
        {390, 223, false, true, StatusButton::Settings}, {200, 120, false, false, StatusButton::None},
        {29, 200, false, false, StatusButton::None},
    };
    for (const auto& c : cases) {
        const StatusHover hover = hoverAt(state, c.x, c.y);
        EXPECT_EQ(hover.close, c.close) << c.x << "," << c.y;
        EXPECT_EQ(hover.settings, c.settings) << c.x << "," << c.y;
        EXPECT_EQ(buttonAt(state, c.x, c.y), c.button) << c.x << "," << c.y;
    }
    state.dpiScale = 1.5f;
    EXPECT_EQ(buttonAt(state, 576, 54), StatusButton::Close);
    EXPECT_EQ(buttonAt(state, 384, 36), StatusButton::None);
    EXPECT_EQ(buttonAt(state, 45, 281), StatusButton::Settings);
}

TEST(StatusPlacement, DefaultCornerKeepsTwelvePixelsFromTheWorkArea)
{
    const RECT window{100, 100, 520, 350};
    const struct {
        RECT workArea;
        LONG x;
        LONG y;
    } cases[] = {
        {{0, 0, 1280, 770}, 848, 508},
        {{60, 0, 1280, 800}, 848, 538},
        {{-1920, 0, 0, 1040}, -432, 778},
    };
    for (const auto& c : cases) {
        const POINT corner = defaultStatusWindowPosition(c.workArea, window);
        EXPECT_EQ(corner.x, c.x);
        EXPECT_EQ(corner.y, c.y);
    }
}

TEST(StatusPlacement, SavedPointIsKeptWhileTheDragStripShowsOnSomeWorkArea)
{
    // A 420 x 250 window with a 48-pixel strip, its top left corner at (x, y).
    const RECT single[] = {{0, 0, 1280, 770}};
    const RECT sideBySide[] = {{0, 0, 1280, 770}, {1280, -200, 3200, 880}};
    const struct {
        const char* name;
        LONG x;
        LONG y;
        std::span<const RECT> workAreas;
        bool kept;
    } cases[] = {
        {"inside", 200, 150, single, true},
        {"partly off to the left", -100, 40, single, true},
        {"one column left", -419, 300, single, true},
        {"wholly off to the left", -420, 300, single, false},
        {"one column right", 1279, 300, single, true},
        {"wholly off to the right", 1280, 300, single, false},
        {"strip's last row at the top", 300, -47, single, true},
        {"strip above the top, body showing", 300, -48, single, false},
        {"strip's first row at the bottom", 300, 769, single, true},
        {"strip under the taskbar", 300, 770, single, false},
        {"far away", 5000, 5000, single, false},
        {"on the second monitor", 2000, 500, sideBySide, true},
        {"above the first, beside the second's top", 1000, -150, sideBySide, true},
        {"above the first only", 200, -150, sideBySide, false},
        {"below both", 2000, 900, sideBySide, false},
        {"no monitor known", 5000, 5000, {}, true},
    };
    for (const auto& c : cases) {
        const RECT window{c.x, c.y, c.x + 420, c.y + 250};
        EXPECT_EQ(dragStripOnSomeWorkArea(window, 48, c.workAreas), c.kept) << c.name;
    }
    // The strip grows with the DPI: at 144 DPI it is 72 pixels high.
    const RECT high{300, -60, 930, 315};
    EXPECT_FALSE(dragStripOnSomeWorkArea(high, 48, single));
    EXPECT_TRUE(dragStripOnSomeWorkArea(high, 72, single));
}

class StatusTexts : public testing::Test {
protected:
    void TearDown() override { setActiveLanguage(Language::English); }
};

TEST_F(StatusTexts, FigureLinesInBothLanguages)
{
    setActiveLanguage(Language::English);
    EXPECT_EQ(percentText(0), L"0%");
    EXPECT_EQ(percentText(25), L"25%");
    EXPECT_EQ(percentText(100), L"100%");
    EXPECT_EQ(usedLineText(5400), L"Used: 1 h 30 min");
    EXPECT_EQ(usedLineText(0), L"Used: 0 h 0 min");
    EXPECT_EQ(limitLineText(7200), L"Limit: 2 h 0 min");
    setActiveLanguage(Language::Russian);
    EXPECT_EQ(usedLineText(5400), L"Использовано: 1 ч 30 мин");
    EXPECT_EQ(limitLineText(86400), L"Лимит: 24 ч 0 мин");
}

}  // namespace
