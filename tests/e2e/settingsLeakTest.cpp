// Hundreds of openings, paintings and closings of the password prompt and the
// settings window: every GDI object the program makes is deleted again or
// handed to the system, and its memory does not grow. Wine's GetGuiResources
// is a stub, so the objects are followed through the relay trace of the
// creating and deleting functions, matched by handle value.
#include <gtest/gtest.h>

#include <windows.h>

#include <psapi.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

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

const wchar_t kTracedFunctions[] =
    L"gdi32.CreateSolidBrush;gdi32.CreatePen;gdi32.CreateFontW;gdi32.CreateFontIndirectW;gdi32.CreateRoundRectRgn;"
    L"gdi32.CreateRectRgn;gdi32.CreateCompatibleDC;gdi32.CreateCompatibleBitmap;gdi32.DeleteObject;gdi32.DeleteDC;"
    L"user32.SetWindowRgn";

const COLORREF kOkFill = RGB(54, 122, 216);
const COLORREF kAccentFill = RGB(237, 243, 252);
const COLORREF kNeutralFill = RGB(244, 246, 249);
const COLORREF kGround = RGB(243, 245, 249);
const COLORREF kCloseHovered = RGB(250, 228, 228);
const POINT kCloseInside = {462, 24};
const POINT kCloseCentre = {474, 36};
const POINT kCardBody = {100, 305};

struct Memory {
    SIZE_T workingSet = 0;
    SIZE_T pagefile = 0;
};

Memory memoryOf(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    Memory memory;
    if (GetProcessMemoryInfo(process, &counters, sizeof counters)) {
        memory.workingSet = counters.WorkingSetSize;
        memory.pagefile = counters.PagefileUsage;
    }
    return memory;
}

bool mainModuleRange(HANDLE process, ULONGLONG& begin, ULONGLONG& end)
{
    HMODULE module = nullptr;
    DWORD needed = 0;
    MODULEINFO info = {};
    if (!EnumProcessModules(process, &module, sizeof module, &needed) ||
        !GetModuleInformation(process, module, &info, sizeof info)) {
        return false;
    }
    begin = reinterpret_cast<ULONGLONG>(info.lpBaseOfDll);
    end = begin + info.SizeOfImage;
    return true;
}

ULONGLONG hexAfter(const std::string& line, const std::string& marker)
{
    const size_t at = line.find(marker);
    return at == std::string::npos ? 0 : std::strtoull(line.c_str() + at + marker.size(), nullptr, 16);
}

// GDI handles are 32-bit values; the trace may print stray upper register bits.
unsigned long handleValue(ULONGLONG printed)
{
    return static_cast<unsigned long>(printed & 0xFFFFFFFFull);
}

struct GdiLedger {
    std::map<unsigned long, std::string> outstanding;  // handle -> creating call
    std::map<std::string, int> created;                // function -> count
    int deleted = 0;
    int regionsHandedOver = 0;
};

