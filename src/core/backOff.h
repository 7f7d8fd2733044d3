// A check or an attempt made at every tick for a while, then less often: a
// state that did not come within the first minute is seldom a second away.
#pragma once

#include <cstdint>

class BackOff {
public:
    // At every tick for `quickForMs` after start(), then once per `slowPeriodMs`.
    constexpr BackOff(uint64_t quickForMs, uint64_t slowPeriodMs)
        : quickForMs_(quickForMs), slowPeriodMs_(slowPeriodMs)
    {
    }

    // Begins (again) with the quick phase.
    void start(uint64_t now)
    {
        startedAt_ = now;
        lastAttemptAt_ = now;
        started_ = true;
    }

    // Whether an attempt is due at `now`; true until start() was called.
    bool due(uint64_t now) const
    {
        return !started_ || now - startedAt_ < quickForMs_ || now - lastAttemptAt_ >= slowPeriodMs_;
    }

    void attempted(uint64_t now) { lastAttemptAt_ = now; }

private:
    uint64_t quickForMs_;
    uint64_t slowPeriodMs_;
    uint64_t startedAt_ = 0;
    uint64_t lastAttemptAt_ = 0;
    bool started_ = false;
};
