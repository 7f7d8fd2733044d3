// Loaded into the running program by the end-to-end tests (never shipped):
// under Wine another process can neither ask a control for its font
// (WM_GETFONT answers null across processes) nor read a font handle of this
// process, so this DLL reads each child's font from inside.
#include <windows.h>

#include "labelProbe.h"

// Thread entry for CreateRemoteThread: `parameter` points to a ControlFontQuery
// in this process whose `parent` the caller has filled in.
extern "C" __declspec(dllexport) DWORD WINAPI readControlFonts(LPVOID parameter)
{
    auto* query = static_cast<ControlFontQuery*>(parameter);
    query->count = 0;
    for (HWND child = GetWindow(query->parent, GW_CHILD); child != nullptr && query->count < kMaxProbedControls;
         child = GetWindow(child, GW_HWNDNEXT)) {
        ControlFont& entry = query->controls[query->count++];
        entry.id = GetDlgCtrlID(child);
        const auto font = reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0));
        entry.hasFont = font != nullptr && GetObjectW(font, sizeof entry.font, &entry.font) == sizeof entry.font;
    }
    return static_cast<DWORD>(query->count);
}
