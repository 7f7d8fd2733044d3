#include "installerSupport.h"

#include <shlobj.h>
#include <shobjidl.h>

#include <cstdlib>
#include <cwctype>

namespace installer_test {
namespace {

constexpr DWORD kPollMs = 25;

struct RegistryKey {
    HKEY key = nullptr;
    ~RegistryKey()
    {
        if (key != nullptr) {
            RegCloseKey(key);
        }
    }
};

std::vector<wchar_t> environmentBlock(const Environment& overrides)
{
    std::vector<std::wstring> entries;
    if (wchar_t* current = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = current; *entry != L'\0'; entry += wcslen(entry) + 1) {
            const std::wstring text = entry;
            bool replaced = false;
            for (const auto& [name, value] : overrides) {
                replaced = replaced || (text.size() > name.size() && text[name.size()] == L'=' &&
                                        equalsIgnoringCase(text.substr(0, name.size()), name));
            }
            if (!replaced) {
                entries.push_back(text);
            }
        }
        FreeEnvironmentStringsW(current);
    }
    for (const auto& [name, value] : overrides) {
        entries.push_back(name + L"=" + value);
    }
    std::vector<wchar_t> block;
    for (const std::wstring& entry : entries) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

std::wstring versionString(const std::vector<BYTE>& data, const std::wstring& block, const wchar_t* name)
{
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\" + block + L"\\" + name;
    if (!VerQueryValueW(data.data(), path.c_str(), &value, &length) || length == 0) {
        return {};
    }
    return std::wstring(static_cast<const wchar_t*>(value), length - 1);
}

BOOL CALLBACK collectDescendant(HWND window, LPARAM context)
{
    static_cast<std::vector<HWND>*>(reinterpret_cast<void*>(context))->push_back(window);
    return TRUE;
}

std::vector<HWND> descendants(HWND parent)
{
    std::vector<HWND> found;
    EnumChildWindows(parent, collectDescendant, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::wstring className(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

std::vector<COLORREF> capture(HWND window)
{
    RECT area = {};
    if (!GetWindowRect(window, &area) || area.right <= area.left || area.bottom <= area.top) {
        return {};
    }
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    std::vector<COLORREF> pixels;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY)) {
            GdiFlush();
            const auto* source = static_cast<const DWORD*>(bits);
            pixels.reserve(static_cast<size_t>(width) * height);
            for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
                const DWORD bgr = source[i];
                pixels.push_back(RGB((bgr >> 16) & 0xFF, (bgr >> 8) & 0xFF, bgr & 0xFF));
            }
        }
        SelectObject(memory, previous);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

}  // namespace

bool equalsIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring windowsPathFromEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    return windowsPathFromUnix(value != nullptr ? value : "");
}

Process::Process(const std::wstring& commandLine, const Environment& environment)
{
    std::vector<wchar_t> block = environmentBlock(environment);
    std::wstring command = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, block.data(),
                       nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        handle_ = info.hProcess;
        id_ = info.dwProcessId;
    }
}

Process::~Process()
{
    if (handle_ != nullptr) {
        CloseHandle(handle_);
    }
}

Process::Process(Process&& other) noexcept : handle_(other.handle_), id_(other.id_)
{
    other.handle_ = nullptr;
    other.id_ = 0;
}

Process& Process::operator=(Process&& other) noexcept
{
    if (this != &other) {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
        handle_ = other.handle_;
        id_ = other.id_;
        other.handle_ = nullptr;
        other.id_ = 0;
    }
    return *this;
}

bool Process::hasExited() const
{
    return handle_ == nullptr || WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

std::optional<DWORD> Process::wait(DWORD timeoutMs) const
{
    DWORD code = 0;
    if (handle_ == nullptr || WaitForSingleObject(handle_, timeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(handle_, &code)) {
        return std::nullopt;
    }
    return code;
}

void Process::terminate()
{
    if (handle_ != nullptr && !hasExited()) {
        TerminateProcess(handle_, 1);
        WaitForSingleObject(handle_, kDefaultTimeoutMs);
    }
}

std::wstring quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

std::optional<std::string> readFile(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    CloseHandle(file);
    return bytes;
}

bool writeFile(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    return CloseHandle(file) && ok;
}

bool fileExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool directoryExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> directoryEntries(const std::wstring& directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

bool removeTree(const std::wstring& directory)
{
    for (const std::wstring& name : directoryEntries(directory)) {
        const std::wstring path = directory + L"\\" + name;
        if (directoryExists(path)) {
            removeTree(path);
        } else {
            DeleteFileW(path.c_str());
        }
    }
    RemoveDirectoryW(directory.c_str());
    return !directoryExists(directory);
}

std::wstring knownFolder(const GUID& id)
{
    PWSTR path = nullptr;
    std::wstring result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path))) {
        result = path;
    }
    CoTaskMemFree(path);
    return result;
}

std::wstring tempDirectory()
{
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, path);
    std::wstring result(path, length);
    while (!result.empty() && result.back() == L'\\') {
        result.pop_back();
    }
    return result;
}

