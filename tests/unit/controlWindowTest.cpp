// The control window inside this process: the real window procedure on a
// tracker with a simulated clock, with the message box, the lock, the
// session service and the shell behind their seams.
#include <windows.h>

#include <wtsapi32.h>

#include <algorithm>
#include <string>
#include <vector>

#include "shell/menuCommands.h"
#include "app/clockThread.h"
#include "app/controlWindow.h"
#include "shell/trayIcon.h"
#include "ui/ownWindows.h"
#include "ui/settings/passwordWindow.h"
#include "ui/settings/settingsUi.h"
#include "ui/settings/settingsWindow.h"
#include "ui/status/statusWindow.h"
#include "ui/status/statusWindowState.h"
#include "ui/windowState.h"
#include "foreignThread.h"
#include "realWindows.h"
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

// Everything the window asked of the platform, in order, with the language
// that was active at the moment of each call.
struct PlatformCall {
    enum Kind {
        MessageBox,
        Lock,
        Balloon,
        Tooltip,
        Add,
        Modify,
        Delete,
        Title,
        Register,
        Unregister,
        LockState,
        SessionActive,
        SwitchDesktop
    } kind;
    std::wstring text;
    std::wstring caption;
    UINT type = 0;
    HWND window = nullptr;
    Language language = Language::English;
};

struct FakePlatform {
    std::vector<PlatformCall> calls;
    BOOL lockAnswer = TRUE;
    BOOL registerAnswer = TRUE;
    BOOL addAnswer = TRUE;
    BOOL modifyAnswer = TRUE;
    SessionLock lockState = SessionLock::Locked;
    bool sessionActive = true;
    // Another desktop of the account has the input: every lock is refused until the switch back.
    bool foreignDesktop = false;
    // The switch back's answer while no foreign desktop has the input.
    DesktopSwitch switchAnswer = DesktopSwitch::AlreadyOwn;
};

FakePlatform fake;

void record(PlatformCall::Kind kind, std::wstring text = {}, std::wstring caption = {}, UINT type = 0,
            HWND window = nullptr)
{
    fake.calls.push_back({kind, std::move(text), std::move(caption), type, window, currentLanguage()});
}

int fakeMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type)
{
    record(PlatformCall::MessageBox, text, caption, type, owner);
    return IDOK;
}

BOOL fakeLock()
{
    record(PlatformCall::Lock);
    return fake.foreignDesktop ? FALSE : fake.lockAnswer;
}

bool fakeSessionActive()
{
    record(PlatformCall::SessionActive);
    return fake.sessionActive;
}

DesktopSwitch fakeSwitchToOwnDesktop()
{
    record(PlatformCall::SwitchDesktop);
    if (fake.foreignDesktop) {
        fake.foreignDesktop = false;
        return DesktopSwitch::Switched;
    }
    return fake.switchAnswer;
}

BOOL fakeRegister(HWND window)
{
    record(PlatformCall::Register, {}, {}, 0, window);
    return fake.registerAnswer;
}

void fakeUnregister(HWND window)
{
    record(PlatformCall::Unregister, {}, {}, 0, window);
}

SessionLock fakeLockState()
{
    record(PlatformCall::LockState);
    return fake.lockState;
}

BOOL fakeNotify(DWORD message, NOTIFYICONDATAW* data)
{
    switch (message) {
    case NIM_ADD:
        record(PlatformCall::Add, data->szTip);
        return fake.addAnswer;
    case NIM_DELETE:
        record(PlatformCall::Delete);
        return TRUE;
    default:
        if (data->uFlags == NIF_INFO) {
            record(PlatformCall::Balloon, data->szInfo, data->szInfoTitle);
        } else if (data->uFlags == NIF_TIP) {
            record(PlatformCall::Tooltip, data->szTip);
        } else {
            record(PlatformCall::Modify, data->szTip);
        }
        return fake.modifyAnswer;
    }
}

constexpr ControlWindowPlatform kFakePlatform = {fakeMessageBox, fakeLock,          fakeRegister,
                                                 fakeUnregister, fakeLockState,     fakeSessionActive,
                                                 fakeSwitchToOwnDesktop};

// Sees the window text set, with the language active at that moment.
WNDPROC originalProc = nullptr;
LRESULT CALLBACK titleWatchingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT) {
        record(PlatformCall::Title, reinterpret_cast<const wchar_t*>(lParam));
    }
    return CallWindowProcW(originalProc, window, message, wParam, lParam);
}

constexpr UINT kSessionChange = WM_WTSSESSION_CHANGE;
const std::wstring kGraceNoticeEnglish =
    L"The time limit has been reached. One minute remains before the computer is locked again.";

class ControlWindowTest : public TrackerTest {
protected:
    void SetUp() override
    {
        TrackerTest::SetUp();
        fake = {};
        setControlWindowPlatform(&kFakePlatform);
        setNotifyIconFunction(fakeNotify);
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = controlWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kControlWindowClass;
        RegisterClassExW(&windowClass);  // fails harmlessly once registered
    }

    void TearDown() override
    {
        closeWindow();
        setNotifyIconFunction(nullptr);
        setControlWindowPlatform(nullptr);
        TrackerTest::TearDown();
    }

    // The window as wWinMain sets it up, on the tracker started by the test.
    HWND openWindow(UsageTracker* usage)
    {
        window_ = createControlWindow(GetModuleHandleW(nullptr), usage, &trayIcon_);
        EXPECT_NE(window_, nullptr);
        fake.calls.clear();
        return window_;
    }

    void closeWindow()
    {
        if (window_ != nullptr) {
            // The program's own end, whichever control window is there now (one
            // destroyed meanwhile is made again).
            endProgram();
            window_ = nullptr;
            // WM_DESTROY posted WM_QUIT to this thread; later tests must not find it.
            MSG quit = {};
            while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
            }
        }
    }

    // What was posted to the control window, as the message loop would dispatch it.
    void dispatchPosted()
    {
        MSG message = {};
        HWND window = currentControlWindow();
        while (window != nullptr && PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }

    // One second of the clock, one second after the previous one, and the
    // window thread's turn at what it asked for.
    void tickWindow()
    {
        advance(kSecondMs);
        runClockTick();
        awaitFiles();
        serviceClockRequests();
    }

    // Ticks for `seconds` and returns at which (1-based) the lock was called, or 0.
    int secondOfLockWithin(int seconds)
    {
        for (int second = 1; second <= seconds; ++second) {
            const size_t before = fake.calls.size();
            tickWindow();
            for (size_t i = before; i < fake.calls.size(); ++i) {
                if (fake.calls[i].kind == PlatformCall::Lock) {
                    return second;
                }
            }
        }
        return 0;
    }

    std::vector<PlatformCall> callsOf(PlatformCall::Kind kind) const
    {
        std::vector<PlatformCall> found;
        for (const PlatformCall& call : fake.calls) {
            if (call.kind == kind) {
                found.push_back(call);
            }
        }
        return found;
    }

    // A spent day whose lock the system has accepted.
    void lockedSpentDay()
    {
        openWindow(&startWithSecondsLeft(30, 1));
        tickWindow();
        ASSERT_EQ(callsOf(PlatformCall::Lock).size(), 1u);
        ASSERT_TRUE(callsOf(PlatformCall::LockState).empty()) << "asked while no lock awaited its unlock";
        ASSERT_TRUE(tracker().isLimitReached());
        fake.calls.clear();
    }

    TrayIcon trayIcon_;
    HWND window_ = nullptr;
};

