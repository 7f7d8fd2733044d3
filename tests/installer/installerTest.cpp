// Hourwarden-Setup.exe and uninstall.exe under Wine, in a prefix of their own:
// where the files, registry values and shortcut land, the first config.json,
// upgrading over the running program, removal, both languages, and a program
// that will not close. Also the version resources of both executables, and
// the journal of the installation for another account.
#include "installerSupport.h"
#include "accountSide.h"
#include "comSupport.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <aclapi.h>
#include <sddl.h>
#include <taskschd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "core/passwordHash.h"
#include "realWindows.h"
#include "storage/journal.h"
#include "storage/settingsFiles.h"

using namespace installer_test;

namespace {

constexpr DWORD kSetupTimeoutMs = 90000;
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kHoldWindowSwitch[] = L"--hold-control-window";
constexpr wchar_t kReleaseEventName[] = L"HourwardenInstallerTestRelease";

std::wstring setupExe()
{
    return windowsPathFromEnvironment("HOURWARDEN_SETUP");
}

std::wstring builtProgram()
{
    return windowsPathFromEnvironment("HOURWARDEN_EXE");
}

std::wstring defaultInstallDirectory()
{
    return knownFolder(FOLDERID_LocalAppData) + L"\\Programs\\Hourwarden";
}

// Beside the default place, with a space in its name that every path written must survive.
std::wstring customParentDirectory()
{
    return tempDirectory() + L"\\hourwarden installer test";
}

std::wstring customInstallDirectory()
{
    return customParentDirectory() + L"\\Hourwarden";
}

std::wstring startMenuShortcut()
{
    return knownFolder(FOLDERID_Programs) + L"\\Hourwarden.lnk";
}

// Without `startProgram`, Wine is told the program's module is disabled, so the
// installer's start of it fails and config.json stays exactly as the installer wrote it.
Environment setupEnvironment(bool startProgram)
{
    Environment environment;
    if (!startProgram) {
        const char* overrides = std::getenv("WINEDLLOVERRIDES");
        std::wstring value = toWide(overrides != nullptr ? overrides : "");
        environment.emplace_back(L"WINEDLLOVERRIDES", value + (value.empty() ? L"" : L";") + L"hourwarden.exe=d");
    }
    return environment;
}

std::optional<DWORD> runSetup(const std::wstring& arguments, const Environment& environment)
{
    Process setup(quoted(setupExe()) + L" " + arguments, environment);
    return setup.wait(kSetupTimeoutMs);
}

std::wstring directoryOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

std::string expectedFirstConfig(Language language)
{
    AppConfig config;
    config.language = language;
    return configFileText(config);
}

std::wstring todayDate()
{
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t text[11] = {};
    swprintf(text, 11, L"%04u-%02u-%02u", static_cast<unsigned>(now.wYear), static_cast<unsigned>(now.wMonth),
             static_cast<unsigned>(now.wDay));
    return text;
}

// The local date `days` days before today.
std::wstring dateDaysAgo(int days)
{
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    FILETIME time = {};
    SystemTimeToFileTime(&now, &time);
    ULARGE_INTEGER ticks = {};
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    ticks.QuadPart -= static_cast<ULONGLONG>(days) * 24 * 3600 * 10000000ULL;
    time.dwLowDateTime = ticks.LowPart;
    time.dwHighDateTime = ticks.HighPart;
    SYSTEMTIME then = {};
    FileTimeToSystemTime(&time, &then);
    wchar_t text[11] = {};
    swprintf(text, 11, L"%04u-%02u-%02u", static_cast<unsigned>(then.wYear), static_cast<unsigned>(then.wMonth),
             static_cast<unsigned>(then.wDay));
    return text;
}

// The running program started from `exe`, if any.
std::optional<FoundWindow> programRunningFrom(const std::wstring& exe)
{
    for (const FoundWindow& found : windowsOfClass(kControlClass)) {
        if (equalsIgnoringCase(processImage(found.processId), exe)) {
            return found;
        }
    }
    return std::nullopt;
}

// Runs the registered quiet uninstall command, as an administrator's script
// would. The uninstaller hands over to a copy of itself and returns at once;
// the Uninstall entry goes last, so its removal marks the end.
void uninstallSilently()
{
    const std::optional<std::wstring> command = registryString(kUninstallKey, L"QuietUninstallString");
    ASSERT_TRUE(command.has_value());
    Process uninstall(*command, setupEnvironment(true));
    ASSERT_TRUE(uninstall.started());
    ASSERT_EQ(uninstall.wait(kSetupTimeoutMs), std::optional<DWORD>(0));
    ASSERT_TRUE(waitUntil([] { return !registryKeyExists(kUninstallKey); }, kSetupTimeoutMs));
}

// A stand-in for a program that ignores WM_CLOSE: this executable started with
// kHoldWindowSwitch, holding a control window until the test releases it.
class StubbornProgram {
public:
    // Runs a copy of this executable as `exe`, where the installer looks for its program.
    explicit StubbornProgram(const std::wstring& exe) : release_(CreateEventW(nullptr, TRUE, FALSE, kReleaseEventName))
    {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        SHCreateDirectoryExW(nullptr, directoryOf(exe).c_str(), nullptr);
        if (CopyFileW(self, exe.c_str(), FALSE)) {
            process_ = Process(quoted(exe) + L" " + kHoldWindowSwitch);
        }
    }
    ~StubbornProgram()
    {
        release();
        process_.terminate();
        CloseHandle(release_);
    }
    bool holdsWindow() const
    {
        return waitUntil([this] {
            for (const FoundWindow& found : windowsOfClass(kControlClass)) {
                if (found.processId == process_.id()) {
                    return true;
                }
            }
            return false;
        });
    }
    void release() { SetEvent(release_); }
    const Process& process() const { return process_; }

private:
    HANDLE release_;
    Process process_;
};

LRESULT CALLBACK stubbornWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int holdStubbornWindow()
{
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, kReleaseEventName);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = stubbornWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kControlClass;
    if (release == nullptr || RegisterClassExW(&windowClass) == 0) {
        return 1;
    }
    HWND window = CreateWindowExW(0, kControlClass, L"Hourwarden", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    while (true) {
        const DWORD woken = MsgWaitForMultipleObjects(1, &release, FALSE, INFINITE, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0) {
            DestroyWindow(window);
            break;
        }
        MSG message = {};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
    CloseHandle(release);
    return 0;
}

// Drives the installer's pages as a user would.
class Wizard {
public:
    explicit Wizard(const Process& setup) : setup_(setup) {}

    // Picks a language, by the name the language box shows, and confirms it.
    void chooseLanguage(const std::wstring& name)
    {
        HWND combo = nullptr;
        ASSERT_TRUE(waitUntil([&] {
            for (HWND dialog : processWindows(setup_.id(), kDialogClass)) {
                combo = findDescendantOfClass(dialog, L"ComboBox");
                if (combo != nullptr) {
                    dialog_ = dialog;
                    return true;
                }
            }
            return false;
        })) << "no language box";
        const LRESULT index = SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                           reinterpret_cast<LPARAM>(name.c_str()));
        ASSERT_NE(index, CB_ERR) << toUtf8(name);
        SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        press(IDOK);
        const HWND languageBox = dialog_;
        ASSERT_TRUE(waitUntil([&] { return !IsWindow(languageBox); }));
    }

    // Waits for the page showing a text that begins with `prefix`; remembers its wizard window.
    bool waitForPage(const std::wstring& prefix)
    {
        return waitUntil([&] {
            for (HWND dialog : processWindows(setup_.id(), kDialogClass)) {
                if (findDescendantWithTextPrefix(dialog, prefix) != nullptr) {
                    dialog_ = dialog;
                    return true;
                }
            }
            return false;
        });
    }

    // The wizard's Next, Install and Finish button.
    void next() { press(IDOK); }

    // Confirms the message box whose text begins with `prefix`; false when none came.
    bool dismissBox(const std::wstring& prefix)
    {
        HWND box = nullptr;
        if (!waitUntil([&] {
                for (HWND dialog : processWindows(setup_.id(), kDialogClass)) {
                    if (dialog != dialog_ && findDescendantWithTextPrefix(dialog, prefix) != nullptr) {
                        box = dialog;
                        return true;
                    }
                }
                return false;
            })) {
            return false;
        }
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return waitUntil([&] { return !IsWindow(box); });
    }

    HWND window() const { return dialog_; }

private:
    // A click on a disabled button does nothing, and a second click could skip a page: click once,
    // when the button takes it.
    void press(int id)
    {
        EXPECT_TRUE(waitUntil([&] { return IsWindowEnabled(GetDlgItem(dialog_, id)) != FALSE; }));
        PostMessageW(dialog_, WM_COMMAND, static_cast<WPARAM>(id), 0);
    }

    const Process& setup_;
    HWND dialog_ = nullptr;
};

class InstallerTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(setupExe().empty()) << "HOURWARDEN_SETUP is not set";
        ASSERT_TRUE(fileExists(setupExe()));
        ASSERT_TRUE(windowsOfClass(kControlClass).empty()) << "a program runs before the test";
        ASSERT_FALSE(registryKeyExists(kUninstallKey)) << "installed before the test";
    }

    // Whatever a test leaves, the next one starts from nothing.
    void TearDown() override
    {
        closeAllOfClass(kControlClass);
        if (registryKeyExists(kUninstallKey)) {
            uninstallSilently();
        }
        deleteRegistryValue(kRunKey, L"Hourwarden");
        DeleteFileW(startMenuShortcut().c_str());
        removeTree(defaultInstallDirectory());
        removeTree(customParentDirectory());
    }
};

}  // namespace

