// While config.json cannot be read the settings window shows nothing of it as
// the parent's: the limit field is empty, the notifications box undecided and a
// line says why. What the parent leaves alone is neither checked nor stored,
// and a late read fills it in.
#include "ui/ownWindows.h"
#include "ui/settings/settingsControls.h"
#include "ui/settings/settingsWindow.h"
#include "ui/windowState.h"
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

class SettingsNotReadTest : public TrackerTest {
protected:
    void SetUp() override
    {
        TrackerTest::SetUp();
        owner_ = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(owner_, nullptr);
        storeConfig(45, false);
        DailyUsage day = todayWith(100);
        day.settingsPassword = hashPassword(L"old");
        storeUsage(day);
        hold();
    }

    // Another program holds config.json, as a backup tool at sign-in might.
    void hold()
    {
        held_ = CreateFileW(configPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
        ASSERT_NE(held_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        letGo();
        destroyOnDecision(owner_);
        TrackerTest::TearDown();
    }

    void letGo()
    {
        if (held_ != INVALID_HANDLE_VALUE) {
            CloseHandle(held_);
            held_ = INVALID_HANDLE_VALUE;
        }
    }

    HWND openSettings(UsageTracker& usage)
    {
        showSettingsWindow(owner_, &usage);
        HWND window = findOwnWindow(kSettingsWindowClass);
        EXPECT_NE(window, nullptr);
        return window;
    }

    static std::wstring fieldText(HWND window, int id)
    {
        wchar_t text[256] = {};
        GetDlgItemTextW(window, id, text, 256);
        return text;
    }

    static bool shown(HWND window, int id) { return IsWindowVisible(GetDlgItem(window, id)) != FALSE; }

    HWND owner_ = nullptr;
    HANDLE held_ = INVALID_HANDLE_VALUE;
};

TEST_F(SettingsNotReadTest, NothingIsShownAsTheParentsAndAPasswordChangeLeavesTheRestAlone)
{
    UsageTracker& usage = start();
    ASSERT_FALSE(usage.configLoaded());
    HWND window = openSettings(usage);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(fieldText(window, kLimitFieldId), L"");
    EXPECT_EQ(IsDlgButtonChecked(window, kNotificationsCheckId), static_cast<UINT>(BST_INDETERMINATE));
    EXPECT_TRUE(shown(window, kSettingsNotReadNoteId));
    EXPECT_EQ(fieldText(window, kSettingsNotReadNoteId),
              L"The saved settings cannot be read now. Fill in only what you change.");

    // Only the password changes; OK passes the checks and closes the window.
    SendMessageW(window, WM_COMMAND, kChangePasswordButtonId, 0);
    SetDlgItemTextW(window, kPasswordFieldId, L"new");
    SetDlgItemTextW(window, kConfirmFieldId, L"new");
    SendMessageW(window, WM_COMMAND, kOkButtonId, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(usage.checkPassword(L"new"));

    tickSecond();
    letGo();
    tickSecond();
    ASSERT_TRUE(usage.configLoaded());
    EXPECT_EQ(usage.config().dailyLimitMinutes, 45);
    EXPECT_FALSE(usage.config().showLastThreeMinuteNotifications);
    EXPECT_EQ(savedConfig().dailyLimitMinutes, 45);
    EXPECT_FALSE(savedConfig().showLastThreeMinuteNotifications);
}

TEST_F(SettingsNotReadTest, ALateReadFillsInTheFieldsTheParentLeftAlone)
{
    for (const bool limitTyped : {false, true}) {
        SCOPED_TRACE(limitTyped ? "limit typed" : "nothing typed");
        if (limitTyped) {
            stop();
            hold();
        }
        UsageTracker& usage = start();
        HWND window = openSettings(usage);
        ASSERT_NE(window, nullptr);
        if (limitTyped) {
            SetDlgItemTextW(window, kLimitFieldId, L"30");
        }
        SendMessageW(window, WM_TIMER, kSettingsRefreshTimerId, 0);
        EXPECT_TRUE(shown(window, kSettingsNotReadNoteId)) << "nothing read yet";
        letGo();
        tickSecond();
        ASSERT_TRUE(usage.configLoaded());
        SendMessageW(window, WM_TIMER, kSettingsRefreshTimerId, 0);
        EXPECT_EQ(fieldText(window, kLimitFieldId), limitTyped ? L"30" : L"45");
        EXPECT_EQ(IsDlgButtonChecked(window, kNotificationsCheckId), static_cast<UINT>(BST_UNCHECKED));
        EXPECT_FALSE(shown(window, kSettingsNotReadNoteId));
        // Two states again: two clicks bring the box back where it was.
        SendDlgItemMessageW(window, kNotificationsCheckId, BM_CLICK, 0, 0);
        EXPECT_EQ(IsDlgButtonChecked(window, kNotificationsCheckId), static_cast<UINT>(BST_CHECKED));
        SendDlgItemMessageW(window, kNotificationsCheckId, BM_CLICK, 0, 0);
        EXPECT_EQ(IsDlgButtonChecked(window, kNotificationsCheckId), static_cast<UINT>(BST_UNCHECKED));
        destroyOnDecision(window);
    }
}

}  // namespace
}  // namespace tracker_test
