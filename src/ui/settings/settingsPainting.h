// The settings window's own look: a white rounded card on a grey-blue ground,
// a painted title and close button, a drag band and owner-drawn buttons in
// three colour schemes. Geometry and colour choices are pure functions.
#pragma once

#include <windows.h>

namespace settings_palette {
inline constexpr COLORREF kGround = RGB(243, 245, 249);  // also the close button at rest
inline constexpr COLORREF kCard = RGB(255, 255, 255);
inline constexpr COLORREF kBorder = RGB(220, 224, 232);
inline constexpr COLORREF kText = RGB(43, 51, 64);
inline constexpr COLORREF kCloseGlyph = RGB(80, 86, 96);
inline constexpr COLORREF kCloseHovered = RGB(250, 228, 228);
inline constexpr COLORREF kOkFill = RGB(54, 122, 216);
inline constexpr COLORREF kOkFillHot = RGB(47, 113, 204);
inline constexpr COLORREF kOkFillPressed = RGB(40, 99, 184);
inline constexpr COLORREF kOkText = RGB(255, 255, 255);
inline constexpr COLORREF kAccentFill = RGB(237, 243, 252);
inline constexpr COLORREF kAccentFillHot = RGB(228, 238, 253);
inline constexpr COLORREF kAccentFillPressed = RGB(218, 230, 248);
inline constexpr COLORREF kAccentText = RGB(42, 92, 172);
inline constexpr COLORREF kNeutralFill = RGB(244, 246, 249);
inline constexpr COLORREF kNeutralFillHot = RGB(236, 239, 244);
inline constexpr COLORREF kNeutralFillPressed = RGB(226, 229, 235);
inline constexpr COLORREF kNeutralText = RGB(62, 69, 80);
}  // namespace settings_palette

// Measures at 96 DPI.
inline constexpr int kCardMargin = 12;
inline constexpr int kCardCornerRadius = 16;
inline constexpr int kTitleInsetLeft = 18;
inline constexpr int kTitleInsetTop = 8;
inline constexpr int kTitleInsetRight = 56;
inline constexpr int kTitleBottom = 42;
inline constexpr int kCloseButtonSide = 28;
inline constexpr int kCloseButtonTop = 10;
inline constexpr int kDragBandHeight = 50;
inline constexpr int kTitleFontPoints = 16;
inline constexpr int kTitleFontWeight = FW_SEMIBOLD;
inline constexpr int kCloseFontPoints = 20;
inline constexpr int kCloseFontWeight = FW_NORMAL;
inline constexpr wchar_t kCloseGlyphText[] = L"\u00D7";
// Button corners are a fixed 14 pixels at every DPI.
inline constexpr int kButtonCornerDiameter = 14;

enum class ButtonKind { Primary, Accent, Neutral };

struct ButtonColors {
    COLORREF fill;
    COLORREF border;
    COLORREF text;
};

// OK is the primary button, Cancel the neutral one, every other owner-drawn button an accent.
ButtonKind buttonKindForId(int controlId);
// Pressed wins over hot, hot over at rest.
ButtonColors buttonColors(ButtonKind kind, bool pressed, bool hot);
ButtonColors buttonColorsForItem(int controlId, UINT itemState);

struct SettingsGeometry {
    RECT card;
    int cardCornerDiameter;
    RECT title;
    RECT close;
    int dragBandHeight;  // client y below this is the drag band
};

SettingsGeometry settingsGeometry(const RECT& client, UINT dpi);
// Corner ellipse of the window region and of the card: 2 x scaled 16.
int cornerDiameterForDpi(UINT dpi);
// HTCLIENT over the close button and below the band, HTCAPTION in the band.
LRESULT settingsHitTest(POINT clientPoint, const RECT& client, UINT dpi);

void applyRoundedRegion(HWND window);
RECT closeButtonRect(HWND window);
void paintSettingsWindow(HWND window);
void drawSettingsButton(const DRAWITEMSTRUCT& item);
// A button's text with the font selected in `dc`: on one line when it fits
// inside the border and padding, else wrapped at word breaks and centred.
void drawButtonLabel(HDC dc, const wchar_t* text, const RECT& button, UINT dpi);

// Message handlers of settingsWindowProc for the look and the frame.
LRESULT handleSettingsPaint(HWND window);
LRESULT handleSettingsDrawItem(LPARAM lParam);
LRESULT handleSettingsControlColor(HDC dc, bool isEdit);
LRESULT handleSettingsHitTest(HWND window, LPARAM lParam);
LRESULT handleSettingsMouseMove(HWND window, LPARAM lParam);
LRESULT handleSettingsMouseLeave(HWND window);
LRESULT handleSettingsLeftButtonUp(HWND window, LPARAM lParam);