TEST(VersionResource, ProgramAndSetupCarryTheProjectVersion)
{
    unsigned major = 0;
    unsigned minor = 0;
    unsigned patch = 0;
    ASSERT_EQ(std::sscanf(HOURWARDEN_EXPECTED_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
    const std::wstring version = toWide(HOURWARDEN_EXPECTED_VERSION);
    const WORD quad[4] = {static_cast<WORD>(major), static_cast<WORD>(minor), static_cast<WORD>(patch), 0};

    struct Case {
        std::wstring exe;
        const wchar_t* originalFilename;
    };
    for (const Case& item : {Case{builtProgram(), L"Hourwarden.exe"}, Case{setupExe(), L"Hourwarden-Setup.exe"}}) {
        SCOPED_TRACE(toUtf8(item.exe));
        const std::optional<VersionInfo> info = readVersionInfo(item.exe);
        ASSERT_TRUE(info.has_value());
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(info->fileVersion[i], quad[i]) << "file version part " << i;
            EXPECT_EQ(info->productVersion[i], quad[i]) << "product version part " << i;
        }
        EXPECT_EQ(info->productName, L"Hourwarden");
        EXPECT_EQ(info->productVersionText, version);
        EXPECT_EQ(info->fileVersionText, version);
        EXPECT_EQ(info->originalFilename, item.originalFilename);
        EXPECT_FALSE(info->fileDescription.empty());
    }
}

TEST_F(InstallerTest, SilentInstallPutsEverythingInPlaceAndStartsTheProgram)
{
    ASSERT_EQ(runSetup(L"/S", setupEnvironment(true)), std::optional<DWORD>(0));

    const std::wstring directory = defaultInstallDirectory();
    const std::wstring exe = directory + L"\\Hourwarden.exe";
    const std::wstring uninstaller = directory + L"\\uninstall.exe";
    EXPECT_TRUE(readFile(exe) == readFile(builtProgram())) << "not the built program";
    EXPECT_TRUE(fileExists(uninstaller));

    EXPECT_EQ(registryString(kRunKey, L"Hourwarden"), quoted(exe));
    EXPECT_EQ(registryString(kUninstallKey, L"DisplayName"), L"Hourwarden");
    EXPECT_EQ(registryString(kUninstallKey, L"DisplayVersion"), toWide(HOURWARDEN_EXPECTED_VERSION));
    EXPECT_FALSE(registryString(kUninstallKey, L"Publisher").value_or(L"").empty());
    EXPECT_EQ(registryString(kUninstallKey, L"DisplayIcon"), exe + L",0");
    EXPECT_EQ(registryString(kUninstallKey, L"InstallLocation"), directory);
    EXPECT_EQ(registryString(kUninstallKey, L"UninstallString"), quoted(uninstaller));
    EXPECT_EQ(registryString(kUninstallKey, L"QuietUninstallString"), quoted(uninstaller) + L" /S");
    EXPECT_EQ(registryDword(kUninstallKey, L"NoModify"), std::optional<DWORD>(1));
    EXPECT_EQ(registryDword(kUninstallKey, L"NoRepair"), std::optional<DWORD>(1));
    // In KiB: at least the program itself.
    const size_t programKiB = readFile(builtProgram()).value_or("").size() / 1024;
    EXPECT_GE(registryDword(kUninstallKey, L"EstimatedSize").value_or(0), programKiB);

    EXPECT_TRUE(equalsIgnoringCase(shortcutTarget(startMenuShortcut()), exe)) << toUtf8(startMenuShortcut());

    EXPECT_TRUE(waitUntil([&] { return programRunningFrom(exe).has_value(); })) << "the program did not start";
    // The program has read the installer's config.json and written it back unchanged.
    EXPECT_EQ(readFile(directory + L"\\config.json"), expectedFirstConfig(Language::English));
}

TEST_F(InstallerTest, SilentUpgradeOverTheRunningProgramKeepsItsFilesAndStartsItAgain)
{
    ASSERT_EQ(runSetup(L"/S", setupEnvironment(true)), std::optional<DWORD>(0));
    const std::wstring directory = defaultInstallDirectory();
    const std::wstring exe = directory + L"\\Hourwarden.exe";
    ASSERT_TRUE(waitUntil([&] { return programRunningFrom(exe).has_value(); }));
    ASSERT_TRUE(closeAllOfClass(kControlClass));

    // A parent's settings and a day in progress, and an older build that differs from the new one.
    AppConfig config;
    config.dailyLimitMinutes = 45;
    config.showLastThreeMinuteNotifications = false;
    config.language = Language::Russian;
    config.statusWindowX = 300;
    config.statusWindowY = 200;
    DailyUsage usage;
    usage.date = todayDate();
    usage.usedSeconds = 1234;
    usage.warningShown = false;
    usage.settingsPassword = hashPassword(L"se\"cret");
    // Without "Require password on exit": a close request ends it.
    usage.requirePasswordOnExit = false;
    ASSERT_TRUE(writeFile(directory + L"\\config.json", configFileText(config)));
    ASSERT_TRUE(writeFile(directory + L"\\data.json", usageFileText(usage)));
    std::string olderBuild = readFile(exe).value_or("");
    olderBuild += "an older build";
    ASSERT_TRUE(writeFile(exe, olderBuild));

    // Started as the logon would start it.
    Process running(quoted(exe));
    ASSERT_TRUE(waitUntil([&] {
        const std::optional<FoundWindow> found = programRunningFrom(exe);
        return found.has_value() && found->processId == running.id();
    })) << "the prepared program did not start";
    const ULONGLONG upgradeStart = GetTickCount64();

    ASSERT_EQ(runSetup(L"/S", setupEnvironment(true)), std::optional<DWORD>(0));

    EXPECT_TRUE(running.hasExited()) << "the old program still runs";
    EXPECT_TRUE(waitUntil([&] {
        const std::optional<FoundWindow> found = programRunningFrom(exe);
        return found.has_value() && found->processId != running.id();
    })) << "the new program did not start";
    EXPECT_TRUE(readFile(exe) == readFile(builtProgram())) << "not the built program";
    EXPECT_EQ(readFile(directory + L"\\config.json"), configFileText(config));

    // The running program may have counted seconds of use, which is its business; the rest stays as it was.
    DailyUsage kept;
    const std::string keptText = readFile(directory + L"\\data.json").value_or("");
    ASSERT_TRUE(parseUsageText(keptText, kept)) << keptText;
    const long long elapsedSeconds = static_cast<long long>((GetTickCount64() - upgradeStart) / 1000) + 2;
    EXPECT_GE(kept.usedSeconds, usage.usedSeconds);
    EXPECT_LE(kept.usedSeconds, usage.usedSeconds + elapsedSeconds);
    usage.usedSeconds = kept.usedSeconds;
    EXPECT_EQ(keptText, usageFileText(usage));
}

namespace {

// Types `password` into the exit prompt the program `processId` shows and confirms it, as a parent would;
// true once that program has ended.
bool typeExitPassword(DWORD processId, const wchar_t* password)
{
    constexpr int kPromptField = 3001;
    constexpr int kPromptOk = 3002;
    HWND prompt = nullptr;
    if (!waitUntil([&] {
            const std::vector<HWND> prompts = processWindows(processId, L"HourwardenPasswordWindow");
            prompt = prompts.empty() ? nullptr : prompts.front();
            return prompt != nullptr;
        })) {
        return false;
    }
    SendMessageW(GetDlgItem(prompt, kPromptField), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(password));
    PostMessageW(prompt, WM_COMMAND, kPromptOk, 0);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) {
        return false;
    }
    const bool ended = WaitForSingleObject(process, kDefaultTimeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

}  // namespace

// The parent guards the program's exit with the password: a silent upgrade must not get round it.
TEST_F(InstallerTest, SilentUpgradeOverAProgramGuardedByItsExitPasswordIsRefusedAndChangesNothing)
{
    ASSERT_EQ(runSetup(L"/S", setupEnvironment(true)), std::optional<DWORD>(0));
    const std::wstring directory = defaultInstallDirectory();
    const std::wstring exe = directory + L"\\Hourwarden.exe";
    ASSERT_TRUE(waitUntil([&] { return programRunningFrom(exe).has_value(); }));
    ASSERT_TRUE(closeAllOfClass(kControlClass));

    AppConfig config;
    config.dailyLimitMinutes = 45;
    DailyUsage usage;
    usage.date = todayDate();
    usage.usedSeconds = 600;
    usage.settingsPassword = hashPassword(L"guard");
    usage.requirePasswordOnExit = true;
    ASSERT_TRUE(writeFile(directory + L"\\config.json", configFileText(config)));
    ASSERT_TRUE(writeFile(directory + L"\\data.json", usageFileText(usage)));
    std::string olderBuild = readFile(exe).value_or("");
    olderBuild += "an older build";
    ASSERT_TRUE(writeFile(exe, olderBuild));
    const std::string uninstaller = readFile(directory + L"\\uninstall.exe").value_or("");

    Process running(quoted(exe));
    ASSERT_TRUE(waitUntil([&] {
        const std::optional<FoundWindow> found = programRunningFrom(exe);
        return found.has_value() && found->processId == running.id();
    })) << "the prepared program did not start";

    EXPECT_EQ(runSetup(L"/S", setupEnvironment(true)), std::optional<DWORD>(2));
    EXPECT_FALSE(running.hasExited()) << "the guarded program was ended";
    EXPECT_TRUE(readFile(exe) == olderBuild) << "the program was replaced";
    EXPECT_TRUE(readFile(directory + L"\\uninstall.exe") == uninstaller);
    EXPECT_EQ(readFile(directory + L"\\config.json"), configFileText(config));
    DailyUsage kept;
    const std::string keptText = readFile(directory + L"\\data.json").value_or("");
    ASSERT_TRUE(parseUsageText(keptText, kept)) << keptText;
    EXPECT_EQ(kept.settingsPassword, usage.settingsPassword);
    EXPECT_TRUE(kept.requirePasswordOnExit);
    EXPECT_EQ(registryString(kRunKey, L"Hourwarden"), quoted(exe));

    // The handle from its start still may end it; a close request would only bring the prompt.
    running.terminate();
    EXPECT_TRUE(running.wait().has_value());
}

// Interactively, setup says the program asks for its password, and goes on once it was typed there.
TEST_F(InstallerTest, InteractiveUpgradeWaitsForTheExitPasswordToBeTyped)
{
    ASSERT_EQ(runSetup(L"/S", setupEnvironment(true)), std::optional<DWORD>(0));
    const std::wstring directory = defaultInstallDirectory();
    const std::wstring exe = directory + L"\\Hourwarden.exe";
    ASSERT_TRUE(waitUntil([&] { return programRunningFrom(exe).has_value(); }));
    ASSERT_TRUE(closeAllOfClass(kControlClass));
    DailyUsage usage;
    usage.date = todayDate();
    usage.settingsPassword = hashPassword(L"guard");
    usage.requirePasswordOnExit = true;
    ASSERT_TRUE(writeFile(directory + L"\\data.json", usageFileText(usage)));
    Process running(quoted(exe));
    ASSERT_TRUE(waitUntil([&] {
        const std::optional<FoundWindow> found = programRunningFrom(exe);
        return found.has_value() && found->processId == running.id();
    })) << "the prepared program did not start";

    // The language chosen at the first install is remembered: no language box this time.
    Process setup(quoted(setupExe()), setupEnvironment(true));
    Wizard wizard(setup);
    ASSERT_TRUE(wizard.waitForPage(L"Setup will install Hourwarden"));
    wizard.next();
    // Under Wine the account is an administrator: the kind of installation is asked, this account's preset.
    ASSERT_TRUE(wizard.waitForPage(L"For this account only"));
    EXPECT_EQ(SendMessageW(findDescendantWithTextPrefix(wizard.window(), L"For this account only"), BM_GETCHECK, 0, 0),
              BST_CHECKED);
    wizard.next();
    ASSERT_TRUE(wizard.waitForPage(directory));
    wizard.next();

    HWND passwordBox = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        for (HWND dialog : processWindows(setup.id(), kDialogClass)) {
            if (findDescendantWithTextPrefix(dialog, L"Hourwarden is running and asks for its password to close.") !=
                nullptr) {
                passwordBox = dialog;
                return true;
            }
        }
        return false;
    })) << "no message about the password";
    EXPECT_FALSE(running.hasExited());

    // The parent types the password in the program's prompt.
    ASSERT_TRUE(typeExitPassword(running.id(), L"guard"));
    ASSERT_EQ(running.wait(), std::optional<DWORD>(0));

    PostMessageW(passwordBox, WM_COMMAND, IDRETRY, 0);
    ASSERT_TRUE(wizard.waitForPage(L"Hourwarden " + toWide(HOURWARDEN_EXPECTED_VERSION) + L" is installed"));
    wizard.next();
    ASSERT_EQ(setup.wait(), std::optional<DWORD>(0));
    EXPECT_TRUE(readFile(exe) == readFile(builtProgram())) << "not the built program";

    // The new program keeps the password and its guard: ended the same way, so the uninstall can run.
    std::optional<FoundWindow> restarted;
    ASSERT_TRUE(waitUntil([&] { return (restarted = programRunningFrom(exe)).has_value(); }));
    PostMessageW(restarted->window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(typeExitPassword(restarted->processId, L"guard"));
}

