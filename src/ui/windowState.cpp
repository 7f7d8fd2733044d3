#include "ui/windowState.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Record {
    void* object = nullptr;
    WindowRelease release = nullptr;
};

// Few windows, few values each: plain ordered maps. Only the user-interface
// thread touches them.
std::map<HWND, Record> records;
std::map<std::pair<HWND, std::wstring>, HANDLE> values;

// A handle that still names a window of this process. Once a window is gone its
// handle may come back for another program's window: that one is never touched.
bool isOwnWindow(HWND window)
{
    DWORD process = 0;
    return IsWindow(window) && GetWindowThreadProcessId(window, &process) != 0 && process == GetCurrentProcessId();
}

void forgetWindow(HWND window)
{
    const bool live = isOwnWindow(window);
    if (records.erase(window) != 0 && live) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    }
    for (auto it = values.lower_bound({window, std::wstring()}); it != values.end() && it->first.first == window;) {
        if (live) {
            RemovePropW(window, it->first.second.c_str());
        }
        it = values.erase(it);
    }
}

}  // namespace

bool attachWindowRecord(HWND window, void* record, WindowRelease release)
{
    if (!records.emplace(window, Record{record, release}).second) {
        return false;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(record));
    return true;
}

void* windowRecord(HWND window)
{
    const auto found = records.find(window);
    return found != records.end() ? found->second.object : nullptr;
}

void setWindowValue(HWND window, const wchar_t* name, HANDLE value)
{
    values[{window, name}] = value;
    if (isOwnWindow(window)) {
        SetPropW(window, name, value);
    }
}

HANDLE windowValue(HWND window, const wchar_t* name)
{
    const auto found = values.find({window, name});
    return found != values.end() ? found->second : nullptr;
}

HANDLE removeWindowValue(HWND window, const wchar_t* name)
{
    if (isOwnWindow(window)) {
        RemovePropW(window, name);
    }
    const auto found = values.find({window, name});
    if (found == values.end()) {
        return nullptr;
    }
    HANDLE value = found->second;
    values.erase(found);
    return value;
}

void releaseVanishedWindows()
{
    std::vector<HWND> gone;
    for (const auto& [window, record] : records) {
        if (!isOwnWindow(window)) {
            gone.push_back(window);
        }
    }
    for (const auto& [key, value] : values) {
        if (!records.contains(key.first) && !isOwnWindow(key.first)) {
            gone.push_back(key.first);
        }
    }
    for (HWND window : gone) {
        const auto found = records.find(window);
        if (found != records.end()) {
            const Record record = found->second;
            if (record.release != nullptr) {
                // Its values are still there for it to take what it owns.
                record.release(window, record.object);
            }
        }
        forgetWindow(window);
    }
}

size_t recordedWindowCount()
{
    return records.size();
}

void destroyOnDecision(HWND window)
{
    DestroyWindow(window);
    releaseVanishedWindows();
}

WindowCreation::WindowCreation()
{
    releaseVanishedWindows();
}

WindowCreation::~WindowCreation()
{
    releaseVanishedWindows();
}
