#include "gdiLedger.h"

#include <psapi.h>

#include <cstdlib>

namespace e2e {
namespace {

const char* const kCreators[] = {"CreateSolidBrush",    "CreatePen",          "CreateFontW",
                                 "CreateFontIndirectW", "CreateRoundRectRgn", "CreateRectRgn",
                                 "CreateCompatibleDC",  "CreateCompatibleBitmap", "CreateDIBSection"};

ULONGLONG hexAfter(const std::string& line, const std::string& marker)
{
    const size_t at = line.find(marker);
    return at == std::string::npos ? 0 : std::strtoull(line.c_str() + at + marker.size(), nullptr, 16);
}

// GDI handles are 32-bit values; the trace may print stray upper register bits.
unsigned long handleValue(ULONGLONG printed)
{
    return static_cast<unsigned long>(printed & 0xFFFFFFFFull);
}

// "<seconds>:<pid>:<tid>:<text>": calls and returns pair up within one thread.
std::string threadOf(const std::string& line)
{
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    const size_t third = second == std::string::npos ? second : line.find(':', second + 1);
    return third == std::string::npos ? std::string() : line.substr(second + 1, third - second - 1);
}

}  // namespace

std::wstring gdiRelayFunctions()
{
    std::wstring list = L"gdi32.DeleteObject;gdi32.DeleteDC;user32.SetWindowRgn";
    for (const char* name : kCreators) {
        list += L";gdi32." + toWide(name);
    }
    return list;
}

GdiLedger readGdiLedger(const App& app, ULONGLONG callerBegin, ULONGLONG callerEnd)
{
    GdiLedger ledger;
    std::map<std::string, unsigned long> pendingDelete;  // thread -> handle
    std::map<std::string, unsigned long> pendingRegion;
    for (const std::string& line : app.relayLines(":")) {
        const std::string thread = threadOf(line);
        const size_t created = line.find("Ret  gdi32.Create");
        if (created != std::string::npos) {
            const ULONGLONG caller = hexAfter(line, " ret=");
            const unsigned long handle = handleValue(hexAfter(line, "retval="));
            if (handle == 0 || caller < callerBegin || caller >= callerEnd) {
                continue;
            }
            const std::string function = line.substr(created + 5, line.find('(', created) - created - 5);
            if (!ledger.outstanding.emplace(handle, function).second) {
                ledger.reissued.push_back(handle);
            }
            ++ledger.created[function];
        } else if (line.find("Call gdi32.DeleteObject(") != std::string::npos) {
            pendingDelete[thread] = handleValue(hexAfter(line, "DeleteObject("));
        } else if (line.find("Call gdi32.DeleteDC(") != std::string::npos) {
            pendingDelete[thread] = handleValue(hexAfter(line, "DeleteDC("));
        } else if (line.find("Ret  gdi32.DeleteObject()") != std::string::npos ||
                   line.find("Ret  gdi32.DeleteDC()") != std::string::npos) {
            if (hexAfter(line, "retval=") != 0 && ledger.outstanding.erase(pendingDelete[thread]) != 0) {
                ++ledger.deleted;
            }
            pendingDelete.erase(thread);
        } else if (line.find("Call user32.SetWindowRgn(") != std::string::npos) {
            const size_t comma = line.find(',', line.find("SetWindowRgn("));
            pendingRegion[thread] =
                comma == std::string::npos ? 0 : handleValue(std::strtoull(line.c_str() + comma + 1, nullptr, 16));
        } else if (line.find("Ret  user32.SetWindowRgn()") != std::string::npos) {
            if (hexAfter(line, "retval=") != 0 && ledger.outstanding.erase(pendingRegion[thread]) != 0) {
                ++ledger.regionsHandedOver;
            }
            pendingRegion.erase(thread);
        }
    }
    return ledger;
}

bool mainModuleRange(HANDLE process, ULONGLONG& begin, ULONGLONG& end)
{
    HMODULE module = nullptr;
    DWORD needed = 0;
    MODULEINFO info = {};
    if (!EnumProcessModules(process, &module, sizeof module, &needed) ||
        !GetModuleInformation(process, module, &info, sizeof info)) {
        return false;
    }
    begin = reinterpret_cast<ULONGLONG>(info.lpBaseOfDll);
    end = begin + info.SizeOfImage;
    return true;
}

SIZE_T privateBytes(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(process, &counters, sizeof counters) ? counters.PagefileUsage : 0;
}

}  // namespace e2e
