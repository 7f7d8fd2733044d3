// Loaded into the running program by the end-to-end tests (never shipped):
// another process cannot read a pop-up menu's items under Wine, so this DLL
// reads the open menus from inside and writes them to a file.
#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr UINT kGetMenuHandle = 0x01E1;  // MN_GETHMENU

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

std::string handleText(const void* handle)
{
    return std::to_string(reinterpret_cast<UINT_PTR>(handle));
}

// One line an item: menu|submenu|index|kind|id|grayed|checked|highlighted|left,top,right,bottom|text,
// where menu and submenu are handle values (submenu 0 for an item without one).
void describeMenu(HMENU menu, std::string& out)
{
    const int count = GetMenuItemCount(menu);
    for (int index = 0; index < count; ++index) {
        wchar_t text[256] = {};
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
        item.dwTypeData = text;
        item.cch = ARRAYSIZE(text);
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(index), TRUE, &item)) {
            continue;
        }
        const char* kind = (item.fType & MFT_SEPARATOR) ? "separator" : item.hSubMenu != nullptr ? "popup" : "string";
        RECT rect = {};
        GetMenuItemRect(nullptr, menu, static_cast<UINT>(index), &rect);
        out += handleText(menu) + "|" + handleText(item.hSubMenu) + "|" + std::to_string(index) + "|" + kind + "|" +
               std::to_string(item.wID) +
               "|" + ((item.fState & MFS_GRAYED) ? "1" : "0") + "|" + ((item.fState & MFS_CHECKED) ? "1" : "0") + "|" +
               ((item.fState & MFS_HILITE) ? "1" : "0") + "|" + std::to_string(rect.left) + "," +
               std::to_string(rect.top) + "," + std::to_string(rect.right) + "," + std::to_string(rect.bottom) + "|" +
               toUtf8(text) + "\n";
    }
}

struct Dump {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK describeMenuWindow(HWND window, LPARAM parameter)
{
    auto* dump = reinterpret_cast<Dump*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[32] = {};
    GetClassNameW(window, name, ARRAYSIZE(name));
    if (owner != dump->processId || lstrcmpW(name, L"#32768") != 0 || !IsWindowVisible(window)) {
        return TRUE;
    }
    dump->windows.push_back(window);
    return TRUE;
}

}  // namespace

// Thread entry for CreateRemoteThread: `parameter` is the output file's path.
extern "C" __declspec(dllexport) DWORD WINAPI dumpOpenMenus(LPVOID parameter)
{
    Dump dump{GetCurrentProcessId(), {}};
    EnumWindows(describeMenuWindow, reinterpret_cast<LPARAM>(&dump));
    // In whatever order the system lists them: the reader tells menus apart by their handles.
    std::string text;
    int menus = 0;
    for (HWND window : dump.windows) {
        const auto menu = reinterpret_cast<HMENU>(SendMessageW(window, kGetMenuHandle, 0, 0));
        if (menu != nullptr) {
            describeMenu(menu, text);
            ++menus;
        }
    }
    HANDLE file = CreateFileW(static_cast<const wchar_t*>(parameter), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return static_cast<DWORD>(menus);
}
