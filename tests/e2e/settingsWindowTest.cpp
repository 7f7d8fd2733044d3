// The settings window as a user meets it: its controls, the limit checks,
// the password section's states and flows, and what reaches the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "settingsDriver.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

const std::wstring kInvalidLimitEn = L"Enter a daily limit from 1 to 1440 minutes.";

struct ExpectedControl {
    int id;
    const wchar_t* className;
    DWORD style;  // besides WS_CHILD and WS_VISIBLE
    bool clientEdge;
    const wchar_t* text;
    RECT bounds;  // x, y, right, bottom in the client area
    bool shown;
    // A label lower than one line of its font grows to the line about its centre.
    bool growsToLine = false;
};

// In creation order, which is also the z-order.
const ExpectedControl kControls[] = {
    {kLimitLabel, L"Static", 0, false, L"Daily limit (minutes):", {32, 64, 232, 84}, true, true},
    {kLimitField, L"Edit", WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL, true, L"120", {318, 60, 458, 88}, true},
    {kSetPassword, L"Button", WS_TABSTOP | BS_AUTOCHECKBOX, false, L"Set password", {32, 104, 222, 128}, true, true},
    {kChangePassword, L"Button", WS_TABSTOP | BS_OWNERDRAW, false, L"Change password", {255, 100, 360, 130}, false},
    {kRemovePassword, L"Button", WS_TABSTOP | BS_OWNERDRAW, false, L"Remove password", {368, 100, 468, 130}, false},
    {kPasswordLabel, L"Static", 0, false, L"Password:", {32, 141, 140, 161}, false, true},
    {kPasswordField, L"Edit", WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, true, L"", {150, 137, 468, 164}, false},
    {kConfirmLabel, L"Static", 0, false, L"Confirm password:", {32, 175, 140, 195}, false, true},
    {kConfirmField, L"Edit", WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, true, L"", {150, 171, 468, 198}, false},
    {kShowPassword, L"Button", WS_TABSTOP | BS_OWNERDRAW, false, L"Show password", {150, 205, 280, 235}, false},
    {kExitPassword, L"Button", WS_TABSTOP | BS_AUTOCHECKBOX, false, L"Require password on exit", {32, 241, 332, 265},
     true, true},
    {kNotifications, L"Button", WS_TABSTOP | BS_AUTOCHECKBOX, false, L"Show notifications in the last 3 minutes",
     {32, 269, 432, 293}, true, true},
    // Shown only while config.json cannot be read.
    {kSettingsNotReadNote, L"Static", 0, false,
     L"The saved settings cannot be read now. Fill in only what you change.", {32, 88, 468, 101}, false},
    // Shown only while the system refuses the protection the exit password asks for.
    {kExitProtectionNote, L"Static", 0, false,
     L"Exit protection refused by the system; retrying every second.",
     {32, 293, 468, 309}, false},
    {kApply, L"Button", WS_TABSTOP | BS_OWNERDRAW, false, L"Apply", {180, 312, 264, 346}, true},
    {kCancel, L"Button", WS_TABSTOP | BS_OWNERDRAW, false, L"Cancel", {274, 312, 358, 346}, true},
    {kOk, L"Button", WS_TABSTOP | BS_OWNERDRAW, false, L"OK", {368, 312, 452, 346}, true},
};

constexpr int kPasswordFieldIds[] = {kPasswordLabel, kPasswordField, kConfirmLabel, kConfirmField, kShowPassword};

