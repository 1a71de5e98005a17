// CRegSettings and SysInfo: key paths and properties against the recording fake store, and
// every settings round trip against both the fake and the SQLite store on disk.
#include "support/c_reg_settings.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fake_platform.hpp"
#include "platform/posix/posix_platform.hpp"
#include "support/sys_info.hpp"
#include "temp_dir.hpp"

namespace cobaltmoth {
namespace {

using platform::RegKey;
using platform::RegStatus;
using platform::RegValue;
using testing::FakeRegistry;
using testing::TempDir;
using testing::U8;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kHkcu = platform::kHkeyCurrentUser;
constexpr std::uint32_t kHklm = platform::kHkeyLocalMachine;
const std::u16string kAppKey = u"Software\\VB and VBA Program Settings\\Cobaltmoth";

// --- Key paths and properties, as the fake store records them. ------------------------------

class CRegSettingsPaths : public ::testing::Test {
 protected:
  std::shared_ptr<FakeRegistry> fake_ = std::make_shared<FakeRegistry>();
  CRegSettings settings_{fake_};
};

TEST_F(CRegSettingsPaths, DefaultsNameTheApplicationKeyUnderTheCurrentUser) {
  EXPECT_EQ(U8(settings_.Company()), "VB and VBA Program Settings");
  EXPECT_EQ(U8(settings_.AppName()), "Cobaltmoth");
  EXPECT_EQ(settings_.RootKey(), 0x80000001u);
  EXPECT_EQ(U8(settings_.KeyPath(u"Main")),
            "Software\\VB and VBA Program Settings\\Cobaltmoth\\Main");
  EXPECT_EQ(U8(settings_.KeyPath(u"")), "Software\\VB and VBA Program Settings\\Cobaltmoth");
  EXPECT_EQ(U8(settings_.KeyPath(u"A\\B\\")),
            "Software\\VB and VBA Program Settings\\Cobaltmoth\\A\\B\\");

  ASSERT_TRUE(settings_.SaveSetting(u"Main", u"Title", u"x"));
  EXPECT_EQ(settings_.GetSetting(u"Main", u"Title"), u"x");
  EXPECT_TRUE(settings_.DeleteSetting(u"Main", u"Title"));
  EXPECT_TRUE(settings_.DeleteSetting(u"Main"));
  EXPECT_EQ(fake_->calls,
            (std::vector<std::string>{
                "create 80000001 Software\\VB and VBA Program Settings\\Cobaltmoth\\Main",
                "open 80000001 Software\\VB and VBA Program Settings\\Cobaltmoth\\Main",
                "open 80000001 Software\\VB and VBA Program Settings\\Cobaltmoth\\Main",
                "open 80000001 Software\\VB and VBA Program Settings\\Cobaltmoth"}));
  EXPECT_EQ(fake_->open_keys, 0);
}

TEST_F(CRegSettingsPaths, CompanyAndAppNameAreTrimmedAndEmptyRestoresTheDefault) {
  settings_.Company(u"  Acme  ");
  settings_.AppName(u" Payroll ");
  EXPECT_EQ(U8(settings_.KeyPath(u"Main")), "Software\\Acme\\Payroll\\Main");
  settings_.Company(u"");
  settings_.AppName(u"");
  EXPECT_EQ(U8(settings_.KeyPath(u"Main")),
            "Software\\VB and VBA Program Settings\\Cobaltmoth\\Main");
  // Blanks alone are not empty, so they are trimmed to nothing: two "\" in a row.
  settings_.Company(u"   ");
  EXPECT_EQ(U8(settings_.Company()), "");
  EXPECT_EQ(U8(settings_.KeyPath(u"Main")), "Software\\\\Cobaltmoth\\Main");
  settings_.AppName(u"\t");  // only blanks are trimmed
  EXPECT_EQ(U8(settings_.AppName()), "\t");
  ASSERT_TRUE(settings_.SaveSetting(u"Main", u"k", u"v"));
  EXPECT_EQ(fake_->calls.back(), "create 80000001 Software\\\\\t\\Main");
}

TEST_F(CRegSettingsPaths, RootKeyIsKeptUncheckedAndAnUnknownRootFails) {
  settings_.RootKey(0x80000003u);
  EXPECT_EQ(settings_.RootKey(), 0x80000003u);
  EXPECT_FALSE(settings_.SaveSetting(u"Main", u"k", u"v"));
  EXPECT_EQ(settings_.GetSetting(u"Main", u"k", u"dflt"), u"dflt");
  EXPECT_FALSE(settings_.DeleteSetting(u"Main", u"k"));
  EXPECT_EQ(fake_->calls.front(),
            "create 80000003 Software\\VB and VBA Program Settings\\Cobaltmoth\\Main");
  settings_.RootKey(kHklm);
  ASSERT_TRUE(settings_.SaveSetting(u"Main", u"k", u"v"));
  EXPECT_NE(fake_->Find(kHklm, kAppKey + u"\\Main", u"k"), nullptr);
  EXPECT_EQ(fake_->Find(kHkcu, kAppKey + u"\\Main", u"k"), nullptr);
}

TEST_F(CRegSettingsPaths, AStoreThatCannotBeOpenedGivesDefaultsAndFalse) {
  ASSERT_TRUE(settings_.SaveSetting(u"Main", u"k", u"v"));
  fake_->refuse = RegStatus::kAccessDenied;
  EXPECT_EQ(settings_.GetSetting(u"Main", u"k", u"dflt"), u"dflt");
  EXPECT_EQ(settings_.GetSettingAsBinary(u"Main", u"k", Bytes{7}), Bytes{7});
  EXPECT_FALSE(settings_.SaveSetting(u"Main", u"k", u"w"));
  EXPECT_FALSE(settings_.SaveSettingAsBinary(u"Main", u"k", Bytes{1}));
  EXPECT_FALSE(settings_.DeleteSetting(u"Main", u"k"));
  EXPECT_FALSE(settings_.DeleteSetting(u"Main"));
  fake_->refuse = RegStatus::kOk;
  fake_->refuse_writes = RegStatus::kDiskFull;
  EXPECT_FALSE(settings_.SaveSetting(u"Main", u"k", u"w"));
  EXPECT_EQ(settings_.GetSetting(u"Main", u"k"), u"v");
  EXPECT_EQ(fake_->open_keys, 0);

  CRegSettings nowhere(nullptr);
  EXPECT_EQ(nowhere.GetSetting(u"Main", u"k", u"dflt"), u"dflt");
  EXPECT_EQ(nowhere.GetSettingAsBinary(u"Main", u"k", u"A"), (Bytes{0x41, 0}));
  EXPECT_FALSE(nowhere.SaveSetting(u"Main", u"k", u"v"));
  EXPECT_FALSE(nowhere.DeleteSetting(u"Main"));
}

TEST(RegTextBytes, WindowsCodePageWithOneNul) {
  EXPECT_EQ(RegTextBytes(u"Caf\u00e9 \u20ac"), (Bytes{0x43, 0x61, 0x66, 0xE9, 0x20, 0x80, 0}));
  EXPECT_EQ(RegTextBytes(u""), Bytes{0});
  EXPECT_EQ(RegTextFromBytes(Bytes{0x43, 0x80, 0x9D, 0xFF, 0}), u"C\u20ac\u009d\u00ff");
  EXPECT_EQ(RegTextFromBytes(Bytes{0x41, 0x42}), u"A");  // the last byte is dropped, NUL or not
  EXPECT_EQ(RegTextFromBytes(Bytes{}), u"");
  EXPECT_EQ(Utf16Bytes(u"A\u00e9\u65e5"), (Bytes{0x41, 0, 0xE9, 0, 0xE5, 0x65}));
}

// --- Round trips on every store. -----------------------------------------------------------

enum class Store { kMemory, kSqlite };
void PrintTo(Store store, std::ostream* out) {
  *out << (store == Store::kMemory ? "the fake store" : "the SQLite store");
}

class Settings : public ::testing::TestWithParam<Store> {
 protected:
  void SetUp() override {
    if (GetParam() == Store::kMemory) {
      registry_ = std::make_shared<FakeRegistry>();
    } else {
      registry_ = platform::MakeSqliteRegistry({dir_ / "user.db", dir_ / "machine.db"});
    }
  }

