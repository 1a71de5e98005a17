// The mail hand-off on a free desktop, in a private XDG tree: the program the desktop's lists
// name for text/html, Exec lines, the shell's codes, the launch of a stand-in, the probe file.
#include "platform/posix/shell/xdg_shell.hpp"

#include <sys/resource.h>
#include <sys/stat.h>

#include "fakes.hpp"

namespace cobaltmoth {
namespace {

namespace fs = std::filesystem;
namespace xdg = platform::posix::shell::xdg;
using xdg::ExecArguments, testing::ReadFile, testing::U8, testing::WriteFile;
using Words = std::vector<std::string>;

std::u16string U16(const std::string& text) { return runtime::FromUtf8(text); }
std::string Entry(const std::string& exec, const std::string& extra = "") {
  return "[Desktop Entry]\nType=Application\nName=App\nExec=" + exec + "\n" + extra +
         "\n[Desktop Action other]\nExec=/bin/false\n";
}
std::string List(const std::string& ids, const std::string& group = "Default Applications") {
  return "# defaults\n[" + group + "]\ntext/html=" + ids + "\nimage/png=png.desktop\n";
}

// A private desktop "Foo:BAR" in a temporary folder: config is XDG_CONFIG_HOME, etc1 and etc2
// XDG_CONFIG_DIRS, home XDG_DATA_HOME, data1 and data2 XDG_DATA_DIRS, tmp TMPDIR; data1 has
// a.desktop, b.desktop and c.desktop. The variables get their values back at the end.
struct Desktop : testing::TempDir {
  Desktop() {
    const std::string dir = path().string();
    env.Set("XDG_CURRENT_DESKTOP", "Foo:BAR");
    env.Set("XDG_CONFIG_HOME", dir + "/config");
    env.Set("XDG_CONFIG_DIRS", dir + "/etc1:relative:" + dir + "/etc2");
    env.Set("XDG_DATA_HOME", dir + "/home");
    env.Set("XDG_DATA_DIRS", dir + "/data1:" + dir + "/data2");
    env.Set("TMPDIR", dir + "/tmp");
    fs::create_directories(dir + "/tmp"), fs::create_directories(dir + "/config");
    const std::string apps = dir + "/data1/applications/";
    for (const char* id : {"a", "b", "c"}) WriteFile(apps + id + ".desktop", Entry("/bin/true %u"));
  }
  testing::ScopedEnv env;
};

TEST(XdgDefaults, TheMostImportantListNamingAStartableEntryInASmallRegularFileDecides) {
  // Each case's files (a bare name: in data1's applications) and the entry chosen (a bare id:
  // in data1), if any. "fifo" is a FIFO, "zero" a link to /dev/zero; of others 1 MiB is read.
  const std::string cfg = "config/mimeapps.list", etc1 = "etc1/mimeapps.list",
                    etc2 = "etc2/mimeapps.list", data2 = "data2/applications/",
                    home = "home/applications/", removed = "Removed Associations",
                    added = "Added Associations", a = List("a.desktop"), b = List("b.desktop"),
                    c = List("c.desktop");
  const std::string full = c + std::string(xdg::kMaxKeyFileBytes - c.size(), '#');
  const auto app = [](const char* extra) { return Entry("/bin/true", extra); };
  const std::string hidden = app("Hidden=true"), html = app("MimeType=image/png;text/html;");
  const std::pair<std::map<std::string, std::string>, std::string> kCases[] = {
      // The lists from the most important, the desktop's own before the others of a folder.
      {{{"config/foo-mimeapps.list", a}, {"config/bar-mimeapps.list", b}}, "a"},
      {{{"config/bar-mimeapps.list", a}, {cfg, b}}, "a"}, {{{cfg, a}, {etc1, b}}, "a"},
      {{{etc1, a}, {etc2, b}}, "a"}, {{{etc2, a}, {home + "mimeapps.list", b}}, "a"},
      {{{home + "mimeapps.list", a}, {"mimeapps.list", b}}, "a"},
      {{{"mimeapps.list", a}, {data2 + "mimeapps.list", b}}, "a"},
      {{{data2 + "mimeapps.list", b}}, "b"},
      // The first startable entry; one hidden in a more important folder hides the others.
      {{{"hidden.desktop", hidden}, {"no.desktop", Entry("")}, {"link.desktop", app("Type=Link")},
        {"try.desktop", app("TryExec=no-such-program")}, {data2 + "sh.desktop", app("TryExec=sh")},
        {cfg, List("gone.desktop;hidden.desktop;link.desktop;no.desktop;try.desktop;sh.desktop")}},
       data2 + "sh.desktop"},
      {{{home + "a.desktop", hidden}, {cfg, List("a.desktop;b.desktop")}}, "b"},
      {{{data2 + "vendor/web-app.desktop", app("")}, {cfg, List("vendor-web-app.desktop")}},
       data2 + "vendor/web-app.desktop"},
      // Removed: for the less important lists, for added associations and MimeType too.
      {{{cfg, List("a.desktop;", removed)}, {"mimeapps.list", List("a.desktop;b.desktop")}}, "b"},
      {{{cfg, a}, {etc1, List("a.desktop", removed)}}, "a"},
      {{{etc1, List("b.desktop;c.desktop", removed)}, {etc2, List("b.desktop", added)},
        {"c.desktop", html}}, ""},
      // The defaults, then the added associations, then MimeType (of text/html only).
      {{{cfg, List("b.desktop", added)}, {etc1, a}}, "a"},
      {{{etc2, List("b.desktop", added)}, {"c.desktop", html}}, "b"},
      {{{"a.desktop", app("MimeType=text/plain;")}, {"c.desktop", html}}, "c"},
      {{{cfg, List("a.desktop", "Other") + "[Default Applications]\nimage/png=a.desktop\n"}}, ""},
      {{{cfg, "fifo"}, {etc1, b}}, "b"}, {{{cfg, "zero"}, {etc1, b}}, "b"},
      {{{cfg, full}, {etc1, b}}, "c"}, {{{cfg, full + "#"}, {etc1, b}}, "b"},
  };
  for (const auto& [files, chosen] : kCases) {
    Desktop d;
    const auto at = [&](const std::string& name) {
      return d / (name.find('/') == std::string::npos ? "data1/applications/" + name : name);
    };
    for (const auto& [name, bytes] : files) {
      if (bytes == "fifo") ::mkfifo(at(name).c_str(), 0600);
      if (bytes == "zero") fs::create_symlink("/dev/zero", at(name));
      if (bytes != "fifo" && bytes != "zero") WriteFile(at(name), bytes);
    }
    // In a child that cannot hang the tests nor, without the sanitizers, take more memory.
    const testing::DetachedRun run = testing::RunDetached([](int report) {
#ifndef __SANITIZE_ADDRESS__
      const rlimit memory{1ul << 30, 1ul << 30};
      ::setrlimit(RLIMIT_AS, &memory);
#endif
      testing::WriteString(report, xdg::DefaultApplicationFile("text/html"));
      return 0;
    }, 5);
    const std::string entry = chosen.size() == 1 ? chosen + ".desktop" : chosen;
    EXPECT_EQ(run.report, chosen.empty() ? "" : at(entry))
        << files.begin()->first << ": " << files.begin()->second.substr(0, 40);
  }
}

TEST(XdgExec, FieldCodesAndQuoting) {
  const std::optional<Words> kBad;
  const struct { const char* exec; const char* argument; std::optional<Words> words; } kCases[] = {
      {R"("/opt/my app/bin" --new-window %u)", "m", Words{"/opt/my app/bin", "--new-window", "m"}},
      {"app %U --url=%F", "x y", Words{"app", "x y", "--url=x y"}},
      {"  app\t  %f  ", "", Words{"app", ""}},
      {R"(app "s \\"hi\\" \\$H \\\\ \\`c\\`" %u)", "A", Words{"app", R"(s "hi" $H \ `c`)", "A"}},
      {R"(app "t\tx" "n\nl" "a\\qb")", "A", Words{"app", "t\tx", "n\nl", R"(a\qb)", "A"}},
      {R"(app 100%% "50%%" %i %c %k --k=%k %d %D %n %N %v %m %u)", "A",
       Words{"app", "100%", "50%", "--k=", "A"}},
      {"app --new", "a \"b\" $(c) %u", Words{"app", "--new", "a \"b\" $(c) %u"}},
      {R"(app "unterminated %u)", "A", kBad}, {R"(app a"b" %u)", "A", kBad},
      {R"(app "a"b %u)", "A", kBad}, {"app %z", "A", kBad}, {"app 5%", "A", kBad},
      {"%i %u", "/bin/evil", kBad}, {" \t", "A", kBad},
  };
  for (const auto& c : kCases) EXPECT_EQ(ExecArguments(c.exec, c.argument), c.words) << c.exec;
}

TEST(XdgShell, FindsTheProgramStartsItWithTheTextAsOneArgumentAndMakesAPrivateProbe) {
  Desktop d;
  const auto shell = platform::posix::shell::MakeXdgShell();
  const std::string apps = d / "data1/applications/", browser = d / "bin dir/my browser";
  // FindExecutable: 31 while no list names a program and for other types, 2 without the file.
  std::u16string program;
  WriteFile(d / "page.HTM", "");
  EXPECT_EQ(shell->FindExecutable(U16(d / "page.HTM"), &program), 31);
  WriteFile(d / "config/mimeapps.list", List("a.desktop"));
  EXPECT_EQ(shell->FindExecutable(U16(d / "page.HTM"), &program), 33);
  EXPECT_EQ(U8(program), apps + "a.desktop");
  EXPECT_EQ(shell->FindExecutable(U16(d / "no.htm"), &program), 2);
  EXPECT_EQ(shell->FindExecutable(U16(d / "config/mimeapps.list"), &program), 31);
  EXPECT_EQ(program, u"");  // cleared
  // ShellExecute of a stand-in, first on PATH, that writes its arguments, each ended by a NUL.
  d.env.Set("PATH", d / "bin dir:" + std::getenv("PATH"));
  WriteFile(browser, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" +
                         (d / "record") + "'; : > '" + (d / "record.done") + "'\n");
  WriteFile(apps + "new.desktop", Entry("\"my browser\" --new"));  // on PATH; the text appended
  WriteFile(apps + "broken.desktop", Entry("\"unclosed %u")), WriteFile(d / "plain", "#!/bin/sh\n");
  WriteFile(apps + "gone.desktop", Entry("no-such-program-here %u"));
  // An interpreter that may not be run, so neither may its script; bytes of no known format.
  WriteFile(d / "interpreter", ""), WriteFile(d / "script", "#!" + (d / "interpreter") + "\n");
  WriteFile(d / "garbage", std::string(64, '\x01'));
  for (const std::string& f : {browser, d / "script", d / "garbage"}) ::chmod(f.c_str(), 0700);
  const std::u16string text = u"mailto:bugs@example.com?subject=[Bug%20Report]%20\"Pay\" 'roll'; "
                              u"$(id) `id` & a|b > c #5 \\n\\ %u %% ~ * ?x=1 caf\u00E9";
  const std::string t = U8(text) + '\0', done = d / "record.done";
  const struct { std::string file; int code; std::u16string text = u"x"; std::string recorded{};
                 const char16_t* operation = u"open"; } kRuns[] = {
      {apps + "new.desktop", 42, text, "--new" + std::string(1, '\0') + t},
      {browser, 42, text, t, u""}, {browser, 11, {u"a\0b", 3}},  // no entry: the program itself
      {d / "nothing.desktop", 2}, {apps + "gone.desktop", 2}, {d / "plain", 2}, {d / "script", 5},
      {d / "garbage", 11}, {apps + "broken.desktop", 11}, {browser, 31, u"x", "", u"print"},
  };
  for (const auto& c : kRuns) {  // what the stand-in recorded, within 20 s
    EXPECT_EQ(shell->ShellExecute(c.operation, U16(c.file), c.text, 1), c.code) << c.file;
    for (int i = 0; c.code == 42 && i < 2000 && !fs::exists(done); ++i) ::usleep(10000);
    EXPECT_EQ(fs::remove(done) ? ReadFile(d / "record") : "", c.recorded) << c.file;
  }
  // The probe: a file in a private folder of its own, which goes with it.
  const std::string probe = U8(shell->CreateHtmProbe()), folder = d / "tmp/cobaltmoth-mail-";
  EXPECT_TRUE(probe.starts_with(folder) && probe.ends_with("/~mail.htm")) << probe;
  EXPECT_EQ(fs::status(fs::path(probe).parent_path()).permissions(), fs::perms::owner_all);
  shell->DeleteHtmProbe(U16(probe));
  EXPECT_TRUE(fs::is_empty(d / "tmp"));
  // A link planted there before is not followed: the name goes, with our folder.
  const std::string planted = d / "cobaltmoth-mail-abc/~mail.htm";
  WriteFile(d / "victim", "keep me");
  fs::create_directory(d / "cobaltmoth-mail-abc"), fs::create_symlink(d / "victim", planted);
  EXPECT_RUNTIME_ERROR(xdg::CreateFileExclusively(planted), 58, "File already exists");
  shell->DeleteHtmProbe(U16(planted));
  EXPECT_FALSE(fs::exists(fs::symlink_status(d / "cobaltmoth-mail-abc")));
  EXPECT_EQ(ReadFile(d / "victim"), "keep me");
  WriteFile(d / "documents/~mail.htm", "");
  shell->DeleteHtmProbe(U16(d / "documents/~mail.htm"));
  EXPECT_TRUE(fs::is_empty(d / "documents"));  // a folder that is not ours stays
  d.env.Set("TMPDIR", d / "no/such/folder");
  EXPECT_RUNTIME_ERROR(shell->CreateHtmProbe(), 76, "Path not found");
}

}  // namespace
}  // namespace cobaltmoth
