// The tray icon as the shell and a user meet it: its menu, its balloons and
// its return after the taskbar is created anew.
#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>

#include "harness.h"
#include "shellProbe.h"

namespace {

using namespace e2e;

constexpr UINT kHeaderId = 0;
constexpr UINT kSettingsId = 1001;
constexpr UINT kExitId = 1002;
constexpr UINT kRussianId = 1003;
constexpr UINT kEnglishId = 1004;
constexpr int kLimitSeconds = 7200;
constexpr POINT kMenuAnchor = {400, 500};  // where the pointer stands when the menu opens
const COLORREF kIconBlue = RGB(54, 122, 216);
const std::wstring kNotifyRelay = L"shell32.Shell_NotifyIconW";
const std::string kNotifyAdd = "Call shell32.Shell_NotifyIconW(00000000,";
const std::string kNotifyModify = "Call shell32.Shell_NotifyIconW(00000001,";

ConfigFile configIn(const char* language)
{
    ConfigFile config;
    config.language = language;
    return config;
}

// Right click on the icon, as the shell reports it; the menu opens at the pointer.
OpenMenus openMenu(const App& app)
{
    moveCursorTo(kMenuAnchor.x, kMenuAnchor.y);
    app.postTrayMouse(WM_RBUTTONUP);
    return waitForOpenMenus(app, 1);
}

// The language submenu opens while the pointer rests on its item.
OpenMenus openLanguageSubmenu(const App& app, const OpenMenus& menu)
{
    const MenuItem* popup = menu.find("popup");
    if (popup == nullptr) {
        return {};
    }
    OpenMenus both;
    hoverUntil(centreOf(popup->rect), [&] {
        both = readOpenMenus(app);
        const MenuItem* shown = both.find("popup");
        return both.menuCount() == 2 && shown != nullptr && !both.submenuOf(*shown).empty();
    });
    return both.menuCount() == 2 ? both : OpenMenus{};
}

// Clicks a command item once the menu shows it highlighted under the pointer (a
// grey item, which never lights up, as soon as the pointer is there); false if
// no open menu holds it or it does not light up.
bool chooseCommand(const App& app, const OpenMenus& menus, UINT id)
{
    const MenuItem* item = menus.command(id);
    if (item == nullptr) {
        return false;
    }
    const POINT at = centreOf(item->rect);
    if (item->grayed) {
        moveCursorTo(at.x, at.y);
    } else if (!hoverUntil(at, [&] {
                   const MenuItem* now = readOpenMenus(app).command(id);
                   return now != nullptr && now->highlighted;
               })) {
        return false;
    }
    leftClickAt(at.x, at.y);
    return true;
}

void saveMenuScreenshot(const OpenMenus& menus, const wchar_t* name)
{
    const std::wstring directory = screenshotDirectory();
    if (directory.empty() || menus.items.empty()) {
        return;
    }
    RECT area = menus.items.front().rect;
    for (const MenuItem& item : menus.items) {
        UnionRect(&area, &area, &item.rect);
    }
    InflateRect(&area, 8, 8);
    saveScreenBitmap(area, directory + L"\\" + name + L".bmp");
}

struct MenuCase {
    const char* language;
    const wchar_t* header;
    const wchar_t* settings;
    const wchar_t* exit;
    bool russianChecked;
    const wchar_t* screenshot;
};

class TrayMenuE2E : public testing::TestWithParam<MenuCase> {};

TEST_P(TrayMenuE2E, ShowsHeaderItemsAndOneCheckMark)
{
    const MenuCase& c = GetParam();
    const std::string config = configIn(c.language).text();
    // 1 h 59 min 30 s left: the header reads the same for 30 more counted seconds.
    App app(LaunchOptions().withConfig(config).withData(dayWithUsed(30).text()));
    ASSERT_TRUE(app.started());
    const OpenMenus open = openMenu(app);
    const std::vector<MenuItem> menu = open.rootMenu();
    ASSERT_EQ(menu.size(), 5u);
    EXPECT_EQ(menu[0].kind, "string");
    EXPECT_EQ(menu[0].text, c.header);
    EXPECT_EQ(menu[0].id, kHeaderId);
    EXPECT_TRUE(menu[0].grayed);
    EXPECT_EQ(menu[1].kind, "separator");
    EXPECT_EQ(menu[2].text, c.settings);
    EXPECT_EQ(menu[2].id, kSettingsId);
    EXPECT_FALSE(menu[2].grayed);
    EXPECT_EQ(menu[3].kind, "popup");
    EXPECT_EQ(menu[3].text, L"Язык / Language");
    EXPECT_EQ(menu[4].text, c.exit);
    EXPECT_EQ(menu[4].id, kExitId);

    const OpenMenus both = openLanguageSubmenu(app, open);
    const MenuItem* popup = both.find("popup");
    ASSERT_NE(popup, nullptr);
    const std::vector<MenuItem> languages = both.submenuOf(*popup);
    ASSERT_EQ(languages.size(), 2u);
    EXPECT_EQ(languages[0].text, L"Русский");
    EXPECT_EQ(languages[0].id, kRussianId);
    EXPECT_EQ(languages[0].checked, c.russianChecked);
    EXPECT_EQ(languages[1].text, L"English");
    EXPECT_EQ(languages[1].id, kEnglishId);
    EXPECT_EQ(languages[1].checked, !c.russianChecked);
    EXPECT_EQ(both.rootMenu().size(), 5u);
    saveMenuScreenshot(both, c.screenshot);

    // Escape closes the submenu, then the menu, and nothing is chosen.
    pressKey(VK_ESCAPE);
    pressKey(VK_ESCAPE);
    EXPECT_TRUE(app.waitForNoWindow(kMenuClass));
    EXPECT_TRUE(app.isRunning());
    EXPECT_EQ(app.readFile(L"config.json"), config);
    EXPECT_EQ(app.findWindow(kSettingsClass), nullptr);
    EXPECT_EQ(app.findWindow(kPasswordClass), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Languages, TrayMenuE2E,
                         testing::Values(MenuCase{"en", L"Remaining today: 1 h 59 min", L"Settings", L"Exit", false,
                                                  L"tray-menu-en"},
                                         MenuCase{"ru", L"Осталось сегодня: 1 ч 59 мин", L"Настройки", L"Выход",
                                                  true, L"tray-menu-ru"}));

TEST(TrayE2E, TheHeaderShowsTheTimeLeftAndZeroOnASpentDay)
{
    // 1 h 1 min 30 s left: the same text for 30 more counted seconds.
    App app(LaunchOptions().withData(dayWithUsed(kLimitSeconds - 3690).text()));
    ASSERT_TRUE(app.started());
    const MenuItem* header = nullptr;
    OpenMenus menu = openMenu(app);
    header = menu.command(kHeaderId);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->text, L"Remaining today: 1 h 1 min");
    pressKey(VK_ESCAPE);
    ASSERT_TRUE(app.waitForNoWindow(kMenuClass));

    App spent(LaunchOptions().withData(dayWithUsed(kLimitSeconds + 500).text()));
    ASSERT_TRUE(spent.started());
    menu = openMenu(spent);
    header = menu.command(kHeaderId);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->text, L"Remaining today: 0 h 0 min");
    pressKey(VK_ESCAPE);
    EXPECT_TRUE(spent.waitForNoWindow(kMenuClass));
}

