// platform/windows/unique.hpp - owners of Windows resources: each gives back what it holds
// when it goes, so that no early return or exception leaks a handle, a key, a device context,
// a GDI object, a COM reference, a BSTR or a VARIANT.
//
//   UniqueAny<T, ...>   one handle-like value (UniqueHandle, UniqueFile, UniqueHkey, ...):
//                        move-only; get(), release(), reset(), put() for an out-parameter
//                        (gives back what it held first), true while it holds a value
//   ComPtr<T>            a counted reference to a COM interface (AddRef when copied, Release
//                        when it goes); put() for an out-parameter, detach() to hand it on
//   UniqueVariant        a VARIANT, initialised when made and cleared when it goes
//   ScopedSelection      a GDI object selected into a device context for a scope
//
//   UniqueFile f(::CreateFileW(...));
//   if (!f) RaiseWindowsError(::GetLastError());
//   UniqueHkey key;
//   if (::RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
//
// Also here, for every Windows source of the library and its tests: Wide (the host's UTF-16
// text as the W functions take it) and ThisModule (the module that holds the calling code).
//
// Thread-safety: an owner belongs to one thread at a time, as what it owns does.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <oleauto.h>
// The names of the library's ports (platform/ui.hpp) and of runtime::TextOut, not the macros for
// the W functions: those are called by their own names.
#undef MessageBox
#undef FindExecutable
#undef ShellExecute
#undef TextOut

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace cobaltmoth::platform::windows {

// What holds nothing for most handles: null.
template <typename T>
constexpr T NullOf() noexcept {
  return T();
}

// Owns one value of type T; kClose gives it back; kInvalid is the value that holds nothing.
template <typename T, void (*kClose)(T) noexcept, T (*kInvalid)() noexcept = NullOf<T>>
class UniqueAny {
 public:
  UniqueAny() noexcept = default;
  explicit UniqueAny(T value) noexcept : value_(value) {}
  UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  ~UniqueAny() { reset(); }

  T get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != kInvalid(); }
  // Hands the value over: the caller gives it back.
  T release() noexcept { return std::exchange(value_, kInvalid()); }
  // Gives back the value held, then holds `value`.
  void reset(T value = kInvalid()) noexcept {
    const T old = std::exchange(value_, value);
    if (old != kInvalid()) kClose(old);
  }
  // For a function that returns a new value through a pointer: gives back the value held.
  T* put() noexcept {
    reset();
    return &value_;
  }

 private:
  T value_ = kInvalid();
};

namespace closers {
inline HANDLE InvalidFile() noexcept { return INVALID_HANDLE_VALUE; }
inline void CloseKernelHandle(HANDLE handle) noexcept { ::CloseHandle(handle); }
inline void CloseKey(HKEY key) noexcept { ::RegCloseKey(key); }
inline void DeleteDc(HDC dc) noexcept { ::DeleteDC(dc); }
inline void ReleaseScreenDc(HDC dc) noexcept { ::ReleaseDC(nullptr, dc); }
inline void DeleteFontHandle(HFONT font) noexcept { ::DeleteObject(font); }
inline void DestroyIconHandle(HICON icon) noexcept { ::DestroyIcon(icon); }
inline void FreeGlobal(HGLOBAL memory) noexcept { ::GlobalFree(memory); }
inline void DestroyWindowHandle(HWND window) noexcept { ::DestroyWindow(window); }
inline void FreeLibraryModule(HMODULE module) noexcept { ::FreeLibrary(module); }
inline void FreeEnvironmentBlock(wchar_t* block) noexcept { ::FreeEnvironmentStringsW(block); }
inline void FreeBstr(BSTR text) noexcept { ::SysFreeString(text); }
}  // namespace closers

// A handle whose empty value is null: a process, a thread, an event, a snapshot.
using UniqueHandle = UniqueAny<HANDLE, closers::CloseKernelHandle>;
// A file handle from CreateFileW (INVALID_HANDLE_VALUE holds nothing).
using UniqueFile = UniqueAny<HANDLE, closers::CloseKernelHandle, closers::InvalidFile>;

