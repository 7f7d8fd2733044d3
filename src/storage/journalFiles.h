// The journal's files: opening, creating, listing, reading and appending to
// the logs of journal.h. The account may read and append to them but not
// write over them, so the program never asks for more than reading and
// appending: Wine grants whatever is asked, Windows refuses an open that asks
// for a right the access list does not give. Nothing here takes a lock; the
// calls may run on a reader thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/scopedHandles.h"
#include "storage/textFiles.h"

// The rights the program opens a log with to append to it, and nothing more.
// Sharing reads only while the program holds it: nobody else may append
// in between, and nobody may rename or delete it.
inline constexpr DWORD kJournalAppendAccess = FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE;
inline constexpr DWORD kJournalAppendSharing = FILE_SHARE_READ;
// The rights to read a log; writers may go on meanwhile (the reader ignores
// an unfinished last line).
inline constexpr DWORD kJournalReadAccess = FILE_READ_DATA | SYNCHRONIZE;
inline constexpr DWORD kJournalReadSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The file calls behind the journal. The program uses the system's; unit
// tests install their own to see what is asked and to play folders and files
// the tests cannot make under Wine.
struct JournalFileCalls {
    HANDLE (*open)(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags);
    // GetFileSizeEx, which needs no right beyond an open handle.
    BOOL (*size)(HANDLE file, LARGE_INTEGER* size);
    // Reads at `offset`, as ReadFile with an offset.
    BOOL (*readAt)(HANDLE file, uint64_t offset, void* buffer, DWORD length, DWORD* read);
    // Writes at the end of the file, whatever the handle's position.
    BOOL (*append)(HANDLE file, const void* bytes, DWORD length, DWORD* written);
    HANDLE (*findFirst)(const wchar_t* pattern, WIN32_FIND_DATAW* found);
    BOOL (*findNext)(HANDLE search, WIN32_FIND_DATAW* found);
    BOOL (*findClose)(HANDLE search);
};

const JournalFileCalls& systemJournalFileCalls();
// Installs `calls` (nullptr: the system's).
void setJournalFileCalls(const JournalFileCalls* calls);

// The journal folder beside the program's files in `directory`, and the settings log in it.
std::wstring journalFolderOf(const std::wstring& directory);
std::wstring settingsLogPathOf(const std::wstring& journalFolder);

// A new log, created only when no file of that name exists (CREATE_NEW),
// opened with kJournalAppendAccess and sharing reads only. Empty on failure.
FileHandle createLog(const std::wstring& path);
// An existing log opened the same way. Empty on failure.
FileHandle openLogForAppend(const std::wstring& path);

// Appends `line` (a record without its line end) and its line end to the
// log, after a line end when the log does not end with one. False when the
// system refuses or the log would grow past the bound its readers accept.
bool appendRecord(HANDLE log, std::string_view line);
// Opens the log, appends one record and closes it again.
bool appendRecordTo(const std::wstring& path, std::string_view line);

// The log's bytes, at most kMaxJournalBytes + 1 of them: enough for the
// reader to know a longer log is not the program's without reading it all.
FileState readLog(const std::wstring& path, std::string& bytes);

// The names of `date`'s day logs in the folder; reparse points and folders
// that carry such a name are skipped. Empty when there are none; nullopt
// when the folder cannot be listed.
std::optional<std::vector<std::wstring>> listDayLogs(const std::wstring& folder, std::wstring_view date);

// The largest count for `date` in its day logs (journal.h's largestDayCount);
// nullopt when a log cannot be read or the logs were tampered with.
std::optional<int64_t> readDayCount(const std::wstring& folder, std::wstring_view date);

// The program's own day log for one date: created at a start or a day change
// and held, sharing reads only, until it is released.
class DayLog {
public:
    DayLog() = default;
    DayLog(const DayLog&) = delete;
    DayLog& operator=(const DayLog&) = delete;

    // A new log with a fresh name for `date` in the folder; false when it
    // cannot be made (the previous one, if any, is released either way).
    bool create(const std::wstring& folder, std::wstring_view date);
    // Appends the count for the log's date.
    bool record(int64_t usedSeconds);
    void release() { handle_.reset(); }
    bool held() const { return static_cast<bool>(handle_); }
    const std::wstring& path() const { return path_; }
    const std::wstring& date() const { return date_; }

private:
    FileHandle handle_;
    std::wstring path_;
    std::wstring date_;
};
