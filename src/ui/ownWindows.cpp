#include "ui/ownWindows.h"

HWND findOwnWindow(const wchar_t* className)
{
    const DWORD self = GetCurrentProcessId();
    HWND candidate = nullptr;
    while ((candidate = FindWindowExW(nullptr, candidate, className, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(candidate, &owner);
        if (owner == self) {
            return candidate;
        }
    }
    return nullptr;
}
