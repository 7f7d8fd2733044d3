// Labels that can be read whole in fixed control widths: a control whose
// text does not fit its normal font gets the largest smaller font at which it
// does, wraps onto two lines where one line would be too small and the control
// is tall enough, and controls in one row or column share one size. A static
// or check box lower than its font's line grows to it about its own centre;
// any other control's text fits its height too. The choice is a pure function
// of a measuring function and sizes; the window side measures with the real
// fonts, hands them out with WM_SETFONT and keeps the extra ones with the window.
#pragma once

#include <windows.h>

#include <functional>
#include <span>
#include <vector>

enum class LabelKind {
    Static,             // text from the left edge, one line
    CheckBox,           // box and gap before the text, one line
    OwnerDrawnButton,   // border and padding around the text; may wrap onto two lines
    PushButton,         // a standard push button: edges around the text, one line
};

// Where a control's text must fit: the area inside its own margins.
struct LabelRoom {
    int width = 0;
    int height = 0;
    bool mayWrap = false;
    bool heightFixed = false;  // false: the control grows to one line, so only the width counts
};

// One font to try, from the largest down. Heights are character heights in
// pixels (a LOGFONT's negative lfHeight); widthPercent below 100 narrows the
// glyphs at the smallest height, the last resort where even that is too wide.
struct FontCandidate {
    int height = 0;
    int widthPercent = 100;
};

// Measures a text with a candidate font: on one line when wrapWidth is 0,
// else broken at word breaks into lines at most wrapWidth wide (a word longer
// than that makes the result wider).
using MeasureLabel = std::function<SIZE(size_t candidate, int wrapWidth)>;

struct LabelToFit {
    MeasureLabel measure;
    LabelRoom room;
};

struct RowFit {
    size_t candidate = 0;
    std::vector<bool> wrapped;  // one per member of the row
};

// --- Pure helpers -------------------------------------------------------------

// The area a control's text is drawn in, for a control of that kind and size.
RECT labelTextArea(LabelKind kind, const RECT& control, UINT dpi);
LabelRoom labelRoom(LabelKind kind, SIZE control, UINT dpi);

// The normal height first, then every height below it down to the smallest,
// then the smallest height narrowed step by step.
std::vector<FontCandidate> labelFontCandidates(int normalHeight, int largestFittedHeight, int smallestHeight);

// The first candidate at which every member of the row fits on one line, when
// that is at least wrapBelowHeight; otherwise the first at which each member
// fits on one line or, where it may, wrapped; otherwise the first at which all
// fit on one line; otherwise the last candidate, wrapped where allowed.
RowFit fitLabelRow(std::span<const LabelToFit> row, std::span<const FontCandidate> candidates, int wrapBelowHeight);

// Whether a text one line wide fits its area, or must be wrapped.
bool labelNeedsWrap(int lineWidth, const RECT& textArea);

// A control grown about its centre to a line that is taller than it; else as it is.
RECT labelControlGrownToLine(const RECT& control, int lineHeight);

// --- Window side ------------------------------------------------------------------

struct LabelControl {
    int id;
    LabelKind kind;
    int row;  // controls with the same row (or column) number share one size; 0: alone
    bool heightFixed = false;  // a static or check box that must not grow: its font fits its height
};

// The fonts to fit with: the controls' normal font (null for the platform's
// default font) and the face, weight and sizes of the smaller ones.
struct LabelFontFamily {
    HFONT normalFont = nullptr;
    const wchar_t* face = L"";
    int weight = FW_NORMAL;
    int largestHeight = 0;   // never larger than this, whatever the normal font
    int smallestHeight = 0;
    int wrapBelowHeight = 0;
};

// A size in points as a character height in pixels at a DPI.
int labelFontHeight(int points, UINT dpi);

// Fits every listed control of `parent` as above, gives each its font with
// WM_SETFONT, grows the statics and check boxes whose line is taller than them
// (so the caller puts the controls back in their places before each fitting)
// and keeps the smaller fonts in the parent's property `property`, freeing the
// ones it held before.
void fitLabelFonts(HWND parent, std::span<const LabelControl> controls, const LabelFontFamily& family,
                   const wchar_t* property);
// Frees the fonts kept in `property` (at WM_DESTROY, after the controls stop using them).
void releaseLabelFonts(HWND parent, const wchar_t* property);
