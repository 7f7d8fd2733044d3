#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "app/controlWindow.h"
#include "i18n/strings.h"
#include "shell/trayIcon.h"

namespace {

struct ShellCall {
    DWORD message;
    NOTIFYICONDATAW data;
};

// What the tray object sent to the shell, and what the shell answers: the
// next scripted answer for that message, else `shellAnswer` for adds and
// TRUE for everything else.
std::vector<ShellCall> shellCalls;
BOOL shellAnswer = TRUE;
std::deque<BOOL> addAnswers;
std::deque<BOOL> modifyAnswers;

BOOL nextAnswer(std::deque<BOOL>& answers, BOOL otherwise)
{
    if (answers.empty()) {
        return otherwise;
    }
    const BOOL answer = answers.front();
    answers.pop_front();
    return answer;
}

BOOL recordingNotify(DWORD message, NOTIFYICONDATAW* data)
{
    shellCalls.push_back({message, *data});
    switch (message) {
    case NIM_ADD: return nextAnswer(addAnswers, shellAnswer);
    case NIM_MODIFY: return nextAnswer(modifyAnswers, TRUE);
    default: return TRUE;
    }
}

std::vector<DWORD> messagesSent()
{
    std::vector<DWORD> messages;
    for (const ShellCall& call : shellCalls) {
        messages.push_back(call.message);
    }
    return messages;
}

constexpr DWORD kAdd = NIM_ADD;
constexpr DWORD kModify = NIM_MODIFY;
constexpr DWORD kDelete = NIM_DELETE;

class TrayIconTest : public testing::Test {
protected:
    void SetUp() override
    {
        shellCalls.clear();
        shellAnswer = TRUE;
        addAnswers.clear();
        modifyAnswers.clear();
        setNotifyIconFunction(recordingNotify);
    }
    void TearDown() override
    {
        setNotifyIconFunction(nullptr);
        setActiveLanguage(Language::English);
    }

