#include "benchSupport.h"

namespace {

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK matchControlWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    wchar_t className[64] = {};
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->processId && GetClassNameW(window, className, 64) > 0 &&
        std::wstring_view(className) == search->className) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND windowOfProcess(DWORD processId, const wchar_t* className)
{
    WindowSearch search = {processId, className, nullptr};
    EnumWindows(matchControlWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool fileWritten(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
           (data.nFileSizeLow != 0 || data.nFileSizeHigh != 0);
}
