// One counter per pair of files: a second start on the same files hands over
// to the program that already runs on them instead of counting beside it, and
// no other program can make a start hand over to nobody.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/scopedHandles.h"

// How long a start tries to hand over before it runs anyway, and how often it tries.
inline constexpr DWORD kHandOverWaitMs = 10000;
inline constexpr DWORD kHandOverPollMs = 100;
// How long one request may take the running program to answer.
inline constexpr DWORD kHandOverRequestTimeoutMs = 1000;

// The directory as the file system names it (links and short names resolved),
// in one case, so every spelling of one directory gives the same text.
std::wstring canonicalDirectory(const std::wstring& directory);

// The session-local mutex owned by the program that works on the files in `directory`.
std::wstring instanceMutexName(const std::wstring& directory);

// A program's full path as the file system names it, in one case, so every
// spelling of one executable gives the same text; empty when it cannot be read.
std::wstring canonicalProgramPath(const std::wstring& path);
// This process's executable, as the system reports it, in that form.
std::wstring ownProgramPath();

// The control windows of other processes whose executable is `programPath`.
std::vector<HWND> runningControlWindows(const std::wstring& programPath);

// Asks `running` to open its status window, as a double click on its icon
// would. True only when it answered as the program does.
bool askToShowStatus(HWND running, UINT showStatusMessage, DWORD timeoutMs = kHandOverRequestTimeoutMs);

// The instance mutex of a directory; released when destroyed if this process owns it.
class InstanceLock {
public:
    // Creates the mutex owned, or opens the one that exists.
    explicit InstanceLock(const std::wstring& directory);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // This process owns the mutex, for as long as the lock lives.
    bool owned() const { return owned_; }
    // Takes the mutex when its holder released it or ended; true when owned now.
    bool takeOverIfFree();

private:
    Owned<HANDLE, scoped_detail::closeFile> mutex_;
    bool owned_ = false;
};

enum class StartDecision { Run, HandedOver };

// Whether this start runs or leaves to the program already running from
// `programPath` (this very executable). It leaves only once that program took
// the request to show its status; it runs as soon as it owns the mutex, and
// after `waitMs` in any case.
StartDecision decideStart(InstanceLock& lock, const std::wstring& programPath, UINT showStatusMessage,
                          DWORD waitMs = kHandOverWaitMs);
