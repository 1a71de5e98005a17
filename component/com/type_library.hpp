// component/com/type_library.hpp - the component's type library, written from the member
// table with CreateTypeLib2.
//
// The library is written when the component registers (to Cobaltmoth.tlb beside the DLL) by
// the DLL itself, so it always describes the DLL's own pointer size (a 32-bit DLL writes a
// 32-bit library) and no build step has to run Windows code. Its type descriptions, in order:
// _ProcStac (dual, 1.1), ProcStac (class, 1.1), ProcStac___v0 (alias, 1.0), _ProcBug (dual,
// 1.2), ProcBug (class, 1.2), ProcBug___v0 (alias, 1.0), ProcBug___v1 (alias, 1.1) and
// cbmProjectType (enumeration, 1.0). Within an interface, the functions are stored in the
// library's member-list order, each with the virtual-table offset of its interface slot.
//
// Thread-safety: WriteTypeLibrary may run on any thread; TypeInfoOf caches the loaded library
// once per process.
#pragma once

#include <string>

#include "component/bindings/member_table.hpp"
#include "platform/windows/unique.hpp"

namespace cobaltmoth::com {

// Writes the type library to `path` (replacing any file there).
HRESULT WriteTypeLibrary(const std::wstring& path);

// The path of the type library beside the module that holds this code.
std::wstring TypeLibraryPath();

// The type description of a class's interface, for IDispatch: from the registered library,
// else the file beside the DLL, which is written first when it is missing. The caller owns
// the reference.
HRESULT TypeInfoOf(const members::ClassInfo& cls, ITypeInfo** info);

// The full path of the module that holds this code (the DLL).
std::wstring ModulePath();

}  // namespace cobaltmoth::com