TEST_F(InstallerTest, SilentUninstallRemovesWhatWasInstalledAndNothingElse)
{
    setRegistryString(kRunKey, L"HourwardenTestNeighbour", L"\"C:\\neighbour.exe\"");
    ASSERT_EQ(runSetup(L"/S", setupEnvironment(true)), std::optional<DWORD>(0));
    const std::wstring directory = defaultInstallDirectory();
    ASSERT_TRUE(waitUntil([&] { return programRunningFrom(directory + L"\\Hourwarden.exe").has_value(); }));
    // What a save cut short by a crash leaves behind.
    ASSERT_TRUE(writeFile(directory + L"\\data.json.4242.tmp", "{"));

    uninstallSilently();

    EXPECT_TRUE(windowsOfClass(kControlClass).empty()) << "the program still runs";
    EXPECT_FALSE(directoryExists(directory)) << "left: " << directoryEntries(directory).size() << " entries";
    EXPECT_TRUE(directoryExists(knownFolder(FOLDERID_LocalAppData) + L"\\Programs"));
    EXPECT_FALSE(fileExists(startMenuShortcut()));
    EXPECT_FALSE(registryString(kRunKey, L"Hourwarden").has_value());
    EXPECT_FALSE(registryKeyExists(kUninstallKey));
    EXPECT_EQ(registryString(kRunKey, L"HourwardenTestNeighbour"), L"\"C:\\neighbour.exe\"");
    deleteRegistryValue(kRunKey, L"HourwardenTestNeighbour");
}

TEST_F(InstallerTest, FirstInstallWritesTheProgramsConfigInTheSetupLanguage)
{
    struct Case {
        const wchar_t* option;
        Language language;
        std::wstring languageId;
    };
    const std::wstring directory = customInstallDirectory();
    for (const Case& item : {Case{L"/LANG=en", Language::English, L"1033"},
                             Case{L"/LANG=ru", Language::Russian, L"1049"}}) {
        SCOPED_TRACE(toUtf8(item.option));
        // /D= comes last and unquoted, spaces and all.
        ASSERT_EQ(runSetup(L"/S " + std::wstring(item.option) + L" /D=" + directory, setupEnvironment(false)),
                  std::optional<DWORD>(0));
        EXPECT_EQ(readFile(directory + L"\\config.json"), expectedFirstConfig(item.language));
        EXPECT_FALSE(fileExists(directory + L"\\data.json"));
        EXPECT_EQ(registryString(kRunKey, L"Hourwarden"), quoted(directory + L"\\Hourwarden.exe"));
        EXPECT_EQ(registryString(kUninstallKey, L"InstallLocation"), directory);
        EXPECT_EQ(registryString(kUninstallKey, L"NSIS:Language"), item.languageId);

        // A file of the user's own keeps the folder and stays.
        ASSERT_TRUE(writeFile(directory + L"\\notes.txt", "mine"));
        uninstallSilently();
        EXPECT_EQ(directoryEntries(directory), std::vector<std::wstring>{L"notes.txt"});
        removeTree(directory);
    }
}

