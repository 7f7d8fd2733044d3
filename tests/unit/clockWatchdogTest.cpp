// Nothing holds the clock. An open of a state file that another program makes
// wait for good (an opportunistic lock whose break it never acknowledges)
// stops neither the count nor the lock, nor the windows' questions; a clock's
// thread stopped all the same is noticed by the watchdog, which locks a day
// that gives no time and leaves a day with time left alone. The real clock
// thread and watchdog run here, on a tracker with simulated time.
#include <windows.h>

#include <atomic>
#include <string_view>

#include "app/clockThread.h"
#include "app/controlWindow.h"
#include "shell/trayIcon.h"
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

// Nothing the tests wait for may take this long; a gate or hold that does
// gives way, so a program that waits for it still ends.
constexpr DWORD kGiveWayMs = 15000;
// Each fast tick of the clock stands for a second.
constexpr DWORD kFastTickMs = 20;

using Event = Owned<HANDLE, scoped_detail::closeFile>;

// The clock's ticks begun so far.
std::atomic<int> ticksBegun{0};

// The locks asked of the system, from whichever thread asked.
struct LockRecord {
    std::atomic<int> count{0};
    std::atomic<int> firstTick{0};  // the clock's tick under way at the first
    std::atomic<DWORD> firstThread{0};
    std::atomic<uint64_t> firstAt{0};
    std::atomic<uint64_t> secondAt{0};
};
LockRecord locks;

BOOL recordLock()
{
    const int number = ++locks.count;
    if (number == 1) {
        locks.firstTick = ticksBegun.load();
        locks.firstThread = GetCurrentThreadId();
        locks.firstAt = GetTickCount64();
    } else if (number == 2) {
        locks.secondAt = GetTickCount64();
    }
    return TRUE;
}

int quietMessageBox(HWND, const wchar_t*, const wchar_t*, UINT)
{
    return IDOK;
}
BOOL acceptRegistration(HWND)
{
    return TRUE;
}
void ignoreUnregistration(HWND) {}
SessionLock sessionLocked()
{
    return SessionLock::Locked;
}
// No other desktop takes the input in these tests.
bool sessionActive()
{
    return true;
}
DesktopSwitch ownDesktopAlready()
{
    return DesktopSwitch::AlreadyOwn;
}
BOOL quietNotify(DWORD, NOTIFYICONDATAW*)
{
    return TRUE;
}

constexpr ControlWindowPlatform kRecordingPlatform = {quietMessageBox,      recordLock,    acceptRegistration,
                                                      ignoreUnregistration, sessionLocked, sessionActive,
                                                      ownDesktopAlready};

// Opens of one file wait until the test lets them go, as behind another
// program's opportunistic lock. The first `refusals` of them are refused at
// once instead (a creation the system refuses).
struct OpenGate {
    std::wstring_view file;         // empty: no open waits
    bool creationsOnly = false;     // only opens that may create the file
    std::atomic<int> refusals{0};
    std::atomic<int> waiting{0};
    std::atomic<int> gaveWay{0};    // opens that waited past kGiveWayMs: someone waited for them
    Event release;
};
OpenGate gate;