TEST_F(ControlWindowTest, OnlyAnUnlockGrantsTheMinuteAndItsBalloon)
{
    const struct {
        WPARAM event;
        bool grants;
    } cases[] = {
        {WTS_CONSOLE_CONNECT, false}, {WTS_CONSOLE_DISCONNECT, false}, {WTS_REMOTE_CONNECT, false},
        {WTS_REMOTE_DISCONNECT, false}, {WTS_SESSION_LOGON, false}, {WTS_SESSION_LOGOFF, false},
        {WTS_SESSION_LOCK, false}, {WTS_SESSION_UNLOCK, true}, {WTS_SESSION_REMOTE_CONTROL, false},
        {0x000A /* WTS_SESSION_CREATE */, false}, {0x000B /* WTS_SESSION_TERMINATE */, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "event " << c.event);
        lockedSpentDay();
        // The session is unlocked when the notification comes.
        fake.lockState = SessionLock::Unlocked;
        EXPECT_EQ(SendMessageW(window_, kSessionChange, c.event, 0), 0);
        fake.lockState = SessionLock::Locked;
        const std::vector<PlatformCall> balloons = callsOf(PlatformCall::Balloon);
        if (c.grants) {
            ASSERT_EQ(balloons.size(), 1u);
            EXPECT_EQ(balloons[0].text, kGraceNoticeEnglish);
            EXPECT_EQ(balloons[0].caption, L"Hourwarden");
            EXPECT_EQ(secondOfLockWithin(3 * 60), 60);
        } else {
            EXPECT_TRUE(balloons.empty());
            EXPECT_EQ(secondOfLockWithin(3 * 60), 0);
        }
        EXPECT_EQ(tracker().usedSeconds(), 30 * 60);
        closeWindow();
    }
}

TEST_F(ControlWindowTest, EachMinuteNoticeShowsItsOwnTextInBothLanguages)
{
    const struct {
        Language language;
        int32_t secondsLeft;
        const wchar_t* text;
    } cases[] = {
        {Language::English, 180, L"3 minutes remaining"},
        {Language::English, 120, L"2 minutes remaining"},
        {Language::English, 60, L"1 minute remaining"},
        {Language::Russian, 180, L"До окончания времени осталось 3 минуты"},
        {Language::Russian, 120, L"До окончания времени осталось 2 минуты"},
        {Language::Russian, 60, L"До окончания времени осталась 1 минута"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.secondsLeft << " s left, language " << static_cast<int>(c.language));
        UsageTracker& usage = startWithSecondsLeft(30, c.secondsLeft + 1);
        usage.setLanguage(c.language);
        openWindow(&usage);
        tickWindow();
        // The day's warning comes first (its box is modal), then the notice.
        ASSERT_EQ(fake.calls.size(), 2u);
        const PlatformCall& box = fake.calls[0];
        EXPECT_EQ(box.kind, PlatformCall::MessageBox);
        EXPECT_EQ(box.window, window_);
        EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
        EXPECT_EQ(box.caption, L"Hourwarden");
        EXPECT_EQ(box.text, c.language == Language::English
                                ? L"There are 5 minutes left of the allowed computer time."
                                : L"До окончания разрешенного времени работы осталось 5 минут.");
        const PlatformCall& balloon = fake.calls[1];
        EXPECT_EQ(balloon.kind, PlatformCall::Balloon);
        EXPECT_EQ(balloon.text, c.text);
        EXPECT_EQ(balloon.caption, L"Hourwarden");
        // The next second brings nothing.
        fake.calls.clear();
        tickWindow();
        EXPECT_TRUE(fake.calls.empty());
        closeWindow();
    }
}

// The clock is the program's own: no timer message, whoever sends it, counts a
// second or shows anything.
TEST_F(ControlWindowTest, TimerMessagesCountNothing)
{
    // 181 s left: a counted second would bring the warning and the 3-minute notice.
    UsageTracker& usage = startWithSecondsLeft(30, 181);
    openWindow(&usage);
    for (const WPARAM timer : {WPARAM{0}, WPARAM{1}, WPARAM{2}, WPARAM{1001}}) {
        advance(kSecondMs);
        EXPECT_EQ(SendMessageW(window_, WM_TIMER, timer, 0), 0);
        EXPECT_EQ(SendMessageW(window_, kClockServiceMessage, 0, 0), 0);
    }
    EXPECT_EQ(usage.remainingSeconds(), 181);
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_FALSE(savedUsage().warningShown);

    tickWindow();
    EXPECT_EQ(usage.remainingSeconds(), 180);
    EXPECT_EQ(callsOf(PlatformCall::Balloon).size(), 1u);
}

TEST_F(ControlWindowTest, ATickBeforeTheTrackerIsStoredDoesNothing)
{
    startWithSecondsLeft(30, 181);
    openWindow(nullptr);
    tickWindow();
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(tracker().remainingSeconds(), 181);
}

TEST_F(ControlWindowTest, ALanguageSwitchRetitlesWindowAndTooltipInTheNewLanguage)
{
    UsageTracker& usage = start();
    openWindow(&usage);
    originalProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(titleWatchingProc)));
    const struct {
        CommandId command;
        Language language;
        const char* code;
    } cases[] = {{CommandId::Russian, Language::Russian, "\"ru\""},
                 {CommandId::Russian, Language::Russian, "\"ru\""},
                 {CommandId::English, Language::English, "\"en\""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        fake.calls.clear();
        DeleteFileW(configPath().c_str());
        SendMessageW(window_, WM_COMMAND, static_cast<WPARAM>(c.command), 0);
        EXPECT_EQ(usage.config().language, c.language);
        EXPECT_NE(readWholeFile(configPath()).find(c.code), std::string::npos) << "config.json not saved";
        // Both texts are set once each, after the switch: in the new language.
        ASSERT_EQ(fake.calls.size(), 2u);
        EXPECT_EQ(fake.calls[0].kind, PlatformCall::Title);
        EXPECT_EQ(fake.calls[0].text, L"Hourwarden");
        EXPECT_EQ(fake.calls[0].language, c.language);
        EXPECT_EQ(fake.calls[1].kind, PlatformCall::Tooltip);
        EXPECT_EQ(fake.calls[1].text, L"Hourwarden");
        EXPECT_EQ(fake.calls[1].language, c.language);
    }
    wchar_t title[32] = {};
    GetWindowTextW(window_, title, 32);
    EXPECT_STREQ(title, L"Hourwarden");
}