TEST_F(InstallerTest, InteractiveInstallSpeaksTheChosenLanguage)
{
    struct Case {
        const wchar_t* choice;  // as the language box lists it
        Language language;
        std::wstring title;
        const wchar_t* welcome;
        std::wstring finish;
        const wchar_t* screenshot;
    };
    const std::wstring version = toWide(HOURWARDEN_EXPECTED_VERSION);
    const std::wstring directory = customInstallDirectory();
    const char* screenshotDirectory = std::getenv("HOURWARDEN_SCREENSHOT_DIR");
    for (const Case& item :
         {Case{L"English", Language::English, L"Hourwarden " + version + L" Setup",
               L"Setup will install Hourwarden", L"Hourwarden " + version + L" is installed and running",
               L"installer-en.bmp"},
          Case{L"Русский", Language::Russian, L"Установка Hourwarden " + version,
               L"Программа установит Hourwarden", L"Hourwarden " + version + L" установлен и запущен",
               L"installer-ru.bmp"}}) {
        SCOPED_TRACE(toUtf8(item.choice));
        Process setup(quoted(setupExe()) + L" /D=" + directory, setupEnvironment(false));
        ASSERT_TRUE(setup.started());
        Wizard wizard(setup);
        wizard.chooseLanguage(item.choice);
        ASSERT_TRUE(wizard.waitForPage(item.welcome)) << "no welcome page";
        EXPECT_EQ(windowText(wizard.window()), item.title);
        if (screenshotDirectory != nullptr && *screenshotDirectory != '\0') {
            ASSERT_TRUE(waitUntil([&] { return windowLooksSettled(wizard.window()); }));
            EXPECT_TRUE(saveWindowBitmap(wizard.window(), windowsPathFromEnvironment("HOURWARDEN_SCREENSHOT_DIR") +
                                                              L"\\" + item.screenshot));
        }
        wizard.next();
        ASSERT_TRUE(wizard.waitForPage(directory)) << "no directory page";
        wizard.next();
        ASSERT_TRUE(wizard.waitForPage(item.finish)) << "no finish page";
        wizard.next();
        ASSERT_EQ(setup.wait(), std::optional<DWORD>(0));

        EXPECT_EQ(readFile(directory + L"\\config.json"), expectedFirstConfig(item.language));
        uninstallSilently();
        removeTree(customParentDirectory());
    }
}

TEST_F(InstallerTest, ProgramThatWillNotCloseStopsSilentSetupAndInteractiveSetupOffersRetry)
{
    const std::wstring directory = customInstallDirectory();
    const std::wstring exe = directory + L"\\Hourwarden.exe";
    StubbornProgram stubborn(exe);
    ASSERT_TRUE(stubborn.holdsWindow());
    const std::optional<std::string> stub = readFile(exe);

    // Interactively, up to the Install button; its wait for the program runs alongside the silent one's.
    Process setup(quoted(setupExe()) + L" /D=" + directory, setupEnvironment(false));
    Wizard wizard(setup);
    wizard.chooseLanguage(L"English");
    ASSERT_TRUE(wizard.waitForPage(L"Setup will install Hourwarden"));
    wizard.next();
    ASSERT_TRUE(wizard.waitForPage(directory));
    wizard.next();

    // Silently: after the installer's wait, a non-zero exit code and nothing installed.
    EXPECT_EQ(runSetup(L"/S /D=" + directory, setupEnvironment(false)), std::optional<DWORD>(2));
    EXPECT_FALSE(stubborn.process().hasExited());
    EXPECT_TRUE(readFile(exe) == stub) << "the running program was replaced";
    EXPECT_FALSE(registryKeyExists(kUninstallKey));
    EXPECT_FALSE(registryString(kRunKey, L"Hourwarden").has_value());

    // Interactively: the user is told, closes the program and retries.
    HWND stillRunningBox = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        for (HWND dialog : processWindows(setup.id(), kDialogClass)) {
            if (findDescendantWithTextPrefix(dialog, L"Hourwarden is still running and did not close.") != nullptr) {
                stillRunningBox = dialog;
                return true;
            }
        }
        return false;
    })) << "no message about the running program";
    EXPECT_TRUE(readFile(exe) == stub) << "the running program was replaced";
    stubborn.release();
    ASSERT_EQ(stubborn.process().wait(), std::optional<DWORD>(0));
    PostMessageW(stillRunningBox, WM_COMMAND, IDRETRY, 0);
    ASSERT_TRUE(wizard.waitForPage(L"Hourwarden " + toWide(HOURWARDEN_EXPECTED_VERSION) + L" is installed"));
    wizard.next();
    ASSERT_EQ(setup.wait(), std::optional<DWORD>(0));
    EXPECT_TRUE(readFile(directory + L"\\Hourwarden.exe") == readFile(builtProgram())) << "not the built program";
}

// ---- The installation an administrator makes for another account ----
//
// Wine has one account, which is an administrator: the current account stands
// in for the child's. Wine runs no task at logon and its scheduler keeps only a
// task's settings, so the program is not started here and the logon trigger
// is not read back.

namespace {

constexpr wchar_t kAccountUninstallKeyPrefix[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Hourwarden-";
constexpr wchar_t kStartupApprovedKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
constexpr wchar_t kSettingsLogDigestValue[] = L"SettingsLogDigest";
constexpr DWORD kFullControl = 0x1f01ff;
constexpr DWORD kReadAndExecute = 0x1200a9;
constexpr DWORD kReadWriteData = 0x12008f;

std::wstring currentAccount()
{
    wchar_t name[256] = {};
    DWORD size = 256;
    return GetUserNameW(name, &size) ? name : L"";
}

std::wstring accountFolder(const std::wstring& account)
{
    return knownFolder(FOLDERID_ProgramFilesX64) + L"\\Hourwarden\\" + account;
}

std::wstring accountUninstallKey(const std::wstring& account)
{
    return kAccountUninstallKeyPrefix + account;
}

// The registered definition of the account's task, as the scheduler gives it back.
std::optional<std::wstring> taskDefinition(const std::wstring& account)
{
    ComScope com;
    ComRef<ITaskFolder> folder;
    ComRef<IRegisteredTask> task;
    Bstr xml;
    if (!openTaskFolder(folder) || FAILED(folder->GetTask(Bstr(account), task.put())) ||
        FAILED(task->get_Xml(xml.put())) || xml == nullptr) {
        return std::nullopt;
    }
    return std::wstring(xml);
}

// The tasks of the program's folder, as the scheduler keeps them on disk (one
// file each; Wine's scheduler cannot list a folder through its interface).
std::vector<std::wstring> registeredTasks()
{
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return directoryEntries(std::wstring(system) + L"\\Tasks" + kTaskFolder);
}

void deleteTask(const std::wstring& account)
{
    ComScope com;
    ComRef<ITaskFolder> folder;
    if (openTaskFolder(folder)) {
        folder->DeleteTask(Bstr(account), 0);
    }
}

std::wstring sidText(PSID sid)
{
    LPWSTR text = nullptr;
    std::wstring result;
    if (sid != nullptr && ConvertSidToStringSidW(sid, &text)) {
        result = text;
        LocalFree(text);
    }
    return result;
}

std::wstring accountSid(const std::wstring& account)
{
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD sidSize = sizeof sid;
    wchar_t domain[256] = {};
    DWORD domainSize = 256;
    SID_NAME_USE use = SidTypeUnknown;
    return LookupAccountNameW(nullptr, account.c_str(), sid, &sidSize, domain, &domainSize, &use) ? sidText(sid)
                                                                                                     : L"";
}

// What every reading of a file's or folder's access list shares: whether it
// could be read, whether it is protected from inheritance, and its owner.
struct AccessListHead {
    bool read = false;
    bool isProtected = false;
    std::wstring owner;
};

// Reads the list of `path` into `head` and hands each entry to `visit`.
template <typename Visit>
void readAccessList(const std::wstring& path, AccessListHead& head, Visit visit)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return;
    }
    head.read = dacl != nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    head.isProtected = GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED);
    head.owner = sidText(owner);
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
            visit(*header);
        }
    }
    LocalFree(descriptor);
}

// A file's or folder's owner and what each SID may do by its access list.
struct AccessList : AccessListHead {
    std::map<std::wstring, DWORD> allowed;  // SID text -> rights of its allow entries
    bool hasDenyEntries = false;
};

AccessList accessListOf(const std::wstring& path)
{
    AccessList list;
    readAccessList(path, list, [&](ACE_HEADER& header) {
        if (header.AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(&header);
            // Entries that only pass to children say nothing about this object itself.
            if ((header.AceFlags & INHERIT_ONLY_ACE) == 0) {
                list.allowed[sidText(&ace->SidStart)] |= ace->Mask;
            }
        } else {
            list.hasDenyEntries = true;
        }
    });
    return list;
}

constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";
constexpr wchar_t kSystemSid[] = L"S-1-5-18";

// Administrators and SYSTEM may do everything, the account exactly `accountRights`, nobody else anything.
void expectAccessList(const std::wstring& path, const std::wstring& sid, DWORD accountRights)
{
    SCOPED_TRACE(toUtf8(path));
    const AccessList list = accessListOf(path);
    ASSERT_TRUE(list.read) << "no access list";
    EXPECT_TRUE(list.isProtected) << "inherits from its parent";
    EXPECT_EQ(list.owner, kAdministratorsSid);
    EXPECT_FALSE(list.hasDenyEntries);
    const std::map<std::wstring, DWORD> expected = {
        {kAdministratorsSid, kFullControl}, {kSystemSid, kFullControl}, {sid, accountRights}};
    EXPECT_EQ(list.allowed, expected);
}

