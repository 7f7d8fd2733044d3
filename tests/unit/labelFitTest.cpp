// Choosing a label's font: the largest that fits on one line, two lines where
// one would be too small, one size for a row, and the margins of each control kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ui/labelFit.h"

namespace {

// A made-up font: every character is `height` * 6 / 10 pixels wide (narrowed
// by widthPercent), a line is `height` * 5 / 4 pixels high, and wrapping breaks
// greedily at spaces.
struct FakeFont {
    std::vector<FontCandidate> candidates;

    int charWidth(size_t candidate) const
    {
        const FontCandidate& c = candidates[candidate];
        return c.height * 6 * c.widthPercent / 1000;
    }
    int lineHeight(size_t candidate) const { return candidates[candidate].height * 5 / 4; }

    SIZE measure(const std::wstring& text, size_t candidate, int wrapWidth) const
    {
        const int w = charWidth(candidate);
        if (wrapWidth == 0) {
            return {static_cast<LONG>(text.size()) * w, lineHeight(candidate)};
        }
        int lines = 0;
        int widest = 0;
        int current = -1;  // characters on the current line, -1: none yet
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find(L' ', start);
            if (end == std::wstring::npos) {
                end = text.size();
            }
            const int word = static_cast<int>(end - start);
            if (current >= 0 && (current + 1 + word) * w <= wrapWidth) {
                current += 1 + word;
            } else {
                if (current >= 0) {
                    widest = std::max(widest, current * w);
                }
                ++lines;
                current = word;
            }
            start = end + 1;
        }
        widest = std::max(widest, current * w);
        return {widest, lines * lineHeight(candidate)};
    }
};

LabelToFit label(const FakeFont& font, const std::wstring& text, LabelRoom room)
{
    return {[&font, text](size_t candidate, int wrapWidth) { return font.measure(text, candidate, wrapWidth); }, room};
}

// 96 DPI: 14, 9 and 8 points are 19, 12 and 11 pixels.
constexpr int kNormal = 19;
constexpr int kWrapBelow = 12;
constexpr int kSmallest = 11;

TEST(LabelFit, CandidatesRunFromTheNormalFontDownToTheSmallestThenNarrower)
{
    const std::vector<FontCandidate> candidates = labelFontCandidates(kNormal, kNormal, kSmallest);
    ASSERT_EQ(candidates.size(), 1u + 8u + 5u);
    EXPECT_EQ(candidates.front().height, 19);
    EXPECT_EQ(candidates[1].height, 18);
    EXPECT_EQ(candidates[8].height, 11);
    EXPECT_EQ(candidates[8].widthPercent, 100);
    for (size_t i = 9; i < candidates.size(); ++i) {
        EXPECT_EQ(candidates[i].height, kSmallest);
        EXPECT_LT(candidates[i].widthPercent, candidates[i - 1].widthPercent);
    }
    EXPECT_EQ(candidates.back().widthPercent, 80);

    // A normal font larger than the cap: the fitted ones start at the cap.
    const std::vector<FontCandidate> capped = labelFontCandidates(24, kNormal, kSmallest);
    EXPECT_EQ(capped[0].height, 24);
    EXPECT_EQ(capped[1].height, kNormal);
    // A small normal font: the fitted ones start just below it.
    const std::vector<FontCandidate> small = labelFontCandidates(13, kNormal, kSmallest);
    EXPECT_EQ(small[1].height, 12);
}

