// Loaded into the running program by the end-to-end tests (never shipped).
// Wine refuses every LockWorkStation and never locks or unlocks a session, so
// this DLL stands in for the system inside the program: it redirects the
// program's imports of LockWorkStation and of the session query so that a
// lock is accepted and the session reports itself locked, until the test
// unlocks it. The real LockWorkStation is still called first, so Wine's relay
// trace shows every request as before.
#include <windows.h>

#include <wtsapi32.h>

#include <cstring>

#include "sessionProbe.h"

namespace {

using LockFunction = BOOL(WINAPI*)();
using QueryFunction = BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
using FreeFunction = void(WINAPI*)(PVOID);

LockFunction realLock = nullptr;
QueryFunction realQuery = nullptr;
FreeFunction realFree = nullptr;

volatile LONG sessionLocked = 0;
volatile LONG acceptedLocks = 0;

constexpr auto kSessionInfoEx = static_cast<WTS_INFO_CLASS>(25);
constexpr LONG kSessionFlagLocked = 0;
constexpr LONG kSessionFlagUnlocked = 1;

// The head of WTSINFOEXW, as the program reads it.
struct SessionInfoExHead {
    DWORD level;
    alignas(8) ULONG sessionId;
    INT connectState;
    LONG sessionFlags;
};
SessionInfoExHead answer = {};

BOOL WINAPI acceptingLock()
{
    if (realLock != nullptr) {
        realLock();
    }
    InterlockedExchange(&sessionLocked, 1);
    InterlockedIncrement(&acceptedLocks);
    return TRUE;
}

BOOL WINAPI reportingQuery(HANDLE server, DWORD session, WTS_INFO_CLASS infoClass, LPWSTR* buffer, DWORD* bytes)
{
    if (infoClass != kSessionInfoEx) {
        return realQuery(server, session, infoClass, buffer, bytes);
    }
    answer.level = 1;
    answer.sessionFlags = InterlockedCompareExchange(&sessionLocked, 0, 0) != 0 ? kSessionFlagLocked
                                                                                 : kSessionFlagUnlocked;
    *buffer = reinterpret_cast<LPWSTR>(&answer);
    *bytes = sizeof answer;
    return TRUE;
}

void WINAPI freeingMemory(PVOID memory)
{
    if (memory != &answer && realFree != nullptr) {
        realFree(memory);
    }
}

// Points the program's import of `function` from `dll` at `replacement`;
// returns what it pointed at, or null when the program does not import it.
void* redirectImport(const char* dll, const char* function, void* replacement)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) {
        return nullptr;
    }
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name != 0;
         ++entry) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) {
            continue;
        }
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) {
                continue;
            }
            DWORD previous = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &previous);
            void* original = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, previous, &previous);
            return original;
        }
    }
    return nullptr;
}

bool install()
{
    if (realLock != nullptr) {
        return true;
    }
    realQuery = reinterpret_cast<QueryFunction>(
        redirectImport("wtsapi32.dll", "WTSQuerySessionInformationW", reinterpret_cast<void*>(reportingQuery)));
    realFree = reinterpret_cast<FreeFunction>(
        redirectImport("wtsapi32.dll", "WTSFreeMemory", reinterpret_cast<void*>(freeingMemory)));
    realLock = reinterpret_cast<LockFunction>(
        redirectImport("user32.dll", "LockWorkStation", reinterpret_cast<void*>(acceptingLock)));
    return realLock != nullptr && realQuery != nullptr && realFree != nullptr;
}

}  // namespace

// Thread entry for CreateRemoteThread: `parameter` points to a SessionProbeRequest.
extern "C" __declspec(dllexport) DWORD WINAPI simulateSession(LPVOID parameter)
{
    auto* request = static_cast<SessionProbeRequest*>(parameter);
    switch (request->command) {
    case SessionProbeCommand::Install:
        request->done = install();
        break;
    case SessionProbeCommand::Unlock:
        InterlockedExchange(&sessionLocked, 0);
        request->done = true;
        break;
    case SessionProbeCommand::Read:
        request->done = true;
        break;
    }
    request->acceptedLocks = InterlockedCompareExchange(&acceptedLocks, 0, 0);
    request->locked = InterlockedCompareExchange(&sessionLocked, 0, 0) != 0;
    return request->done ? 1 : 0;
}
