#include "ui/settings/passwordWindow.h"

#include <string>

#include "core/usageTracker.h"
#include "i18n/strings.h"
#include "ui/labelFit.h"
#include "ui/uiScale.h"
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
    fitLabelFonts(prompt, kPromptLabels, family, kPasswordLabelFontsProperty);
}

UsageTracker* trackerOf(HWND window)
{
    return reinterpret_cast<UsageTracker*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void focusPasswordField(HWND prompt)
{
    SetFocus(GetDlgItem(prompt, kPromptFieldId));
}

void onOkClicked(HWND prompt)
{
    const UsageTracker* tracker = trackerOf(prompt);
    if (tracker == nullptr) {
        return;
    }
    const bool correct = tracker->checkPassword(readControlText(prompt, kPromptFieldId));
    switch (passwordOutcome(correct, hasWindowFlag(prompt, kExitAfterPasswordProperty))) {
    case PasswordOutcome::Retry:
        MessageBoxW(prompt, localizedText(StringId::IncorrectPassword).c_str(),
                    localizedText(StringId::AppTitle).c_str(), MB_OK | MB_ICONERROR);
        SetDlgItemTextW(prompt, kPromptFieldId, L"");
        focusPasswordField(prompt);
        break;
    case PasswordOutcome::ExitProgram:
        // The control window's end ends the program and takes this prompt with it.
        DestroyWindow(GetWindow(prompt, GW_OWNER));
        break;
    case PasswordOutcome::OpenSettings:
        showSettingsWindow(GetWindow(prompt, GW_OWNER), trackerOf(prompt));
        DestroyWindow(prompt);
        break;
    }
}

LRESULT handleNcCreate(HWND window, WPARAM wParam, LPARAM lParam)
{
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return DefWindowProcW(window, WM_NCCREATE, wParam, lParam);
}

LRESULT handleCreate(HWND window)
{
    for (const ChildControlDefinition& definition : kPromptControls) {
        createChildControl(window, definition, definition.text ? localizedText(*definition.text) : std::wstring(), false);
    }
    fitPromptLabels(window);
    focusPasswordField(window);
    return 0;
}

LRESULT handleCommand(HWND window, int controlId)
{
    switch (controlId) {
    case kPromptOkId: onOkClicked(window); break;
    case kPromptCancelId: DestroyWindow(window); break;
    default: break;
    }
    return 0;
}

LRESULT handleClose(HWND window)
{
    DestroyWindow(window);
    return 0;
}

LRESULT handleDestroy(HWND window)
{
    RemovePropW(window, kExitAfterPasswordProperty);
    releaseLabelFonts(window, kPasswordLabelFontsProperty);
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

void showPasswordWindow(HWND owner, UsageTracker* tracker, bool exitMode)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    registerUiWindowClass(kPasswordWindowClass, passwordWindowProc, instance);
    // One prompt at a time: an open one keeps the mode it was made in.
    if (HWND existing = findOwnWindow(kPasswordWindowClass)) {
        SetForegroundWindow(existing);
        return;
    }
    HWND prompt = CreateWindowExW(WS_EX_DLGMODALFRAME, kPasswordWindowClass,
                                  localizedText(StringId::PasswordWindowTitle).c_str(), WS_CAPTION | WS_SYSMENU,
                                  CW_USEDEFAULT, CW_USEDEFAULT, kPasswordWindowWidth, kPasswordWindowHeight, owner,
                                  nullptr, instance, tracker);
    if (prompt == nullptr) {
        return;
    }
    if (exitMode) {
        setWindowFlag(prompt, kExitAfterPasswordProperty, true);
    }
    ShowWindow(prompt, SW_SHOWNORMAL);
}

void relabelPasswordWindow(HWND prompt)
{
    SetWindowTextW(prompt, localizedText(StringId::PasswordWindowTitle).c_str());
    relabelChildControls(prompt, kPromptControls);
    fitPromptLabels(prompt);
}

LRESULT CALLBACK passwordWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NCCREATE: return handleNcCreate(window, wParam, lParam);
    case WM_CREATE: return handleCreate(window);
    case WM_COMMAND: return handleCommand(window, LOWORD(wParam));
    case WM_CLOSE: return handleClose(window);
    case WM_DESTROY: return handleDestroy(window);
    default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// --- Entry points ------------------------------------------------------------------

void openSettings(HWND owner, UsageTracker* tracker)
{
    if (tracker != nullptr && tracker->hasPassword()) {
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
