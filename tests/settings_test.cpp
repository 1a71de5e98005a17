// The SQLite settings store in private folders, support::CRegSettings over it, cobaltmoth-reg and
// support::SysInfo.
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "fakes.hpp"
#include "platform/posix/settings/sqlite_registry.hpp"
#include "support/c_reg_settings.hpp"
#include "support/sys_info.hpp"

namespace cobaltmoth {
namespace {

using platform::RegKey, platform::RegStatus, platform::RegValue;
using enum platform::RegStatus;
using testing::TempDir, testing::U8;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kHkcu = platform::kHkeyCurrentUser, kHklm = platform::kHkeyLocalMachine;

std::shared_ptr<platform::Registry> StoreIn(const std::string& folder) {
  return platform::posix::settings::MakeSqliteRegistry(
      {folder + "/user.db", folder + "/machine.db"});
}
std::string Code(RegStatus status) { return std::to_string(static_cast<int>(status)); }

// A value of the key as "status type byte...", the type 99 when the query left it alone.
std::string Query(const RegKey& key, std::u16string_view name) {
  RegValue value{99, {}};
  std::string text = Code(key->QueryValue(name, &value));
  text += " " + std::to_string(value.type);
  for (const std::uint8_t byte : value.data) text += " " + std::to_string(byte);
  return text;
}

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

TEST(SqliteStore, KeysAndValuesFromMakingToDeletingAndWhatAFailureLeaves) {
  TempDir dir;
  const auto store = StoreIn(dir.path().string());
  const auto create = [&](std::u16string_view path, std::uint32_t root = kHkcu) {
    RegKey key;
    EXPECT_EQ(store->CreateKey(root, path, &key), kOk) << U8(path);
    return key;
  };
  // Names ignore case and keep their first; values keep their types.
  RegKey key = create(u"\\Software\\\\\u00c4rger\\\u03a9mega\\");  // empty names passed over
  ASSERT_EQ(key->SetValue(u"Width", platform::kRegSz, Bytes{'1', 0}), kOk);
  ASSERT_EQ(key->SetValue(u"WIDTH", 7, Bytes{1, 2, 3}), kOk);  // the same value, replaced
  ASSERT_EQ(key->SetValue(u"", platform::kRegBinary, Bytes{}), kOk);
  create(u"software\\\u00e4rger\\\u03c9MEGA\\Sub");
  ASSERT_EQ(StoreIn(dir.path().string())->OpenKey(kHkcu, u"SOFTWARE\\\u00e4RGER\\\u03c9mega",
                                                  &key), kOk);  // a new store on the same files
  EXPECT_EQ(Query(key, u"width") + "|" + Query(key, u"") + "|" + Query(key, u"Missing"),
            "0 7 1 2 3|0 3|2 99");
  EXPECT_EQ(Sql(dir / "user.db", "SELECT name FROM keys WHERE id > 1 ORDER BY id; "
                                 "SELECT name FROM vals ORDER BY folded"),
            "Software|\u00c4rger|\u03a9mega|Sub||Width|");
  // Two roots only; without a home folder there is no hive.
  EXPECT_EQ(store->CreateKey(0x80000003u, u"", &key), kInvalidHandle);
  EXPECT_EQ(platform::posix::settings::MakeSqliteRegistry({"", ""})->OpenKey(kHkcu, u"", &key),
            kAccessDenied);
  // Only keys without subkeys are deleted; their handles then answer 1018.
  RegKey app = create(u"Software\\App"), forms = create(u"Software\\App\\Forms");
  create(u"Software\\App\\Forms\\Main");
  ASSERT_EQ(forms->SetValue(u"Count", platform::kRegSz, Bytes{'1', 0}), kOk);
  std::string deletes;  // Forms has a subkey, Nothing is not there, Main and Forms go
  for (const char16_t* path : {u"Forms", u"Nothing", u"FORMS\\main", u"Forms", u"Forms"}) {
    deletes += Code(app->DeleteSubKey(path)) + " ";
  }
  EXPECT_EQ(deletes, "5 2 0 0 2 ");
  EXPECT_EQ(Query(forms, u"Count") + " " + Code(forms->SetValue(u"Count", 1, Bytes{})) + " " +
                Code(forms->DeleteValue(u"Count")), "1018 99 1018 1018");
  RegKey fresh = create(u"Software\\App\\Forms");  // made again: none of the old values
  EXPECT_EQ(Query(fresh, u"Count"), "2 99");
  EXPECT_EQ(fresh->DeleteSubKey(u""), kOk);  // the empty path: the key itself
  EXPECT_EQ(app->DeleteSubKey(u"Forms"), kNotFound);
  EXPECT_EQ(create(u"", kHklm)->DeleteSubKey(u""), kAccessDenied);  // a root stays
  // Triggers refuse a key "C" and any removal: a failing write leaves nothing half done.
  ASSERT_EQ(app->SetValue(u"v", platform::kRegSz, Bytes{'1', 0}), kOk);
  ASSERT_EQ(Sql(dir / "user.db", "CREATE TRIGGER c BEFORE INSERT ON keys WHEN NEW.folded = 'c' "
                "BEGIN SELECT RAISE(ABORT, ''); END; CREATE TRIGGER d BEFORE DELETE ON keys "
                "BEGIN SELECT RAISE(ABORT, ''); END;"), "");
  EXPECT_EQ(store->CreateKey(kHkcu, u"Software\\App\\B\\C", &key), kBadDatabase);
  EXPECT_EQ(store->OpenKey(kHkcu, u"Software\\App\\B", &key), kNotFound);  // B went with C
  EXPECT_EQ(create(u"Software")->DeleteSubKey(u"App"), kBadDatabase);
  EXPECT_EQ(Query(app, u"v"), "0 1 49 0");  // its values stay
  testing::WriteFile(dir / "new/machine.db", std::string(4096, 'x'));  // a damaged file is 1009
  EXPECT_EQ(StoreIn(dir / "new")->CreateKey(kHklm, u"Software", &key), kBadDatabase);
}

TEST(SqliteStore, AForkNeverWaitsForTheStoreAndTheChildReadsIt) {
  // A host forks in a loop while another thread of it writes and reads the store, and once
  // more while that thread's write waits for another program's lock: no fork waits for a call
  // in progress, and every child reads through the registry it inherited.
  TempDir dir;
  const auto store = StoreIn(dir.path().string());
  RegKey key;
  ASSERT_EQ(store->CreateKey(kHkcu, u"Software\\Payroll", &key), kOk);
  ASSERT_EQ(key->SetValue(u"Owner", platform::kRegSz, Bytes{'A', 0}), kOk);
  const auto fork_a_reader = [&] {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(5);
      RegKey mine;
      const bool read = store->OpenKey(kHkcu, u"Software\\Payroll", &mine) == kOk &&
                        Query(mine, u"Owner") == Code(kOk) + " 1 65 0";
      ::_exit(read ? 0 : 1);
    }
    return pid;
  };
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::thread busy([&] {
    for (std::uint8_t i = 0; !stop; ++i) {
      if (key->SetValue(u"Counter", platform::kRegBinary, Bytes{i}) != kOk ||
          Query(key, u"Counter") != Code(kOk) + " 3 " + std::to_string(i)) {
        ++failures;
      }
    }
  });
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(testing::ExitCode(testing::WaitChild(fork_a_reader(), 5000)), 0) << i;
  }
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    sqlite3* db = nullptr;
    ::sqlite3_open((dir / "user.db").c_str(), &db);
    ::sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    testing::WriteString(ready[1], "held");
    ::sleep(3);
    ::_exit(0);
  }
  char held[4] = {};
  EXPECT_EQ(::read(ready[0], held, sizeof held), 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the thread's write waits
  EXPECT_EQ(testing::ExitCode(testing::WaitChild(fork_a_reader(), 5000)), 0);
  EXPECT_EQ(::waitpid(holder, nullptr, WNOHANG), 0) << "the fork waited for the lock";
  stop = true;
  busy.join();
  testing::WaitChild(holder, 5000);
  EXPECT_EQ(failures, 0);
}

