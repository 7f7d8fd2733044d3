#include "app/controlWindow.h"

#include <wtsapi32.h>

#include <atomic>
#include <optional>
#include <utility>
#include <vector>

#include "base/criticalSection.h"
#include "base/scopedHandles.h"
#include "core/timeSource.h"

#include "shell/menuCommands.h"
#include "core/usageTracker.h"
#include "i18n/strings.h"
#include "shell/trayIcon.h"
#include "ui/settings/settingsUi.h"
#include "ui/status/statusWindow.h"
#include "ui/messageFilter.h"
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

bool systemSessionActive()
{
    wchar_t* buffer = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSConnectState, &buffer,
                                     &bytes)) {
        return false;
    }
    const bool active = bytes >= sizeof(INT) && *reinterpret_cast<const INT*>(buffer) == WTSActive;
    WTSFreeMemory(buffer);
    return active;
}

// The desktop the program started on, opened once at start so that the clock
// can switch the input back to it; the clock thread only reads it.
struct OwnDesktop {
    Desktop handle;
    std::wstring name;
};
OwnDesktop ownDesktop;

std::wstring desktopName(HDESK desktop)
{
    wchar_t name[64] = {};
    if (!GetUserObjectInformationW(desktop, UOI_NAME, name, sizeof name - sizeof name[0], nullptr)) {
        return {};
    }
    return name;
}

void openOwnDesktop()
{
    if (ownDesktop.handle) {
        return;
    }
    // The thread's desktop handle may lack the right to switch to it: opened again by name with it.
    ownDesktop.name = desktopName(GetThreadDesktop(GetCurrentThreadId()));
    if (!ownDesktop.name.empty()) {
        ownDesktop.handle.reset(
            OpenDesktopW(ownDesktop.name.c_str(), 0, FALSE, DESKTOP_SWITCHDESKTOP | DESKTOP_READOBJECTS));
    }
}

DesktopSwitch systemSwitchToOwnDesktop()
{
    if (!ownDesktop.handle) {
        return DesktopSwitch::Refused;
    }
    // Only an input desktop that can be opened and is the program's own
    // tells anything: one that cannot be opened may be the lock screen as
    // well as another desktop that shuts the account out. The switch tells
    // those apart, since the system's secure desktop refuses it.
    if (HDESK input = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS)) {
        const std::wstring name = desktopName(input);
        CloseDesktop(input);
        if (!name.empty() && lstrcmpiW(name.c_str(), ownDesktop.name.c_str()) == 0) {
            return DesktopSwitch::AlreadyOwn;
        }
    }
    return SwitchDesktop(ownDesktop.handle.get()) ? DesktopSwitch::Switched : DesktopSwitch::Refused;
}

constexpr ControlWindowPlatform kSystemPlatform = {systemMessageBox,
                                                   systemLockWorkStation,
                                                   systemRegisterSessionNotification,
                                                   systemUnregisterSessionNotification,
                                                   systemSessionLockState,
                                                   systemSessionActive,
                                                   systemSwitchToOwnDesktop};

const ControlWindowPlatform* platform = &kSystemPlatform;

// The program's end, decided before anything is destroyed for it. Nothing read
// back from the windows as they go (an owner, a parent, a message) can set it.
bool endDecided = false;
// The end's last step (the icon removed, WM_QUIT posted) is done.
bool endFinished = false;

// The one control window and what it needs to be made again. The clock thread
// reads `window` and `tracker` and fills the requests; all else belongs to the
// window thread.
struct ControlHost {
    HINSTANCE instance = nullptr;
    // Set last by createControlWindow: the clock, already running, takes no tick before it.
    std::atomic<UsageTracker*> tracker{nullptr};
    TrayIcon* trayIcon = nullptr;
    DWORD threadId = 0;
    std::atomic<HWND> window{nullptr};
    // A kClockServiceMessage is on its way; one at a time is enough.
    std::atomic<bool> servicePosted{false};
    // Unbiased time (100-ns units) at which the clock last finished a tick; 0: none yet.
    std::atomic<uint64_t> lastTickFinishedAt{0};
    // The watchdog's last lock, in the same time; its own thread's alone once it runs.
    std::atomic<uint64_t> watchdogLockedAt{0};
    Owned<HANDLE, scoped_detail::closeFile> wake;
    // What the clock asked of the windows, under requestsLock.
    CriticalSection requestsLock;
    bool warningDue = false;
    std::vector<StringId> balloonsDue;
    // Window thread only.
    bool warningBoxOpen = false;
    std::optional<uint64_t> lastTrayCheck;
    // The language the title, the tooltip and the open windows were last given.
    Language shownLanguage = Language::English;
};

