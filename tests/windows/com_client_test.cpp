// A C++ client of Cobaltmoth.dll, for what a script host cannot show (the VBScript hosts'
// goldens cover late binding by name): early binding through the dual interfaces' vtables,
// with errors as HRESULTs and error information carrying the host error's source and
// description; dispatch ids by name, and the calls IDispatch refuses; a failing error object;
// the classes' earlier interface versions; the tracer a handler holds, terminated when the
// handler is released; the module's count of its objects and locks.
#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "tests/windows/com_test_support.hpp"

namespace cobaltmoth::comtest {

namespace {
std::wstring dll_path;
}

const std::wstring& DllPath() { return dll_path; }

ErrorInfo TakeErrorInfo() {
  ErrorInfo out;
  ComPtr<IErrorInfo> info;
  if (::GetErrorInfo(0, info.put()) != S_OK || !info) return out;
  UniqueBstr source;
  UniqueBstr description;
  info->GetSource(source.put());
  info->GetDescription(description.put());
  out.source = Text(source.get());
  out.description = Text(description.get());
  return out;
}

GUID Clsid(const members::ClassInfo& cls) { return com::ToGuid(cls.clsid); }
GUID Iid(const members::ClassInfo& cls) { return com::ToGuid(cls.iid); }

namespace {

using com::_ProcBug;
using com::_ProcStac;

const wchar_t kDump[] =
    L"********************************************************************************\r\n"
    L"* Stack Procedure Tree for Payroll.exe ver. 1.2.30\r\n"
    L"********************************************************************************\r\n"
    L"Stack Element 002 of 002 frmOrders            - cmdSave_Click       \r\n"
    L"Stack Element 001 of 002 modMain              - Main                \r\n"
    L"********************************************************************************\r\n";

// A new object of the class, through its current interface.
template <typename Interface>
ComPtr<Interface> New(const members::ClassInfo& cls) {
  ComPtr<Interface> p;
  EXPECT_EQ(::CoCreateInstance(Clsid(cls), nullptr, CLSCTX_INPROC_SERVER, Iid(cls), p.put_void()),
            S_OK);
  return p;
}
ComPtr<_ProcStac> NewProcStac() { return New<_ProcStac>(members::ProcStacClass()); }
ComPtr<_ProcBug> NewProcBug() { return New<_ProcBug>(members::ProcBugClass()); }

// Calls a member by dispatch id with the arguments in their natural order (each a copy of a
// VARIANT whose owner lives until the end of the caller's full expression).
HRESULT Call(IDispatch* object, DISPID id, std::initializer_list<VARIANT> args) {
  std::vector<VARIANT> reversed(std::rbegin(args), std::rend(args));
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                    static_cast<UINT>(reversed.size()), 0};
  UINT bad = 0;
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                        nullptr, &bad);
}

UniqueVariant TextArgument(const wchar_t* text) {
  UniqueVariant v;
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = ::SysAllocString(text);
  return v;
}
UniqueVariant LongArgument(long value) {
  UniqueVariant v;
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}

void InitPayroll(_ProcStac* stac) {
  const UniqueBstr name = Bstr(L"Payroll");
  const UniqueBstr path = Bstr(L"C:\\Apps");
  ASSERT_EQ(stac->Init(name.get(), 1, 2, 30, path.get(), 0), S_OK);
}

