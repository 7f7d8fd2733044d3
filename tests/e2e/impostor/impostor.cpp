// Another program of the account, put in the program's folder (as
// uninstall.exe would be): it takes the folder's one-copy mutex and answers
// the hand-over request exactly as the program does. A start must not leave
// its count to it.
#include <windows.h>

#include "app/controlWindow.h"
#include "app/singleInstance.h"
#include "storage/textFiles.h"

namespace {

UINT handOverRequest = 0;

LRESULT CALLBACK impostorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (handOverRequest != 0 && message == handOverRequest) {
        return kShowStatusRequestAccepted;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    handOverRequest = RegisterWindowMessageW(kShowStatusRequestName);
    HANDLE mutex = CreateMutexW(nullptr, TRUE, instanceMutexName(executableDirectory()).c_str());
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = impostorProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kControlWindowClass;
    RegisterClassExW(&windowClass);
    if (CreateWindowExW(0, kControlWindowClass, L"Hourwarden", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr) ==
        nullptr) {
        return 1;
    }
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    if (mutex != nullptr) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    return 0;
}
