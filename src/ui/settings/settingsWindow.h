// The settings window: the daily limit, the notifications flag and the
// settings password. Decisions (limit conversion, the order of the checks,
// the password section's look in each state) are pure functions below; the
// window procedure only asks and acts.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "i18n/strings.h"

class UsageTracker;

inline constexpr wchar_t kSettingsWindowClass[] = L"HourwardenSettingsWindow";

// Window properties; a flag is present with the value 1 when set.
inline constexpr wchar_t kPasswordEditActiveProperty[] = L"PasswordEditActive";
inline constexpr wchar_t kPasswordVisibleProperty[] = L"PasswordVisible";
inline constexpr wchar_t kSettingsUiFontProperty[] = L"SettingsUiFont";
inline constexpr wchar_t kSettingsCloseHoveredProperty[] = L"SettingsCloseHovered";
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

// One child control: its class, styles, text row and rectangle. The settings
// window gives the rectangle at 96 DPI; the password prompt in plain pixels.
struct ChildControlDefinition {
    int id;
    const wchar_t* className;
    DWORD style;  // besides WS_CHILD
    DWORD exStyle;
    std::optional<StringId> text;  // none: the caller supplies the text
    int x, y, width, height;
};

// --- Pure helpers -----------------------------------------------------------

// The limit field as a decimal integer: leading white space skipped, one
// optional sign, digits up to the first non-digit; no digits gives 0. Values
// too large for an int saturate, so they stay out of range instead of wrapping.
int parseLimitText(std::wstring_view text);

// A text cut at a fixed length may end in the first half of a surrogate pair;
// that half alone cannot be stored as UTF-8, so it is dropped.
void dropDanglingHighSurrogate(std::wstring& text);

enum class ApplyProblem { None, InvalidLimit, EmptyPassword, PasswordsDiffer };

// Everything Apply reads from the form and the tracker.
struct ApplyForm {
    std::wstring limitText;
    bool passwordEditActive = false;
    bool passwordVisible = false;
    std::wstring password;
    std::wstring confirmation;
    bool hadPassword = false;  // the tracker's password before Apply
    bool exitPasswordChecked = false;
    bool notificationsChecked = false;
};

// What Apply does: the first failed check, or what to store, in this order:
// password, exit flag, limit with the notifications flag.
struct ApplyPlan {
    ApplyProblem problem = ApplyProblem::None;
    std::optional<std::wstring> newPassword;
    std::optional<bool> requirePasswordOnExit;  // stored only when a password exists afterwards
    int limitMinutes = 0;
    bool notifications = false;
};

ApplyPlan planApply(const ApplyForm& form);

struct ProblemMessage {
    StringId text;
    StringId title;
};
// The warning box for a failed check; ApplyProblem::None has none.
std::optional<ProblemMessage> applyProblemMessage(ApplyProblem problem);

struct PasswordSectionState {
    bool hasPassword = false;
    bool editActive = false;
    bool passwordVisible = false;
    // Entering a password came from Change password (the tracker had one),
    // not from checking Set password.
    bool enteredFromPasswordSet = false;
};

// How the password section's controls look in a state.
struct PasswordSectionView {
    bool setPasswordChecked = false;
    bool setPasswordEnabled = false;
    bool changeRemoveShown = false;   // 2011, 2015
    bool passwordFieldShown = false;  // 2009, 2003
    bool confirmationShown = false;   // 2010, 2004, 2005
    bool exitPasswordEnabled = false;
    // Entering the No password state unchecks the exit check box; the other
    // states keep its check mark as stored or as the user set it.
    bool exitPasswordUnchecked = false;
};

PasswordSectionView passwordSectionView(const PasswordSectionState& state);

// --- Window side ------------------------------------------------------------

inline constexpr INT_PTR kFlagPropertyValue = 1;
bool hasWindowFlag(HWND window, const wchar_t* name);
// Sets the flag property to 1, or removes it.
void setWindowFlag(HWND window, const wchar_t* name, bool set);


ATOM registerUiWindowClass(const wchar_t* className, WNDPROC windowProc, HINSTANCE instance);
HWND createChildControl(HWND parent, const ChildControlDefinition& definition, const std::wstring& text, bool scaled);
// Gives each child that has a text row its text in the current language.
template <size_t N>
void relabelChildControls(HWND parent, const ChildControlDefinition (&definitions)[N])
{
    for (const ChildControlDefinition& definition : definitions) {
        if (definition.text) {
            SetDlgItemTextW(parent, definition.id, localizedText(*definition.text).c_str());
        }
    }
}

std::wstring readControlText(HWND window, int id);
void setFontOnChildren(HWND window, HFONT font);
void maskPasswordFields(HWND window);
// Creates the control font for the window's DPI, hands it to every child and
// keeps it in SettingsUiFont, deleting the one it replaces.
void installControlFont(HWND window);
// Gives each label that does not fit the control font the largest smaller font
// at which it does (on the window's DPI and in the current language).
void fitSettingsLabels(HWND window);

// What Apply did with the form: refused it at a check (whose box has been
// shown), or put it in force through the tracker, with or without reaching
// the files.
enum class ApplyResult { Refused, Saved, InForceNotSaved };
ApplyResult applySettings(HWND window);
void relabelSettingsWindow(HWND window);
void showSettingsWindow(HWND owner, UsageTracker* tracker);
LRESULT CALLBACK settingsWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