TEST(LabelFit, SingleLabelsTakeTheLargestHeightThatFits)
{
    FakeFont font{labelFontCandidates(kNormal, kNormal, kSmallest)};
    const struct {
        const wchar_t* text;
        LabelRoom room;
        int height;
        int widthPercent;
        bool wrapped;
    } cases[] = {
        // 10 characters at 19 px are 110 wide (11 each).
        {L"Short text", {110, 20, false}, 19, 100, false},
        {L"Short text", {109, 20, false}, 18, 100, false},  // 10 each at 18
        // Only the width counts on one line: a short static still takes the normal font (and grows).
        {L"Short text", {200, 5, false}, 19, 100, false},
        // A control that cannot grow needs the height too: 23 px is the line of 19 px,
        // 22 only that of 18 (22.5 rounded down), and 17 px lines are 21.
        {L"Short text", {200, 23, false, true}, 19, 100, false},
        {L"Short text", {200, 22, false, true}, 18, 100, false},
        {L"Short text", {200, 21, false, true}, 17, 100, false},
        // Width and height at once: the smaller of the two sizes.
        {L"Short text", {90, 22, false, true}, 16, 100, false},
        // 20 characters: 13 px (7 each, 140) fits 140 on one line, above the wrap threshold.
        {L"Twenty chars of text", {140, 20, false}, 13, 100, false},
        // 125 wide: 11 px (6 each, 120) on one line, below the threshold, and the
        // control cannot wrap: one line stays.
        {L"Twenty chars of text", {125, 20, false}, 11, 100, false},
        // The same with room for two lines: "Twenty chars" / "of text" at 16 px
        // (9 each: 108 wide, 2 x 20 high) beats one line at 11.
        {L"Twenty chars of text", {110, 40, true}, 16, 100, true},
        // Too low for two lines of anything larger than 11: one line at 11.
        {L"Twenty chars of text", {125, 26, true}, 11, 100, false},
        // Too wide even at 11 on one line and too low for two: narrowed until it fits.
        // 11 px narrowed to 88 % is 5 px a character: 100 wide.
        {L"Twenty chars of text", {100, 20, false}, 11, 88, false},
        // A word wider than the control cannot be wrapped away: narrowed on one line.
        {L"Unbreakableword", {80, 60, true}, 11, 88, false},
    };
    for (const auto& c : cases) {
        const LabelToFit labels[] = {label(font, c.text, c.room)};
        const RowFit fit = fitLabelRow(labels, font.candidates, kWrapBelow);
        const FontCandidate& chosen = font.candidates[fit.candidate];
        EXPECT_EQ(chosen.height, c.height) << c.text << " in " << c.room.width << " x " << c.room.height;
        EXPECT_EQ(chosen.widthPercent, c.widthPercent) << c.text << " in " << c.room.width;
        EXPECT_EQ(fit.wrapped[0], c.wrapped) << c.text << " in " << c.room.width << " x " << c.room.height;
    }
}

TEST(LabelFit, NothingFitsGivesTheSmallestNarrowestFontWrappedWhereAllowed)
{
    FakeFont font{labelFontCandidates(kNormal, kNormal, kSmallest)};
    const LabelToFit labels[] = {label(font, L"Much too long for this", {40, 10, true}),
                                 label(font, L"Also far too long", {40, 10, false})};
    const RowFit fit = fitLabelRow(labels, font.candidates, kWrapBelow);
    EXPECT_EQ(fit.candidate, font.candidates.size() - 1);
    EXPECT_TRUE(fit.wrapped[0]);
    EXPECT_FALSE(fit.wrapped[1]);
}

TEST(LabelFit, ARowSharesOneSizeAndWrapsOnlyTheMembersThatNeedIt)
{
    FakeFont font{labelFontCandidates(kNormal, kNormal, kSmallest)};
    // "Apply" and "OK" fit at 19 alone; "Cancellation" needs 14 px (8 a character: 96), and the row takes that.
    {
        const LabelToFit row[] = {label(font, L"Apply", {100, 30, true}), label(font, L"Cancellation", {100, 30, true}),
                                  label(font, L"OK", {100, 30, true})};
        const RowFit fit = fitLabelRow(row, font.candidates, kWrapBelow);
        EXPECT_EQ(font.candidates[fit.candidate].height, 14);
        EXPECT_EQ(fit.wrapped, (std::vector<bool>{false, false, false}));
    }
    // Two buttons where one line would need 11 px: both at the size where the
    // long one fits on two lines; the short one keeps one line.
    {
        const LabelToFit row[] = {label(font, L"Change the password", {100, 30, true}),
                                  label(font, L"Remove it", {100, 30, true})};
        const RowFit fit = fitLabelRow(row, font.candidates, kWrapBelow);
        // Two lines of 12 px are 30 high; "Change the" is 10 x 7 = 70 wide.
        EXPECT_EQ(font.candidates[fit.candidate].height, 12);
        EXPECT_EQ(fit.wrapped, (std::vector<bool>{true, false}));
    }
}

