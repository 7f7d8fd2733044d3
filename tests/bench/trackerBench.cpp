// Hourwarden benchmark, run by hand:
//   hourwarden_bench.exe <path of Hourwarden.exe>
// Reports
//   - the median cost of one counted tick, its data.json write included, beside
//     the median cost of a plain open/write/close of the same bytes in the same
//     directory (the floor), and their ratio;
//   - the time of a simulated 8-hour day of counted ticks with real writes;
//   - the time from process start until the control window exists and both
//     files are written (a copy of the executable in a fresh directory, since
//     the program keeps its files beside itself), median of several starts;
//   - beside the bare programs built into this program's directory: the PSS
//     and RSS of the hidden program, and its processor time with the status
//     window open beside a bare Direct2D window repainted each second
//     (footprintBench.h; under Wine, read from Linux's /proc through drive Z:).
// The exit code is 0 when every measurement ran, 1 otherwise.
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/scopedHandles.h"
#include "benchSupport.h"
#include "footprintBench.h"
#include "core/timeSource.h"
#include "core/usageTracker.h"
#include "storage/settingsFiles.h"
#include "storage/textFiles.h"
#include "wholeFile.h"

namespace {

constexpr int kWarmUpTicks = 200;
constexpr int kSamples = 2000;
constexpr int kDayTicks = 8 * 60 * 60;
constexpr int32_t kWholeDayLimitMinutes = 1440;  // so that no warning or notice adds writes
constexpr int kStartRuns = 7;
constexpr DWORD kStartTimeoutMs = 30000;
constexpr DWORD kExitTimeoutMs = 30000;
constexpr DWORD kPollIntervalMs = 1;
constexpr double kTickGoalRatio = 1.2;

// The system clock, with a user who never stops typing: every tick counts.
bool inputJustNow(uint32_t* tick)
{
    *tick = GetTickCount();
    return true;
}

// The ticks run back to back; each stands for one second of the clock, as
// each reads the awake time once.
uint64_t secondPerTick()
{
    static uint64_t awake = 0;
    awake += 10'000'000;
    return awake;
}

// The floor: what one write of the file costs at the least.
bool plainWrite(const std::wstring& path, std::string_view bytes)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    return file.close() && ok;
}

bool startCountingTracker(UsageTracker& tracker)
{
    tracker.load();
    return tracker.setLimit(kWholeDayLimitMinutes, false);
}

struct TickFigures {
    double tickUs = 0;
    double plainWriteUs = 0;
    double usageWriterUs = 0;
    double wholeFileWriterUs = 0;
    size_t fileBytes = 0;
};

bool measureTick(TickFigures& figures)
{
    TempDirectory directory;
    if (!directory.valid()) {
        std::fprintf(stderr, "cannot create a temporary directory\n");
        return false;
    }
    UsageTracker tracker(directory.path());
    if (!startCountingTracker(tracker)) {
        std::fprintf(stderr, "cannot write config.json\n");
        return false;
    }
    for (int i = 0; i < kWarmUpTicks; ++i) {
        tracker.tick();
    }
    DailyUsage record;
    if (!readUsageFile(tracker.dataPath(), record)) {
        std::fprintf(stderr, "data.json was not written\n");
        return false;
    }
    const std::string bytes = readWholeFile(tracker.dataPath());
    figures.fileBytes = bytes.size();
    const std::wstring plainPath = directory.file(L"plain.json");
    const std::wstring usagePath = directory.file(L"usage.json");
    const std::wstring wholePath = directory.file(L"whole.json");

    // Interleaved, so that a slow phase of the machine hits all four alike, and
    // in rotating order, so that none always follows the same neighbour.
    constexpr int kKinds = 4;
    std::vector<double> samples[kKinds];
    bool ok = true;
    const auto runOne = [&](int kind) {
        switch (kind) {
        case 0: tracker.tick(); return true;
        case 1: return plainWrite(plainPath, bytes);
        case 2: ++record.usedSeconds; return writeUsageFile(usagePath, record);
        default: return writeWholeFile(wholePath, bytes);
        }
    };
    Stopwatch stopwatch;
    for (int i = 0; i < kSamples; ++i) {
        for (int step = 0; step < kKinds; ++step) {
            const int kind = (i + step) % kKinds;
            stopwatch.restart();
            ok = runOne(kind) && ok;
            samples[kind].push_back(stopwatch.elapsedMicroseconds());
        }
    }
    if (!ok || tracker.usedSeconds() != kWarmUpTicks + kSamples) {
        std::fprintf(stderr, "a write failed or a tick did not count\n");
        return false;
    }
    figures.tickUs = median(samples[0]);
    figures.plainWriteUs = median(samples[1]);
    figures.usageWriterUs = median(samples[2]);
    figures.wholeFileWriterUs = median(samples[3]);
    return true;
}

bool measureDay(double& seconds)
{
    TempDirectory directory;
    if (!directory.valid()) {
        return false;
    }
    UsageTracker tracker(directory.path());
    if (!startCountingTracker(tracker)) {
        return false;
    }
    Stopwatch stopwatch;
    for (int i = 0; i < kDayTicks; ++i) {
        tracker.tick();
    }
    seconds = stopwatch.elapsedMicroseconds() / 1e6;
    DailyUsage saved;
    return tracker.usedSeconds() == kDayTicks && readUsageFile(tracker.dataPath(), saved) &&
           saved.usedSeconds == kDayTicks;
}

