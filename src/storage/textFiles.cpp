#include "storage/textFiles.h"

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/scopedHandles.h"

namespace {

constexpr DWORD kInitialModulePathCapacity = 260;
// The longest path the system accepts, terminator included.
constexpr DWORD kMaxModulePathCapacity = 32768;
constexpr DWORD kReadChunk = 64 * 1024;
constexpr std::wstring_view kTempSuffix = L".tmp";

bool equalsIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
               CSTR_EQUAL;
}

// Whether `name` is a temporary file's name for a file named `targetName`:
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
