// What the installer tests need from Windows: processes with their own
// environment, the registry, files, windows of other processes, version
// resources, shortcuts and screenshots.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testBasics.h"

namespace installer_test {

using test_basics::kDefaultTimeoutMs;
using test_basics::toUtf8;
using test_basics::bmpFileBytes;
using test_basics::toWide;
using test_basics::waitUntil;
using test_basics::windowsPathFromUnix;
using test_basics::windowText;

inline constexpr wchar_t kControlClass[] = L"HourwardenHiddenWindow";
inline constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Hourwarden";

bool equalsIgnoringCase(const std::wstring& a, const std::wstring& b);
// An environment variable holding a Linux path, as Windows sees that path.
std::wstring windowsPathFromEnvironment(const char* name);

// Environment variables to set for a child, on top of our own environment.
using Environment = std::vector<std::pair<std::wstring, std::wstring>>;

// A started process; ends nothing when destroyed, only closes its handle.
class Process {
public:
    Process() = default;
    explicit Process(const std::wstring& commandLine, const Environment& environment = {});
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;

    bool started() const { return handle_ != nullptr; }
    DWORD id() const { return id_; }
    bool hasExited() const;
    // The exit code once the process ended within the time, or nothing.
    std::optional<DWORD> wait(DWORD timeoutMs = kDefaultTimeoutMs) const;
    void terminate();

private:
    HANDLE handle_ = nullptr;
    DWORD id_ = 0;
};

std::wstring quoted(const std::wstring& path);

std::optional<std::string> readFile(const std::wstring& path);
bool writeFile(const std::wstring& path, const std::string& bytes);
bool fileExists(const std::wstring& path);
bool directoryExists(const std::wstring& path);
// The names in a directory, without "." and "..".
std::vector<std::wstring> directoryEntries(const std::wstring& directory);
// Removes a directory and everything in it; true when it is gone.
bool removeTree(const std::wstring& directory);
std::wstring knownFolder(const GUID& id);
std::wstring tempDirectory();

// In HKEY_CURRENT_USER unless `root` says otherwise.
std::optional<std::wstring> registryString(const wchar_t* key, const wchar_t* name, HKEY root = HKEY_CURRENT_USER);
std::optional<DWORD> registryDword(const wchar_t* key, const wchar_t* name);
bool registryKeyExists(const wchar_t* key, HKEY root = HKEY_CURRENT_USER);
bool registryValueExists(const wchar_t* key, const wchar_t* name);
void setRegistryString(const wchar_t* key, const wchar_t* name, const std::wstring& value);
void setRegistryBinary(const wchar_t* key, const wchar_t* name, const std::vector<BYTE>& value);
void deleteRegistryValue(const wchar_t* key, const wchar_t* name);

// Top-level windows of a class, with their processes.
struct FoundWindow {
    HWND window;
    DWORD processId;
};
std::vector<FoundWindow> windowsOfClass(const wchar_t* className);
// The full path of a process's executable, or empty.
std::wstring processImage(DWORD processId);
// Asks every window of the class to close, and waits until each one's process has exited.
bool closeAllOfClass(const wchar_t* className, DWORD timeoutMs = kDefaultTimeoutMs);

// Visible top-level windows of a process with the given class.
std::vector<HWND> processWindows(DWORD processId, const wchar_t* className);
// A descendant whose text begins with `prefix`, or null.
HWND findDescendantWithTextPrefix(HWND parent, const std::wstring& prefix);
HWND findDescendantOfClass(HWND parent, const wchar_t* className);
// Every visible descendant of the class, in no particular order.
std::vector<HWND> visibleDescendantsOfClass(HWND parent, const wchar_t* className);

struct VersionInfo {
    WORD fileVersion[4] = {};
    WORD productVersion[4] = {};
    std::wstring productName;
    std::wstring productVersionText;
    std::wstring fileVersionText;
    std::wstring fileDescription;
    std::wstring originalFilename;
};
std::optional<VersionInfo> readVersionInfo(const std::wstring& exe);

// The target a .lnk file points at, or empty.
std::wstring shortcutTarget(const std::wstring& lnk);

// Saves what the screen shows of a window as a 24-bit BMP.
bool saveWindowBitmap(HWND window, const std::wstring& path);
// Whether the window shows the same pixels twice in a row and is not blank.
bool windowLooksSettled(HWND window);

}  // namespace installer_test
