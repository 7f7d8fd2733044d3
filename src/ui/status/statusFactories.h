// The Direct2D and DirectWrite factories the status window draws with. Most
// days the window never opens, so their DLLs are loaded at its first opening
// only; the factories are kept from then on for every later opening.
#pragma once

#include <windows.h>

#include <d2d1.h>
#include <dwrite.h>

#include "base/scopedHandles.h"

class StatusFactories {
public:
    // Makes whichever factory is still missing; false while either is.
    bool acquire();
    bool ready() const { return d2d_ && write_; }
    ID2D1Factory* d2d() const { return d2d_.get(); }
    IDWriteFactory* write() const { return write_.get(); }

private:
    ComPtr<ID2D1Factory> d2d_;
    ComPtr<IDWriteFactory> write_;
};

// The process's one pair, released only when the process ends.
StatusFactories& sharedStatusFactories();
