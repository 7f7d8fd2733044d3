// Saves that fail while another program holds a file open: the change is in
// force at once, and reaches the file at the first tick after the file is let
// go, whether or not that tick counts a second.
#include <algorithm>
#include <string>
#include <vector>

#include "base/scopedHandles.h"
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

class TrackerSaving : public TrackerTest {
protected:
    // Opens the file as a backup tool or scanner might: no sharing at all, so
    // neither a replacement nor an in-place write gets through.
    static FileHandle holdWithoutSharing(const std::wstring& path)
    {
        return FileHandle(
            CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    // What the file holds, read through the holder's own handle.
    static std::string contentsThrough(const FileHandle& holder)
    {
        SetFilePointer(holder.get(), 0, nullptr, FILE_BEGIN);
        std::string bytes(64 * 1024, '\0');
        DWORD read = 0;
        if (!ReadFile(holder.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
            return "(unreadable)";
        }
        bytes.resize(read);
        return bytes;
    }

    // Nobody touches the computer from now on: no more seconds are counted.
    static void leaveComputer()
    {
        simulatedClock.userPresent = false;
        advance(301 * kSecondMs);
    }

    std::vector<std::wstring> directoryEntries() const
    {
        std::vector<std::wstring> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory())) {
            names.push_back(entry.path().filename().wstring());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    const std::vector<std::wstring> kBothFiles = {L"config.json", L"data.json"};
};

struct HeldCase {
    const char* name;
    int64_t secondsLeft;  // of a 30-minute limit
    bool userLeaves;
};

class TrackerSavingWhileNothingCounts : public TrackerSaving, public testing::WithParamInterface<HeldCase> {};

TEST_P(TrackerSavingWhileNothingCounts, PasswordChangeReachesDataFileAtTheFirstTickAfterItIsLetGo)
{
    const HeldCase& c = GetParam();
    UsageTracker& usage = startWithSecondsLeft(30, c.secondsLeft);
    if (c.userLeaves) {
        leaveComputer();
    }
    const int64_t used = usage.usedSeconds();
    const std::string before = readWholeFile(dataPath());
    {
        FileHandle holder = holdWithoutSharing(dataPath());
        ASSERT_TRUE(holder);
        EXPECT_FALSE(usage.setPassword(L"new \"one\""));
        EXPECT_FALSE(usage.setRequirePasswordOnExit(true));
        // In force at once, though not saved.
        EXPECT_TRUE(usage.checkPassword(L"new \"one\""));
        EXPECT_TRUE(usage.requirePasswordOnExit());
        EXPECT_TRUE(usage.hasUnsavedChanges());
        for (int second = 0; second < 5; ++second) {
            tickSecond();
        }
        EXPECT_EQ(contentsThrough(holder), before);
        EXPECT_TRUE(usage.hasUnsavedChanges());
        EXPECT_EQ(directoryEntries(), kBothFiles);
    }
    tickSecond();
    EXPECT_EQ(usage.usedSeconds(), used) << "nothing is counted in this case";
    EXPECT_FALSE(usage.hasUnsavedChanges());
    DailyUsage expected = todayWith(used);
    expected.settingsPassword = savedUsage().settingsPassword;
    EXPECT_TRUE(savedPasswordIs(expected.settingsPassword, L"new \"one\""));
    expected.requirePasswordOnExit = true;
    EXPECT_EQ(readWholeFile(dataPath()), usageFileText(expected));
    EXPECT_EQ(directoryEntries(), kBothFiles);

    // Once saved, ticks that change nothing write nothing.
    countDataWritesFromNow();
    for (int second = 0; second < 5; ++second) {
        tickSecond();
    }
    EXPECT_FALSE(dataFileWrittenSince());
}

INSTANTIATE_TEST_SUITE_P(Tracker, TrackerSavingWhileNothingCounts,
                         testing::Values(HeldCase{"UserIdle", 900, true}, HeldCase{"SpentDay", 0, false},
                                         HeldCase{"SpentDayAndIdle", 0, true}),
                         [](const testing::TestParamInfo<HeldCase>& info) { return std::string(info.param.name); });

TEST_F(TrackerSaving, SettingsMadeWhileConfigFileIsHeldReachItOnceLetGo)
{
    UsageTracker& usage = startWithSecondsLeft(30, 900);
    leaveComputer();
    const std::string before = readWholeFile(configPath());
    {
        FileHandle holder = holdWithoutSharing(configPath());
        ASSERT_TRUE(holder);
        EXPECT_FALSE(usage.setLimit(45, false));
        usage.setLanguage(Language::Russian);
        usage.setStatusWindowPosition(12, 34);
        EXPECT_EQ(usage.remainingSeconds(), 45 * 60 - 900);
        EXPECT_EQ(currentLanguage(), Language::Russian);
        EXPECT_TRUE(usage.hasUnsavedChanges());
        tickSecond();
        tickSecond();
        EXPECT_EQ(contentsThrough(holder), before);
    }
    tickSecond();
    EXPECT_FALSE(usage.hasUnsavedChanges());
    AppConfig expected;
    expected.dailyLimitMinutes = 45;
    expected.showLastThreeMinuteNotifications = false;
    expected.language = Language::Russian;
    expected.statusWindowX = 12;
    expected.statusWindowY = 34;
    EXPECT_EQ(readWholeFile(configPath()), configFileText(expected));
    EXPECT_EQ(directoryEntries(), kBothFiles);
}

TEST_F(TrackerSaving, SecondsCountedWhileHeldReachTheFileWhenTheUserHasLeft)
{
    UsageTracker& usage = startWithSecondsLeft(30, 900);
    {
        FileHandle holder = holdWithoutSharing(dataPath());
        ASSERT_TRUE(holder);
        for (int second = 0; second < 10; ++second) {
            tickSecond();
        }
        ASSERT_EQ(usage.usedSeconds(), 30 * 60 - 900 + 10);
        leaveComputer();
    }
    tickSecond();
    EXPECT_EQ(usage.usedSeconds(), 30 * 60 - 900 + 10);
    EXPECT_EQ(savedUsage().usedSeconds, usage.usedSeconds());
}

TEST_F(TrackerSaving, ANewDayStartedWhileHeldReachesTheFile)
{
    UsageTracker& usage = startWithSecondsLeft(30, 0);
    usage.setPassword(L"kept");
    leaveComputer();
    {
        FileHandle holder = holdWithoutSharing(dataPath());
        ASSERT_TRUE(holder);
        simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay + 1, 0, 0, 5);
        usage.tick();
        EXPECT_EQ(usage.usedSeconds(), 0);
    }
    tickSecond();
    const DailyUsage saved = savedUsage();
    EXPECT_EQ(saved.date, kDayAfterTestDate);
    EXPECT_EQ(saved.usedSeconds, 0);
    EXPECT_TRUE(savedPasswordIs(saved.settingsPassword, L"kept"));
}

// The program may end before a tick came after the file was let go.
TEST_F(TrackerSaving, PendingChangesAreSavedOnceMoreWhenTheTrackerEnds)
{
    storeConfig(30);
    storeUsage(todayWith(100));
    {
        UsageTracker usage(directory());
        usage.load();
        FileHandle dataHolder = holdWithoutSharing(dataPath());
        FileHandle configHolder = holdWithoutSharing(configPath());
        ASSERT_TRUE(dataHolder && configHolder);
        EXPECT_FALSE(usage.setPassword(L"last"));
        EXPECT_FALSE(usage.setLimit(50, true));
        dataHolder.close();
        configHolder.close();
    }
    EXPECT_TRUE(savedPasswordIs(savedUsage().settingsPassword, L"last"));
    EXPECT_EQ(savedConfig().dailyLimitMinutes, 50);
}

}  // namespace
}  // namespace tracker_test

