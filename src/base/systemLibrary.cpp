#include "base/systemLibrary.h"

#include <atomic>

namespace {

std::atomic<LibraryLoadFunction> replacedLoad{nullptr};

}  // namespace

void setLibraryLoadFunction(LibraryLoadFunction function)
{
    replacedLoad.store(function);
}

// Only from the system directory: a DLL of the same name beside the program
// (a folder the user may be able to write) is never picked up. The module is
// never freed: objects made by it may live until the process ends. A failed
// load is tried again at the next use.
HMODULE SystemLibrary::module()
{
    if (const LibraryLoadFunction load = replacedLoad.load(); load != nullptr) {
        return load(name_);
    }
    AcquireSRWLockExclusive(&lock_);
    if (module_ == nullptr) {
        module_ = LoadLibraryExW(name_, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    const HMODULE module = module_;
    ReleaseSRWLockExclusive(&lock_);
    return module;
}

FARPROC SystemLibrary::procedure(const char* functionName)
{
    const HMODULE library = module();
    return library != nullptr ? GetProcAddress(library, functionName) : nullptr;
}
