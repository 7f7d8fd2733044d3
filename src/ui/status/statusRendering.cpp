#include "ui/status/statusRendering.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/scopedHandles.h"
#include "core/usageTracker.h"
#include "i18n/strings.h"
#include "ui/status/statusWindowState.h"

namespace {

constexpr int32_t kSecondsPerMinute = 60;
constexpr int32_t kFullPercent = 100;

// 2*pi and pi/2 as 32-bit floats.
constexpr float kFullTurn = 6.2831855f;
constexpr float kQuarterTurn = 1.5707964f;
constexpr float kSegmentsPerTurn = 96.0f;

constexpr D2D1_COLOR_F rgb(float red, float green, float blue)
{
    return D2D1_COLOR_F{red, green, blue, 1.0f};
}

constexpr D2D1_COLOR_F kBackground = rgb(0.95f, 0.96f, 0.98f);

// The brushes of a frame, one per colour, indices into StatusPaintResources::brushes.
enum class Colour : size_t {
    CardFill,
    Border,
    CloseFill,
    CloseFillHovered,
    ButtonFill,
    ButtonFillHovered,
    RingTrack,
    RingAccent,
    CloseGlyph,
    Title,
    Percent,
    RemainingLabel,
    RemainingValue,
    FigureLine,
    SettingsLabel,
    Count,
};
static_assert(static_cast<size_t>(Colour::Count) == StatusPaintResources::kColourCount);

constexpr D2D1_COLOR_F kColours[] = {
    rgb(1.0f, 1.0f, 1.0f),     // CardFill
    rgb(0.86f, 0.88f, 0.91f),  // Border
    rgb(0.95f, 0.96f, 0.98f),  // CloseFill
    rgb(0.98f, 0.90f, 0.90f),  // CloseFillHovered
    rgb(0.94f, 0.96f, 0.99f),  // ButtonFill
    rgb(0.89f, 0.93f, 0.99f),  // ButtonFillHovered
    rgb(0.89f, 0.92f, 0.95f),  // RingTrack
    rgb(0.20f, 0.62f, 0.43f),  // RingAccent
    rgb(0.30f, 0.33f, 0.38f),  // CloseGlyph
    rgb(0.17f, 0.20f, 0.25f),  // Title
    rgb(0.15f, 0.20f, 0.29f),  // Percent
    rgb(0.40f, 0.44f, 0.50f),  // RemainingLabel
    rgb(0.13f, 0.17f, 0.24f),  // RemainingValue
    rgb(0.34f, 0.38f, 0.44f),  // FigureLine
    rgb(0.16f, 0.38f, 0.72f),  // SettingsLabel
};
static_assert(std::size(kColours) == StatusPaintResources::kColourCount);

// Layout in DIPs, relative to the card's edges.
constexpr float kCardInset = 12.0f;
constexpr float kCardRadius = 16.0f;
constexpr float kCardBorderWidth = 1.0f;
constexpr float kCloseOuterOffset = 38.0f;  // from the card's right edge and top
constexpr float kCloseInnerOffset = 10.0f;
constexpr float kCloseRadius = 8.0f;
constexpr float kTitleLeft = 18.0f;
constexpr float kTitleTop = 8.0f;
constexpr float kTitleRightGap = 52.0f;
constexpr float kTitleBottom = 40.0f;
constexpr float kRingCentreX = 76.0f;
constexpr float kRingCentreY = 113.0f;
constexpr float kRingRadius = 47.0f;
constexpr float kRingStrokeWidth = 10.0f;
constexpr float kRingMiterLimit = 10.0f;
constexpr float kPercentHalfWidth = 43.0f;
constexpr float kPercentHalfHeight = 17.0f;
constexpr float kColumnLeft = 150.0f;
constexpr float kColumnRightGap = 18.0f;
constexpr float kRemainingLabelTop = 55.0f;
constexpr float kRemainingLabelBottom = 78.0f;
constexpr float kRemainingValueTop = 77.0f;
constexpr float kRemainingValueBottom = 117.0f;
constexpr float kUsedLineTop = 125.0f;
constexpr float kUsedLineBottom = 148.0f;
constexpr float kLimitLineTop = 150.0f;
constexpr float kLimitLineBottom = 173.0f;
constexpr float kSettingsSideGap = 18.0f;
constexpr float kSettingsTopOffset = 51.0f;  // from the card's bottom edge
constexpr float kSettingsBottomOffset = 15.0f;
constexpr float kSettingsRadius = 9.0f;

// MinGW's headers spell the code as an unsigned number.
constexpr HRESULT kDeviceLost = static_cast<HRESULT>(D2DERR_RECREATE_TARGET);

constexpr wchar_t kFontFamily[] = L"Segoe UI";
constexpr wchar_t kCloseGlyph[] = L"\u00D7";
constexpr wchar_t kLineSeparator[] = L": ";

// The text formats of a frame, indices into StatusPaintResources::textFormats.
enum class TextStyleId : size_t {
    CloseGlyph,
    Title,
    Percent,
    RemainingLabel,
    RemainingValue,
    FigureLine,
    SettingsLabel,
    Count,
};
static_assert(static_cast<size_t>(TextStyleId::Count) == StatusPaintResources::kTextStyleCount);

struct TextStyle {
    float size;
    DWRITE_FONT_WEIGHT weight;
    Colour colour;
    DWRITE_TEXT_ALIGNMENT alignment;
};

constexpr TextStyle kTextStyles[] = {
    {20.0f, DWRITE_FONT_WEIGHT_NORMAL, Colour::CloseGlyph, DWRITE_TEXT_ALIGNMENT_CENTER},
    {16.0f, DWRITE_FONT_WEIGHT_SEMI_BOLD, Colour::Title, DWRITE_TEXT_ALIGNMENT_LEADING},
    {22.0f, DWRITE_FONT_WEIGHT_SEMI_BOLD, Colour::Percent, DWRITE_TEXT_ALIGNMENT_CENTER},
    {14.0f, DWRITE_FONT_WEIGHT_NORMAL, Colour::RemainingLabel, DWRITE_TEXT_ALIGNMENT_LEADING},
    {29.0f, DWRITE_FONT_WEIGHT_SEMI_BOLD, Colour::RemainingValue, DWRITE_TEXT_ALIGNMENT_LEADING},
    {14.0f, DWRITE_FONT_WEIGHT_NORMAL, Colour::FigureLine, DWRITE_TEXT_ALIGNMENT_LEADING},
    {14.0f, DWRITE_FONT_WEIGHT_SEMI_BOLD, Colour::SettingsLabel, DWRITE_TEXT_ALIGNMENT_CENTER},
};
static_assert(std::size(kTextStyles) == StatusPaintResources::kTextStyleCount);

HRESULT systemEndDraw(ID2D1RenderTarget& target)
{
    return target.EndDraw();
}

EndDrawFunction endDraw = systemEndDraw;

// A frame's objects are made when first needed and kept with the target; one
// that cannot be made leaves its part of the picture out, and is tried again
// at the next frame.
ID2D1SolidColorBrush* brushFor(ID2D1RenderTarget& target, StatusPaintResources& resources, Colour colour)
{
    const auto index = static_cast<size_t>(colour);
    ComPtr<ID2D1SolidColorBrush>& brush = resources.brushes[index];
    if (!brush) {
        target.CreateSolidColorBrush(kColours[index], brush.put());
    }
    return brush.get();
}

IDWriteTextFormat* textFormatFor(IDWriteFactory& factory, StatusPaintResources& resources, TextStyleId id)
{
    const auto index = static_cast<size_t>(id);
    ComPtr<IDWriteTextFormat>& format = resources.textFormats[index];
    if (!format) {
        const TextStyle& style = kTextStyles[index];
        if (FAILED(factory.CreateTextFormat(kFontFamily, nullptr, style.weight, DWRITE_FONT_STYLE_NORMAL,
                                            DWRITE_FONT_STRETCH_NORMAL, style.size, L"", format.put()))) {
            return nullptr;
        }
        format->SetTextAlignment(style.alignment);
        format->SetParagraphAlignment(DWRITE_PARAGRAPH_ALIGNMENT_CENTER);
    }
    return format.get();
}

void drawLabel(ID2D1RenderTarget& target, IDWriteFactory& factory, StatusPaintResources& resources,
               const std::wstring& text, const D2D1_RECT_F& box, TextStyleId id)
{
    IDWriteTextFormat* format = textFormatFor(factory, resources, id);
    ID2D1SolidColorBrush* brush = brushFor(target, resources, kTextStyles[static_cast<size_t>(id)].colour);
    if (format != nullptr && brush != nullptr) {
        target.DrawText(text.c_str(), static_cast<UINT32>(text.size()), format, box, brush,
                        D2D1_DRAW_TEXT_OPTIONS_NONE, DWRITE_MEASURING_MODE_NATURAL);
    }
}

void fillRounded(ID2D1RenderTarget& target, const D2D1_RECT_F& rect, float radius, ID2D1Brush* brush)
{
    if (brush != nullptr) {
        target.FillRoundedRectangle(D2D1_ROUNDED_RECT{rect, radius, radius}, brush);
    }
}

bool samePlan(const RingPlan& a, const RingPlan& b)
{
    return a.shape == b.shape && a.segments == b.segments && a.startAngle == b.startAngle &&
           a.sweepAngle == b.sweepAngle;
}

// The accent arc as one open polyline, kept while the share and the place stay the same.
ID2D1PathGeometry* ringArcFor(ID2D1Factory& factory, StatusPaintResources& resources, D2D1_POINT_2F centre,
                              float radius, const RingPlan& plan)
{
    if (resources.ringArc && samePlan(resources.ringArcPlan, plan) && resources.ringArcCentre.x == centre.x &&
        resources.ringArcCentre.y == centre.y && resources.ringArcRadius == radius) {
        return resources.ringArc.get();
    }
    ComPtr<ID2D1PathGeometry>& path = resources.ringArc;
    ComPtr<ID2D1GeometrySink> sink;
    if (FAILED(factory.CreatePathGeometry(path.put())) || FAILED(path->Open(sink.put()))) {
        path.reset();
        return nullptr;
    }
    sink->BeginFigure(ringArcPoint(centre, radius, plan, 0), D2D1_FIGURE_BEGIN_HOLLOW);
    for (int i = 1; i <= plan.segments; ++i) {
        sink->AddLine(ringArcPoint(centre, radius, plan, i));
    }
    sink->EndFigure(D2D1_FIGURE_END_OPEN);
    if (FAILED(sink->Close())) {
        path.reset();
        return nullptr;
    }
    resources.ringArcPlan = plan;
    resources.ringArcCentre = centre;
    resources.ringArcRadius = radius;
    return path.get();
}

// Round caps and joins; without a stroke style the default one serves.
ID2D1StrokeStyle* roundStrokeFor(ID2D1Factory& factory, StatusPaintResources& resources)
{
    if (!resources.roundStroke) {
        const D2D1_STROKE_STYLE_PROPERTIES roundStroke{D2D1_CAP_STYLE_ROUND, D2D1_CAP_STYLE_ROUND,
                                                       D2D1_CAP_STYLE_ROUND, D2D1_LINE_JOIN_ROUND,
                                                       kRingMiterLimit,      D2D1_DASH_STYLE_SOLID,
                                                       0.0f};
        factory.CreateStrokeStyle(roundStroke, nullptr, 0, resources.roundStroke.put());
    }
    return resources.roundStroke.get();
}

void drawUsageRing(ID2D1RenderTarget& target, ID2D1Factory& factory, StatusPaintResources& resources,
                   D2D1_POINT_2F centre, float radius, int32_t percent)
{
    const D2D1_ELLIPSE circle{centre, radius, radius};
    if (ID2D1SolidColorBrush* track = brushFor(target, resources, Colour::RingTrack); track != nullptr) {
        target.DrawEllipse(circle, track, kRingStrokeWidth);
    }
    ID2D1SolidColorBrush* accent = brushFor(target, resources, Colour::RingAccent);
    if (accent == nullptr) {
        return;
    }
    const RingPlan plan = planUsageRing(percent);
    switch (plan.shape) {
    case RingShape::FullCircle:
        target.DrawEllipse(circle, accent, kRingStrokeWidth);
        break;
    case RingShape::Arc:
        if (ID2D1PathGeometry* arc = ringArcFor(factory, resources, centre, radius, plan); arc != nullptr) {
            target.DrawGeometry(arc, accent, kRingStrokeWidth, roundStrokeFor(factory, resources));
        }
        break;
    case RingShape::TrackOnly:
        break;
    }
}

StatusButtons buttonsOf(const StatusSceneLayout& layout)
{
    return StatusButtons{layout.closeButton, layout.settingsButton};
}

void storeButtons(StatusWindowState& state, const StatusButtons& buttons)
{
    state.closeButton = buttons.close;
    state.settingsButton = buttons.settings;
}

// The client area in DIPs, the size a render target for it reports.
D2D1_SIZE_F clientSizeInDips(HWND window, float dpiScale)
{
    RECT client = {};
    GetClientRect(window, &client);
    return D2D1_SIZE_F{static_cast<float>(client.right - client.left) / dpiScale,
                       static_cast<float>(client.bottom - client.top) / dpiScale};
}

}  // namespace