constexpr wchar_t kOwnerRightsSid[] = L"S-1-3-4";

// Every allow entry of a list with its inheritance flags, inherit-only ones
// included; what they give to the files created in a folder is part of it.
struct AccessEntry {
    BYTE flags;
    DWORD mask;
    std::wstring sid;
    auto operator<=>(const AccessEntry&) const = default;
};

struct EntryList : AccessListHead {
    std::set<AccessEntry> entries;  // a deny entry reads as one with mask 0
};

EntryList accessEntriesOf(const std::wstring& path)
{
    EntryList list;
    readAccessList(path, list, [&](ACE_HEADER& header) {
        const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(&header);
        const bool allows = header.AceType == ACCESS_ALLOWED_ACE_TYPE;
        list.entries.insert({header.AceFlags, allows ? ace->Mask : 0, sidText(const_cast<DWORD*>(&ace->SidStart))});
    });
    return list;
}

// Into HOURWARDEN_SCREENSHOT_DIR, when it is set, once the page has settled.
void saveScreenshot(HWND window, const wchar_t* name)
{
    const char* directory = std::getenv("HOURWARDEN_SCREENSHOT_DIR");
    if (directory == nullptr || *directory == '\0') {
        return;
    }
    ASSERT_TRUE(waitUntil([&] { return windowLooksSettled(window); }));
    EXPECT_TRUE(saveWindowBitmap(window, windowsPathFromEnvironment("HOURWARDEN_SCREENSHOT_DIR") + L"\\" + name));
}

std::wstring accountSetupArguments(const std::wstring& account)
{
    return L"/S /LANG=en /FORUSER=" + account + L" /PASSWORD=tea-time /EXITNEEDSPASSWORD";
}

// Runs the quiet uninstall command of the account's installation and waits for its entry to go.
void uninstallForAccount(const std::wstring& account)
{
    const std::wstring key = accountUninstallKey(account);
    const std::optional<std::wstring> command = registryString(key.c_str(), L"QuietUninstallString", HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(command.has_value());
    Process uninstall(*command);
    ASSERT_TRUE(uninstall.started());
    ASSERT_EQ(uninstall.wait(kSetupTimeoutMs), std::optional<DWORD>(0));
    ASSERT_TRUE(waitUntil([&] { return !registryKeyExists(key.c_str(), HKEY_LOCAL_MACHINE); }, kSetupTimeoutMs));
}

class AccountInstallerTest : public InstallerTest {
protected:
    void SetUp() override
    {
        InstallerTest::SetUp();
        account_ = currentAccount();
        ASSERT_FALSE(account_.empty());
        ASSERT_FALSE(registryKeyExists(accountUninstallKey(account_).c_str(), HKEY_LOCAL_MACHINE));
        ASSERT_FALSE(directoryExists(accountFolder(account_)));
    }

    void TearDown() override
    {
        if (registryKeyExists(accountUninstallKey(account_).c_str(), HKEY_LOCAL_MACHINE)) {
            uninstallForAccount(account_);
        }
        deleteTask(account_);
        removeTree(knownFolder(FOLDERID_ProgramFilesX64) + L"\\Hourwarden");
        InstallerTest::TearDown();
    }

    const std::wstring& account() const { return account_; }
    std::wstring folder() const { return accountFolder(account_); }
    std::wstring exe() const { return folder() + L"\\Hourwarden.exe"; }
    std::wstring journal() const { return folder() + L"\\journal"; }
    std::wstring settingsLog() const { return journal() + L"\\settings.log"; }

    // The digest of settings.log's first record, as setup keeps it where only administrators write.
    std::string storedDigest() const
    {
        const std::optional<std::wstring> text =
            registryString(accountUninstallKey(account_).c_str(), kSettingsLogDigestValue, HKEY_LOCAL_MACHINE);
        return text ? toUtf8(*text) : std::string();
    }
    // What the program reads from settings.log, checked against that digest.
    std::optional<SettingsInForce> settingsInForce() const
    {
        return checkSettingsLog(readFile(settingsLog()).value_or(""), storedDigest());
    }
    // A day log as the program names and writes it.
    std::wstring writeDayLog(const std::wstring& date, int64_t seconds) const
    {
        static uint8_t next = 0;
        const std::wstring name = dayLogName(date, std::vector<uint8_t>(kDayLogRandomBytes, ++next));
        EXPECT_TRUE(writeFile(journal() + L"\\" + name, dayRecordLine(date, seconds) + "\n"));
        return name;
    }

private:
    std::wstring account_;
};

}  // namespace

TEST_F(AccountInstallerTest, SilentInstallMakesFilesTheAccountCannotChangeAndATaskItCannotSwitchOff)
{
    ASSERT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(true)), std::optional<DWORD>(0));

    // The files, and nothing of the setup's own left beside them.
    EXPECT_TRUE(readFile(exe()) == readFile(builtProgram())) << "not the built program";
    std::vector<std::wstring> entries = directoryEntries(folder());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::wstring>{L"Hourwarden.exe", L"config.json", L"data.json", L"journal",
                                                  L"uninstall.exe"}));
    EXPECT_EQ(readFile(folder() + L"\\config.json"), expectedFirstConfig(Language::English));
    // The journal: settings.log alone, its first record the root kept in the machine-wide entry.
    EXPECT_EQ(directoryEntries(journal()), std::vector<std::wstring>{L"settings.log"});
    EXPECT_EQ(storedDigest().size(), 64u);
    const std::optional<SettingsInForce> settings = settingsInForce();
    ASSERT_TRUE(settings.has_value()) << readFile(settingsLog()).value_or("(no settings.log)");
    EXPECT_EQ(settings->settings.dailyLimitMinutes, 120);
    EXPECT_TRUE(settings->settings.showLastThreeMinuteNotifications);
    EXPECT_TRUE(settings->settings.requirePasswordOnExit);
    EXPECT_TRUE(verifyPasswordHash(L"tea-time", settings->settings.passwordVerifier));
    // The settings password as the program keeps it, and its guard on the exit.
    DailyUsage usage;
    const std::string data = readFile(folder() + L"\\data.json").value_or("");
    ASSERT_TRUE(parseUsageText(data, usage)) << data;
    EXPECT_TRUE(verifyPasswordHash(L"tea-time", usage.settingsPassword)) << data;
    EXPECT_TRUE(usage.requirePasswordOnExit);
    EXPECT_EQ(usage.usedSeconds, 0);
    EXPECT_EQ(usage.date, todayDate());
    EXPECT_EQ(data, usageFileText(usage)) << "not the program's own text";

    // Started by the task only: no Run value, no entry of the account's own.
    EXPECT_FALSE(registryString(kRunKey, L"Hourwarden").has_value());
    EXPECT_FALSE(registryKeyExists(kUninstallKey));
    const std::wstring key = accountUninstallKey(account());
    EXPECT_EQ(registryString(key.c_str(), L"InstallLocation", HKEY_LOCAL_MACHINE), folder());
    EXPECT_EQ(registryString(key.c_str(), L"DisplayName", HKEY_LOCAL_MACHINE), L"Hourwarden (" + account() + L")");
    EXPECT_EQ(registryString(key.c_str(), L"QuietUninstallString", HKEY_LOCAL_MACHINE),
              quoted(folder() + L"\\uninstall.exe") + L" /S");

    const std::optional<std::wstring> task = taskDefinition(account());
    ASSERT_TRUE(task.has_value()) << "no task \\Hourwarden\\" << toUtf8(account());
    for (const wchar_t* setting : {L"<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>",
                                   L"<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>",
                                   L"<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>",
                                   L"<AllowHardTerminate>false</AllowHardTerminate>",
                                   L"<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>"}) {
        EXPECT_NE(task->find(setting), std::wstring::npos) << toUtf8(setting) << " in " << toUtf8(*task);
    }
    // The access lists: SilentInstallGivesTheFolderAndEachFileItsAccessList_WindowsOnly.
}

// Wine keeps no access lists (it shows one made up from the Unix mode): only
// Windows shows what setup asked for. What the account may then do with them is
// tried as the account: AccountSide.* (scripts/windows-checks.cmd).
TEST_F(AccountInstallerTest, SilentInstallGivesTheFolderAndEachFileItsAccessList_WindowsOnly)
{
    SKIP_UNLESS_REAL_WINDOWS("Wine keeps no file owners or access lists");
    ASSERT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(true)), std::optional<DWORD>(0));
    const std::wstring sid = accountSid(account());
    ASSERT_FALSE(sid.empty());
    const struct {
        std::wstring path;
        DWORD accountRights;
    } objects[] = {
        {folder(), kReadAndExecute},
        {exe(), kReadAndExecute},
        {folder() + L"\\uninstall.exe", kReadAndExecute},
        {folder() + L"\\config.json", kReadWriteData},
        {folder() + L"\\data.json", kReadWriteData},
    };
    for (const auto& object : objects) {
        expectAccessList(object.path, sid, object.accountRights);
    }
}

