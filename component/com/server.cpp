// The DLL's entry points: the class factories, registration and unregistration (machine-wide
// under HKEY_LOCAL_MACHINE\Software\Classes, or for the current user with DllInstall and the
// command line "user"), and whether the DLL can be unloaded.
//
// Registration writes, for each class, CLSID\{clsid} with its description (ProcBug's help
// string; none for ProcStac), InprocServer32 (the DLL's path, ThreadingModel Apartment),
// ProgID ("Cobaltmoth.ProcStac") and TypeLib; the ProgID key itself with its CLSID; and the
// type library, written beside the DLL and registered with the library's help string as the
// component's description. Unregistration removes all of it; the library's file goes when no
// registration, per machine or per user, still names it.
//
// Registration also makes the DLL a message file of the Event Log's source "Cobaltmoth"
// (HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Cobaltmoth: EventMessageFile
// lists the registered DLLs, separated by ";", so that the 64-bit and the 32-bit DLL share the
// source; TypesSupported 7). Unregistration takes the DLL off the list, and the source with its
// last DLL. A user who cannot write that key registers all the same: events are then written
// without their description. A per-user unregistration leaves a DLL the machine has registered.
//
// Also the entry that shows a crash's windows in a fresh process: rundll32 "Cobaltmoth.dll",
// ShowCrashWindows FILE, where FILE holds the crashed process's request (see
// bughandling/error_windows.hpp).
#include "platform/windows/unique.hpp"

#include <olectl.h>

#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "bughandling/error_windows.hpp"

#include "component/com/com_interfaces.hpp"
#include "component/com/com_objects.hpp"
#include "component/com/type_library.hpp"

// The per-user type library registration of oleaut32, which the mingw-w64 headers leave out.
extern "C" {
__declspec(dllimport) HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* library, OLECHAR* path,
                                                            OLECHAR* help_folder);
__declspec(dllimport) HRESULT WINAPI UnRegisterTypeLibForUser(REFGUID libid, WORD major,
                                                              WORD minor, LCID lcid,
                                                              SYSKIND kind);
}

namespace cobaltmoth::component::com {
namespace {

class ClassFactory final : public IClassFactory {
 public:
  using Creator = HRESULT (*)(REFIID, void**);
  explicit ClassFactory(Creator create) : create_(create) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The factories are static; their references keep the module loaded.
  ULONG STDMETHODCALLTYPE AddRef() override {
    ModuleAddRef();
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    ModuleRelease();
    return 1;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return create_(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ModuleAddRef();
    } else {
      ModuleRelease();
    }
    return S_OK;
  }