RECT clientBounds(HWND parent, HWND child)
{
    RECT rect = screenRect(child);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

std::string passwordIn(const App& app)
{
    return jsonValue(app.readFile(L"data.json"), "settings_password");
}

// settings_password holds a salted hash of the password, never the password.
bool isPasswordHash(const std::string& value)
{
    return value.rfind("\"pbkdf2-sha256$", 0) == 0;
}

std::string exitFlagIn(const App& app)
{
    return jsonValue(app.readFile(L"data.json"), "require_password_on_exit");
}

// The password section as a user sees it, compared with one of the four states.
struct SectionLook {
    bool setChecked;
    bool setEnabled;
    bool changeRemoveShown;
    bool entryShown;         // password label and field
    bool confirmationShown;  // confirmation label, field and Show password
    bool exitEnabled;
};

constexpr SectionLook kNoPassword = {false, true, false, false, false, false};
constexpr SectionLook kEnteringFromNone = {true, true, false, true, true, true};
constexpr SectionLook kRevealedFromNone = {true, true, false, true, false, true};
constexpr SectionLook kEnteringFromSet = {true, false, false, true, true, true};
constexpr SectionLook kRevealedFromSet = {true, false, false, true, false, true};
constexpr SectionLook kPasswordSet = {true, false, true, false, false, true};

SectionLook lookOf(HWND window)
{
    return {isChecked(window, kSetPassword),
            isEnabled(window, kSetPassword),
            isShown(window, kChangePassword) && isShown(window, kRemovePassword),
            isShown(window, kPasswordLabel) && isShown(window, kPasswordField),
            isShown(window, kConfirmLabel) && isShown(window, kConfirmField) && isShown(window, kShowPassword),
            isEnabled(window, kExitPassword)};
}

bool sameLook(const SectionLook& a, const SectionLook& b)
{
    return a.setChecked == b.setChecked && a.setEnabled == b.setEnabled && a.changeRemoveShown == b.changeRemoveShown &&
           a.entryShown == b.entryShown && a.confirmationShown == b.confirmationShown && a.exitEnabled == b.exitEnabled;
}

// Waits for the look, since the clicks that lead to it are input still on its way.
::testing::AssertionResult showsState(HWND window, const SectionLook& expected)
{
    if (waitUntil([&] { return sameLook(lookOf(window), expected); })) {
        return ::testing::AssertionSuccess();
    }
    const SectionLook seen = lookOf(window);
    return ::testing::AssertionFailure() << "set checked " << seen.setChecked << " enabled " << seen.setEnabled
                                         << ", change/remove " << seen.changeRemoveShown << ", entry "
                                         << seen.entryShown << ", confirmation " << seen.confirmationShown
                                         << ", exit enabled " << seen.exitEnabled;
}

// Applies and expects one warning box with this text; answers it.
void expectRefusal(const App& app, HWND window, int button, const std::wstring& caption, const std::wstring& text)
{
    clickControl(window, button);
    const ShownBox box = waitForMessageBox(app);
    ASSERT_NE(box.window, nullptr) << "no message box for " << toUtf8(text);
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(GetWindow(box.window, GW_OWNER), window);
    ASSERT_TRUE(answerMessageBox(box, kBoxOk));
    EXPECT_TRUE(IsWindow(window));
}

TEST(SettingsWindowE2E, OpensAsAFramelessCardWithItsControls)
{
    App app;
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);

    EXPECT_EQ(windowText(window), L"Hourwarden Settings");
    EXPECT_EQ(GetWindow(window, GW_OWNER), app.controlWindow());
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_FALSE(style & (WS_CAPTION | WS_THICKFRAME | WS_SYSMENU));
    const LONG exStyle = GetWindowLongW(window, GWL_EXSTYLE);
    EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW);
    EXPECT_FALSE(exStyle & WS_EX_TOPMOST);
    const RECT bounds = screenRect(window);
    EXPECT_EQ(bounds.left, 0);
    EXPECT_EQ(bounds.top, 0);
    EXPECT_EQ(bounds.right, 500);
    EXPECT_EQ(bounds.bottom, 370);

    // The outline is rounded with the card's radius, 16 pixels.
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(GetWindowRgn(window, region), ERROR);
    EXPECT_FALSE(PtInRegion(region, 0, 0));
    EXPECT_FALSE(PtInRegion(region, 3, 3));
    EXPECT_FALSE(PtInRegion(region, 497, 367));
    EXPECT_TRUE(PtInRegion(region, 16, 0));
    EXPECT_TRUE(PtInRegion(region, 250, 185));
    EXPECT_TRUE(PtInRegion(region, 0, 185));
    EXPECT_TRUE(PtInRegion(region, 499, 185));
    EXPECT_TRUE(PtInRegion(region, 8, 8));
    DeleteObject(region);

    std::vector<int> zOrder;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        zOrder.push_back(GetDlgCtrlID(child));
    }
    std::vector<int> creationOrder;
    for (const ExpectedControl& definition : kControls) {
        creationOrder.push_back(definition.id);
    }
    EXPECT_EQ(zOrder, creationOrder);

    ControlFontQuery fonts;
    ASSERT_TRUE(readControlFonts(app, window, fonts));
    for (const ExpectedControl& definition : kControls) {
        SCOPED_TRACE(definition.id);
        HWND child = control(window, definition.id);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(className(child), definition.className);
        const LONG childStyle = GetWindowLongW(child, GWL_STYLE);
        EXPECT_TRUE(childStyle & WS_CHILD);
        EXPECT_EQ(childStyle & (WS_TABSTOP | 0xFFFF), static_cast<LONG>(definition.style));
        EXPECT_EQ((GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0, definition.clientEdge);
        EXPECT_EQ(windowText(child), definition.text);
        EXPECT_EQ(IsWindowVisible(child) != FALSE, definition.shown);
        const RECT placed = clientBounds(window, child);
        EXPECT_EQ(placed.left, definition.bounds.left);
        EXPECT_EQ(placed.right, definition.bounds.right);
        if (definition.growsToLine) {
            const ControlFont* font = fontOf(fonts, definition.id);
            ASSERT_NE(font, nullptr);
            const int line = lineHeightWith(*font, definition.text);
            const LONG height = definition.bounds.bottom - definition.bounds.top;
            EXPECT_EQ(placed.bottom - placed.top, std::max<LONG>(height, line)) << "line " << line;
            // About the centre, to the half pixel an odd growth leaves.
            EXPECT_LE(std::abs((placed.top + placed.bottom) - (definition.bounds.top + definition.bounds.bottom)), 1);
        } else {
            EXPECT_EQ(placed.top, definition.bounds.top);
            EXPECT_EQ(placed.bottom, definition.bounds.bottom);
        }
    }
    EXPECT_EQ(SendMessageW(control(window, kLimitField), EM_GETLIMITTEXT, 0, 0), 4);
    // No control takes the focus when the window opens.
    HWND focus = focusedControl(window);
    EXPECT_TRUE(focus == nullptr || GetParent(focus) != window);
}

