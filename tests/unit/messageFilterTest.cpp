// Messages that only the system may give the program's windows: posted by
// another program they never reach a procedure, and sent from another thread
// they are refused, while the system's own still work.
#include <optional>
#include <vector>

#include "ui/messageFilter.h"
#include "ui/ownWindows.h"
#include "ui/settings/passwordWindow.h"
#include "ui/settings/settingsUi.h"
#include "ui/settings/settingsWindow.h"
#include "ui/status/statusWindow.h"
#include "ui/status/statusWindowState.h"
#include "ui/windowState.h"
#include "foreignThread.h"
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

constexpr UINT kDpiChanged = 0x02E0;
constexpr LPARAM kWildPointer = 0x10;

TEST(MessageFilter, TheTableHoldsWhatIsReadAsAPointerAndNothingAUserOrTheShellSends)
{
    for (const UINT message : {UINT{WM_NCCREATE}, UINT{WM_CREATE}, UINT{WM_DESTROY}, UINT{WM_NCDESTROY},
                               UINT{WM_GETMINMAXINFO}, UINT{WM_WINDOWPOSCHANGING}, UINT{WM_WINDOWPOSCHANGED},
                               UINT{WM_NCCALCSIZE}, UINT{WM_DRAWITEM}, UINT{WM_MEASUREITEM}, UINT{WM_NOTIFY},
                               UINT{WM_COPYDATA}, UINT{WM_CTLCOLORSTATIC}, UINT{WM_CTLCOLOREDIT},
                               UINT{WM_CTLCOLORBTN}, kDpiChanged, UINT{WM_SETTEXT}, UINT{WM_GETTEXT},
                               UINT{WM_INITMENUPOPUP}, UINT{WM_STYLECHANGED}}) {
        EXPECT_TRUE(isSystemOnlyMessage(message)) << std::hex << message;
    }
    for (const UINT message : {UINT{WM_NULL}, UINT{WM_COMMAND}, UINT{WM_CLOSE}, UINT{WM_TIMER}, UINT{WM_PAINT},
                               UINT{WM_LBUTTONUP}, UINT{WM_MOUSEMOVE}, UINT{WM_NCHITTEST}, UINT{WM_ENDSESSION},
                               UINT{WM_APP + 1}, UINT{WM_APP + 2}, UINT{WM_WTSSESSION_CHANGE}, UINT{WM_KEYDOWN}}) {
        EXPECT_FALSE(isSystemOnlyMessage(message)) << std::hex << message;
    }
    EXPECT_TRUE(isForgedTimerCallback(WM_TIMER, kWildPointer));
    EXPECT_FALSE(isForgedTimerCallback(WM_TIMER, 0));
    EXPECT_FALSE(isForgedTimerCallback(WM_COMMAND, kWildPointer));
}

// What reached the recording window's procedure.
std::vector<UINT> received;
LRESULT CALLBACK recordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    received.push_back(message);
    if (message == WM_TIMER) {
        return 0;  // never the default handling: it would call a posted callback
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool receivedAny(UINT message)
{
    for (const UINT got : received) {
        if (got == message) {
            return true;
        }
    }
    return false;
}

void dispatchAll()
{
    MSG message = {};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
}

// The queue filter sees every loop's retrievals on its thread. Without it the
// same posts do arrive, so the test shows the filter's work, not the system's.
TEST(MessageFilter, PostedSystemOnlyMessagesAndTimerCallbacksNeverReachAProcedure)
{
    HWND window = makeForeignWindow(L"HourwardenRecordingWindow", recordingProc);
    ASSERT_NE(window, nullptr);
    const UINT posted[] = {kDpiChanged, WM_DRAWITEM, WM_CTLCOLORSTATIC, WM_NCDESTROY, WM_INITMENUPOPUP};
    for (const bool filtered : {false, true}) {
        SCOPED_TRACE(filtered ? "filtered" : "unfiltered");
        std::optional<QueueFilter> filter;
        if (filtered) {
            filter.emplace();
            ASSERT_TRUE(filter->active());
        }
        received.clear();
        int postsTaken = 0;
        for (const UINT message : posted) {
            postsTaken += PostMessageW(window, message, 1, kWildPointer) ? 1 : 0;
        }
        // A timer with a callback that is no function of the program's.
        const bool timerPosted = PostMessageW(window, WM_TIMER, 7, kWildPointer) != FALSE;
        PostMessageW(window, WM_TIMER, 8, 0);
        PostMessageW(window, WM_COMMAND, 1, 0);
        dispatchAll();
        EXPECT_TRUE(receivedAny(WM_COMMAND));
        if (filtered) {
            for (const UINT message : posted) {
                EXPECT_FALSE(receivedAny(message)) << std::hex << message;
            }
            size_t timers = 0;
            for (const UINT got : received) {
                timers += got == WM_TIMER ? 1 : 0;
            }
            EXPECT_EQ(timers, 1u) << "only the timer without a callback";
        } else {
            // The system may refuse to post some of them (Windows does); what it took arrives.
            size_t arrived = 0;
            for (const UINT message : posted) {
                arrived += receivedAny(message) ? 1 : 0;
            }
            EXPECT_EQ(arrived, static_cast<size_t>(postsTaken));
            if (timerPosted) {
                EXPECT_TRUE(receivedAny(WM_TIMER));
            }
        }
    }
    DestroyWindow(window);
}

// Windows of the program opened over a stand-in for the control window.
class OwnedWindowsTest : public TrackerTest {
protected:
    void SetUp() override
    {
        TrackerTest::SetUp();
        owner_ = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(owner_, nullptr);
    }
    void TearDown() override
    {
        destroyOnDecision(owner_);
        TrackerTest::TearDown();
    }

    HWND owner_ = nullptr;
};

// What shows that a window read a rectangle it was given: the frameless cards
// move to the rectangle of a DPI change; the prompt, which has a frame, takes
// its frame off the rectangle of WM_NCCALCSIZE.
enum class Reads { DpiRectangle, FrameRectangle };

struct ProgramWindow {
    const wchar_t* windowClass;
    void (*open)(HWND owner, UsageTracker* tracker);
    Reads reads;
};

const ProgramWindow kProgramWindows[] = {
    {kStatusWindowClass, showStatusWindow, Reads::DpiRectangle},
    {kSettingsWindowClass, showSettingsWindow, Reads::DpiRectangle},
    {kPasswordWindowClass, openExitPasswordPrompt, Reads::FrameRectangle},
};

// Sends the message that reads a rectangle; true when the window read it.
template <typename Send>
bool readsARectangle(HWND window, Reads reads, Send send)
{
    RECT before = {};
    GetWindowRect(window, &before);
    RECT given = before;
    OffsetRect(&given, 37, 23);
    if (reads == Reads::DpiRectangle) {
        send(window, 0x02E0, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&given));
        RECT after = {};
        GetWindowRect(window, &after);
        return EqualRect(&after, &given) != FALSE;
    }
    const RECT sent = given;
    send(window, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&given));
    return EqualRect(&sent, &given) == FALSE;
}

