// The spent day: the one more minute after start-up, unlock and a lowered
// limit; raising the limit; a lock the system refused; the day boundary.
#include <string>
#include <utility>
#include <vector>

#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

class TrackerSpentDay : public TrackerTest {
protected:
    // The session as the control window finds it, and what the system does with a lock request.
    SessionLock session = SessionLock::Unlocked;
    bool systemAcceptsLocks = true;

    // One second as the control window runs it: the session's state while a
    // lock awaits its unlock, the tick, then the system's answer to a lock request.
    TickResult stepSecond()
    {
        if (tracker().awaitsUnlock()) {
            tracker().onSessionLockState(session);
        }
        const TickResult result = tickSecond();
        if (result.lockNow) {
            if (systemAcceptsLocks) {
                tracker().onLockAccepted();
                session = SessionLock::Locked;
            } else {
                tracker().onLockRefused();
            }
        }
        return result;
    }

    // The user unlocks the session, and the system says so.
    bool unlock()
    {
        session = SessionLock::Unlocked;
        return tracker().onSessionUnlock(session);
    }

    // Ticks once a second for `seconds` and returns at which second (1-based)
    // the lock was asked for, or 0; asserts it is asked at most once and that
    // nothing is counted meanwhile.
    int secondOfLockWithin(int seconds)
    {
        const int64_t usedBefore = tracker().usedSeconds();
        int lockedAt = 0;
        for (int second = 1; second <= seconds; ++second) {
            const TickResult result = stepSecond();
            EXPECT_FALSE(result.showWarning) << second;
            EXPECT_EQ(result.minuteNotice, 0) << second;
            if (result.lockNow) {
                EXPECT_EQ(lockedAt, 0) << "lock asked again at second " << second;
                lockedAt = lockedAt == 0 ? second : lockedAt;
            }
        }
        EXPECT_EQ(tracker().usedSeconds(), usedBefore);
        return lockedAt;
    }

    // Counts the last seconds of the day until the counted second that asks for the lock.
    void useUpTheDay()
    {
        while (tracker().remainingSeconds() > 1) {
            stepSecond();
        }
        ASSERT_TRUE(stepSecond().lockNow);
        ASSERT_TRUE(tracker().isLimitReached());
    }
};

class TrackerLockRefused : public TrackerSpentDay {
protected:
    TrackerLockRefused() { systemAcceptsLocks = false; }
};
class TrackerDayChange : public TrackerSpentDay {};

constexpr int kGraceSeconds = 60;
// Long enough to see that no second lock request follows.
constexpr int kWatchSeconds = 3 * 60;

struct SpentStartCase {
    const char* name;
    int64_t usedSeconds;
    bool userPresent;
};

class TrackerSpentStart : public TrackerSpentDay, public testing::WithParamInterface<SpentStartCase> {};

TEST_P(TrackerSpentStart, LocksOneMinuteAfterStartNotBefore)
{
    const SpentStartCase& c = GetParam();
    constexpr int32_t kLimitMinutes = 120;
    storeConfig(kLimitMinutes);
    storeUsage(todayWith(c.usedSeconds));
    UsageTracker& usage = start();
    ASSERT_TRUE(usage.isLimitReached());
    countDataWritesFromNow();
    simulatedClock.userPresent = c.userPresent;

    EXPECT_EQ(secondOfLockWithin(kWatchSeconds), kGraceSeconds);
    EXPECT_EQ(usage.usedSeconds(), c.usedSeconds);
    EXPECT_FALSE(dataFileWrittenSince()) << "the one more minute saved data.json";
}

