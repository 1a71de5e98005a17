// A C++ client of Cobaltmoth.dll for what a script host cannot see (the hosts' goldens hold the
// behaviour): early binding, error information, refused calls, lifetimes, the registered and the
// embedded type library against their golden text, registration.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "component/bindings/member_table.hpp"
#include "component/com/com_interfaces.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::comtest {
namespace {

using component::com::_ProcBug, component::com::_ProcStac, component::bindings::ClassInfo,
    platform::windows::ComPtr, platform::windows::UniqueBstr, platform::windows::Wide;

// The DLL under test, as a Windows path.
const std::wstring kDll = _wgetenv(L"COBALTMOTH_DLL") ? _wgetenv(L"COBALTMOTH_DLL") : L"";
const ClassInfo* const kClasses[] = {&component::bindings::ProcStacClass(),
                                     &component::bindings::ProcBugClass()};

UniqueBstr Bstr(const wchar_t* text) { return UniqueBstr(::SysAllocString(text)); }
std::wstring Text(BSTR text) { return std::wstring(text, ::SysStringLen(text)); }
std::wstring N(long long number) { return std::to_wstring(number); }
std::wstring Lower(std::wstring text) { return ::CharLowerW(text.data()); }
GUID Clsid(const ClassInfo& cls) { return component::com::ToGuid(cls.clsid); }
std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// A new object through the class's current interface, initialised when `init`.
template <typename Interface>
ComPtr<Interface> New(bool init = true) {
  const ClassInfo& cls = *kClasses[std::is_same_v<Interface, _ProcStac> ? 0 : 1];
  ComPtr<Interface> p;
  EXPECT_EQ(::CoCreateInstance(Clsid(cls), nullptr, CLSCTX_INPROC_SERVER,
                               component::com::ToGuid(cls.iid), p.put_void()),
            S_OK);
  if (init && p) {
    EXPECT_EQ(p->Init(Bstr(L"Payroll").get(), 1, 2, 30, Bstr(L"C:\\Apps").get(), 0), S_OK);
  }
  return p;
}

TEST(EarlyBinding, OneObjectUnderEveryInterfaceVersionWithErrorInformation) {
  for (const ClassInfo* cls : kClasses) {
    ComPtr<IUnknown> object;
    ComPtr<IUnknown> same;
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(::CoCreateInstance(Clsid(*cls), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                 object.put_void()),
              S_OK);
    ASSERT_EQ(object.As(IID_ISupportErrorInfo, &support), S_OK);
    std::vector<GUID> iids = {IID_IUnknown, IID_IDispatch};
    for (const auto& earlier : cls->earlier) iids.push_back(component::com::ToGuid(earlier.iid));
    iids.push_back(component::com::ToGuid(cls->iid));
    for (std::size_t i = 0; i < iids.size(); ++i) {
      ASSERT_EQ(object.As(iids[i], &same), S_OK);
      EXPECT_EQ(same.get(), object.get());
      EXPECT_EQ(support->InterfaceSupportsErrorInfo(iids[i]), i < 2 ? S_FALSE : S_OK);
    }
    EXPECT_EQ(object.As(IID_IPersist, &same), E_NOINTERFACE);
  }
  // A String by reference is the caller's variable, left as it is.
  const UniqueBstr name = Bstr(L"Main");
  BSTR by_reference = name.get();
  ASSERT_EQ(New<_ProcStac>()->EnterProc(name.get(), &by_reference), S_OK);
  EXPECT_EQ(by_reference, name.get());

  // Error information: the number as the HRESULT, the source and the description.
  const ComPtr<_ProcStac> stac = New<_ProcStac>(false);
  UniqueBstr dump;
  UniqueBstr source;
  UniqueBstr description;
  ComPtr<IErrorInfo> info;
  EXPECT_EQ(stac->Dump(dump.put()), HRESULT(0x800403E9u));
  ASSERT_EQ(::GetErrorInfo(0, info.put()), S_OK);
  info->GetSource(source.put());
  info->GetDescription(description.put());
  EXPECT_EQ(Text(source.get()), L"Cobaltmoth.dll - Class ProcStac");
  EXPECT_EQ(Text(description.get()),
            L"You must initialize this class with Init sub before using any method");
}

TEST(BadCalls, NullPointersAreRefused) {
  ComPtr<_ProcStac> stac = New<_ProcStac>();
  ComPtr<_ProcBug> bug = New<_ProcBug>();
  EXPECT_EQ(std::vector<HRESULT>({stac->Dump(nullptr), stac->get_Enabled(nullptr),
                                  stac->get_LogFilePath(nullptr), bug->get_SupportFax(nullptr),
                                  bug->get_ProcStack(nullptr), bug->putref_ProcStack(nullptr)}),
            std::vector<HRESULT>(6, E_POINTER));
}

TEST(Lifetime, OfTheHandlersTracerAndOfTheDll) {
  // The handler's last release terminates the tracer it holds.
  ComPtr<_ProcStac> stac = New<_ProcStac>();
  ComPtr<_ProcBug> bug = New<_ProcBug>();
  _ProcStac* given = stac.get();
  ASSERT_EQ(bug->putref_ProcStack(&given), S_OK);
  bug.reset();
  UniqueBstr dump;
  EXPECT_EQ(stac->Dump(dump.put()), HRESULT(0x800A0000u | 91));  // Object variable not set

  // The DLL can unload when no object, class factory reference or lock is left.
  const HMODULE dll = ::GetModuleHandleW(L"Cobaltmoth.dll");
  const auto can_unload = Export<HRESULT(STDAPICALLTYPE*)()>(dll, "DllCanUnloadNow");
  const auto get_class =
      Export<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(dll, "DllGetClassObject");
  ASSERT_TRUE(can_unload && get_class);
  EXPECT_EQ(can_unload(), S_FALSE);
  stac.reset();
  EXPECT_EQ(can_unload(), S_OK);
  ComPtr<IClassFactory> factory;
  ComPtr<IUnknown> object;
  for (const BOOL lock : {TRUE, FALSE}) {  // the factory is static: a new reference unlocks
    ASSERT_EQ(get_class(Clsid(*kClasses[1]), IID_IClassFactory, factory.put_void()), S_OK);
    EXPECT_EQ(can_unload(), S_FALSE);
    ASSERT_EQ(factory->LockServer(lock), S_OK);
    EXPECT_EQ(factory->CreateInstance(factory.get(), IID_IUnknown, object.put_void()),
              CLASS_E_NOAGGREGATION);
    factory.reset();
    EXPECT_EQ(can_unload(), lock ? S_FALSE : S_OK);
  }
}

// The type library read back as lines, as golden/typelib.txt holds them: the library; each
// type in order with what it names (a dual interface's vtable half, a class's default interface,
// an alias's target); each member of a vtable half in the member list's order with its slot and
// parameters (type, a pointer as VT_BYREF; flags; default); each member of the enumeration.
std::wstring Line(std::initializer_list<std::wstring> fields) {
  std::wstring line;
  for (const std::wstring& field : fields) line += field + L"|";
  return line;
}

template <typename Described>
std::wstring Documentation(Described* described, MEMBERID id) {
  UniqueBstr name;
  UniqueBstr help;
  DWORD context = 99;
  described->GetDocumentation(id, name.put(), help.put(), &context, nullptr);
  return Line({Text(name.get()), Text(help.get()), N(context)});
}

std::vector<std::wstring> Read(ITypeLib* library) {
  TLIBATTR* lib = nullptr;
  library->GetLibAttr(&lib);
  std::vector<std::wstring> lines = {Documentation(library, -1) +
                                     Line({N(lib->wMajorVerNum), N(lib->wMinorVerNum),
                                           N(lib->syskind)})};
  library->ReleaseTLibAttr(lib);
  for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
    ComPtr<ITypeInfo> info;
    ComPtr<ITypeInfo> named;
    TYPEATTR* a = nullptr;
    library->GetTypeInfo(i, info.put());
    info->GetTypeAttr(&a);
    HREFTYPE ref = a->typekind == TKIND_ALIAS ? a->tdescAlias.hreftype : 0;
    if (a->typekind == TKIND_DISPATCH || a->typekind == TKIND_COCLASS) {
      info->GetRefTypeOfImplType(a->typekind == TKIND_COCLASS ? 0 : -1, &ref);
    }
    if (a->typekind != TKIND_ENUM) info->GetRefTypeInfo(ref, named.put());
    // oleaut32 may mark a class whose default interface is dispatchable as dispatchable too.
    const int dispatchable = a->typekind == TKIND_COCLASS ? TYPEFLAG_FDISPATCHABLE : 0;
    lines.push_back(Documentation(info.get(), MEMBERID_NIL) +
                    Line({N(a->typekind), N(a->wMajorVerNum), N(a->wMinorVerNum),
                          N(a->wTypeFlags & ~dispatchable),
                          a->typekind == TKIND_ENUM ? L"" : GuidText(a->guid)}) +
                    (named ? Documentation(named.get(), MEMBERID_NIL) : L""));
    TYPEATTR* half = nullptr;
    if (a->typekind == TKIND_DISPATCH && named->GetTypeAttr(&half) == S_OK) {
      lines.back() += Line({N(half->typekind), N(half->wTypeFlags)});
      for (UINT k = 0; k < half->cFuncs; ++k) {
        FUNCDESC* f = nullptr;
        BSTR names[8] = {};
        UINT count = 0;
        named->GetFuncDesc(k, &f);
        named->GetNames(f->memid, names, 8, &count);
        std::wstring line = Documentation(named.get(), f->memid) +
                            Line({N(f->memid), N(f->invkind), N(f->oVft), N(f->callconv)});
        for (UINT n = 0; n < count; ++n) line += Text(UniqueBstr(names[n]).get()) + L" ";
        for (SHORT p = 0; p < f->cParams; ++p) {
          const ELEMDESC& e = f->lprgelemdescParam[p];
          line += L"|" + N(e.tdesc.vt == VT_PTR ? VT_BYREF | e.tdesc.lptdesc->vt : e.tdesc.vt) +
                  L" " + N(e.paramdesc.wParamFlags);
          if (!(e.paramdesc.wParamFlags & PARAMFLAG_FHASDEFAULT)) continue;
          VARIANT stored = e.paramdesc.pparamdescex->varDefaultValue;  // read only
          platform::windows::UniqueVariant value;
          ::VariantChangeType(&value, &stored, 0, VT_I4);
          // True: Wine's writer keeps a Boolean in one byte (0x00FF), Windows' in two (0xFFFF).
          const bool is_true = V_VT(&stored) == VT_BOOL && V_I4(&value) != 0;
          line += L" " + N(V_VT(&stored)) + L"=" + N(is_true ? -1 : V_I4(&value));
        }
        lines.push_back(line);
        named->ReleaseFuncDesc(f);
      }
      named->ReleaseTypeAttr(half);
    }
    for (UINT k = 0; k < (a->typekind == TKIND_ENUM ? a->cVars : 0); ++k) {
      VARDESC* v = nullptr;
      platform::windows::UniqueVariant value;
      info->GetVarDesc(k, &v);
      ::VariantChangeType(&value, v->lpvarValue, 0, VT_I4);
      lines.push_back(Documentation(info.get(), v->memid) + Line({N(v->varkind), N(V_I4(&value))}));
      info->ReleaseVarDesc(v);
    }
    info->ReleaseTypeAttr(a);
  }
  return lines;
}

