// Start-up from whatever files a previous run left, the settings operations and
// the password, each checked in memory and in the file it saves.
#include <climits>
#include <iterator>
#include <string>

#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

class TrackerSettings : public TrackerTest {};
class TrackerPassword : public TrackerTest {};
class TrackerLoadConfig : public TrackerTest {};

// data.json as found at start-up; nullptr: no file at all.
struct LoadCase {
    const char* name;
    const char* dataText;
    int64_t expectUsed;
    const wchar_t* expectPassword;
    bool expectExitFlag;
    bool expectWarningShown;
};

class TrackerLoadUsage : public TrackerTest, public testing::WithParamInterface<LoadCase> {};

TEST_P(TrackerLoadUsage, StartsTodayFromWhatTheFileHolds)
{
    const LoadCase& c = GetParam();
    if (c.dataText != nullptr) {
        storeRawUsage(c.dataText);
    }
    UsageTracker& usage = start();

    EXPECT_EQ(usage.usedSeconds(), c.expectUsed);
    EXPECT_EQ(usage.hasPassword(), c.expectPassword[0] != L'\0');
    EXPECT_TRUE(usage.checkPassword(c.expectPassword));
    EXPECT_EQ(usage.requirePasswordOnExit(), c.expectExitFlag);

    const DailyUsage saved = savedUsage();
    EXPECT_EQ(saved.date, kTestDate);
    EXPECT_EQ(saved.usedSeconds, c.expectUsed);
    if (c.expectPassword[0] == L'\0') {
        EXPECT_EQ(saved.settingsPassword, L"");
    } else {
        // The older file's plain password is replaced by its hash at start.
        EXPECT_TRUE(savedPasswordIs(saved.settingsPassword, c.expectPassword));
    }
    EXPECT_EQ(saved.requirePasswordOnExit, c.expectExitFlag);
    EXPECT_EQ(saved.warningShown, c.expectWarningShown);
    EXPECT_EQ(saved.threeMinuteNotificationShown, c.expectWarningShown);

    // The warning follows the record: due at 300 left only if not yet shown today.
    ASSERT_TRUE(usage.setLimit(static_cast<int32_t>((usage.usedSeconds() + 301) / 60) + 1, true));
    bool warned = false;
    while (usage.remainingSeconds() > 200) {
        warned = tickSecond().showWarning || warned;
    }
    EXPECT_EQ(warned, !c.expectWarningShown);
}

constexpr const char* kStaleRecord =
    R"({"date": "2024-03-14", "used_seconds": 5000, "warning_shown": true, "settings_password": "Se\"cret",)"
    R"( "require_password_on_exit": true, "three_minute_notification_shown": true,)"
    R"( "two_minute_notification_shown": true, "one_minute_notification_shown": true})";
constexpr const char* kFutureRecord =
    R"({"date": "2030-01-01", "used_seconds": 60, "settings_password": "x", "warning_shown": true})";
constexpr const char* kTodaysRecord =
    R"({"date": "2024-03-15", "used_seconds": 1234, "warning_shown": true, "settings_password": "Se\"cret",)"
    R"( "require_password_on_exit": false, "three_minute_notification_shown": true})";