namespace {

// The text of the first <tag>...</tag> inside the first <section>...</section> of a task's XML.
std::wstring elementIn(const std::wstring& xml, const std::wstring& section, const std::wstring& tag)
{
    const size_t begin = xml.find(L"<" + section);
    const size_t end = xml.find(L"</" + section + L">", begin == std::wstring::npos ? 0 : begin);
    if (begin == std::wstring::npos || end == std::wstring::npos) {
        return L"?";
    }
    const std::wstring part = xml.substr(begin, end - begin);
    const size_t open = part.find(L"<" + tag + L">");
    const size_t close = part.find(L"</" + tag + L">");
    if (open == std::wstring::npos || close == std::wstring::npos || close < open) {
        return L"?";
    }
    const size_t from = open + tag.size() + 2;
    return part.substr(from, close - from);
}

// Whether the scheduler's spelling of a user (its SID, NAME or COMPUTER\\NAME) names `account`.
bool namesAccount(const std::wstring& userId, const std::wstring& account, const std::wstring& sid)
{
    const size_t slash = userId.find_last_of(L'\\');
    const std::wstring name = slash == std::wstring::npos ? userId : userId.substr(slash + 1);
    return equalsIgnoringCase(userId, sid) || equalsIgnoringCase(name, account);
}

// The task's own access list as the scheduler gives it back, or nothing.
std::optional<std::wstring> taskSecurity(const std::wstring& account)
{
    ComScope com;
    ComRef<ITaskFolder> folder;
    ComRef<IRegisteredTask> task;
    Bstr sddl;
    if (!openTaskFolder(folder) || FAILED(folder->GetTask(Bstr(account), task.put())) ||
        FAILED(task->GetSecurityDescriptor(DACL_SECURITY_INFORMATION, sddl.put())) || sddl == nullptr) {
        return std::nullopt;
    }
    return std::wstring(sddl);
}

}  // namespace

// Wine's scheduler keeps only a task's settings and never runs a logon
// trigger: only Windows gives back the trigger, the principal, the command and
// the task's own access list as setup registered them. That the account cannot
// change, disable, end or delete the task is tried as the account
// (AccountSide.TheAccountCannotChangeDisableEndOrDeleteItsTask_WindowsOnly);
// that the trigger starts the program at sign-in is a manual step of
// scripts/windows-checks.cmd.
TEST_F(AccountInstallerTest, TheTaskStartsTheProgramAtTheAccountsLogonWithItsOwnLimitedRights_WindowsOnly)
{
    SKIP_UNLESS_REAL_WINDOWS("Wine's Task Scheduler keeps no trigger, principal or access list of a task");
    ASSERT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(true)), std::optional<DWORD>(0));
    const std::wstring sid = accountSid(account());
    ASSERT_FALSE(sid.empty());
    const std::optional<std::wstring> task = taskDefinition(account());
    ASSERT_TRUE(task.has_value());
    const std::string xml = toUtf8(*task);

    EXPECT_TRUE(namesAccount(elementIn(*task, L"LogonTrigger", L"UserId"), account(), sid)) << xml;
    EXPECT_EQ(elementIn(*task, L"LogonTrigger", L"Enabled"), L"true") << xml;
    EXPECT_EQ(elementIn(*task, L"Repetition", L"Interval"), L"PT5M") << xml;
    EXPECT_TRUE(namesAccount(elementIn(*task, L"Principal", L"UserId"), account(), sid)) << xml;
    EXPECT_EQ(elementIn(*task, L"Principal", L"LogonType"), L"InteractiveToken") << xml;
    EXPECT_EQ(elementIn(*task, L"Principal", L"RunLevel"), L"LeastPrivilege") << xml;
    EXPECT_TRUE(equalsIgnoringCase(elementIn(*task, L"Exec", L"Command"), exe())) << xml;
    EXPECT_EQ(elementIn(*task, L"Settings", L"Enabled"), L"true") << xml;

    // The account reads the task, and nothing more.
    const std::optional<std::wstring> sddl = taskSecurity(account());
    ASSERT_TRUE(sddl.has_value());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl->c_str(), SDDL_REVISION_1, &descriptor,
                                                                     nullptr))
        << toUtf8(*sddl);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr) << toUtf8(*sddl);
    DWORD accountRights = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&header)) && header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            const std::wstring aceSid = sidText(&ace->SidStart);
            // Everyone, Users, Authenticated Users and Interactive would reach the account too.
            if (aceSid == sid || aceSid == L"S-1-1-0" || aceSid == L"S-1-5-32-545" || aceSid == L"S-1-5-11" ||
                aceSid == L"S-1-5-4") {
                accountRights |= ace->Mask;
            }
        }
    }
    LocalFree(descriptor);
    // FILE_GENERIC_READ, as "FR" in the registered list; no write, delete, WRITE_DAC or WRITE_OWNER.
    EXPECT_EQ(accountRights & ~static_cast<DWORD>(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE), 0u)
        << toUtf8(*sddl);
    EXPECT_NE(accountRights & FILE_READ_DATA, 0u) << "the account cannot read its task: " << toUtf8(*sddl);
}

// An upgrade ends the account's copy (found by its full path, never by its
// class: a copy from elsewhere goes on), keeps both files and the one task.
TEST_F(AccountInstallerTest, SilentUpgradeEndsOnlyTheAccountsCopyAndKeepsFilesAndTheOneTask)
{
    ASSERT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(true)), std::optional<DWORD>(0));
    AppConfig config;
    config.dailyLimitMinutes = 45;
    DailyUsage usage;
    usage.date = todayDate();
    usage.usedSeconds = 1234;
    usage.settingsPassword = hashPassword(L"kept");
    ASSERT_TRUE(writeFile(folder() + L"\\config.json", configFileText(config)));
    ASSERT_TRUE(writeFile(folder() + L"\\data.json", usageFileText(usage)));
    std::string olderBuild = readFile(exe()).value_or("") + "an older build";
    ASSERT_TRUE(writeFile(exe(), olderBuild));

    // The account's copy, and a copy of the same program in another folder.
    const std::wstring elsewhere = customInstallDirectory() + L"\\Hourwarden.exe";
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, customInstallDirectory().c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(CopyFileW(builtProgram().c_str(), elsewhere.c_str(), FALSE));
    Process accountsCopy(quoted(exe()));
    Process otherCopy(quoted(elsewhere));
    ASSERT_TRUE(waitUntil([&] {
        return programRunningFrom(exe()).has_value() && programRunningFrom(elsewhere).has_value();
    }));
    // The account's copy counts, so its data.json is its own from here on.
    usage = {};
    ASSERT_TRUE(parseUsageText(readFile(folder() + L"\\data.json").value_or(""), usage));

    ASSERT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(true)), std::optional<DWORD>(0));

    EXPECT_TRUE(accountsCopy.hasExited()) << "the account's copy still runs";
    EXPECT_FALSE(otherCopy.hasExited()) << "a copy from another folder was ended";
    EXPECT_TRUE(readFile(exe()) == readFile(builtProgram())) << "not the built program";
    EXPECT_EQ(readFile(folder() + L"\\config.json"), configFileText(config));
    DailyUsage kept;
    ASSERT_TRUE(parseUsageText(readFile(folder() + L"\\data.json").value_or(""), kept));
    EXPECT_EQ(kept.settingsPassword, usage.settingsPassword) << "the password was written over";
    EXPECT_GE(kept.usedSeconds, 1234);
    EXPECT_EQ(registeredTasks(), std::vector<std::wstring>{account()});
    EXPECT_TRUE(taskDefinition(account()).has_value());
}

// A data.json the program cannot read (zeroed by a power cut, edited into
// garbage) counts the day as spent for good: an administrator repairs it by
// running setup again, which writes a new one with the password given, as at a
// first install. The settings stay as they were.
TEST_F(AccountInstallerTest, SetupAgainReplacesADataFileTheProgramCannotRead)
{
    ASSERT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(true)), std::optional<DWORD>(0));
    AppConfig config;
    config.dailyLimitMinutes = 45;
    ASSERT_TRUE(writeFile(folder() + L"\\config.json", configFileText(config)));
    for (const std::string& damaged : {std::string(300, '\0'), std::string("{\n  \"date\": \"2024-0")}) {
        SCOPED_TRACE(damaged.size());
        ASSERT_TRUE(writeFile(folder() + L"\\data.json", damaged));
        ASSERT_EQ(runSetup(L"/S /LANG=en /FORUSER=" + account() + L" /PASSWORD=fresh-start", setupEnvironment(true)),
                  std::optional<DWORD>(0));
        DailyUsage usage;
        const std::string data = readFile(folder() + L"\\data.json").value_or("");
        ASSERT_TRUE(parseUsageText(data, usage)) << data;
        EXPECT_TRUE(verifyPasswordHash(L"fresh-start", usage.settingsPassword)) << data;
        EXPECT_FALSE(usage.requirePasswordOnExit);
        EXPECT_EQ(usage.date, todayDate());
        EXPECT_EQ(data, usageFileText(usage)) << "not the program's own text";
        EXPECT_EQ(readFile(folder() + L"\\config.json"), configFileText(config));
    }
}

