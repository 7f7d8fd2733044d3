// Whether the tests run under Wine, which enforces no file access lists:
// tests of what Windows refuses skip there.
#pragma once

#include <windows.h>

inline bool runningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