  // The value as the store holds it, read through the port.
  std::optional<RegValue> Stored(std::u16string_view path, std::u16string_view name,
                                 std::uint32_t root = kHkcu) {
    RegKey key;
    if (registry_->OpenKey(root, path, &key) != RegStatus::kOk) return std::nullopt;
    RegValue value;
    if (key->QueryValue(name, &value) != RegStatus::kOk) return std::nullopt;
    return value;
  }
  bool HasKey(std::u16string_view path) {
    RegKey key;
    return registry_->OpenKey(kHkcu, path, &key) == RegStatus::kOk;
  }

  TempDir dir_;
  std::shared_ptr<platform::Registry> registry_;
};

INSTANTIATE_TEST_SUITE_P(Stores, Settings, ::testing::Values(Store::kMemory, Store::kSqlite),
                         [](const ::testing::TestParamInfo<Store>& store) {
                           return store.param == Store::kMemory ? "Memory" : "Sqlite";
                         });

TEST_P(Settings, TextIsStoredInTheCodePageWithOneNulAndReadBack) {
  CRegSettings s(registry_);
  ASSERT_TRUE(s.SaveSetting(u"Main", u"Title", u"Caf\u00e9 \u20ac"));
  const auto stored = Stored(kAppKey + u"\\Main", u"Title");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->type, 1u);
  EXPECT_EQ(stored->data, (Bytes{0x43, 0x61, 0x66, 0xE9, 0x20, 0x80, 0}));
  EXPECT_EQ(s.GetSetting(u"Main", u"Title", u"dflt"), u"Caf\u00e9 \u20ac");
  // Saving again replaces the value, type and all.
  ASSERT_TRUE(s.SaveSettingAsBinary(u"Main", u"Title", Bytes{1, 2}));
  EXPECT_EQ(Stored(kAppKey + u"\\Main", u"Title")->type, 3u);
  ASSERT_TRUE(s.SaveSetting(u"Main", u"Title", u"again"));
  EXPECT_EQ(s.GetSetting(u"Main", u"Title"), u"again");
}

TEST_P(Settings, WhatTheCodePageCannotHoldComesBackAsQuestionMarks) {
  CRegSettings s(registry_);
  ASSERT_TRUE(s.SaveSetting(u"Main", u"Owner", u"Zo\u00eb \u65e5\u672c \u03a9\U0001F600!"));
  EXPECT_EQ(U8(s.GetSetting(u"Main", u"Owner")), "Zo\u00eb ?? ?" "?!");
  EXPECT_EQ(Stored(kAppKey + u"\\Main", u"Owner")->data,
            (Bytes{'Z', 'o', 0xEB, ' ', '?', '?', ' ', '?', '?', '!', 0}));
}

TEST_P(Settings, AnEmptyTextIsNotTheDefaultButAValueOfNoBytesIs) {
  CRegSettings s(registry_);
  ASSERT_TRUE(s.SaveSetting(u"Main", u"Empty", u""));
  EXPECT_EQ(Stored(kAppKey + u"\\Main", u"Empty")->data, Bytes{0});
  EXPECT_EQ(s.GetSetting(u"Main", u"Empty", u"dflt"), u"");
  EXPECT_EQ(s.GetSettingAsBinary(u"Main", u"Empty", Bytes{9}), Bytes{0});

  ASSERT_TRUE(s.SaveSettingAsBinary(u"Main", u"None", Bytes{}));
  const auto none = Stored(kAppKey + u"\\Main", u"None");
  ASSERT_TRUE(none);  // the value exists, with no bytes
  EXPECT_EQ(none->type, 3u);
  EXPECT_TRUE(none->data.empty());
  EXPECT_EQ(s.GetSetting(u"Main", u"None", u"dflt"), u"dflt");
  EXPECT_EQ(s.GetSettingAsBinary(u"Main", u"None", Bytes{9}), Bytes{9});

  EXPECT_EQ(s.GetSetting(u"Main", u"Missing", u"dflt"), u"dflt");
  EXPECT_EQ(s.GetSetting(u"Nowhere", u"Missing"), u"");
}

TEST_P(Settings, BinaryRoundTripsAndDefaults) {
  CRegSettings s(registry_);
  const Bytes bytes = {0x00, 0xFF, 0x7A, 0x00, 0x80};
  ASSERT_TRUE(s.SaveSettingAsBinary(u"Main", u"Blob", bytes));
  EXPECT_EQ(Stored(kAppKey + u"\\Main", u"Blob")->type, 3u);
  EXPECT_EQ(s.GetSettingAsBinary(u"Main", u"Blob"), bytes);
  // Read as text: every byte but the last, in the code page.
  EXPECT_EQ(s.GetSetting(u"Main", u"Blob"), std::u16string(u"\0\u00ffz\0", 4));

  ASSERT_TRUE(s.SaveSettingAsBinary(u"Main", u"Wide", u"A\u00e9\u65e5"));
  EXPECT_EQ(Stored(kAppKey + u"\\Main", u"Wide")->data, (Bytes{0x41, 0, 0xE9, 0, 0xE5, 0x65}));
  // A text setting read as bytes keeps its NUL.
  ASSERT_TRUE(s.SaveSetting(u"Main", u"Text", u"ab"));
  EXPECT_EQ(s.GetSettingAsBinary(u"Main", u"Text"), (Bytes{'a', 'b', 0}));

  EXPECT_EQ(s.GetSettingAsBinary(u"Main", u"Missing"), Bytes{});
  EXPECT_EQ(s.GetSettingAsBinary(u"Main", u"Missing", Bytes{1, 2, 3}), (Bytes{1, 2, 3}));
  EXPECT_EQ(s.GetSettingAsBinary(u"Main", u"Missing", u"Hi"), (Bytes{'H', 0, 'i', 0}));
}

TEST_P(Settings, AStarIsTheUnnamedDefaultValue) {
  CRegSettings s(registry_);
  ASSERT_TRUE(s.SaveSetting(u"Main", u"*", u"unnamed"));
  const auto stored = Stored(kAppKey + u"\\Main", u"");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->data, (Bytes{'u', 'n', 'n', 'a', 'm', 'e', 'd', 0}));
  EXPECT_FALSE(Stored(kAppKey + u"\\Main", u"*"));
  EXPECT_EQ(s.GetSetting(u"Main", u"*"), u"unnamed");
  // "**" and " *" are ordinary names.
  ASSERT_TRUE(s.SaveSetting(u"Main", u"**", u"two"));
  EXPECT_EQ(Stored(kAppKey + u"\\Main", u"**")->data, (Bytes{'t', 'w', 'o', 0}));
  EXPECT_TRUE(s.DeleteSetting(u"Main", u"*"));
  EXPECT_FALSE(Stored(kAppKey + u"\\Main", u""));
  EXPECT_EQ(s.GetSetting(u"Main", u"**"), u"two");
}

