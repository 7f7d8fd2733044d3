// Enforcement where the shell or a second start leaves the happy path: a new
// taskbar while the icon is still there, and a second copy on the same files.
#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "harness.h"
#include "shellProbe.h"

namespace {

using namespace e2e;

constexpr int kLimitSeconds = 7200;
constexpr WORD kCommandExit = 1002;
const COLORREF kIconBlue = RGB(54, 122, 216);
const std::wstring kNotifyRelay = L"shell32.Shell_NotifyIconW";
const std::string kNotifyCalls = "shell32.Shell_NotifyIconW(";
const std::string kNotifyAddCall = "Call shell32.Shell_NotifyIconW(00000000,";
const std::string kNotifyReturn = "Ret  shell32.Shell_NotifyIconW(";
const std::string kAccepted = "retval=00000001";

// What the shell answered to each NIM_ADD of the program, in order: the trace
// gives each call's return on the line after it (one thread makes them all).
std::vector<bool> addAnswers(const App& app)
{
    const std::vector<std::string> lines = app.relayLines(kNotifyCalls);
    std::vector<bool> answers;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].find(kNotifyAddCall) != std::string::npos &&
            lines[i + 1].find(kNotifyReturn) != std::string::npos) {
            answers.push_back(lines[i + 1].find(kAccepted) != std::string::npos);
        }
    }
    return answers;
}

bool trayShowsTheIcon()
{
    HWND tray = systemTrayWindow();
    RECT area = {};
    return tray != nullptr && IsWindowVisible(tray) && GetWindowRect(tray, &area) &&
           screenAreaContains(area, kIconBlue);
}

// Starts the executable at `exe` (a copy of the program in some directory) and
// waits for it to end; false when it did not end in time.
bool runToExit(const std::wstring& exe, const std::wstring& directory, DWORD* exitCode)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                        &startup, &info)) {
        return false;
    }
    CloseHandle(info.hThread);
    const bool ended = WaitForSingleObject(info.hProcess, kDefaultTimeoutMs) == WAIT_OBJECT_0;
    if (ended) {
        GetExitCodeProcess(info.hProcess, exitCode);
    } else {
        TerminateProcess(info.hProcess, 99);
        WaitForSingleObject(info.hProcess, kDefaultTimeoutMs);
    }
    CloseHandle(info.hProcess);
    return ended;
}

std::wstring upperCase(std::wstring text)
{
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// The shell announces a new taskbar that kept the icon: the program's add is
// refused as a duplicate, yet its balloons must keep coming.
TEST(EnforcementE2E, ANewTaskbarThatKeptTheIconLeavesTheBalloonsWorking)
{
    // 90 s left: time to deliver the announcement before the 1-minute notice is due.
    App app(LaunchOptions().withData(dayWithUsed(kLimitSeconds - 90).text()).withRelay(kNotifyRelay));
    ASSERT_TRUE(app.started());
    ASSERT_TRUE(waitUntil(trayShowsTheIcon));
    ASSERT_TRUE(waitUntil([&] { return addAnswers(app) == std::vector<bool>{true}; }));

    app.postTaskbarCreated();
    ASSERT_TRUE(waitUntil([&] { return addAnswers(app).size() >= 2; }));
    // The shell refused the second add: the icon was still there.
    EXPECT_FALSE(addAnswers(app).at(1));
    ASSERT_LT(usedSecondsIn(app.readFile(L"data.json")), kLimitSeconds - 60) << "came too late to matter";

    ActiveUser user;
    EXPECT_TRUE(waitForBalloon(L"1 minute remaining", 120000));
    EXPECT_TRUE(trayShowsTheIcon());

    // Exit takes the icon away: no ghost is left behind.
    app.postCommand(kCommandExit);
    ASSERT_TRUE(app.waitForExit(kDefaultTimeoutMs));
    EXPECT_TRUE(waitUntil([] { return !trayShowsTheIcon(); }));
}

// A second start on the same files, spelled in another case: it leaves at once
// with code 0, and the running program opens its status window and counts on.
TEST(EnforcementE2E, ASecondStartOnTheSameFilesShowsTheRunningProgramsStatusAndLeaves)
{
    ActiveUser user;
    App first(LaunchOptions().withData(dayWithUsed(1000).text()));
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(first.waitForFile(L"data.json", [](const std::string& d) { return usedSecondsIn(d) > 1000; }));
    ASSERT_EQ(first.findWindow(kStatusClass), nullptr);

    const struct {
        const char* name;
        std::wstring exe;
    } starts[] = {
        {"same spelling", first.directory() + L"\\Hourwarden.exe"},
        {"other case", upperCase(first.directory() + L"\\Hourwarden.exe")},
    };
    for (const auto& start : starts) {
        SCOPED_TRACE(start.name);
        DWORD exitCode = 1;
        ASSERT_TRUE(runToExit(start.exe, first.directory(), &exitCode));
        EXPECT_EQ(exitCode, 0u);
        HWND status = first.waitForWindow(kStatusClass);
        ASSERT_NE(status, nullptr);
        // Found once created; shown a moment later.
        EXPECT_TRUE(waitUntil([status] { return IsWindowVisible(status) != FALSE; }));
        EXPECT_TRUE(first.isRunning());
        EXPECT_EQ(first.windows(kControlClass).size(), 1u);

        // The first program keeps counting on its own, with nothing lost.
        const long long before = usedSecondsIn(first.readFile(L"data.json"));
        EXPECT_TRUE(
            first.waitForFile(L"data.json", [before](const std::string& d) { return usedSecondsIn(d) >= before + 3; }));
        PostMessageW(status, WM_CLOSE, 0, 0);
        ASSERT_TRUE(first.waitForNoWindow(kStatusClass));
    }
}

// Copies in other folders work on files of their own and run side by side;
// a second start reaches only the program of its own folder.
TEST(EnforcementE2E, CopiesInOtherFoldersRunSideBySide)
{
    ActiveUser user;
    App one(LaunchOptions().withData(dayWithUsed(1000).text()));
    App two(LaunchOptions().withData(dayWithUsed(5000).text()));
    ASSERT_TRUE(one.started());
    ASSERT_TRUE(two.started());
    EXPECT_TRUE(one.waitForFile(L"data.json", [](const std::string& d) { return usedSecondsIn(d) >= 1003; }));
    EXPECT_TRUE(two.waitForFile(L"data.json", [](const std::string& d) { return usedSecondsIn(d) >= 5003; }));
    EXPECT_LT(usedSecondsIn(one.readFile(L"data.json")), 5000);

    DWORD exitCode = 1;
    ASSERT_TRUE(runToExit(two.directory() + L"\\Hourwarden.exe", two.directory(), &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_NE(two.waitForWindow(kStatusClass), nullptr);
    EXPECT_FALSE(waitUntil([&] { return one.findWindow(kStatusClass) != nullptr; }, 3000));
    EXPECT_TRUE(one.isRunning());
    EXPECT_TRUE(two.isRunning());
}

}  // namespace