// An error object for Raise that records which of its properties were read, in order.
class RecordingErrorObject final : public IDispatch {
 public:
  RecordingErrorObject(long number, const wchar_t* description, bool fail_number = false)
      : number_(number), description_(description), fail_number_(fail_number) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID,
                                          DISPID* ids) override {
    const std::wstring name = names[0];
    if (name == L"Number") {
      *ids = 0;
    } else if (name == L"Description") {
      *ids = 1;
    } else {
      return DISP_E_UNKNOWNNAME;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    reads += id == 0 ? L"Number;" : L"Description;";
    if (id == 0 && fail_number_) {
      exception->scode = RuntimeError(438);
      exception->bstrSource = ::SysAllocString(L"ErrorHost");
      exception->bstrDescription = ::SysAllocString(L"Number cannot be read");
      return DISP_E_EXCEPTION;
    }
    ::VariantInit(result);
    if (id == 0) {
      V_VT(result) = VT_I4;
      V_I4(result) = number_;
    } else {
      V_VT(result) = VT_BSTR;
      V_BSTR(result) = ::SysAllocString(description_.c_str());
    }
    return S_OK;
  }

  std::wstring reads;
  ULONG refs_ = 1;

 private:
  long number_;
  std::wstring description_;
  bool fail_number_;
};

TEST(EarlyBinding, NotInitialisedErrorCarriesNumberSourceAndDescription) {
  ComPtr<_ProcStac> stac = NewProcStac();
  UniqueBstr dump;
  EXPECT_EQ(stac->Dump(dump.put()), kNotInitialized);
  const ErrorInfo error = TakeErrorInfo();
  EXPECT_EQ(error.source, L"Cobaltmoth.dll - Class ProcStac");
  EXPECT_EQ(error.description, kNotInitializedText);
  ComPtr<ISupportErrorInfo> support;
  ASSERT_EQ(stac.As(IID_ISupportErrorInfo, &support), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(Iid(members::ProcStacClass())), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

  ComPtr<_ProcBug> bug = NewProcBug();
  RecordingErrorObject error_object(11, L"Division by zero");
  const UniqueBstr module = Bstr(L"frmMain");
  const UniqueBstr proc = Bstr(L"cmdOK_Click");
  EXPECT_EQ(bug->Raise(module.get(), proc.get(), &error_object, 0, VARIANT_TRUE), kNotInitialized);
  EXPECT_EQ(error_object.reads, L"");  // nothing is read before the guard
}

TEST(EarlyBinding, TracerThroughTheVtable) {
  ComPtr<_ProcStac> stac = NewProcStac();
  InitPayroll(stac.get());
  const UniqueBstr module = Bstr(L"modMain");
  const UniqueBstr proc = Bstr(L"Main");
  BSTR by_reference = proc.get();
  ASSERT_EQ(stac->EnterProc(module.get(), &by_reference), S_OK);
  EXPECT_EQ(by_reference, proc.get());  // the variable itself, unchanged
  const UniqueBstr module2 = Bstr(L"frmOrders");
  const UniqueBstr proc2 = Bstr(L"cmdSave_Click");
  BSTR second = proc2.get();
  ASSERT_EQ(stac->EnterProc(module2.get(), &second), S_OK);
  UniqueBstr dump;
  ASSERT_EQ(stac->Dump(dump.put()), S_OK);
  EXPECT_EQ(Text(dump.get()), kDump);
  UniqueBstr path;
  ASSERT_EQ(stac->get_LogFilePath(path.put()), S_OK);
  EXPECT_EQ(Text(path.get()), L"C:\\Apps\\Payroll_stacklog.txt");

  const UniqueBstr nobody = Bstr(L"modX");
  EXPECT_EQ(stac->ExitProc(nobody.get(), nobody.get()), RuntimeError(9));
  const ErrorInfo error = TakeErrorInfo();
  EXPECT_EQ(error.source, L"Cobaltmoth");
  EXPECT_EQ(error.description, L"Subscript out of range");
}

TEST(LateBinding, NamesToDispatchIdsInAnyCase) {
  ComPtr<_ProcStac> stac = NewProcStac();
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(stac.As(IID_IDispatch, &dispatch), S_OK);
  const wchar_t* names[] = {L"Init", L"dump", L"ENTERPROC", L"PrintComment", L"Enabled"};
  const DISPID expected[] = {0x60030003, 0x60030005, 0x60030006, 0x6003000A, 0x68030000};
  for (int i = 0; i < 5; ++i) {
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(names[i]);
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, expected[i]) << i;
  }
  DISPID unknown = 0;
  LPOLESTR raise = const_cast<LPOLESTR>(L"Raise");
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &raise, 1, LOCALE_USER_DEFAULT, &unknown),
            DISP_E_UNKNOWNNAME);
}

