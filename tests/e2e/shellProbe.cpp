#include "shellProbe.h"

#include "probe/sessionProbe.h"

#include <commctrl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>

namespace e2e {
namespace {

constexpr wchar_t kMenuProbe[] = L"menuprobe.dll";
constexpr char kMenuProbeEntry[] = "dumpOpenMenus";

// A probe DLL of the tests: they are all built beside the menu probe.
std::wstring probePath(const wchar_t* fileName)
{
    const char* menuProbe = std::getenv("HOURWARDEN_MENU_PROBE");
    std::wstring path = windowsPathFromUnix(menuProbe != nullptr ? menuProbe : "");
    const size_t slash = path.find_last_of(L'\\');
    return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + fileName;
}

// Memory in another process, freed on scope exit.
class RemoteMemory {
public:
    RemoteMemory(HANDLE process, size_t size)
        : process_(process), address_(VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))
    {
    }
    ~RemoteMemory()
    {
        if (address_ != nullptr) {
            VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        }
    }
    RemoteMemory(const RemoteMemory&) = delete;
    RemoteMemory& operator=(const RemoteMemory&) = delete;

    void* get() const { return address_; }
    bool write(const void* data, size_t size, size_t offset = 0) const
    {
        return WriteProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, nullptr);
    }
    bool read(void* data, size_t size, size_t offset = 0) const
    {
        return ReadProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, nullptr);
    }

private:
    HANDLE process_;
    void* address_;
};

bool runRemoteThread(HANDLE process, LPTHREAD_START_ROUTINE start, void* parameter)
{
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, start, parameter, 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    const bool finished = WaitForSingleObject(thread, kDefaultTimeoutMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return finished;
}

BYTE* remoteModuleBase(DWORD processId, const wchar_t* moduleName)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    BYTE* base = nullptr;
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32FirstW(snapshot, &entry); more; more = Module32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szModule, moduleName) == 0) {
            base = entry.modBaseAddr;
            break;
        }
    }
    CloseHandle(snapshot);
    return base;
}

// The program starts closed to its account and opens again once it has read a
// data.json that does not ask for the exit password; until then its modules
// cannot be listed from outside.
bool modulesListable(DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(snapshot);
    return true;
}

// Loads the probe into the app once and returns the address of its entry there.
LPTHREAD_START_ROUTINE remoteProbeEntry(const App& app, const wchar_t* fileName, const char* entryName)
{
    if (!waitUntil([&] { return modulesListable(app.processId()); })) {
        return nullptr;
    }
    BYTE* remoteBase = remoteModuleBase(app.processId(), fileName);
    const std::wstring path = probePath(fileName);
    if (remoteBase == nullptr) {
        const size_t bytes = (path.size() + 1) * sizeof(wchar_t);
        RemoteMemory remotePath(app.process(), bytes);
        // kernel32 sits at the same address in every process, so its LoadLibraryW can start the thread.
        auto* loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
        if (!remotePath.write(path.c_str(), bytes) || !runRemoteThread(app.process(), loadLibrary, remotePath.get())) {
            return nullptr;
        }
        remoteBase = remoteModuleBase(app.processId(), fileName);
    }
    // The entry lies at the same offset from the module's base in both processes.
    HMODULE local = LoadLibraryW(path.c_str());
    if (remoteBase == nullptr || local == nullptr) {
        return nullptr;
    }
    const auto offset = reinterpret_cast<BYTE*>(reinterpret_cast<void*>(GetProcAddress(local, entryName))) -
                        reinterpret_cast<BYTE*>(local);
    return reinterpret_cast<LPTHREAD_START_ROUTINE>(remoteBase + offset);
}

std::vector<MenuItem> parseMenuDump(const std::string& dump)
{
    constexpr int kFields = 9;  // before the text, which may itself hold bars
    std::vector<MenuItem> items;
    std::istringstream lines(dump);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        size_t start = 0;
        bool whole = true;
        for (int field = 0; field < kFields; ++field) {
            const size_t bar = line.find('|', start);
            if (bar == std::string::npos) {
                whole = false;
                break;
            }
            fields.push_back(line.substr(start, bar - start));
            start = bar + 1;
        }
        if (!whole) {
            continue;
        }
        MenuItem item;
        item.menu = static_cast<UINT_PTR>(std::strtoull(fields[0].c_str(), nullptr, 10));
        item.submenu = static_cast<UINT_PTR>(std::strtoull(fields[1].c_str(), nullptr, 10));
        item.index = std::atoi(fields[2].c_str());
        item.kind = fields[3];
        item.id = static_cast<UINT>(std::strtoul(fields[4].c_str(), nullptr, 10));
        item.grayed = fields[5] == "1";
        item.checked = fields[6] == "1";
        item.highlighted = fields[7] == "1";
        std::sscanf(fields[8].c_str(), "%ld,%ld,%ld,%ld", &item.rect.left, &item.rect.top, &item.rect.right,
                    &item.rect.bottom);
        item.text = toWide(line.substr(start));
        items.push_back(item);
    }
    return items;
}

std::vector<MenuItem> itemsOfMenu(const std::vector<MenuItem>& items, UINT_PTR menu)
{
    std::vector<MenuItem> found;
    for (const MenuItem& item : items) {
        if (item.menu == menu) {
            found.push_back(item);
        }
    }
    std::sort(found.begin(), found.end(), [](const MenuItem& a, const MenuItem& b) { return a.index < b.index; });
    return found;
}

