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
#include "ui/settings/settingsControls.h"
#include "ui/uiScale.h"
#include "ui/windowFlags.h"

class UsageTracker;

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
    // config.json could not be read yet: an empty limit field means "leave it".
    bool settingsNotRead = false;
    std::wstring limitText;
    bool passwordEditActive = false;
    bool passwordVisible = false;
    std::wstring password;
    std::wstring confirmation;
    bool hadPassword = false;  // the tracker's password before Apply
    bool exitPasswordChecked = false;
    // None: the box is indeterminate, left as the parent found it.
    std::optional<bool> notifications;
};

// What Apply does: the first failed check, or what to store, in this order:
// password, exit flag, limit with the notifications flag. A field the parent
// left alone while config.json could not be read is not stored.
struct ApplyPlan {
    ApplyProblem problem = ApplyProblem::None;
    std::optional<std::wstring> newPassword;
    std::optional<bool> requirePasswordOnExit;  // stored only when a password exists afterwards
    std::optional<int> limitMinutes;
    std::optional<bool> notifications;
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

// The note under the check boxes: the exit password is required, but the
// system refuses to protect the process against the account it limits.
bool exitProtectionNoteShown(const UsageTracker& tracker);

// --- Window side ------------------------------------------------------------



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

// Puts the controls back at their rectangles in the table, before the label
// fitting grows the ones whose font needs more height.
template <size_t N>
void placeChildControls(HWND parent, const ChildControlDefinition (&definitions)[N], bool scaled)
{
    const auto place = [&](int length) { return scaled ? scaleForWindow(parent, length) : length; };
    for (const ChildControlDefinition& definition : definitions) {
        SetWindowPos(GetDlgItem(parent, definition.id), nullptr, place(definition.x), place(definition.y),
                     place(definition.width), place(definition.height), SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

std::wstring readControlText(HWND window, int id);
void setFontOnChildren(HWND window, HFONT font);
void maskPasswordFields(HWND window);
// Creates the control font for the window's DPI, hands it to every child and
// keeps it in SettingsUiFont, deleting the one it replaces.
void installControlFont(HWND window);
// Shows or hides the note under the check boxes: while exitProtectionNoteShown
// says so or foreign code was let in, that lapse; else, once another desktop
// took the input since the start, how often (each time taken back and locked).
void showExitProtectionNote(HWND window);
// Gives each label that does not fit the control font the largest smaller font
// at which it does (on the window's DPI and in the current language).
void fitSettingsLabels(HWND window);

// What Apply did with the form: refused it at a check (whose box has been
// shown), or put it in force through the tracker, with or without reaching
// the files.
enum class ApplyResult { Refused, Saved, InForceNotSaved };
ApplyResult applySettings(HWND window);
void relabelSettingsWindow(HWND window);
// While config.json cannot be read: the limit field empty, the notifications box
// indeterminate and the line that says so. Once it has been read: the fields the
// parent left alone filled in from it.
void showSettingsNotRead(HWND window);
void fillInReadSettings(HWND window);
void showSettingsWindow(HWND owner, UsageTracker* tracker);
LRESULT CALLBACK settingsWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
