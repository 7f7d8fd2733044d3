// Text routines and whole-file reading, replacing and clean-up.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/scopedHandles.h"
#include "storage/settingsFiles.h"
#include "storage/textFiles.h"
#include "realWindows.h"
#include "storageTestSupport.h"
#include "wholeFile.h"

using namespace std::string_literals;
using storage_test::ScratchDirectory;

namespace {

std::wstring longModulePath()
{
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return buffer;
}

// ---- JSON string escaping ----

TEST(StorageJsonEscaping, EscapesOnlyBackslashQuoteTabLineFeedAndReturn)
{
    const struct {
        std::string plain;
        std::string escaped;
    } cases[] = {
        {"", ""},
        {"plain text 123", "plain text 123"},
        {"a\"b", "a\\\"b"},
        {"back\\slash", "back\\\\slash"},
        {"tab\there", "tab\\there"},
        {"line\nfeed", "line\\nfeed"},
        {"carriage\rreturn", "carriage\\rreturn"},
        {"\\\"", "\\\\\\\""},
        // Other control bytes, slashes and UTF-8 sequences pass unchanged: no \u escapes.
        {"\x01\x08\x0B\x0C\x1F/\x7F"s, "\x01\x08\x0B\x0C\x1F/\x7F"s},
        {"nul\0byte"s, "nul\0byte"s},
        {"\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C", "\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C"},
        {"\xFF\xFE", "\xFF\xFE"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escapeJsonString(c.plain), c.escaped) << c.plain;
    }
}

TEST(StorageJsonEscaping, UnescapeTakesTheByteAfterEachBackslash)
{
    const struct {
        std::string escaped;
        std::string plain;
    } cases[] = {
        {"", ""},
        {"abc", "abc"},
        {"\\n\\r\\t", "\n\r\t"},
        {"\\\"", "\""},
        {"\\\\", "\\"},
        {"\\/", "/"},
        {"\\u0041", "u0041"},
        {"\\b\\f", "bf"},
        {"\\\\n", "\\n"},
        {"a\\", "a\\"},        // a final lone backslash stays
        {"\\", "\\"},
        {"\\\\\\", "\\\\"},
        {"\\\0x"s, "\0x"s},
        {"\\\xD0\x96", "\xD0\x96"},  // the first byte of a UTF-8 sequence is taken as it is
        {"raw\nline\ttab", "raw\nline\ttab"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unescapeJsonString(c.escaped), c.plain) << c.escaped;
    }
}

TEST(StorageJsonEscaping, UnescapingTheEscapedFormGivesEveryByteStringBack)
{
    std::string everyByte;
    for (int b = 0; b < 256; ++b) {
        everyByte += static_cast<char>(b);
    }
    EXPECT_EQ(unescapeJsonString(escapeJsonString(everyByte)), everyByte);

    // Strings dense in the bytes that escaping treats specially.
    const std::string alphabet = "\\\"\t\n\rntru0\x01\xFF "s;
    std::mt19937 random(20240315);
    for (int i = 0; i < 20000; ++i) {
        std::string text(random() % 12, '\0');
        for (char& c : text) {
            c = alphabet[random() % alphabet.size()];
        }
        ASSERT_EQ(unescapeJsonString(escapeJsonString(text)), text) << escapeJsonString(text);
    }
}

// ---- UTF-8 / UTF-16 ----

TEST(StorageUtf, ConvertsBothWaysAndReplacesMalformedInput)
{
    const struct {
        std::string utf8;
        std::wstring utf16;
    } roundTrips[] = {
        {"", L""},
        {"ASCII 09", L"ASCII 09"},
        {"\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C", L"\u041F\u0430\u0440\u043E\u043B\u044C"},
        {"\xE2\x82\xAC", L"\u20AC"},
        {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},
        {"a\0b"s, L"a\0b"s},
    };
    for (const auto& c : roundTrips) {
        EXPECT_EQ(utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(utf16ToUtf8(c.utf16), c.utf8) << c.utf8;
    }

    EXPECT_EQ(utf8ToUtf16("a\xFF" "b"), L"a\uFFFDb");
    EXPECT_EQ(utf8ToUtf16("\x80"), L"\uFFFD");
    EXPECT_EQ(utf8ToUtf16("ok\xC3"), L"ok\uFFFD");
    EXPECT_EQ(utf16ToUtf8(L"x\xD800y"), "x\xEF\xBF\xBDy");
    EXPECT_EQ(utf16ToUtf8(L"\xDC00"), "\xEF\xBF\xBD");
}

// ---- Whole files ----

TEST(StorageWholeFile, WritesExactBytesAndReadsThemBack)
{
    ScratchDirectory dir;
    const std::wstring path = dir.file(L"data.json");
    const std::string bytes = "{\r\n\0\xFF\xEF\xBB\xBF\n\x1A}"s;
    ASSERT_TRUE(writeWholeFile(path, bytes));
    EXPECT_EQ(readWholeFile(path), bytes);
    WIN32_FILE_ATTRIBUTE_DATA info = {};
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info));
    EXPECT_EQ(info.nFileSizeLow, bytes.size());
    EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});

    // A shorter text replaces a longer one completely; an empty text empties it.
    ASSERT_TRUE(writeWholeFile(path, std::string(100000, 'x')));
    ASSERT_TRUE(writeWholeFile(path, "short"));
    EXPECT_EQ(readWholeFile(path), "short");
    ASSERT_TRUE(writeWholeFile(path, ""));
    EXPECT_EQ(readWholeFile(path), "");
    EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});
}

