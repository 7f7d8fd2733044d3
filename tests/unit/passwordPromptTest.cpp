// The password prompt against fast and flooded guessing: no check begins while
// another (or its "Incorrect password" box) is under way, and after three wrong
// passwords in a row each answer is held back, 2 s doubling up to a minute.
#include <vector>

#include "ui/settings/passwordWindow.h"
#include "ui/settings/settingsWindow.h"
#include "ui/ownWindows.h"
#include "ui/windowState.h"
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

constexpr wchar_t kRightPassword[] = L"right one";

// Answers every message box of this thread as soon as it comes up, after
// running `whileShown` (what a second click would do meanwhile).
class MessageBoxAnswerer {
public:
    MessageBoxAnswerer()
    {
        active = this;
        hook_ = SetWindowsHookExW(WH_CBT, onCbt, nullptr, GetCurrentThreadId());
    }
    ~MessageBoxAnswerer()
    {
        UnhookWindowsHookEx(hook_);
        active = nullptr;
    }
    MessageBoxAnswerer(const MessageBoxAnswerer&) = delete;
    MessageBoxAnswerer& operator=(const MessageBoxAnswerer&) = delete;

    int shown = 0;
    std::vector<HWND> whileShownPrompts;  // an OK is sent to each while a box is up
    HWND closeWhileShown = nullptr;       // and this one is asked to close

private:
    static LRESULT CALLBACK onCbt(int code, WPARAM wParam, LPARAM lParam)
    {
        if (code == HCBT_ACTIVATE && active != nullptr) {
            HWND box = reinterpret_cast<HWND>(wParam);
            wchar_t name[16] = {};
            GetClassNameW(box, name, 16);
            if (lstrcmpW(name, L"#32770") == 0) {
                ++active->shown;
                for (HWND prompt : active->whileShownPrompts) {
                    SendMessageW(prompt, WM_COMMAND, kPromptOkId, 0);
                }
                if (active->closeWhileShown != nullptr) {
                    SendMessageW(active->closeWhileShown, WM_CLOSE, 0, 0);
                }
                PostMessageW(box, WM_COMMAND, IDOK, 0);
            }
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }

    static inline MessageBoxAnswerer* active = nullptr;
    HHOOK hook_ = nullptr;
};

class PasswordPromptTest : public TrackerTest {
protected:
    void SetUp() override
    {
        TrackerTest::SetUp();
        owner_ = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(owner_, nullptr);
        UsageTracker& usage = start();
        ASSERT_TRUE(usage.setPassword(kRightPassword));
    }

    void TearDown() override
    {
        destroyOnDecision(owner_);  // takes the prompt and the settings window with it
        TrackerTest::TearDown();
    }

    HWND openPrompt()
    {
        showPasswordWindow(owner_, &tracker(), false);
        HWND prompt = findOwnWindow(kPasswordWindowClass);
        EXPECT_NE(prompt, nullptr);
        return prompt;
    }

    // Types `text` and clicks OK.
    static void tryPassword(HWND prompt, const wchar_t* text)
    {
        SetDlgItemTextW(prompt, kPromptFieldId, text);
        SendMessageW(prompt, WM_COMMAND, kPromptOkId, 0);
    }

    static bool okEnabled(HWND prompt) { return IsWindowEnabled(GetDlgItem(prompt, kPromptOkId)) != FALSE; }

    // The check timer as the system would deliver it (or a script would post it).
    static void timerFires(HWND prompt) { SendMessageW(prompt, WM_TIMER, kPromptCheckTimerId, 0); }

