// The Windows backend against the real system (under Wine in CI): the registry through the
// ANSI functions with CRegSettings and SysInfo on top, the text files in the ANSI code page,
// the string table from the program's own STRINGTABLE, the environment block and the clock.
#include "platform/windows/windows_platform.hpp"

#include <gtest/gtest.h>

#include <cobaltmoth/error.hpp>

#include <regex>
#include <string>
#include <vector>

#include "component/resources/string_table.hpp"
#include "component/base/text.hpp"
#include "platform/registry.hpp"
#include "platform/resources.hpp"
#include "support/c_reg_settings.hpp"
#include "support/sys_info.hpp"

namespace cobaltmoth::platform {
namespace {


void DeleteTree(HKEY root, const char* path) { ::RegDeleteTreeA(root, path); }

class WindowsRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteTree(HKEY_CURRENT_USER, "Software\\Cobaltmoth Test Co"); }
  void TearDown() override { DeleteTree(HKEY_CURRENT_USER, "Software\\Cobaltmoth Test Co"); }
  std::shared_ptr<Registry> registry_ = MakeWindowsRegistry();
};

TEST_F(WindowsRegistryTest, SettingsRoundTripThroughTheRegistry) {
  CRegSettings settings(registry_);
  settings.Company(u"Cobaltmoth Test Co");
  settings.AppName(u"Orders");
  EXPECT_EQ(settings.GetSetting(u"Window", u"Left", u"none"), u"none");
  ASSERT_TRUE(settings.SaveSetting(u"Window", u"Left", u"1200 twips \u00bb"));
  EXPECT_EQ(settings.GetSetting(u"Window", u"Left", u"none"), u"1200 twips \u00bb");
  // Stored as REG_SZ through the ANSI functions: the ANSI bytes and one NUL.
  char data[64] = {};
  DWORD size = sizeof data;
  DWORD type = 0;
  ASSERT_EQ(::RegGetValueA(HKEY_CURRENT_USER, "Software\\Cobaltmoth Test Co\\Orders\\Window",
                           "Left", RRF_RT_ANY, &type, data, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 13u);
  EXPECT_EQ(std::string(data), "1200 twips \xbb");

  ASSERT_TRUE(settings.SaveSetting(u"Window", u"Empty", u""));
  EXPECT_EQ(settings.GetSetting(u"Window", u"Empty", u"default"), u"");
  ASSERT_TRUE(settings.SaveSetting(u"Window", u"*", u"the unnamed value"));
  EXPECT_EQ(settings.GetSetting(u"Window", u"*"), u"the unnamed value");

  const std::vector<std::uint8_t> bytes = {0, 1, 2, 0xFE, 0xFF};
  ASSERT_TRUE(settings.SaveSettingAsBinary(u"Window", u"Blob", bytes));
  EXPECT_EQ(settings.GetSettingAsBinary(u"Window", u"Blob"), bytes);

  EXPECT_TRUE(settings.DeleteSetting(u"Window", u"Left"));
  EXPECT_EQ(settings.GetSetting(u"Window", u"Left", u"gone"), u"gone");
  EXPECT_FALSE(settings.DeleteSetting(u"Window", u"Left"));
  EXPECT_EQ(settings.GetSetting(u"Window", u"Empty", u"default"), u"");  // the key stays
  EXPECT_TRUE(settings.DeleteSetting(u"Window"));
  EXPECT_EQ(settings.GetSetting(u"Window", u"*", u"no key"), u"no key");
}

TEST_F(WindowsRegistryTest, StatusesAreTheRegistrysOwn) {
  RegKey key;
  EXPECT_EQ(registry_->OpenKey(kHkeyCurrentUser, u"Software\\Cobaltmoth Test Co\\Missing", &key),
            RegStatus::kNotFound);
  EXPECT_FALSE(key);
  ASSERT_EQ(registry_->CreateKey(kHkeyCurrentUser, u"Software\\Cobaltmoth Test Co\\A\\B", &key),
            RegStatus::kOk);
  RegValue value;
  EXPECT_EQ(key->QueryValue(u"nothing", &value), RegStatus::kNotFound);
  key.reset();
  ASSERT_EQ(registry_->OpenKey(kHkeyCurrentUser, u"Software\\Cobaltmoth Test Co", &key),
            RegStatus::kOk);
  EXPECT_EQ(key->DeleteSubKey(u"A"), RegStatus::kAccessDenied);  // it has a subkey
  EXPECT_EQ(key->DeleteSubKey(u"A\\B"), RegStatus::kOk);
  EXPECT_EQ(key->DeleteSubKey(u"A"), RegStatus::kOk);
  EXPECT_EQ(key->DeleteSubKey(u"A"), RegStatus::kNotFound);
}

TEST(WindowsSysInfo, OwnerAndOrganisationAsStored) {
  const char* path = "Software\\Microsoft\\Windows\\CurrentVersion";
  win::UniqueHkey key;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
            ERROR_SUCCESS);
  // Keep what is there, to put it back.
  auto read = [&](const char* name, std::string* out) {
    char buffer[512] = {};
    DWORD size = sizeof buffer;
    if (::RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                           &size) != ERROR_SUCCESS) {
      return false;
    }
    *out = buffer;
    return true;
  };
  std::string owner;
  std::string organisation;
  const bool had_owner = read("RegisteredOwner", &owner);
  const bool had_organisation = read("RegisteredOrganization", &organisation);
  const char new_owner[] = "Ada Rossi";
  ::RegSetValueExA(key.get(), "RegisteredOwner", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(new_owner), sizeof new_owner);
  ::RegSetValueExA(key.get(), "RegisteredOrganization", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(""), 1);

  SysInfo info(MakeWindowsRegistry());
  EXPECT_EQ(info.User(), u"Ada Rossi");
  EXPECT_EQ(info.Company(), u"");
  ::RegDeleteValueA(key.get(), "RegisteredOrganization");
  EXPECT_EQ(info.Company(), u"");

  if (had_owner) {
    ::RegSetValueExA(key.get(), "RegisteredOwner", 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(owner.c_str()),
                     static_cast<DWORD>(owner.size() + 1));
  } else {
    ::RegDeleteValueA(key.get(), "RegisteredOwner");
  }
  if (had_organisation) {
    ::RegSetValueExA(key.get(), "RegisteredOrganization", 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(organisation.c_str()),
                     static_cast<DWORD>(organisation.size() + 1));
  }
}