// An upgrade keeps settings.log, whatever it is given, and its digest; of the
// day logs it removes only those more than 31 days old.
TEST_F(AccountInstallerTest, SilentUpgradeKeepsTheJournalAndRemovesDayLogsOlderThan31Days)
{
    ASSERT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(false)), std::optional<DWORD>(0));
    const std::optional<std::string> log = readFile(settingsLog());
    const std::string digest = storedDigest();
    ASSERT_TRUE(log.has_value());
    std::vector<std::wstring> kept = {L"settings.log", writeDayLog(todayDate(), 600), writeDayLog(dateDaysAgo(31), 60)};
    const std::vector<std::wstring> removed = {writeDayLog(dateDaysAgo(32), 60), writeDayLog(dateDaysAgo(400), 60)};

    ASSERT_EQ(runSetup(L"/S /LANG=en /FORUSER=" + account() + L" /PASSWORD=other /LIMIT=30", setupEnvironment(false)),
              std::optional<DWORD>(0));

    EXPECT_EQ(readFile(settingsLog()), log);
    EXPECT_EQ(storedDigest(), digest);
    std::vector<std::wstring> left = directoryEntries(journal());
    std::sort(left.begin(), left.end());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(left, kept);
}

// A settings.log the program takes for tampered counts the day as spent: an
// administrator repairs it by running setup again, which writes a new one from
// what it is given and keeps its new digest. The day logs stay.
TEST_F(AccountInstallerTest, SetupAgainWritesANewSettingsLogOverATamperedOneAndKeepsTheDayLogs)
{
    ASSERT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(false)), std::optional<DWORD>(0));
    const std::wstring dayLog = writeDayLog(todayDate(), 1800);
    const std::optional<std::string> dayBytes = readFile(journal() + L"\\" + dayLog);
    const std::string digest = storedDigest();
    ASSERT_TRUE(settingsInForce().has_value());
    ASSERT_TRUE(writeFile(settingsLog(), readFile(settingsLog()).value_or("") + "garbage\n"));
    ASSERT_FALSE(settingsInForce().has_value());

    ASSERT_EQ(runSetup(L"/S /LANG=en /FORUSER=" + account() + L" /PASSWORD=fresh-start /LIMIT=30", setupEnvironment(false)),
              std::optional<DWORD>(0));

    EXPECT_NE(storedDigest(), digest);
    const std::optional<SettingsInForce> settings = settingsInForce();
    ASSERT_TRUE(settings.has_value()) << readFile(settingsLog()).value_or("(no settings.log)");
    EXPECT_EQ(settings->settings.dailyLimitMinutes, 30);
    EXPECT_FALSE(settings->settings.requirePasswordOnExit);
    EXPECT_TRUE(verifyPasswordHash(L"fresh-start", settings->settings.passwordVerifier));
    EXPECT_EQ(readFile(journal() + L"\\" + dayLog), dayBytes);
    std::vector<std::wstring> entries = directoryEntries(journal());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::wstring>{dayLog, L"settings.log"}));
}

// An installation made before the journal has neither the folder nor the
// digest: setup makes both from what it is given, never from the files, and
// keeps data.json and config.json.
TEST_F(AccountInstallerTest, SetupMovesAnInstallationMadeBeforeTheJournalOntoIt)
{
    ASSERT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(false)), std::optional<DWORD>(0));
    ASSERT_TRUE(removeTree(journal()));
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, accountUninstallKey(account()).c_str(), kSettingsLogDigestValue),
              ERROR_SUCCESS);
    AppConfig config;
    config.dailyLimitMinutes = 45;
    config.showLastThreeMinuteNotifications = false;
    ASSERT_TRUE(writeFile(folder() + L"\\config.json", configFileText(config)));
    const std::optional<std::string> data = readFile(folder() + L"\\data.json");

    ASSERT_EQ(runSetup(L"/S /LANG=en /FORUSER=" + account() + L" /PASSWORD=moved /LIMIT=90", setupEnvironment(false)),
              std::optional<DWORD>(0));

    EXPECT_EQ(directoryEntries(journal()), std::vector<std::wstring>{L"settings.log"});
    const std::optional<SettingsInForce> settings = settingsInForce();
    ASSERT_TRUE(settings.has_value()) << readFile(settingsLog()).value_or("(no settings.log)");
    EXPECT_EQ(settings->settings.dailyLimitMinutes, 90) << "the limit comes from setup, not config.json";
    EXPECT_FALSE(settings->settings.showLastThreeMinuteNotifications) << "the notifications come from config.json";
    EXPECT_FALSE(settings->settings.requirePasswordOnExit);
    EXPECT_TRUE(verifyPasswordHash(L"moved", settings->settings.passwordVerifier));
    EXPECT_EQ(readFile(folder() + L"\\data.json"), data);
    EXPECT_EQ(readFile(folder() + L"\\config.json"), configFileText(config));
}

// /LIMIT= outside 1..1440, or not a plain number, changes nothing; a good one
// is the first config.json's limit.
TEST_F(AccountInstallerTest, LimitOutsideOneTo1440IsRefusedAndAGoodOneIsTheFirstConfigsLimit)
{
    for (const wchar_t* limit : {L"0", L"1441", L"90x", L"0x5a"}) {
        SCOPED_TRACE(toUtf8(limit));
        EXPECT_EQ(runSetup(accountSetupArguments(account()) + L" /LIMIT=" + limit, setupEnvironment(false)),
                  std::optional<DWORD>(2));
        EXPECT_FALSE(directoryExists(folder()));
        EXPECT_FALSE(registryKeyExists(accountUninstallKey(account()).c_str(), HKEY_LOCAL_MACHINE));
    }
    ASSERT_EQ(runSetup(accountSetupArguments(account()) + L" /LIMIT=1440", setupEnvironment(false)),
              std::optional<DWORD>(0));
    AppConfig config;
    config.dailyLimitMinutes = 1440;
    EXPECT_EQ(readFile(folder() + L"\\config.json"), configFileText(config));
    const std::optional<SettingsInForce> settings = settingsInForce();
    ASSERT_TRUE(settings.has_value());
    EXPECT_EQ(settings->settings.dailyLimitMinutes, 1440);
}

// On Windows only: the lists setup asked for are the ones the journal has,
// read back (Wine keeps none). Whether they hold against the account's own
// writes, cuts, renames and deletions is scripts/windows-checks.cmd's part.
TEST_F(AccountInstallerTest, TheJournalsListsLetTheAccountOnlyCreateReadAndAppend_WindowsOnly)
{
    SKIP_UNLESS_REAL_WINDOWS("file owners and access lists");
    ASSERT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(false)), std::optional<DWORD>(0));
    const std::wstring sid = accountSid(account());
    ASSERT_FALSE(sid.empty());
    constexpr BYTE kToEverythingBelow = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    constexpr BYTE kToFilesOnly = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
    constexpr DWORD kListReadCreate = 0x1200ab;
    constexpr DWORD kReadAppend = 0x12008d;
    const EntryList folderList = accessEntriesOf(journal());
    ASSERT_TRUE(folderList.read);
    EXPECT_TRUE(folderList.isProtected);
    EXPECT_EQ(folderList.owner, kAdministratorsSid);
    EXPECT_EQ(folderList.entries, (std::set<AccessEntry>{
                                      {kToEverythingBelow, kFullControl, kSystemSid},
                                      {kToEverythingBelow, kFullControl, kAdministratorsSid},
                                      {0, kListReadCreate, sid},
                                      {kToFilesOnly, kReadAppend, sid},
                                      {kToFilesOnly, kReadAppend, kOwnerRightsSid},
                                  }));
    const EntryList logList = accessEntriesOf(settingsLog());
    ASSERT_TRUE(logList.read);
    EXPECT_FALSE(logList.isProtected) << "settings.log takes its list from the folder";
    EXPECT_EQ(logList.owner, kAdministratorsSid);
    EXPECT_EQ(logList.entries, (std::set<AccessEntry>{
                                   {INHERITED_ACE, kFullControl, kSystemSid},
                                   {INHERITED_ACE, kFullControl, kAdministratorsSid},
                                   {INHERITED_ACE, kReadAppend, sid},
                                   {INHERITED_ACE, kReadAppend, kOwnerRightsSid},
                               }));
}

