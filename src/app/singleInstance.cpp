#include "app/singleInstance.h"

#include <cstdint>
#include <cwchar>

#include "app/controlWindow.h"
#include "base/scopedHandles.h"
#include "storage/textFiles.h"

namespace {

constexpr DWORD kHandOverWaitMs = 10000;
constexpr DWORD kHandOverPollMs = 100;

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

std::wstring processDirectory(DWORD processId)
{
    Owned<HANDLE, scoped_detail::closeFile> process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        return {};
    }
    std::wstring path(1024, L'\0');
    for (;;) {
        DWORD length = static_cast<DWORD>(path.size());
        if (QueryFullProcessImageNameW(process.get(), 0, path.data(), &length)) {
            path.resize(length);
            return directoryOf(path);
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace

std::wstring canonicalDirectory(const std::wstring& directory)
{
    // Windows paths compare without regard to case.
    return upperInvariant(finalPath(directory));
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

HWND findRunningControlWindow(const std::wstring& directory)
{
    const std::wstring wanted = canonicalDirectory(directory);
    HWND candidate = nullptr;
    while ((candidate = FindWindowExW(nullptr, candidate, kControlWindowClass, nullptr)) != nullptr) {
        DWORD processId = 0;
        GetWindowThreadProcessId(candidate, &processId);
        if (processId == GetCurrentProcessId()) {
            continue;
        }
        const std::wstring other = processDirectory(processId);
        if (!other.empty() && canonicalDirectory(other) == wanted) {
            return candidate;
        }
    }
    return nullptr;
}

InstanceLock::InstanceLock(const std::wstring& directory)
{
    mutex_ = CreateMutexW(nullptr, FALSE, instanceMutexName(directory).c_str());
    // Denied access means the mutex exists, made by a copy running with other rights.
    // Any other failure lets this copy run: two counters are better than none.
    const DWORD error = GetLastError();
    heldElsewhere_ = mutex_ != nullptr ? error == ERROR_ALREADY_EXISTS : error == ERROR_ACCESS_DENIED;
}

InstanceLock::~InstanceLock()
{
    if (mutex_ != nullptr) {
        CloseHandle(mutex_);
    }
}

// The running program may be starting still: its window comes a moment after its mutex.
bool askRunningProgramToShowStatus(const std::wstring& directory, UINT showStatusMessage)
{
    const ULONGLONG end = GetTickCount64() + kHandOverWaitMs;
    for (;;) {
        if (HWND running = findRunningControlWindow(directory)) {
            DWORD processId = 0;
            GetWindowThreadProcessId(running, &processId);
            // Lets the status window come to the front, as this start was the user's last action.
            AllowSetForegroundWindow(processId);
            return PostMessageW(running, showStatusMessage, 0, 0) != FALSE;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        Sleep(kHandOverPollMs);
    }
}
