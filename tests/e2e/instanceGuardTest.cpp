// The one-copy-per-folder guard against another program of the account that
// takes the program's mutex first: the program still starts and counts, and
// a later start still hands over to it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "app/singleInstance.h"
#include "base/scopedHandles.h"
#include "harness.h"

namespace {

using namespace e2e;

using Handle = Owned<HANDLE, scoped_detail::closeFile>;

constexpr DWORD kEndTimeoutMs = 15000;

// The program started by the test itself, from a directory an App prepared.
// Asked to close, and ended if it will not, when destroyed.
class Start {
public:
    explicit Start(const std::wstring& directory, const wchar_t* exeName = L"Hourwarden.exe")
    {
        const std::wstring exe = directory + L"\\" + exeName;
        std::wstring commandLine = L"\"" + exe + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        startedAt_ = GetTickCount64();
        if (CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                           &startup, &info)) {
            CloseHandle(info.hThread);
            process_.reset(info.hProcess);
            processId_ = info.dwProcessId;
        }
    }
    ~Start()
    {
        if (!process_) {
            return;
        }
        close();
        if (!waitForExit(kEndTimeoutMs)) {
            TerminateProcess(process_.get(), 99);
            WaitForSingleObject(process_.get(), kEndTimeoutMs);
        }
    }
    Start(const Start&) = delete;
    Start& operator=(const Start&) = delete;

    bool started() const { return static_cast<bool>(process_); }
    ULONGLONG millisecondsSinceStart() const { return GetTickCount64() - startedAt_; }

