// A C++ client of Cobaltmoth.dll: early binding through the dual interfaces' vtables and late
// binding through IDispatch by dispatch id reach the same behaviour; errors come back as
// HRESULTs with error information (early) or as exceptions (late) carrying the host error's
// number, source and description; the classes answer for their earlier interface versions;
// the release of the last reference runs Terminate; the module counts its objects and locks.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "tests/windows/com_test_support.hpp"

namespace cobaltmoth::comtest {

namespace {
std::wstring dll_path;
}

const std::wstring& DllPath() { return dll_path; }

ErrorInfo TakeErrorInfo() {
  ErrorInfo out;
  IErrorInfo* info = nullptr;
  if (::GetErrorInfo(0, &info) != S_OK || info == nullptr) return out;
  Bstr source;
  Bstr description;
  info->GetSource(source.Out());
  info->GetDescription(description.Out());
  info->Release();
  out.source = source.Text();
  out.description = description.Text();
  return out;
}

GUID Clsid(const members::ClassInfo& cls) { return com::ToGuid(cls.clsid); }
GUID Iid(const members::ClassInfo& cls) { return com::ToGuid(cls.iid); }

std::wstring NewTempFolder() {
  wchar_t base[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH, base);
  static int counter = 0;
  std::wstring folder = std::wstring(base) + L"cobaltmoth-client-" +
                        std::to_wstring(::GetCurrentProcessId()) + L"-" +
                        std::to_wstring(++counter);
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char buffer[4096];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
  ::CloseHandle(file);
  return bytes;
}

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

Ptr<_ProcStac> NewProcStac() {
  Ptr<_ProcStac> p;
  EXPECT_EQ(::CoCreateInstance(Clsid(members::ProcStacClass()), nullptr, CLSCTX_INPROC_SERVER,
                               Iid(members::ProcStacClass()), p.OutVoid()),
            S_OK);
  return Ptr<_ProcStac>(p.Detach());
}

Ptr<_ProcBug> NewProcBug() {
  Ptr<_ProcBug> p;
  EXPECT_EQ(::CoCreateInstance(Clsid(members::ProcBugClass()), nullptr, CLSCTX_INPROC_SERVER,
                               Iid(members::ProcBugClass()), p.OutVoid()),
            S_OK);
  return Ptr<_ProcBug>(p.Detach());
}

// Calls a member by dispatch id with the arguments in their natural order.
HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args,
             VARIANT* result, EXCEPINFO* exception) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(),
                    (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) ? &named : nullptr,
                    static_cast<UINT>(reversed.size()),
                    (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) ? 1u : 0u};
  if (result != nullptr) ::VariantInit(result);
  UINT bad = 0;
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, exception,
                        &bad);
}

VARIANT Text(const wchar_t* text) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = ::SysAllocString(text);  // the test lets these few strings go
  return v;
}
VARIANT Long(long value) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}
VARIANT Boolean(bool value) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}
VARIANT Object(IDispatch* object) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_DISPATCH;
  V_DISPATCH(&v) = object;
  return v;
}