TEST(SettingsWindowE2E, InitialStateFollowsTheFiles)
{
    const struct {
        const char* name;
        const char* password;
        bool requireOnExit;
        bool notifications;
        int limit;
        SectionLook look;
        bool exitChecked;
    } cases[] = {
        {"defaults", "", false, true, 120, kNoPassword, false},
        {"no notifications, short limit", "", false, false, 5, kNoPassword, false},
        // A hand-edited file: the flag without a password shows checked but cannot be changed.
        {"exit flag without password", "", true, true, 1440, kNoPassword, true},
        {"password, no exit flag", "pw", false, true, 120, kPasswordSet, false},
        {"password and exit flag", "pw", true, false, 61, kPasswordSet, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        App app(LaunchOptions()
                    .withConfig(configWith(c.limit, c.notifications))
                    .withData(dataWithPassword(c.password, c.requireOnExit)));
        ASSERT_TRUE(app.started());
        HWND window = *c.password != '\0' ? openSettingsWithPassword(app, toWide(c.password)) : openSettingsWindow(app);
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(showsState(window, c.look));
        EXPECT_EQ(isChecked(window, kExitPassword), c.exitChecked);
        EXPECT_EQ(isChecked(window, kNotifications), c.notifications);
        EXPECT_EQ(controlText(window, kLimitField), std::to_wstring(c.limit));
    }
}

TEST(SettingsWindowE2E, LimitFieldTakesFourDigitsOnly)
{
    App app;
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(replaceFieldText(window, kLimitField, L"1a2-b3 4567", L"1234"));
}

TEST(SettingsWindowE2E, LimitOutsideOneTo1440IsRefusedAndNothingIsStored)
{
    // Today's five-minute warning is already behind, so a one-minute limit brings no box of its own.
    UsageFile usage;
    usage.warningShown = true;
    App app(LaunchOptions().withConfig(configWith(120)).withData(usage.text()));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    const std::string config = app.readFile(L"config.json");
    // Turning notifications off would be stored with a valid limit; with an invalid one it is not.
    clickControl(window, kNotifications);
    ASSERT_TRUE(waitUntil([&] { return !isChecked(window, kNotifications); }));

    for (const wchar_t* limit : {L"", L"0", L"1441", L"9999", L"0000"}) {
        SCOPED_TRACE(toUtf8(limit));
        ASSERT_TRUE(replaceFieldText(window, kLimitField, limit));
        for (int button : {kApply, kOk}) {
            expectRefusal(app, window, button, L"Invalid limit", kInvalidLimitEn);
            EXPECT_EQ(controlText(window, kLimitField), limit);
            EXPECT_EQ(app.readFile(L"config.json"), config);
        }
    }
    const struct {
        const wchar_t* typed;
        const char* stored;
    } accepted[] = {{L"1440", "1440"}, {L"0090", "90"}, {L"1", "1"}};
    for (const auto& c : accepted) {
        SCOPED_TRACE(toUtf8(c.typed));
        ASSERT_TRUE(replaceFieldText(window, kLimitField, c.typed));
        clickControl(window, kApply);
        EXPECT_TRUE(app.waitForFile(L"config.json", [&](const std::string& text) {
            return jsonValue(text, "daily_limit_minutes") == c.stored &&
                   jsonValue(text, "show_last_three_minute_notifications") == "false";
        }));
        EXPECT_EQ(app.findWindow(kDialogClass), nullptr);
        EXPECT_TRUE(showsState(window, kNoPassword));
    }
}

// Checks Set password, types both fields and returns whether they hold the texts.
bool enterPasswords(HWND window, const std::wstring& password, const std::wstring& confirmation)
{
    return replaceFieldText(window, kPasswordField, password) &&
           (confirmation.empty() ? controlText(window, kConfirmField).empty()
                                 : replaceFieldText(window, kConfirmField, confirmation));
}

void checkSetPassword(HWND window)
{
    clickControl(window, kSetPassword);
}

struct RefusalTexts {
    std::wstring invalidLimitCaption, invalidLimit, passwordCaption, enterPassword, mismatch;
};

class SettingsRefusalE2E : public ::testing::TestWithParam<const char*> {};

// Each check reports in the program's language, in order, and stores nothing.
TEST_P(SettingsRefusalE2E, LimitFirstThenEmptyThenMismatchAndNothingStored)
{
    const bool russian = std::string(GetParam()) == "ru";
    const RefusalTexts texts =
        russian ? RefusalTexts{L"Некорректный лимит", L"Введите дневной лимит от 1 до 1440 минут.", L"Пароль",
                               L"Введите пароль.", L"Введённые пароли не совпадают."}
                : RefusalTexts{L"Invalid limit", kInvalidLimitEn, L"Password", L"Enter a password.",
                               L"The passwords do not match."};
    App app(LaunchOptions().withConfig(configWith(120, true, GetParam())));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    const std::string config = app.readFile(L"config.json");

    checkSetPassword(window);
    ASSERT_TRUE(showsState(window, kEnteringFromNone));
    clickControl(window, kExitPassword);
    ASSERT_TRUE(waitUntil([&] { return isChecked(window, kExitPassword); }));
    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"0"));
    // Both password fields empty and the limit invalid: the limit is reported.
    expectRefusal(app, window, kApply, texts.invalidLimitCaption, texts.invalidLimit);
    // Mismatched passwords and the limit invalid: still the limit.
    ASSERT_TRUE(enterPasswords(window, L"abc", L"abd"));
    expectRefusal(app, window, kOk, texts.invalidLimitCaption, texts.invalidLimit);

    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"30"));
    ASSERT_TRUE(replaceFieldText(window, kPasswordField, L""));
    expectRefusal(app, window, kApply, texts.passwordCaption, texts.enterPassword);
    ASSERT_TRUE(replaceFieldText(window, kPasswordField, L"abc"));
    expectRefusal(app, window, kApply, texts.passwordCaption, texts.mismatch);
    // Case matters.
    ASSERT_TRUE(replaceFieldText(window, kConfirmField, L"ABC"));
    expectRefusal(app, window, kOk, texts.passwordCaption, texts.mismatch);

    // After every refusal: nothing stored, the window and what was typed as they were.
    EXPECT_EQ(app.readFile(L"config.json"), config);
    EXPECT_EQ(passwordIn(app), "\"\"");
    EXPECT_EQ(exitFlagIn(app), "false");
    EXPECT_TRUE(showsState(window, kEnteringFromNone));
    EXPECT_EQ(controlText(window, kPasswordField), L"abc");
    EXPECT_EQ(controlText(window, kConfirmField), L"ABC");
    EXPECT_EQ(controlText(window, kLimitField), L"30");

    // Put right, OK stores the password and the exit flag before the limit, and closes.
    ASSERT_TRUE(replaceFieldText(window, kConfirmField, L"abc"));
    clickControl(window, kOk);
    EXPECT_TRUE(app.waitForNoWindow(kSettingsClass));
    EXPECT_TRUE(isPasswordHash(passwordIn(app))) << passwordIn(app);
    EXPECT_EQ(exitFlagIn(app), "true");
    EXPECT_EQ(jsonValue(app.readFile(L"config.json"), "daily_limit_minutes"), "30");
    EXPECT_NE(openSettingsWithPassword(app, L"abc"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, SettingsRefusalE2E, ::testing::Values("en", "ru"));

TEST(SettingsWindowE2E, ShowPasswordRevealsTheFirstFieldAndIgnoresTheConfirmation)
{
    App app;
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    checkSetPassword(window);
    ASSERT_TRUE(showsState(window, kEnteringFromNone));
    ASSERT_TRUE(enterPasswords(window, L"my pass", L"something else"));
    EXPECT_EQ(SendMessageW(control(window, kPasswordField), EM_GETPASSWORDCHAR, 0, 0), L'*');
    EXPECT_EQ(SendMessageW(control(window, kConfirmField), EM_GETPASSWORDCHAR, 0, 0), L'*');

    clickControl(window, kShowPassword);
    ASSERT_TRUE(showsState(window, kRevealedFromNone));
    EXPECT_EQ(SendMessageW(control(window, kPasswordField), EM_GETPASSWORDCHAR, 0, 0), 0);
    EXPECT_EQ(controlText(window, kPasswordField), L"my pass");

    // Unchecking and checking again masks both fields once more and shows the earlier texts.
    checkSetPassword(window);
    ASSERT_TRUE(showsState(window, kNoPassword));
    checkSetPassword(window);
    ASSERT_TRUE(showsState(window, kEnteringFromNone));
    EXPECT_EQ(SendMessageW(control(window, kPasswordField), EM_GETPASSWORDCHAR, 0, 0), L'*');
    EXPECT_EQ(controlText(window, kConfirmField), L"something else");
    clickControl(window, kShowPassword);
    ASSERT_TRUE(showsState(window, kRevealedFromNone));

    clickControl(window, kApply);
    ASSERT_TRUE(app.waitForFile(L"data.json", [](const std::string& text) {
        return isPasswordHash(jsonValue(text, "settings_password"));
    }));
    EXPECT_EQ(app.readFile(L"data.json").find("my pass"), std::string::npos);
    EXPECT_TRUE(showsState(window, kPasswordSet));
    // The exit check box was never checked: stored as false now that a password exists.
    EXPECT_EQ(exitFlagIn(app), "false");
    EXPECT_FALSE(isChecked(window, kExitPassword));
}

TEST(SettingsWindowE2E, WithoutAPasswordApplyStoresLimitAndNotificationsOnly)
{
    App app(LaunchOptions().withConfig(configWith(120, true)));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    const std::string data = app.readFile(L"data.json");
    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"300"));
    clickControl(window, kNotifications);
    ASSERT_TRUE(waitUntil([&] { return !isChecked(window, kNotifications); }));
    // The exit check box is disabled without a password: a click does nothing.
    clickControl(window, kExitPassword);

    // Checking Set password, typing and unchecking again stores no password.
    checkSetPassword(window);
    ASSERT_TRUE(showsState(window, kEnteringFromNone));
    ASSERT_TRUE(enterPasswords(window, L"typed", L"typed"));
    clickControl(window, kExitPassword);
    ASSERT_TRUE(waitUntil([&] { return isChecked(window, kExitPassword); }));
    checkSetPassword(window);
    ASSERT_TRUE(showsState(window, kNoPassword));
    EXPECT_FALSE(isChecked(window, kExitPassword));

    clickControl(window, kApply);
    ASSERT_TRUE(app.waitForFile(L"config.json", [](const std::string& text) {
        return jsonValue(text, "daily_limit_minutes") == "300" &&
               jsonValue(text, "show_last_three_minute_notifications") == "false";
    }));
    EXPECT_TRUE(showsState(window, kNoPassword));
    EXPECT_EQ(passwordIn(app), "\"\"");
    EXPECT_EQ(exitFlagIn(app), "false");

    // Re-checking shows the text typed before.
    checkSetPassword(window);
    ASSERT_TRUE(showsState(window, kEnteringFromNone));
    EXPECT_EQ(controlText(window, kPasswordField), L"typed");
    EXPECT_EQ(controlText(window, kConfirmField), L"typed");
}

