// WM_DPICHANGED carries the rectangle the system suggests; one without it is
// not the system's and changes nothing (it once crashed the status window).
#include "ui/ownWindows.h"
#include "ui/settings/settingsWindow.h"
#include "ui/status/statusWindow.h"
#include "ui/status/statusWindowState.h"
#include "ui/windowState.h"
#include "usageTrackerFixture.h"

namespace tracker_test {
namespace {

class DpiMessageTest : public TrackerTest {
protected:
    void SetUp() override
    {
        TrackerTest::SetUp();
        owner_ = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(owner_, nullptr);
    }
    void TearDown() override
    {
        destroyOnDecision(owner_);
        TrackerTest::TearDown();
    }
    HWND owner_ = nullptr;
};

TEST_F(DpiMessageTest, ADpiChangeWithoutItsRectangleIsIgnored)
{
    UsageTracker& usage = start();
    const struct {
        const wchar_t* windowClass;
        void (*open)(HWND owner, UsageTracker* tracker);
    } windows[] = {
        {kStatusWindowClass, showStatusWindow},
        {kSettingsWindowClass, showSettingsWindow},
    };
    for (const auto& w : windows) {
        SCOPED_TRACE(testing::Message() << w.windowClass);
        w.open(owner_, &usage);
        HWND window = findOwnWindow(w.windowClass);
        ASSERT_NE(window, nullptr);
        RECT before = {};
        GetWindowRect(window, &before);
        const WPARAM dpi = MAKEWPARAM(144, 144);
        EXPECT_EQ(SendMessageW(window, WM_DPICHANGED, dpi, 0), 0);
        RECT after = {};
        GetWindowRect(window, &after);
        EXPECT_TRUE(IsWindow(window));
        EXPECT_TRUE(EqualRect(&before, &after));
        destroyOnDecision(window);
    }
}

TEST(SavedCount, StoredSecondsPlusThoseCountedMeanwhileStopAtTheLargestCount)
{
    const struct {
        int64_t stored;
        int64_t counted;
        int64_t sum;
    } cases[] = {
        {100, 20, 120},
        {INT64_MAX - 5, 5, INT64_MAX},
        {INT64_MAX - 5, 6, INT64_MAX},
        {INT64_MAX, INT64_MAX, INT64_MAX},
        {0, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(saturatingAdd(c.stored, c.counted), c.sum) << c.stored << " + " << c.counted;
    }
}

}  // namespace
}  // namespace tracker_test
