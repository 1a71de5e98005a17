// The mail hand-off on a free desktop, in a private XDG tree: which program the desktop's
// lists name for text/html, the Exec line's field codes and quoting, the shell's codes, the
// launch of a stand-in program that records its arguments, and the probe file.
#include "platform/posix/shell/xdg_shell.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "fakes.hpp"

namespace cobaltmoth {
namespace {

namespace fs = std::filesystem;
using platform::xdg::ExecArguments;
using testing::ReadFile;
using testing::U8;
using testing::WriteFile;
using Words = std::vector<std::string>;

std::u16string U16(const std::string& text) { return text::FromUtf8(text); }

std::string Entry(const std::string& exec, const std::string& extra = "") {
  return "[Desktop Entry]\nType=Application\nName=App\nExec=" + exec + "\n" + extra +
         "\n[Desktop Action other]\nExec=/bin/false\n";
}
std::string List(const std::string& ids) {
  return "# defaults\n[Default Applications]\ntext/html=" + ids + "\nimage/png=png.desktop\n";
}

// A private desktop in a temporary folder: config is XDG_CONFIG_HOME, etc1 and etc2 are
// XDG_CONFIG_DIRS, home is XDG_DATA_HOME, data1 and data2 are XDG_DATA_DIRS, tmp is TMPDIR;
// data1 has a.desktop, b.desktop and c.desktop. "bin dir", first on PATH, holds the stand-in
// program "my browser", which writes its arguments, each ended by a NUL, to "record" and
// then creates "record.done". The variables get their earlier values back at the end.
struct Desktop : testing::TempDir {
  Desktop() {
    const std::string dir = path().string();
    const char* search = std::getenv("PATH");
    env.Set("PATH", dir + "/bin dir:" + (search != nullptr ? search : "/bin"));
    env.Unset("HOME");
    env.Unset("XDG_CURRENT_DESKTOP");
    env.Set("XDG_CONFIG_HOME", dir + "/config");
    env.Set("XDG_CONFIG_DIRS", dir + "/etc1:relative:" + dir + "/etc2");
    env.Set("XDG_DATA_HOME", dir + "/home");
    env.Set("XDG_DATA_DIRS", dir + "/data1:" + dir + "/data2");
    env.Set("TMPDIR", dir + "/tmp");
    fs::create_directories(dir + "/tmp");
    WriteFile(dir + "/bin dir/my browser", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; "
              "done > '" + dir + "/record'; : > '" + dir + "/record.done'\n");
    fs::permissions(dir + "/bin dir/my browser", fs::perms::owner_all);
    for (const char* id : {"a", "b", "c"}) {
      WriteFile(dir + "/data1/applications/" + id + ".desktop", Entry("/bin/true %u"));
    }
  }
  // What the stand-in recorded, once it has run (nothing when it has not within 20 s).
  std::string Recorded() const {
    for (int i = 0; i < 2000 && !fs::exists(*this / "record.done"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fs::remove(*this / "record.done");
    return ReadFile(*this / "record");
  }
  testing::ScopedEnv env;
};

std::string Default() { return platform::xdg::DefaultApplicationFile("text/html"); }

TEST(XdgDefaults, TheMostImportantListDecides) {
  Desktop d;
  const std::string lists[] = {
      "config/foo-mimeapps.list", "config/bar-mimeapps.list", "config/mimeapps.list",
      "etc1/foo-mimeapps.list", "etc1/mimeapps.list", "etc2/mimeapps.list",
      "home/applications/mimeapps.list", "data1/applications/mimeapps.list",
      "data2/applications/bar-mimeapps.list", "data2/applications/mimeapps.list"};
  for (int i = 0; i < 10; ++i) {
    WriteFile(d / ("data2/applications/" + std::to_string(i) + ".desktop"), Entry("/bin/true"));
    WriteFile(d / lists[i], List(std::to_string(i) + ".desktop"));
  }
  EXPECT_EQ(Default(), d / "data2/applications/2.desktop");  // no desktop named
  d.env.Set("XDG_CURRENT_DESKTOP", "Foo:BAR");
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(Default(), d / ("data2/applications/" + std::to_string(i) + ".desktop"));
    fs::remove(d / lists[i]);
  }
  EXPECT_EQ(Default(), "");
}

TEST(XdgDefaults, EntriesAndAssociations) {
  const std::string cfg = "config/mimeapps.list", etc1 = "etc1/mimeapps.list",
                    etc2 = "etc2/mimeapps.list", apps = "data1/applications/",
                    data2 = "data2/applications/";
  const std::string removed = "[Removed Associations]\ntext/html=";
  const std::string added = "[Added Associations]\ntext/html=";
  const std::string html = Entry("/bin/true", "MimeType=image/png;text/html;");
  const struct {
    const char* name;
    std::map<std::string, std::string> files;
    std::string chosen;  // a, b or c of data1, another entry, or "" for none
  } kCases[] = {
      {"first startable entry", {{apps + "hidden.desktop", Entry("/bin/true", "Hidden=true")},
       {apps + "link.desktop", Entry("/bin/true", "Type=Link")}, {apps + "no.desktop", Entry("")},
       {apps + "try.desktop", Entry("/bin/true", "TryExec=no-such-program-here")},
       {data2 + "sh.desktop", Entry("/bin/true", "TryExec=sh")},
       {cfg, List("gone.desktop;hidden.desktop;link.desktop;no.desktop;try.desktop;sh.desktop")}},
       data2 + "sh.desktop"},
      {"earlier folder's entry hides", {{"home/applications/a.desktop",
       Entry("/bin/true", "Hidden=true")}, {cfg, List("a.desktop;b.desktop")}}, "b"},
      {"vendor folder id", {{data2 + "vendor/web-app.desktop", Entry("/bin/true")},
       {cfg, List("vendor-web-app.desktop")}}, data2 + "vendor/web-app.desktop"},
      {"removed passes over later lists", {{cfg, removed + "a.desktop;\nimage/png=b.desktop\n"},
       {apps + "mimeapps.list", List("a.desktop;b.desktop")}}, "b"},
      {"removed by a later list", {{cfg, List("a.desktop")}, {etc1, removed + "a.desktop\n"}}, "a"},
      {"defaults before added", {{cfg, added + "b.desktop\n"}, {etc1, List("a.desktop")}}, "a"},
      {"added before MimeType", {{etc2, added + "b.desktop\n"}, {apps + "c.desktop", html}}, "b"},
      {"MimeType last", {{apps + "a.desktop", Entry("/bin/true", "MimeType=text/plain;")},
       {apps + "c.desktop", html}}, "c"},
      {"removed from added and MimeType", {{etc1, removed + "b.desktop;c.desktop\n"},
       {etc2, added + "b.desktop\n"}, {apps + "c.desktop", html}}, ""},
      {"other types and groups",
       {{cfg, "[Default Applications]\nimage/png=a.desktop\n[Other]\ntext/html=a.desktop\n"}}, ""},
  };
  for (const auto& c : kCases) {
    Desktop d;
    for (const auto& [path, contents] : c.files) WriteFile(d / path, contents);
    const std::string chosen = c.chosen.size() == 1 ? apps + c.chosen + ".desktop" : c.chosen;
    EXPECT_EQ(Default(), chosen.empty() ? "" : d / chosen) << c.name;
  }
}

TEST(XdgDefaults, OnlySmallRegularFilesAreReadAndNothingIsWaitedOn) {
  const std::size_t limit = platform::xdg::kMaxKeyFileBytes;
  // A list naming c.desktop, filled with a comment to `size` bytes.
  const auto filled = [](std::size_t size) {
    const std::string list = List("c.desktop");
    return list + std::string(size - list.size(), '#');
  };
  // Each plants config/mimeapps.list and x.desktop, which data1's list names before b.desktop.
  using Plant = std::function<void(const std::string& top, const std::string& x)>;
  const std::pair<const char*, Plant> kPlants[] = {
      {"b", [](auto& top, auto& x) { ::mkfifo(top.c_str(), 0600), ::mkfifo(x.c_str(), 0600); }},
      {"b", [](auto& top, auto& x) {
         fs::create_symlink("/dev/zero", top), fs::create_symlink("/dev/zero", x);
       }},
      {"c", [&](auto& top, auto&) { WriteFile(top, filled(limit)); }},
      {"b", [&](auto& top, auto& x) {
         WriteFile(top, filled(limit + 1));
         WriteFile(x, Entry("/bin/true") + std::string(limit, '#'));
       }},
  };
  for (const auto& [chosen, plant] : kPlants) {
    Desktop d;
    fs::create_directories(d / "config");
    WriteFile(d / "data1/applications/mimeapps.list", List("x.desktop;b.desktop"));
    plant(d / "config/mimeapps.list", d / "data1/applications/x.desktop");
    // In a child that cannot hang the tests nor, without the sanitizers, take more memory.
    const testing::DetachedRun run = testing::RunDetached([](int report) {
#ifndef __SANITIZE_ADDRESS__
      const rlimit memory{1ul << 30, 1ul << 30};
      ::setrlimit(RLIMIT_AS, &memory);
#endif
      testing::WriteString(report, Default());
      return 0;
    }, 5);
    EXPECT_EQ(run.status, 0) << chosen;
    EXPECT_EQ(run.report, d / ("data1/applications/" + std::string(chosen) + ".desktop"));
  }
}

TEST(XdgExec, FieldCodesAndQuoting) {
  const std::optional<Words> kBad;
  const struct { const char* exec; const char* argument; std::optional<Words> words; } kCases[] = {
      {R"("/opt/my app/bin" --new-window %u)", "mailto:a?b",
       Words{"/opt/my app/bin", "--new-window", "mailto:a?b"}},
      {"app %U", "x y", Words{"app", "x y"}},
      {"app --url=%F", "x", Words{"app", "--url=x"}},
      {"  app\t  %f  ", "", Words{"app", ""}},
      {R"(app "say \\"hi\\" \\$HOME \\\\ \\`cmd\\`" %u)", "A",
       Words{"app", R"(say "hi" $HOME \ `cmd`)", "A"}},
      {R"(app "tab\there" "new\nline" "a\\qb")", "A",
       Words{"app", "tab\there", "new\nline", R"(a\qb)", "A"}},
      {"app 100%% %i %c %k --k=%k %u", "A", Words{"app", "100%", "--k=", "A"}},
      {R"(app "50%%" %d %D %n %N %v %m)", "A", Words{"app", "50%", "A"}},
      {"app --new", "a \"b\" $(c) %u", Words{"app", "--new", "a \"b\" $(c) %u"}},
      {R"(app "unterminated %u)", "A", kBad}, {R"(app a"b" %u)", "A", kBad},
      {R"(app "a"b %u)", "A", kBad}, {"app %z", "A", kBad}, {"app 5%", "A", kBad},
      {"%u", "/bin/evil", kBad}, {"%i %u", "A", kBad}, {"", "A", kBad}, {" \t", "A", kBad},
  };
  for (const auto& c : kCases) EXPECT_EQ(ExecArguments(c.exec, c.argument), c.words) << c.exec;
}

TEST(XdgShell, FindsTheProgramAndStartsItWithTheTextAsOneArgument) {
  Desktop d;
  const auto shell = platform::MakeXdgShell();
  const std::string apps = d / "data1/applications/", browser = d / "bin dir/my browser";
  std::u16string program;
  WriteFile(d / "page.HTM", "");
  WriteFile(d / "notes.txt", "");
  EXPECT_EQ(shell->FindExecutable(U16(d / "page.HTM"), &program), 31);  // no list names one
  WriteFile(d / "config/mimeapps.list", List("a.desktop"));
  EXPECT_EQ(shell->FindExecutable(U16(d / "page.HTM"), &program), 33);
  EXPECT_EQ(U8(program), apps + "a.desktop");
  EXPECT_EQ(shell->FindExecutable(U16(d / "no.htm"), &program), 2);
  EXPECT_EQ(program, u"");  // cleared
  program = u"left over";
  EXPECT_EQ(shell->FindExecutable(U16(d / "notes.txt"), &program), 31);
  EXPECT_EQ(program, u"");

  WriteFile(apps + "web.desktop", Entry("\"" + browser + "\" --compose %i %u --last"));
  WriteFile(apps + "new.desktop", Entry("\"my browser\" --new"));  // on PATH; the text appended
  WriteFile(apps + "broken.desktop", Entry("\"unclosed %u"));
  WriteFile(apps + "gone.desktop", Entry("no-such-program-here %u"));
  WriteFile(d / "interpreter", "");  // may not be run, so neither may its script
  WriteFile(d / "script", "#!" + (d / "interpreter") + "\n");
  WriteFile(d / "garbage", std::string(64, '\x01'));
  fs::permissions(d / "script", fs::perms::owner_all);
  fs::permissions(d / "garbage", fs::perms::owner_all);
  WriteFile(d / "plain", "#!/bin/sh\n");
  const std::u16string text =
      u"mailto:bugs@example.com?subject=[Bug%20Report]%20\"Pay\" 'roll'; $(id) `id` & a|b > c "
      u"#5 \\n\\ %u %% ~ * ?x=1 caf\u00E9";
  const std::string t = U8(text);
  const struct { const char16_t* operation; std::string file; std::u16string text; int code;
                 Words recorded{}; } kRuns[] = {
      {u"open", apps + "web.desktop", text, 42, {"--compose", t, "--last"}},
      {u"open", apps + "new.desktop", text, 42, {"--new", t}},
      {u"", browser, text, 42, {t}},  // no desktop entry: the program itself
      {u"open", d / "nothing", u"x", 2}, {u"open", d / "nothing.desktop", u"x", 2},
      {u"open", apps + "gone.desktop", u"x", 2}, {u"open", d / "plain", u"x", 2},
      {u"open", d / "script", u"x", 5}, {u"open", d / "garbage", u"x", 11},
      {u"open", apps + "broken.desktop", u"x", 11},
      {u"open", browser, std::u16string(u"a\0b", 3), 11}, {u"print", browser, u"x", 31},
  };
  for (const auto& c : kRuns) {
    EXPECT_EQ(shell->ShellExecute(c.operation, U16(c.file), c.text, 1), c.code) << c.file;
    std::string arguments;  // as the stand-in records them
    for (const std::string& argument : c.recorded) arguments += argument + '\0';
    EXPECT_EQ(c.code == 42 ? d.Recorded() : "", arguments) << c.file;
  }
}

TEST(XdgProbe, IsAPrivateFileThatGoesWithItsFolderAndFollowsNoLink) {
  Desktop d;
  const auto shell = platform::MakeXdgShell();
  const std::string probe = U8(shell->CreateHtmProbe());
  const fs::path folder = fs::path(probe).parent_path();
  EXPECT_EQ(probe.rfind(d / "tmp/cobaltmoth-mail-", 0), 0u) << probe;
  EXPECT_EQ(fs::path(probe).filename(), "~mail.htm");
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::file_size(probe), 0u);
  shell->DeleteHtmProbe(U16(probe));
  EXPECT_TRUE(fs::is_empty(d / "tmp"));

