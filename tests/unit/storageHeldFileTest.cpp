// A held file is saved in place: one write from its start, padded with spaces
// to the old length while that stays within the bound, then the tail cut; a
// kill before the cut leaves a file the readers take whole. Refused writes
// (a byte-range lock) come through the file seam here, as Wine 8 refuses none:
// DiskE2E.AByteRangeLockOnDataJsonSpendsTheDayUntilItIsLifted_WindowsOnly shows Windows' refusal.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "storage/settingsFiles.h"
#include "storage/stateFiles.h"

namespace {

struct Recorded {
    std::vector<size_t> writes;
    DWORD writeError = ERROR_SUCCESS;  // else the write fails with it (0xFFFFFFFF: fails leaving no error)
    bool reportHuge = false;  // the file claims to be 1 GiB, as one blown up before the start
    bool cutFails = false;    // the process dies before the cut
};
Recorded recorded;

BOOL recordingSize(HANDLE file, LARGE_INTEGER* size)
{
    if (recorded.reportHuge) {
        size->QuadPart = LONGLONG{1} << 30;
        return TRUE;
    }
    return systemHeldFileCalls().size(file, size);
}

BOOL recordingWrite(HANDLE file, const void* bytes, DWORD length, DWORD* written)
{
    recorded.writes.push_back(length);
    if (recorded.writeError != ERROR_SUCCESS) {
        SetLastError(recorded.writeError == 0xFFFFFFFF ? ERROR_SUCCESS : recorded.writeError);
        return FALSE;
    }
    return systemHeldFileCalls().write(file, bytes, length, written);
}

BOOL recordingSetEnd(HANDLE file)
{
    return recorded.cutFails ? FALSE : systemHeldFileCalls().setEnd(file);
}

class StorageHeldFile : public testing::Test {
protected:
    void SetUp() override
    {
        recorded = {};
        calls_ = systemHeldFileCalls();
        calls_.size = recordingSize;
        calls_.write = recordingWrite;
        calls_.setEnd = recordingSetEnd;
        setHeldFileCalls(&calls_);
        path_ = (std::filesystem::temp_directory_path() /
                 (L"hourwarden-held-" + std::to_wstring(GetCurrentProcessId()) + L".json"))
                    .wstring();
        DeleteFileW(path_.c_str());
    }
    void TearDown() override
    {
        setHeldFileCalls(nullptr);
        DeleteFileW(path_.c_str());
    }

    std::wstring path_;

private:
    HeldFileCalls calls_ = {};
};

TEST_F(StorageHeldFile, EachSaveIsOneWritePaddedToTheOldLengthWithinTheBound)
{
    DailyUsage day;
    day.date = L"2024-03-15";
    day.settingsPassword = L"pbkdf2-sha256$80000$salt$hash";
    const std::string longText = usageFileText(day);
    day.settingsPassword.clear();
    const std::string shortText = usageFileText(day);
    HeldFile file(path_);
    EXPECT_FALSE(file.save(longText)) << "a save never opens";
    ASSERT_TRUE(file.create());
    ASSERT_TRUE(file.save(longText));
    ASSERT_TRUE(file.held());

    const struct {
        const char* name;
        bool huge;
        bool cutFails;
        size_t expectedWrite;
        std::string expectedFile;
    } cases[] = {
        {"shorter, cut", false, false, longText.size(), shortText},
        {"longer again", false, false, longText.size(), longText},
        // Killed before the cut: the new text and spaces, which the readers skip.
        {"shorter, not cut", false, true, longText.size(), shortText + std::string(longText.size() - shortText.size(), ' ')},
        {"old length past the bound", true, false, longText.size(), longText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        recorded.writes.clear();
        recorded.reportHuge = c.huge;
        recorded.cutFails = c.cutFails;
        const std::string& text = c.expectedFile.starts_with(shortText) ? shortText : longText;
        EXPECT_EQ(static_cast<bool>(file.save(text)), !c.cutFails);
        EXPECT_EQ(recorded.writes, std::vector<size_t>{c.expectedWrite});
        recorded = {};
        std::string bytes;
        ASSERT_EQ(file.read(bytes), FileState::Read);
        EXPECT_EQ(bytes, c.expectedFile);
        DailyUsage read;
        EXPECT_TRUE(parseWholeUsageText(bytes, read));
    }
}

// The caller decides what a failed save means, so the save hands up the
// system's error from the call that failed, and never "success" for a failure.
TEST_F(StorageHeldFile, AFailedSaveHandsUpTheErrorAndLeavesTheFileAsItWas)
{
    HeldFile file(path_);
    EXPECT_EQ(file.save("{}").error, static_cast<DWORD>(ERROR_NOT_READY)) << "opens belong to the files' thread";
    ASSERT_TRUE(file.create());
    ASSERT_TRUE(file.save("{\"kept\": true}"));
    const struct {
        const char* name;
        DWORD systemError;
        DWORD expected;
    } cases[] = {
        {"locked by another program", ERROR_LOCK_VIOLATION, ERROR_LOCK_VIOLATION},
        {"disk full", ERROR_DISK_FULL, ERROR_DISK_FULL},
        {"no error left behind", 0xFFFFFFFF, ERROR_WRITE_FAULT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        recorded.writeError = c.systemError;
        const SaveResult result = file.save("{\"changed\": true}");
        EXPECT_FALSE(result);
        EXPECT_EQ(result.error, c.expected);
        recorded = {};
        std::string bytes;
        ASSERT_EQ(file.read(bytes), FileState::Read);
        EXPECT_EQ(bytes, "{\"kept\": true}");
    }
    const SaveResult saved = file.save("{\"changed\": true}");
    EXPECT_TRUE(saved);
    EXPECT_EQ(saved.error, static_cast<DWORD>(ERROR_SUCCESS));
}

}  // namespace
