// The settings window's geometry, hit test and button colour schemes.
#include <gtest/gtest.h>

#include "ui/settings/settingsPainting.h"
#include "ui/settings/settingsWindow.h"

namespace {

void expectRect(const RECT& actual, const RECT& expected, const char* what, UINT dpi)
{
    EXPECT_EQ(actual.left, expected.left) << what << " at " << dpi;
    EXPECT_EQ(actual.top, expected.top) << what << " at " << dpi;
    EXPECT_EQ(actual.right, expected.right) << what << " at " << dpi;
    EXPECT_EQ(actual.bottom, expected.bottom) << what << " at " << dpi;
}

TEST(SettingsGeometry, CardTitleCloseAndBandAtSeveralDpis)
{
    const struct {
        UINT dpi;
        RECT client;
        RECT card;
        int corner;
        RECT title;
        RECT close;
        int band;
    } cases[] = {
        {96, {0, 0, 500, 370}, {12, 12, 488, 358}, 32, {30, 20, 432, 54}, {460, 22, 488, 50}, 50},
        // 150 %: 12 -> 18, 16 -> 24, 18 -> 27, 8 -> 12, 56 -> 84, 42 -> 63, 28 -> 42, 10 -> 15, 50 -> 75.
        {144, {0, 0, 750, 555}, {18, 18, 732, 537}, 48, {45, 30, 648, 81}, {690, 33, 732, 75}, 75},
        {192, {0, 0, 1000, 740}, {24, 24, 976, 716}, 64, {60, 40, 864, 108}, {920, 44, 976, 100}, 100},
        // 125 %: MulDiv rounds to nearest (12 * 1.25 = 15, 28 * 1.25 = 35, 10 * 1.25 = 12.5 -> 13).
        {120, {0, 0, 625, 463}, {15, 15, 610, 448}, 40, {38, 25, 540, 68}, {575, 28, 610, 63}, 63},
    };
    for (const auto& c : cases) {
        const SettingsGeometry geometry = settingsGeometry(c.client, c.dpi);
        expectRect(geometry.card, c.card, "card", c.dpi);
        EXPECT_EQ(geometry.cardCornerDiameter, c.corner) << c.dpi;
        EXPECT_EQ(cornerDiameterForDpi(c.dpi), c.corner) << c.dpi;
        expectRect(geometry.title, c.title, "title", c.dpi);
        expectRect(geometry.close, c.close, "close", c.dpi);
        EXPECT_EQ(geometry.dragBandHeight, c.band) << c.dpi;
        // The close square's right edge is the card's.
        EXPECT_EQ(geometry.close.right, geometry.card.right) << c.dpi;
    }
}

TEST(SettingsGeometry, HitTestSplitsBandCloseAndBody)
{
    const RECT client = {0, 0, 500, 370};
    const struct {
        POINT point;
        UINT dpi;
        LRESULT hit;
    } cases[] = {
        {{0, 0}, 96, HTCAPTION},      {{250, 49}, 96, HTCAPTION},   {{250, 50}, 96, HTCLIENT},
        {{459, 30}, 96, HTCAPTION},   {{460, 22}, 96, HTCLIENT},    {{487, 49}, 96, HTCLIENT},
        {{488, 30}, 96, HTCAPTION},   {{470, 21}, 96, HTCAPTION},   {{470, 50}, 96, HTCLIENT},
        {{100, 300}, 96, HTCLIENT},   {{250, 74}, 144, HTCAPTION},  {{250, 75}, 144, HTCLIENT},
        {{-5, 10}, 96, HTCAPTION},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(settingsHitTest(c.point, client, c.dpi), c.hit) << c.point.x << ',' << c.point.y << " at " << c.dpi;
    }
}

TEST(SettingsButtonScheme, KindById)
{
    EXPECT_EQ(buttonKindForId(kOkButtonId), ButtonKind::Primary);
    EXPECT_EQ(buttonKindForId(kCancelButtonId), ButtonKind::Neutral);
    for (int id : {kApplyButtonId, kChangePasswordButtonId, kRemovePasswordButtonId, kShowPasswordButtonId}) {
        EXPECT_EQ(buttonKindForId(id), ButtonKind::Accent) << id;
    }
}

TEST(SettingsButtonScheme, FillBorderAndTextByState)
{
    const struct {
        int id;
        UINT state;
        COLORREF fill;
        COLORREF border;
        COLORREF text;
    } cases[] = {
        {kOkButtonId, 0, RGB(54, 122, 216), RGB(54, 122, 216), RGB(255, 255, 255)},
        {kOkButtonId, ODS_HOTLIGHT, RGB(47, 113, 204), RGB(54, 122, 216), RGB(255, 255, 255)},
        {kOkButtonId, ODS_SELECTED, RGB(40, 99, 184), RGB(54, 122, 216), RGB(255, 255, 255)},
        {kOkButtonId, ODS_SELECTED | ODS_HOTLIGHT, RGB(40, 99, 184), RGB(54, 122, 216), RGB(255, 255, 255)},
        {kApplyButtonId, 0, RGB(237, 243, 252), RGB(220, 224, 232), RGB(42, 92, 172)},
        {kShowPasswordButtonId, ODS_HOTLIGHT, RGB(228, 238, 253), RGB(220, 224, 232), RGB(42, 92, 172)},
        {kRemovePasswordButtonId, ODS_SELECTED | ODS_HOTLIGHT, RGB(218, 230, 248), RGB(220, 224, 232),
         RGB(42, 92, 172)},
        {kChangePasswordButtonId, ODS_FOCUS, RGB(237, 243, 252), RGB(220, 224, 232), RGB(42, 92, 172)},
        {kCancelButtonId, 0, RGB(244, 246, 249), RGB(220, 224, 232), RGB(62, 69, 80)},
        {kCancelButtonId, ODS_HOTLIGHT | ODS_FOCUS, RGB(236, 239, 244), RGB(220, 224, 232), RGB(62, 69, 80)},
        {kCancelButtonId, ODS_SELECTED, RGB(226, 229, 235), RGB(220, 224, 232), RGB(62, 69, 80)},
    };
    for (const auto& c : cases) {
        const ButtonColors colors = buttonColorsForItem(c.id, c.state);
        EXPECT_EQ(colors.fill, c.fill) << c.id << " state " << c.state;
        EXPECT_EQ(colors.border, c.border) << c.id << " state " << c.state;
        EXPECT_EQ(colors.text, c.text) << c.id << " state " << c.state;
    }
}

}  // namespace