// Walks the trace in order: a creation from the program's own code opens an
// entry, a successful DeleteObject or SetWindowRgn closes it.
GdiLedger readLedger(const std::vector<std::string>& lines, ULONGLONG moduleBegin, ULONGLONG moduleEnd)
{
    GdiLedger ledger;
    unsigned long pendingDelete = 0;
    unsigned long pendingRegion = 0;
    for (const std::string& line : lines) {
        const size_t retAt = line.find("Ret  gdi32.Create");
        if (retAt != std::string::npos) {
            const ULONGLONG caller = hexAfter(line, " ret=");
            if (caller >= moduleBegin && caller < moduleEnd) {
                const std::string function = line.substr(retAt + 5, line.find('(', retAt) - retAt - 5);
                const unsigned long handle = handleValue(hexAfter(line, "retval="));
                if (handle != 0) {
                    ledger.outstanding[handle] = function;
                    ++ledger.created[function];
                }
            }
        } else if (line.find("Call gdi32.DeleteObject(") != std::string::npos) {
            pendingDelete = handleValue(hexAfter(line, "DeleteObject("));
        } else if (line.find("Ret  gdi32.DeleteObject()") != std::string::npos) {
            if (hexAfter(line, "retval=") != 0 && ledger.outstanding.erase(pendingDelete) != 0) {
                ++ledger.deleted;
            }
            pendingDelete = 0;
        } else if (line.find("Call user32.SetWindowRgn(") != std::string::npos) {
            const size_t comma = line.find(',', line.find("SetWindowRgn("));
            pendingRegion = comma == std::string::npos ? 0 : handleValue(std::strtoull(line.c_str() + comma + 1, nullptr, 16));
        } else if (line.find("Ret  user32.SetWindowRgn()") != std::string::npos) {
            if (hexAfter(line, "retval=") != 0 && ledger.outstanding.erase(pendingRegion) != 0) {
                ++ledger.regionsHandedOver;
            }
            pendingRegion = 0;
        }
    }
    return ledger;
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
    moveCursorTo(kCloseCentre.x, kCloseCentre.y);
    if (!waitForPixel(kCloseInside.x, kCloseInside.y, kCloseHovered)) {
        return ::testing::AssertionFailure() << "no hover in round " << round;
    }
    moveCursorTo(kCardBody.x, kCardBody.y);
    if (!waitForPixel(kCloseInside.x, kCloseInside.y, kGround)) {
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
    App app(LaunchOptions().withData(dataWithPassword("pw")).withRelay(kTracedFunctions));
    ASSERT_TRUE(app.started());
    ULONGLONG moduleBegin = 0;
    ULONGLONG moduleEnd = 0;
    ASSERT_TRUE(mainModuleRange(app.process(), moduleBegin, moduleEnd));

    Memory afterWarmUp;
    for (int round = 1; round <= kRounds; ++round) {
        ASSERT_TRUE(oneRound(app, round));
        if (round == kWarmUpRounds) {
            afterWarmUp = memoryOf(app.process());
        }
    }
    const Memory atEnd = memoryOf(app.process());
    std::printf("memory after %d rounds: working set %zu, pagefile %zu; after %d: working set %zu, pagefile %zu\n",
                kWarmUpRounds, afterWarmUp.workingSet, afterWarmUp.pagefile, kRounds, atEnd.workingSet,
                atEnd.pagefile);
    ASSERT_GT(afterWarmUp.pagefile, 0u) << "memory counters unavailable";
    EXPECT_LE(atEnd.pagefile, afterWarmUp.pagefile + kAllowedGrowthBytes);
    EXPECT_LE(atEnd.workingSet, afterWarmUp.workingSet + kAllowedGrowthBytes);

    // The last deletions may still be on their way into the trace.
    GdiLedger ledger;
    waitUntil([&] {
        ledger = readLedger(app.relayLines(":"), moduleBegin, moduleEnd);
        return ledger.outstanding.empty();
    });
    for (const auto& [function, count] : ledger.created) {
        std::printf("%s: %d\n", function.c_str(), count);
    }
    std::printf("deleted %d, regions handed to the system %d\n", ledger.deleted, ledger.regionsHandedOver);
    for (const auto& [handle, function] : ledger.outstanding) {
        ADD_FAILURE() << "not freed: " << function << " -> " << std::hex << handle;
    }
    // The trace saw every round: per opening a region and a control font, per
    // paint two brushes, a pen and two fonts, per button drawing a brush and a pen.
    EXPECT_EQ(ledger.regionsHandedOver, kRounds);
    EXPECT_EQ(ledger.created["gdi32.CreateRoundRectRgn"], kRounds);
    EXPECT_GE(ledger.created["gdi32.CreateFontW"], kRounds * 3);
    EXPECT_GE(ledger.created["gdi32.CreatePen"], kRounds * 4);
    EXPECT_GE(ledger.created["gdi32.CreateSolidBrush"], kRounds * 6);
}

}  // namespace
