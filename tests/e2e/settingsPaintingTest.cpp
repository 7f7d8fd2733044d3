// The settings window's painted look as it reaches the screen: card, title,
// close button and its hover, the three button schemes with their pressed
// shades, the control colours, the drag band and closing by the "x".
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "settingsDriver.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

const COLORREF kGround = RGB(243, 245, 249);
const COLORREF kCard = RGB(255, 255, 255);
const COLORREF kBorder = RGB(220, 224, 232);
const COLORREF kText = RGB(43, 51, 64);
const COLORREF kCloseGlyph = RGB(80, 86, 96);
const COLORREF kCloseHovered = RGB(250, 228, 228);
const COLORREF kOkFill = RGB(54, 122, 216);
const COLORREF kOkPressed = RGB(40, 99, 184);
const COLORREF kOkText = RGB(255, 255, 255);
const COLORREF kAccentFill = RGB(237, 243, 252);
const COLORREF kAccentPressed = RGB(218, 230, 248);
const COLORREF kAccentText = RGB(42, 92, 172);
const COLORREF kNeutralFill = RGB(244, 246, 249);
const COLORREF kNeutralPressed = RGB(226, 229, 235);
const COLORREF kNeutralText = RGB(62, 69, 80);

const wchar_t kCloseHoveredProperty[] = L"SettingsCloseHovered";

// Window points at 96 DPI; the window opens at (0, 0), so they are screen points there too.
const RECT kTitleArea = {30, 20, 432, 54};
const RECT kCloseArea = {460, 22, 488, 50};
const POINT kCloseInside = {462, 24};      // in the close square, clear of the glyph
const POINT kCloseOverBorder = {487, 36};  // the stretch of card border the square covers
const POINT kCloseCentre = {474, 36};
const POINT kCardBody = {100, 305};        // white card, no control
const POINT kBandPoint = {200, 30};        // drag band, clear of the title's end and the close button

struct Probe {
    const char* what;
    POINT point;
    COLORREF colour;
};

::testing::AssertionResult pixelsAre(const std::vector<Probe>& probes)
{
    bool all = true;
    std::string failures;
    for (const Probe& probe : probes) {
        if (!waitForPixel(probe.point.x, probe.point.y, probe.colour, 5000)) {
            all = false;
            failures += std::string(probe.what) + " at " + std::to_string(probe.point.x) + "," +
                        std::to_string(probe.point.y) + " is " + describe(screenPixel(probe.point.x, probe.point.y)) +
                        ", not " + describe(probe.colour) + "; ";
        }
    }
    return all ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << failures;
}

POINT onScreen(HWND window, POINT inWindow)
{
    const RECT rect = screenRect(window);
    return {rect.left + inWindow.x, rect.top + inWindow.y};
}

bool closeHovered(HWND window)
{
    return GetPropW(window, kCloseHoveredProperty) != nullptr;
}

RECT controlScreenRect(HWND window, int id)
{
    return screenRect(control(window, id));
}

// A point inside a button just below its top border, clear of its text and rounded corners.
POINT buttonFillPoint(HWND window, int id)
{
    const RECT rect = controlScreenRect(window, id);
    return {(rect.left + rect.right) / 2, rect.top + 2};
}

POINT buttonBorderPoint(HWND window, int id)
{
    const RECT rect = controlScreenRect(window, id);
    return {rect.left, (rect.top + rect.bottom) / 2};
}

bool areaShows(const RECT& area, COLORREF colour)
{
    return waitUntil([&] { return screenAreaContains(area, colour); }, 5000);
}

std::string hexHandle(HWND window)
{
    char text[32];
    std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(window)));
    return text;
}

