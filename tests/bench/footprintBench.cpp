#include "footprintBench.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/scopedHandles.h"
#include "benchSupport.h"
#include "storage/settingsFiles.h"
#include "wholeFile.h"

namespace {

constexpr DWORD kStartTimeoutMs = 30000;
constexpr DWORD kExitTimeoutMs = 30000;
constexpr DWORD kPollIntervalMs = 20;
constexpr DWORD kSettleMs = 3000;
constexpr int kMemorySamples = 5;
constexpr DWORD kMemorySampleIntervalMs = 1000;
constexpr DWORD kCpuWindowMs = 30000;
constexpr DWORD kInputIntervalMs = 500;

// Linux reports processor time in ticks of 1/100 s (USER_HZ) on every architecture Wine runs on.
constexpr double kClockTicksPerSecond = 100.0;
constexpr double kPssGoal = 1.2;
constexpr double kRssGoal = 1.1;
constexpr double kCpuGoal = 1.5;
// The tray icon's callback (shell/trayIcon.h): a double click opens the status window.
constexpr UINT kTrayCallbackMessage = WM_APP + 1;
constexpr wchar_t kStatusWindowClass[] = L"HourwardenStatusWindow";
constexpr wchar_t kBareHiddenClass[] = L"HourwardenBareHidden";
constexpr wchar_t kBarePictureClass[] = L"HourwardenBarePicture";
// Clear of the status window's corner and of the bare picture, so the
// pointer's moves repaint neither.
constexpr POINT kPointerRest{700, 60};

// Whole contents of a file that reports no size, as /proc's do.
std::optional<std::string> readWholeFile(const std::wstring& path)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    return text;
}