TEST_F(ControlWindowTest, AFailedSessionRegistrationIsRetriedUntilItHoldsEverySecondThenEvery30s)
{
    fake.registerAnswer = FALSE;
    UsageTracker& usage = startWithSecondsLeft(30, 20 * 60);
    openWindow(&usage);
    for (int second = 1; second <= 3; ++second) {
        tickWindow();
        EXPECT_EQ(callsOf(PlatformCall::Register).size(), static_cast<size_t>(second));
    }
    fake.registerAnswer = TRUE;
    for (int second = 1; second <= 5; ++second) {
        tickWindow();
    }
    const std::vector<PlatformCall> registrations = callsOf(PlatformCall::Register);
    ASSERT_EQ(registrations.size(), 4u);
    EXPECT_EQ(registrations.back().window, window_);
    HWND window = window_;
    closeWindow();
    const std::vector<PlatformCall> unregistrations = callsOf(PlatformCall::Unregister);
    ASSERT_EQ(unregistrations.size(), 1u);
    EXPECT_EQ(unregistrations[0].window, window);

    // A registration that never held is not undone.
    fake = {};
    fake.registerAnswer = FALSE;
    openWindow(&usage);
    tickWindow();
    closeWindow();
    EXPECT_EQ(callsOf(PlatformCall::Register).size(), 1u);
    EXPECT_TRUE(callsOf(PlatformCall::Unregister).empty());

    // One that keeps failing is tried at every tick for a minute, then every 30 s.
    fake = {};
    fake.registerAnswer = FALSE;
    UsageTracker& failing = startWithSecondsLeft(30, 20 * 60);
    openWindow(&failing);
    std::vector<int> triedAt;
    for (int second = 1; second <= 150; ++second) {
        const size_t before = callsOf(PlatformCall::Register).size();
        tickWindow();
        if (callsOf(PlatformCall::Register).size() > before) {
            triedAt.push_back(second);
        }
    }
    std::vector<int> expectedTries;
    for (int second = 1; second <= 60; ++second) {
        expectedTries.push_back(second);
    }
    expectedTries.insert(expectedTries.end(), {90, 120, 150});
    EXPECT_EQ(triedAt, expectedTries);
    closeWindow();
}

TEST_F(ControlWindowTest, WorkAtAnUnlockedSessionAfterTheLockBringsTheMinuteAndItsBalloon)
{
    lockedSpentDay();
    // The session stays locked: input there is the lock screen's.
    std::vector<int> askedAt;
    for (int second = 1; second <= 5 * 60; ++second) {
        const size_t before = callsOf(PlatformCall::LockState).size();
        tickWindow();
        if (callsOf(PlatformCall::LockState).size() > before) {
            askedAt.push_back(second);
        }
    }
    EXPECT_TRUE(callsOf(PlatformCall::Balloon).empty());
    // Every second for the first minute after the accepted lock, then every 5 s.
    std::vector<int> expectedAsks;
    for (int second = 1; second < 60; ++second) {
        expectedAsks.push_back(second);
    }
    for (int second = 64; second <= 5 * 60; second += 5) {
        expectedAsks.push_back(second);
    }
    EXPECT_EQ(askedAt, expectedAsks);
    EXPECT_TRUE(callsOf(PlatformCall::Lock).empty());

    // Unlocked without a word from the session service, and the user works.
    fake.calls.clear();
    fake.lockState = SessionLock::Unlocked;
    // The state is asked every 5 s by now: the next ask finds the session unlocked.
    int ticks = 0;
    while (callsOf(PlatformCall::LockState).empty() && ticks < 5) {
        tickWindow();
        ++ticks;
    }
    EXPECT_EQ(ticks, 4) << "the last ask was at 299 s";
    ASSERT_EQ(callsOf(PlatformCall::Balloon).size(), 1u);
    EXPECT_EQ(callsOf(PlatformCall::Balloon)[0].text, kGraceNoticeEnglish);
    fake.calls.clear();
    EXPECT_EQ(secondOfLockWithin(3 * 60), 60);
    EXPECT_TRUE(callsOf(PlatformCall::LockState).empty()) << "asked during the minute";
    EXPECT_EQ(tracker().usedSeconds(), 30 * 60);
}

// As under Wine: every lock is refused and input keeps coming. The lock is
// asked for again at every tick; no refused lock turns into a minute, and no
// unlock notification (a script's, every 50 s) either.
TEST_F(ControlWindowTest, ARefusedLockIsAskedForAtEveryTickAndNeverAnswered)
{
    fake.lockAnswer = FALSE;
    fake.lockState = SessionLock::Unlocked;
    openWindow(&startWithSecondsLeft(30, 1));
    for (int second = 1; second <= 3 * 60; ++second) {
        if (second % 50 == 0) {
            SendMessageW(window_, kSessionChange, WTS_SESSION_UNLOCK, 0);
        }
        tickWindow();
    }
    EXPECT_EQ(callsOf(PlatformCall::Lock).size(), 3u * 60);
    EXPECT_TRUE(callsOf(PlatformCall::Balloon).empty());
    EXPECT_EQ(callsOf(PlatformCall::LockState).size(), 3u) << "asked only for the notifications";
}

// While set, the held files' writes fail with this error; the tracker's count goes on as usual otherwise.
DWORD refusedWriteError = ERROR_SUCCESS;
BOOL refusingWrite(HANDLE file, const void* bytes, DWORD length, DWORD* written)
{
    if (refusedWriteError != ERROR_SUCCESS) {
        SetLastError(refusedWriteError);
        return FALSE;
    }
    return countingWrite(file, bytes, length, written);
}
HeldFileCalls refusingCalls = {};