TEST(StorageWholeFile, ReadsLargeFilesWhole)
{
    ScratchDirectory dir;
    const std::wstring path = dir.file(L"big.json");
    std::string bytes(5 * 1024 * 1024 + 17, '\0');
    std::mt19937 random(7);
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    ASSERT_TRUE(writeWholeFile(path, bytes));
    EXPECT_EQ(readWholeFile(path), bytes);
}

TEST(StorageWholeFile, MissingOrUnopenableFileReadsEmpty)
{
    ScratchDirectory dir;
    EXPECT_EQ(readWholeFile(dir.file(L"missing.json")), "");
    EXPECT_EQ(readWholeFile(dir.path()), "");  // a directory
    EXPECT_EQ(readWholeFile(dir.file(L"no\\such\\dir.json")), "");
}

TEST(StorageWholeFile, ReadsAFileThatAnotherHandleHoldsForWriting)
{
    ScratchDirectory dir;
    const std::wstring path = dir.file(L"config.json");
    ASSERT_TRUE(writeWholeFile(path, "held"));
    FileHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_EQ(readWholeFile(path), "held");
}

TEST(StorageWholeFile, FailedWritesLeaveNoTemporaryFile)
{
    ScratchDirectory dir;
    // The directory does not exist.
    EXPECT_FALSE(writeWholeFile(dir.file(L"missing\\data.json"), "x"));
    // The target is a directory and cannot be replaced by a file.
    ASSERT_TRUE(CreateDirectoryW(dir.file(L"data.json").c_str(), nullptr));
    EXPECT_FALSE(writeWholeFile(dir.file(L"data.json"), "x"));
    EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});
}

TEST(StorageWholeFile, TargetHeldWithoutSharingRefusesTheWriteUntilReleased)
{
    ScratchDirectory dir;
    const std::wstring path = dir.file(L"data.json");
    ASSERT_TRUE(writeWholeFile(path, "old"));
    {
        FileHandle holder(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
        ASSERT_TRUE(holder);
        EXPECT_FALSE(writeWholeFile(path, "new"));
        EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});
    }
    EXPECT_EQ(readWholeFile(path), "old");
    ASSERT_TRUE(writeWholeFile(path, "new"));
    EXPECT_EQ(readWholeFile(path), "new");
    EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});
}

TEST(StorageWholeFile, RelativePathIsReplacedInTheCurrentDirectory)
{
    ScratchDirectory dir;
    std::wstring previous(MAX_PATH + 1, L'\0');
    previous.resize(GetCurrentDirectoryW(static_cast<DWORD>(previous.size()), previous.data()));
    ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
    const bool written = writeWholeFile(L"relative.json", "one") && writeWholeFile(L".\\relative.json", "two");
    SetCurrentDirectoryW(previous.c_str());
    EXPECT_TRUE(written);
    EXPECT_EQ(readWholeFile(dir.file(L"relative.json")), "two");
    EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"relative.json"});
}

enum class ReadOutcome { Read, Missing, Failed };

// As readWholeFile, but telling a missing file from one that could not be read.
ReadOutcome readTellingMissing(const std::wstring& path, std::string& bytes)
{
    bytes.clear();
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? ReadOutcome::Missing : ReadOutcome::Failed;
    }
    char buffer[64 * 1024];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
        if (read == 0) {
            return ReadOutcome::Read;
        }
        bytes.append(buffer, read);
    }
    return ReadOutcome::Failed;
}