TEST(SettingsWindowE2E, ChangePasswordStartsEmptyWithTheFocusInTheField)
{
    App app(LaunchOptions().withData(dataWithPassword("old", false)));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWithPassword(app, L"old");
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(showsState(window, kPasswordSet));
    const std::string oldHash = passwordIn(app);
    ASSERT_TRUE(isPasswordHash(oldHash)) << "the older file's password is replaced by its hash at start";

    clickControl(window, kChangePassword);
    ASSERT_TRUE(showsState(window, kEnteringFromSet));
    EXPECT_TRUE(waitForFocus(window, kPasswordField));
    EXPECT_EQ(controlText(window, kPasswordField), L"");
    EXPECT_EQ(controlText(window, kConfirmField), L"");
    // Typing goes straight into the password field.
    ASSERT_TRUE(typeAndWait(window, kPasswordField, L"new", L"new"));
    ASSERT_TRUE(replaceFieldText(window, kConfirmField, L"new"));
    clickControl(window, kShowPassword);
    ASSERT_TRUE(showsState(window, kRevealedFromSet));
    clickControl(window, kExitPassword);
    ASSERT_TRUE(waitUntil([&] { return isChecked(window, kExitPassword); }));

    clickControl(window, kApply);
    ASSERT_TRUE(app.waitForFile(L"data.json", [&](const std::string& text) {
        const std::string stored = jsonValue(text, "settings_password");
        return isPasswordHash(stored) && stored != oldHash && jsonValue(text, "require_password_on_exit") == "true";
    }));
    const std::string newHash = passwordIn(app);
    EXPECT_TRUE(showsState(window, kPasswordSet));
    EXPECT_TRUE(isChecked(window, kExitPassword));

    // The exit flag alone is stored by Apply while a password exists.
    clickControl(window, kExitPassword);
    ASSERT_TRUE(waitUntil([&] { return !isChecked(window, kExitPassword); }));
    clickControl(window, kOk);
    EXPECT_TRUE(app.waitForNoWindow(kSettingsClass));
    EXPECT_EQ(exitFlagIn(app), "false");
    EXPECT_EQ(passwordIn(app), newHash);
    EXPECT_NE(openSettingsWithPassword(app, L"new"), nullptr);
}

