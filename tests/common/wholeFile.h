// The tests' stand-in for another program, or an older version of this one,
// writing config.json and data.json as whole files. The program itself keeps
// its two files open and saves them in place (storage/stateFiles.h); the unit
// tests and the benchmark use this to put files in place from outside, and to
// play the temporary files such a writer leaves behind.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "storage/usageRecords.h"

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
// process is killed between creating and renaming one (those staleTempFilesOf
// finds).
void removeStaleTempFiles(const std::wstring& path);

// The exact text of the program's config.json and data.json, written with writeWholeFile.
bool writeConfigFile(const std::wstring& path, const AppConfig& config);
bool writeUsageFile(const std::wstring& path, const DailyUsage& usage);

// The file calls behind writeWholeFile and removeStaleTempFiles. The system's
// unless a test installs its own to play a directory that refuses new files,
// an account that may not replace a file, or a system that keeps to the
// classic path limit.
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