INSTANTIATE_TEST_SUITE_P(
    Tracker, TrackerLoadUsage,
    testing::Values(LoadCase{"Missing", nullptr, 0, L"", false, false},
                    LoadCase{"StaleKeepsPasswordAndExitFlag", kStaleRecord, 0, L"Se\"cret", true, false},
                    LoadCase{"LaterDate", kFutureRecord, 0, L"x", false, false},
                    LoadCase{"Today", kTodaysRecord, 1234, L"Se\"cret", false, true}),
    [](const testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

TEST_F(TrackerLoadConfig, MissingFileIsCreatedFromTheDefaults)
{
    UsageTracker& usage = start();
    EXPECT_EQ(readWholeFile(configPath()), configFileText(AppConfig{}));
    EXPECT_EQ(usage.config().dailyLimitMinutes, 120);
    EXPECT_TRUE(usage.config().showLastThreeMinuteNotifications);
    EXPECT_EQ(currentLanguage(), Language::English);
    EXPECT_EQ(usage.remainingSeconds(), 120 * 60);
}

TEST_F(TrackerLoadConfig, StoredSettingsAreAppliedAndRewritten)
{
    ASSERT_TRUE(writeWholeFile(configPath(), "{\"language\":\"ru\",\"daily_limit_minutes\":45,\n"
                                             "\"show_last_three_minute_notifications\":false,"
                                             "\"status_window_x\":10,\"status_window_y\":20}"));
    UsageTracker& usage = start();
    EXPECT_EQ(usage.config().dailyLimitMinutes, 45);
    EXPECT_FALSE(usage.config().showLastThreeMinuteNotifications);
    EXPECT_EQ(usage.config().language, Language::Russian);
    EXPECT_EQ(currentLanguage(), Language::Russian);
    EXPECT_EQ(readWholeFile(configPath()), configFileText(usage.config()));
}

class TrackerInvalidLimit : public TrackerTest, public testing::WithParamInterface<int32_t> {};

TEST_P(TrackerInvalidLimit, IsRefusedAndChangesNothing)
{
    // Spent and in the one more minute: a refused change must not move its end either.
    UsageTracker& usage = startWithSecondsLeft(30, 0);
    const std::string configBefore = readWholeFile(configPath());
    advance(30 * kSecondMs);

    EXPECT_FALSE(usage.setLimit(GetParam(), false));
    EXPECT_EQ(usage.config().dailyLimitMinutes, 30);
    EXPECT_TRUE(usage.config().showLastThreeMinuteNotifications);
    EXPECT_EQ(readWholeFile(configPath()), configBefore);
    EXPECT_TRUE(usage.isLimitReached());
    int lockedAt = 0;
    for (int second = 1; second <= 60 && lockedAt == 0; ++second) {
        lockedAt = tickSecond().lockNow ? second : 0;
    }
    EXPECT_EQ(lockedAt, 30);
}

INSTANTIATE_TEST_SUITE_P(Tracker, TrackerInvalidLimit, testing::Values(0, 1441, -1, INT32_MIN, INT32_MAX));

TEST_F(TrackerSettings, LimitBoundsAreAcceptedAndSaved)
{
    UsageTracker& usage = start();
    const struct {
        int32_t minutes;
        bool notifications;
    } cases[] = {{1, false}, {1440, true}, {90, false}};
    for (const auto& c : cases) {
        EXPECT_TRUE(usage.setLimit(c.minutes, c.notifications)) << c.minutes;
        const AppConfig saved = savedConfig();
        EXPECT_EQ(saved.dailyLimitMinutes, c.minutes);
        EXPECT_EQ(saved.showLastThreeMinuteNotifications, c.notifications);
        EXPECT_EQ(usage.remainingSeconds(), c.minutes * 60);
    }
}

BOOL refusingWrite(HANDLE, const void*, DWORD, DWORD*)
{
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

TEST_F(TrackerSettings, FailedConfigWriteIsReportedAndTheValuesKept)
{
    UsageTracker& usage = startWithSecondsLeft(30, 600);
    // Neither file can be written any more (a full disk).
    // Outlives the test: the tracker still saves when the fixture ends it.
    static HeldFileCalls refusing;
    refusing = systemHeldFileCalls();
    refusing.write = refusingWrite;
    setHeldFileCalls(&refusing);

    EXPECT_FALSE(usage.setLimit(45, false));
    EXPECT_EQ(usage.config().dailyLimitMinutes, 45);
    EXPECT_FALSE(usage.config().showLastThreeMinuteNotifications);
    // Counting goes on in memory although data.json cannot be written.
    tickSecond();
    EXPECT_EQ(usage.remainingSeconds(), 45 * 60 - 1200 - 1);
}

TEST_F(TrackerSettings, LanguageIsAppliedAndSaved)
{
    UsageTracker& usage = start();
    usage.setLanguage(Language::Russian);
    EXPECT_EQ(currentLanguage(), Language::Russian);
    EXPECT_EQ(savedConfig().language, Language::Russian);
    usage.setLanguage(Language::English);
    EXPECT_EQ(currentLanguage(), Language::English);
    EXPECT_EQ(savedConfig().language, Language::English);
}

TEST_F(TrackerSettings, StatusWindowPositionWithMinusOneMeansNone)
{
    const struct {
        int32_t x, y;
        bool saved;
    } cases[] = {
        {-1, -1, false}, {-1, 40, false}, {40, -1, false}, {0, 0, true}, {100, 200, true}, {-5, 70000, true},
        {-2, -2, true},
    };
    UsageTracker& usage = start();
    POINT untouched = {12345, 54321};
    EXPECT_FALSE(usage.savedStatusWindowPosition(untouched)) << "a fresh start has no position";
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << ", " << c.y);
        usage.setStatusWindowPosition(c.x, c.y);
        const AppConfig file = savedConfig();
        EXPECT_EQ(file.statusWindowX, c.x);
        EXPECT_EQ(file.statusWindowY, c.y);

        POINT point = {12345, 54321};
        EXPECT_EQ(usage.savedStatusWindowPosition(point), c.saved);
        EXPECT_EQ(point.x, c.saved ? c.x : 12345);
        EXPECT_EQ(point.y, c.saved ? c.y : 54321);
    }
    // The last position survives a restart.
    UsageTracker& restarted = start();
    POINT point = {};
    ASSERT_TRUE(restarted.savedStatusWindowPosition(point));
    EXPECT_EQ(point.x, -2);
    EXPECT_EQ(point.y, -2);
}

TEST_F(TrackerPassword, SetCheckAndRemove)
{
    UsageTracker& usage = start();
    EXPECT_FALSE(usage.hasPassword());
    EXPECT_FALSE(usage.requirePasswordOnExit());

    const std::wstring password = L"Пароль \"1\"\t\\x";
    usage.setPassword(password);
    usage.setRequirePasswordOnExit(true);
    EXPECT_TRUE(usage.hasPassword());
    EXPECT_TRUE(usage.requirePasswordOnExit());
    DailyUsage saved = savedUsage();
    EXPECT_TRUE(savedPasswordIs(saved.settingsPassword, password));
    EXPECT_TRUE(saved.requirePasswordOnExit);

    const struct {
        const wchar_t* text;
        bool matches;
    } attempts[] = {
        {L"Пароль \"1\"\t\\x", true}, {L"пароль \"1\"\t\\x", false}, {L"Пароль \"1\"\t\\", false},
        {L"Пароль \"1\"\t\\x ", false}, {L"", false},
    };
    for (size_t i = 0; i < std::size(attempts); ++i) {
        EXPECT_EQ(usage.checkPassword(attempts[i].text), attempts[i].matches) << "attempt " << i;
    }

    usage.removePassword();
    EXPECT_FALSE(usage.hasPassword());
    EXPECT_FALSE(usage.requirePasswordOnExit()) << "removing the password also clears the exit flag";
    saved = savedUsage();
    EXPECT_EQ(saved.settingsPassword, L"");
    EXPECT_FALSE(saved.requirePasswordOnExit);
}

TEST_F(TrackerPassword, OlderPlainPasswordIsReplacedByItsHashAtStart)
{
    storeRawUsage(R"({"date": "2024-03-15", "used_seconds": 77, "settings_password": "old \"pw\"",)"
                  R"( "require_password_on_exit": true})");
    UsageTracker& usage = start();
    EXPECT_TRUE(usage.checkPassword(L"old \"pw\""));
    EXPECT_FALSE(usage.checkPassword(L"old"));
    EXPECT_TRUE(usage.requirePasswordOnExit());

    const DailyUsage saved = savedUsage();
    EXPECT_TRUE(savedPasswordIs(saved.settingsPassword, L"old \"pw\""));
    DailyUsage expected = todayWith(77);
    expected.settingsPassword = saved.settingsPassword;
    expected.requirePasswordOnExit = true;
    EXPECT_EQ(readWholeFile(dataPath()), usageFileText(expected)) << "the rest of the record is as before";
    EXPECT_EQ(readWholeFile(dataPath()).find("old"), std::string::npos);

    // A hashed value is kept as it is by the next start.
    UsageTracker& restarted = start();
    EXPECT_EQ(savedUsage().settingsPassword, saved.settingsPassword);
    EXPECT_TRUE(restarted.checkPassword(L"old \"pw\""));
}

