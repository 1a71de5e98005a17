// component/bindings/member_table.hpp - the public interface of the library, written once as data.
//
// What a host sees of the library: the library itself (name, help string, version, locale,
// identity), its two creatable classes ProcStac and ProcBug with their dual default
// interfaces _ProcStac and _ProcBug, the aliases that name the earlier versions of those
// interfaces, and the enumeration cbmProjectType, whose member names hold blanks
// ("Exe Standard"). For each interface the members come in the order of the interface's
// slots (after the slots of IDispatch), each with its dispatch id, kind, parameters (type,
// by value or by reference, optional with a default), result and help string; a member's
// `list_position` is where the library's member list names it, which differs from the slot
// order for ProcStac's PrintComment (listed after ExitProc, last slot) and ProcBug's
// Terminate (listed second, slot after ProcStack).
//
// Everything that presents the interface is generated from this table: the type library of
// the Windows component (written with CreateTypeLib2, because an interface definition
// language cannot spell names with blanks), its IDispatch, its registration, and late
// binding by name and dispatch id in any build. For example
//   FindMember(ProcBugClass(), u"raise", MemberKind::kMethod)->dispid == 0x6003000C
//
// Thread-safety: constant data and pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace cobaltmoth::component::bindings {

// A 128-bit identity (GUID), laid out as Windows keeps it.
struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};

// The host types that appear at the interface.
enum class HostType {
  kVoid,         // no result
  kString,       // BSTR, UTF-16 text
  kInteger,      // 16-bit signed
  kLong,         // 32-bit signed
  kBoolean,      // 16-bit, True = -1
  kProjectType,  // the enumeration cbmProjectType
  kProcStac,     // a reference to a ProcStac object (its interface _ProcStac)
  kErrObject,    // a reference to the host's error object, reached through IDispatch
};

// How a member is called: a method, or one of the three property procedures (let assigns a
// value, set assigns an object reference).
enum class MemberKind { kMethod, kPropertyGet, kPropertyLet, kPropertySet };

struct Param {
  std::u16string_view name;  // empty for the value of a property let or set
  HostType type;
  bool by_ref = false;
  bool optional = false;
  bool has_default = false;   // an optional parameter with a default in the library
  std::int32_t default_value = 0;  // Long value, or Boolean True (-1) / False (0)
};

struct Member {
  std::int32_t dispid;
  MemberKind kind;
  std::u16string_view name;
  std::span<const Param> params;
  HostType result;             // kVoid for methods without result and for let/set
  std::u16string_view help;    // empty when the member has none
  int list_position;           // 0-based place in the library's member list
};

struct Version {
  std::uint16_t major;
  std::uint16_t minor;
};

// An alias that names an earlier version of a class's default interface.
struct EarlierInterface {
  std::u16string_view name;  // "ProcStac___v0"
  Guid iid;
  Version version;
};

struct ClassInfo {
  std::u16string_view name;            // "ProcStac"
  std::u16string_view interface_name;  // "_ProcStac"
  Guid clsid;
  Guid iid;                            // the current interface
  Version version;                     // of the interface and of the class
  std::u16string_view help;            // of the interface and the class; also the class's
                                       // registered description; empty for none
  std::span<const Member> members;     // in the interface's slot order
  std::span<const EarlierInterface> earlier;  // earliest first
};

struct EnumMember {
  std::u16string_view name;  // with its blanks; also its help string
  std::int32_t value;
};

struct LibraryInfo {
  std::u16string_view name;  // "Cobaltmoth"
  std::u16string_view help;  // also the component's registered description
  Guid libid;
  Version version;           // 8.3
  std::uint32_t lcid;        // 1033
  std::u16string_view enum_name;    // "cbmProjectType"
  Version enum_version;
  std::span<const EnumMember> enum_members;
};

const LibraryInfo& Library() noexcept;
const ClassInfo& ProcStacClass() noexcept;
const ClassInfo& ProcBugClass() noexcept;

// The member of `cls` named `name` (compared without regard to case) of the given kind, or
// nullptr.
const Member* FindMember(const ClassInfo& cls, std::u16string_view name, MemberKind kind) noexcept;

// The dispatch id of the name (compared without regard to case), or -1 (DISPID_UNKNOWN).
std::int32_t DispatchId(const ClassInfo& cls, std::u16string_view name) noexcept;

// The member with this dispatch id and kind, or nullptr.
const Member* FindMember(const ClassInfo& cls, std::int32_t dispid, MemberKind kind) noexcept;

}  // namespace cobaltmoth::component::bindings
