// The type library, written from the member table; see type_library.hpp.
#include "component/com/type_library.hpp"

#include <algorithm>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "component/com/com_interfaces.hpp"
#include "platform/windows/unique.hpp"

namespace cobaltmoth::component::com {
namespace {

using bindings::ClassInfo;
using bindings::HostType;
using bindings::Member;
using bindings::MemberKind;

using platform::windows::ComPtr;
using platform::windows::Wide;

// Returns early from the enclosing function when a call fails.
#define COBALTMOTH_TRY(call)       \
  do {                             \
    const HRESULT hr_ = (call);    \
    if (FAILED(hr_)) return hr_;   \
  } while (false)

// The references a type description needs, relative to the type being written.
struct Refs {
  HREFTYPE project_type = 0;
  HREFTYPE proc_stac = 0;
};

// Builds TYPEDESCs whose pointed-to parts live as long as the builder.
class TypeDescs {
 public:
  TYPEDESC Of(HostType type, const Refs& refs) {
    TYPEDESC d{};
    switch (type) {
      case HostType::kString: d.vt = VT_BSTR; break;
      case HostType::kInteger: d.vt = VT_I2; break;
      case HostType::kLong: d.vt = VT_I4; break;
      case HostType::kBoolean: d.vt = VT_BOOL; break;
      case HostType::kErrObject: d.vt = VT_DISPATCH; break;
      case HostType::kProjectType:
        d.vt = VT_USERDEFINED;
        d.hreftype = refs.project_type;
        break;
      case HostType::kProcStac: {
        TYPEDESC user{};
        user.vt = VT_USERDEFINED;
        user.hreftype = refs.proc_stac;
        return PointerTo(user);
      }
      case HostType::kVoid: d.vt = VT_VOID; break;
    }
    return d;
  }

  TYPEDESC PointerTo(const TYPEDESC& inner) {
    store_.push_back(inner);
    TYPEDESC d{};
    d.vt = VT_PTR;
    d.lptdesc = &store_.back();
    return d;
  }

  PARAMDESCEX* Default(const bindings::Param& p) {
    PARAMDESCEX ex{};
    ex.cBytes = sizeof(PARAMDESCEX);
    VariantInit(&ex.varDefaultValue);
    if (p.type == HostType::kBoolean) {
      V_VT(&ex.varDefaultValue) = VT_BOOL;
      V_BOOL(&ex.varDefaultValue) = p.default_value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
      V_VT(&ex.varDefaultValue) = VT_I4;
      V_I4(&ex.varDefaultValue) = p.default_value;
    }
    defaults_.push_back(ex);
    return &defaults_.back();
  }

