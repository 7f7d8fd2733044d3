#include <windows.h>

#include <string>

#include "app/controlWindow.h"
#include "app/singleInstance.h"
#include "core/usageTracker.h"
#include "i18n/strings.h"
#include "shell/trayIcon.h"
#include "storage/textFiles.h"
#include "ui/windowState.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // Before the files are touched: a program already counting on them stays the only one.
    showStatusRequestMessage = RegisterWindowMessageW(kShowStatusRequestName);
    const std::wstring directory = executableDirectory();
    // Lives as long as the program, so the mutex stays held while it counts.
    InstanceLock instanceLock(directory);
    if (decideStart(instanceLock, directory, showStatusRequestMessage) == StartDecision::HandedOver) {
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

    UsageTracker tracker;
    tracker.load();
    TrayIcon trayIcon;

    HWND window = nullptr;
    {
        const WindowCreation creation;
        window = CreateWindowExW(0, kControlWindowClass, localizedText(StringId::AppTitle).c_str(), 0, 0, 0, 0, 0,
                                 nullptr, nullptr, instance, &tracker);
    }
    if (window == nullptr) {
        return 1;
    }
    attachTrayIcon(window, &trayIcon);
    trayIcon.add(window, loadAppIcon(), localizedText(StringId::AppTitle));
    registerSessionNotifications(window);
    taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    SetTimer(window, kTickTimerId, kTickPeriodMs, nullptr);

    MSG message = {};
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == -1) {
            break;
        }
        if (got == 0) {
            // Anyone can post WM_QUIT to the window or the thread: only the program's own end counts.
            if (programEndDecided()) {
                break;
            }
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // trayIcon, then tracker, are destroyed here in reverse order of construction.
    return static_cast<int>(message.wParam);
}