void InitPayroll(_ProcStac* stac) {
  Bstr name(L"Payroll");
  Bstr path(L"C:\\Apps");
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
  Ptr<_ProcStac> stac = NewProcStac();
  Bstr dump;
  EXPECT_EQ(stac->Dump(dump.Out()), kNotInitialized);
  const ErrorInfo error = TakeErrorInfo();
  EXPECT_EQ(error.source, L"Cobaltmoth.dll - Class ProcStac");
  EXPECT_EQ(error.description, kNotInitializedText);
  Ptr<ISupportErrorInfo> support;
  ASSERT_EQ(stac->QueryInterface(IID_ISupportErrorInfo, support.OutVoid()), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(Iid(members::ProcStacClass())), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

  Ptr<_ProcBug> bug = NewProcBug();
  RecordingErrorObject error_object(11, L"Division by zero");
  Bstr module(L"frmMain");
  Bstr proc(L"cmdOK_Click");
  EXPECT_EQ(bug->Raise(module.get(), proc.get(), &error_object, 0, VARIANT_TRUE), kNotInitialized);
  EXPECT_EQ(TakeErrorInfo().source, L"Cobaltmoth.dll - Class ProcBug");
  EXPECT_EQ(error_object.reads, L"");  // nothing is read before the guard
}

TEST(EarlyBinding, TracerThroughTheVtable) {
  Ptr<_ProcStac> stac = NewProcStac();
  InitPayroll(stac.get());
  Bstr module(L"modMain");
  Bstr proc(L"Main");
  BSTR by_reference = proc.get();
  ASSERT_EQ(stac->EnterProc(module.get(), &by_reference), S_OK);
  EXPECT_EQ(by_reference, proc.get());  // the variable itself, unchanged
  Bstr module2(L"frmOrders");
  Bstr proc2(L"cmdSave_Click");
  BSTR second = proc2.get();
  ASSERT_EQ(stac->EnterProc(module2.get(), &second), S_OK);
  Bstr dump;
  ASSERT_EQ(stac->Dump(dump.Out()), S_OK);
  EXPECT_EQ(dump.Text(), kDump);
  Bstr path;
  ASSERT_EQ(stac->get_LogFilePath(path.Out()), S_OK);
  EXPECT_EQ(path.Text(), L"C:\\Apps\\Payroll_stacklog.txt");

  Bstr nobody(L"modX");
  EXPECT_EQ(stac->ExitProc(nobody.get(), nobody.get()), RuntimeError(9));
  const ErrorInfo error = TakeErrorInfo();
  EXPECT_EQ(error.source, L"Cobaltmoth");
  EXPECT_EQ(error.description, L"Subscript out of range");
}

TEST(LateBinding, NamesAndDispatchIdsReachTheSameBehaviour) {
  Ptr<_ProcStac> stac = NewProcStac();
  Ptr<IDispatch> dispatch;
  ASSERT_EQ(stac->QueryInterface(IID_IDispatch, dispatch.OutVoid()), S_OK);
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

  EXCEPINFO exception{};
  VARIANT result;
  EXPECT_EQ(Call(dispatch.get(), 0x60030005, DISPATCH_METHOD, {}, &result, &exception),
            DISP_E_EXCEPTION);
  EXPECT_EQ(exception.scode, kNotInitialized);
  EXPECT_EQ(std::wstring(exception.bstrSource), L"Cobaltmoth.dll - Class ProcStac");
  EXPECT_EQ(std::wstring(exception.bstrDescription), kNotInitializedText);

  ASSERT_EQ(Call(dispatch.get(), 0x60030003, DISPATCH_METHOD,
                 {Text(L"Payroll"), Long(1), Long(2), Long(30), Text(L"C:\\Apps"), Long(0)},
                 nullptr, nullptr),
            S_OK);
  ASSERT_EQ(Call(dispatch.get(), 0x60030006, DISPATCH_METHOD, {Text(L"modMain"), Text(L"Main")},
                 nullptr, nullptr),
            S_OK);
  ASSERT_EQ(Call(dispatch.get(), 0x60030006, DISPATCH_METHOD,
                 {Text(L"frmOrders"), Text(L"cmdSave_Click")}, nullptr, nullptr),
            S_OK);
  ASSERT_EQ(Call(dispatch.get(), 0x60030005, DISPATCH_METHOD, {}, &result, nullptr), S_OK);
  ASSERT_EQ(V_VT(&result), VT_BSTR);
  EXPECT_EQ(std::wstring(V_BSTR(&result)), kDump);
  ::VariantClear(&result);

  // Enabled False through a property put: EnterProc then does nothing.
  ASSERT_EQ(Call(dispatch.get(), 0x68030000, DISPATCH_PROPERTYPUT, {Boolean(false)}, nullptr,
                 nullptr),
            S_OK);
  VARIANT_BOOL enabled = VARIANT_TRUE;
  ASSERT_EQ(stac->get_Enabled(&enabled), S_OK);
  EXPECT_EQ(enabled, VARIANT_FALSE);

  EXCEPINFO exit_error{};
  ASSERT_EQ(Call(dispatch.get(), 0x68030000, DISPATCH_PROPERTYPUT, {Boolean(true)}, nullptr,
                 nullptr),
            S_OK);
  EXPECT_EQ(Call(dispatch.get(), 0x60030007, DISPATCH_METHOD, {Text(L"x"), Text(L"y")}, nullptr,
                 &exit_error),
            DISP_E_EXCEPTION);
  EXPECT_EQ(exit_error.scode, RuntimeError(9));
  EXPECT_EQ(std::wstring(exit_error.bstrDescription), L"Subscript out of range");
}

TEST(LateBinding, BadCallsAreRefusedWithoutReachingTheTracer) {
  Ptr<_ProcStac> stac = NewProcStac();
  InitPayroll(stac.get());
  Ptr<IDispatch> dispatch;
  ASSERT_EQ(stac->QueryInterface(IID_IDispatch, dispatch.OutVoid()), S_OK);
  UINT count = 0;
  ASSERT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  Ptr<ITypeInfo> info;
  EXPECT_EQ(dispatch->GetTypeInfo(1, 0, info.Out()), DISP_E_BADINDEX);
  ASSERT_EQ(dispatch->GetTypeInfo(0, 0, info.Out()), S_OK);
  Bstr name;
  info->GetDocumentation(MEMBERID_NIL, name.Out(), nullptr, nullptr, nullptr);
  EXPECT_EQ(name.Text(), L"_ProcStac");

  EXPECT_EQ(Call(dispatch.get(), 0x60030006, DISPATCH_METHOD, {Text(L"modMain")}, nullptr,
                 nullptr),
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(dispatch.get(), 0x12345678, DISPATCH_METHOD, {}, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Call(dispatch.get(), 0x60030003, DISPATCH_METHOD,
                 {Text(L"Payroll"), Text(L"one"), Long(2), Long(30), Text(L"C:\\Apps"), Long(0)},
                 nullptr, nullptr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Call(dispatch.get(), 0x60030003, DISPATCH_METHOD,
                 {Text(L"Payroll"), Long(70000), Long(2), Long(30), Text(L"C:\\Apps"), Long(0)},
                 nullptr, nullptr),
            DISP_E_OVERFLOW);
  Bstr dump;
  ASSERT_EQ(stac->Dump(dump.Out()), S_OK);
  EXPECT_EQ(dump.Text().find(L"Stack Element"), std::wstring::npos);  // nothing was entered
  EXPECT_NE(dump.Text().find(L"Payroll.exe ver. 1.2.30"), std::wstring::npos);  // first Init kept

  // Null result pointers through the vtable.
  EXPECT_EQ(stac->Dump(nullptr), E_POINTER);
  EXPECT_EQ(stac->get_Enabled(nullptr), E_POINTER);
  EXPECT_EQ(stac->get_LogFilePath(nullptr), E_POINTER);
}

TEST(LateBinding, RaiseWithThreeArgumentsTakesTheDefaults) {
  Ptr<_ProcBug> bug = NewProcBug();
  Ptr<IDispatch> dispatch;
  ASSERT_EQ(bug->QueryInterface(IID_IDispatch, dispatch.OutVoid()), S_OK);
  ASSERT_EQ(Call(dispatch.get(), 0x60030009, DISPATCH_METHOD,
                 {Text(L"Orders"), Long(2), Long(1), Long(35), Text(L"C:\\Apps"), Long(2)},
                 nullptr, nullptr),
            S_OK);
  ASSERT_EQ(bug->put_EndOnError(VARIANT_FALSE), S_OK);
  RecordingErrorObject error(11, L"Division by zero");
  ASSERT_EQ(Call(dispatch.get(), 0x6003000C, DISPATCH_METHOD,
                 {Text(L"frmMain"), Text(L"cmdOK_Click"), Object(&error)}, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(error.reads, L"Description;Number;");
  VARIANT_BOOL end = VARIANT_FALSE;
  ASSERT_EQ(bug->get_EndOnError(&end), S_OK);
  EXPECT_EQ(end, VARIANT_TRUE);
  EXPECT_EQ(error.refs_, 1u);  // not kept
}

TEST(EarlyBinding, RaiseNotCriticalAndAnErrorObjectThatFails) {
  Ptr<_ProcBug> bug = NewProcBug();
  Bstr name(L"Orders");
  Bstr path(L"C:\\Apps");
  ASSERT_EQ(bug->Init(name.get(), 1, 0, 0, path.get(), 0), S_OK);
  RecordingErrorObject error(11, L"Division by zero");
  Bstr module(L"frmMain");
  Bstr proc(L"cmdOK_Click");
  ASSERT_EQ(bug->Raise(module.get(), proc.get(), &error, 120, VARIANT_FALSE), S_OK);
  VARIANT_BOOL end = VARIANT_TRUE;
  ASSERT_EQ(bug->get_EndOnError(&end), S_OK);
  EXPECT_EQ(end, VARIANT_FALSE);

  Ptr<_ProcBug> other = NewProcBug();
  ASSERT_EQ(other->Init(name.get(), 1, 0, 0, path.get(), 0), S_OK);
  RecordingErrorObject failing(11, L"Division by zero", /*fail_number=*/true);
  EXPECT_EQ(other->Raise(module.get(), proc.get(), &failing, 0, VARIANT_FALSE), RuntimeError(438));
  const ErrorInfo info = TakeErrorInfo();
  EXPECT_EQ(info.source, L"ErrorHost");
  EXPECT_EQ(info.description, L"Number cannot be read");
  ASSERT_EQ(other->get_EndOnError(&end), S_OK);
  EXPECT_EQ(end, VARIANT_TRUE);  // unchanged: Raise ended at the failure

  Ptr<_ProcBug> third = NewProcBug();
  ASSERT_EQ(third->Init(name.get(), 1, 0, 0, path.get(), 0), S_OK);
  EXPECT_EQ(third->Raise(module.get(), proc.get(), nullptr, 0, VARIANT_FALSE), RuntimeError(424));
  EXPECT_EQ(TakeErrorInfo().description, L"Object required");
}

TEST(Interfaces, EachClassAnswersForItsEarlierVersions) {
  for (const members::ClassInfo* cls : {&members::ProcStacClass(), &members::ProcBugClass()}) {
    Ptr<IUnknown> object;
    ASSERT_EQ(::CoCreateInstance(Clsid(*cls), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                 object.OutVoid()),
              S_OK);
    Ptr<IUnknown> current;
    ASSERT_EQ(object->QueryInterface(Iid(*cls), current.OutVoid()), S_OK);
    for (const members::EarlierInterface& earlier : cls->earlier) {
      Ptr<IUnknown> old;
      ASSERT_EQ(object->QueryInterface(com::ToGuid(earlier.iid), old.OutVoid()), S_OK);
      EXPECT_EQ(old.get(), current.get());
    }
    Ptr<IUnknown> none;
    EXPECT_EQ(object->QueryInterface(IID_IPersist, none.OutVoid()), E_NOINTERFACE);
  }
  Ptr<IUnknown> stac;
  EXPECT_EQ(::CoCreateInstance(Clsid(members::ProcStacClass()), nullptr, CLSCTX_INPROC_SERVER,
                               Iid(members::ProcBugClass()), stac.OutVoid()),
            E_NOINTERFACE);
}

TEST(Lifetime, ReleasingTheLastReferenceRunsTerminate) {
  const std::wstring folder = NewTempFolder();
  ::DeleteFileW((folder + L"\\Released_stacklog.txt").c_str());
  Ptr<_ProcStac> stac = NewProcStac();
  Bstr name(L"Released");
  Bstr path(folder.c_str());
  ASSERT_EQ(stac->Init(name.get(), 1, 0, 0, path.get(), 0), S_OK);
  ASSERT_EQ(stac->put_LogOnFile(VARIANT_TRUE), S_OK);
  Bstr module(L"modMain");
  Bstr proc(L"Main");
  BSTR p = proc.get();
  ASSERT_EQ(stac->EnterProc(module.get(), &p), S_OK);
  const std::wstring log = folder + L"\\Released_stacklog.txt";
  const std::string open = ReadFileBytes(log);
  EXPECT_EQ(open.find("End Log"), std::string::npos);
  stac.Reset();
  const std::string closed = ReadFileBytes(log);
  const std::string footer =
      "\r\n"
      "********************************************************************************\r\n"
      "* End Log Procedure Stack for Released.exe ver. 1.0.0\r\n"
      "********************************************************************************\r\n"
      "\r\n";
  ASSERT_GE(closed.size(), footer.size());
  EXPECT_EQ(closed.substr(closed.size() - footer.size()), footer);
  EXPECT_EQ(closed.substr(0, open.size()), open);
}

TEST(Lifetime, ProcBugHoldsItsTracerAndTerminatesIt) {
  Ptr<_ProcStac> stac = NewProcStac();
  InitPayroll(stac.get());
  Ptr<_ProcBug> bug = NewProcBug();
  _ProcStac* given = stac.get();
  ASSERT_EQ(bug->putref_ProcStack(&given), S_OK);
  Ptr<_ProcStac> back;
  ASSERT_EQ(bug->get_ProcStack(back.Out()), S_OK);
  EXPECT_EQ(back.get(), stac.get());
  back.Reset();
  bug.Reset();  // releasing the handler terminates the tracer it held
  Bstr dump;
  EXPECT_EQ(stac->Dump(dump.Out()), RuntimeError(91));
  EXPECT_EQ(TakeErrorInfo().description, L"Object variable or With block variable not set");

  // A tracer that is not this library's own is a type mismatch.
  Ptr<_ProcBug> handler = NewProcBug();
  Ptr<_ProcBug> stranger = NewProcBug();
  _ProcStac* foreign = reinterpret_cast<_ProcStac*>(stranger.get());
  EXPECT_EQ(handler->putref_ProcStack(&foreign), RuntimeError(13));
  Ptr<_ProcStac> none;
  ASSERT_EQ(handler->get_ProcStack(none.Out()), S_OK);
  EXPECT_FALSE(none);
}

TEST(Lifetime, TheModuleCountsObjectsAndLocks) {
  using CanUnload = HRESULT(STDAPICALLTYPE*)();
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  Ptr<_ProcStac> stac = NewProcStac();  // loads the DLL
  HMODULE module = ::GetModuleHandleW(L"Cobaltmoth.dll");
  ASSERT_NE(module, nullptr);
  auto can_unload = Export<CanUnload>(module, "DllCanUnloadNow");
  auto get_class = Export<GetClassObject>(module, "DllGetClassObject");
  ASSERT_NE(can_unload, nullptr);
  ASSERT_NE(get_class, nullptr);
  EXPECT_EQ(can_unload(), S_FALSE);
  stac.Reset();
  EXPECT_EQ(can_unload(), S_OK);

  Ptr<IClassFactory> factory;
  ASSERT_EQ(get_class(Clsid(members::ProcBugClass()), IID_IClassFactory, factory.OutVoid()), S_OK);
  EXPECT_EQ(can_unload(), S_FALSE);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  Ptr<IUnknown> aggregated;
  EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory.get()), IID_IUnknown,
                                    aggregated.OutVoid()),
            CLASS_E_NOAGGREGATION);
  factory.Reset();
  EXPECT_EQ(can_unload(), S_FALSE);  // still locked
  // The factory itself is static, so the lock is released through a new reference.
  ASSERT_EQ(get_class(Clsid(members::ProcBugClass()), IID_IClassFactory, factory.OutVoid()), S_OK);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory.Reset();
  EXPECT_EQ(can_unload(), S_OK);

  Ptr<IUnknown> nothing;
  const GUID unknown = {0x01234567, 0x89ab, 0xcdef, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(get_class(unknown, IID_IClassFactory, nothing.OutVoid()), CLASS_E_CLASSNOTAVAILABLE);
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
