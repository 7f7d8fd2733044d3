#include "app/controlWindow.h"

#include <wtsapi32.h>

#include "shell/menuCommands.h"
#include "core/usageTracker.h"
#include "i18n/strings.h"
#include "shell/trayIcon.h"
#include "ui/settings/settingsUi.h"
#include "ui/status/statusWindow.h"
#include "ui/windowFlags.h"
#include "ui/windowState.h"

UINT taskbarCreatedMessage = 0;
UINT showStatusRequestMessage = 0;

namespace {

int systemMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type)
{
    return MessageBoxW(owner, text, caption, type);
}

BOOL systemLockWorkStation()
{
    return LockWorkStation();
}

BOOL systemRegisterSessionNotification(HWND window)
{
    return WTSRegisterSessionNotification(window, NOTIFY_FOR_THIS_SESSION);
}

void systemUnregisterSessionNotification(HWND window)
{
    WTSUnRegisterSessionNotification(window);
}

// The head of WTSINFOEXW, which not every SDK declares.
struct SessionInfoExHead {
    DWORD level;
    alignas(8) ULONG sessionId;
    INT connectState;
    LONG sessionFlags;
};
constexpr auto kSessionInfoEx = static_cast<WTS_INFO_CLASS>(25);
constexpr LONG kSessionFlagLocked = 0;
constexpr LONG kSessionFlagUnlocked = 1;

// The session service reports the lock; when it cannot (it may not be up yet
// at logon), the input desktop tells: the user's own is "Default", and the
// lock screen's secure desktop cannot be opened from inside the session.
SessionLock systemSessionLockState()
{
    wchar_t* buffer = nullptr;
    DWORD bytes = 0;
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, kSessionInfoEx, &buffer,
                                    &bytes)) {
        LONG flags = -1;
        const auto* info = reinterpret_cast<const SessionInfoExHead*>(buffer);
        if (bytes >= sizeof(SessionInfoExHead) && info->level == 1) {
            flags = info->sessionFlags;
        }
        WTSFreeMemory(buffer);
        if (flags == kSessionFlagLocked) {
            return SessionLock::Locked;
        }
        if (flags == kSessionFlagUnlocked) {
            return SessionLock::Unlocked;
        }
    }
    HDESK desktop = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (desktop == nullptr) {
        return SessionLock::Unknown;
    }
    wchar_t name[64] = {};
    const bool named = GetUserObjectInformationW(desktop, UOI_NAME, name, sizeof name, nullptr) != FALSE;
    CloseDesktop(desktop);
    if (!named) {
        return SessionLock::Unknown;
    }
    return lstrcmpiW(name, L"Default") == 0 ? SessionLock::DesktopUnlocked : SessionLock::Locked;
}

bool systemSessionEnding()
{
    return GetSystemMetrics(SM_SHUTTINGDOWN) != 0;
}

constexpr ControlWindowPlatform kSystemPlatform = {systemMessageBox,
                                                   systemLockWorkStation,
                                                   systemRegisterSessionNotification,
                                                   systemUnregisterSessionNotification,
                                                   systemSessionLockState,
                                                   systemSessionEnding};

const ControlWindowPlatform* platform = &kSystemPlatform;

// Set by the control window's own end, which only the program's decisions bring.
bool endDecided = false;

UsageTracker* trackerOf(HWND window)
{
    return static_cast<UsageTracker*>(windowRecord(window));
}

TrayIcon* trayIconOf(HWND window)
{
    return static_cast<TrayIcon*>(windowValue(window, kTrayIconProperty));
}

StringId minuteNoticeText(int minutes)
{
    switch (minutes) {
    case 3: return StringId::ThreeMinutesRemaining;
    case 2: return StringId::TwoMinutesRemaining;
    default: return StringId::OneMinuteRemaining;
    }
}

void showGraceMinuteNotice(TrayIcon* trayIcon)
{
    if (trayIcon != nullptr) {
        trayIcon->showBalloon(localizedText(StringId::GraceMinuteNotice));
    }
}

