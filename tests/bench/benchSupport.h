// What the benchmark's measurements share: timing, medians, scratch
// directories and finding a program's windows.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const wchar_t* kControlWindowClass = L"HourwardenHiddenWindow";

class Stopwatch {
public:
    Stopwatch()
    {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    void restart() { QueryPerformanceCounter(&start_); }
    double elapsedMicroseconds() const
    {
        LARGE_INTEGER now = {};
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - start_.QuadPart) * 1e6 / static_cast<double>(frequency_.QuadPart);
    }

private:
    LARGE_INTEGER frequency_ = {};
    LARGE_INTEGER start_ = {};
};

inline double median(std::vector<double> values)
{
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

// A fresh directory under the temporary directory, removed with its files.
class TempDirectory {
public:
    TempDirectory()
    {
        static int serial = 0;
        wchar_t base[MAX_PATH + 1] = {};
        const DWORD length = GetTempPathW(MAX_PATH + 1, base);
        if (length == 0 || length > MAX_PATH) {
            return;
        }
        const std::wstring candidate = std::wstring(base) + L"hourwarden-bench-" +
                                       std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
        }
    }
    ~TempDirectory() { remove(); }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    bool valid() const { return !path_.empty(); }
    const std::wstring& path() const { return path_; }
    std::wstring file(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }

    // A program that just exited may hold its image a moment longer: retry briefly.
    void remove()
    {
        if (path_.empty()) {
            return;
        }
        constexpr int kAttempts = 100;
        constexpr DWORD kRetryDelayMs = 20;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            deleteFiles();
            if (RemoveDirectoryW(path_.c_str())) {
                break;
            }
            Sleep(kRetryDelayMs);
        }
        path_.clear();
    }

private:
    void deleteFiles() const
    {
        WIN32_FIND_DATAW found = {};
        HANDLE search = FindFirstFileW(file(L"*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) {
            return;
        }
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                DeleteFileW(file(found.cFileName).c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }

    std::wstring path_;
};

// The first top-level window of `className` that belongs to the process.
HWND windowOfProcess(DWORD processId, const wchar_t* className);
inline HWND controlWindowOf(DWORD processId)
{
    return windowOfProcess(processId, kControlWindowClass);
}
bool fileWritten(const std::wstring& path);