TEST(SettingsWindowE2E, RemovePasswordAsksAndActsAtOnce)
{
    App app(LaunchOptions().withData(dataWithPassword("pw", true)));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWithPassword(app, L"pw");
    ASSERT_NE(window, nullptr);
    const std::string data = app.readFile(L"data.json");

    clickControl(window, kRemovePassword);
    ShownBox box = waitForMessageBox(app);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.caption, L"Password");
    EXPECT_EQ(box.text, L"Remove the password and disable the password prompt on exit?");
    EXPECT_EQ(GetWindow(box.window, GW_OWNER), window);
    ASSERT_TRUE(answerMessageBox(box, kBoxNo));
    EXPECT_TRUE(showsState(window, kPasswordSet));
    EXPECT_TRUE(isChecked(window, kExitPassword));
    EXPECT_TRUE(isPasswordHash(passwordIn(app))) << passwordIn(app);
    EXPECT_EQ(exitFlagIn(app), "true");

    clickControl(window, kRemovePassword);
    box = waitForMessageBox(app);
    ASSERT_TRUE(answerMessageBox(box, kBoxYes));
    EXPECT_TRUE(app.waitForFile(L"data.json", [](const std::string& text) {
        return jsonValue(text, "settings_password") == "\"\"" &&
               jsonValue(text, "require_password_on_exit") == "false";
    }));
    EXPECT_TRUE(showsState(window, kNoPassword));
    EXPECT_FALSE(isChecked(window, kExitPassword));

    // Cancel does not undo it, and settings now open without a prompt.
    clickControl(window, kCancel);
    ASSERT_TRUE(app.waitForNoWindow(kSettingsClass));
    EXPECT_EQ(passwordIn(app), "\"\"");
    window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(app.findWindow(kPasswordClass), nullptr);
    EXPECT_TRUE(showsState(window, kNoPassword));
}

