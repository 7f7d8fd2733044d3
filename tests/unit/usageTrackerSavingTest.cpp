// Saves that fail (a full disk): the change is in force at once and reaches
// the file at the first tick that can write it, whether or not that tick
// counts a second; and no tick writes data.json more than once.
#include <algorithm>
#include <string>
#include <vector>

#include "base/scopedHandles.h"
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

// While set, every write of either file fails, as on a full disk unless another error is given.
inline bool writesFail = false;
inline DWORD writeError = ERROR_DISK_FULL;
BOOL failingWrite(HANDLE file, const void* bytes, DWORD length, DWORD* written)
{
    if (writesFail) {
        SetLastError(writeError);
        return FALSE;
    }
    return countingWrite(file, bytes, length, written);
}

class TrackerSaving : public TrackerTest {
protected:
    void SetUp() override
    {
        TrackerTest::SetUp();
        writesFail = false;
        writeError = ERROR_DISK_FULL;
        failingCalls_ = systemHeldFileCalls();
        failingCalls_.write = failingWrite;
        setHeldFileCalls(&failingCalls_);
    }

    // Nobody touches the computer from now on: from five minutes after the
    // last input, no more seconds are counted.
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

private:
    HeldFileCalls failingCalls_ = {};
};

struct FailedCase {
    const char* name;
    int64_t secondsLeft;  // of a 30-minute limit
    bool userLeaves;
};

class TrackerSavingWhileNothingCounts : public TrackerSaving, public testing::WithParamInterface<FailedCase> {};

TEST_P(TrackerSavingWhileNothingCounts, PasswordChangeReachesDataFileAtTheFirstTickThatCanWrite)
{
    const FailedCase& c = GetParam();
    UsageTracker& usage = startWithSecondsLeft(30, c.secondsLeft);
    if (c.userLeaves) {
        leaveComputer();
    }
    const int64_t used = usage.usedSeconds();
    const std::string before = readWholeFile(dataPath());
    writesFail = true;
    EXPECT_FALSE(usage.setPassword(L"new \"one\""));
    EXPECT_FALSE(usage.setRequirePasswordOnExit(true));
    // In force at once, though not saved.
    EXPECT_TRUE(usage.checkPassword(L"new \"one\""));
    EXPECT_TRUE(usage.requirePasswordOnExit());
    EXPECT_TRUE(usage.hasUnsavedChanges());
    for (int second = 0; second < 5; ++second) {
        tickSecond();
    }
    EXPECT_EQ(readWholeFile(dataPath()), before);
    EXPECT_TRUE(usage.hasUnsavedChanges());

    writesFail = false;
    countDataWritesFromNow();
    tickSecond();
    EXPECT_EQ(dataFileWrites, 1);
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
                         testing::Values(FailedCase{"UserIdle", 900, true}, FailedCase{"SpentDay", 0, false},
                                         FailedCase{"SpentDayAndIdle", 0, true}),
                         [](const testing::TestParamInfo<FailedCase>& info) { return std::string(info.param.name); });

TEST_F(TrackerSaving, SettingsThatCouldNotBeWrittenReachTheFileLater)
{
    UsageTracker& usage = startWithSecondsLeft(30, 900);
    leaveComputer();
    const std::string before = readWholeFile(configPath());
    writesFail = true;
    EXPECT_FALSE(usage.setLimit(45, false));
    usage.setLanguage(Language::Russian);
    usage.setStatusWindowPosition(12, 34);
    EXPECT_EQ(usage.remainingSeconds(), 45 * 60 - 900);
    EXPECT_EQ(currentLanguage(), Language::Russian);
    EXPECT_TRUE(usage.hasUnsavedChanges());
    tickSecond();
    EXPECT_EQ(readWholeFile(configPath()), before);
    writesFail = false;
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

TEST_F(TrackerSaving, SecondsCountedWhileWritesFailReachTheFileWhenTheUserHasLeft)
{
    UsageTracker& usage = startWithSecondsLeft(30, 900);
    writesFail = true;
    for (int second = 0; second < 10; ++second) {
        tickSecond();
    }
    ASSERT_EQ(usage.usedSeconds(), 30 * 60 - 900 + 10);
    leaveComputer();
    // Late, this tick counts the five minutes after the last input, and cannot write them either.
    tickSecond();
    ASSERT_EQ(usage.usedSeconds(), 30 * 60 - 900 + 10 + 300);
    writesFail = false;
    tickSecond();
    EXPECT_EQ(usage.usedSeconds(), 30 * 60 - 900 + 10 + 300);
    EXPECT_EQ(savedUsage().usedSeconds, usage.usedSeconds());
}

TEST_F(TrackerSaving, ANewDayStartedWhileWritesFailReachesTheFile)
{
    UsageTracker& usage = startWithSecondsLeft(30, 0);
    usage.setPassword(L"kept");
    leaveComputer();
    writesFail = true;
    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay + 1, 0, 0, 5);
    usage.tick();
    EXPECT_EQ(usage.usedSeconds(), 0);
    writesFail = false;
    tickSecond();
    const DailyUsage saved = savedUsage();
    EXPECT_EQ(saved.date, kDayAfterTestDate);
    EXPECT_EQ(saved.usedSeconds, 0);
    EXPECT_TRUE(savedPasswordIs(saved.settingsPassword, L"kept"));
}

