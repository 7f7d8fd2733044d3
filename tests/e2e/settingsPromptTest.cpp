// The password prompt in front of Settings and Exit: its look, wrong and right
// passwords in both modes, one prompt at a time, and a language switch.
#include <gtest/gtest.h>

#include "settingsDriver.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

struct PromptControl {
    int id;
    const wchar_t* className;
    DWORD style;  // besides WS_CHILD and WS_VISIBLE
    const wchar_t* text;
    RECT bounds;  // client coordinates, unscaled
};

const PromptControl kPromptControls[] = {
    {kPromptText, L"Static", 0, L"Enter the password to access settings:", {16, 16, 286, 36}},
    {kPromptField, L"Edit", WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, L"", {16, 42, 286, 66}},
    {kPromptOk, L"Button", WS_TABSTOP | BS_DEFPUSHBUTTON, L"OK", {112, 82, 192, 110}},
    {kPromptCancel, L"Button", WS_TABSTOP | BS_PUSHBUTTON, L"Cancel", {202, 82, 282, 110}},
};

HWND requestPrompt(const App& app, WORD command)
{
    app.postCommand(command);
    HWND prompt = app.waitForWindow(kPasswordClass);
    if (prompt != nullptr) {
        waitUntil([prompt] { return IsWindowVisible(prompt) != FALSE; });
    }
    return prompt;
}

bool typePassword(HWND prompt, const std::wstring& password)
{
    return waitForFocus(prompt, kPromptField) && typeAndWait(prompt, kPromptField, password, password);
}

// Types a wrong password, presses OK and checks the box and what follows it.
void expectWrongPassword(const App& app, HWND prompt, const std::wstring& typed, const std::wstring& boxText)
{
    if (!typed.empty()) {
        ASSERT_TRUE(typePassword(prompt, typed));
    }
    clickControl(prompt, kPromptOk);
    const ShownBox box = waitForMessageBox(app);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.caption, L"Hourwarden");
    EXPECT_EQ(box.text, boxText);
    EXPECT_EQ(GetWindow(box.window, GW_OWNER), prompt);
    ASSERT_TRUE(answerMessageBox(box, kBoxOk));
    // The field is emptied and has the focus again; the prompt stays in its mode.
    EXPECT_TRUE(waitUntil([&] { return controlText(prompt, kPromptField).empty(); }));
    EXPECT_TRUE(waitForFocus(prompt, kPromptField));
    EXPECT_TRUE(IsWindow(prompt));
    EXPECT_TRUE(app.isRunning());
}

// A point on the prompt's caption close box, found with the window's own hit test.
bool findCloseBox(HWND prompt, POINT& point)
{
    const RECT bounds = screenRect(prompt);
    for (int y = bounds.top; y < bounds.top + 40; ++y) {
        for (int x = bounds.right - 1; x > bounds.right - 60; --x) {
            DWORD_PTR hit = 0;
            SendMessageTimeoutW(prompt, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, 5000, &hit);
            if (hit == HTCLOSE) {
                point = {x - 3, y + 3};
                return true;
            }
        }
    }
    return false;
}

