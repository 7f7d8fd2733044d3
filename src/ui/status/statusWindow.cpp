#include "ui/status/statusWindow.h"

#include <windowsx.h>

#include <algorithm>
#include <new>
#include <vector>

#include "core/usageTracker.h"
#include "i18n/strings.h"
#include "app/controlWindow.h"
#include "ui/messageFilter.h"
#include "ui/settings/settingsUi.h"
#include "ui/status/statusFactories.h"
#include "ui/status/statusRendering.h"
#include "ui/status/statusWindowState.h"
#include "ui/ownWindows.h"
#include "ui/uiScale.h"
#include "ui/windowState.h"

namespace {

constexpr int kWindowWidth = 420;
constexpr int kWindowHeight = 250;
constexpr int kRegionCornerDiameter = 20;
constexpr int kWorkAreaGap = 12;  // physical pixels, not scaled
constexpr int kDragStripHeightDips = 48;
constexpr float kDragStripHeight = static_cast<float>(kDragStripHeightDips);
constexpr UINT kPlacementFlags = SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE;

// Registered once per process; registration is retried only while it has not succeeded.
ATOM statusWindowClassAtom = 0;

void repaint(HWND window)
{
    InvalidateRect(window, nullptr, FALSE);
}

// Once the window is gone, by the program's hand or with a parent or owner
// another program gave it: the device resources and the record go.
void releaseStatusWindow(HWND, void* record)
{
    auto* state = static_cast<StatusWindowState*>(record);
    dropDeviceResources(*state);
    delete state;
}

LRESULT handleNcCreate(HWND window, WPARAM wParam, LPARAM lParam)
{
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    if (windowRecord(window) != nullptr) {
        return TRUE;  // not the system's: the window exists already
    }
    auto* state = new (std::nothrow) StatusWindowState;
    if (state == nullptr) {
        return FALSE;  // no window rather than one that can neither paint nor close itself
    }
    state->tracker = static_cast<UsageTracker*>(create->lpCreateParams);
    state->createdWith = create->hwndParent;
    attachWindowRecord(window, state, releaseStatusWindow);
    // Default processing is what stores the creation title as the window text.
    DefWindowProcW(window, WM_NCCREATE, wParam, lParam);
    return TRUE;
}

LRESULT handleCreate(HWND window, StatusWindowState* state)
{
    if (state != nullptr) {
        updateDpiScale(window, *state);
    }
    // Once for the process; a failure is tried again at the next opening, and
    // until then the window draws nothing but still answers its buttons.
    sharedStatusFactories().acquire();
    SetTimer(window, kStatusRepaintTimerId, kStatusRepaintPeriodMs, nullptr);
    return 0;
}

// Most seconds change nothing shown (an idle user, a spent day): a frame is
// asked for only when the figures or the hover differ from the last one drawn,
// or when none has been drawn since the target was made.
LRESULT handleTimer(HWND window, const StatusWindowState* state, WPARAM timerId)
{
    if (timerId == kStatusRepaintTimerId && (state == nullptr || statusWindowOutdated(*state))) {
        repaint(window);
    }
    return 0;
}

LRESULT handlePaint(HWND window)
{
    PaintDc paint(window);
    renderStatusWindow(window);
    return 0;
}

LRESULT handleSize(StatusWindowState* state, LPARAM lParam)
{
    if (state != nullptr && state->renderTarget) {
        state->renderTarget->Resize(D2D1_SIZE_U{LOWORD(lParam), HIWORD(lParam)});
        state->drawnScene.reset();  // laid out for the old size
    }
    return 0;
}

LRESULT handleNcHitTest(HWND window, const StatusWindowState* state, LPARAM lParam)
{
    POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ScreenToClient(window, &point);
    if (state != nullptr && isDragStripPixel(state->closeButton, point.x, point.y, state->dpiScale)) {
        return HTCAPTION;
    }
    return HTCLIENT;
}

LRESULT handleMouseMove(HWND window, StatusWindowState* state, LPARAM lParam)
{
    if (state == nullptr) {
        return 0;
    }
    const StatusHover hover = hoverAt(*state, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    if (hover.close != state->closeHovered || hover.settings != state->settingsHovered) {
        state->closeHovered = hover.close;
        state->settingsHovered = hover.settings;
        repaint(window);
    }
    // Asked again on every move: the system drops the request once it has sent WM_MOUSELEAVE.
    TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, window, 0};
    TrackMouseEvent(&track);
    return 0;
}

LRESULT handleMouseLeave(HWND window, StatusWindowState* state)
{
    if (state != nullptr) {
        state->closeHovered = false;
        state->settingsHovered = false;
        repaint(window);
    }
    return 0;
}

// Buttons act on the release alone; no press inside them is needed first.
LRESULT handleLeftButtonUp(HWND window, const StatusWindowState* state, LPARAM lParam)
{
    if (state == nullptr) {
        return 0;
    }
    switch (buttonAt(*state, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam))) {
    case StatusButton::Close:
        destroyOnDecision(window);
        break;
    case StatusButton::Settings:
        // Owned by the control window, as from the tray: never by whatever owns this window now.
        openSettings(ownerForNewWindow(state->createdWith), state->tracker);
        break;
    case StatusButton::None:
        break;
    }
    return 0;
}