INSTANTIATE_TEST_SUITE_P(Tracker, TrackerSpentStart,
                         testing::Values(SpentStartCase{"ExactlySpent", 120 * 60, true},
                                         SpentStartCase{"SpentUnderAHigherEarlierLimit", 9000, true},
                                         SpentStartCase{"UserIdle", 120 * 60, false}),
                         [](const testing::TestParamInfo<SpentStartCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(TrackerSpentDay, EveryUnlockGrantsAFreshMinuteWithoutCounting)
{
    UsageTracker& usage = startWithSecondsLeft(30, 0);
    ASSERT_EQ(secondOfLockWithin(kGraceSeconds), kGraceSeconds);
    countDataWritesFromNow();
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(testing::Message() << "unlock " << round);
        advance(17 * kSecondMs);  // the lock screen stays up a while
        EXPECT_TRUE(unlock());
        EXPECT_EQ(secondOfLockWithin(kWatchSeconds), kGraceSeconds);
    }
    EXPECT_EQ(usage.usedSeconds(), 30 * 60);
    EXPECT_FALSE(dataFileWrittenSince());
}

// No lock of the program's was accepted during the minute, so no unlock can
// answer one: a notification then (a script's, or the user's own Win+L) changes nothing.
TEST_F(TrackerSpentDay, UnlockDuringTheMinuteChangesNothing)
{
    startWithSecondsLeft(30, 0);
    ASSERT_EQ(secondOfLockWithin(40), 0);
    EXPECT_FALSE(unlock());
    EXPECT_EQ(secondOfLockWithin(kWatchSeconds), kGraceSeconds - 40);
}

TEST_F(TrackerSpentDay, UnlockWithTimeLeftChangesNothing)
{
    UsageTracker& usage = startWithSecondsLeft(30, 90);
    tickSecond();
    const std::string before = readWholeFile(dataPath());
    EXPECT_FALSE(unlock());
    EXPECT_EQ(readWholeFile(dataPath()), before);
    // No minute was armed: counting goes on and the lock comes at 0 left.
    int lockedAt = 0;
    for (int second = 1; second <= 200 && lockedAt == 0; ++second) {
        lockedAt = tickSecond().lockNow ? second : 0;
    }
    EXPECT_EQ(lockedAt, 89);
    EXPECT_EQ(usage.usedSeconds(), 30 * 60);
}

TEST_F(TrackerSpentDay, UnlockAfterMidnightStartsTheNewDayWithoutTheMinute)
{
    UsageTracker& usage = startWithSecondsLeft(30, 0);
    ASSERT_EQ(secondOfLockWithin(kGraceSeconds), kGraceSeconds);
    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay + 1, 0, 0, 5);

    EXPECT_FALSE(unlock());
    EXPECT_EQ(usage.usedSeconds(), 0);
    const DailyUsage saved = savedUsage();
    EXPECT_EQ(saved.date, kDayAfterTestDate);
    EXPECT_EQ(saved.usedSeconds, 0);
    // Counting, no lock pending.
    for (int second = 1; second <= kWatchSeconds; ++second) {
        ASSERT_FALSE(tickSecond().lockNow) << second;
    }
    EXPECT_EQ(usage.usedSeconds(), kWatchSeconds);
}

struct LowerLimitCase {
    int32_t limitMinutes;
    bool spent;
};

class TrackerLowerLimit : public TrackerSpentDay, public testing::WithParamInterface<LowerLimitCase> {};

