// Unlocks after a lock the system accepted: reported ones, believed only when
// they can be real; missed ones, seen in the session's own state or in input at
// the user's desktop; and the lock asked again while the session does not
// confirm it.
#include <vector>

#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

constexpr int kGraceSeconds = 60;
constexpr int kSettleSeconds = 5;  // input this soon after the lock may predate it

class TrackerUnreportedUnlock : public TrackerTest {
protected:
    // As only the input desktop can tell it, so input decides.
    SessionLock state = SessionLock::DesktopUnlocked;

    // A spent day whose lock the system accepted; returns nothing until then.
    UsageTracker& lockedDay()
    {
        UsageTracker& usage = startWithSecondsLeft(30, 1);
        EXPECT_TRUE(tickSecond().lockNow);
        usage.onLockAccepted();
        EXPECT_TRUE(usage.awaitsUnlock());
        return usage;
    }

    struct Second {
        bool unlockSeen = false;
        bool lockNow = false;
    };

    // One second as the control window runs it: the lock state while a lock
    // awaits its unlock, the tick, and the system accepting a lock asked for.
    Second step()
    {
        advance(kSecondMs);
        Second result;
        if (tracker().awaitsUnlock()) {
            result.unlockSeen = tracker().onSessionLockState(state);
        }
        result.lockNow = tracker().tick().lockNow;
        if (result.lockNow) {
            tracker().onLockAccepted();
        }
        return result;
    }

    // Steps up to `seconds` and returns the (1-based) second at which an
    // unreported unlock was seen, or 0. Locks asked meanwhile are counted.
    int secondOfUnlockWithin(int seconds)
    {
        for (int second = 1; second <= seconds; ++second) {
            const Second result = step();
            repeatedLocks += result.lockNow ? 1 : 0;
            if (result.unlockSeen) {
                return second;
            }
        }
        return 0;
    }

    int repeatedLocks = 0;

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
    countDataWritesFromNow();
    // The lock was accepted but never took hold, and the user works on.
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        EXPECT_EQ(secondOfUnlockWithin(10 * 60), kSettleSeconds + 1);
        EXPECT_FALSE(usage.awaitsUnlock());
        EXPECT_EQ(secondOfLockWithin(3 * 60), kGraceSeconds);
        EXPECT_TRUE(usage.awaitsUnlock());
    }
    EXPECT_EQ(usage.usedSeconds(), 30 * 60);
    EXPECT_FALSE(dataFileWrittenSince()) << "the minute saved data.json";
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
        state = SessionLock::DesktopUnlocked;
        EXPECT_EQ(secondOfUnlockWithin(10 * 60), 0);
        // The first input at the unlocked session is, once past the settling time of the
        // lock asked again every half minute meanwhile.
        simulatedClock.userPresent = true;
        const int seenAt = secondOfUnlockWithin(10);
        EXPECT_GE(seenAt, 1);
        EXPECT_LE(seenAt, kSettleSeconds + 1);
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
    const int seenAt = secondOfUnlockWithin(kSettleSeconds + 1);
    EXPECT_GE(seenAt, 1) << "the lock asked again may settle first";
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
        EXPECT_FALSE(usage.onSessionUnlock(SessionLock::Unlocked)) << second;
        ASSERT_TRUE(tickSecond().lockNow) << second;
    }
}

TEST_F(TrackerUnreportedUnlock, AReportedUnlockOrANewDayEndsTheWait)
{
    UsageTracker& usage = lockedDay();
    state = SessionLock::Locked;
    ASSERT_EQ(secondOfUnlockWithin(30), 0);
    EXPECT_TRUE(usage.onSessionUnlock(SessionLock::Unlocked));
    EXPECT_FALSE(usage.awaitsUnlock());
    EXPECT_EQ(secondOfLockWithin(3 * 60), kGraceSeconds);
    usage.onLockAccepted();

    // Locked again; the date changes before the next tick: no minute, the new day counts.
    state = SessionLock::Unlocked;
    simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay + 1, 0, 0, 1);
    advance(10 * kSecondMs);
    EXPECT_FALSE(usage.onSessionLockState(SessionLock::Unlocked));
    EXPECT_FALSE(tracker().tick().lockNow);
    EXPECT_FALSE(usage.awaitsUnlock());
    EXPECT_EQ(usage.usedSeconds(), 1);
}

