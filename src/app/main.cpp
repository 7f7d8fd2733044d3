#include <windows.h>

#include <string>

#include "app/clockThread.h"
#include "app/controlWindow.h"
#include "app/singleInstance.h"
#include "core/processHardening.h"
#include "core/processProtection.h"
#include "core/usageTracker.h"
#include "shell/trayIcon.h"
#include "storage/textFiles.h"
#include "ui/messageFilter.h"

namespace {

// How long the start gives the files' first read before the windows take messages.
constexpr DWORD kStartReadWaitMs = 1000;

// One wait for both the window messages and the clock. Under a flood of posted
// messages the clock's requests are served between two of them.
int runMessageLoop()
{
    const HANDLE wake = clockWakeEvent();
    MSG message = {};
    for (;;) {
        const DWORD woke = MsgWaitForMultipleObjectsEx(1, &wake, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0) {
            serviceClockRequests();
        } else if (woke == WAIT_FAILED) {
            return 1;
        }
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                // Anyone can post WM_QUIT to the window or the thread: only the program's own end counts.
                if (programEndDecided()) {
                    return static_cast<int>(message.wParam);
                }
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
            if (WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) {
                serviceClockRequests();
            }
        }
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // Before any window or file: no DLL that Windows would load for another program.
    hardenProcess();
    // Before the files are touched: a program already counting on them stays the only one.
    // Lives as long as the program, so the mutex stays held while it counts. Made before
    // the protection below, which would give it the protected default list too.
    const std::wstring directory = executableDirectory();
    InstanceLock instanceLock(directory);
    // The process and its threads closed to the account, whatever data.json will say,
    // for all of the hand-over's wait too. The tracker opens them again if it does not ask for it.
    protectProcess(true);

    showStatusRequestMessage = RegisterWindowMessageW(kShowStatusRequestName);
    if (decideStart(instanceLock, ownProgramPath(), showStatusRequestMessage) == StartDecision::HandedOver) {
        return 0;
    }

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = controlWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kControlWindowClass;
    if (RegisterClassExW(&windowClass) == 0) {
        return 1;
    }

    // Before the first window: what another program posts that only the system may send is dropped.
    const QueueFilter queueFilter;
    UsageTracker tracker;
    TrayIcon trayIcon;
    taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    // The clock and its watchdog run before the files are read: whatever the
    // files do, nothing holds them. Their ticks reach the tracker once the
    // control window is there.
    // Stopped before the tray object and the tracker go (reverse order of construction).
    ClockThread clock;
    if (!clock.start(runClockTick, kTickPeriodMs)) {
        return 1;
    }
    // Born while protected (when the exit password asks for it): whether the
    // system gave it the protection tells whether later threads need a pass.
    measureThreadBirth(clock.threadId());
    // Stopped first: it must not take the clock's end for a stall.
    ClockThread watchdog;
    if (!watchdog.start(runClockWatchdog, kWatchdogPeriodMs)) {
        return 1;
    }
    // The files' thread reads them, and the day counts as spent until it has.
    // Files nobody holds are read in moments, so the windows start with them
    // (and outside, a control window means both files are there); a held one
    // is not waited for beyond a second.
    tracker.load();
    tracker.awaitFiles(kStartReadWaitMs);
    if (createControlWindow(instance, &tracker, &trayIcon) == nullptr) {
        return 1;
    }
    return runMessageLoop();
}
