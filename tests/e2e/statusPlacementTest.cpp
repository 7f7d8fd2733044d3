// Where the status window opens from a saved position: kept while its drag
// strip shows on the screen, the default corner when it would be out of
// reach, and config.json left untouched either way.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "harness.h"

namespace {

using namespace e2e;

constexpr int kWidth = 420;
constexpr int kHeight = 250;
constexpr int kGap = 12;
constexpr int kStripHeight = 48;

RECT windowRect(HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

RECT workArea()
{
    RECT area = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

POINT bottomRightCorner()
{
    const RECT area = workArea();
    return POINT{area.right - kGap - kWidth, area.bottom - kGap - kHeight};
}

std::string configText(LONG x, LONG y)
{
    ConfigFile file;
    file.statusX = x;
    file.statusY = y;
    return file.text();
}

std::string idleDay()
{
    UsageFile usage;
    usage.warningShown = true;
    return usage.text();
}

// The shell's double click; the window is placed before it is shown, so once
// it shows it stands where it opened.
HWND openStatus(const App& app)
{
    app.postTrayMouse(WM_LBUTTONDBLCLK);
    HWND window = app.waitForWindow(kStatusClass);
    if (window == nullptr || !waitUntil([&] { return IsWindowVisible(window) != FALSE; })) {
        return nullptr;
    }
    return window;
}

TEST(StatusPlacementE2E, OutOfReachOpensInTheCornerAndReachableIsKept)
{
    const RECT area = workArea();
    const POINT corner = bottomRightCorner();
    const struct {
        const char* name;
        LONG x;
        LONG y;
        bool kept;
    } cases[] = {
        {"far below and right of the screen", 5000, 5000, false},
        {"left of the screen", area.left - kWidth - 300, 200, false},
        {"only the body below the strip shows", 300, area.top - kStripHeight, false},
        {"partly off the left edge", -100, 40, true},
        {"strip's last row at the top", 300, area.top - kStripHeight + 1, true},
        {"strip's top rows at the bottom", 300, area.bottom - 10, true},
    };
    for (const auto& c : cases) {
        const std::string config = configText(c.x, c.y);
        App app(LaunchOptions().withConfig(config).withData(idleDay()));
        ASSERT_TRUE(app.started()) << c.name;
        // Start-up writes the file in its own form, which is the form given.
        ASSERT_TRUE(app.waitForFile(L"config.json", [&](const std::string& text) { return text == config; }))
            << c.name;
        SaveCounter saves(app.directory() + L"\\config.json");

        HWND window = openStatus(app);
        ASSERT_NE(window, nullptr) << c.name;
        const RECT rect = windowRect(window);
        const POINT expected = c.kept ? POINT{c.x, c.y} : corner;
        EXPECT_EQ(rect.left, expected.x) << c.name;
        EXPECT_EQ(rect.top, expected.y) << c.name;
        EXPECT_EQ(rect.right - rect.left, kWidth) << c.name;
        EXPECT_EQ(rect.bottom - rect.top, kHeight) << c.name;

        PostMessageW(window, WM_CLOSE, 0, 0);
        ASSERT_TRUE(app.waitForNoWindow(kStatusClass)) << c.name;
        EXPECT_EQ(app.readFile(L"config.json"), config) << c.name;
        EXPECT_EQ(saves.count(), 0u) << c.name << ": the file was written again";
    }
}

}  // namespace
