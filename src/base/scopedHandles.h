// Small owners for Win32 handles, GDI objects and COM interfaces: the release
// cannot be forgotten on an early return, and objects still live exactly as
// long as the scope or window that holds them.
#pragma once

#include <windows.h>

#include <utility>

template <typename Handle, auto Close>
class Owned {
public:
    Owned() = default;
    explicit Owned(Handle handle) : handle_(handle) {}
    ~Owned() { reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : handle_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept
    {
        reset(other.release());
        return *this;
    }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Invalid; }
    Handle release() { return std::exchange(handle_, Invalid); }
    void reset(Handle handle = Invalid)
    {
        const Handle old = std::exchange(handle_, handle);
        if (old != Invalid) {
            Close(old);
        }
    }
    // Closes now and reports whether the close itself succeeded.
    bool close()
    {
        const Handle old = std::exchange(handle_, Invalid);
        return old == Invalid || Close(old);
    }

private:
    static constexpr Handle Invalid = Handle{};
    Handle handle_ = Invalid;
};

namespace scoped_detail {
inline BOOL closeFile(HANDLE handle) { return CloseHandle(handle); }
inline BOOL deleteGdiObject(HGDIOBJ object) { return DeleteObject(object); }
inline BOOL destroyMenu(HMENU menu) { return DestroyMenu(menu); }
inline BOOL closeDesktop(HDESK desktop) { return CloseDesktop(desktop); }
}  // namespace scoped_detail

using GdiObject = Owned<HGDIOBJ, scoped_detail::deleteGdiObject>;
using Menu = Owned<HMENU, scoped_detail::destroyMenu>;
using Desktop = Owned<HDESK, scoped_detail::closeDesktop>;

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not null.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    HANDLE get() const { return handle_.get(); }
    void reset(HANDLE handle = nullptr) { handle_.reset(handle == INVALID_HANDLE_VALUE ? nullptr : handle); }
    explicit operator bool() const { return static_cast<bool>(handle_); }
    bool close() { return handle_.close(); }

private:
    Owned<HANDLE, scoped_detail::closeFile> handle_;
};

// Typed GDI owners, so call sites read as what they hold.
template <typename T>
class GdiOwned {
public:
    GdiOwned() = default;
    explicit GdiOwned(T object) : object_(object) {}
    T get() const { return static_cast<T>(object_.get()); }
    explicit operator bool() const { return static_cast<bool>(object_); }
    T release() { return static_cast<T>(object_.release()); }
    void reset(T object = nullptr) { object_.reset(object); }

private:
    GdiObject object_;
};

using Brush = GdiOwned<HBRUSH>;
using Pen = GdiOwned<HPEN>;
using Font = GdiOwned<HFONT>;
using Region = GdiOwned<HRGN>;

// Selects an object into a device context and puts the previous one back.
class SelectGuard {
public:
    SelectGuard(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~SelectGuard()
    {
        if (previous_ != nullptr && previous_ != HGDI_ERROR) {
            SelectObject(dc_, previous_);
        }
    }
    SelectGuard(const SelectGuard&) = delete;
    SelectGuard& operator=(const SelectGuard&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// BeginPaint/EndPaint as one scope.
class PaintDc {
public:
    explicit PaintDc(HWND window) : window_(window) { dc_ = BeginPaint(window, &paint_); }
    ~PaintDc() { EndPaint(window_, &paint_); }
    PaintDc(const PaintDc&) = delete;
    PaintDc& operator=(const PaintDc&) = delete;
    HDC get() const { return dc_; }

private:
    HWND window_;
    PAINTSTRUCT paint_ = {};
    HDC dc_ = nullptr;
};

// A COM interface pointer that is released exactly once.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    T* get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }
    // For factory functions that fill an out-parameter.
    T** put()
    {
        reset();
        return &pointer_;
    }
    void reset()
    {
        if (pointer_ != nullptr) {
            std::exchange(pointer_, nullptr)->Release();
        }
    }

private:
    T* pointer_ = nullptr;
};
