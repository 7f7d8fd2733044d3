// What the settings window and its painting both know of the window: its
// class, its properties, its control ids and its measures.
#pragma once

#include <windows.h>

inline constexpr wchar_t kSettingsWindowClass[] = L"HourwardenSettingsWindow";

// Window properties; a flag is present with the value 1 when set.
inline constexpr wchar_t kPasswordEditActiveProperty[] = L"PasswordEditActive";
inline constexpr wchar_t kPasswordVisibleProperty[] = L"PasswordVisible";
inline constexpr wchar_t kSettingsUiFontProperty[] = L"SettingsUiFont";
inline constexpr wchar_t kSettingsCloseHoveredProperty[] = L"SettingsCloseHovered";
// Flag: config.json could not be read when the window opened and has not been
// since; the limit field and the notifications box show nothing of it yet.
inline constexpr wchar_t kSettingsNotReadProperty[] = L"SettingsNotRead";
// The smaller fonts of labels that do not fit the control font.
inline constexpr wchar_t kSettingsLabelFontsProperty[] = L"SettingsLabelFonts";

enum SettingsControlId : int {
    kLimitLabelId = 2014,
    kLimitFieldId = 2001,
    kSetPasswordCheckId = 2002,
    kChangePasswordButtonId = 2011,
    kRemovePasswordButtonId = 2015,
    kPasswordLabelId = 2009,
    kPasswordFieldId = 2003,
    kConfirmLabelId = 2010,
    kConfirmFieldId = 2004,
    kShowPasswordButtonId = 2005,
    kExitPasswordCheckId = 2012,
    kNotificationsCheckId = 2013,
    kApplyButtonId = 2006,
    kCancelButtonId = 2008,
    kOkButtonId = 2007,
    kExitProtectionNoteId = 2016,
    kSettingsNotReadNoteId = 2017,
};

// Window size at 96 DPI; scaled with the system DPI before the window exists.
inline constexpr int kSettingsWindowWidth = 500;
inline constexpr int kSettingsWindowHeight = 370;
inline constexpr int kLimitFieldMaxChars = 4;
inline constexpr int kMinLimitMinutesAllowed = 1;
inline constexpr int kMaxLimitMinutesAllowed = 1440;
// readControlText returns at most this many characters.
inline constexpr int kControlTextMaxChars = 256;
inline constexpr int kControlFontPoints = 14;
inline constexpr int kControlFontWeight = FW_NORMAL;
// Refreshes what may change while the window is open without its doing.
inline constexpr UINT_PTR kSettingsRefreshTimerId = 1;
inline constexpr UINT kSettingsRefreshPeriodMs = 1000;