TEST_P(Settings, TheEmptySectionIsTheApplicationKey) {
  CRegSettings s(registry_);
  ASSERT_TRUE(s.SaveSetting(u"", u"Version", u"1.2"));
  EXPECT_EQ(Stored(kAppKey, u"Version")->data, (Bytes{'1', '.', '2', 0}));
  EXPECT_EQ(s.GetSetting(u"", u"Version"), u"1.2");
  // A section may name a key further down.
  ASSERT_TRUE(s.SaveSetting(u"Forms\\Main", u"Left", u"120"));
  EXPECT_EQ(Stored(kAppKey + u"\\Forms\\Main", u"Left")->data, (Bytes{'1', '2', '0', 0}));
}

TEST_P(Settings, DeletingAValueLeavesTheKey) {
  CRegSettings s(registry_);
  ASSERT_TRUE(s.SaveSetting(u"Main", u"A", u"1"));
  ASSERT_TRUE(s.SaveSetting(u"Main", u"B", u"2"));
  EXPECT_TRUE(s.DeleteSetting(u"Main", u"A"));
  EXPECT_EQ(s.GetSetting(u"Main", u"A", u"gone"), u"gone");
  EXPECT_EQ(s.GetSetting(u"Main", u"B"), u"2");
  EXPECT_FALSE(s.DeleteSetting(u"Main", u"A"));  // nothing left to delete
  EXPECT_TRUE(s.DeleteSetting(u"Main", u"B"));
  EXPECT_TRUE(HasKey(kAppKey + u"\\Main"));
  EXPECT_FALSE(s.DeleteSetting(u"Elsewhere", u"B"));
}

