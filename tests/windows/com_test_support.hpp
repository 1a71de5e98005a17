// tests/windows/com_test_support.hpp - what the C++ client tests share: the DLL's path, COM
// pointers that release themselves, BSTR and VARIANT owners, and reading the error
// information that a failing call left.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>

#include "component/com/com_interfaces.hpp"
#include "component/bindings/member_table.hpp"

namespace cobaltmoth::comtest {

// The DLL under test, as a Windows path (the test program's first argument).
const std::wstring& DllPath();

template <typename T>
class Ptr {
 public:
  Ptr() = default;
  explicit Ptr(T* p) : p_(p) {}
  Ptr(const Ptr&) = delete;
  Ptr& operator=(const Ptr&) = delete;
  ~Ptr() { Reset(); }
  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const wchar_t* text) : b_(::SysAllocString(text)) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { ::SysFreeString(b_); }
  BSTR get() const { return b_; }
  BSTR* Out() {
    ::SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::wstring Text() const {
    return b_ == nullptr ? std::wstring() : std::wstring(b_, ::SysStringLen(b_));
  }

 private:
  BSTR b_ = nullptr;
};

// The error information of the last failing call: source and description.
struct ErrorInfo {
  std::wstring source;
  std::wstring description;
};
ErrorInfo TakeErrorInfo();

GUID Clsid(const members::ClassInfo& cls);
GUID Iid(const members::ClassInfo& cls);

// HRESULTs of the host's run-time errors and of the not-initialised error.
constexpr HRESULT RuntimeError(int number) {
  return static_cast<HRESULT>(0x800A0000u | static_cast<unsigned>(number));
}
constexpr HRESULT kNotInitialized = static_cast<HRESULT>(0x800403E9u);

inline const wchar_t kNotInitializedText[] =
    L"You must initialize this class with Init sub before using any method";

// A new folder under the temporary folder, as a Windows path ending without a separator.
std::wstring NewTempFolder();

// An exported function of a module, or nullptr.
template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// The whole content of a file, as bytes.
std::string ReadFileBytes(const std::wstring& path);

}  // namespace cobaltmoth::comtest
