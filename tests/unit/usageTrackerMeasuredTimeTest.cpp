// Time measured between ticks: a late tick counts the active time that really
// passed, judged from the inputs seen at the two ticks; sleep counts nothing.
// And the local date, whose zone offset counts only within the world's zones.
#include <algorithm>
#include <string>
#include <vector>

#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

constexpr uint64_t kMinuteMs = 60 * kSecondMs;
constexpr uint64_t kUnitsPerMs = 10000;

// The measure on its own: two inputs known, the time between, and sleep.
struct SpanCase {
    const char* name;
    uint64_t awakeMs;
    uint64_t elapsedMs;  // tick count, sleep included
    int64_t previousInputAgeMs;  // -1: none known
    uint64_t inputAgeMs;
    uint64_t expectedMs;
};

class TrackerActiveTimeOf : public testing::TestWithParam<SpanCase> {};

TEST_P(TrackerActiveTimeOf, CountsTheInstantsWithinFiveMinutesAfterAKnownInput)
{
    const SpanCase& c = GetParam();
    TickSpan span;
    span.awake = c.awakeMs * kUnitsPerMs;
    span.elapsedMs = c.elapsedMs;
    if (c.previousInputAgeMs >= 0) {
        span.previousInputAgeMs = static_cast<uint64_t>(c.previousInputAgeMs);
    }
    span.inputAgeMs = c.inputAgeMs;
    EXPECT_EQ(activeTimeOf(span), c.expectedMs * kUnitsPerMs);
}

INSTANTIATE_TEST_SUITE_P(
    Tracker, TrackerActiveTimeOf,
    testing::Values(
        SpanCase{"OnTime", 1000, 1000, 0, 0, 1000}, SpanCase{"FourSecondsLate", 4000, 4000, 0, 0, 4000},
        // Input a minute before the previous tick, the next one two minutes into the gap.
        SpanCase{"TenMinutesActiveAtThePreviousTick", 10 * kMinuteMs, 10 * kMinuteMs, kMinuteMs, 8 * kMinuteMs,
                 7 * kMinuteMs},
        SpanCase{"TenMinutesIdleAtThePreviousTick", 10 * kMinuteMs, 10 * kMinuteMs, 10 * kMinuteMs, 8 * kMinuteMs,
                 5 * kMinuteMs},
        // Between the end of the first five minutes and the next input nothing is known.
        SpanCase{"InputsFarApart", 10 * kMinuteMs, 10 * kMinuteMs, 0, kMinuteMs, 6 * kMinuteMs},
        SpanCase{"IdleThroughout", 10 * kMinuteMs, 10 * kMinuteMs, 10 * kMinuteMs, 20 * kMinuteMs, 0},
        SpanCase{"FiveMinutesEndInTheSpan", 1000, 1000, 299500, 300500, 500},
        SpanCase{"InputOnlyAtThisTick", 1000, 1000, 10 * kMinuteMs, 0, 0},
        SpanCase{"NoInputKnownBeforeOneInTheSpan", 10000, 10000, -1, 4000, 4000},
        // An input this tick sees for the first time, from before the previous tick.
        SpanCase{"InputFromBeforeThePreviousTick", 2000, 2000, 10 * kMinuteMs, 301000, 1000},
        // The tick count moves in steps of 10 to 16 ms; the awake time is what passed.
        SpanCase{"TickCountAStepBehind", 1000, 984, 0, 0, 1000},
        SpanCase{"TickCountAStepAhead", 1000, 1016, 0, 0, 1000},
        SpanCase{"AnHourOfSleep", 1000, 3601000, 0, 3601000, 0},
        // Asleep for four minutes of the five: the second after the resume still counts.
        SpanCase{"FourMinutesOfSleep", 1000, 241000, 0, 241000, 1000},
        SpanCase{"NothingPassed", 0, 0, 0, 0, 0}),
    [](const testing::TestParamInfo<SpanCase>& info) { return std::string(info.param.name); });

// Through the time seam: the user's inputs before and in the gap, a sleep in
// it, and what the late tick counts.
struct GapCase {
    const char* name;
    int idleTicksBefore;  // the previous tick sees the last input this many seconds old
    uint64_t sleepMs;     // the machine sleeps at the start of the gap
    bool input;           // an input after `toInputMs` of awake time
    uint64_t toInputMs;
    uint64_t afterMs;  // awake time from then to the late tick
    int64_t expectedSeconds;
};

