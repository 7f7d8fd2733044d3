#include "wholeFile.h"

#include <cstdint>
#include <string>

#include "base/scopedHandles.h"
#include "storage/settingsFiles.h"
#include "storage/textFiles.h"

namespace {

constexpr DWORD kMaxWriteChunk = 0x40000000;
// The temporary files' form "<path>.<process id>.tmp", the one staleTempFilesOf finds.
constexpr std::wstring_view kTempSuffix = L".tmp";
// A held target costs a save at most this many attempts with these pauses between.
constexpr int kReplaceAttempts = 4;
constexpr DWORD kReplacePauseMs = 5;
constexpr size_t kPaddingChunk = 1024 * 1024;

std::wstring tempPathFor(const std::wstring& path)
{
    // One name per process: a second instance writing the same file never
    // shares (and tears) our temporary file.
    return path + L"." + std::to_wstring(GetCurrentProcessId()) + std::wstring(kTempSuffix);
}

HANDLE systemCreateFile(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition)
{
    return CreateFileW(path, access, shareMode, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// MoveFileExW swaps the name atomically. Used where no file has the name yet:
// over an existing file it would give the file the temporary file's access list.
BOOL systemReplaceFile(const wchar_t* from, const wchar_t* to)
{
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

BOOL systemDeleteFile(const wchar_t* path)
{
    return DeleteFileW(path);
}

bool isHeldError(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// ReplaceFileW keeps what an administrator set on the file (access list, owner,
// attributes). No merge errors are ignored: a replacement that would lose them
// fails, and the in-place write keeps them instead.
//
// Wine's ReplaceFileW, on a target held without delete sharing, leaves an
// empty "rf*.tmp" file beside it at every failed call. Opening the target the
// way a replacement must first is refused in exactly that case and leaves
// nothing behind. (Wine also moves the old file away before renaming the new
// one, so for a fraction of a millisecond there is no file at all.)
BOOL systemReplaceExistingFile(const wchar_t* target, const wchar_t* replacement)
{
    {
        FileHandle probe(CreateFileW(target, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!probe && isHeldError(GetLastError())) {
            return FALSE;
        }
    }
    return ReplaceFileW(target, replacement, nullptr, 0, nullptr, nullptr);
}

BOOL systemSetEndOfFile(HANDLE file)
{
    return SetEndOfFile(file);
}

constexpr FileCalls kSystemFileCalls = {systemCreateFile, systemReplaceFile, systemDeleteFile,
                                        systemReplaceExistingFile, systemSetEndOfFile};

const FileCalls* activeFileCalls = &kSystemFileCalls;

const FileCalls& fileCalls()
{
    return *activeFileCalls;
}

bool writeAll(HANDLE file, std::string_view bytes)
{
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > kMaxWriteChunk ? kMaxWriteChunk : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

bool isExistingFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// One attempt at giving `temp` the target's name; the last error tells why not.
bool putTempInPlace(const std::wstring& temp, const std::wstring& target)
{
    if (isExistingFile(target)) {
        if (fileCalls().replaceExistingFile(target.c_str(), temp.c_str())) {
            return true;
        }
        const DWORD error = GetLastError();
        // Otherwise the name is free: the target went away meanwhile, or the
        // replacement moved the old file away and then failed.
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
            error != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            return false;
        }
    }
    return fileCalls().replaceFile(temp.c_str(), target.c_str()) != FALSE;
}

enum class TempWrite { Replaced, NoTempFile, Refused, Held };

// No FlushFileBuffers before the rename: the temporary file alone already
// keeps readers and a killed process from seeing a torn file, while a flush
// would about double the cost of a write that an older version made every
// counted second.
// (Under Wine on ext4 the rename is committed only after the new data anyway;
// on NTFS a power cut just after a save may still leave the new file empty.)
TempWrite replaceThroughTempFile(const std::wstring& target, std::string_view bytes)
{
    // The temporary name is longer than the target's: where the target just
    // fits the classic limit, the temporary file needs the long form.
    const std::wstring temp = fileSystemPath(tempPathFor(target));
    {
        FileHandle file(fileCalls().createFile(temp.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS));
        if (!file) {
            return TempWrite::NoTempFile;
        }
        if (!writeAll(file.get(), bytes) || !file.close()) {
            file.close();
            fileCalls().deleteFile(temp.c_str());
            return TempWrite::NoTempFile;
        }
    }
    const std::wstring targetPath = fileSystemPath(target);
    // A reader that has the target open for a moment blocks the replacement
    // (on Windows a scanner glancing at a file just written can): a few quick
    // attempts pass it by.
    for (int attempt = 1; attempt <= kReplaceAttempts; ++attempt) {
        if (putTempInPlace(temp, targetPath)) {
            return TempWrite::Replaced;
        }
        if (!isHeldError(GetLastError())) {
            // Refused for good (access denied, a replacement the account may
            // not make): waiting changes nothing.
            fileCalls().deleteFile(temp.c_str());
            return TempWrite::Refused;
        }
        if (attempt < kReplaceAttempts) {
            Sleep(kReplacePauseMs);
        }
    }
    // Another process holds the target open for longer; the caller may write again later.
    fileCalls().deleteFile(temp.c_str());
    return TempWrite::Held;
}

// Exclusive, so no reader meets the file half written; while another process
// holds it, this fails like the replacement would. The new text goes over the
// old, padded with spaces to the old length in the same write, before the end
// is cut off: a process killed in between leaves the whole new text followed
// by nothing but whitespace, which the readers skip (they take the first
// occurrence of each key).
bool overwriteInPlace(const std::wstring& target, std::string_view bytes)
{
    FileHandle file(fileCalls().createFile(fileSystemPath(target).c_str(), GENERIC_WRITE, 0, OPEN_ALWAYS));
    if (!file) {
        return false;
    }
    LARGE_INTEGER oldSize = {};
    if (!GetFileSizeEx(file.get(), &oldSize)) {
        return false;
    }
    const uint64_t oldLength = static_cast<uint64_t>(oldSize.QuadPart);
    const uint64_t padding = oldLength > bytes.size() ? oldLength - bytes.size() : 0;
    // A first write of text and padding together; only an old file of more
    // than a megabyte past the new text (never one the program wrote) needs
    // more spaces after it.
    std::string padded(bytes);
    padded.append(static_cast<size_t>(padding < kPaddingChunk ? padding : kPaddingChunk), ' ');
    if (!writeAll(file.get(), padded)) {
        return false;
    }
    const std::string spaces(kPaddingChunk, ' ');
    for (uint64_t left = padding - (padded.size() - bytes.size()); left > 0;) {
        const size_t chunk = static_cast<size_t>(left < kPaddingChunk ? left : kPaddingChunk);
        if (!writeAll(file.get(), std::string_view(spaces).substr(0, chunk))) {
            return false;
        }
        left -= chunk;
    }
    LARGE_INTEGER end = {};
    end.QuadPart = static_cast<LONGLONG>(bytes.size());
    if (!SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) || !fileCalls().setEndOfFile(file.get())) {
        return false;
    }
    return file.close();
}

}  // namespace

bool writeWholeFile(const std::wstring& path, std::string_view bytes)
{
    const std::wstring target = absolutePath(path);
    switch (replaceThroughTempFile(target, bytes)) {
    case TempWrite::Replaced: return true;
    // A held file cannot be written in place either.
    case TempWrite::Held: return false;
    // An install may let the writer write the two files and nothing else
    // beside them, or not let it replace them; every write would be lost if
    // only a replacement counted.
    case TempWrite::NoTempFile:
    case TempWrite::Refused: return overwriteInPlace(target, bytes);
    }
    return false;
}

void removeStaleTempFiles(const std::wstring& path)
{
    // A temporary file that another running instance is still writing is
    // open without sharing, so its deletion fails and it is left alone.
    for (const std::wstring& temp : staleTempFilesOf(path)) {
        fileCalls().deleteFile(temp.c_str());
    }
}

const FileCalls& systemFileCalls()
{
    return kSystemFileCalls;
}

void setFileCalls(const FileCalls* calls)
{
    activeFileCalls = calls != nullptr ? calls : &kSystemFileCalls;
}

bool writeConfigFile(const std::wstring& path, const AppConfig& config)
{
    return writeWholeFile(path, configFileText(config));
}

bool writeUsageFile(const std::wstring& path, const DailyUsage& usage)
{
    return writeWholeFile(path, usageFileText(usage));
}
