// When another program holds a file open without sharing: a change made in
// the settings window is in force at once, the user is told it could not be
// saved, and it reaches the file by itself once the file is let go.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "settingsDriver.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

const std::wstring kNotSavedEn =
    L"The settings could not be saved. They apply now, and Hourwarden keeps trying to save them.";
const std::wstring kNotSavedRu =
    L"Не удалось сохранить настройки. Они уже действуют, и Hourwarden продолжает попытки их сохранить.";

// Long enough for a slow machine, short enough to tell a retry at every tick
// from a save that waits for something else.
constexpr DWORD kSavedWithinMs = 15000;

// Opens the file as a backup tool or scanner might: no sharing at all.
class HeldFile {
public:
    explicit HeldFile(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }
    ~HeldFile() { release(); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
    void release()
    {
        if (held()) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }
    // What the file holds, read through this handle (nobody else can open it).
    std::string contents() const
    {
        SetFilePointer(handle_, 0, nullptr, FILE_BEGIN);
        std::string bytes(64 * 1024, '\0');
        DWORD read = 0;
        if (!ReadFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
            return "(unreadable)";
        }
        bytes.resize(read);
        return bytes;
    }

private:
    HANDLE handle_;
};

std::vector<std::wstring> entriesOf(const std::wstring& directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

bool hasTemporaryFile(const App& app)
{
    for (const std::wstring& name : entriesOf(app.directory())) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, L".tmp") == 0) {
            return true;
        }
    }
    return false;
}

// Each counted second's save of data.json has its own temporary file for a
// moment, so one seen once proves nothing; one left behind never goes.
bool noTemporaryFileStays(const App& app)
{
    return waitUntil([&] { return !hasTemporaryFile(app); });
}

bool showsPasswordSet(HWND window)
{
    return waitUntil([&] {
        return isChecked(window, kSetPassword) && !isEnabled(window, kSetPassword) &&
               isShown(window, kChangePassword) && isShown(window, kRemovePassword) &&
               !isShown(window, kPasswordField) && isEnabled(window, kExitPassword);
    });
}

// The day is spent, so no second is counted and nothing but the retry can
// write data.json, however recent the clicks made to fill in the form.
TEST(DiskE2E, PasswordAppliedWhileDataFileIsHeldIsReportedInForceAndSavedOnceLetGo)
{
    UsageFile usage;
    usage.usedSeconds = 60;
    App app(LaunchOptions().withConfig(configWith(1)).withData(usage.text()));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);

    HeldFile data(app.directory() + L"\\data.json");
    ASSERT_TRUE(data.held());
    const std::string before = data.contents();
    ASSERT_EQ(jsonValue(before, "settings_password"), "\"\"");

    clickControl(window, kSetPassword);
    ASSERT_TRUE(waitUntil([&] { return isShown(window, kPasswordField); }));
    ASSERT_TRUE(replaceFieldText(window, kPasswordField, L"Held1"));
    ASSERT_TRUE(replaceFieldText(window, kConfirmField, L"Held1"));
    clickControl(window, kApply);

    const ShownBox box = waitForMessageBox(app);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.caption, L"Hourwarden");
    EXPECT_EQ(box.text, kNotSavedEn);
    EXPECT_EQ(GetWindow(box.window, GW_OWNER), window);
    ASSERT_TRUE(answerMessageBox(box, kBoxOk));

    // The password is in force: the window shows it set, and the settings ask for it.
    EXPECT_TRUE(showsPasswordSet(window));
    clickControl(window, kCancel);
    ASSERT_TRUE(app.waitForNoWindow(kSettingsClass));
    EXPECT_NE(requestSettings(app, kPasswordClass), nullptr);
    EXPECT_EQ(app.findWindow(kSettingsClass), nullptr);

    EXPECT_EQ(data.contents(), before);
    data.release();
    const ULONGLONG released = GetTickCount64();
    EXPECT_TRUE(app.waitForFile(L"data.json", [](const std::string& text) {
        // The password's salted hash, never the password.
        return jsonValue(text, "settings_password").rfind("\"pbkdf2-sha256$", 0) == 0;
    }, kSavedWithinMs));
    std::printf("data.json saved %llu ms after it was let go\n", GetTickCount64() - released);
    EXPECT_EQ(jsonValue(app.readFile(L"data.json"), "used_seconds"), "60");
    EXPECT_EQ(app.readFile(L"data.json").find("Held1"), std::string::npos);
    EXPECT_TRUE(noTemporaryFileStays(app));
}

