// A protection the system refuses is tried again at every tick, and until it
// holds the settings window says so instead of pretending it is in force.
#include "core/processHardening.h"
#include "ui/ownWindows.h"
#include "ui/settings/settingsWindow.h"
#include "ui/windowState.h"
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

bool systemRefuses = true;
int protectCalls = 0;

bool refusingProtection(bool protect)
{
    ++protectCalls;
    return !protect || !systemRefuses;
}

class ExitProtectionNoteTest : public TrackerTest {
protected:
    void SetUp() override
    {
        TrackerTest::SetUp();
        systemRefuses = true;
        protectCalls = 0;
        setProtectProcessFunction(refusingProtection);
        owner_ = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(owner_, nullptr);
    }

    void TearDown() override
    {
        destroyOnDecision(owner_);
        TrackerTest::TearDown();
    }

    bool noteVisible() const
    {
        HWND settings = findOwnWindow(kSettingsWindowClass);
        return settings != nullptr && IsWindowVisible(GetDlgItem(settings, kExitProtectionNoteId)) != FALSE;
    }

    void refreshOpenWindow() const
    {
        SendMessageW(findOwnWindow(kSettingsWindowClass), WM_TIMER, kSettingsRefreshTimerId, 0);
    }

    HWND owner_ = nullptr;
};

TEST_F(ExitProtectionNoteTest, ARefusedProtectionIsRetriedEachTickAndShownUntilItHolds)
{
    UsageTracker& usage = start();
    ASSERT_TRUE(usage.setPassword(L"pw"));
    ASSERT_TRUE(usage.setRequirePasswordOnExit(true));
    EXPECT_FALSE(usage.exitProtectionInForce());
    showSettingsWindow(owner_, &usage);
    EXPECT_TRUE(noteVisible());

    const int before = protectCalls;
    tickSecond();
    tickSecond();
    EXPECT_EQ(protectCalls, before + 2) << "asked again at every tick";
    EXPECT_FALSE(usage.exitProtectionInForce());

    systemRefuses = false;
    tickSecond();
    EXPECT_TRUE(usage.exitProtectionInForce());
    refreshOpenWindow();
    EXPECT_FALSE(noteVisible());

    // Nothing to protect without the exit flag: no note, whatever the system says.
    systemRefuses = true;
    ASSERT_TRUE(usage.setRequirePasswordOnExit(false));
    EXPECT_FALSE(usage.exitProtectionInForce());
    refreshOpenWindow();
    EXPECT_FALSE(noteVisible());
}

BOOL refuseDirectories(DWORD)
{
    return FALSE;
}

BOOL acceptPolicy(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T)
{
    return TRUE;
}

// Foreign code let in is reported where a refused exit protection is, with or
// without a password, in the language in force.
TEST_F(ExitProtectionNoteTest, ARefusedProtectionAgainstForeignCodeIsShownInTheSameLine)
{
    constexpr HardeningCalls kRefusing = {refuseDirectories, acceptPolicy};
    setHardeningCalls(&kRefusing);
    ASSERT_FALSE(hardenProcess());
    UsageTracker& usage = start();
    for (const auto& [language, text] : {std::pair{Language::English, L"Windows refused the protection against foreign code."},
                                         std::pair{Language::Russian, L"Система отказала в защите от чужого кода."}}) {
        usage.setLanguage(language);
        showSettingsWindow(owner_, &usage);
        EXPECT_TRUE(noteVisible());
        HWND settings = findOwnWindow(kSettingsWindowClass);
        wchar_t shown[128] = {};
        GetDlgItemTextW(settings, kExitProtectionNoteId, shown, 128);
        EXPECT_STREQ(shown, text);
        destroyOnDecision(settings);
    }
    usage.setLanguage(Language::English);
    setHardeningCalls(nullptr);
    ASSERT_TRUE(hardenProcess());
    showSettingsWindow(owner_, &usage);
    EXPECT_FALSE(noteVisible());
}

// Another desktop took the input and the clock took it back: the parent sees
// how often since the start, in the language in force, unless a lapse of the
// protection needs the line.
TEST_F(ExitProtectionNoteTest, AnotherDesktopThatTookTheInputIsCountedInTheSameLine)
{
    systemRefuses = false;
    UsageTracker& usage = start();
    showSettingsWindow(owner_, &usage);
    EXPECT_FALSE(noteVisible());
    const auto shownNote = [] {
        wchar_t shown[256] = {};
        GetDlgItemTextW(findOwnWindow(kSettingsWindowClass), kExitProtectionNoteId, shown, 256);
        return std::wstring(shown);
    };
    usage.onInputDesktopTakenBack();
    refreshOpenWindow();
    EXPECT_TRUE(noteVisible());
    EXPECT_EQ(shownNote(),
              L"Another desktop took the input since the start (times: 1); each time taken back and locked.");
    usage.onInputDesktopTakenBack();
    usage.setLanguage(Language::Russian);
    relabelSettingsWindow(findOwnWindow(kSettingsWindowClass));
    EXPECT_TRUE(noteVisible());
    EXPECT_EQ(shownNote(), L"Другой рабочий стол забирал ввод с запуска (раз: 2); каждый раз — возврат и блокировка.");
    usage.setLanguage(Language::English);

    // A protection refused now takes the line; the count comes back once it holds.
    systemRefuses = true;
    ASSERT_TRUE(usage.setPassword(L"pw"));
    ASSERT_TRUE(usage.setRequirePasswordOnExit(true));
    refreshOpenWindow();
    EXPECT_EQ(shownNote(), L"Exit protection refused by the system; retrying every second.");
    systemRefuses = false;
    tickSecond();
    refreshOpenWindow();
    EXPECT_TRUE(noteVisible());
    EXPECT_EQ(shownNote(),
              L"Another desktop took the input since the start (times: 2); each time taken back and locked.");
}

}  // namespace
}  // namespace tracker_test
