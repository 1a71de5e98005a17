// What registration writes and unregistration removes, and the DLL's resources: the version
// block, the string table in English and Italian, icon 101 under the Italian language id
// only, and the interface identities of _IID_PROCSTAC and _IID_PROCBUG.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "component/resources/string_table.hpp"
#include "tests/windows/com_test_support.hpp"

namespace cobaltmoth::comtest {
namespace {

using win::UniqueHkey;
using win::UniqueHmodule;

std::wstring W(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

std::wstring GuidText(const members::Guid& g) {
  wchar_t text[64] = {};
  ::StringFromGUID2(com::ToGuid(g), text, 64);
  return text;
}

// The text of a value; "<no key>" or "<no value>" when missing.
std::wstring ReadText(HKEY root, const std::wstring& path, const wchar_t* name) {
  UniqueHkey key;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    return L"<no key>";
  }
  wchar_t buffer[1024] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t);
  DWORD type = 0;
  if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &size) != ERROR_SUCCESS) {
    return L"<no value>";
  }
  return std::wstring(buffer);
}

bool KeyExists(HKEY root, const std::wstring& path) {
  UniqueHkey key;
  return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(::towlower(c));
  return text;
}

void ExpectRegistered(HKEY root) {
  const std::wstring classes = L"Software\\Classes\\";
  const members::ClassInfo& stac = members::ProcStacClass();
  const members::ClassInfo& bug = members::ProcBugClass();
  for (const members::ClassInfo* cls : {&stac, &bug}) {
    SCOPED_TRACE(W(cls->name));
    const std::wstring clsid = classes + L"CLSID\\" + GuidText(cls->clsid);
    const std::wstring prog_id = L"Cobaltmoth." + W(cls->name);
    EXPECT_EQ(Lower(ReadText(root, clsid + L"\\InprocServer32", nullptr)), Lower(DllPath()));
    EXPECT_EQ(ReadText(root, clsid + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(ReadText(root, clsid + L"\\ProgID", nullptr), prog_id);
    EXPECT_EQ(ReadText(root, clsid + L"\\TypeLib", nullptr), GuidText(members::Library().libid));
    EXPECT_EQ(ReadText(root, classes + prog_id + L"\\CLSID", nullptr), GuidText(cls->clsid));
  }
  // ProcBug is registered with its help string as description, ProcStac with none.
  EXPECT_EQ(ReadText(root, classes + L"CLSID\\" + GuidText(bug.clsid), nullptr), W(bug.help));
  EXPECT_EQ(ReadText(root, classes + L"CLSID\\" + GuidText(stac.clsid), nullptr), L"<no value>");
}

void ExpectUnregistered(HKEY root) {
  const std::wstring classes = L"Software\\Classes\\";
  for (const members::ClassInfo* cls : {&members::ProcStacClass(), &members::ProcBugClass()}) {
    EXPECT_FALSE(KeyExists(root, classes + L"CLSID\\" + GuidText(cls->clsid)));
    EXPECT_FALSE(KeyExists(root, classes + L"Cobaltmoth." + W(cls->name)));
  }
}

std::wstring TypeLibraryFile() {
  std::wstring path = DllPath();
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + L"Cobaltmoth.tlb";
}

TEST(Registration, ClassesProgIdsAndTypeLibrary) {
  ExpectRegistered(HKEY_LOCAL_MACHINE);
  const std::wstring lib = L"TypeLib\\" + GuidText(members::Library().libid) + L"\\8.3";
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, lib, nullptr),
            L"Quorbit Cobaltmoth - A trace procedure and bug log library");
  EXPECT_EQ(Lower(ReadText(HKEY_CLASSES_ROOT, lib + L"\\409\\" +
                                                  (sizeof(void*) == 8 ? L"win64" : L"win32"),
                           nullptr)),
            Lower(TypeLibraryFile()));
}

using Entry = HRESULT(STDAPICALLTYPE*)();
using Install = HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR);

TEST(Registration, UnregisterRemovesEverythingAndRegisterRestoresIt) {
  const UniqueHmodule dll(::LoadLibraryW(DllPath().c_str()));
  ASSERT_TRUE(dll);
  auto unregister = Export<Entry>(dll.get(), "DllUnregisterServer");
  auto reg = Export<Entry>(dll.get(), "DllRegisterServer");
  ASSERT_NE(unregister, nullptr);
  ASSERT_NE(reg, nullptr);
  ASSERT_EQ(unregister(), S_OK);
  ExpectUnregistered(HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + GuidText(members::Library().libid)));
  EXPECT_EQ(::GetFileAttributesW(TypeLibraryFile().c_str()), INVALID_FILE_ATTRIBUTES);
  ComPtr<IUnknown> none;
  EXPECT_EQ(::CoCreateInstance(Clsid(members::ProcBugClass()), nullptr, CLSCTX_INPROC_SERVER,
                               IID_IUnknown, none.put_void()),
            REGDB_E_CLASSNOTREG);
  ASSERT_EQ(reg(), S_OK);
  ExpectRegistered(HKEY_LOCAL_MACHINE);
  EXPECT_NE(::GetFileAttributesW(TypeLibraryFile().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Registration, PerUserInstallWritesTheCurrentUsersClasses) {
  const UniqueHmodule dll(::LoadLibraryW(DllPath().c_str()));
  ASSERT_TRUE(dll);
  auto install = Export<Install>(dll.get(), "DllInstall");
  ASSERT_NE(install, nullptr);
  ASSERT_EQ(install(TRUE, L"user"), S_OK);
  ExpectRegistered(HKEY_CURRENT_USER);
  ASSERT_EQ(install(FALSE, L"User"), S_OK);
  ExpectUnregistered(HKEY_CURRENT_USER);
  ExpectRegistered(HKEY_LOCAL_MACHINE);  // the machine's classes are untouched
  // Wine's per-user type library functions act on the machine's registration (on Windows they
  // do not): register again so that the tests after this one find the library.
  auto reg = Export<Entry>(dll.get(), "DllRegisterServer");
  ASSERT_EQ(reg(), S_OK);
}

class Resources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_.reset(::LoadLibraryExW(DllPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module_);
  }

  // The bytes of a resource, or nothing.
  std::vector<unsigned char> Bytes(LPCWSTR type, LPCWSTR name, WORD language) {
    HRSRC found = ::FindResourceExW(module_.get(), type, name, language);
    if (found == nullptr) return {};
    HGLOBAL loaded = ::LoadResource(module_.get(), found);
    const auto* data = static_cast<const unsigned char*>(::LockResource(loaded));
    return std::vector<unsigned char>(data, data + ::SizeofResource(module_.get(), found));
  }

  UniqueHmodule module_;
};

