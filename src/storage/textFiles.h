// Whole-file reading and writing, JSON string escaping and UTF-8/UTF-16 conversion.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

// The running executable's directory, without a trailing separator.
std::wstring executableDirectory();

// The full path of a loaded module (nullptr: the executable), however long;
// empty on failure.
std::wstring modulePath(HMODULE module);

// `path` made absolute against the current directory; `path` itself when the
// system cannot resolve it. A replacement resolves both names once, so the
// temporary file lands beside the target.
std::wstring absolutePath(const std::wstring& path);

// Everything before the last backslash or slash of `path`; "." when it has none.
std::wstring directoryOf(std::wstring_view path);

// What reading a file found. Only an absent file (or folder) means there is
// nothing: one that another program holds, that is refused or that is larger
// than the reader accepts is there, and its contents are unknown.
enum class FileState { Read, Absent, Unreadable };

// The whole file in `bytes` when it is Read (NUL bytes are kept); a file of
// more than `maxBytes` is Unreadable and not read at all. `bytes` is empty
// unless the file was Read.
FileState readWholeFile(const std::wstring& path, size_t maxBytes, std::string& bytes);

// Empty when the file cannot be opened or read.
std::string readWholeFile(const std::wstring& path);

// The program itself keeps its two files open and saves them in place
// (storage/stateFiles.h); this whole-file replacement is for the tests and the
// benchmark, which write the files as another program or an older version would.
// Replaces the file as a whole through a temporary file in the same directory:
// readers and a killed process see either the old or the new complete
// contents, never a mix or a truncated file (under Wine, replacing an existing
// file leaves it missing for a moment). An existing file is replaced so
// that it keeps its access list, owner and attributes. Where no temporary file
// can be made or put in the file's place (an account that may write the file
// but not replace it), the file is overwritten in place instead. False when
// the new contents could not be put in place, among others while another
// program holds the file (the old file then stays as it was).
bool writeWholeFile(const std::wstring& path, std::string_view bytes);

// Removes the temporary files that writeWholeFile leaves behind only when the
// process is killed between creating and renaming one.
void removeStaleTempFiles(const std::wstring& path);

// The full paths of the temporary files "<path>.<process id>.tmp" that
// writeWholeFile (and earlier versions' saves) may have left beside `path`.
std::vector<std::wstring> staleTempFilesOf(const std::wstring& path);

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
// refuses new files, an account that may not replace a file, or a system that
// keeps to the classic path limit.
struct FileCalls {
    HANDLE (*createFile)(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition);
    // Renames over an existing file, as MoveFileExW with MOVEFILE_REPLACE_EXISTING.
    BOOL (*replaceFile)(const wchar_t* from, const wchar_t* to);
    BOOL (*deleteFile)(const wchar_t* path);
    // Puts `replacement` in the place of the existing file `target`, which keeps
    // its access list, owner and attributes, as ReplaceFileW. A target that
    // another program holds without sharing deletion fails with
    // ERROR_SHARING_VIOLATION.
    BOOL (*replaceExistingFile)(const wchar_t* target, const wchar_t* replacement);
    // Cuts the file off at its current position, as SetEndOfFile.
    BOOL (*setEndOfFile)(HANDLE file);
};

const FileCalls& systemFileCalls();
// Installs `calls` (nullptr: the system's).
void setFileCalls(const FileCalls* calls);
