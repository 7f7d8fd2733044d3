// A system DLL loaded the first time one of its functions is needed, so a
// program that rarely needs it does not pay for it at every start.
#pragma once

#include <windows.h>

class SystemLibrary {
public:
    // `name` must outlive the object (a literal).
    explicit SystemLibrary(const wchar_t* name) : name_(name) {}
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    // Null when the library or the function cannot be had.
    template <typename Function>
    Function function(const char* functionName)
    {
        // Through the generic function type, which every function pointer converts to and back.
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(procedure(functionName)));
    }

private:
    FARPROC procedure(const char* functionName);
    HMODULE module();

    const wchar_t* name_;
    HMODULE module_ = nullptr;
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// How a library is loaded, replaceable so tests can refuse it; while one is set
// it is asked on every use. Null restores the real loader.
using LibraryLoadFunction = HMODULE (*)(const wchar_t* name);
void setLibraryLoadFunction(LibraryLoadFunction function);
