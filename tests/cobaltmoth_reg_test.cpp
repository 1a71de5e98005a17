// cobaltmoth-reg end to end: the built command run on a store in a temporary folder, its
// output, its exit status, and what the library then reads.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/posix_platform.hpp"
#include "support/c_reg_settings.hpp"
#include "support/sys_info.hpp"
#include "fake_platform.hpp"
#include "temp_dir.hpp"

namespace cobaltmoth {
namespace {

using testing::TempDir;
using testing::U8;
using Bytes = std::vector<std::uint8_t>;

struct Outcome {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  return text;
}

class CobaltmothReg : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef COBALTMOTH_REG_TOOL
    GTEST_SKIP() << "cobaltmoth-reg is not built (COBALTMOTH_BUILD_TOOLS=OFF)";
#endif
  }

  // Runs the command with these arguments and the store in dir_.
  Outcome Reg(std::vector<std::string> args) {
    Outcome run;
#ifdef COBALTMOTH_REG_TOOL
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return run;
    const pid_t child = ::fork();
    if (child < 0) return run;
    if (child == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::close(out[0]);
      ::close(err[0]);
      ::setenv("COBALTMOTH_REGISTRY_DIR", dir_.path().c_str(), 1);
      std::vector<char*> argv;
      std::string program = COBALTMOTH_REG_TOOL;
      argv.push_back(program.data());
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    // The outputs are far smaller than a pipe holds, so reading one after the other is safe.
    run.out = ReadAll(out[0]);
    run.err = ReadAll(err[0]);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#else
    (void)args;
#endif
    return run;
  }

  std::shared_ptr<platform::Registry> Store() {
    return platform::MakeSqliteRegistry(
        {(dir_.path() / "user.db").string(), (dir_.path() / "machine.db").string()});
  }

  TempDir dir_;
};

const std::string kCurrentVersion = "Software\\Microsoft\\Windows\\CurrentVersion";

TEST_F(CobaltmothReg, SetsTheRegisteredOwnerAndOrganisationThatSysInfoReads) {
  Outcome run = Reg({"set", "HKLM", kCurrentVersion, "RegisteredOwner", "Ada Lovelace"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "");
  run = Reg({"set", "hkey_local_machine", "software\\microsoft\\windows\\currentversion",
             "RegisteredOrganization", "Analytical Engines \xE2\x82\xAC"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  SysInfo info(Store());
  EXPECT_EQ(U8(info.User()), "Ada Lovelace");
  EXPECT_EQ(U8(info.Company()), "Analytical Engines \xE2\x82\xAC");

  run = Reg({"get", "HKLM", kCurrentVersion, "RegisteredOwner"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "Ada Lovelace\n");
  // Stored as the library stores text: the code page and one NUL.
  CRegSettings machine(Store());
  machine.RootKey(platform::kHkeyLocalMachine);
  machine.Company(u"Microsoft");
  machine.AppName(u"Windows");
  EXPECT_EQ(machine.GetSettingAsBinary(u"CurrentVersion", u"RegisteredOrganization"),
            (Bytes{'A', 'n', 'a', 'l', 'y', 't', 'i', 'c', 'a', 'l', ' ', 'E', 'n', 'g', 'i',
                   'n', 'e', 's', ' ', 0x80, 0}));
}

TEST_F(CobaltmothReg, TextTheCodePageCannotHoldIsStoredAsQuestionMarks) {
  ASSERT_EQ(Reg({"set", "HKCU", "Software\\Acme", "Owner", "Zo\xC3\xAB \xE6\x97\xA5"}).exit_code,
            0);
  EXPECT_EQ(Reg({"get", "HKCU", "Software\\Acme", "Owner"}).out, "Zo\xC3\xAB ?\n");
}

TEST_F(CobaltmothReg, BinaryValuesAreGivenAndShownAsHex) {
  ASSERT_EQ(Reg({"set-binary", "HKCU", "Software\\Acme", "Blob", "00fF7a"}).exit_code, 0);
  const Outcome run = Reg({"get", "HKCU", "Software\\Acme", "Blob"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "00ff7a\n");
  // A key outside any application's settings: read it through the port.
  platform::RegKey key;
  ASSERT_EQ(Store()->OpenKey(platform::kHkeyCurrentUser, u"Software\\Acme", &key),
            platform::RegStatus::kOk);
  platform::RegValue value;
  ASSERT_EQ(key->QueryValue(u"blob", &value), platform::RegStatus::kOk);
  EXPECT_EQ(value.type, 3u);
  EXPECT_EQ(value.data, (Bytes{0x00, 0xFF, 0x7A}));
  ASSERT_EQ(Reg({"set-binary", "HKCU", "Software\\Acme", "Empty", ""}).exit_code, 0);
  EXPECT_EQ(Reg({"get", "HKCU", "Software\\Acme", "Empty"}).out, "\n");
}

TEST_F(CobaltmothReg, AStarIsTheUnnamedDefaultValue) {
  ASSERT_EQ(Reg({"set", "HKCU", "Software\\Acme\\Payroll\\Main", "*", "unnamed"}).exit_code, 0);
  CRegSettings settings(Store());
  settings.Company(u"Acme");
  settings.AppName(u"Payroll");
  EXPECT_EQ(settings.GetSetting(u"Main", u"*"), u"unnamed");
  EXPECT_EQ(Reg({"delete", "HKCU", "Software\\Acme\\Payroll\\Main", "*"}).exit_code, 0);
  EXPECT_EQ(settings.GetSetting(u"Main", u"*", u"gone"), u"gone");
}

TEST_F(CobaltmothReg, DeletesValuesAndKeysWithoutSubkeys) {
  ASSERT_EQ(Reg({"set", "HKCU", "Software\\Acme\\Forms\\Main", "Left", "120"}).exit_code, 0);
  ASSERT_EQ(Reg({"set", "HKCU", "Software\\Acme\\Forms", "Count", "1"}).exit_code, 0);
  EXPECT_EQ(Reg({"delete", "HKCU", "Software\\Acme\\Forms\\Main", "LEFT"}).exit_code, 0);
  Outcome run = Reg({"get", "HKCU", "Software\\Acme\\Forms\\Main", "Left"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "cobaltmoth-reg: HKCU\\Software\\Acme\\Forms\\Main Left: no such key or value\n");

  run = Reg({"delete", "HKCU", "Software\\Acme\\Forms"});
  EXPECT_EQ(run.exit_code, 3);
  EXPECT_NE(run.err.find("access denied"), std::string::npos) << run.err;
  EXPECT_EQ(Reg({"get", "HKCU", "Software\\Acme\\Forms", "Count"}).out, "1\n");
  EXPECT_EQ(Reg({"delete", "HKCU", "Software\\Acme\\Forms\\Main\\"}).exit_code, 0);
  EXPECT_EQ(Reg({"delete", "HKCU", "Software\\Acme\\Forms"}).exit_code, 0);
  EXPECT_EQ(Reg({"get", "HKCU", "Software\\Acme\\Forms", "Count"}).exit_code, 1);
  EXPECT_EQ(Reg({"delete", "HKCU", "Software\\Acme\\Forms"}).exit_code, 1);
  EXPECT_EQ(Reg({"delete", "HKCU", "Software\\Nothing", "Value"}).exit_code, 1);
}

TEST_F(CobaltmothReg, WrongUsageExitsWithTwoAndTheUsageText) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"get", "HKLM"},
           {"get", "HKCR", "Software", "x"},
           {"set", "HKCU", "Software", "x"},
           {"set-binary", "HKCU", "Software", "x", "0g"},
           {"set-binary", "HKCU", "Software", "x", "abc"},
           {"delete", "HKCU", "\\"},
           {"delete", "HKCU", "Software", "x", "y"},
           {"list", "HKCU", "Software"}}) {
    const Outcome run = Reg(args);
    EXPECT_EQ(run.exit_code, 2) << ::testing::PrintToString(args);
    EXPECT_NE(run.err.find("usage: cobaltmoth-reg get"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "user.db"));
  const Outcome help = Reg({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.rfind("usage: cobaltmoth-reg get", 0), 0u);
  EXPECT_EQ(help.err, "");
}

}  // namespace
}  // namespace cobaltmoth