    HWND findWindow(const wchar_t* windowClass) const
    {
        struct Search {
            DWORD processId;
            const wchar_t* windowClass;
            HWND found;
        } search = {processId_, windowClass, nullptr};
        EnumWindows(
            [](HWND window, LPARAM parameter) -> BOOL {
                auto* search = reinterpret_cast<Search*>(parameter);
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                if (owner == search->processId && className(window) == search->windowClass) {
                    search->found = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }
    HWND waitForWindow(const wchar_t* windowClass, DWORD timeoutMs) const
    {
        HWND window = nullptr;
        waitUntil([&] { return (window = findWindow(windowClass)) != nullptr || !isRunning(); }, timeoutMs);
        return window;
    }

    bool isRunning() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    bool waitForExit(DWORD timeoutMs, DWORD* exitCode = nullptr) const
    {
        if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) {
            return false;
        }
        if (exitCode != nullptr) {
            GetExitCodeProcess(process_.get(), exitCode);
        }
        return true;
    }
    // What the control window's WM_CLOSE does: the program ends as it would on Exit.
    void close() const
    {
        if (HWND window = findWindow(kControlClass)) {
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
    }

private:
    Handle process_;
    DWORD processId_ = 0;
    ULONGLONG startedAt_ = 0;
};

// A directory with the program and the files of a day it has counted on,
// where no program runs any more. `used` receives the seconds counted so far.
void stopAfterItCounted(App& app, long long* used)
{
    ASSERT_TRUE(app.started());
    ASSERT_TRUE(app.waitForFile(L"data.json", [](const std::string& d) { return usedSecondsIn(d) > 1000; }));
    PostMessageW(app.controlWindow(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(app.waitForExit(kDefaultTimeoutMs));
    *used = usedSecondsIn(app.readFile(L"data.json"));
}

// How long a start beside a holder that answers nothing may take: the full
// hand-over wait, then the program's own start.
constexpr DWORD kSquattedStartTimeoutMs = kHandOverWaitMs + kDefaultTimeoutMs;

// Another program holds the mutex for as long as the test runs and answers
// nothing: the program waits out the hand-over, then runs and counts without
// the mutex; a second start on the same files still finds it and leaves.
TEST(InstanceGuardE2E, AMutexHeldByAnotherProgramDelaysTheStartButNeverStopsIt)
{
    ActiveUser user;
    App place(LaunchOptions().withData(dayWithUsed(1000).text()));
    long long used = 0;
    ASSERT_NO_FATAL_FAILURE(stopAfterItCounted(place, &used));

    Handle squat(CreateMutexW(nullptr, TRUE, instanceMutexName(place.directory()).c_str()));
    ASSERT_TRUE(squat);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "the mutex outlived the program";

    Start start(place.directory());
    ASSERT_TRUE(start.started());
    ASSERT_NE(start.waitForWindow(kControlClass, kSquattedStartTimeoutMs), nullptr) << "the squatted start gave up";
    // It waited for a hand-over no one could take: proof the mutex it found was the squatter's.
    EXPECT_GE(start.millisecondsSinceStart(), kHandOverWaitMs);
    EXPECT_TRUE(place.waitForFile(L"data.json", [used](const std::string& d) { return usedSecondsIn(d) >= used + 3; }));

    Start again(place.directory());
    ASSERT_TRUE(again.started());
    DWORD exitCode = 1;
    ASSERT_TRUE(again.waitForExit(kDefaultTimeoutMs, &exitCode)) << "a second start did not hand over";
    EXPECT_EQ(exitCode, 0u);
    HWND status = start.waitForWindow(kStatusClass, kDefaultTimeoutMs);
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(waitUntil([status] { return IsWindowVisible(status) != FALSE; }));
    EXPECT_TRUE(start.isRunning());

    // Counting on after the hand-over.
    const long long before = usedSecondsIn(place.readFile(L"data.json"));
    EXPECT_TRUE(
        place.waitForFile(L"data.json", [before](const std::string& d) { return usedSecondsIn(d) >= before + 3; }));
}

// The holder ended without releasing the mutex: the program takes it over at
// once, holds it while it runs and gives it back when it ends.
TEST(InstanceGuardE2E, AMutexLeftByAnEndedHolderIsTakenOver)
{
    ActiveUser user;
    App place(LaunchOptions().withData(dayWithUsed(1000).text()));
    long long used = 0;
    ASSERT_NO_FATAL_FAILURE(stopAfterItCounted(place, &used));

    const std::wstring name = instanceMutexName(place.directory());
    Handle squat;
    std::thread([&] { squat.reset(CreateMutexW(nullptr, TRUE, name.c_str())); }).join();
    ASSERT_TRUE(squat);

    Start start(place.directory());
    ASSERT_TRUE(start.started());
    ASSERT_NE(start.waitForWindow(kControlClass, kSquattedStartTimeoutMs), nullptr);
    // Owned by the program now: this thread cannot take it.
    EXPECT_EQ(WaitForSingleObject(squat.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(place.waitForFile(L"data.json", [used](const std::string& d) { return usedSecondsIn(d) >= used + 3; }));

    start.close();
    DWORD exitCode = 1;
    ASSERT_TRUE(start.waitForExit(kDefaultTimeoutMs, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    // Released as the program ended, not abandoned.
    const DWORD after = WaitForSingleObject(squat.get(), 0);
    EXPECT_EQ(after, static_cast<DWORD>(WAIT_OBJECT_0));
    if (after == WAIT_OBJECT_0 || after == WAIT_ABANDONED) {
        ReleaseMutex(squat.get());
    }
}

// Another executable in the folder (uninstall.exe, which the account may start
// and fully control) squats the mutex and answers the hand-over exactly as the
// program would. Only the program's own executable is handed over to: the
// start waits out the hand-over, then runs itself and counts.
TEST(InstanceGuardLongE2E, AForeignExecutableInTheFolderIsNeverHandedOver)
{
    ActiveUser user;
    App place(LaunchOptions().withData(dayWithUsed(1000).text()));
    long long used = 0;
    ASSERT_NO_FATAL_FAILURE(stopAfterItCounted(place, &used));

    const std::wstring impostorPath = place.directory() + L"\\uninstall.exe";
    ASSERT_TRUE(CopyFileW(windowsPathFromUnix(std::getenv("HOURWARDEN_IMPOSTOR")).c_str(), impostorPath.c_str(), FALSE));
    Start impostor(place.directory(), L"uninstall.exe");
    ASSERT_TRUE(impostor.started());
    ASSERT_NE(impostor.waitForWindow(kControlClass, kDefaultTimeoutMs), nullptr);
    {
        // The mutex is the impostor's now.
        Handle probe(CreateMutexW(nullptr, FALSE, instanceMutexName(place.directory()).c_str()));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    }

    Start start(place.directory());
    ASSERT_TRUE(start.started());
    EXPECT_NE(start.waitForWindow(kControlClass, kSquattedStartTimeoutMs), nullptr) << "it handed over to the impostor";
    EXPECT_TRUE(start.isRunning());
    EXPECT_GE(start.millisecondsSinceStart(), kHandOverWaitMs);
    EXPECT_TRUE(place.waitForFile(L"data.json", [used](const std::string& d) { return usedSecondsIn(d) >= used + 3; }));
}

}  // namespace