 private:
  Creator create_;
};

ClassFactory proc_stac_factory(&CreateProcStac);
ClassFactory proc_bug_factory(&CreateProcBug);

using platform::windows::ComPtr;
using platform::windows::UniqueHkey;
using platform::windows::Wide;

std::wstring GuidText(const bindings::Guid& guid) {
  wchar_t text[64] = {};
  const GUID g = ToGuid(guid);
  ::StringFromGUID2(g, text, 64);
  return text;
}

// Sets a text value (nullptr name: the key's default value) of the key at `path`, creating it.
HRESULT SetText(HKEY root, const std::wstring& path, const wchar_t* name,
                const std::wstring& value) {
  UniqueHkey key;
  LONG result = ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                  key.put(), nullptr);
  if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
  result = ::RegSetValueExW(key.get(), name, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  return HRESULT_FROM_WIN32(result);
}

HRESULT CreateKey(HKEY root, const std::wstring& path) {
  UniqueHkey key;
  return HRESULT_FROM_WIN32(::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                              nullptr, key.put(), nullptr));
}

// Removes the key at `path` with everything below it; a missing key is no error.
void DeleteTree(HKEY root, const std::wstring& path) {
  {
    UniqueHkey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) {
      return;
    }
    for (;;) {
      wchar_t child[256];
      DWORD length = 256;
      if (::RegEnumKeyExW(key.get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      DeleteTree(root, path + L"\\" + child);
    }
  }  // closed before it is deleted
  ::RegDeleteKeyW(root, path.c_str());
}

#define COBALTMOTH_TRY(call)     \
  do {                           \
    const HRESULT hr_ = (call);  \
    if (FAILED(hr_)) return hr_; \
  } while (false)

HRESULT RegisterClassKeys(HKEY classes, const bindings::ClassInfo& cls,
                          const std::wstring& module) {
  const bindings::LibraryInfo& lib = bindings::Library();
  const std::wstring clsid = L"CLSID\\" + GuidText(cls.clsid);
  const std::wstring prog_id = Wide(lib.name) + L"." + Wide(cls.name);
  if (cls.help.empty()) {
    COBALTMOTH_TRY(CreateKey(classes, clsid));
    COBALTMOTH_TRY(CreateKey(classes, prog_id));
  } else {
    COBALTMOTH_TRY(SetText(classes, clsid, nullptr, Wide(cls.help)));
    COBALTMOTH_TRY(SetText(classes, prog_id, nullptr, Wide(cls.help)));
  }
  COBALTMOTH_TRY(SetText(classes, clsid + L"\\InprocServer32", nullptr, module));
  COBALTMOTH_TRY(SetText(classes, clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"));
  COBALTMOTH_TRY(SetText(classes, clsid + L"\\ProgID", nullptr, prog_id));
  COBALTMOTH_TRY(SetText(classes, clsid + L"\\TypeLib", nullptr, GuidText(lib.libid)));
  COBALTMOTH_TRY(SetText(classes, clsid + L"\\VERSION", nullptr,
                         std::to_wstring(lib.version.major) + L"." +
                             std::to_wstring(lib.version.minor)));
  return SetText(classes, prog_id + L"\\CLSID", nullptr, GuidText(cls.clsid));
}

void UnregisterClassKeys(HKEY classes, const bindings::ClassInfo& cls) {
  DeleteTree(classes, L"CLSID\\" + GuidText(cls.clsid));
  DeleteTree(classes, Wide(bindings::Library().name) + L"." + Wide(cls.name));
}

// The classes key of the machine or of the current user; empty when it cannot be opened.
UniqueHkey OpenClasses(bool per_user) {
  UniqueHkey classes;
  if (::RegCreateKeyExW(per_user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, L"Software\\Classes",
                        0, nullptr, 0, KEY_ALL_ACCESS, nullptr, classes.put(),
                        nullptr) != ERROR_SUCCESS) {
    classes.reset();
  }
  return classes;
}

// The Event Log's source and the DLLs whose message table it reads.
constexpr wchar_t kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Cobaltmoth";

std::vector<std::wstring> EventMessageFiles() {
  std::vector<std::wstring> files;
  wchar_t list[4096] = {};
  DWORD size = sizeof list - sizeof(wchar_t);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile",
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, list,
                     &size) != ERROR_SUCCESS) {
    return files;
  }
  for (std::wstring_view rest = list; !rest.empty();) {
    const std::size_t end = rest.find(L';');
    if (end != 0) files.emplace_back(rest.substr(0, end));
    rest = end == std::wstring_view::npos ? std::wstring_view() : rest.substr(end + 1);
  }
  return files;
}

// Adds the module to the source's files or takes it off; the source goes with its last file.
void ListEventMessageFile(const std::wstring& module, bool listed) {
  std::vector<std::wstring> files = EventMessageFiles();
  std::erase_if(files, [&](const std::wstring& file) {
    return ::lstrcmpiW(file.c_str(), module.c_str()) == 0;
  });
  if (listed) files.push_back(module);
  if (files.empty()) {
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    return;
  }
  std::wstring joined;
  for (const std::wstring& file : files) joined += (joined.empty() ? L"" : L";") + file;
  UniqueHkey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return;  // not the machine's administrator
  }
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  ::RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(joined.c_str()),
                   static_cast<DWORD>((joined.size() + 1) * sizeof(wchar_t)));
  ::RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&types), sizeof types);
}

// Whether the machine's registration of ProcBug names this module.
bool RegisteredForTheMachine(const std::wstring& module) {
  wchar_t path[MAX_PATH * 2] = {};
  DWORD size = sizeof path - sizeof(wchar_t);
  const std::wstring key = L"Software\\Classes\\CLSID\\" +
                           GuidText(bindings::ProcBugClass().clsid) + L"\\InprocServer32";
  return ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path,
                        &size) == ERROR_SUCCESS &&
         ::lstrcmpiW(path, module.c_str()) == 0;
}

HRESULT Unregister(bool per_user);

HRESULT Register(bool per_user) {
  const std::wstring module = ModulePath();
  const std::wstring tlb = TypeLibraryPath();
  ComPtr<ITypeLib> library;
  if (FAILED(WriteTypeLibrary(tlb)) ||
      FAILED(::LoadTypeLibEx(tlb.c_str(), REGKIND_NONE, library.put()))) {
    return SELFREG_E_TYPELIB;  // the DLL's folder cannot take the library's file
  }
  std::wstring tlb_path = tlb;
  HRESULT hr = per_user ? ::RegisterTypeLibForUser(library.get(), tlb_path.data(), nullptr)
                        : ::RegisterTypeLib(library.get(), tlb_path.data(), nullptr);
  if (FAILED(hr)) return SELFREG_E_TYPELIB;
  {
    const UniqueHkey classes = OpenClasses(per_user);
    if (!classes) return SELFREG_E_CLASS;
    hr = RegisterClassKeys(classes.get(), bindings::ProcStacClass(), module);
    if (SUCCEEDED(hr)) hr = RegisterClassKeys(classes.get(), bindings::ProcBugClass(), module);
  }
  if (FAILED(hr)) {
    Unregister(per_user);
    return SELFREG_E_CLASS;
  }
  ListEventMessageFile(module, true);
  return S_OK;
}

