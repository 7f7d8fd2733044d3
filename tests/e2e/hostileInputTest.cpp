// What another program of the limited account can do with a few lines of
// script and no rights beyond its own: send or post any message to the control
// window or its thread, rewrite the window's fields, fake an unlock. None of it
// ends, freezes or fools the program.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>

#include "harness.h"
#include "settingsDriver.h"
#include "shellProbe.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

constexpr DWORD kSendTimeoutMs = 5000;

void sendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored);
}

// The program runs on and its count grows: read what data.json holds, then wait for more.
::testing::AssertionResult stillCounts(const App& app)
{
    const long long before = usedSecondsIn(app.readFile(L"data.json"));
    const bool grew = app.waitForFile(L"data.json", [&](const std::string& text) {
        return usedSecondsIn(text) >= before + 2;
    });
    if (!app.isRunning()) {
        return ::testing::AssertionFailure() << "the program ended";
    }
    if (!grew) {
        return ::testing::AssertionFailure() << "the count stayed at " << before << ": "
                                             << app.readFile(L"data.json");
    }
    return ::testing::AssertionSuccess();
}

struct Attack {
    const char* name;
    std::function<void(const App&)> run;
};

TEST(HostileInputE2E, NoMessageOrFieldWriteEndsTheProgramOrStopsTheCount)
{
    const Attack attacks[] = {
        {"WM_ENDSESSION posted", [](const App& app) { PostMessageW(app.controlWindow(), WM_ENDSESSION, TRUE, 0); }},
        {"WM_ENDSESSION sent", [](const App& app) { sendWithTimeout(app.controlWindow(), WM_ENDSESSION, TRUE, 0); }},
        {"WM_QUIT posted to the window", [](const App& app) { PostMessageW(app.controlWindow(), WM_QUIT, 0, 0); }},
        {"WM_QUIT posted to the thread",
         [](const App& app) {
             const DWORD thread = GetWindowThreadProcessId(app.controlWindow(), nullptr);
             PostThreadMessageW(thread, WM_QUIT, 0, 0);
         }},
        {"WM_DESTROY sent", [](const App& app) { sendWithTimeout(app.controlWindow(), WM_DESTROY, 0, 0); }},
        {"WM_DESTROY posted", [](const App& app) { PostMessageW(app.controlWindow(), WM_DESTROY, 0, 0); }},
        {"WM_NCDESTROY sent", [](const App& app) { sendWithTimeout(app.controlWindow(), WM_NCDESTROY, 0, 0); }},
        {"user data cleared", [](const App& app) { SetWindowLongPtrW(app.controlWindow(), GWLP_USERDATA, 0); }},
        {"user data junk",
         [](const App& app) { SetWindowLongPtrW(app.controlWindow(), GWLP_USERDATA, 0x0BADF00D); }},
        {"TrayIcon property junk",
         [](const App& app) { SetPropW(app.controlWindow(), L"TrayIcon", reinterpret_cast<HANDLE>(1)); }},
    };
    ActiveUser user;
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        App app(LaunchOptions().withData(dataWithPassword("pw", true)));
        ASSERT_TRUE(app.started());
        ASSERT_TRUE(stillCounts(app)) << "before";
        attack.run(app);
        // Makes the program use the tray object and its window state at once.
        app.postTaskbarCreated();
        PostMessageW(app.controlWindow(), WM_TIMER, 1, 0);
        EXPECT_TRUE(stillCounts(app));
        EXPECT_TRUE(IsWindow(app.controlWindow()));
    }
}

// Wine refuses every lock, as a session with no lock to answer: unlock
// notifications posted on a spent day grant nothing, and the lock is asked for
// every second throughout.
TEST(HostileInputE2E, AFakedUnlockOnASpentDayLeavesTheLockRequestedEverySecond)
{
    const std::string lockCall = "Call user32.LockWorkStation(";
    App app(LaunchOptions().withData(dayWithUsed(7200 - 1).text()).withRelay(L"user32.LockWorkStation"));
    ASSERT_TRUE(app.started());
    ActiveUser user;
    ASSERT_TRUE(waitUntil([&] { return app.relayCount(lockCall) >= 1; }));
    const size_t before = app.relayCount(lockCall);
    const ULONGLONG end = GetTickCount64() + 12000;
    while (GetTickCount64() < end) {
        app.postSessionUnlock();
        Sleep(500);  // the pace of the attack, not a wait for the program
    }
    // 12 s of posted unlocks: a granted minute would have stopped the requests.
    EXPECT_GE(app.relayCount(lockCall) - before, 9u);
    EXPECT_TRUE(app.isRunning());
}

}  // namespace