// OK puts the limit in force and closes the window, after saying it could
// not be saved; in Russian, the program's language.
TEST(DiskE2E, LimitOkWhileConfigFileIsHeldIsReportedInForceAndSavedOnceLetGo)
{
    App app(LaunchOptions().withConfig(configWith(120, true, "ru")));
    ASSERT_TRUE(app.started());
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);

    HeldFile config(app.directory() + L"\\config.json");
    ASSERT_TRUE(config.held());
    const std::string before = config.contents();
    ASSERT_TRUE(replaceFieldText(window, kLimitField, L"90"));
    clickControl(window, kOk);

    const ShownBox box = waitForMessageBox(app);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.caption, L"Hourwarden");
    EXPECT_EQ(box.text, kNotSavedRu);
    ASSERT_TRUE(answerMessageBox(box, kBoxOk));
    EXPECT_TRUE(app.waitForNoWindow(kSettingsClass));

    // In force: a new settings window reads the new limit.
    window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(controlText(window, kLimitField), L"90");
    clickControl(window, kCancel);
    ASSERT_TRUE(app.waitForNoWindow(kSettingsClass));

    EXPECT_EQ(config.contents(), before);
    config.release();
    EXPECT_TRUE(app.waitForFile(L"config.json", [](const std::string& text) {
        return jsonValue(text, "daily_limit_minutes") == "90" && jsonValue(text, "language") == "\"ru\"";
    }, kSavedWithinMs));
    EXPECT_TRUE(noTemporaryFileStays(app));
}

}  // namespace

namespace {

// Rewrites both files as another program would, and expects the program to
// write the state in force over them within a few seconds.
constexpr long long kUsedSeconds = 2690;

void undoneEditsOf(const App& app)
{
    ASSERT_TRUE(app.waitForFile(L"config.json", [](const std::string& text) {
        return jsonValue(text, "daily_limit_minutes") == "45";
    }));

    ConfigFile generous;
    generous.limitMinutes = 1440;
    UsageFile fresh;
    fresh.usedSeconds = 0;
    const auto write = [&](const wchar_t* name, const std::string& text) {
        HANDLE file = CreateFileW((app.directory() + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    };
    write(L"config.json", generous.text());
    write(L"data.json", fresh.text());
    const ULONGLONG editedAt = GetTickCount64();

    EXPECT_TRUE(app.waitForFile(L"config.json", [](const std::string& text) {
        return jsonValue(text, "daily_limit_minutes") == "45";
    })) << app.readFile(L"config.json");
    EXPECT_TRUE(app.waitForFile(L"data.json", [](const std::string& text) {
        return usedSecondsIn(text) >= kUsedSeconds;
    })) << app.readFile(L"data.json");
    // Within a tick or two; the bound leaves room for a loaded machine.
    EXPECT_LT(GetTickCount64() - editedAt, 5000u);
}

// Another Windows program of the account (Notepad would do) rewrites both
// files while the program runs: the edits are undone at once, the state in
// force stays the parent's, and so it is after the next start: with the
// parent's 45 minutes the day's 2,690 seconds leave 10 s before the lock,
// where the edited 1,440 minutes would leave hours to go.
TEST(DiskE2E, FilesRewrittenByAnotherProgramShowTheStateInForceAgainAtOnce)
{
    ConfigFile parents;
    parents.limitMinutes = 45;
    std::string configLeft;
    std::string dataLeft;
    {
        App app(LaunchOptions().withConfig(parents.text()).withData(dayWithUsed(kUsedSeconds).text()));
        ASSERT_TRUE(app.started());
        undoneEditsOf(app);
        configLeft = app.readFile(L"config.json");
        dataLeft = app.readFile(L"data.json");
    }

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
// logon. The program waits a little, then runs without them: nothing is taken
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
    EXPECT_GE(GetTickCount64() - startedAt, 4000u) << "the program tried the held files for a while first";
    EXPECT_TRUE(app.waitForFile(L"data.json", [](const std::string& text) {
        return usedSecondsIn(text) >= 3002 && jsonValue(text, "require_password_on_exit") == "true" &&
               jsonValue(text, "settings_password").find("pbkdf2-sha256$1$c2FsdA==$") != std::string::npos;
    })) << app.readFile(L"data.json");
    EXPECT_EQ(jsonValue(app.readFile(L"config.json"), "daily_limit_minutes"), "60");
}

}  // namespace