// A notification is believed only when it can answer a lock the system accepted.
TEST_F(TrackerUnreportedUnlock, ANotificationGrantsOnlyAfterAnAcceptedLockAtAnUnlockedSession)
{
    const struct {
        const char* name;
        bool lockAccepted;
        SessionLock stateAsked;
        bool grants;
    } cases[] = {
        {"no lock accepted", false, SessionLock::Unlocked, false},
        {"session says locked", true, SessionLock::Locked, false},
        {"session service unlocked", true, SessionLock::Unlocked, true},
        {"desktop unlocked", true, SessionLock::DesktopUnlocked, true},
        {"state unknown", true, SessionLock::Unknown, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UsageTracker& usage = startWithSecondsLeft(30, 1);
        ASSERT_TRUE(tickSecond().lockNow);
        if (c.lockAccepted) {
            usage.onLockAccepted();
        } else {
            usage.onLockRefused();
        }
        // Locks accepted from here on hold.
        state = SessionLock::Locked;
        advance(20 * kSecondMs);
        EXPECT_EQ(usage.onSessionUnlock(c.stateAsked), c.grants);
        if (c.grants) {
            // A repeat of the notification (or a script's echo of it) is never a second minute.
            advance(kSecondMs);
            EXPECT_FALSE(usage.onSessionUnlock(SessionLock::Unlocked));
        } else {
            advance(kSecondMs);
        }
        // The minute runs from the grant; without one the lock is asked as before.
        const int expectedLockAt = c.grants ? kGraceSeconds - 1 : 1;
        EXPECT_EQ(secondOfLockWithin(3 * 60), c.grants || !c.lockAccepted ? expectedLockAt : 0);
    }
}

// Accepted, but the session does not confirm the lock: asked again every 30 s
// until it does. A confirmed lock is not asked again.
TEST_F(TrackerUnreportedUnlock, AnUnconfirmedLockIsAskedForAgainEveryHalfMinute)
{
    for (const SessionLock unconfirmed : {SessionLock::Unknown, SessionLock::DesktopUnlocked}) {
        SCOPED_TRACE(testing::Message() << "state " << static_cast<int>(unconfirmed));
        lockedDay();
        simulatedClock.userPresent = false;  // no input, so no missed unlock either
        state = unconfirmed;
        std::vector<int> lockSeconds;
        for (int second = 1; second <= 95; ++second) {
            const Second result = step();
            ASSERT_FALSE(result.unlockSeen) << second;
            if (result.lockNow) {
                lockSeconds.push_back(second);
            }
        }
        EXPECT_EQ(lockSeconds, (std::vector<int>{30, 60, 90}));
        state = SessionLock::Locked;
        repeatedLocks = 0;
        EXPECT_EQ(secondOfUnlockWithin(5 * 60), 0);
        EXPECT_EQ(repeatedLocks, 0);
        simulatedClock.userPresent = true;
    }
}

// The session service saying "unlocked" is the system's own word: no input is
// needed (a film plays on), but not in the first seconds while the lock takes hold.
TEST_F(TrackerUnreportedUnlock, TheSessionServicesUnlockedCountsWithoutInput)
{
    UsageTracker& usage = lockedDay();
    simulatedClock.userPresent = false;
    state = SessionLock::Unlocked;
    EXPECT_EQ(secondOfUnlockWithin(60), kSettleSeconds + 1);
    EXPECT_FALSE(usage.awaitsUnlock());
    EXPECT_EQ(secondOfLockWithin(3 * 60), kGraceSeconds);
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
