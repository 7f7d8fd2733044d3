// What another program does to the program's windows, played inside the test
// process: windows of a class of its own, and messages sent from a thread of
// its own (the window's procedure gets them from inside this thread's wait,
// with InSendMessageEx saying they came from elsewhere).
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <initializer_list>
#include <vector>

// A window of a class that is not the program's, with `procedure` (the
// default one unless given); registered at the first use.
inline HWND makeForeignWindow(const wchar_t* className, WNDPROC procedure = DefWindowProcW,
                              DWORD style = WS_POPUP)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassExW(&windowClass);  // fails harmlessly once registered
    return CreateWindowExW(0, className, L"", style, 0, 0, 100, 100, nullptr, nullptr, windowClass.hInstance,
                           nullptr);
}

// Sends each message with the same parameters, one after the other, and
// answers them on this thread until the sender is done.
inline void sendFromAnotherThread(HWND window, std::initializer_list<UINT> messages, WPARAM wParam, LPARAM lParam)
{
    struct Sends {
        HWND window;
        std::vector<UINT> messages;
        WPARAM wParam;
        LPARAM lParam;
    } sends{window, messages, wParam, lParam};
    HANDLE sender = CreateThread(
        nullptr, 0,
        [](void* parameter) -> DWORD {
            const auto* s = static_cast<const Sends*>(parameter);
            for (const UINT message : s->messages) {
                DWORD_PTR answer = 0;
                SendMessageTimeoutW(s->window, message, s->wParam, s->lParam, SMTO_BLOCK, 5000, &answer);
            }
            return 0;
        },
        &sends, 0, nullptr);
    ASSERT_NE(sender, nullptr);
    while (MsgWaitForMultipleObjects(1, &sender, FALSE, 10000, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        MSG message = {};
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // answers what was sent
    }
    CloseHandle(sender);
}
