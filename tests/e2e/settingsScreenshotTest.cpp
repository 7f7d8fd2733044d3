// Pictures of the settings window in its four password-section states, in
// both languages, for the documentation (settings-<state>-<lang>.bmp in
// HOURWARDEN_SCREENSHOT_DIR; the test script turns them into PNG files).
#include <gtest/gtest.h>

#include <vector>

#include "settingsDriver.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

constexpr int kSteadyPolls = 8;

// Waits until the window's pixels stop changing, so a picture is not taken mid-paint.
bool waitUntilSteady(const RECT& area)
{
    std::vector<COLORREF> last;
    int steady = 0;
    return waitUntil([&] {
        std::vector<COLORREF> now = captureScreen(area);
        steady = now == last ? steady + 1 : 0;
        last = std::move(now);
        return steady >= kSteadyPolls;
    });
}

::testing::AssertionResult savePicture(HWND window, const std::wstring& state, const std::wstring& language)
{
    const RECT area = screenRect(window);
    if (!waitUntilSteady(area)) {
        return ::testing::AssertionFailure() << "the window kept changing";
    }
    const std::wstring path = screenshotDirectory() + L"\\settings-" + state + L"-" + language + L".bmp";
    if (!saveScreenBitmap(area, path)) {
        return ::testing::AssertionFailure() << "could not write " << toUtf8(path);
    }
    return ::testing::AssertionSuccess();
}

class SettingsScreenshotE2E : public ::testing::TestWithParam<const char*> {};

TEST_P(SettingsScreenshotE2E, FourStates)
{
    if (screenshotDirectory().empty()) {
        GTEST_SKIP() << "HOURWARDEN_SCREENSHOT_DIR is not set";
    }
    const std::wstring language = toWide(GetParam());
    App app(LaunchOptions().withConfig(configWith(120, true, GetParam())));
    ASSERT_TRUE(app.started());
    // The pointer away from the close button, so it is drawn at rest.
    moveCursorTo(600, 600);
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(savePicture(window, L"nopassword", language));

    clickControl(window, kSetPassword);
    ASSERT_TRUE(waitUntil([&] { return isShown(window, kConfirmField); }));
    // Filled from outside, so no caret blinks in the picture.
    for (int id : {kPasswordField, kConfirmField}) {
        SendMessageTimeoutW(control(window, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"secret"), SMTO_ABORTIFHUNG,
                            5000, nullptr);
    }
    moveCursorTo(600, 600);
    EXPECT_TRUE(savePicture(window, L"entering", language));

    clickControl(window, kShowPassword);
    ASSERT_TRUE(waitUntil([&] { return !isShown(window, kConfirmField); }));
    moveCursorTo(600, 600);
    EXPECT_TRUE(savePicture(window, L"revealed", language));

    clickControl(window, kApply);
    ASSERT_TRUE(waitUntil([&] { return isShown(window, kChangePassword); }));
    moveCursorTo(600, 600);
    EXPECT_TRUE(savePicture(window, L"passwordset", language));
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, SettingsScreenshotE2E, ::testing::Values("en", "ru"));

}  // namespace