// A reader running alongside the writer must only ever see one of the two
// complete texts: never an empty, shortened or mixed file, and (where the
// system replaces a file in one step) never a missing one. Wine's ReplaceFileW
// moves the old file away before renaming the new one, so there a reader can
// find no file for a fraction of a millisecond.
TEST(StorageWholeFile, ConcurrentReaderSeesOnlyCompleteTexts)
{
    ScratchDirectory dir;
    const std::wstring path = dir.file(L"data.json");
    const std::string longText(256 * 1024, 'L');
    const std::string shortText = "{\n  \"short\": true\n}\n";
    ASSERT_TRUE(writeWholeFile(path, shortText));

    std::atomic<bool> writing{true};
    std::atomic<int> reads{0};
    std::atomic<int> missingReads{0};
    std::atomic<int> badReads{0};
    std::string firstBad;
    std::thread reader([&] {
        std::string seen;
        while (writing.load()) {
            const ReadOutcome outcome = readTellingMissing(path, seen);
            if (outcome == ReadOutcome::Missing) {
                missingReads.fetch_add(1);
            } else if (outcome == ReadOutcome::Failed || (seen != longText && seen != shortText)) {
                if (badReads.fetch_add(1) == 0) {
                    firstBad = seen.substr(0, 40) + " (" + std::to_string(seen.size()) + " bytes)";
                }
            }
            reads.fetch_add(1);
        }
    });
    // A replacement may be refused while the reader has the file open, so go
    // on until enough of both went through side by side.
    constexpr int kReplacements = 40;
    constexpr int kReads = 300;
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while (reads.load() == 0 && GetTickCount64() < deadline) {
        std::this_thread::yield();
    }
    int successes = 0;
    while ((successes < kReplacements || reads.load() < kReads) && GetTickCount64() < deadline) {
        successes += writeWholeFile(path, successes % 2 == 0 ? longText : shortText) ? 1 : 0;
    }
    writing = false;
    reader.join();

    EXPECT_EQ(badReads.load(), 0) << firstBad;
    if (!runningUnderWine()) {
        EXPECT_EQ(missingReads.load(), 0);
    }
    EXPECT_GE(reads.load(), kReads);
    EXPECT_GE(successes, kReplacements);
    EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});
}

// ---- Through the file calls: refused, held, interrupted ----

// The system's file calls with one twist, installed for one test.
class FileCallsOverride {
public:
    explicit FileCallsOverride(const FileCalls& calls) { setFileCalls(&calls); }
    ~FileCallsOverride() { setFileCalls(nullptr); }
    FileCallsOverride(const FileCallsOverride&) = delete;
    FileCallsOverride& operator=(const FileCallsOverride&) = delete;
};

bool exists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// A directory whose access list lets the program write the files it holds
// but not add one: creating a file that does not exist yet is refused.
HANDLE createInRefusingDirectory(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition)
{
    if (disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING && !exists(path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return systemFileCalls().createFile(path, access, shareMode, disposition);
}

const FileCalls kRefusingDirectory = {createInRefusingDirectory, systemFileCalls().replaceFile,
                                      systemFileCalls().deleteFile, systemFileCalls().replaceExistingFile,
                                      systemFileCalls().setEndOfFile};

TEST(StorageWholeFile, DirectoryRefusingNewFilesGetsTheFileWrittenInPlace)
{
    ScratchDirectory dir;
    const std::wstring path = dir.file(L"data.json");
    ASSERT_TRUE(writeWholeFile(path, "{\n  \"used_seconds\": 100\n}\n"));
    FileCallsOverride refusing(kRefusingDirectory);

    // Longer, shorter, empty and binary texts all end up exactly as given.
    for (const std::string& bytes : {std::string(70000, 'L'), "short"s, ""s, "{\r\n\0\xFF\n}"s, "x"s}) {
        ASSERT_TRUE(writeWholeFile(path, bytes)) << bytes.size();
        EXPECT_EQ(readWholeFile(path), bytes);
        EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});
    }

    // A file that does not exist yet cannot be made there at all.
    EXPECT_FALSE(writeWholeFile(dir.file(L"config.json"), "x"));
    EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});
}

TEST(StorageWholeFile, InPlaceWriteWaitsForAHolderWithoutSharingToLetGo)
{
    ScratchDirectory dir;
    const std::wstring path = dir.file(L"config.json");
    ASSERT_TRUE(writeWholeFile(path, "old"));
    FileCallsOverride refusing(kRefusingDirectory);
    {
        FileHandle holder(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
        ASSERT_TRUE(holder);
        EXPECT_FALSE(writeWholeFile(path, "new"));
    }
    EXPECT_EQ(readWholeFile(path), "old");
    // And a reader that shares everything meets no half-written file: the
    // in-place write takes the file for itself or fails.
    {
        FileHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader);
        EXPECT_FALSE(writeWholeFile(path, "newer"));
    }
    ASSERT_TRUE(writeWholeFile(path, "new"));
    EXPECT_EQ(readWholeFile(path), "new");
}

// File calls that count what a save does and refuse what the test says.
// A refusal count of -1 refuses for ever.
struct ScriptedCalls {
    std::wstring target;
    int renames = 0;
    int replacements = 0;
    int inPlaceOpens = 0;
    int renameRefusals = 0;
    DWORD renameError = ERROR_ACCESS_DENIED;
    int replacementRefusals = 0;
    DWORD replacementError = ERROR_ACCESS_DENIED;
    // Run instead of the replacement, to play one that fails half way.
    BOOL (*replacementInstead)(const wchar_t* target, const wchar_t* replacement) = nullptr;
    bool cutRefused = false;
    LONGLONG sizeAtCut = -1;
};
ScriptedCalls scripted;

