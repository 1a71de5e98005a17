// The settings store on SQLite: the registry's rules on real files, hives that cannot be
// opened, where the hives live, eight processes saving at once, a process killed while saving.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "component/base/text.hpp"
#include "fake_platform.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/registry.hpp"
#include "support/c_reg_settings.hpp"
#include "support/sys_info.hpp"
#include "temp_dir.hpp"

namespace cobaltmoth {
namespace {

namespace fs = std::filesystem;
using platform::RegistryHives;
using platform::RegKey;
using platform::RegStatus;
using platform::RegValue;
using testing::TempDir;
using testing::U8;
using text::Decimal;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kHkcu = platform::kHkeyCurrentUser;
constexpr std::uint32_t kHklm = platform::kHkeyLocalMachine;

RegistryHives HivesIn(const std::string& folder) {
  return {folder + "/user.db", folder + "/machine.db"};
}

std::string Status(RegStatus status) { return std::to_string(static_cast<int>(status)); }

// Sets (or, given nullptr, removes) an environment variable for the length of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class SqliteRegistryTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::shared_ptr<platform::Registry> registry_ =
      platform::MakeSqliteRegistry(HivesIn(dir_.path().string()));

  RegKey Create(std::u16string_view path, std::uint32_t root = kHkcu) {
    RegKey key;
    EXPECT_EQ(registry_->CreateKey(root, path, &key), RegStatus::kOk) << U8(path);
    return key;
  }
  RegStatus OpenStatus(std::u16string_view path, std::uint32_t root = kHkcu) {
    RegKey key;
    return registry_->OpenKey(root, path, &key);
  }
  std::optional<RegValue> Query(RegKey& key, std::u16string_view name) {
    RegValue value;
    if (key->QueryValue(name, &value) != RegStatus::kOk) return std::nullopt;
    return value;
  }
};

TEST_F(SqliteRegistryTest, CreatingMakesEveryKeyAlongThePathAndValuesPersist) {
  {
    RegKey key = Create(u"Software\\Acme\\Payroll\\Main");
    ASSERT_EQ(key->SetValue(u"Title", platform::kRegSz, Bytes{'P', 0}), RegStatus::kOk);
    ASSERT_EQ(key->SetValue(u"", platform::kRegBinary, Bytes{}), RegStatus::kOk);
    ASSERT_EQ(key->SetValue(u"Odd", 7, Bytes{1, 2, 3}), RegStatus::kOk);
  }
  EXPECT_EQ(OpenStatus(u"Software"), RegStatus::kOk);
  EXPECT_EQ(OpenStatus(u"Software\\Acme\\Payroll"), RegStatus::kOk);
  EXPECT_EQ(OpenStatus(u"Software\\Acme\\Payroll\\Other"), RegStatus::kNotFound);
  // A new store on the same files sees everything.
  auto again = platform::MakeSqliteRegistry(HivesIn(dir_.path().string()));
  RegKey key;
  ASSERT_EQ(again->OpenKey(kHkcu, u"Software\\Acme\\Payroll\\Main", &key), RegStatus::kOk);
  RegValue value{99, Bytes{9}};
  ASSERT_EQ(key->QueryValue(u"Title", &value), RegStatus::kOk);
  EXPECT_EQ(value.type, 1u);
  EXPECT_EQ(value.data, (Bytes{'P', 0}));
  ASSERT_EQ(key->QueryValue(u"", &value), RegStatus::kOk);
  EXPECT_EQ(value.type, 3u);
  EXPECT_TRUE(value.data.empty());
  ASSERT_EQ(key->QueryValue(u"Odd", &value), RegStatus::kOk);
  EXPECT_EQ(value.type, 7u);
  EXPECT_EQ(value.data, (Bytes{1, 2, 3}));
  value = RegValue{42, Bytes{4}};
  EXPECT_EQ(key->QueryValue(u"Missing", &value), RegStatus::kNotFound);
  EXPECT_EQ(value.type, 42u);  // untouched on failure
}

TEST_F(SqliteRegistryTest, NamesIgnoreCaseAndKeepTheCaseTheyWereMadeWith) {
  {
    RegKey key = Create(u"Software\\\u00c4rger\\\u03a9mega");
    ASSERT_EQ(key->SetValue(u"Width", platform::kRegSz, Bytes{'1', 0}), RegStatus::kOk);
    ASSERT_EQ(key->SetValue(u"WIDTH", platform::kRegSz, Bytes{'2', 0}), RegStatus::kOk);
  }
  RegKey key;
  ASSERT_EQ(registry_->OpenKey(kHkcu, u"SOFTWARE\\\u00e4RGER\\\u03c9MEGA", &key), RegStatus::kOk);
  EXPECT_EQ(Query(key, u"width")->data, (Bytes{'2', 0}));
  { RegKey same = Create(u"software\\\u00e4rger\\\u03c9mega\\Sub"); }

  // The names on disk are those of the first creation.
  sqlite3* db = nullptr;
  ASSERT_EQ(::sqlite3_open_v2((dir_ / "user.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  std::string names;
  sqlite3_stmt* select = nullptr;
  ASSERT_EQ(::sqlite3_prepare_v2(db,
                                 "SELECT name FROM keys WHERE id > 1 ORDER BY id;"
                                 "", -1, &select, nullptr),
            SQLITE_OK);
  while (::sqlite3_step(select) == SQLITE_ROW) {
    names += reinterpret_cast<const char*>(::sqlite3_column_text(select, 0));
    names += "|";
  }
  ::sqlite3_finalize(select);
  ASSERT_EQ(::sqlite3_prepare_v2(db, "SELECT name FROM vals", -1, &select, nullptr), SQLITE_OK);
  while (::sqlite3_step(select) == SQLITE_ROW) {
    names += reinterpret_cast<const char*>(::sqlite3_column_text(select, 0));
    names += "|";
  }
  ::sqlite3_finalize(select);
  ::sqlite3_close(db);
  EXPECT_EQ(names, "Software|\u00c4rger|\u03a9mega|Sub|Width|");
}

TEST_F(SqliteRegistryTest, EmptyNamesInAPathArePassedOver) {
  { RegKey key = Create(u"\\Software\\\\App\\"); }
  EXPECT_EQ(OpenStatus(u"Software\\App"), RegStatus::kOk);
  RegKey root;
  ASSERT_EQ(registry_->OpenKey(kHkcu, u"", &root), RegStatus::kOk);
  EXPECT_EQ(root->DeleteSubKey(u"Software\\\\App"), RegStatus::kOk);
  EXPECT_EQ(OpenStatus(u"Software\\App"), RegStatus::kNotFound);
}

TEST_F(SqliteRegistryTest, OnlyTheTwoRootsOpenAndEachHasItsOwnFile) {
  RegKey key;
  EXPECT_EQ(registry_->CreateKey(0x80000000u, u"Software", &key), RegStatus::kInvalidHandle);
  EXPECT_EQ(registry_->CreateKey(0x80000003u, u"Software", &key), RegStatus::kInvalidHandle);
  EXPECT_EQ(registry_->OpenKey(0, u"", &key), RegStatus::kInvalidHandle);
  EXPECT_EQ(key, nullptr);
  {
    RegKey machine = Create(u"Software\\Shared", kHklm);
    ASSERT_EQ(machine->SetValue(u"Where", platform::kRegSz, Bytes{'M', 0}), RegStatus::kOk);
  }
  EXPECT_TRUE(fs::exists(dir_ / "machine.db"));
  EXPECT_FALSE(fs::exists(dir_ / "user.db"));
  EXPECT_EQ(OpenStatus(u"Software\\Shared"), RegStatus::kNotFound);
  EXPECT_EQ(OpenStatus(u"Software\\Shared", kHklm), RegStatus::kOk);
}

TEST_F(SqliteRegistryTest, ReadingAHiveThatWasNeverWrittenMakesNoFile) {
  EXPECT_EQ(OpenStatus(u"Software\\Acme"), RegStatus::kNotFound);
  EXPECT_FALSE(fs::exists(dir_ / "user.db"));
  // Its root exists, as every root does.
  EXPECT_EQ(OpenStatus(u""), RegStatus::kOk);
}

TEST_F(SqliteRegistryTest, AKeyWithSubkeysIsNotDeletedAndAKeyDeletedUnderAHandleIsGone) {
  RegKey app = Create(u"Software\\App");
  RegKey forms = Create(u"Software\\App\\Forms");
  { RegKey main = Create(u"Software\\App\\Forms\\Main"); }
  ASSERT_EQ(forms->SetValue(u"Count", platform::kRegSz, Bytes{'1', 0}), RegStatus::kOk);
  EXPECT_EQ(app->DeleteSubKey(u"Forms"), RegStatus::kAccessDenied);
  EXPECT_EQ(app->DeleteSubKey(u"Nothing"), RegStatus::kNotFound);
  EXPECT_EQ(app->DeleteSubKey(u"FORMS\\main"), RegStatus::kOk);
  EXPECT_EQ(app->DeleteSubKey(u"Forms"), RegStatus::kOk);
  RegValue value;
  EXPECT_EQ(forms->QueryValue(u"Count", &value), RegStatus::kKeyDeleted);
  EXPECT_EQ(forms->SetValue(u"Count", platform::kRegSz, Bytes{'2', 0}), RegStatus::kKeyDeleted);
  EXPECT_EQ(forms->DeleteValue(u"Count"), RegStatus::kKeyDeleted);
  // Made again, the key has none of the old values.
  RegKey fresh = Create(u"Software\\App\\Forms");
  EXPECT_FALSE(Query(fresh, u"Count"));
  // The empty path is the key itself; the root cannot go.
  EXPECT_EQ(fresh->DeleteSubKey(u""), RegStatus::kOk);
  EXPECT_EQ(OpenStatus(u"Software\\App\\Forms"), RegStatus::kNotFound);
  RegKey root;
  ASSERT_EQ(registry_->OpenKey(kHkcu, u"", &root), RegStatus::kOk);
  EXPECT_EQ(root->DeleteSubKey(u""), RegStatus::kAccessDenied);
  EXPECT_EQ(app->DeleteValue(u"Missing"), RegStatus::kNotFound);
}

TEST_F(SqliteRegistryTest, AFileThatIsNotAStoreIsABadDatabase) {
  std::ofstream(dir_ / "user.db", std::ios::binary) << std::string(4096, 'x');
  RegKey key;
  EXPECT_EQ(registry_->OpenKey(kHkcu, u"Software", &key), RegStatus::kBadDatabase);
  EXPECT_EQ(registry_->CreateKey(kHkcu, u"Software", &key), RegStatus::kBadDatabase);
  CRegSettings settings(registry_);
  EXPECT_EQ(settings.GetSetting(u"Main", u"k", u"dflt"), u"dflt");
  EXPECT_FALSE(settings.SaveSetting(u"Main", u"k", u"v"));
}

// --- Hives that cannot be opened. ----------------------------------------------------------

// Hands a path to the unprivileged user the checks run as (when the tests run as root).
void GiveAway(const std::string& path) {
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0) << path;
  }
}

// Runs `body` in a child process that is not root, since root ignores file permissions,
// and gives back what it returned.
std::string AsUnprivileged(const std::function<std::string()>& body) {
  int out[2];
  if (::pipe(out) != 0) return "pipe failed";
  const pid_t child = ::fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    ::close(out[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    const std::string result = body();
    const bool written =
        ::write(out[1], result.data(), result.size()) == static_cast<ssize_t>(result.size());
    ::_exit(written ? 0 : 3);
  }
  ::close(out[1]);
  std::string result;
  char buffer[256];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) result.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
  return result;
}

// What every call of the settings and the port answers on the hives in `folder`.
std::string Answers(const std::string& folder) {
  auto registry = platform::MakeSqliteRegistry(HivesIn(folder));
  CRegSettings settings(registry);
  RegKey key;
  const RegStatus open = registry->OpenKey(kHkcu, settings.KeyPath(u"Main"), &key);
  const RegStatus create = registry->CreateKey(kHkcu, settings.KeyPath(u"Main"), &key);
  key.reset();
  // One call after the other, in this order.
  std::string answers = "get " + U8(settings.GetSetting(u"Main", u"Title", u"dflt"));
  answers += ", binary ";
  answers += std::to_string(settings.GetSettingAsBinary(u"Main", u"Title", Bytes{7}).size());
  answers += ", save " + std::to_string(settings.SaveSetting(u"Main", u"Title", u"new"));
  answers += ", delete " + std::to_string(settings.DeleteSetting(u"Main", u"Title"));
  answers += ", delete section " + std::to_string(settings.DeleteSetting(u"Main"));
  return answers + ", open " + Status(open) + ", create " + Status(create);
}

// A hive with one setting, owned by the unprivileged user.
void MakeHive(const std::string& folder) {
  CRegSettings settings(platform::MakeSqliteRegistry(HivesIn(folder)));
  ASSERT_TRUE(settings.SaveSetting(u"Main", u"Title", u"stored"));
  GiveAway(folder);
  GiveAway(folder + "/user.db");
}

TEST(SqliteRegistryAccess, TheUnprivilegedUserCanUseAHiveOfTheirOwn) {
  TempDir dir;
  MakeHive(dir.path().string());
  EXPECT_EQ(AsUnprivileged([&] { return Answers(dir.path().string()); }),
            "get stored, binary 7, save 1, delete 1, delete section 1, open 0, create 0");
}

TEST(SqliteRegistryAccess, AReadOnlyDatabaseCannotBeOpenedEvenToRead) {
  TempDir dir;
  MakeHive(dir.path().string());
  ASSERT_EQ(::chmod((dir / "user.db").c_str(), 0444), 0);
  EXPECT_EQ(AsUnprivileged([&] { return Answers(dir.path().string()); }),
            "get dflt, binary 1, save 0, delete 0, delete section 0, open 5, create 5");
  // Untouched.
  CRegSettings settings(platform::MakeSqliteRegistry(HivesIn(dir.path().string())));
  EXPECT_EQ(settings.GetSetting(u"Main", u"Title"), u"stored");
}

TEST(SqliteRegistryAccess, AHiveInAReadOnlyFolderCannotBeOpened) {
  TempDir dir;
  MakeHive(dir.path().string());
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  EXPECT_EQ(AsUnprivileged([&] { return Answers(dir.path().string()); }),
            "get dflt, binary 1, save 0, delete 0, delete section 0, open 5, create 5");
}

TEST(SqliteRegistryAccess, AMissingHiveThatCannotBeMadeCannotBeOpened) {
  TempDir dir;
  const std::string folder = dir / "ro";
  ASSERT_EQ(::mkdir(folder.c_str(), 0555), 0);
  GiveAway(dir.path().string());
  GiveAway(folder);
  // The file cannot be made in the folder, nor the folder below it.
  for (const std::string& hives : {folder, folder + "/sub/dir"}) {
    EXPECT_EQ(AsUnprivileged([&] { return Answers(hives); }),
              "get dflt, binary 1, save 0, delete 0, delete section 0, open 2, create 5")
        << hives;
  }
  EXPECT_TRUE(fs::is_empty(folder));
}

// --- Where the hives live. -----------------------------------------------------------------

TEST(RegistryHives, AFolderForTestsElseTheUsersConfigurationAndEtc) {
  {
    ScopedEnv dir("COBALTMOTH_REGISTRY_DIR", "/tmp/reg");
    const RegistryHives hives = platform::DefaultRegistryHives();
    EXPECT_EQ(hives.current_user, "/tmp/reg/user.db");
    EXPECT_EQ(hives.local_machine, "/tmp/reg/machine.db");
  }
  ScopedEnv no_dir("COBALTMOTH_REGISTRY_DIR", "");
  ScopedEnv home("HOME", "/home/ada");
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "/home/ada/conf");
    EXPECT_EQ(platform::DefaultRegistryHives().current_user, "/home/ada/conf/cobaltmoth/user.db");
    EXPECT_EQ(platform::DefaultRegistryHives().local_machine, "/etc/cobaltmoth/machine.db");
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "relative/conf");  // not absolute: not used
    EXPECT_EQ(platform::DefaultRegistryHives().current_user,
              "/home/ada/.config/cobaltmoth/user.db");
  }
  ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
  EXPECT_EQ(platform::DefaultRegistryHives().current_user, "/home/ada/.config/cobaltmoth/user.db");
}

