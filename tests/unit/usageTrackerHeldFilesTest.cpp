// Files the program cannot read at start fail closed: the day counts as spent,
// nothing of the parent's is taken for missing or written over, and once a
// file can be read its values come back, with the parent's newest settings.
#include <string>
#include <string_view>

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

class TrackerFailClosed : public TrackerTest {
protected:
    // The second (counted from the start) at which a lock is asked; 0: none within `seconds`.
    int secondOfFirstLock(int seconds)
    {
        for (int second = 1; second <= seconds; ++second) {
            if (tickSecond().lockNow) {
                return second;
            }
        }
        return 0;
    }

    static DailyUsage parentsDay(int64_t usedSeconds)
    {
        DailyUsage day = todayWith(usedSeconds);
        day.settingsPassword = hashPassword(L"parent");
        day.requirePasswordOnExit = true;
        return day;
    }
};

enum class Damaged { Data, Config };

struct FailCase {
    const char* name;
    Damaged file;
    Installation installation;
    // The file's bytes; nullptr: no file.
    const char* (*text)();
    bool held;
};

const char* heldText()
{
    static const std::string text = usageFileText(TrackerTest::todayWith(100));
    return text.c_str();
}
const char* hugeText()
{
    static const std::string text(kMaxStateFileBytes + 1, ' ');
    return text.c_str();
}
const char* zeroedText()
{
    return "";  // written as NUL bytes below
}
const char* cutShortText()
{
    static const std::string text = [] {
        DailyUsage day;
        day.date = L"2024-03-15";
        day.usedSeconds = 4000;
        day.settingsPassword = L"lost";
        const std::string whole = usageFileText(day);
        return whole.substr(0, whole.find("settings_password"));
    }();
    return text.c_str();
}

class TrackerFailClosedTable : public TrackerFailClosed, public testing::WithParamInterface<FailCase> {};