    HWND window = reinterpret_cast<HWND>(0x1234);
    HICON icon = reinterpret_cast<HICON>(0x5678);
};

TEST_F(TrayIconTest, AddSendsIconTooltipAndCallbackForIconOne)
{
    TrayIcon tray;
    ASSERT_TRUE(tray.add(window, icon, L"Hourwarden"));
    ASSERT_EQ(shellCalls.size(), 1u);
    const NOTIFYICONDATAW& data = shellCalls[0].data;
    EXPECT_EQ(shellCalls[0].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(data.cbSize, sizeof(NOTIFYICONDATAW));
    EXPECT_EQ(data.hWnd, window);
    EXPECT_EQ(data.uID, 1u);
    EXPECT_EQ(data.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(data.uCallbackMessage, 0x8001u);
    EXPECT_EQ(data.hIcon, icon);
    EXPECT_STREQ(data.szTip, L"Hourwarden");
}

// The add fails as a duplicate when the icon is still there (a new taskbar
// that kept it, an add the shell finished after timing out): take it over.
TEST_F(TrayIconTest, ARefusedAddTakesOverTheIconThatIsThere)
{
    TrayIcon tray;
    addAnswers = {FALSE};
    EXPECT_TRUE(tray.add(window, icon, L"Hourwarden"));
    ASSERT_EQ(messagesSent(), (std::vector<DWORD>{kAdd, kModify}));
    const NOTIFYICONDATAW& data = shellCalls[1].data;
    EXPECT_EQ(data.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(data.uCallbackMessage, 0x8001u);
    EXPECT_EQ(data.hIcon, icon);
    EXPECT_EQ(data.hWnd, window);
    EXPECT_EQ(data.uID, 1u);
    EXPECT_STREQ(data.szTip, L"Hourwarden");

    shellCalls.clear();
    tray.showBalloon(L"1 minute remaining");
    tray.setTooltip(L"Hourwarden");
    ASSERT_EQ(messagesSent(), (std::vector<DWORD>{kModify, kModify}));
    EXPECT_EQ(shellCalls[0].data.uFlags, static_cast<UINT>(NIF_INFO));
    EXPECT_STREQ(shellCalls[0].data.szInfo, L"1 minute remaining");
}

// Neither an add nor a modify holds: clear what the shell may half hold and add afresh.
TEST_F(TrayIconTest, WhenNoIconCanBeTakenOverItIsDeletedAndAddedAgain)
{
    TrayIcon tray;
    addAnswers = {FALSE, TRUE};
    modifyAnswers = {FALSE};
    EXPECT_TRUE(tray.add(window, icon, L"Hourwarden"));
    ASSERT_EQ(messagesSent(), (std::vector<DWORD>{kAdd, kModify, kDelete, kAdd}));
    EXPECT_EQ(shellCalls[2].data.uFlags, 0u);
    EXPECT_EQ(shellCalls[3].data.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_TRUE(tray.isAdded());
}

// A shell that refuses everything for a while: the icon comes back at a
// later tick, or at the next balloon or tooltip, which then still reach it.
TEST_F(TrayIconTest, AMissingIconIsPutBackAtLaterTicksAndBeforeEveryChange)
{
    constexpr std::vector<DWORD>::size_type kOnePlacement = 4;  // add, modify, delete, add
    TrayIcon tray;
    shellAnswer = FALSE;
    modifyAnswers = {FALSE};
    EXPECT_FALSE(tray.add(window, icon, L"Hourwarden"));
    ASSERT_EQ(shellCalls.size(), kOnePlacement);

    // Retried every fifth tick, not at every one.
    for (int round = 1; round <= 3; ++round) {
        shellCalls.clear();
        modifyAnswers = {FALSE};
        for (int tick = 1; tick <= 4; ++tick) {
            tray.retryIfMissing();
        }
        EXPECT_TRUE(shellCalls.empty()) << round;
        tray.retryIfMissing();
        EXPECT_EQ(shellCalls.size(), kOnePlacement) << round;
    }

    // A balloon tries at once, and is dropped only when the shell still refuses.
    shellCalls.clear();
    modifyAnswers = {FALSE};
    tray.showBalloon(L"3 minutes remaining");
    EXPECT_EQ(messagesSent(), (std::vector<DWORD>{kAdd, kModify, kDelete, kAdd}));

    // The shell is back: the tooltip change places the icon with the new tooltip, then sends it.
    shellCalls.clear();
    shellAnswer = TRUE;
    tray.setTooltip(L"Новая подсказка");
    ASSERT_EQ(messagesSent(), (std::vector<DWORD>{kAdd, kModify}));
    EXPECT_STREQ(shellCalls[0].data.szTip, L"Новая подсказка");
    EXPECT_EQ(shellCalls[1].data.uFlags, static_cast<UINT>(NIF_TIP));
    EXPECT_TRUE(tray.isAdded());

    shellCalls.clear();
    for (int tick = 1; tick <= 10; ++tick) {
        tray.retryIfMissing();
    }
    EXPECT_TRUE(shellCalls.empty()) << "retried an icon that is there";
    tray.showBalloon(L"2 minutes remaining");
    ASSERT_EQ(messagesSent(), std::vector<DWORD>{kModify});
    EXPECT_STREQ(shellCalls[0].data.szInfo, L"2 minutes remaining");
}

// A change the shell refuses means the icon is gone (a taskbar that came back
// without telling): put it back and send the change again.
TEST_F(TrayIconTest, ARefusedChangeBringsTheIconBackAndIsSentAgain)
{
    TrayIcon tray;
    tray.add(window, icon, L"Hourwarden");
    shellCalls.clear();
    modifyAnswers = {FALSE};
    tray.showBalloon(L"1 minute remaining");
    ASSERT_EQ(messagesSent(), (std::vector<DWORD>{kModify, kAdd, kModify}));
    EXPECT_EQ(shellCalls[1].data.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_STREQ(shellCalls[2].data.szInfo, L"1 minute remaining");
    EXPECT_TRUE(tray.isAdded());
}

// An add that failed may still have left an icon: exit deletes it, once.
TEST_F(TrayIconTest, RemoveAfterAFailedAddLeavesNoGhostIcon)
{
    {
        TrayIcon tray;
        shellAnswer = FALSE;
        modifyAnswers = {FALSE};
        EXPECT_FALSE(tray.add(window, icon, L"Hourwarden"));
        shellCalls.clear();
        tray.remove();
        tray.remove();
        ASSERT_EQ(messagesSent(), std::vector<DWORD>{kDelete});
        EXPECT_EQ(shellCalls[0].data.hWnd, window);
        EXPECT_EQ(shellCalls[0].data.uID, 1u);
        // Removed: nothing more is sent or retried.
        tray.showBalloon(L"x");
        tray.setTooltip(L"x");
        for (int tick = 1; tick <= 10; ++tick) {
            tray.retryIfMissing();
        }
        EXPECT_EQ(shellCalls.size(), 1u);
    }
    EXPECT_EQ(shellCalls.size(), 1u) << "the destructor removed again";

    // An object that never added anything sends nothing at all.
    shellCalls.clear();
    {
        TrayIcon tray;
        tray.showBalloon(L"x");
        tray.setTooltip(L"x");
        tray.retryIfMissing();
        tray.remove();
    }
    EXPECT_TRUE(shellCalls.empty());
}

TEST_F(TrayIconTest, RemoveCallsTheShellOnceAndTheDestructorNotAgain)
{
    {
        TrayIcon tray;
        tray.add(window, icon, L"Hourwarden");
        tray.remove();
        tray.remove();
    }
    ASSERT_EQ(shellCalls.size(), 2u);
    EXPECT_EQ(shellCalls[1].message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(shellCalls[1].data.uFlags, 0u);
    EXPECT_EQ(shellCalls[1].data.hWnd, window);
    EXPECT_EQ(shellCalls[1].data.uID, 1u);

    shellCalls.clear();
    {
        TrayIcon tray;
        tray.add(window, icon, L"Hourwarden");
    }
    ASSERT_EQ(shellCalls.size(), 2u);
    EXPECT_EQ(shellCalls[1].message, static_cast<DWORD>(NIM_DELETE));
}

TEST_F(TrayIconTest, BalloonCarriesTheTitleOfTheCurrentLanguageAndTheInformationIcon)
{
    TrayIcon tray;
    tray.add(window, icon, L"Hourwarden");
    setActiveLanguage(Language::Russian);
    tray.showBalloon(L"До окончания времени осталось 3 минуты");
    const NOTIFYICONDATAW& data = shellCalls.back().data;
    EXPECT_EQ(shellCalls.back().message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(data.uFlags, static_cast<UINT>(NIF_INFO));
    EXPECT_EQ(data.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));
    EXPECT_EQ(data.uTimeout, 10000u);
    EXPECT_STREQ(data.szInfoTitle, L"Hourwarden");
    EXPECT_STREQ(data.szInfo, L"До окончания времени осталось 3 минуты");
}

TEST_F(TrayIconTest, EveryTextFieldIsCutToOneLessThanItsSize)
{
    TrayIcon tray;
    const std::wstring longText(400, L'x');
    tray.add(window, icon, longText);
    tray.setTooltip(longText);
    tray.showBalloon(longText);
    ASSERT_EQ(shellCalls.size(), 3u);
    EXPECT_EQ(std::wstring(shellCalls[0].data.szTip), std::wstring(127, L'x'));
    EXPECT_EQ(std::wstring(shellCalls[1].data.szTip), std::wstring(127, L'x'));
    EXPECT_EQ(std::wstring(shellCalls[2].data.szInfo), std::wstring(255, L'x'));

    const struct {
        size_t length;
        size_t capacity;
        size_t kept;
    } cases[] = {{0, 64, 0}, {63, 64, 63}, {64, 64, 63}, {200, 64, 63}, {127, 128, 127}, {255, 256, 255},
                 {256, 256, 255}, {5, 1, 0}};
    for (const auto& c : cases) {
        std::vector<wchar_t> field(c.capacity + 1, L'#');
        copyTruncated(field.data(), c.capacity, std::wstring(c.length, L'y'));
        EXPECT_EQ(std::wstring(field.data()), std::wstring(c.kept, L'y')) << c.length << " in " << c.capacity;
        EXPECT_EQ(field[c.capacity], L'#') << "wrote past the field";
    }
}

TEST_F(TrayIconTest, LongestNoticeFitsTheBalloonUncut)
{
    TrayIcon tray;
    tray.add(window, icon, L"Hourwarden");
    for (const Language language : {Language::English, Language::Russian}) {
        setActiveLanguage(language);
        const std::wstring text = localizedText(StringId::GraceMinuteNotice);
        tray.showBalloon(text);
        EXPECT_EQ(std::wstring(shellCalls.back().data.szInfo), text);
    }
}

TEST(MenuHeaderText, RemainingTimeInBothLanguages)
{
    setActiveLanguage(Language::English);
    EXPECT_EQ(menuHeaderText(7260), L"Remaining today: 2 h 1 min");
    EXPECT_EQ(menuHeaderText(7200), L"Remaining today: 2 h 0 min");
    EXPECT_EQ(menuHeaderText(0), L"Remaining today: 0 h 0 min");
    EXPECT_EQ(menuHeaderText(-30), L"Remaining today: 0 h 0 min");
    setActiveLanguage(Language::Russian);
    EXPECT_EQ(menuHeaderText(7260), L"Осталось сегодня: 2 ч 1 мин");
    setActiveLanguage(Language::English);
}

}  // namespace
