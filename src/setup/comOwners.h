// Owners for what COM calls hand out besides interfaces: the apartment of the
// calling thread, BSTRs and VARIANTs. Interfaces use ComPtr (base/scopedHandles.h).
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>
#include <string_view>

// COM on this thread for the scope. A thread that already has another
// apartment type keeps it; COM still works there, and it is not ended here.
class ComApartment {
public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(result_)) {
            CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    bool usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }
    HRESULT result() const { return result_; }

private:
    HRESULT result_;
};

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::wstring_view text) : text_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~Bstr() { SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    BSTR get() const { return text_; }
    // For calls that hand out a string.
    BSTR* put()
    {
        SysFreeString(text_);
        text_ = nullptr;
        return &text_;
    }
    std::wstring text() const { return text_ != nullptr ? std::wstring(text_, SysStringLen(text_)) : std::wstring(); }

private:
    BSTR text_ = nullptr;
};

// Empty unless made from a string; cleared with its scope.
class Variant {
public:
    Variant() { VariantInit(&value_); }
    explicit Variant(std::wstring_view text)
    {
        VariantInit(&value_);
        value_.vt = VT_BSTR;
        value_.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    ~Variant() { VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    // COM takes VARIANT arguments by value without taking them over.
    const VARIANT& get() const { return value_; }

private:
    VARIANT value_;
};
