#include "storage/journalFiles.h"

#include <algorithm>
#include <atomic>

#include "storage/journal.h"
#include "storage/settingsFiles.h"

namespace {

constexpr DWORD kReadChunk = 64 * 1024;
// A name the account planted as a link is opened as the link itself, never followed.
constexpr DWORD kOpenFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;

HANDLE systemOpen(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags)
{
    return CreateFileW(path, access, shareMode, nullptr, disposition, flags, nullptr);
}

BOOL systemSize(HANDLE file, LARGE_INTEGER* size)
{
    return GetFileSizeEx(file, size);
}

BOOL systemReadAt(HANDLE file, uint64_t offset, void* buffer, DWORD length, DWORD* read)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (ReadFile(file, buffer, length, read, &at)) {
        return TRUE;
    }
    // Reading at or past the end is the end, not a failure.
    if (GetLastError() == ERROR_HANDLE_EOF) {
        *read = 0;
        return TRUE;
    }
    return FALSE;
}

// Both offsets all ones: at the end of the file, as a handle that may only
// append writes anyway.
BOOL systemAppend(HANDLE file, const void* bytes, DWORD length, DWORD* written)
{
    OVERLAPPED atEnd = {};
    atEnd.Offset = 0xFFFFFFFF;
    atEnd.OffsetHigh = 0xFFFFFFFF;
    return WriteFile(file, bytes, length, written, &atEnd);
}

HANDLE systemFindFirst(const wchar_t* pattern, WIN32_FIND_DATAW* found)
{
    return FindFirstFileExW(pattern, FindExInfoBasic, found, FindExSearchNameMatch, nullptr, 0);
}

BOOL systemFindNext(HANDLE search, WIN32_FIND_DATAW* found)
{
    return FindNextFileW(search, found);
}

BOOL systemFindClose(HANDLE search)
{
    return FindClose(search);
}

constexpr JournalFileCalls kSystemJournalFileCalls = {systemOpen,     systemSize,     systemReadAt,   systemAppend,
                                                      systemFindFirst, systemFindNext, systemFindClose};
std::atomic<const JournalFileCalls*> activeCalls{&kSystemJournalFileCalls};

const JournalFileCalls& calls()
{
    return *activeCalls.load();
}

FileHandle openLog(const std::wstring& path, DWORD access, DWORD sharing, DWORD disposition)
{
    return FileHandle(calls().open(fileSystemPath(absolutePath(path)).c_str(), access, sharing, disposition, kOpenFlags));
}

// Only the program's logs, never what the account planted in their place.
bool isPlainFile(const WIN32_FIND_DATAW& found)
{
    return (found.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

}  // namespace

const JournalFileCalls& systemJournalFileCalls()
{
    return kSystemJournalFileCalls;
}

void setJournalFileCalls(const JournalFileCalls* calls)
{
    activeCalls.store(calls != nullptr ? calls : &kSystemJournalFileCalls);
}

std::wstring journalFolderOf(const std::wstring& directory)
{
    return directory + L"\\journal";
}

std::wstring settingsLogPathOf(const std::wstring& journalFolder)
{
    return journalFolder + L"\\settings.log";
}

FileHandle createLog(const std::wstring& path)
{
    return openLog(path, kJournalAppendAccess, kJournalAppendSharing, CREATE_NEW);
}

FileHandle openLogForAppend(const std::wstring& path)
{
    return openLog(path, kJournalAppendAccess, kJournalAppendSharing, OPEN_EXISTING);
}

bool appendRecord(HANDLE log, std::string_view line)
{
    LARGE_INTEGER size = {};
    if (!calls().size(log, &size) || size.QuadPart < 0) {
        return false;
    }
    const uint64_t length = static_cast<uint64_t>(size.QuadPart);
    char last = '\n';
    DWORD read = 0;
    if (length > 0 && (!calls().readAt(log, length - 1, &last, 1, &read) || read != 1)) {
        return false;
    }
    const std::string bytes = appendedBytes(length > 0 ? std::string_view(&last, 1) : std::string_view(), line);
    if (length + bytes.size() > kMaxJournalBytes) {
        return false;
    }
    DWORD written = 0;
    return calls().append(log, bytes.data(), static_cast<DWORD>(bytes.size()), &written) && written == bytes.size();
}

bool appendRecordTo(const std::wstring& path, std::string_view line)
{
    const FileHandle log = openLogForAppend(path);
    return log && appendRecord(log.get(), line);
}

FileState readLog(const std::wstring& path, std::string& bytes)
{
    bytes.clear();
    const FileHandle log = openLog(path, kJournalReadAccess, kJournalReadSharing, OPEN_EXISTING);
    if (!log) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileState::Absent
                                                                              : FileState::Unreadable;
    }
    constexpr size_t kBound = kMaxJournalBytes + 1;
    std::string chunk(kReadChunk, '\0');
    while (bytes.size() < kBound) {
        const DWORD wanted = static_cast<DWORD>(std::min<size_t>(kReadChunk, kBound - bytes.size()));
        DWORD read = 0;
        if (!calls().readAt(log.get(), bytes.size(), chunk.data(), wanted, &read)) {
            bytes.clear();
            return FileState::Unreadable;
        }
        if (read == 0) {
            break;
        }
        bytes.append(chunk.data(), read);
    }
    return FileState::Read;
}

std::optional<std::vector<std::wstring>> listDayLogs(const std::wstring& folder, std::wstring_view date)
{
    std::vector<std::wstring> names;
    // The date goes into the search pattern: no wildcards from there.
    int64_t day = 0;
    if (!dayNumberOf(std::wstring(date), day)) {
        return std::nullopt;
    }
    const std::wstring pattern = fileSystemPath(absolutePath(folder)) + L"\\day-" + std::wstring(date) + L"-*.log";
    WIN32_FIND_DATAW found = {};
    const HANDLE search = calls().findFirst(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? std::optional(names) : std::nullopt;
    }
    bool complete = true;
    for (;;) {
        if (isPlainFile(found) && isDayLogNameFor(found.cFileName, date)) {
            names.push_back(found.cFileName);
        }
        if (!calls().findNext(search, &found)) {
            complete = GetLastError() == ERROR_NO_MORE_FILES;
            break;
        }
    }
    calls().findClose(search);
    return complete ? std::optional(names) : std::nullopt;
}

std::optional<int64_t> readDayCount(const std::wstring& folder, std::wstring_view date)
{
    const std::optional<std::vector<std::wstring>> names = listDayLogs(folder, date);
    // Refused before reading: a folder stuffed with logs costs no reading.
    if (!names || !dayLogCountAllowed(names->size())) {
        return std::nullopt;
    }
    std::vector<std::string> logs;
    for (const std::wstring& name : *names) {
        std::string bytes;
        if (readLog(folder + L"\\" + name, bytes) != FileState::Read) {
            return std::nullopt;
        }
        logs.push_back(std::move(bytes));
    }
    return largestDayCount(logs, date);
}

bool DayLog::create(const std::wstring& folder, std::wstring_view date)
{
    release();
    const std::wstring name = newDayLogName(date);
    if (name.empty()) {
        return false;
    }
    path_ = folder + L"\\" + name;
    date_ = date;
    handle_ = createLog(path_);
    return held();
}

bool DayLog::record(int64_t usedSeconds)
{
    const std::string line = dayRecordLine(date_, usedSeconds);
    return held() && !line.empty() && appendRecord(handle_.get(), line);
}