TEST_P(TrackerLowerLimit, BelowTheUsedTimeArmsTheMinute)
{
    const LowerLimitCase& c = GetParam();
    UsageTracker& usage = startWithSecondsLeft(30, 10 * 60 + 1);
    tickSecond();
    ASSERT_EQ(usage.usedSeconds(), 20 * 60);

    ASSERT_TRUE(usage.setLimit(c.limitMinutes, true));
    EXPECT_EQ(savedConfig().dailyLimitMinutes, c.limitMinutes);
    EXPECT_EQ(usage.isLimitReached(), c.spent);
    if (c.spent) {
        EXPECT_EQ(secondOfLockWithin(kWatchSeconds), kGraceSeconds);
    } else {
        EXPECT_FALSE(tickSecond().lockNow);
        EXPECT_EQ(usage.usedSeconds(), 20 * 60 + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Tracker, TrackerLowerLimit,
                         testing::Values(LowerLimitCase{21, false}, LowerLimitCase{20, true},
                                         LowerLimitCase{5, true}, LowerLimitCase{1, true}),
                         [](const testing::TestParamInfo<LowerLimitCase>& info) {
                             return std::to_string(info.param.limitMinutes) + "Minutes";
                         });

TEST_F(TrackerSpentDay, SetLimitDuringTheMinuteMovesItsEnd)
{
    UsageTracker& usage = startWithSecondsLeft(30, 0);
    ASSERT_EQ(secondOfLockWithin(45), 0);
    ASSERT_TRUE(usage.setLimit(20, false));
    EXPECT_EQ(secondOfLockWithin(kWatchSeconds), kGraceSeconds);
}

TEST_F(TrackerSpentDay, SetLimitWhileLockedDoesNotArmTheMinute)
{
    UsageTracker& usage = startWithSecondsLeft(30, 5);
    useUpTheDay();
    ASSERT_TRUE(usage.setLimit(25, true));
    EXPECT_EQ(secondOfLockWithin(kWatchSeconds), 0);
    // The unlock still answers the lock as usual.
    EXPECT_TRUE(unlock());
    EXPECT_EQ(secondOfLockWithin(kWatchSeconds), kGraceSeconds);
}

TEST_F(TrackerSpentDay, RaisingTheLimitResumesCountingWithoutRepeats)
{
    constexpr int32_t kLimitMinutes = 10;
    UsageTracker& usage = startWithSecondsLeft(kLimitMinutes, kLimitMinutes * 60);
    // Up to 120 s left: the warning, the 3- and the 2-minute notice are shown.
    while (usage.remainingSeconds() > 120) {
        tickSecond();
    }
    const DailyUsage shown = savedUsage();
    ASSERT_TRUE(shown.warningShown && shown.threeMinuteNotificationShown && shown.twoMinuteNotificationShown);
    ASSERT_FALSE(shown.oneMinuteNotificationShown);

    ASSERT_TRUE(usage.setLimit(5, true));  // 480 s used: spent, minute armed
    ASSERT_EQ(secondOfLockWithin(20), 0);
    ASSERT_TRUE(usage.setLimit(11, true));  // 180 s left again
    EXPECT_EQ(usage.remainingSeconds(), 180);
    const DailyUsage afterRaise = savedUsage();
    EXPECT_TRUE(afterRaise.warningShown);
    EXPECT_TRUE(afterRaise.twoMinuteNotificationShown);

    std::vector<std::pair<int32_t, int>> notices;
    int warnings = 0;
    int lockedAtLeft = -1;
    while (usage.remainingSeconds() > 0) {
        const TickResult result = tickSecond();
        warnings += result.showWarning ? 1 : 0;
        if (result.minuteNotice != 0) {
            notices.emplace_back(usage.remainingSeconds(), result.minuteNotice);
        }
        if (result.lockNow) {
            lockedAtLeft = usage.remainingSeconds();
        }
    }
    EXPECT_EQ(warnings, 0);
    const std::vector<std::pair<int32_t, int>> expected = {{60, 1}};
    EXPECT_EQ(notices, expected);
    EXPECT_EQ(lockedAtLeft, 0);
    EXPECT_EQ(usage.usedSeconds(), 11 * 60);
    // Locked again: the minute armed by the lowered limit brings no second request.
    EXPECT_EQ(secondOfLockWithin(kWatchSeconds), 0);
}

TEST_F(TrackerSpentDay, RaisingTheLimitWhileLockedCountsToTheNewLimitAndLocksAgain)
{
    UsageTracker& usage = startWithSecondsLeft(10, 3);
    useUpTheDay();
    ASSERT_TRUE(usage.setLimit(11, true));
    int lockedAt = 0;
    for (int second = 1; second <= 2 * 60 && lockedAt == 0; ++second) {
        lockedAt = tickSecond().lockNow ? second : 0;
    }
    EXPECT_EQ(lockedAt, 60);
    EXPECT_EQ(savedUsage().usedSeconds, 11 * 60);
}

// LockWorkStation failed: ask again at every tick until something answers.
TEST_F(TrackerLockRefused, AskedAgainAtTheNextTickWithoutCounting)
{
    UsageTracker& usage = startWithSecondsLeft(30, 2);
    useUpTheDay();
    countDataWritesFromNow();
    for (int attempt = 1; attempt <= 5; ++attempt) {
        const TickResult result = stepSecond();
        EXPECT_TRUE(result.lockNow) << attempt;
        EXPECT_FALSE(result.showWarning) << attempt;
    }
    // The next request succeeds, and the session shows it locked: nothing more is asked.
    systemAcceptsLocks = true;
    EXPECT_EQ(secondOfLockWithin(kWatchSeconds), 1);
    EXPECT_EQ(usage.usedSeconds(), 30 * 60);
    EXPECT_FALSE(dataFileWrittenSince());
}

TEST_F(TrackerLockRefused, AfterTheMinuteOfAStartOnASpentDay)
{
    UsageTracker& usage = startWithSecondsLeft(30, 0);
    ASSERT_EQ(secondOfLockWithin(kGraceSeconds), kGraceSeconds);
    EXPECT_TRUE(stepSecond().lockNow);
    EXPECT_TRUE(usage.isLimitReached());
}

// The session was never locked, so an unlock notification is not the system's:
// no minute, and the lock is asked for again at the next tick.
TEST_F(TrackerLockRefused, AnUnlockNotificationGrantsNothing)
{
    startWithSecondsLeft(30, 1);
    useUpTheDay();
    for (int round = 1; round <= 3; ++round) {
        EXPECT_FALSE(unlock()) << round;
        EXPECT_TRUE(stepSecond().lockNow) << round;
    }
}

TEST_F(TrackerLockRefused, SetLimitKeepingTheDaySpentGivesTheFreshMinute)
{
    UsageTracker& usage = startWithSecondsLeft(30, 1);
    useUpTheDay();
    ASSERT_TRUE(usage.setLimit(15, true));
    systemAcceptsLocks = true;
    EXPECT_EQ(secondOfLockWithin(kWatchSeconds), kGraceSeconds);
}

TEST_F(TrackerLockRefused, RaisingTheLimitCountsOnAndTheNextLockIsAskedOnce)
{
    UsageTracker& usage = startWithSecondsLeft(30, 1);
    useUpTheDay();
    ASSERT_TRUE(usage.setLimit(31, true));
    int locks = 0;
    for (int second = 1; second <= 60; ++second) {
        locks += tickSecond().lockNow ? 1 : 0;
    }
    EXPECT_EQ(locks, 1);
    EXPECT_EQ(usage.usedSeconds(), 31 * 60);
    EXPECT_EQ(secondOfLockWithin(kWatchSeconds), 0);
}

TEST_F(TrackerLockRefused, ANewDayClearsTheRetry)
{
    UsageTracker& usage = startWithSecondsLeft(30, 1);
    useUpTheDay();
    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay + 1, 0, 0, 1);
    const TickResult result = tickSecond();
    EXPECT_FALSE(result.lockNow);
    EXPECT_EQ(usage.usedSeconds(), 1);
    EXPECT_EQ(savedUsage().date, kDayAfterTestDate);
}

TEST_F(TrackerLockRefused, IgnoredWithTimeLeft)
{
    UsageTracker& usage = startWithSecondsLeft(30, 100);
    usage.onLockRefused();
    for (int second = 1; second <= 99; ++second) {
        ASSERT_FALSE(tickSecond().lockNow) << second;
    }
    EXPECT_TRUE(tickSecond().lockNow);
}

TEST_F(TrackerDayChange, MidnightStartsANewRecordWhileCounting)
{
    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay, 23, 59, 57);
    DailyUsage stored = todayWith(1000);
    stored.warningShown = true;
    stored.threeMinuteNotificationShown = true;
    stored.settingsPassword = L"Pass";
    stored.requirePasswordOnExit = true;
    storeConfig(120);
    storeUsage(stored);
    UsageTracker& usage = start();

    tickSecond();  // 23:59:58
    tickSecond();  // 23:59:59
    EXPECT_EQ(usage.usedSeconds(), 1002);
    EXPECT_EQ(savedUsage().date, kTestDate);

    tickSecond();  // 00:00:00: the new day, and its first counted second
    EXPECT_EQ(usage.usedSeconds(), 1);
    const DailyUsage saved = savedUsage();
    EXPECT_EQ(saved.date, kDayAfterTestDate);
    EXPECT_EQ(saved.usedSeconds, 1);
    EXPECT_FALSE(saved.warningShown);
    EXPECT_FALSE(saved.threeMinuteNotificationShown);
    EXPECT_TRUE(savedPasswordIs(saved.settingsPassword, L"Pass")) << "the plain password was replaced at start";
    EXPECT_TRUE(saved.requirePasswordOnExit);
}

