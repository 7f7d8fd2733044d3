// Helpers for the storage tests: whole-record comparison, a private scratch
// directory and a look at what lies in it.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "storage/usageRecords.h"

namespace storage_test {

// Every field of a record, so one comparison covers (and prints) them all.
inline auto fields(const AppConfig& c)
{
    return std::make_tuple(c.dailyLimitMinutes, c.showLastThreeMinuteNotifications, static_cast<int>(c.language),
                           c.statusWindowX, c.statusWindowY);
}

inline auto fields(const DailyUsage& u)
{
    return std::make_tuple(u.date, u.usedSeconds, u.warningShown, u.settingsPassword, u.requirePasswordOnExit,
                           u.threeMinuteNotificationShown, u.twoMinuteNotificationShown, u.oneMinuteNotificationShown);
}

// A fresh empty directory under the temporary folder, removed with all its
// files when the test ends.
class ScratchDirectory {
public:
    ScratchDirectory()
    {
        wchar_t base[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, base);
        static unsigned counter = 0;
        for (;;) {
            path_ = std::wstring(base) + L"hw-storage-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                    std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
            if (CreateDirectoryW(path_.c_str(), nullptr)) {
                break;
            }
        }
    }
    ~ScratchDirectory() { removeTree(path_); }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

    // Names of the entries in the directory, sorted.
    std::vector<std::wstring> entries() const { return entriesOf(path_); }

    static std::vector<std::wstring> entriesOf(const std::wstring& directory)
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
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    static void removeTree(const std::wstring& directory)
    {
        for (const std::wstring& name : entriesOf(directory)) {
            const std::wstring child = directory + L"\\" + name;
            const DWORD attributes = GetFileAttributesW(child.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                removeTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        }
        RemoveDirectoryW(directory.c_str());
    }

    std::wstring path_;
};

}  // namespace storage_test
