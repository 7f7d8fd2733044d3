#include "ui/settings/settingsPainting.h"

#include <windowsx.h>

#include "base/scopedHandles.h"
#include "i18n/strings.h"
#include "ui/labelFit.h"
#include "ui/settings/settingsControls.h"
#include "ui/windowFlags.h"
#include "ui/uiScale.h"
#include "ui/windowState.h"

namespace {

namespace palette = settings_palette;

constexpr COLORREF kEditBackground = RGB(255, 255, 255);
constexpr int kBorderPenWidth = 1;

POINT clientPointFromLParam(LPARAM lParam)
{
    return {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
}

void drawTextIn(HDC dc, const wchar_t* text, RECT area, UINT format)
{
    DrawTextW(dc, text, -1, &area, format);
}

void paintTitle(HWND window, HDC dc, const RECT& area)
{
    Font font(createUiFont(window, kTitleFontPoints, kTitleFontWeight));
    SelectGuard selected(dc, font.get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, palette::kText);
    drawTextIn(dc, localizedText(StringId::SettingsTitle).c_str(), area, DT_SINGLELINE | DT_VCENTER);
}

void paintCloseButton(HWND window, HDC dc, const RECT& area)
{
    {
        const bool hovered = hasWindowFlag(window, kSettingsCloseHoveredProperty);
        Brush fill(CreateSolidBrush(hovered ? palette::kCloseHovered : palette::kGround));
        FillRect(dc, &area, fill.get());
    }
    Font font(createUiFont(window, kCloseFontPoints, kCloseFontWeight));
    SelectGuard selected(dc, font.get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, palette::kCloseGlyph);
    drawTextIn(dc, kCloseGlyphText, area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

void roundRect(HDC dc, const RECT& area, HBRUSH fill, HPEN border, int cornerDiameter)
{
    SelectGuard brush(dc, fill);
    SelectGuard pen(dc, border);
    RoundRect(dc, area.left, area.top, area.right, area.bottom, cornerDiameter, cornerDiameter);
}

}  // namespace

// --- Pure helpers ------------------------------------------------------------------

ButtonKind buttonKindForId(int controlId)
{
    switch (controlId) {
    case kOkButtonId: return ButtonKind::Primary;
    case kCancelButtonId: return ButtonKind::Neutral;
    default: return ButtonKind::Accent;
    }
}

ButtonColors buttonColors(ButtonKind kind, bool pressed, bool hot)
{
    const auto pick = [&](COLORREF rest, COLORREF hotFill, COLORREF pressedFill) {
        return pressed ? pressedFill : (hot ? hotFill : rest);
    };
    switch (kind) {
    case ButtonKind::Primary:
        return {pick(palette::kOkFill, palette::kOkFillHot, palette::kOkFillPressed), palette::kOkFill,
                palette::kOkText};
    case ButtonKind::Neutral:
        return {pick(palette::kNeutralFill, palette::kNeutralFillHot, palette::kNeutralFillPressed), palette::kBorder,
                palette::kNeutralText};
    case ButtonKind::Accent:
        break;
    }
    return {pick(palette::kAccentFill, palette::kAccentFillHot, palette::kAccentFillPressed), palette::kBorder,
            palette::kAccentText};
}

ButtonColors buttonColorsForItem(int controlId, UINT itemState)
{
    return buttonColors(buttonKindForId(controlId), (itemState & ODS_SELECTED) != 0, (itemState & ODS_HOTLIGHT) != 0);
}

int cornerDiameterForDpi(UINT dpi)
{
    return 2 * scaleLength(kCardCornerRadius, dpi);
}

SettingsGeometry settingsGeometry(const RECT& client, UINT dpi)
{
    const auto scale = [dpi](int length) { return scaleLength(length, dpi); };
    const int m = scale(kCardMargin);
    const int side = scale(kCloseButtonSide);
    const int closeTop = m + scale(kCloseButtonTop);
    SettingsGeometry geometry = {};
    geometry.card = {m, m, client.right - m, client.bottom - m};
    geometry.cardCornerDiameter = cornerDiameterForDpi(dpi);
    geometry.title = {m + scale(kTitleInsetLeft), m + scale(kTitleInsetTop), client.right - m - scale(kTitleInsetRight),
                      m + scale(kTitleBottom)};
    // Its right edge is the card's, so the filled square covers that stretch of the card border.
    geometry.close = {client.right - m - side, closeTop, client.right - m, closeTop + side};
    geometry.dragBandHeight = scale(kDragBandHeight);
    return geometry;
}

LRESULT settingsHitTest(POINT clientPoint, const RECT& client, UINT dpi)
{
    const SettingsGeometry geometry = settingsGeometry(client, dpi);
    if (PtInRect(&geometry.close, clientPoint)) {
        return HTCLIENT;
    }
    return clientPoint.y < geometry.dragBandHeight ? HTCAPTION : HTCLIENT;
}

// --- Window side ---------------------------------------------------------------------

void applyRoundedRegion(HWND window)
{
    RECT bounds = {};
    GetWindowRect(window, &bounds);
    const int diameter = cornerDiameterForDpi(GetDpiForWindow(window));
    Region region(CreateRoundRectRgn(0, 0, bounds.right - bounds.left + 1, bounds.bottom - bounds.top + 1, diameter,
                                     diameter));
    // On success the system owns the region; on failure it is still ours to delete.
    if (region && SetWindowRgn(window, region.get(), TRUE) != 0) {
        region.release();
    }
}

RECT closeButtonRect(HWND window)
{
    RECT client = {};
    GetClientRect(window, &client);
    return settingsGeometry(client, GetDpiForWindow(window)).close;
}

void paintSettingsWindow(HWND window)
{
    PaintDc paint(window);
    HDC dc = paint.get();
    RECT client = {};
    GetClientRect(window, &client);
    const SettingsGeometry geometry = settingsGeometry(client, GetDpiForWindow(window));

    Brush ground(CreateSolidBrush(palette::kGround));
    Brush card(CreateSolidBrush(palette::kCard));
    Pen border(CreatePen(PS_SOLID, kBorderPenWidth, palette::kBorder));
    FillRect(dc, &client, ground.get());
    roundRect(dc, geometry.card, card.get(), border.get(), geometry.cardCornerDiameter);
    paintTitle(window, dc, geometry.title);
    paintCloseButton(window, dc, geometry.close);
}

void drawSettingsButton(const DRAWITEMSTRUCT& item)
{
    const ButtonColors colors = buttonColorsForItem(static_cast<int>(item.CtlID), item.itemState);
    Brush fill(CreateSolidBrush(colors.fill));
    Pen border(CreatePen(PS_SOLID, kBorderPenWidth, colors.border));
    roundRect(item.hDC, item.rcItem, fill.get(), border.get(), kButtonCornerDiameter);

    // Read at every drawing, so a re-labelled button shows its new text.
    wchar_t text[kControlTextMaxChars + 1] = {};
    GetWindowTextW(item.hwndItem, text, kControlTextMaxChars + 1);
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, colors.text);
    // Drawn with the button's own font, which the label fitting may have made smaller.
    const auto font = reinterpret_cast<HFONT>(SendMessageW(item.hwndItem, WM_GETFONT, 0, 0));
    SelectGuard selected(item.hDC, font != nullptr ? static_cast<HGDIOBJ>(font) : GetStockObject(SYSTEM_FONT));
    drawButtonLabel(item.hDC, text, item.rcItem, GetDpiForWindow(item.hwndItem));
}

void drawButtonLabel(HDC dc, const wchar_t* text, const RECT& button, UINT dpi)
{
    const RECT area = labelTextArea(LabelKind::OwnerDrawnButton, button, dpi);
    RECT line = {};
    DrawTextW(dc, text, -1, &line, DT_CALCRECT | DT_SINGLELINE);
    if (!labelNeedsWrap(line.right - line.left, area)) {
        drawTextIn(dc, text, button, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        return;
    }
    // Two lines, each centred, the block centred top to bottom.
    RECT block = {0, 0, area.right - area.left, 0};
    DrawTextW(dc, text, -1, &block, DT_CALCRECT | DT_WORDBREAK);
    const int blockHeight = block.bottom - block.top;
    RECT target = area;
    target.top = (button.top + button.bottom - blockHeight) / 2;
    target.bottom = target.top + blockHeight;
    drawTextIn(dc, text, target, DT_CENTER | DT_WORDBREAK);
}

LRESULT handleSettingsPaint(HWND window)
{
    paintSettingsWindow(window);
    return 0;
}

LRESULT handleSettingsDrawItem(LPARAM lParam)
{
    const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    if (item == nullptr) {
        return 0;
    }
    drawSettingsButton(*item);
    return TRUE;
}

LRESULT handleSettingsControlColor(HDC dc, bool isEdit)
{
    SetTextColor(dc, palette::kText);
    if (isEdit) {
        SetBkColor(dc, kEditBackground);
    } else {
        SetBkMode(dc, TRANSPARENT);
    }
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
}

LRESULT handleSettingsHitTest(HWND window, LPARAM lParam)
{
    POINT point = clientPointFromLParam(lParam);
    ScreenToClient(window, &point);
    RECT client = {};
    GetClientRect(window, &client);
    return settingsHitTest(point, client, GetDpiForWindow(window));
}

LRESULT handleSettingsMouseMove(HWND window, LPARAM lParam)
{
    const RECT close = closeButtonRect(window);
    const bool over = PtInRect(&close, clientPointFromLParam(lParam)) != FALSE;
    // One repaint per change of hover, not per move.
    if (over != hasWindowFlag(window, kSettingsCloseHoveredProperty)) {
        setWindowFlag(window, kSettingsCloseHoveredProperty, over);
        InvalidateRect(window, nullptr, FALSE);
    }
    TRACKMOUSEEVENT track = {};
    track.cbSize = sizeof track;
    track.dwFlags = TME_LEAVE;
    track.hwndTrack = window;
    track.dwHoverTime = 0;
    TrackMouseEvent(&track);
    return 0;
}

LRESULT handleSettingsMouseLeave(HWND window)
{
    if (removeWindowValue(window, kSettingsCloseHoveredProperty) != nullptr) {
        InvalidateRect(window, nullptr, FALSE);
    }
    return 0;
}

LRESULT handleSettingsLeftButtonUp(HWND window, LPARAM lParam)
{
    const RECT close = closeButtonRect(window);
    if (PtInRect(&close, clientPointFromLParam(lParam))) {
        destroyOnDecision(window);
    }
    return 0;
}

