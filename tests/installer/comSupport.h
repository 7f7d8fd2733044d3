// COM for the installer tests: the apartment, interface pointers and strings,
// each released when it goes out of scope. Used for Task Scheduler.
#pragma once

#include <windows.h>

#include <oleauto.h>
#include <taskschd.h>

#include <string>

namespace installer_test {

class ComScope {
public:
    ComScope() : initialized_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~ComScope()
    {
        if (initialized_) {
            CoUninitialize();
        }
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool initialized_;
};

template <class Interface>
class ComRef {
public:
    ComRef() = default;
    ~ComRef()
    {
        if (pointer_ != nullptr) {
            pointer_->Release();
        }
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    Interface** put() { return &pointer_; }
    Interface* operator->() const { return pointer_; }
    Interface* get() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

private:
    Interface* pointer_ = nullptr;
};

class Bstr {
public:
    explicit Bstr(const std::wstring& text) : text_(SysAllocString(text.c_str())) {}
    Bstr() = default;
    ~Bstr() { SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return text_; }
    BSTR* put() { return &text_; }

private:
    BSTR text_ = nullptr;
};

// The folder of the program's tasks, one task per account.
inline constexpr wchar_t kTaskFolder[] = L"\\Hourwarden";

// The task scheduler's folder of the program's tasks, or nothing.
inline bool openTaskFolder(ComRef<ITaskFolder>& folder)
{
    ComRef<ITaskService> service;
    if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                reinterpret_cast<void**>(service.put())))) {
        return false;
    }
    VARIANT none;
    VariantInit(&none);
    return SUCCEEDED(service->Connect(none, none, none, none)) &&
           SUCCEEDED(service->GetFolder(Bstr(kTaskFolder), folder.put()));
}

}  // namespace installer_test