// The warning box is modal: ticks keep arriving (and counting) while it is open.
void handleTick(HWND window, UsageTracker& tracker, TrayIcon* trayIcon)
{
    // At logon the session service may not be ready yet; unlocks must not go unheard for the rest of the day.
    if (!hasWindowFlag(window, kSessionNotificationsProperty) && tracker.sessionRegistrationDue() &&
        !registerSessionNotifications(window)) {
        tracker.onSessionRegistrationFailed();
    }
    if (trayIcon != nullptr) {
        trayIcon->retryIfMissing();
    }
    // The lock state is asked only while a lock waits for its unlock.
    if (tracker.lockStateDue() && tracker.onSessionLockState(platform->sessionLockState())) {
        showGraceMinuteNotice(trayIcon);
    }

    const TickResult result = tracker.tick();
    if (result.showWarning) {
        platform->messageBox(window, localizedText(StringId::FiveMinuteWarning).c_str(),
                             localizedText(StringId::AppTitle).c_str(), MB_OK | MB_ICONWARNING);
    }
    if (result.minuteNotice != 0 && trayIcon != nullptr) {
        trayIcon->showBalloon(localizedText(minuteNoticeText(result.minuteNotice)));
    }
    if (result.lockNow) {
        if (platform->lockWorkStation()) {
            tracker.onLockAccepted();
        } else {
            tracker.onLockRefused();
        }
    }
}

// Any program can send this message: the tracker believes it only after a
// lock the system accepted, and asks the session's own state first.
void handleSessionChange(UsageTracker& tracker, TrayIcon* trayIcon, WPARAM event)
{
    if (event == WTS_SESSION_UNLOCK && tracker.onSessionUnlock(platform->sessionLockState())) {
        showGraceMinuteNotice(trayIcon);
    }
}

void handleTrayCallback(HWND window, UsageTracker* tracker, TrayIcon& trayIcon, LPARAM mouseMessage)
{
    switch (mouseMessage) {
    case WM_LBUTTONDBLCLK:
        showStatusWindow(window, tracker);
        break;
    case WM_RBUTTONUP:
    case WM_CONTEXTMENU:
        trayIcon.showMenu(menuHeaderText(tracker != nullptr ? tracker->remainingSeconds() : 0));
        break;
    default:
        break;
    }
}

void switchLanguage(HWND window, UsageTracker& tracker, TrayIcon* trayIcon, Language language)
{
    tracker.setLanguage(language);
    SetWindowTextW(window, localizedText(StringId::AppTitle).c_str());
    if (trayIcon != nullptr) {
        trayIcon->setTooltip(localizedText(StringId::AppTitle));
    }
    refreshLanguageInOpenWindows();
    refreshStatusWindow();
}

void handleExit(HWND window, UsageTracker& tracker)
{
    if (tracker.exitGuarded()) {
        openExitPasswordPrompt(window, &tracker);
    } else {
        destroyOnDecision(window);
    }
}

// The Restart Manager's request is a close request like any other. For the
// end of the session, the last save runs here, since the process may be ended
// as soon as this returns; the program then ends only when Windows says the
// session is ending, since anyone can send this message.
void handleEndSession(HWND window, UsageTracker* tracker, WPARAM ending, LPARAM reasons)
{
    if (ending == FALSE || tracker == nullptr) {
        return;
    }
    if ((reasons & kEndSessionCloseApp) != 0) {
        handleExit(window, *tracker);
        return;
    }
    tracker->saveAll();
    if (platform->sessionEnding()) {
        destroyOnDecision(window);
    }
}

void handleCommand(HWND window, UsageTracker* tracker, TrayIcon* trayIcon, WORD command)
{
    if (tracker == nullptr) {
        return;
    }
    switch (static_cast<CommandId>(command)) {
    case CommandId::Settings:
        openSettings(window, tracker);
        break;
    case CommandId::Exit:
        handleExit(window, *tracker);
        break;
    case CommandId::Russian:
        switchLanguage(window, *tracker, trayIcon, Language::Russian);
        break;
    case CommandId::English:
        switchLanguage(window, *tracker, trayIcon, Language::English);
        break;
    }
}

