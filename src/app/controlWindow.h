// The hidden control window: the one-second tick, session and tray events,
// and the tray menu's commands.
#pragma once

#include <windows.h>

#include <string>

inline constexpr wchar_t kControlWindowClass[] = L"HourwardenHiddenWindow";
inline constexpr wchar_t kTrayIconProperty[] = L"TrayIcon";
inline constexpr UINT_PTR kTickTimerId = 1;
inline constexpr UINT kTickPeriodMs = 1000;
inline constexpr int kAppIconId = 101;

// Registered by wWinMain; 0 until then.
extern UINT taskbarCreatedMessage;

HICON loadAppIcon();
std::wstring menuHeaderText(int seconds);
LRESULT CALLBACK controlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
