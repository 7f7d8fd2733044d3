// The journal's files: the rights every open asks for (pinned through the
// file calls, since Wine grants anything), listing that skips what the
// account planted, creating only new names, appending at the end after a
// line end when needed, and the read bound. On Windows, what an append-only
// access list leaves the account.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <optional>
#include <string>
#include <vector>

#include "storage/journal.h"
#include "storage/journalFiles.h"
#include "storageTestSupport.h"
#include "realWindows.h"

using storage_test::ScratchDirectory;

namespace {

constexpr wchar_t kToday[] = L"2026-12-11";

struct OpenAsked {
    std::wstring path;
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;
};

// What the listing is shown instead of a real folder.
struct ScriptedFolder {
    std::vector<WIN32_FIND_DATAW> entries;
    DWORD firstError = ERROR_FILE_NOT_FOUND;  // when there are no entries
    size_t failAfter = SIZE_MAX;              // entries before the enumeration fails
    DWORD endError = ERROR_NO_MORE_FILES;
    size_t next = 0;
    int closes = 0;
    std::wstring pattern;
};

std::vector<OpenAsked> opens;
ScriptedFolder folder;
HANDLE const kScriptedSearch = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4321));

HANDLE recordingOpen(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    opens.push_back({path, access, share, disposition, flags});
    return systemJournalFileCalls().open(path, access, share, disposition, flags);
}

HANDLE scriptedFindFirst(const wchar_t* pattern, WIN32_FIND_DATAW* found)
{
    folder.pattern = pattern;
    if (folder.entries.empty()) {
        SetLastError(folder.firstError);
        return INVALID_HANDLE_VALUE;
    }
    *found = folder.entries[0];
    folder.next = 1;
    return kScriptedSearch;
}

BOOL scriptedFindNext(HANDLE search, WIN32_FIND_DATAW* found)
{
    if (search != kScriptedSearch) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (folder.next >= folder.failAfter) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (folder.next < folder.entries.size()) {
        *found = folder.entries[folder.next++];
        return TRUE;
    }
    SetLastError(folder.endError);
    return FALSE;
}

BOOL scriptedFindClose(HANDLE search)
{
    folder.closes += search == kScriptedSearch ? 1 : 0;
    return TRUE;
}

// The system's calls, with opens recorded and, when asked, a scripted folder.
class JournalCallsInstalled {
public:
    explicit JournalCallsInstalled(bool scriptedListing = false)
    {
        opens.clear();
        folder = {};
        calls_ = systemJournalFileCalls();
        calls_.open = recordingOpen;
        if (scriptedListing) {
            calls_.findFirst = scriptedFindFirst;
            calls_.findNext = scriptedFindNext;
            calls_.findClose = scriptedFindClose;
        }
        setJournalFileCalls(&calls_);
    }
    ~JournalCallsInstalled() { setJournalFileCalls(nullptr); }
    JournalCallsInstalled(const JournalCallsInstalled&) = delete;
    JournalCallsInstalled& operator=(const JournalCallsInstalled&) = delete;

private:
    JournalFileCalls calls_ = {};
};

std::string contentsOf(const std::wstring& path)
{
    std::string bytes;
    EXPECT_EQ(readLog(path, bytes), FileState::Read);
    return bytes;
}