HANDLE gatedOpen(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition)
{
    const bool gated = !gate.file.empty() && std::wstring_view(path).ends_with(gate.file) &&
                       (!gate.creationsOnly || disposition == OPEN_ALWAYS);
    if (gated && gate.refusals.load() > 0) {
        --gate.refusals;
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (gated) {
        ++gate.waiting;
        if (WaitForSingleObject(gate.release.get(), kGiveWayMs) != WAIT_OBJECT_0) {
            ++gate.gaveWay;
            // Later opens pass, so a program that waits for each one still ends.
            SetEvent(gate.release.get());
        }
        --gate.waiting;
    }
    return systemHeldFileCalls().open(path, access, shareMode, disposition);
}

// The clock's thread, once held, stops inside its next tick, with the
// tracker's lock held: the awake time is the first thing a tick reads.
struct ClockHold {
    std::atomic<DWORD> thread{0};
    std::atomic<bool> holding{false};
    Event release;
};
ClockHold clockHold;

uint64_t holdingUnbiasedTime()
{
    if (clockHold.thread.load() == GetCurrentThreadId()) {
        clockHold.holding = true;
        WaitForSingleObject(clockHold.release.get(), kGiveWayMs);
        clockHold.holding = false;
    }
    return simulatedUnbiasedTime();
}

constexpr TimeSource kHoldingTimeSource = {
    simulatedLocalTime, simulatedTickCount64, simulatedTickCount,  simulatedLastInputTick,
    simulatedSleep,     simulatedUtcTime,     holdingUnbiasedTime};

// Lets go of what a test held, before the threads that wait for it are stopped.
class LetGo {
public:
    explicit LetGo(HANDLE event) : event_(event) {}
    ~LetGo() { SetEvent(event_); }
    LetGo(const LetGo&) = delete;
    LetGo& operator=(const LetGo&) = delete;

private:
    HANDLE event_;
};

// Waits for `condition`, at most `timeoutMs`.
template <typename Condition>
bool waitFor(Condition condition, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= end) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

class HeldClockTest : public TrackerTest {
protected:
    void SetUp() override
    {
        TrackerTest::SetUp();
        ticksBegun = 0;
        locks.count = 0;
        locks.firstTick = 0;
        locks.firstThread = 0;
        locks.firstAt = 0;
        locks.secondAt = 0;
        gate.file = {};
        gate.creationsOnly = false;
        gate.refusals = 0;
        gate.waiting = 0;
        gate.gaveWay = 0;
        gate.release.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        clockHold.thread = 0;
        clockHold.holding = false;
        clockHold.release.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        HeldFileCalls calls = systemHeldFileCalls();
        calls.open = gatedOpen;
        useHeldFileCalls(calls);
        setTimeSource(&kHoldingTimeSource);
        setControlWindowPlatform(&kRecordingPlatform);
        setNotifyIconFunction(quietNotify);
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = controlWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kControlWindowClass;
        RegisterClassExW(&windowClass);  // fails harmlessly once registered
    }

    void TearDown() override
    {
        // The files' thread ends with the tracker; nothing of the test may hold it then.
        SetEvent(gate.release.get());
        SetEvent(clockHold.release.get());
        if (window_ != nullptr) {
            endProgram();
            MSG quit = {};
            while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
            }
        }
        setNotifyIconFunction(nullptr);
        setControlWindowPlatform(nullptr);
        TrackerTest::TearDown();
        gate.release.reset();
        clockHold.release.reset();
    }

    void openWindow(UsageTracker& usage)
    {
        window_ = createControlWindow(GetModuleHandleW(nullptr), &usage, &trayIcon_);
        ASSERT_NE(window_, nullptr);
    }

    // The program's clock, one simulated second per fast tick, and its watchdog.
    void startClockAndWatchdog(ClockThread& clock, ClockThread& watchdog)
    {
        ticksDone_ = 0;
        ASSERT_TRUE(clock.start(
            [this] {
                ++ticksBegun;
                advance(kSecondMs);
                runClockTick();
                lastTickDoneAt_ = GetTickCount64();
                if (++ticksDone_ == holdAfterTicks_) {
                    clockHold.thread = GetCurrentThreadId();
                }
            },
            kFastTickMs));
        ASSERT_TRUE(watchdog.start(runClockWatchdog, kWatchdogPeriodMs));
    }

    TrayIcon trayIcon_;
    HWND window_ = nullptr;
    std::atomic<int> ticksDone_{0};
    std::atomic<uint64_t> lastTickDoneAt_{0};
    int holdAfterTicks_ = 0;  // 0: the clock is never held
};

enum class Scene { StartRead, LateRead, LateCreation };

struct HeldOpenCase {
    const char* name;
    Scene scene;
    // The simulated second of the lock, counted from the clock's start; 0:
    // the start's minute, which the start's retries may have begun.
    int lockSecond;
    int64_t usedAtTheLock;
};

class HeldOpenTable : public HeldClockTest, public testing::WithParamInterface<HeldOpenCase> {};

