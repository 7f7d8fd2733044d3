// Reading what the shell shows for the program: its open pop-up menus (read
// from inside the program by a probe DLL) and the balloons of the notification area.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

struct MenuItem {
    int menu = 0;  // 0: the first open menu, 1: an open submenu
    int index = 0;
    std::string kind;  // "string", "separator" or "popup"
    UINT id = 0;
    bool grayed = false;
    bool checked = false;
    bool highlighted = false;
    RECT rect = {};  // screen coordinates
    std::wstring text;
};

// The items of every open pop-up menu of the app, in menu order.
std::vector<MenuItem> readOpenMenus(const App& app);

// Waits for the menu (and, with `menus` = 2, its submenu) to be open and readable.
std::vector<MenuItem> waitForOpenMenus(const App& app, int menus = 1);

// Texts of the balloon tool tips now shown by any process.
std::vector<std::wstring> visibleBalloonTexts();
bool waitForBalloon(const std::wstring& text, DWORD timeoutMs = kDefaultTimeoutMs);

// The notification-area window Wine shows without a desktop taskbar.
HWND systemTrayWindow();

}  // namespace e2e
