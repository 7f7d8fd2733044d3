// The hidden control window: session and tray events, the tray menu's
// commands, and what the program's clock (a thread of its own) asks of the
// windows: the warning box and the balloons.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "core/usageTracker.h"

class TrayIcon;

inline constexpr wchar_t kControlWindowClass[] = L"HourwardenHiddenWindow";
inline constexpr wchar_t kTrayIconProperty[] = L"TrayIcon";
// Flag property: session notifications reach the window.
inline constexpr wchar_t kSessionNotificationsProperty[] = L"SessionNotificationsRegistered";
// What ENDSESSION_CLOSEAPP in lParam means: the Restart Manager asks the program to close.
inline constexpr LPARAM kEndSessionCloseApp = 0x00000001;
// Posted by the clock thread: the window thread has work from the clock. Anyone
// may post it; it only makes the window thread look at what is really due.
inline constexpr UINT kClockServiceMessage = WM_APP + 2;
// The shell may lose the icon without a word (another program can delete it).
inline constexpr uint64_t kTrayCheckPeriodMs = 60000;
inline constexpr int kAppIconId = 101;

// Registered by wWinMain; 0 until then.
extern UINT taskbarCreatedMessage;
// Sent by a second start of the program on the same files: open the status window.
extern UINT showStatusRequestMessage;
inline constexpr wchar_t kShowStatusRequestName[] = L"HourwardenShowStatusWindow";
// What the running program answers to that request, so a second start knows a genuine copy took it.
inline constexpr LRESULT kShowStatusRequestAccepted = 0x4877;

// What a switch of the input back to the program's own desktop did.
enum class DesktopSwitch {
    AlreadyOwn,  // the program's desktop has the input: nothing to take back
    Switched,    // another desktop had it, and the program's has it now
    Refused,     // the system's secure desktop (the lock screen, an elevation prompt) keeps it
};

// The platform calls behind the control window's decisions, replaceable so
// tests can drive the real window procedure in process.
struct ControlWindowPlatform {
    int (*messageBox)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
    BOOL (*lockWorkStation)();
    BOOL (*registerSessionNotification)(HWND window);
    void (*unregisterSessionNotification)(HWND window);
    SessionLock (*sessionLockState)();
    // Whether the session service reports this session active: not
    // disconnected by a switch of user, and not unknown.
    bool (*sessionActive)();
    // Gives the input back to the desktop the program started on (opened
    // with createControlWindow and kept for the run).
    DesktopSwitch (*switchToOwnDesktop)();
};

const ControlWindowPlatform& systemControlWindowPlatform();
// Installs `platform` (nullptr: the system's calls).
void setControlWindowPlatform(const ControlWindowPlatform* platform);

// True once the program has decided to end: only then does WM_QUIT end its message loop.
bool programEndDecided();
// The program's one way to end (an unguarded Exit or close, the right exit
// password): decided first, then the control window destroyed with every
// window it owns, the tray icon removed and the message loop told to end.
void endProgram();
// The tray object the control window works with, held in the program's own memory.
void attachTrayIcon(HWND window, TrayIcon* trayIcon);

// Creates the control window on this thread, adds the tray icon and subscribes
// to the session's notifications. The window is made again, the same way, when
// something destroys it without the program's decision. Null on failure.
HWND createControlWindow(HINSTANCE instance, UsageTracker* tracker, TrayIcon* trayIcon);
// The control window now; null before creation, after the program's end and
// while one destroyed from outside waits to be made again.
HWND currentControlWindow();
// What a window opened from another window of the program is owned by: the
// control window, whatever owns `opener` now (another program can change
// that); without one (a test's stand-in), the owner `opener` was created with.
HWND ownerForNewWindow(HWND createdWith);
// Signalled by the clock when the window thread has work; the message loop waits on it.
HANDLE clockWakeEvent();
// One second of the program's clock, on the clock thread: the lock state while
// a lock awaits its unlock, the tick (count, day, lock) and the lock itself.
// The warning box and balloons it asks for wait for serviceClockRequests.
void runClockTick();
// The clock's watchdog: a thread of its own, at the clock's priority, that
// takes no lock and opens no file. Once the clock has finished a tick, a clock
// that finishes none for kClockStallMs (in unbiased time: sleep is not a stall)
// on a day that gives no time (spent, or not known) has the workstation locked
// here, again every kWatchdogRepeatMs while it stays stopped.
inline constexpr uint64_t kClockStallMs = 5000;
inline constexpr uint64_t kWatchdogRepeatMs = 5000;
inline constexpr DWORD kWatchdogPeriodMs = 250;
void runClockWatchdog();
// On the window thread: a control window destroyed from outside made again (or
// one re-parented from outside put back), the session registration's and the
// tray icon's retries, then the warning box and balloons the clock asked for.
void serviceClockRequests();

HICON loadAppIcon();
// Subscribes the control window to this session's notifications; false when the session service refused.
bool registerSessionNotifications(HWND window);
std::wstring menuHeaderText(int seconds);
LRESULT CALLBACK controlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