  WriteFile(d / "victim", "keep me");
  const std::string planted = d / "cobaltmoth-mail-abc/~mail.htm";
  for (const std::string& link : {d / "victim", d / "would-be-made", std::string()}) {
    fs::create_directories(d / "cobaltmoth-mail-abc");
    link.empty() ? WriteFile(planted, "earlier") : fs::create_symlink(link, planted);
    EXPECT_RUNTIME_ERROR(platform::xdg::CreateFileExclusively(planted), 58, "File already exists");
    shell->DeleteHtmProbe(U16(planted));  // the name goes, with our folder
    EXPECT_FALSE(fs::exists(fs::symlink_status(d / "cobaltmoth-mail-abc"))) << link;
  }
  EXPECT_EQ(ReadFile(d / "victim"), "keep me");
  EXPECT_FALSE(fs::exists(d / "would-be-made"));
  WriteFile(d / "documents/~mail.htm", "");  // a folder that is not ours stays
  shell->DeleteHtmProbe(U16(d / "documents/~mail.htm"));
  EXPECT_FALSE(fs::exists(d / "documents/~mail.htm"));
  EXPECT_TRUE(fs::is_directory(d / "documents"));
  d.env.Set("TMPDIR", d / "no/such/folder");
  EXPECT_RUNTIME_ERROR(shell->CreateHtmProbe(), 76, "Path not found");
}

}  // namespace
}  // namespace cobaltmoth
