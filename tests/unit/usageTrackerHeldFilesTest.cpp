// Files that another program holds while the program starts: the parent's
// values are never taken for missing ones nor written over, the count goes on
// in memory, and everything comes together once the files can be read.
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

// Opened as a backup or scanning tool might: no sharing at all.
class Held {
public:
    explicit Held(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }
    ~Held() { release(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
    void release()
    {
        if (held()) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE handle_;
};

TEST_F(TrackerTest, StateFilesReadAsReadAbsentOrUnreadable)
{
    storeConfig(45);
    std::string bytes;
    EXPECT_EQ(readStateFile(configPath(), bytes), FileState::Read);
    EXPECT_EQ(bytes, readWholeFile(configPath()));
    EXPECT_EQ(readStateFile(dataPath(), bytes), FileState::Absent);
    EXPECT_EQ(readStateFile(directory() + L"\\missing\\data.json", bytes), FileState::Absent);
    {
        Held held(configPath());
        ASSERT_TRUE(held.held());
        EXPECT_EQ(readStateFile(configPath(), bytes), FileState::Unreadable);
    }
    storeRawUsage(std::string(kMaxStateFileBytes + 1, ' '));
    EXPECT_EQ(readStateFile(dataPath(), bytes), FileState::Unreadable);
    storeRawUsage(std::string(kMaxStateFileBytes, ' '));
    EXPECT_EQ(readStateFile(dataPath(), bytes), FileState::Read);
}

TEST_F(TrackerTest, FilesHeldAtStartAreNeitherDefaultedNorWrittenAndComeBackOnceLetGo)
{
    storeConfig(60);
    DailyUsage stored = todayWith(3000);
    stored.settingsPassword = hashPassword(L"parent");
    stored.requirePasswordOnExit = true;
    stored.warningShown = true;
    storeUsage(stored);
    const std::string configBefore = readWholeFile(configPath());
    const std::string usageBefore = readWholeFile(dataPath());

    Held heldConfig(configPath());
    Held heldUsage(dataPath());
    ASSERT_TRUE(heldConfig.held() && heldUsage.held());
    const ULONGLONG startedAt = GetTickCount64();
    UsageTracker& usage = start();
    EXPECT_GE(GetTickCount64() - startedAt, 4000u) << "tried for about five seconds first";
    // Guarded as if the password were known, and it cannot be checked yet.
    EXPECT_FALSE(usage.usageLoaded());
    EXPECT_TRUE(usage.settingsGuarded());
    EXPECT_TRUE(usage.exitGuarded());
    EXPECT_FALSE(usage.checkPassword(L"parent"));
    EXPECT_FALSE(usage.checkPassword(L""));
    EXPECT_TRUE(protectionRecord.protect) << "the exit is guarded, so the process is protected";
    for (int second = 0; second < 10; ++second) {
        tickSecond();
    }
    EXPECT_EQ(usage.usedSeconds(), 10) << "counted in memory meanwhile";

    heldConfig.release();
    heldUsage.release();
    EXPECT_EQ(readWholeFile(configPath()), configBefore) << "never written while it could not be read";
    EXPECT_EQ(readWholeFile(dataPath()), usageBefore);

    tickSecond();
    EXPECT_TRUE(usage.usageLoaded());
    EXPECT_EQ(usage.config().dailyLimitMinutes, 60);
    EXPECT_EQ(usage.usedSeconds(), 3000 + 11);
    EXPECT_TRUE(usage.checkPassword(L"parent"));
    EXPECT_TRUE(usage.requirePasswordOnExit());
    const DailyUsage saved = savedUsage();
    EXPECT_EQ(saved.usedSeconds, 3000 + 11);
    EXPECT_TRUE(saved.warningShown);
    EXPECT_EQ(saved.settingsPassword, stored.settingsPassword);
    EXPECT_EQ(savedConfig().dailyLimitMinutes, 60);
}

// A stale day's file, once readable, gives its password and exit flag; the day
// is the one counted meanwhile.
TEST_F(TrackerTest, AStaleDayHeldAtStartGivesItsPasswordAndKeepsTodaysCount)
{
    DailyUsage stored = todayWith(5000);
    stored.date = L"2024-03-10";
    stored.settingsPassword = hashPassword(L"parent");
    storeUsage(stored);
    Held heldUsage(dataPath());
    UsageTracker& usage = start();
    tickSecond();
    tickSecond();
    heldUsage.release();
    tickSecond();
    EXPECT_EQ(usage.usedSeconds(), 3);
    EXPECT_TRUE(usage.checkPassword(L"parent"));
    EXPECT_EQ(savedUsage().date, kTestDate);
}

}  // namespace
}  // namespace tracker_test
