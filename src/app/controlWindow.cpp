#include "app/controlWindow.h"

#include <wtsapi32.h>

#include "app/commands.h"
#include "core/usageTracker.h"
#include "i18n/strings.h"
#include "shell/trayIcon.h"
#include "ui/settings/settingsUi.h"
#include "ui/status/statusWindow.h"

UINT taskbarCreatedMessage = 0;

namespace {

UsageTracker* trackerOf(HWND window)
{
    return reinterpret_cast<UsageTracker*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

TrayIcon* trayIconOf(HWND window)
{
    return static_cast<TrayIcon*>(GetPropW(window, kTrayIconProperty));
}

StringId minuteNoticeText(int minutes)
{
    switch (minutes) {
    case 3: return StringId::ThreeMinutesRemaining;
    case 2: return StringId::TwoMinutesRemaining;
    default: return StringId::OneMinuteRemaining;
    }
}

// The warning box is modal: ticks keep arriving (and counting) while it is open.
void handleTick(HWND window, UsageTracker& tracker, TrayIcon* trayIcon)
{
    const TickResult result = tracker.tick();
    if (result.showWarning) {
        MessageBoxW(window, localizedText(StringId::FiveMinuteWarning).c_str(),
                    localizedText(StringId::AppTitle).c_str(), MB_OK | MB_ICONWARNING);
    }
    if (result.minuteNotice != 0 && trayIcon != nullptr) {
        trayIcon->showBalloon(localizedText(minuteNoticeText(result.minuteNotice)));
    }
    if (result.lockNow && !LockWorkStation()) {
        tracker.onLockRefused();
    }
}

void handleSessionChange(UsageTracker& tracker, TrayIcon* trayIcon, WPARAM event)
{
    if (event == WTS_SESSION_UNLOCK && tracker.onSessionUnlock() && trayIcon != nullptr) {
        trayIcon->showBalloon(localizedText(StringId::GraceMinuteNotice));
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
    if (tracker.requirePasswordOnExit() && tracker.hasPassword()) {
        openExitPasswordPrompt(window, &tracker);
    } else {
        DestroyWindow(window);
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

void handleDestroy(HWND window, TrayIcon* trayIcon)
{
    KillTimer(window, kTickTimerId);
    WTSUnRegisterSessionNotification(window);
    if (trayIcon != nullptr) {
        trayIcon->remove();
        RemovePropW(window, kTrayIconProperty);
    }
    PostQuitMessage(0);
}

}  // namespace

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
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
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
    case WM_DESTROY:
        handleDestroy(window, trayIcon);
        return 0;
    default:
        break;
    }
    if (taskbarCreatedMessage != 0 && message == taskbarCreatedMessage && trayIcon != nullptr) {
        trayIcon->add(window, loadAppIcon(), localizedText(StringId::AppTitle));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
