#include "core/idleProbe.h"

#include "core/timeSource.h"

namespace {
constexpr uint32_t kActiveWindowMs = 300000;
}

bool IdleProbe::isUserActive() const
{
    uint32_t idle = 0;
    return idleMilliseconds(&idle) && idle <= kActiveWindowMs;
}

bool IdleProbe::idleMilliseconds(uint32_t* idle) const
{
    const TimeSource& time = activeTimeSource();
    uint32_t lastInput = 0;
    if (!time.lastInputTick(&lastInput)) {
        return false;
    }
    // Unsigned subtraction stays right across the 49.7-day wrap of the counter.
    *idle = time.tickCount() - lastInput;
    return true;
}
