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
constexpr D2D1_COLOR_F kCardFill = rgb(1.0f, 1.0f, 1.0f);
constexpr D2D1_COLOR_F kBorder = rgb(0.86f, 0.88f, 0.91f);
constexpr D2D1_COLOR_F kCloseFill = rgb(0.95f, 0.96f, 0.98f);
constexpr D2D1_COLOR_F kCloseFillHovered = rgb(0.98f, 0.90f, 0.90f);
constexpr D2D1_COLOR_F kButtonFill = rgb(0.94f, 0.96f, 0.99f);
constexpr D2D1_COLOR_F kButtonFillHovered = rgb(0.89f, 0.93f, 0.99f);
constexpr D2D1_COLOR_F kRingTrack = rgb(0.89f, 0.92f, 0.95f);
constexpr D2D1_COLOR_F kRingAccent = rgb(0.20f, 0.62f, 0.43f);

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

struct TextStyle {
    float size;
    int weight;
    D2D1_COLOR_F colour;
    DWRITE_TEXT_ALIGNMENT alignment;
};

constexpr TextStyle kCloseGlyphStyle{20.0f, DWRITE_FONT_WEIGHT_NORMAL, rgb(0.30f, 0.33f, 0.38f),
                                     DWRITE_TEXT_ALIGNMENT_CENTER};
constexpr TextStyle kTitleStyle{16.0f, DWRITE_FONT_WEIGHT_SEMI_BOLD, rgb(0.17f, 0.20f, 0.25f),
                                DWRITE_TEXT_ALIGNMENT_LEADING};
constexpr TextStyle kPercentStyle{22.0f, DWRITE_FONT_WEIGHT_SEMI_BOLD, rgb(0.15f, 0.20f, 0.29f),
                                  DWRITE_TEXT_ALIGNMENT_CENTER};
constexpr TextStyle kRemainingLabelStyle{14.0f, DWRITE_FONT_WEIGHT_NORMAL, rgb(0.40f, 0.44f, 0.50f),
                                         DWRITE_TEXT_ALIGNMENT_LEADING};
constexpr TextStyle kRemainingValueStyle{29.0f, DWRITE_FONT_WEIGHT_SEMI_BOLD, rgb(0.13f, 0.17f, 0.24f),
                                         DWRITE_TEXT_ALIGNMENT_LEADING};
constexpr TextStyle kFigureLineStyle{14.0f, DWRITE_FONT_WEIGHT_NORMAL, rgb(0.34f, 0.38f, 0.44f),
                                     DWRITE_TEXT_ALIGNMENT_LEADING};
constexpr TextStyle kSettingsLabelStyle{14.0f, DWRITE_FONT_WEIGHT_SEMI_BOLD, rgb(0.16f, 0.38f, 0.72f),
                                        DWRITE_TEXT_ALIGNMENT_CENTER};

HRESULT systemEndDraw(ID2D1RenderTarget& target)
{
    return target.EndDraw();
}

EndDrawFunction endDraw = systemEndDraw;

void drawStyledLabel(ID2D1RenderTarget& target, IDWriteFactory& factory, const std::wstring& text,
                     const D2D1_RECT_F& box, const TextStyle& style)
{
    drawLabel(target, factory, text, box, style.size, style.weight, style.colour, style.alignment);
}

// A brush that could not be made leaves its shape out rather than drawing with nothing.
void fillRounded(ID2D1RenderTarget& target, const D2D1_RECT_F& rect, float radius, ID2D1Brush* brush)
{
    if (brush != nullptr) {
        target.FillRoundedRectangle(D2D1_ROUNDED_RECT{rect, radius, radius}, brush);
    }
}