// Each run of refused saves names its cause in one balloon: a full disk keeps
// the count going; another program's lock on the file stops it.
TEST_F(ControlWindowTest, ARunOfRefusedSavesNamesItsCauseInOneBalloon)
{
    refusingCalls = systemHeldFileCalls();
    refusingCalls.write = refusingWrite;
    setHeldFileCalls(&refusingCalls);
    openWindow(&startWithSecondsLeft(30, 10 * 60));
    const struct {
        const char* name;
        DWORD error;
        const wchar_t* balloon;
        int64_t counted;  // in five seconds of refusals
    } causes[] = {
        {"full disk", ERROR_DISK_FULL, L"Hourwarden cannot save its files: the disk is full. Time is still counted.", 5},
        // The first refusal comes at the end of a tick that counted its second.
        {"locked by another program", ERROR_LOCK_VIOLATION,
         L"Another program has locked Hourwarden's files, so today counts as used up until it lets go.", 1},
    };
    for (const auto& c : causes) {
        SCOPED_TRACE(c.name);
        fake.calls.clear();
        const int64_t before = tracker().usedSeconds();
        refusedWriteError = c.error;
        for (int second = 1; second <= 5; ++second) {
            tickWindow();
        }
        const std::vector<PlatformCall> balloons = callsOf(PlatformCall::Balloon);
        ASSERT_EQ(balloons.size(), 1u);
        EXPECT_EQ(balloons[0].text, c.balloon);
        EXPECT_EQ(tracker().usedSeconds(), before + c.counted);
        refusedWriteError = ERROR_SUCCESS;
        tickWindow();
        EXPECT_EQ(savedUsage().usedSeconds, tracker().usedSeconds());
    }
    EXPECT_TRUE(callsOf(PlatformCall::Lock).empty());
}

// The kinds of the calls made since `from`, in order, leaving out the tray's.
std::vector<PlatformCall::Kind> lockCallsSince(size_t from)
{
    std::vector<PlatformCall::Kind> kinds;
    for (size_t i = from; i < fake.calls.size(); ++i) {
        const PlatformCall::Kind kind = fake.calls[i].kind;
        if (kind == PlatformCall::Lock || kind == PlatformCall::SessionActive || kind == PlatformCall::SwitchDesktop ||
            kind == PlatformCall::LockState) {
            kinds.push_back(kind);
        }
    }
    return kinds;
}

using Calls = std::vector<PlatformCall::Kind>;
constexpr PlatformCall::Kind kLock = PlatformCall::Lock;
constexpr PlatformCall::Kind kActive = PlatformCall::SessionActive;
constexpr PlatformCall::Kind kSwitch = PlatformCall::SwitchDesktop;
constexpr PlatformCall::Kind kState = PlatformCall::LockState;