// A file written as another program would, with whatever bytes.
bool writePlainFile(const std::wstring& path, const std::string& bytes)
{
    const FileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

TEST(JournalFiles, LogOpensAskToReadAndAppendAndNothingMore)
{
    ScratchDirectory dir;
    JournalCallsInstalled installed;
    DayLog dayLog;
    ASSERT_TRUE(dayLog.create(dir.path(), kToday));
    ASSERT_TRUE(dayLog.record(60));
    const std::wstring settingsLog = settingsLogPathOf(dir.path());
    ASSERT_TRUE(createLog(settingsLog));
    ASSERT_TRUE(appendRecordTo(settingsLog, "S seq=1"));
    EXPECT_EQ(contentsOf(dayLog.path()), "D 2026-12-11 60\n");

    // Windows refuses an open that asks for a right the account's list does
    // not give, and the list gives reading and appending only.
    constexpr DWORD kReadAndAppend = FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE;
    const struct {
        DWORD access;
        DWORD share;
        DWORD disposition;
    } expected[] = {
        {kReadAndAppend, FILE_SHARE_READ, CREATE_NEW},                         // the day log
        {kReadAndAppend, FILE_SHARE_READ, CREATE_NEW},                         // settings.log
        {kReadAndAppend, FILE_SHARE_READ, OPEN_EXISTING},                      // an append to it
        {FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING},  // a read
    };
    ASSERT_EQ(opens.size(), std::size(expected));
    for (size_t i = 0; i < opens.size(); ++i) {
        EXPECT_EQ(opens[i].access, expected[i].access) << i;
        EXPECT_EQ(opens[i].share, expected[i].share) << i;
        EXPECT_EQ(opens[i].disposition, expected[i].disposition) << i;
        EXPECT_NE(opens[i].flags & FILE_FLAG_OPEN_REPARSE_POINT, 0u) << i << ": a planted link is never followed";
    }
    EXPECT_TRUE(opens[0].path.ends_with(dayLog.path().substr(dir.path().size()))) << opens[0].path;
}

WIN32_FIND_DATAW entry(const std::wstring& name, DWORD attributes)
{
    WIN32_FIND_DATAW found = {};
    found.dwFileAttributes = attributes;
    wcsncpy(found.cFileName, name.c_str(), MAX_PATH - 1);
    return found;
}

TEST(JournalFiles, ListingSkipsReparsePointsFoldersAndOtherNames)
{
    const std::wstring a = L"day-2026-12-11-00000000000000000000000000000001.log";
    const std::wstring b = L"day-2026-12-11-00000000000000000000000000000002.log";
    const std::wstring c = L"day-2026-12-11-00000000000000000000000000000003.log";
    const std::wstring d = L"day-2026-12-11-00000000000000000000000000000004.log";
    const std::vector<WIN32_FIND_DATAW> planted = {
        entry(a, FILE_ATTRIBUTE_NORMAL),
        entry(b, FILE_ATTRIBUTE_REPARSE_POINT),
        entry(c, FILE_ATTRIBUTE_DIRECTORY),
        entry(L"day-2026-12-10-00000000000000000000000000000005.log", FILE_ATTRIBUTE_NORMAL),
        entry(L"day-2026-12-11-0000000000000000000000000000000A.log", FILE_ATTRIBUTE_NORMAL),
        entry(L"day-2026-12-11-00000000000000000000000000000006.log.lnk", FILE_ATTRIBUTE_NORMAL),
        entry(c, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
        entry(d, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY),
    };
    const struct {
        const char* what;
        std::vector<WIN32_FIND_DATAW> entries;
        DWORD firstError;
        size_t failAfter;
        std::optional<std::vector<std::wstring>> expected;
    } cases[] = {
        {"planted entries", planted, ERROR_SUCCESS, SIZE_MAX, std::vector<std::wstring>{a, d}},
        {"an empty folder", {}, ERROR_FILE_NOT_FOUND, SIZE_MAX, std::vector<std::wstring>{}},
        {"no folder", {}, ERROR_PATH_NOT_FOUND, SIZE_MAX, std::nullopt},
        {"a refused folder", {}, ERROR_ACCESS_DENIED, SIZE_MAX, std::nullopt},
        {"a listing that breaks off", planted, ERROR_SUCCESS, 3, std::nullopt},
    };
    for (const auto& c2 : cases) {
        JournalCallsInstalled installed(true);
        folder.entries = c2.entries;
        folder.firstError = c2.firstError;
        folder.failAfter = c2.failAfter;
        EXPECT_EQ(listDayLogs(L"C:\\journal", kToday), c2.expected) << c2.what;
        EXPECT_NE(folder.pattern.find(L"\\journal\\day-2026-12-11-"), std::wstring::npos) << c2.what;
        EXPECT_EQ(folder.closes, c2.entries.empty() ? 0 : 1) << c2.what;
    }
    JournalCallsInstalled installed(true);
    EXPECT_EQ(listDayLogs(L"C:\\journal", L"2026-12-*"), std::nullopt) << "a date that is none lists nothing";
    EXPECT_TRUE(folder.pattern.empty());
}

TEST(JournalFiles, ALogIsCreatedOnlyUnderANewName)
{
    ScratchDirectory dir;
    const std::wstring path = dir.file(L"settings.log");
    {
        const FileHandle created = createLog(path);
        ASSERT_TRUE(created);
        ASSERT_TRUE(appendRecord(created.get(), "S seq=1"));
    }
    SetLastError(ERROR_SUCCESS);
    const bool createdAgain = static_cast<bool>(createLog(path));
    const DWORD error = GetLastError();
    EXPECT_FALSE(createdAgain);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(contentsOf(path), "S seq=1\n");

    DayLog first;
    DayLog second;
    ASSERT_TRUE(first.create(dir.path(), kToday));
    ASSERT_TRUE(second.create(dir.path(), kToday));
    EXPECT_NE(first.path(), second.path());
    EXPECT_FALSE(createLog(first.path()));
    EXPECT_EQ(listDayLogs(dir.path(), kToday)->size(), 2u);
    EXPECT_FALSE(DayLog().record(5)) << "a log that was never made takes no record";
}

// Reads as the system does, then leaves the handle at the start of the file.
BOOL readingThenRewinding(HANDLE file, uint64_t offset, void* buffer, DWORD length, DWORD* read)
{
    const BOOL done = systemJournalFileCalls().readAt(file, offset, buffer, length, read);
    const LARGE_INTEGER start = {};
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    return done;
}

TEST(JournalFiles, AppendsLandAtTheEndAfterALineEndWhenNeeded)
{
    ScratchDirectory dir;
    const std::wstring path = dir.file(dayLogName(kToday, std::vector<uint8_t>(kDayLogRandomBytes, 7)));
    // Another program's unfinished append, then the program's own.
    ASSERT_TRUE(writePlainFile(path, "D 2026-12-11 3"));
    ASSERT_TRUE(appendRecordTo(path, "D 2026-12-11 60"));
    EXPECT_EQ(contentsOf(path), "D 2026-12-11 3\nD 2026-12-11 60\n");

    // Wherever the handle stands after reading the last byte, the record goes to the end.
    {
        JournalCallsInstalled installed;
        JournalFileCalls rewinding = systemJournalFileCalls();
        rewinding.readAt = readingThenRewinding;
        setJournalFileCalls(&rewinding);
        ASSERT_TRUE(appendRecordTo(path, "D 2026-12-11 75"));
    }
    EXPECT_EQ(contentsOf(path), "D 2026-12-11 3\nD 2026-12-11 60\nD 2026-12-11 75\n");
    EXPECT_EQ(readDayCount(dir.path(), kToday), 75);
}

TEST(JournalFiles, AHeldDayLogTakesNoOtherWriterAndStaysReadable)
{
    ScratchDirectory dir;
    DayLog log;
    ASSERT_TRUE(log.create(dir.path(), kToday));
    ASSERT_TRUE(log.record(120));
    const bool opened = static_cast<bool>(openLogForAppend(log.path()));
    const DWORD error = GetLastError();
    EXPECT_FALSE(opened);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(readDayCount(dir.path(), kToday), 120);
    log.release();
    EXPECT_TRUE(openLogForAppend(log.path()));
}

TEST(JournalFiles, ReadingStopsOneBytePastTheBoundAndAppendsStayWithinIt)
{
    ScratchDirectory dir;
    const std::wstring big = dir.file(dayLogName(kToday, std::vector<uint8_t>(kDayLogRandomBytes, 1)));
    ASSERT_TRUE(writePlainFile(big, std::string(kMaxJournalBytes + 4096, '\n')));
    std::string bytes;
    ASSERT_EQ(readLog(big, bytes), FileState::Read);
    EXPECT_EQ(bytes.size(), kMaxJournalBytes + 1);
    EXPECT_EQ(readDayCount(dir.path(), kToday), std::nullopt);

    const std::wstring nearly = dir.file(L"settings.log");
    const std::string filled(kMaxJournalBytes - 15, '\n');
    ASSERT_TRUE(writePlainFile(nearly, filled));
    EXPECT_FALSE(appendRecordTo(nearly, "D 2026-12-11 60")) << "16 bytes would pass the bound";
    EXPECT_TRUE(appendRecordTo(nearly, "D 2026-12-11 6"));
    EXPECT_EQ(contentsOf(nearly).size(), kMaxJournalBytes);

    EXPECT_EQ(readLog(dir.file(L"absent.log"), bytes), FileState::Absent);
}

TEST(JournalFiles, TheDaysCountComesFromAllItsLogsUpToTheirNumber)
{
    ScratchDirectory dir;
    for (uint8_t i = 0; i < kMaxDayLogsPerDay; ++i) {
        const std::string records = "D 2026-12-11 " + std::to_string(100 + i) + "\nD 2026-12-12 9999\n";
        ASSERT_TRUE(writePlainFile(dir.file(dayLogName(kToday, std::vector<uint8_t>(kDayLogRandomBytes, i))), records));
    }
    ASSERT_TRUE(writePlainFile(dir.file(L"day-2026-12-10-00000000000000000000000000000000.log"), "D 2026-12-10 80000\n"));
    EXPECT_EQ(readDayCount(dir.path(), kToday), 100 + kMaxDayLogsPerDay - 1);
    ASSERT_TRUE(writePlainFile(dir.file(dayLogName(kToday, std::vector<uint8_t>(kDayLogRandomBytes, 0xff))), ""));
    EXPECT_EQ(readDayCount(dir.path(), kToday), std::nullopt) << "one log more than a day's";
    EXPECT_EQ(readDayCount(dir.file(L"missing"), kToday), std::nullopt);
}

// ---- On Windows: what an append-only access list leaves the account ----

std::wstring currentUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    std::vector<uint8_t> buffer(256);
    DWORD needed = 0;
    std::wstring text;
    if (GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) {
        LPWSTR sid = nullptr;
        if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
            text = sid;
            LocalFree(sid);
        }
    }
    CloseHandle(token);
    return text;
}