TEST_F(TrackerPassword, TheProcessIsProtectedExactlyWhileTheExitPasswordIsRequired)
{
    storeRawUsage(R"({"date": "2024-03-15", "used_seconds": 1, "settings_password": "pw",)"
                  R"( "require_password_on_exit": true})");
    UsageTracker& usage = start();
    EXPECT_GT(protectionRecord.calls, 0) << "applied at start";
    EXPECT_TRUE(protectionRecord.protect);

    const struct {
        const char* step;
        bool (*change)(UsageTracker&);
        bool protect;
    } steps[] = {
        {"exit flag off", [](UsageTracker& u) { return u.setRequirePasswordOnExit(false); }, false},
        {"exit flag on", [](UsageTracker& u) { return u.setRequirePasswordOnExit(true); }, true},
        {"password removed", [](UsageTracker& u) { return u.removePassword(); }, false},
        {"exit flag without a password", [](UsageTracker& u) { return u.setRequirePasswordOnExit(true); }, false},
        {"password set with the flag on", [](UsageTracker& u) { return u.setPassword(L"new"); }, true},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        protectionRecord = {};
        EXPECT_TRUE(s.change(usage));
        EXPECT_GT(protectionRecord.calls, 0);
        EXPECT_EQ(protectionRecord.protect, s.protect);
    }

    stop();
    storeRawUsage(R"({"date": "2024-03-15", "used_seconds": 1, "settings_password": "pw"})");
    protectionRecord = {};
    start();
    EXPECT_GT(protectionRecord.calls, 0);
    EXPECT_FALSE(protectionRecord.protect);
}

