// Tests of what only real Windows does (access lists, threads born with the
// token's default list, append-only rights, byte-range locks, desktops, the
// Task Scheduler) end their names in "_WindowsOnly" and skip under Wine with
// SKIP_UNLESS_REAL_WINDOWS; scripts/windows-checks.cmd runs them on Windows.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

inline bool runningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// `why`: what Wine does not do that the test needs.
#define SKIP_UNLESS_REAL_WINDOWS(why)                                                              \
    do {                                                                                           \
        if (runningUnderWine()) {                                                                  \
            GTEST_SKIP() << "needs real Windows (scripts/windows-checks.cmd runs it): " << (why); \
        }                                                                                          \
    } while (false)
