// Messages sent to a window from a thread of its own, as another program would
// send them: the window's procedure gets them from inside this thread's wait,
// with InSendMessageEx saying they came from elsewhere.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <initializer_list>
#include <vector>

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
