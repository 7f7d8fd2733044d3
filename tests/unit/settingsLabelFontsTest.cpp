// The settings window's label fonts inside this process: which controls get a
// smaller font, that a row shares it, that a language switch and a DPI change
// fit again, and that the window frees the fonts it made.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "i18n/strings.h"
#include "ui/windowState.h"
#include "ui/settings/settingsWindow.h"

namespace {

HFONT fontOf(HWND window, int id)
{
    return reinterpret_cast<HFONT>(SendDlgItemMessageW(window, id, WM_GETFONT, 0, 0));
}

LONG characterHeight(HFONT font)
{
    LOGFONTW logFont = {};
    GetObjectW(font, sizeof logFont, &logFont);
    return -logFont.lfHeight;
}

class SettingsLabelFonts : public ::testing::Test {
protected:
    void SetUp() override
    {
        setActiveLanguage(Language::English);
        registerUiWindowClass(kSettingsWindowClass, settingsWindowProc, GetModuleHandleW(nullptr));
        // No tracker: the window shows its controls with their texts and nothing to read.
        window_ = CreateWindowExW(WS_EX_TOOLWINDOW, kSettingsWindowClass, L"", WS_POPUP, 0, 0, kSettingsWindowWidth,
                                  kSettingsWindowHeight, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override
    {
        if (window_ != nullptr) {
            destroyOnDecision(window_);
        }
        setActiveLanguage(Language::English);
    }

    HFONT normalFont() const { return static_cast<HFONT>(GetPropW(window_, kSettingsUiFontProperty)); }

    HWND window_ = nullptr;
};

TEST_F(SettingsLabelFonts, ShortLabelsKeepTheControlFontAndLongOnesShareASmallerOneInARow)
{
    ASSERT_NE(normalFont(), nullptr);
    EXPECT_EQ(fontOf(window_, kSetPasswordCheckId), normalFont());
    EXPECT_EQ(fontOf(window_, kApplyButtonId), normalFont());
    EXPECT_EQ(fontOf(window_, kOkButtonId), normalFont());
    // The field has no label and keeps the control font.
    EXPECT_EQ(fontOf(window_, kLimitFieldId), normalFont());

    // "Change password" does not fit 105 pixels at 14 points, with any face of its width.
    HFONT change = fontOf(window_, kChangePasswordButtonId);
    EXPECT_NE(change, normalFont());
    EXPECT_EQ(fontOf(window_, kRemovePasswordButtonId), change);
    EXPECT_LT(characterHeight(change), characterHeight(normalFont()));
    EXPECT_GE(characterHeight(change), 11);
    EXPECT_NE(GetPropW(window_, kSettingsLabelFontsProperty), nullptr);
}

TEST_F(SettingsLabelFonts, ALanguageSwitchFitsTheNewTextsAndTheOldFontsAreFreed)
{
    setActiveLanguage(Language::Russian);
    relabelSettingsWindow(window_);
    // "Применить" is too wide for Apply at 14 points; Cancel and OK follow it.
    HFONT apply = fontOf(window_, kApplyButtonId);
    EXPECT_NE(apply, normalFont());
    EXPECT_EQ(fontOf(window_, kCancelButtonId), apply);
    EXPECT_EQ(fontOf(window_, kOkButtonId), apply);

    setActiveLanguage(Language::English);
    relabelSettingsWindow(window_);
    EXPECT_EQ(fontOf(window_, kApplyButtonId), normalFont());
    EXPECT_EQ(fontOf(window_, kOkButtonId), normalFont());
    EXPECT_EQ(GetObjectType(apply), 0u) << "the Russian row's font is still alive";
}

// One line of `id`'s text as the control draws it with its own font.
SIZE lineOf(HWND window, int id)
{
    wchar_t text[kControlTextMaxChars + 1] = {};
    GetDlgItemTextW(window, id, text, kControlTextMaxChars + 1);
    HDC dc = GetDC(window);
    HGDIOBJ previous = SelectObject(dc, fontOf(window, id));
    RECT line = {};
    DrawTextW(dc, text, -1, &line, DT_CALCRECT | DT_SINGLELINE);
    SelectObject(dc, previous);
    ReleaseDC(window, dc);
    return {line.right - line.left, line.bottom - line.top};
}

RECT placed(HWND window, int id)
{
    RECT rect = {};
    GetWindowRect(GetDlgItem(window, id), &rect);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

TEST_F(SettingsLabelFonts, ThePasswordLabelsShareTheSizeOfTheLongerOne)
{
    // "Confirm password:" does not fit 108 pixels at 14 points; "Password:" would.
    HFONT confirm = fontOf(window_, kConfirmLabelId);
    EXPECT_NE(confirm, normalFont());
    EXPECT_EQ(fontOf(window_, kPasswordLabelId), confirm);
    setActiveLanguage(Language::Russian);
    relabelSettingsWindow(window_);
    EXPECT_EQ(fontOf(window_, kPasswordLabelId), fontOf(window_, kConfirmLabelId));
}

TEST_F(SettingsLabelFonts, LabelsGrowAboutTheirCentreToTheirLineAndTheNoteKeepsItsHeight)
{
    // Base rectangles at 96 DPI (the window's own, as the unit tests run), and the fixed note's.
    const struct {
        int id;
        RECT base;
        bool grows;
    } cases[] = {
        {kLimitLabelId, {32, 64, 232, 84}, true},        {kSetPasswordCheckId, {32, 104, 222, 128}, true},
        {kPasswordLabelId, {32, 141, 140, 161}, true},   {kConfirmLabelId, {32, 175, 140, 195}, true},
        {kExitProtectionNoteId, {32, 293, 468, 309}, false},
    };
    for (Language language : {Language::English, Language::Russian}) {
        setActiveLanguage(language);
        relabelSettingsWindow(window_);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.id);
            const RECT rect = placed(window_, c.id);
            const SIZE line = lineOf(window_, c.id);
            const int baseHeight = c.base.bottom - c.base.top;
            EXPECT_EQ(rect.left, c.base.left);
            EXPECT_EQ(rect.right, c.base.right);
            if (c.grows) {
                EXPECT_EQ(rect.bottom - rect.top, std::max<int>(baseHeight, line.cy));
                // The centre stays, to the half pixel an odd growth leaves.
                EXPECT_LE(std::abs((rect.top + rect.bottom) - (c.base.top + c.base.bottom)), 1);
            } else {
                EXPECT_TRUE(EqualRect(&rect, &c.base));
                EXPECT_LE(line.cy, baseHeight);
            }
        }
    }
    // The 14-point line is taller than the limit label under any face: it grew.
    setActiveLanguage(Language::English);
    relabelSettingsWindow(window_);
    EXPECT_GT(placed(window_, kLimitLabelId).bottom - placed(window_, kLimitLabelId).top, 20);
}

TEST_F(SettingsLabelFonts, ADpiChangeReplacesEveryFontAndDestroyingTheWindowFreesThem)
{
    HFONT oldNormal = normalFont();
    HFONT oldChange = fontOf(window_, kChangePasswordButtonId);
    RECT suggested = {0, 0, kSettingsWindowWidth, kSettingsWindowHeight};
    SendMessageW(window_, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_NE(normalFont(), nullptr);
    EXPECT_EQ(fontOf(window_, kApplyButtonId), normalFont());
    HFONT change = fontOf(window_, kChangePasswordButtonId);
    EXPECT_NE(change, normalFont());
    EXPECT_EQ(GetObjectType(oldNormal), 0u);
    EXPECT_EQ(GetObjectType(oldChange), 0u);

    HFONT normal = normalFont();
    destroyOnDecision(window_);
    window_ = nullptr;
    EXPECT_EQ(GetObjectType(normal), 0u);
    EXPECT_EQ(GetObjectType(change), 0u);
}

}  // namespace
