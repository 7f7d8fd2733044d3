// The status window inside this process: placement, region, hit tests, hover,
// buttons, the saved position, and the balance of every COM reference it takes.
#include <gtest/gtest.h>

#include <windows.h>

#include <d2d1.h>
#include <dwrite.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "base/scopedHandles.h"
#include "core/usageTracker.h"
#include "i18n/strings.h"
#include "libraryLoadSeam.h"
#include "ui/windowState.h"
#include "ui/status/statusFactories.h"
#include "ui/status/statusRendering.h"
#include "ui/status/statusWindow.h"
#include "ui/status/statusWindowState.h"

namespace {

constexpr int kWidth = 420;
constexpr int kHeight = 250;
constexpr int kGap = 12;

std::string readText(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string usageFileText(long long usedSeconds)
{
    std::string date;
    for (const wchar_t c : todayDateString()) {
        date += static_cast<char>(c);
    }
    return "{\n  \"date\": \"" + date + "\",\n  \"used_seconds\": " + std::to_string(usedSeconds) +
           ",\n  \"warning_shown\": false,\n  \"settings_password\": \"\",\n  \"require_password_on_exit\": false,\n"
           "  \"three_minute_notification_shown\": false,\n  \"two_minute_notification_shown\": false,\n"
           "  \"one_minute_notification_shown\": false\n}\n";
}

ULONG referenceCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

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

LPARAM clientPoint(int x, int y)
{
    return MAKELPARAM(x, y);
}

// A tracker on files of its own, a hidden owner standing in for the control window.
class StatusWindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        directory_ = std::filesystem::path(temp) /
                     (L"hourwarden-status-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                      std::to_wstring(GetTickCount64()));
        std::filesystem::create_directories(directory_);
        owner_ = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(owner_, nullptr);
    }

    void TearDown() override
    {
        destroyOnDecision(owner_);  // takes an open status window with it
        tracker_.reset();
        setActiveLanguage(Language::English);
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    UsageTracker& loadTracker(const std::string& config = {}, long long usedSeconds = 0)
    {
        tracker_.reset();  // a running tracker holds its files
        if (!config.empty()) {
            writeText(configPath(), config);
        }
        writeText(directory_ / "data.json", usageFileText(usedSeconds));
        tracker_ = std::make_unique<UsageTracker>(directory_.wstring());
        tracker_->load();
        EXPECT_TRUE(tracker_->awaitFiles(30000)) << "the files' thread is stuck";
        return *tracker_;
    }

    static std::string configWithPosition(int x, int y)
    {
        return "{\n  \"daily_limit_minutes\": 120,\n  \"show_last_three_minute_notifications\": true,\n"
               "  \"language\": \"en\",\n  \"status_window_x\": " +
               std::to_string(x) + ",\n  \"status_window_y\": " + std::to_string(y) + "\n}\n";
    }

    std::filesystem::path configPath() const { return directory_ / "config.json"; }

    // Opens (or brings back) the window and paints it once, so the button rectangles are known.
    HWND open()
    {
        showStatusWindow(owner_, tracker_.get());
        HWND window = FindWindowW(kStatusWindowClass, nullptr);
        if (window != nullptr) {
            RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        }
        return window;
    }

    static int countStatusWindows()
    {
        int count = 0;
        HWND window = nullptr;
        while ((window = FindWindowExW(nullptr, window, kStatusWindowClass, nullptr)) != nullptr) {
            ++count;
        }
        return count;
    }

    static bool repaintPending(HWND window) { return GetUpdateRect(window, nullptr, FALSE) != FALSE; }

    std::filesystem::path directory_;
    HWND owner_ = nullptr;
    std::unique_ptr<UsageTracker> tracker_;
};

TEST_F(StatusWindowTest, OpensOnceAtTheWorkAreaCornerAndComesForwardInsteadOfASecond)
{
    loadTracker();
    HWND window = open();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(GetWindow(window, GW_OWNER), owner_);
    wchar_t title[32] = {};
    GetWindowTextW(window, title, 32);
    EXPECT_STREQ(title, L"Hourwarden");
    EXPECT_EQ(GetWindowLongPtrW(window, GWL_STYLE) & (WS_POPUP | WS_CAPTION | WS_THICKFRAME), WS_POPUP);
    EXPECT_EQ(GetWindowLongPtrW(window, GWL_EXSTYLE) & (WS_EX_TOOLWINDOW | WS_EX_TOPMOST), WS_EX_TOOLWINDOW);
    const RECT area = workArea();
    const RECT rect = windowRect(window);
    EXPECT_EQ(rect.right - rect.left, kWidth);
    EXPECT_EQ(rect.bottom - rect.top, kHeight);
    EXPECT_EQ(rect.right, area.right - kGap);
    EXPECT_EQ(rect.bottom, area.bottom - kGap);

    // A second double click: the same window, where it is, restored and repainted.
    SetWindowPos(window, nullptr, 100, 80, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(window, SW_MINIMIZE);
    ValidateRect(window, nullptr);
    showStatusWindow(owner_, tracker_.get());
    EXPECT_EQ(countStatusWindows(), 1);
    EXPECT_EQ(FindWindowW(kStatusWindowClass, nullptr), window);
    EXPECT_FALSE(IsIconic(window));
    EXPECT_EQ(windowRect(window).left, 100);
    EXPECT_EQ(windowRect(window).top, 80);
    EXPECT_TRUE(repaintPending(window));
}

TEST_F(StatusWindowTest, RegionRoundsTheCorners)
{
    loadTracker();
    HWND window = open();
    ASSERT_NE(window, nullptr);
    Region region(CreateRectRgn(0, 0, 0, 0));
    ASSERT_NE(GetWindowRgn(window, region.get()), ERROR);
    const struct {
        int x;
        int y;
        bool inside;
    } cases[] = {
        {0, 0, false},   {kWidth - 1, 0, false}, {0, kHeight - 1, false}, {kWidth - 1, kHeight - 1, false},
        {10, 0, true},   {0, 10, true},          {kWidth / 2, kHeight / 2, true}, {kWidth - 1, kHeight / 2, true},
        {kWidth / 2, kHeight - 1, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PtInRegion(region.get(), c.x, c.y) != FALSE, c.inside) << c.x << "," << c.y;
    }
}

// Off every monitor, or with a coordinate of -1, the window opens in the
// default corner; the saved point stays in the file either way.
TEST_F(StatusWindowTest, SavedPositionIsUsedWhileItsDragStripShows)
{
    const RECT area = workArea();
    const LONG cornerX = area.right - kGap - kWidth;
    const LONG cornerY = area.bottom - kGap - kHeight;
    const struct {
        LONG savedX;
        LONG savedY;
        LONG x;
        LONG y;
    } cases[] = {
        {200, 150, 200, 150},
        {-2, -2, -2, -2},
        {area.left - kWidth + 1, 100, area.left - kWidth + 1, 100},      // one column of the strip shows
        {300, area.top - 47, 300, area.top - 47},                        // the strip's last row shows
        {300, area.bottom - 1, 300, area.bottom - 1},
        {area.left - kWidth, 100, cornerX, cornerY},                     // just off the left edge
        {300, area.top - 48, cornerX, cornerY},                          // only the body below the strip shows
        {area.right, 300, cornerX, cornerY},
        {-3000, 50, cornerX, cornerY},
        {5000, 4000, cornerX, cornerY},
        {-1, 100, cornerX, cornerY},
        {300, -1, cornerX, cornerY},
    };
    for (const auto& c : cases) {
        loadTracker(configWithPosition(c.savedX, c.savedY));
        const std::string config = readText(configPath());
        HWND window = open();
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(windowRect(window).left, c.x) << c.savedX << "," << c.savedY;
        EXPECT_EQ(windowRect(window).top, c.y) << c.savedX << "," << c.savedY;
        destroyOnDecision(window);
        EXPECT_EQ(readText(configPath()), config) << c.savedX << "," << c.savedY;
    }
}

TEST_F(StatusWindowTest, EndOfAMoveSavesTheCornerOnceAndClosingWritesNothing)
{
    UsageTracker& tracker = loadTracker();
    HWND window = open();
    ASSERT_NE(window, nullptr);
    SetWindowPos(window, nullptr, 321, 123, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_EQ(readText(configPath()).find("\"status_window_x\": 321"), std::string::npos) << "moving alone saves nothing";
    SendMessageW(window, WM_EXITSIZEMOVE, 0, 0);
    POINT saved = {};
    ASSERT_TRUE(tracker.savedStatusWindowPosition(saved));
    EXPECT_EQ(saved.x, 321);
    EXPECT_EQ(saved.y, 123);
    const std::string afterDrop = readText(configPath());
    EXPECT_NE(afterDrop.find("\"status_window_x\": 321"), std::string::npos) << afterDrop;
    EXPECT_NE(afterDrop.find("\"status_window_y\": 123"), std::string::npos) << afterDrop;

    SetWindowPos(window, nullptr, 400, 300, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    destroyOnDecision(window);
    EXPECT_EQ(readText(configPath()), afterDrop);

    // The next opening uses the saved corner.
    window = open();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(windowRect(window).left, 321);
    EXPECT_EQ(windowRect(window).top, 123);

    // Dropped with its left edge at -1: that coordinate is saved, and the default corner comes back.
    SetWindowPos(window, nullptr, -1, 200, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(window, WM_EXITSIZEMOVE, 0, 0);
    EXPECT_NE(readText(configPath()).find("\"status_window_x\": -1,"), std::string::npos);
    destroyOnDecision(window);
    window = open();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(windowRect(window).right, workArea().right - kGap);
    EXPECT_EQ(windowRect(window).bottom, workArea().bottom - kGap);
}

TEST_F(StatusWindowTest, DragStripAnswersCaptionExceptOverTheCloseButton)
{
    loadTracker();
    HWND window = open();
    ASSERT_NE(window, nullptr);
    const RECT rect = windowRect(window);
    const struct {
        int x;
        int y;
        LRESULT hit;
    } cases[] = {
        {30, 5, HTCAPTION},  {200, 47, HTCAPTION}, {369, 30, HTCAPTION}, {405, 30, HTCAPTION},
        {370, 22, HTCLIENT}, {384, 36, HTCLIENT},  {398, 47, HTCLIENT},  {200, 48, HTCLIENT},
        {200, 200, HTCLIENT},
    };
    for (const auto& c : cases) {
        const LPARAM screen = MAKELPARAM(rect.left + c.x, rect.top + c.y);
        EXPECT_EQ(SendMessageW(window, WM_NCHITTEST, 0, screen), c.hit) << c.x << "," << c.y;
    }
}

TEST_F(StatusWindowTest, HoverFlagsRepaintOnlyWhenTheyChangeAndAlwaysOnLeave)
{
    loadTracker();
    HWND window = open();
    ASSERT_NE(window, nullptr);
    const StatusWindowState* state = statusWindowStateOf(window);
    ASSERT_NE(state, nullptr);
    const struct {
        UINT message;
        LPARAM point;
        bool close;
        bool settings;
        bool repaint;
    } steps[] = {
        {WM_MOUSEMOVE, clientPoint(200, 120), false, false, false},
        {WM_MOUSEMOVE, clientPoint(384, 36), true, false, true},
        {WM_MOUSEMOVE, clientPoint(390, 40), true, false, false},
        {WM_MOUSEMOVE, clientPoint(200, 200), false, true, true},
        {WM_MOUSEMOVE, clientPoint(30, 187), false, true, false},
        {WM_MOUSELEAVE, 0, false, false, true},
        {WM_MOUSELEAVE, 0, false, false, true},  // also when nothing was hovered
        {WM_MOUSEMOVE, clientPoint(398, 50), true, false, true},
        {WM_MOUSEMOVE, clientPoint(399, 50), false, false, true},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        ValidateRect(window, nullptr);
        SendMessageW(window, steps[i].message, 0, steps[i].point);
        EXPECT_EQ(state->closeHovered, steps[i].close) << "step " << i;
        EXPECT_EQ(state->settingsHovered, steps[i].settings) << "step " << i;
        EXPECT_EQ(repaintPending(window), steps[i].repaint) << "step " << i;
    }
}

// The timer asks for a frame only when the one drawn last is out of date: a
// figure, the hover or the language differs, or nothing has been drawn on the
// current target. A refresh always asks.
TEST_F(StatusWindowTest, RepaintTimerAsksForAPaintOnlyWhenWhatIsShownChanged)
{
    UsageTracker& tracker = loadTracker({}, 1800);
    HWND window = open();
    ASSERT_NE(window, nullptr);
    StatusWindowState* state = statusWindowStateOf(window);
    ASSERT_NE(state, nullptr);
    ASSERT_TRUE(state->drawnScene) << "the first frame was drawn";
    const struct {
        const char* change;
        void (*apply)(UsageTracker& tracker, StatusWindowState& state);
        bool repaint;
    } steps[] = {
        {"nothing", [](UsageTracker&, StatusWindowState&) {}, false},
        {"the limit", [](UsageTracker& t, StatusWindowState&) { t.setLimit(90, true); }, true},
        {"nothing again", [](UsageTracker&, StatusWindowState&) {}, false},
        {"the close button's hover", [](UsageTracker&, StatusWindowState& st) { st.closeHovered = true; }, true},
        {"the settings button's hover", [](UsageTracker&, StatusWindowState& st) { st.settingsHovered = true; },
         true},
        {"the language", [](UsageTracker&, StatusWindowState&) { setActiveLanguage(Language::Russian); }, true},
        {"a new day", [](UsageTracker& t, StatusWindowState&) { t.resetDay(); }, true},
        {"the target, lost", [](UsageTracker&, StatusWindowState& st) { dropDeviceResources(st); }, true},
    };
    for (const auto& step : steps) {
        step.apply(tracker, *state);
        ValidateRect(window, nullptr);
        SendMessageW(window, WM_TIMER, kStatusRepaintTimerId + 1, 0);
        EXPECT_FALSE(repaintPending(window)) << "another timer, after " << step.change;
        SendMessageW(window, WM_TIMER, kStatusRepaintTimerId, 0);
        EXPECT_EQ(repaintPending(window), step.repaint) << "after a change of " << step.change;
        // The frame the timer would have asked for.
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    }
    ValidateRect(window, nullptr);
    refreshStatusWindow();
    EXPECT_TRUE(repaintPending(window));
}

TEST_F(StatusWindowTest, CloseButtonActsOnReleaseAloneAndOtherReleasesDoNothing)
{
    loadTracker();
    HWND window = open();
    ASSERT_NE(window, nullptr);
    const LPARAM elsewhere[] = {clientPoint(200, 120), clientPoint(369, 36), clientPoint(384, 51)};
    for (const LPARAM point : elsewhere) {
        SendMessageW(window, WM_LBUTTONUP, 0, point);
        EXPECT_TRUE(IsWindow(window));
    }
    // The edge of the close button counts, with no press before it.
    SendMessageW(window, WM_LBUTTONUP, 0, clientPoint(398, 50));
    EXPECT_FALSE(IsWindow(window));

    window = open();
    ASSERT_NE(window, nullptr);
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
}

// EndDraw as the device would answer it, with a lost device on demand.
int lossesToReport = 0;
int endDrawCalls = 0;

HRESULT endDrawLosingTheDevice(ID2D1RenderTarget& target)
{
    ++endDrawCalls;
    const HRESULT result = target.EndDraw();
    if (lossesToReport > 0) {
        --lossesToReport;
        return static_cast<HRESULT>(D2DERR_RECREATE_TARGET);
    }
    return result;
}

class LosableDevice {
public:
    LosableDevice()
    {
        lossesToReport = 0;
        endDrawCalls = 0;
        setEndDrawFunction(endDrawLosingTheDevice);
    }
    ~LosableDevice() { setEndDrawFunction(nullptr); }
    LosableDevice(const LosableDevice&) = delete;
    LosableDevice& operator=(const LosableDevice&) = delete;
};

bool sameRect(const D2D1_RECT_F& a, const D2D1_RECT_F& b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

void expectButtonsAtCreationSize(const StatusWindowState& state, const char* when)
{
    EXPECT_TRUE(sameRect(state.closeButton, D2D1_RECT_F{370, 22, 398, 50})) << when;
    EXPECT_TRUE(sameRect(state.settingsButton, D2D1_RECT_F{30, 187, 390, 223})) << when;
}

// A lost device costs one frame: the target is let go of at once, and the
// repaint asked for makes a new one. Should the new one be lost too, the
// repaint timer tries again instead of an endless run of paints.
TEST_F(StatusWindowTest, LostDeviceDropsTheTargetAndTheNextPaintMakesANewOne)
{
    loadTracker({}, 1800);
    HWND window = open();
    ASSERT_NE(window, nullptr);
    StatusWindowState* state = statusWindowStateOf(window);
    ASSERT_NE(state, nullptr);
    ASSERT_TRUE(state->renderTarget);
    LosableDevice device;
    const auto paint = [&] {
        ValidateRect(window, nullptr);
        SendMessageW(window, WM_PAINT, 0, 0);
    };

    ID2D1HwndRenderTarget* lost = state->renderTarget.get();
    lost->AddRef();
    lossesToReport = 1;
    paint();
    EXPECT_EQ(endDrawCalls, 1);
    EXPECT_FALSE(state->renderTarget);
    EXPECT_TRUE(repaintPending(window));
    EXPECT_EQ(lost->Release(), 0u) << "the lost target is released for good";
    expectButtonsAtCreationSize(*state, "after the lost frame");

    paint();
    EXPECT_EQ(endDrawCalls, 2);
    EXPECT_TRUE(state->renderTarget);
    EXPECT_FALSE(repaintPending(window));

    // Lost again, twice running.
    lossesToReport = 2;
    paint();
    EXPECT_FALSE(state->renderTarget);
    EXPECT_TRUE(repaintPending(window));
    paint();
    EXPECT_EQ(endDrawCalls, 4);
    EXPECT_FALSE(state->renderTarget);
    EXPECT_FALSE(repaintPending(window)) << "a second loss in a row waits for the timer";
    SendMessageW(window, WM_TIMER, kStatusRepaintTimerId, 0);
    EXPECT_TRUE(repaintPending(window));
    paint();
    EXPECT_TRUE(state->renderTarget);
    EXPECT_FALSE(repaintPending(window));

    // Once a frame has gone through, the next loss repaints at once again.
    lossesToReport = 1;
    paint();
    EXPECT_FALSE(state->renderTarget);
    EXPECT_TRUE(repaintPending(window));
}

// Without a tracker a paint draws nothing, as when the device resources cannot
// be made; the buttons still answer where they would be drawn.
TEST_F(StatusWindowTest, ButtonsWorkWhenAPaintCannotDraw)
{
    showStatusWindow(owner_, nullptr);
    HWND window = FindWindowW(kStatusWindowClass, nullptr);
    ASSERT_NE(window, nullptr);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    const StatusWindowState* state = statusWindowStateOf(window);
    ASSERT_NE(state, nullptr);
    EXPECT_FALSE(state->renderTarget) << "nothing was drawn";
    expectButtonsAtCreationSize(*state, "after a paint that drew nothing");

    const RECT rect = windowRect(window);
    EXPECT_EQ(SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(rect.left + 384, rect.top + 36)), HTCLIENT);
    SendMessageW(window, WM_MOUSEMOVE, 0, clientPoint(384, 36));
    EXPECT_TRUE(state->closeHovered);
    SendMessageW(window, WM_LBUTTONUP, 0, clientPoint(384, 36));
    EXPECT_FALSE(IsWindow(window));
}

// A creation refused after WM_NCCREATE: the status window's own procedure
// handles every message, then WM_CREATE is answered with -1, after a paint
// resource has been put into the record as a paint would.
ID2D1PathGeometry* plantedGeometry = nullptr;

LRESULT CALLBACK refusingCreateProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const LRESULT result = statusWindowProc(window, message, wParam, lParam);
    if (message != WM_CREATE) {
        return result;
    }
    if (StatusWindowState* state = statusWindowStateOf(window); state != nullptr && plantedGeometry != nullptr) {
        *state->paintResources.ringArc.put() = plantedGeometry;
        plantedGeometry->AddRef();
    }
    return -1;
}

TEST_F(StatusWindowTest, CreationRefusedAfterNcCreateLeavesNothingBehind)
{
    ComPtr<ID2D1Factory> factory;
    ASSERT_TRUE(SUCCEEDED(D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                                            reinterpret_cast<void**>(factory.put()))));
    ComPtr<ID2D1PathGeometry> geometry;
    ASSERT_TRUE(SUCCEEDED(factory->CreatePathGeometry(geometry.put())));
    const ULONG held = referenceCount(geometry.get());
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = refusingCreateProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"HourwardenStatusWindowRefused";
    const ATOM atom = RegisterClassExW(&windowClass);
    ASSERT_NE(atom, 0);
    UsageTracker& tracker = loadTracker();

    plantedGeometry = geometry.get();
    for (int i = 0; i < 3; ++i) {
        HWND window = nullptr;
        {
            // As the program creates its windows.
            const WindowCreation creation;
            window = CreateWindowExW(WS_EX_TOOLWINDOW, windowClass.lpszClassName, L"Hourwarden", WS_POPUP, 0, 0,
                                     kWidth, kHeight, owner_, nullptr, windowClass.hInstance, &tracker);
        }
        EXPECT_EQ(window, nullptr);
        EXPECT_EQ(referenceCount(geometry.get()), held) << "round " << i << ": the record was not freed";
    }
    plantedGeometry = nullptr;
    UnregisterClassW(windowClass.lpszClassName, windowClass.hInstance);
}

// The process-wide DirectWrite objects a paint touches: the shared factory and
// the system font collection, which every text format made on it holds.
class SharedWriteReferences {
public:
    bool capture()
    {
        if (FAILED(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                       reinterpret_cast<IUnknown**>(factory_.put()))) ||
            FAILED(factory_->GetSystemFontCollection(fonts_.put(), FALSE))) {
            return false;
        }
        factoryCount_ = referenceCount(factory_.get());
        fontsCount_ = referenceCount(fonts_.get());
        return true;
    }
    IDWriteFactory* factory() const { return factory_.get(); }
    void expectUnchanged(const char* when) const
    {
        EXPECT_EQ(referenceCount(factory_.get()), factoryCount_) << when;
        EXPECT_EQ(referenceCount(fonts_.get()), fontsCount_) << when;
    }

private:
    ComPtr<IDWriteFactory> factory_;
    ComPtr<IDWriteFontCollection> fonts_;
    ULONG factoryCount_ = 0;
    ULONG fontsCount_ = 0;
};

// The limits that, with 1800 s used, show 75 %, 0 %, 25 % and 95 %; a new day shows 100 %.
constexpr int32_t kRingShapeLimits[] = {120, 30, 40, 600};

// Paints the window in every ring shape and both hover states.
void paintEveryShape(HWND window, UsageTracker& tracker)
{
    constexpr int kPaints = 20;
    for (int i = 0; i < kPaints; ++i) {
        if (i == kPaints - 4) {
            tracker.resetDay();
        }
        tracker.setLimit(kRingShapeLimits[i % std::size(kRingShapeLimits)], true);
        SendMessageW(window, WM_MOUSEMOVE, 0, i % 2 == 0 ? clientPoint(384, 36) : clientPoint(200, 200));
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    }
}

// What a frame draws with is made once per render target: over paints in
// every ring shape and hover state the brushes and text formats stay the same
// objects, and the references of the factories and of the target stay put. The
// counts are exact, so a few rounds show a leak as surely as many (the
// end-to-end tests run hundreds against the real program). Once the window is
// gone, only the process's own hold on the factories remains.
TEST_F(StatusWindowTest, PaintsKeepEveryReferenceBalanced)
{
    UsageTracker& tracker = loadTracker({}, 1800);
    // DirectWrite fills its own caches at the first text ever drawn; count from after that.
    destroyOnDecision(open());
    SharedWriteReferences shared;
    ASSERT_TRUE(shared.capture());
    const StatusFactories& factories = sharedStatusFactories();
    ASSERT_TRUE(factories.ready());
    EXPECT_EQ(factories.write(), shared.factory());
    const ULONG d2dBefore = referenceCount(factories.d2d());

    HWND window = open();
    ASSERT_NE(window, nullptr);
    StatusWindowState* state = statusWindowStateOf(window);
    ASSERT_NE(state, nullptr);
    ASSERT_TRUE(state->renderTarget);
    paintEveryShape(window, tracker);
    const ULONG d2dCount = referenceCount(factories.d2d());
    const ULONG targetCount = referenceCount(state->renderTarget.get());
    ID2D1SolidColorBrush* const firstBrush = state->paintResources.brushes[0].get();
    IDWriteTextFormat* const firstFormat = state->paintResources.textFormats[0].get();
    ASSERT_NE(firstBrush, nullptr);
    ASSERT_NE(firstFormat, nullptr);

    paintEveryShape(window, tracker);
    EXPECT_EQ(referenceCount(factories.d2d()), d2dCount);
    EXPECT_EQ(referenceCount(state->renderTarget.get()), targetCount);
    EXPECT_EQ(state->paintResources.brushes[0].get(), firstBrush) << "made once per target";
    EXPECT_EQ(state->paintResources.textFormats[0].get(), firstFormat) << "made once per target";

    ID2D1HwndRenderTarget* renderTarget = state->renderTarget.get();
    renderTarget->AddRef();
    destroyOnDecision(window);
    EXPECT_EQ(renderTarget->Release(), 0u);
    EXPECT_EQ(referenceCount(factories.d2d()), d2dBefore) << "everything made with the factory is gone";
    shared.expectUnchanged("after the window is gone");
}

// The factories are made at the first opening and kept: later openings use
// the same ones without loading anything, and each closing leaves only the
// process's own hold on them.
TEST_F(StatusWindowTest, OpeningsAndClosingsKeepTheFactoriesAndLeaveNoReferenceBehind)
{
    loadTracker({}, 600);
    destroyOnDecision(open());
    SharedWriteReferences shared;
    ASSERT_TRUE(shared.capture());
    const StatusFactories& factories = sharedStatusFactories();
    ASSERT_TRUE(factories.ready());
    ID2D1Factory* const d2d = factories.d2d();
    IDWriteFactory* const write = factories.write();
    const ULONG d2dHeld = referenceCount(d2d);
    ReplacedLibraryLoad loads(ReplacedLibraryLoad::Answer::AlreadyLoaded);
    for (int i = 0; i < 6; ++i) {
        HWND window = open();
        ASSERT_NE(window, nullptr) << i;
        StatusWindowState* state = statusWindowStateOf(window);
        ASSERT_NE(state, nullptr);
        EXPECT_TRUE(state->renderTarget) << i;
        EXPECT_EQ(factories.d2d(), d2d) << i;
        EXPECT_EQ(factories.write(), write) << i;
        if (i % 2 == 0) {
            SendMessageW(window, WM_LBUTTONUP, 0, clientPoint(384, 36));
        } else {
            SendMessageW(window, WM_CLOSE, 0, 0);
        }
        ASSERT_FALSE(IsWindow(window)) << i;
        ASSERT_EQ(referenceCount(d2d), d2dHeld) << i;
    }
    EXPECT_TRUE(loads.requested().empty()) << "no DLL was loaded again";
    EXPECT_EQ(countStatusWindows(), 0);
    shared.expectUnchanged("after the last closing");
}

// A pair of factories made from scratch: d2d1.dll and dwrite.dll are asked for
// once each however often the factories are wanted, and a DLL that cannot be
// loaded leaves them missing until a later attempt succeeds.
TEST(StatusFactories, EachDllIsLoadedOnceAndARefusalIsReportedAndTriedAgain)
{
    StatusFactories factories;
    {
        ReplacedLibraryLoad refused(ReplacedLibraryLoad::Answer::Refuse);
        EXPECT_FALSE(factories.acquire());
        EXPECT_FALSE(factories.ready());
        EXPECT_EQ(factories.d2d(), nullptr);
        EXPECT_EQ(factories.write(), nullptr);
        EXPECT_EQ(refused.requested(), std::vector<std::wstring>{L"d2d1.dll"}) << "nothing after the first refusal";
    }
    ReplacedLibraryLoad loads(ReplacedLibraryLoad::Answer::AlreadyLoaded);
    ASSERT_TRUE(factories.acquire());
    ID2D1Factory* const d2d = factories.d2d();
    IDWriteFactory* const write = factories.write();
    EXPECT_TRUE(factories.acquire());
    EXPECT_EQ(factories.d2d(), d2d);
    EXPECT_EQ(factories.write(), write);
    const std::vector<std::wstring> once{L"d2d1.dll", L"dwrite.dll"};
    EXPECT_EQ(loads.requested(), once);
}

}  // namespace
