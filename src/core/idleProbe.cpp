#include "core/idleProbe.h"

#include "core/timeSource.h"

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

bool IdleProbe::lastInputAt(uint64_t now, uint64_t* tick) const
{
    uint32_t idle = 0;
    if (!idleMilliseconds(&idle)) {
        return false;
    }
    // The age is read a moment after `now`: placed against `now`, the input
    // looks that moment older, never newer.
    *tick = idle < now ? now - idle : 0;
    return true;
}