// A rectangle that is really there: read, it would move the window or lose
// its frame. From another thread it changes nothing; from the window's own
// thread, as the system sends it, it does. Wild pointers from another thread
// crash nothing.
TEST_F(OwnedWindowsTest, MessagesReadAsPointersAreTakenOnlyFromTheWindowsOwnThread)
{
    UsageTracker& usage = start();
    for (const ProgramWindow& w : kProgramWindows) {
        SCOPED_TRACE(testing::Message() << w.windowClass);
        w.open(owner_, &usage);
        HWND window = findOwnWindow(w.windowClass);
        ASSERT_NE(window, nullptr);
        void* record = windowRecord(window);
        ASSERT_NE(record, nullptr);
        EXPECT_FALSE(readsARectangle(window, w.reads, [](HWND to, UINT message, WPARAM wParam, LPARAM lParam) {
            sendFromAnotherThread(to, {message}, wParam, lParam);
        })) << "read from another thread";
        const WPARAM dpi = MAKEWPARAM(96, 96);

        sendFromAnotherThread(window,
                              {kDpiChanged, WM_NCCREATE, WM_CREATE, WM_DRAWITEM, WM_CTLCOLORSTATIC, WM_NCDESTROY,
                               WM_DESTROY, WM_GETMINMAXINFO, WM_WINDOWPOSCHANGING},
                              dpi, kWildPointer);
        EXPECT_TRUE(IsWindow(window));
        EXPECT_EQ(windowRecord(window), record);

        EXPECT_TRUE(readsARectangle(window, w.reads, [](HWND to, UINT message, WPARAM wParam, LPARAM lParam) {
            SendMessageW(to, message, wParam, lParam);
        })) << "the window's own thread is the system's road";
        destroyOnDecision(window);
        EXPECT_EQ(windowRecord(window), nullptr);
    }
}

// A DPI change without its rectangle, from the window's own thread: nothing
// to move to (it once crashed the status window).
TEST_F(OwnedWindowsTest, ADpiChangeWithoutItsRectangleIsIgnored)
{
    UsageTracker& usage = start();
    const struct {
        const wchar_t* windowClass;
        void (*open)(HWND owner, UsageTracker* tracker);
    } windows[] = {
        {kStatusWindowClass, showStatusWindow},
        {kSettingsWindowClass, showSettingsWindow},
    };
    for (const auto& w : windows) {
        SCOPED_TRACE(testing::Message() << w.windowClass);
        w.open(owner_, &usage);
        HWND window = findOwnWindow(w.windowClass);
        ASSERT_NE(window, nullptr);
        RECT before = {};
        GetWindowRect(window, &before);
        const WPARAM dpi = MAKEWPARAM(144, 144);
        EXPECT_EQ(SendMessageW(window, WM_DPICHANGED, dpi, 0), 0);
        RECT after = {};
        GetWindowRect(window, &after);
        EXPECT_TRUE(IsWindow(window));
        EXPECT_TRUE(EqualRect(&before, &after));
        destroyOnDecision(window);
    }
}

}  // namespace
}  // namespace tracker_test