TEST(SettingsWindowE2E, CancelDropsEditsAndReopeningReadsTheFilesAfresh)
{
    App app(LaunchOptions().withConfig(configWith(200, true)));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    const std::string config = app.readFile(L"config.json");
    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"15"));
    clickControl(window, kNotifications);
    checkSetPassword(window);
    ASSERT_TRUE(enterPasswords(window, L"x", L"x"));
    clickControl(window, kCancel);
    ASSERT_TRUE(app.waitForNoWindow(kSettingsClass));
    EXPECT_EQ(app.readFile(L"config.json"), config);
    EXPECT_EQ(passwordIn(app), "\"\"");
    EXPECT_TRUE(app.isRunning());

    window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(controlText(window, kLimitField), L"200");
    EXPECT_TRUE(isChecked(window, kNotifications));
    EXPECT_TRUE(showsState(window, kNoPassword));
    EXPECT_EQ(controlText(window, kPasswordField), L"");
}

TEST(SettingsWindowE2E, OpeningAgainBringsTheSameWindowWithItsEdits)
{
    App app;
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"77"));
    checkSetPassword(window);
    ASSERT_TRUE(showsState(window, kEnteringFromNone));

    app.postCommand(kCommandSettings);
    app.postCommand(kCommandSettings);
    // The commands are handled in order; a language command after them shows they were.
    app.postCommand(kCommandRussian);
    ASSERT_TRUE(app.waitForFile(L"config.json", [](const std::string& text) {
        return jsonValue(text, "language") == "\"ru\"";
    })) << app.readFile(L"config.json") << " title " << toUtf8(windowText(window)) << " running " << app.isRunning();
    EXPECT_TRUE(waitUntil([&] { return GetForegroundWindow() == window; }));
    EXPECT_EQ(app.windows(kSettingsClass).size(), 1u);
    EXPECT_EQ(app.findWindow(kSettingsClass), window);
    EXPECT_EQ(controlText(window, kLimitField), L"77");
    EXPECT_TRUE(showsState(window, kEnteringFromNone));
}

