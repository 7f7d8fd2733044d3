// The status window: remaining and used time around a usage ring.
#pragma once

#include <windows.h>

class UsageTracker;

void showStatusWindow(HWND owner, UsageTracker* tracker);
// Repaints an open status window, e.g. after a language switch.
void refreshStatusWindow();
