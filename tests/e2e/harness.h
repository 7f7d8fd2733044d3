// Drives the real Hourwarden.exe from outside, as a user and the shell would:
// starts it in a fresh directory with prepared files, finds its windows,
// posts the messages the shell posts, injects input, reads files, message
// boxes, pixels and Wine's relay trace.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testBasics.h"

namespace e2e {

using test_basics::kDefaultTimeoutMs;
using test_basics::toUtf8;
using test_basics::bmpFileBytes;
using test_basics::toWide;
using test_basics::waitUntil;
using test_basics::windowsPathFromUnix;
using test_basics::windowText;
inline constexpr UINT kTrayCallback = WM_APP + 1;
inline constexpr UINT kSessionChange = 0x02B1;  // WM_WTSSESSION_CHANGE
inline constexpr WPARAM kSessionUnlock = 8;     // WTS_SESSION_UNLOCK
inline constexpr wchar_t kControlClass[] = L"HourwardenHiddenWindow";
inline constexpr wchar_t kSettingsClass[] = L"HourwardenSettingsWindow";
inline constexpr wchar_t kPasswordClass[] = L"HourwardenPasswordWindow";
inline constexpr wchar_t kStatusClass[] = L"HourwardenStatusWindow";
inline constexpr wchar_t kDialogClass[] = L"#32770";
inline constexpr wchar_t kMenuClass[] = L"#32768";


// The local date as the program writes it, shifted by `daysFromToday`.
std::string localDate(int daysFromToday = 0);

// The text of data.json as the program writes it.
struct UsageFile {
    std::string date = localDate();
    long long usedSeconds = 0;
    bool warningShown = false;
    std::string password;  // already escaped
    bool requirePasswordOnExit = false;
    bool threeMinuteShown = false;
    bool twoMinuteShown = false;
    bool oneMinuteShown = false;
    std::string text() const;
};

// A day of data.json with `usedSeconds` used; the five-minute warning already
// shown unless asked otherwise, so no box stands over what a test looks at.
UsageFile dayWithUsed(long long usedSeconds, bool warningShown = true);
// used_seconds as written in a data.json text, or -1.
long long usedSecondsIn(const std::string& data);

// The text of config.json as the program writes it.
struct ConfigFile {
    int limitMinutes = 120;
    bool notifications = true;
    std::string language = "en";
    int statusX = -1;
    int statusY = -1;
    std::string text() const;
};

// The relay set is the prefix's, read by each program as it starts: tests that run
// side by side in one prefix (the long lane) all ask for this one.
inline const std::wstring kSideBySideRelay = L"user32.LockWorkStation;shell32.Shell_NotifyIconW";

struct LaunchOptions {
    std::string config;  // empty: no config.json before start
    std::string data;    // empty: no data.json before start
    // Functions to trace through Wine's relay channel, e.g. L"user32.LockWorkStation;user32.MessageBoxW".
    std::wstring relayInclude;
    std::wstring locale;  // e.g. L"ru_RU.UTF-8" for LC_ALL
    // Both files are held open without sharing from before the start for this long, as a backup tool might.
    DWORD holdFilesMs = 0;
    // With holdFilesMs: the name of the only file held ("data.json" or "config.json"); nullptr: both.
    const wchar_t* holdOnly = nullptr;

    LaunchOptions& withConfig(std::string text) { config = std::move(text); return *this; }
    LaunchOptions& withData(std::string text) { data = std::move(text); return *this; }
    LaunchOptions& withRelay(std::wstring functions) { relayInclude = std::move(functions); return *this; }
    LaunchOptions& withLocale(std::wstring name) { locale = std::move(name); return *this; }
};

// One running Hourwarden in a directory of its own. Ends it and removes the
// directory when destroyed.
class App {
public:
    explicit App(const LaunchOptions& options = {});
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    bool started() const { return controlWindow_ != nullptr; }
    HWND controlWindow() const { return controlWindow_; }
    DWORD processId() const { return processId_; }
    HANDLE process() const { return process_; }
    const std::wstring& directory() const { return directory_; }

    std::string readFile(const wchar_t* name) const;
    bool waitForFile(const wchar_t* name, const std::function<bool(const std::string&)>& condition,
                     DWORD timeoutMs = kDefaultTimeoutMs) const;

    // Top-level windows of this process (owned windows, message boxes, menus included).
    HWND findWindow(const wchar_t* className) const;
    HWND waitForWindow(const wchar_t* className, DWORD timeoutMs = kDefaultTimeoutMs) const;
    bool waitForNoWindow(const wchar_t* className, DWORD timeoutMs = kDefaultTimeoutMs) const;
    std::vector<HWND> windows(const wchar_t* className) const;

