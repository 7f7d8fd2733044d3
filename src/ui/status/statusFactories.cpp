#include "ui/status/statusFactories.h"

#include "base/systemLibrary.h"

namespace {

using D2D1CreateFactoryFunction = HRESULT(WINAPI*)(D2D1_FACTORY_TYPE, REFIID, const D2D1_FACTORY_OPTIONS*, void**);
using DWriteCreateFactoryFunction = HRESULT(WINAPI*)(DWRITE_FACTORY_TYPE, REFIID, IUnknown**);

// Never unloaded: the factories, and everything made with them, may live until the process ends.
SystemLibrary d2dLibrary(L"d2d1.dll");
SystemLibrary writeLibrary(L"dwrite.dll");

}  // namespace

bool StatusFactories::acquire()
{
    if (!d2d_) {
        const auto create = d2dLibrary.function<D2D1CreateFactoryFunction>("D2D1CreateFactory");
        if (create == nullptr || FAILED(create(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                                               reinterpret_cast<void**>(d2d_.put())))) {
            return false;
        }
    }
    if (!write_) {
        const auto create = writeLibrary.function<DWriteCreateFactoryFunction>("DWriteCreateFactory");
        if (create == nullptr || FAILED(create(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                               reinterpret_cast<IUnknown**>(write_.put())))) {
            return false;
        }
    }
    return ready();
}

StatusFactories& sharedStatusFactories()
{
    static StatusFactories factories;
    return factories;
}