// Through the seam (Wine has one desktop); the real switch is
// TheSystemsSwitchTakesTheInputBackFromAnotherDesktop_WindowsOnly below.
// A refused lock: while the session is active the input goes back to the
// program's desktop and the lock is asked again in the same tick. Only a
// switch that went through counts for the parent: a disconnected session
// (a switch of user) is left alone, and the lock screen or the program's own
// desktop holding the input are no other desktop's doing.
TEST_F(ControlWindowTest, ARefusedLockTakesTheInputBackFromAnotherDesktopAndLocksAgainAtOnce)
{
    const struct {
        const char* name;
        bool active;
        bool foreignDesktop;
        DesktopSwitch switchAnswer;
        Calls firstTick;
        uint32_t takeBacks;
    } cases[] = {
        {"another desktop has the input", true, true, DesktopSwitch::Refused, {kLock, kActive, kSwitch, kLock}, 1},
        {"session disconnected", false, true, DesktopSwitch::Refused, {kLock, kActive}, 0},
        {"secure desktop", true, false, DesktopSwitch::Refused, {kLock, kActive, kSwitch}, 0},
        {"own desktop, lock refused for another cause", true, false, DesktopSwitch::AlreadyOwn,
         {kLock, kActive, kSwitch}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake = {};
        fake.lockState = SessionLock::Unlocked;
        fake.sessionActive = c.active;
        fake.foreignDesktop = c.foreignDesktop;
        fake.switchAnswer = c.switchAnswer;
        // Refused wherever the input is; from the program's own desktop, taken back, accepted.
        fake.lockAnswer = c.foreignDesktop ? TRUE : FALSE;
        openWindow(&startWithSecondsLeft(30, 1));
        tickWindow();
        EXPECT_EQ(lockCallsSince(0), c.firstTick);
        EXPECT_EQ(tracker().inputDesktopTakeBacks(), c.takeBacks);
        EXPECT_EQ(tracker().awaitsUnlock(), c.takeBacks > 0) << "the second lock was accepted";
        // Still there at the next tick: asked again, and taken back again only where it went through.
        const size_t before = fake.calls.size();
        fake.foreignDesktop = c.foreignDesktop && c.takeBacks == 0;
        fake.lockState = SessionLock::Locked;
        tickWindow();
        if (c.takeBacks > 0) {
            EXPECT_EQ(lockCallsSince(before), Calls{kState}) << "locked: nothing more";
        } else {
            EXPECT_EQ(lockCallsSince(before), c.firstTick);
        }
        EXPECT_TRUE(callsOf(PlatformCall::Balloon).empty());
        closeWindow();
    }
}

// The switch itself, as the system does it: another desktop of the session
// takes the input, and the program's call gives it back to the desktop the
// control window was made on. Wine has one input desktop and never switches
// it. That the lock then follows at once needs a signed-in session whose lock
// Windows accepts: a manual step of scripts/windows-checks.cmd.
TEST_F(ControlWindowTest, TheSystemsSwitchTakesTheInputBackFromAnotherDesktop_WindowsOnly)
{
    SKIP_UNLESS_REAL_WINDOWS("Wine has one input desktop and never switches it");
    openWindow(&startWithSecondsLeft(30, 1));
    DesktopSwitch (*const switchBack)() = systemControlWindowPlatform().switchToOwnDesktop;
    ASSERT_EQ(switchBack(), DesktopSwitch::AlreadyOwn) << "the input is not on this console's desktop";

    HDESK own = GetThreadDesktop(GetCurrentThreadId());
    HDESK other = CreateDesktopW(L"HourwardenWindowsCheck", nullptr, nullptr, 0,
                                 DESKTOP_SWITCHDESKTOP | DESKTOP_READOBJECTS | DESKTOP_CREATEWINDOW, nullptr);
    ASSERT_NE(other, nullptr) << GetLastError();
    // Whatever fails below, the input goes back to this desktop.
    struct InputBack {
        HDESK own;
        HDESK other;
        ~InputBack()
        {
            HDESK switchable = OpenDesktopW(L"Default", 0, FALSE, DESKTOP_SWITCHDESKTOP);
            SwitchDesktop(switchable != nullptr ? switchable : own);
            if (switchable != nullptr) {
                CloseDesktop(switchable);
            }
            CloseDesktop(other);
        }
    } inputBack{own, other};
    ASSERT_TRUE(SwitchDesktop(other)) << GetLastError();

    EXPECT_EQ(switchBack(), DesktopSwitch::Switched);
    HDESK input = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    ASSERT_NE(input, nullptr) << GetLastError();
    wchar_t inputName[64] = {};
    wchar_t ownName[64] = {};
    GetUserObjectInformationW(input, UOI_NAME, inputName, sizeof inputName - sizeof inputName[0], nullptr);
    GetUserObjectInformationW(own, UOI_NAME, ownName, sizeof ownName - sizeof ownName[0], nullptr);
    CloseDesktop(input);
    EXPECT_STREQ(inputName, ownName);
    EXPECT_EQ(switchBack(), DesktopSwitch::AlreadyOwn) << "asked again once the input is back";
}

// The lock is accepted, but the session is not seen locked within the lock's
// settling time (another desktop took the input in between): in an active
// session the input is taken back and the lock asked again in that tick, and
// no minute is granted. A disconnected session keeps what an unlock the
// session service reports has always meant: the one more minute.
TEST_F(ControlWindowTest, AnAcceptedLockTheSessionDoesNotTakeIsTakenBackAndAskedAgain)
{
    for (const bool active : {true, false}) {
        SCOPED_TRACE(active ? "active session" : "disconnected session");
        fake = {};
        fake.sessionActive = active;
        fake.lockState = SessionLock::Unlocked;
        openWindow(&startWithSecondsLeft(30, 1));
        tickWindow();
        ASSERT_EQ(lockCallsSince(0), Calls{kLock});
        ASSERT_TRUE(tracker().awaitsUnlock());
        fake.foreignDesktop = true;
        // The lock's settling time: the state is asked, nothing else.
        for (int second = 1; second <= 5; ++second) {
            const size_t before = fake.calls.size();
            tickWindow();
            EXPECT_EQ(lockCallsSince(before), Calls{kState}) << second;
        }
        const size_t before = fake.calls.size();
        tickWindow();
        if (active) {
            EXPECT_EQ(lockCallsSince(before), (Calls{kState, kActive, kSwitch, kLock}));
            EXPECT_EQ(tracker().inputDesktopTakeBacks(), 1u);
            EXPECT_TRUE(tracker().awaitsUnlock());
            EXPECT_TRUE(callsOf(PlatformCall::Balloon).empty()) << "no minute for a lock that never took hold";
            // The lock asked again settles afresh, then takes hold: nothing more is asked for.
            for (int second = 1; second <= 5; ++second) {
                const size_t tickStart = fake.calls.size();
                tickWindow();
                EXPECT_EQ(lockCallsSince(tickStart), Calls{kState}) << second;
            }
            fake.lockState = SessionLock::Locked;
            const size_t locked = fake.calls.size();
            for (int second = 1; second <= 2 * 60; ++second) {
                tickWindow();
            }
            const Calls afterLocked = lockCallsSince(locked);
            EXPECT_EQ(std::count(afterLocked.begin(), afterLocked.end(), kLock), 0);
            EXPECT_EQ(std::count(afterLocked.begin(), afterLocked.end(), kSwitch), 0);
            EXPECT_EQ(tracker().inputDesktopTakeBacks(), 1u);
        } else {
            EXPECT_EQ(lockCallsSince(before), (Calls{kState, kActive}));
            EXPECT_EQ(tracker().inputDesktopTakeBacks(), 0u);
            ASSERT_EQ(callsOf(PlatformCall::Balloon).size(), 1u);
            EXPECT_EQ(callsOf(PlatformCall::Balloon)[0].text, kGraceNoticeEnglish);
        }
        closeWindow();
    }
}

// Another program of the account can send any message and rewrite the window's
// fields. None of it ends the program, stops the count or reaches the tray object.
TEST_F(ControlWindowTest, MessagesAndFieldWritesFromOutsideEndNothingAndFoolNothing)
{
    const struct {
        const char* name;
        void (*attack)(HWND window);
    } attacks[] = {
        {"WM_DESTROY", [](HWND window) { SendMessageW(window, WM_DESTROY, 0, 0); }},
        {"WM_NCDESTROY", [](HWND window) { SendMessageW(window, WM_NCDESTROY, 0, 0); }},
        {"user data cleared", [](HWND window) { SetWindowLongPtrW(window, GWLP_USERDATA, 0); }},
        {"user data junk", [](HWND window) { SetWindowLongPtrW(window, GWLP_USERDATA, 0x12345678); }},
        {"tray property junk", [](HWND window) { SetPropW(window, kTrayIconProperty, reinterpret_cast<HANDLE>(1)); }},
        {"tray property removed", [](HWND window) { RemovePropW(window, kTrayIconProperty); }},
        {"second WM_NCCREATE",
         [](HWND window) {
             CREATESTRUCTW create = {};
             create.lpCreateParams = reinterpret_cast<void*>(0x12345678);
             SendMessageW(window, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create));
         }},
        {"session notifications flag removed",
         [](HWND window) { RemovePropW(window, kSessionNotificationsProperty); }},
    };
    for (const auto& a : attacks) {
        SCOPED_TRACE(a.name);
        // The next counted second leaves 180 s: the 3-minute balloon goes through the tray object.
        openWindow(&startWithSecondsLeft(30, 181));
        a.attack(window_);
        MSG quit = {};
        EXPECT_FALSE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
        EXPECT_TRUE(IsWindow(window_));
        tickWindow();
        EXPECT_EQ(tracker().usedSeconds(), 30 * 60 - 180);
        const std::vector<PlatformCall> balloons = callsOf(PlatformCall::Balloon);
        ASSERT_EQ(balloons.size(), 1u);
        EXPECT_EQ(balloons[0].text, L"3 minutes remaining");
        EXPECT_TRUE(callsOf(PlatformCall::Delete).empty()) << "the icon stays";
        EXPECT_TRUE(callsOf(PlatformCall::Unregister).empty());
        EXPECT_TRUE(callsOf(PlatformCall::Register).empty()) << "still registered";
        // The program's own end still works, and tidies up as always.
        closeWindow();
        EXPECT_EQ(callsOf(PlatformCall::Delete).size(), 1u);
        EXPECT_EQ(callsOf(PlatformCall::Unregister).size(), 1u);
    }
}

