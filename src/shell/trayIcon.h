// The notification-area icon: its tooltip, balloons and context menu.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <string>

inline constexpr UINT kTrayIconId = 1;
inline constexpr UINT kTrayCallbackMessage = WM_APP + 1;

// Copies at most capacity - 1 characters and always terminates.
void copyTruncated(wchar_t* field, size_t capacity, const std::wstring& text);

// The shell call, replaceable so tests can watch what is sent without a taskbar.
using NotifyIconFunction = BOOL (*)(DWORD message, NOTIFYICONDATAW* data);
void setNotifyIconFunction(NotifyIconFunction function);

class TrayIcon {
public:
    TrayIcon() = default;
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    bool add(HWND window, HICON icon, const std::wstring& tooltip);
    void remove();
    void setTooltip(const std::wstring& text);
    void showBalloon(const std::wstring& text);
    void showMenu(const std::wstring& headerText);
    // Called once a second: puts a missing icon back, every few calls.
    void retryIfMissing();
    // Asks the shell whether the icon is still there, and adds it again when
    // it is gone: another program may have deleted it without a word.
    void confirmPresent();

    bool isAdded() const { return added_; }

private:
    NOTIFYICONDATAW freshData() const;
    bool place();
    void modify(NOTIFYICONDATAW& data);

    HWND window_ = nullptr;
    HICON icon_ = nullptr;
    std::wstring tooltip_;
    bool added_ = false;   // the shell confirmed the icon
    bool wanted_ = false;  // an add was asked for and no remove since
    int ticksUntilRetry_ = 0;
};
