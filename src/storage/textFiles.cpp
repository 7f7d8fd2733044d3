#include "storage/textFiles.h"

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/scopedHandles.h"

namespace {

constexpr DWORD kInitialModulePathCapacity = 260;
// The longest path the system accepts, terminator included.
constexpr DWORD kMaxModulePathCapacity = 32768;
constexpr DWORD kMaxWriteChunk = 0x40000000;
constexpr DWORD kReadChunk = 64 * 1024;
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

bool equalsIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
               CSTR_EQUAL;
}

// Whether `name` has the form tempPathFor gives a file named `targetName`:
// "<targetName>.<process id>.tmp". Anything else in the directory is not ours.
bool isTempNameFor(std::wstring_view name, std::wstring_view targetName)
{
    if (name.size() <= targetName.size() + 1 + kTempSuffix.size() ||
        !equalsIgnoringCase(name.substr(0, targetName.size()), targetName) || name[targetName.size()] != L'.' ||
        !equalsIgnoringCase(name.substr(name.size() - kTempSuffix.size()), kTempSuffix)) {
        return false;
    }
    const std::wstring_view id =
        name.substr(targetName.size() + 1, name.size() - targetName.size() - 1 - kTempSuffix.size());
    for (const wchar_t c : id) {
        if (c < L'0' || c > L'9') {
            return false;
        }
    }
    return true;
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
// would about double the cost of the write made every counted second.
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
    // Another process holds the target open for longer; the caller saves again later.
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
    // than a megabyte past the new text (never one this program wrote) needs
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

// A fixed MAX_PATH buffer would silently cut a longer path and point the
// program at some other directory.
std::wstring modulePath(HMODULE module)
{
    std::wstring buffer(kInitialModulePathCapacity, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        if (buffer.size() >= kMaxModulePathCapacity) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring directoryOf(std::wstring_view path)
{
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring_view::npos) {
        return L".";
    }
    return std::wstring(path.substr(0, separator));
}

std::wstring absolutePath(const std::wstring& path)
{
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;
    }
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) {
        return path;
    }
    full.resize(written);
    return full;
}

std::wstring executableDirectory()
{
    return directoryOf(modulePath(nullptr));
}

FileState readWholeFile(const std::wstring& path, size_t maxBytes, std::string& bytes)
{
    bytes.clear();
    FileHandle file(CreateFileW(fileSystemPath(absolutePath(path)).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileState::Absent
                                                                              : FileState::Unreadable;
    }
    // Refused before reading, so a huge file costs no memory and no time.
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size) || static_cast<ULONGLONG>(size.QuadPart) > maxBytes) {
        return FileState::Unreadable;
    }
    bytes.reserve(static_cast<size_t>(size.QuadPart));
    char buffer[kReadChunk];
    for (;;) {
        DWORD read = 0;
        // Half a file could read as other values than the file holds; one that
        // grew past the bound meanwhile is refused like a large one.
        if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) || bytes.size() + read > maxBytes) {
            bytes.clear();
            return FileState::Unreadable;
        }
        if (read == 0) {
            return FileState::Read;
        }
        bytes.append(buffer, read);
    }
}

std::string readWholeFile(const std::wstring& path)
{
    std::string bytes;
    readWholeFile(path, SIZE_MAX, bytes);
    return bytes;
}

bool writeWholeFile(const std::wstring& path, std::string_view bytes)
{
    const std::wstring target = absolutePath(path);
    switch (replaceThroughTempFile(target, bytes)) {
    case TempWrite::Replaced: return true;
    // A held file cannot be written in place either.
    case TempWrite::Held: return false;
    // An install may let the program write its two files and nothing else
    // beside them, or not let it replace them; every save would be lost if
    // only a replacement counted.
    case TempWrite::NoTempFile:
    case TempWrite::Refused: return overwriteInPlace(target, bytes);
    }
    return false;
}

std::vector<std::wstring> staleTempFilesOf(const std::wstring& path)
{
    const std::wstring target = absolutePath(path);
    const size_t separator = target.find_last_of(L"\\/");
    const std::wstring directory = separator == std::wstring::npos ? std::wstring() : target.substr(0, separator + 1);
    const std::wstring targetName = separator == std::wstring::npos ? target : target.substr(separator + 1);
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry = {};
    const std::wstring pattern = fileSystemPath(target + L".*" + std::wstring(kTempSuffix));
    HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return found;
    }
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && isTempNameFor(entry.cFileName, targetName)) {
            found.push_back(fileSystemPath(directory + entry.cFileName));
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

void removeStaleTempFiles(const std::wstring& path)
{
    // A temporary file that another running instance is still writing is
    // open without sharing, so its deletion fails and it is left alone.
    for (const std::wstring& temp : staleTempFilesOf(path)) {
        fileCalls().deleteFile(temp.c_str());
    }
}

std::wstring fileSystemPath(const std::wstring& path)
{
    constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
    constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
    constexpr std::wstring_view kSharePrefix = L"\\\\";
    if (path.size() < MAX_PATH || path.starts_with(kLongPrefix) || path.starts_with(kDevicePrefix)) {
        return path;
    }
    if (path.starts_with(kSharePrefix)) {
        return L"\\\\?\\UNC\\" + path.substr(kSharePrefix.size());
    }
    return std::wstring(kLongPrefix) + path;
}

const FileCalls& systemFileCalls()
{
    return kSystemFileCalls;
}

void setFileCalls(const FileCalls* calls)
{
    activeFileCalls = calls != nullptr ? calls : &kSystemFileCalls;
}

std::string escapeJsonString(std::string_view bytes)
{
    std::string escaped;
    escaped.reserve(bytes.size());
    for (const char c : bytes) {
        switch (c) {
        case '\\': escaped += "\\\\"; break;
        case '"': escaped += "\\\""; break;
        case '\t': escaped += "\\t"; break;
        case '\n': escaped += "\\n"; break;
        case '\r': escaped += "\\r"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

std::string unescapeJsonString(std::string_view bytes)
{
    std::string plain;
    plain.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c != '\\' || i + 1 == bytes.size()) {
            plain += c;
            continue;
        }
        const char next = bytes[++i];
        switch (next) {
        case 'n': plain += '\n'; break;
        case 'r': plain += '\r'; break;
        case 't': plain += '\t'; break;
        default: plain += next; break;
        }
    }
    return plain;
}

std::wstring utf8ToUtf16(std::string_view bytes)
{
    if (bytes.empty()) {
        return {};
    }
    // The converters take int lengths; larger texts do not occur in this program's files.
    if (bytes.size() > 0x7FFFFFFF) {
        return {};
    }
    const int length = static_cast<int>(bytes.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring text(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, text.data(), needed);
    return text;
}

std::string utf16ToUtf8(std::wstring_view text)
{
    if (text.empty() || text.size() > 0x7FFFFFFF) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return {};
    }
    std::string bytes(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), needed, nullptr, nullptr);
    return bytes;
}