bool refuseOnce(int& refusals, DWORD error)
{
    if (refusals == 0) {
        return false;
    }
    if (refusals > 0) {
        --refusals;
    }
    SetLastError(error);
    return true;
}

HANDLE scriptedCreate(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition)
{
    if ((access & GENERIC_WRITE) != 0 && scripted.target == path) {
        ++scripted.inPlaceOpens;
    }
    return systemFileCalls().createFile(path, access, shareMode, disposition);
}

BOOL scriptedRename(const wchar_t* from, const wchar_t* to)
{
    ++scripted.renames;
    return !refuseOnce(scripted.renameRefusals, scripted.renameError) && systemFileCalls().replaceFile(from, to);
}

BOOL scriptedReplace(const wchar_t* target, const wchar_t* replacement)
{
    ++scripted.replacements;
    if (refuseOnce(scripted.replacementRefusals, scripted.replacementError)) {
        return FALSE;
    }
    if (scripted.replacementInstead != nullptr) {
        return scripted.replacementInstead(target, replacement);
    }
    return systemFileCalls().replaceExistingFile(target, replacement);
}

// A kill between the in-place write and the cut: the cut never happens.
BOOL scriptedSetEndOfFile(HANDLE file)
{
    LARGE_INTEGER size = {};
    scripted.sizeAtCut = GetFileSizeEx(file, &size) ? size.QuadPart : -2;
    if (scripted.cutRefused) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return systemFileCalls().setEndOfFile(file);
}

const FileCalls kScripted = {scriptedCreate, scriptedRename, systemFileCalls().deleteFile, scriptedReplace,
                             scriptedSetEndOfFile};

class ScriptedSave {
public:
    explicit ScriptedSave(const std::wstring& target) : calls_(kScripted)
    {
        scripted = {};
        scripted.target = target;
    }

private:
    FileCallsOverride calls_;
};

TEST(StorageWholeFile, AnExistingFileIsReplacedAndANewOneRenamedIntoPlace)
{
    ScratchDirectory dir;
    const std::wstring path = dir.file(L"data.json");
    ScriptedSave save(path);

    ASSERT_TRUE(writeWholeFile(path, "first"));
    EXPECT_EQ(scripted.renames, 1);
    EXPECT_EQ(scripted.replacements, 0);

    ASSERT_TRUE(writeWholeFile(path, "second"));
    ASSERT_TRUE(writeWholeFile(path, "third"));
    EXPECT_EQ(scripted.renames, 1);
    EXPECT_EQ(scripted.replacements, 2);
    EXPECT_EQ(scripted.inPlaceOpens, 0);
    EXPECT_EQ(readWholeFile(path), "third");
    EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});
}

// The account may write the file but not replace it (or not rename a new one
// into the directory): every save is written in place, at the first refusal.
TEST(StorageWholeFile, RefusedReplacementOrRenameIsWrittenInPlace)
{
    const struct {
        const char* name;
        bool targetExists;
        DWORD error;
    } cases[] = {
        {"replacement denied", true, ERROR_ACCESS_DENIED},
        {"replaced file not removable", true, ERROR_UNABLE_TO_REMOVE_REPLACED},
        {"replacement fails without a reason", true, ERROR_SUCCESS},
        {"rename denied", false, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory dir;
        const std::wstring path = dir.file(L"data.json");
        if (c.targetExists) {
            ASSERT_TRUE(writeWholeFile(path, std::string(300, 'o')));
        }
        ScriptedSave save(path);
        scripted.replacementRefusals = -1;
        scripted.replacementError = c.error;
        scripted.renameRefusals = -1;
        scripted.renameError = c.error;

        const std::string bytes = "{\n  \"used_seconds\": 7\n}\n";
        EXPECT_TRUE(writeWholeFile(path, bytes));
        EXPECT_EQ(readWholeFile(path), bytes);
        // No waiting for a refusal that does not pass.
        EXPECT_EQ(scripted.replacements + scripted.renames, 1);
        EXPECT_EQ(scripted.replacements, c.targetExists ? 1 : 0);
        EXPECT_EQ(scripted.inPlaceOpens, 1);
        EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});
    }
}

