// Whole-file reading and writing, JSON string escaping and UTF-8/UTF-16 conversion.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The running executable's directory, without a trailing separator.
std::wstring executableDirectory();

// The full path of a loaded module (nullptr: the executable), however long;
// empty on failure.
std::wstring modulePath(HMODULE module);

// Everything before the last backslash or slash of `path`; "." when it has none.
std::wstring directoryOf(std::wstring_view path);

// Empty when the file cannot be opened or read; NUL bytes are kept.
std::string readWholeFile(const std::wstring& path);

// Replaces the file as a whole through a temporary file in the same directory:
// readers and a killed process see either the old or the new complete
// contents, never a mix or a truncated file. Where no temporary file can be
// made (a directory that refuses new files), the file is overwritten in place
// instead. False when the new contents could not be put in place (the old file
// then stays as it was).
bool writeWholeFile(const std::wstring& path, std::string_view bytes);

// Removes the temporary files that writeWholeFile leaves behind only when the
// process is killed between creating and renaming one.
void removeStaleTempFiles(const std::wstring& path);

std::string escapeJsonString(std::string_view bytes);
std::string unescapeJsonString(std::string_view bytes);

std::wstring utf8ToUtf16(std::string_view bytes);
std::string utf16ToUtf8(std::wstring_view text);

// `path` in the form the system accepts at any length: a path of MAX_PATH
// characters or more gets the \\?\ prefix (\\?\UNC\ for a share); shorter
// ones stay as they are. `path` must be absolute.
std::wstring fileSystemPath(const std::wstring& path);

// The file calls behind writeWholeFile and removeStaleTempFiles. The program
// uses the system's; unit tests install their own to play a directory that
// refuses new files or a system that keeps to the classic path limit.
struct FileCalls {
    HANDLE (*createFile)(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition);
    // Renames over an existing file, as MoveFileExW with MOVEFILE_REPLACE_EXISTING.
    BOOL (*replaceFile)(const wchar_t* from, const wchar_t* to);
    BOOL (*deleteFile)(const wchar_t* path);
};

const FileCalls& systemFileCalls();
// Installs `calls` (nullptr: the system's).
void setFileCalls(const FileCalls* calls);