TEST(PasswordPromptE2E, GuardsSettingsAndRefusesWrongPasswords)
{
    App app(LaunchOptions().withData(dataWithPassword("Secret")));
    ASSERT_TRUE(app.started());
    HWND prompt = requestPrompt(app, kCommandSettings);
    ASSERT_NE(prompt, nullptr);
    EXPECT_EQ(app.findWindow(kSettingsClass), nullptr);

    EXPECT_EQ(windowText(prompt), L"Hourwarden Password");
    EXPECT_EQ(GetWindow(prompt, GW_OWNER), app.controlWindow());
    const LONG style = GetWindowLongW(prompt, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
    EXPECT_TRUE(GetWindowLongW(prompt, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);
    const RECT bounds = screenRect(prompt);
    EXPECT_EQ(bounds.right - bounds.left, 310);
    EXPECT_EQ(bounds.bottom - bounds.top, 150);
    for (const PromptControl& definition : kPromptControls) {
        SCOPED_TRACE(definition.id);
        HWND child = control(prompt, definition.id);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(className(child), definition.className);
        const LONG childStyle = GetWindowLongW(child, GWL_STYLE);
        EXPECT_TRUE(childStyle & WS_VISIBLE);
        EXPECT_EQ(childStyle & (WS_TABSTOP | 0xFFFF), static_cast<LONG>(definition.style));
        EXPECT_EQ((GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0, definition.id == kPromptField);
        EXPECT_EQ(windowText(child), definition.text);
        RECT placed = screenRect(child);
        MapWindowPoints(nullptr, prompt, reinterpret_cast<POINT*>(&placed), 2);
        EXPECT_EQ(placed.left, definition.bounds.left);
        EXPECT_EQ(placed.top, definition.bounds.top);
        EXPECT_EQ(placed.right, definition.bounds.right);
        EXPECT_EQ(placed.bottom, definition.bounds.bottom);
    }
    EXPECT_TRUE(waitForFocus(prompt, kPromptField));

    // Case matters, nothing is trimmed, an empty field never matches, and there is no lock-out.
    expectWrongPassword(app, prompt, L"secret", L"Incorrect password.");
    expectWrongPassword(app, prompt, L"Secret ", L"Incorrect password.");
    expectWrongPassword(app, prompt, L"", L"Incorrect password.");
    EXPECT_EQ(app.findWindow(kSettingsClass), nullptr);
    ASSERT_TRUE(typePassword(prompt, L"Secret"));
    clickControl(prompt, kPromptOk);
    HWND window = app.waitForWindow(kSettingsClass);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(app.waitForNoWindow(kPasswordClass));
    EXPECT_TRUE(IsWindowVisible(window));
}

TEST(PasswordPromptE2E, CancelAndTheCloseBoxOpenNothing)
{
    App app(LaunchOptions().withData(dataWithPassword("pw")));
    ASSERT_TRUE(app.started());
    HWND prompt = requestPrompt(app, kCommandSettings);
    ASSERT_NE(prompt, nullptr);
    ASSERT_TRUE(typePassword(prompt, L"pw"));
    clickControl(prompt, kPromptCancel);
    EXPECT_TRUE(app.waitForNoWindow(kPasswordClass));
    EXPECT_EQ(app.findWindow(kSettingsClass), nullptr);

    prompt = requestPrompt(app, kCommandSettings);
    ASSERT_NE(prompt, nullptr);
    ASSERT_TRUE(typePassword(prompt, L"pw"));
    POINT closeBox = {};
    ASSERT_TRUE(findCloseBox(prompt, closeBox));
    clickAt(closeBox.x, closeBox.y);
    EXPECT_TRUE(app.waitForNoWindow(kPasswordClass));
    EXPECT_EQ(app.findWindow(kSettingsClass), nullptr);
    EXPECT_TRUE(app.isRunning());
}

TEST(PasswordPromptE2E, EnterEscapeAndTabDoNothingSpecial)
{
    App app(LaunchOptions().withData(dataWithPassword("pw", true)));
    ASSERT_TRUE(app.started());
    for (const WORD command : {kCommandSettings, kCommandExit}) {
        SCOPED_TRACE(command);
        HWND prompt = requestPrompt(app, command);
        ASSERT_NE(prompt, nullptr);
        // The right password is in the field: Enter acting as OK would open settings or exit.
        ASSERT_TRUE(typePassword(prompt, L"pw"));
        pressKey(VK_RETURN);
        pressKey(VK_ESCAPE);
        pressKey(VK_TAB);
        // Keys are handled in order: this character arriving shows the three before it were too.
        ASSERT_TRUE(typeAndWait(prompt, kPromptField, L"x", L"pwx"));
        EXPECT_EQ(focusedControl(prompt), control(prompt, kPromptField));
        EXPECT_TRUE(IsWindow(prompt));
        EXPECT_EQ(app.findWindow(kSettingsClass), nullptr);
        EXPECT_TRUE(app.isRunning());
        clickControl(prompt, kPromptCancel);
        ASSERT_TRUE(app.waitForNoWindow(kPasswordClass));
    }
}

TEST(PasswordPromptE2E, ExitAsksOnlyWithPasswordAndFlag)
{
    const struct {
        const char* name;
        const char* password;
        bool flag;
    } immediate[] = {{"flag without password", "", true}, {"password without flag", "pw", false}};
    for (const auto& c : immediate) {
        SCOPED_TRACE(c.name);
        App app(LaunchOptions().withData(dataWithPassword(c.password, c.flag)));
        ASSERT_TRUE(app.started());
        app.postCommand(kCommandExit);
        DWORD exitCode = 1;
        EXPECT_TRUE(app.waitForExit(kDefaultTimeoutMs, &exitCode));
        EXPECT_EQ(exitCode, 0u);
    }

    App app(LaunchOptions().withData(dataWithPassword("pw", true)));
    ASSERT_TRUE(app.started());
    HWND prompt = requestPrompt(app, kCommandExit);
    ASSERT_NE(prompt, nullptr);
    EXPECT_EQ(windowText(prompt), L"Exit Hourwarden");
    EXPECT_EQ(controlText(prompt, kPromptText), L"Enter the password to exit Hourwarden:");
    clickControl(prompt, kPromptCancel);
    EXPECT_TRUE(app.waitForNoWindow(kPasswordClass));
    EXPECT_TRUE(app.isRunning());
    EXPECT_TRUE(IsWindow(app.controlWindow()));

    prompt = requestPrompt(app, kCommandExit);
    ASSERT_NE(prompt, nullptr);
    expectWrongPassword(app, prompt, L"PW", L"Incorrect password.");
    ASSERT_TRUE(typePassword(prompt, L"pw"));
    clickControl(prompt, kPromptOk);
    DWORD exitCode = 1;
    EXPECT_TRUE(app.waitForExit(kDefaultTimeoutMs, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

// One prompt at a time, in the mode last asked for: the same mode again brings
// the open prompt forward; the other closes it and opens its own. An exit
// prompt that a close request left open (anyone can send one) never takes the
// password the parent types to open the settings.
TEST(PasswordPromptE2E, OnePromptAtATimeInTheModeLastAskedFor)
{
    const struct {
        const char* name;
        WORD first;
        WORD second;
        const wchar_t* title;
        bool ends;
    } cases[] = {
        {"settings, then exit", kCommandSettings, kCommandExit, L"Exit Hourwarden", true},
        {"exit, then settings", kCommandExit, kCommandSettings, L"Hourwarden Password", false},
        {"settings twice", kCommandSettings, kCommandSettings, L"Hourwarden Password", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        App app(LaunchOptions().withData(dataWithPassword("pw", true)));
        ASSERT_TRUE(app.started());
        HWND first = requestPrompt(app, c.first);
        ASSERT_NE(first, nullptr);
        app.postCommand(c.second);
        HWND prompt = nullptr;
        ASSERT_TRUE(waitUntil([&] {
            const std::vector<HWND> open = app.windows(kPasswordClass);
            prompt = open.size() == 1 ? open[0] : nullptr;
            return prompt != nullptr && windowText(prompt) == c.title;
        })) << "one prompt, titled for what was asked last";
        EXPECT_EQ(prompt == first, c.first == c.second);
        ASSERT_TRUE(typePassword(prompt, L"pw"));
        clickControl(prompt, kPromptOk);
        if (c.ends) {
            DWORD exitCode = 1;
            EXPECT_TRUE(app.waitForExit(kDefaultTimeoutMs, &exitCode));
            EXPECT_EQ(exitCode, 0u);
        } else {
            EXPECT_NE(app.waitForWindow(kSettingsClass), nullptr);
            EXPECT_TRUE(app.waitForNoWindow(kPasswordClass));
            EXPECT_TRUE(app.isRunning());
        }
    }
}

TEST(PasswordPromptE2E, RightPasswordWithSettingsOpenBringsThatWindowBack)
{
    App app(LaunchOptions().withData(dataWithPassword("pw")));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWithPassword(app, L"pw");
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"33"));

    // Settings requested again: the password is asked again, then the same window comes forward.
    HWND prompt = requestPrompt(app, kCommandSettings);
    ASSERT_NE(prompt, nullptr);
    ASSERT_TRUE(typePassword(prompt, L"pw"));
    clickControl(prompt, kPromptOk);
    ASSERT_TRUE(app.waitForNoWindow(kPasswordClass));
    EXPECT_TRUE(waitUntil([&] { return GetForegroundWindow() == window; }));
    EXPECT_EQ(app.windows(kSettingsClass).size(), 1u);
    EXPECT_EQ(controlText(window, kLimitField), L"33");
}

TEST(PasswordPromptE2E, LanguageSwitchRelabelsBothWindowsAndKeepsTypedText)
{
    App app(LaunchOptions().withData(dataWithPassword("pw")));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWithPassword(app, L"pw");
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"55"));
    HWND prompt = requestPrompt(app, kCommandSettings);
    ASSERT_NE(prompt, nullptr);
    ASSERT_TRUE(typePassword(prompt, L"p"));

    app.postCommand(kCommandRussian);
    ASSERT_TRUE(waitUntil([&] { return windowText(prompt) == L"Пароль Hourwarden"; }));
    EXPECT_EQ(controlText(prompt, kPromptText), L"Введите пароль для доступа к настройкам:");
    EXPECT_EQ(controlText(prompt, kPromptOk), L"\x041E\x041A");
    EXPECT_EQ(controlText(prompt, kPromptCancel), L"Отмена");
    EXPECT_EQ(controlText(prompt, kPromptField), L"p");
    EXPECT_TRUE(waitUntil([&] { return windowText(window) == L"Настройки Hourwarden"; }));
    EXPECT_EQ(controlText(window, kApply), L"Применить");
    EXPECT_EQ(controlText(window, kLimitField), L"55");

    // The wrong-password box speaks the new language too.
    ASSERT_TRUE(typeAndWait(prompt, kPromptField, L"x", L"px"));
    expectWrongPassword(app, prompt, L"", L"Неверный пароль.");

    app.postCommand(kCommandEnglish);
    ASSERT_TRUE(waitUntil([&] { return windowText(prompt) == L"Hourwarden Password"; }));
    for (const PromptControl& definition : kPromptControls) {
        EXPECT_EQ(controlText(prompt, definition.id), definition.text) << definition.id;
    }
}

}  // namespace