// The program may end before a tick came after the writes worked again.
TEST_F(TrackerSaving, PendingChangesAreSavedOnceMoreWhenTheTrackerEnds)
{
    storeConfig(30);
    storeUsage(todayWith(100));
    {
        UsageTracker usage(directory(), Installation::ForThisAccount);
        usage.load();
        ASSERT_TRUE(usage.awaitFiles(kFileWorkTimeoutMs));
        writesFail = true;
        EXPECT_FALSE(usage.setPassword(L"last"));
        EXPECT_FALSE(usage.setLimit(50, true));
        writesFail = false;
    }
    EXPECT_TRUE(savedPasswordIs(savedUsage().settingsPassword, L"last"));
    EXPECT_EQ(savedConfig().dailyLimitMinutes, 50);
}

// Another program opened data.json for reading and took a byte-range lock on
// it: every save is refused. The day counts as spent from that tick, as for a
// file that cannot be read: the lock comes after the start's minute and
// nothing more is counted. Once the refusals end, the count kept meanwhile
// reaches the file and counting goes on.
TEST_F(TrackerSaving, ALockedOutSaveSpendsTheDayUntilASaveGoesThrough)
{
    UsageTracker& usage = startWithSecondsLeft(30, 10 * 60);
    tickSecond();
    const std::string before = readWholeFile(dataPath());
    writesFail = true;
    writeError = ERROR_LOCK_VIOLATION;
    const TickResult refused = tickSecond();
    EXPECT_EQ(refused.saveFailure, SaveFailure::LockedOut);
    EXPECT_FALSE(refused.lockNow);
    const int64_t usedAtLockOut = usage.usedSeconds();
    EXPECT_EQ(usedAtLockOut, 30 * 60 - 10 * 60 + 2);
    EXPECT_EQ(usage.remainingSeconds(), 0);
    EXPECT_TRUE(usage.isLimitReached());
    EXPECT_EQ(usage.saveFailure(), SaveFailure::LockedOut);

    // The lock one minute after the refusal, once; the system takes it and the session shows it locked.
    int lockedAt = 0;
    int balloons = 0;
    for (int second = 1; second <= 3 * 60; ++second) {
        if (usage.awaitsUnlock()) {
            usage.onSessionLockState(SessionLock::Locked);
        }
        const TickResult result = tickSecond();
        balloons += result.saveFailure != SaveFailure::None ? 1 : 0;
        if (result.lockNow) {
            EXPECT_EQ(lockedAt, 0) << "asked again at second " << second;
            lockedAt = second;
            usage.onLockAccepted();
        }
    }
    EXPECT_EQ(lockedAt, 60);
    EXPECT_EQ(balloons, 0) << "said once, at the first refusal";
    EXPECT_EQ(usage.usedSeconds(), usedAtLockOut);
    EXPECT_EQ(readWholeFile(dataPath()), before);

    // The other program lets go: the next tick's save goes through with the
    // seconds counted before, and from then on counting and saving go on.
    writesFail = false;
    const TickResult saved = tickSecond();
    EXPECT_EQ(saved.saveFailure, SaveFailure::None);
    EXPECT_EQ(usage.saveFailure(), SaveFailure::None);
    EXPECT_EQ(savedUsage().usedSeconds, usedAtLockOut);
    EXPECT_FALSE(usage.isLimitReached());
    for (int second = 1; second <= 30; ++second) {
        ASSERT_FALSE(tickSecond().lockNow) << second;
    }
    EXPECT_EQ(usage.usedSeconds(), usedAtLockOut + 30);
    EXPECT_EQ(savedUsage().usedSeconds, usage.usedSeconds());
    EXPECT_FALSE(usage.awaitsUnlock());
}