// Once per drag, when the system's move loop ends.
LRESULT handleExitSizeMove(HWND window, const StatusWindowState* state)
{
    RECT rect = {};
    if (state != nullptr && state->tracker != nullptr && GetWindowRect(window, &rect)) {
        state->tracker->setStatusWindowPosition(rect.left, rect.top);
    }
    return 0;
}

LRESULT handleDpiChanged(HWND window, StatusWindowState* state, LPARAM lParam)
{
    // The system always gives the rectangle; a message without one is not the system's.
    const auto* suggested = reinterpret_cast<const RECT*>(lParam);
    if (suggested == nullptr) {
        return 0;
    }
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    if (state != nullptr) {
        updateDpiScale(window, *state);
    }
    applyStatusWindowRegion(window);
    return 0;
}

LRESULT handleDestroy(HWND window)
{
    KillTimer(window, kStatusRepaintTimerId);
    return 0;
}

BOOL CALLBACK collectWorkArea(HMONITOR monitor, HDC, LPRECT, LPARAM workAreas)
{
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    if (GetMonitorInfoW(monitor, &info)) {
        reinterpret_cast<std::vector<RECT>*>(workAreas)->push_back(info.rcWork);
    }
    return TRUE;
}

std::vector<RECT> monitorWorkAreas()
{
    std::vector<RECT> workAreas;
    EnumDisplayMonitors(nullptr, nullptr, collectWorkArea, reinterpret_cast<LPARAM>(&workAreas));
    return workAreas;
}

RECT movedTo(const RECT& rect, POINT topLeft)
{
    return RECT{topLeft.x, topLeft.y, topLeft.x + (rect.right - rect.left), topLeft.y + (rect.bottom - rect.top)};
}

}  // namespace

StatusWindowState* statusWindowStateOf(HWND window)
{
    return static_cast<StatusWindowState*>(windowRecord(window));
}

bool containsPixel(const D2D1_RECT_F& rect, int x, int y, float scale)
{
    const float fx = static_cast<float>(x) / scale;
    const float fy = static_cast<float>(y) / scale;
    return rect.left <= fx && fx <= rect.right && rect.top <= fy && fy <= rect.bottom;
}

bool isDragStripPixel(const D2D1_RECT_F& closeButton, int x, int y, float scale)
{
    return !containsPixel(closeButton, x, y, scale) && static_cast<float>(y) / scale < kDragStripHeight;
}

StatusHover hoverAt(const StatusWindowState& state, int x, int y)
{
    return StatusHover{containsPixel(state.closeButton, x, y, state.dpiScale),
                       containsPixel(state.settingsButton, x, y, state.dpiScale)};
}

StatusButton buttonAt(const StatusWindowState& state, int x, int y)
{
    if (containsPixel(state.closeButton, x, y, state.dpiScale)) {
        return StatusButton::Close;
    }
    if (containsPixel(state.settingsButton, x, y, state.dpiScale)) {
        return StatusButton::Settings;
    }
    return StatusButton::None;
}

POINT defaultStatusWindowPosition(const RECT& workArea, const RECT& windowRect)
{
    const LONG width = windowRect.right - windowRect.left;
    const LONG height = windowRect.bottom - windowRect.top;
    return POINT{workArea.right - width - kWorkAreaGap, workArea.bottom - height - kWorkAreaGap};
}

bool dragStripOnSomeWorkArea(const RECT& windowRect, LONG stripHeight, std::span<const RECT> workAreas)
{
    if (workAreas.empty()) {
        return true;
    }
    const RECT strip{windowRect.left, windowRect.top, windowRect.right, windowRect.top + stripHeight};
    return std::any_of(workAreas.begin(), workAreas.end(), [&](const RECT& area) {
        return std::max(strip.left, area.left) < std::min(strip.right, area.right) &&
               std::max(strip.top, area.top) < std::min(strip.bottom, area.bottom);
    });
}

