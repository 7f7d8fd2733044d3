#include "ui/settings/settingsWindow.h"

#include <climits>
#include <string>

#include "base/scopedHandles.h"
#include "core/processHardening.h"
#include "core/usageTracker.h"
#include "ui/labelFit.h"
#include "ui/messageFilter.h"
#include "ui/settings/settingsPainting.h"
#include "ui/ownWindows.h"
#include "ui/uiScale.h"
#include "ui/windowState.h"

namespace {

// Creation order is also the z-order. The five password fields (2009, 2003,
// 2010, 2004, 2005) and Change / Remove password start hidden.
constexpr DWORD kPasswordEditStyle = WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL;
constexpr DWORD kOwnerDrawnStyle = WS_TABSTOP | BS_OWNERDRAW;
constexpr DWORD kCheckBoxStyle = WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX;

constexpr ChildControlDefinition kSettingsControls[] = {
    {kLimitLabelId, L"STATIC", WS_VISIBLE, 0, StringId::DailyLimitLabel, 32, 64, 200, 20},
    {kLimitFieldId, L"EDIT", WS_VISIBLE | WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, std::nullopt,
     318, 60, 140, 28},
    {kSetPasswordCheckId, L"BUTTON", kCheckBoxStyle, 0, StringId::SetPassword, 32, 104, 190, 24},
    {kChangePasswordButtonId, L"BUTTON", kOwnerDrawnStyle, 0, StringId::ChangePassword, 255, 100, 105, 30},
    {kRemovePasswordButtonId, L"BUTTON", kOwnerDrawnStyle, 0, StringId::RemovePassword, 368, 100, 100, 30},
    {kPasswordLabelId, L"STATIC", 0, 0, StringId::PasswordLabel, 32, 141, 108, 20},
    {kPasswordFieldId, L"EDIT", kPasswordEditStyle, WS_EX_CLIENTEDGE, std::nullopt, 150, 137, 318, 27},
    {kConfirmLabelId, L"STATIC", 0, 0, StringId::ConfirmPasswordLabel, 32, 175, 108, 20},
    {kConfirmFieldId, L"EDIT", kPasswordEditStyle, WS_EX_CLIENTEDGE, std::nullopt, 150, 171, 318, 27},
    {kShowPasswordButtonId, L"BUTTON", kOwnerDrawnStyle, 0, StringId::ShowPassword, 150, 205, 130, 30},
    {kExitPasswordCheckId, L"BUTTON", kCheckBoxStyle, 0, StringId::RequirePasswordOnExit, 32, 241, 300, 24},
    {kNotificationsCheckId, L"BUTTON", kCheckBoxStyle, 0, StringId::ShowLastThreeMinuteNotifications, 32, 269, 400,
     24},
    // Shown only while config.json cannot be read; small print between the limit and the password.
    {kSettingsNotReadNoteId, L"STATIC", 0, 0, StringId::SettingsUnreadable, 32, 88, 436, 13},
    // Shown only while the exit password is required but the system refuses the protection.
    {kExitProtectionNoteId, L"STATIC", 0, 0, StringId::ExitProtectionNotInForce, 32, 293, 436, 16},
    {kApplyButtonId, L"BUTTON", WS_VISIBLE | kOwnerDrawnStyle, 0, StringId::Apply, 180, 312, 84, 34},
    {kCancelButtonId, L"BUTTON", WS_VISIBLE | kOwnerDrawnStyle, 0, StringId::Cancel, 274, 312, 84, 34},
    {kOkButtonId, L"BUTTON", WS_VISIBLE | kOwnerDrawnStyle, 0, StringId::Ok, 368, 312, 84, 34},
};

// Every labelled control; Change / Remove password and Apply / Cancel / OK
// stand side by side and share one size, and so do the two labels of the
// password fields, one above the other.
constexpr int kPasswordButtonsRow = 1;
constexpr int kDialogButtonsRow = 2;
constexpr int kPasswordLabelsColumn = 3;
constexpr LabelControl kLabelledControls[] = {
    {kLimitLabelId, LabelKind::Static, 0},
    {kSetPasswordCheckId, LabelKind::CheckBox, 0},
    {kChangePasswordButtonId, LabelKind::OwnerDrawnButton, kPasswordButtonsRow},
    {kRemovePasswordButtonId, LabelKind::OwnerDrawnButton, kPasswordButtonsRow},
    {kPasswordLabelId, LabelKind::Static, kPasswordLabelsColumn},
    {kConfirmLabelId, LabelKind::Static, kPasswordLabelsColumn},
    {kShowPasswordButtonId, LabelKind::OwnerDrawnButton, 0},
    {kExitPasswordCheckId, LabelKind::CheckBox, 0},
    {kNotificationsCheckId, LabelKind::CheckBox, 0},
    // Small print between the limit and the password, and between the
    // notifications box and the buttons: no room to grow.
    {kSettingsNotReadNoteId, LabelKind::Static, 0, true},
    {kExitProtectionNoteId, LabelKind::Static, 0, true},
    {kApplyButtonId, LabelKind::OwnerDrawnButton, kDialogButtonsRow},
    {kCancelButtonId, LabelKind::OwnerDrawnButton, kDialogButtonsRow},
    {kOkButtonId, LabelKind::OwnerDrawnButton, kDialogButtonsRow},
};
constexpr int kSmallestLabelPoints = 8;
constexpr int kWrapBelowPoints = 9;

constexpr int kPasswordEntryIds[] = {kPasswordLabelId, kPasswordFieldId};
constexpr int kConfirmationIds[] = {kConfirmLabelId, kConfirmFieldId, kShowPasswordButtonId};
constexpr int kChangeRemoveIds[] = {kChangePasswordButtonId, kRemovePasswordButtonId};
constexpr int kMaskedFieldIds[] = {kPasswordFieldId, kConfirmFieldId};

constexpr wchar_t kMaskCharacter = L'*';

bool isLimitInRange(int minutes)
{
    return minutes >= kMinLimitMinutesAllowed && minutes <= kMaxLimitMinutesAllowed;
}

bool isAsciiSpace(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

bool isBlank(std::wstring_view text)
{
    for (wchar_t c : text) {
        if (!isAsciiSpace(c)) {
            return false;
        }
    }
    return true;
}

UsageTracker* trackerOf(HWND window)
{
    return static_cast<UsageTracker*>(windowRecord(window));
}

bool isChecked(HWND window, int id)
{
    return IsDlgButtonChecked(window, id) == BST_CHECKED;
}

void setChecked(HWND window, int id, bool checked)
{
    CheckDlgButton(window, id, checked ? BST_CHECKED : BST_UNCHECKED);
}

template <size_t N>
void showControls(HWND window, const int (&ids)[N], bool show)
{
    for (int id : ids) {
        ShowWindow(GetDlgItem(window, id), show ? SW_SHOW : SW_HIDE);
    }
}

// Foreign code let in is as much a lapse as a process the account may end:
// one line under the check boxes says either.
StringId protectionNoteText()
{
    return processHardeningRefused() ? StringId::HardeningRefused : StringId::ExitProtectionNotInForce;
}

// What the note line says now; empty: nothing. A lapse in force comes first;
// otherwise how often another desktop took the input since the start.
std::wstring noteText(const UsageTracker* tracker)
{
    if (processHardeningRefused() || (tracker != nullptr && exitProtectionNoteShown(*tracker))) {
        return localizedText(protectionNoteText());
    }
    if (tracker != nullptr && tracker->inputDesktopTakeBacks() > 0) {
        return localizedCountText(StringId::InputDesktopTakenBack, tracker->inputDesktopTakeBacks());
    }
    return {};
}

std::wstring definitionText(const ChildControlDefinition& definition)
{
    if (definition.id == kExitProtectionNoteId) {
        return localizedText(protectionNoteText());
    }
    return definition.text ? localizedText(*definition.text) : std::wstring();
}

PasswordSectionState sectionState(HWND window, const UsageTracker& tracker, bool enteredFromPasswordSet)
{
    return {tracker.hasPassword(), hasWindowFlag(window, kPasswordEditActiveProperty),
            hasWindowFlag(window, kPasswordVisibleProperty), enteredFromPasswordSet};
}

void applyPasswordSectionView(HWND window, const PasswordSectionView& view)
{
    setChecked(window, kSetPasswordCheckId, view.setPasswordChecked);
    EnableWindow(GetDlgItem(window, kSetPasswordCheckId), view.setPasswordEnabled);
    showControls(window, kChangeRemoveIds, view.changeRemoveShown);
    showControls(window, kPasswordEntryIds, view.passwordFieldShown);
    showControls(window, kConfirmationIds, view.confirmationShown);
    EnableWindow(GetDlgItem(window, kExitPasswordCheckId), view.exitPasswordEnabled);
    if (view.exitPasswordUnchecked) {
        setChecked(window, kExitPasswordCheckId, false);
    }
}

// Leaves any entry and shows the state that matches the tracker: after a
// successful Apply and after Remove password.
void showStoredPasswordState(HWND window, const UsageTracker& tracker)
{
    setWindowFlag(window, kPasswordEditActiveProperty, false);
    applyPasswordSectionView(window, passwordSectionView(sectionState(window, tracker, false)));
}

// --- Commands ----------------------------------------------------------------

void onSetPasswordClicked(HWND window, const UsageTracker& tracker)
{
    const bool entering = isChecked(window, kSetPasswordCheckId);
    setWindowFlag(window, kPasswordEditActiveProperty, entering);
    if (entering) {
        maskPasswordFields(window);
    }
    applyPasswordSectionView(window, passwordSectionView(sectionState(window, tracker, false)));
}

void onChangePasswordClicked(HWND window, const UsageTracker& tracker)
{
    setWindowFlag(window, kPasswordEditActiveProperty, true);
    maskPasswordFields(window);
    for (int id : kMaskedFieldIds) {
        SetDlgItemTextW(window, id, L"");
    }
    applyPasswordSectionView(window, passwordSectionView(sectionState(window, tracker, true)));
    SetFocus(GetDlgItem(window, kPasswordFieldId));
}

void onShowPasswordClicked(HWND window, const UsageTracker& tracker)
{
    setWindowFlag(window, kPasswordVisibleProperty, true);
    HWND field = GetDlgItem(window, kPasswordFieldId);
    SendMessageW(field, EM_SETPASSWORDCHAR, 0, 0);
    InvalidateRect(field, nullptr, TRUE);
    // Showing keeps the Set password box as it was since entering began.
    const bool enteredFromPasswordSet = !IsWindowEnabled(GetDlgItem(window, kSetPasswordCheckId));
    applyPasswordSectionView(window, passwordSectionView(sectionState(window, tracker, enteredFromPasswordSet)));
}

// A change that could not be saved is in force all the same; the user must
// not take it for saved, since it is lost if the program ends first.
void showNotSavedBox(HWND window)
{
    MessageBoxW(window, localizedText(StringId::SettingsNotSaved).c_str(), localizedText(StringId::AppTitle).c_str(),
                MB_OK | MB_ICONWARNING);
}

// Apply and OK alike: false when a check refused the form. Otherwise the
// section shows what is now in force, and then a box says so when it could
// not be saved.
bool applyAndShowResult(HWND window, const UsageTracker& tracker)
{
    const ApplyResult result = applySettings(window);
    if (result == ApplyResult::Refused) {
        return false;
    }
    showStoredPasswordState(window, tracker);
    if (result == ApplyResult::InForceNotSaved) {
        showNotSavedBox(window);
    }
    return true;
}

void onApplyClicked(HWND window, const UsageTracker& tracker)
{
    applyAndShowResult(window, tracker);
}

// A change that could not be saved is in force too, so OK closes the window
// after its box, unless the program ended the window while the box was open.
void onOkClicked(HWND window, const UsageTracker& tracker)
{
    if (applyAndShowResult(window, tracker) && IsWindow(window)) {
        destroyOnDecision(window);
    }
}

void onRemovePasswordClicked(HWND window, UsageTracker& tracker)
{
    const int answer = MessageBoxW(window, localizedText(StringId::RemovePasswordConfirm).c_str(),
                                   localizedText(StringId::PasswordTitle).c_str(), MB_YESNO | MB_ICONWARNING);
    if (answer != IDYES) {
        return;
    }
    const bool saved = tracker.removePassword();
    showStoredPasswordState(window, tracker);
    if (!saved) {
        showNotSavedBox(window);
    }
}

// --- Messages ------------------------------------------------------------------

// Once the window and its controls are gone, by the program's hand or with a
// parent or owner another program gave it: the fonts they drew with go.
void releaseSettingsWindow(HWND window, void*)
{
    Font font(static_cast<HFONT>(removeWindowValue(window, kSettingsUiFontProperty)));
    releaseLabelFonts(window, kSettingsLabelFontsProperty);
}

LRESULT handleNcCreate(HWND window, WPARAM wParam, LPARAM lParam)
{
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    if (!attachWindowRecord(window, create->lpCreateParams, releaseSettingsWindow)) {
        return TRUE;  // not the system's: the window exists already
    }
    return DefWindowProcW(window, WM_NCCREATE, wParam, lParam);
}

LRESULT handleCreate(HWND window)
{
    if (GetDlgItem(window, kSettingsControls[0].id) != nullptr) {
        return 0;  // made once; a second WM_CREATE is not the system's
    }
    const UsageTracker* tracker = trackerOf(window);
    for (const ChildControlDefinition& definition : kSettingsControls) {
        HWND control = createChildControl(window, definition, definitionText(definition), true);
        if (definition.id == kLimitFieldId) {
            SendMessageW(control, EM_LIMITTEXT, kLimitFieldMaxChars, 0);
        }
    }
    if (tracker != nullptr) {
        // The initial exit check mark is the stored flag, even without a password.
        PasswordSectionView view = passwordSectionView({tracker->hasPassword(), false, false, false});
        view.exitPasswordUnchecked = false;
        setChecked(window, kExitPasswordCheckId, tracker->requirePasswordOnExit());
        applyPasswordSectionView(window, view);
        if (tracker->configLoaded()) {
            fillInReadSettings(window);
        } else {
            showSettingsNotRead(window);
        }
    }
    installControlFont(window);
    showExitProtectionNote(window);
    SetTimer(window, kSettingsRefreshTimerId, kSettingsRefreshPeriodMs, nullptr);
    return 0;
}

LRESULT handleCommand(HWND window, int controlId)
{
    UsageTracker* tracker = trackerOf(window);
    if (tracker == nullptr) {
        return 0;
    }
    switch (controlId) {
    case kSetPasswordCheckId: onSetPasswordClicked(window, *tracker); break;
    case kChangePasswordButtonId: onChangePasswordClicked(window, *tracker); break;
    case kShowPasswordButtonId: onShowPasswordClicked(window, *tracker); break;
    case kApplyButtonId: onApplyClicked(window, *tracker); break;
    case kOkButtonId: onOkClicked(window, *tracker); break;
    case kCancelButtonId: destroyOnDecision(window); break;
    case kRemovePasswordButtonId: onRemovePasswordClicked(window, *tracker); break;
    default: break;
    }
    return 0;
}

LRESULT handleTimer(HWND window, WPARAM timerId)
{
    if (timerId == kSettingsRefreshTimerId) {
        showExitProtectionNote(window);
        const UsageTracker* tracker = trackerOf(window);
        if (hasWindowFlag(window, kSettingsNotReadProperty) && tracker != nullptr && tracker->configLoaded()) {
            fillInReadSettings(window);
        }
    }
    return 0;
}

LRESULT handleClose(HWND window)
{
    destroyOnDecision(window);
    return 0;
}

LRESULT handleDestroy(HWND window)
{
    KillTimer(window, kSettingsRefreshTimerId);
    return 0;
}

}  // namespace

// --- Pure helpers ----------------------------------------------------------------

int parseLimitText(std::wstring_view text)
{
    size_t at = 0;
    while (at < text.size() && isAsciiSpace(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) {
        negative = text[at] == L'-';
        ++at;
    }
    long long value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        if (value <= INT_MAX) {
            value = value * 10 + (text[at] - L'0');
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

void dropDanglingHighSurrogate(std::wstring& text)
{
    if (!text.empty() && IS_HIGH_SURROGATE(text.back())) {
        text.pop_back();
    }
}

ApplyPlan planApply(const ApplyForm& form)
{
    ApplyPlan plan;
    std::optional<int> limit;
    const bool limitLeftAlone = form.settingsNotRead && isBlank(form.limitText);
    if (!limitLeftAlone) {
        limit = parseLimitText(form.limitText);
        if (!isLimitInRange(*limit)) {
            plan.problem = ApplyProblem::InvalidLimit;
            return plan;
        }
    }
    bool hasPasswordAfter = form.hadPassword;
    if (form.passwordEditActive) {
        if (form.password.empty()) {
            plan.problem = ApplyProblem::EmptyPassword;
            return plan;
        }
        // Revealed, the password is typed once and the hidden confirmation does not count.
        if (!form.passwordVisible && form.confirmation != form.password) {
            plan.problem = ApplyProblem::PasswordsDiffer;
            return plan;
        }
        plan.newPassword = form.password;
        hasPasswordAfter = true;
    }
    if (hasPasswordAfter) {
        plan.requirePasswordOnExit = form.exitPasswordChecked;
    }
    plan.limitMinutes = limit;
    plan.notifications = form.notifications;
    return plan;
}

std::optional<ProblemMessage> applyProblemMessage(ApplyProblem problem)
{
    switch (problem) {
    case ApplyProblem::InvalidLimit: return ProblemMessage{StringId::InvalidLimitText, StringId::InvalidLimitTitle};
    case ApplyProblem::EmptyPassword: return ProblemMessage{StringId::EnterPasswordText, StringId::PasswordTitle};
    case ApplyProblem::PasswordsDiffer: return ProblemMessage{StringId::PasswordsDoNotMatch, StringId::PasswordTitle};
    case ApplyProblem::None: break;
    }
    return std::nullopt;
}

PasswordSectionView passwordSectionView(const PasswordSectionState& state)
{
    PasswordSectionView view;
    if (state.editActive) {
        view.setPasswordChecked = true;
        view.setPasswordEnabled = !state.enteredFromPasswordSet;
        view.passwordFieldShown = true;
        view.confirmationShown = !state.passwordVisible;
        view.exitPasswordEnabled = true;
    } else if (state.hasPassword) {
        view.setPasswordChecked = true;
        view.changeRemoveShown = true;
        view.exitPasswordEnabled = true;
    } else {
        view.setPasswordEnabled = true;
        view.exitPasswordUnchecked = true;
    }
    return view;
}

// --- Window side -------------------------------------------------------------------

ATOM registerUiWindowClass(const wchar_t* className, WNDPROC windowProc, HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = className;
    return RegisterClassExW(&windowClass);
}

HWND createChildControl(HWND parent, const ChildControlDefinition& definition, const std::wstring& text, bool scaled)
{
    const auto place = [&](int length) { return scaled ? scaleForWindow(parent, length) : length; };
    return CreateWindowExW(definition.exStyle, definition.className, text.c_str(), WS_CHILD | definition.style, place(definition.x),
                           place(definition.y), place(definition.width), place(definition.height), parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(definition.id)), nullptr, nullptr);
}

std::wstring readControlText(HWND window, int id)
{
    wchar_t buffer[kControlTextMaxChars + 1] = {};
    const int length = GetWindowTextW(GetDlgItem(window, id), buffer, kControlTextMaxChars + 1);
    std::wstring text(buffer, length > 0 ? static_cast<size_t>(length) : 0);
    dropDanglingHighSurrogate(text);
    return text;
}

void setFontOnChildren(HWND window, HFONT font)
{
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

void maskPasswordFields(HWND window)
{
    setWindowFlag(window, kPasswordVisibleProperty, false);
    for (int id : kMaskedFieldIds) {
        HWND field = GetDlgItem(window, id);
        SendMessageW(field, EM_SETPASSWORDCHAR, kMaskCharacter, 0);
        InvalidateRect(field, nullptr, TRUE);
    }
    showControls(window, kConfirmationIds, true);
}

void installControlFont(HWND window)
{
    // The old font is deleted only after every child has let go of it.
    Font previous(static_cast<HFONT>(removeWindowValue(window, kSettingsUiFontProperty)));
    HFONT font = createUiFont(window, kControlFontPoints, kControlFontWeight);
    if (font != nullptr) {
        setWindowValue(window, kSettingsUiFontProperty, font);
    }
    setFontOnChildren(window, font);
    fitSettingsLabels(window);
}

void fitSettingsLabels(HWND window)
{
    const UINT dpi = GetDpiForWindow(window);
    LabelFontFamily family;
    family.normalFont = static_cast<HFONT>(windowValue(window, kSettingsUiFontProperty));
    family.face = kUiFontFace;
    family.weight = kControlFontWeight;
    family.largestHeight = labelFontHeight(kControlFontPoints, dpi);
    family.smallestHeight = labelFontHeight(kSmallestLabelPoints, dpi);
    family.wrapBelowHeight = labelFontHeight(kWrapBelowPoints, dpi);
    placeChildControls(window, kSettingsControls, true);
    fitLabelFonts(window, kLabelledControls, family, kSettingsLabelFontsProperty);
}

ApplyResult applySettings(HWND window)
{
    UsageTracker* tracker = trackerOf(window);
    if (tracker == nullptr) {
        return ApplyResult::Refused;
    }
    ApplyForm form;
    form.limitText = readControlText(window, kLimitFieldId);
    form.passwordEditActive = hasWindowFlag(window, kPasswordEditActiveProperty);
    form.passwordVisible = hasWindowFlag(window, kPasswordVisibleProperty);
    if (form.passwordEditActive) {
        form.password = readControlText(window, kPasswordFieldId);
        if (!form.passwordVisible) {
            form.confirmation = readControlText(window, kConfirmFieldId);
        }
    }
    form.hadPassword = tracker->hasPassword();
    form.exitPasswordChecked = isChecked(window, kExitPasswordCheckId);
    form.settingsNotRead = hasWindowFlag(window, kSettingsNotReadProperty);
    const UINT notifications = IsDlgButtonChecked(window, kNotificationsCheckId);
    if (notifications != BST_INDETERMINATE) {
        form.notifications = notifications == BST_CHECKED;
    }

    const ApplyPlan plan = planApply(form);
    if (const auto message = applyProblemMessage(plan.problem)) {
        MessageBoxW(window, localizedText(message->text).c_str(), localizedText(message->title).c_str(),
                    MB_OK | MB_ICONWARNING);
        return ApplyResult::Refused;
    }
    // The password goes to data.json before the limit goes to config.json.
    // Each change is in force once made, whether or not its file was written.
    bool saved = true;
    if (plan.newPassword) {
        saved = tracker->setPassword(*plan.newPassword) && saved;
    }
    if (plan.requirePasswordOnExit) {
        saved = tracker->setRequirePasswordOnExit(*plan.requirePasswordOnExit) && saved;
    }
    if (plan.limitMinutes || plan.notifications) {
        saved = tracker->setLimit(LimitChange{plan.limitMinutes, plan.notifications}) && saved;
    }
    showExitProtectionNote(window);
    return saved ? ApplyResult::Saved : ApplyResult::InForceNotSaved;
}

bool exitProtectionNoteShown(const UsageTracker& tracker)
{
    return tracker.requirePasswordOnExit() && tracker.hasPassword() && !tracker.exitProtectionInForce();
}

void showExitProtectionNote(HWND window)
{
    const std::wstring text = noteText(trackerOf(window));
    const bool shown = !text.empty();
    HWND note = GetDlgItem(window, kExitProtectionNoteId);
    // A hidden note keeps its text; a new one gets the font it fits.
    if (shown && readControlText(window, kExitProtectionNoteId) != text) {
        SetWindowTextW(note, text.c_str());
        fitSettingsLabels(window);
    }
    if ((IsWindowVisible(note) != FALSE) != shown) {
        ShowWindow(note, shown ? SW_SHOW : SW_HIDE);
    }
}

void showSettingsNotRead(HWND window)
{
    setWindowFlag(window, kSettingsNotReadProperty, true);
    SetDlgItemTextW(window, kLimitFieldId, L"");
    // Three states while nothing is known: indeterminate is "leave it as it is".
    SendDlgItemMessageW(window, kNotificationsCheckId, BM_SETSTYLE, BS_AUTO3STATE, TRUE);
    CheckDlgButton(window, kNotificationsCheckId, BST_INDETERMINATE);
    ShowWindow(GetDlgItem(window, kSettingsNotReadNoteId), SW_SHOW);
}

void fillInReadSettings(HWND window)
{
    const UsageTracker* tracker = trackerOf(window);
    if (tracker == nullptr) {
        return;
    }
    // What the parent typed or set meanwhile stays; the tracker's settings now
    // hold the file's values with the parent's changes over them.
    const AppConfig config = tracker->config();
    if (isBlank(readControlText(window, kLimitFieldId))) {
        SetDlgItemTextW(window, kLimitFieldId, std::to_wstring(config.dailyLimitMinutes).c_str());
    }
    const UINT notifications = IsDlgButtonChecked(window, kNotificationsCheckId);
    SendDlgItemMessageW(window, kNotificationsCheckId, BM_SETSTYLE, BS_AUTOCHECKBOX, TRUE);
    if (notifications == BST_INDETERMINATE || !hasWindowFlag(window, kSettingsNotReadProperty)) {
        setChecked(window, kNotificationsCheckId, config.showLastThreeMinuteNotifications);
    }
    ShowWindow(GetDlgItem(window, kSettingsNotReadNoteId), SW_HIDE);
    setWindowFlag(window, kSettingsNotReadProperty, false);
}

void relabelSettingsWindow(HWND window)
{
    SetWindowTextW(window, localizedText(StringId::SettingsTitle).c_str());
    relabelChildControls(window, kSettingsControls);
    SetDlgItemTextW(window, kExitProtectionNoteId, localizedText(protectionNoteText()).c_str());
    fitSettingsLabels(window);
    showExitProtectionNote(window);
}

void showSettingsWindow(HWND owner, UsageTracker* tracker)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    registerUiWindowClass(kSettingsWindowClass, settingsWindowProc, instance);
    if (HWND existing = findOwnWindow(kSettingsWindowClass)) {
        ShowWindow(existing, SW_RESTORE);
        SetForegroundWindow(existing);
        return;
    }
    // The window does not exist yet, so its size follows the system DPI.
    const UINT dpi = GetDpiForSystem();
    const WindowCreation creation;
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, kSettingsWindowClass,
                                  localizedText(StringId::SettingsTitle).c_str(), WS_POPUP, CW_USEDEFAULT,
                                  CW_USEDEFAULT, scaleLength(kSettingsWindowWidth, dpi),
                                  scaleLength(kSettingsWindowHeight, dpi), owner, nullptr, instance, tracker);
    if (window == nullptr) {
        return;
    }
    applyRoundedRegion(window);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
}

namespace {

// A new DPI: the suggested rectangle, the card's region and the control fonts anew.
LRESULT handleSettingsDpiChanged(HWND window, LPARAM lParam)
{
    // The system always gives the rectangle; a message without one is not the system's.
    const auto* suggested = reinterpret_cast<const RECT*>(lParam);
    if (suggested == nullptr) {
        return 0;
    }
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    applyRoundedRegion(window);
    installControlFont(window);
    InvalidateRect(window, nullptr, TRUE);
    return 0;
}

}  // namespace

LRESULT CALLBACK settingsWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (refuseForeignMessage(message)) {
        return 0;
    }
    switch (message) {
    case WM_NCCREATE: return handleNcCreate(window, wParam, lParam);
    case WM_CREATE: return handleCreate(window);
    case WM_COMMAND: return handleCommand(window, LOWORD(wParam));
    case WM_TIMER: return handleTimer(window, wParam);
    case WM_CLOSE: return handleClose(window);
    case WM_DESTROY: return handleDestroy(window);
    case WM_PAINT: return handleSettingsPaint(window);
    case WM_DRAWITEM: return handleSettingsDrawItem(lParam);
    case WM_CTLCOLOREDIT: return handleSettingsControlColor(reinterpret_cast<HDC>(wParam), true);
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC: return handleSettingsControlColor(reinterpret_cast<HDC>(wParam), false);
    case WM_NCHITTEST: return handleSettingsHitTest(window, lParam);
    case WM_MOUSEMOVE: return handleSettingsMouseMove(window, lParam);
    case WM_MOUSELEAVE: return handleSettingsMouseLeave(window);
    case WM_LBUTTONUP: return handleSettingsLeftButtonUp(window, lParam);
    case WM_DPICHANGED: return handleSettingsDpiChanged(window, lParam);
    default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