TEST(LabelFit, EachKindKeepsItsMarginsAtEveryDpi)
{
    const struct {
        LabelKind kind;
        SIZE control;
        UINT dpi;
        RECT area;
        bool mayWrap;
        bool heightFixed;  // buttons keep their height; statics and check boxes may grow
    } cases[] = {
        {LabelKind::Static, {108, 20}, 96, {0, 0, 105, 20}, false, false},
        {LabelKind::CheckBox, {300, 24}, 96, {20, 0, 296, 24}, false, false},
        {LabelKind::OwnerDrawnButton, {105, 30}, 96, {6, 1, 99, 29}, true, true},
        {LabelKind::PushButton, {80, 28}, 96, {4, 2, 76, 26}, false, true},
        {LabelKind::Static, {162, 30}, 144, {0, 0, 157, 30}, false, false},
        {LabelKind::CheckBox, {450, 36}, 144, {30, 0, 444, 36}, false, false},
        {LabelKind::OwnerDrawnButton, {158, 45}, 144, {9, 1, 149, 44}, true, true},
        // Margins never turn the area inside out.
        {LabelKind::CheckBox, {10, 24}, 96, {20, 0, 20, 24}, false, false},
    };
    for (const auto& c : cases) {
        const RECT area = labelTextArea(c.kind, {0, 0, c.control.cx, c.control.cy}, c.dpi);
        EXPECT_EQ(area.left, c.area.left) << static_cast<int>(c.kind) << " at " << c.dpi;
        EXPECT_EQ(area.top, c.area.top) << static_cast<int>(c.kind) << " at " << c.dpi;
        EXPECT_EQ(area.right, c.area.right) << static_cast<int>(c.kind) << " at " << c.dpi;
        EXPECT_EQ(area.bottom, c.area.bottom) << static_cast<int>(c.kind) << " at " << c.dpi;
        const LabelRoom room = labelRoom(c.kind, c.control, c.dpi);
        EXPECT_EQ(room.width, c.area.right - c.area.left);
        EXPECT_EQ(room.height, c.area.bottom - c.area.top);
        EXPECT_EQ(room.mayWrap, c.mayWrap);
        EXPECT_EQ(room.heightFixed, c.heightFixed) << static_cast<int>(c.kind);
    }
    // The area moves with the control.
    const RECT moved = labelTextArea(LabelKind::OwnerDrawnButton, {180, 312, 264, 346}, 96);
    EXPECT_EQ(moved.left, 186);
    EXPECT_EQ(moved.top, 313);
    EXPECT_EQ(moved.right, 258);
    EXPECT_EQ(moved.bottom, 345);
}

TEST(LabelFit, ButtonsWrapExactlyWhenOneLineIsWiderThanTheArea)
{
    const RECT area = {6, 1, 99, 29};
    EXPECT_FALSE(labelNeedsWrap(93, area));
    EXPECT_TRUE(labelNeedsWrap(94, area));
    EXPECT_FALSE(labelNeedsWrap(0, area));
}

TEST(LabelFit, ALowControlGrowsAboutItsCentreToItsLine)
{
    const struct {
        RECT control;
        int lineHeight;
        RECT grown;
    } cases[] = {
        {{32, 141, 140, 161}, 26, {32, 138, 140, 164}},  // 6 more: 3 above, 3 below
        {{32, 64, 232, 84}, 21, {32, 64, 232, 85}},     // 1 more: below
        {{32, 104, 222, 128}, 27, {32, 103, 222, 130}},  // 3 more: 1 above, 2 below
        {{32, 141, 140, 161}, 20, {32, 141, 140, 161}},  // as tall as the line: as it is
        {{32, 141, 140, 161}, 15, {32, 141, 140, 161}},  // taller: never shrunk
    };
    for (const auto& c : cases) {
        const RECT grown = labelControlGrownToLine(c.control, c.lineHeight);
        EXPECT_TRUE(EqualRect(&grown, &c.grown)) << c.control.top << "-" << c.control.bottom << " to " << c.lineHeight
                                                 << ": " << grown.top << "-" << grown.bottom;
        EXPECT_EQ(grown.left, c.control.left);
        EXPECT_EQ(grown.right, c.control.right);
    }
}

TEST(LabelFit, PointSizesBecomeCharacterHeights)
{
    EXPECT_EQ(labelFontHeight(14, 96), 19);
    EXPECT_EQ(labelFontHeight(9, 96), 12);
    EXPECT_EQ(labelFontHeight(8, 96), 11);
    EXPECT_EQ(labelFontHeight(8, 144), 16);
    EXPECT_EQ(labelFontHeight(14, 192), 37);
}

}  // namespace