TEST_F(AccountInstallerTest, UninstallRemovesTheTaskTheFolderAndTheEntryAndNothingElse)
{
    ASSERT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(true)), std::optional<DWORD>(0));
    // Someone else's file beside the account's folder.
    const std::wstring parent = knownFolder(FOLDERID_ProgramFilesX64) + L"\\Hourwarden";
    ASSERT_TRUE(writeFile(parent + L"\\neighbour.txt", "not ours"));
    // The journal with a day log of the program's and a file the account made there, marked read-only.
    writeDayLog(todayDate(), 60);
    const std::wstring accountsFile = journal() + L"\\mine.txt";
    ASSERT_TRUE(writeFile(accountsFile, "mine"));
    ASSERT_TRUE(SetFileAttributesW(accountsFile.c_str(), FILE_ATTRIBUTE_READONLY));

    uninstallForAccount(account());

    EXPECT_FALSE(directoryExists(folder())) << "left: " << directoryEntries(folder()).size() << " entries";
    EXPECT_FALSE(taskDefinition(account()).has_value()) << "the task is still registered";
    EXPECT_EQ(readFile(parent + L"\\neighbour.txt"), std::optional<std::string>("not ours"));
    EXPECT_TRUE(directoryExists(knownFolder(FOLDERID_ProgramFilesX64)));
}

// Refusals leave everything as it was, with exit code 2.
TEST_F(AccountInstallerTest, UnknownAccountAndForeignFoldersAreRefused)
{
    EXPECT_EQ(runSetup(L"/S /FORUSER=no-such-account-hw", setupEnvironment(true)), std::optional<DWORD>(2));
    EXPECT_FALSE(directoryExists(knownFolder(FOLDERID_ProgramFilesX64) + L"\\Hourwarden"));
    EXPECT_FALSE(registryKeyExists(accountUninstallKey(L"no-such-account-hw").c_str(), HKEY_LOCAL_MACHINE));

    // A folder of that name that this setup did not make.
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, folder().c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(writeFile(folder() + L"\\foreign.txt", "someone's"));
    EXPECT_EQ(runSetup(accountSetupArguments(account()), setupEnvironment(true)), std::optional<DWORD>(2));
    EXPECT_EQ(directoryEntries(folder()), std::vector<std::wstring>{L"foreign.txt"});
    EXPECT_FALSE(registryKeyExists(accountUninstallKey(account()).c_str(), HKEY_LOCAL_MACHINE));
    EXPECT_FALSE(taskDefinition(account()).has_value());

    // For this account: a folder with files but no program.
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, customInstallDirectory().c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(writeFile(customInstallDirectory() + L"\\notes.txt", "mine"));
    EXPECT_EQ(runSetup(L"/S /D=" + customInstallDirectory(), setupEnvironment(false)), std::optional<DWORD>(2));
    EXPECT_EQ(directoryEntries(customInstallDirectory()), std::vector<std::wstring>{L"notes.txt"});
    EXPECT_FALSE(registryKeyExists(kUninstallKey));
}

// Interactively, an administrator is offered the installation for another
// account first; the account is checked, and the password must be typed the
// same twice.
TEST_F(AccountInstallerTest, InteractiveInstallAsksForTheAccountAndThePasswordTwice)
{
    Process setup(quoted(setupExe()) + L" /LANG=en", setupEnvironment(true));
    Wizard wizard(setup);
    ASSERT_TRUE(wizard.waitForPage(L"Setup will install Hourwarden"));
    wizard.next();

    ASSERT_TRUE(wizard.waitForPage(L"For another account (recommended for a child)"));
    const HWND recommended = findDescendantWithTextPrefix(wizard.window(), L"For another account");
    EXPECT_EQ(SendMessageW(recommended, BM_GETCHECK, 0, 0), BST_CHECKED);
    const std::vector<HWND> accountFields = visibleDescendantsOfClass(wizard.window(), L"Edit");
    ASSERT_EQ(accountFields.size(), 1u);
    saveScreenshot(wizard.window(), L"installer-mode.bmp");
    // An unknown account keeps the page; the known one goes on.
    SendMessageW(accountFields.front(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"no-such-account-hw"));
    wizard.next();
    ASSERT_TRUE(wizard.dismissBox(L"There is no local account with this name."));
    SendMessageW(accountFields.front(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(account().c_str()));
    wizard.next();

    ASSERT_TRUE(wizard.waitForPage(L"Confirm password:"));
    std::vector<HWND> passwordFields;
    ASSERT_TRUE(waitUntil([&] {
        passwordFields = visibleDescendantsOfClass(wizard.window(), L"Edit");
        return passwordFields.size() == 2;
    }));
    saveScreenshot(wizard.window(), L"installer-password.bmp");
    SendMessageW(passwordFields[0], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"Lemon tree"));
    SendMessageW(passwordFields[1], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"lemon tree"));
    wizard.next();
    ASSERT_TRUE(wizard.dismissBox(L"The two passwords differ."));
    SendMessageW(passwordFields[0], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"lemon tree"));
    wizard.next();

    ASSERT_TRUE(wizard.waitForPage(L"Hourwarden " + toWide(HOURWARDEN_EXPECTED_VERSION) + L" is installed for the account"));
    wizard.next();
    ASSERT_EQ(setup.wait(), std::optional<DWORD>(0));
    DailyUsage usage;
    ASSERT_TRUE(parseUsageText(readFile(folder() + L"\\data.json").value_or(""), usage));
    EXPECT_TRUE(verifyPasswordHash(L"lemon tree", usage.settingsPassword));
    EXPECT_TRUE(usage.requirePasswordOnExit) << "the exit guard is preset";
    EXPECT_TRUE(taskDefinition(account()).has_value());
}

// ---- Fixes of the installation for this account ----

// An upgrade closes only the copy from its own folder, and a start that Task
// Manager's Startup tab switched off is switched on again.
TEST_F(InstallerTest, UpgradeClosesOnlyItsOwnCopyAndSwitchesADisabledStartOnAgain)
{
    ASSERT_EQ(runSetup(L"/S", setupEnvironment(true)), std::optional<DWORD>(0));
    const std::wstring exe = defaultInstallDirectory() + L"\\Hourwarden.exe";
    std::optional<FoundWindow> first;
    ASSERT_TRUE(waitUntil([&] { return (first = programRunningFrom(exe)).has_value(); }));
    const std::wstring elsewhere = customInstallDirectory() + L"\\Hourwarden.exe";
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, customInstallDirectory().c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(CopyFileW(builtProgram().c_str(), elsewhere.c_str(), FALSE));
    Process otherCopy(quoted(elsewhere));
    ASSERT_TRUE(waitUntil([&] { return programRunningFrom(elsewhere).has_value(); }));
    // What the Startup tab writes when it disables a start.
    setRegistryBinary(kStartupApprovedKey, L"Hourwarden", {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});

    ASSERT_EQ(runSetup(L"/S", setupEnvironment(true)), std::optional<DWORD>(0));

    EXPECT_TRUE(waitUntil([&] {
        const std::optional<FoundWindow> found = programRunningFrom(exe);
        return found.has_value() && found->processId != first->processId;
    })) << "the program was not started again";
    EXPECT_FALSE(otherCopy.hasExited()) << "a copy from another folder was closed";
    EXPECT_FALSE(registryValueExists(kStartupApprovedKey, L"Hourwarden"));
}

// The new program cannot be written (another program holds the old one): the
// old program runs again before setup stops.
TEST_F(InstallerTest, FailedUpgradeStartsTheOldProgramAgain)
{
    ASSERT_EQ(runSetup(L"/S", setupEnvironment(true)), std::optional<DWORD>(0));
    const std::wstring exe = defaultInstallDirectory() + L"\\Hourwarden.exe";
    std::optional<FoundWindow> first;
    ASSERT_TRUE(waitUntil([&] { return (first = programRunningFrom(exe)).has_value(); }));
    std::string olderBuild = readFile(exe).value_or("") + "an older build";
    ASSERT_TRUE(closeAllOfClass(kControlClass));
    ASSERT_TRUE(writeFile(exe, olderBuild));
    Process running(quoted(exe));
    ASSERT_TRUE(waitUntil([&] { return programRunningFrom(exe).has_value(); }));
    // Readers may share it, writers may not: the program still starts from it, setup cannot replace it.
    HANDLE held = CreateFileW(exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    EXPECT_EQ(runSetup(L"/S", setupEnvironment(true)), std::optional<DWORD>(2));

    EXPECT_TRUE(running.hasExited());
    EXPECT_TRUE(waitUntil([&] { return programRunningFrom(exe).has_value(); }))
        << "the old program was not started again";
    CloseHandle(held);
    EXPECT_TRUE(readFile(exe) == std::optional<std::string>(olderBuild));
}

int main(int argc, char** argv)
{
    if (argc == 2 && toWide(argv[1]) == kHoldWindowSwitch) {
        return holdStubbornWindow();
    }
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        takeAccountSideArgument(toWide(argv[i]));
    }
    return RUN_ALL_TESTS();
}
