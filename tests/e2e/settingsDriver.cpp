#include "settingsDriver.h"

#include "shellProbe.h"

#include <cstdio>
#include <cstdlib>

namespace e2e::settings {
namespace {

void sendMouseFlags(DWORD flags)
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    SendInput(1, &input, sizeof input);
}

}  // namespace

bool readControlFonts(const App& app, HWND window, ControlFontQuery& query)
{
    query = {};
    query.parent = window;
    return runProbeInApp(app, L"labelprobe.dll", "readControlFonts", &query, sizeof query) && query.count > 0;
}

const ControlFont* fontOf(const ControlFontQuery& query, int id)
{
    for (int i = 0; i < query.count; ++i) {
        if (query.controls[i].id == id) {
            return &query.controls[i];
        }
    }
    return nullptr;
}

int lineHeightWith(const ControlFont& font, const std::wstring& text)
{
    HDC dc = GetDC(nullptr);
    HFONT created = font.hasFont ? CreateFontIndirectW(&font.font) : nullptr;
    HGDIOBJ previous = SelectObject(dc, created != nullptr ? static_cast<HGDIOBJ>(created) : GetStockObject(SYSTEM_FONT));
    RECT line = {};
    DrawTextW(dc, text.c_str(), -1, &line, DT_CALCRECT | DT_SINGLELINE);
    SelectObject(dc, previous);
    if (created != nullptr) {
        DeleteObject(created);
    }
    ReleaseDC(nullptr, dc);
    return line.bottom - line.top;
}

std::string configWith(int limitMinutes, bool notifications, const char* language)
{
    ConfigFile config;
    config.limitMinutes = limitMinutes;
    config.notifications = notifications;
    config.language = language;
    return config.text();
}

std::string dataWithPassword(const std::string& escapedPassword, bool requireOnExit)
{
    UsageFile usage;
    usage.password = escapedPassword;
    usage.requirePasswordOnExit = requireOnExit;
    return usage.text();
}

HWND requestSettings(const App& app, const wchar_t* className)
{
    app.postCommand(kCommandSettings);
    HWND window = app.waitForWindow(className);
    if (window != nullptr) {
        waitUntil([window] { return IsWindowVisible(window) != FALSE; });
    }
    return window;
}

HWND openSettingsWindow(const App& app)
{
    return requestSettings(app, kSettingsClass);
}

HWND openSettingsWithPassword(const App& app, const std::wstring& password)
{
    HWND prompt = requestSettings(app, kPasswordClass);
    if (prompt == nullptr || !waitForFocus(prompt, kPromptField) ||
        !typeAndWait(prompt, kPromptField, password, password)) {
        return nullptr;
    }
    clickControl(prompt, kPromptOk);
    HWND window = app.waitForWindow(kSettingsClass);
    return window != nullptr && app.waitForNoWindow(kPasswordClass) ? window : nullptr;
}

HWND control(HWND window, int id)
{
    return GetDlgItem(window, id);
}

bool isShown(HWND window, int id)
{
    return IsWindowVisible(control(window, id)) != FALSE;
}

bool isEnabled(HWND window, int id)
{
    return IsWindowEnabled(control(window, id)) != FALSE;
}

bool isChecked(HWND window, int id)
{
    return SendMessageW(control(window, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

std::wstring controlText(HWND window, int id)
{
    return windowText(control(window, id));
}

RECT screenRect(HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

void clickAt(int x, int y)
{
    leftClickAt(x, y);
}

void clickControl(HWND window, int id)
{
    const POINT centre = centreOf(screenRect(control(window, id)));
    clickAt(centre.x, centre.y);
}

void leftButtonDown()
{
    sendMouseFlags(MOUSEEVENTF_LEFTDOWN);
}

void leftButtonUp()
{
    sendMouseFlags(MOUSEEVENTF_LEFTUP);
}

HWND focusedControl(HWND window)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) {
        return nullptr;
    }
    return info.hwndFocus;
}

bool waitForFocus(HWND window, int id)
{
    // Keys go to the foreground window's focus: a window that set its focus
    // while being created may not be in the foreground yet.
    HWND wanted = control(window, id);
    HWND topLevel = GetAncestor(window, GA_ROOT);
    return waitUntil([&] { return focusedControl(window) == wanted && GetForegroundWindow() == topLevel; });
}

bool typeAndWait(HWND window, int id, const std::wstring& text, const std::wstring& expected)
{
    typeText(text);
    return waitUntil([&] { return controlText(window, id) == expected; });
}

bool replaceFieldText(HWND window, int id, const std::wstring& text, const std::wstring& expected)
{
    clickControl(window, id);
    if (!waitForFocus(window, id)) {
        return false;
    }
    const LRESULT length = SendMessageW(control(window, id), WM_GETTEXTLENGTH, 0, 0);
    pressKey(VK_END);
    for (LRESULT i = 0; i < length; ++i) {
        pressKey(VK_BACK);
    }
    if (!waitUntil([&] { return controlText(window, id).empty(); })) {
        return false;
    }
    return typeAndWait(window, id, text, expected);
}

bool replaceFieldText(HWND window, int id, const std::wstring& text)
{
    return replaceFieldText(window, id, text, text);
}

std::string jsonValue(const std::string& file, const std::string& key)
{
    const std::string marker = "\"" + key + "\": ";
    const size_t at = file.find(marker);
    if (at == std::string::npos) {
        return {};
    }
    const size_t start = at + marker.size();
    const size_t end = file.find('\n', start);
    std::string value = file.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!value.empty() && value.back() == ',') {
        value.pop_back();
    }
    return value;
}

bool waitForPixel(int x, int y, COLORREF colour, DWORD timeoutMs)
{
    return waitUntil([&] { return screenPixel(x, y) == colour; }, timeoutMs);
}

std::string describe(COLORREF colour)
{
    char text[32];
    std::snprintf(text, sizeof text, "RGB(%u, %u, %u)", GetRValue(colour), GetGValue(colour), GetBValue(colour));
    return text;
}

}  // namespace e2e::settings
