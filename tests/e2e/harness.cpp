#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace e2e {
namespace {

constexpr DWORD kEndTimeoutMs = 15000;
constexpr int kNudgePeriodMs = 500;
// How long one pointer move or click is given to show its effect before it is made again.
constexpr DWORD kHoverSettleMs = 400;
constexpr DWORD kClickSettleMs = 3000;

// Where and when the last click went down.
POINT lastClick = {-1000, -1000};
ULONGLONG lastClickTick = 0;

std::string environmentValue(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::wstring relayLogPath()
{
    const std::string path = environmentValue("HOURWARDEN_RELAY_LOG");
    return path.empty() ? std::wstring() : windowsPathFromUnix(path);
}

std::wstring hourwardenExe()
{
    return windowsPathFromUnix(environmentValue("HOURWARDEN_EXE"));
}

std::string readAll(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    CloseHandle(file);
    return bytes;
}

bool writeAll(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(file);
    return ok;
}

void removeDirectoryTree(const std::wstring& directory)
{
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring path = directory + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeDirectoryTree(path);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(directory.c_str());
}

std::wstring freshDirectory()
{
    static LONG counter = 0;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    for (;;) {
        const std::wstring directory = std::wstring(temp) + L"hourwarden-e2e-" + std::to_wstring(GetCurrentProcessId()) +
                                       L"-" + std::to_wstring(InterlockedIncrement(&counter));
        if (CreateDirectoryW(directory.c_str(), nullptr)) {
            return directory;
        }
    }
}

// The environment block for the program: ours, with the debug channels and locale set.
std::vector<wchar_t> childEnvironment(const LaunchOptions& options)
{
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
            const std::wstring text = entry;
            if (text.rfind(L"WINEDEBUG=", 0) == 0 || (!options.locale.empty() && text.rfind(L"LC_ALL=", 0) == 0)) {
                continue;
            }
            entries.push_back(text);
        }
        FreeEnvironmentStringsW(block);
    }
    entries.push_back(options.relayInclude.empty() ? L"WINEDEBUG=-all" : L"WINEDEBUG=-all,+relay,+pid,+timestamp");
    if (!options.locale.empty()) {
        entries.push_back(L"LC_ALL=" + options.locale);
    }
    std::vector<wchar_t> block;
    for (const std::wstring& entry : entries) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    std::vector<HWND> found;
};

BOOL CALLBACK collectWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && className(window) == search->className) {
        search->found.push_back(window);
    }
    return TRUE;
}

void sendMouse(DWORD flags, LONG dx = 0, LONG dy = 0)
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = dx;
    input.mi.dy = dy;
    input.mi.dwFlags = flags;
    SendInput(1, &input, sizeof input);
}

}  // namespace

std::string localDate(int daysFromToday)
{
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    FILETIME fileTime = {};
    SystemTimeToFileTime(&now, &fileTime);
    ULARGE_INTEGER value = {};
    value.LowPart = fileTime.dwLowDateTime;
    value.HighPart = fileTime.dwHighDateTime;
    value.QuadPart += static_cast<long long>(daysFromToday) * 24 * 3600 * 10000000LL;
    fileTime.dwLowDateTime = value.LowPart;
    fileTime.dwHighDateTime = value.HighPart;
    SYSTEMTIME shifted = {};
    FileTimeToSystemTime(&fileTime, &shifted);
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", shifted.wYear, shifted.wMonth, shifted.wDay);
    return text;
}

std::string UsageFile::text() const
{
    auto flag = [](bool value) { return value ? "true" : "false"; };
    return std::string("{\n") + "  \"date\": \"" + date + "\",\n" + "  \"used_seconds\": " +
           std::to_string(usedSeconds) + ",\n" + "  \"warning_shown\": " + flag(warningShown) + ",\n" +
           "  \"settings_password\": \"" + password + "\"\n,\n" + "  \"require_password_on_exit\": " +
           flag(requirePasswordOnExit) + ",\n" + "  \"three_minute_notification_shown\": " + flag(threeMinuteShown) +
           ",\n" + "  \"two_minute_notification_shown\": " + flag(twoMinuteShown) + ",\n" +
           "  \"one_minute_notification_shown\": " + flag(oneMinuteShown) + "\n}\n";
}

