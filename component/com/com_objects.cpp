// The COM objects of ProcStac and ProcBug; see com_objects.hpp.
#include "component/com/com_objects.hpp"

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include <cobaltmoth/error.hpp>
#include <cobaltmoth/proc_bug.hpp>
#include <cobaltmoth/proc_stac.hpp>

#include "component/com/type_library.hpp"
#include "platform/windows/unique.hpp"
#include "runtime/host_error.hpp"

namespace cobaltmoth::component::com {
namespace {

using platform::windows::ComPtr;
using platform::windows::UniqueBstr;
using platform::windows::UniqueVariant;

std::atomic<long> module_count{0};

// Answers a ProcStac object's own address to the server itself, so that ProcBug can reach
// the tracer inside an interface pointer it is given.
const GUID kProcStacImplementation = {
    0xdfc69154, 0x53ae, 0x4fd5, {0x92, 0xe1, 0xcc, 0x37, 0xef, 0x3c, 0x6a, 0xf8}};

std::u16string_view View(BSTR text) {
  if (text == nullptr) return {};
  return std::u16string_view(reinterpret_cast<const char16_t*>(text), ::SysStringLen(text));
}

BSTR NewBstr(std::u16string_view text) {
  BSTR out = ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                 static_cast<UINT>(text.size()));
  if (out == nullptr) throw std::bad_alloc();
  return out;
}

// A Boolean property's value for the host (True is -1); E_POINTER for no place to put it.
HRESULT BoolResult(VARIANT_BOOL* result, bool value) {
  if (result == nullptr) return E_POINTER;
  *result = value ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// The HRESULT that tells a host error's number: the host language's run-time errors in the
// control facility (0x800A0000 + n), an object-defined error such as 0x800403E9 as itself.
HRESULT HresultOf(std::int32_t number) {
  if (number > 0 && number <= 0xFFFF) {
    return static_cast<HRESULT>(0x800A0000u | static_cast<std::uint32_t>(number));
  }
  if (number < 0) return static_cast<HRESULT>(number);
  return E_FAIL;
}

// The host error number an HRESULT stands for (the inverse of HresultOf).
std::int32_t NumberOf(HRESULT hr) {
  const auto code = static_cast<std::uint32_t>(hr);
  if ((code & 0xFFFF0000u) == 0x800A0000u) return static_cast<std::int32_t>(code & 0xFFFFu);
  return static_cast<std::int32_t>(hr);
}

HRESULT Report(const Error& error, const GUID& iid) {
  ComPtr<ICreateErrorInfo> create;
  if (SUCCEEDED(::CreateErrorInfo(create.put()))) {
    std::wstring source = platform::windows::Wide(error.Source());
    std::wstring description = platform::windows::Wide(error.Description());
    create->SetGUID(iid);
    create->SetSource(source.data());
    create->SetDescription(description.data());
    create->SetHelpFile(nullptr);
    create->SetHelpContext(0);
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.As(IID_IErrorInfo, &info))) ::SetErrorInfo(0, info.get());
  }
  return HresultOf(error.Number());
}

