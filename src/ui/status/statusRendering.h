// Painting of the status window with Direct2D and DirectWrite, and the pure
// figures and geometry behind the picture.
#pragma once

#include <windows.h>

#include <d2d1.h>
#include <dwrite.h>

#include <cstdint>
#include <string>

struct StatusWindowState;

// The numbers the window shows, all in whole seconds.
struct StatusFigures {
    int32_t limitSeconds = 0;
    int32_t remaining = 0;
    int64_t usedShown = 0;  // never above the limit
    int32_t percent = 0;    // of the limit still left, 0 to 100
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

struct StatusButtons {
    D2D1_RECT_F close;
    D2D1_RECT_F settings;
};
struct StatusFrame {
    StatusButtons buttons;
    HRESULT endDrawResult;  // D2DERR_RECREATE_TARGET: the device is lost, the target must be made anew
};
// One complete frame between BeginDraw and EndDraw; every object it makes is released before it returns.
StatusFrame paintStatusScene(ID2D1RenderTarget& target, ID2D1Factory& d2dFactory, IDWriteFactory& writeFactory,
                             const StatusFigures& figures, bool closeHovered, bool settingsHovered);

// The frame's EndDraw, replaceable so tests can report a lost device; null restores the real call.
using EndDrawFunction = HRESULT (*)(ID2D1RenderTarget& target);
void setEndDrawFunction(EndDrawFunction function);

bool ensureDeviceResources(HWND window, StatusWindowState& state);
void drawLabel(ID2D1RenderTarget& target, IDWriteFactory& factory, const std::wstring& text, const D2D1_RECT_F& box,
               float size, int weight, const D2D1_COLOR_F& colour, DWRITE_TEXT_ALIGNMENT alignment);
void drawUsageRing(ID2D1RenderTarget& target, ID2D1Factory& factory, D2D1_POINT_2F centre, float radius,
                   int32_t percent);
void renderStatusWindow(HWND window);
