#include "ui/uiScale.h"

namespace {
constexpr int kPointsPerInch = 72;
}

int scaleLength(int length, UINT dpi)
{
    return MulDiv(length, static_cast<int>(dpi), kDesignDpi);
}

int scaleForWindow(HWND window, int length)
{
    return scaleLength(length, GetDpiForWindow(window));
}

int fontHeightForDpi(int points, UINT dpi)
{
    return -MulDiv(points, static_cast<int>(dpi), kPointsPerInch);
}

HFONT createUiFont(HWND window, int points, int weight)
{
    return CreateFontW(fontHeightForDpi(points, GetDpiForWindow(window)), 0, 0, 0, weight, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       kUiFontFace);
}
