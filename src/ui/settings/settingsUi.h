// Entry points of the settings UI: the settings window and the password prompt.
#pragma once

#include <windows.h>

class UsageTracker;

// Settings from the tray or the status window: through the password prompt when a password is set.
void openSettings(HWND owner, UsageTracker* tracker);
// Exit when a password guards it: the prompt ends the program after the right password.
void openExitPasswordPrompt(HWND owner, UsageTracker* tracker);
// Re-labels an open settings window and password prompt in the current language.
void refreshLanguageInOpenWindows();
