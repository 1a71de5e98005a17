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
#include "platform/posix/xdg_shell.hpp"
#include "temp_dir.hpp"

namespace cobaltmoth {
namespace {

namespace fs = std::filesystem;
using platform::xdg::ExecArguments;
using Words = std::vector<std::string>;
using testing::U8;

// Sets environment variables for one test and gives each its earlier value back.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  void Set(const std::string& name, const std::string& value) {
    Save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    ::unsetenv(name.c_str());
  }

 private:
  void Save(const std::string& name) {
    if (saved_.count(name) != 0) return;
    const char* value = std::getenv(name.c_str());
    saved_[name] = value == nullptr ? std::nullopt : std::optional<std::string>(value);
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The stand-in program: records its arguments NUL-separated in $COBALTMOTH_TEST_RECORD.argv,
// its pid, parent, session, blocked and ignored signals in .info, then creates .done.
constexpr char kRecorder[] =
    "#!/bin/sh\n"
    "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$COBALTMOTH_TEST_RECORD.argv\"\n"
    "{ echo \"pid $$\"; echo \"ppid $PPID\"; echo \"sid $(cut -d' ' -f6 /proc/$$/stat)\";\n"
    "  grep -E '^Sig(Blk|Ign):' /proc/$$/status; } > \"$COBALTMOTH_TEST_RECORD.info\"\n"
    ": > \"$COBALTMOTH_TEST_RECORD.done\"\n";

// A private XDG tree: every base folder inside a temporary folder, the recorder installed as
// "<root>/bin dir/my browser" and as "<root>/bin/recorder" (on PATH).
class XdgTree {
 public:
  XdgTree() {
    env_.Set("HOME", dir_ / "home");
    env_.Set("XDG_CONFIG_HOME", ConfigHome());
    env_.Set("XDG_CONFIG_DIRS", ConfigDir(1) + ":relative/ignored:" + ConfigDir(2));
    env_.Set("XDG_DATA_HOME", dir_ / "data-home");
    env_.Set("XDG_DATA_DIRS", DataDir(1) + ":" + DataDir(2));
    env_.Unset("XDG_CURRENT_DESKTOP");
    env_.Set("TMPDIR", dir_ / "tmp");
    env_.Set("COBALTMOTH_TEST_RECORD", Record());
    const char* path = std::getenv("PATH");
    env_.Set("PATH", (dir_ / "bin") + ":" + (path == nullptr ? "/usr/bin:/bin" : path));
    fs::create_directories(dir_ / "tmp");
    for (const std::string& program : {Browser(), dir_ / "bin/recorder"}) {
      WriteFile(program, kRecorder);
      fs::permissions(program, fs::perms::owner_all);
    }
  }

  std::string Root() const { return dir_.path().string(); }
  std::string ConfigHome() const { return dir_ / "config-home"; }
  std::string ConfigDir(int n) const { return dir_ / ("config-dir" + std::to_string(n)); }
  std::string DataHomeApps() const { return dir_ / "data-home/applications"; }
  std::string DataDir(int n) const { return dir_ / ("data-dir" + std::to_string(n)); }
  std::string DataDirApps(int n) const { return DataDir(n) + "/applications"; }
  std::string Browser() const { return dir_ / "bin dir/my browser"; }
  std::string Record() const { return dir_ / "record"; }
  ScopedEnv& env() { return env_; }

  // Installs an application in `folder` (an applications folder) under `id_path`.
  std::string Install(const std::string& folder, const std::string& id_path,
                      const std::string& exec, const std::string& extra = "") {
    const std::string path = folder + "/" + id_path;
    WriteFile(path, "[Desktop Entry]\nType=Application\nName=App\nExec=" + exec + "\n" + extra +
                        "\n[Desktop Action other]\nExec=/bin/false\n");
    return path;
  }
  // Writes a mimeapps.list naming `defaults` as the text/html default.
  void List(const std::string& path, const std::string& defaults,
            const std::string& more = "") {
    WriteFile(path, "# comment\n[Default Applications]\ntext/html=" + defaults +
                        "\nimage/png=png.desktop\n" + more);
  }

  // Waits for the recorder to finish and returns its arguments.
  Words RecordedArguments() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(Record() + ".done") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(fs::exists(Record() + ".done")) << "the program never ran";
    Words words;
    std::string all = ReadFile(Record() + ".argv");
    for (std::size_t at = 0; at < all.size();) {
      const std::size_t end = all.find('\0', at);
      if (end == std::string::npos) {
        ADD_FAILURE() << "unterminated argument";
        break;
      }
      words.push_back(all.substr(at, end - at));
      at = end + 1;
    }
    return words;
  }
  std::map<std::string, std::string> RecordedInfo() const {
    std::map<std::string, std::string> info;
    std::istringstream lines(ReadFile(Record() + ".info"));
    std::string key;
    std::string value;
    while (lines >> key >> value) info[key] = value;
    return info;
  }

 private:
  testing::TempDir dir_;
  ScopedEnv env_;
};

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
