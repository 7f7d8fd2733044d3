// Follows the GDI objects a running program makes through Wine's relay trace
// (Wine's GetGuiResources is a stub): every creation must be matched by a
// successful deletion or by a region handed to the system with SetWindowRgn.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

// The functions to trace (LaunchOptions::withRelay) for a ledger.
std::wstring gdiRelayFunctions();

struct GdiLedger {
    std::map<unsigned long, std::string> outstanding;  // handle -> creating function
    std::map<std::string, int> created;                // creating function -> count
    int deleted = 0;
    int regionsHandedOver = 0;
    // Handles handed out again while the ledger still held them as live.
    std::vector<unsigned long> reissued;
};

// Reads the ledger from the app's relay trace. With a range, only creations
// returning into that address range (the program's own module) are counted.
GdiLedger readGdiLedger(const App& app, ULONGLONG callerBegin = 0, ULONGLONG callerEnd = ~0ull);

// The address range of the app's main module.
bool mainModuleRange(HANDLE process, ULONGLONG& begin, ULONGLONG& end);

// Committed private memory (Wine reports it as PagefileUsage and leaves PrivateUsage 0);
// unlike the working set, it does not move with paging.
SIZE_T privateBytes(HANDLE process);

}  // namespace e2e