TEST_F(TrackerPassword, ExitFlagAloneIsSaved)
{
    UsageTracker& usage = start();
    usage.setRequirePasswordOnExit(true);
    EXPECT_TRUE(savedUsage().requirePasswordOnExit);
    usage.setRequirePasswordOnExit(false);
    EXPECT_FALSE(savedUsage().requirePasswordOnExit);
}

TEST_F(TrackerPassword, ResetDayKeepsPasswordAndExitFlag)
{
    UsageTracker& usage = startWithSecondsLeft(6, 301);
    usage.setPassword(L"keep");
    usage.setRequirePasswordOnExit(true);
    ASSERT_TRUE(tickSecond().showWarning);

    usage.resetDay();
    EXPECT_EQ(usage.usedSeconds(), 0);
    EXPECT_TRUE(usage.checkPassword(L"keep"));
    EXPECT_TRUE(usage.requirePasswordOnExit());
    const DailyUsage saved = savedUsage();
    EXPECT_EQ(saved.date, kTestDate);
    EXPECT_EQ(saved.usedSeconds, 0);
    EXPECT_FALSE(saved.warningShown);
    EXPECT_TRUE(savedPasswordIs(saved.settingsPassword, L"keep"));
    EXPECT_TRUE(saved.requirePasswordOnExit);

    // And a restart reads them back.
    UsageTracker& restarted = start();
    EXPECT_TRUE(restarted.checkPassword(L"keep"));
    EXPECT_TRUE(restarted.requirePasswordOnExit());
}

}  // namespace
}  // namespace tracker_test