ControlHost host;

constexpr uint64_t kUnbiasedUnitsPerMs = 10000;

// The watchdog and the clock's progress measure real awake time, whatever time
// the tracker is given.
uint64_t unbiasedNow()
{
    ULONGLONG time = 0;
    QueryUnbiasedInterruptTime(&time);
    return time;
}

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

StringId saveFailureText(SaveFailure failure)
{
    switch (failure) {
    case SaveFailure::LockedOut: return StringId::SavesLockedOut;
    case SaveFailure::DiskFull: return StringId::DiskFull;
    default: return StringId::SaveFailed;
    }
}

void showGraceMinuteNotice(TrayIcon* trayIcon)
{
    if (trayIcon != nullptr) {
        trayIcon->showBalloon(localizedText(StringId::GraceMinuteNotice));
    }
}

// From the clock thread: the window thread wakes in its own loop through the
// event, and in a modal loop (a message box, the menu) through the message.
void requestService()
{
    if (host.wake) {
        SetEvent(host.wake.get());
    }
    HWND window = host.window.load();
    if (window != nullptr && !host.servicePosted.exchange(true)) {
        if (!PostMessageW(window, kClockServiceMessage, 0, 0)) {
            host.servicePosted = false;
        }
    }
}

void requestBalloon(StringId text)
{
    const CriticalSectionGuard guard(host.requestsLock);
    host.balloonsDue.push_back(text);
}

// Asks the system for the lock and tells the tracker its answer.
bool lockWorkStation(UsageTracker& tracker)
{
    if (platform->lockWorkStation()) {
        tracker.onLockAccepted();
        return true;
    }
    tracker.onLockRefused();
    return false;
}

// A program of the account may make a desktop of its own and give it the
// input, where no lock of this program's reaches. Only while the session is
// active: a switch of user disconnects it, which is nobody's trick. A switch
// back that goes through shows another desktop had the input (the lock
// screen and the elevation prompt refuse it), and only that is counted.
bool takeInputBack(UsageTracker& tracker)
{
    if (!platform->sessionActive() || platform->switchToOwnDesktop() != DesktopSwitch::Switched) {
        return false;
    }
    tracker.onInputDesktopTakenBack();
    return true;
}

HWND makeControlWindow()
{
    const std::wstring title = localizedText(StringId::AppTitle);
    HWND window = nullptr;
    {
        const WindowCreation creation;
        window = CreateWindowExW(0, kControlWindowClass, title.c_str(), 0, 0, 0, 0, 0, nullptr, nullptr,
                                 host.instance, host.tracker);
    }
    if (window == nullptr) {
        return nullptr;
    }
    host.window = window;
    // A service message posted to a window that went before reading it is not on its way any more.
    host.servicePosted = false;
    attachTrayIcon(window, host.trayIcon);
    if (host.trayIcon != nullptr) {
        host.trayIcon->add(window, loadAppIcon(), title);
    }
    // A refusal is retried by serviceClockRequests.
    registerSessionNotifications(window);
    return window;
}

bool isOwnLiveWindow(HWND window)
{
    return window != nullptr && IsWindow(window) && GetWindowThreadProcessId(window, nullptr) == host.threadId;
}

