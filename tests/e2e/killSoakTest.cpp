// Kills at random moments while the program counts: every time, both files
// are whole, and the next start has the password and the count. Run by hand
// (150 kills take minutes):
//   wine hourwarden_e2e_tests.exe --gtest_also_run_disabled_tests --gtest_filter=KillSoakE2E.*
// HOURWARDEN_KILLS sets how many (150 unless told).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <random>
#include <string>

#include "core/passwordHash.h"
#include "harness.h"
#include "settingsDriver.h"
#include "storage/settingsFiles.h"
#include "storage/textFiles.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

constexpr int kDefaultKills = 150;
constexpr DWORD kLongestLifeMs = 3000;

int killCount()
{
    const char* text = std::getenv("HOURWARDEN_KILLS");
    const int count = text != nullptr ? std::atoi(text) : 0;
    return count > 0 ? count : kDefaultKills;
}

// Starts the program in `directory` and returns its process, once its control window is there.
HANDLE startIn(const std::wstring& directory)
{
    const std::wstring exe = directory + L"\\Hourwarden.exe";
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                        &startup, &info)) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    waitUntil([&] {
        HWND window = nullptr;
        while ((window = FindWindowExW(nullptr, window, kControlClass, nullptr)) != nullptr) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == info.dwProcessId) {
                return true;
            }
        }
        return WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0;
    });
    return info.hProcess;
}

TEST(KillSoakE2E, DISABLED_RandomKillsWhileCountingLeaveBothFilesWholeWithThePasswordAndTheCount)
{
    ActiveUser user;
    std::wstring directory;
    std::wstring hash;
    long long count = 0;
    {
        App app(LaunchOptions().withData(dataWithPassword("pw", true)));
        ASSERT_TRUE(app.started());
        ASSERT_TRUE(app.waitForFile(L"data.json", [](const std::string& d) { return usedSecondsIn(d) >= 2; }));
        TerminateProcess(app.process(), 9);
        WaitForSingleObject(app.process(), INFINITE);
        // The App removes its directory when it goes: keep a copy to go on in.
        directory = app.directory() + L"-soak";
        CreateDirectoryW(directory.c_str(), nullptr);
        for (const wchar_t* name : {L"\\Hourwarden.exe", L"\\config.json", L"\\data.json"}) {
            ASSERT_TRUE(CopyFileW((app.directory() + name).c_str(), (directory + name).c_str(), FALSE));
        }
        DailyUsage usage;
        ASSERT_TRUE(parseWholeUsageText(readWholeFile(directory + L"\\data.json"), usage));
        hash = usage.settingsPassword;
        count = usage.usedSeconds;
        ASSERT_TRUE(verifyPasswordHash(L"pw", hash));
    }

    std::mt19937 random(20261211);
    std::uniform_int_distribution<DWORD> lifeMs(0, kLongestLifeMs);
    const int kills = killCount();
    int tornOrMissing = 0;
    for (int kill = 1; kill <= kills; ++kill) {
        HANDLE process = startIn(directory);
        ASSERT_NE(process, nullptr);
        Sleep(lifeMs(random));  // the moment of the kill, at random
        TerminateProcess(process, 9);
        WaitForSingleObject(process, INFINITE);
        CloseHandle(process);

        DailyUsage usage;
        AppConfig config;
        const bool dataWhole = parseWholeUsageText(readWholeFile(directory + L"\\data.json"), usage);
        const bool configWhole = parseWholeConfigText(readWholeFile(directory + L"\\config.json"), config);
        if (!dataWhole || !configWhole) {
            ++tornOrMissing;
            ADD_FAILURE() << "kill " << kill << ": a torn or missing file";
            continue;
        }
        EXPECT_EQ(usage.settingsPassword, hash) << "kill " << kill << ": the password changed";
        EXPECT_TRUE(usage.requirePasswordOnExit) << "kill " << kill;
        EXPECT_GE(usage.usedSeconds, count) << "kill " << kill << ": the count went back";
        count = usage.usedSeconds;
    }
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((directory + L"\\*.tmp").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "a temporary file was left";
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    std::printf("%d kills, %d torn or missing, %lld s counted in the end\n", kills, tornOrMissing, count);
    for (const wchar_t* name : {L"\\Hourwarden.exe", L"\\config.json", L"\\data.json"}) {
        DeleteFileW((directory + name).c_str());
    }
    RemoveDirectoryW(directory.c_str());
}

}  // namespace