std::wstring toolTipText(HWND tooltip)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(tooltip, &processId);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    if (process == nullptr) {
        return {};
    }
    constexpr size_t kTextChars = 1024;
    std::wstring text;
    {
        RemoteMemory remote(process, sizeof(TTTOOLINFOW) + kTextChars * sizeof(wchar_t));
        TTTOOLINFOW info = {};
        info.cbSize = sizeof info;
        info.lpszText = reinterpret_cast<wchar_t*>(static_cast<char*>(remote.get()) + sizeof info);
        const wchar_t empty = L'\0';
        DWORD_PTR result = 0;
        if (remote.get() != nullptr && remote.write(&info, sizeof info) &&
            remote.write(&empty, sizeof empty, sizeof info) &&
            SendMessageTimeoutW(tooltip, TTM_ENUMTOOLSW, 0, reinterpret_cast<LPARAM>(remote.get()), SMTO_ABORTIFHUNG,
                                5000, &result) &&
            result != 0) {
            std::wstring buffer(kTextChars, L'\0');
            remote.read(buffer.data(), kTextChars * sizeof(wchar_t), sizeof info);
            text = buffer.c_str();
        }
    }
    CloseHandle(process);
    return text;
}

BOOL CALLBACK collectBalloon(HWND window, LPARAM parameter)
{
    if (className(window) == TOOLTIPS_CLASSW && IsWindowVisible(window)) {
        reinterpret_cast<std::vector<std::wstring>*>(parameter)->push_back(toolTipText(window));
    }
    return TRUE;
}

}  // namespace

size_t OpenMenus::menuCount() const
{
    std::set<UINT_PTR> menus;
    for (const MenuItem& item : items) {
        menus.insert(item.menu);
    }
    return menus.size();
}

std::vector<MenuItem> OpenMenus::rootMenu() const
{
    std::set<UINT_PTR> submenus;
    std::set<UINT_PTR> menus;
    for (const MenuItem& item : items) {
        menus.insert(item.menu);
        submenus.insert(item.submenu);
    }
    std::vector<UINT_PTR> roots;
    for (const UINT_PTR menu : menus) {
        if (submenus.count(menu) == 0) {
            roots.push_back(menu);
        }
    }
    return roots.size() == 1 ? itemsOfMenu(items, roots.front()) : std::vector<MenuItem>{};
}

std::vector<MenuItem> OpenMenus::submenuOf(const MenuItem& popup) const
{
    return popup.submenu != 0 ? itemsOfMenu(items, popup.submenu) : std::vector<MenuItem>{};
}

const MenuItem* OpenMenus::find(const std::string& kind, UINT id) const
{
    for (const MenuItem& item : items) {
        if (item.kind == kind && (kind != "string" || item.id == id)) {
            return &item;
        }
    }
    return nullptr;
}

bool runProbeInApp(const App& app, const wchar_t* fileName, const char* entryName, void* data, size_t size)
{
    const LPTHREAD_START_ROUTINE entry = remoteProbeEntry(app, fileName, entryName);
    if (entry == nullptr) {
        return false;
    }
    RemoteMemory remote(app.process(), size);
    return remote.write(data, size) && runRemoteThread(app.process(), entry, remote.get()) && remote.read(data, size);
}

namespace {

constexpr wchar_t kSessionProbe[] = L"sessionprobe.dll";
constexpr char kSessionProbeEntry[] = "simulateSession";

bool askSessionProbe(const App& app, SessionProbeRequest& request)
{
    request.done = FALSE;
    return runProbeInApp(app, kSessionProbe, kSessionProbeEntry, &request, sizeof request) && request.done;
}

}  // namespace

bool installSessionProbe(const App& app)
{
    SessionProbeRequest request = {SessionProbeCommand::Install, FALSE, 0, FALSE};
    return askSessionProbe(app, request);
}

long acceptedLocks(const App& app)
{
    SessionProbeRequest request = {SessionProbeCommand::Read, FALSE, 0, FALSE};
    return askSessionProbe(app, request) ? request.acceptedLocks : -1;
}

bool unlockSession(const App& app)
{
    SessionProbeRequest request = {SessionProbeCommand::Unlock, FALSE, 0, FALSE};
    if (!askSessionProbe(app, request)) {
        return false;
    }
    app.postSessionUnlock();
    return true;
}

OpenMenus readOpenMenus(const App& app)
{
    const std::wstring output = app.directory() + L"\\menu-dump.txt";
    DeleteFileW(output.c_str());
    std::wstring path = output;
    if (!runProbeInApp(app, kMenuProbe, kMenuProbeEntry, path.data(), (path.size() + 1) * sizeof(wchar_t))) {
        return {};
    }
    const std::string dump = app.readFile(L"menu-dump.txt");
    DeleteFileW(output.c_str());
    return OpenMenus{parseMenuDump(dump)};
}

OpenMenus waitForOpenMenus(const App& app, size_t menus)
{
    OpenMenus open;
    const bool opened = waitUntil([&] {
        open = readOpenMenus(app);
        return open.menuCount() == menus && !open.rootMenu().empty();
    });
    return opened ? open : OpenMenus{};
}

std::vector<std::wstring> visibleBalloonTexts()
{
    std::vector<std::wstring> texts;
    EnumWindows(collectBalloon, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

bool waitForBalloon(const std::wstring& text, DWORD timeoutMs)
{
    return waitUntil([&] {
        for (const std::wstring& shown : visibleBalloonTexts()) {
            if (shown == text) {
                return true;
            }
        }
        return false;
    }, timeoutMs);
}

HWND systemTrayWindow()
{
    return FindWindowW(nullptr, L"Wine System Tray");
}

}  // namespace e2e