TEST(LateBinding, BadCallsAreRefusedWithoutReachingTheTracer) {
  ComPtr<_ProcStac> stac = NewProcStac();
  InitPayroll(stac.get());
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(stac.As(IID_IDispatch, &dispatch), S_OK);
  UINT count = 0;
  ASSERT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(dispatch->GetTypeInfo(1, 0, info.put()), DISP_E_BADINDEX);
  ASSERT_EQ(dispatch->GetTypeInfo(0, 0, info.put()), S_OK);
  UniqueBstr name;
  info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
  EXPECT_EQ(Text(name.get()), L"_ProcStac");

  EXPECT_EQ(Call(dispatch.get(), 0x60030006, {TextArgument(L"modMain")}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(dispatch.get(), 0x12345678, {}), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Call(dispatch.get(), 0x60030003,
                 {TextArgument(L"Payroll"), TextArgument(L"one"), LongArgument(2),
                  LongArgument(30), TextArgument(L"C:\\Apps"), LongArgument(0)}),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Call(dispatch.get(), 0x60030003,
                 {TextArgument(L"Payroll"), LongArgument(70000), LongArgument(2),
                  LongArgument(30), TextArgument(L"C:\\Apps"), LongArgument(0)}),
            DISP_E_OVERFLOW);
  UniqueBstr dump;
  ASSERT_EQ(stac->Dump(dump.put()), S_OK);
  EXPECT_EQ(Text(dump.get()).find(L"Stack Element"), std::wstring::npos);  // nothing entered
  EXPECT_NE(Text(dump.get()).find(L"Payroll.exe ver. 1.2.30"), std::wstring::npos);  // first Init

  // Null result pointers through the vtable.
  EXPECT_EQ(stac->Dump(nullptr), E_POINTER);
  EXPECT_EQ(stac->get_Enabled(nullptr), E_POINTER);
  EXPECT_EQ(stac->get_LogFilePath(nullptr), E_POINTER);
}

TEST(EarlyBinding, AFailingErrorObjectEndsRaiseWithItsOwnError) {
  ComPtr<_ProcBug> bug = NewProcBug();
  const UniqueBstr name = Bstr(L"Orders");
  const UniqueBstr path = Bstr(L"C:\\Apps");
  ASSERT_EQ(bug->Init(name.get(), 1, 0, 0, path.get(), 0), S_OK);
  RecordingErrorObject failing(11, L"Division by zero", /*fail_number=*/true);
  const UniqueBstr module = Bstr(L"frmMain");
  const UniqueBstr proc = Bstr(L"cmdOK_Click");
  EXPECT_EQ(bug->Raise(module.get(), proc.get(), &failing, 0, VARIANT_FALSE), RuntimeError(438));
  const ErrorInfo info = TakeErrorInfo();
  EXPECT_EQ(info.source, L"ErrorHost");
  EXPECT_EQ(info.description, L"Number cannot be read");
  EXPECT_EQ(failing.reads, L"Description;Number;");
  EXPECT_EQ(failing.refs_, 1u);  // not kept
  VARIANT_BOOL end = VARIANT_FALSE;
  ASSERT_EQ(bug->get_EndOnError(&end), S_OK);
  EXPECT_EQ(end, VARIANT_TRUE);  // unchanged: Raise ended at the failure
}

TEST(Interfaces, EachClassAnswersForItsEarlierVersions) {
  for (const members::ClassInfo* cls : {&members::ProcStacClass(), &members::ProcBugClass()}) {
    ComPtr<IUnknown> object;
    ASSERT_EQ(::CoCreateInstance(Clsid(*cls), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                 object.put_void()),
              S_OK);
    ComPtr<IUnknown> current;
    ASSERT_EQ(object.As(Iid(*cls), &current), S_OK);
    for (const members::EarlierInterface& earlier : cls->earlier) {
      ComPtr<IUnknown> old;
      ASSERT_EQ(object.As(com::ToGuid(earlier.iid), &old), S_OK);
      EXPECT_EQ(old.get(), current.get());
    }
    ComPtr<IUnknown> none;
    EXPECT_EQ(object.As(IID_IPersist, &none), E_NOINTERFACE);
  }
  ComPtr<IUnknown> stac;
  EXPECT_EQ(::CoCreateInstance(Clsid(members::ProcStacClass()), nullptr, CLSCTX_INPROC_SERVER,
                               Iid(members::ProcBugClass()), stac.put_void()),
            E_NOINTERFACE);
}

TEST(Lifetime, ReleasingAHandlerTerminatesItsTracer) {
  ComPtr<_ProcStac> stac = NewProcStac();
  InitPayroll(stac.get());
  ComPtr<_ProcBug> bug = NewProcBug();
  _ProcStac* given = stac.get();
  ASSERT_EQ(bug->putref_ProcStack(&given), S_OK);
  bug.reset();
  UniqueBstr dump;
  EXPECT_EQ(stac->Dump(dump.put()), RuntimeError(91));
  EXPECT_EQ(TakeErrorInfo().description, L"Object variable or With block variable not set");

  // A tracer that is not this library's own is a type mismatch.
  ComPtr<_ProcBug> handler = NewProcBug();
  ComPtr<_ProcBug> stranger = NewProcBug();
  _ProcStac* foreign = reinterpret_cast<_ProcStac*>(stranger.get());
  EXPECT_EQ(handler->putref_ProcStack(&foreign), RuntimeError(13));
  ComPtr<_ProcStac> none;
  ASSERT_EQ(handler->get_ProcStack(none.put()), S_OK);
  EXPECT_FALSE(none);
}

TEST(Lifetime, TheModuleCountsObjectsAndLocks) {
  using CanUnload = HRESULT(STDAPICALLTYPE*)();
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  ComPtr<_ProcStac> stac = NewProcStac();  // loads the DLL
  HMODULE module = ::GetModuleHandleW(L"Cobaltmoth.dll");
  ASSERT_NE(module, nullptr);
  auto can_unload = Export<CanUnload>(module, "DllCanUnloadNow");
  auto get_class = Export<GetClassObject>(module, "DllGetClassObject");
  ASSERT_NE(can_unload, nullptr);
  ASSERT_NE(get_class, nullptr);
  EXPECT_EQ(can_unload(), S_FALSE);
  stac.reset();
  EXPECT_EQ(can_unload(), S_OK);

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(get_class(Clsid(members::ProcBugClass()), IID_IClassFactory, factory.put_void()),
            S_OK);
  EXPECT_EQ(can_unload(), S_FALSE);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  ComPtr<IUnknown> aggregated;
  EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory.get()), IID_IUnknown,
                                    aggregated.put_void()),
            CLASS_E_NOAGGREGATION);
  factory.reset();
  EXPECT_EQ(can_unload(), S_FALSE);  // still locked
  // The factory itself is static, so the lock is released through a new reference.
  ASSERT_EQ(get_class(Clsid(members::ProcBugClass()), IID_IClassFactory, factory.put_void()),
            S_OK);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory.reset();
  EXPECT_EQ(can_unload(), S_OK);

  ComPtr<IUnknown> nothing;
  const GUID unknown = {0x01234567, 0x89ab, 0xcdef, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(get_class(unknown, IID_IClassFactory, nothing.put_void()), CLASS_E_CLASSNOTAVAILABLE);
}

}  // namespace
}  // namespace cobaltmoth::comtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s [gtest options] <path of Cobaltmoth.dll>\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  cobaltmoth::comtest::dll_path.assign(path.begin(), path.end());
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const int result = RUN_ALL_TESTS();
  ::CoUninitialize();
  return result;
}