void ExpectIdentities(const std::vector<unsigned char>& bytes, std::vector<GUID> iids) {
  ASSERT_EQ(bytes.size(), 4 + 16 * iids.size());
  std::uint32_t count = 0;
  std::memcpy(&count, bytes.data(), 4);
  EXPECT_EQ(count, 16 * iids.size());
  for (std::size_t i = 0; i < iids.size(); ++i) {
    GUID g;
    std::memcpy(&g, bytes.data() + 4 + 16 * i, 16);
    EXPECT_TRUE(IsEqualGUID(g, iids[i])) << i;
  }
}

TEST_F(Resources, InterfaceIdentitiesEarliestFirst) {
  const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
  const members::ClassInfo& stac = members::ProcStacClass();
  const members::ClassInfo& bug = members::ProcBugClass();
  ExpectIdentities(Bytes(RT_RCDATA, L"_IID_PROCSTAC", neutral),
                   {com::ToGuid(stac.earlier[0].iid), Iid(stac)});
  ExpectIdentities(Bytes(RT_RCDATA, L"_IID_PROCBUG", neutral),
                   {com::ToGuid(bug.earlier[0].iid), com::ToGuid(bug.earlier[1].iid), Iid(bug)});
}

TEST_F(Resources, StringTableInBothLanguages) {
  for (WORD language : {WORD{1033}, WORD{1040}}) {
    for (const strings::Entry& entry : strings::Entries()) {
      const auto id = static_cast<unsigned>(entry.id);
      const std::vector<unsigned char> block =
          Bytes(RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
      ASSERT_FALSE(block.empty()) << id;
      std::size_t at = 0;
      std::wstring text;
      for (unsigned index = 0; index <= id % 16; ++index) {
        std::uint16_t length = 0;
        std::memcpy(&length, block.data() + at, 2);
        if (index == id % 16) {
          text.resize(length);
          std::memcpy(text.data(), block.data() + at + 2, 2u * length);
        }
        at += 2 + 2u * length;
      }
      EXPECT_EQ(text, W(language == 1040 ? entry.italian : entry.english)) << id;
    }
  }
  EXPECT_EQ(W(*strings::Find(10001, 1040)), L"Errore non previsto");
}

TEST_F(Resources, IconOnceUnderTheItalianLanguage) {
  const std::vector<unsigned char> group =
      Bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(101), MAKELANGID(LANG_ITALIAN, SUBLANG_ITALIAN));
  ASSERT_EQ(group.size(), 6u + 14u);  // one image
  EXPECT_EQ(group[4], 1);             // count
  EXPECT_EQ(group[6], 32);            // width
  EXPECT_EQ(group[7], 32);            // height
  EXPECT_EQ(group[8], 16);            // colours
  std::uint32_t bytes = 0;
  std::memcpy(&bytes, group.data() + 6 + 8, 4);
  EXPECT_EQ(bytes, 744u);
  EXPECT_TRUE(Bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(101),
                    MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)).empty());
}

TEST(VersionResource, NumbersAndTexts) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(DllPath().c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> data(size);
  ASSERT_TRUE(::GetFileVersionInfoW(DllPath().c_str(), 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x0000000Eu);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x0000000Eu);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
  EXPECT_EQ(fixed->dwFileFlags, 0u);
  const struct {
    const wchar_t* name;
    const wchar_t* value;
  } texts[] = {{L"FileVersion", L"1.00.0014"},     {L"ProductVersion", L"1.00.0014"},
               {L"ProductName", L"Cobaltmoth"},     {L"InternalName", L"Cobaltmoth"},
               {L"OriginalFilename", L"Cobaltmoth.dll"}, {L"CompanyName", L"Quorbit"},
               {L"OLESelfRegister", L""}};
  for (const auto& t : texts) {
    wchar_t* value = nullptr;
    UINT chars = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + t.name;
    ASSERT_TRUE(::VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value),
                                 &chars))
        << query;
    EXPECT_EQ(std::wstring(chars == 0 ? L"" : value), t.value) << query;
  }
}

}  // namespace
}  // namespace cobaltmoth::comtest
