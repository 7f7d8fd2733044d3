#include "testBasics.h"

namespace test_basics {
namespace {

constexpr DWORD kPollMs = 25;
constexpr UINT kTextTimeoutMs = 5000;

}  // namespace

bool waitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        Sleep(kPollMs);
    }
}

std::wstring toWide(const std::string& utf8)
{
    if (utf8.empty()) {
        return {};
    }
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), length);
    return text;
}

std::string toUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr,
                        nullptr);
    return bytes;
}

std::wstring windowsPathFromUnix(const std::string& path)
{
    if (path.empty() || path[0] != '/') {
        return toWide(path);
    }
    std::wstring windows = L"Z:" + toWide(path);
    for (wchar_t& c : windows) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return windows;
}

std::wstring windowText(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kTextTimeoutMs, &length)) {
        return {};
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             kTextTimeoutMs, &copied)) {
        return {};
    }
    text.resize(static_cast<size_t>(copied));
    return text;
}

std::string bmpFileBytes(const std::vector<COLORREF>& pixels, int width, int height)
{
    const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
    BITMAPFILEHEADER header = {};
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    header.bfSize = header.bfOffBits + stride * static_cast<DWORD>(height);
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;  // bottom-up, as BMP files store rows
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
    for (int row = height - 1; row >= 0; --row) {
        std::string line(stride, '\0');
        for (int x = 0; x < width; ++x) {
            const COLORREF pixel = pixels[static_cast<size_t>(row) * width + x];
            line[x * 3] = static_cast<char>(GetBValue(pixel));
            line[x * 3 + 1] = static_cast<char>(GetGValue(pixel));
            line[x * 3 + 2] = static_cast<char>(GetRValue(pixel));
        }
        bytes += line;
    }
    return bytes;
}

}  // namespace test_basics