// One start of a copy of the program in a fresh directory; false on any failure.
bool measureOneStart(const std::wstring& executable, double& milliseconds)
{
    TempDirectory directory;
    if (!directory.valid()) {
        return false;
    }
    const std::wstring copy = directory.file(L"Hourwarden.exe");
    if (!CopyFileW(executable.c_str(), copy.c_str(), TRUE)) {
        std::fprintf(stderr, "cannot copy %ls (error %lu)\n", executable.c_str(), GetLastError());
        return false;
    }
    const std::wstring configPath = directory.file(L"config.json");
    const std::wstring dataPath = directory.file(L"data.json");

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + copy + L"\"";
    Stopwatch stopwatch;
    if (!CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.path().c_str(), &startup, &process)) {
        std::fprintf(stderr, "cannot start %ls (error %lu)\n", copy.c_str(), GetLastError());
        return false;
    }
    FileHandle processHandle(process.hProcess);
    FileHandle threadHandle(process.hThread);

    HWND window = nullptr;
    bool ready = false;
    while (stopwatch.elapsedMicroseconds() < kStartTimeoutMs * 1000.0) {
        window = window != nullptr ? window : controlWindowOf(process.dwProcessId);
        if (window != nullptr && fileWritten(configPath) && fileWritten(dataPath)) {
            ready = true;
            break;
        }
        if (WaitForSingleObject(processHandle.get(), kPollIntervalMs) == WAIT_OBJECT_0) {
            break;  // ended before it was ready
        }
    }
    milliseconds = stopwatch.elapsedMicroseconds() / 1000.0;

    if (window != nullptr) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    DWORD exitCode = 0;
    if (WaitForSingleObject(processHandle.get(), kExitTimeoutMs) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "the program did not end after WM_CLOSE\n");
        TerminateProcess(processHandle.get(), 1);
        WaitForSingleObject(processHandle.get(), kExitTimeoutMs);
        return false;
    }
    GetExitCodeProcess(processHandle.get(), &exitCode);
    if (!ready) {
        std::fprintf(stderr, "no control window with both files within %lu ms (exit code %lu)\n", kStartTimeoutMs,
                     exitCode);
        return false;
    }
    if (exitCode != 0) {
        std::fprintf(stderr, "the program ended with exit code %lu\n", exitCode);
        return false;
    }
    return true;
}

bool measureStart(const std::wstring& executable, std::vector<double>& runs)
{
    for (int run = 0; run < kStartRuns; ++run) {
        double milliseconds = 0;
        if (!measureOneStart(executable, milliseconds)) {
            return false;
        }
        runs.push_back(milliseconds);
    }
    return true;
}

std::wstring fullPath(const std::wstring& path)
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
    return length == 0 || length >= MAX_PATH ? path : std::wstring(buffer, length);
}

std::wstring executableArgument()
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) {
        return {};
    }
    std::wstring executable = count >= 2 ? arguments[1] : L"";
    LocalFree(arguments);
    return executable;
}

// The bare programs are built into the benchmark's own directory.
std::wstring directoryOfThisProgram()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    const std::wstring file(path, length);
    return file.substr(0, file.find_last_of(L"\\/") + 1);
}

}  // namespace

int main()
{
    const std::wstring executable = executableArgument();
    if (executable.empty()) {
        std::fprintf(stderr, "usage: hourwarden_bench.exe <path of Hourwarden.exe>\n");
        return 1;
    }

    const TimeSource& system = systemTimeSource();
    const TimeSource alwaysActive = {system.localTime, system.tickCount64, system.tickCount, inputJustNow,
                                     system.sleep,     system.utcTime,     secondPerTick};
    setTimeSource(&alwaysActive);
    bool ok = true;

    TickFigures tick;
    if (measureTick(tick)) {
        const double ratio = tick.tickUs / tick.plainWriteUs;
        std::printf("Counted tick with its data.json write (%zu bytes), median of %d: %8.1f us\n", tick.fileBytes,
                    kSamples, tick.tickUs);
        std::printf("Plain open/write/close of the same bytes, median of %d:    %8.1f us\n", kSamples,
                    tick.plainWriteUs);
        std::printf("Ratio tick / plain write: %.2f (goal: at most %.1f) %s\n", ratio, kTickGoalRatio,
                    ratio <= kTickGoalRatio ? "met" : "MISSED");
        std::printf("  of which writeUsageFile %.1f us, writeWholeFile of the same bytes %.1f us (medians)\n",
                    tick.usageWriterUs, tick.wholeFileWriterUs);
    } else {
        ok = false;
    }

    double daySeconds = 0;
    if (measureDay(daySeconds)) {
        std::printf("Simulated 8-hour day, %d counted ticks with real writes: %.2f s (%.1f us per tick)\n", kDayTicks,
                    daySeconds, daySeconds * 1e6 / kDayTicks);
    } else {
        std::fprintf(stderr, "the simulated day failed\n");
        ok = false;
    }
    setTimeSource(nullptr);

    std::vector<double> starts;
    if (measureStart(fullPath(executable), starts)) {
        std::printf("Start until the control window exists and both files are written, median of %d: %.0f ms "
                    "(min %.0f, max %.0f)\n",
                    kStartRuns, median(starts), *std::min_element(starts.begin(), starts.end()),
                    *std::max_element(starts.begin(), starts.end()));
    } else {
        ok = false;
    }

    if (!measureFootprint(fullPath(executable), directoryOfThisProgram())) {
        ok = false;
    }
    return ok ? 0 : 1;
}