// Whatever makes a file unreadable, after the start's retries the day counts
// as spent: the lock comes after the start's minute, nothing is counted, the
// first tick brings the balloon, and the file is left exactly as it was.
TEST_P(TrackerFailClosedTable, TheDayCountsAsSpentAndTheFileIsLeftAlone)
{
    const FailCase& c = GetParam();
    const std::wstring path = c.file == Damaged::Data ? dataPath() : configPath();
    storeConfig(120);
    storeUsage(todayWith(100));
    if (c.text == nullptr) {
        ASSERT_TRUE(DeleteFileW(path.c_str()));
    } else if (c.text == zeroedText) {
        ASSERT_TRUE(writeWholeFile(path, std::string(300, '\0')));
    } else {
        ASSERT_TRUE(writeWholeFile(path, c.text()));
    }
    const std::string before = readWholeFile(path);
    Held holder(path);
    if (!c.held) {
        holder.release();
    }
    const uint64_t startedAt = simulatedClock.tick64;
    UsageTracker& usage = start(c.installation);
    EXPECT_GE(simulatedClock.tick64 - startedAt, 4900u) << "tried for about five seconds first";
    EXPECT_FALSE(usage.stateReadable());
    EXPECT_TRUE(usage.isLimitReached());
    EXPECT_EQ(usage.remainingSeconds(), 0);
    if (c.file == Damaged::Data) {
        // Guarded as if the password were known, and it cannot be checked.
        EXPECT_FALSE(usage.usageLoaded());
        EXPECT_TRUE(usage.settingsGuarded());
        EXPECT_TRUE(usage.exitGuarded());
        EXPECT_FALSE(usage.checkPassword(L""));
        EXPECT_TRUE(protectionRecord.protect);
    }
    EXPECT_FALSE(tickSecond().stateUnreadable) << "the first tick asks for its own read";
    EXPECT_TRUE(tickSecond().stateUnreadable);
    EXPECT_FALSE(tickSecond().stateUnreadable) << "one balloon";
    EXPECT_EQ(secondOfFirstLock(70), secondOfTheStartsMinute());
    const int64_t used = usage.usedSeconds();
    for (int second = 0; second < 10; ++second) {
        tickSecond();
    }
    EXPECT_EQ(usage.usedSeconds(), used) << "nothing counts on a spent day";
    holder.release();
    EXPECT_EQ(readWholeFile(path), before);
    EXPECT_EQ(GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES, c.text != nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Tracker, TrackerFailClosedTable,
    testing::Values(
        FailCase{"DataHeld", Damaged::Data, Installation::ForThisAccount, heldText, true},
        FailCase{"DataOverOneMiB", Damaged::Data, Installation::ForThisAccount, hugeText, false},
        FailCase{"DataZeroed", Damaged::Data, Installation::ForThisAccount, zeroedText, false},
        FailCase{"DataEmpty", Damaged::Data, Installation::ForThisAccount, [] { return ""; }, false},
        FailCase{"DataCutShort", Damaged::Data, Installation::ForThisAccount, cutShortText, false},
        FailCase{"DataGarbage", Damaged::Data, Installation::ForThisAccount, [] { return "garbage \x01\xff{"; },
                 false},
        FailCase{"DataDateWithoutSeconds", Damaged::Data, Installation::ForThisAccount,
                 [] { return R"({"date": "2024-03-15", "settings_password": "lost"})"; }, false},
        FailCase{"DataNotADate", Damaged::Data, Installation::ForThisAccount,
                 [] { return R"({"date": "2024-3-15", "used_seconds": 50})"; }, false},
        FailCase{"DataMissingInTheInstallationForAnotherAccount", Damaged::Data, Installation::ForAnotherAccount,
                 nullptr, false},
        FailCase{"ConfigHeld", Damaged::Config, Installation::ForThisAccount,
                 [] { return "{\"daily_limit_minutes\": 45}"; }, true},
        FailCase{"ConfigOutOfRange", Damaged::Config, Installation::ForThisAccount,
                 [] { return "{\"daily_limit_minutes\": 0, \"language\": \"ru\"}"; }, false},
        FailCase{"ConfigZeroed", Damaged::Config, Installation::ForThisAccount, zeroedText, false},
        FailCase{"ConfigMissingInTheInstallationForAnotherAccount", Damaged::Config, Installation::ForAnotherAccount,
                 nullptr, false}),
    [](const testing::TestParamInfo<FailCase>& info) { return std::string(info.param.name); });

HANDLE refuseDataFile(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition)
{
    if (std::wstring_view(path).ends_with(L"data.json")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return systemHeldFileCalls().open(path, access, shareMode, disposition);
}

// A file whose access list refuses the program is not a missing one.
TEST_F(TrackerFailClosed, ADataFileTheSystemRefusesCountsTheDayAsSpent)
{
    storeConfig(120);
    storeUsage(parentsDay(100));
    HeldFileCalls refusing = systemHeldFileCalls();
    refusing.open = refuseDataFile;
    useHeldFileCalls(refusing);
    UsageTracker& usage = start();
    EXPECT_FALSE(usage.usageLoaded());
    EXPECT_TRUE(usage.exitGuarded());
    const int lockDue = secondOfTheStartsMinute();
    EXPECT_GE(lockDue, 55) << "a minute from the start";
    EXPECT_EQ(secondOfFirstLock(70), lockDue);
    stop();
    EXPECT_EQ(savedUsage().usedSeconds, 100);
}

// Only in the account's own installation does a missing file mean the defaults.
TEST_F(TrackerFailClosed, MissingFilesInTheAccountsOwnInstallationAreTheDefaults)
{
    UsageTracker& usage = start(Installation::ForThisAccount);
    EXPECT_TRUE(usage.stateReadable());
    EXPECT_EQ(usage.remainingSeconds(), 120 * 60);
    EXPECT_FALSE(tickSecond().stateUnreadable);
    EXPECT_EQ(savedUsage().usedSeconds, 1);
    EXPECT_EQ(savedConfig().dailyLimitMinutes, 120);
}

// data.json held from before the start with 10 s left: spent meanwhile, and
// once let go, the parent's password, exit flag and count are in force and
// the last 10 s count down to a lock of their own.
TEST_F(TrackerFailClosed, ADataFileReadLateBringsBackThePasswordAndTheCount)
{
    storeConfig(30);
    const DailyUsage parents = parentsDay(30 * 60 - 10);
    storeUsage(parents);
    Held held(dataPath());
    ASSERT_TRUE(held.held());
    UsageTracker& usage = start();
    EXPECT_EQ(secondOfFirstLock(70), secondOfTheStartsMinute());
    usage.onLockAccepted();
    held.release();
    // This tick asks for the read; the file comes in before the next one.
    tickSecond();
    EXPECT_TRUE(usage.usageLoaded());
    countDataWritesFromNow();
    tickSecond();
    EXPECT_EQ(dataFileWrites, 1) << "the late read and the tick's count in one save";
    EXPECT_TRUE(usage.usageLoaded());
    EXPECT_TRUE(usage.checkPassword(L"parent"));
    EXPECT_TRUE(usage.exitGuarded());
    EXPECT_FALSE(usage.awaitsUnlock()) << "the lock of the unreadable day is over";
    EXPECT_EQ(usage.remainingSeconds(), 9);
    EXPECT_EQ(secondOfFirstLock(20), 9);
    const DailyUsage saved = savedUsage();
    EXPECT_EQ(saved.usedSeconds, 30 * 60);
    EXPECT_EQ(saved.settingsPassword, parents.settingsPassword);
}

// config.json held with the parent's 45 minutes and 2,690 s used: the default
// 120 minutes are never in force, the day is spent until the file is read,
// then the 10 s left count down to the lock.
TEST_F(TrackerFailClosed, AConfigFileReadLateBringsBackTheParentsLimit)
{
    storeConfig(45);
    storeUsage(todayWith(2690));
    Held held(configPath());
    ASSERT_TRUE(held.held());
    UsageTracker& usage = start();
    EXPECT_EQ(usage.remainingSeconds(), 0);
    EXPECT_EQ(secondOfFirstLock(70), secondOfTheStartsMinute());
    held.release();
    // This tick asks for the read and counts nothing: the file comes in after it.
    tickSecond();
    EXPECT_EQ(usage.config().dailyLimitMinutes, 45);
    EXPECT_EQ(usage.remainingSeconds(), 10);
    EXPECT_EQ(secondOfFirstLock(20), 10);
    EXPECT_EQ(savedConfig().dailyLimitMinutes, 45);
}

// A limit below the count read late: the lock armed at the start comes at its minute.
TEST_F(TrackerFailClosed, ALateLimitBelowTheCountKeepsTheLockOfTheStart)
{
    storeConfig(30);
    storeUsage(todayWith(3000));
    Held held(configPath());
    UsageTracker& usage = start();
    for (int second = 0; second < 20; ++second) {
        ASSERT_FALSE(tickSecond().lockNow);
    }
    held.release();
    const int lockDue = secondOfTheStartsMinute();
    EXPECT_GE(lockDue, 35) << "a minute from the start";
    EXPECT_EQ(secondOfFirstLock(70), lockDue);
    EXPECT_TRUE(usage.stateReadable());
    EXPECT_TRUE(usage.isLimitReached());
    EXPECT_EQ(usage.usedSeconds(), 3000);
}

// Settings applied while config.json could not be read are newer than the
// file: they win, field by field, and what the parent did not change comes
// from the file.
TEST_F(TrackerFailClosed, SettingsAppliedMeanwhileSurviveTheLateRead)
{
    AppConfig stored;
    stored.dailyLimitMinutes = 45;
    stored.statusWindowX = 10;
    stored.statusWindowY = 20;
    ASSERT_TRUE(writeConfigFile(configPath(), stored));
    storeUsage(todayWith(100));
    Held held(configPath());
    UsageTracker& usage = start();
    EXPECT_FALSE(usage.setLimit(90, false));
    usage.setLanguage(Language::Russian);
    tickSecond();
    held.release();
    // The read asked for by this tick, then the next tick's save.
    tickSecond();
    tickSecond();
    AppConfig expected = stored;
    expected.dailyLimitMinutes = 90;
    expected.showLastThreeMinuteNotifications = false;
    expected.language = Language::Russian;
    EXPECT_EQ(readWholeFile(configPath()), configFileText(expected));
    EXPECT_EQ(usage.config().dailyLimitMinutes, 90);
    EXPECT_EQ(currentLanguage(), Language::Russian);
    EXPECT_EQ(usage.remainingSeconds(), 90 * 60 - 100 - 1) << "the second after the read counts";
}

// A config.json that holds no record gives way to the parent's limit set in
// the settings; a language chosen from the tray menu alone does not end the spent day.
TEST_F(TrackerFailClosed, AConfigFileWithoutARecordTakesTheParentsNextLimit)
{
    ASSERT_TRUE(writeWholeFile(configPath(), std::string(200, '\0')));
    storeUsage(todayWith(100));
    UsageTracker& usage = start();
    usage.setLanguage(Language::Russian);
    tickSecond();
    EXPECT_FALSE(usage.stateReadable());
    EXPECT_EQ(readWholeFile(configPath()), std::string(200, '\0'));
    EXPECT_TRUE(usage.setLimit(60, true));
    EXPECT_TRUE(usage.stateReadable());
    tickSecond();
    EXPECT_EQ(usage.usedSeconds(), 101);
    AppConfig expected;
    expected.dailyLimitMinutes = 60;
    expected.language = Language::Russian;
    EXPECT_EQ(readWholeFile(configPath()), configFileText(expected));
}

// Temporary files an earlier version left: deleted once the file they belong
// to holds a whole record; one that holds a whole record takes the place of a
// file that does not.
TEST_F(TrackerFailClosed, TemporaryFilesOfAnEarlierVersionAreSettled)
{
    const std::wstring temp = dataPath() + L".4242.tmp";
    const std::wstring other = dataPath() + L".77.tmp";
    enum class Data { Whole, None, Zeroed, Garbage };
    const struct {
        const char* name;
        Data data;
        bool tempWhole;
        bool readable;
        bool tempsGone;
    } cases[] = {
        {"whole file, stale temporary", Data::Whole, true, true, true},
        {"no file, whole temporary", Data::None, true, true, true},
        {"zeroed file, whole temporary", Data::Zeroed, true, true, true},
        {"garbage file, garbage temporary", Data::Garbage, false, false, false},
    };
    const std::string tempRecord = usageFileText(parentsDay(700));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        storeConfig(120);
        DeleteFileW(dataPath().c_str());
        switch (c.data) {
        case Data::Whole: storeUsage(todayWith(5)); break;
        case Data::None: break;
        case Data::Zeroed: storeRawUsage(std::string(280, '\0')); break;
        case Data::Garbage: storeRawUsage("garbage"); break;
        }
        ASSERT_TRUE(writeWholeFile(temp, c.tempWhole ? tempRecord : std::string("{\"date\"")));
        ASSERT_TRUE(writeWholeFile(other, "x"));
        UsageTracker& usage = start();
        EXPECT_EQ(usage.usageLoaded(), c.readable);
        EXPECT_EQ(GetFileAttributesW(temp.c_str()) == INVALID_FILE_ATTRIBUTES, c.tempsGone);
        EXPECT_EQ(GetFileAttributesW(other.c_str()) == INVALID_FILE_ATTRIBUTES, c.tempsGone);
        if (c.readable && c.data != Data::Whole) {
            EXPECT_EQ(usage.usedSeconds(), 700);
            EXPECT_TRUE(usage.checkPassword(L"parent"));
        }
        stop();
        DeleteFileW(temp.c_str());
        DeleteFileW(other.c_str());
    }
}


// The settings window stores only the fields the parent set while config.json
// could not be read: at the late read each of them wins, and the file keeps
// the rest.
TEST_F(TrackerFailClosed, OnlyTheSettingsTheParentSetWinAtTheLateRead)
{
    const struct {
        const char* name;
        LimitChange change;
        int32_t limit;
        bool notifications;
    } cases[] = {
        {"nothing set", {}, 45, false},
        {"limit only", {90, std::nullopt}, 90, false},
        {"notifications only", {std::nullopt, true}, 45, true},
        {"both", {90, true}, 90, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stop();
        storeConfig(45, false);
        storeUsage(todayWith(100));
        Held held(configPath());
        UsageTracker& usage = start();
        ASSERT_FALSE(usage.configLoaded());
        if (c.change.minutes || c.change.notifications) {
            EXPECT_FALSE(usage.setLimit(c.change)) << "not saved while the file is held";
        }
        tickSecond();
        held.release();
        tickSecond();
        EXPECT_TRUE(usage.configLoaded());
        EXPECT_EQ(usage.config().dailyLimitMinutes, c.limit);
        tickSecond();  // saves what the read brought
        EXPECT_EQ(usage.config().showLastThreeMinuteNotifications, c.notifications);
        EXPECT_EQ(savedConfig().dailyLimitMinutes, c.limit);
        EXPECT_EQ(savedConfig().showLastThreeMinuteNotifications, c.notifications);
    }
}

// The balloon says the files cannot be read only when the read the first tick
// asks for could not read them either.
TEST_F(TrackerFailClosed, TheUnreadableBalloonWaitsForTheFirstTicksOwnRead)
{
    for (const bool stillHeld : {false, true}) {
        SCOPED_TRACE(stillHeld ? "still held" : "let go before the first tick");
        stop();
        storeConfig(45);
        storeUsage(todayWith(100));
        Held held(configPath());
        start();
        if (!stillHeld) {
            held.release();
        }
        EXPECT_FALSE(tickSecond().stateUnreadable) << "this tick asks for its own read";
        EXPECT_EQ(tickSecond().stateUnreadable, stillHeld);
        EXPECT_FALSE(tickSecond().stateUnreadable) << "said once";
    }
}

// Writes of config.json's text fail while `refuseConfigWrites` is set, as on a full disk.
bool refuseConfigWrites = false;
BOOL configRefusingWrite(HANDLE file, const void* bytes, DWORD length, DWORD* written)
{
    constexpr std::string_view kConfigTextStart = "{\n  \"daily_limit_minutes\"";
    if (refuseConfigWrites && std::string_view(static_cast<const char*>(bytes), length).starts_with(kConfigTextStart)) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return systemHeldFileCalls().write(file, bytes, length, written);
}

// A config.json without a record takes the parent's limit; when that write
// fails the change stays pending and is written once it can be, never lost
// to a file that appears meanwhile.
TEST_F(TrackerFailClosed, AnAdoptionThatFailsStaysPendingUntilItIsWritten)
{
    ASSERT_TRUE(writeWholeFile(configPath(), std::string(200, '\0')));
    storeUsage(todayWith(100));
    HeldFileCalls refusing = systemHeldFileCalls();
    refusing.write = configRefusingWrite;
    useHeldFileCalls(refusing);
    refuseConfigWrites = true;
    UsageTracker& usage = start();
    EXPECT_FALSE(usage.setLimit(60, false));
    tickSecond();
    EXPECT_FALSE(usage.configLoaded());
    refuseConfigWrites = false;
    tickSecond();
    EXPECT_TRUE(usage.configLoaded());
    EXPECT_EQ(savedConfig().dailyLimitMinutes, 60);
    EXPECT_FALSE(savedConfig().showLastThreeMinuteNotifications);
    EXPECT_GT(usage.remainingSeconds(), 0);
}

}  // namespace
}  // namespace tracker_test