// Another program can make the control window a child of some window (its own
// or one of ours) and destroy it with that parent. The window goes back to the
// top level at once; one destroyed all the same is made again, with its icon,
// its session notifications and its place in the hand-over (found by class).
void keepControlWindow()
{
    if (endDecided || host.tracker == nullptr) {
        return;
    }
    HWND window = host.window.load();
    if (isOwnLiveWindow(window)) {
        if (GetAncestor(window, GA_PARENT) != GetDesktopWindow()) {
            SetParent(window, nullptr);
        }
        return;
    }
    if (window != nullptr) {
        host.window = nullptr;
        // Its windows went with it; what the program kept for them is released.
        releaseVanishedWindows();
        platform->unregisterSessionNotification(window);
        if (host.trayIcon != nullptr) {
            host.trayIcon->remove();
        }
    }
    makeControlWindow();
}

void retrySessionRegistration(HWND window, UsageTracker& tracker)
{
    // At logon the session service may not be ready yet; unlocks must not go unheard for the rest of the day.
    if (!hasWindowFlag(window, kSessionNotificationsProperty) && tracker.sessionRegistrationDue() &&
        !registerSessionNotifications(window)) {
        tracker.onSessionRegistrationFailed();
    }
}

void checkTrayIcon(TrayIcon& trayIcon)
{
    trayIcon.retryIfMissing();
    // The minute counts from the first turn: the icon was just added then.
    const uint64_t now = activeTimeSource().tickCount64();
    if (!host.lastTrayCheck) {
        host.lastTrayCheck = now;
    } else if (now - *host.lastTrayCheck >= kTrayCheckPeriodMs) {
        trayIcon.confirmPresent();
        host.lastTrayCheck = now;
    }
}

