// Calls into Cobaltmoth.dll against their floors, read as ratios taken in one run:
//   BM_Core_EnterExitPair            the core tracer's EnterProc+ExitProc (no COM at all)
//   BM_EarlyBound_EnterExitPair      the same pair through the _ProcStac vtable
//   BM_LateBound_EnterExitPair       the same pair through IDispatch::Invoke by dispatch id
//   BM_LateBound_EnabledGet          a trivial member (a property get) through Invoke
//   BM_Floor_TrivialDispatchInvoke   Invoke of an IDispatch that does nothing at all
// The DLL must be registered (bench/windows/run.sh does it in the test prefix).
#include "platform/windows/unique.hpp"

#include <benchmark/benchmark.h>

#include <cobaltmoth/proc_stac.hpp>

#include "component/bindings/member_table.hpp"
#include "component/com/com_interfaces.hpp"

namespace {

using cobaltmoth::component::com::_ProcStac;
using cobaltmoth::component::com::ToGuid;
using cobaltmoth::platform::windows::ComPtr;
using cobaltmoth::platform::windows::UniqueBstr;
using cobaltmoth::platform::windows::UniqueVariant;

// A new, initialised tracer of the registered DLL; none when it is not registered.
ComPtr<_ProcStac> NewTracer() {
  ComPtr<_ProcStac> stac;
  const auto& cls = cobaltmoth::component::bindings::ProcStacClass();
  if (FAILED(::CoCreateInstance(ToGuid(cls.clsid), nullptr, CLSCTX_INPROC_SERVER,
                                ToGuid(cls.iid), stac.put_void()))) {
    return {};
  }
  const UniqueBstr name(::SysAllocString(L"Bench"));
  const UniqueBstr path(::SysAllocString(L"C:\\Bench"));
  stac->Init(name.get(), 1, 0, 0, path.get(), 0);
  return stac;
}

void BM_Core_EnterExitPair(benchmark::State& state) {
  cobaltmoth::ProcStac stac;
  stac.Init(u"Bench", 1, 0, 0, u"C:\\Bench", 0);
  const std::u16string_view module = u"frmOrders";
  const std::u16string_view proc = u"cmdSave_Click";
  for (auto _ : state) {
    stac.EnterProc(module, proc);
    stac.ExitProc(module, proc);
  }
}
BENCHMARK(BM_Core_EnterExitPair);

void BM_EarlyBound_EnterExitPair(benchmark::State& state) {
  const ComPtr<_ProcStac> stac = NewTracer();
  if (!stac) {
    state.SkipWithError("Cobaltmoth.ProcStac is not registered");
    return;
  }
  const UniqueBstr module(::SysAllocString(L"frmOrders"));
  const UniqueBstr proc(::SysAllocString(L"cmdSave_Click"));
  for (auto _ : state) {
    BSTR by_reference = proc.get();
    stac->EnterProc(module.get(), &by_reference);
    stac->ExitProc(module.get(), proc.get());
  }
}
BENCHMARK(BM_EarlyBound_EnterExitPair);

void BM_LateBound_EnterExitPair(benchmark::State& state) {
  const ComPtr<_ProcStac> stac = NewTracer();
  if (!stac) {
    state.SkipWithError("Cobaltmoth.ProcStac is not registered");
    return;
  }
  const UniqueBstr module(::SysAllocString(L"frmOrders"));
  const UniqueBstr proc(::SysAllocString(L"cmdSave_Click"));
  VARIANT args[2]{};  // arguments go last first; the strings stay their owners'
  V_VT(&args[1]) = VT_BSTR;
  V_BSTR(&args[1]) = module.get();
  V_VT(&args[0]) = VT_BSTR;
  V_BSTR(&args[0]) = proc.get();
  DISPPARAMS params{args, nullptr, 2, 0};
  for (auto _ : state) {
    stac->Invoke(0x60030006, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    stac->Invoke(0x60030007, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  }
}
BENCHMARK(BM_LateBound_EnterExitPair);

void BM_LateBound_EnabledGet(benchmark::State& state) {
  const ComPtr<_ProcStac> stac = NewTracer();
  if (!stac) {
    state.SkipWithError("Cobaltmoth.ProcStac is not registered");
    return;
  }
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  UniqueVariant result;
  for (auto _ : state) {
    stac->Invoke(0x68030000, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_LateBound_EnabledGet);

// An IDispatch whose Invoke returns at once: the cost of the call itself.
class TrivialDispatch : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  __attribute__((noinline)) HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD,
                                                             DISPPARAMS*, VARIANT* result,
                                                             EXCEPINFO*, UINT*) override {
    if (result != nullptr) {
      V_VT(result) = VT_BOOL;
      V_BOOL(result) = VARIANT_TRUE;
    }
    return S_OK;
  }
};

void BM_Floor_TrivialDispatchInvoke(benchmark::State& state) {
  TrivialDispatch trivial;
  IDispatch* volatile opaque = &trivial;  // called through its vtable, as a host would
  IDispatch* dispatch = opaque;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  UniqueVariant result;
  for (auto _ : state) {
    dispatch = opaque;
    dispatch->Invoke(0x68030000, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                     nullptr);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_Floor_TrivialDispatchInvoke);

}  // namespace

int main(int argc, char** argv) {
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ::CoUninitialize();
  return 0;
}