    void postCommand(WORD id) const;
    void postTrayMouse(UINT mouseMessage) const;
    void postSessionUnlock() const;
    void postTaskbarCreated() const;

    bool isRunning() const;
    bool waitForExit(DWORD timeoutMs, DWORD* exitCode = nullptr) const;

    // Lines of the relay trace written by this process, e.g. "Call user32.LockWorkStation()".
    std::vector<std::string> relayLines(const std::string& contains) const;
    size_t relayCount(const std::string& contains) const { return relayLines(contains).size(); }
    // Seconds since the Wine debug clock's start, from the line's timestamp.
    static double relayTimestamp(const std::string& line);

private:
    std::wstring directory_;
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    HWND controlWindow_ = nullptr;
    std::thread fileHolder_;
};

// Counts the saves of one of the program's files while it lives. The program
// keeps its files open and rewrites them in place, so a save shows only as a
// new last-write time: it is polled every few milliseconds (saves a second
// or more apart, as the program makes them, are each seen).
class SaveCounter {
public:
    // Counts from now on.
    explicit SaveCounter(std::wstring path);
    ~SaveCounter();
    SaveCounter(const SaveCounter&) = delete;
    SaveCounter& operator=(const SaveCounter&) = delete;

    // Looks once more first, so a save made just before the call is counted.
    size_t count();

private:
    void look();

    std::wstring path_;
    std::mutex mutex_;
    FILETIME last_ = {};
    bool known_ = false;
    size_t count_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Keeps the user "active" while it lives: a one-pixel pointer nudge every
// half second, so the program counts seconds.
class ActiveUser {
public:
    ActiveUser();
    ~ActiveUser();
    ActiveUser(const ActiveUser&) = delete;
    ActiveUser& operator=(const ActiveUser&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void nudgePointer();

std::wstring className(HWND window);
// A message box of the program, once its text is there to read.
struct ShownBox {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
};
ShownBox waitForMessageBox(const App& app, DWORD timeoutMs = kDefaultTimeoutMs);
// Answers the box and waits for it to go away.
bool answerMessageBox(const ShownBox& box, int buttonId);

// The message text of a message box (#32770 dialog).
std::wstring messageBoxText(HWND dialog);
// Presses a dialog button as a click would (WM_COMMAND with its id).
void pressDialogButton(HWND dialog, int id);

POINT centreOf(const RECT& rect);

// Real input through the system queue.
// Moves the pointer and waits until the system reports it there; false on time-out.
bool moveCursorTo(int x, int y, DWORD timeoutMs = 5000);
// Moves the pointer onto `target` and keeps nudging it there (one pixel aside
// and back) until `effect` holds: a single move can be lost on the way to a
// window, a stream of them cannot. False on time-out.
bool hoverUntil(POINT target, const std::function<bool()>& effect, DWORD timeoutMs = kDefaultTimeoutMs);
// A left click at the point; never two clicks on one spot within the
// double-click time, so each click stays a single click.
void leftClickAt(int x, int y);
// Clicks at `target` until `effect` holds: first hovers there until `ready`
// holds (when given; for example the button shows its hover), so the window has
// surely seen the pointer arrive, then clicks and waits a few seconds for the
// effect before trying again. False on time-out.
bool clickUntil(POINT target, const std::function<bool()>& effect, const std::function<bool()>& ready = {},
                DWORD timeoutMs = kDefaultTimeoutMs);
// Presses, moves in steps and releases. With `arrived`, the button is released
// only once it holds (for example: the dragged window has reached its place),
// so the system's move loop has surely seen every move before the release.
void leftDrag(int fromX, int fromY, int toX, int toY, const std::function<bool()>& arrived = {});
void typeText(const std::wstring& text);
void pressKey(WORD virtualKey);

COLORREF screenPixel(int x, int y);
// The pixels of a screen rectangle, row by row from the top, as COLORREF values.
std::vector<COLORREF> captureScreen(const RECT& area);
bool screenAreaContains(const RECT& area, COLORREF colour);
// Saves a screen rectangle as a 24-bit BMP (the test script converts it to PNG).
bool saveScreenBitmap(const RECT& area, const std::wstring& path);
// Directory for screenshots from HOURWARDEN_SCREENSHOT_DIR; empty when unset.
std::wstring screenshotDirectory();

}  // namespace e2e