// Closes the file now, for a caller that must know whether the close succeeded (the last
// buffered bytes can fail there); false with GetLastError set when it did not.
inline bool CloseNow(UniqueFile& file) noexcept { return ::CloseHandle(file.release()) != FALSE; }
using UniqueHkey = UniqueAny<HKEY, closers::CloseKey>;
// A device context made with CreateDC.
using UniqueHdc = UniqueAny<HDC, closers::DeleteDc>;
// The screen's device context from GetDC(nullptr).
using UniqueScreenDc = UniqueAny<HDC, closers::ReleaseScreenDc>;
using UniqueHfont = UniqueAny<HFONT, closers::DeleteFontHandle>;
using UniqueHicon = UniqueAny<HICON, closers::DestroyIconHandle>;
using UniqueHglobal = UniqueAny<HGLOBAL, closers::FreeGlobal>;
using UniqueHwnd = UniqueAny<HWND, closers::DestroyWindowHandle>;
// A module loaded with LoadLibrary.
using UniqueHmodule = UniqueAny<HMODULE, closers::FreeLibraryModule>;
// The block of GetEnvironmentStringsW.
using UniqueEnvironmentBlock = UniqueAny<wchar_t*, closers::FreeEnvironmentBlock>;
using UniqueBstr = UniqueAny<BSTR, closers::FreeBstr>;

// Selects a GDI object into a device context until it goes, then puts back the one it
// replaced (so that the object may be deleted afterwards).
class ScopedSelection {
 public:
  ScopedSelection(HDC dc, HGDIOBJ object) noexcept : dc_(dc), old_(::SelectObject(dc, object)) {}
  ScopedSelection(const ScopedSelection&) = delete;
  ScopedSelection& operator=(const ScopedSelection&) = delete;
  ~ScopedSelection() {
    if (old_ != nullptr) ::SelectObject(dc_, old_);
  }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// A counted reference to a COM interface (or to an object with AddRef and Release).
template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  // A new reference to `p`.
  explicit ComPtr(T* p) noexcept : p_(p) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComPtr(const ComPtr& other) noexcept : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(other.detach()) {}
  ComPtr& operator=(const ComPtr& other) noexcept {
    ComPtr(other).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).swap(*this);
    return *this;
  }
  ~ComPtr() { reset(); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Takes over a reference the caller holds.
  void attach(T* p) noexcept {
    reset();
    p_ = p;
  }
  // Hands the reference over: the caller releases it.
  T* detach() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept {
    if (T* p = detach(); p != nullptr) p->Release();
  }
  // For a function that returns a new reference through a pointer: releases the one held.
  T** put() noexcept {
    reset();
    return &p_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
  void swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  // The object's interface `iid` into `out` (QueryInterface).
  template <typename U>
  HRESULT As(REFIID iid, ComPtr<U>* out) const noexcept {
    return p_->QueryInterface(iid, out->put_void());
  }

 private:
  T* p_ = nullptr;
};

// A VARIANT that is cleared when it goes; it is a VARIANT, so &v is what the calls take.
class UniqueVariant : public VARIANT {
 public:
  UniqueVariant() noexcept { ::VariantInit(this); }
  UniqueVariant(UniqueVariant&& other) noexcept : VARIANT(other) { ::VariantInit(&other); }
  UniqueVariant& operator=(UniqueVariant&& other) noexcept {
    if (this != &other) {
      reset();
      static_cast<VARIANT&>(*this) = other;
      ::VariantInit(&other);
    }
    return *this;
  }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  ~UniqueVariant() { reset(); }

  void reset() noexcept { ::VariantClear(this); }
  // For a function that fills a VARIANT: clears what it held.
  VARIANT* put() noexcept {
    reset();
    return this;
  }
};

// The host's UTF-16 text as the W functions take it (a copy, ended by a NUL).
inline std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

// The module that holds the calling code: the DLL when the library is one, else the program.
inline HMODULE ThisModule() noexcept {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

}  // namespace cobaltmoth::platform::windows