// A held file cannot be written in place either: the save fails, and the
// caller tries again later.
TEST(StorageWholeFile, HeldTargetIsTriedAFewTimesAndNeverWrittenInPlace)
{
    const struct {
        int refusals;
        DWORD error;
        bool saved;
    } cases[] = {
        {0, ERROR_SHARING_VIOLATION, true}, {1, ERROR_SHARING_VIOLATION, true}, {3, ERROR_LOCK_VIOLATION, true},
        {4, ERROR_SHARING_VIOLATION, false}, {-1, ERROR_LOCK_VIOLATION, false},
    };
    ScratchDirectory dir;
    const std::wstring path = dir.file(L"data.json");
    ASSERT_TRUE(writeWholeFile(path, "old"));
    std::string before = "old";
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.refusals << " refusals, error " << c.error);
        ScriptedSave save(path);
        scripted.replacementRefusals = c.refusals;
        scripted.replacementError = c.error;
        const std::string bytes = "try " + std::to_string(c.refusals) + " " + std::to_string(c.error);
        EXPECT_EQ(writeWholeFile(path, bytes), c.saved);
        // A few attempts, never an endless wait on the user-interface thread.
        EXPECT_EQ(scripted.replacements, c.saved ? c.refusals + 1 : 4);
        EXPECT_EQ(scripted.renames, 0);
        EXPECT_EQ(scripted.inPlaceOpens, 0);
        if (c.saved) {
            before = bytes;
        }
        EXPECT_EQ(readWholeFile(path), before);
        EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});
    }
}

// A replacement that fails after the old file has left the name (or finds it
// gone) leaves the name free: the new file is renamed to it.
BOOL targetGoneThenFileNotFound(const wchar_t* target, const wchar_t*)
{
    DeleteFileW(target);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

BOOL targetRemovedThenReplacementNotMoved(const wchar_t* target, const wchar_t*)
{
    DeleteFileW(target);
    SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    return FALSE;
}

BOOL targetRenamedThenReplacementNotMoved(const wchar_t* target, const wchar_t*)
{
    MoveFileW(target, (std::wstring(target) + L".old").c_str());
    SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
    return FALSE;
}

TEST(StorageWholeFile, ReplacementThatLeftTheNameFreeIsFinishedByTheRename)
{
    const struct {
        BOOL (*replacement)(const wchar_t*, const wchar_t*);
        std::vector<std::wstring> entries;
    } cases[] = {
        {targetGoneThenFileNotFound, {L"data.json"}},
        {targetRemovedThenReplacementNotMoved, {L"data.json"}},
        {targetRenamedThenReplacementNotMoved, {L"data.json", L"data.json.old"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries.size());
        ScratchDirectory dir;
        const std::wstring path = dir.file(L"data.json");
        ASSERT_TRUE(writeWholeFile(path, "old"));
        ScriptedSave save(path);
        scripted.replacementInstead = c.replacement;
        EXPECT_TRUE(writeWholeFile(path, "new"));
        EXPECT_EQ(scripted.replacements, 1);
        EXPECT_EQ(scripted.renames, 1);
        EXPECT_EQ(scripted.inPlaceOpens, 0);
        EXPECT_EQ(readWholeFile(path), "new");
        EXPECT_EQ(dir.entries(), c.entries);
    }
}

// What a kill between the in-place write and the cut leaves behind: the new
// text, then spaces up to the old length, which the readers take as the new
// values. A longer new text needs no cut at all.
TEST(StorageWholeFile, InPlaceWriteKilledBeforeTheCutLeavesTheNewTextAndSpaces)
{
    DailyUsage longer;
    longer.date = L"2024-03-15";
    longer.usedSeconds = 123456;
    longer.settingsPassword = L"pbkdf2-sha256$" + std::wstring(80, L'a');
    longer.requirePasswordOnExit = true;
    DailyUsage shorter;
    shorter.date = L"2024-03-16";
    shorter.usedSeconds = 5;
    const std::string longText = usageFileText(longer);
    const std::string shortText = usageFileText(shorter);
    ASSERT_GT(longText.size(), shortText.size() + 50);

    ScratchDirectory dir;
    const std::wstring path = dir.file(L"data.json");
    ASSERT_TRUE(writeWholeFile(path, longText));
    {
        ScriptedSave save(path);
        scripted.replacementRefusals = -1;
        scripted.cutRefused = true;

        EXPECT_FALSE(writeWholeFile(path, shortText));
        EXPECT_EQ(scripted.sizeAtCut, static_cast<LONGLONG>(longText.size()));
        EXPECT_EQ(readWholeFile(path), shortText + std::string(longText.size() - shortText.size(), ' '));
        DailyUsage read;
        ASSERT_TRUE(readUsageFile(path, read));
        EXPECT_EQ(storage_test::fields(read), storage_test::fields(shorter));

        // Growing: the write alone already leaves exactly the new text.
        EXPECT_FALSE(writeWholeFile(path, longText));
        EXPECT_EQ(scripted.sizeAtCut, static_cast<LONGLONG>(longText.size()));
        EXPECT_EQ(readWholeFile(path), longText);

        // With the cut, the file is the new text exactly.
        scripted.cutRefused = false;
        ASSERT_TRUE(writeWholeFile(path, shortText));
        EXPECT_EQ(readWholeFile(path), shortText);
        EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"data.json"});
    }

    // The config file's reader takes the padded text as the new values too.
    AppConfig wide;
    wide.dailyLimitMinutes = 1440;
    wide.language = Language::Russian;
    wide.statusWindowX = -2147483647;
    wide.statusWindowY = 2147483647;
    AppConfig narrow;
    narrow.dailyLimitMinutes = 45;
    narrow.showLastThreeMinuteNotifications = false;
    narrow.statusWindowX = 10;
    narrow.statusWindowY = 20;
    const std::wstring configPath = dir.file(L"config.json");
    ASSERT_TRUE(writeWholeFile(configPath, configFileText(wide)));
    ScriptedSave save(configPath);
    scripted.replacementRefusals = -1;
    scripted.cutRefused = true;
    EXPECT_FALSE(writeWholeFile(configPath, configFileText(narrow)));
    EXPECT_EQ(readWholeFile(configPath).size(), configFileText(wide).size());
    AppConfig read;
    ASSERT_TRUE(readConfigFile(configPath, read));
    EXPECT_EQ(storage_test::fields(read), storage_test::fields(narrow));
}

