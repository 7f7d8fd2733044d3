#include "ui/status/statusWindow.h"

void showStatusWindow(HWND, UsageTracker*) {}
void refreshStatusWindow() {}
