// The clock and input-time readings the policy depends on. The program uses
// the system's; unit tests install their own functions to step time at will.
#pragma once

#include <windows.h>

#include <cstdint>

struct TimeSource {
    void (*localTime)(SYSTEMTIME* time);
    // Milliseconds since boot, sleep and hibernation included (GetTickCount64).
    uint64_t (*tickCount64)();
    uint32_t (*tickCount)();
    // The tick of the last keyboard or mouse input; false when unknown.
    bool (*lastInputTick)(uint32_t* tick);
    // Waits, as Sleep: the start's retries for a file another program holds.
    void (*sleep)(uint32_t milliseconds);
    // The time in UTC, as GetSystemTime.
    void (*utcTime)(SYSTEMTIME* time);
    // 100-ns units of time the machine was awake: sleep and hibernation are
    // not in it (QueryUnbiasedInterruptTime).
    uint64_t (*unbiasedTime)();
};

const TimeSource& systemTimeSource();
const TimeSource& activeTimeSource();

// Installs `source` (nullptr: the system's) for every tracker and probe.
void setTimeSource(const TimeSource* source);