void setEndDrawFunction(EndDrawFunction function)
{
    endDraw = function != nullptr ? function : systemEndDraw;
}

StatusFigures computeStatusFigures(int32_t limitMinutes, int32_t remainingSeconds, int64_t usedSeconds)
{
    StatusFigures figures;
    const int64_t limit = static_cast<int64_t>(limitMinutes) * kSecondsPerMinute;
    figures.limitSeconds = static_cast<int32_t>(std::clamp<int64_t>(
        limit, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    figures.remaining = remainingSeconds;
    if (figures.limitSeconds > 0) {
        figures.usedShown = std::clamp<int64_t>(usedSeconds, 0, figures.limitSeconds);
        const int64_t percent = static_cast<int64_t>(remainingSeconds) * kFullPercent / figures.limitSeconds;
        figures.percent = static_cast<int32_t>(std::clamp<int64_t>(percent, 0, kFullPercent));
    }
    return figures;
}

RingPlan planUsageRing(int32_t percent)
{
    RingPlan plan;
    const float fraction =
        static_cast<float>(std::clamp(percent, 0, kFullPercent)) / static_cast<float>(kFullPercent);
    if (fraction >= 1.0f) {
        plan.shape = RingShape::FullCircle;
        return plan;
    }
    if (fraction <= 0.0f) {
        return plan;
    }
    plan.shape = RingShape::Arc;
    plan.startAngle = kFullTurn * (1.0f - fraction) - kQuarterTurn;
    plan.sweepAngle = kFullTurn * fraction;
    plan.segments = std::max(1, static_cast<int>(std::ceil(kSegmentsPerTurn * fraction)));
    return plan;
}

D2D1_POINT_2F ringPoint(D2D1_POINT_2F centre, float radius, float angle)
{
    return D2D1_POINT_2F{centre.x + radius * std::cos(angle), centre.y + radius * std::sin(angle)};
}

D2D1_POINT_2F ringArcPoint(D2D1_POINT_2F centre, float radius, const RingPlan& plan, int index)
{
    const float step = plan.segments > 0 ? plan.sweepAngle * static_cast<float>(index) / static_cast<float>(plan.segments)
                                         : 0.0f;
    return ringPoint(centre, radius, plan.startAngle + step);
}

StatusSceneLayout layoutStatusScene(D2D1_SIZE_F size)
{
    StatusSceneLayout layout{};
    const D2D1_RECT_F card{kCardInset, kCardInset, size.width - kCardInset, size.height - kCardInset};
    const float left = card.left;
    const float top = card.top;
    const float right = card.right;
    const float bottom = card.bottom;
    layout.card = card;
    layout.closeButton = {right - kCloseOuterOffset, top + kCloseInnerOffset, right - kCloseInnerOffset,
                          top + kCloseOuterOffset};
    layout.title = {left + kTitleLeft, top + kTitleTop, right - kTitleRightGap, top + kTitleBottom};
    layout.ringCentre = {left + kRingCentreX, top + kRingCentreY};
    layout.ringRadius = kRingRadius;
    layout.percentText = {layout.ringCentre.x - kPercentHalfWidth, layout.ringCentre.y - kPercentHalfHeight,
                          layout.ringCentre.x + kPercentHalfWidth, layout.ringCentre.y + kPercentHalfHeight};
    const float columnLeft = left + kColumnLeft;
    const float columnRight = right - kColumnRightGap;
    layout.remainingLabel = {columnLeft, top + kRemainingLabelTop, columnRight, top + kRemainingLabelBottom};
    layout.remainingValue = {columnLeft, top + kRemainingValueTop, columnRight, top + kRemainingValueBottom};
    layout.usedLine = {columnLeft, top + kUsedLineTop, columnRight, top + kUsedLineBottom};
    layout.limitLine = {columnLeft, top + kLimitLineTop, columnRight, top + kLimitLineBottom};
    layout.settingsButton = {left + kSettingsSideGap, bottom - kSettingsTopOffset, right - kSettingsSideGap,
                             bottom - kSettingsBottomOffset};
    return layout;
}

std::wstring percentText(int32_t percent)
{
    return std::to_wstring(percent) + L'%';
}

std::wstring usedLineText(int64_t usedShown)
{
    // usedShown never exceeds the limit, a 32-bit count.
    return localizedText(StringId::Used) + kLineSeparator + formatDuration(static_cast<int>(usedShown));
}

std::wstring limitLineText(int32_t limitSeconds)
{
    return localizedText(StringId::Limit) + kLineSeparator + formatDuration(limitSeconds);
}

std::wstring unknownLimitLineText()
{
    return localizedText(StringId::Limit) + kLineSeparator + localizedText(StringId::LimitUnknown);
}

StatusScene statusSceneOf(const StatusFigures& figures, bool closeHovered, bool settingsHovered, Language language)
{
    // As formatDuration shows them: a negative count as nothing.
    const auto wholeMinutes = [](int64_t seconds) { return std::max<int64_t>(seconds, 0) / kSecondsPerMinute; };
    StatusScene scene;
    scene.percent = figures.percent;
    scene.remainingMinutes = static_cast<int32_t>(wholeMinutes(figures.remaining));
    scene.usedMinutes = wholeMinutes(figures.usedShown);
    scene.limitMinutes = static_cast<int32_t>(wholeMinutes(figures.limitSeconds));
    scene.closeHovered = closeHovered;
    scene.settingsHovered = settingsHovered;
    scene.language = language;
    return scene;
}

StatusScene currentStatusScene(const StatusWindowState& state)
{
    StatusFigures figures;
    bool limitKnown = true;
    if (state.tracker != nullptr) {
        const UsageTracker& tracker = *state.tracker;
        figures = computeStatusFigures(tracker.config().dailyLimitMinutes, tracker.remainingSeconds(),
                                       tracker.usedSeconds());
        limitKnown = tracker.configLoaded();
    }
    StatusScene scene = statusSceneOf(figures, state.closeHovered, state.settingsHovered, currentLanguage());
    scene.limitKnown = limitKnown;
    return scene;
}

StatusFrame paintStatusScene(ID2D1RenderTarget& target, const StatusFactories& factories,
                             StatusPaintResources& resources, const StatusScene& scene)
{
    ID2D1Factory& d2d = *factories.d2d();
    IDWriteFactory& write = *factories.write();
    const StatusSceneLayout layout = layoutStatusScene(target.GetSize());
    target.BeginDraw();
    target.Clear(kBackground);
    fillRounded(target, layout.card, kCardRadius, brushFor(target, resources, Colour::CardFill));
    if (ID2D1SolidColorBrush* border = brushFor(target, resources, Colour::Border); border != nullptr) {
        target.DrawRoundedRectangle(D2D1_ROUNDED_RECT{layout.card, kCardRadius, kCardRadius}, border,
                                    kCardBorderWidth);
    }
    fillRounded(target, layout.closeButton, kCloseRadius,
                brushFor(target, resources, scene.closeHovered ? Colour::CloseFillHovered : Colour::CloseFill));
    drawLabel(target, write, resources, kCloseGlyph, layout.closeButton, TextStyleId::CloseGlyph);
    drawLabel(target, write, resources, localizedText(StringId::AppTitle), layout.title, TextStyleId::Title);
    drawUsageRing(target, d2d, resources, layout.ringCentre, layout.ringRadius, scene.percent);
    drawLabel(target, write, resources, percentText(scene.percent), layout.percentText,
              TextStyleId::Percent);
    drawLabel(target, write, resources, localizedText(StringId::RemainingToday), layout.remainingLabel,
              TextStyleId::RemainingLabel);
    drawLabel(target, write, resources, formatDuration(scene.remainingMinutes * kSecondsPerMinute),
              layout.remainingValue, TextStyleId::RemainingValue);
    drawLabel(target, write, resources, usedLineText(scene.usedMinutes * kSecondsPerMinute), layout.usedLine,
              TextStyleId::FigureLine);
    drawLabel(target, write, resources,
              scene.limitKnown ? limitLineText(scene.limitMinutes * kSecondsPerMinute) : unknownLimitLineText(),
              layout.limitLine, TextStyleId::FigureLine);
    fillRounded(target, layout.settingsButton, kSettingsRadius,
                brushFor(target, resources, scene.settingsHovered ? Colour::ButtonFillHovered : Colour::ButtonFill));
    drawLabel(target, write, resources, localizedText(StringId::StatusSettings), layout.settingsButton,
              TextStyleId::SettingsLabel);

    const HRESULT endDrawResult = endDraw(target);
    return StatusFrame{buttonsOf(layout), endDrawResult};
}

// The factories are made when the window opens (statusWindow.cpp); a window
// opened while they could not be made draws nothing until it is opened again.
bool ensureDeviceResources(HWND window, StatusWindowState& state)
{
    const StatusFactories& factories = sharedStatusFactories();
    if (!factories.ready()) {
        return false;
    }
    if (state.renderTarget) {
        return true;
    }
    RECT client = {};
    GetClientRect(window, &client);
    const D2D1_RENDER_TARGET_PROPERTIES targetProperties{
        D2D1_RENDER_TARGET_TYPE_DEFAULT, D2D1_PIXEL_FORMAT{DXGI_FORMAT_UNKNOWN, D2D1_ALPHA_MODE_UNKNOWN}, 0.0f, 0.0f,
        D2D1_RENDER_TARGET_USAGE_NONE, D2D1_FEATURE_LEVEL_DEFAULT};
    const D2D1_HWND_RENDER_TARGET_PROPERTIES windowProperties{
        window,
        D2D1_SIZE_U{static_cast<UINT32>(client.right - client.left), static_cast<UINT32>(client.bottom - client.top)},
        D2D1_PRESENT_OPTIONS_NONE};
    if (FAILED(factories.d2d()->CreateHwndRenderTarget(targetProperties, windowProperties,
                                                       state.renderTarget.put()))) {
        return false;
    }
    updateDpiScale(window, state);
    return true;
}

// What was made for the target goes before the target itself.
void dropDeviceResources(StatusWindowState& state)
{
    state.paintResources.reset();
    state.renderTarget.reset();
    state.drawnScene.reset();
}

bool statusWindowOutdated(const StatusWindowState& state)
{
    return !state.drawnScene || *state.drawnScene != currentStatusScene(state);
}

void renderStatusWindow(HWND window)
{
    StatusWindowState* state = statusWindowStateOf(window);
    if (state == nullptr) {
        return;
    }
    // The hit tests need the buttons even when nothing can be drawn, or the
    // window could be neither closed nor told to open the settings.
    storeButtons(*state, buttonsOf(layoutStatusScene(clientSizeInDips(window, state->dpiScale))));
    if (state->tracker == nullptr || !ensureDeviceResources(window, *state)) {
        return;
    }
    const StatusScene scene = currentStatusScene(*state);
    const StatusFrame frame =
        paintStatusScene(*state->renderTarget.get(), sharedStatusFactories(), state->paintResources, scene);
    storeButtons(*state, frame.buttons);
    if (frame.endDrawResult != kDeviceLost) {
        state->drawnScene = scene;
        state->lastFrameLost = false;
        return;
    }
    // The device is gone (a driver update, a remote session): the next paint
    // makes a new target. It comes at once after the first loss; should the
    // new target be lost as well, the repaint timer retries, rather than an
    // endless run of paints.
    dropDeviceResources(*state);
    if (!state->lastFrameLost) {
        InvalidateRect(window, nullptr, FALSE);
    }
    state->lastFrameLost = true;
}
