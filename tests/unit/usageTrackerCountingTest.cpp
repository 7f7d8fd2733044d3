// Counting seconds: the warning, the minute notices, the lock at the limit and
// the idle rule, stepped one simulated second at a time.
#include <string>
#include <utility>
#include <vector>

#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

class TrackerCounting : public TrackerTest {};
class TrackerIdle : public TrackerTest {};

int expectedNoticeAt(int32_t secondsLeft)
{
    switch (secondsLeft) {
    case 180: return 3;
    case 120: return 2;
    case 60: return 1;
    default: return 0;
    }
}

TEST_F(TrackerCounting, EverySecondOfADayUpToTheLockAndBeyond)
{
    constexpr int32_t kLimitMinutes = 10;
    constexpr int32_t kLimitSeconds = kLimitMinutes * 60;
    UsageTracker& usage = startWithSecondsLeft(kLimitMinutes, kLimitSeconds);

    // The simulated 32-bit tick counter wraps 30 s into this run.
    for (int32_t used = 1; used <= kLimitSeconds; ++used) {
        const int32_t left = kLimitSeconds - used;
        SCOPED_TRACE(testing::Message() << left << " s left");
        const TickResult result = tickSecond();
        ASSERT_EQ(usage.usedSeconds(), used);
        EXPECT_EQ(usage.remainingSeconds(), left);
        EXPECT_EQ(usage.isLimitReached(), left == 0);
        EXPECT_EQ(result.showWarning, left == kWarningSeconds);
        EXPECT_EQ(result.minuteNotice, expectedNoticeAt(left));
        EXPECT_EQ(result.lockNow, left == 0);

        // Every counted second and every flag is on disk before the tick returns.
        const DailyUsage saved = savedUsage();
        EXPECT_EQ(saved.date, kTestDate);
        EXPECT_EQ(saved.usedSeconds, used);
        EXPECT_EQ(saved.warningShown, left <= kWarningSeconds);
        EXPECT_EQ(saved.threeMinuteNotificationShown, left <= 180);
        EXPECT_EQ(saved.twoMinuteNotificationShown, left <= 120);
        EXPECT_EQ(saved.oneMinuteNotificationShown, left <= 60);
    }

    // Locked: the lock is asked once; later ticks count, save and ask nothing.
    countDataWritesFromNow();
    for (int second = 1; second <= 2 * 60; ++second) {
        const TickResult result = tickSecond();
        ASSERT_FALSE(result.lockNow) << second;
        ASSERT_FALSE(result.showWarning) << second;
        ASSERT_EQ(result.minuteNotice, 0) << second;
    }
    EXPECT_EQ(usage.usedSeconds(), kLimitSeconds);
    EXPECT_FALSE(dataFileWrittenSince());
}

// The first counted second of a program started today with some time left.
struct FirstSecondCase {
    const char* name;
    int64_t secondsLeftAtStart;
    bool warningShownBefore;
    bool noticeShownBefore;  // the notice due at the first second was shown by an earlier run
    bool expectWarning;
    int expectNotice;
    bool expectLock;
};

class TrackerFirstCountedSecond : public TrackerTest, public testing::WithParamInterface<FirstSecondCase> {};

TEST_P(TrackerFirstCountedSecond, ThresholdsOfTheFirstSecond)
{
    const FirstSecondCase& c = GetParam();
    constexpr int32_t kLimitMinutes = 60;
    DailyUsage stored = todayWith(kLimitMinutes * 60 - c.secondsLeftAtStart);
    stored.warningShown = c.warningShownBefore;
    stored.threeMinuteNotificationShown = c.noticeShownBefore;
    stored.twoMinuteNotificationShown = c.noticeShownBefore;
    storeConfig(kLimitMinutes);
    storeUsage(stored);
    UsageTracker& usage = start();

    const TickResult result = tickSecond();
    EXPECT_EQ(usage.remainingSeconds(), c.secondsLeftAtStart - 1);
    EXPECT_EQ(result.showWarning, c.expectWarning);
    EXPECT_EQ(result.minuteNotice, c.expectNotice);
    EXPECT_EQ(result.lockNow, c.expectLock);
    EXPECT_EQ(savedUsage().warningShown, c.warningShownBefore || c.expectWarning);
}

INSTANTIATE_TEST_SUITE_P(
    Tracker, TrackerFirstCountedSecond,
    testing::Values(FirstSecondCase{"Leaves301", 302, false, false, false, 0, false},
                    FirstSecondCase{"Leaves300", 301, false, false, true, 0, false},
                    FirstSecondCase{"StartedWith200Leaves199", 200, false, false, true, 0, false},
                    FirstSecondCase{"WarningAlreadyShownToday", 200, true, false, false, 0, false},
                    FirstSecondCase{"WarningAndThreeMinuteNoticeTogether", 181, false, false, true, 3, false},
                    FirstSecondCase{"TwoMinuteNoticeAlreadyShownToday", 121, true, true, false, 0, false},
                    FirstSecondCase{"LeavesNothingLocksWithoutWarning", 1, false, false, false, 0, true}),
    [](const testing::TestParamInfo<FirstSecondCase>& info) { return std::string(info.param.name); });