UsageFile dayWithUsed(long long usedSeconds, bool warningShown)
{
    UsageFile usage;
    usage.usedSeconds = usedSeconds;
    usage.warningShown = warningShown;
    return usage;
}

long long usedSecondsIn(const std::string& data)
{
    const std::string key = "\"used_seconds\": ";
    const size_t at = data.find(key);
    return at == std::string::npos ? -1 : std::atoll(data.c_str() + at + key.size());
}

std::string ConfigFile::text() const
{
    return std::string("{\n") + "  \"daily_limit_minutes\": " + std::to_string(limitMinutes) + ",\n" +
           "  \"show_last_three_minute_notifications\": " + (notifications ? "true" : "false") + ",\n" +
           "  \"language\": \"" + language + "\",\n" + "  \"status_window_x\": " + std::to_string(statusX) + ",\n" +
           "  \"status_window_y\": " + std::to_string(statusY) + "\n}\n";
}

App::App(const LaunchOptions& options) : directory_(freshDirectory())
{
    const std::wstring exe = directory_ + L"\\Hourwarden.exe";
    if (!CopyFileW(hourwardenExe().c_str(), exe.c_str(), FALSE)) {
        return;
    }
    if (!options.config.empty()) {
        writeAll(directory_ + L"\\config.json", options.config);
    }
    if (!options.data.empty()) {
        writeAll(directory_ + L"\\data.json", options.data);
    }
    if (!options.relayInclude.empty()) {
        const std::wstring& include = options.relayInclude;
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Debug", L"RelayInclude", REG_SZ, include.c_str(),
                        static_cast<DWORD>((include.size() + 1) * sizeof(wchar_t)));
    }
    if (options.holdFilesMs != 0) {
        std::vector<HANDLE> held;
        for (const wchar_t* name : {L"config.json", L"data.json"}) {
            if (options.holdOnly != nullptr && std::wstring(options.holdOnly) != name) {
                continue;
            }
            held.push_back(CreateFileW((directory_ + L"\\" + name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        fileHolder_ = std::thread([held, ms = options.holdFilesMs] {
            Sleep(ms);  // the holder's own pace: it lets go when it is done
            for (HANDLE handle : held) {
                if (handle != INVALID_HANDLE_VALUE) {
                    CloseHandle(handle);
                }
            }
        });
    }
    std::vector<wchar_t> environment = childEnvironment(options);
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        environment.data(), directory_.c_str(), &startup, &info)) {
        return;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    processId_ = info.dwProcessId;
    waitUntil([this] {
        controlWindow_ = findWindow(kControlClass);
        return controlWindow_ != nullptr || !isRunning();
    });
}

App::~App()
{
    if (fileHolder_.joinable()) {
        fileHolder_.join();
    }
    if (process_ != nullptr) {
        // The control window of now: one destroyed from outside was made again.
        if (HWND control = findWindow(kControlClass); isRunning() && control != nullptr) {
            PostMessageW(control, WM_CLOSE, 0, 0);
        }
        // With the exit password required, a close request only opens its prompt: no use waiting.
        waitUntil([&] { return !isRunning() || findWindow(kPasswordClass) != nullptr; }, kEndTimeoutMs);
        if (!waitForExit(0)) {
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, kEndTimeoutMs);
        }
        CloseHandle(process_);
    }
    removeDirectoryTree(directory_);
}

std::string App::readFile(const wchar_t* name) const
{
    return readAll(directory_ + L"\\" + name);
}

bool App::waitForFile(const wchar_t* name, const std::function<bool(const std::string&)>& condition,
                      DWORD timeoutMs) const
{
    return waitUntil([&] { return condition(readFile(name)); }, timeoutMs);
}

std::vector<HWND> App::windows(const wchar_t* windowClass) const
{
    WindowSearch search{processId_, windowClass, {}};
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND App::findWindow(const wchar_t* windowClass) const
{
    const std::vector<HWND> found = windows(windowClass);
    return found.empty() ? nullptr : found.front();
}

HWND App::waitForWindow(const wchar_t* windowClass, DWORD timeoutMs) const
{
    HWND window = nullptr;
    waitUntil([&] { return (window = findWindow(windowClass)) != nullptr; }, timeoutMs);
    return window;
}

bool App::waitForNoWindow(const wchar_t* windowClass, DWORD timeoutMs) const
{
    return waitUntil([&] { return findWindow(windowClass) == nullptr; }, timeoutMs);
}

void App::postCommand(WORD id) const
{
    PostMessageW(controlWindow_, WM_COMMAND, id, 0);
}

void App::postTrayMouse(UINT mouseMessage) const
{
    PostMessageW(controlWindow_, kTrayCallback, 1, mouseMessage);
}

void App::postSessionUnlock() const
{
    PostMessageW(controlWindow_, kSessionChange, kSessionUnlock, 0);
}

void App::postTaskbarCreated() const
{
    PostMessageW(controlWindow_, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
}

bool App::isRunning() const
{
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

bool App::waitForExit(DWORD timeoutMs, DWORD* exitCode) const
{
    if (process_ == nullptr || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    if (exitCode != nullptr) {
        GetExitCodeProcess(process_, exitCode);
    }
    return true;
}

std::vector<std::string> App::relayLines(const std::string& contains) const
{
    char pidField[16];
    std::snprintf(pidField, sizeof pidField, ":%04lx:", static_cast<unsigned long>(processId_));
    const std::string log = readAll(relayLogPath());
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) {
            end = log.size();
        }
        const std::string line = log.substr(start, end - start);
        // "<seconds>:<pid>:<tid>:<text>"
        const size_t firstColon = line.find(':');
        if (firstColon != std::string::npos && line.compare(firstColon, std::strlen(pidField), pidField) == 0 &&
            line.find(contains) != std::string::npos) {
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

double App::relayTimestamp(const std::string& line)
{
    return std::atof(line.c_str());
}

namespace {

constexpr DWORD kSavePollMs = 5;

bool lastWriteOf(const std::wstring& path, FILETIME& time)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    time = data.ftLastWriteTime;
    return true;
}

}  // namespace

SaveCounter::SaveCounter(std::wstring path) : path_(std::move(path))
{
    known_ = lastWriteOf(path_, last_);
    thread_ = std::thread([this] {
        while (!stop_) {
            look();
            Sleep(kSavePollMs);  // the poll's pace
        }
    });
}

SaveCounter::~SaveCounter()
{
    stop_ = true;
    thread_.join();
}

size_t SaveCounter::count()
{
    look();
    const std::lock_guard<std::mutex> guard(mutex_);
    return count_;
}

void SaveCounter::look()
{
    FILETIME now = {};
    if (!lastWriteOf(path_, now)) {
        return;
    }
    const std::lock_guard<std::mutex> guard(mutex_);
    if (!known_ || CompareFileTime(&now, &last_) != 0) {
        ++count_;
        last_ = now;
        known_ = true;
    }
}

ActiveUser::ActiveUser()
    : thread_([this] {
          while (!stop_) {
              nudgePointer();
              Sleep(kNudgePeriodMs);
          }
      })
{
}

ActiveUser::~ActiveUser()
{
    stop_ = true;
    thread_.join();
}

void nudgePointer()
{
    sendMouse(MOUSEEVENTF_MOVE, 1, 0);
    sendMouse(MOUSEEVENTF_MOVE, -1, 0);
}

std::wstring className(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, ARRAYSIZE(name));
    return name;
}

std::wstring messageBoxText(HWND dialog)
{
    return windowText(GetDlgItem(dialog, 0xFFFF));
}

ShownBox waitForMessageBox(const App& app, DWORD timeoutMs)
{
    ShownBox box;
    waitUntil([&] {
        box.window = app.findWindow(kDialogClass);
        return box.window != nullptr && IsWindowVisible(box.window) && !messageBoxText(box.window).empty();
    }, timeoutMs);
    if (box.window != nullptr) {
        box.caption = windowText(box.window);
        box.text = messageBoxText(box.window);
    }
    return box;
}

bool answerMessageBox(const ShownBox& box, int buttonId)
{
    if (box.window == nullptr) {
        return false;
    }
    pressDialogButton(box.window, buttonId);
    return waitUntil([&] { return IsWindow(box.window) == FALSE; });
}

void pressDialogButton(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

POINT centreOf(const RECT& rect)
{
    return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

bool moveCursorTo(int x, int y, DWORD timeoutMs)
{
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    sendMouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, MulDiv(x, 65535, width - 1), MulDiv(y, 65535, height - 1));
    return waitUntil([&] {
        POINT cursor = {};
        GetCursorPos(&cursor);
        return cursor.x == x && cursor.y == y;
    }, timeoutMs);
}

bool hoverUntil(POINT target, const std::function<bool()>& effect, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    moveCursorTo(target.x, target.y);
    for (;;) {
        if (waitUntil(effect, kHoverSettleMs)) {
            return true;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        moveCursorTo(target.x + 1, target.y);
        moveCursorTo(target.x, target.y);
    }
}

void leftClickAt(int x, int y)
{
    const POINT point = {x, y};
    if (std::abs(point.x - lastClick.x) <= GetSystemMetrics(SM_CXDOUBLECLK) / 2 &&
        std::abs(point.y - lastClick.y) <= GetSystemMetrics(SM_CYDOUBLECLK) / 2) {
        const ULONGLONG quietUntil = lastClickTick + GetDoubleClickTime() + 50;
        waitUntil([quietUntil] { return GetTickCount64() > quietUntil; });
    }
    moveCursorTo(x, y);
    sendMouse(MOUSEEVENTF_LEFTDOWN);
    sendMouse(MOUSEEVENTF_LEFTUP);
    lastClick = point;
    lastClickTick = GetTickCount64();
}

bool clickUntil(POINT target, const std::function<bool()>& effect, const std::function<bool()>& ready,
                DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        const DWORD left = static_cast<DWORD>(end > GetTickCount64() ? end - GetTickCount64() : 0);
        if (ready && !hoverUntil(target, ready, left)) {
            return false;
        }
        leftClickAt(target.x, target.y);
        if (waitUntil(effect, kClickSettleMs)) {
            return true;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
    }
}

void leftDrag(int fromX, int fromY, int toX, int toY, const std::function<bool()>& arrived)
{
    moveCursorTo(fromX, fromY);
    sendMouse(MOUSEEVENTF_LEFTDOWN);
    constexpr int kSteps = 10;
    for (int step = 1; step <= kSteps; ++step) {
        moveCursorTo(fromX + (toX - fromX) * step / kSteps, fromY + (toY - fromY) * step / kSteps);
        Sleep(20);  // lets the move loop see separate moves, as a hand would make them
    }
    if (arrived) {
        waitUntil(arrived);
    }
    sendMouse(MOUSEEVENTF_LEFTUP);
}

void typeText(const std::wstring& text)
{
    for (const wchar_t c : text) {
        INPUT inputs[2] = {};
        inputs[0].type = INPUT_KEYBOARD;
        inputs[0].ki.wScan = c;
        inputs[0].ki.dwFlags = KEYEVENTF_UNICODE;
        inputs[1] = inputs[0];
        inputs[1].ki.dwFlags = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;
        SendInput(2, inputs, sizeof(INPUT));
    }
}

void pressKey(WORD virtualKey)
{
    INPUT inputs[2] = {};
    inputs[0].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = virtualKey;
    inputs[1] = inputs[0];
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
}

COLORREF screenPixel(int x, int y)
{
    HDC screen = GetDC(nullptr);
    const COLORREF colour = GetPixel(screen, x, y);
    ReleaseDC(nullptr, screen);
    return colour;
}

std::vector<COLORREF> captureScreen(const RECT& area)
{
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    if (width <= 0 || height <= 0) {
        return {};
    }
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    std::vector<COLORREF> pixels;
    if (bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
        GdiFlush();
        SelectObject(memory, previous);
        const auto* bgrx = static_cast<const BYTE*>(bits);
        pixels.reserve(static_cast<size_t>(width) * height);
        for (int i = 0; i < width * height; ++i) {
            pixels.push_back(RGB(bgrx[i * 4 + 2], bgrx[i * 4 + 1], bgrx[i * 4]));
        }
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

bool screenAreaContains(const RECT& area, COLORREF colour)
{
    for (const COLORREF pixel : captureScreen(area)) {
        if (pixel == colour) {
            return true;
        }
    }
    return false;
}

bool saveScreenBitmap(const RECT& area, const std::wstring& path)
{
    const std::vector<COLORREF> pixels = captureScreen(area);
    if (pixels.empty()) {
        return false;
    }
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    return writeAll(path, bmpFileBytes(pixels, width, height));
}

std::wstring screenshotDirectory()
{
    const std::string directory = environmentValue("HOURWARDEN_SCREENSHOT_DIR");
    return directory.empty() ? std::wstring() : windowsPathFromUnix(directory);
}

}  // namespace e2e