namespace tracker_test {
namespace {

// A tick that counts a second, shows the warning, sets a notice flag, or
// starts a new day writes data.json once, at its end, with all of it.
TEST_F(TrackerTest, ATickSavesDataJsonOnceWhateverItChanged)
{
    // The next counted second leaves 180 s: the count, the warning and the 3-minute flag at once.
    UsageTracker& usage = startWithSecondsLeft(30, 181);
    const struct {
        const char* name;
        void (*before)();
    } ticks[] = {
        {"count, warning and notice", [] {}},
        {"count only", [] {}},
        {"new day and its first second",
         [] { simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay + 1, 0, 0, 1); }},
    };
    for (const auto& t : ticks) {
        SCOPED_TRACE(t.name);
        t.before();
        countDataWritesFromNow();
        tickSecond();
        EXPECT_EQ(dataFileWrites, 1);
    }
    const DailyUsage saved = savedUsage();
    EXPECT_EQ(saved.usedSeconds, usage.usedSeconds());
}

}  // namespace
}  // namespace tracker_test

namespace tracker_test {
namespace {

// While the program runs, an edit, a replacement or a deletion of either file
// by another program is undone at a following tick, and the state in force stays.
TEST_F(TrackerTest, FilesEditedByAnotherProgramGetTheStateInForceBack)
{
    UsageTracker& usage = startWithSecondsLeft(45, 45 * 60 - 3000);
    simulatedClock.userPresent = false;  // nothing counts, so data.json changes only by the edits
    tickSecond();
    const std::string config = readWholeFile(configPath());
    const std::string data = readWholeFile(dataPath());
    const struct {
        const char* name;
        void (*edit)(const std::wstring& configPath, const std::wstring& dataPath);
    } edits[] = {
        {"limit and count rewritten",
         [](const std::wstring& configPath, const std::wstring& dataPath) {
             AppConfig generous;
             generous.dailyLimitMinutes = 1440;
             writeConfigFile(configPath, generous);
             DailyUsage fresh;
             fresh.date = kTestDate;
             writeUsageFile(dataPath, fresh);
         }},
        {"both deleted",
         [](const std::wstring& configPath, const std::wstring& dataPath) {
             DeleteFileW(configPath.c_str());
             DeleteFileW(dataPath.c_str());
         }},
        {"garbage",
         [](const std::wstring& configPath, const std::wstring& dataPath) {
             writeWholeFile(configPath, "{}");
             writeWholeFile(dataPath, "x");
         }},
        // Larger than any file of the program's: written over without being read.
        {"blown up", [](const std::wstring& configPath, const std::wstring& dataPath) {
             const std::string huge(kMaxStateFileBytes + 1, ' ');
             writeWholeFile(configPath, huge);
             writeWholeFile(dataPath, huge);
         }},
    };
    for (const auto& e : edits) {
        SCOPED_TRACE(e.name);
        e.edit(configPath(), dataPath());
        bool restored = false;
        // The directory's change notification comes a moment after the edit: tick until it has.
        for (int attempt = 0; attempt < 100 && !restored; ++attempt) {
            tickSecond();
            restored = readWholeFile(configPath()) == config && readWholeFile(dataPath()) == data;
            if (!restored) {
                Sleep(50);
            }
        }
        EXPECT_TRUE(restored) << readWholeFile(configPath()) << readWholeFile(dataPath());
        EXPECT_EQ(usage.config().dailyLimitMinutes, 45);
        EXPECT_EQ(usage.usedSeconds(), 3000);
    }
}

}  // namespace
}  // namespace tracker_test