// What a whole day under a short limit brings, as (seconds left, event) pairs.
struct ShortLimitCase {
    int32_t limitMinutes;
    std::vector<std::pair<int32_t, int>> expectedNotices;  // (seconds left, minutes)
    int32_t expectedWarningAt;
};

class TrackerShortLimit : public TrackerTest, public testing::WithParamInterface<ShortLimitCase> {};

TEST_P(TrackerShortLimit, WarningAndNoticesOfAWholeDay)
{
    const ShortLimitCase& c = GetParam();
    const int32_t limitSeconds = c.limitMinutes * 60;
    startWithSecondsLeft(c.limitMinutes, limitSeconds);

    std::vector<int32_t> warnings;
    std::vector<std::pair<int32_t, int>> notices;
    int locks = 0;
    for (int32_t used = 1; used <= limitSeconds; ++used) {
        const TickResult result = tickSecond();
        const int32_t left = tracker().remainingSeconds();
        if (result.showWarning) {
            warnings.push_back(left);
        }
        if (result.minuteNotice != 0) {
            notices.emplace_back(left, result.minuteNotice);
        }
        locks += result.lockNow ? 1 : 0;
    }
    EXPECT_EQ(warnings, std::vector<int32_t>{c.expectedWarningAt});
    EXPECT_EQ(notices, c.expectedNotices);
    EXPECT_EQ(locks, 1);
    EXPECT_EQ(tracker().remainingSeconds(), 0);
}

INSTANTIATE_TEST_SUITE_P(Tracker, TrackerShortLimit,
                         testing::Values(ShortLimitCase{1, {}, 59}, ShortLimitCase{2, {{60, 1}}, 119},
                                         ShortLimitCase{3, {{120, 2}, {60, 1}}, 179},
                                         ShortLimitCase{5, {{180, 3}, {120, 2}, {60, 1}}, 299},
                                         ShortLimitCase{6, {{180, 3}, {120, 2}, {60, 1}}, 300}),
                         [](const testing::TestParamInfo<ShortLimitCase>& info) {
                             return std::to_string(info.param.limitMinutes) + "Minutes";
                         });

TEST_F(TrackerCounting, NoticesOffSetNoFlagsButTheWarningStillComes)
{
    constexpr int32_t kLimitMinutes = 6;
    startWithSecondsLeft(kLimitMinutes, kLimitMinutes * 60, false);
    int warnings = 0;
    for (int32_t used = 1; used <= kLimitMinutes * 60; ++used) {
        const TickResult result = tickSecond();
        ASSERT_EQ(result.minuteNotice, 0) << used;
        warnings += result.showWarning ? 1 : 0;
        const DailyUsage saved = savedUsage();
        ASSERT_FALSE(saved.threeMinuteNotificationShown) << used;
        ASSERT_FALSE(saved.twoMinuteNotificationShown) << used;
        ASSERT_FALSE(saved.oneMinuteNotificationShown) << used;
    }
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(tracker().remainingSeconds(), 0);
}

TEST_F(TrackerCounting, NoticesSwitchedOnLaterTheSameDayStillComeAhead)
{
    constexpr int32_t kLimitMinutes = 10;
    UsageTracker& usage = startWithSecondsLeft(kLimitMinutes, 200, false);
    // Off while 180 left passes: that notice is lost for the day.
    while (usage.remainingSeconds() > 150) {
        ASSERT_EQ(tickSecond().minuteNotice, 0);
    }
    ASSERT_TRUE(usage.setLimit(kLimitMinutes, true));
    EXPECT_TRUE(savedConfig().showLastThreeMinuteNotifications);

    std::vector<std::pair<int32_t, int>> notices;
    while (usage.remainingSeconds() > 0) {
        const TickResult result = tickSecond();
        if (result.minuteNotice != 0) {
            notices.emplace_back(usage.remainingSeconds(), result.minuteNotice);
        }
    }
    const std::vector<std::pair<int32_t, int>> expected = {{120, 2}, {60, 1}};
    EXPECT_EQ(notices, expected);
    const DailyUsage saved = savedUsage();
    EXPECT_FALSE(saved.threeMinuteNotificationShown);
    EXPECT_TRUE(saved.twoMinuteNotificationShown);
    EXPECT_TRUE(saved.oneMinuteNotificationShown);
}

// The probe on its own: idle time across the 32-bit wrap and at the boundary.
struct IdleCase {
    const char* name;
    uint64_t now;  // the 32-bit counter is its low half
    uint32_t idleMs;
    bool active;
};

class TrackerIdleProbe : public TrackerTest, public testing::WithParamInterface<IdleCase> {};