// Any change of the local date while locked and idle starts a day with nothing
// used, except back by exactly one day (below).
struct DateChangeCase {
    const char* name;
    WORD year, month, day, hour, minute;
    const wchar_t* newDate;
};

class TrackerDateChange : public TrackerSpentDay, public testing::WithParamInterface<DateChangeCase> {};

TEST_P(TrackerDateChange, StartsANewDayEvenWhileLocked)
{
    const DateChangeCase& c = GetParam();
    UsageTracker& usage = startWithSecondsLeft(10, 1);
    useUpTheDay();
    simulatedClock.userPresent = false;
    advance(10 * 60 * kSecondMs);  // the user walked away from the locked screen
    simulatedClock.local = localTimeOf(c.year, c.month, c.day, c.hour, c.minute, 0);

    const TickResult result = tickSecond();
    EXPECT_FALSE(result.lockNow);
    EXPECT_EQ(usage.usedSeconds(), 0);
    EXPECT_EQ(usage.remainingSeconds(), 10 * 60);
    const DailyUsage saved = savedUsage();
    EXPECT_EQ(saved.date, c.newDate);
    EXPECT_EQ(saved.usedSeconds, 0);
    EXPECT_FALSE(saved.warningShown);

    // Counting again, and the day's warning comes anew.
    simulatedClock.userPresent = true;
    int warnings = 0;
    while (usage.remainingSeconds() > 0) {
        warnings += tickSecond().showWarning ? 1 : 0;
    }
    EXPECT_EQ(warnings, 1);
}

