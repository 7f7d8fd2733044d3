#include "storage/textFiles.h"

#include <windows.h>

#include "base/scopedHandles.h"

namespace {

constexpr DWORD kModulePathCapacity = 260;

std::wstring tempPathFor(const std::wstring& path)
{
    // One name per process: a second instance writing the same file never
    // shares (and tears) our temporary file.
    return path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
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

bool writeAll(HANDLE file, std::string_view bytes)
{
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace

std::wstring executableDirectory()
{
    wchar_t buffer[kModulePathCapacity] = {};
    GetModuleFileNameW(nullptr, buffer, kModulePathCapacity);
    const std::wstring path(buffer);
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) {
        return L".";
    }
    return path.substr(0, separator);
}

std::string readWholeFile(const std::wstring& path)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return {};
    }
    std::string bytes;
    char buffer[64 * 1024];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) || read == 0) {
            break;
        }
        bytes.append(buffer, read);
    }
    return bytes;
}

bool writeWholeFile(const std::wstring& path, std::string_view bytes)
{
    const std::wstring target = absolutePath(path);
    const std::wstring temp = tempPathFor(target);
    {
        FileHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        if (!file) {
            return false;
        }
        if (!writeAll(file.get(), bytes) || !file.close()) {
            file.close();
            DeleteFileW(temp.c_str());
            return false;
        }
    }
    // MoveFileExW swaps the name atomically; ReplaceFileW (under Wine) briefly leaves no file at all.
    if (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        // Typically another process holds the target; the next save writes it again in full.
        DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

void removeStaleTempFiles(const std::wstring& path)
{
    const std::wstring target = absolutePath(path);
    const size_t separator = target.find_last_of(L"\\/");
    const std::wstring directory = separator == std::wstring::npos ? std::wstring() : target.substr(0, separator + 1);
    WIN32_FIND_DATAW found = {};
    const std::wstring pattern = target + L".*.tmp";
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            DeleteFileW((directory + found.cFileName).c_str());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
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
