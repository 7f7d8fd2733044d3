// What a window of this program keeps about itself: its record (the object it
// works on) and its named values. Another program of the same account can
// rewrite a window's user-data slot and its property list, so the program keeps
// both in its own memory and reads them only from there; the user-data slot and
// the property list get a copy for those who look from outside, never read back.
//
// A record is released once its window no longer exists, whoever destroyed it:
// the program, or a parent or owner that another program gave it. A message that
// only claims a window's end (WM_DESTROY, WM_NCDESTROY) frees nothing.
#pragma once

#include <windows.h>

// Frees what a window kept (its record and the values it owns) once the window is gone.
using WindowRelease = void (*)(HWND window, void* record);

// Keeps `record` as the window's record, and `release` to free it with. A window
// keeps the first record it is given: a second WM_NCCREATE can only come from
// elsewhere. False when it had one.
bool attachWindowRecord(HWND window, void* record, WindowRelease release = nullptr);
// The window's record; null when it has none.
void* windowRecord(HWND window);

// A named value of the window, mirrored in its property list.
void setWindowValue(HWND window, const wchar_t* name, HANDLE value);
HANDLE windowValue(HWND window, const wchar_t* name);
// Removes the value (and its mirror) and returns it; null when there was none.
HANDLE removeWindowValue(HWND window, const wchar_t* name);

// Releases the record and the values of every window that no longer exists.
void releaseVanishedWindows();
// How many windows have a record now.
size_t recordedWindowCount();

// Destroys a window because the program decided to (a button, a close request
// it accepted), then releases what went with it (the windows it owned too).
void destroyOnDecision(HWND window);

// Held around a CreateWindowExW of the program's: a window that is gone leaves
// its record before the system can hand its handle to the new window, and a
// creation the window refused leaves none.
class WindowCreation {
public:
    WindowCreation();
    ~WindowCreation();
    WindowCreation(const WindowCreation&) = delete;
    WindowCreation& operator=(const WindowCreation&) = delete;
};