TEST(SettingsWindowE2E, EscapeEnterAndTabDoNothingSpecial)
{
    App app(LaunchOptions().withConfig(configWith(120)));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    const std::string config = app.readFile(L"config.json");
    // An invalid limit: Enter acting as Apply or OK would show a warning box.
    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"0"));
    pressKey(VK_RETURN);
    pressKey(VK_ESCAPE);
    pressKey(VK_TAB);
    // Keys are handled in order: once this digit arrives in the limit field, the
    // three keys before it have been handled, and the focus did not move.
    ASSERT_TRUE(typeAndWait(window, kLimitField, L"5", L"05"));
    EXPECT_EQ(focusedControl(window), control(window, kLimitField));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(app.findWindow(kDialogClass), nullptr);
    EXPECT_EQ(app.readFile(L"config.json"), config);

    // The same on a focused button.
    checkSetPassword(window);
    ASSERT_TRUE(waitForFocus(window, kSetPassword));
    pressKey(VK_RETURN);
    pressKey(VK_ESCAPE);
    pressKey(VK_TAB);
    // The space bar still toggles the focused check box, after the keys above.
    pressKey(VK_SPACE);
    ASSERT_TRUE(showsState(window, kNoPassword));
    EXPECT_EQ(focusedControl(window), control(window, kSetPassword));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(app.findWindow(kDialogClass), nullptr);
}

