// The program's files while it runs and while it starts: another program can
// neither change nor hold them, and files held before the start are read once
// they are let go.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "realWindows.h"
#include "settingsDriver.h"
#include "shellProbe.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

constexpr long long kUsedSeconds = 2690;

// Every way another Windows program of the account might change or hold the
// file fails with a sharing violation while the program holds it.
void noOneElseGets(const App& app, const wchar_t* name)
{
    SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
    const std::wstring path = app.directory() + L"\\" + name;
    const std::string before = app.readFile(name);
    const struct {
        const char* what;
        DWORD access;
        DWORD sharing;
        DWORD disposition;
    } opens[] = {
        {"write", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING},
        {"cut", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, TRUNCATE_EXISTING},
        {"exclusive open", GENERIC_READ, 0, OPEN_EXISTING},
        {"delete access", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING},
    };
    for (const auto& o : opens) {
        SCOPED_TRACE(o.what);
        HANDLE file = CreateFileW(path.c_str(), o.access, o.sharing, nullptr, o.disposition, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
        EXPECT_EQ(file, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_FALSE(MoveFileExW(path.c_str(), (path + L".old").c_str(), MOVEFILE_REPLACE_EXISTING));
    // A reader that lets others write (a backup tool, Notepad) still reads it.
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    if (reader != INVALID_HANDLE_VALUE) {
        CloseHandle(reader);
    }
    EXPECT_EQ(app.readFile(name), before);
}

// Another Windows program of the account (Notepad would do) tries to rewrite,
// cut, rename, delete or hold both files while the program runs: all fail,
// and after the next start the state is the program's own: with the parent's
// 45 minutes the day's 2,690 seconds leave 10 s before the lock.
TEST(DiskE2E, AnotherProgramCanNeitherChangeNorHoldTheFilesWhileTheProgramRuns)
{
    ConfigFile parents;
    parents.limitMinutes = 45;
    std::string configLeft;
    std::string dataLeft;
    {
        App app(LaunchOptions().withConfig(parents.text()).withData(dayWithUsed(kUsedSeconds).text()));
        ASSERT_TRUE(app.started());
        noOneElseGets(app, L"config.json");
        noOneElseGets(app, L"data.json");
        configLeft = app.readFile(L"config.json");
        dataLeft = app.readFile(L"data.json");
    }
    EXPECT_EQ(jsonValue(configLeft, "daily_limit_minutes"), "45");
    EXPECT_GE(usedSecondsIn(dataLeft), kUsedSeconds);

    const std::string lockCall = "Call user32.LockWorkStation(";
    App next(LaunchOptions().withConfig(configLeft).withData(dataLeft).withRelay(L"user32.LockWorkStation"));
    ASSERT_TRUE(next.started());
    ActiveUser user;
    EXPECT_TRUE(waitUntil([&] { return next.relayCount(lockCall) >= 1; }));
    EXPECT_EQ(jsonValue(next.readFile(L"config.json"), "daily_limit_minutes"), "45");
}

}  // namespace

namespace {

// A backup or scanning tool holds both files while the program starts at
// logon. The program runs without them while they are tried: nothing is taken
// for missing, nothing is written over, and once they are let go the parent's
// password and limit and the day's count are all in force, and counting goes on.
TEST(DiskE2E, FilesHeldWhileTheProgramStartsKeepTheParentsValues)
{
    ConfigFile parents;
    parents.limitMinutes = 60;
    UsageFile day = dayWithUsed(3000);
    day.password = "pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=";  // "passwd"
    day.requirePasswordOnExit = true;
    LaunchOptions options = LaunchOptions().withConfig(parents.text()).withData(day.text());
    options.holdFilesMs = 8000;
    ActiveUser user;
    const ULONGLONG startedAt = GetTickCount64();
    App app(options);
    ASSERT_TRUE(app.started());
    // The start does not wait for them: their thread tries them meanwhile.
    EXPECT_LT(GetTickCount64() - startedAt, options.holdFilesMs) << "the start waited for the held files";
    EXPECT_TRUE(app.waitForFile(L"data.json", [](const std::string& text) {
        return usedSecondsIn(text) >= 3002 && jsonValue(text, "require_password_on_exit") == "true" &&
               jsonValue(text, "settings_password").find("pbkdf2-sha256$1$c2FsdA==$") != std::string::npos;
    })) << app.readFile(L"data.json");
    EXPECT_EQ(jsonValue(app.readFile(L"config.json"), "daily_limit_minutes"), "60");
}

}  // namespace

namespace {

// Another program of the account opens data.json for reading, as the read
// sharing allows, and takes a byte-range lock over the whole file: every save
// of the program is refused (a shared lock, so the test still reads the file).
// The day counts as spent from the first refusal: nothing more reaches the
// file, and the lock comes after the start's minute. Once the range is
// unlocked, the count kept meanwhile reaches the file and counting goes on.
TEST(DiskE2E, AByteRangeLockOnDataJsonSpendsTheDayUntilItIsLifted_WindowsOnly)
{
    SKIP_UNLESS_REAL_WINDOWS("Wine 8 grants the byte-range lock but does not refuse writes under it");
    constexpr long long kTenMinutesLeft = 30 * 60 - 10 * 60;
    ActiveUser user;
    App app(LaunchOptions().withConfig(configWith(30)).withData(dayWithUsed(kTenMinutesLeft).text()));
    ASSERT_TRUE(app.started());
    // The lock is accepted inside the program; the test machine itself stays unlocked.
    ASSERT_TRUE(installSessionProbe(app));
    ASSERT_TRUE(app.waitForFile(L"data.json", [](const std::string& text) {
        return usedSecondsIn(text) >= kTenMinutesLeft + 2;
    })) << "counting before the lock";

    const std::wstring path = app.directory() + L"\\data.json";
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
    OVERLAPPED whole = {};
    ASSERT_TRUE(LockFileEx(reader, LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) << GetLastError();
    const ULONGLONG lockedAt = GetTickCount64();
    const std::string frozen = app.readFile(L"data.json");
    const long long usedAtLock = usedSecondsIn(frozen);
    ASSERT_LT(usedAtLock, 30 * 60);

    // The start's minute after the first refused save, and room for a loaded machine.
    EXPECT_TRUE(waitUntil([&] { return acceptedLocks(app) >= 1; }, 90000));
    EXPECT_GE(GetTickCount64() - lockedAt, 55000u) << "the lock came before the minute was over";
    EXPECT_EQ(app.readFile(L"data.json"), frozen) << "a save went through under the lock";

    OVERLAPPED again = {};
    EXPECT_TRUE(UnlockFileEx(reader, 0, MAXDWORD, MAXDWORD, &again));
    CloseHandle(reader);
    EXPECT_TRUE(app.waitForFile(L"data.json", [&](const std::string& text) {
        return usedSecondsIn(text) >= usedAtLock + 5;
    })) << app.readFile(L"data.json");
    EXPECT_EQ(acceptedLocks(app), 1) << "no lock once the saves went through again";
}

}  // namespace