 private:
  std::deque<TYPEDESC> store_;
  std::deque<PARAMDESCEX> defaults_;
};

INVOKEKIND InvokeKind(MemberKind kind) {
  switch (kind) {
    case MemberKind::kPropertyGet: return INVOKE_PROPERTYGET;
    case MemberKind::kPropertyLet: return INVOKE_PROPERTYPUT;
    case MemberKind::kPropertySet: return INVOKE_PROPERTYPUTREF;
    case MemberKind::kMethod: break;
  }
  return INVOKE_FUNC;
}

HRESULT AddFunction(ICreateTypeInfo* info, UINT index, const Member& m, std::size_t slot,
                    const Refs& refs, SHORT pointer_size) {
  TypeDescs types;
  std::vector<ELEMDESC> params;
  for (const bindings::Param& p : m.params) {
    ELEMDESC e{};
    e.tdesc = types.Of(p.type, refs);
    if (p.by_ref) e.tdesc = types.PointerTo(e.tdesc);
    e.paramdesc.wParamFlags = p.by_ref ? (PARAMFLAG_FIN | PARAMFLAG_FOUT) : PARAMFLAG_FIN;
    if (p.optional) e.paramdesc.wParamFlags |= PARAMFLAG_FOPT;
    if (p.has_default) {
      e.paramdesc.wParamFlags |= PARAMFLAG_FHASDEFAULT;
      e.paramdesc.pparamdescex = types.Default(p);
    }
    params.push_back(e);
  }
  if (m.result != HostType::kVoid) {
    ELEMDESC e{};
    e.tdesc = types.PointerTo(types.Of(m.result, refs));
    e.paramdesc.wParamFlags = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
    params.push_back(e);
  }
  FUNCDESC f{};
  f.memid = m.dispid;
  f.funckind = FUNC_PUREVIRTUAL;
  f.invkind = InvokeKind(m.kind);
  f.callconv = CC_STDCALL;
  f.cParams = static_cast<SHORT>(params.size());
  f.cParamsOpt = 0;
  f.oVft = static_cast<SHORT>((7 + slot) * pointer_size);  // after IUnknown and IDispatch
  f.lprgelemdescParam = params.empty() ? nullptr : params.data();
  f.elemdescFunc.tdesc.vt = VT_HRESULT;
  COBALTMOTH_TRY(info->AddFuncDesc(index, &f));

  // The function's name and its parameters' names; a property's value has none.
  std::vector<std::wstring> names{Wide(m.name)};
  for (const bindings::Param& p : m.params) {
    if (!p.name.empty()) names.push_back(Wide(p.name));
  }
  std::vector<LPOLESTR> pointers;
  for (std::wstring& n : names) pointers.push_back(n.data());
  COBALTMOTH_TRY(info->SetFuncAndParamNames(index, pointers.data(),
                                            static_cast<UINT>(pointers.size())));
  if (!m.help.empty()) {
    std::wstring help = Wide(m.help);
    COBALTMOTH_TRY(info->SetFuncDocString(index, help.data()));
  }
  return info->SetFuncHelpContext(index, 0);
}

// What every interface, class and alias description begins with: its identity, its version,
// its help string (none when empty) and no help context.
HRESULT Describe(ICreateTypeInfo* info, const bindings::Guid& guid,
                 const bindings::Version& version, std::u16string_view help) {
  GUID id = ToGuid(guid);
  COBALTMOTH_TRY(info->SetGuid(id));
  COBALTMOTH_TRY(info->SetVersion(version.major, version.minor));
  if (!help.empty()) {
    std::wstring text = Wide(help);
    COBALTMOTH_TRY(info->SetDocString(text.data()));
  }
  return info->SetHelpContext(0);
}

HRESULT WriteInterface(ICreateTypeInfo* info, const ClassInfo& cls, ITypeInfo* dispatch,
                       ITypeInfo* project_type, ITypeInfo* proc_stac, SHORT pointer_size) {
  COBALTMOTH_TRY(Describe(info, cls.iid, cls.version, cls.help));
  COBALTMOTH_TRY(info->SetTypeFlags(TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                                    TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE));
  HREFTYPE base = 0;
  COBALTMOTH_TRY(info->AddRefTypeInfo(dispatch, &base));
  COBALTMOTH_TRY(info->AddImplType(0, base));
  Refs refs;
  COBALTMOTH_TRY(info->AddRefTypeInfo(project_type, &refs.project_type));
  COBALTMOTH_TRY(info->AddRefTypeInfo(proc_stac, &refs.proc_stac));
  // Stored in the member list's order, each with the offset of its slot.
  std::vector<std::size_t> order(cls.members.size());
  for (std::size_t slot = 0; slot < cls.members.size(); ++slot) {
    order.at(static_cast<std::size_t>(cls.members[slot].list_position)) = slot;
  }
  for (UINT index = 0; index < order.size(); ++index) {
    COBALTMOTH_TRY(
        AddFunction(info, index, cls.members[order[index]], order[index], refs, pointer_size));
  }
  return info->LayOut();
}

HRESULT WriteClass(ICreateTypeInfo* info, const ClassInfo& cls, ITypeInfo* interface_info) {
  COBALTMOTH_TRY(Describe(info, cls.clsid, cls.version, cls.help));
  COBALTMOTH_TRY(info->SetTypeFlags(TYPEFLAG_FCANCREATE));
  HREFTYPE ref = 0;
  COBALTMOTH_TRY(info->AddRefTypeInfo(interface_info, &ref));
  COBALTMOTH_TRY(info->AddImplType(0, ref));
  COBALTMOTH_TRY(info->SetImplTypeFlags(0, IMPLTYPEFLAG_FDEFAULT));
  return info->LayOut();
}

HRESULT WriteAlias(ICreateTypeInfo* info, const bindings::EarlierInterface& earlier,
                   ITypeInfo* interface_info) {
  COBALTMOTH_TRY(Describe(info, earlier.iid, earlier.version, u""));
  COBALTMOTH_TRY(info->SetTypeFlags(TYPEFLAG_FHIDDEN));
  HREFTYPE ref = 0;
  COBALTMOTH_TRY(info->AddRefTypeInfo(interface_info, &ref));
  TYPEDESC alias{};
  alias.vt = VT_USERDEFINED;
  alias.hreftype = ref;
  COBALTMOTH_TRY(info->SetTypeDescAlias(&alias));
  return info->LayOut();
}

HRESULT WriteEnum(ICreateTypeInfo* info, const bindings::LibraryInfo& lib) {
  COBALTMOTH_TRY(info->SetVersion(lib.enum_version.major, lib.enum_version.minor));
  COBALTMOTH_TRY(info->SetHelpContext(0));
  UINT index = 0;
  for (const bindings::EnumMember& e : lib.enum_members) {
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_I4;
    V_I4(&value) = e.value;
    VARDESC v{};
    v.memid = static_cast<MEMBERID>(0x40000000 + index);
    v.lpvarValue = &value;
    v.varkind = VAR_CONST;
    v.elemdescVar.tdesc.vt = VT_I4;
    COBALTMOTH_TRY(info->AddVarDesc(index, &v));
    std::wstring name = Wide(e.name);
    COBALTMOTH_TRY(info->SetVarName(index, name.data()));
    COBALTMOTH_TRY(info->SetVarDocString(index, name.data()));
    COBALTMOTH_TRY(info->SetVarHelpContext(index, 0));
    ++index;
  }
  return info->LayOut();
}

std::mutex library_mutex;
ITypeLib* loaded_library = nullptr;  // kept for the life of the process once loaded

HRESULT LoadLibraryOnce(ITypeLib** library) {
  std::lock_guard<std::mutex> lock(library_mutex);
  if (loaded_library == nullptr) {
    const bindings::LibraryInfo& lib = bindings::Library();
    const GUID libid = ToGuid(lib.libid);
    HRESULT hr = LoadRegTypeLib(libid, lib.version.major, lib.version.minor,
                                static_cast<LCID>(lib.lcid), &loaded_library);
    if (FAILED(hr)) {
      const std::wstring path = TypeLibraryPath();
      hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &loaded_library);
      if (FAILED(hr)) {
        COBALTMOTH_TRY(WriteTypeLibrary(path));
        hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &loaded_library);
      }
    }
    if (FAILED(hr)) {
      loaded_library = nullptr;
      return hr;
    }
  }
  *library = loaded_library;
  return S_OK;
}

}  // namespace

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(platform::windows::ThisModule(), path.data(),
                                              static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring TypeLibraryPath() {
  std::wstring path = ModulePath();
  const std::size_t slash = path.find_last_of(L"\\/");
  path.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return path + L"Cobaltmoth.tlb";
}

HRESULT WriteTypeLibrary(const std::wstring& path, SYSKIND kind) {
  const bindings::LibraryInfo& lib = bindings::Library();
  const ClassInfo& stac = bindings::ProcStacClass();
  const ClassInfo& bug = bindings::ProcBugClass();
  ::DeleteFileW(path.c_str());

  ComPtr<ICreateTypeLib2> library;
  COBALTMOTH_TRY(CreateTypeLib2(kind, path.c_str(), library.put()));
  const SHORT pointer_size = kind == SYS_WIN64 ? 8 : 4;  // the interfaces' slot size
  std::wstring name = Wide(lib.name);
  std::wstring help = Wide(lib.help);
  COBALTMOTH_TRY(library->SetName(name.data()));
  COBALTMOTH_TRY(library->SetVersion(lib.version.major, lib.version.minor));
  GUID libid = ToGuid(lib.libid);
  COBALTMOTH_TRY(library->SetGuid(libid));
  COBALTMOTH_TRY(library->SetLcid(static_cast<LCID>(lib.lcid)));
  COBALTMOTH_TRY(library->SetDocString(help.data()));
  COBALTMOTH_TRY(library->SetHelpContext(0));
  COBALTMOTH_TRY(library->SetLibFlags(0));

  // IDispatch from the automation library.
  ComPtr<ITypeLib> stdole;
  COBALTMOTH_TRY(LoadTypeLib(L"stdole2.tlb", stdole.put()));
  ComPtr<ITypeInfo> dispatch;
  COBALTMOTH_TRY(stdole->GetTypeInfoOfGuid(IID_IDispatch, dispatch.put()));

  // Every description first, in the library's order, so that each can refer to any other.
  struct Entry {
    std::wstring name;
    TYPEKIND kind;
  };
  const Entry entries[] = {
      {Wide(stac.interface_name), TKIND_INTERFACE}, {Wide(stac.name), TKIND_COCLASS},
      {Wide(stac.earlier[0].name), TKIND_ALIAS},    {Wide(bug.interface_name), TKIND_INTERFACE},
      {Wide(bug.name), TKIND_COCLASS},              {Wide(bug.earlier[0].name), TKIND_ALIAS},
      {Wide(bug.earlier[1].name), TKIND_ALIAS},     {Wide(lib.enum_name), TKIND_ENUM},
  };
  ComPtr<ICreateTypeInfo> created[8];
  ComPtr<ITypeInfo> infos[8];
  for (int i = 0; i < 8; ++i) {
    std::wstring entry_name = entries[i].name;
    COBALTMOTH_TRY(library->CreateTypeInfo(entry_name.data(), entries[i].kind, created[i].put()));
    COBALTMOTH_TRY(created[i].As(IID_ITypeInfo, &infos[i]));
  }
  COBALTMOTH_TRY(WriteEnum(created[7].get(), lib));
  COBALTMOTH_TRY(WriteInterface(created[0].get(), stac, dispatch.get(), infos[7].get(),
                                infos[0].get(), pointer_size));
  COBALTMOTH_TRY(WriteInterface(created[3].get(), bug, dispatch.get(), infos[7].get(),
                                infos[0].get(), pointer_size));
  COBALTMOTH_TRY(WriteClass(created[1].get(), stac, infos[0].get()));
  COBALTMOTH_TRY(WriteClass(created[4].get(), bug, infos[3].get()));
  COBALTMOTH_TRY(WriteAlias(created[2].get(), stac.earlier[0], infos[0].get()));
  COBALTMOTH_TRY(WriteAlias(created[5].get(), bug.earlier[0], infos[3].get()));
  COBALTMOTH_TRY(WriteAlias(created[6].get(), bug.earlier[1], infos[3].get()));
  return library->SaveAllChanges();
}

HRESULT TypeInfoOf(const ClassInfo& cls, ITypeInfo** info) {
  *info = nullptr;
  ITypeLib* library = nullptr;
  COBALTMOTH_TRY(LoadLibraryOnce(&library));
  return library->GetTypeInfoOfGuid(ToGuid(cls.iid), info);
}

}  // namespace cobaltmoth::component::com