// Wine runs each Windows program as a Linux process named by the Windows path
// of its executable; the scratch directory's name makes that path unique.
// Drive Z: is the Linux root in a Wine prefix.
std::optional<std::wstring> linuxProcessDirectory(const std::wstring& windowsPath)
{
    const std::string wanted(windowsPath.begin(), windowsPath.end());
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::optional<std::wstring> result;
    do {
        const std::wstring_view name = found.cFileName;
        if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring_view::npos) {
            continue;
        }
        const std::wstring directory = L"Z:\\proc\\" + std::wstring(name);
        const std::optional<std::string> commandLine = readWholeFile(directory + L"\\cmdline");
        if (commandLine && std::string_view(commandLine->c_str()) == wanted) {
            result = directory;
            break;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return result;
}

struct Memory {
    double rssKb = 0;
    double pssKb = 0;
};

double fieldKb(const std::string& text, std::string_view field)
{
    const size_t at = text.find(field);
    return at == std::string::npos ? 0.0 : std::strtod(text.c_str() + at + field.size(), nullptr);
}

std::optional<Memory> memoryOf(const std::wstring& procDirectory)
{
    const std::optional<std::string> rollup = readWholeFile(procDirectory + L"\\smaps_rollup");
    if (!rollup) {
        return std::nullopt;
    }
    Memory memory{fieldKb(*rollup, "\nRss:"), fieldKb(*rollup, "\nPss:")};
    if (memory.rssKb <= 0 || memory.pssKb <= 0) {
        return std::nullopt;
    }
    return memory;
}

// User and system time so far, in seconds.
std::optional<double> processorSeconds(const std::wstring& procDirectory)
{
    const std::optional<std::string> stat = readWholeFile(procDirectory + L"\\stat");
    if (!stat) {
        return std::nullopt;
    }
    // After the name in parentheses: state is field 3, utime 14 and stime 15.
    const size_t close = stat->rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    const char* cursor = stat->c_str() + close + 1;
    double ticks = 0;
    for (int field = 3; field <= 15; ++field) {
        while (*cursor == ' ') {
            ++cursor;
        }
        char* end = nullptr;
        const double value = std::strtod(cursor, &end);
        if (field >= 14) {
            ticks += value;
        }
        cursor = end != cursor ? end : cursor + 1;
        while (*cursor != ' ' && *cursor != '\0') {
            ++cursor;
        }
    }
    return ticks / kClockTicksPerSecond;
}

// A copy of a program in a scratch directory of its own, running until closed.
class RunningCopy {
public:
    // `config`, when given, is written as config.json before the start.
    RunningCopy(const std::wstring& executable, const wchar_t* fileName, const wchar_t* mainWindowClass,
                const AppConfig* config = nullptr)
        : mainWindowClass_(mainWindowClass)
    {
        if (!directory_.valid()) {
            return;
        }
        path_ = directory_.file(fileName);
        if (config != nullptr && !writeConfigFile(directory_.file(L"config.json"), *config)) {
            std::fprintf(stderr, "cannot write config.json\n");
            return;
        }
        if (!CopyFileW(executable.c_str(), path_.c_str(), TRUE)) {
            std::fprintf(stderr, "cannot copy %ls (error %lu)\n", executable.c_str(), GetLastError());
            return;
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        std::wstring commandLine = L"\"" + path_ + L"\"";
        if (!CreateProcessW(path_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            directory_.path().c_str(), &startup, &process)) {
            std::fprintf(stderr, "cannot start %ls (error %lu)\n", path_.c_str(), GetLastError());
            return;
        }
        process_ = std::make_unique<FileHandle>(process.hProcess);
        CloseHandle(process.hThread);
        processId_ = process.dwProcessId;
    }
    ~RunningCopy() { close(); }
    RunningCopy(const RunningCopy&) = delete;
    RunningCopy& operator=(const RunningCopy&) = delete;

    DWORD processId() const { return processId_; }
    const std::wstring& directory() const { return directory_.path(); }

    // Its main window once it exists, and where Linux shows the process.
    bool waitReady(const std::vector<std::wstring>& filesWritten)
    {
        const ULONGLONG deadline = GetTickCount64() + kStartTimeoutMs;
        while (process_ && GetTickCount64() < deadline) {
            mainWindow_ = mainWindow_ != nullptr ? mainWindow_ : windowOfProcess(processId_, mainWindowClass_);
            bool written = true;
            for (const std::wstring& name : filesWritten) {
                written = written && fileWritten(directory_.file(name));
            }
            if (mainWindow_ != nullptr && written) {
                proc_ = linuxProcessDirectory(path_);
                return proc_.has_value();
            }
            if (WaitForSingleObject(process_->get(), kPollIntervalMs) == WAIT_OBJECT_0) {
                break;
            }
        }
        std::fprintf(stderr, "%ls did not become ready\n", path_.c_str());
        return false;
    }
    HWND mainWindow() const { return mainWindow_; }
    const std::wstring& proc() const { return *proc_; }

    void close()
    {
        if (!process_) {
            return;
        }
        if (mainWindow_ != nullptr) {
            PostMessageW(mainWindow_, WM_CLOSE, 0, 0);
        }
        if (WaitForSingleObject(process_->get(), kExitTimeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_->get(), 1);
            WaitForSingleObject(process_->get(), kExitTimeoutMs);
        }
        process_.reset();
    }

private:
    TempDirectory directory_;
    const wchar_t* mainWindowClass_;
    std::wstring path_;
    std::unique_ptr<FileHandle> process_;
    DWORD processId_ = 0;
    HWND mainWindow_ = nullptr;
    std::optional<std::wstring> proc_;
};

// Medians of several samples of both, taken side by side.
bool compareMemory(const RunningCopy& program, const RunningCopy& bare)
{
    std::vector<double> rss[2];
    std::vector<double> pss[2];
    for (int sample = 0; sample < kMemorySamples; ++sample) {
        Sleep(kMemorySampleIntervalMs);
        const std::optional<Memory> measured[2] = {memoryOf(program.proc()), memoryOf(bare.proc())};
        for (int which = 0; which < 2; ++which) {
            if (!measured[which]) {
                std::fprintf(stderr, "cannot read the memory of a process\n");
                return false;
            }
            rss[which].push_back(measured[which]->rssKb);
            pss[which].push_back(measured[which]->pssKb);
        }
    }
    const double pssRatio = median(pss[0]) / median(pss[1]);
    const double rssRatio = median(rss[0]) / median(rss[1]);
    std::printf("Hidden program, medians of %d samples: PSS %.0f kB beside %.0f kB bare, ratio %.2f (goal: at most "
                "%.1f) %s\n",
                kMemorySamples, median(pss[0]), median(pss[1]), pssRatio, kPssGoal,
                pssRatio <= kPssGoal ? "met" : "MISSED");
    std::printf("                                        RSS %.0f kB beside %.0f kB bare, ratio %.2f (goal: at most "
                "%.1f) %s\n",
                median(rss[0]), median(rss[1]), rssRatio, kRssGoal, rssRatio <= kRssGoal ? "met" : "MISSED");
    return true;
}

// A user who keeps moving the mouse, so the program counts every second and
// its status window has a new figure to show; the pointer stays clear of both
// windows.
void keepTheUserActive(DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    LONG step = 1;
    while (GetTickCount64() < end) {
        SetCursorPos(kPointerRest.x, kPointerRest.y);
        INPUT input = {};
        input.type = INPUT_MOUSE;
        input.mi.dx = step;
        input.mi.dwFlags = MOUSEEVENTF_MOVE;
        SendInput(1, &input, sizeof input);
        step = -step;
        Sleep(kInputIntervalMs);
    }
}

bool waitForWindow(DWORD processId, const wchar_t* className)
{
    const ULONGLONG deadline = GetTickCount64() + kStartTimeoutMs;
    while (GetTickCount64() < deadline) {
        if (windowOfProcess(processId, className) != nullptr) {
            return true;
        }
        Sleep(kPollIntervalMs);
    }
    std::fprintf(stderr, "no window of class %ls appeared\n", className);
    return false;
}

bool openStatusWindow(const RunningCopy& program)
{
    PostMessageW(program.mainWindow(), kTrayCallbackMessage, 1, WM_LBUTTONDBLCLK);
    return waitForWindow(program.processId(), kStatusWindowClass);
}

bool compareProcessorTime(const RunningCopy& program, const RunningCopy& bare, const char* scene)
{
    keepTheUserActive(kSettleMs);
    const std::optional<double> before[2] = {processorSeconds(program.proc()), processorSeconds(bare.proc())};
    keepTheUserActive(kCpuWindowMs);
    const std::optional<double> after[2] = {processorSeconds(program.proc()), processorSeconds(bare.proc())};
    if (!before[0] || !before[1] || !after[0] || !after[1]) {
        std::fprintf(stderr, "cannot read the processor time of a process\n");
        return false;
    }
    const double used = *after[0] - *before[0];
    const double bareUsed = *after[1] - *before[1];
    const double seconds = kCpuWindowMs / 1000.0;
    if (bareUsed <= 0) {
        std::printf("Status window open, %s: %.2f s of processor time in %.0f s; the bare window used none\n",
                    scene, used, seconds);
        return true;
    }
    const double ratio = used / bareUsed;
    std::printf("Status window open, %s:\n  %.2f s of processor time in %.0f s beside %.2f s for a bare "
                "Direct2D window repainted each second, ratio %.2f (goal: at most %.1f) %s\n",
                scene, used, seconds, bareUsed, ratio, kCpuGoal, ratio <= kCpuGoal ? "met" : "MISSED");
    return true;
}

}  // namespace

bool measureFootprint(const std::wstring& hourwarden, const std::wstring& bareDirectory)
{
    RunningCopy program(hourwarden, L"Hourwarden.exe", kControlWindowClass);
    RunningCopy bareHidden(bareDirectory + L"HourwardenBare.exe", L"HourwardenBare.exe", kBareHiddenClass);
    if (!program.waitReady({L"config.json", L"data.json"}) || !bareHidden.waitReady({})) {
        return false;
    }
    Sleep(kSettleMs);
    if (!compareMemory(program, bareHidden)) {
        return false;
    }
    bareHidden.close();

    RunningCopy bareDirect2d(bareDirectory + L"HourwardenBareDirect2d.exe", L"HourwardenBareDirect2d.exe",
                             kBareHiddenClass);
    if (!bareDirect2d.waitReady({}) || !waitForWindow(bareDirect2d.processId(), kBarePictureClass) ||
        !openStatusWindow(program) ||
        !compareProcessorTime(program, bareDirect2d,
                              "user active, 120-minute limit (a figure shown changes about once a minute)")) {
        return false;
    }
    program.close();

    // A one-minute limit moves the percentage every counted second: a frame
    // each second, as the bare window draws. The day is spent after 60 s,
    // beyond the end of the measurement.
    AppConfig oneMinute;
    oneMinute.dailyLimitMinutes = 1;
    RunningCopy everySecond(hourwarden, L"Hourwarden.exe", kControlWindowClass, &oneMinute);
    return everySecond.waitReady({L"config.json", L"data.json"}) && openStatusWindow(everySecond) &&
           compareProcessorTime(everySecond, bareDirect2d,
                                "user active, 1-minute limit (a new percentage every second)");
}
