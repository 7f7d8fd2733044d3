// Flag window properties: present with the value 1 when set, absent when clear.
// Kept in the program's own memory (see windowState.h); the property list shows a copy.
#pragma once

#include <windows.h>

inline constexpr INT_PTR kFlagPropertyValue = 1;

bool hasWindowFlag(HWND window, const wchar_t* name);
// Sets the flag property to 1, or removes it.
void setWindowFlag(HWND window, const wchar_t* name, bool set);