// A security descriptor from its text form.
class Descriptor {
public:
    explicit Descriptor(const std::wstring& text)
    {
        ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor_, nullptr);
    }
    ~Descriptor() { LocalFree(descriptor_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    PSECURITY_DESCRIPTOR get() const { return descriptor_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// Gives the account everything on the paths again when the test ends, as
// their owner may, so the scratch folder can be removed.
class FullAccessRestored {
public:
    FullAccessRestored(std::vector<std::wstring> paths, const std::wstring& sid)
        : paths_(std::move(paths)), full_(L"D:P(A;;FA;;;" + sid + L")")
    {
    }
    ~FullAccessRestored()
    {
        for (const std::wstring& path : paths_) {
            SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, full_.get());
        }
    }
    FullAccessRestored(const FullAccessRestored&) = delete;
    FullAccessRestored& operator=(const FullAccessRestored&) = delete;

private:
    std::vector<std::wstring> paths_;
    Descriptor full_;
};

TEST(JournalFiles, AnAppendOnlyAccessListLeavesReadingAndAppending_WindowsOnly)
{
    SKIP_UNLESS_REAL_WINDOWS("Wine enforces no file access lists");
    const std::wstring sid = currentUserSid();
    ASSERT_FALSE(sid.empty());
    ScratchDirectory dir;
    // The folder lets the account list, add files and read; no deleting of
    // children, so only the file's own list decides its fate.
    const std::wstring journal = dir.file(L"journal");
    const std::wstring path = journal + L"\\settings.log";
    FullAccessRestored restored({path, journal}, sid);
    const Descriptor folderList(L"D:P(A;;0x1200A3;;;" + sid + L")");
    SECURITY_ATTRIBUTES folderAttributes = {sizeof folderAttributes, folderList.get(), FALSE};
    ASSERT_NE(folderList.get(), nullptr);
    ASSERT_TRUE(CreateDirectoryW(journal.c_str(), &folderAttributes));
    // FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE | READ_CONTROL and nothing else.
    const Descriptor fileList(L"D:P(A;;0x120005;;;" + sid + L")");
    SECURITY_ATTRIBUTES fileAttributes = {sizeof fileAttributes, fileList.get(), FALSE};
    ASSERT_NE(fileList.get(), nullptr);
    {
        const FileHandle created(CreateFileW(path.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE,
                                             FILE_SHARE_READ, &fileAttributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                             nullptr));
        ASSERT_TRUE(created);
        ASSERT_TRUE(appendRecord(created.get(), "0123456789"));
    }

    for (const DWORD access : {DWORD{FILE_WRITE_DATA}, DWORD{GENERIC_WRITE}, DWORD{FILE_WRITE_ATTRIBUTES}, DWORD{DELETE}}) {
        const FileHandle refused(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        const DWORD error = GetLastError();
        EXPECT_FALSE(refused) << std::hex << access;
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << std::hex << access;
    }

    {
        const FileHandle log = openLogForAppend(path);
        ASSERT_TRUE(log) << GetLastError();
        // An offset at the start is ignored: the bytes land at the end.
        OVERLAPPED atStart = {};
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(log.get(), "XY\n", 3, &written, &atStart));
        EXPECT_EQ(written, 3u);
        LARGE_INTEGER two = {};
        two.QuadPart = 2;
        ASSERT_TRUE(SetFilePointerEx(log.get(), two, nullptr, FILE_BEGIN));
        EXPECT_TRUE(WriteFile(log.get(), "Z\n", 2, &written, nullptr));
        const BOOL cut = SetEndOfFile(log.get());
        const DWORD error = GetLastError();
        EXPECT_FALSE(cut) << "the file cannot be cut";
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(contentsOf(path), "0123456789\nXY\nZ\n");

    // Closed first, so a refusal comes from the list and not from sharing.
    const BOOL renamed = MoveFileExW(path.c_str(), (journal + L"\\renamed.log").c_str(), 0);
    const DWORD renameError = GetLastError();
    EXPECT_FALSE(renamed);
    EXPECT_EQ(renameError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    const BOOL deleted = DeleteFileW(path.c_str());
    const DWORD deleteError = GetLastError();
    EXPECT_FALSE(deleted);
    EXPECT_EQ(deleteError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(contentsOf(path), "0123456789\nXY\nZ\n");
}

}  // namespace
