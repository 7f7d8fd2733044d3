#include "ui/labelFit.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "base/scopedHandles.h"
#include "ui/uiScale.h"
#include "ui/windowState.h"

namespace {

// Margins at 96 DPI. A static draws from its left edge; the clearance keeps
// the last glyph off the right edge. A check box draws its 13-pixel box and a
// gap of half a digit's width (at most 7 pixels at 14 points) before the text.
// An owner-drawn button has a 1-pixel border (not scaled) and rounded corners.
// A push button has a 2-pixel edge and the focus rectangle inside it.
constexpr int kStaticRightClearance = 3;
constexpr int kCheckBoxLead = 20;
constexpr int kCheckBoxRightClearance = 4;
constexpr int kOwnerDrawnPadding = 6;
constexpr int kOwnerDrawnBorder = 1;
constexpr int kPushButtonPadding = 4;
constexpr int kPushButtonEdge = 2;

// Narrowing at the smallest height, in steps, never below this.
constexpr int kNarrowestPercent = 80;
constexpr int kNarrowingStep = 4;

bool fitsArea(SIZE extent, const LabelRoom& room)
{
    return extent.cx <= room.width && extent.cy <= room.height;
}

bool fitsOneLine(const LabelToFit& label, size_t candidate)
{
    // A control that grows to its line needs only the width.
    const SIZE line = label.measure(candidate, 0);
    return line.cx <= label.room.width && (!label.room.heightFixed || line.cy <= label.room.height);
}

bool fitsWrapped(const LabelToFit& label, size_t candidate)
{
    return label.room.mayWrap && label.room.width > 0 && fitsArea(label.measure(candidate, label.room.width), label.room);
}

std::optional<size_t> firstCandidate(size_t count, const std::function<bool(size_t)>& fits)
{
    for (size_t candidate = 0; candidate < count; ++candidate) {
        if (fits(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

}  // namespace

// --- Pure helpers --------------------------------------------------------------------

RECT labelTextArea(LabelKind kind, const RECT& control, UINT dpi)
{
    const auto scale = [dpi](int length) { return scaleLength(length, dpi); };
    RECT area = control;
    switch (kind) {
    case LabelKind::Static:
        area.right -= scale(kStaticRightClearance);
        break;
    case LabelKind::CheckBox:
        area.left += scale(kCheckBoxLead);
        area.right -= scale(kCheckBoxRightClearance);
        break;
    case LabelKind::OwnerDrawnButton:
        InflateRect(&area, -scale(kOwnerDrawnPadding), -kOwnerDrawnBorder);
        break;
    case LabelKind::PushButton:
        InflateRect(&area, -scale(kPushButtonPadding), -scale(kPushButtonEdge));
        break;
    }
    area.right = std::max(area.right, area.left);
    area.bottom = std::max(area.bottom, area.top);
    return area;
}

LabelRoom labelRoom(LabelKind kind, SIZE control, UINT dpi)
{
    const RECT area = labelTextArea(kind, {0, 0, control.cx, control.cy}, dpi);
    const bool button = kind == LabelKind::OwnerDrawnButton || kind == LabelKind::PushButton;
    return {area.right - area.left, area.bottom - area.top, kind == LabelKind::OwnerDrawnButton, button};
}

std::vector<FontCandidate> labelFontCandidates(int normalHeight, int largestFittedHeight, int smallestHeight)
{
    std::vector<FontCandidate> candidates = {{normalHeight, 100}};
    for (int height = std::min(normalHeight - 1, largestFittedHeight); height >= smallestHeight; --height) {
        candidates.push_back({height, 100});
    }
    for (int percent = 100 - kNarrowingStep; percent >= kNarrowestPercent; percent -= kNarrowingStep) {
        candidates.push_back({smallestHeight, percent});
    }
    return candidates;
}

RowFit fitLabelRow(std::span<const LabelToFit> row, std::span<const FontCandidate> candidates, int wrapBelowHeight)
{
    RowFit fit;
    fit.wrapped.assign(row.size(), false);
    if (candidates.empty()) {
        return fit;
    }
    const auto allOneLine = [&](size_t candidate) {
        return std::all_of(row.begin(), row.end(), [&](const LabelToFit& label) { return fitsOneLine(label, candidate); });
    };
    const auto allOneLineOrWrapped = [&](size_t candidate) {
        return std::all_of(row.begin(), row.end(), [&](const LabelToFit& label) {
            return fitsOneLine(label, candidate) || fitsWrapped(label, candidate);
        });
    };
    const std::optional<size_t> oneLine = firstCandidate(candidates.size(), allOneLine);
    if (oneLine && candidates[*oneLine].height >= wrapBelowHeight) {
        fit.candidate = *oneLine;
        return fit;
    }
    // Too small on one line: two lines of a larger font read better.
    if (const std::optional<size_t> mixed = firstCandidate(candidates.size(), allOneLineOrWrapped)) {
        fit.candidate = *mixed;
        for (size_t member = 0; member < row.size(); ++member) {
            fit.wrapped[member] = !fitsOneLine(row[member], *mixed);
        }
        return fit;
    }
    // Nothing fits: the smallest, narrowest font, wrapped where the control allows.
    fit.candidate = candidates.size() - 1;
    for (size_t member = 0; member < row.size(); ++member) {
        fit.wrapped[member] = row[member].room.mayWrap && !fitsOneLine(row[member], fit.candidate);
    }
    return fit;
}

bool labelNeedsWrap(int lineWidth, const RECT& textArea)
{
    return lineWidth > textArea.right - textArea.left;
}

RECT labelControlGrownToLine(const RECT& control, int lineHeight)
{
    const int growth = lineHeight - (control.bottom - control.top);
    if (growth <= 0) {
        return control;
    }
    // The centre stays, so the label stays level with the field or box it names.
    return {control.left, control.top - growth / 2, control.right, control.bottom + growth - growth / 2};
}

// --- Window side ---------------------------------------------------------------------

namespace {

// The smaller fonts a window hands to its controls, kept in a window property.
struct LabelFonts {
    std::vector<Font> fonts;
};

std::wstring windowTextOf(HWND window)
{
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(std::max(copied, 0)));
    return text;
}

SIZE clientSize(HWND window)
{
    RECT client = {};
    GetClientRect(window, &client);
    return {client.right - client.left, client.bottom - client.top};
}

bool growsToLine(const LabelControl& control)
{
    return !control.heightFixed && (control.kind == LabelKind::Static || control.kind == LabelKind::CheckBox);
}

// Grows a control to `lineHeight` where it is lower, in its parent's client coordinates.
void growToLine(HWND parent, HWND control, int lineHeight)
{
    RECT placed = {};
    GetWindowRect(control, &placed);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&placed), 2);
    const RECT grown = labelControlGrownToLine(placed, lineHeight);
    if (!EqualRect(&grown, &placed)) {
        SetWindowPos(control, nullptr, grown.left, grown.top, grown.right - grown.left, grown.bottom - grown.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

// The candidate fonts of one fitting, created when first measured with.
class CandidateFonts {
public:
    CandidateFonts(HDC dc, const LabelFontFamily& family, std::vector<FontCandidate> candidates)
        : dc_(dc), family_(family), candidates_(std::move(candidates)), fonts_(candidates_.size())
    {
    }

    const std::vector<FontCandidate>& candidates() const { return candidates_; }

    // The font a control gets for a candidate: the normal one (maybe null) or a created one.
    HFONT handOut(size_t candidate)
    {
        return candidate == 0 ? family_.normalFont : created(candidate);
    }

    SIZE measure(size_t candidate, const std::wstring& text, int wrapWidth)
    {
        HFONT font = candidate == 0 ? family_.normalFont : created(candidate);
        // A control without a font of its own draws with the system font.
        SelectGuard selected(dc_, font != nullptr ? static_cast<HGDIOBJ>(font) : GetStockObject(SYSTEM_FONT));
        RECT extent = {0, 0, wrapWidth, 0};
        const UINT format = wrapWidth > 0 ? DT_CALCRECT | DT_WORDBREAK : DT_CALCRECT | DT_SINGLELINE;
        DrawTextW(dc_, text.c_str(), -1, &extent, format);
        return {extent.right - extent.left, extent.bottom - extent.top};
    }

    // Moves the created fonts that controls now use into `kept`; the others are deleted with this object.
    void keepUsed(const std::vector<bool>& used, LabelFonts& kept)
    {
        for (size_t candidate = 1; candidate < fonts_.size(); ++candidate) {
            if (used[candidate] && fonts_[candidate]) {
                kept.fonts.push_back(std::move(fonts_[candidate]));
            }
        }
    }

private:
    HFONT created(size_t candidate)
    {
        if (!fonts_[candidate]) {
            const FontCandidate& wanted = candidates_[candidate];
            LOGFONTW logFont = {};
            logFont.lfHeight = -wanted.height;
            logFont.lfWidth = wanted.widthPercent < 100 ? MulDiv(naturalCharWidth(wanted.height), wanted.widthPercent, 100) : 0;
            logFont.lfWeight = family_.weight;
            logFont.lfCharSet = DEFAULT_CHARSET;
            logFont.lfOutPrecision = OUT_DEFAULT_PRECIS;
            logFont.lfClipPrecision = CLIP_DEFAULT_PRECIS;
            logFont.lfQuality = CLEARTYPE_QUALITY;
            logFont.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
            lstrcpynW(logFont.lfFaceName, family_.face, LF_FACESIZE);
            fonts_[candidate].reset(CreateFontIndirectW(&logFont));
        }
        return fonts_[candidate].get();
    }

    // The average character width of the unnarrowed font, which lfWidth scales.
    int naturalCharWidth(int height)
    {
        const auto natural = std::find_if(candidates_.begin() + 1, candidates_.end(), [height](const FontCandidate& c) {
            return c.height == height && c.widthPercent == 100;
        });
        TEXTMETRICW metrics = {};
        if (natural != candidates_.end()) {
            SelectGuard selected(dc_, created(static_cast<size_t>(natural - candidates_.begin())));
            GetTextMetricsW(dc_, &metrics);
        }
        return std::max<int>(metrics.tmAveCharWidth, 1);
    }

    HDC dc_;
    const LabelFontFamily& family_;
    std::vector<FontCandidate> candidates_;
    std::vector<Font> fonts_;
};

int normalCharHeight(HDC dc, HFONT normalFont)
{
    SelectGuard selected(dc, normalFont != nullptr ? static_cast<HGDIOBJ>(normalFont) : GetStockObject(SYSTEM_FONT));
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc, &metrics);
    return metrics.tmHeight - metrics.tmInternalLeading;
}

}  // namespace

int labelFontHeight(int points, UINT dpi)
{
    return -fontHeightForDpi(points, dpi);
}

void fitLabelFonts(HWND parent, std::span<const LabelControl> controls, const LabelFontFamily& family,
                   const wchar_t* property)
{
    HDC dc = GetDC(parent);
    if (dc == nullptr) {
        return;
    }
    auto kept = std::make_unique<LabelFonts>();
    {
        CandidateFonts fonts(dc, family,
                             labelFontCandidates(normalCharHeight(dc, family.normalFont), family.largestHeight,
                                                 family.smallestHeight));
        std::vector<bool> used(fonts.candidates().size(), false);
        const UINT dpi = GetDpiForWindow(parent);

        // Rows in the order of their first control; a row number 0 stands alone.
        std::vector<std::vector<const LabelControl*>> rows;
        std::map<int, size_t> rowIndex;
        for (const LabelControl& control : controls) {
            if (control.row != 0 && rowIndex.contains(control.row)) {
                rows[rowIndex[control.row]].push_back(&control);
            } else {
                rowIndex[control.row] = rows.size();
                rows.push_back({&control});
            }
        }

        for (const auto& row : rows) {
            std::vector<LabelToFit> labels;
            for (const LabelControl* control : row) {
                HWND window = GetDlgItem(parent, control->id);
                LabelRoom room = labelRoom(control->kind, clientSize(window), dpi);
                room.heightFixed = room.heightFixed || !growsToLine(*control);
                labels.push_back({[&fonts, text = windowTextOf(window)](size_t candidate, int wrapWidth) {
                                      return fonts.measure(candidate, text, wrapWidth);
                                  },
                                  room});
            }
            const RowFit fit = fitLabelRow(labels, fonts.candidates(), family.wrapBelowHeight);
            used[fit.candidate] = true;
            HFONT font = fonts.handOut(fit.candidate);
            for (size_t member = 0; member < row.size(); ++member) {
                HWND window = GetDlgItem(parent, row[member]->id);
                if (growsToLine(*row[member])) {
                    // DrawText's own height of one line: the font's whole line, as the control draws it.
                    growToLine(parent, window, labels[member].measure(fit.candidate, 0).cy);
                }
                SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
            }
        }
        fonts.keepUsed(used, *kept);
    }
    ReleaseDC(parent, dc);
    // The fonts held before are freed only now that no control uses them.
    releaseLabelFonts(parent, property);
    if (!kept->fonts.empty()) {
        setWindowValue(parent, property, kept.release());
    }
}

void releaseLabelFonts(HWND parent, const wchar_t* property)
{
    std::unique_ptr<LabelFonts> fonts(static_cast<LabelFonts*>(removeWindowValue(parent, property)));
}
