#include "ui/settings/settingsUi.h"

void openSettings(HWND, UsageTracker*) {}
void openExitPasswordPrompt(HWND, UsageTracker*) {}
void refreshLanguageInOpenWindows() {}
