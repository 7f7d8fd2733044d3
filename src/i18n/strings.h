// The two built-in string tables, the current language and the duration text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class Language : int32_t { Russian = 0, English = 1 };

enum class StringId : int {
    AppTitle = 0,
    RemainingTodayPrefix,
    HoursAbbrev,
    MinutesAbbrev,
    Used,
    Remaining,
    UsedAlt,
    RemainingToday,
    Limit,
    StatusSettings,
    MenuSettings,
    MenuLanguage,
    MenuExit,
    MenuRussian,
    MenuEnglish,
    SettingsTitle,
    DailyLimitLabel,
    SetPassword,
    ChangePassword,
    RemovePassword,
    PasswordLabel,
    ConfirmPasswordLabel,
    ShowPassword,
    RequirePasswordOnExit,
    ShowLastThreeMinuteNotifications,
    Apply,
    Cancel,
    Ok,
    InvalidLimitText,
    InvalidLimitTitle,
    EnterPasswordText,
    PasswordTitle,
    PasswordsDoNotMatch,
    RemovePasswordConfirm,
    PasswordWindowTitle,
    PasswordPrompt,
    IncorrectPassword,
    FiveMinuteWarning,
    ThreeMinutesRemaining,
    TwoMinutesRemaining,
    OneMinuteRemaining,
    GraceMinuteNotice,
    SettingsNotSaved,
    ExitProtectionNotInForce,
    PasswordNotCheckableYet,
    ExitPasswordWindowTitle,
    ExitPasswordPrompt,
    HardeningRefused,
    StateUnreadable,
    SettingsUnreadable,
    LimitUnknown,
    SavesLockedOut,
    DiskFull,
    SaveFailed,
    InputDesktopTakenBack,
};

inline constexpr int kStringCount = 55;

std::wstring localizedText(StringId id);
std::wstring formatDuration(int seconds);
// The row with its "{n}" replaced by `count`.
std::wstring localizedCountText(StringId id, uint64_t count);

Language currentLanguage();
void setActiveLanguage(Language value);

std::string languageCode(Language value);
Language languageFromCode(std::string_view code);
