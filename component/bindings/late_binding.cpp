// Late binding: ProcStac and ProcBug called by name or dispatch id through the member table.
#include "cobaltmoth/late_binding.hpp"

#include <array>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "component/bindings/member_table.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth {
namespace {

namespace bindings = component::bindings;
using bindings::HostType;
using bindings::Member;
using bindings::MemberKind;
using bindings::Param;

MemberKind KindOf(InvokeKind kind) {
  switch (kind) {
    case InvokeKind::kMethod: return MemberKind::kMethod;
    case InvokeKind::kPropertyGet: return MemberKind::kPropertyGet;
    case InvokeKind::kPropertyLet: return MemberKind::kPropertyLet;
    case InvokeKind::kPropertySet: return MemberKind::kPropertySet;
  }
  runtime::RaiseRuntime(runtime::kObjectDoesNotSupport);
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  return runtime::LCase(a) == runtime::LCase(b);
}

// A whole number written in text (blanks around it allowed), as the host reads one.
std::optional<double> NumberInText(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  std::size_t end = text.size();
  while (end > i && text[end - 1] == u' ') --end;
  if (i == end) return std::nullopt;
  bool negative = false;
  if (text[i] == u'-' || text[i] == u'+') negative = text[i++] == u'-';
  if (i == end) return std::nullopt;
  double value = 0;
  for (; i < end; ++i) {
    if (text[i] < u'0' || text[i] > u'9') return std::nullopt;
    value = value * 10 + (text[i] - u'0');
  }
  return negative ? -value : value;
}

// The argument's number, for an Integer, Long or enumeration parameter within [low, high].
std::int32_t WholeNumber(const LateValue& value, std::int32_t low, std::int32_t high) {
  double number = 0;
  if (const auto* n = std::get_if<std::int32_t>(&value)) {
    number = *n;
  } else if (const auto* b = std::get_if<bool>(&value)) {
    number = *b ? -1 : 0;
  } else if (const auto* s = std::get_if<std::u16string>(&value)) {
    const std::optional<double> parsed = NumberInText(*s);
    if (!parsed) runtime::RaiseRuntime(runtime::kTypeMismatch);
    number = *parsed;
  } else if (!std::holds_alternative<std::monostate>(value)) {
    runtime::RaiseRuntime(runtime::kTypeMismatch);
  }
  if (number < low || number > high) runtime::RaiseRuntime(runtime::kOverflow);
  return static_cast<std::int32_t>(number);
}

std::u16string Text(const LateValue& value) {
  if (const auto* s = std::get_if<std::u16string>(&value)) return *s;
  if (const auto* n = std::get_if<std::int32_t>(&value)) return runtime::Decimal(*n);
  if (const auto* b = std::get_if<bool>(&value)) return *b ? u"True" : u"False";
  if (std::holds_alternative<std::monostate>(value)) return std::u16string();
  runtime::RaiseRuntime(runtime::kTypeMismatch);
}

bool Boolean(const LateValue& value) {
  if (const auto* b = std::get_if<bool>(&value)) return *b;
  if (const auto* n = std::get_if<std::int32_t>(&value)) return *n != 0;
  if (const auto* s = std::get_if<std::u16string>(&value)) {
    if (EqualsNoCase(*s, u"True")) return true;
    if (EqualsNoCase(*s, u"False")) return false;
    const std::optional<double> parsed = NumberInText(*s);
    if (!parsed) runtime::RaiseRuntime(runtime::kTypeMismatch);
    return *parsed != 0;
  }
  if (std::holds_alternative<std::monostate>(value)) return false;
  runtime::RaiseRuntime(runtime::kTypeMismatch);
}

// N places for values of type T, each made only when asked for (a call whose arguments are
// all given as they are wanted makes none, and so writes nothing here), destroyed with it.
template <typename T, std::size_t N>
class Slots {
 public:
  Slots() noexcept {}  // the places stay raw until made
  ~Slots() {
    for (std::size_t i = 0; i < N; ++i) {
      if ((made_ >> i) & 1u) places_[i].~T();
    }
  }
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;

