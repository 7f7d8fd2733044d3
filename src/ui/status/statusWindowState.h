// The status window's per-window record and the pure decisions of its window
// procedure (hit tests, hover, placement), kept apart so tests can call them.
#pragma once

#include <windows.h>

#include <d2d1.h>
#include <dwrite.h>

#include <optional>
#include <span>

#include "base/scopedHandles.h"
#include "ui/status/statusRendering.h"

class UsageTracker;

inline constexpr wchar_t kStatusWindowClass[] = L"HourwardenStatusWindow";
inline constexpr UINT_PTR kStatusRepaintTimerId = 10;
inline constexpr UINT kStatusRepaintPeriodMs = 1000;

// One per status window, its record (windowState.h) from WM_NCCREATE until the window is gone.
struct StatusWindowState {
    UsageTracker* tracker = nullptr;  // borrowed from the control window
    HWND createdWith = nullptr;       // the owner given at creation
    // The factories are the process's (statusFactories.h); the target and what
    // is made for it are the window's.
    ComPtr<ID2D1HwndRenderTarget> renderTarget;
    StatusPaintResources paintResources;
    // What the window shows, as last drawn; none while nothing has been drawn on the current target.
    std::optional<StatusScene> drawnScene;
    float dpiScale = 1.0f;
    // In device-independent pixels, as last painted; the hit tests read them.
    D2D1_RECT_F closeButton = {};
    D2D1_RECT_F settingsButton = {};
    bool closeHovered = false;
    bool settingsHovered = false;
    // The last frame found the device lost; a second loss in a row waits for the timer.
    bool lastFrameLost = false;
};

StatusWindowState* statusWindowStateOf(HWND window);

// Client pixel (x, y) against a rectangle in DIPs; all four edges count as inside.
bool containsPixel(const D2D1_RECT_F& rect, int x, int y, float scale);
// The top strip, minus the close button, drags the window.
bool isDragStripPixel(const D2D1_RECT_F& closeButton, int x, int y, float scale);

struct StatusHover {
    bool close = false;
    bool settings = false;
};
StatusHover hoverAt(const StatusWindowState& state, int x, int y);

enum class StatusButton { None, Close, Settings };
// The close button wins where the two would ever overlap.
StatusButton buttonAt(const StatusWindowState& state, int x, int y);

// Bottom-right corner of the work area, a fixed physical gap from its edges.
POINT defaultStatusWindowPosition(const RECT& workArea, const RECT& windowRect);
// Whether some pixel of the top `stripHeight` rows of a window at `windowRect`
// lies on one of the work areas, so the window can be seen and dragged.
// With no work area known there is nothing to judge by, and the answer is yes.
bool dragStripOnSomeWorkArea(const RECT& windowRect, LONG stripHeight, std::span<const RECT> workAreas);

ATOM registerStatusWindowClass(HINSTANCE instance);
void placeStatusWindow(HWND window, const UsageTracker* tracker);
void applyStatusWindowRegion(HWND window);
void updateDpiScale(HWND window, StatusWindowState& state);
LRESULT CALLBACK statusWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
