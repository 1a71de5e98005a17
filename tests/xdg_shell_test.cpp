// The shell's mail hand-off on a free desktop: the probe file, the default application of
// text/html from a private XDG tree, the Exec line's quoting, and the launch of a stand-in
// program that records what it was given.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_platform.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/posix/shell/xdg_shell.hpp"
#include "temp_dir.hpp"
#include "xdg_tree.hpp"

namespace cobaltmoth {
namespace {

namespace fs = std::filesystem;
using platform::xdg::ExecArguments;
using Words = std::vector<std::string>;
using testing::ReadFile;
using testing::ScopedEnv;
using testing::U8;
using testing::WriteFile;
using testing::XdgTree;

std::string Default() { return platform::xdg::DefaultApplicationFile("text/html"); }

// --- The Exec line ----------------------------------------------------------------------------

TEST(XdgExec, QuotedProgramPathsAndFileCodesStandAsWholeArguments) {
  EXPECT_EQ(ExecArguments(R"("/opt/my app/bin" --new-window %u)", "mailto:a?b"),
            (Words{"/opt/my app/bin", "--new-window", "mailto:a?b"}));
  EXPECT_EQ(ExecArguments("app %U", "x y"), (Words{"app", "x y"}));
  EXPECT_EQ(ExecArguments("app %f", "x"), (Words{"app", "x"}));
  EXPECT_EQ(ExecArguments("app --url=%F", "x"), (Words{"app", "--url=x"}));
  EXPECT_EQ(ExecArguments("  app\t  %u  ", ""), (Words{"app", ""}));
}

TEST(XdgExec, EscapesOfTheValueComeBeforeTheQuotingOfTheLine) {
  // In the file, \\ is one backslash of the line, which then escapes " $ ` and \ in quotes.
  EXPECT_EQ(ExecArguments(R"(app "say \\"hi\\" \\$HOME \\\\ \\`cmd\\`" %u)", "A"),
            (Words{"app", R"(say "hi" $HOME \ `cmd`)", "A"}));
  EXPECT_EQ(ExecArguments(R"(app "tab\there" "new\nline")", "A"),
            (Words{"app", "tab\there", "new\nline", "A"}));
  // A backslash before another character stays.
  EXPECT_EQ(ExecArguments(R"(app "a\\qb")", "A"), (Words{"app", R"(a\qb)", "A"}));
}

TEST(XdgExec, PercentCodesOtherThanFilesAreRemovedAndDoublePercentIsOne) {
  EXPECT_EQ(ExecArguments("app 100%% %i %c %k --k=%k %u", "A"),
            (Words{"app", "100%", "--k=", "A"}));
  EXPECT_EQ(ExecArguments(R"(app "50%%")", "A"), (Words{"app", "50%", "A"}));
  EXPECT_EQ(ExecArguments("app %d %D %n %N %v %m", "A"), (Words{"app", "A"}));
}

TEST(XdgExec, WithoutAFileCodeTheArgumentIsAppended) {
  EXPECT_EQ(ExecArguments("app --new", "mailto:x"), (Words{"app", "--new", "mailto:x"}));
  EXPECT_EQ(ExecArguments("app", "a \"b\" $(c)"), (Words{"app", "a \"b\" $(c)"}));
}

TEST(XdgExec, MalformedLinesAreRefused) {
  EXPECT_EQ(ExecArguments(R"(app "unterminated %u)", "A"), std::nullopt);
  EXPECT_EQ(ExecArguments(R"(app a"b" %u)", "A"), std::nullopt);
  EXPECT_EQ(ExecArguments(R"(app "a"b %u)", "A"), std::nullopt);
  EXPECT_EQ(ExecArguments("app %z", "A"), std::nullopt);
  EXPECT_EQ(ExecArguments("app 5%", "A"), std::nullopt);
  EXPECT_EQ(ExecArguments("%u", "/bin/evil"), std::nullopt);
  EXPECT_EQ(ExecArguments("", "A"), std::nullopt);
  EXPECT_EQ(ExecArguments("%i %u", "A"), std::nullopt);
}

// --- Which application --------------------------------------------------------------------

TEST(XdgDefaults, TheMostImportantListDecidesConfigBeforeData) {
  XdgTree tree;
  const std::string apps = tree.DataDirApps(2);
  std::vector<std::string> lists = {
      tree.ConfigHome() + "/mimeapps.list",
      tree.ConfigDir(1) + "/mimeapps.list",
      tree.ConfigDir(2) + "/mimeapps.list",
      tree.DataHomeApps() + "/mimeapps.list",
      tree.DataDirApps(1) + "/mimeapps.list",
      tree.DataDirApps(2) + "/mimeapps.list",
  };
  std::vector<std::string> files;
  for (std::size_t i = 0; i < lists.size(); ++i) {
    const std::string id = "app" + std::to_string(i) + ".desktop";
    files.push_back(tree.Install(apps, id, "/bin/true %u"));
    tree.List(lists[i], id + ";");
  }
  for (std::size_t i = 0; i < lists.size(); ++i) {
    EXPECT_EQ(Default(), files[i]) << "with the lists from " << lists[i];
    fs::remove(lists[i]);
  }
  EXPECT_EQ(Default(), "");
}

TEST(XdgDefaults, TheDesktopsOwnListsComeFirstInTheirOrder) {
  XdgTree tree;
  const std::string apps = tree.DataDirApps(1);
  const std::string plain = tree.Install(apps, "plain.desktop", "/bin/true");
  const std::string bar = tree.Install(apps, "bar.desktop", "/bin/true");
  const std::string foo = tree.Install(apps, "foo.desktop", "/bin/true");
  tree.List(tree.ConfigHome() + "/mimeapps.list", "plain.desktop");
  tree.List(tree.ConfigHome() + "/bar-mimeapps.list", "bar.desktop");
  EXPECT_EQ(Default(), plain);  // no desktop named
  tree.env().Set("XDG_CURRENT_DESKTOP", "Foo:BAR");
  EXPECT_EQ(Default(), bar);
  tree.List(tree.ConfigHome() + "/foo-mimeapps.list", "foo.desktop");
  EXPECT_EQ(Default(), foo);
  // A desktop's list in a less important folder does not beat a plain list in a better one.
  fs::create_directories(tree.ConfigDir(1));
  fs::rename(tree.ConfigHome() + "/foo-mimeapps.list", tree.ConfigDir(1) + "/foo-mimeapps.list");
  EXPECT_EQ(Default(), bar);
  fs::remove(tree.ConfigHome() + "/bar-mimeapps.list");
  EXPECT_EQ(Default(), plain);
}

TEST(XdgDefaults, TheFirstInstalledApplicationOfAListIsTaken) {
  XdgTree tree;
  const std::string apps = tree.DataDirApps(1);
  const std::string second = tree.Install(apps, "second.desktop", "/bin/true");
  tree.Install(apps, "hidden.desktop", "/bin/true", "Hidden=true");
  tree.Install(apps, "link.desktop", "/bin/true", "Type=Link");  // a later Type wins
  tree.Install(apps, "noexec.desktop", "");
  tree.Install(apps, "tryexec.desktop", "/bin/true", "TryExec=no-such-program-here");
  tree.List(tree.ConfigHome() + "/mimeapps.list",
            "missing.desktop;hidden.desktop;link.desktop;noexec.desktop;tryexec.desktop;"
            "second.desktop;");
  EXPECT_EQ(Default(), second);
}

TEST(XdgDefaults, AnEntryInAMoreImportantFolderHidesTheSameId) {
  XdgTree tree;
  tree.Install(tree.DataDirApps(1), "web.desktop", "/bin/true");
  const std::string other = tree.Install(tree.DataDirApps(1), "other.desktop", "/bin/true");
  tree.List(tree.ConfigHome() + "/mimeapps.list", "web.desktop;other.desktop");
  EXPECT_EQ(Default(), tree.DataDirApps(1) + "/web.desktop");
  tree.Install(tree.DataHomeApps(), "web.desktop", "/bin/true", "Hidden=true");
  EXPECT_EQ(Default(), other);
}

TEST(XdgDefaults, ARemovedAssociationPassesOverLessImportantLists) {
  XdgTree tree;
  const std::string apps = tree.DataDirApps(1);
  const std::string web = tree.Install(apps, "web.desktop", "/bin/true");
  const std::string mail = tree.Install(apps, "mail.desktop", "/bin/true");
  tree.List(tree.DataDirApps(2) + "/mimeapps.list", "web.desktop;mail.desktop");
  EXPECT_EQ(Default(), web);
  WriteFile(tree.ConfigHome() + "/mimeapps.list",
            "[Removed Associations]\ntext/html=web.desktop;\nimage/png=mail.desktop;\n");
  EXPECT_EQ(Default(), mail);
}

TEST(XdgDefaults, SubfolderIdsReadTheirDashesAsSlashes) {
  XdgTree tree;
  const std::string app = tree.Install(tree.DataDirApps(2), "vendor/web-app.desktop", "/bin/true");
  tree.List(tree.ConfigHome() + "/mimeapps.list", "vendor-web-app.desktop");
  EXPECT_EQ(Default(), app);
}

TEST(XdgDefaults, WithoutADefaultAddedThenDeclaredAssociationsServe) {
  XdgTree tree;
  const std::string apps = tree.DataDirApps(1);
  const std::string declared =
      tree.Install(apps, "declared.desktop", "/bin/true", "MimeType=image/png;text/html;");
  tree.Install(apps, "aaa-other.desktop", "/bin/true", "MimeType=text/plain;");
  EXPECT_EQ(Default(), declared);
  const std::string added = tree.Install(apps, "added.desktop", "/bin/true");
  WriteFile(tree.ConfigDir(2) + "/mimeapps.list", "[Added Associations]\ntext/html=added.desktop;\n");
  EXPECT_EQ(Default(), added);
  WriteFile(tree.ConfigDir(1) + "/mimeapps.list",
            "[Removed Associations]\ntext/html=added.desktop;declared.desktop;\n");
  EXPECT_EQ(Default(), "");
}

TEST(XdgShell, FindExecutableNamesTheDesktopFileOrNothing) {
  XdgTree tree;
  const auto shell = platform::MakeXdgShell();
  const std::string probe = tree.Root() + "/page.HTM";
  WriteFile(probe, "");
  std::u16string program = u"left over";
  EXPECT_LE(shell->FindExecutable(text::FromUtf8(probe), &program), 32);
  EXPECT_EQ(program, u"");

  const std::string app = tree.Install(tree.DataDirApps(1), "web.desktop", "/bin/true %u");
  tree.List(tree.ConfigHome() + "/mimeapps.list", "web.desktop");
  EXPECT_GT(shell->FindExecutable(text::FromUtf8(probe), &program), 32);
  EXPECT_EQ(U8(program), app);

  program = u"left over";
  EXPECT_EQ(shell->FindExecutable(text::FromUtf8(tree.Root() + "/missing.htm"), &program), 2);
  EXPECT_EQ(program, u"");
  WriteFile(tree.Root() + "/notes.txt", "");
  EXPECT_EQ(shell->FindExecutable(text::FromUtf8(tree.Root() + "/notes.txt"), &program), 31);
  EXPECT_EQ(program, u"");
}

// --- The probe ----------------------------------------------------------------------------

TEST(XdgProbe, IsANewEmptyFileInAPrivateFolderAndGoesWithIt) {
  XdgTree tree;
  const auto shell = platform::MakeXdgShell();
  const std::string probe = U8(shell->CreateHtmProbe());
  const fs::path folder = fs::path(probe).parent_path();
  EXPECT_EQ(folder.parent_path(), fs::path(tree.Root() + "/tmp"));
  EXPECT_EQ(folder.filename().string().rfind("cobaltmoth-mail-", 0), 0u) << probe;
  EXPECT_EQ(fs::path(probe).filename(), "~mail.htm");
  struct stat info {};
  ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  ASSERT_EQ(::lstat(probe.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_size, 0);
  EXPECT_EQ(info.st_mode & 0077, 0u);

  // Two probes never share a folder.
  const std::string second = U8(shell->CreateHtmProbe());
  EXPECT_NE(fs::path(second).parent_path(), folder);

  shell->DeleteHtmProbe(text::FromUtf8(probe));
  EXPECT_FALSE(fs::exists(fs::symlink_status(probe)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(folder)));
  shell->DeleteHtmProbe(text::FromUtf8(second));
  EXPECT_TRUE(fs::is_empty(tree.Root() + "/tmp"));
  EXPECT_NO_THROW(shell->DeleteHtmProbe(text::FromUtf8(second)));  // gone already
}

TEST(XdgProbe, GoesToTheSystemsTemporaryFolderWithoutAnAbsoluteTmpdir) {
  XdgTree tree;
  tree.env().Set("TMPDIR", "relative");
  const auto shell = platform::MakeXdgShell();
  const std::string probe = U8(shell->CreateHtmProbe());
  EXPECT_EQ(probe.rfind("/tmp/cobaltmoth-mail-", 0), 0u) << probe;
  EXPECT_TRUE(fs::is_regular_file(probe));
  shell->DeleteHtmProbe(text::FromUtf8(probe));
  EXPECT_FALSE(fs::exists(fs::path(probe).parent_path()));
}

TEST(XdgProbe, AMissingTemporaryFolderIsTheHostsPathNotFound) {
  XdgTree tree;
  tree.env().Set("TMPDIR", tree.Root() + "/no/such/folder");
  EXPECT_RUNTIME_ERROR(platform::MakeXdgShell()->CreateHtmProbe(), 76, "Path not found");
}

TEST(XdgProbe, ThePlantedLinkOrFileIsNeitherFollowedNorOverwritten) {
  XdgTree tree;
  const std::string folder = tree.Root() + "/shared";
  const std::string victim = tree.Root() + "/victim";
  const std::string target = tree.Root() + "/would-be-created";
  WriteFile(victim, "keep me");
  fs::create_directories(folder);
  const std::string probe = folder + "/~mail.htm";

  fs::create_symlink(victim, probe);
  EXPECT_RUNTIME_ERROR(platform::xdg::CreateFileExclusively(probe), 58, "File already exists");
  EXPECT_EQ(ReadFile(victim), "keep me");
  EXPECT_TRUE(fs::is_symlink(probe));

  fs::remove(probe);
  fs::create_symlink(target, probe);  // dangling: creating through it would make `target`
  EXPECT_RUNTIME_ERROR(platform::xdg::CreateFileExclusively(probe), 58, "File already exists");
  EXPECT_FALSE(fs::exists(target));

  fs::remove(probe);
  WriteFile(probe, "earlier");
  EXPECT_RUNTIME_ERROR(platform::xdg::CreateFileExclusively(probe), 58, "File already exists");
  EXPECT_EQ(ReadFile(probe), "earlier");

  fs::remove(probe);
  platform::xdg::CreateFileExclusively(probe);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(probe)));
  EXPECT_EQ(ReadFile(probe), "");
}

TEST(XdgProbe, DeletingRemovesALinkNotItsTargetAndOnlyOurFolders) {
  XdgTree tree;
  const auto shell = platform::MakeXdgShell();
  const std::string victim = tree.Root() + "/victim";
  WriteFile(victim, "keep me");
  const std::string ours = tree.Root() + "/cobaltmoth-mail-abc123";
  fs::create_directories(ours);
  fs::create_symlink(victim, ours + "/~mail.htm");
  shell->DeleteHtmProbe(text::FromUtf8(ours + "/~mail.htm"));
  EXPECT_EQ(ReadFile(victim), "keep me");
  EXPECT_FALSE(fs::exists(ours));

  const std::string theirs = tree.Root() + "/documents";
  WriteFile(theirs + "/~mail.htm", "");
  shell->DeleteHtmProbe(text::FromUtf8(theirs + "/~mail.htm"));
  EXPECT_FALSE(fs::exists(theirs + "/~mail.htm"));
  EXPECT_TRUE(fs::is_directory(theirs));
}

// --- The launch ---------------------------------------------------------------------------

// The report window's steps: probe, program, probe deleted, program started.
TEST(XdgShell, TheHostileSubjectArrivesAsOneUnchangedArgument) {
  XdgTree tree;
  // The program's path has a blank and needs quoting; an icon code goes away.
  tree.Install(tree.DataDirApps(1), "web.desktop",
               "\"" + tree.Browser() + "\" --compose %i %u --last");
  tree.List(tree.ConfigHome() + "/mimeapps.list", "web.desktop");
  const auto shell = platform::MakeXdgShell();
  const std::u16string probe = shell->CreateHtmProbe();
  std::u16string program;
  ASSERT_GT(shell->FindExecutable(probe, &program), 32);
  shell->DeleteHtmProbe(probe);
  EXPECT_TRUE(fs::is_empty(tree.Root() + "/tmp"));

  const std::u16string parameters =
      u"mailto:bugs@example.com?subject=[Bug%20Report]%20\"Pay\" 'roll'; $(touch x) `id` & "
      u"a|b > c #5 \\n\\ %u %% ~ * ?x=1 caf\u00E9";
  EXPECT_EQ(shell->ShellExecute(u"open", program, parameters, 1), 42);
  EXPECT_EQ(tree.RecordedArguments(), (Words{"--compose", U8(parameters), "--last"}));
  EXPECT_FALSE(fs::exists(tree.Root() + "/x"));
}

TEST(XdgShell, TheProgramIsFoundOnPathAndTheArgumentAppendedWithoutAFieldCode) {
  XdgTree tree;
  const std::string app = tree.Install(tree.DataDirApps(1), "web.desktop", "recorder --new");
  EXPECT_EQ(platform::MakeXdgShell()->ShellExecute(u"open", text::FromUtf8(app), u"mailto:x", 1),
            42);
  EXPECT_EQ(tree.RecordedArguments(), (Words{"--new", "mailto:x"}));
}

TEST(XdgShell, AProgramThatIsNoDesktopEntryGetsTheTextAsItsOnlyArgument) {
  XdgTree tree;
  EXPECT_EQ(platform::MakeXdgShell()->ShellExecute(u"", text::FromUtf8(tree.Browser()),
                                                   u"mailto:a b", 1),
            42);
  EXPECT_EQ(tree.RecordedArguments(), (Words{"mailto:a b"}));
}

TEST(XdgShell, TheProgramStartsCleanInItsOwnSessionAndIsNoChildOfTheHost) {
  XdgTree tree;
  // The host blocks one signal and ignores another; neither reaches the program.
  sigset_t block;
  sigset_t before;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR2);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &before), 0);
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &previous), 0);
  const std::int32_t code = platform::MakeXdgShell()->ShellExecute(
      u"open", text::FromUtf8(tree.Browser()), u"mailto:x", 1);
  ::sigaction(SIGUSR1, &previous, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ASSERT_EQ(code, 42);
  ASSERT_EQ(tree.RecordedArguments(), (Words{"mailto:x"}));

  const auto info = tree.RecordedInfo();
  EXPECT_EQ(info.at("SigBlk:"), "0000000000000000");
  const unsigned long long ignored = std::stoull(info.at("SigIgn:"), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGUSR1 - 1)), 0u) << info.at("SigIgn:");
  EXPECT_EQ(info.at("sid"), info.at("pid"));  // a session of its own
  EXPECT_NE(info.at("ppid"), std::to_string(::getpid()));
  // Nothing is left for the host to reap: neither the launched program nor the process
  // between.
  int status = 0;
  errno = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(XdgShell, FailuresAnswer32OrLess) {
  XdgTree tree;
  const auto shell = platform::MakeXdgShell();
  EXPECT_EQ(shell->ShellExecute(u"open", text::FromUtf8(tree.Root() + "/nothing"), u"x", 1), 2);
  EXPECT_EQ(shell->ShellExecute(u"open", text::FromUtf8(tree.Root() + "/nothing.desktop"), u"x",
                                1),
            2);
  const std::string broken = tree.Install(tree.DataDirApps(1), "broken.desktop", "\"unclosed %u");
  EXPECT_EQ(shell->ShellExecute(u"open", text::FromUtf8(broken), u"x", 1), 11);
  const std::string gone = tree.Install(tree.DataDirApps(1), "gone.desktop", "no-such-program-here");
  EXPECT_EQ(shell->ShellExecute(u"open", text::FromUtf8(gone), u"x", 1), 2);
  WriteFile(tree.Root() + "/not-executable", "#!/bin/sh\n");
  EXPECT_EQ(shell->ShellExecute(u"open", text::FromUtf8(tree.Root() + "/not-executable"), u"x",
                                1),
            2);
  EXPECT_EQ(shell->ShellExecute(u"print", text::FromUtf8(tree.Browser()), u"x", 1), 31);
  EXPECT_EQ(shell->ShellExecute(u"open", text::FromUtf8(tree.Browser()),
                                std::u16string(u"a\0b", 3), 1),
            11);
  EXPECT_FALSE(fs::exists(tree.Record() + ".done"));
}

TEST(XdgShell, IsTheDefaultPlatformsShell) {
  XdgTree tree;
  const auto& shell = platform::DefaultPlatform()->shell;
  ASSERT_NE(shell, nullptr);
  const std::u16string probe = shell->CreateHtmProbe();
  EXPECT_EQ(U8(probe).rfind(tree.Root() + "/tmp/cobaltmoth-mail-", 0), 0u) << U8(probe);
  shell->DeleteHtmProbe(probe);
  EXPECT_TRUE(fs::is_empty(tree.Root() + "/tmp"));
}

}  // namespace
}  // namespace cobaltmoth