TEST(SettingsPaintingE2E, CardTitleCloseButtonAndButtonSchemes)
{
    App app(LaunchOptions().withData(dataWithPassword("pw")));
    ASSERT_TRUE(app.started());
    // Through the prompt, so the window opens in the Password set state with Change and Remove shown.
    HWND prompt = requestSettings(app, kPasswordClass);
    ASSERT_NE(prompt, nullptr);
    ASSERT_TRUE(waitForFocus(prompt, kPromptField));
    ASSERT_TRUE(typeAndWait(prompt, kPromptField, L"pw", L"pw"));
    clickControl(prompt, kPromptOk);
    HWND window = app.waitForWindow(kSettingsClass);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(app.waitForNoWindow(kPasswordClass));

    EXPECT_TRUE(pixelsAre({
        {"ground left", {5, 185}, kGround},
        {"ground top", {250, 5}, kGround},
        {"ground bottom", {250, 364}, kGround},
        {"card border top", {250, 12}, kBorder},
        {"card border left", {12, 185}, kBorder},
        {"card border right", {487, 185}, kBorder},
        {"card border bottom", {250, 357}, kBorder},
        {"card corner is rounded", {12, 12}, kGround},
        {"card fill", kCardBody, kCard},
        {"close button at rest", kCloseInside, kGround},
        {"close button over the card border", kCloseOverBorder, kGround},
        {"OK fill", buttonFillPoint(window, kOk), kOkFill},
        {"OK border", buttonBorderPoint(window, kOk), kOkFill},
        {"Apply fill", buttonFillPoint(window, kApply), kAccentFill},
        {"Apply border", buttonBorderPoint(window, kApply), kBorder},
        {"Change password fill", buttonFillPoint(window, kChangePassword), kAccentFill},
        {"Remove password fill", buttonFillPoint(window, kRemovePassword), kAccentFill},
        {"Cancel fill", buttonFillPoint(window, kCancel), kNeutralFill},
        {"Cancel border", buttonBorderPoint(window, kCancel), kBorder},
    }));
    EXPECT_TRUE(areaShows(kTitleArea, kText)) << "title text";
    EXPECT_TRUE(areaShows(kCloseArea, kCloseGlyph)) << "close glyph";
    EXPECT_TRUE(areaShows(controlScreenRect(window, kOk), kOkText)) << "OK text";
    EXPECT_TRUE(areaShows(controlScreenRect(window, kApply), kAccentText)) << "Apply text";
    EXPECT_TRUE(areaShows(controlScreenRect(window, kCancel), kNeutralText)) << "Cancel text";
    EXPECT_TRUE(areaShows(controlScreenRect(window, kLimitLabel), kText)) << "label text";
    EXPECT_TRUE(areaShows(controlScreenRect(window, kLimitField), kText)) << "limit digits";

    // Show password is an accent button too.
    clickControl(window, kChangePassword);
    ASSERT_TRUE(waitUntil([&] { return isShown(window, kShowPassword); }));
    EXPECT_TRUE(pixelsAre({{"Show password fill", buttonFillPoint(window, kShowPassword), kAccentFill}}));
    EXPECT_TRUE(areaShows(controlScreenRect(window, kShowPassword), kAccentText)) << "Show password text";
}

TEST(SettingsPaintingE2E, PressedButtonsDarkenAndAReleaseElsewhereDoesNotClick)
{
    App app(LaunchOptions().withConfig(configWith(120)));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    const std::string config = app.readFile(L"config.json");
    // A valid change that any of these buttons would store if it were clicked.
    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"99"));

    const struct {
        int id;
        COLORREF rest;
        COLORREF pressed;
    } buttons[] = {{kOk, kOkFill, kOkPressed}, {kApply, kAccentFill, kAccentPressed},
                   {kCancel, kNeutralFill, kNeutralPressed}};
    for (const auto& button : buttons) {
        SCOPED_TRACE(button.id);
        const POINT fill = buttonFillPoint(window, button.id);
        const POINT centre = centreOf(controlScreenRect(window, button.id));
        ASSERT_TRUE(moveCursorTo(centre.x, centre.y));
        leftButtonDown();
        EXPECT_TRUE(waitForPixel(fill.x, fill.y, button.pressed)) << describe(screenPixel(fill.x, fill.y));
        // Sliding off the button while held lifts it again; releasing there is no click.
        EXPECT_TRUE(hoverUntil(onScreen(window, kCardBody), [&] { return screenPixel(fill.x, fill.y) == button.rest; }))
            << describe(screenPixel(fill.x, fill.y));
        leftButtonUp();
    }
    // A click that is handled after those releases shows they changed nothing.
    clickControl(window, kNotifications);
    ASSERT_TRUE(waitUntil([&] { return !isChecked(window, kNotifications); }));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(app.readFile(L"config.json"), config);
    EXPECT_EQ(controlText(window, kLimitField), L"99");
}