// What a second start of the program on the same files asks for.
TEST_F(ControlWindowTest, TheShowStatusRequestOpensTheStatusWindow)
{
    showStatusRequestMessage = RegisterWindowMessageW(kShowStatusRequestName);
    ASSERT_NE(showStatusRequestMessage, 0u);
    openWindow(&start());
    ASSERT_EQ(findOwnWindow(kStatusWindowClass), nullptr);
    EXPECT_EQ(SendMessageW(window_, showStatusRequestMessage, 0, 0), kShowStatusRequestAccepted);
    HWND status = findOwnWindow(kStatusWindowClass);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(GetWindow(status, GW_OWNER), window_);
    // A second request brings the same window back rather than a new one.
    SendMessageW(window_, showStatusRequestMessage, 0, 0);
    EXPECT_EQ(findOwnWindow(kStatusWindowClass), status);
    closeWindow();
    EXPECT_FALSE(IsWindow(status));
}

// A close request (taskkill without /f, the shell's polite close, the Restart
// Manager) meets the exit password exactly as the menu's Exit does. The end of
// the session only saves both files: Windows ends the program, and a sign-out
// that is cancelled leaves it counting.
TEST_F(ControlWindowTest, CloseRequestsEndTheProgramUnlessTheExitPasswordGuardsIt)
{
    const struct {
        const char* name;
        const wchar_t* password;
        bool exitFlag;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        bool ends;
        bool prompts;
    } cases[] = {
        {"close, no password", L"", false, WM_CLOSE, 0, 0, true, false},
        {"close, password without the exit flag", L"pw", false, WM_CLOSE, 0, 0, true, false},
        {"close, exit flag without a password", L"", true, WM_CLOSE, 0, 0, true, false},
        {"close, exit password", L"pw", true, WM_CLOSE, 0, 0, false, true},
        {"session ends, exit password", L"pw", true, WM_ENDSESSION, TRUE, 0, false, false},
        {"session ends, no password", L"", false, WM_ENDSESSION, TRUE, 0, false, false},
        {"session goes on, exit password", L"pw", true, WM_ENDSESSION, FALSE, 0, false, false},
        {"restart manager, exit password", L"pw", true, WM_ENDSESSION, TRUE, kEndSessionCloseApp, false, true},
        {"restart manager, no password", L"", false, WM_ENDSESSION, TRUE, kEndSessionCloseApp, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UsageTracker& usage = start();
        if (c.password[0] != L'\0') {
            ASSERT_TRUE(usage.setPassword(c.password));
        } else {
            ASSERT_TRUE(usage.removePassword());
        }
        ASSERT_TRUE(usage.setRequirePasswordOnExit(c.exitFlag));
        openWindow(&usage);
        countDataWritesFromNow();

        EXPECT_EQ(SendMessageW(window_, c.message, c.wParam, c.lParam), 0);
        // The Restart Manager's request goes through the queue as a close request.
        dispatchPosted();
        MSG quit = {};
        const bool quitPosted = PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != FALSE;
        EXPECT_EQ(!IsWindow(window_), c.ends);
        EXPECT_EQ(quitPosted, c.ends);
        const bool endingSession = c.message == WM_ENDSESSION && c.wParam != FALSE && c.lParam == 0;
        EXPECT_EQ(dataFileWrittenSince(), endingSession) << "the last save comes with the end of the session";
        if (endingSession) {
            // The sign-out may yet be cancelled: the count goes on.
            const int64_t used = usage.usedSeconds();
            tickWindow();
            EXPECT_EQ(usage.usedSeconds(), used + 1);
        }
        HWND prompt = findOwnWindow(kPasswordWindowClass);
        EXPECT_EQ(prompt != nullptr, c.prompts);
        if (c.prompts && prompt != nullptr) {
            EXPECT_EQ(GetWindow(prompt, GW_OWNER), window_);
            EXPECT_NE(GetPropW(prompt, kExitAfterPasswordProperty), nullptr) << "the prompt is in its exit mode";
            // A second request brings the same prompt forward.
            SendMessageW(window_, WM_CLOSE, 0, 0);
            EXPECT_EQ(findOwnWindow(kPasswordWindowClass), prompt);
            EXPECT_TRUE(IsWindow(window_));
            // Only the password ends the program.
            SetDlgItemTextW(prompt, kPromptFieldId, c.password);
            SendMessageW(prompt, WM_COMMAND, kPromptOkId, 0);
            EXPECT_FALSE(IsWindow(window_));
            EXPECT_FALSE(IsWindow(prompt));
        }
        if (!IsWindow(window_)) {
            window_ = nullptr;
        }
        closeWindow();
        while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
}

// The count and the lock run on the clock's own thread: a window thread that
// takes no message at all (a flood, a hung modal loop) holds up neither. What
// the clock asked of the windows waits for the window thread's turn.
TEST_F(ControlWindowTest, TheClockCountsAndLocksWhileTheWindowThreadTakesNoMessage)
{
    constexpr DWORD kFastPeriodMs = 50;
    UsageTracker& usage = startWithSecondsLeft(30, 5);
    openWindow(&usage);
    {
        ClockThread clock;
        // Each fast tick stands for a second; only the clock's thread touches the simulated clocks meanwhile.
        ASSERT_TRUE(clock.start(
            [] {
                advance(kSecondMs);
                runClockTick();
            },
            kFastPeriodMs));
        // This thread, the control window's, neither pumps nor serves meanwhile.
        const ULONGLONG end = GetTickCount64() + 5000;
        while (!usage.isLimitReached() && GetTickCount64() < end) {
            Sleep(kFastPeriodMs);
        }
        Sleep(4 * kFastPeriodMs);  // the lock follows the last counted second within one tick
        clock.stop();
    }
    EXPECT_TRUE(usage.isLimitReached());
    EXPECT_EQ(callsOf(PlatformCall::Lock).size(), 1u);
    EXPECT_TRUE(callsOf(PlatformCall::MessageBox).empty()) << "the box belongs to the window thread";

    serviceClockRequests();
    ASSERT_EQ(callsOf(PlatformCall::MessageBox).size(), 1u);
    const std::vector<PlatformCall> balloons = callsOf(PlatformCall::Balloon);
    ASSERT_EQ(balloons.size(), 0u) << "5 s left passes no minute mark";
}

// Another program can make the control window a child of one of its windows
// (or of ours) and destroy it with that parent. Re-parented, it is put back at
// the next turn; destroyed, it is made again with its icon and its session
// notifications. The program never ends and never stops counting.
TEST_F(ControlWindowTest, AControlWindowTakenFromOutsideComesBack)
{
    for (const bool destroyed : {false, true}) {
        SCOPED_TRACE(destroyed ? "destroyed with its new parent" : "re-parented only");
        UsageTracker& usage = startWithSecondsLeft(30, 20 * 60);
        HWND original = openWindow(&usage);
        HWND parent = makeForeignWindow(L"ForeignParent", DefWindowProcW, WS_OVERLAPPEDWINDOW);
        ASSERT_NE(parent, nullptr);
        SetParent(original, parent);
        ASSERT_EQ(GetAncestor(original, GA_PARENT), parent);
        if (destroyed) {
            DestroyWindow(parent);
            ASSERT_FALSE(IsWindow(original));
        }
        tickWindow();

        HWND now = currentControlWindow();
        ASSERT_NE(now, nullptr);
        EXPECT_TRUE(IsWindow(now));
        EXPECT_EQ(GetAncestor(now, GA_PARENT), GetDesktopWindow());
        MSG quit = {};
        EXPECT_FALSE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the program must not end";
        if (destroyed) {
            EXPECT_NE(now, original);
            ASSERT_EQ(callsOf(PlatformCall::Add).size(), 1u) << "the icon comes back";
            ASSERT_EQ(callsOf(PlatformCall::Register).size(), 1u);
            EXPECT_EQ(callsOf(PlatformCall::Register)[0].window, now);
            EXPECT_EQ(callsOf(PlatformCall::Delete).size(), 1u) << "the old window's icon goes";
        } else {
            EXPECT_EQ(now, original);
            EXPECT_TRUE(callsOf(PlatformCall::Add).empty());
            DestroyWindow(parent);
            EXPECT_TRUE(IsWindow(original)) << "no longer the parent's child";
        }
        // Counting all along, and the new window is the program's in every way.
        EXPECT_EQ(usage.remainingSeconds(), 20 * 60 - 1);
        tickWindow();
        EXPECT_EQ(usage.remainingSeconds(), 20 * 60 - 2);
        window_ = now;
        fake.calls.clear();
        SendMessageW(now, WM_CLOSE, 0, 0);
        EXPECT_FALSE(IsWindow(now));
        EXPECT_EQ(callsOf(PlatformCall::Delete).size(), 1u);
        window_ = nullptr;
        while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
}

// The shell may lose the icon without a word (another program can delete it):
// once a minute the icon is asked for, and added again when it is gone.
TEST_F(ControlWindowTest, ATrayIconLostWithoutAWordIsBackWithinAMinute)
{
    openWindow(&startWithSecondsLeft(30, 20 * 60));
    fake.modifyAnswer = FALSE;  // the shell no longer holds the icon
    std::vector<int> addedAt;
    for (int second = 1; second <= 125; ++second) {
        const size_t before = callsOf(PlatformCall::Add).size();
        tickWindow();
        if (callsOf(PlatformCall::Add).size() > before) {
            addedAt.push_back(second);
        }
    }
    EXPECT_EQ(addedAt, (std::vector<int>{61, 121}));
}

// A day record the program cannot read gives no time: the balloon says why, once.
TEST_F(ControlWindowTest, AnUnreadableDayRecordIsAnnouncedOnceByABalloon)
{
    storeConfig(120);
    ASSERT_TRUE(writeWholeFile(dataPath(), std::string(300, '\0')));
    openWindow(&start());
    tickWindow();
    tickWindow();
    const std::vector<PlatformCall> balloons = callsOf(PlatformCall::Balloon);
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(balloons[0].text, L"Hourwarden cannot read its files, so today counts as used up. A parent can "
                                L"repair them: see \"When Windows misbehaves\" in the README.");
}



// Each of the windows the program opens from the control window, and how it
// closes itself when asked (the close button, Cancel).
struct OpenedWindow {
    const char* name;
    const wchar_t* windowClass;
    void (*open)(HWND control, UsageTracker* tracker);
    void (*close)(HWND window);
};

const OpenedWindow kOpenedWindows[] = {
    {"status window", kStatusWindowClass, showStatusWindow, [](HWND w) { SendMessageW(w, WM_CLOSE, 0, 0); }},
    {"settings window", kSettingsWindowClass, showSettingsWindow,
     [](HWND w) { SendMessageW(w, WM_COMMAND, kCancelButtonId, 0); }},
    {"settings prompt", kPasswordWindowClass, [](HWND c, UsageTracker* t) { showPasswordWindow(c, t, false); },
     [](HWND w) { SendMessageW(w, WM_COMMAND, kPromptCancelId, 0); }},
    {"exit prompt", kPasswordWindowClass, openExitPasswordPrompt, [](HWND w) { SendMessageW(w, WM_CLOSE, 0, 0); }},
};

// Another program may clear the owner of one of the program's windows and make
// the control window owned by it: the window's own close then destroys the
// control window too. Only the program's decision ends the program: the
// control window comes back, and the count goes on.
TEST_F(ControlWindowTest, AControlWindowOwnedFromOutsideByAClosingWindowComesBack)
{
    for (const OpenedWindow& opened : kOpenedWindows) {
        SCOPED_TRACE(opened.name);
        UsageTracker& usage = startWithSecondsLeft(30, 20 * 60);
        ASSERT_TRUE(usage.setPassword(L"pw"));
        ASSERT_TRUE(usage.setRequirePasswordOnExit(true));
        HWND original = openWindow(&usage);
        opened.open(original, &usage);
        HWND window = findOwnWindow(opened.windowClass);
        ASSERT_NE(window, nullptr);
        SetWindowLongPtrW(window, GWLP_HWNDPARENT, 0);
        SetWindowLongPtrW(original, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(window));
        ASSERT_EQ(GetWindow(original, GW_OWNER), window);

        opened.close(window);
        ASSERT_FALSE(IsWindow(window));
        ASSERT_FALSE(IsWindow(original)) << "destroyed with the window that owned it";
        MSG quit = {};
        EXPECT_FALSE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the program must not end";
        EXPECT_TRUE(callsOf(PlatformCall::Unregister).empty());
        EXPECT_FALSE(programEndDecided());

        tickWindow();
        HWND now = currentControlWindow();
        ASSERT_NE(now, nullptr);
        EXPECT_NE(now, original);
        EXPECT_EQ(callsOf(PlatformCall::Add).size(), 1u) << "the icon comes back";
        EXPECT_EQ(usage.remainingSeconds(), 20 * 60 - 1);
        tickWindow();
        EXPECT_EQ(usage.remainingSeconds(), 20 * 60 - 2);
        EXPECT_EQ(recordedWindowCount(), 1u) << "only the control window keeps a record";
        window_ = now;
        closeWindow();
    }
}

// Destroyed with an owner that another program gave them, the status window,
// the settings window and the prompts are gone for good: what they kept is
// freed (a half-typed password too) and nothing makes them again. Messages
// that only claim their end free nothing.
TEST_F(ControlWindowTest, WindowsDestroyedWithAnOwnerFromOutsideAreFreedAndNotMadeAgain)
{
    for (const OpenedWindow& opened : kOpenedWindows) {
        SCOPED_TRACE(opened.name);
        UsageTracker& usage = startWithSecondsLeft(30, 20 * 60);
        ASSERT_TRUE(usage.setPassword(L"pw"));
        openWindow(&usage);
        opened.open(window_, &usage);
        HWND window = findOwnWindow(opened.windowClass);
        ASSERT_NE(window, nullptr);
        const size_t withWindow = recordedWindowCount();
        ASSERT_EQ(withWindow, 2u);

        SendMessageW(window, WM_DESTROY, 0, 0);
        SendMessageW(window, WM_NCDESTROY, 0, 0);
        tickWindow();
        EXPECT_TRUE(IsWindow(window));
        EXPECT_NE(windowRecord(window), nullptr) << "a message alone frees nothing";

        HWND foreign = makeForeignWindow(L"ForeignOwner");
        ASSERT_NE(foreign, nullptr);
        SetWindowLongPtrW(window, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(foreign));
        DestroyWindow(foreign);
        ASSERT_FALSE(IsWindow(window));
        tickWindow();
        EXPECT_EQ(windowRecord(window), nullptr);
        EXPECT_EQ(recordedWindowCount(), 1u);
        tickWindow();
        EXPECT_EQ(findOwnWindow(opened.windowClass), nullptr) << "not made again";
        EXPECT_EQ(currentControlWindow(), window_);
        EXPECT_EQ(usage.remainingSeconds(), 20 * 60 - 3);
        closeWindow();
    }
}

// A service message the clock posted to a window that went before reading it
// does not hold back the next one: inside a modal loop only the message wakes
// the window thread.
TEST_F(ControlWindowTest, AServiceMessageLostWithItsWindowDoesNotHoldBackTheNext)
{
    UsageTracker& usage = startWithSecondsLeft(30, 20 * 60);
    HWND original = openWindow(&usage);
    advance(kSecondMs);
    runClockTick();  // posts the service message to the original window
    HWND foreign = makeForeignWindow(L"ForeignOwner");
    ASSERT_NE(foreign, nullptr);
    SetParent(original, foreign);
    DestroyWindow(foreign);
    ASSERT_FALSE(IsWindow(original));
    serviceClockRequests();
    HWND now = currentControlWindow();
    ASSERT_NE(now, nullptr);

    advance(kSecondMs);
    runClockTick();
    MSG service = {};
    EXPECT_TRUE(PeekMessageW(&service, now, kClockServiceMessage, kClockServiceMessage, PM_REMOVE))
        << "the clock's next request reaches the new window";
    window_ = now;
}

// A language read late from config.json (on the clock's thread) reaches the
// window thread: the title, the tooltip and the open windows follow it.
TEST_F(ControlWindowTest, ALanguageReadLateReachesTheTitleTheTooltipAndOpenWindows)
{
    AppConfig stored;
    stored.language = Language::Russian;
    ASSERT_TRUE(writeConfigFile(configPath(), stored));
    storeUsage(todayWith(100));
    HANDLE held = CreateFileW(configPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    UsageTracker& usage = start();
    ASSERT_EQ(currentLanguage(), Language::English);
    openWindow(&usage);
    showStatusWindow(window_, &usage);
    originalProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(titleWatchingProc)));
    tickWindow();
    EXPECT_TRUE(callsOf(PlatformCall::Title).empty());
    CloseHandle(held);
    fake.calls.clear();
    tickWindow();
    EXPECT_EQ(currentLanguage(), Language::Russian);
    const std::vector<PlatformCall> titles = callsOf(PlatformCall::Title);
    const std::vector<PlatformCall> tooltips = callsOf(PlatformCall::Tooltip);
    ASSERT_EQ(titles.size(), 1u);
    EXPECT_EQ(titles[0].language, Language::Russian);
    ASSERT_EQ(tooltips.size(), 1u);
    EXPECT_EQ(tooltips[0].language, Language::Russian);
    HWND status = findOwnWindow(kStatusWindowClass);
    ASSERT_NE(status, nullptr);
    RECT dirty = {};
    EXPECT_TRUE(GetUpdateRect(status, &dirty, FALSE)) << "the status window repaints in the new language";
    tickWindow();
    EXPECT_EQ(callsOf(PlatformCall::Title).size(), 1u) << "once";
}

// Messages whose parameters a procedure reads as pointers, sent from another
// thread with any parameters: refused, and the clock counts on.
TEST_F(ControlWindowTest, PointerMessagesSentFromAnotherThreadAreRefused)
{
    UsageTracker& usage = startWithSecondsLeft(30, 20 * 60);
    openWindow(&usage);
    sendFromAnotherThread(window_,
                          {WM_NCCREATE, WM_CREATE, WM_NCCALCSIZE, WM_WINDOWPOSCHANGING, WM_WINDOWPOSCHANGED,
                           WM_GETMINMAXINFO, WM_STYLECHANGING, 0x02E0, WM_DESTROY, WM_NCDESTROY},
                          1, 0x10);
    EXPECT_TRUE(IsWindow(window_));
    EXPECT_EQ(windowRecord(window_), &usage);
    wchar_t title[32] = {};
    GetWindowTextW(window_, title, 32);
    EXPECT_STREQ(title, L"Hourwarden");
    tickWindow();
    EXPECT_EQ(usage.remainingSeconds(), 20 * 60 - 1);
}

}  // namespace
}  // namespace tracker_test

namespace {

// The clock's ticks run ahead of the account's programs at normal priority.
TEST(ClockThreadPriority, TicksRunAtTimeCriticalPriority)
{
    std::atomic<int> seen{THREAD_PRIORITY_ERROR_RETURN};
    {
        ClockThread clock;
        ASSERT_TRUE(clock.start([&seen] { seen = GetThreadPriority(GetCurrentThread()); }, 10));
        const ULONGLONG deadline = GetTickCount64() + 30000;
        while (seen.load() == THREAD_PRIORITY_ERROR_RETURN && GetTickCount64() < deadline) {
            Sleep(5);
        }
    }
    EXPECT_EQ(seen.load(), THREAD_PRIORITY_TIME_CRITICAL);
}

}  // namespace
