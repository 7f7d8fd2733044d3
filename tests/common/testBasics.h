// What every test program that drives Windows from outside needs: waiting for
// a condition, UTF-8 and UTF-16 text, Linux paths as Windows sees them, and
// the text of another process's window.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace test_basics {

inline constexpr DWORD kDefaultTimeoutMs = 30000;

// Polls `condition` every few milliseconds until it holds or the time is up.
bool waitUntil(const std::function<bool()>& condition, DWORD timeoutMs = kDefaultTimeoutMs);

std::wstring toWide(const std::string& utf8);
std::string toUtf8(const std::wstring& text);
// A path from the Linux side (for example an environment variable) as Windows sees it.
std::wstring windowsPathFromUnix(const std::string& path);

// WM_GETTEXT, unlike GetWindowTextW, reads the text of another process's controls.
std::wstring windowText(HWND window);

// A 24-bit BMP file of pixels given row by row from the top.
std::string bmpFileBytes(const std::vector<COLORREF>& pixels, int width, int height);

}  // namespace test_basics
