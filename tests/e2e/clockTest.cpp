// The program's clock against another program of the account: a flood of
// posted messages, a control window taken away with a parent it was given.
// The count and the lock go on through both.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "harness.h"
#include "settingsDriver.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

constexpr DWORD kFloodMs = 20000;

// Posts WM_NULL to each window as fast as it can for as long as it lives:
// posted messages wait before any timer message, so a message-driven clock
// would stop for the whole time.
class Flood {
public:
    explicit Flood(std::vector<HWND> targets)
        : thread_([this, targets = std::move(targets)] {
              while (!stop_) {
                  for (HWND target : targets) {
                      PostMessageW(target, WM_NULL, 0, 0);
                  }
              }
          })
    {
    }
    ~Flood()
    {
        stop_ = true;
        thread_.join();
    }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(ClockLongE2E, AFloodOfPostedMessagesStopsNeitherTheCountNorTheLock)
{
    const std::string lockCall = "Call user32.LockWorkStation(";
    constexpr long long kLeftForTheLock = 10;
    // Counting through the whole flood, and one whose lock falls due during it.
    App counting(LaunchOptions().withData(dataWithPassword("pw", true)));
    App locking(LaunchOptions()
                    .withData(dayWithUsed(7200 - kLeftForTheLock).text())
                    .withRelay(kSideBySideRelay));
    ASSERT_TRUE(counting.started());
    ASSERT_TRUE(locking.started());
    ActiveUser user;
    ASSERT_TRUE(counting.waitForFile(L"data.json", [](const std::string& d) { return usedSecondsIn(d) >= 1; }));
    ASSERT_EQ(locking.relayCount(lockCall), 0u);

    long long countedBefore = 0;
    ULONGLONG lockedAfterMs = 0;
    {
        Flood flood({counting.controlWindow(), locking.controlWindow()});
        const ULONGLONG start = GetTickCount64();
        countedBefore = usedSecondsIn(counting.readFile(L"data.json"));
        if (waitUntil([&] { return locking.relayCount(lockCall) >= 1; }, kFloodMs)) {
            lockedAfterMs = GetTickCount64() - start;
        }
        // The rest of the flood's time: this test's own pace.
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed < kFloodMs) {
            Sleep(static_cast<DWORD>(kFloodMs - elapsed));
        }
        const long long countedDuring = usedSecondsIn(counting.readFile(L"data.json")) - countedBefore;
        EXPECT_GE(countedDuring, 18) << "of 20 s of flood";
    }
    EXPECT_GT(lockedAfterMs, 0u) << "no lock asked during the flood";
    EXPECT_LE(lockedAfterMs, (kLeftForTheLock + 3) * 1000) << "the lock came late";
    EXPECT_TRUE(counting.isRunning());
    EXPECT_TRUE(locking.isRunning());
}

TEST(ClockLongE2E, AControlWindowDestroyedWithAParentItWasGivenComesBackAndTheCountGoesOn)
{
    App app(LaunchOptions().withData(dataWithPassword("pw", true)));
    ASSERT_TRUE(app.started());
    ActiveUser user;
    app.postTrayMouse(WM_LBUTTONDBLCLK);
    HWND status = app.waitForWindow(kStatusClass);
    ASSERT_NE(status, nullptr);
    ASSERT_TRUE(app.waitForFile(L"data.json", [](const std::string& d) { return usedSecondsIn(d) >= 1; }));

    HWND original = app.controlWindow();
    SetParent(original, status);
    const long long usedAtAttack = usedSecondsIn(app.readFile(L"data.json"));
    const ULONGLONG attackedAt = GetTickCount64();
    PostMessageW(status, WM_CLOSE, 0, 0);
    ASSERT_TRUE(app.waitForNoWindow(kStatusClass));

    HWND back = nullptr;
    const bool cameBack = waitUntil(
        [&] {
            back = app.findWindow(kControlClass);
            // Only top-level windows are found: the child it was made is not.
            return back != nullptr && GetAncestor(back, GA_PARENT) == GetDesktopWindow();
        },
        kDefaultTimeoutMs);
    const ULONGLONG tookMs = GetTickCount64() - attackedAt;
    ASSERT_TRUE(cameBack) << "no control window after the parent's end";
    // A re-parented window is put back within a second; if the parent went
    // first, a new one comes instead. Either way within 2 s.
    EXPECT_LE(tookMs, 2000u);
    EXPECT_TRUE(app.isRunning());

    // No gap: every second since the attack counted.
    ASSERT_TRUE(app.waitForFile(L"data.json", [&](const std::string& d) { return usedSecondsIn(d) >= usedAtAttack + 8; }));
    const ULONGLONG elapsedMs = GetTickCount64() - attackedAt;
    EXPECT_GE(usedSecondsIn(app.readFile(L"data.json")) - usedAtAttack,
              static_cast<long long>(elapsedMs / 1000) - 2);

    // The new window is the program's in every way: the tray's double click opens the status again.
    PostMessageW(back, kTrayCallback, 1, WM_LBUTTONDBLCLK);
    EXPECT_NE(app.waitForWindow(kStatusClass), nullptr);
}


using ProcessCall = LONG(NTAPI*)(HANDLE process);

// The whole program stopped for 10 s, as a clock starved by busier threads
// would be, while the user goes on working: the tick after it counts the time
// that passed, not one second.
TEST(ClockE2E, AClockHeldForTenSecondsCountsTheTimeThatPassed)
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto suspend = reinterpret_cast<ProcessCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSuspendProcess")));
    const auto resume = reinterpret_cast<ProcessCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtResumeProcess")));
    ASSERT_NE(suspend, nullptr);
    ASSERT_NE(resume, nullptr);
    ActiveUser user;
    App app;
    ASSERT_TRUE(app.started());
    ASSERT_TRUE(app.waitForFile(L"data.json", [](const std::string& text) { return usedSecondsIn(text) >= 2; }));
    ASSERT_EQ(suspend(app.process()), 0);
    const long long before = usedSecondsIn(app.readFile(L"data.json"));
    const ULONGLONG stoppedAt = GetTickCount64();
    // The pace of the test itself: the program is stopped meanwhile and cannot be waited on.
    Sleep(10000);
    const long long held = usedSecondsIn(app.readFile(L"data.json"));
    ASSERT_EQ(resume(app.process()), 0);
    const ULONGLONG stoppedFor = (GetTickCount64() - stoppedAt) / 1000;
    EXPECT_EQ(held, before) << "the program was not stopped";
    // The first tick after the stop: within two seconds the count has caught up.
    EXPECT_TRUE(app.waitForFile(L"data.json", [&](const std::string& text) {
        return usedSecondsIn(text) >= before + static_cast<long long>(stoppedFor) - 1;
    }, 3000)) << "counted " << usedSecondsIn(app.readFile(L"data.json")) - before << " s of " << stoppedFor;
}

}  // namespace
