// Messages that only the system may give the program's windows. Their
// parameters are read as a pointer, a handle or a structure (by a window
// procedure, or by DefWindowProcW behind it), or they announce a window's
// birth or end. Another program of the account can post any of them with any
// parameters, or send them from its own thread; the system makes them for a
// window on the window's own thread, and never posts them.
#pragma once

#include <windows.h>

// Whether `message` is one of those; the table in messageFilter.cpp says why for each.
bool isSystemOnlyMessage(UINT message);

// Called first by every window procedure of the program: true when the message
// must be dropped, unread, because another thread sent it (but for the text
// messages, whose text the system copies across). Posted ones never get this
// far (QueueFilter).
bool refuseForeignMessage(UINT message);

// A posted WM_TIMER whose lParam is not 0 names a function that the dispatcher
// would call; the program's timers have none.
bool isForgedTimerCallback(UINT message, LPARAM lParam);

// A thread-local WH_GETMESSAGE hook that turns each of those messages, taken
// from the thread's queue by any message loop (the program's, a message box's,
// a menu's), into WM_NULL before anyone reads it. Held for as long as the
// thread has windows.
class QueueFilter {
public:
    QueueFilter();
    ~QueueFilter();
    QueueFilter(const QueueFilter&) = delete;
    QueueFilter& operator=(const QueueFilter&) = delete;

    bool active() const { return hook_ != nullptr; }

private:
    HHOOK hook_ = nullptr;
};
