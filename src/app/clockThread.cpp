#include "app/clockThread.h"

#include <utility>

namespace {

// SetWaitableTimer counts in 100-ns units; a negative due time is relative.
constexpr LONGLONG kHundredNanosecondsPerMs = 10000;

}  // namespace

ClockThread::~ClockThread()
{
    stop();
}

bool ClockThread::start(std::function<void()> tick, DWORD periodMs)
{
    stop();
    // Unnamed, so no other program can open, set or cancel it.
    timer_.reset(CreateWaitableTimerW(nullptr, FALSE, nullptr));
    stopEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!timer_ || !stopEvent_) {
        return false;
    }
    LARGE_INTEGER due = {};
    due.QuadPart = -static_cast<LONGLONG>(periodMs) * kHundredNanosecondsPerMs;
    if (!SetWaitableTimer(timer_.get(), &due, static_cast<LONG>(periodMs), nullptr, nullptr, FALSE)) {
        return false;
    }
    tick_ = std::move(tick);
    thread_.reset(CreateThread(nullptr, 0, run, this, 0, &threadId_));
    if (!thread_) {
        return false;
    }
    // Ahead of the account's other programs, so a busy machine does not starve
    // the clock; they may take this priority too, and then it only ties. A
    // refusal leaves the clock at normal priority, counting late ticks in full.
    SetThreadPriority(thread_.get(), THREAD_PRIORITY_TIME_CRITICAL);
    return true;
}

void ClockThread::stop()
{
    if (thread_) {
        SetEvent(stopEvent_.get());
        WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    }
    if (timer_) {
        CancelWaitableTimer(timer_.get());
    }
    timer_.reset();
    stopEvent_.reset();
}

DWORD WINAPI ClockThread::run(void* self)
{
    auto* clock = static_cast<ClockThread*>(self);
    const HANDLE waits[] = {clock->stopEvent_.get(), clock->timer_.get()};
    // The stop comes first, so a stop asked during a tick is never followed by another.
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        clock->tick_();
    }
    return 0;
}