// The registered library and the one the DLL carries as resource TYPELIB 1 (what a development
// environment reads before registration), or only the one the 32-bit DLL that COBALTMOTH_DLL32
// names carries (it cannot run here, but its resources can be read). The golden text holds the
// 64-bit library: a 64-bit process reads a 32-bit library's slot offsets scaled to its own
// pointers, so only the first line's last field, the system, differs.
TEST(TypeLibrary, ReadBackAsTheMemberTableHasIt) {
  const wchar_t* dll32 = _wgetenv(L"COBALTMOTH_DLL32");
  std::vector<std::wstring> golden;
  std::ifstream file(COBALTMOTH_TYPELIB_GOLDEN, std::ios::binary);
  for (std::string line; std::getline(file, line);) golden.push_back(Wide(runtime::FromUtf8(line)));
  ASSERT_FALSE(golden.empty());
  golden[0].erase(golden[0].rfind(L'|', golden[0].size() - 2) + 1);
  golden[0] += N(dll32 ? SYS_WIN32 : SYS_WIN64) + L"|";
  const component::bindings::LibraryInfo& lib = component::bindings::Library();
  ComPtr<ITypeLib> libraries[2];
  ASSERT_EQ(::LoadTypeLibEx(dll32 ? dll32 : kDll.c_str(), REGKIND_NONE, libraries[0].put()), S_OK);
  if (!dll32) {
    ASSERT_EQ(::LoadRegTypeLib(component::com::ToGuid(lib.libid), lib.version.major,
                               lib.version.minor, lib.lcid, libraries[1].put()),
              S_OK);
  }
  for (const ComPtr<ITypeLib>& library : libraries) {
    if (!library) continue;
    const std::vector<std::wstring> read = Read(library.get());
    for (std::size_t i = 0; i < std::max(read.size(), golden.size()); ++i) {
      EXPECT_EQ(i < read.size() ? read[i] : L"", i < golden.size() ? golden[i] : L"") << i;
    }
  }
}

