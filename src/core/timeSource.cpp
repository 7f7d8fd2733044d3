#include "core/timeSource.h"

namespace {

void systemLocalTime(SYSTEMTIME* time)
{
    GetLocalTime(time);
}

uint64_t systemTickCount64()
{
    return GetTickCount64();
}

uint32_t systemTickCount()
{
    return GetTickCount();
}

bool systemLastInputTick(uint32_t* tick)
{
    LASTINPUTINFO info = {};
    info.cbSize = sizeof info;
    info.dwTime = 0;
    if (!GetLastInputInfo(&info)) {
        return false;
    }
    *tick = info.dwTime;
    return true;
}

void systemSleep(uint32_t milliseconds)
{
    Sleep(milliseconds);
}

void systemUtcTime(SYSTEMTIME* time)
{
    GetSystemTime(time);
}

uint64_t systemUnbiasedTime()
{
    ULONGLONG time = 0;
    // Fails only for a null pointer.
    QueryUnbiasedInterruptTime(&time);
    return time;
}

constexpr TimeSource kSystem = {systemLocalTime, systemTickCount64, systemTickCount, systemLastInputTick,
                                systemSleep,     systemUtcTime,     systemUnbiasedTime};

const TimeSource* active = &kSystem;

}  // namespace

const TimeSource& systemTimeSource()
{
    return kSystem;
}

const TimeSource& activeTimeSource()
{
    return *active;
}

void setTimeSource(const TimeSource* source)
{
    active = source != nullptr ? source : &kSystem;
}
