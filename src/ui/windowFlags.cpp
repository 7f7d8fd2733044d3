#include "ui/windowFlags.h"

#include "ui/windowState.h"

bool hasWindowFlag(HWND window, const wchar_t* name)
{
    return windowValue(window, name) != nullptr;
}

void setWindowFlag(HWND window, const wchar_t* name, bool set)
{
    if (set) {
        setWindowValue(window, name, reinterpret_cast<HANDLE>(kFlagPropertyValue));
    } else {
        removeWindowValue(window, name);
    }
}
