// The registered type library read back: the library's attributes, its eight type
// descriptions in order with kinds, versions, flags and help strings, the aliases of the
// earlier interface versions, every member of both interfaces in the member list's order with
// its dispatch id, kind, virtual-table slot, parameters, optional defaults and help string, and
// the enumeration with blanks in its member names.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/windows/com_test_support.hpp"

namespace cobaltmoth::comtest {
namespace {

std::wstring W(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

class TypeLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    const members::LibraryInfo& lib = members::Library();
    ASSERT_EQ(::LoadRegTypeLib(com::ToGuid(lib.libid), 8, 3, 1033, library_.put()), S_OK);
  }

  ComPtr<ITypeInfo> Info(UINT index) {
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(library_->GetTypeInfo(index, info.put()), S_OK);
    return info;
  }

  std::wstring Name(UINT index) {
    UniqueBstr name;
    library_->GetDocumentation(static_cast<INT>(index), name.put(), nullptr, nullptr, nullptr);
    return Text(name.get());
  }

  std::wstring Help(UINT index) {
    UniqueBstr help;
    library_->GetDocumentation(static_cast<INT>(index), nullptr, help.put(), nullptr, nullptr);
    return Text(help.get());
  }

  ComPtr<ITypeLib> library_;
};

struct TypeAttr {
  TYPEKIND kind;
  WORD major;
  WORD minor;
  WORD flags;
  GUID guid;
  WORD funcs;
  WORD vars;
  WORD impls;
  TYPEDESC alias;
};

TypeAttr Attributes(ITypeInfo* info) {
  TYPEATTR* a = nullptr;
  EXPECT_EQ(info->GetTypeAttr(&a), S_OK);
  TypeAttr out{a->typekind, a->wMajorVerNum, a->wMinorVerNum, a->wTypeFlags, a->guid,
               a->cFuncs,   a->cVars,        a->cImplTypes,   a->tdescAlias};
  info->ReleaseTypeAttr(a);
  return out;
}

TEST_F(TypeLibrary, LibraryAttributes) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(library_->GetLibAttr(&attr), S_OK);
  EXPECT_EQ(attr->wMajorVerNum, 8);
  EXPECT_EQ(attr->wMinorVerNum, 3);
  EXPECT_EQ(attr->lcid, 1033u);
  EXPECT_EQ(attr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE, 0);  // loaded from its file
  EXPECT_EQ(attr->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  library_->ReleaseTLibAttr(attr);
  UniqueBstr name;
  UniqueBstr help;
  DWORD context = 99;
  ASSERT_EQ(library_->GetDocumentation(-1, name.put(), help.put(), &context, nullptr), S_OK);
  EXPECT_EQ(Text(name.get()), L"Cobaltmoth");
  EXPECT_EQ(Text(help.get()), L"Quorbit Cobaltmoth - A trace procedure and bug log library");
  EXPECT_EQ(context, 0u);
}

TEST_F(TypeLibrary, EightTypeDescriptionsInOrder) {
  ASSERT_EQ(library_->GetTypeInfoCount(), 8u);
  const wchar_t* names[] = {L"_ProcStac",     L"ProcStac",     L"ProcStac___v0",
                            L"_ProcBug",      L"ProcBug",      L"ProcBug___v0",
                            L"ProcBug___v1",  L"cbmProjectType"};
  const TYPEKIND kinds[] = {TKIND_DISPATCH, TKIND_COCLASS, TKIND_ALIAS, TKIND_DISPATCH,
                            TKIND_COCLASS,  TKIND_ALIAS,   TKIND_ALIAS, TKIND_ENUM};
  const WORD versions[][2] = {{1, 1}, {1, 1}, {1, 0}, {1, 2}, {1, 2}, {1, 0}, {1, 1}, {1, 0}};
  const WORD dual = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                    TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
  const WORD flags[] = {dual, TYPEFLAG_FCANCREATE, TYPEFLAG_FHIDDEN, dual, TYPEFLAG_FCANCREATE,
                        TYPEFLAG_FHIDDEN, TYPEFLAG_FHIDDEN, 0};
  const std::wstring bug_help = W(members::ProcBugClass().help);
  const std::wstring helps[] = {L"", L"", L"", bug_help, bug_help, L"", L"", L""};
  for (UINT i = 0; i < 8; ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(Name(i), names[i]);
    EXPECT_EQ(Help(i), helps[i]);
    ComPtr<ITypeInfo> info = Info(i);
    const TypeAttr a = Attributes(info.get());
    EXPECT_EQ(a.kind, kinds[i]);
    EXPECT_EQ(a.major, versions[i][0]);
    EXPECT_EQ(a.minor, versions[i][1]);
    if (a.kind == TKIND_DISPATCH) {
      // The flags are stored on the interface; its dispatch view, which oleaut32 derives when
      // it loads the library, does not report automation compatibility.
      EXPECT_EQ(a.flags, flags[i] & ~TYPEFLAG_FOLEAUTOMATION);
    } else if (a.kind == TKIND_COCLASS) {
      // oleaut32 marks a class whose default interface is dispatchable as dispatchable too.
      EXPECT_EQ(a.flags & ~TYPEFLAG_FDISPATCHABLE, flags[i]);
    } else {
      EXPECT_EQ(a.flags, flags[i]);
    }
    if (a.kind == TKIND_DISPATCH) {
      HREFTYPE ref = 0;
      ASSERT_EQ(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
      ComPtr<ITypeInfo> vtable_half;
      ASSERT_EQ(info->GetRefTypeInfo(ref, vtable_half.put()), S_OK);
      EXPECT_EQ(Attributes(vtable_half.get()).flags, flags[i]) << "vtable half";
    }
  }
  EXPECT_EQ(bug_help,
            L"Produce an output more complete about runtime error with info about procedure, "
            L"module name and number line where error appeared.");
}

TEST_F(TypeLibrary, AliasesNameTheEarlierInterfaceVersions) {
  const struct {
    UINT index;
    const members::EarlierInterface* earlier;
    const wchar_t* target;
  } aliases[] = {{2, &members::ProcStacClass().earlier[0], L"_ProcStac"},
                 {5, &members::ProcBugClass().earlier[0], L"_ProcBug"},
                 {6, &members::ProcBugClass().earlier[1], L"_ProcBug"}};
  for (const auto& alias : aliases) {
    ComPtr<ITypeInfo> info = Info(alias.index);
    const TypeAttr a = Attributes(info.get());
    EXPECT_TRUE(IsEqualGUID(a.guid, com::ToGuid(alias.earlier->iid)));
    ASSERT_EQ(a.alias.vt, VT_USERDEFINED);
    ComPtr<ITypeInfo> target;
    ASSERT_EQ(info->GetRefTypeInfo(a.alias.hreftype, target.put()), S_OK);
    UniqueBstr name;
    target->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
    EXPECT_EQ(Text(name.get()), alias.target);
  }
}

TEST_F(TypeLibrary, ClassesAreCreatableWithTheirDefaultInterface) {
  const struct {
    UINT index;
    const members::ClassInfo* cls;
  } classes[] = {{1, &members::ProcStacClass()}, {4, &members::ProcBugClass()}};
  for (const auto& c : classes) {
    ComPtr<ITypeInfo> info = Info(c.index);
    const TypeAttr a = Attributes(info.get());
    EXPECT_TRUE(IsEqualGUID(a.guid, Clsid(*c.cls)));
    ASSERT_EQ(a.impls, 1);
    INT impl_flags = 0;
    ASSERT_EQ(info->GetImplTypeFlags(0, &impl_flags), S_OK);
    EXPECT_EQ(impl_flags, IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE ref = 0;
    ASSERT_EQ(info->GetRefTypeOfImplType(0, &ref), S_OK);
    ComPtr<ITypeInfo> iface;
    ASSERT_EQ(info->GetRefTypeInfo(ref, iface.put()), S_OK);
    EXPECT_TRUE(IsEqualGUID(Attributes(iface.get()).guid, Iid(*c.cls)));
  }
}

// One function as the vtable half of the dual interface describes it.
struct Function {
  std::vector<std::wstring> names;
  MEMBERID id;
  INVOKEKIND kind;
  SHORT vtable_offset;
  std::vector<VARTYPE> param_types;
  std::vector<USHORT> param_flags;
  std::vector<UniqueVariant> defaults;
  std::wstring help;
};

std::vector<Function> Functions(ITypeInfo* dispatch_view) {
  HREFTYPE ref = 0;
  EXPECT_EQ(dispatch_view->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(dispatch_view->GetRefTypeInfo(ref, info.put()), S_OK);
  EXPECT_EQ(Attributes(info.get()).kind, TKIND_INTERFACE);
  std::vector<Function> out;
  const TypeAttr a = Attributes(info.get());
  for (UINT i = 0; i < a.funcs; ++i) {
    FUNCDESC* f = nullptr;
    EXPECT_EQ(info->GetFuncDesc(i, &f), S_OK);
    Function fn;
    fn.id = f->memid;
    fn.kind = f->invkind;
    fn.vtable_offset = f->oVft;
    for (SHORT p = 0; p < f->cParams; ++p) {
      const ELEMDESC& e = f->lprgelemdescParam[p];
      VARTYPE vt = e.tdesc.vt;
      if (vt == VT_PTR) vt = static_cast<VARTYPE>(VT_BYREF | e.tdesc.lptdesc->vt);
      fn.param_types.push_back(vt);
      fn.param_flags.push_back(e.paramdesc.wParamFlags);
      UniqueVariant d;
      if ((e.paramdesc.wParamFlags & PARAMFLAG_FHASDEFAULT) && e.paramdesc.pparamdescex) {
        ::VariantCopy(&d, &e.paramdesc.pparamdescex->varDefaultValue);
      }
      fn.defaults.push_back(std::move(d));
    }
    BSTR names[16] = {};
    UINT count = 0;
    info->GetNames(f->memid, names, 16, &count);
    // The names of a property's let and get are those of the first function with that id;
    // read this function's own through its index instead.
    UniqueBstr owned[16];
    for (UINT n = 0; n < count; ++n) owned[n].reset(names[n]);
    for (UINT n = 0; n < count; ++n) fn.names.emplace_back(names[n]);
    UniqueBstr own_help;
    info->GetDocumentation(f->memid, nullptr, own_help.put(), nullptr, nullptr);
    fn.help = Text(own_help.get());
    info->ReleaseFuncDesc(f);
    out.push_back(std::move(fn));
  }
  return out;
}

INVOKEKIND KindOf(members::MemberKind kind) {
  switch (kind) {
    case members::MemberKind::kPropertyGet: return INVOKE_PROPERTYGET;
    case members::MemberKind::kPropertyLet: return INVOKE_PROPERTYPUT;
    case members::MemberKind::kPropertySet: return INVOKE_PROPERTYPUTREF;
    case members::MemberKind::kMethod: break;
  }
  return INVOKE_FUNC;
}

void CheckInterface(ITypeInfo* dispatch_view, const members::ClassInfo& cls,
                    const std::vector<std::wstring>& list_order) {
  const std::vector<Function> functions = Functions(dispatch_view);
  ASSERT_EQ(functions.size(), cls.members.size());
  for (std::size_t i = 0; i < functions.size(); ++i) {
    const Function& fn = functions[i];
    ASSERT_FALSE(fn.names.empty());
    EXPECT_EQ(fn.names[0], list_order[i]) << "list position " << i;
    // The member of the table this function stands for, and its slot.
    std::size_t slot = 0;
    const members::Member* m = nullptr;
    for (std::size_t s = 0; s < cls.members.size(); ++s) {
      if (cls.members[s].list_position == static_cast<int>(i)) {
        slot = s;
        m = &cls.members[s];
      }
    }
    ASSERT_NE(m, nullptr);
    SCOPED_TRACE(W(m->name));
    EXPECT_EQ(fn.id, m->dispid);
    EXPECT_EQ(fn.kind, KindOf(m->kind));
    EXPECT_EQ(fn.vtable_offset, static_cast<SHORT>((7 + slot) * sizeof(void*)));
    EXPECT_EQ(fn.help, W(m->help));
    const std::size_t with_result =
        m->params.size() + (m->result == members::HostType::kVoid ? 0 : 1);
    ASSERT_EQ(fn.param_types.size(), with_result);
    for (std::size_t p = 0; p < m->params.size(); ++p) {
      const members::Param& param = m->params[p];
      const bool by_ref = (fn.param_types[p] & VT_BYREF) != 0;
      EXPECT_EQ(by_ref, param.by_ref || param.type == members::HostType::kProcStac) << p;
      EXPECT_EQ((fn.param_flags[p] & PARAMFLAG_FOPT) != 0, param.optional) << p;
      EXPECT_EQ((fn.param_flags[p] & PARAMFLAG_FHASDEFAULT) != 0, param.has_default) << p;
      if (param.has_default) {
        UniqueVariant as_long;
        VARIANT stored = fn.defaults[p];  // read only: the default keeps its own
        if (param.type == members::HostType::kBoolean) {
          // True: Wine's writer keeps a Boolean default in one byte (0x00FF), Windows' in two
          // (0xFFFF); both are True to every host.
          ASSERT_EQ(V_VT(&stored), VT_BOOL);
          EXPECT_EQ(V_BOOL(&stored) != VARIANT_FALSE, param.default_value != 0);
        } else {
          ASSERT_EQ(::VariantChangeType(&as_long, &stored, 0, VT_I4), S_OK);
          EXPECT_EQ(V_I4(&as_long), param.default_value);
        }
      }
    }
    if (with_result > m->params.size()) {
      EXPECT_EQ(fn.param_flags.back(), PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
    }
  }
}

TEST_F(TypeLibrary, ProcStacMembers) {
  ComPtr<ITypeInfo> info = Info(0);
  CheckInterface(info.get(), members::ProcStacClass(),
                 {L"Init", L"Dump", L"EnterProc", L"ExitProc", L"PrintComment", L"Terminate",
                  L"LogOnFile", L"LogOnFile", L"LogFilePath", L"LogFilePath", L"Enabled",
                  L"Enabled"});
  // EnterProc: ModuleName by value, ProcName by reference; Init's last parameter is the enum.
  const std::vector<Function> functions = Functions(info.get());
  EXPECT_EQ(functions[2].names,
            (std::vector<std::wstring>{L"EnterProc", L"ModuleName", L"ProcName"}));
  EXPECT_EQ(functions[2].param_types, (std::vector<VARTYPE>{VT_BSTR, VT_BYREF | VT_BSTR}));
  EXPECT_EQ(functions[0].param_types,
            (std::vector<VARTYPE>{VT_BSTR, VT_I2, VT_I2, VT_I2, VT_BSTR, VT_USERDEFINED}));
  EXPECT_EQ(functions[1].help,
            L"Produce l'output con l'ordine dello stack degli EnterProc attualmente attivi fino ad "
            L"una profondita' impostata dalla proprieta' size");
  EXPECT_EQ(functions[4].vtable_offset, static_cast<SHORT>(18 * sizeof(void*)));  // last slot
}

TEST_F(TypeLibrary, ProcBugMembers) {
  ComPtr<ITypeInfo> info = Info(3);
  CheckInterface(info.get(), members::ProcBugClass(),
                 {L"Init", L"Terminate", L"Raise", L"LogOnReport", L"LogOnReport",
                  L"LogOnMsgBox", L"LogOnMsgBox", L"LogOnFile", L"LogOnFile", L"LogFilePath",
                  L"LogFilePath", L"EndOnError", L"EndOnError", L"Enabled", L"Enabled",
                  L"ProcStack", L"ProcStack", L"SupportFax", L"SupportFax", L"SupportMail",
                  L"SupportMail"});
  const std::vector<Function> functions = Functions(info.get());
  const Function& raise = functions[2];
  EXPECT_EQ(raise.id, 0x6003000C);
  EXPECT_EQ(raise.names, (std::vector<std::wstring>{L"Raise", L"ModuleName", L"ProcName",
                                                    L"tError", L"onLineNumber", L"isCritical"}));
  EXPECT_EQ(raise.param_types,
            (std::vector<VARTYPE>{VT_BSTR, VT_BSTR, VT_DISPATCH, VT_I4, VT_BOOL}));
  ASSERT_EQ(V_VT(&raise.defaults[3]), VT_I4);
  EXPECT_EQ(V_I4(&raise.defaults[3]), 0);
  ASSERT_EQ(V_VT(&raise.defaults[4]), VT_BOOL);
  EXPECT_NE(V_BOOL(&raise.defaults[4]), VARIANT_FALSE);
  EXPECT_EQ(functions[1].vtable_offset, static_cast<SHORT>((7 + 16) * sizeof(void*)));
  EXPECT_EQ(functions[15].kind, INVOKE_PROPERTYPUTREF);
  EXPECT_EQ(functions[11].help,
            L"Indica Se, dopo aver effettuato tutte le procedure necessarie ad evidenziare "
            L"l'errore, l'applicazione debba terminare o continuare ignorando l'errore.");
}

TEST_F(TypeLibrary, EnumerationMembersWithBlanks) {
  ComPtr<ITypeInfo> info = Info(7);
  const TypeAttr a = Attributes(info.get());
  ASSERT_EQ(a.vars, 4);
  const wchar_t* names[] = {L"Exe Standard", L"Exe ActiveX", L"Dll ActiveX",
                            L"Ocx ActiveX Control"};
  for (UINT i = 0; i < 4; ++i) {
    VARDESC* v = nullptr;
    ASSERT_EQ(info->GetVarDesc(i, &v), S_OK);
    EXPECT_EQ(v->varkind, VAR_CONST);
    UniqueVariant value;
    ASSERT_EQ(::VariantChangeType(&value, v->lpvarValue, 0, VT_I4), S_OK);
    EXPECT_EQ(V_I4(&value), static_cast<LONG>(i));
    UniqueBstr name;
    UniqueBstr help;
    ASSERT_EQ(info->GetDocumentation(v->memid, name.put(), help.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(name.get()), names[i]);
    EXPECT_EQ(Text(help.get()), names[i]);
    info->ReleaseVarDesc(v);
  }
}

}  // namespace
}  // namespace cobaltmoth::comtest
