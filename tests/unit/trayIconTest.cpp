#include <gtest/gtest.h>

#include <vector>

#include "app/controlWindow.h"
#include "i18n/strings.h"
#include "shell/trayIcon.h"

namespace {

struct ShellCall {
    DWORD message;
    NOTIFYICONDATAW data;
};

// What the tray object sent to the shell, and what the shell answers.
std::vector<ShellCall> shellCalls;
BOOL shellAnswer = TRUE;

BOOL recordingNotify(DWORD message, NOTIFYICONDATAW* data)
{
    shellCalls.push_back({message, *data});
    return message == NIM_ADD ? shellAnswer : TRUE;
}

class TrayIconTest : public testing::Test {
protected:
    void SetUp() override
    {
        shellCalls.clear();
        shellAnswer = TRUE;
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

TEST_F(TrayIconTest, NothingButTheMenuIsSentAfterAFailedAddUntilAReAddSucceeds)
{
    TrayIcon tray;
    shellAnswer = FALSE;
    EXPECT_FALSE(tray.add(window, icon, L"Hourwarden"));
    tray.showBalloon(L"3 minutes remaining");
    tray.setTooltip(L"Hourwarden");
    tray.remove();
    EXPECT_EQ(shellCalls.size(), 1u);  // the failed add only

    shellAnswer = TRUE;
    EXPECT_TRUE(tray.add(window, icon, L"Hourwarden"));
    tray.showBalloon(L"3 minutes remaining");
    tray.setTooltip(L"Hourwarden");
    ASSERT_EQ(shellCalls.size(), 4u);
    EXPECT_EQ(shellCalls[2].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(shellCalls[3].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(shellCalls[3].data.uFlags, static_cast<UINT>(NIF_TIP));

    // A re-add that fails stops balloons again.
    shellAnswer = FALSE;
    EXPECT_FALSE(tray.add(window, icon, L"Hourwarden"));
    tray.showBalloon(L"x");
    EXPECT_EQ(shellCalls.size(), 5u);
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
