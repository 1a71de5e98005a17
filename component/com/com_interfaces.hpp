// component/com/com_interfaces.hpp - the dual interfaces _ProcStac and _ProcBug as C++
// vtables, for the server and for early-bound C++ clients.
//
// Each interface's slots follow those of IDispatch in the order of the member table
// (component/bindings/member_table.cpp); every slot returns an HRESULT, a result comes back through
// the last parameter. A failure carries error information (IErrorInfo) with the host error's
// source and description, and the HRESULT tells its number: 0x800A0000 + n for the host
// language's run-time error n (5, 9, 76, ...), the number itself for an object-defined error
// such as 0x800403E9, the not-initialised error.
//
// Thread-safety: the objects are apartment-threaded; call them on the thread that made them.
#pragma once

#include "component/bindings/member_table.hpp"
#include "platform/windows/unique.hpp"  // <windows.h> and the automation types

namespace cobaltmoth::component::com {

// The identity of a member-table Guid as a Windows GUID.
inline GUID ToGuid(const bindings::Guid& g) {
  GUID out;
  out.Data1 = g.data1;
  out.Data2 = g.data2;
  out.Data3 = g.data3;
  for (int i = 0; i < 8; ++i) out.Data4[i] = g.data4[i];
  return out;
}

struct _ProcStac : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Init(BSTR AppName, short AppMajor, short AppMinor,
                                         short AppRevision, BSTR AppPath,
                                         long ProjectType) = 0;
  virtual HRESULT STDMETHODCALLTYPE Dump(BSTR* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnterProc(BSTR ModuleName, BSTR* ProcName) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExitProc(BSTR ModuleName, BSTR ProcName) = 0;
  virtual HRESULT STDMETHODCALLTYPE Terminate() = 0;
  virtual HRESULT STDMETHODCALLTYPE put_LogOnFile(VARIANT_BOOL value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LogOnFile(VARIANT_BOOL* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_LogFilePath(BSTR value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LogFilePath(BSTR* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE PrintComment(BSTR Comment) = 0;
};

struct _ProcBug : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Init(BSTR AppName, short AppMajor, short AppMinor,
                                         short AppRevision, BSTR AppPath,
                                         long ProjectType) = 0;
  // tError is the host's error object, read by name through IDispatch.
  virtual HRESULT STDMETHODCALLTYPE Raise(BSTR ModuleName, BSTR ProcName, IDispatch* tError,
                                          long onLineNumber, VARIANT_BOOL isCritical) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_LogOnReport(VARIANT_BOOL value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LogOnReport(VARIANT_BOOL* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_LogOnMsgBox(VARIANT_BOOL value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LogOnMsgBox(VARIANT_BOOL* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_LogOnFile(VARIANT_BOOL value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LogOnFile(VARIANT_BOOL* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_LogFilePath(BSTR value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LogFilePath(BSTR* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_EndOnError(VARIANT_BOOL value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_EndOnError(VARIANT_BOOL* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* result) = 0;
  // The tracer, passed by reference; the object keeps a counted reference to it.
  virtual HRESULT STDMETHODCALLTYPE putref_ProcStack(_ProcStac** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ProcStack(_ProcStac** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Terminate() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SupportFax(BSTR* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SupportFax(BSTR value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SupportMail(BSTR value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SupportMail(BSTR* result) = 0;
};

}  // namespace cobaltmoth::component::com