TEST_P(TrackerIdleProbe, ActiveUpToFiveMinutesOfIdleTime)
{
    const IdleCase& c = GetParam();
    simulatedClock.tick64 = c.now;
    simulatedClock.lastInput = static_cast<uint32_t>(c.now) - c.idleMs;
    EXPECT_EQ(IdleProbe().isUserActive(), c.active);
}

constexpr uint64_t kAfterWrap = (uint64_t{1} << 32) + 1000;  // 32-bit counter reads 1000
constexpr uint64_t kNoWrap = 10'000'000;

INSTANTIATE_TEST_SUITE_P(
    Tracker, TrackerIdleProbe,
    testing::Values(IdleCase{"InputJustNow", kNoWrap, 0, true}, IdleCase{"ExactlyFiveMinutes", kNoWrap, 300000, true},
                    IdleCase{"OneMillisecondMore", kNoWrap, 300001, false},
                    IdleCase{"HoursIdle", kNoWrap, 3 * 3600 * 1000, false},
                    IdleCase{"InputBeforeWrapWithinFiveMinutes", kAfterWrap, 300000, true},
                    IdleCase{"InputBeforeWrapTooLongAgo", kAfterWrap, 300001, false},
                    IdleCase{"InputOneMillisecondBeforeWrap", kAfterWrap, 1001, true}),
    [](const testing::TestParamInfo<IdleCase>& info) { return std::string(info.param.name); });

TEST_F(TrackerIdle, ProbeReportsIdleWhenLastInputIsUnknown)
{
    simulatedClock.lastInputAvailable = false;
    EXPECT_FALSE(IdleProbe().isUserActive());
}

TEST_F(TrackerIdle, CountsFiveMinutesAfterTheLastInputThenNothingUntilInput)
{
    UsageTracker& usage = startWithSecondsLeft(120, 120 * 60);
    ASSERT_EQ(tickSecond().lockNow, false);
    ASSERT_EQ(usage.usedSeconds(), 1);

    // The last input stays at this moment; the 32-bit counter wraps meanwhile.
    simulatedClock.userPresent = false;
    for (int idleSeconds = 1; idleSeconds <= 300; ++idleSeconds) {
        tickSecond();
        ASSERT_EQ(usage.usedSeconds(), 1 + idleSeconds) << "idle " << idleSeconds << " s still counts";
    }
    countDataWritesFromNow();
    for (int idleSeconds = 301; idleSeconds <= 900; ++idleSeconds) {
        const TickResult result = tickSecond();
        ASSERT_EQ(usage.usedSeconds(), 301) << "idle " << idleSeconds << " s";
        ASSERT_FALSE(result.showWarning || result.lockNow || result.minuteNotice != 0);
    }
    EXPECT_FALSE(dataFileWrittenSince()) << "an idle tick saved data.json";

    // The input comes with this tick: none of the second before it was active.
    simulatedClock.userPresent = true;
    tickSecond();
    EXPECT_EQ(usage.usedSeconds(), 301);
    tickSecond();
    EXPECT_EQ(usage.usedSeconds(), 302);
    EXPECT_EQ(savedUsage().usedSeconds, 302);
}

TEST_F(TrackerIdle, FailedInputQueryCountsNothing)
{
    UsageTracker& usage = startWithSecondsLeft(6, 301);
    countDataWritesFromNow();
    simulatedClock.lastInputAvailable = false;
    for (int second = 1; second <= 10; ++second) {
        const TickResult result = tickSecond();
        ASSERT_FALSE(result.showWarning || result.lockNow || result.minuteNotice != 0) << second;
    }
    EXPECT_EQ(usage.remainingSeconds(), 301);
    EXPECT_FALSE(dataFileWrittenSince());

    simulatedClock.lastInputAvailable = true;
    EXPECT_TRUE(tickSecond().showWarning);
    EXPECT_EQ(usage.remainingSeconds(), 300);
}

TEST_F(TrackerIdle, ProbeIsNotConsultedOnceTheLimitIsReached)
{
    UsageTracker& usage = startWithSecondsLeft(5, 2);
    tickSecond();
    tickSecond();
    ASSERT_TRUE(usage.isLimitReached());
    const int queries = simulatedClock.lastInputQueries;
    for (int second = 1; second <= 90; ++second) {
        tickSecond();
    }
    EXPECT_EQ(simulatedClock.lastInputQueries, queries);
}

TEST(SavedCount, StoredSecondsPlusThoseCountedMeanwhileStopAtTheLargestCount)
{
    const struct {
        int64_t stored;
        int64_t counted;
        int64_t sum;
    } cases[] = {
        {100, 20, 120},
        {INT64_MAX - 5, 5, INT64_MAX},
        {INT64_MAX - 5, 6, INT64_MAX},
        {INT64_MAX, INT64_MAX, INT64_MAX},
        {0, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(saturatingAdd(c.stored, c.counted), c.sum) << c.stored << " + " << c.counted;
    }
}

}  // namespace
}  // namespace tracker_test