TEST(TrayE2E, ChoosingItemsDeliversTheirCommands)
{
    App app;
    ASSERT_TRUE(app.started());

    // The grey header cannot be chosen: the menu stays open.
    OpenMenus menu = openMenu(app);
    ASSERT_EQ(menu.rootMenu().size(), 5u);
    ASSERT_TRUE(chooseCommand(app, menu, kHeaderId));
    EXPECT_FALSE(waitUntil([&] { return app.findWindow(kMenuClass) == nullptr; }, 1500));
    pressKey(VK_ESCAPE);
    ASSERT_TRUE(app.waitForNoWindow(kMenuClass));
    EXPECT_EQ(app.readFile(L"config.json"), ConfigFile{}.text());

    menu = openMenu(app);
    ASSERT_TRUE(chooseCommand(app, openLanguageSubmenu(app, menu), kRussianId));
    EXPECT_TRUE(app.waitForFile(L"config.json", [](const std::string& c) { return c == configIn("ru").text(); }));

    menu = openMenu(app);
    const MenuItem* settings = menu.command(kSettingsId);
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->text, L"Настройки");
    ASSERT_TRUE(chooseCommand(app, openLanguageSubmenu(app, menu), kEnglishId));
    EXPECT_TRUE(app.waitForFile(L"config.json", [](const std::string& c) { return c == ConfigFile{}.text(); }));

    menu = openMenu(app);
    ASSERT_TRUE(chooseCommand(app, menu, kSettingsId));
    EXPECT_NE(app.waitForWindow(kSettingsClass), nullptr);

    menu = openMenu(app);
    ASSERT_TRUE(chooseCommand(app, menu, kExitId));
    DWORD exitCode = 1;
    EXPECT_TRUE(app.waitForExit(kDefaultTimeoutMs, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST(TrayE2E, TheOneMinuteBalloonFollowsTheWarningBox)
{
    ActiveUser user;
    App app(LaunchOptions().withData(dayWithUsed(kLimitSeconds - 61, false).text()));
    ASSERT_TRUE(app.started());
    const ShownBox box = waitForMessageBox(app);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.text, L"There are 5 minutes left of the allowed computer time.");
    EXPECT_NE(app.readFile(L"data.json").find("\"one_minute_notification_shown\": true"), std::string::npos);
    // The balloon of the same tick waits for the box.
    EXPECT_FALSE(waitForBalloon(L"1 minute remaining", 3000));
    ASSERT_TRUE(answerMessageBox(box, IDOK));
    EXPECT_TRUE(waitForBalloon(L"1 minute remaining"));
}

TEST(TrayE2E, MinuteBalloonsComeInTheCurrentLanguage)
{
    ActiveUser user;
    App app(LaunchOptions().withConfig(configIn("ru").text()).withData(dayWithUsed(kLimitSeconds - 182).text()));
    ASSERT_TRUE(app.started());
    EXPECT_TRUE(waitForBalloon(L"До окончания времени осталось 3 минуты"));
}

// Wine never locks: the session probe accepts the lock and unlocks the session.
TEST(TrayE2E, AnUnlockOnASpentDayAnnouncesTheExtraMinute)
{
    App app(LaunchOptions().withData(dayWithUsed(kLimitSeconds - 1).text()));
    ASSERT_TRUE(app.started());
    ASSERT_TRUE(installSessionProbe(app));
    {
        ActiveUser user;
        ASSERT_TRUE(waitUntil([&] { return acceptedLocks(app) >= 1; }));
    }
    ASSERT_TRUE(unlockSession(app));
    EXPECT_TRUE(waitForBalloon(
        L"The time limit has been reached. One minute remains before the computer is locked again."));
}

// What another program (or a new taskbar) can do to the program's icon.
bool deleteIconOf(const App& app)
{
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = app.controlWindow();
    data.uID = 1;
    return Shell_NotifyIconW(NIM_DELETE, &data) != FALSE;
}

TEST(TrayE2E, TaskbarCreatedBringsTheIconBack)
{
    App app(LaunchOptions().withRelay(kNotifyRelay));
    ASSERT_TRUE(app.started());
    HWND tray = systemTrayWindow();
    ASSERT_NE(tray, nullptr);
    RECT area = {};
    GetWindowRect(tray, &area);
    ASSERT_TRUE(waitUntil([&] { return screenAreaContains(area, kIconBlue); }));
    ASSERT_TRUE(waitUntil([&] { return app.relayCount(kNotifyAdd) == 1; }));

    // A new taskbar starts empty: take the icon away as its loss would.
    ASSERT_TRUE(deleteIconOf(app));
    ASSERT_TRUE(waitUntil([&] {
        GetWindowRect(tray, &area);
        return !IsWindowVisible(tray) || !screenAreaContains(area, kIconBlue);
    }));

    app.postTaskbarCreated();
    EXPECT_TRUE(waitUntil([&] { return app.relayCount(kNotifyAdd) == 2; }));
    EXPECT_TRUE(waitUntil([&] {
        tray = systemTrayWindow();
        GetWindowRect(tray, &area);
        return IsWindowVisible(tray) && screenAreaContains(area, kIconBlue);
    }));
    // The object knows the icon is back: a language switch sends the tooltip again.
    const size_t modifiesBefore = app.relayCount(kNotifyModify);
    app.postCommand(static_cast<WORD>(kRussianId));
    EXPECT_TRUE(app.waitForFile(L"config.json", [](const std::string& c) { return c == configIn("ru").text(); }));
    EXPECT_TRUE(waitUntil([&] { return app.relayCount(kNotifyModify) == modifiesBefore + 1; }));
}

// Another program deletes the icon without a word: the program asks for it
// once a minute and adds it again. Other programs' icons share the tray in
// this test's lane, so the icon is followed through the program's own calls.
TEST(TrayLongE2E, AnIconDeletedFromOutsideIsBackWithinAMinute)
{
    App app(LaunchOptions().withRelay(kSideBySideRelay));
    ASSERT_TRUE(app.started());
    ASSERT_TRUE(waitUntil([&] { return app.relayCount(kNotifyAdd) >= 1; }));

    // On a loaded machine the shell may refuse the first add; the program adds
    // it again within seconds, and only then is there an icon to delete.
    ASSERT_TRUE(waitUntil([&] { return deleteIconOf(app); }));
    const ULONGLONG deletedAt = GetTickCount64();
    const size_t addsBefore = app.relayCount(kNotifyAdd);
    EXPECT_TRUE(waitUntil([&] { return app.relayCount(kNotifyAdd) > addsBefore; }, 65000));
    EXPECT_LE(GetTickCount64() - deletedAt, 65000u);
    // The shell holds it again: deleting it once more succeeds.
    EXPECT_TRUE(deleteIconOf(app));
}

}  // namespace
