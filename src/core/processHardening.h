// What the program asks of Windows before any window or file: DLLs only from
// System32, no DLL that the system would load into it for another program
// (window hooks, AppInit DLLs, legacy IMEs), no image from a remote or
// low-integrity place.
#pragma once

#include <windows.h>

// The calls behind hardenProcess, replaceable so tests see what is asked, in which order.
struct HardeningCalls {
    BOOL (*setDefaultDllDirectories)(DWORD directoryFlags);
    BOOL (*setMitigationPolicy)(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T length);
};

const HardeningCalls& systemHardeningCalls();
// Installs `calls` (nullptr: the system's).
void setHardeningCalls(const HardeningCalls* calls);

// Asks for each protection in turn, all of them even when one is refused.
// True when Windows accepted every one.
bool hardenProcess();
// Whether the last hardenProcess had one refused; the settings window says so.
bool processHardeningRefused();
