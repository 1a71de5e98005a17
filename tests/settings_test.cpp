// The settings store on SQLite in a private folder, CRegSettings and SysInfo over it, and the
// administrator's command cobaltmoth-reg end to end.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "fakes.hpp"
#include "platform/posix/settings/sqlite_registry.hpp"
#include "support/c_reg_settings.hpp"
#include "support/sys_info.hpp"

namespace cobaltmoth {
namespace {

namespace fs = std::filesystem;
using platform::RegKey;
using platform::RegStatus;
using platform::RegValue;
using testing::TempDir;
using testing::U8;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kHkcu = platform::kHkeyCurrentUser;
constexpr std::uint32_t kHklm = platform::kHkeyLocalMachine;
constexpr RegStatus kOk = RegStatus::kOk;
const std::u16string kAppKey = u"Software\\VB and VBA Program Settings\\Cobaltmoth";

std::shared_ptr<platform::Registry> StoreIn(const std::string& folder) {
  return platform::MakeSqliteRegistry({folder + "/user.db", folder + "/machine.db"});
}
std::string Code(RegStatus status) { return std::to_string(static_cast<int>(status)); }

// Runs SQL on a hive's file as another program would; the values of the rows, each then "|".
std::string Sql(const std::string& file, const char* sql) {
  sqlite3* db = nullptr;
  std::string rows;
  ::sqlite3_open(file.c_str(), &db);
  const int result = ::sqlite3_exec(db, sql, [](void* out, int n, char** values, char**) {
    for (int i = 0; i < n; ++i) *static_cast<std::string*>(out) += std::string(values[i]) + "|";
    return 0;
  }, &rows, nullptr);
  ::sqlite3_close(db);
  return result == SQLITE_OK ? rows : "error " + std::to_string(result);
}

class SqliteStore : public ::testing::Test {
 protected:
  RegKey Create(std::u16string_view path, std::uint32_t root = kHkcu) {
    RegKey key;
    EXPECT_EQ(store_->CreateKey(root, path, &key), kOk) << U8(path);
    return key;
  }
  RegStatus Open(std::u16string_view path, std::uint32_t root = kHkcu) {
    RegKey key;
    return store_->OpenKey(root, path, &key);
  }
  TempDir dir_;
  std::shared_ptr<platform::Registry> store_ = StoreIn(dir_.path().string());
};

TEST_F(SqliteStore, NamesIgnoreCaseAndKeepTheirFirstCaseValuesKeepTheirTypes) {
  {
    RegKey key = Create(u"\\Software\\\\\u00c4rger\\\u03a9mega\\");  // empty names passed over
    ASSERT_EQ(key->SetValue(u"Width", platform::kRegSz, Bytes{'1', 0}), kOk);
    ASSERT_EQ(key->SetValue(u"WIDTH", 7, Bytes{1, 2, 3}), kOk);  // the same value, replaced
    ASSERT_EQ(key->SetValue(u"", platform::kRegBinary, Bytes{}), kOk);
    Create(u"software\\\u00e4rger\\\u03c9MEGA\\Sub");
  }
  RegKey key;  // through a new store on the same files
  const auto again = StoreIn(dir_.path().string());
  ASSERT_EQ(again->OpenKey(kHkcu, u"SOFTWARE\\\u00e4RGER\\\u03c9mega", &key), kOk);
  RegValue value;
  ASSERT_EQ(key->QueryValue(u"width", &value), kOk);
  EXPECT_EQ(value.type, 7u);
  EXPECT_EQ(value.data, (Bytes{1, 2, 3}));
  ASSERT_EQ(key->QueryValue(u"", &value), kOk);
  EXPECT_EQ(value.type, 3u);
  EXPECT_EQ(value.data, Bytes{});
  EXPECT_EQ(key->QueryValue(u"Missing", &value), RegStatus::kNotFound);
  EXPECT_EQ(value.type, 3u);  // untouched
  EXPECT_EQ(Sql(dir_ / "user.db", "SELECT name FROM keys WHERE id > 1 ORDER BY id;"
                                  "SELECT name FROM vals ORDER BY folded"),
            "Software|\u00c4rger|\u03a9mega|Sub||Width|");
}

TEST_F(SqliteStore, OnlyKeysWithoutSubkeysAreDeletedAndTheirHandlesThenAnswer1018) {
  RegKey app = Create(u"Software\\App"), forms = Create(u"Software\\App\\Forms");
  Create(u"Software\\App\\Forms\\Main");
  ASSERT_EQ(forms->SetValue(u"Count", platform::kRegSz, Bytes{'1', 0}), kOk);
  const std::pair<std::u16string, RegStatus> kDeletes[] = {
      {u"Forms", RegStatus::kAccessDenied}, {u"Nothing", RegStatus::kNotFound},
      {u"FORMS\\main", kOk}, {u"Forms", kOk}, {u"Forms", RegStatus::kNotFound}};
  for (const auto& [path, status] : kDeletes) {
    EXPECT_EQ(app->DeleteSubKey(path), status) << U8(path);
  }
  RegValue value;
  EXPECT_EQ(forms->QueryValue(u"Count", &value), RegStatus::kKeyDeleted);
  EXPECT_EQ(forms->SetValue(u"Count", platform::kRegSz, Bytes{'2', 0}), RegStatus::kKeyDeleted);
  EXPECT_EQ(forms->DeleteValue(u"Count"), RegStatus::kKeyDeleted);
  RegKey fresh = Create(u"Software\\App\\Forms");  // made again: none of the old values
  EXPECT_EQ(fresh->QueryValue(u"Count", &value), RegStatus::kNotFound);
  EXPECT_EQ(fresh->DeleteSubKey(u""), kOk);  // the empty path: the key itself
  EXPECT_EQ(Open(u"Software\\App\\Forms"), RegStatus::kNotFound);
  EXPECT_EQ(app->DeleteValue(u"Missing"), RegStatus::kNotFound);
  EXPECT_EQ(Create(u"", kHklm)->DeleteSubKey(u""), RegStatus::kAccessDenied);  // roots stay
  EXPECT_EQ(Open(u"", kHklm), kOk);
}

TEST_F(SqliteStore, TwoRootsEachInItsOwnFileMadeOnlyByWriting) {
  RegKey key;
  EXPECT_EQ(store_->CreateKey(0x80000003u, u"", &key), RegStatus::kInvalidHandle);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(Open(u"Software"), RegStatus::kNotFound);
  Create(u"Software\\Shared", kHklm);
  EXPECT_TRUE(fs::exists(dir_ / "machine.db"));
  EXPECT_FALSE(fs::exists(dir_ / "user.db"));  // reading made nothing
  EXPECT_EQ(Open(u"Software\\Shared"), RegStatus::kNotFound);
  EXPECT_EQ(Open(u"Software\\Shared", kHklm), kOk);
  // Without a home folder there is no hive to open.
  EXPECT_EQ(platform::MakeSqliteRegistry({"", ""})->OpenKey(kHkcu, u"", &key),
            RegStatus::kAccessDenied);
}

TEST_F(SqliteStore, AFailingWriteLeavesNothingHalfDoneAndADamagedFileIs1009) {
  ASSERT_EQ(Create(u"A\\Old")->SetValue(u"v", platform::kRegSz, Bytes{'1', 0}), kOk);
  // Another program's triggers refuse a key named "C" and the removal of any key.
  ASSERT_EQ(Sql(dir_ / "user.db",
                "CREATE TRIGGER no_c BEFORE INSERT ON keys WHEN NEW.folded = 'c'"
                " BEGIN SELECT RAISE(ABORT, 'no'); END;"
                "CREATE TRIGGER keep BEFORE DELETE ON keys BEGIN SELECT RAISE(ABORT, 'no'); END;"),
            "");
  RegKey key;
  EXPECT_EQ(store_->CreateKey(kHkcu, u"A\\B\\C", &key), RegStatus::kBadDatabase);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(Open(u"A\\B"), RegStatus::kNotFound);  // B went with C
  EXPECT_EQ(Create(u"A")->DeleteSubKey(u"Old"), RegStatus::kBadDatabase);
  RegValue value;
  EXPECT_EQ(Create(u"A\\Old")->QueryValue(u"v", &value), kOk);  // its values stay

  testing::WriteFile(dir_ / "machine.db", std::string(4096, 'x'));
  EXPECT_EQ(store_->OpenKey(kHklm, u"Software", &key), RegStatus::kBadDatabase);
  EXPECT_EQ(store_->CreateKey(kHklm, u"Software", &key), RegStatus::kBadDatabase);
}

TEST(SqliteStoreAccess, AHiveThatCannotBeWrittenCannotBeOpenedEvenToRead) {
  const auto read_only = [](const std::string& path) { ::chmod(path.c_str(), 0555); };
  const auto read_only_file = [](const std::string& h) {
    ::chmod((h + "/user.db").c_str(), 0444);
  };
  const char* const kRefused = "open 5, create 5, get dflt, save 0, delete 0";
  const char* const kNoHive = "open 2, create 5, get dflt, save 0, delete 0";
  const struct { const char* below; std::function<void(const std::string&)> change;
                 bool after_open; const char* answers; } kCases[] = {
      {"", [](const std::string&) {}, false, "open 0, create 0, get stored, save 1, delete 1"},
      {"", read_only_file, false, kRefused},
      {"", read_only_file, true, kRefused},  // made read-only while the store has it open
      {"", read_only, false, kRefused},
      {"/none", read_only, false, kNoHive},  // none in a read-only folder
      {"/none/sub/dir", read_only, false, kNoHive},
  };
  for (const auto& c : kCases) {
    TempDir dir;
    const std::string hives = dir / "hives", none = dir / "hives/none";
    ASSERT_TRUE(CRegSettings(StoreIn(hives)).SaveSetting(u"Main", u"Title", u"stored"));
    ::mkdir(none.c_str(), 0700);
    for (const std::string& path : {dir.path().string(), hives, hives + "/user.db", none}) {
      if (::geteuid() == 0) ::chown(path.c_str(), 65534, 65534);
    }
    if (!c.after_open) c.change(*c.below == '\0' ? hives : none);
    // As the unprivileged user 65534 when the tests run as root, who may write anything.
    const testing::DetachedRun run = testing::RunDetached([&](int report) {
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
      const auto store = StoreIn(hives + c.below);
      CRegSettings settings(store);
      RegKey key;
      if (c.after_open && store->OpenKey(kHkcu, kAppKey, &key) == kOk) c.change(hives);
      key.reset();
      std::string answers = "open " + Code(store->OpenKey(kHkcu, kAppKey, &key));
      key.reset();
      answers += ", create " + Code(store->CreateKey(kHkcu, kAppKey, &key));
      key.reset();
      answers += ", get " + U8(settings.GetSetting(u"Main", u"Title", u"dflt"));
      answers += ", save " + std::to_string(settings.SaveSetting(u"Main", u"Title", u"new"));
      answers += ", delete " + std::to_string(settings.DeleteSetting(u"Main", u"Title"));
      testing::WriteString(report, answers);
      return 0;
    });
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.report, c.answers) << hives + c.below;
  }
}

TEST(CRegSettings, SettingsAreStoredAsTheirTypesBytesAndReadBack) {
  TempDir dir;
  const auto store = StoreIn(dir.path().string());
  CRegSettings s(store);
  const auto stored = [&](std::u16string_view path, std::u16string_view name) {
    RegKey key;
    RegValue value{0, {0xEE}};  // no such key or value
    if (store->OpenKey(kHkcu, path, &key) == kOk) key->QueryValue(name, &value);
    return value;
  };
  const struct { const char16_t* section; const char16_t* key; std::function<bool()> save;
                 std::uint32_t type; Bytes bytes; std::u16string text; } kCases[] = {
      {u"Main", u"Title", [&] { return s.SaveSetting(u"Main", u"Title", u"Caf\u00e9 \u20ac"); },
       1, {'C', 'a', 'f', 0xE9, ' ', 0x80, 0}, u"Caf\u00e9 \u20ac"},
      {u"Main", u"Empty", [&] { return s.SaveSetting(u"Main", u"Empty", u""); }, 1, {0}, u""},
      {u"Main", u"None", [&] { return s.SaveSettingAsBinary(u"Main", u"None", Bytes{}); }, 3, {},
       u"dflt"},
      {u"Main", u"Wide", [&] { return s.SaveSettingAsBinary(u"Main", u"Wide", u"A\u00ff\u65e5"); },
       3, {'A', 0, 0xFF, 0, 0xE5, 0x65}, std::u16string(u"A\0\u00ff\0\u00e5", 5)},
      {u"Main", u"*", [&] { return s.SaveSetting(u"Main", u"*", u"unnamed"); }, 1,
       {'u', 'n', 'n', 'a', 'm', 'e', 'd', 0}, u"unnamed"},
      {u"", u"Version", [&] { return s.SaveSetting(u"", u"Version", u"1.2"); }, 1,
       {'1', '.', '2', 0}, u"1.2"},
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(c.save()) << U8(c.key);
    const bool unnamed = c.key == std::u16string_view(u"*");
    const RegValue value = stored(s.KeyPath(c.section), unnamed ? u"" : c.key);
    EXPECT_EQ(value.type, c.type) << U8(c.key);
    EXPECT_EQ(value.data, c.bytes) << U8(c.key);
    EXPECT_EQ(s.GetSetting(c.section, c.key, u"dflt"), c.text) << U8(c.key);
    const Bytes read = s.GetSettingAsBinary(c.section, c.key, Bytes{9});
    EXPECT_EQ(read, c.bytes.empty() ? Bytes{9} : c.bytes) << U8(c.key);
  }
  EXPECT_EQ(stored(kAppKey + u"\\Main", u"*").data, Bytes{0xEE});  // "*" is no name of its own
  EXPECT_EQ(s.GetSetting(u"MAIN", u"tITLE"), u"Caf\u00e9 \u20ac");  // names without case
  EXPECT_EQ(s.GetSettingAsBinary(u"Main", u"Missing"), Bytes{});
  EXPECT_EQ(s.GetSettingAsBinary(u"Nowhere", u"Missing", u"H\u00e9\u65e5"),
            (Bytes{'H', 0, 0xE9, 0, 0xE5, 0x65}));  // a text: its UTF-16 code units
}

TEST(CRegSettings, DeletingRemovesOneValueOrASectionWithoutSubkeys) {
  TempDir dir;
  CRegSettings s(StoreIn(dir.path().string()));
  ASSERT_TRUE(s.SaveSetting(u"Forms", u"Count", u"1") && s.SaveSetting(u"Forms", u"Other", u"2") &&
              s.SaveSetting(u"Forms\\Main", u"Left", u"120"));
  const struct { const char16_t* section; const char16_t* key; bool deleted; const char16_t* left; }
      kDeletes[] = {{u"Forms", u"COUNT", true, u"2"}, {u"Forms", u"Count", false, u"2"},
                    {u"Elsewhere", u"Count", false, u"2"}, {u"Forms", u"", false, u"2"},
                    {u"Forms\\Main", u"", true, u"2"}, {u"Forms", u"", true, u"gone"},
                    {u"Forms", u"", false, u"gone"}};
  for (const auto& c : kDeletes) {
    EXPECT_EQ(s.DeleteSetting(c.section, c.key), c.deleted) << U8(c.section) << " " << U8(c.key);
    EXPECT_EQ(s.GetSetting(u"Forms", u"Other", u"gone"), c.left);
  }
  EXPECT_EQ(s.GetSetting(u"Forms", u"Count", u"gone"), u"gone");
}

TEST(CRegSettings, CompanyAppNameAndRootKeyChooseTheKey) {
  TempDir dir;
  CRegSettings s(StoreIn(dir.path().string()));
  ASSERT_TRUE(s.SaveSetting(u"Main", u"k", u"default path"));
  const struct { const char16_t* company; const char16_t* app; const char* path; } kCases[] = {
      {u"  Acme  ", u" Payroll ", "Software\\Acme\\Payroll\\Main"},
      {u"", u"", "Software\\VB and VBA Program Settings\\Cobaltmoth\\Main"},
      {u"   ", u"\t", "Software\\\\\t\\Main"},  // blanks alone are trimmed to nothing
      {u"vb AND vba program SETTINGS", u"COBALTMOTH",
       "Software\\vb AND vba program SETTINGS\\COBALTMOTH\\Main"}};
  for (const auto& c : kCases) {
    s.Company(c.company);
    s.AppName(c.app);
    EXPECT_EQ(U8(s.KeyPath(u"Main")), c.path);
  }
  EXPECT_EQ(s.GetSetting(u"Main", u"k"), u"default path");  // the same key, without case
  CRegSettings nowhere(nullptr);  // no store at all
  s.RootKey(0x80000003u);         // a root that cannot be opened
  for (CRegSettings* failing : {&s, &nowhere}) {
    EXPECT_EQ(failing->GetSetting(u"Main", u"k", u"dflt"), u"dflt");
    EXPECT_EQ(failing->GetSettingAsBinary(u"Main", u"k", u"A"), (Bytes{'A', 0}));
    EXPECT_FALSE(failing->SaveSetting(u"Main", u"k", u"v"));
    EXPECT_FALSE(failing->DeleteSetting(u"Main", u"k"));
  }
  s.RootKey(kHklm);
  EXPECT_EQ(s.GetSetting(u"Main", u"k", u"dflt"), u"dflt");  // the machine's are apart
}

TEST(SysInfo, ReadsTheMachinesOwnerAndOrganisationAfreshAtEveryCall) {
  TempDir dir;
  const auto store = StoreIn(dir.path().string());
  const SysInfo info(store);
  EXPECT_EQ(info.User() + info.Company(), u"");
  CRegSettings windows(store);
  windows.Company(u"Microsoft");
  windows.AppName(u"Windows");
  ASSERT_TRUE(windows.SaveSetting(u"CurrentVersion", u"RegisteredOwner", u"Someone Else"));
  EXPECT_EQ(info.User(), u"");  // the current user's are not the machine's
  windows.RootKey(kHklm);
  ASSERT_TRUE(windows.SaveSetting(u"CurrentVersion", u"RegisteredOwner", u"Ada Lovelace"));
  ASSERT_TRUE(windows.SaveSetting(u"CurrentVersion", u"RegisteredOrganization", u" Engines "));
  EXPECT_EQ(info.User() + u"|" + info.Company(), u"Ada Lovelace| Engines ");
  ASSERT_TRUE(windows.SaveSetting(u"currentversion", u"registeredowner", u""));
  EXPECT_EQ(info.User(), u"");
}

#ifdef COBALTMOTH_REG_TOOL
TEST(CobaltmothReg, SetsGetsAndDeletesWhatTheLibraryReads) {
  TempDir dir;
  const std::string cv = "Software\\Microsoft\\Windows\\CurrentVersion", forms = "Software\\Forms";
  const std::string usage = "usage: cobaltmoth-reg get        ROOT PATH NAME\n";
  const std::string no_such = "cobaltmoth-reg: HKCU\\" + forms;
  const struct { std::vector<std::string> args; int exit_code; std::string out, err; } kRuns[] = {
      {{"set", "HKLM", cv, "RegisteredOwner", "Ada Lovelace"}, 0, "", ""},
      {{"set", "hkey_local_machine", "software\\microsoft\\windows\\currentversion",
        "RegisteredOrganization", "Engines \xE2\x82\xAC \xF0\x9F\x98\x80 \xE6\x97\xA5"}, 0, "", ""},
      {{"get", "HKLM", cv, "registeredorganization"}, 0, "Engines \xE2\x82\xAC ? ?\n", ""},
      {{"get", "HKCU", "Software\\Raw", "Text"}, 0, "hi\n", ""},
      {{"set-binary", "HKCU", forms, "Blob", "00fF7a"}, 0, "", ""},
      {{"get", "HKCU", forms, "blob"}, 0, "00ff7a\n", ""},
      {{"set-binary", "HKCU", forms, "*", ""}, 0, "", ""},
      {{"get", "HKCU", forms, "*"}, 0, "\n", ""},
      {{"set", "HKCU", forms + "\\Main", "Left", "120"}, 0, "", ""},
      {{"delete", "HKCU", forms}, 3, "", no_such + ": access denied (the store cannot be written "
                                          "by this user, or the key has subkeys)\n"},
      {{"delete", "HKCU", forms + "\\Main", "LEFT"}, 0, "", ""},
      {{"get", "HKCU", forms + "\\Main", "Left"}, 1, "", no_such + "\\Main Left: no such key or "
                                                           "value\n"},
      {{"delete", "HKCU", forms + "\\Main\\"}, 0, "", ""},
      {{"delete", "HKCU", forms}, 0, "", ""},
      {{"delete", "HKCU", forms}, 1, "", no_such + ": no such key or value\n"},
      {{"--help"}, 0, usage, ""},
      {{}, 2, "", usage},
      {{"get", "HKCR", cv, "x"}, 2, "", "cobaltmoth-reg: ROOT must be HKCU or HKLM\n\n" + usage},
      {{"set-binary", "HKCU", cv, "x", "abc"}, 2, "", "cobaltmoth-reg: HEX must be pairs"},
      {{"delete", "HKCU", "\\"}, 2, "", "cobaltmoth-reg: the root itself cannot be deleted\n"},
      {{"list", "HKCU", cv}, 2, "", "cobaltmoth-reg: unknown command\n"},
  };
  const SysInfo info(StoreIn(dir.path().string()));
  {
    RegKey raw;  // a text without its closing NUL, as another program may write it
    ASSERT_EQ(StoreIn(dir.path().string())->CreateKey(kHkcu, u"Software\\Raw", &raw), kOk);
    ASSERT_EQ(raw->SetValue(u"Text", platform::kRegSz, Bytes{'h', 'i'}), kOk);
  }
  for (const auto& c : kRuns) {
    const testing::DetachedRun run = testing::RunDetached([&](int out) {
      ::setenv("COBALTMOTH_REGISTRY_DIR", dir.path().c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(COBALTMOTH_REG_TOOL)};
      for (const std::string& arg : c.args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      ::dup2(out, STDOUT_FILENO);
      return ::execv(argv[0], argv.data());
    });
    const std::string args = ::testing::PrintToString(c.args);
    EXPECT_EQ(testing::ExitCode(run.status), c.exit_code) << args << run.errors;
    // The whole output; of the usage text, its first line.
    EXPECT_EQ(run.report.substr(0, c.out == usage ? usage.size() : std::string::npos), c.out);
    EXPECT_EQ(run.errors.substr(0, c.err.empty() ? std::string::npos : c.err.size()), c.err)
        << args;
  }
  EXPECT_EQ(U8(info.User()), "Ada Lovelace");
  EXPECT_EQ(U8(info.Company()), "Engines \u20ac ? ?");
}
#endif

}  // namespace
}  // namespace cobaltmoth
