// component/com/type_library.hpp - the component's type library, written from the member
// table with CreateTypeLib2.
//
// The library is written twice from the same code. The build writes it with a small program
// (typelib_writer.cpp) and embeds it in the DLL as resource TYPELIB 1, so that a development
// environment can read it from the DLL before the DLL is registered; the DLL writes it again
// when it registers (to Cobaltmoth.tlb beside itself) and registers that file. A library is
// written for 32-bit or for 64-bit hosts by the system kind given, whatever the writer's own
// pointer size, so a 64-bit writer also makes the 32-bit DLL's library. Its type descriptions,
// in order:
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

namespace cobaltmoth::component::com {

// The system kind of this module's own pointer size: SYS_WIN64 or SYS_WIN32.
constexpr SYSKIND kThisSystem = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

// Writes the type library for hosts of the system `kind` to `path` (replacing any file there).
HRESULT WriteTypeLibrary(const std::wstring& path, SYSKIND kind = kThisSystem);

// The path of the type library beside the module that holds this code.
std::wstring TypeLibraryPath();

// The type description of a class's interface, for IDispatch: from the registered library,
// else the file beside the DLL, which is written first when it is missing. The caller owns
// the reference.
HRESULT TypeInfoOf(const bindings::ClassInfo& cls, ITypeInfo** info);

// The full path of the module that holds this code (the DLL).
std::wstring ModulePath();

}  // namespace cobaltmoth::component::com