// ---- Access lists ----

// The file's owner and access list in their text form; empty when unreadable.
std::wstring accessListOf(const std::wstring& path)
{
    constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, kParts, nullptr, nullptr, nullptr, nullptr, &descriptor) !=
        ERROR_SUCCESS) {
        return {};
    }
    LPWSTR text = nullptr;
    std::wstring result;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, kParts, &text, nullptr)) {
        result = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return result;
}

// Sets a protected access list given in text form, as an administrator would.
bool setAccessList(const std::wstring& path, const wchar_t* accessList)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(accessList, SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    const bool set = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present &&
                     SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return set;
}

// Everyone may do everything: unlike what a new file in a temporary folder
// gets, on Windows and (where Wine keeps an access list as the Unix mode) under Wine.
constexpr const wchar_t* kAdministratorsAccessList = L"D:P(A;;FA;;;WD)";

// A file with an access list of its own, and the list a new file there gets.
struct FileWithAccessList {
    std::wstring path;
    std::wstring accessList;
    std::wstring newFilesAccessList;
};

FileWithAccessList makeFileWithAccessList(const ScratchDirectory& dir)
{
    FileWithAccessList file{dir.file(L"config.json"), {}, {}};
    if (!writeWholeFile(file.path, "{\n  \"daily_limit_minutes\": 120\n}\n") ||
        !writeWholeFile(dir.file(L"fresh.json"), "x") || !setAccessList(file.path, kAdministratorsAccessList)) {
        return file;
    }
    file.accessList = accessListOf(file.path);
    file.newFilesAccessList = accessListOf(dir.file(L"fresh.json"));
    return file;
}

TEST(StorageAccessList, FileWrittenInPlaceKeepsItsAccessList)
{
    ScratchDirectory dir;
    const FileWithAccessList file = makeFileWithAccessList(dir);
    ASSERT_FALSE(file.accessList.empty());
    // Otherwise this test could not tell a kept list from a lost one.
    ASSERT_NE(file.accessList, file.newFilesAccessList);

    ScriptedSave save(file.path);
    scripted.replacementRefusals = -1;
    for (const std::string& bytes : {"{\n  \"daily_limit_minutes\": 45\n}\n"s, "{}"s}) {
        ASSERT_TRUE(writeWholeFile(file.path, bytes));
        EXPECT_EQ(readWholeFile(file.path), bytes);
        EXPECT_EQ(accessListOf(file.path), file.accessList);
    }
    EXPECT_EQ(scripted.inPlaceOpens, 2);
}

TEST(StorageAccessList, ReplacedFileKeepsItsAccessList_WindowsOnly)
{
    SKIP_UNLESS_REAL_WINDOWS("Wine's ReplaceFileW gives the file the replacement's access list and attributes");
    ScratchDirectory dir;
    const FileWithAccessList file = makeFileWithAccessList(dir);
    ASSERT_FALSE(file.accessList.empty());
    ASSERT_NE(file.accessList, file.newFilesAccessList);

    ScriptedSave save(file.path);
    for (const std::string& bytes : {"{\n  \"daily_limit_minutes\": 45\n}\n"s, "{}"s}) {
        ASSERT_TRUE(writeWholeFile(file.path, bytes));
        EXPECT_EQ(readWholeFile(file.path), bytes);
        EXPECT_EQ(accessListOf(file.path), file.accessList);
    }
    EXPECT_EQ(scripted.replacements, 2);
    EXPECT_EQ(scripted.inPlaceOpens, 0);
}

// The classic limit as Windows keeps it without long-path support: a path of
// MAX_PATH characters or more works only in the \\?\ form.
int classicLimitRefusals = 0;
// Renames and replacements that succeeded.
int classicLimitReplacements = 0;