// Whichever open another program holds, at the start or later, the clock goes
// on: a day not known is locked at the start's minute, a day with time left
// counts up to its lock; the lock comes from the clock itself, the windows'
// questions are answered, and the open is still waiting all the while.
TEST_P(HeldOpenTable, AnOpenThatNeverReturnsHoldsNeitherTheCountNorTheLock)
{
    const HeldOpenCase& c = GetParam();
    storeConfig(c.scene == Scene::LateCreation ? 1 : 30);
    UsageTracker* usage = nullptr;
    int lockSecond = c.lockSecond;
    switch (c.scene) {
    case Scene::StartRead:
        // data.json holds time left, but the program never gets to read it.
        storeUsage(todayWith(0));
        gate.file = L"data.json";
        usage = &create();
        break;
    case Scene::LateRead: {
        // config.json held at the start; once let go, its late read waits.
        storeUsage(todayWith(0));
        HANDLE held = CreateFileW(configPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        usage = &start();
        CloseHandle(held);
        ASSERT_FALSE(usage->configLoaded());
        lockSecond = secondOfTheStartsMinute();
        gate.file = L"config.json";
        break;
    }
    case Scene::LateCreation:
        // data.json missing: the defaults, 60 s left. Its creation is refused
        // at the start, and the creation tried later waits.
        gate.file = L"data.json";
        gate.creationsOnly = true;
        gate.refusals = 1;
        usage = &start();
        ASSERT_TRUE(usage->stateReadable());
        ASSERT_FALSE(gate.refusals.load() > 0) << "the start tried to create data.json";
        break;
    }
    if (lockSecond == 0) {
        lockSecond = secondOfTheStartsMinute();
    }
    openWindow(*usage);
    {
        ClockThread clock;
        ClockThread watchdog;
        startClockAndWatchdog(clock, watchdog);
        const LetGo letGo(gate.release.get());
        if (c.scene == Scene::StartRead) {
            // As wWinMain: the clock and the watchdog first, then the start's read.
            usage->load();
        }
        ASSERT_TRUE(waitFor([] { return gate.waiting.load() == 1; }, kGiveWayMs)) << "the open never came";
        ASSERT_TRUE(waitFor([] { return locks.count.load() > 0; }, kGiveWayMs)) << "no lock";
        const int ticksAtTheLock = ticksDone_.load();
        const uint64_t asked = GetTickCount64();
        EXPECT_EQ(usage->remainingSeconds(), 0) << "the tray's question is answered";
        EXPECT_LT(GetTickCount64() - asked, 1000u);
        EXPECT_TRUE(waitFor([&] { return ticksDone_.load() > ticksAtTheLock + 2; }, kGiveWayMs))
            << "the clock ticks on";
        clock.stop();
        watchdog.stop();
        EXPECT_EQ(locks.firstThread.load(), clock.threadId()) << "the clock locked, not its watchdog";
        // The start's read is asked for just after the clock's start: a tick may come first.
        EXPECT_GE(locks.firstTick.load(), lockSecond);
        EXPECT_LE(locks.firstTick.load(), lockSecond + (c.scene == Scene::StartRead ? 1 : 0));
        EXPECT_EQ(usage->usedSeconds(), c.usedAtTheLock);
        if (c.scene == Scene::LateRead) {
            // The settings window applies a limit while the read waits: it returns, without a save.
            const uint64_t applied = GetTickCount64();
            EXPECT_FALSE(usage->setLimit(90, true));
            EXPECT_LT(GetTickCount64() - applied, 5000u);
            EXPECT_EQ(usage->config().dailyLimitMinutes, 90);
        }
        EXPECT_EQ(gate.waiting.load(), 1) << "the open is still waiting";
    }
    EXPECT_EQ(gate.gaveWay.load(), 0) << "something waited for the held open";
}

INSTANTIATE_TEST_SUITE_P(
    Tracker, HeldOpenTable,
    testing::Values(HeldOpenCase{"StartRead", Scene::StartRead, 0, 0},
                    HeldOpenCase{"LateRead", Scene::LateRead, 0, 0},
                    HeldOpenCase{"LateCreationWithTimeLeft", Scene::LateCreation, 60, 60}),
    [](const testing::TestParamInfo<HeldOpenCase>& info) { return std::string(info.param.name); });

struct StoppedClockCase {
    const char* name;
    int64_t secondsLeft;
    bool locks;
};

class StoppedClockTable : public HeldClockTest, public testing::WithParamInterface<StoppedClockCase> {};

// The clock's thread stops inside a tick, holding the tracker's lock, within
// the start's minute of a spent day: the watchdog, which takes no lock, locks
// 5 s after the clock's last finished tick (within 6 s), then again no sooner
// than 5 s later while the clock stays stopped. A day with time left is never locked.
TEST_P(StoppedClockTable, TheWatchdogLocksOnlyWhereTheClockWould)
{
    const StoppedClockCase& c = GetParam();
    UsageTracker& usage = startWithSecondsLeft(30, c.secondsLeft);
    openWindow(usage);
    holdAfterTicks_ = 3;
    ClockThread clock;
    ClockThread watchdog;
    startClockAndWatchdog(clock, watchdog);
    const LetGo letGo(clockHold.release.get());
    ASSERT_TRUE(waitFor([] { return clockHold.holding.load(); }, kGiveWayMs)) << "the clock never stopped";
    const uint64_t stoppedAt = lastTickDoneAt_.load();
    if (c.locks) {
        ASSERT_TRUE(waitFor([] { return locks.count.load() > 0; }, kGiveWayMs)) << "no lock";
        EXPECT_EQ(locks.firstThread.load(), watchdog.threadId());
        EXPECT_GE(locks.firstAt.load() - stoppedAt, kClockStallMs - 50);
        EXPECT_LE(locks.firstAt.load() - stoppedAt, 6000u);
        ASSERT_TRUE(waitFor([] { return locks.count.load() > 1; }, kGiveWayMs)) << "asked once only";
        EXPECT_GE(locks.secondAt.load() - locks.firstAt.load(), kWatchdogRepeatMs - 50);
    } else {
        EXPECT_FALSE(waitFor([] { return locks.count.load() > 0; }, 6500)) << "a day with time left was locked";
    }
    EXPECT_TRUE(clockHold.holding.load()) << "the clock stayed stopped all the while";
    EXPECT_EQ(ticksDone_.load(), holdAfterTicks_);
}

INSTANTIATE_TEST_SUITE_P(Tracker, StoppedClockTable,
                         testing::Values(StoppedClockCase{"SpentDay", 0, true},
                                         StoppedClockCase{"TimeLeft", 20 * 60, false}),
                         [](const testing::TestParamInfo<StoppedClockCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tracker_test
