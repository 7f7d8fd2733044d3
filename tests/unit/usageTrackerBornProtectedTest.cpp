// Where threads are born protected (Windows), the clock's thread, born while
// the exit password protects the program, refuses the program its reopening:
// the protection is in force, and no tick passes over the threads again.
// OpenThread answers here as Windows does for such a thread; Wine would not.
// Windows' own answer for a thread born protected is shown by
// ProcessProtection.AThreadBornProtectedCountsAsProtected_WindowsOnly; the
// clock thread's birth in the real program by AccountSide's running program.
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

struct BornProtectedThread {
    DWORD id = 0;
    int opens = 0;  // of any thread, through the seam
};
BornProtectedThread bornProtected;

HANDLE WINAPI answerAsWindows(DWORD access, BOOL inherit, DWORD id)
{
    ++bornProtected.opens;
    if (id == bornProtected.id) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return OpenThread(access, inherit, id);
}

// A thread that waits until the end of the test, as the clock's does.
class WaitingThread {
public:
    WaitingThread()
        : finish_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          thread_(CreateThread(nullptr, 0, &WaitingThread::run, finish_.get(), 0, &id_))
    {
    }
    ~WaitingThread()
    {
        SetEvent(finish_.get());
        if (thread_) {
            WaitForSingleObject(thread_.get(), INFINITE);
        }
    }
    WaitingThread(const WaitingThread&) = delete;
    WaitingThread& operator=(const WaitingThread&) = delete;

    bool started() const { return static_cast<bool>(thread_); }
    DWORD id() const { return id_; }

private:
    static DWORD WINAPI run(void* finish)
    {
        WaitForSingleObject(static_cast<HANDLE>(finish), INFINITE);
        return 0;
    }

    using Handle = Owned<HANDLE, scoped_detail::closeFile>;
    Handle finish_;
    DWORD id_ = 0;
    Handle thread_;
};

class TrackerBornProtected : public TrackerTest {
protected:
    void TearDown() override
    {
        TrackerTest::TearDown();
        // The test process is never left protected.
        protectProcessBySystem(false);
        setOpenThreadFunction(nullptr);
        forgetThreadBirth();
        bornProtected = {};
    }
};

TEST_F(TrackerBornProtected, ApplyReportsTheProtectionInForceAndNoTickPassesOverTheThreads)
{
    // data.json asks for the exit password at the start.
    DailyUsage stored = todayWith(0);
    stored.settingsPassword = hashPassword(L"parent");
    stored.requirePasswordOnExit = true;
    storeConfig(60);
    storeUsage(stored);
    setProtectProcessFunction(nullptr);
    setOpenThreadFunction(answerAsWindows);
    forgetThreadBirth();
    // As wWinMain: protected before the tracker and the clock's thread.
    ASSERT_TRUE(protectProcess(true));
    UsageTracker& usage = start();
    ASSERT_TRUE(usage.exitProtectionInForce());
    WaitingThread clockThread;
    ASSERT_TRUE(clockThread.started());
    bornProtected.id = clockThread.id();
    measureThreadBirth(clockThread.id());
    ASSERT_FALSE(laterThreadsNeedAPass());

    // Apply (or OK) in the settings, with the box still ticked.
    EXPECT_TRUE(usage.setRequirePasswordOnExit(true));
    EXPECT_TRUE(usage.exitProtectionInForce()) << "the born protection reported as refused";

    bornProtected.opens = 0;
    for (int second = 0; second < 5; ++second) {
        tickSecond();
    }
    EXPECT_EQ(bornProtected.opens, 0) << "a tick passed over the threads";
    EXPECT_TRUE(usage.exitProtectionInForce());
}

}  // namespace
}  // namespace tracker_test
