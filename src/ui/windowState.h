// What a window of this program keeps about itself: its record (the object it
// works on) and its named values. Another program of the same account can
// rewrite a window's user-data slot and its property list, so the program keeps
// both in its own memory and reads them only from there; the user-data slot and
// the property list get a copy for those who look from outside, never read back.
#pragma once

#include <windows.h>

#include <cstddef>

// Keeps `record` as the window's record. A window keeps the first record it is
// given: a second WM_NCCREATE can only come from elsewhere. False when it had one.
bool attachWindowRecord(HWND window, void* record);
// The window's record; null when it has none.
void* windowRecord(HWND window);

// A named value of the window, mirrored in its property list.
void setWindowValue(HWND window, const wchar_t* name, HANDLE value);
HANDLE windowValue(HWND window, const wchar_t* name);
// Removes the value (and its mirror) and returns it; null when there was none.
HANDLE removeWindowValue(HWND window, const wchar_t* name);

// Forgets the record and every value of a window that is gone (at WM_NCDESTROY).
void forgetWindow(HWND window);

// Destroys a window because the program decided to: a button, a close request
// it accepted, the end of the program. Anyone can send or post WM_DESTROY and
// WM_NCDESTROY, so those handlers free and end things only for a destruction
// decided here, of the window itself or of a window that owns it.
void destroyOnDecision(HWND window);
bool isDestroyDecided(HWND window);

// Held around a CreateWindowExW of the program's: a window given its record
// meanwhile is the program's creation, and the system's destruction of it when
// the creation is refused is the program's own too.
class WindowCreation {
public:
    WindowCreation();
    ~WindowCreation();
    WindowCreation(const WindowCreation&) = delete;
    WindowCreation& operator=(const WindowCreation&) = delete;

private:
    size_t first_;
};