TEST_P(Settings, ASectionIsDeletedOnlyWithoutSubkeys) {
  CRegSettings s(registry_);
  ASSERT_TRUE(s.SaveSetting(u"Forms", u"Count", u"1"));
  ASSERT_TRUE(s.SaveSetting(u"Forms\\Main", u"Left", u"120"));
  EXPECT_FALSE(s.DeleteSetting(u"Forms"));
  EXPECT_EQ(s.GetSetting(u"Forms", u"Count"), u"1");
  EXPECT_TRUE(s.DeleteSetting(u"Forms\\Main"));
  EXPECT_FALSE(HasKey(kAppKey + u"\\Forms\\Main"));
  EXPECT_TRUE(s.DeleteSetting(u"Forms"));  // its values go with it
  EXPECT_FALSE(HasKey(kAppKey + u"\\Forms"));
  EXPECT_EQ(s.GetSetting(u"Forms", u"Count", u"gone"), u"gone");
  EXPECT_FALSE(s.DeleteSetting(u"Forms"));
  EXPECT_TRUE(HasKey(kAppKey));
  // A value of a section that does not exist is not created by reading it.
  EXPECT_EQ(s.GetSetting(u"Forms", u"Count"), u"");
  EXPECT_FALSE(HasKey(kAppKey + u"\\Forms"));
}