INSTANTIATE_TEST_SUITE_P(Tracker, TrackerDateChange,
                         testing::Values(DateChangeCase{"Midnight", 2024, 3, 16, 0, 0, L"2024-03-16"},
                                         DateChangeCase{"BackThreeDays", 2024, 3, 12, 12, 0, L"2024-03-12"},
                                         DateChangeCase{"IntoNextYear", 2025, 1, 1, 0, 0, L"2025-01-01"},
                                         DateChangeCase{"BackOneYear", 2023, 3, 15, 12, 0, L"2023-03-15"},
                                         DateChangeCase{"BackYears", 2019, 7, 4, 8, 30, L"2019-07-04"}),
                         [](const testing::TestParamInfo<DateChangeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(TrackerDayBoundary, OnlyARecordOfOneOrTwoDaysAfterTodayGoesOn)
{
    const struct {
        const wchar_t* record;
        const wchar_t* today;
        bool newDay;
    } cases[] = {
        {L"2024-03-15", L"2024-03-15", false},
        {L"2024-03-16", L"2024-03-15", false},  // the time zone moved back across midnight
        {L"2024-03-14", L"2024-03-15", true},   // midnight, or the zone moved forward
        {L"2024-03-17", L"2024-03-15", false},  // from UTC+14 to UTC-12 around midday UTC
        {L"2024-03-18", L"2024-03-15", true},   // a clock corrected back by three days
        {L"2024-01-01", L"2023-12-31", false},  // the day after, across a year
        {L"2024-01-02", L"2023-12-31", false},
        {L"2024-03-01", L"2024-02-29", false},  // and after a leap day
        {L"2025-03-15", L"2024-03-15", true},   // a clock corrected by a year
        {L"2023-03-15", L"2024-03-15", true},
        {L"2024-3-16", L"2024-03-15", true},    // not as the program writes dates
        {L"", L"2024-03-15", true},
        {L"2024-13-01", L"2024-12-31", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNewDay(c.record, c.today), c.newDay) << testing::PrintToString(std::wstring(c.record)) << " on "
                                                         << testing::PrintToString(std::wstring(c.today));
    }
}

// A spent day: the zone moved forward across midnight starts the next day
// early, once; moved back, the record of that next day goes on, so moving the
// zone back and forth never buys a second allowance.
// Around midday UTC, UTC+14 is already the next day and UTC-12 still the day
// before: a record two days ahead of today. Swinging between the two gives
// the first move's early day and no other.
TEST_F(TrackerDayChange, SwingingBetweenTheWorldsFarthestZonesGivesOneFreshAllowance)
{
    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay, 12, 0, 0);
    UsageTracker& usage = startWithSecondsLeft(10, 0);
    const struct {
        WORD day;
        WORD hour;
    } swing[] = {{kTestDay + 1, 2}, {kTestDay - 1, 0}, {kTestDay + 1, 2}, {kTestDay - 1, 0}};
    int freshAllowances = 0;
    WORD minute = 0;
    for (const auto& to : swing) {
        simulatedClock.local = localTimeOf(kTestYear, kTestMonth, to.day, to.hour, ++minute, 0);
        const int64_t before = usage.usedSeconds();
        for (int second = 0; second < 30; ++second) {
            tickSecond();
        }
        // A fresh allowance shows as a count that starts again from nothing.
        freshAllowances += usage.usedSeconds() < before ? 1 : 0;
    }
    EXPECT_EQ(freshAllowances, 1);
    EXPECT_EQ(savedUsage().date, kDayAfterTestDate);
    EXPECT_EQ(usage.usedSeconds(), 4 * 30) << "the early day's count goes on through the swing";
}

TEST_F(TrackerDayChange, TimeZoneMovesBuyOneEarlyDayAtMost)
{
    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay, 23, 30, 0);
    UsageTracker& usage = startWithSecondsLeft(10, 1);
    useUpTheDay();

    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay + 1, 0, 30, 0);  // forward
    tickSecond();
    EXPECT_EQ(savedUsage().date, kDayAfterTestDate);
    for (int second = 0; second < 5 * 60; ++second) {
        tickSecond();
    }
    const int64_t usedEarly = usage.usedSeconds();
    EXPECT_GT(usedEarly, 0);

    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay, 23, 31, 0);  // back
        tickSecond();
        EXPECT_EQ(savedUsage().date, kDayAfterTestDate) << "the early day goes on";
        EXPECT_GT(usage.usedSeconds(), usedEarly) << "its count goes on too";
        simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay + 1, 0, 31, 0);  // forward again
        tickSecond();
        EXPECT_EQ(savedUsage().date, kDayAfterTestDate);
    }
    // Its own midnight comes later, and ends it as any other.
    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay + 2, 0, 0, 1);
    tickSecond();
    EXPECT_EQ(usage.usedSeconds(), 1);
}

