#include "ui/windowState.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

// Few windows, few values each: plain ordered maps. Only the user-interface
// thread touches them.
std::map<HWND, void*> records;
std::map<std::pair<HWND, std::wstring>, HANDLE> values;
// Windows whose destruction the program itself has begun.
std::vector<HWND> decidedDestroys;
// Windows being created by the program, and how many creations are under way.
std::vector<HWND> creating;
int creations = 0;

}  // namespace

bool attachWindowRecord(HWND window, void* record)
{
    if (!records.emplace(window, record).second) {
        return false;
    }
    if (creations > 0) {
        creating.push_back(window);
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(record));
    return true;
}

void* windowRecord(HWND window)
{
    const auto found = records.find(window);
    return found != records.end() ? found->second : nullptr;
}

void setWindowValue(HWND window, const wchar_t* name, HANDLE value)
{
    values[{window, name}] = value;
    SetPropW(window, name, value);
}

HANDLE windowValue(HWND window, const wchar_t* name)
{
    const auto found = values.find({window, name});
    return found != values.end() ? found->second : nullptr;
}

HANDLE removeWindowValue(HWND window, const wchar_t* name)
{
    RemovePropW(window, name);
    const auto found = values.find({window, name});
    if (found == values.end()) {
        return nullptr;
    }
    HANDLE value = found->second;
    values.erase(found);
    return value;
}

void forgetWindow(HWND window)
{
    if (records.erase(window) != 0) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    }
    for (auto it = values.lower_bound({window, std::wstring()}); it != values.end() && it->first.first == window;) {
        RemovePropW(window, it->first.second.c_str());
        it = values.erase(it);
    }
}

void destroyOnDecision(HWND window)
{
    // Nested: destroying one window may lead to destroying another.
    decidedDestroys.push_back(window);
    DestroyWindow(window);
    decidedDestroys.pop_back();
}

bool isDestroyDecided(HWND window)
{
    for (HWND created : creating) {
        if (created == window) {
            return true;
        }
    }
    // Owned windows go before their owner; GW_OWNER still names it then.
    for (HWND current = window; current != nullptr; current = GetWindow(current, GW_OWNER)) {
        for (HWND decided : decidedDestroys) {
            if (decided == current) {
                return true;
            }
        }
    }
    return false;
}

WindowCreation::WindowCreation() : first_(creating.size())
{
    ++creations;
}

WindowCreation::~WindowCreation()
{
    creating.resize(first_);
    --creations;
}
