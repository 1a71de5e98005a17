// component/com/com_objects.hpp - the COM objects behind the classes ProcStac and ProcBug.
//
// Each object owns its core object (tracing/ ProcStac, bughandling/ ProcBug) and presents it
// through its dual interface: the vtable slots call the core, and IDispatch works from the
// registered type library (names to dispatch ids, Invoke through the vtable), so late and
// early binding reach the same code. Every slot catches what the core throws and turns it into
// error information plus an HRESULT (see com_interfaces.hpp); nothing C++ leaves the DLL.
//
// Lifetime: counted references; the release of the last one destroys the core object, which
// runs its Terminate (the footer of an open log; for ProcBug, the Terminate of the tracer it
// holds). While any object or lock exists the module stays loaded (ModuleInUse).
//
// Thread-safety: apartment-threaded; the reference counts alone are atomic.
#pragma once

#include "component/com/com_interfaces.hpp"

namespace cobaltmoth::component::com {

// Creates a new object of the class and returns its interface `iid` in `*object`.
HRESULT CreateProcStac(REFIID iid, void** object);
HRESULT CreateProcBug(REFIID iid, void** object);

// Module lifetime: objects alive plus class-factory references and locks.
void ModuleAddRef() noexcept;
void ModuleRelease() noexcept;
bool ModuleInUse() noexcept;

}  // namespace cobaltmoth::component::com
