// Files the program cannot read at start give no time: the day counts as
// spent and the lock comes after the start's minute; once the files can be
// read, the parent's password, count and limit are all there. Three programs
// in three folders run side by side, so the lane waits for one minute only.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "settingsDriver.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

const std::string kLockCall = "Call user32.LockWorkStation(";
// The start's five seconds of retries, the minute of a spent day, and room for a loaded machine.
constexpr DWORD kLockWithinMs = 70000;
// The holder lets go once every lock was asked for.
constexpr DWORD kHoldMs = 80000;
constexpr char kPasswdHash[] = "pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=";  // "passwd"

struct Started {
    std::unique_ptr<App> app;
    ULONGLONG at = 0;
};

Started startApp(const LaunchOptions& options)
{
    Started started;
    started.at = GetTickCount64();
    started.app = std::make_unique<App>(options);
    return started;
}

bool lockAskedInTime(const Started& s)
{
    const ULONGLONG deadline = s.at + kLockWithinMs;
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    return waitUntil([&] { return s.app->relayCount(kLockCall) >= 1; }, left) ||
           s.app->relayCount(kLockCall) >= 1;
}

TEST(FailClosedE2E, UnreadableFilesSpendTheDayAndComeBackIntact)
{
    ActiveUser user;
    // data.json held from before the start, with 10 s of a 30-minute day left.
    UsageFile parentsDay = dayWithUsed(30 * 60 - 10);
    parentsDay.password = kPasswdHash;
    parentsDay.requirePasswordOnExit = true;
    LaunchOptions heldData =
        LaunchOptions().withConfig(configWith(30)).withData(parentsDay.text()).withRelay(kSideBySideRelay);
    heldData.holdFilesMs = kHoldMs;
    heldData.holdOnly = L"data.json";
    // config.json held, with the parent's 45 minutes and 2,690 s used: 10 s left, not 120 minutes' worth.
    LaunchOptions heldConfig = LaunchOptions()
                                   .withConfig(configWith(45))
                                   .withData(dayWithUsed(2690).text())
                                   .withRelay(kSideBySideRelay);
    heldConfig.holdFilesMs = kHoldMs;
    heldConfig.holdOnly = L"config.json";
    // data.json zeroed, as a power cut may leave it.
    const std::string zeroed(300, '\0');
    LaunchOptions zeroedData =
        LaunchOptions().withConfig(configWith(120)).withData(zeroed).withRelay(kSideBySideRelay);

    const Started data = startApp(heldData);
    const Started config = startApp(heldConfig);
    const Started damaged = startApp(zeroedData);
    ASSERT_TRUE(data.app->started() && config.app->started() && damaged.app->started());

    // Guarded: the settings ask for a password that cannot be checked yet.
    EXPECT_NE(requestSettings(*damaged.app, kPasswordClass), nullptr);
    EXPECT_EQ(damaged.app->findWindow(kSettingsClass), nullptr);

    EXPECT_TRUE(lockAskedInTime(data)) << "data.json held";
    EXPECT_TRUE(lockAskedInTime(config)) << "config.json held";
    EXPECT_TRUE(lockAskedInTime(damaged)) << "data.json zeroed";
    EXPECT_EQ(damaged.app->readFile(L"data.json"), zeroed) << "never written over";

    // Let go: the parent's password, exit flag, count and limit are in force and in the files.
    EXPECT_TRUE(data.app->waitForFile(L"data.json", [](const std::string& text) {
        const long long used = usedSecondsIn(text);
        return used >= 30 * 60 - 10 && used <= 30 * 60 && jsonValue(text, "require_password_on_exit") == "true" &&
               jsonValue(text, "settings_password") == std::string("\"") + kPasswdHash + "\"";
    }, kHoldMs)) << data.app->readFile(L"data.json");
    EXPECT_TRUE(config.app->waitForFile(L"config.json", [](const std::string& text) {
        return jsonValue(text, "daily_limit_minutes") == "45";
    }, kHoldMs));
    EXPECT_GE(usedSecondsIn(config.app->readFile(L"data.json")), 2690);
}


// A backup tool holds config.json (the parent's 45 minutes, notices off) from
// before the start. The parent opens the settings that morning to change only
// the password and presses OK: once the file is let go, the parent's 45
// minutes and notices off are in force and in the file, not the defaults the
// window could have shown.
TEST(FailClosedE2E, APasswordChangedWhileTheSettingsCannotBeReadLeavesThemAlone)
{
    constexpr DWORD kConfigHoldMs = 30000;
    UsageFile parentsDay = dayWithUsed(100);
    parentsDay.password = kPasswdHash;
    LaunchOptions options = LaunchOptions().withConfig(configWith(45, false)).withData(parentsDay.text());
    options.holdFilesMs = kConfigHoldMs;
    options.holdOnly = L"config.json";
    App app(options);
    ASSERT_TRUE(app.started());
    // data.json comes with the start's read, which waits for the held config.json
    // about five seconds: the password can be checked once the program saved it.
    SaveCounter dataSaves(app.directory() + L"\\data.json");
    ASSERT_TRUE(waitUntil([&] { return dataSaves.count() >= 1; }));
    HWND window = openSettingsWithPassword(app, L"passwd");
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(isShown(window, kSettingsNotReadNote)) << "the file was read before the parent was done";
    EXPECT_EQ(controlText(window, kLimitField), L"");
    EXPECT_EQ(SendMessageW(control(window, kNotifications), BM_GETCHECK, 0, 0), BST_INDETERMINATE);
    if (!screenshotDirectory().empty()) {
        saveScreenBitmap(screenRect(window), screenshotDirectory() + L"\\settings-not-read-en.bmp");
    }

    clickControl(window, kChangePassword);
    ASSERT_TRUE(waitUntil([&] { return isShown(window, kConfirmField); }));
    ASSERT_TRUE(replaceFieldText(window, kPasswordField, L"newpass"));
    ASSERT_TRUE(replaceFieldText(window, kConfirmField, L"newpass"));
    ASSERT_TRUE(isShown(window, kSettingsNotReadNote));
    clickControl(window, kOk);
    ASSERT_TRUE(app.waitForNoWindow(kSettingsClass));
    EXPECT_TRUE(app.waitForFile(L"data.json", [](const std::string& text) {
        const std::string stored = jsonValue(text, "settings_password");
        return !stored.empty() && stored != std::string("\"") + kPasswdHash + "\"";
    }));

    // Open again: once the file is let go, the window fills in the parent's values itself.
    window = openSettingsWithPassword(app, L"newpass");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(waitUntil([&] { return controlText(window, kLimitField) == L"45"; }, kConfigHoldMs + kDefaultTimeoutMs));
    EXPECT_FALSE(isChecked(window, kNotifications));
    EXPECT_FALSE(isShown(window, kSettingsNotReadNote));
    const std::string config = app.readFile(L"config.json");
    EXPECT_EQ(jsonValue(config, "daily_limit_minutes"), "45") << config;
    EXPECT_EQ(jsonValue(config, "show_last_three_minute_notifications"), "false") << config;
}

}  // namespace