TEST(SqliteStoreAccess, AUsersHiveThatCannotBeWrittenCannotBeReadButTheMachinesCan) {
  // A hive of `root` is made, `file` in its folder then gets `mode`, and a store on the hive
  // `below` the folder opens, reads and saves (nullptr: the same hive, opened before the
  // change). As the unprivileged user 65534 when the tests run as root, who may write anything.
  const struct { std::uint32_t root; const char* file; mode_t mode; const char* below;
                 const char* said; } kCases[] = {
      {kHkcu, "", 0700, "", "open 0, read stored, save 1"},
      {kHkcu, "/user.db", 0444, "", "open 5, read none, save 0"},
      {kHkcu, "/user.db", 0444, nullptr, "open 5, read none, save 0"},
      {kHkcu, "", 0555, "", "open 5, read none, save 0"},
      {kHkcu, "", 0555, "/none", "open 2, read none, save 0"},  // a new hive, read-only folder
      {kHklm, "/machine.db", 0444, "", "open 0, read stored, save 0"},
      {kHklm, "", 0555, "", "open 0, read stored, save 0"},
  };
  for (const auto& c : kCases) {
    TempDir dir;
    const std::string hives = dir / "hives #1%?";  // what a URI must escape
    ::chmod(dir.path().c_str(), 0777);
    const testing::DetachedRun run = testing::RunDetached([&](int report) {
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
      {  // made by a store closed again before the change
        support::CRegSettings maker(StoreIn(hives));
        maker.RootKey(c.root);
        if (!maker.SaveSetting(u"Main", u"Title", u"stored")) return 3;
      }
      const auto store = StoreIn(hives + (c.below == nullptr ? "" : c.below));
      support::CRegSettings s(store);
      s.RootKey(c.root);
      if (c.below == nullptr) s.GetSetting(u"Main", u"Title");  // opened before the change
      ::chmod((hives + c.file).c_str(), c.mode);
      RegKey key;
      std::string said = "open " + Code(store->OpenKey(c.root, s.KeyPath(u""), &key));
      said += ", read " + U8(s.GetSetting(u"Main", u"Title", u"none")) + ", save ";
      testing::WriteString(report, said + std::to_string(s.SaveSetting(u"Main", u"Title", u"new")));
      return 0;
    });
    EXPECT_EQ(run.report, c.said) << c.root << " " << hives + c.file << run.errors;
  }
}