class TrackerLateTick : public TrackerTest, public testing::WithParamInterface<GapCase> {};

TEST_P(TrackerLateTick, CountsTheActiveTimeThatPassed)
{
    const GapCase& c = GetParam();
    UsageTracker& usage = startWithSecondsLeft(120, 120 * 60);
    for (int second = 0; second < 3; ++second) {
        tickSecond();
    }
    simulatedClock.userPresent = false;
    for (int second = 0; second < c.idleTicksBefore; ++second) {
        tickSecond();
    }
    const int64_t before = usage.usedSeconds();
    sleepMachine(c.sleepMs);
    advance(c.toInputMs);
    if (c.input) {
        simulatedClock.lastInput = simulatedTickCount();
    }
    advance(c.afterMs);
    const TickResult result = tracker().tick();
    EXPECT_EQ(usage.usedSeconds() - before, c.expectedSeconds);
    EXPECT_EQ(savedUsage().usedSeconds, usage.usedSeconds());
    EXPECT_FALSE(result.lockNow);
}

INSTANTIATE_TEST_SUITE_P(
    Tracker, TrackerLateTick,
    testing::Values(GapCase{"FourSecondsLate", 0, 0, true, 4 * kSecondMs, 0, 4},
                    GapCase{"TenMinutesActiveAtThePreviousTick", 60, 0, true, 2 * kMinuteMs, 8 * kMinuteMs, 7 * 60},
                    GapCase{"TenMinutesIdleAtThePreviousTick", 10 * 60, 0, true, 2 * kMinuteMs, 8 * kMinuteMs, 5 * 60},
                    GapCase{"TenMinutesIdleWithoutInput", 10 * 60, 0, false, 0, 10 * kMinuteMs, 0},
                    GapCase{"ResumeFromAnHourOfSleep", 0, 60 * kMinuteMs, false, 0, kSecondMs, 0},
                    GapCase{"ResumeFromFourMinutesOfSleep", 0, 4 * kMinuteMs, false, 0, kSecondMs, 1}),
    [](const testing::TestParamInfo<GapCase>& info) { return std::string(info.param.name); });

TEST_F(TrackerTest, TicksOffTheSecondAddUpToTheTimeThatPassed)
{
    UsageTracker& usage = startWithSecondsLeft(120, 120 * 60);
    tickSecond();
    // Half a second late, and the tick count a step behind or ahead of the awake time.
    for (int tick = 0; tick < 10; ++tick) {
        advance(1500);
        simulatedClock.tick64 += tick % 2 == 0 ? -16 : 16;
        simulatedClock.lastInput = simulatedTickCount();
        usage.tick();
    }
    EXPECT_EQ(usage.usedSeconds(), 1 + 15);
}

// No tick below the limit marks where the time began: one period at most, then measured again.
enum class UnknownStart { Start, LimitRaised, NewDay };

std::string unknownStartName(UnknownStart after)
{
    switch (after) {
    case UnknownStart::Start: return "Start";
    case UnknownStart::LimitRaised: return "LimitRaised";
    case UnknownStart::NewDay: return "NewDay";
    }
    return "?";
}

class TrackerUnknownStart : public TrackerTest, public testing::WithParamInterface<UnknownStart> {};

TEST_P(TrackerUnknownStart, TheFirstTickCountsOnePeriodTheNextItsWholeGap)
{
    UsageTracker& usage = startWithSecondsLeft(30, 10);
    switch (GetParam()) {
    case UnknownStart::Start:
        break;
    case UnknownStart::LimitRaised:
        for (int second = 0; second < 20; ++second) {
            tickSecond();
        }
        ASSERT_TRUE(usage.isLimitReached());
        ASSERT_TRUE(usage.setLimit(40, true));
        break;
    case UnknownStart::NewDay:
        tickSecond();
        simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay + 1, 0, 0, 1);
        break;
    }
    // The new day starts from nothing.
    const int64_t before = GetParam() == UnknownStart::NewDay ? 0 : usage.usedSeconds();
    advance(10 * kMinuteMs);
    usage.tick();
    EXPECT_EQ(usage.usedSeconds(), before + 1);
    advance(4 * kSecondMs);
    usage.tick();
    EXPECT_EQ(usage.usedSeconds(), before + 5);
}

