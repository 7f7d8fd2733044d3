// Hourwarden-Setup.exe and uninstall.exe under Wine, in a prefix of their own:
// where the files, registry values and shortcut land, the first config.json,
// upgrading over the running program, removal, both languages, and a program
// that will not close. Also the version resources of both executables.
#include "installerSupport.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>

#include "core/passwordHash.h"
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
    StubbornProgram() : release_(CreateEventW(nullptr, TRUE, FALSE, kReleaseEventName))
    {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        process_ = Process(quoted(self) + L" " + kHoldWindowSwitch);
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
    StubbornProgram stubborn;
    ASSERT_TRUE(stubborn.holdsWindow());

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
    EXPECT_FALSE(fileExists(directory + L"\\Hourwarden.exe"));
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
    EXPECT_FALSE(fileExists(directory + L"\\Hourwarden.exe"));
    stubborn.release();
    ASSERT_EQ(stubborn.process().wait(), std::optional<DWORD>(0));
    PostMessageW(stillRunningBox, WM_COMMAND, IDRETRY, 0);
    ASSERT_TRUE(wizard.waitForPage(L"Hourwarden " + toWide(HOURWARDEN_EXPECTED_VERSION) + L" is installed"));
    wizard.next();
    ASSERT_EQ(setup.wait(), std::optional<DWORD>(0));
    EXPECT_TRUE(readFile(directory + L"\\Hourwarden.exe") == readFile(builtProgram())) << "not the built program";
}

int main(int argc, char** argv)
{
    if (argc == 2 && toWide(argv[1]) == kHoldWindowSwitch) {
        return holdStubbornWindow();
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