// The accent arc as one open polyline with round caps and joins.
void drawRingArc(ID2D1RenderTarget& target, ID2D1Factory& factory, ID2D1Brush& accent, D2D1_POINT_2F centre,
                 float radius, const RingPlan& plan)
{
    ComPtr<ID2D1PathGeometry> path;
    ComPtr<ID2D1GeometrySink> sink;
    if (FAILED(factory.CreatePathGeometry(path.put())) || FAILED(path->Open(sink.put()))) {
        return;
    }
    sink->BeginFigure(ringArcPoint(centre, radius, plan, 0), D2D1_FIGURE_BEGIN_HOLLOW);
    for (int i = 1; i <= plan.segments; ++i) {
        sink->AddLine(ringArcPoint(centre, radius, plan, i));
    }
    sink->EndFigure(D2D1_FIGURE_END_OPEN);
    sink->Close();

    const D2D1_STROKE_STYLE_PROPERTIES roundStroke{D2D1_CAP_STYLE_ROUND, D2D1_CAP_STYLE_ROUND,
                                                   D2D1_CAP_STYLE_ROUND, D2D1_LINE_JOIN_ROUND,
                                                   kRingMiterLimit,      D2D1_DASH_STYLE_SOLID,
                                                   0.0f};
    ComPtr<ID2D1StrokeStyle> stroke;
    // Without a stroke style the default one serves.
    factory.CreateStrokeStyle(roundStroke, nullptr, 0, stroke.put());
    target.DrawGeometry(path.get(), &accent, kRingStrokeWidth, stroke.get());
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

void drawLabel(ID2D1RenderTarget& target, IDWriteFactory& factory, const std::wstring& text, const D2D1_RECT_F& box,
               float size, int weight, const D2D1_COLOR_F& colour, DWRITE_TEXT_ALIGNMENT alignment)
{
    ComPtr<IDWriteTextFormat> format;
    if (FAILED(factory.CreateTextFormat(kFontFamily, nullptr, static_cast<DWRITE_FONT_WEIGHT>(weight),
                                        DWRITE_FONT_STYLE_NORMAL, DWRITE_FONT_STRETCH_NORMAL, size, L"",
                                        format.put()))) {
        return;
    }
    format->SetTextAlignment(alignment);
    format->SetParagraphAlignment(DWRITE_PARAGRAPH_ALIGNMENT_CENTER);
    ComPtr<ID2D1SolidColorBrush> brush;
    if (FAILED(target.CreateSolidColorBrush(colour, brush.put()))) {
        return;
    }
    target.DrawText(text.c_str(), static_cast<UINT32>(text.size()), format.get(), box, brush.get(),
                    D2D1_DRAW_TEXT_OPTIONS_NONE, DWRITE_MEASURING_MODE_NATURAL);
}

void drawUsageRing(ID2D1RenderTarget& target, ID2D1Factory& factory, D2D1_POINT_2F centre, float radius,
                   int32_t percent)
{
    ComPtr<ID2D1SolidColorBrush> track;
    ComPtr<ID2D1SolidColorBrush> accent;
    target.CreateSolidColorBrush(kRingTrack, track.put());
    target.CreateSolidColorBrush(kRingAccent, accent.put());
    const D2D1_ELLIPSE circle{centre, radius, radius};
    if (track) {
        target.DrawEllipse(circle, track.get(), kRingStrokeWidth);
    }
    if (!accent) {
        return;
    }
    const RingPlan plan = planUsageRing(percent);
    switch (plan.shape) {
    case RingShape::FullCircle:
        target.DrawEllipse(circle, accent.get(), kRingStrokeWidth);
        break;
    case RingShape::Arc:
        drawRingArc(target, factory, *accent.get(), centre, radius, plan);
        break;
    case RingShape::TrackOnly:
        break;
    }
}

StatusFrame paintStatusScene(ID2D1RenderTarget& target, ID2D1Factory& d2dFactory, IDWriteFactory& writeFactory,
                             const StatusFigures& figures, bool closeHovered, bool settingsHovered)
{
    const StatusSceneLayout layout = layoutStatusScene(target.GetSize());
    target.BeginDraw();

    // Released in reverse order when the frame is done, after EndDraw.
    ComPtr<ID2D1SolidColorBrush> cardFill;
    ComPtr<ID2D1SolidColorBrush> border;
    ComPtr<ID2D1SolidColorBrush> buttonFill;
    ComPtr<ID2D1SolidColorBrush> closeFill;
    target.CreateSolidColorBrush(kCardFill, cardFill.put());
    target.CreateSolidColorBrush(kBorder, border.put());
    target.CreateSolidColorBrush(settingsHovered ? kButtonFillHovered : kButtonFill, buttonFill.put());
    target.CreateSolidColorBrush(closeHovered ? kCloseFillHovered : kCloseFill, closeFill.put());

    target.Clear(kBackground);
    fillRounded(target, layout.card, kCardRadius, cardFill.get());
    if (border) {
        target.DrawRoundedRectangle(D2D1_ROUNDED_RECT{layout.card, kCardRadius, kCardRadius}, border.get(),
                                    kCardBorderWidth);
    }
    fillRounded(target, layout.closeButton, kCloseRadius, closeFill.get());
    drawStyledLabel(target, writeFactory, kCloseGlyph, layout.closeButton, kCloseGlyphStyle);
    drawStyledLabel(target, writeFactory, localizedText(StringId::AppTitle), layout.title, kTitleStyle);
    drawUsageRing(target, d2dFactory, layout.ringCentre, layout.ringRadius, figures.percent);
    drawStyledLabel(target, writeFactory, percentText(figures.percent), layout.percentText, kPercentStyle);
    drawStyledLabel(target, writeFactory, localizedText(StringId::RemainingToday), layout.remainingLabel,
                    kRemainingLabelStyle);
    drawStyledLabel(target, writeFactory, formatDuration(figures.remaining), layout.remainingValue,
                    kRemainingValueStyle);
    drawStyledLabel(target, writeFactory, usedLineText(figures.usedShown), layout.usedLine, kFigureLineStyle);
    drawStyledLabel(target, writeFactory, limitLineText(figures.limitSeconds), layout.limitLine, kFigureLineStyle);
    fillRounded(target, layout.settingsButton, kSettingsRadius, buttonFill.get());
    drawStyledLabel(target, writeFactory, localizedText(StringId::StatusSettings), layout.settingsButton,
                    kSettingsLabelStyle);

    const HRESULT endDrawResult = endDraw(target);
    return StatusFrame{buttonsOf(layout), endDrawResult};
}

bool ensureDeviceResources(HWND window, StatusWindowState& state)
{
    if (!state.d2dFactory &&
        FAILED(D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                                 reinterpret_cast<void**>(state.d2dFactory.put())))) {
        return false;
    }
    if (!state.writeFactory &&
        FAILED(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                   reinterpret_cast<IUnknown**>(state.writeFactory.put())))) {
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
    if (FAILED(state.d2dFactory->CreateHwndRenderTarget(targetProperties, windowProperties,
                                                        state.renderTarget.put()))) {
        return false;
    }
    updateDpiScale(window, state);
    return true;
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
    const UsageTracker& tracker = *state->tracker;
    const StatusFigures figures =
        computeStatusFigures(tracker.config().dailyLimitMinutes, tracker.remainingSeconds(), tracker.usedSeconds());
    const StatusFrame frame = paintStatusScene(*state->renderTarget.get(), *state->d2dFactory.get(),
                                               *state->writeFactory.get(), figures, state->closeHovered,
                                               state->settingsHovered);
    storeButtons(*state, frame.buttons);
    if (frame.endDrawResult != kDeviceLost) {
        state->lastFrameLost = false;
        return;
    }
    // The device is gone (a driver update, a remote session): the next paint
    // makes a new target. It comes at once after the first loss; should the
    // new target be lost as well, the repaint timer retries, rather than an
    // endless run of paints.
    state->renderTarget.reset();
    if (!state->lastFrameLost) {
        InvalidateRect(window, nullptr, FALSE);
    }
    state->lastFrameLost = true;
}