  // Makes place i anew from `args`.
  template <typename... Args>
  T& Make(std::size_t i, Args&&... args) {
    if ((made_ >> i) & 1u) places_[i].~T();
    made_ &= ~(1u << i);
    T* made = new (&places_[i]) T(std::forward<Args>(args)...);
    made_ |= 1u << i;
    return *made;
  }

 private:
  union {
    T places_[N];
  };
  std::uint32_t made_ = 0;
  static_assert(N <= 32);
};

// A member's arguments, checked against its parameters and with the defaults filled in. The
// given values are read where they are; only defaults and converted texts are held here.
class Arguments {
 public:
  static constexpr std::size_t kMaxParams = 8;

  Arguments(const Member& member, std::span<const LateValue> given) {
    if (given.size() > member.params.size() || member.params.size() > kMaxParams) {
      runtime::RaiseRuntime(runtime::kWrongNumberOfArguments);
    }
    for (std::size_t i = 0; i < member.params.size(); ++i) {
      const Param& param = member.params[i];
      // Left off, or Empty where the parameter is optional: the default applies. A required
      // parameter takes Empty as a value ("" for a String, Nothing for an object).
      const bool left_off = i >= given.size();
      if (!left_off && !(param.optional && std::holds_alternative<std::monostate>(given[i]))) {
        values_[i] = &given[i];
        continue;
      }
      if (!param.optional) runtime::RaiseRuntime(runtime::kWrongNumberOfArguments);
      LateValue& value = owned_.Make(i);
      if (param.has_default && param.type == HostType::kBoolean) {
        value.emplace<bool>(param.default_value != 0);
      } else if (param.has_default) {
        value.emplace<std::int32_t>(param.default_value);
      }
      values_[i] = &value;
    }
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  // A String argument: the text itself, or the text of a number or Boolean.
  std::u16string_view String(std::size_t i) const {
    if (const auto* text = std::get_if<std::u16string>(values_[i])) return *text;
    return converted_.Make(i, Text(*values_[i]));
  }
  std::int16_t Integer(std::size_t i) const {
    return static_cast<std::int16_t>(WholeNumber(*values_[i], -32768, 32767));
  }
  std::int32_t Long(std::size_t i) const {
    return WholeNumber(*values_[i], std::numeric_limits<std::int32_t>::min(),
                       std::numeric_limits<std::int32_t>::max());
  }
  bool Bool(std::size_t i) const { return Boolean(*values_[i]); }
  std::shared_ptr<ProcStac> Tracer(std::size_t i) const {
    if (std::holds_alternative<std::monostate>(*values_[i])) return nullptr;  // Nothing
    const auto* tracer = std::get_if<std::shared_ptr<ProcStac>>(values_[i]);
    if (tracer == nullptr) runtime::RaiseRuntime(runtime::kTypeMismatch);
    return *tracer;
  }
  // The host's error object; Empty is none, which Raise itself refuses in its turn.
  const ErrorObject* Error(std::size_t i) const {
    if (std::holds_alternative<std::monostate>(*values_[i])) return nullptr;
    const auto* error = std::get_if<const ErrorObject*>(values_[i]);
    if (error == nullptr) runtime::RaiseRuntime(runtime::kTypeMismatch);
    return *error;
  }

 private:
  std::array<const LateValue*, kMaxParams> values_{};
  Slots<LateValue, kMaxParams> owned_;
  mutable Slots<std::u16string, kMaxParams> converted_;
};

LateValue CallTracer(ProcStac& t, const Member& m, const Arguments& a) {
  const std::u16string_view name = m.name;
  const bool get = m.kind == MemberKind::kPropertyGet;
  if (name == u"Init") {
    t.Init(a.String(0), a.Integer(1), a.Integer(2), a.Integer(3), a.String(4), a.Long(5));
  } else if (name == u"Dump") {
    return t.Dump();
  } else if (name == u"EnterProc") {
    t.EnterProc(a.String(0), a.String(1));
  } else if (name == u"ExitProc") {
    t.ExitProc(a.String(0), a.String(1));
  } else if (name == u"PrintComment") {
    t.PrintComment(a.String(0));
  } else if (name == u"Terminate") {
    t.Terminate();
  } else if (name == u"LogOnFile") {
    if (get) return t.LogOnFile();
    t.LogOnFile(a.Bool(0));
  } else if (name == u"LogFilePath") {
    if (get) return t.LogFilePath();
    t.LogFilePath(a.String(0));
  } else if (name == u"Enabled") {
    if (get) return t.Enabled();
    t.Enabled(a.Bool(0));
  } else {
    runtime::RaiseRuntime(runtime::kObjectDoesNotSupport);
  }
  return LateValue();
}

LateValue CallHandler(ProcBug& b, const Member& m, const Arguments& a) {
  const std::u16string_view name = m.name;
  const bool get = m.kind == MemberKind::kPropertyGet;
  if (name == u"Init") {
    b.Init(a.String(0), a.Integer(1), a.Integer(2), a.Integer(3), a.String(4), a.Long(5));
  } else if (name == u"Raise") {
    b.Raise(a.String(0), a.String(1), a.Error(2), a.Long(3), a.Bool(4));
  } else if (name == u"Terminate") {
    b.Terminate();
  } else if (name == u"LogOnReport") {
    if (get) return b.LogOnReport();
    b.LogOnReport(a.Bool(0));
  } else if (name == u"LogOnMsgBox") {
    if (get) return b.LogOnMsgBox();
    b.LogOnMsgBox(a.Bool(0));
  } else if (name == u"LogOnFile") {
    if (get) return b.LogOnFile();
    b.LogOnFile(a.Bool(0));
  } else if (name == u"LogFilePath") {
    if (get) return b.LogFilePath();
    b.LogFilePath(a.String(0));
  } else if (name == u"EndOnError") {
    if (get) return b.EndOnError();
    b.EndOnError(a.Bool(0));
  } else if (name == u"Enabled") {
    if (get) return b.Enabled();
    b.Enabled(a.Bool(0));
  } else if (name == u"ProcStack") {
    if (get) return b.ProcStack();
    b.ProcStack(a.Tracer(0));
  } else if (name == u"SupportFax") {
    if (get) return b.SupportFax();
    b.SupportFax(a.String(0));
  } else if (name == u"SupportMail") {
    if (get) return b.SupportMail();
    b.SupportMail(a.String(0));
  } else {
    runtime::RaiseRuntime(runtime::kObjectDoesNotSupport);
  }
  return LateValue();
}

}  // namespace

LateBound::LateBound(std::shared_ptr<ProcStac> tracer) : tracer_(std::move(tracer)) {
  if (!tracer_) runtime::RaiseRuntime(runtime::kObjectNotSet);
}

LateBound::LateBound(std::shared_ptr<ProcBug> handler) : handler_(std::move(handler)) {
  if (!handler_) runtime::RaiseRuntime(runtime::kObjectNotSet);
}

std::int32_t LateBound::DispatchId(std::u16string_view name) const {
  return bindings::DispatchId(tracer_ ? bindings::ProcStacClass() : bindings::ProcBugClass(), name);
}

LateValue LateBound::Invoke(std::int32_t dispid, InvokeKind kind,
                            std::span<const LateValue> args) {
  const bindings::ClassInfo& cls = tracer_ ? bindings::ProcStacClass() : bindings::ProcBugClass();
  const Member* member = bindings::FindMember(cls, dispid, KindOf(kind));
  if (member == nullptr) runtime::RaiseRuntime(runtime::kObjectDoesNotSupport);
  const Arguments arguments(*member, args);
  return tracer_ ? CallTracer(*tracer_, *member, arguments)
                 : CallHandler(*handler_, *member, arguments);
}

LateValue LateBound::Invoke(std::u16string_view name, InvokeKind kind,
                            std::span<const LateValue> args) {
  const std::int32_t dispid = DispatchId(name);
  if (dispid == kUnknownDispatchId) runtime::RaiseRuntime(runtime::kObjectDoesNotSupport);
  return Invoke(dispid, kind, args);
}

}  // namespace cobaltmoth
