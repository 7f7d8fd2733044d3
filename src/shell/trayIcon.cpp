#include "shell/trayIcon.h"

#include "shell/menuCommands.h"
#include "base/scopedHandles.h"
#include "i18n/strings.h"

namespace {

constexpr UINT kBalloonTimeoutMs = 10000;
// A shell that does not answer can hold each call for seconds: retry now and then, not every tick.
constexpr int kRetryEveryTicks = 5;
constexpr UINT kHeaderItemId = 0;

BOOL systemNotifyIcon(DWORD message, NOTIFYICONDATAW* data)
{
    return Shell_NotifyIconW(message, data);
}

NotifyIconFunction notifyIcon = systemNotifyIcon;

}  // namespace

void copyTruncated(wchar_t* field, size_t capacity, const std::wstring& text)
{
    if (capacity == 0) {
        return;
    }
    const size_t count = text.size() < capacity - 1 ? text.size() : capacity - 1;
    text.copy(field, count);
    field[count] = L'\0';
}

void setNotifyIconFunction(NotifyIconFunction function)
{
    notifyIcon = function != nullptr ? function : systemNotifyIcon;
}

TrayIcon::~TrayIcon()
{
    remove();
}

NOTIFYICONDATAW TrayIcon::freshData() const
{
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = kTrayIconId;
    return data;
}

bool TrayIcon::add(HWND window, HICON icon, const std::wstring& tooltip)
{
    window_ = window;
    icon_ = icon;
    tooltip_ = tooltip;
    wanted_ = true;
    return place();
}

// A refused add does not mean there is no icon: a new taskbar may have kept
// it (the add then fails as a duplicate), or the shell may have added it after
// the call timed out. So take over an icon that is there, and failing that,
// clear whatever the shell half holds and add afresh.
bool TrayIcon::place()
{
    NOTIFYICONDATAW data = freshData();
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = icon_;
    copyTruncated(data.szTip, ARRAYSIZE(data.szTip), tooltip_);
    added_ = notifyIcon(NIM_ADD, &data) == TRUE;
    if (!added_) {
        added_ = notifyIcon(NIM_MODIFY, &data) == TRUE;
    }
    if (!added_) {
        NOTIFYICONDATAW gone = freshData();
        notifyIcon(NIM_DELETE, &gone);
        added_ = notifyIcon(NIM_ADD, &data) == TRUE;
    }
    ticksUntilRetry_ = added_ ? 0 : kRetryEveryTicks;
    return added_;
}

void TrayIcon::retryIfMissing()
{
    if (!wanted_ || added_) {
        return;
    }
    if (--ticksUntilRetry_ > 0) {
        return;
    }
    place();
}

void TrayIcon::confirmPresent()
{
    if (!wanted_) {
        return;
    }
    // A change that changes nothing: the shell refuses it only for an icon it does not hold.
    NOTIFYICONDATAW data = freshData();
    data.uFlags = NIF_TIP;
    copyTruncated(data.szTip, ARRAYSIZE(data.szTip), tooltip_);
    if (!added_ || notifyIcon(NIM_MODIFY, &data) != TRUE) {
        place();
    }
}

// An icon that may be present is deleted too, so none is left behind at exit.
void TrayIcon::remove()
{
    if (!added_ && !wanted_) {
        return;
    }
    NOTIFYICONDATAW data = freshData();
    notifyIcon(NIM_DELETE, &data);
    added_ = false;
    wanted_ = false;
}

// A change the shell refuses has lost its icon: put it back and send the change again.
void TrayIcon::modify(NOTIFYICONDATAW& data)
{
    if (!added_ && !(wanted_ && place())) {
        return;
    }
    if (notifyIcon(NIM_MODIFY, &data) == TRUE) {
        return;
    }
    added_ = false;
    if (place()) {
        notifyIcon(NIM_MODIFY, &data);
    }
}

void TrayIcon::setTooltip(const std::wstring& text)
{
    // Kept for the next add, so a returning icon carries the current tooltip.
    if (wanted_) {
        tooltip_ = text;
    }
    NOTIFYICONDATAW data = freshData();
    data.uFlags = NIF_TIP;
    copyTruncated(data.szTip, ARRAYSIZE(data.szTip), text);
    modify(data);
}

void TrayIcon::showBalloon(const std::wstring& text)
{
    NOTIFYICONDATAW data = freshData();
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_INFO;
    data.uTimeout = kBalloonTimeoutMs;
    copyTruncated(data.szInfoTitle, ARRAYSIZE(data.szInfoTitle), localizedText(StringId::AppTitle));
    copyTruncated(data.szInfo, ARRAYSIZE(data.szInfo), text);
    modify(data);
}

void TrayIcon::showMenu(const std::wstring& headerText)
{
    Menu menu(CreatePopupMenu());
    if (!menu) {
        return;
    }
    const bool russian = currentLanguage() == Language::Russian;
    Menu languages(CreatePopupMenu());
    AppendMenuW(languages.get(), MF_STRING | (russian ? MF_CHECKED : MF_UNCHECKED),
                static_cast<UINT_PTR>(CommandId::Russian), localizedText(StringId::MenuRussian).c_str());
    AppendMenuW(languages.get(), MF_STRING | (currentLanguage() == Language::English ? MF_CHECKED : MF_UNCHECKED),
                static_cast<UINT_PTR>(CommandId::English), localizedText(StringId::MenuEnglish).c_str());

    AppendMenuW(menu.get(), MF_STRING | MF_GRAYED, kHeaderItemId, headerText.c_str());
    AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu.get(), MF_STRING, static_cast<UINT_PTR>(CommandId::Settings),
                localizedText(StringId::MenuSettings).c_str());
    // Once attached, the submenu belongs to the main menu; a refused one is still ours to destroy.
    if (AppendMenuW(menu.get(), MF_POPUP, reinterpret_cast<UINT_PTR>(languages.get()),
                    localizedText(StringId::MenuLanguage).c_str())) {
        languages.release();
    }
    AppendMenuW(menu.get(), MF_STRING, static_cast<UINT_PTR>(CommandId::Exit), localizedText(StringId::MenuExit).c_str());

    POINT cursor = {};
    if (!GetCursorPos(&cursor)) {
        cursor = {};
    }
    // Without this the menu does not close when the user clicks elsewhere.
    SetForegroundWindow(window_);
    TrackPopupMenu(menu.get(), TPM_LEFTALIGN | TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window_,
                   nullptr);
    // Destroying the menu destroys the language submenu with it.
}