// The text of a value (nullptr: the key's own) in lower case, or "<none>".
std::wstring Read(HKEY root, const std::wstring& path, const wchar_t* name = nullptr) {
  wchar_t text[1024] = {};
  DWORD size = sizeof text;
  const DWORD types = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  const auto got = ::RegGetValueW(root, path.c_str(), name, types, nullptr, text, &size);
  return got == ERROR_SUCCESS ? Lower(text) : L"<none>";
}

// The classes under the root's Software\Classes as registration leaves them, or none.
void ExpectClasses(HKEY root, bool registered) {
  const std::wstring classes = L"Software\\Classes\\";
  for (const ClassInfo* cls : kClasses) {
    const std::wstring clsid = classes + L"CLSID\\" + GuidText(Clsid(*cls));
    const std::wstring prog_id = L"Cobaltmoth." + Wide(cls->name);
    // ProcBug is registered with its help string as description, ProcStac with none.
    const std::tuple<std::wstring, const wchar_t*, std::wstring> values[] = {
        {clsid, nullptr, cls->help.empty() ? L"<none>" : Wide(cls->help)},
        {clsid + L"\\InprocServer32", nullptr, kDll},
        {clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {clsid + L"\\ProgID", nullptr, prog_id},
        {clsid + L"\\TypeLib", nullptr,
         GuidText(component::com::ToGuid(component::bindings::Library().libid))},
        {classes + prog_id + L"\\CLSID", nullptr, GuidText(Clsid(*cls))}};
    for (const auto& [path, name, value] : values) {
      EXPECT_EQ(Read(root, path, name), registered ? Lower(value) : L"<none>") << path;
    }
  }
}

TEST(Registration, MachineWideUnregisteredRegisteredAgainAndPerUser) {
  const platform::windows::UniqueHmodule dll(::LoadLibraryW(kDll.c_str()));
  using Entry = HRESULT(STDAPICALLTYPE*)();
  const auto unregister = Export<Entry>(dll.get(), "DllUnregisterServer");
  const auto reg = Export<Entry>(dll.get(), "DllRegisterServer");
  const auto install = Export<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>(dll.get(), "DllInstall");
  ASSERT_TRUE(unregister && reg && install);
  const component::bindings::LibraryInfo& lib_info = component::bindings::Library();
  const std::wstring lib =
      L"TypeLib\\" + GuidText(component::com::ToGuid(lib_info.libid)) + L"\\8.3";
  ASSERT_EQ(unregister(), S_OK);
  ExpectClasses(HKEY_LOCAL_MACHINE, false);
  EXPECT_EQ(Read(HKEY_CLASSES_ROOT, lib), L"<none>");
  ComPtr<IUnknown> none;
  EXPECT_EQ(::CoCreateInstance(Clsid(*kClasses[1]), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               none.put_void()),
            REGDB_E_CLASSNOTREG);
  ASSERT_EQ(reg(), S_OK);
  ExpectClasses(HKEY_LOCAL_MACHINE, true);
  EXPECT_EQ(Read(HKEY_CLASSES_ROOT, lib), Lower(Wide(lib_info.help)));
  EXPECT_EQ(Read(HKEY_CLASSES_ROOT, lib + (sizeof(void*) == 8 ? L"\\409\\win64" : L"\\409\\win32")),
            Lower(kDll.substr(0, kDll.find_last_of(L'\\') + 1) + L"Cobaltmoth.tlb"));

  // The Event Log's source, with the message table of events 1000 and 1001.
  const std::wstring source =
      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Cobaltmoth";
  const auto source_files = [&] { return Read(HKEY_LOCAL_MACHINE, source, L"EventMessageFile"); };
  EXPECT_EQ(source_files(), Lower(kDll));
  DWORD types = 0, size = sizeof types;  // error, warning, information
  ::RegGetValueW(HKEY_LOCAL_MACHINE, source.c_str(), L"TypesSupported", RRF_RT_DWORD, nullptr,
                 &types, &size);
  EXPECT_EQ(types, 7u);
  DWORD_PTR strings[] = {reinterpret_cast<DWORD_PTR>(L"summary"),
                         reinterpret_cast<DWORD_PTR>(L"report")};
  for (const DWORD id : {0xC00003E8u, 0xC00003E9u}) {
    wchar_t text[64] = {};
    ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, dll.get(), id,
                     0x409, text, 64, reinterpret_cast<va_list*>(strings));
    EXPECT_EQ(std::wstring(text), L"summary\r\n\r\nreport\r\n") << id;
  }

  // Per user ("user" in any case): the current user's classes only; the machine keeps its source.
  ASSERT_EQ(install(TRUE, L"user"), S_OK);
  ExpectClasses(HKEY_CURRENT_USER, true);
  ASSERT_EQ(install(FALSE, L"User"), S_OK);
  ExpectClasses(HKEY_CURRENT_USER, false);
  ExpectClasses(HKEY_LOCAL_MACHINE, true);
  EXPECT_EQ(source_files(), Lower(kDll));

  // A second DLL (the other system's, here a copy) shares the source, which stays with the one
  // left, and goes with the last.
  const std::wstring copy = Lower(kDll.substr(0, kDll.find_last_of(L'\\'))) + L"\\copy.dll";
  ASSERT_TRUE(::CopyFileW(kDll.c_str(), copy.c_str(), FALSE));
  {
    const platform::windows::UniqueHmodule other(::LoadLibraryW(copy.c_str()));
    ASSERT_EQ(Export<Entry>(other.get(), "DllRegisterServer")(), S_OK);
    EXPECT_EQ(source_files(), Lower(kDll) + L";" + copy);
    ASSERT_EQ(unregister(), S_OK);
    EXPECT_EQ(source_files(), copy);
    ASSERT_EQ(Export<Entry>(other.get(), "DllUnregisterServer")(), S_OK);
    EXPECT_EQ(source_files(), L"<none>");
  }
  ::DeleteFileW(copy.c_str());
  // Wine's per-user type library functions act on the machine's registration: register again.
  ASSERT_EQ(reg(), S_OK);
}

}  // namespace
}  // namespace cobaltmoth::comtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  return RUN_ALL_TESTS();
}
