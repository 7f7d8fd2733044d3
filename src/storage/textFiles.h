// Whole-file reading and writing, JSON string escaping and UTF-8/UTF-16 conversion.
#pragma once

#include <string>
#include <string_view>

std::wstring executableDirectory();

// Empty when the file cannot be opened; NUL bytes are kept.
std::string readWholeFile(const std::wstring& path);

// Replaces the file as a whole: readers, a crash or a power cut see either the
// old or the new complete contents, never a mix or a truncated file.
bool writeWholeFile(const std::wstring& path, std::string_view bytes);

// Removes the temporary files that writeWholeFile leaves only when the
// process is killed between writing and renaming.
void removeStaleTempFiles(const std::wstring& path);

std::string escapeJsonString(std::string_view bytes);
std::string unescapeJsonString(std::string_view bytes);

std::wstring utf8ToUtf16(std::string_view bytes);
std::string utf16ToUtf8(std::wstring_view text);