std::wstring TempFolder() {
  wchar_t base[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH, base);
  std::wstring folder = std::wstring(base) + L"cobaltmoth-backend-test";
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::string ReadAll(const std::wstring& path) {
  const win::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
  if (!file) return "<missing>";
  std::string bytes(1 << 16, '\0');
  DWORD read = 0;
  ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  bytes.resize(read);
  return bytes;
}

std::u16string U16(const std::wstring& w) { return std::u16string(w.begin(), w.end()); }

TEST(WindowsFiles, AppendsAnsiTextWithCrLfAndNeverTruncates) {
  const std::wstring path = TempFolder() + L"\\append.txt";
  ::DeleteFileW(path.c_str());
  auto files = MakeWindowsFileSystem();
  {
    auto stream = files->OpenTextFileForAppending(U16(path));
    stream->WriteLine(u"o\u00bb\u00bb\u00bb Enter modMain::Main");
    stream->Write(u"no break \u4e2d");
    stream->WriteBlankLines(2);
    EXPECT_EQ(ReadAll(path), "o\xbb\xbb\xbb Enter modMain::Main\r\nno break ?\r\n\r\n");
    stream->Close();
    EXPECT_THROW(stream->WriteLine(u"after close"), Error);
  }
  auto again = files->OpenTextFileForAppending(U16(path));
  again->WriteLine(u"second");
  again.reset();
  EXPECT_EQ(ReadAll(path), "o\xbb\xbb\xbb Enter modMain::Main\r\nno break ?\r\n\r\nsecond\r\n");
}

TEST(WindowsFiles, FailuresAreTheHostsRunTimeErrors) {
  auto files = MakeWindowsFileSystem();
  try {
    files->OpenTextFileForAppending(U16(TempFolder() + L"\\no such folder\\log.txt"));
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), 76);
    EXPECT_EQ(e.Source(), u"Cobaltmoth");
    EXPECT_EQ(e.Description(), u"Path not found");
  }
  try {
    files->OpenTextFileForAppending(U16(TempFolder()));  // a folder, not a file
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), 70);
    EXPECT_EQ(e.Description(), u"Permission denied");
  }
  EXPECT_EQ(RuntimeErrorForWindowsError(ERROR_DISK_FULL), 61);
  EXPECT_EQ(RuntimeErrorForWindowsError(ERROR_FILE_NOT_FOUND), 53);
}

TEST(WindowsResources, StringsFromTheModulesStringTable) {
  auto resources = MakeWindowsResources();
  ASSERT_EQ(resources->LanguageId(), strings::kEnglish);  // the tests run in English
  for (const strings::Entry& entry : strings::Entries()) {
    EXPECT_EQ(resources->LoadResString(entry.id), entry.english) << entry.id;
  }
  try {
    resources->LoadResString(10003);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), 5);
  }
}

TEST(WindowsEnvironment, EntriesOfTheProcessWithoutHiddenOnes) {
  ::SetEnvironmentVariableW(L"COBALTMOTH_BACKEND_TEST", L"x=1");
  const std::vector<std::u16string> entries = MakeWindowsEnvironment()->Entries();
  bool found = false;
  for (const std::u16string& entry : entries) {
    EXPECT_NE(entry.front(), u'=');
    found = found || entry == u"COBALTMOTH_BACKEND_TEST=x=1";
  }
  EXPECT_TRUE(found);
}

TEST(WindowsClock, NowTextIsTheShortDateWithTheFullYearAndTheTime) {
  auto clock = MakeWindowsClock();
  const std::string now = text::ToUtf8(clock->NowText());
  // English (United States): M/d/yyyy h:mm:ss AM or PM.
  EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d\d:\d\d [AP]M)")))
      << now;
  EXPECT_EQ(clock->TimeSeparator(), u":");
  const LocalTime t = clock->Now();
  EXPECT_GE(t.year, 2024);
  EXPECT_NE(now.find(std::to_string(t.year)), std::string::npos);
}

}  // namespace
}  // namespace cobaltmoth::platform