TEST(SettingsPaintingE2E, CloseButtonLightsUpOncePerChangeAndClosesOnRelease)
{
    App app(LaunchOptions().withConfig(configWith(120)).withRelay(L"user32.BeginPaint"));
    ASSERT_TRUE(app.started());
    ASSERT_TRUE(moveCursorTo(kCardBody.x, kCardBody.y + 40));
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    const std::string paintCall = "Call user32.BeginPaint(" + hexHandle(window);
    const POINT closeInside = onScreen(window, kCloseInside);
    const POINT closeOverBorder = onScreen(window, kCloseOverBorder);
    ASSERT_TRUE(pixelsAre({{"close at rest", closeInside, kGround}}));
    ASSERT_TRUE(waitUntil([&] { return app.relayCount(paintCall) >= 1; }));

    // Onto the button: light red, one repaint however many moves.
    ASSERT_TRUE(hoverUntil(onScreen(window, kCloseCentre), [&] { return closeHovered(window); }));
    ASSERT_TRUE(pixelsAre({{"close hovered", closeInside, kCloseHovered},
                           {"close hovered over the border", closeOverBorder, kCloseHovered}}));
    const size_t paintsWhileHovered = app.relayCount(paintCall);
    for (int step = 0; step < 6; ++step) {
        ASSERT_TRUE(moveCursorTo(closeInside.x + 2 + step * 3, closeInside.y + 2 + step * 3));
    }
    // Back to the body: the ground colour again, with exactly one more repaint.
    ASSERT_TRUE(hoverUntil(onScreen(window, kCardBody), [&] { return !closeHovered(window); }));
    ASSERT_TRUE(pixelsAre({{"close after leaving", closeInside, kGround}}));
    EXPECT_TRUE(waitUntil([&] { return app.relayCount(paintCall) == paintsWhileHovered + 1; }));
    EXPECT_EQ(app.relayCount(paintCall), paintsWhileHovered + 1);

    // Leaving sideways into the drag band ends the hover as well.
    ASSERT_TRUE(hoverUntil(onScreen(window, kCloseCentre), [&] { return closeHovered(window); }));
    ASSERT_TRUE(pixelsAre({{"close hovered again", closeInside, kCloseHovered}}));
    ASSERT_TRUE(hoverUntil(onScreen(window, kBandPoint), [&] { return !closeHovered(window); }));
    EXPECT_TRUE(pixelsAre({{"close after leaving into the band", closeInside, kGround}}));

    // Pressed on the card, released over the "x": closes, and the edit is dropped.
    const std::string config = app.readFile(L"config.json");
    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"7"));
    const POINT body = onScreen(window, kCardBody);
    ASSERT_TRUE(moveCursorTo(body.x, body.y));
    leftButtonDown();
    ASSERT_TRUE(hoverUntil(onScreen(window, kCloseCentre), [&] { return closeHovered(window); }));
    leftButtonUp();
    EXPECT_TRUE(app.waitForNoWindow(kSettingsClass));
    EXPECT_EQ(app.readFile(L"config.json"), config);
    EXPECT_TRUE(app.isRunning());
}

TEST(SettingsPaintingE2E, TheTopBandDragsTheWindowAndTheBodyDoesNot)
{
    App app;
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);

    leftDrag(kCardBody.x, kCardBody.y, kCardBody.x + 80, kCardBody.y + 60);
    // A click handled after the drag shows the drag has been handled too.
    clickControl(window, kNotifications);
    ASSERT_TRUE(waitUntil([&] { return !isChecked(window, kNotifications); }));
    RECT bounds = screenRect(window);
    EXPECT_EQ(bounds.left, 0);
    EXPECT_EQ(bounds.top, 0);

    leftDrag(kBandPoint.x, kBandPoint.y, kBandPoint.x + 80, kBandPoint.y + 60, [&] {
        bounds = screenRect(window);
        return bounds.left == 80 && bounds.top == 60;
    });
    EXPECT_TRUE(waitUntil([&] {
        bounds = screenRect(window);
        return bounds.left == 80 && bounds.top == 60;
    })) << bounds.left << "," << bounds.top;
    EXPECT_EQ(bounds.right - bounds.left, 500);
    EXPECT_EQ(bounds.bottom - bounds.top, 370);

    // Just below the band, 50 pixels down from the window's top, is the body again.
    leftDrag(80 + 200, 60 + 50, 80 + 260, 60 + 100);
    clickControl(window, kNotifications);
    ASSERT_TRUE(waitUntil([&] { return isChecked(window, kNotifications); }));
    bounds = screenRect(window);
    EXPECT_EQ(bounds.left, 80);
    EXPECT_EQ(bounds.top, 60);
}

TEST(SettingsPaintingE2E, LanguageSwitchRepaintsTheTitle)
{
    App app;
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(areaShows(kTitleArea, kText));
    const std::vector<COLORREF> english = captureScreen(kTitleArea);
    clickControl(window, kCancel);
    ASSERT_TRUE(app.waitForNoWindow(kSettingsClass));

    app.postCommand(kCommandRussian);
    window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(waitUntil([&] { return windowText(window) == L"Настройки Hourwarden"; }));
    ASSERT_TRUE(waitUntil([&] { return screenAreaContains(kTitleArea, kText) && captureScreen(kTitleArea) != english; }));
    const std::vector<COLORREF> russian = captureScreen(kTitleArea);

    // The open window's title is repainted in each new language, as a new window would paint it.
    app.postCommand(kCommandEnglish);
    EXPECT_TRUE(waitUntil([&] { return captureScreen(kTitleArea) == english; }));
    app.postCommand(kCommandRussian);
    EXPECT_TRUE(waitUntil([&] { return captureScreen(kTitleArea) == russian; }));
}

}  // namespace