INSTANTIATE_TEST_SUITE_P(Tracker, TrackerUnknownStart,
                         testing::Values(UnknownStart::Start, UnknownStart::LimitRaised, UnknownStart::NewDay),
                         [](const testing::TestParamInfo<UnknownStart>& info) { return unknownStartName(info.param); });

// A late tick over the last minutes: the warning once, only the lowest passed
// minute's balloon, and the lock when the count reaches the limit, never past it.
struct JumpCase {
    const char* name;
    int32_t secondsLeft;
    uint64_t gapMs;
    bool expectWarning;
    int expectNotice;
    bool expectLock;
    std::vector<int> laterNotices;
};

class TrackerLateTickNotices : public TrackerTest, public testing::WithParamInterface<JumpCase> {};

TEST_P(TrackerLateTickNotices, OnlyTheLowestPassedMarkShowsAndTheCountStopsAtTheLimit)
{
    const JumpCase& c = GetParam();
    constexpr int32_t kLimitMinutes = 30;
    // Below five minutes, the warning came earlier today.
    DailyUsage stored = todayWith(kLimitMinutes * 60 - (c.secondsLeft + 1));
    stored.warningShown = c.secondsLeft + 1 <= kWarningSeconds;
    storeConfig(kLimitMinutes);
    storeUsage(stored);
    UsageTracker& usage = start();
    tickSecond();
    ASSERT_EQ(usage.remainingSeconds(), c.secondsLeft);

    advance(c.gapMs);
    const TickResult result = tracker().tick();
    const int64_t expectedLeft = std::max<int64_t>(0, c.secondsLeft - static_cast<int64_t>(c.gapMs / kSecondMs));
    EXPECT_EQ(usage.remainingSeconds(), expectedLeft);
    EXPECT_EQ(usage.usedSeconds(), kLimitMinutes * 60 - expectedLeft) << "never past the limit";
    EXPECT_EQ(result.showWarning, c.expectWarning);
    EXPECT_EQ(result.minuteNotice, c.expectNotice);
    EXPECT_EQ(result.lockNow, c.expectLock);
    const DailyUsage saved = savedUsage();
    EXPECT_EQ(saved.usedSeconds, usage.usedSeconds());
    EXPECT_EQ(saved.threeMinuteNotificationShown, expectedLeft <= 180);
    EXPECT_EQ(saved.twoMinuteNotificationShown, expectedLeft <= 120);
    EXPECT_EQ(saved.oneMinuteNotificationShown, expectedLeft <= 60);

    int warnings = 0;
    std::vector<int> notices;
    while (!usage.isLimitReached()) {
        const TickResult later = tickSecond();
        warnings += later.showWarning ? 1 : 0;
        if (later.minuteNotice != 0) {
            notices.push_back(later.minuteNotice);
        }
    }
    EXPECT_EQ(warnings, 0) << "the warning comes once";
    EXPECT_EQ(notices, c.laterNotices);

    // A limit raised afterwards gives what it adds, from now.
    ASSERT_TRUE(usage.setLimit(kLimitMinutes + 1, true));
    EXPECT_EQ(usage.remainingSeconds(), 60);
}

INSTANTIATE_TEST_SUITE_P(
    Tracker, TrackerLateTickNotices,
    testing::Values(JumpCase{"PassesTheWarning", 400, 120 * kSecondMs, true, 0, false, {3, 2, 1}},
                    JumpCase{"PassesTheWarningAndThreeMinutes", 400, 230 * kSecondMs, true, 3, false, {2, 1}},
                    JumpCase{"PassesThreeAndTwoMinutes", 200, 90 * kSecondMs, false, 2, false, {1}},
                    JumpCase{"PassesAllThree", 200, 150 * kSecondMs, false, 1, false, {}},
                    JumpCase{"ReachesTheLimit", 200, 200 * kSecondMs, false, 0, true, {}},
                    JumpCase{"WouldPassTheLimit", 200, 250 * kSecondMs, false, 0, true, {}}),
    [](const testing::TestParamInfo<JumpCase>& info) { return std::string(info.param.name); });

