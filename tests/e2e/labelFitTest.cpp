// Every label of the settings window and the password prompt can be read
// whole, in both languages and every state of the password section: measured
// here with the control's own font, its text fits the control on one line
// (its width and its line height), or wrapped at word breaks within its
// height, at 8 points or more; labels that belong together share one size;
// and on screen no drawn text reaches the control's right edge.
//
// Wine draws Segoe UI with a host font that stands in for it. The runs name
// that font in HOURWARDEN_UI_STAND_IN (DejaVu Sans when unset, as
// scripts/wine-env.sh sets up a prefix), and the first test proves that Wine
// really draws with it: DejaVu Sans is wider than Segoe UI and Open Sans about
// as tall, so each shows faults the other hides.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "probe/labelProbe.h"
#include "settingsDriver.h"
#include "shellProbe.h"

namespace {

using namespace e2e;
using namespace e2e::settings;

constexpr int kSmallestPoints = 8;
constexpr int kLargestPoints = 14;
constexpr int kSteadyPolls = 8;
// The check box's square as Wine and Windows draw it, and its smallest gap to the text.
constexpr int kCheckBoxSquare = 13;
constexpr int kCheckBoxGap = 2;
// Columns at the right edge, inside any border, that must show only background.
constexpr int kClearColumns = 2;

enum class Kind { Static, CheckBox, OwnerDrawn, PushButton };

struct Labelled {
    int id;
    Kind kind;
};

const Labelled kSettingsLabels[] = {
    {kLimitLabel, Kind::Static},        {kSetPassword, Kind::CheckBox},     {kChangePassword, Kind::OwnerDrawn},
    {kRemovePassword, Kind::OwnerDrawn}, {kPasswordLabel, Kind::Static},     {kConfirmLabel, Kind::Static},
    {kShowPassword, Kind::OwnerDrawn},   {kExitPassword, Kind::CheckBox},    {kNotifications, Kind::CheckBox},
    {kApply, Kind::OwnerDrawn},          {kCancel, Kind::OwnerDrawn},        {kOk, Kind::OwnerDrawn},
};

const Labelled kPromptLabels[] = {
    {kPromptText, Kind::Static}, {kPromptOk, Kind::PushButton}, {kPromptCancel, Kind::PushButton}};

// Labels side by side or one above the other that share one size.
const std::vector<int> kSettingsSizeGroups[] = {
    {kChangePassword, kRemovePassword}, {kPasswordLabel, kConfirmLabel}, {kApply, kCancel, kOk}};
const std::vector<int> kPromptSizeGroups[] = {{kPromptOk, kPromptCancel}};

// --- The font that stands in for Segoe UI -------------------------------------------

constexpr wchar_t kUiFace[] = L"Segoe UI";
constexpr wchar_t kDefaultStandIn[] = L"DejaVu Sans";
// Every host font a test prefix may name; none of them looks like another.
constexpr const wchar_t* kKnownStandIns[] = {L"DejaVu Sans", L"Open Sans"};
// Latin and Cyrillic, as the two languages need.
constexpr wchar_t kSampleText[] = L"Confirm password: Подтвердите пароль";

std::wstring standInFace()
{
    const char* named = std::getenv("HOURWARDEN_UI_STAND_IN");
    if (named == nullptr || *named == '\0') {
        return kDefaultStandIn;
    }
    const int length = MultiByteToWideChar(CP_UTF8, 0, named, -1, nullptr, 0);
    std::wstring face(static_cast<size_t>(std::max(length, 1)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, named, -1, face.data(), length);
    face.resize(static_cast<size_t>(std::max(length - 1, 0)));
    return face;
}

// What a face draws at 14 points: its name as GDI reports it, its line and the sample's width.
struct FaceLook {
    std::wstring face;
    TEXTMETRICW metrics = {};
    SIZE sample = {};
};

FaceLook lookOf(const wchar_t* face)
{
    HDC dc = GetDC(nullptr);
    LOGFONTW logFont = {};
    logFont.lfHeight = -MulDiv(kLargestPoints, static_cast<int>(GetDpiForSystem()), 72);
    logFont.lfWeight = FW_NORMAL;
    logFont.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(logFont.lfFaceName, face, LF_FACESIZE);
    HFONT font = CreateFontIndirectW(&logFont);
    HGDIOBJ previous = SelectObject(dc, font);
    FaceLook look;
    wchar_t name[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, name);
    look.face = name;
    GetTextMetricsW(dc, &look.metrics);
    GetTextExtentPoint32W(dc, kSampleText, lstrlenW(kSampleText), &look.sample);
    SelectObject(dc, previous);
    DeleteObject(font);
    ReleaseDC(nullptr, dc);
    return look;
}

bool looksAlike(const FaceLook& a, const FaceLook& b)
{
    return a.metrics.tmHeight == b.metrics.tmHeight && a.metrics.tmAscent == b.metrics.tmAscent &&
           a.metrics.tmAveCharWidth == b.metrics.tmAveCharWidth && a.sample.cx == b.sample.cx;
}

std::string describeLook(const FaceLook& look)
{
    return "line " + std::to_string(look.metrics.tmHeight) + " px (ascent " +
           std::to_string(look.metrics.tmAscent) + "), average character " +
           std::to_string(look.metrics.tmAveCharWidth) + " px, sample " + std::to_string(look.sample.cx) + " px";
}

TEST(LabelFitStandIn, SegoeUiIsDrawnWithTheNamedHostFontAndWithNoOther)
{
    const std::wstring named = standInFace();
    const FaceLook standIn = lookOf(named.c_str());
    // The host font itself is there, not a fallback for a missing one.
    ASSERT_EQ(standIn.face, named) << toUtf8(named) << " is not installed on the host (GDI gave "
                                   << toUtf8(standIn.face) << ")";
    const FaceLook ui = lookOf(kUiFace);
    EXPECT_TRUE(looksAlike(ui, standIn)) << "Segoe UI is not drawn with " << toUtf8(named) << ": " << describeLook(ui)
                                         << "; " << describeLook(standIn);
    for (const wchar_t* other : kKnownStandIns) {
        const FaceLook look = lookOf(other);
        if (other != named && look.face == other) {
            EXPECT_FALSE(looksAlike(ui, look)) << "Segoe UI looks like " << toUtf8(other) << ", not "
                                               << toUtf8(named) << ": " << describeLook(ui);
        }
    }
    ::testing::Test::RecordProperty("stand_in", toUtf8(named));
    if (!::testing::Test::HasFailure()) {
        std::printf("Segoe UI is drawn with %s: %s\n", toUtf8(named).c_str(), describeLook(ui).c_str());
    }
}

// --- Measuring here ----------------------------------------------------------------

struct Measured {
    int charHeight = 0;
    SIZE oneLine = {};
    SIZE wrapped = {};
};

Measured measureWith(const LOGFONTW* font, const std::wstring& text, int wrapWidth)
{
    HDC dc = GetDC(nullptr);
    HFONT created = font != nullptr ? CreateFontIndirectW(font) : nullptr;
    HGDIOBJ previous = SelectObject(dc, created != nullptr ? static_cast<HGDIOBJ>(created) : GetStockObject(SYSTEM_FONT));
    Measured measured;
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc, &metrics);
    measured.charHeight = metrics.tmHeight - metrics.tmInternalLeading;
    RECT line = {};
    DrawTextW(dc, text.c_str(), -1, &line, DT_CALCRECT | DT_SINGLELINE);
    measured.oneLine = {line.right - line.left, line.bottom - line.top};
    RECT block = {0, 0, wrapWidth, 0};
    DrawTextW(dc, text.c_str(), -1, &block, DT_CALCRECT | DT_WORDBREAK);
    measured.wrapped = {block.right - block.left, block.bottom - block.top};
    SelectObject(dc, previous);
    if (created != nullptr) {
        DeleteObject(created);
    }
    ReleaseDC(nullptr, dc);
    return measured;
}

// The room the control leaves its text: the box before a check box's text,
// the border of a button.
SIZE textRoom(Kind kind, const RECT& client)
{
    const SIZE size = {client.right - client.left, client.bottom - client.top};
    switch (kind) {
    case Kind::Static: return size;
    case Kind::CheckBox: return {size.cx - kCheckBoxSquare - kCheckBoxGap, size.cy};
    case Kind::OwnerDrawn: return {size.cx - 2, size.cy - 2};
    case Kind::PushButton: return {size.cx - 4, size.cy - 4};
    }
    return size;
}

// How far in from the right edge the background starts: inside the border, and for an
// owner-drawn button also clear of its rounded corners at the top and bottom.
struct EdgeColumns {
    int inset;
    int skipRows;
};

EdgeColumns edgeColumns(Kind kind)
{
    switch (kind) {
    case Kind::OwnerDrawn: return {1, 7};
    case Kind::PushButton: return {3, 3};  // the default button's frame and the 3-D edge
    default: return {0, 0};
    }
}

bool waitUntilSteady(const RECT& area)
{
    std::vector<COLORREF> last;
    int steady = 0;
    return waitUntil([&] {
        std::vector<COLORREF> now = captureScreen(area);
        steady = now == last ? steady + 1 : 0;
        last = std::move(now);
        return steady >= kSteadyPolls;
    });
}

::testing::AssertionResult rightEdgeIsClear(HWND control, Kind kind)
{
    const RECT rect = screenRect(control);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const std::vector<COLORREF> pixels = captureScreen(rect);
    if (pixels.size() != static_cast<size_t>(width * height)) {
        return ::testing::AssertionFailure() << "could not capture the control";
    }
    const EdgeColumns edge = edgeColumns(kind);
    const COLORREF background = pixels[static_cast<size_t>(edge.skipRows * width + width - 1 - edge.inset)];
    for (int column = width - edge.inset - kClearColumns; column < width - edge.inset; ++column) {
        for (int row = edge.skipRows; row < height - edge.skipRows; ++row) {
            const COLORREF pixel = pixels[static_cast<size_t>(row * width + column)];
            if (pixel != background) {
                return ::testing::AssertionFailure() << "column " << column << " of " << width << ", row " << row
                                                     << " is " << describe(pixel) << ", the background "
                                                     << describe(background);
            }
        }
    }
    return ::testing::AssertionSuccess();
}

bool sameSize(const ControlFont& a, const ControlFont& b)
{
    if (!a.hasFont || !b.hasFont) {
        return a.hasFont == b.hasFont;
    }
    return a.font.lfHeight == b.font.lfHeight && a.font.lfWidth == b.font.lfWidth;
}

template <size_t N>
void expectGroupsShareASize(const ControlFontQuery& query, const std::vector<int> (&groups)[N])
{
    for (const std::vector<int>& group : groups) {
        const ControlFont* first = fontOf(query, group.front());
        ASSERT_NE(first, nullptr) << group.front();
        for (int id : group) {
            const ControlFont* member = fontOf(query, id);
            ASSERT_NE(member, nullptr) << id;
            EXPECT_TRUE(sameSize(*first, *member)) << id << " is " << member->font.lfHeight << " / "
                                                   << member->font.lfWidth << ", " << group.front() << " is "
                                                   << first->font.lfHeight << " / " << first->font.lfWidth;
        }
    }
}

template <size_t N, size_t G>
void expectLabelsReadable(const App& app, HWND window, const Labelled (&labels)[N], const std::vector<int> (&groups)[G],
                          const std::string& where)
{
    SCOPED_TRACE(where);
    // The pointer away, so no button is drawn hot while it is looked at.
    moveCursorTo(900, 700);
    ASSERT_TRUE(waitUntilSteady(screenRect(window)));
    ControlFontQuery query;
    ASSERT_TRUE(readControlFonts(app, window, query));
    const UINT dpi = GetDpiForSystem();
    const int smallest = MulDiv(kSmallestPoints, static_cast<int>(dpi), 72);
    const int largest = MulDiv(kLargestPoints, static_cast<int>(dpi), 72);
    expectGroupsShareASize(query, groups);
    for (const Labelled& label : labels) {
        HWND handle = control(window, label.id);
        const std::wstring text = controlText(window, label.id);
        SCOPED_TRACE(toUtf8(text));
        ASSERT_FALSE(text.empty()) << label.id;
        const ControlFont* font = fontOf(query, label.id);
        ASSERT_NE(font, nullptr) << label.id;
        RECT client = {};
        GetClientRect(handle, &client);
        const SIZE room = textRoom(label.kind, client);
        const Measured measured = measureWith(font->hasFont ? &font->font : nullptr, text, room.cx);
        EXPECT_GE(measured.charHeight, smallest) << label.id;
        EXPECT_LE(measured.charHeight, largest) << label.id;
        // One line is as tall as DrawText draws it: the font's whole line, cut if the control is lower.
        const bool oneLine = measured.oneLine.cx <= room.cx && measured.oneLine.cy <= room.cy;
        const bool wrapped = measured.wrapped.cx <= room.cx && measured.wrapped.cy <= room.cy;
        EXPECT_TRUE(oneLine || wrapped) << label.id << ": one line " << measured.oneLine.cx << " x "
                                        << measured.oneLine.cy << ", wrapped " << measured.wrapped.cx << " x "
                                        << measured.wrapped.cy << ", room " << room.cx << " x " << room.cy;
        if (IsWindowVisible(handle)) {
            EXPECT_TRUE(rightEdgeIsClear(handle, label.kind)) << label.id;
        }
    }
}

void fillPasswordFields(HWND window)
{
    for (int id : {kPasswordField, kConfirmField}) {
        SendMessageTimeoutW(control(window, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"secret"), SMTO_ABORTIFHUNG,
                            5000, nullptr);
    }
}

// Switches the language from the tray menu and waits for `window`'s control `id` to show the new text.
bool switchLanguage(const App& app, WORD command, HWND window, int id)
{
    const std::wstring before = controlText(window, id);
    app.postCommand(command);
    return waitUntil([&] { return controlText(window, id) != before; });
}

class LabelFitE2E : public ::testing::TestWithParam<const char*> {};

TEST_P(LabelFitE2E, EveryLabelReadableInEveryStateAndAfterALanguageSwitch)
{
    const bool english = std::string(GetParam()) == "en";
    const WORD otherLanguage = english ? kCommandRussian : kCommandEnglish;
    const WORD sameLanguage = english ? kCommandEnglish : kCommandRussian;
    App app(LaunchOptions().withConfig(configWith(120, true, GetParam())));
    ASSERT_TRUE(app.started());
    moveCursorTo(900, 700);
    HWND window = openSettingsWindow(app);
    ASSERT_NE(window, nullptr);
    expectLabelsReadable(app, window, kSettingsLabels, kSettingsSizeGroups, "no password");

    clickControl(window, kSetPassword);
    ASSERT_TRUE(waitUntil([&] { return isShown(window, kConfirmField); }));
    fillPasswordFields(window);
    expectLabelsReadable(app, window, kSettingsLabels, kSettingsSizeGroups, "entering");

    clickControl(window, kShowPassword);
    ASSERT_TRUE(waitUntil([&] { return !isShown(window, kConfirmField); }));
    expectLabelsReadable(app, window, kSettingsLabels, kSettingsSizeGroups, "revealed");

    clickControl(window, kApply);
    ASSERT_TRUE(waitUntil([&] { return isShown(window, kChangePassword); }));
    expectLabelsReadable(app, window, kSettingsLabels, kSettingsSizeGroups, "password set");

    // A switch while the window is open fits the new texts again.
    ASSERT_TRUE(switchLanguage(app, otherLanguage, window, kChangePassword));
    expectLabelsReadable(app, window, kSettingsLabels, kSettingsSizeGroups, "password set, other language");
    clickControl(window, kChangePassword);
    ASSERT_TRUE(waitUntil([&] { return isShown(window, kConfirmField); }));
    expectLabelsReadable(app, window, kSettingsLabels, kSettingsSizeGroups,
                         "entering from password set, other language");

    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(app.waitForNoWindow(kSettingsClass));
    HWND prompt = requestSettings(app, kPasswordClass);
    ASSERT_NE(prompt, nullptr);
    expectLabelsReadable(app, prompt, kPromptLabels, kPromptSizeGroups, "prompt, other language");
    ASSERT_TRUE(switchLanguage(app, sameLanguage, prompt, kPromptCancel));
    expectLabelsReadable(app, prompt, kPromptLabels, kPromptSizeGroups, "prompt");
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, LabelFitE2E, ::testing::Values("en", "ru"));

}  // namespace