bool withinClassicLimit(const wchar_t* path)
{
    const std::wstring_view text(path);
    if (text.size() < MAX_PATH || text.starts_with(L"\\\\?\\")) {
        return true;
    }
    ++classicLimitRefusals;
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
}

HANDLE createWithClassicLimit(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition)
{
    return withinClassicLimit(path) ? systemFileCalls().createFile(path, access, shareMode, disposition)
                                    : INVALID_HANDLE_VALUE;
}

BOOL replaceWithClassicLimit(const wchar_t* from, const wchar_t* to)
{
    if (!withinClassicLimit(from) || !withinClassicLimit(to)) {
        return FALSE;
    }
    const BOOL renamed = systemFileCalls().replaceFile(from, to);
    classicLimitReplacements += renamed ? 1 : 0;
    return renamed;
}

BOOL deleteWithClassicLimit(const wchar_t* path)
{
    return withinClassicLimit(path) && systemFileCalls().deleteFile(path);
}

BOOL replaceExistingWithClassicLimit(const wchar_t* target, const wchar_t* replacement)
{
    if (!withinClassicLimit(target) || !withinClassicLimit(replacement)) {
        return FALSE;
    }
    const BOOL replaced = systemFileCalls().replaceExistingFile(target, replacement);
    classicLimitReplacements += replaced ? 1 : 0;
    return replaced;
}

const FileCalls kClassicLimit = {createWithClassicLimit, replaceWithClassicLimit, deleteWithClassicLimit,
                                 replaceExistingWithClassicLimit, systemFileCalls().setEndOfFile};

std::wstring longForm(const std::wstring& path)
{
    return L"\\\\?\\" + path;
}

// A directory made (in the long form, as Windows needs it there) so that a
// file named `name` in it has a path of exactly `targetLength` characters.
std::wstring directoryForTargetLength(const ScratchDirectory& dir, const std::wstring& name, size_t targetLength)
{
    const size_t wanted = targetLength - 1 - name.size();
    std::wstring deep = dir.path();
    while (deep.size() < wanted) {
        const size_t remaining = wanted - deep.size();
        deep += L"\\" + std::wstring(remaining > 61 ? 40 : remaining - 1, L'd');
        if (!CreateDirectoryW(longForm(deep).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return {};
        }
    }
    return deep;
}

TEST(StorageWholeFile, TemporaryNamesNeverPushAPathPastTheClassicLimit)
{
    ScratchDirectory dir;
    // The longest target that fits (its temporary name does not), and one far past the limit.
    for (const size_t length : {size_t{MAX_PATH - 1}, size_t{300}}) {
        SCOPED_TRACE(length);
        const std::wstring deep = directoryForTargetLength(dir, L"data.json", length);
        ASSERT_FALSE(deep.empty());
        const std::wstring path = deep + L"\\data.json";
        ASSERT_EQ(path.size(), length);
        classicLimitRefusals = 0;
        classicLimitReplacements = 0;
        {
            FileCallsOverride limited(kClassicLimit);
            ASSERT_TRUE(writeWholeFile(path, "first"));
            ASSERT_TRUE(writeWholeFile(path, "second"));
            // A killed writer's leftover is found and removed at that length too.
            ASSERT_TRUE(CopyFileW(longForm(path).c_str(), longForm(path + L".4242.tmp").c_str(), FALSE));
            removeStaleTempFiles(path);
            ASSERT_TRUE(writeWholeFile(path, "third"));
            EXPECT_EQ(readWholeFile(path), "third");
        }
        // Every save went the atomic way, and no call met the limit.
        EXPECT_EQ(classicLimitRefusals, 0);
        EXPECT_EQ(classicLimitReplacements, 3);
        EXPECT_EQ(ScratchDirectory::entriesOf(longForm(deep)), std::vector<std::wstring>{L"data.json"});
        ASSERT_TRUE(DeleteFileW(longForm(path).c_str()));
    }
}

TEST(StorageWholeFile, FileSystemPathTakesTheLongFormOnlyFromTheClassicLimitOn)
{
    const std::wstring fits = L"C:\\" + std::wstring(MAX_PATH - 4, L'a');
    const std::wstring longer = fits + L"b";
    const std::wstring share = L"\\\\server\\share\\" + std::wstring(MAX_PATH, L's');
    ASSERT_EQ(fits.size(), size_t{MAX_PATH - 1});
    EXPECT_EQ(fileSystemPath(fits), fits);
    EXPECT_EQ(fileSystemPath(longer), L"\\\\?\\" + longer);
    EXPECT_EQ(fileSystemPath(share), L"\\\\?\\UNC\\server\\share\\" + std::wstring(MAX_PATH, L's'));
    EXPECT_EQ(fileSystemPath(L"\\\\?\\" + longer), L"\\\\?\\" + longer);
    EXPECT_EQ(fileSystemPath(L"\\\\server\\share\\data.json"), L"\\\\server\\share\\data.json");
}

// ---- Temporary files left by a killed process ----

TEST(StorageStaleTempFiles, RemovesOnlyTheTemporaryFilesOfThatFile)
{
    ScratchDirectory dir;
    const std::vector<std::wstring> stale = {L"data.json.123.tmp", L"data.json.4294967295.tmp", L"DATA.JSON.7.TMP"};
    const std::vector<std::wstring> kept = {
        L"config.json.55.tmp", L"data.json",          L"data.json..tmp",   L"data.json.12a.tmp",
        L"data.json.5.tmp.bak", L"data.json.backup.tmp", L"data.json.tmp",    L"mydata.json.5.tmp",
    };
    for (const auto& name : stale) {
        ASSERT_TRUE(writeWholeFile(dir.file(name), "partial {"));
    }
    for (const auto& name : kept) {
        ASSERT_TRUE(writeWholeFile(dir.file(name), "keep"));
    }
    ASSERT_TRUE(CreateDirectoryW(dir.file(L"data.json.9.tmp").c_str(), nullptr));

    removeStaleTempFiles(dir.file(L"data.json"));

    std::vector<std::wstring> expected = kept;
    expected.push_back(L"data.json.9.tmp");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.entries(), expected);
    EXPECT_EQ(readWholeFile(dir.file(L"data.json")), "keep");
}