// The warning box is modal: its loop runs this again for later requests, and
// the clock counts on meanwhile. A warning and a balloon asked for together
// show the box first and the balloon once it is dismissed.
void showClockNotices(HWND window, TrayIcon* trayIcon)
{
    bool warning = false;
    std::vector<StringId> balloons;
    {
        const CriticalSectionGuard guard(host.requestsLock);
        if (!host.warningBoxOpen) {
            warning = std::exchange(host.warningDue, false);
        }
        balloons.swap(host.balloonsDue);
    }
    if (warning) {
        host.warningBoxOpen = true;
        platform->messageBox(window, localizedText(StringId::FiveMinuteWarning).c_str(),
                             localizedText(StringId::AppTitle).c_str(), MB_OK | MB_ICONWARNING);
        host.warningBoxOpen = false;
    }
    if (trayIcon != nullptr) {
        for (const StringId text : balloons) {
            trayIcon->showBalloon(localizedText(text));
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

// The title, the tooltip and every open window in the language in force.
void showLanguage(HWND window, TrayIcon* trayIcon)
{
    host.shownLanguage = currentLanguage();
    SetWindowTextW(window, localizedText(StringId::AppTitle).c_str());
    if (trayIcon != nullptr) {
        trayIcon->setTooltip(localizedText(StringId::AppTitle));
    }
    refreshLanguageInOpenWindows();
    refreshStatusWindow();
}

void switchLanguage(HWND window, UsageTracker& tracker, TrayIcon* trayIcon, Language language)
{
    tracker.setLanguage(language);
    showLanguage(window, trayIcon);
}

void handleExit(HWND window, UsageTracker& tracker)
{
    if (tracker.exitGuarded()) {
        openExitPasswordPrompt(window, &tracker);
    } else {
        endProgram();
    }
}

// What opens a window or a menu must not run inside a message that another
// thread sent: the system's messages to the new window would come nested in
// that send and be refused as foreign. The message is posted back and acted
// on from the queue, as a user's click would be.
bool repostedIfSent(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (InSendMessageEx(nullptr) == ISMEX_NOSEND) {
        return false;
    }
    PostMessageW(window, message, wParam, lParam);
    return true;
}

// The Restart Manager's request is a close request like any other. For the
// end of the session both files are saved here, since the process may be
// ended as soon as this returns; the program itself goes on, so a sign-out
// that another program cancels leaves it counting. Windows ends it otherwise.
void handleEndSession(HWND window, UsageTracker* tracker, WPARAM ending, LPARAM reasons)
{
    if (ending == FALSE || tracker == nullptr) {
        return;
    }
    if ((reasons & kEndSessionCloseApp) != 0) {
        // The system sends this from its own thread: the close goes through the queue.
        PostMessageW(window, WM_CLOSE, 0, 0);
        return;
    }
    tracker->saveAll();
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

// The program's end, with or without a control window to end with.
void finishProgramEnd(HWND window)
{
    if (endFinished) {
        return;
    }
    endFinished = true;
    if (window != nullptr && hasWindowFlag(window, kSessionNotificationsProperty)) {
        setWindowFlag(window, kSessionNotificationsProperty, false);
        platform->unregisterSessionNotification(window);
    }
    if (host.trayIcon != nullptr) {
        host.trayIcon->remove();
    }
    if (window != nullptr) {
        removeWindowValue(window, kTrayIconProperty);
    }
    if (host.window.load() == window) {
        host.window = nullptr;
    }
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

void endProgram()
{
    endDecided = true;
    HWND window = host.window.load();
    if (isOwnLiveWindow(window)) {
        // Its WM_DESTROY finishes the end; the windows it owns go with it.
        destroyOnDecision(window);
    }
    // No control window (one destroyed from outside, not made again yet), or
    // one the system would not destroy: the end does not wait for it.
    finishProgramEnd(isOwnLiveWindow(window) ? window : nullptr);
}

HWND createControlWindow(HINSTANCE instance, UsageTracker* tracker, TrayIcon* trayIcon)
{
    host.instance = instance;
    host.trayIcon = trayIcon;
    host.threadId = GetCurrentThreadId();
    host.lastTrayCheck.reset();
    openOwnDesktop();
    host.lastTickFinishedAt = 0;
    host.watchdogLockedAt = 0;
    if (!host.wake) {
        host.wake.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }
    {
        const CriticalSectionGuard guard(host.requestsLock);
        host.warningDue = false;
        host.balloonsDue.clear();
    }
    endDecided = false;
    endFinished = false;
    host.shownLanguage = currentLanguage();
    // Last: from here the clock's ticks reach the tracker and the windows.
    host.tracker = tracker;
    return makeControlWindow();
}

HWND currentControlWindow()
{
    HWND window = host.window.load();
    return isOwnLiveWindow(window) ? window : nullptr;
}

HWND ownerForNewWindow(HWND createdWith)
{
    HWND control = currentControlWindow();
    return control != nullptr ? control : createdWith;
}

HANDLE clockWakeEvent()
{
    return host.wake.get();
}

void runClockTick()
{
    UsageTracker* tracker = host.tracker;
    if (tracker == nullptr) {
        return;
    }
    // The lock state is asked only while a lock waits for its unlock. A lock
    // the session has not taken in its settling time may have been kept from
    // the input by another desktop: taken back, it is asked again at once.
    if (tracker->lockStateDue()) {
        const SessionLock state = platform->sessionLockState();
        if (state != SessionLock::Locked && tracker->lockUnconfirmed() && takeInputBack(*tracker)) {
            lockWorkStation(*tracker);
        } else if (tracker->onSessionLockState(state)) {
            requestBalloon(StringId::GraceMinuteNotice);
        }
    }
    const TickResult result = tracker->tick();
    // A refused lock may be another desktop's doing: with the input back, the lock goes through now.
    if (result.lockNow && !lockWorkStation(*tracker) && takeInputBack(*tracker)) {
        lockWorkStation(*tracker);
    }
    if (result.showWarning) {
        const CriticalSectionGuard guard(host.requestsLock);
        host.warningDue = true;
    }
    if (result.minuteNotice != 0) {
        requestBalloon(minuteNoticeText(result.minuteNotice));
    }
    if (result.stateUnreadable) {
        requestBalloon(StringId::StateUnreadable);
    }
    if (result.saveFailure != SaveFailure::None) {
        requestBalloon(saveFailureText(result.saveFailure));
    }
    requestService();
    host.lastTickFinishedAt = unbiasedNow();
}

void runClockWatchdog()
{
    UsageTracker* tracker = host.tracker;
    const uint64_t lastTick = host.lastTickFinishedAt.load();
    // Armed by the clock's first tick; only where the clock would lock.
    if (tracker == nullptr || lastTick == 0 || !tracker->noTimeLeftSeen()) {
        return;
    }
    const uint64_t now = unbiasedNow();
    if (now - lastTick < kClockStallMs * kUnbiasedUnitsPerMs) {
        return;
    }
    const uint64_t lastLock = host.watchdogLockedAt.load();
    if (lastLock > lastTick && now - lastLock < kWatchdogRepeatMs * kUnbiasedUnitsPerMs) {
        return;
    }
    host.watchdogLockedAt = now;
    // Nothing to tell the tracker: it learns of the lock when its clock runs again.
    platform->lockWorkStation();
}

void serviceClockRequests()
{
    // This turn serves the wake that brought it, whichever way it came.
    if (host.wake) {
        ResetEvent(host.wake.get());
    }
    keepControlWindow();
    HWND window = host.window.load();
    if (window == nullptr || host.tracker == nullptr) {
        return;
    }
    // What went with a window destroyed from outside is released; nothing makes it again.
    releaseVanishedWindows();
    retrySessionRegistration(window, *host.tracker.load());
    if (host.trayIcon != nullptr) {
        checkTrayIcon(*host.trayIcon);
    }
    // A late read of config.json on the clock's thread may have switched the language.
    if (currentLanguage() != host.shownLanguage) {
        showLanguage(window, host.trayIcon);
    }
    showClockNotices(window, host.trayIcon);
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
    if (refuseForeignMessage(message)) {
        return 0;
    }
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
    case kClockServiceMessage:
        if (repostedIfSent(window, message, wParam, lParam)) {
            return 0;
        }
        // Served once per wake of the clock, however many of these arrive (anyone may post one).
        host.servicePosted = false;
        if (host.wake && WaitForSingleObject(host.wake.get(), 0) == WAIT_OBJECT_0) {
            serviceClockRequests();
        }
        return 0;
    case WM_WTSSESSION_CHANGE:
        if (tracker != nullptr) {
            handleSessionChange(*tracker, trayIcon, wParam);
        }
        return 0;
    case kTrayCallbackMessage:
        if (!repostedIfSent(window, message, wParam, lParam) && trayIcon != nullptr) {
            handleTrayCallback(window, tracker, *trayIcon, lParam);
        }
        return 0;
    case WM_COMMAND:
        if (!repostedIfSent(window, message, wParam, lParam)) {
            handleCommand(window, tracker, trayIcon, LOWORD(wParam));
        }
        return 0;
    case WM_CLOSE:
        // taskkill and the shell's polite close ask here: the same gate as the menu's Exit.
        if (repostedIfSent(window, message, wParam, lParam)) {
            return 0;
        }
        if (tracker != nullptr) {
            handleExit(window, *tracker);
        } else {
            endProgram();
        }
        return 0;
    case WM_ENDSESSION:
        handleEndSession(window, tracker, wParam, lParam);
        return 0;
    case WM_DESTROY:
        // Only the program's own end ends it; a destruction by a parent or an
        // owner that another program gave the window makes it again instead.
        if (programEndDecided()) {
            finishProgramEnd(window);
        }
        return 0;
    case WM_NCDESTROY:
        if (!programEndDecided() && host.wake) {
            // The next service makes the window again.
            SetEvent(host.wake.get());
        }
        break;
    default:
        break;
    }
    if (taskbarCreatedMessage != 0 && message == taskbarCreatedMessage && trayIcon != nullptr) {
        trayIcon->add(window, loadAppIcon(), localizedText(StringId::AppTitle));
        return 0;
    }
    if (showStatusRequestMessage != 0 && message == showStatusRequestMessage) {
        // A second start sends this and waits for the answer; the window opens from the queue.
        if (tracker != nullptr && !repostedIfSent(window, message, wParam, lParam)) {
            showStatusWindow(window, tracker);
        }
        return kShowStatusRequestAccepted;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