// Runs one slot's work: what it throws becomes error information and an HRESULT.
template <typename Work>
HRESULT Guard(const GUID& iid, Work&& work) noexcept {
  try {
    work();
    return S_OK;
  } catch (const Error& error) {
    return Report(error, iid);
  } catch (const std::bad_alloc&) {
    return Report(Error(runtime::kOutOfMemory, std::u16string(runtime::kProjectSource),
                        std::u16string(runtime::StandardDescription(runtime::kOutOfMemory))),
                  iid);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// The host's error object as Raise reads it: Description, then Number, each by name.
class DispatchErrorObject final : public ErrorObject {
 public:
  explicit DispatchErrorObject(IDispatch* object) : object_(object) {}

  std::u16string Description() const override {
    UniqueVariant value = Get(L"Description");
    if (V_VT(&value) != VT_BSTR && FAILED(::VariantChangeType(&value, &value, 0, VT_BSTR))) {
      runtime::RaiseRuntime(runtime::kTypeMismatch);
    }
    return std::u16string(View(V_BSTR(&value)));
  }

  std::int32_t Number() const override {
    UniqueVariant value = Get(L"Number");
    if (FAILED(::VariantChangeType(&value, &value, 0, VT_I4))) {
      runtime::RaiseRuntime(runtime::kTypeMismatch);
    }
    return V_I4(&value);
  }

 private:
  UniqueVariant Get(const wchar_t* name) const {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (FAILED(object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) {
      runtime::RaiseRuntime(runtime::kObjectDoesNotSupport);
    }
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    UniqueVariant result;
    EXCEPINFO exception{};
    const HRESULT hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                       &none, &result, &exception, nullptr);
    if (hr == DISP_E_EXCEPTION) {
      if (exception.pfnDeferredFillIn != nullptr) exception.pfnDeferredFillIn(&exception);
      const UniqueBstr source(exception.bstrSource);
      const UniqueBstr description(exception.bstrDescription);
      const UniqueBstr help_file(exception.bstrHelpFile);
      const std::int32_t number =
          exception.scode != 0 ? NumberOf(exception.scode) : exception.wCode;
      runtime::Raise(number, View(source.get()), View(description.get()));
    }
    if (FAILED(hr)) runtime::RaiseRuntime(runtime::kObjectDoesNotSupport);
    return result;
  }

  IDispatch* object_;
};

// IUnknown, IDispatch from the type library, and ISupportErrorInfo, shared by both classes.
template <typename Interface>
class DualObject : public Interface, public ISupportErrorInfo {
 public:
  explicit DualObject(const bindings::ClassInfo& cls) : class_(cls) { ModuleAddRef(); }
  DualObject(const DualObject&) = delete;
  DualObject& operator=(const DualObject&) = delete;
  virtual ~DualObject() { ModuleRelease(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsOwnInterface(iid)) {
      *object = static_cast<Interface*>(this);
    } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
      *object = static_cast<ISupportErrorInfo*>(this);
    } else if (!QueryMore(iid, object)) {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return IsOwnInterface(iid) ? S_OK : S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    const HRESULT hr = LoadTypeInfo();
    if (FAILED(hr)) return hr;
    *info = ComPtr<ITypeInfo>(dispatch_info_).detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    const HRESULT hr = LoadTypeInfo();
    if (FAILED(hr)) return hr;
    return ::DispGetIDsOfNames(interface_info_.get(), names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception,
                                   UINT* bad_argument) override {
    const HRESULT hr = LoadTypeInfo();
    if (FAILED(hr)) return hr;
    // A script host passes its variables by reference as Variants; each is handed on as a
    // reference to the value the Variant holds, so that a String variable reaches a String
    // parameter taken by reference (EnterProc's ProcName) as itself.
    VARIANT unwrapped[8];
    DISPPARAMS direct{};
    if (params != nullptr && params->cArgs <= 8) {
      bool changed = false;
      for (UINT i = 0; i < params->cArgs; ++i) {
        unwrapped[i] = params->rgvarg[i];
        VARIANT* inner = V_VT(&params->rgvarg[i]) == (VT_BYREF | VT_VARIANT)
                             ? V_VARIANTREF(&params->rgvarg[i])
                             : nullptr;
        if (inner != nullptr && (V_VT(inner) & (VT_BYREF | VT_ARRAY)) == 0 &&
            V_VT(inner) != VT_EMPTY && V_VT(inner) != VT_NULL && V_VT(inner) != VT_VARIANT) {
          V_VT(&unwrapped[i]) = static_cast<VARTYPE>(VT_BYREF | V_VT(inner));
          V_BYREF(&unwrapped[i]) = &V_I1(inner);  // the start of the value
          changed = true;
        }
      }
      if (changed) {
        direct = *params;
        direct.rgvarg = unwrapped;
        params = &direct;
      }
    }
    return ::DispInvoke(static_cast<Interface*>(this), interface_info_.get(), id, flags, params,
                        result, exception, bad_argument);
  }

 protected:
  GUID Iid() const { return ToGuid(class_.iid); }
  virtual bool QueryMore(REFIID, void**) { return false; }

 private:
  bool IsOwnInterface(REFIID iid) const {
    if (IsEqualIID(iid, ToGuid(class_.iid))) return true;
    for (const bindings::EarlierInterface& earlier : class_.earlier) {
      if (IsEqualIID(iid, ToGuid(earlier.iid))) return true;
    }
    return false;
  }

  // The library's description of the interface (what GetTypeInfo hands out) and, for a dual
  // interface, its vtable half (what Invoke calls through).
  HRESULT LoadTypeInfo() {
    if (interface_info_) return S_OK;
    ComPtr<ITypeInfo> info;
    HRESULT hr = TypeInfoOf(class_, info.put());
    if (FAILED(hr)) return hr;
    TYPEATTR* attributes = nullptr;
    hr = info->GetTypeAttr(&attributes);
    if (FAILED(hr)) return hr;
    const bool dispatch_view = attributes->typekind == TKIND_DISPATCH;
    info->ReleaseTypeAttr(attributes);
    ComPtr<ITypeInfo> vtable_info = info;
    if (dispatch_view) {
      HREFTYPE ref = 0;
      ComPtr<ITypeInfo> twin;
      if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) &&
          SUCCEEDED(info->GetRefTypeInfo(ref, twin.put()))) {
        vtable_info = std::move(twin);
      }
    }
    dispatch_info_ = std::move(info);
    interface_info_ = std::move(vtable_info);
    return S_OK;
  }

  const bindings::ClassInfo& class_;
  std::atomic<ULONG> refs_{1};
  ComPtr<ITypeInfo> dispatch_info_;
  ComPtr<ITypeInfo> interface_info_;
};

// The members both classes have, over the core object that `core_` holds (a ProcStac or a
// ProcBug, through CorePtr).
template <typename Interface, typename CorePtr>
class CoreObject : public DualObject<Interface> {
 public:
  CoreObject(const bindings::ClassInfo& cls, CorePtr core)
      : DualObject<Interface>(cls), core_(std::move(core)) {}

  HRESULT STDMETHODCALLTYPE Init(BSTR AppName, short AppMajor, short AppMinor, short AppRevision,
                                 BSTR AppPath, long ProjectType) override {
    return Guard(this->Iid(), [&] {
      core_->Init(View(AppName), AppMajor, AppMinor, AppRevision, View(AppPath),
                  static_cast<std::int32_t>(ProjectType));
    });
  }
  HRESULT STDMETHODCALLTYPE put_LogOnFile(VARIANT_BOOL value) override {
    core_->LogOnFile(value != VARIANT_FALSE);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_LogOnFile(VARIANT_BOOL* result) override {
    return BoolResult(result, core_->LogOnFile());
  }
  HRESULT STDMETHODCALLTYPE put_LogFilePath(BSTR value) override {
    return Guard(this->Iid(), [&] { core_->LogFilePath(View(value)); });
  }
  HRESULT STDMETHODCALLTYPE get_LogFilePath(BSTR* result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    return Guard(this->Iid(), [&] { *result = NewBstr(core_->LogFilePath()); });
  }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL value) override {
    core_->Enabled(value != VARIANT_FALSE);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* result) override {
    return BoolResult(result, core_->Enabled());
  }

 protected:
  CorePtr core_;
};

class ProcStacObject final : public CoreObject<_ProcStac, std::shared_ptr<ProcStac>> {
 public:
  ProcStacObject() : CoreObject(bindings::ProcStacClass(), std::make_shared<ProcStac>()) {}

  const std::shared_ptr<ProcStac>& Core() const { return core_; }

  HRESULT STDMETHODCALLTYPE Dump(BSTR* result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    return Guard(Iid(), [&] { *result = NewBstr(core_->Dump()); });
  }
  HRESULT STDMETHODCALLTYPE EnterProc(BSTR ModuleName, BSTR* ProcName) override {
    return Guard(Iid(), [&] {
      core_->EnterProc(View(ModuleName), ProcName == nullptr ? std::u16string_view()
                                                             : View(*ProcName));
    });
  }
  HRESULT STDMETHODCALLTYPE ExitProc(BSTR ModuleName, BSTR ProcName) override {
    return Guard(Iid(), [&] { core_->ExitProc(View(ModuleName), View(ProcName)); });
  }
  HRESULT STDMETHODCALLTYPE Terminate() override {
    return Guard(Iid(), [&] { core_->Terminate(); });
  }
  HRESULT STDMETHODCALLTYPE PrintComment(BSTR Comment) override {
    return Guard(Iid(), [&] { core_->PrintComment(View(Comment)); });
  }

 protected:
  bool QueryMore(REFIID iid, void** object) override {
    if (!IsEqualIID(iid, kProcStacImplementation)) return false;
    *object = this;
    return true;
  }

};

class ProcBugObject final : public CoreObject<_ProcBug, std::unique_ptr<ProcBug>> {
 public:
  ProcBugObject() : CoreObject(bindings::ProcBugClass(), std::make_unique<ProcBug>()) {}
  // The core goes first: its Terminate writes the bug log's footer, then terminates the
  // tracer, whose reference goes after.
  ~ProcBugObject() override { core_.reset(); }

  HRESULT STDMETHODCALLTYPE Raise(BSTR ModuleName, BSTR ProcName, IDispatch* tError,
                                  long onLineNumber, VARIANT_BOOL isCritical) override {
    return Guard(Iid(), [&] {
      DispatchErrorObject error(tError);
      core_->Raise(View(ModuleName), View(ProcName), tError == nullptr ? nullptr : &error,
                   static_cast<std::int32_t>(onLineNumber), isCritical != VARIANT_FALSE);
    });
  }
  HRESULT STDMETHODCALLTYPE put_LogOnReport(VARIANT_BOOL value) override {
    core_->LogOnReport(value != VARIANT_FALSE);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_LogOnReport(VARIANT_BOOL* result) override {
    return BoolResult(result, core_->LogOnReport());
  }
  HRESULT STDMETHODCALLTYPE put_LogOnMsgBox(VARIANT_BOOL value) override {
    core_->LogOnMsgBox(value != VARIANT_FALSE);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_LogOnMsgBox(VARIANT_BOOL* result) override {
    return BoolResult(result, core_->LogOnMsgBox());
  }
  HRESULT STDMETHODCALLTYPE put_EndOnError(VARIANT_BOOL value) override {
    core_->EndOnError(value != VARIANT_FALSE);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_EndOnError(VARIANT_BOOL* result) override {
    return BoolResult(result, core_->EndOnError());
  }
  HRESULT STDMETHODCALLTYPE putref_ProcStack(_ProcStac** value) override {
    if (value == nullptr) return E_POINTER;
    return Guard(Iid(), [&] {
      ComPtr<ProcStacObject> tracer;
      if (*value != nullptr &&
          FAILED((*value)->QueryInterface(kProcStacImplementation, tracer.put_void()))) {
        runtime::RaiseRuntime(runtime::kTypeMismatch);  // not one of this library's tracers
      }
      core_->ProcStack(tracer ? tracer->Core() : nullptr);
      tracer_ = std::move(tracer);
    });
  }
  HRESULT STDMETHODCALLTYPE get_ProcStack(_ProcStac** result) override {
    if (result == nullptr) return E_POINTER;
    ForgetEndedTracer();
    *result = ComPtr<ProcStacObject>(tracer_).detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Terminate() override {
    const HRESULT hr = Guard(Iid(), [&] { core_->Terminate(); });
    ForgetEndedTracer();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE get_SupportFax(BSTR* result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    return Guard(Iid(), [&] { *result = NewBstr(core_->SupportFax()); });
  }
  HRESULT STDMETHODCALLTYPE put_SupportFax(BSTR value) override {
    return Guard(Iid(), [&] { core_->SupportFax(View(value)); });
  }
  HRESULT STDMETHODCALLTYPE put_SupportMail(BSTR value) override {
    return Guard(Iid(), [&] { core_->SupportMail(View(value)); });
  }
  HRESULT STDMETHODCALLTYPE get_SupportMail(BSTR* result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    return Guard(Iid(), [&] { *result = NewBstr(core_->SupportMail()); });
  }

 private:
  // The core lets its tracer go at Terminate; the COM reference goes with it.
  void ForgetEndedTracer() {
    if (tracer_ && core_->ProcStack() == nullptr) tracer_.reset();
  }

  ComPtr<ProcStacObject> tracer_;  // with core_->ProcStack()
};

template <typename Object>
HRESULT Create(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  ComPtr<Object> created;
  const HRESULT hr = Guard(IID_NULL, [&] { created.attach(new Object()); });  // one reference
  if (FAILED(hr)) return hr;
  return created->QueryInterface(iid, object);
}

}  // namespace

HRESULT CreateProcStac(REFIID iid, void** object) { return Create<ProcStacObject>(iid, object); }
HRESULT CreateProcBug(REFIID iid, void** object) { return Create<ProcBugObject>(iid, object); }

void ModuleAddRef() noexcept { ++module_count; }
void ModuleRelease() noexcept { --module_count; }
bool ModuleInUse() noexcept { return module_count.load() != 0; }

}  // namespace cobaltmoth::component::com
