#include "ui/windowFlags.h"

bool hasWindowFlag(HWND window, const wchar_t* name)
{
    return GetPropW(window, name) != nullptr;
}

void setWindowFlag(HWND window, const wchar_t* name, bool set)
{
    if (set) {
        SetPropW(window, name, reinterpret_cast<HANDLE>(kFlagPropertyValue));
    } else {
        RemovePropW(window, name);
    }
}
