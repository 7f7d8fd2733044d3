#include "app/singleInstance.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>

#include "app/controlWindow.h"
#include "base/scopedHandles.h"
#include "storage/textFiles.h"

namespace {

std::wstring upperInvariant(const std::wstring& text)
{
    if (text.empty()) {
        return text;
    }
    const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.c_str(),
                                     static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr, 0);
    if (length <= 0) {
        return text;
    }
    std::wstring upper(static_cast<size_t>(length), L'\0');
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.c_str(), static_cast<int>(text.size()), upper.data(),
                  length, nullptr, nullptr, 0);
    return upper;
}

std::wstring finalPath(const std::wstring& directory)
{
    FileHandle handle(CreateFileW(directory.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) {
        return directory;
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle.get(), path.data(), static_cast<DWORD>(path.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            return directory;
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length + 1);
    }
}

// The full path of a process's executable, as the system reports it; empty when it cannot be read.
std::wstring processImagePath(HANDLE process)
{
    std::wstring path(1024, L'\0');
    for (;;) {
        DWORD length = static_cast<DWORD>(path.size());
        if (QueryFullProcessImageNameW(process, 0, path.data(), &length)) {
            path.resize(length);
            return path;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
}

std::wstring processImagePath(DWORD processId)
{
    Owned<HANDLE, scoped_detail::closeFile> process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    return process ? processImagePath(process.get()) : std::wstring();
}

}  // namespace

std::wstring canonicalDirectory(const std::wstring& directory)
{
    // Windows paths compare without regard to case.
    return upperInvariant(finalPath(directory));
}

std::wstring canonicalProgramPath(const std::wstring& path)
{
    return upperInvariant(finalPath(path));
}

std::wstring ownProgramPath()
{
    return canonicalProgramPath(processImagePath(GetCurrentProcess()));
}

// A mutex name may not hold a backslash, and a path may be longer than a
// name can be: a 64-bit hash of the canonical path stands in for it.
std::wstring instanceMutexName(const std::wstring& directory)
{
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const wchar_t unit : canonicalDirectory(directory)) {
        hash = (hash ^ static_cast<uint16_t>(unit)) * 1099511628211ull;
    }
    wchar_t text[17] = {};
    swprintf(text, 17, L"%016llx", static_cast<unsigned long long>(hash));
    return std::wstring(L"Local\\Hourwarden-") + text;
}

// A window of this process, or of any other executable (another program in
// the same folder, uninstall.exe included), is never the program that holds the files.
std::vector<HWND> runningControlWindows(const std::wstring& programPath)
{
    const std::wstring wanted = canonicalProgramPath(programPath);
    std::vector<HWND> found;
    if (wanted.empty()) {
        return found;
    }
    HWND candidate = nullptr;
    while ((candidate = FindWindowExW(nullptr, candidate, kControlWindowClass, nullptr)) != nullptr) {
        DWORD processId = 0;
        GetWindowThreadProcessId(candidate, &processId);
        if (processId == GetCurrentProcessId()) {
            continue;
        }
        const std::wstring other = processImagePath(processId);
        if (!other.empty() && canonicalProgramPath(other) == wanted) {
            found.push_back(candidate);
        }
    }
    return found;
}

// Sent, not posted: any program can bear the class and live in the folder, but
// only the program itself answers as it does. A hung window costs one time-out,
// not the start.
bool askToShowStatus(HWND running, UINT showStatusMessage, DWORD timeoutMs)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(running, &processId);
    // Lets the status window come to the front, as this start was the user's last action.
    AllowSetForegroundWindow(processId);
    DWORD_PTR answer = 0;
    return SendMessageTimeoutW(running, showStatusMessage, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &answer) != 0 &&
           static_cast<LRESULT>(answer) == kShowStatusRequestAccepted;
}

InstanceLock::InstanceLock(const std::wstring& directory)
{
    const std::wstring name = instanceMutexName(directory);
    mutex_.reset(CreateMutexW(nullptr, TRUE, name.c_str()));
    const DWORD error = GetLastError();
    if (!mutex_ && error == ERROR_ACCESS_DENIED) {
        // Made by a program running with other rights: waiting on it and
        // releasing it is all this start needs, to take it once its holder is gone.
        mutex_.reset(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str()));
        return;
    }
    // Only the creator gets the initial ownership. Without a handle at all (the
    // name taken by another kind of object), the hand-over and its time limit decide.
    owned_ = mutex_ && error != ERROR_ALREADY_EXISTS;
}

InstanceLock::~InstanceLock()
{
    if (owned_) {
        ReleaseMutex(mutex_.get());
    }
}

bool InstanceLock::takeOverIfFree()
{
    if (!owned_ && mutex_) {
        // A holder that ended without releasing leaves the mutex abandoned,
        // and the waiter owns it all the same.
        const DWORD result = WaitForSingleObject(mutex_.get(), 0);
        owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    }
    return owned_;
}

// Any program of the account can create the mutex first, so holding it proves
// nothing: this start leaves only when a genuine copy answered. Otherwise it
// runs, as soon as the mutex is free or after the wait: something always counts.
StartDecision decideStart(InstanceLock& lock, const std::wstring& programPath, UINT showStatusMessage, DWORD waitMs)
{
    const ULONGLONG end = GetTickCount64() + waitMs;
    while (!lock.owned()) {
        // The running program may be starting still: its window comes a moment after its mutex.
        for (HWND running : runningControlWindows(programPath)) {
            const ULONGLONG now = GetTickCount64();
            const ULONGLONG left = now < end ? end - now : 0;
            const auto timeout =
                static_cast<DWORD>(std::clamp<ULONGLONG>(left, kHandOverPollMs, kHandOverRequestTimeoutMs));
            if (askToShowStatus(running, showStatusMessage, timeout)) {
                return StartDecision::HandedOver;
            }
        }
        if (lock.takeOverIfFree()) {
            break;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= end) {
            break;
        }
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(kHandOverPollMs, end - now)));
    }
    return StartDecision::Run;
}