std::optional<std::wstring> registryString(const wchar_t* key, const wchar_t* name, HKEY root)
{
    DWORD size = 0;
    if (RegGetValueW(root, key, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(root, key, name, RRF_RT_REG_SZ, nullptr, value.data(), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.resize(wcslen(value.c_str()));
    return value;
}

std::optional<DWORD> registryDword(const wchar_t* key, const wchar_t* name)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

bool registryKeyExists(const wchar_t* key, HKEY root)
{
    RegistryKey opened;
    return RegOpenKeyExW(root, key, 0, KEY_READ, &opened.key) == ERROR_SUCCESS;
}

void setRegistryString(const wchar_t* key, const wchar_t* name, const std::wstring& value)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, key, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void setRegistryBinary(const wchar_t* key, const wchar_t* name, const std::vector<BYTE>& value)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, key, name, REG_BINARY, value.data(), static_cast<DWORD>(value.size()));
}

bool registryValueExists(const wchar_t* key, const wchar_t* name)
{
    return RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

void deleteRegistryValue(const wchar_t* key, const wchar_t* name)
{
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, name);
}

std::vector<FoundWindow> windowsOfClass(const wchar_t* className)
{
    std::vector<FoundWindow> found;
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, className, nullptr)) != nullptr) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        found.push_back({window, processId});
    }
    return found;
}

std::wstring processImage(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return {};
    }
    wchar_t path[MAX_PATH * 2] = {};
    DWORD length = MAX_PATH * 2;
    std::wstring result;
    if (QueryFullProcessImageNameW(process, 0, path, &length)) {
        result.assign(path, length);
    }
    CloseHandle(process);
    return result;
}

bool closeAllOfClass(const wchar_t* className, DWORD timeoutMs)
{
    for (const FoundWindow& found : windowsOfClass(className)) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, found.processId);
        PostMessageW(found.window, WM_CLOSE, 0, 0);
        if (process != nullptr) {
            WaitForSingleObject(process, timeoutMs);
            CloseHandle(process);
        }
    }
    return waitUntil([&] { return windowsOfClass(className).empty(); }, timeoutMs);
}

std::vector<HWND> processWindows(DWORD processId, const wchar_t* className)
{
    std::vector<HWND> found;
    for (const FoundWindow& window : windowsOfClass(className)) {
        if (window.processId == processId && IsWindowVisible(window.window)) {
            found.push_back(window.window);
        }
    }
    return found;
}

HWND findDescendantWithTextPrefix(HWND parent, const std::wstring& prefix)
{
    for (HWND child : descendants(parent)) {
        if (IsWindowVisible(child) && windowText(child).rfind(prefix, 0) == 0) {
            return child;
        }
    }
    return nullptr;
}

std::vector<HWND> visibleDescendantsOfClass(HWND parent, const wchar_t* wanted)
{
    std::vector<HWND> found;
    for (HWND child : descendants(parent)) {
        if (IsWindowVisible(child) && equalsIgnoringCase(className(child), wanted)) {
            found.push_back(child);
        }
    }
    return found;
}

HWND findDescendantOfClass(HWND parent, const wchar_t* wanted)
{
    for (HWND child : descendants(parent)) {
        if (equalsIgnoringCase(className(child), wanted)) {
            return child;
        }
    }
    return nullptr;
}

std::optional<VersionInfo> readVersionInfo(const std::wstring& exe)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    if (size == 0) {
        return std::nullopt;
    }
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(exe.c_str(), 0, size, data.data())) {
        return std::nullopt;
    }
    VersionInfo info;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        return std::nullopt;
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    if (fixed->dwSignature != VS_FFI_SIGNATURE) {
        return std::nullopt;
    }
    const DWORD parts[4] = {fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
                            fixed->dwProductVersionLS};
    for (int i = 0; i < 2; ++i) {
        info.fileVersion[i * 2] = HIWORD(parts[i]);
        info.fileVersion[i * 2 + 1] = LOWORD(parts[i]);
        info.productVersion[i * 2] = HIWORD(parts[2 + i]);
        info.productVersion[i * 2 + 1] = LOWORD(parts[2 + i]);
    }
    // The strings live in the block of the first language the resource lists.
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &value, &length) || length < 4) {
        return std::nullopt;
    }
    const auto* translation = static_cast<const WORD*>(value);
    wchar_t block[9] = {};
    swprintf(block, 9, L"%04x%04x", translation[0], translation[1]);
    info.productName = versionString(data, block, L"ProductName");
    info.productVersionText = versionString(data, block, L"ProductVersion");
    info.fileVersionText = versionString(data, block, L"FileVersion");
    info.fileDescription = versionString(data, block, L"FileDescription");
    info.originalFilename = versionString(data, block, L"OriginalFilename");
    return info;
}

std::wstring shortcutTarget(const std::wstring& lnk)
{
    std::wstring target;
    const HRESULT initialized = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link)))) {
        IPersistFile* file = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            wchar_t path[MAX_PATH] = {};
            if (SUCCEEDED(file->Load(lnk.c_str(), STGM_READ)) &&
                SUCCEEDED(link->GetPath(path, MAX_PATH, nullptr, SLGP_RAWPATH))) {
                target = path;
            }
            file->Release();
        }
        link->Release();
    }
    if (SUCCEEDED(initialized)) {
        CoUninitialize();
    }
    return target;
}

bool saveWindowBitmap(HWND window, const std::wstring& path)
{
    const std::vector<COLORREF> pixels = capture(window);
    RECT area = {};
    if (pixels.empty() || !GetWindowRect(window, &area)) {
        return false;
    }
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    if (pixels.size() != static_cast<size_t>(width) * height) {
        return false;
    }
    return writeFile(path, bmpFileBytes(pixels, width, height));
}

bool windowLooksSettled(HWND window)
{
    const std::vector<COLORREF> first = capture(window);
    if (first.empty()) {
        return false;
    }
    bool varied = false;
    for (const COLORREF pixel : first) {
        varied = varied || pixel != first.front();
    }
    Sleep(200);
    return varied && capture(window) == first;
}

}  // namespace installer_test
