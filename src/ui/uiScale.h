// Every user-interface measure is given at 96 DPI and scaled to the window's DPI.
#pragma once

#include <windows.h>

inline constexpr int kDesignDpi = 96;

// MulDiv(length, dpi, 96), rounded as MulDiv rounds.
int scaleLength(int length, UINT dpi);
int scaleForWindow(HWND window, int length);
// Font height for a size in points: -MulDiv(points, dpi, 72).
int fontHeightForDpi(int points, UINT dpi);
inline constexpr wchar_t kUiFontFace[] = L"Segoe UI";
// "Segoe UI" at the given size and weight for the window's DPI; the caller owns it.
HFONT createUiFont(HWND window, int points, int weight);
