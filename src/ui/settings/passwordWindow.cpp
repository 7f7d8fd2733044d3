#include "ui/settings/passwordWindow.h"

#include <cstdint>
#include <new>
#include <string>

#include "app/controlWindow.h"
#include "core/timeSource.h"
#include "core/usageTracker.h"
#include "i18n/strings.h"
#include "ui/labelFit.h"
#include "ui/messageFilter.h"
#include "ui/uiScale.h"
#include "ui/windowState.h"
#include "ui/settings/settingsUi.h"
#include "ui/ownWindows.h"
#include "ui/settings/settingsWindow.h"

namespace {

// Plain pixels; the controls keep the platform's default font and colours.
constexpr ChildControlDefinition kPromptControls[] = {
    {kPromptTextId, L"STATIC", WS_VISIBLE, 0, StringId::PasswordPrompt, 16, 16, 270, 20},
    {kPromptFieldId, L"EDIT", WS_VISIBLE | WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, std::nullopt,
     16, 42, 270, 24},
    {kPromptOkId, L"BUTTON", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, StringId::Ok, 112, 82, 80, 28},
    {kPromptCancelId, L"BUTTON", WS_VISIBLE | WS_TABSTOP, 0, StringId::Cancel, 202, 82, 80, 28},
};

// OK and Cancel stand side by side and share one size.
constexpr int kPromptButtonsRow = 1;
constexpr LabelControl kPromptLabels[] = {
    {kPromptTextId, LabelKind::Static, 0},
    {kPromptOkId, LabelKind::PushButton, kPromptButtonsRow},
    {kPromptCancelId, LabelKind::PushButton, kPromptButtonsRow},
};
constexpr int kLargestLabelPoints = 14;
constexpr int kSmallestLabelPoints = 8;
constexpr int kWrapBelowPoints = 9;

// The controls keep the platform's default font where their text fits it; a
// text that does not gets the program's UI face, in the default font's weight,
// at the largest size below the default at which it fits.
void fitPromptLabels(HWND prompt)
{
    LOGFONTW defaultFont = {};
    GetObjectW(GetStockObject(SYSTEM_FONT), sizeof defaultFont, &defaultFont);
    const UINT dpi = GetDpiForWindow(prompt);
    LabelFontFamily family;
    family.normalFont = nullptr;
    family.face = kUiFontFace;
    family.weight = defaultFont.lfWeight != 0 ? defaultFont.lfWeight : FW_NORMAL;
    family.largestHeight = labelFontHeight(kLargestLabelPoints, dpi);
    family.smallestHeight = labelFontHeight(kSmallestLabelPoints, dpi);
    family.wrapBelowHeight = labelFontHeight(kWrapBelowPoints, dpi);
    placeChildControls(prompt, kPromptControls, false);
    fitLabelFonts(prompt, kPromptLabels, family, kPasswordLabelFontsProperty);
}

// One per prompt, its record (windowState.h) from WM_NCCREATE until the window is gone.
struct PromptState {
    UsageTracker* tracker = nullptr;
    bool exitMode = false;
    HWND createdWith = nullptr;  // the owner given at creation
    // A check, or the box that answers it, is under way: another OK waits for it.
    bool checking = false;
    // A check held back after wrong passwords: the text typed and when it may answer.
    bool held = false;
    std::wstring heldText;
    uint64_t answerAt = 0;
};

PromptState* stateOf(HWND window)
{
    return static_cast<PromptState*>(windowRecord(window));
}

StringId promptTitle(bool exitMode)
{
    return exitMode ? StringId::ExitPasswordWindowTitle : StringId::PasswordWindowTitle;
}

void focusPasswordField(HWND prompt)
{
    SetFocus(GetDlgItem(prompt, kPromptFieldId));
}

void enableOk(HWND prompt, bool enable)
{
    EnableWindow(GetDlgItem(prompt, kPromptOkId), enable ? TRUE : FALSE);
}

void answerCheck(HWND prompt, PromptState& state, const std::wstring& text)
{
    state.checking = true;
    const bool correct = state.tracker->tryPassword(text);
    switch (passwordOutcome(correct, state.exitMode)) {
    case PasswordOutcome::Retry:
        // Modal: OK clicks that reach the prompt meanwhile find the check still under way.
        MessageBoxW(prompt, localizedText(StringId::IncorrectPassword).c_str(),
                    localizedText(StringId::AppTitle).c_str(), MB_OK | MB_ICONERROR);
        // A close request may have ended the prompt, and its state, while the box was up.
        if (PromptState* open = stateOf(prompt)) {
            SetDlgItemTextW(prompt, kPromptFieldId, L"");
            focusPasswordField(prompt);
            open->checking = false;
        }
        break;
    case PasswordOutcome::ExitProgram:
        // The program's end takes this prompt (and its state) with it.
        endProgram();
        break;
    case PasswordOutcome::OpenSettings:
        // Owned by the control window, as from the tray: never by whatever owns the prompt now.
        showSettingsWindow(ownerForNewWindow(state.createdWith), state.tracker);
        destroyOnDecision(prompt);
        break;
    }
}

// The line above the field: what to type, or, while the file that holds the
// password cannot be read, that it cannot be checked yet.
void labelPromptText(HWND prompt)
{
    const PromptState* state = stateOf(prompt);
    const bool checkable = state == nullptr || state->tracker == nullptr || state->tracker->usageLoaded();
    const bool exitMode = state != nullptr && state->exitMode;
    SetDlgItemTextW(prompt, kPromptTextId, localizedText(!checkable ? StringId::PasswordNotCheckableYet
                                                         : exitMode ? StringId::ExitPasswordPrompt
                                                                    : StringId::PasswordPrompt)
                                               .c_str());
}

void onOkClicked(HWND prompt)
{
    PromptState* state = stateOf(prompt);
    if (state == nullptr || state->tracker == nullptr || state->checking || state->held) {
        return;
    }
    if (!state->tracker->usageLoaded()) {
        // No try is counted: there is nothing to check against.
        state->checking = true;
        MessageBoxW(prompt, localizedText(StringId::PasswordNotCheckableYet).c_str(),
                    localizedText(StringId::AppTitle).c_str(), MB_OK | MB_ICONINFORMATION);
        if (PromptState* open = stateOf(prompt)) {
            open->checking = false;
        }
        return;
    }
    labelPromptText(prompt);
    const std::wstring text = readControlText(prompt, kPromptFieldId);
    const uint32_t delay = state->tracker->passwordCheckDelayMs();
    if (delay == 0) {
        answerCheck(prompt, *state, text);
        return;
    }
    // Guessing is slowed down: the answer comes only after the delay.
    state->held = true;
    state->heldText = text;
    state->answerAt = activeTimeSource().tickCount64() + delay;
    enableOk(prompt, false);
    SetTimer(prompt, kPromptCheckTimerId, delay, nullptr);
}

LRESULT handleTimer(HWND prompt, WPARAM timerId)
{
    PromptState* state = stateOf(prompt);
    // Anyone can post a WM_TIMER: only the delay itself having passed answers.
    if (timerId != kPromptCheckTimerId || state == nullptr || !state->held ||
        activeTimeSource().tickCount64() < state->answerAt) {
        return 0;
    }
    KillTimer(prompt, kPromptCheckTimerId);
    state->held = false;
    const std::wstring text = std::move(state->heldText);
    state->heldText.clear();
    enableOk(prompt, true);
    answerCheck(prompt, *state, text);
    return 0;
}

// What showPasswordWindow hands to the creation.
struct PromptRequest {
    UsageTracker* tracker;
    bool exitMode;
};

// Once the prompt is gone, by the program's hand or with a parent or owner
// another program gave it: its state (a half-typed password too) goes, and
// nothing makes it again.
void releasePrompt(HWND window, void* record)
{
    releaseLabelFonts(window, kPasswordLabelFontsProperty);
    auto* state = static_cast<PromptState*>(record);
    SecureZeroMemory(state->heldText.data(), state->heldText.size() * sizeof(wchar_t));
    delete state;
}

LRESULT handleNcCreate(HWND window, WPARAM wParam, LPARAM lParam)
{
    if (windowRecord(window) != nullptr) {
        return TRUE;  // not the system's: the window exists already
    }
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    const auto* request = static_cast<const PromptRequest*>(create->lpCreateParams);
    auto* state = new (std::nothrow) PromptState;
    if (state == nullptr || request == nullptr) {
        delete state;
        return FALSE;
    }
    state->tracker = request->tracker;
    state->exitMode = request->exitMode;
    state->createdWith = create->hwndParent;
    attachWindowRecord(window, state, releasePrompt);
    return DefWindowProcW(window, WM_NCCREATE, wParam, lParam);
}

LRESULT handleCreate(HWND window)
{
    if (GetDlgItem(window, kPromptFieldId) != nullptr) {
        return 0;  // made once; a second WM_CREATE is not the system's
    }
    for (const ChildControlDefinition& definition : kPromptControls) {
        createChildControl(window, definition, definition.text ? localizedText(*definition.text) : std::wstring(), false);
    }
    labelPromptText(window);
    fitPromptLabels(window);
    focusPasswordField(window);
    return 0;
}

LRESULT handleCommand(HWND window, int controlId)
{
    switch (controlId) {
    case kPromptOkId: onOkClicked(window); break;
    case kPromptCancelId: destroyOnDecision(window); break;
    default: break;
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
    KillTimer(window, kPromptCheckTimerId);
    setWindowFlag(window, kExitAfterPasswordProperty, false);
    return 0;
}

}  // namespace

PasswordOutcome passwordOutcome(bool correct, bool exitMode)
{
    if (!correct) {
        return PasswordOutcome::Retry;
    }
    return exitMode ? PasswordOutcome::ExitProgram : PasswordOutcome::OpenSettings;
}

bool promptIsForExit(HWND prompt)
{
    const PromptState* state = stateOf(prompt);
    return state != nullptr && state->exitMode;
}

void showPasswordWindow(HWND owner, UsageTracker* tracker, bool exitMode)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    registerUiWindowClass(kPasswordWindowClass, passwordWindowProc, instance);
    // One prompt at a time. One open for the other purpose (an exit prompt that
    // a close request opened, say) goes: a password typed for the settings
    // must never end the program, nor one typed to exit open the settings.
    if (HWND existing = findOwnWindow(kPasswordWindowClass)) {
        if (promptIsForExit(existing) == exitMode) {
            SetForegroundWindow(existing);
            return;
        }
        destroyOnDecision(existing);
    }
    PromptRequest request = {tracker, exitMode};
    HWND prompt = nullptr;
    {
        const WindowCreation creation;
        prompt = CreateWindowExW(WS_EX_DLGMODALFRAME, kPasswordWindowClass, localizedText(promptTitle(exitMode)).c_str(),
                                 WS_CAPTION | WS_SYSMENU,
                                 CW_USEDEFAULT, CW_USEDEFAULT, kPasswordWindowWidth, kPasswordWindowHeight, owner,
                                 nullptr, instance, &request);
    }
    if (prompt == nullptr) {
        return;
    }
    if (exitMode) {
        // Shown to those who look; the prompt itself goes by its state.
        setWindowFlag(prompt, kExitAfterPasswordProperty, true);
    }
    ShowWindow(prompt, SW_SHOWNORMAL);
}

void relabelPasswordWindow(HWND prompt)
{
    SetWindowTextW(prompt, localizedText(promptTitle(promptIsForExit(prompt))).c_str());
    relabelChildControls(prompt, kPromptControls);
    labelPromptText(prompt);
    fitPromptLabels(prompt);
}

LRESULT CALLBACK passwordWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
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
    default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// --- Entry points ------------------------------------------------------------------

void openSettings(HWND owner, UsageTracker* tracker)
{
    if (tracker != nullptr && tracker->settingsGuarded()) {
        showPasswordWindow(owner, tracker, false);
    } else {
        showSettingsWindow(owner, tracker);
    }
}

void openExitPasswordPrompt(HWND owner, UsageTracker* tracker)
{
    showPasswordWindow(owner, tracker, true);
}

void refreshLanguageInOpenWindows()
{
    if (HWND settings = findOwnWindow(kSettingsWindowClass)) {
        relabelSettingsWindow(settings);
        // The title is painted from the string table, so a repaint re-draws it.
        InvalidateRect(settings, nullptr, FALSE);
    }
    if (HWND prompt = findOwnWindow(kPasswordWindowClass)) {
        relabelPasswordWindow(prompt);
    }
}
