// The password prompt in front of the settings window or of Exit.
#pragma once

#include <windows.h>

class UsageTracker;

inline constexpr wchar_t kPasswordWindowClass[] = L"HourwardenPasswordWindow";
inline constexpr wchar_t kExitAfterPasswordProperty[] = L"ExitAfterPassword";
// The fonts of labels that do not fit the platform's default font.
inline constexpr wchar_t kPasswordLabelFontsProperty[] = L"PasswordLabelFonts";

enum PasswordControlId : int {
    kPromptTextId = 3004,
    kPromptFieldId = 3001,
    kPromptOkId = 3002,
    kPromptCancelId = 3003,
};

// Outer size in plain pixels: the prompt is not scaled.
inline constexpr int kPasswordWindowWidth = 310;
inline constexpr int kPasswordWindowHeight = 150;
// Fires when a check held back after wrong passwords may answer.
inline constexpr UINT_PTR kPromptCheckTimerId = 1;

enum class PasswordOutcome { Retry, OpenSettings, ExitProgram };
// What a checked password leads to in the prompt's mode.
PasswordOutcome passwordOutcome(bool correct, bool exitMode);

// Creates the prompt, or brings an open one forward when it has the mode asked
// for; one open in the other mode is closed and a new one made.
void showPasswordWindow(HWND owner, UsageTracker* tracker, bool exitMode);
void relabelPasswordWindow(HWND prompt);
// Whether `prompt` ends the program after the right password (else it opens the settings).
bool promptIsForExit(HWND prompt);
LRESULT CALLBACK passwordWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
