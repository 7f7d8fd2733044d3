// A critical section and its scoped holder: what two threads share is touched
// under one of these. Recursive on its own thread, as the Win32 one is.
#pragma once

#include <windows.h>

class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&section_); }
    ~CriticalSection() { DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void enter() { EnterCriticalSection(&section_); }
    void leave() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CriticalSection& section) : section_(section) { section_.enter(); }
    ~CriticalSectionGuard() { section_.leave(); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CriticalSection& section_;
};