// The date: local time minus UTC counts only from -12 to +14 hours.
struct DateCase {
    const char* name;
    SYSTEMTIME utc;
    int64_t localMinusUtcMinutes;
    const wchar_t* date;
};

class TrackerZoneBound : public TrackerTest, public testing::WithParamInterface<DateCase> {};

TEST_P(TrackerZoneBound, TheDateUsesTheOffsetBoundedToTheWorldsZones)
{
    const DateCase& c = GetParam();
    simulatedClock.localMinusUtcMinutes = c.localMinusUtcMinutes;
    simulatedClock.local = shiftedTime(c.utc, c.localMinusUtcMinutes * 60 * 10'000'000);
    EXPECT_EQ(todayDateString(), c.date);
}

constexpr int64_t kThreeDaysMinutes = 3 * 24 * 60;

INSTANTIATE_TEST_SUITE_P(
    Tracker, TrackerZoneBound,
    testing::Values(DateCase{"ThreeDaysAheadAtNoon", localTimeOf(2024, 3, 15, 12), kThreeDaysMinutes, L"2024-03-16"},
                    DateCase{"ThreeDaysAheadInTheMorning", localTimeOf(2024, 3, 15, 9, 59), kThreeDaysMinutes,
                             L"2024-03-15"},
                    DateCase{"ThreeDaysBehindAtNoon", localTimeOf(2024, 3, 15, 12), -kThreeDaysMinutes,
                             L"2024-03-15"},
                    DateCase{"ThreeDaysBehindJustBeforeNoon", localTimeOf(2024, 3, 15, 11, 59), -kThreeDaysMinutes,
                             L"2024-03-14"},
                    DateCase{"ThreeDaysBehindAcrossAYear", localTimeOf(2025, 1, 1, 6), -kThreeDaysMinutes,
                             L"2024-12-31"},
                    DateCase{"Kiribati", localTimeOf(2024, 3, 15, 12), 14 * 60, L"2024-03-16"},
                    DateCase{"BakerIsland", localTimeOf(2024, 3, 15, 11, 59), -12 * 60, L"2024-03-14"},
                    DateCase{"India", localTimeOf(2024, 3, 15, 18, 30), 5 * 60 + 30, L"2024-03-16"},
                    DateCase{"Utc", localTimeOf(2024, 3, 15, 23, 59, 59), 0, L"2024-03-15"}),
    [](const testing::TestParamInfo<DateCase>& info) { return std::string(info.param.name); });

// A zone set three days back leaves the spent day's record two days ahead at
// most: it goes on. Three days ahead gives the next day, as UTC+14 would, once.
TEST_F(TrackerTest, AZoneThreeDaysAwayBuysNoMoreThanTheWorldsZones)
{
    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay, 12, 0, 0);
    UsageTracker& usage = startWithSecondsLeft(10, 0);
    const auto moveZone = [](int64_t localMinusUtcMinutes) {
        SYSTEMTIME utc = {};
        simulatedUtcTime(&utc);
        simulatedClock.localMinusUtcMinutes = localMinusUtcMinutes;
        simulatedClock.local = shiftedTime(utc, localMinusUtcMinutes * 60 * 10'000'000);
    };

    moveZone(-kThreeDaysMinutes);
    tickSecond();
    EXPECT_TRUE(usage.isLimitReached()) << "a fresh allowance from a zone three days back";
    EXPECT_EQ(savedUsage().date, kTestDate);

    moveZone(kThreeDaysMinutes);
    tickSecond();
    EXPECT_EQ(savedUsage().date, kDayAfterTestDate);
    EXPECT_FALSE(usage.isLimitReached());
    for (int second = 0; second < 5; ++second) {
        tickSecond();
    }
    const int64_t usedEarly = usage.usedSeconds();
    ASSERT_GT(usedEarly, 0);

    for (const int64_t zone : {-kThreeDaysMinutes, int64_t{0}, kThreeDaysMinutes, -kThreeDaysMinutes}) {
        SCOPED_TRACE(zone);
        moveZone(zone);
        tickSecond();
        EXPECT_EQ(savedUsage().date, kDayAfterTestDate);
        EXPECT_GT(usage.usedSeconds(), usedEarly) << "the early day's count goes on";
    }
}

}  // namespace
}  // namespace tracker_test
