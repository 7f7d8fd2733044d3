// Whole-file reading, paths, JSON string escaping and UTF-8/UTF-16 conversion.
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
// system cannot resolve it.
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

// The full paths of the temporary files "<path>.<process id>.tmp" that an
// earlier version's saves may have left beside `path`.
std::vector<std::wstring> staleTempFilesOf(const std::wstring& path);

std::string escapeJsonString(std::string_view bytes);
std::string unescapeJsonString(std::string_view bytes);

std::wstring utf8ToUtf16(std::string_view bytes);
std::string utf16ToUtf8(std::wstring_view text);

// `path` in the form the system accepts at any length: a path of MAX_PATH
// characters or more gets the \\?\ prefix (\\?\UNC\ for a share); shorter
// ones stay as they are. `path` must be absolute.
std::wstring fileSystemPath(const std::wstring& path);
