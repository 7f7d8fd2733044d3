// Finding this program's own windows by class.
#pragma once

#include <windows.h>

// The first top-level window of `className` that belongs to this process.
// FindWindowW alone would also find the window of a second Hourwarden running
// in the same session, which works on that program's data.
HWND findOwnWindow(const wchar_t* className);