TEST(StorageStaleTempFiles, LeavesATemporaryFileThatIsStillBeingWritten)
{
    ScratchDirectory dir;
    const std::wstring busy = dir.file(L"config.json.77.tmp");
    FileHandle writer(CreateFileW(busy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    ASSERT_TRUE(writer);
    removeStaleTempFiles(dir.file(L"config.json"));
    EXPECT_EQ(dir.entries(), std::vector<std::wstring>{L"config.json.77.tmp"});
    writer.close();
    removeStaleTempFiles(dir.file(L"config.json"));
    EXPECT_TRUE(dir.entries().empty());
}

TEST(StorageStaleTempFiles, NothingToRemoveIsHarmless)
{
    ScratchDirectory dir;
    removeStaleTempFiles(dir.file(L"data.json"));
    removeStaleTempFiles(dir.file(L"missing\\data.json"));
    EXPECT_TRUE(dir.entries().empty());
}

// ---- The executable's directory ----

TEST(StorageExecutableDirectory, DirectoryOfCutsAtTheLastSeparator)
{
    const struct {
        const wchar_t* path;
        const wchar_t* directory;
    } cases[] = {
        {L"Hourwarden.exe", L"."},
        {L"", L"."},
        {L"C:\\Program Files\\Hourwarden\\Hourwarden.exe", L"C:\\Program Files\\Hourwarden"},
        {L"C:/tools/hw/Hourwarden.exe", L"C:/tools/hw"},
        {L"C:\\a/b\\Hourwarden.exe", L"C:\\a/b"},
        {L"C:\\a\\b/Hourwarden.exe", L"C:\\a\\b"},
        {L"\\\\server\\share\\Hourwarden.exe", L"\\\\server\\share"},
        {L"\\Hourwarden.exe", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(directoryOf(c.path), c.directory) << c.path;
    }
}

TEST(StorageExecutableDirectory, IsTheDirectoryOfTheRunningExecutable)
{
    const std::wstring module = longModulePath();
    const size_t separator = module.find_last_of(L"\\/");
    ASSERT_NE(separator, std::wstring::npos);
    const std::wstring directory = executableDirectory();
    EXPECT_EQ(directory, module.substr(0, separator));
    EXPECT_NE(GetFileAttributesW((directory + module.substr(separator)).c_str()), INVALID_FILE_ATTRIBUTES);
}

// A path longer than MAX_PATH must come back whole, not cut to some other
// directory. (The system cannot start an executable from such a path, so a
// copy of this program is mapped as a module instead.)
TEST(StorageExecutableDirectory, LongModulePathIsNotCut)
{
    ScratchDirectory dir;
    std::wstring deep = dir.path();
    for (wchar_t part = L'a'; deep.size() < 400; ++part) {
        deep += L"\\" + std::wstring(60, part);
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << deep.size();
    }
    const std::wstring copy = deep + L"\\storage_copy.exe";
    ASSERT_TRUE(CopyFileW(longModulePath().c_str(), copy.c_str(), TRUE));
    const HMODULE module = LoadLibraryExW(copy.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(module, nullptr);
    const std::wstring path = modulePath(module);
    FreeLibrary(module);
    EXPECT_EQ(path, copy);
    EXPECT_EQ(directoryOf(path), deep);
}

}  // namespace
