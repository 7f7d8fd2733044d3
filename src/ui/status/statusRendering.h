// Painting of the status window with Direct2D and DirectWrite, and the pure
// figures and geometry behind the picture.
#pragma once

#include <windows.h>

#include <d2d1.h>
#include <dwrite.h>

#include <cstdint>
#include <string>

#include "base/scopedHandles.h"
#include "i18n/strings.h"
#include "ui/status/statusFactories.h"

struct StatusWindowState;

// The numbers the window shows, all in whole seconds.
struct StatusFigures {
    int32_t limitSeconds = 0;
    int32_t remaining = 0;
    int64_t usedShown = 0;  // never above the limit
    int32_t percent = 0;    // of the limit still left, 0 to 100
    bool operator==(const StatusFigures&) const = default;
};
StatusFigures computeStatusFigures(int32_t limitMinutes, int32_t remainingSeconds, int64_t usedSeconds);

enum class RingShape { TrackOnly, FullCircle, Arc };

// The accent part of the usage ring: an arc of `segments` straight pieces that
// starts `sweepAngle` before 12 o'clock and is traced clockwise up to it.
struct RingPlan {
    RingShape shape = RingShape::TrackOnly;
    int segments = 0;
    float startAngle = 0.0f;  // radians; y grows downwards, so -pi/2 is the top
    float sweepAngle = 0.0f;
};
RingPlan planUsageRing(int32_t percent);
D2D1_POINT_2F ringPoint(D2D1_POINT_2F centre, float radius, float angle);
// Point `index` of the arc's polyline: 0 is where the figure begins, `segments` is 12 o'clock.
D2D1_POINT_2F ringArcPoint(D2D1_POINT_2F centre, float radius, const RingPlan& plan, int index);

// Where everything goes, in DIPs, for a client area of the given size.
struct StatusSceneLayout {
    D2D1_RECT_F card;
    D2D1_RECT_F closeButton;
    D2D1_RECT_F title;
    D2D1_POINT_2F ringCentre;
    float ringRadius;
    D2D1_RECT_F percentText;
    D2D1_RECT_F remainingLabel;
    D2D1_RECT_F remainingValue;
    D2D1_RECT_F usedLine;
    D2D1_RECT_F limitLine;
    D2D1_RECT_F settingsButton;
};
StatusSceneLayout layoutStatusScene(D2D1_SIZE_F size);

// The texts in the current language.
std::wstring percentText(int32_t percent);
std::wstring usedLineText(int64_t usedShown);
std::wstring limitLineText(int32_t limitSeconds);
// While config.json cannot be read the limit in force is nobody's choice: it is not shown.
std::wstring unknownLimitLineText();

// Everything a frame shows: the figures as far as they are drawn (the texts
// give whole minutes), the hover and the language. The repaint timer compares
// it with the last frame drawn and asks for a paint only when it differs.
struct StatusScene {
    int32_t percent = 0;
    int32_t remainingMinutes = 0;
    int64_t usedMinutes = 0;
    int32_t limitMinutes = 0;
    bool limitKnown = true;
    bool closeHovered = false;
    bool settingsHovered = false;
    Language language = Language::English;
    bool operator==(const StatusScene&) const = default;
};
StatusScene statusSceneOf(const StatusFigures& figures, bool closeHovered, bool settingsHovered, Language language);
StatusScene currentStatusScene(const StatusWindowState& state);

// What a frame draws with: made once per render target at the first frame
// that needs it and dropped with the target. The ring's arc is remade only
// when the share it shows changes.
struct StatusPaintResources {
    static constexpr size_t kColourCount = 15;
    static constexpr size_t kTextStyleCount = 7;
    ComPtr<ID2D1SolidColorBrush> brushes[kColourCount];
    ComPtr<IDWriteTextFormat> textFormats[kTextStyleCount];
    ComPtr<ID2D1StrokeStyle> roundStroke;
    ComPtr<ID2D1PathGeometry> ringArc;
    RingPlan ringArcPlan;
    D2D1_POINT_2F ringArcCentre = {};
    float ringArcRadius = 0.0f;

    void reset()
    {
        ringArc.reset();
        roundStroke.reset();
        for (auto& format : textFormats) {
            format.reset();
        }
        for (auto& brush : brushes) {
            brush.reset();
        }
    }
};

struct StatusButtons {
    D2D1_RECT_F close;
    D2D1_RECT_F settings;
};
struct StatusFrame {
    StatusButtons buttons;
    HRESULT endDrawResult;  // D2DERR_RECREATE_TARGET: the device is lost, the target must be made anew
};
// One complete frame between BeginDraw and EndDraw, drawn with (and adding to) `resources`.
StatusFrame paintStatusScene(ID2D1RenderTarget& target, const StatusFactories& factories,
                             StatusPaintResources& resources, const StatusScene& scene);

// The frame's EndDraw, replaceable so tests can report a lost device; null restores the real call.
using EndDrawFunction = HRESULT (*)(ID2D1RenderTarget& target);
void setEndDrawFunction(EndDrawFunction function);

bool ensureDeviceResources(HWND window, StatusWindowState& state);
// Lets go of the render target and everything made for it.
void dropDeviceResources(StatusWindowState& state);
void renderStatusWindow(HWND window);
// Whether the window shows something other than what it would draw now.
bool statusWindowOutdated(const StatusWindowState& state);
