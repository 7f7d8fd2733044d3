// The program's clock: a waitable timer on a thread of its own. Nothing that
// reaches the window thread (a flood of posted messages, a modal loop, a
// window destroyed from outside) holds up what it runs.
#pragma once

#include <windows.h>

#include <functional>

#include "base/scopedHandles.h"

class ClockThread {
public:
    ClockThread() = default;
    // Stops the thread and waits for it.
    ~ClockThread();
    ClockThread(const ClockThread&) = delete;
    ClockThread& operator=(const ClockThread&) = delete;

    // Runs `tick` every `periodMs`, the first time one period from now, on a
    // thread at time-critical priority: keep slow work out of `tick`. False
    // when the system gave no timer or thread.
    bool start(std::function<void()> tick, DWORD periodMs);
    // Waits for a tick under way to finish; no tick runs after it returns.
    void stop();
    bool running() const { return static_cast<bool>(thread_); }
    DWORD threadId() const { return threadId_; }

private:
    static DWORD WINAPI run(void* self);

    using Handle = Owned<HANDLE, scoped_detail::closeFile>;
    Handle timer_;
    Handle stopEvent_;
    Handle thread_;
    std::function<void()> tick_;
    DWORD threadId_ = 0;
};
