// The hidden control window: the one-second tick, session and tray events,
// and the tray menu's commands.
#pragma once

#include <windows.h>

#include <string>

#include "core/usageTracker.h"

class TrayIcon;

inline constexpr wchar_t kControlWindowClass[] = L"HourwardenHiddenWindow";
inline constexpr wchar_t kTrayIconProperty[] = L"TrayIcon";
// Flag property: session notifications reach the window.
inline constexpr wchar_t kSessionNotificationsProperty[] = L"SessionNotificationsRegistered";
// What ENDSESSION_CLOSEAPP in lParam means: the Restart Manager asks the program to close.
inline constexpr LPARAM kEndSessionCloseApp = 0x00000001;
inline constexpr UINT_PTR kTickTimerId = 1;
inline constexpr UINT kTickPeriodMs = 1000;
inline constexpr int kAppIconId = 101;

// Registered by wWinMain; 0 until then.
extern UINT taskbarCreatedMessage;
// Sent by a second start of the program on the same files: open the status window.
extern UINT showStatusRequestMessage;
inline constexpr wchar_t kShowStatusRequestName[] = L"HourwardenShowStatusWindow";
// What the running program answers to that request, so a second start knows a genuine copy took it.
inline constexpr LRESULT kShowStatusRequestAccepted = 0x4877;

// The platform calls behind the control window's decisions, replaceable so
// tests can drive the real window procedure in process.
struct ControlWindowPlatform {
    int (*messageBox)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
    BOOL (*lockWorkStation)();
    BOOL (*registerSessionNotification)(HWND window);
    void (*unregisterSessionNotification)(HWND window);
    SessionLock (*sessionLockState)();
    // Whether Windows is ending this session (logoff, restart, shutdown).
    bool (*sessionEnding)();
};

const ControlWindowPlatform& systemControlWindowPlatform();
// Installs `platform` (nullptr: the system's calls).
void setControlWindowPlatform(const ControlWindowPlatform* platform);

// True once the program has decided to end: only then does WM_QUIT end its message loop.
bool programEndDecided();
// The tray object the control window works with, held in the program's own memory.
void attachTrayIcon(HWND window, TrayIcon* trayIcon);

HICON loadAppIcon();
// Subscribes the control window to this session's notifications; false when the session service refused.
bool registerSessionNotifications(HWND window);
std::wstring menuHeaderText(int seconds);
LRESULT CALLBACK controlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
