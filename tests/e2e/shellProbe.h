// Reading what the shell shows for the program: its open pop-up menus (read
// from inside the program by a probe DLL) and the balloons of the notification area.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

struct MenuItem {
    UINT_PTR menu = 0;     // handle of the menu that holds the item
    UINT_PTR submenu = 0;  // handle of a popup item's submenu; 0 for other items
    int index = 0;         // position within its menu
    std::string kind;      // "string", "separator" or "popup"
    UINT id = 0;
    bool grayed = false;
    bool checked = false;
    bool highlighted = false;
    RECT rect = {};  // screen coordinates
    std::wstring text;
};

// The app's open pop-up menus as read at one moment. The system lists them in
// no order that can be relied on, so they are told apart by their handles.
struct OpenMenus {
    std::vector<MenuItem> items;

    size_t menuCount() const;
    // The menu that no open item leads to (the one opened first), in menu order.
    std::vector<MenuItem> rootMenu() const;
    // The open submenu of a popup item, in menu order; empty while it is closed.
    std::vector<MenuItem> submenuOf(const MenuItem& popup) const;
    // The first item of that kind (and, for "string" items, that command id); nullptr if none.
    const MenuItem* find(const std::string& kind, UINT id = 0) const;
    const MenuItem* command(UINT id) const { return find("string", id); }
};

OpenMenus readOpenMenus(const App& app);

// Runs the function `entryName` of the test probe DLL `fileName` (built beside
// menuprobe.dll) inside the app: loads the DLL there once, then runs the
// function in a thread of the app on a copy of `data`, copied back once the
// thread has ended. Used to read what another process cannot read from outside.
bool runProbeInApp(const App& app, const wchar_t* fileName, const char* entryName, void* data, size_t size);

// The system's part in locking, played inside the app by the session probe
// (Wine refuses every lock and never unlocks): after installSessionProbe each
// lock the app asks for is accepted and its session reports itself locked.
bool installSessionProbe(const App& app);
// Locks the app asked for since the probe was installed; -1 when it cannot be read.
long acceptedLocks(const App& app);
// The user unlocks: the session reports itself unlocked, and the notification
// comes as the session service sends it.
bool unlockSession(const App& app);

// Waits until exactly `menus` menus are open, one of them the root; an empty result on time-out.
OpenMenus waitForOpenMenus(const App& app, size_t menus = 1);

// Texts of the balloon tool tips now shown by any process.
std::vector<std::wstring> visibleBalloonTexts();
bool waitForBalloon(const std::wstring& text, DWORD timeoutMs = kDefaultTimeoutMs);

// The notification-area window Wine shows without a desktop taskbar.
HWND systemTrayWindow();

}  // namespace e2e
