#include "core/idleProbe.h"

#include "core/timeSource.h"

namespace {
constexpr uint32_t kActiveWindowMs = 300000;
}

bool IdleProbe::isUserActive() const
{
    const TimeSource& time = activeTimeSource();
    uint32_t lastInput = 0;
    if (!time.lastInputTick(&lastInput)) {
        return false;
    }
    // Unsigned subtraction stays right across the 49.7-day wrap of the counter.
    const uint32_t idle = time.tickCount() - lastInput;
    return idle <= kActiveWindowMs;
}