// A save refused for any other cause (a full disk above all) is no reason to
// lock a child out: every second still counts, the lock comes at the limit,
// the save is made again at every tick, and the first tick of each run of
// failures names the cause once.
TEST_F(TrackerSaving, AFailedSaveForAnyOtherCauseKeepsCountingAndSaysWhyOncePerRun)
{
    const struct {
        const char* name;
        DWORD error;
        SaveFailure named;
    } causes[] = {
        {"disk full", ERROR_DISK_FULL, SaveFailure::DiskFull},
        {"disk full for the handle", ERROR_HANDLE_DISK_FULL, SaveFailure::DiskFull},
        {"device fault", ERROR_WRITE_FAULT, SaveFailure::Other},
    };
    for (const auto& c : causes) {
        SCOPED_TRACE(c.name);
        UsageTracker& usage = startWithSecondsLeft(30, 20);
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(testing::Message() << "run " << run);
            const std::string before = readWholeFile(dataPath());
            const int64_t usedBefore = usage.usedSeconds();
            writesFail = true;
            writeError = c.error;
            std::vector<SaveFailure> named;
            for (int second = 1; second <= 5; ++second) {
                const TickResult result = tickSecond();
                EXPECT_FALSE(result.lockNow) << second;
                named.push_back(result.saveFailure);
            }
            EXPECT_EQ(named, (std::vector<SaveFailure>{c.named, SaveFailure::None, SaveFailure::None,
                                                       SaveFailure::None, SaveFailure::None}));
            EXPECT_EQ(usage.usedSeconds(), usedBefore + 5);
            EXPECT_EQ(usage.saveFailure(), c.named);
            EXPECT_EQ(readWholeFile(dataPath()), before);
            countDataWritesFromNow();
            writesFail = false;
            EXPECT_EQ(tickSecond().saveFailure, SaveFailure::None);
            EXPECT_EQ(dataFileWrites, 1);
            EXPECT_EQ(usage.saveFailure(), SaveFailure::None);
            EXPECT_EQ(savedUsage().usedSeconds, usedBefore + 6);
        }
        // Still failing when the limit comes: the lock comes all the same.
        writesFail = true;
        int lockedAt = 0;
        for (int second = 1; second <= 30 && lockedAt == 0; ++second) {
            lockedAt = tickSecond().lockNow ? second : 0;
        }
        EXPECT_EQ(lockedAt, 8);
        EXPECT_EQ(usage.usedSeconds(), 30 * 60);
        writesFail = false;
        stop();
    }
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

// While the program runs, its files are its own: another program's write,
// cut, rename, delete or holding open fails with a sharing violation, while a
// reader that lets others write still reads.
TEST_F(TrackerTest, AnotherProgramCannotChangeOrHoldTheFilesWhileTheTrackerRuns)
{
    startWithSecondsLeft(45, 45 * 60 - 3000);
    tickSecond();
    for (const std::wstring& path : {configPath(), dataPath()}) {
        SCOPED_TRACE(testing::PrintToString(path));
        const std::string before = readWholeFile(path);
        const struct {
            const char* name;
            DWORD access;
            DWORD sharing;
        } opens[] = {
            {"write", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
            {"delete", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
            {"hold without sharing", GENERIC_READ, 0},
            {"hold sharing reads only", GENERIC_READ, FILE_SHARE_READ},
        };
        for (const auto& o : opens) {
            SCOPED_TRACE(o.name);
            FileHandle file(CreateFileW(path.c_str(), o.access, o.sharing, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
            EXPECT_FALSE(file);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        }
        EXPECT_FALSE(DeleteFileW(path.c_str()));
        EXPECT_FALSE(MoveFileExW(path.c_str(), (path + L".moved").c_str(), MOVEFILE_REPLACE_EXISTING));
        EXPECT_FALSE(writeWholeFile(path, "{}"));
        FileHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(reader);
        EXPECT_EQ(readWholeFile(path), before);
    }
    tracker().tick();
    EXPECT_EQ(tracker().config().dailyLimitMinutes, 45);
    EXPECT_EQ(savedConfig().dailyLimitMinutes, 45);
    EXPECT_EQ(savedUsage().usedSeconds, tracker().usedSeconds());
}

}  // namespace
}  // namespace tracker_test