TEST(RegistryHives, TheDefaultPlatformFindsThemAtEveryOpen) {
  TempDir dir;
  {
    ScopedEnv env("COBALTMOTH_REGISTRY_DIR", dir.path().c_str());
    CRegSettings machine(platform::MakeSqliteRegistry(HivesIn(dir.path().string())));
    machine.RootKey(kHklm);
    machine.Company(u"Microsoft");
    machine.AppName(u"Windows");
    ASSERT_TRUE(machine.SaveSetting(u"CurrentVersion", u"RegisteredOwner", u"Ada"));
    SysInfo info(platform::DefaultPlatform()->registry);
    EXPECT_EQ(info.User(), u"Ada");
  }
  TempDir other;
  ScopedEnv env("COBALTMOTH_REGISTRY_DIR", other.path().c_str());
  EXPECT_EQ(SysInfo(platform::DefaultPlatform()->registry).User(), u"");
}

// --- Processes at once. --------------------------------------------------------------------

int WaitExitCode(pid_t child) {
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(SqliteRegistryProcesses, EightProcessesSavingAThousandValuesEachLoseNone) {
  constexpr int kProcesses = 8;
  constexpr int kValues = 1000;
  TempDir dir;
  const RegistryHives hives = HivesIn(dir.path().string());
  // The parent has the hive open when it forks, and the children save through the store
  // object they inherit.
  auto registry = platform::MakeSqliteRegistry(hives);
  auto settings = std::make_unique<CRegSettings>(registry);
  ASSERT_TRUE(settings->SaveSetting(u"Parent", u"Before", u"b"));
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(start[1]);
      char go;
      if (::read(start[0], &go, 1) != 0) ::_exit(2);  // all begin when the pipe closes
      for (int i = 0; i < kValues; ++i) {
        if (!settings->SaveSetting(u"Process " + Decimal(p), u"Value " + Decimal(i),
                                   Decimal(p * kValues + i))) {
          ::_exit(3);
        }
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  ::close(start[0]);
  ::close(start[1]);
  // Meanwhile the parent saves too, then closes its store while they are still at work.
  EXPECT_TRUE(settings->SaveSetting(u"Parent", u"During", u"d"));
  settings.reset();
  registry.reset();
  for (const pid_t child : children) EXPECT_EQ(WaitExitCode(child), 0);

  // Every value, read back through the port, one key per process.
  registry = platform::MakeSqliteRegistry(hives);
  CRegSettings reader(registry);
  int found = 0;
  for (int p = 0; p < kProcesses; ++p) {
    RegKey key;
    ASSERT_EQ(registry->OpenKey(kHkcu, reader.KeyPath(u"Process " + Decimal(p)), &key),
              RegStatus::kOk);
    for (int i = 0; i < kValues; ++i) {
      RegValue value;
      if (key->QueryValue(u"Value " + Decimal(i), &value) == RegStatus::kOk &&
          RegTextFromBytes(value.data) == Decimal(p * kValues + i)) {
        ++found;
      }
    }
  }
  EXPECT_EQ(found, kProcesses * kValues);
  EXPECT_EQ(reader.GetSetting(u"Process 7", u"Value 999"), u"7999");
  EXPECT_EQ(reader.GetSetting(u"Parent", u"Before"), u"b");
  EXPECT_EQ(reader.GetSetting(u"Parent", u"During"), u"d");
}

TEST(SqliteRegistryProcesses, AProcessKilledWhileSavingLosesNothingItSaved) {
  TempDir dir;
  const RegistryHives hives = HivesIn(dir.path().string());
  int progress[2];
  ASSERT_EQ(::pipe(progress), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(progress[0]);
    CRegSettings settings(platform::MakeSqliteRegistry(hives));
    for (std::int32_t i = 0;; ++i) {
      if (!settings.SaveSetting(u"Killed", u"Value " + Decimal(i), u"saved " + Decimal(i))) {
        ::_exit(3);
      }
      if (::write(progress[1], &i, sizeof i) != sizeof i) ::_exit(4);
    }
  }
  ::close(progress[1]);
  // Let it save a couple of thousand values, then kill it wherever it is.
  std::int32_t last = -1;
  std::int32_t report = 0;
  while (last < 2000 && ::read(progress[0], &report, sizeof report) == sizeof report) {
    last = report;
  }
  ::kill(child, SIGKILL);
  while (::read(progress[0], &report, sizeof report) == sizeof report) last = report;
  ::close(progress[0]);
  EXPECT_EQ(WaitExitCode(child), 128 + SIGKILL);
  ASSERT_GE(last, 2000);

  CRegSettings settings(platform::MakeSqliteRegistry(hives));
  int lost = 0;
  for (std::int32_t i = 0; i <= last; ++i) {
    if (settings.GetSetting(u"Killed", u"Value " + Decimal(i)) != u"saved " + Decimal(i)) ++lost;
  }
  EXPECT_EQ(lost, 0) << "of " << last + 1;
  EXPECT_EQ(settings.GetSetting(u"Killed", u"Value " + Decimal(last + 2), u"never"), u"never");
  // The store is still whole and writable.
  EXPECT_TRUE(settings.SaveSetting(u"Killed", u"After", u"yes"));
  EXPECT_EQ(settings.GetSetting(u"Killed", u"After"), u"yes");
  sqlite3* db = nullptr;
  ASSERT_EQ(::sqlite3_open_v2((dir / "user.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
            SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(::sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(::sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(::sqlite3_column_text(check, 0)), "ok");
  ::sqlite3_finalize(check);
  ::sqlite3_close(db);
}

}  // namespace
}  // namespace cobaltmoth