TEST(CRegSettings, SettingsKeepTheirTypesAndBytesInTheKeyThatTheNamesAndRootChoose) {
  TempDir dir;
  const auto store = StoreIn(dir.path().string());
  support::CRegSettings s(store);
  // Each saved as text ('t'), as a text's UTF-16 code units ('w') or as bytes ('b'), then read
  // from the store and back as text (a text as itself) and as bytes. "*" is the unnamed value.
  const struct { const char16_t* key; char as; std::u16string saved; Bytes bytes;
                 std::u16string text{}; } kCases[] = {
      {u"Title", 't', u"Caf\u00e9 \u20ac", {'C', 'a', 'f', 0xE9, ' ', 0x80, 0}},
      {u"Empty", 't', u"", {0}},
      {u"None", 'b', u"", {}, u"dflt"},
      {u"Wide", 'w', u"A\u00ff\u65e5", {'A', 0, 0xFF, 0, 0xE5, 0x65}, {u"A\0\u00ff\0\u00e5", 5}},
      {u"*", 't', u"unnamed", {'u', 'n', 'n', 'a', 'm', 'e', 'd', 0}},
  };
  RegKey key;
  for (const auto& c : kCases) {
    ASSERT_TRUE(c.as == 't'   ? s.SaveSetting(u"Main", c.key, c.saved)
                : c.as == 'w' ? s.SaveSettingAsBinary(u"Main", c.key, c.saved)
                              : s.SaveSettingAsBinary(u"Main", c.key, c.bytes));
    RegValue value;
    ASSERT_EQ(store->OpenKey(kHkcu, s.KeyPath(u"Main"), &key), kOk);
    ASSERT_EQ(key->QueryValue(c.key == std::u16string_view(u"*") ? u"" : c.key, &value), kOk);
    EXPECT_EQ(std::pair(value.type, value.data), std::pair(c.as == 't' ? 1u : 3u, c.bytes));
    EXPECT_EQ(s.GetSetting(u"Main", c.key, u"dflt"), c.as == 't' ? c.saved : c.text);
    EXPECT_EQ(s.GetSettingAsBinary(u"Main", c.key, Bytes{9}), c.bytes.empty() ? Bytes{9} : c.bytes);
  }
  EXPECT_EQ(s.GetSettingAsBinary(u"Nowhere", u"Missing", u"H\u00e9\u65e5"),
            (Bytes{'H', 0, 0xE9, 0, 0xE5, 0x65}));  // a text: its UTF-16 code units
  support::CRegSettings machine(store),
      nowhere(nullptr);  // the machine's are apart; no store, nothing
  machine.RootKey(kHklm);
  EXPECT_EQ(machine.GetSetting(u"Main", u"Title") + nowhere.GetSetting(u"Main", u"Title"), u"");
  EXPECT_FALSE(nowhere.SaveSetting(u"Main", u"Title", u"v") || nowhere.DeleteSetting(u"Main", u""));
  // Company and application name, trimmed of blanks, choose the key.
  const struct { const char16_t* company; const char16_t* app; const char* path; } kKeys[] = {
      {u"  Acme  ", u" Payroll ", "Software\\Acme\\Payroll\\Main"},
      {u"   ", u"\t", "Software\\\\\t\\Main"},  // blanks alone are trimmed to nothing
      {u"", u"", "Software\\VB and VBA Program Settings\\Cobaltmoth\\Main"}};
  for (const auto& c : kKeys) {
    s.Company(c.company);
    s.AppName(c.app);
    EXPECT_EQ(U8(s.KeyPath(u"Main")), c.path);
  }
  // Deleting: one value, or a section without subkeys.
  ASSERT_TRUE(s.SaveSetting(u"Main\\Sub", u"Left", u"120"));
  const struct { const char16_t* section; const char16_t* key; bool deleted; const char16_t* left; }
      kDeletes[] = {{u"Main", u"TITLE", true, u""}, {u"Main", u"Title", false, u""},
                    {u"Main", u"", false, u""}, {u"Main\\Sub", u"", true, u""},
                    {u"Main", u"", true, u"gone"}, {u"Main", u"", false, u"gone"}};
  for (const auto& c : kDeletes) {
    EXPECT_EQ(s.DeleteSetting(c.section, c.key), c.deleted) << U8(c.section) << " " << U8(c.key);
    EXPECT_EQ(s.GetSetting(u"Main", u"Empty", u"gone"), c.left);
  }
}