// Only the program's own end gets here (see destroyOnDecision).
void handleDestroy(HWND window, TrayIcon* trayIcon)
{
    KillTimer(window, kTickTimerId);
    if (hasWindowFlag(window, kSessionNotificationsProperty)) {
        setWindowFlag(window, kSessionNotificationsProperty, false);
        platform->unregisterSessionNotification(window);
    }
    if (trayIcon != nullptr) {
        trayIcon->remove();
        removeWindowValue(window, kTrayIconProperty);
    }
    endDecided = true;
    PostQuitMessage(0);
}

}  // namespace

const ControlWindowPlatform& systemControlWindowPlatform()
{
    return kSystemPlatform;
}

void setControlWindowPlatform(const ControlWindowPlatform* replacement)
{
    platform = replacement != nullptr ? replacement : &kSystemPlatform;
}

bool registerSessionNotifications(HWND window)
{
    if (!platform->registerSessionNotification(window)) {
        return false;
    }
    setWindowFlag(window, kSessionNotificationsProperty, true);
    return true;
}

bool programEndDecided()
{
    return endDecided;
}

void attachTrayIcon(HWND window, TrayIcon* trayIcon)
{
    setWindowValue(window, kTrayIconProperty, trayIcon);
}

HICON loadAppIcon()
{
    return LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kAppIconId));
}

std::wstring menuHeaderText(int seconds)
{
    return localizedText(StringId::RemainingTodayPrefix) + L' ' + formatDuration(seconds > 0 ? seconds : 0);
}

LRESULT CALLBACK controlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    UsageTracker* tracker = trackerOf(window);
    TrayIcon* trayIcon = trayIconOf(window);

    switch (message) {
    case WM_NCCREATE: {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        if (!attachWindowRecord(window, create->lpCreateParams)) {
            return TRUE;  // not the system's: the window exists already
        }
        // Default processing is what stores the creation title as the window text.
        DefWindowProcW(window, message, wParam, lParam);
        return TRUE;
    }
    case WM_TIMER:
        if (wParam == kTickTimerId && tracker != nullptr) {
            handleTick(window, *tracker, trayIcon);
        }
        return 0;
    case WM_WTSSESSION_CHANGE:
        if (tracker != nullptr) {
            handleSessionChange(*tracker, trayIcon, wParam);
        }
        return 0;
    case kTrayCallbackMessage:
        if (trayIcon != nullptr) {
            handleTrayCallback(window, tracker, *trayIcon, lParam);
        }
        return 0;
    case WM_COMMAND:
        handleCommand(window, tracker, trayIcon, LOWORD(wParam));
        return 0;
    case WM_CLOSE:
        // taskkill and the shell's polite close ask here: the same gate as the menu's Exit.
        if (tracker != nullptr) {
            handleExit(window, *tracker);
        } else {
            destroyOnDecision(window);
        }
        return 0;
    case WM_ENDSESSION:
        handleEndSession(window, tracker, wParam, lParam);
        return 0;
    case WM_DESTROY:
        // Anyone can send WM_DESTROY; it ends the program only when the program decided so.
        if (isDestroyDecided(window)) {
            handleDestroy(window, trayIcon);
        }
        return 0;
    case WM_NCDESTROY:
        if (!isDestroyDecided(window)) {
            return 0;
        }
        forgetWindow(window);
        break;
    default:
        break;
    }
    if (taskbarCreatedMessage != 0 && message == taskbarCreatedMessage && trayIcon != nullptr) {
        trayIcon->add(window, loadAppIcon(), localizedText(StringId::AppTitle));
        return 0;
    }
    if (showStatusRequestMessage != 0 && message == showStatusRequestMessage) {
        if (tracker != nullptr) {
            showStatusWindow(window, tracker);
        }
        return kShowStatusRequestAccepted;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
