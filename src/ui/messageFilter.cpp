#include "ui/messageFilter.h"

#include <iterator>

namespace {

// Not every SDK declares these.
constexpr UINT kDpiChangedMessage = 0x02E0;
constexpr UINT kGetDpiScaledSizeMessage = 0x02E4;

struct SystemOnlyMessage {
    UINT first;
    UINT last;
    const char* why;
    // Sent from another program, the system copies what the pointer names into
    // this process (and refuses to post it): safe to take from any thread.
    bool copiedWhenSent = false;
};

// One row a message (or a run of them); sorted only for the reader.
constexpr SystemOnlyMessage kSystemOnlyMessages[] = {
    {WM_CREATE, WM_CREATE, "lParam is a CREATESTRUCTW; a second creation is never the system's"},
    {WM_DESTROY, WM_DESTROY, "the window's end: the control window's ends the program"},
    // Screen readers and window tools read the titles this way.
    {WM_SETTEXT, WM_SETTEXT, "lParam is a string that DefWindowProcW copies", true},
    {WM_GETTEXT, WM_GETTEXT, "lParam is a buffer that DefWindowProcW writes into", true},
    {WM_ERASEBKGND, WM_ERASEBKGND, "wParam is a device context that DefWindowProcW paints"},
    {WM_GETMINMAXINFO, WM_GETMINMAXINFO, "lParam is a MINMAXINFO"},
    {WM_DRAWITEM, WM_DRAWITEM, "lParam is a DRAWITEMSTRUCT with a device context"},
    {WM_MEASUREITEM, WM_MEASUREITEM, "lParam is a MEASUREITEMSTRUCT that is written"},
    {WM_DELETEITEM, WM_DELETEITEM, "lParam is a DELETEITEMSTRUCT"},
    {WM_COMPAREITEM, WM_COMPAREITEM, "lParam is a COMPAREITEMSTRUCT"},
    {WM_WINDOWPOSCHANGING, WM_WINDOWPOSCHANGED, "lParam is a WINDOWPOS that DefWindowProcW reads and writes"},
    {WM_COPYDATA, WM_COPYDATA, "lParam is a COPYDATASTRUCT"},
    {WM_NOTIFY, WM_NOTIFY, "lParam is an NMHDR"},
    {WM_HELP, WM_HELP, "lParam is a HELPINFO"},
    {WM_STYLECHANGING, WM_STYLECHANGED, "lParam is a STYLESTRUCT"},
    {WM_NCCREATE, WM_NCCREATE, "lParam is a CREATESTRUCTW whose creation parameter becomes the window's record"},
    {WM_NCDESTROY, WM_NCDESTROY, "the window's last message: DefWindowProcW frees what the system keeps for it"},
    {WM_NCCALCSIZE, WM_NCCALCSIZE, "lParam is a RECT or NCCALCSIZE_PARAMS that DefWindowProcW writes"},
    {WM_NCPAINT, WM_NCPAINT, "wParam is a region that DefWindowProcW paints through"},
    {WM_INITMENU, WM_INITMENUPOPUP, "wParam is a menu"},
    {WM_MENUSELECT, WM_MENUCHAR, "lParam is a menu"},
    {WM_CTLCOLORMSGBOX, WM_CTLCOLORSTATIC, "wParam is a device context the handler draws with"},
    {WM_SIZING, WM_SIZING, "lParam is a RECT that is written"},
    {WM_MOVING, WM_MOVING, "lParam is a RECT that is written"},
    {WM_PRINT, WM_PRINTCLIENT, "wParam is a device context that is painted"},
    {kDpiChangedMessage, kDpiChangedMessage, "lParam is the RECT the system suggests"},
    {kGetDpiScaledSizeMessage, kGetDpiScaledSizeMessage, "lParam is a SIZE that is written"},
};

LRESULT CALLBACK filterQueuedMessage(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION && lParam != 0) {
        auto* message = reinterpret_cast<MSG*>(lParam);
        if (isSystemOnlyMessage(message->message) || isForgedTimerCallback(message->message, message->lParam)) {
            // Dropped for every loop on this thread; WM_NULL does nothing anywhere.
            message->message = WM_NULL;
            message->wParam = 0;
            message->lParam = 0;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

const SystemOnlyMessage* rowOf(UINT message)
{
    for (const SystemOnlyMessage& row : kSystemOnlyMessages) {
        if (message >= row.first && message <= row.last) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

bool isSystemOnlyMessage(UINT message)
{
    return rowOf(message) != nullptr;
}

bool refuseForeignMessage(UINT message)
{
    // A message another thread sent is handed to the procedure from inside
    // GetMessage or PeekMessage, past every loop's filter: it is asked here.
    // Work that makes the system send such messages (a window's creation, a
    // menu) is never started inside another thread's message, so what the
    // system sends then comes from this thread.
    const SystemOnlyMessage* row = rowOf(message);
    return row != nullptr && !row->copiedWhenSent && InSendMessageEx(nullptr) != ISMEX_NOSEND;
}

bool isForgedTimerCallback(UINT message, LPARAM lParam)
{
    return message == WM_TIMER && lParam != 0;
}

QueueFilter::QueueFilter()
    : hook_(SetWindowsHookExW(WH_GETMESSAGE, filterQueuedMessage, nullptr, GetCurrentThreadId()))
{
}

QueueFilter::~QueueFilter()
{
    if (hook_ != nullptr) {
        UnhookWindowsHookEx(hook_);
    }
}
