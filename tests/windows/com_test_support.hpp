// tests/windows/com_test_support.hpp - what the C++ client tests share: the DLL's path, the
// library's owners of COM pointers, BSTRs and VARIANTs, and reading the error information that
// a failing call left.
#pragma once

#include <cstdint>
#include <string>

#include "component/bindings/member_table.hpp"
#include "component/com/com_interfaces.hpp"
#include "platform/windows/unique.hpp"

namespace cobaltmoth::comtest {

// The DLL under test, as a Windows path (the test program's first argument).
const std::wstring& DllPath();

using win::ComPtr;
using win::UniqueBstr;
using win::UniqueVariant;

// A new BSTR holding `text`.
inline UniqueBstr Bstr(const wchar_t* text) { return UniqueBstr(::SysAllocString(text)); }

// The text of a BSTR; empty for none.
inline std::wstring Text(BSTR text) {
  return text == nullptr ? std::wstring() : std::wstring(text, ::SysStringLen(text));
}

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

// An exported function of a module, or nullptr.
template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace cobaltmoth::comtest