    HWND owner_ = nullptr;
};

TEST_F(PasswordPromptTest, ThreeFreeTriesThenDelaysDoublingToAMinuteUntilTheRightOne)
{
    UsageTracker& usage = tracker();
    const uint32_t expected[] = {0, 0, 0, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(usage.passwordCheckDelayMs(), expected[i]) << "after " << i << " wrong";
        EXPECT_FALSE(usage.tryPassword(L"wrong"));
    }
    EXPECT_TRUE(usage.tryPassword(kRightPassword));
    EXPECT_EQ(usage.passwordCheckDelayMs(), 0u) << "the right password starts the count afresh";
    EXPECT_FALSE(usage.tryPassword(L"wrong"));
    EXPECT_EQ(usage.passwordCheckDelayMs(), 0u);
}

// A prompt says what it is for, and one left open for the other purpose never
// takes the password: an exit prompt that a close request opened is replaced
// when the settings are asked for, and the other way round.
TEST_F(PasswordPromptTest, APromptOfTheOtherModeMakesWayForTheOneAskedFor)
{
    const struct {
        bool exitMode;
        const wchar_t* title;
        const wchar_t* text;
    } modes[] = {
        {true, L"Exit Hourwarden", L"Enter the password to exit Hourwarden:"},
        {false, L"Hourwarden Password", L"Enter the password to access settings:"},
    };
    auto check = [](HWND prompt, const auto& mode) {
        wchar_t title[64] = {};
        GetWindowTextW(prompt, title, 64);
        EXPECT_STREQ(title, mode.title);
        wchar_t text[128] = {};
        GetDlgItemTextW(prompt, kPromptTextId, text, 128);
        EXPECT_STREQ(text, mode.text);
        EXPECT_EQ(promptIsForExit(prompt), mode.exitMode);
    };
    for (const auto& first : modes) {
        for (const auto& second : modes) {
            SCOPED_TRACE(testing::Message() << first.exitMode << " then " << second.exitMode);
            showPasswordWindow(owner_, &tracker(), first.exitMode);
            HWND opened = findOwnWindow(kPasswordWindowClass);
            ASSERT_NE(opened, nullptr);
            check(opened, first);
            showPasswordWindow(owner_, &tracker(), second.exitMode);
            HWND now = findOwnWindow(kPasswordWindowClass);
            ASSERT_NE(now, nullptr);
            EXPECT_EQ(now == opened, first.exitMode == second.exitMode);
            EXPECT_EQ(IsWindow(opened) != FALSE, first.exitMode == second.exitMode) << "one prompt at a time";
            check(now, second);
            // The right password in a settings prompt opens the settings and ends nothing.
            if (!second.exitMode) {
                tryPassword(now, kRightPassword);
                EXPECT_TRUE(IsWindow(owner_));
                HWND settings = findOwnWindow(kSettingsWindowClass);
                EXPECT_NE(settings, nullptr);
                destroyOnDecision(settings);
            } else {
                destroyOnDecision(now);
            }
        }
    }
    // Relabelled in the other language, each keeps its own purpose.
    setActiveLanguage(Language::Russian);
    showPasswordWindow(owner_, &tracker(), true);
    HWND prompt = findOwnWindow(kPasswordWindowClass);
    ASSERT_NE(prompt, nullptr);
    relabelPasswordWindow(prompt);
    wchar_t title[64] = {};
    GetWindowTextW(prompt, title, 64);
    EXPECT_STREQ(title, L"Выход из Hourwarden");
    setActiveLanguage(Language::English);
    destroyOnDecision(prompt);
}

TEST_F(PasswordPromptTest, AnOkWhileTheIncorrectPasswordBoxIsUpIsIgnored)
{
    MessageBoxAnswerer boxes;
    HWND prompt = openPrompt();
    boxes.whileShownPrompts = {prompt, prompt};
    tryPassword(prompt, L"wrong");
    EXPECT_EQ(boxes.shown, 1) << "no box inside the box";
    boxes.whileShownPrompts.clear();
    // The ignored clicks were not counted: two more wrong ones are still answered at once.
    tryPassword(prompt, L"wrong");
    tryPassword(prompt, L"wrong");
    EXPECT_EQ(boxes.shown, 3);
    EXPECT_TRUE(okEnabled(prompt));
}

TEST_F(PasswordPromptTest, APromptClosedWhileItsBoxIsUpGoesQuietly)
{
    MessageBoxAnswerer boxes;
    HWND prompt = openPrompt();
    boxes.closeWhileShown = prompt;
    tryPassword(prompt, L"wrong");
    EXPECT_EQ(boxes.shown, 1);
    EXPECT_FALSE(IsWindow(prompt));
    // A new prompt starts clean; the wrong try still counts toward the delay.
    boxes.closeWhileShown = nullptr;
    HWND again = openPrompt();
    tryPassword(again, L"wrong");
    EXPECT_EQ(boxes.shown, 2);
    EXPECT_TRUE(okEnabled(again));
}

TEST_F(PasswordPromptTest, AfterThreeWrongTheAnswerWaitsWithOkDisabledAndEarlyTimersDoNothing)
{
    MessageBoxAnswerer boxes;
    HWND prompt = openPrompt();
    for (int i = 0; i < 3; ++i) {
        tryPassword(prompt, L"wrong");
    }
    ASSERT_EQ(boxes.shown, 3);

    // The fourth waits 2 s, the fifth 4 s; OK is off meanwhile and clicks on it change nothing.
    for (const uint64_t delay : {2000u, 4000u}) {
        SCOPED_TRACE(delay);
        const int before = boxes.shown;
        tryPassword(prompt, L"wrong");
        EXPECT_EQ(boxes.shown, before);
        EXPECT_FALSE(okEnabled(prompt));
        SendMessageW(prompt, WM_COMMAND, kPromptOkId, 0);
        advance(delay - 1);
        timerFires(prompt);
        EXPECT_EQ(boxes.shown, before) << "a timer before the delay has passed answers nothing";
        advance(1);
        timerFires(prompt);
        EXPECT_EQ(boxes.shown, before + 1);
        EXPECT_TRUE(okEnabled(prompt));
        timerFires(prompt);
        EXPECT_EQ(boxes.shown, before + 1) << "one answer per check";
    }

    // The right password is held back as long, then opens the settings and resets the count.
    tryPassword(prompt, kRightPassword);
    EXPECT_EQ(findOwnWindow(kSettingsWindowClass), nullptr);
    advance(8000);
    timerFires(prompt);
    EXPECT_NE(findOwnWindow(kSettingsWindowClass), nullptr);
    EXPECT_FALSE(IsWindow(prompt));
    EXPECT_EQ(tracker().passwordCheckDelayMs(), 0u);
}

}  // namespace
}  // namespace tracker_test