ATOM registerStatusWindowClass(HINSTANCE instance)
{
    if (statusWindowClassAtom != 0) {
        return statusWindowClassAtom;
    }
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = statusWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kStatusWindowClass;
    statusWindowClassAtom = RegisterClassExW(&windowClass);
    return statusWindowClassAtom;
}

// A saved point is used as it is while some of the drag strip would show in
// a monitor's work area, so the window can be seen and dragged; one that is
// off every monitor (unplugged, a lower resolution, an edited file) gives way
// to the default corner, and the saved point stays in the file for the day
// the monitor comes back.
void placeStatusWindow(HWND window, const UsageTracker* tracker)
{
    RECT windowRect = {};
    const bool measured = GetWindowRect(window, &windowRect) != FALSE;
    POINT saved = {};
    if (tracker != nullptr && tracker->savedStatusWindowPosition(saved) &&
        (!measured || dragStripOnSomeWorkArea(movedTo(windowRect, saved),
                                              scaleForWindow(window, kDragStripHeightDips), monitorWorkAreas()))) {
        SetWindowPos(window, nullptr, saved.x, saved.y, 0, 0, kPlacementFlags);
        return;
    }
    RECT workArea = {};
    if (measured && SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0)) {
        const POINT corner = defaultStatusWindowPosition(workArea, windowRect);
        SetWindowPos(window, nullptr, corner.x, corner.y, 0, 0, kPlacementFlags);
    }
}

void applyStatusWindowRegion(HWND window)
{
    RECT rect = {};
    if (!GetWindowRect(window, &rect)) {
        return;
    }
    const int diameter = scaleForWindow(window, kRegionCornerDiameter);
    Region region(CreateRoundRectRgn(0, 0, rect.right - rect.left + 1, rect.bottom - rect.top + 1, diameter, diameter));
    // Once set, the region belongs to the system; only a refused one is ours to delete.
    if (region && SetWindowRgn(window, region.get(), TRUE) != 0) {
        region.release();
    }
}

void updateDpiScale(HWND window, StatusWindowState& state)
{
    UINT dpi = GetDpiForWindow(window);
    if (dpi == 0) {
        dpi = kDesignDpi;  // a failed query must not turn every hit test into a division by zero
    }
    state.dpiScale = static_cast<float>(dpi) / static_cast<float>(kDesignDpi);
    if (state.renderTarget) {
        state.renderTarget->SetDpi(static_cast<float>(dpi), static_cast<float>(dpi));
    }
}

LRESULT CALLBACK statusWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (refuseForeignMessage(message)) {
        return 0;
    }
    StatusWindowState* state = statusWindowStateOf(window);
    switch (message) {
    case WM_NCCREATE: return handleNcCreate(window, wParam, lParam);
    case WM_CREATE: return handleCreate(window, state);
    case WM_TIMER: return handleTimer(window, state, wParam);
    case WM_PAINT: return handlePaint(window);
    case WM_SIZE: return handleSize(state, lParam);
    case WM_NCHITTEST: return handleNcHitTest(window, state, lParam);
    case WM_MOUSEMOVE: return handleMouseMove(window, state, lParam);
    case WM_MOUSELEAVE: return handleMouseLeave(window, state);
    case WM_LBUTTONUP: return handleLeftButtonUp(window, state, lParam);
    case WM_EXITSIZEMOVE: return handleExitSizeMove(window, state);
    case WM_DPICHANGED: return handleDpiChanged(window, state, lParam);
    case WM_CLOSE: destroyOnDecision(window); return 0;
    case WM_DESTROY: return handleDestroy(window);
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

void showStatusWindow(HWND owner, UsageTracker* tracker)
{
    if (HWND open = findOwnWindow(kStatusWindowClass); open != nullptr) {
        ShowWindow(open, SW_RESTORE);
        SetForegroundWindow(open);
        repaint(open);
        return;
    }
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (registerStatusWindowClass(instance) == 0) {
        return;
    }
    const UINT systemDpi = GetDpiForSystem();
    const WindowCreation creation;
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, kStatusWindowClass, localizedText(StringId::AppTitle).c_str(),
                                  WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, scaleLength(kWindowWidth, systemDpi),
                                  scaleLength(kWindowHeight, systemDpi), owner, nullptr, instance, tracker);
    if (window == nullptr) {
        return;
    }
    applyStatusWindowRegion(window);
    placeStatusWindow(window, tracker);
    ShowWindow(window, SW_SHOWNORMAL);
}

void refreshStatusWindow()
{
    if (HWND open = findOwnWindow(kStatusWindowClass); open != nullptr) {
        repaint(open);
    }
}