HRESULT Unregister(bool per_user) {
  const std::wstring module = ModulePath();
  if (!per_user || !RegisteredForTheMachine(module)) ListEventMessageFile(module, false);
  if (const UniqueHkey classes = OpenClasses(per_user)) {
    UnregisterClassKeys(classes.get(), bindings::ProcStacClass());
    UnregisterClassKeys(classes.get(), bindings::ProcBugClass());
  }
  const bindings::LibraryInfo& lib = bindings::Library();
  const GUID libid = ToGuid(lib.libid);
  const SYSKIND kind = kThisSystem;
  if (per_user) {
    ::UnRegisterTypeLibForUser(libid, lib.version.major, lib.version.minor,
                               static_cast<LCID>(lib.lcid), kind);
  } else {
    ::UnRegisterTypeLib(libid, lib.version.major, lib.version.minor,
                        static_cast<LCID>(lib.lcid), kind);
  }
  // The file goes once no registration names the library any more (a per-user removal
  // leaves the machine's registration, and its file, in place).
  ComPtr<ITypeLib> still;
  if (FAILED(::LoadRegTypeLib(libid, lib.version.major, lib.version.minor,
                              static_cast<LCID>(lib.lcid), still.put()))) {
    ::DeleteFileW(TypeLibraryPath().c_str());
  }
  return S_OK;
}

}  // namespace
}  // namespace cobaltmoth::component::com

extern "C" {

// Thread notifications stay on: the runtime linked into the DLL keeps per-thread state (the
// host's error-line number) that it sets up and cleans up through them.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
  using namespace cobaltmoth::component;
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (IsEqualCLSID(clsid, com::ToGuid(bindings::ProcStacClass().clsid))) {
    return com::proc_stac_factory.QueryInterface(iid, object);
  }
  if (IsEqualCLSID(clsid, com::ToGuid(bindings::ProcBugClass().clsid))) {
    return com::proc_bug_factory.QueryInterface(iid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return cobaltmoth::component::com::ModuleInUse() ? S_FALSE : S_OK; }

STDAPI DllRegisterServer() { return cobaltmoth::component::com::Register(false); }

STDAPI DllUnregisterServer() { return cobaltmoth::component::com::Unregister(false); }

// regsvr32 /i:user registers for the current user only (/u /i:user removes that again).
STDAPI DllInstall(BOOL install, LPCWSTR command_line) {
  bool per_user = false;
  if (command_line != nullptr) {
    std::wstring word(command_line);
    for (wchar_t& c : word) c = static_cast<wchar_t>(std::towlower(c));
    per_user = word == L"user";
  }
  return install ? cobaltmoth::component::com::Register(per_user)
                 : cobaltmoth::component::com::Unregister(per_user);
}

namespace {

// The bytes of the file at `path`; false when it cannot be opened.
bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  const cobaltmoth::platform::windows::UniqueFile file(::CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  char chunk[4096];
  DWORD read = 0;
  while (::ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) {
    bytes->append(chunk, read);
  }
  return true;
}

}  // namespace

// rundll32's Unicode entry: the command line is the request file's path, then, from a crashed
// process, the event to set once the request has been read (the crashed process takes a
// program that never sets it for hung).
void CALLBACK ShowCrashWindowsW(HWND, HINSTANCE, LPWSTR command_line, int) {
  try {
    std::wstring path = command_line != nullptr ? command_line : L"";
    const std::size_t last = path.rfind(L' ');
    cobaltmoth::platform::windows::UniqueHandle answered;
    if (last != std::wstring::npos && last + 1 < path.size() &&
        path.find_first_not_of(L"0123456789", last + 1) == std::wstring::npos) {
      answered.reset(reinterpret_cast<HANDLE>(
          static_cast<std::uintptr_t>(std::wcstoull(path.c_str() + last + 1, nullptr, 10))));
      path.resize(last);
    }
    while (!path.empty() && (path.back() == L' ' || path.back() == L'"')) path.pop_back();
    while (!path.empty() && (path.front() == L' ' || path.front() == L'"')) path.erase(0, 1);
    std::string request;
    if (!ReadWholeFile(path, &request)) return;
    if (answered) ::SetEvent(answered.get());
    // A tracker's envelope carries the crash's minidump, read from where the report names it.
    const auto read_minidump = [](std::u16string_view dump) {
      std::string bytes;
      ReadWholeFile(std::wstring(dump.begin(), dump.end()), &bytes);
      return bytes;
    };
    cobaltmoth::bughandling::ShowCrashWindows(cobaltmoth::platform::DefaultPlatform(), request,
                                              read_minidump);
  } catch (...) {
    // Nothing crosses into rundll32; the crashed process has its report in the bug log.
  }
}

}  // extern "C"
