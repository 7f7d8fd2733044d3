// What the label probe reports: each child control's font as a LOGFONT.
#pragma once

#include <windows.h>

inline constexpr int kMaxProbedControls = 32;

struct ControlFont {
    int id;
    BOOL hasFont;  // false: the control draws with the system font
    LOGFONTW font;
};

struct ControlFontQuery {
    HWND parent;
    int count;
    ControlFont controls[kMaxProbedControls];
};
