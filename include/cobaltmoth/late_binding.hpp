// cobaltmoth/late_binding.hpp - calling ProcStac and ProcBug by member name or dispatch id.
//
// For hosts that reach the library dynamically (a scripting language, a bridge from another
// runtime): the same members, names and dispatch ids as the Windows component's automation
// interface, and the host language's rules for arguments:
//
//   auto bug = std::make_shared<cobaltmoth::ProcBug>();
//   cobaltmoth::LateBound late(bug);
//   late.Invoke(u"Init", cobaltmoth::InvokeKind::kMethod,
//               {u"Payroll", 1, 2, 30, u"/opt/payroll", 0});
//   late.Invoke(u"LogOnFile", cobaltmoth::InvokeKind::kPropertyLet, {true});
//   bool ends = std::get<bool>(late.Invoke(u"EndOnError", cobaltmoth::InvokeKind::kPropertyGet));
//
// Names are compared without regard to case. Arguments come in the order of the member's
// parameters; an optional argument that is left off or Empty (std::monostate) takes its
// default (Raise: onLineNumber 0, isCritical True), a required one left off raises 450, and
// Empty given for a required one is its value ("" for a String, Nothing for an object). Arguments are converted as the
// host language converts them: a String parameter takes text, a number (its decimal text) or a
// Boolean ("True", "False"); an Integer, Long or enumeration parameter takes a number, a
// Boolean (True is -1) or text holding a whole number, and raises 6 "Overflow" outside its
// range; a Boolean parameter takes a Boolean, a number (not 0 is True) or "True"/"False" in
// any case; Raise's error object is an ErrorObject pointer (Empty for none, which Raise refuses
// in its turn). Errors, with source "Cobaltmoth": 438 "Object doesn't support this property or
// method" (no such member or kind), 450 "Wrong number of arguments or invalid property
// assignment", 13 "Type mismatch", 6 "Overflow", and whatever the member itself raises.
//
// Results: a String as std::u16string, a Boolean as bool, ProcStack as the tracer (nullptr
// for Nothing), Empty for methods without a result and for property assignments.
//
// Thread-safety: as the object called.
#pragma once

#include <cobaltmoth/export.hpp>
#include <cobaltmoth/proc_bug.hpp>
#include <cobaltmoth/proc_stac.hpp>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace cobaltmoth {

// A value at the late-bound interface.
using LateValue = std::variant<std::monostate, std::u16string, std::int32_t, bool,
                               std::shared_ptr<ProcStac>, const ErrorObject*>;

// How a member is called, with the values of the automation interface's flags.
enum class InvokeKind : std::uint16_t {
  kMethod = 1,
  kPropertyGet = 2,
  kPropertyLet = 4,  // assigns a value
  kPropertySet = 8,  // assigns an object reference
};

// The dispatch id of a name that names no member.
inline constexpr std::int32_t kUnknownDispatchId = -1;

// A tracer or bug handler called by member names or dispatch ids, as described at the top of
// this header.
class COBALTMOTH_API LateBound {
 public:
  // Calls reach `tracer`, or `handler`, which the object shares with its other owners.
  explicit LateBound(std::shared_ptr<ProcStac> tracer);
  explicit LateBound(std::shared_ptr<ProcBug> handler);

  // The dispatch id of a member's name, or kUnknownDispatchId.
  std::int32_t DispatchId(std::u16string_view name) const;

  // Calls the member `dispid` as `kind` with `args` and returns its result (empty for none);
  // raises the errors a Basic host's late binding raises (13, 438, 450) or the member's own.
  LateValue Invoke(std::int32_t dispid, InvokeKind kind, std::span<const LateValue> args);
  LateValue Invoke(std::int32_t dispid, InvokeKind kind,
                   std::initializer_list<LateValue> args = {}) {
    return Invoke(dispid, kind, std::span<const LateValue>(args.begin(), args.size()));
  }
  // By name: 438 when the name names no member.
  LateValue Invoke(std::u16string_view name, InvokeKind kind, std::span<const LateValue> args);
  LateValue Invoke(std::u16string_view name, InvokeKind kind,
                   std::initializer_list<LateValue> args = {}) {
    return Invoke(name, kind, std::span<const LateValue>(args.begin(), args.size()));
  }

 private:
  std::shared_ptr<ProcStac> tracer_;
  std::shared_ptr<ProcBug> handler_;
};

}  // namespace cobaltmoth
