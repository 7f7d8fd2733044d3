// Shared fixture of the tracker tests: a simulated clock installed through the
// time seam, a fresh directory per test for config.json and data.json, and
// helpers that step time one second per tick as the control window's timer does.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "core/passwordHash.h"
#include "core/processProtection.h"
#include "core/timeSource.h"
#include "core/usageTracker.h"
#include "i18n/strings.h"
#include "storage/settingsFiles.h"
#include "storage/stateFiles.h"
#include "storage/textFiles.h"
#include "wholeFile.h"

namespace tracker_test {

// Whether a saved settings_password is the hash of `password`, never the password itself.
inline testing::AssertionResult savedPasswordIs(const std::wstring& stored, const std::wstring& password)
{
    if (!isPasswordHash(stored)) {
        return testing::AssertionFailure() << "not a hash: " << testing::PrintToString(stored);
    }
    if (!verifyPasswordHash(password, stored)) {
        return testing::AssertionFailure() << "the hash does not match " << testing::PrintToString(password);
    }
    return testing::AssertionSuccess();
}

// Everything the simulated time source reports. The 32-bit tick count is the
// low half of the 64-bit one, as on Windows, so it wraps when that crosses 2^32.
struct SimulatedClock {
    SYSTEMTIME local = {};
    // Local time minus UTC: the zone's offset, as a zone set by hand may make it.
    int64_t localMinusUtcMinutes = 0;
    uint64_t tick64 = 0;
    // 100-ns units of awake time: moves with the tick count except in sleep.
    uint64_t unbiased = 0;
    uint32_t lastInput = 0;
    bool lastInputAvailable = true;
    bool userPresent = true;  // input arrives with every step of time
    int lastInputQueries = 0;
};

inline SimulatedClock simulatedClock;

inline void simulatedLocalTime(SYSTEMTIME* time)
{
    *time = simulatedClock.local;
}

inline uint64_t simulatedTickCount64()
{
    return simulatedClock.tick64;
}

inline uint32_t simulatedTickCount()
{
    return static_cast<uint32_t>(simulatedClock.tick64);
}

inline bool simulatedLastInputTick(uint32_t* tick)
{
    ++simulatedClock.lastInputQueries;
    if (!simulatedClock.lastInputAvailable) {
        return false;
    }
    *tick = simulatedClock.lastInput;
    return true;
}

// The start's waits for a held file pass in simulated time: the clocks move, the user does not.
inline void simulatedSleep(uint32_t milliseconds)
{
    simulatedClock.tick64 += milliseconds;
    simulatedClock.unbiased += uint64_t{milliseconds} * 10000;
}

inline SYSTEMTIME shiftedTime(const SYSTEMTIME& time, int64_t units)
{
    FILETIME asFileTime = {};
    SystemTimeToFileTime(&time, &asFileTime);
    ULARGE_INTEGER value = {};
    value.LowPart = asFileTime.dwLowDateTime;
    value.HighPart = asFileTime.dwHighDateTime;
    value.QuadPart += static_cast<uint64_t>(units);  // FILETIME counts 100 ns units; wraps back for a negative shift
    asFileTime.dwLowDateTime = value.LowPart;
    asFileTime.dwHighDateTime = value.HighPart;
    SYSTEMTIME shifted = {};
    FileTimeToSystemTime(&asFileTime, &shifted);
    return shifted;
}

inline void simulatedUtcTime(SYSTEMTIME* time)
{
    *time = shiftedTime(simulatedClock.local, -simulatedClock.localMinusUtcMinutes * 60 * 10'000'000);
}

inline uint64_t simulatedUnbiasedTime()
{
    return simulatedClock.unbiased;
}

inline constexpr TimeSource kSimulatedTimeSource = {
    simulatedLocalTime, simulatedTickCount64, simulatedTickCount,   simulatedLastInputTick,
    simulatedSleep,     simulatedUtcTime,     simulatedUnbiasedTime};

inline SYSTEMTIME localTimeOf(WORD year, WORD month, WORD day, WORD hour = 12, WORD minute = 0, WORD second = 0)
{
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    // Round trip through FILETIME fills in the day of the week.
    FILETIME asFileTime = {};
    SystemTimeToFileTime(&time, &asFileTime);
    FileTimeToSystemTime(&asFileTime, &time);
    return time;
}

inline constexpr WORD kTestYear = 2024;
inline constexpr WORD kTestMonth = 3;
inline constexpr WORD kTestDay = 15;
inline constexpr const wchar_t* kTestDate = L"2024-03-15";
inline constexpr const wchar_t* kDayBeforeTestDate = L"2024-03-14";
inline constexpr const wchar_t* kDayAfterTestDate = L"2024-03-16";
// 30 s before the 32-bit tick counter wraps, so longer runs cross the wrap.
inline constexpr uint64_t kStartTick = (uint64_t{1} << 32) - 30000;
inline constexpr uint32_t kSecondMs = 1000;
// Less than the tick count, as after a sleep since boot.
inline constexpr uint64_t kStartUnbiased = 1'234'567'000'000;
inline constexpr uint64_t kGraceMs = 60000;
// How long a test waits for the files' thread before it counts as stuck; a
// read of the test's files takes milliseconds.
inline constexpr DWORD kFileWorkTimeoutMs = 30000;
inline constexpr int kWarningSeconds = 300;

// What the tracker last asked of the process's access list; the test process keeps its own.
struct ProtectionRecord {
    int calls = 0;
    bool protect = false;
};
inline ProtectionRecord protectionRecord;
inline bool recordProtection(bool protect)
{
    ++protectionRecord.calls;
    protectionRecord.protect = protect;
    return true;
}

// Saves of data.json since the count was last reset: writes of its text
// through the held file's calls.
inline int dataFileWrites = 0;
inline BOOL countingWrite(HANDLE file, const void* bytes, DWORD length, DWORD* written)
{
    constexpr std::string_view kUsageTextStart = "{\n  \"date\"";
    if (std::string_view(static_cast<const char*>(bytes), length).starts_with(kUsageTextStart)) {
        ++dataFileWrites;
    }
    return systemHeldFileCalls().write(file, bytes, length, written);
}

class TrackerTest : public testing::Test {
protected:
    void SetUp() override
    {
        dataFileWrites = 0;
        countingCalls_ = systemHeldFileCalls();
        countingCalls_.write = countingWrite;
        setHeldFileCalls(&countingCalls_);
        protectionRecord = {};
        setProtectProcessFunction(recordProtection);
        simulatedClock = {};
        simulatedClock.local = localTimeOf(kTestYear, kTestMonth, kTestDay);
        simulatedClock.tick64 = kStartTick;
        simulatedClock.unbiased = kStartUnbiased;
        simulatedClock.lastInput = simulatedTickCount();
        setTimeSource(&kSimulatedTimeSource);

        static std::atomic<int> serial{0};
        directory_ = std::filesystem::temp_directory_path() /
                     (L"hourwarden-tracker-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                      std::to_wstring(serial++));
        std::error_code error;
        std::filesystem::remove_all(directory_, error);
        ASSERT_TRUE(std::filesystem::create_directory(directory_, error)) << error.message();
    }

    void TearDown() override
    {
        tracker_.reset();
        setHeldFileCalls(nullptr);
        setFileCalls(nullptr);
        setProtectProcessFunction(nullptr);
        setTimeSource(nullptr);
        setActiveLanguage(Language::English);
        std::error_code error;
        std::filesystem::remove_all(directory_, error);
    }

    std::wstring directory() const { return directory_.wstring(); }
    std::wstring configPath() const { return directory() + L"\\config.json"; }
    std::wstring dataPath() const { return directory() + L"\\data.json"; }

    // Files as a previous run left them.
    void storeConfig(int32_t limitMinutes, bool notifications = true)
    {
        AppConfig config;
        config.dailyLimitMinutes = limitMinutes;
        config.showLastThreeMinuteNotifications = notifications;
        ASSERT_TRUE(writeConfigFile(configPath(), config));
    }
    void storeUsage(const DailyUsage& usage) { ASSERT_TRUE(writeUsageFile(dataPath(), usage)); }
    void storeRawUsage(const std::string& text) { ASSERT_TRUE(writeWholeFile(dataPath(), text)); }

public:
    static DailyUsage todayWith(int64_t usedSeconds)
    {
        DailyUsage usage;
        usage.date = kTestDate;
        usage.usedSeconds = usedSeconds;
        return usage;
    }

protected:

    // A program that has not asked for its files yet.
    UsageTracker& create(Installation installation = Installation::ForThisAccount)
    {
        tracker_ = std::make_unique<UsageTracker>(directory(), installation);
        startedAt_ = simulatedClock.tick64;
        return *tracker_;
    }

    // A program started on the files as they are, once its start's read is in.
    UsageTracker& start(Installation installation = Installation::ForThisAccount)
    {
        tracker_ = std::make_unique<UsageTracker>(directory(), installation);
        startedAt_ = simulatedClock.tick64;
        tracker_->load();
        awaitFiles();
        return *tracker_;
    }

    // The tick (counted from now, one a second) at which the start's minute
    // ends: a day not known at the start is locked a minute after it, and the
    // start's retries for a held file are part of that minute.
    int secondOfTheStartsMinute() const
    {
        const uint64_t end = startedAt_ + kGraceMs;
        return simulatedClock.tick64 >= end ? 1 : static_cast<int>((end - simulatedClock.tick64 + kSecondMs - 1) / kSecondMs);
    }

    // The files' thread is done with what it was asked, and its outcome taken,
    // as the next tick would take it.
    void awaitFiles() { EXPECT_TRUE(tracker_->awaitFiles(kFileWorkTimeoutMs)) << "the files' thread is stuck"; }

    // A program started today with `secondsLeft` of a `limitMinutes` limit left.
    UsageTracker& startWithSecondsLeft(int32_t limitMinutes, int64_t secondsLeft, bool notifications = true)
    {
        EXPECT_LE(secondsLeft, int64_t{limitMinutes} * 60) << "more time left than the limit holds";
        tracker_.reset();  // a running program holds its files
        storeConfig(limitMinutes, notifications);
        storeUsage(todayWith(int64_t{limitMinutes} * 60 - secondsLeft));
        return start();
    }

    UsageTracker& tracker() { return *tracker_; }
    // The program ends: its files are let go.
    void stop() { tracker_.reset(); }

    // Moves all clocks forward; a present user gives input at the new moment.
    static void advance(uint64_t milliseconds)
    {
        simulatedClock.unbiased += milliseconds * 10000;
        passWithoutTheMachine(milliseconds);
        if (simulatedClock.userPresent) {
            simulatedClock.lastInput = simulatedTickCount();
        }
    }

    // The machine sleeps: the tick count and the calendar move, the awake time does not.
    static void sleepMachine(uint64_t milliseconds) { passWithoutTheMachine(milliseconds); }

    static void passWithoutTheMachine(uint64_t milliseconds)
    {
        simulatedClock.tick64 += milliseconds;
        simulatedClock.local = shiftedTime(simulatedClock.local, static_cast<int64_t>(milliseconds * 10000));
    }

    // One timer tick, one second after the previous one. The files' thread
    // is as quick as it is in the program, done with a tick's work before the next.
    TickResult tickSecond()
    {
        advance(kSecondMs);
        const TickResult result = tracker_->tick();
        awaitFiles();
        return result;
    }

    DailyUsage savedUsage() const
    {
        DailyUsage usage;
        EXPECT_TRUE(readUsageFile(dataPath(), usage)) << "data.json is missing or unusable";
        return usage;
    }

    AppConfig savedConfig() const
    {
        AppConfig config;
        EXPECT_TRUE(readConfigFile(configPath(), config)) << "config.json is missing or unusable";
        return config;
    }

    // Installs `calls` for the rest of the test: kept here, so the tracker's
    // last saves as it ends (and its files' thread) still find them.
    void useHeldFileCalls(const HeldFileCalls& calls)
    {
        testCalls_ = calls;
        setHeldFileCalls(&testCalls_);
    }

    // Starts counting the saves of data.json afresh.
    static void countDataWritesFromNow() { dataFileWrites = 0; }
    static bool dataFileWrittenSince() { return dataFileWrites > 0; }

private:
    HeldFileCalls countingCalls_ = {};
    HeldFileCalls testCalls_ = {};
    uint64_t startedAt_ = 0;
    std::filesystem::path directory_;
    std::unique_ptr<UsageTracker> tracker_;
};

}  // namespace tracker_test
