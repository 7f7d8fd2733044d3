// One counter per pair of files: a second start on the same files hands over
// to the program that already runs on them instead of counting beside it.
#pragma once

#include <windows.h>

#include <string>

// The directory as the file system names it (links and short names resolved),
// in one case, so every spelling of one directory gives the same text.
std::wstring canonicalDirectory(const std::wstring& directory);

// The session-local mutex owned by the program that works on the files in `directory`.
std::wstring instanceMutexName(const std::wstring& directory);

// The control window of another process started from `directory`, or null.
HWND findRunningControlWindow(const std::wstring& directory);

// Holds the instance mutex for this process's lifetime.
class InstanceLock {
public:
    explicit InstanceLock(const std::wstring& directory);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Another program already works on the same files.
    bool heldElsewhere() const { return heldElsewhere_; }

private:
    HANDLE mutex_ = nullptr;
    bool heldElsewhere_ = false;
};

// Asks the program running from `directory` to open its status window, as a
// double click on its icon would. False when none answered in time.
bool askRunningProgramToShowStatus(const std::wstring& directory, UINT showStatusMessage);
