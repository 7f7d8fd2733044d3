// An unlock the system never reported: the user works at an unlocked session
// after an accepted lock, which starts the one more minute as an unlock does.
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

constexpr int kGraceSeconds = 60;
constexpr int kSettleSeconds = 5;  // input this soon after the lock may predate it

class TrackerUnreportedUnlock : public TrackerTest {
protected:
    SessionLock state = SessionLock::Unlocked;

    // A spent day whose lock the system accepted; returns nothing until then.
    UsageTracker& lockedDay()
    {
        UsageTracker& usage = startWithSecondsLeft(30, 1);
        EXPECT_TRUE(tickSecond().lockNow);
        EXPECT_TRUE(usage.awaitsUnlock());
        return usage;
    }

    struct Second {
        bool unlockSeen = false;
        bool lockNow = false;
    };

    // One second as the control window runs it: the lock state while a lock awaits its unlock, then the tick.
    Second step()
    {
        advance(kSecondMs);
        Second result;
        if (tracker().awaitsUnlock()) {
            result.unlockSeen = tracker().onSessionLockState(state);
        }
        result.lockNow = tracker().tick().lockNow;
        return result;
    }

    // Steps up to `seconds` and returns the (1-based) second at which an unreported unlock was seen, or 0.
    int secondOfUnlockWithin(int seconds)
    {
        for (int second = 1; second <= seconds; ++second) {
            const Second result = step();
            EXPECT_FALSE(result.lockNow) << "lock asked while awaiting the unlock, second " << second;
            if (result.unlockSeen) {
                return second;
            }
        }
        return 0;
    }

    int secondOfLockWithin(int seconds)
    {
        for (int second = 1; second <= seconds; ++second) {
            const Second result = step();
            EXPECT_FALSE(result.unlockSeen) << second;
            if (result.lockNow) {
                return second;
            }
        }
        return 0;
    }
};

TEST_F(TrackerUnreportedUnlock, WorkAtAnUnlockedSessionStartsTheMinuteThenTheLockAgain)
{
    UsageTracker& usage = lockedDay();
    forgetDataFile();
    // The lock was accepted but never took hold, and the user works on.
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        EXPECT_EQ(secondOfUnlockWithin(10 * 60), kSettleSeconds + 1);
        EXPECT_FALSE(usage.awaitsUnlock());
        EXPECT_EQ(secondOfLockWithin(3 * 60), kGraceSeconds);
        EXPECT_TRUE(usage.awaitsUnlock());
    }
    EXPECT_EQ(usage.usedSeconds(), 30 * 60);
    EXPECT_FALSE(dataFileExists()) << "the minute saved data.json";
}

// Input on the lock screen, or while the system cannot say, is never an unlock.
TEST_F(TrackerUnreportedUnlock, InputWhileLockedOrUnknownIsNoUnlock)
{
    for (const SessionLock notUnlocked : {SessionLock::Locked, SessionLock::Unknown}) {
        SCOPED_TRACE(testing::Message() << "state " << static_cast<int>(notUnlocked));
        UsageTracker& usage = lockedDay();
        state = notUnlocked;
        EXPECT_EQ(secondOfUnlockWithin(10 * 60), 0);
        EXPECT_TRUE(usage.awaitsUnlock());

        // Unlocked now, and the last input was on the lock screen: still nothing.
        simulatedClock.userPresent = false;
        advance(kSecondMs);
        state = SessionLock::Unlocked;
        EXPECT_EQ(secondOfUnlockWithin(10 * 60), 0);
        // The first input at the unlocked session is.
        simulatedClock.userPresent = true;
        EXPECT_EQ(secondOfUnlockWithin(10), 1);
        simulatedClock.userPresent = true;
    }
}

TEST_F(TrackerUnreportedUnlock, NoInputSinceTheLockIsNoUnlock)
{
    UsageTracker& usage = lockedDay();
    // Typing on while the lock takes hold, then nothing.
    EXPECT_EQ(secondOfUnlockWithin(kSettleSeconds - 1), 0);
    simulatedClock.userPresent = false;
    EXPECT_EQ(secondOfUnlockWithin(20 * 60), 0);
    EXPECT_TRUE(usage.awaitsUnlock());
    simulatedClock.lastInputAvailable = false;
    simulatedClock.userPresent = true;
    EXPECT_EQ(secondOfUnlockWithin(60), 0) << "input time unknown";
    simulatedClock.lastInputAvailable = true;
    EXPECT_EQ(secondOfUnlockWithin(2), 1);
}

// A refused lock is asked for again at every tick (as under Wine, where input keeps coming);
// it is not a lock that awaits an unlock, so it never turns into a minute.
TEST_F(TrackerUnreportedUnlock, ARefusedLockIsAskedAgainNotAnswered)
{
    UsageTracker& usage = startWithSecondsLeft(30, 1);
    ASSERT_TRUE(tickSecond().lockNow);
    for (int second = 1; second <= 3 * 60; ++second) {
        usage.onLockRefused();
        EXPECT_FALSE(usage.awaitsUnlock());
        EXPECT_FALSE(usage.onSessionLockState(SessionLock::Unlocked)) << second;
        ASSERT_TRUE(tickSecond().lockNow) << second;
    }
}

TEST_F(TrackerUnreportedUnlock, AReportedUnlockOrANewDayEndsTheWait)
{
    UsageTracker& usage = lockedDay();
    state = SessionLock::Locked;
    ASSERT_EQ(secondOfUnlockWithin(30), 0);
    EXPECT_TRUE(usage.onSessionUnlock());
    EXPECT_FALSE(usage.awaitsUnlock());
    EXPECT_EQ(secondOfLockWithin(3 * 60), kGraceSeconds);

    // Locked again; the date changes before the next tick: no minute, the new day counts.
    state = SessionLock::Unlocked;
    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay + 1, 0, 0, 1);
    advance(10 * kSecondMs);
    EXPECT_FALSE(usage.onSessionLockState(SessionLock::Unlocked));
    EXPECT_FALSE(tracker().tick().lockNow);
    EXPECT_FALSE(usage.awaitsUnlock());
    EXPECT_EQ(usage.usedSeconds(), 1);
}

TEST_F(TrackerUnreportedUnlock, NothingAwaitsAnUnlockWhileTimeIsLeft)
{
    UsageTracker& usage = startWithSecondsLeft(30, 100);
    for (int second = 1; second <= 50; ++second) {
        EXPECT_FALSE(usage.awaitsUnlock());
        EXPECT_FALSE(usage.onSessionLockState(SessionLock::Unlocked));
        tickSecond();
    }
    EXPECT_EQ(usage.remainingSeconds(), 50);
    // A raised limit after the lock: counting again, no unlock awaited.
    UsageTracker& spent = lockedDay();
    ASSERT_TRUE(spent.setLimit(31, true));
    EXPECT_FALSE(spent.awaitsUnlock());
    EXPECT_FALSE(spent.onSessionLockState(SessionLock::Unlocked));
}

}  // namespace
}  // namespace tracker_test