TEST(SettingsWindowE2E, LanguageSwitchRelabelsAndKeepsEverything)
{
    App app(LaunchOptions().withData(dataWithPassword("pw", true)));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWithPassword(app, L"pw");
    ASSERT_NE(window, nullptr);
    clickControl(window, kChangePassword);
    ASSERT_TRUE(showsState(window, kEnteringFromSet));
    ASSERT_TRUE(typeAndWait(window, kPasswordField, L"typed", L"typed"));
    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"42"));
    clickControl(window, kNotifications);
    ASSERT_TRUE(waitUntil([&] { return !isChecked(window, kNotifications); }));

    app.postCommand(kCommandRussian);
    ASSERT_TRUE(waitUntil([&] { return windowText(window) == L"Настройки Hourwarden"; }));
    const struct {
        int id;
        const wchar_t* text;
    } russian[] = {
        {kLimitLabel, L"Дневной лимит (минуты):"},
        {kSetPassword, L"Установить пароль"},
        {kChangePassword, L"Изменить пароль"},
        {kRemovePassword, L"Удалить пароль"},
        {kPasswordLabel, L"Пароль:"},
        {kConfirmLabel, L"Повторите пароль:"},
        {kShowPassword, L"Показать пароль"},
        {kExitPassword, L"Запрашивать пароль при выходе"},
        {kNotifications, L"Показывать уведомления в последние 3 минуты"},
        {kApply, L"Применить"},
        {kCancel, L"Отмена"},
        {kOk, L"\x041E\x041A"},
    };
    for (const auto& row : russian) {
        EXPECT_EQ(controlText(window, row.id), row.text) << row.id;
    }
    EXPECT_EQ(controlText(window, kLimitField), L"42");
    EXPECT_EQ(controlText(window, kPasswordField), L"typed");
    EXPECT_FALSE(isChecked(window, kNotifications));
    EXPECT_TRUE(isChecked(window, kExitPassword));
    EXPECT_TRUE(showsState(window, kEnteringFromSet));

    app.postCommand(kCommandEnglish);
    ASSERT_TRUE(waitUntil([&] { return windowText(window) == L"Hourwarden Settings"; }));
    for (const ExpectedControl& definition : kControls) {
        if (definition.id != kLimitField && definition.id != kPasswordField && definition.id != kConfirmField) {
            EXPECT_EQ(controlText(window, definition.id), definition.text) << definition.id;
        }
    }
    EXPECT_EQ(controlText(window, kPasswordField), L"typed");
}

}  // namespace