TEST_P(Settings, NamesAreFoundWithoutRegardToCase) {
  CRegSettings s(registry_);
  ASSERT_TRUE(s.SaveSetting(u"Main", u"Width", u"640"));
  EXPECT_EQ(s.GetSetting(u"MAIN", u"wIDTH"), u"640");
  s.Company(u"vb AND vba program SETTINGS");
  s.AppName(u"COBALTMOTH");
  EXPECT_EQ(s.GetSetting(u"main", u"WIDTH"), u"640");
  ASSERT_TRUE(s.SaveSetting(u"\u00c4rger \u03a9", u"\u00c9t\u00c9", u"1"));
  EXPECT_EQ(s.GetSetting(u"\u00e4RGER \u03c9", u"\u00e9T\u00e9"), u"1");
  ASSERT_TRUE(s.SaveSetting(u"main", u"WIDTH", u"800"));  // the same value, replaced
  EXPECT_EQ(s.GetSetting(u"Main", u"Width"), u"800");
  EXPECT_TRUE(s.DeleteSetting(u"MAIN", u"width"));
  EXPECT_EQ(s.GetSetting(u"Main", u"Width", u"gone"), u"gone");
}

TEST_P(Settings, TheCompanyOfBlanksGivesAPathWithAnEmptyName) {
  CRegSettings s(registry_);
  s.Company(u"   ");
  ASSERT_TRUE(s.SaveSetting(u"Main", u"k", u"v"));
  EXPECT_EQ(s.GetSetting(u"Main", u"k"), u"v");
  // The store passes over the empty name between the two "\".
  EXPECT_EQ(Stored(u"Software\\Cobaltmoth\\Main", u"k")->data, (Bytes{'v', 0}));
  s.Company(u"  Acme  ");
  ASSERT_TRUE(s.SaveSetting(u"Main", u"k", u"acme"));
  EXPECT_EQ(Stored(u"Software\\Acme\\Cobaltmoth\\Main", u"k")->data,
            (Bytes{'a', 'c', 'm', 'e', 0}));
  s.Company(u"");
  EXPECT_EQ(s.GetSetting(u"Main", u"k", u"dflt"), u"dflt");
}

// --- SysInfo. ------------------------------------------------------------------------------

const std::u16string kCurrentVersion = u"Software\\Microsoft\\Windows\\CurrentVersion";

void SetMachineText(platform::Registry& registry, std::u16string_view name,
                    std::u16string_view text) {
  RegKey key;
  ASSERT_EQ(registry.CreateKey(kHklm, kCurrentVersion, &key), RegStatus::kOk);
  const Bytes bytes = RegTextBytes(text);
  ASSERT_EQ(key->SetValue(name, platform::kRegSz, bytes), RegStatus::kOk);
}

TEST_P(Settings, SysInfoReadsTheRegisteredOwnerAndOrganisationAfreshEachTime) {
  SysInfo info(registry_);
  EXPECT_EQ(info.User(), u"");
  EXPECT_EQ(info.Company(), u"");
  SetMachineText(*registry_, u"RegisteredOwner", u"Ada Lovelace");
  SetMachineText(*registry_, u"RegisteredOrganization", u"  Analytical Engines \u20ac ");
  EXPECT_EQ(U8(info.User()), "Ada Lovelace");
  EXPECT_EQ(U8(info.Company()), "  Analytical Engines \u20ac ");  // unchanged
  SetMachineText(*registry_, u"registeredowner", u"");
  EXPECT_EQ(info.User(), u"");
  // The current user's settings are not the machine's.
  CRegSettings user(registry_);
  user.Company(u"Microsoft");
  user.AppName(u"Windows");
  ASSERT_TRUE(user.SaveSetting(u"CurrentVersion", u"RegisteredOwner", u"Someone Else"));
  EXPECT_EQ(info.User(), u"");
}

TEST(SysInfo, AsksTheMachineKeyAtEveryCall) {
  auto fake = std::make_shared<FakeRegistry>();
  SysInfo info(fake);
  EXPECT_EQ(info.User(), u"");
  EXPECT_EQ(info.Company(), u"");
  const std::string open = "open 80000002 Software\\Microsoft\\Windows\\CurrentVersion";
  EXPECT_EQ(fake->calls, (std::vector<std::string>{open, open}));
  fake->refuse = RegStatus::kAccessDenied;
  EXPECT_EQ(info.User(), u"");
  EXPECT_EQ(fake->open_keys, 0);
}

}  // namespace
}  // namespace cobaltmoth
