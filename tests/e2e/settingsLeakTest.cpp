// Hundreds of openings, paintings and closings of the password prompt and the
// settings window: every GDI object the program makes is deleted again or
// handed to the system, and its memory does not grow. Wine's GetGuiResources
// is a stub, so the objects are followed through the relay trace of the
// creating and deleting functions, matched by handle value.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstdio>

#include "gdiLedger.h"
#include "settingsDriver.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

constexpr int kRounds = 500;
constexpr int kWarmUpRounds = 50;
// Growth allowed between the end of the warm-up and the last round: far below
// what a leak of one small allocation per round over 450 rounds would add up to
// together with its heap bookkeeping, above the allocator's own noise.
constexpr SIZE_T kAllowedGrowthBytes = 256 * 1024;

const COLORREF kOkFill = RGB(54, 122, 216);
const COLORREF kAccentFill = RGB(237, 243, 252);
const COLORREF kNeutralFill = RGB(244, 246, 249);
const COLORREF kGround = RGB(243, 245, 249);
const COLORREF kCloseHovered = RGB(250, 228, 228);
const wchar_t kCloseHoveredProperty[] = L"SettingsCloseHovered";
// Window points at 96 DPI.
const POINT kCloseInside = {462, 24};
const POINT kCloseCentre = {474, 36};
const POINT kCardBody = {100, 305};

POINT onScreen(HWND window, POINT inWindow)
{
    const RECT rect = screenRect(window);
    return {rect.left + inWindow.x, rect.top + inWindow.y};
}

bool closeHovered(HWND window)
{
    return GetPropW(window, kCloseHoveredProperty) != nullptr;
}

// One round as the user makes it: Settings from the tray, the password, the
// window painted with its three buttons, the close button lit and dimmed
// again, and the window closed.
::testing::AssertionResult oneRound(const App& app, int round)
{
    // Shown only after its controls have been created.
    HWND prompt = requestSettings(app, kPasswordClass);
    if (prompt == nullptr || !IsWindowVisible(prompt)) {
        return ::testing::AssertionFailure() << "no prompt in round " << round;
    }
    SendMessageTimeoutW(control(prompt, kPromptField), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"pw"),
                        SMTO_ABORTIFHUNG, 5000, nullptr);
    PostMessageW(prompt, WM_COMMAND, kPromptOk, 0);
    HWND window = app.waitForWindow(kSettingsClass);
    if (window == nullptr || !waitUntil([window] { return IsWindowVisible(window) != FALSE; }) ||
        !app.waitForNoWindow(kPasswordClass)) {
        return ::testing::AssertionFailure() << "no settings window in round " << round;
    }
    const auto fillOf = [window](int id) {
        const RECT rect = screenRect(control(window, id));
        return POINT{(rect.left + rect.right) / 2, rect.top + 2};
    };
    const POINT ok = fillOf(kOk);
    const POINT apply = fillOf(kApply);
    const POINT cancel = fillOf(kCancel);
    if (!waitForPixel(ok.x, ok.y, kOkFill) || !waitForPixel(apply.x, apply.y, kAccentFill) ||
        !waitForPixel(cancel.x, cancel.y, kNeutralFill)) {
        return ::testing::AssertionFailure() << "buttons not painted in round " << round;
    }
    // The hover is the window's own state; the pixels must follow it.
    const POINT closeInside = onScreen(window, kCloseInside);
    if (!hoverUntil(onScreen(window, kCloseCentre), [window] { return closeHovered(window); }) ||
        !waitForPixel(closeInside.x, closeInside.y, kCloseHovered)) {
        return ::testing::AssertionFailure() << "no hover in round " << round;
    }
    if (!hoverUntil(onScreen(window, kCardBody), [window] { return !closeHovered(window); }) ||
        !waitForPixel(closeInside.x, closeInside.y, kGround)) {
        return ::testing::AssertionFailure() << "hover not cleared in round " << round;
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (!app.waitForNoWindow(kSettingsClass)) {
        return ::testing::AssertionFailure() << "window not closed in round " << round;
    }
    // The next window must paint afresh, not be mistaken for this one.
    if (!waitUntil([&] { return screenPixel(ok.x, ok.y) != kOkFill; })) {
        return ::testing::AssertionFailure() << "window still on screen after round " << round;
    }
    return ::testing::AssertionSuccess();
}

TEST(SettingsLeakE2E, FiveHundredRoundsFreeEveryGdiObjectAndKeepMemoryFlat)
{
    App app(LaunchOptions().withData(dataWithPassword("pw")).withRelay(gdiRelayFunctions()));
    ASSERT_TRUE(app.started());
    ULONGLONG moduleBegin = 0;
    ULONGLONG moduleEnd = 0;
    ASSERT_TRUE(mainModuleRange(app.process(), moduleBegin, moduleEnd));

    SIZE_T afterWarmUp = 0;
    for (int round = 1; round <= kRounds; ++round) {
        ASSERT_TRUE(oneRound(app, round));
        if (round == kWarmUpRounds) {
            afterWarmUp = privateBytes(app.process());
        }
    }
    const SIZE_T atEnd = privateBytes(app.process());
    std::printf("private bytes after %d rounds: %zu; after %d: %zu\n", kWarmUpRounds, afterWarmUp, kRounds, atEnd);
    ASSERT_GT(afterWarmUp, 0u) << "memory counters unavailable";
    EXPECT_LE(atEnd, afterWarmUp + kAllowedGrowthBytes);

    // The last deletions may still be on their way into the trace.
    GdiLedger ledger;
    waitUntil([&] {
        ledger = readGdiLedger(app, moduleBegin, moduleEnd);
        return ledger.outstanding.empty();
    });
    for (const auto& [function, count] : ledger.created) {
        std::printf("%s: %d\n", function.c_str(), count);
    }
    std::printf("deleted %d, regions handed to the system %d\n", ledger.deleted, ledger.regionsHandedOver);
    for (const auto& [handle, function] : ledger.outstanding) {
        ADD_FAILURE() << "not freed: " << function << " -> " << std::hex << handle;
    }
    EXPECT_TRUE(ledger.reissued.empty()) << ledger.reissued.size() << " handles made again while live";
    // The trace saw every round: per opening a region and a control font, per
    // paint two brushes, a pen and two fonts, per button drawing a brush and a pen.
    EXPECT_EQ(ledger.regionsHandedOver, kRounds);
    EXPECT_EQ(ledger.created["gdi32.CreateRoundRectRgn"], kRounds);
    EXPECT_GE(ledger.created["gdi32.CreateFontW"], kRounds * 3);
    EXPECT_GE(ledger.created["gdi32.CreatePen"], kRounds * 4);
    EXPECT_GE(ledger.created["gdi32.CreateSolidBrush"], kRounds * 6);
}

}  // namespace