#ifdef COBALTMOTH_REG_TOOL
TEST(CobaltmothReg, SetsGetsAndDeletesWhatTheLibraryReads) {
  TempDir dir;
  const std::string cv = "Software\\Microsoft\\Windows\\CurrentVersion", forms = "Software\\Forms";
  const std::string usage = "usage: cobaltmoth-reg get        ROOT PATH NAME\n";
  const std::string main = forms + "\\Main", error = "cobaltmoth-reg: HKCU\\" + forms;
  const struct { std::vector<std::string> args; int exit_code = 0; std::string out{}, err{}; }
      kRuns[] = {
      {{"set", "HKLM", cv, "RegisteredOwner", "Ada Lovelace"}},
      {{"set", "hkey_local_machine", cv, "RegisteredOrganization",
        "Acme \xE2\x82\xAC \xF0\x9F\x98\x80 \xE6\x97\xA5"}},
      {{"get", "HKLM", cv, "registeredorganization"}, 0, "Acme \xE2\x82\xAC ? ?\n"},
      {{"get", "HKCU", "Software\\Raw", "*"}, 0, "hi\n"},
      {{"set", "HKCU", main, "Left", "120"}}, {{"set-binary", "HKCU", forms, "Blob", "00fF7a"}},
      {{"get", "HKCU", forms, "blob"}, 0, "00ff7a\n"}, {{"delete", "HKCU", main, "LEFT"}},
      {{"delete", "HKCU", forms}, 3, "", error + ": access denied (the store cannot be written"},
      {{"get", "HKCU", main, "Left"}, 1, "", error + "\\Main Left: no such key or value\n"},
      {{"delete", "HKCU", main + "\\"}}, {{"--help"}, 0, usage}, {{}, 2, "", usage},
      {{"get", "HKCR", cv, "x"}, 2, "", "cobaltmoth-reg: ROOT must be HKCU or HKLM\n\n" + usage},
      {{"set-binary", "HKCU", cv, "x", "abc"}, 2, "", "cobaltmoth-reg: HEX must be pairs"},
      {{"delete", "HKCU", "\\"}, 2, "", "cobaltmoth-reg: the root itself cannot be deleted\n"},
      {{"list", "HKCU", cv}, 2, "", "cobaltmoth-reg: unknown command\n"},
  };
  const support::SysInfo info(StoreIn(dir.path().string()));  // reads afresh at every call
  RegKey raw;  // a text without its closing NUL, as another program may write it
  ASSERT_EQ(StoreIn(dir.path().string())->CreateKey(kHkcu, u"Software\\Raw", &raw), kOk);
  ASSERT_EQ(raw->SetValue(u"", platform::kRegSz, Bytes{'h', 'i'}), kOk);
  for (const auto& c : kRuns) {
    std::vector<char*> argv{const_cast<char*>(COBALTMOTH_REG_TOOL)};
    for (const std::string& arg : c.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const testing::DetachedRun run = testing::RunDetached([&](int out) {
      ::setenv("COBALTMOTH_REGISTRY_DIR", dir.path().c_str(), 1);
      return ::dup2(out, STDOUT_FILENO) < 0 ? 2 : ::execv(argv[0], argv.data());
    });
    EXPECT_EQ(testing::ExitCode(run.status), c.exit_code)
        << ::testing::PrintToString(c.args) << run.errors;
    // The whole output; of the usage text, its first line.
    EXPECT_EQ(run.report.substr(0, c.out == usage ? usage.size() : std::string::npos), c.out);
    EXPECT_EQ(run.errors.substr(0, c.err.empty() ? std::string::npos : c.err.size()), c.err);
  }
  EXPECT_EQ(U8(info.User() + u"|" + info.Company()), "Ada Lovelace|Acme \u20ac ? ?");  // HKLM's
}
#endif

}  // namespace
}  // namespace cobaltmoth
