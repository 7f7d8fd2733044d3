// Drives the settings window and the password prompt of a running Hourwarden
// as a user would: real clicks on controls, typed text, message boxes read
// and answered; plus the state of the controls as seen from outside.
#pragma once

#include <windows.h>

#include <string>

#include "harness.h"
#include "probe/labelProbe.h"

namespace e2e::settings {

inline constexpr WORD kCommandSettings = 1001;
inline constexpr WORD kCommandExit = 1002;
inline constexpr WORD kCommandRussian = 1003;
inline constexpr WORD kCommandEnglish = 1004;

// The settings window's controls.
inline constexpr int kLimitLabel = 2014;
inline constexpr int kLimitField = 2001;
inline constexpr int kSetPassword = 2002;
inline constexpr int kChangePassword = 2011;
inline constexpr int kRemovePassword = 2015;
inline constexpr int kPasswordLabel = 2009;
inline constexpr int kPasswordField = 2003;
inline constexpr int kConfirmLabel = 2010;
inline constexpr int kConfirmField = 2004;
inline constexpr int kShowPassword = 2005;
inline constexpr int kExitPassword = 2012;
inline constexpr int kNotifications = 2013;
inline constexpr int kExitProtectionNote = 2016;
inline constexpr int kSettingsNotReadNote = 2017;
inline constexpr int kApply = 2006;
inline constexpr int kCancel = 2008;
inline constexpr int kOk = 2007;

// The password prompt's controls.
inline constexpr int kPromptText = 3004;
inline constexpr int kPromptField = 3001;
inline constexpr int kPromptOk = 3002;
inline constexpr int kPromptCancel = 3003;

// Message box buttons.
inline constexpr int kBoxOk = IDOK;
inline constexpr int kBoxYes = IDYES;
inline constexpr int kBoxNo = IDNO;

// Start-up files.
std::string configWith(int limitMinutes, bool notifications = true, const char* language = "en");
std::string dataWithPassword(const std::string& escapedPassword, bool requireOnExit = false);

// Posts the tray menu's Settings command and waits for the window of `className`.
HWND requestSettings(const App& app, const wchar_t* className);
HWND openSettingsWindow(const App& app);
// Settings through the prompt with the right password, typed as a user types
// it: the settings window, once the prompt is gone; nullptr otherwise.
HWND openSettingsWithPassword(const App& app, const std::wstring& password);

HWND control(HWND window, int id);
bool isShown(HWND window, int id);
bool isEnabled(HWND window, int id);
bool isChecked(HWND window, int id);
std::wstring controlText(HWND window, int id);
RECT screenRect(HWND window);

// A real click in the middle of the control; never two clicks on one spot
// within the double-click time, so each click stays a single click.
void clickControl(HWND window, int id);
void clickAt(int x, int y);
void leftButtonDown();
void leftButtonUp();

// The control that has the keyboard focus in the window's thread.
HWND focusedControl(HWND window);
bool waitForFocus(HWND window, int id);

// Clicks into the field, erases what it holds with Backspace and types `text`.
// Returns whether the field then holds `expected` (what the field accepts).
bool replaceFieldText(HWND window, int id, const std::wstring& text, const std::wstring& expected);
bool replaceFieldText(HWND window, int id, const std::wstring& text);
// Types into the focused control and waits until `window`'s field `id` shows `expected`.
bool typeAndWait(HWND window, int id, const std::wstring& text, const std::wstring& expected);

// The raw text of a value in a JSON file as the program writes it ("" if absent).
std::string jsonValue(const std::string& file, const std::string& key);

// The font of every child of `window`, as the program's controls report it (through the label probe).
bool readControlFonts(const App& app, HWND window, ControlFontQuery& query);
const ControlFont* fontOf(const ControlFontQuery& query, int id);
// The height of one line of `text` as DrawText draws it here with `font` (the system font when it has none).
int lineHeightWith(const ControlFont& font, const std::wstring& text);

bool waitForPixel(int x, int y, COLORREF colour, DWORD timeoutMs = kDefaultTimeoutMs);
std::string describe(COLORREF colour);

}  // namespace e2e::settings