TEST_F(TrackerDayChange, MidnightDuringTheOneMoreMinuteClearsIt)
{
    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay, 23, 59, 30);
    UsageTracker& usage = startWithSecondsLeft(10, 0);
    ASSERT_TRUE(usage.isLimitReached());
    // Midnight falls 30 s into the minute; the new day counts from its first tick and never locks.
    for (int second = 1; second <= kWatchSeconds; ++second) {
        ASSERT_FALSE(tickSecond().lockNow) << second;
    }
    EXPECT_EQ(usage.usedSeconds(), kWatchSeconds - 29);
    EXPECT_EQ(savedUsage().date, kDayAfterTestDate);
}

TEST_F(TrackerDayChange, TodayDateStringIsTheZeroPaddedLocalDate)
{
    const struct {
        SYSTEMTIME time;
        const wchar_t* text;
    } cases[] = {
        {localTimeOf(2024, 3, 7), L"2024-03-07"},
        {localTimeOf(2024, 12, 31, 23, 59, 59), L"2024-12-31"},
        {localTimeOf(1999, 1, 1, 0, 0, 0), L"1999-01-01"},
        {localTimeOf(2024, 2, 29), L"2024-02-29"},
    };
    for (const auto& c : cases) {
        simulatedClock.local = c.time;
        EXPECT_EQ(todayDateString(), c.text);
    }
}

}  // namespace
}  // namespace tracker_test
