// What another program of the limited account can do with a few lines of
// script and no rights beyond its own: send or post any message to the control
// window or its thread, rewrite the window's fields, fake an unlock. None of it
// ends, freezes or fools the program.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <functional>
#include <iterator>

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


// Another program clears the status window's owner and makes the control
// window owned by it, then closes the status window: its end takes the control
// window along. The program asks nothing, makes the control window again and
// counts on.
TEST(HostileInputE2E, AnOwnerLinkSetFromOutsideEndsNothing)
{
    ActiveUser user;
    App app(LaunchOptions().withData(dataWithPassword("pw", true)));
    ASSERT_TRUE(app.started());
    ASSERT_TRUE(stillCounts(app)) << "before";
    app.postTrayMouse(WM_LBUTTONDBLCLK);
    HWND status = app.waitForWindow(kStatusClass);
    ASSERT_NE(status, nullptr);
    HWND control = app.controlWindow();
    SetWindowLongPtrW(status, GWLP_HWNDPARENT, 0);
    SetWindowLongPtrW(control, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(status));
    ASSERT_EQ(GetWindow(control, GW_OWNER), status);
    PostMessageW(status, WM_CLOSE, 0, 0);
    ASSERT_TRUE(app.waitForNoWindow(kStatusClass));
    EXPECT_TRUE(waitUntil([&] { return !IsWindow(control); })) << "taken along by the status window";
    EXPECT_TRUE(waitUntil([&] {
        HWND now = app.findWindow(kControlClass);
        return now != nullptr && now != control;
    })) << "the control window comes back";
    EXPECT_TRUE(app.isRunning());
    EXPECT_EQ(app.findWindow(kPasswordClass), nullptr) << "nothing asked";
    EXPECT_TRUE(stillCounts(app));
    // The new control window is the program's in every way: the status window opens from it.
    PostMessageW(app.findWindow(kControlClass), kTrayCallback, 1, WM_LBUTTONDBLCLK);
    EXPECT_NE(app.waitForWindow(kStatusClass), nullptr);
}

constexpr UINT kDpiChanged = 0x02E0;
constexpr LPARAM kWild = 0x10;

// Messages whose parameters a window procedure (or the default handling behind
// it) would read as a pointer, a handle or a structure.
constexpr UINT kPointerMessages[] = {
    kDpiChanged,     WM_GETMINMAXINFO, WM_WINDOWPOSCHANGING, WM_WINDOWPOSCHANGED, WM_NCCREATE, WM_CREATE,
    WM_DRAWITEM,     WM_MEASUREITEM,   WM_NOTIFY,            WM_COPYDATA,         WM_CTLCOLORSTATIC,
    WM_CTLCOLOREDIT, WM_CTLCOLORBTN,   WM_NCCALCSIZE,        WM_STYLECHANGED,     WM_INITMENUPOPUP,
    WM_SIZING,       WM_NCDESTROY,     WM_DESTROY,           WM_SETTEXT,          WM_GETTEXT,
};

// Posts each with a wild lParam, and sends each with the address of a buffer
// of this process's (a copy where the system copies the structure across, a
// pointer into nowhere in the program where it does not). Returns how many
// posts the system took.
int attackWithPointers(HWND window)
{
    int posted = 0;
    for (const UINT message : kPointerMessages) {
        posted += PostMessageW(window, message, kWild, kWild) ? 1 : 0;
    }
    // A timer whose callback is an address of the poster's choosing.
    posted += PostMessageW(window, WM_TIMER, 1, kWild) ? 1 : 0;
    alignas(16) static char buffer[512] = {};
    for (const UINT message : kPointerMessages) {
        if (message == WM_GETTEXT) {
            sendWithTimeout(window, message, sizeof buffer / sizeof(wchar_t), reinterpret_cast<LPARAM>(buffer));
        } else if (message != WM_SETTEXT) {
            sendWithTimeout(window, message, 0, reinterpret_cast<LPARAM>(buffer));
        }
    }
    return posted;
}

// Every window of the program, posted and sent every such message: none
// crashes, each stays, and the count goes on. What the system refused to post
// is printed: Windows refuses many of them, Wine 8 few.
TEST(HostileInputE2E, MessagesReadAsPointersFromOutsideCrashNothing)
{
    ActiveUser user;
    App app(LaunchOptions().withData(dataWithPassword("pw", true)));
    ASSERT_TRUE(app.started());
    HWND settings = openSettingsWithPassword(app, L"pw");
    ASSERT_NE(settings, nullptr);
    app.postTrayMouse(WM_LBUTTONDBLCLK);
    HWND status = app.waitForWindow(kStatusClass);
    ASSERT_NE(status, nullptr);
    app.postCommand(kCommandExit);
    HWND prompt = app.waitForWindow(kPasswordClass);
    ASSERT_NE(prompt, nullptr);
    const struct {
        const char* name;
        HWND window;
    } targets[] = {{"control", app.controlWindow()}, {"status", status}, {"settings", settings}, {"prompt", prompt}};
    for (const auto& target : targets) {
        SCOPED_TRACE(target.name);
        const int posted = attackWithPointers(target.window);
        std::printf("%s window: %d of %zu posts taken\n", target.name, posted, std::size(kPointerMessages) + 1);
        ASSERT_TRUE(stillCounts(app));
        EXPECT_TRUE(IsWindow(target.window));
    }
    // The status window's DPI change with lParam 0x10, as a script would post it.
    PostMessageW(status, kDpiChanged, MAKEWPARAM(144, 144), kWild);
    EXPECT_TRUE(stillCounts(app));
    for (const auto& target : targets) {
        EXPECT_TRUE(IsWindow(target.window)) << target.name;
    }
}

// The warning box runs a loop of its own that takes posted messages itself:
// the filter is there too.
TEST(HostileInputE2E, APointerMessagePostedWhileTheWarningBoxIsOpenCrashesNothing)
{
    ActiveUser user;
    App app(LaunchOptions().withData(dayWithUsed(7200 - 303, false).text()));
    ASSERT_TRUE(app.started());
    app.postTrayMouse(WM_LBUTTONDBLCLK);
    HWND status = app.waitForWindow(kStatusClass);
    ASSERT_NE(status, nullptr);
    const ShownBox box = waitForMessageBox(app);
    ASSERT_NE(box.window, nullptr);
    for (HWND window : {status, app.controlWindow()}) {
        PostMessageW(window, kDpiChanged, MAKEWPARAM(144, 144), kWild);
        PostMessageW(window, WM_DRAWITEM, 0, kWild);
        PostMessageW(window, WM_TIMER, 1, kWild);
    }
    EXPECT_TRUE(stillCounts(app));
    EXPECT_TRUE(IsWindow(box.window)) << "the box is still up";
    EXPECT_TRUE(answerMessageBox(box, IDOK));
    EXPECT_TRUE(stillCounts(app));
}

}  // namespace
