// The benchmark's yardstick: what any tray program of this kind costs at the
// least. HourwardenBare.exe keeps a hidden window with a one-second timer and a
// tray icon, and nothing else. HourwardenBareDirect2d.exe, built from the same
// source with BARE_DIRECT2D, also shows a Direct2D window of the status
// window's size, repainted each second with a picture of the same kind (a
// card, a ring and seven lines of text), its brushes and text formats made
// once. Two programs rather than one with a switch: the plain one must not
// load d2d1.dll and dwrite.dll at all.
#include <windows.h>

#include <shellapi.h>

#include <string>

#ifdef BARE_DIRECT2D
#include <d2d1.h>
#include <dwrite.h>
#endif

#include "base/scopedHandles.h"

namespace {

constexpr wchar_t kHiddenClass[] = L"HourwardenBareHidden";
constexpr wchar_t kPictureClass[] = L"HourwardenBarePicture";
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerPeriodMs = 1000;
constexpr UINT kTrayIconId = 1;
constexpr UINT kTrayCallbackMessage = WM_APP + 1;

#ifdef BARE_DIRECT2D
// The status window's size and a place clear of its default corner.
constexpr int kPictureWidth = 420;
constexpr int kPictureHeight = 250;
constexpr int kPictureX = 40;
constexpr int kPictureY = 120;
constexpr float kTextLeft = 160.0f;
constexpr float kTextTop = 40.0f;
constexpr float kLineHeight = 24.0f;
constexpr int kTextLines = 7;
constexpr float kFontSize = 14.0f;
constexpr float kCardInset = 12.0f;
constexpr float kCardRadius = 16.0f;
constexpr D2D1_POINT_2F kRingCentre{88.0f, 125.0f};
constexpr float kRingRadius = 47.0f;
constexpr float kRingWidth = 10.0f;
constexpr D2D1_COLOR_F kBackground{0.95f, 0.96f, 0.98f, 1.0f};
constexpr D2D1_COLOR_F kInk{0.13f, 0.17f, 0.24f, 1.0f};
constexpr D2D1_COLOR_F kCard{1.0f, 1.0f, 1.0f, 1.0f};

struct Picture {
    ComPtr<ID2D1Factory> d2d;
    ComPtr<IDWriteFactory> write;
    ComPtr<ID2D1HwndRenderTarget> target;
    ComPtr<ID2D1SolidColorBrush> ink;
    ComPtr<ID2D1SolidColorBrush> card;
    ComPtr<IDWriteTextFormat> format;
    int seconds = 0;
};

bool makeTarget(HWND window, Picture& picture)
{
    if (picture.target) {
        return true;
    }
    RECT client = {};
    GetClientRect(window, &client);
    const D2D1_HWND_RENDER_TARGET_PROPERTIES windowProperties{
        window, D2D1_SIZE_U{static_cast<UINT32>(client.right), static_cast<UINT32>(client.bottom)},
        D2D1_PRESENT_OPTIONS_NONE};
    const D2D1_RENDER_TARGET_PROPERTIES targetProperties{
        D2D1_RENDER_TARGET_TYPE_DEFAULT, D2D1_PIXEL_FORMAT{DXGI_FORMAT_UNKNOWN, D2D1_ALPHA_MODE_UNKNOWN}, 0.0f, 0.0f,
        D2D1_RENDER_TARGET_USAGE_NONE, D2D1_FEATURE_LEVEL_DEFAULT};
    return SUCCEEDED(picture.d2d->CreateHwndRenderTarget(targetProperties, windowProperties, picture.target.put())) &&
           SUCCEEDED(picture.target->CreateSolidColorBrush(kInk, picture.ink.put())) &&
           SUCCEEDED(picture.target->CreateSolidColorBrush(kCard, picture.card.put()));
}

void paintPicture(HWND window, Picture& picture)
{
    PaintDc paint(window);
    if (!makeTarget(window, picture)) {
        return;
    }
    ID2D1HwndRenderTarget& target = *picture.target.get();
    const D2D1_SIZE_F size = target.GetSize();
    target.BeginDraw();
    target.Clear(kBackground);
    const D2D1_RECT_F card{kCardInset, kCardInset, size.width - kCardInset, size.height - kCardInset};
    target.FillRoundedRectangle(D2D1_ROUNDED_RECT{card, kCardRadius, kCardRadius}, picture.card.get());
    target.DrawEllipse(D2D1_ELLIPSE{kRingCentre, kRingRadius, kRingRadius}, picture.ink.get(), kRingWidth);
    const std::wstring text = L"Seconds: " + std::to_wstring(picture.seconds);
    for (int line = 0; line < kTextLines; ++line) {
        const float top = kTextTop + kLineHeight * static_cast<float>(line);
        target.DrawText(text.c_str(), static_cast<UINT32>(text.size()), picture.format.get(),
                        D2D1_RECT_F{kTextLeft, top, size.width - kCardInset, top + kLineHeight}, picture.ink.get());
    }
    if (target.EndDraw() == static_cast<HRESULT>(D2DERR_RECREATE_TARGET)) {
        picture.card.reset();
        picture.ink.reset();
        picture.target.reset();
    }
}

LRESULT CALLBACK pictureProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* picture = reinterpret_cast<Picture*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_NCCREATE:
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_TIMER:
        ++picture->seconds;
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    case WM_PAINT:
        paintPicture(window, *picture);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool makeFactories(Picture& picture)
{
    return SUCCEEDED(D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                                       reinterpret_cast<void**>(picture.d2d.put()))) &&
           SUCCEEDED(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                         reinterpret_cast<IUnknown**>(picture.write.put()))) &&
           SUCCEEDED(picture.write->CreateTextFormat(L"Segoe UI", nullptr, DWRITE_FONT_WEIGHT_NORMAL,
                                                     DWRITE_FONT_STYLE_NORMAL, DWRITE_FONT_STRETCH_NORMAL, kFontSize,
                                                     L"", picture.format.put()));
}

#endif

LRESULT CALLBACK hiddenProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_TIMER:
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool registerClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = name;
    return RegisterClassExW(&windowClass) != 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    if (!registerClass(instance, kHiddenClass, hiddenProc)) {
        return 1;
    }
    HWND hidden = CreateWindowExW(0, kHiddenClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (hidden == nullptr) {
        return 1;
    }
    SetTimer(hidden, kTimerId, kTimerPeriodMs, nullptr);
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof(icon);
    icon.hWnd = hidden;
    icon.uID = kTrayIconId;
    icon.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    icon.uCallbackMessage = kTrayCallbackMessage;
    icon.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wcscpy_s(icon.szTip, L"HourwardenBare");
    Shell_NotifyIconW(NIM_ADD, &icon);

#ifdef BARE_DIRECT2D
    Picture picture;
    if (!makeFactories(picture) || !registerClass(instance, kPictureClass, pictureProc)) {
        return 1;
    }
    HWND pictureWindow = CreateWindowExW(WS_EX_TOOLWINDOW, kPictureClass, L"HourwardenBare", WS_POPUP, kPictureX,
                                         kPictureY, kPictureWidth, kPictureHeight, nullptr, nullptr, instance,
                                         &picture);
    if (pictureWindow == nullptr) {
        return 1;
    }
    SetTimer(pictureWindow, kTimerId, kTimerPeriodMs, nullptr);
    ShowWindow(pictureWindow, SW_SHOWNOACTIVATE);
#endif

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    Shell_NotifyIconW(NIM_DELETE, &icon);
#ifdef BARE_DIRECT2D
    DestroyWindow(pictureWindow);
#endif
    return 0;
}
