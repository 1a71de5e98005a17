// The windows on an X11 desktop: cobaltmoth-ui under a private Xvfb, driven with xdotool and
// read back with xclip, as a user would; and the ways a desktop can fail (no display, a
// display that refuses the connection, a program that cannot start, crashes, hangs or talks
// nonsense), each of which must leave the host running with the texts shown in the terminal.
//
// Screenshots of both windows go to the build's test-output/desktop folder.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "child_process.hpp"
#include "cobaltmoth/proc_bug.hpp"
#include "fakes.hpp"
#include "platform/posix/desktop/desktop_ui.hpp"
#include "platform/posix/shell/printer.hpp"
#include "report/frm_report.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempDir;
using testing::U8;
using testing::WriteFile;

constexpr char kUiProgram[] = COBALTMOTH_TEST_UI_PROGRAM;
constexpr char kShotFolder[] = COBALTMOTH_TEST_OUTPUT_DIR "/desktop";

// --- A private X server and the user's hands. ------------------------------------------------

// The output of a shell command (its standard output only).
std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Xvfb on a display number of its own choosing, for one test.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const char* screen = "1024x768x24") {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(pipe_fds[0]);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      const std::string fd = std::to_string(pipe_fds[1]);
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen,
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(pipe_fds[1]);
    const std::string number = testing::ReadToEnd(pipe_fds[0], 10000);
    ::close(pipe_fds[0]);
    if (!number.empty() && number.back() == '\n') name_ = ":" + number.substr(0, number.size() - 1);
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      testing::WaitChild(pid_, 5000);
    }
  }
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

class Desktop : public ::testing::Test {
 protected:
  void SetUp() override {
    const bool required = std::getenv("COBALTMOTH_REQUIRE_DESKTOP") != nullptr;
    std::string missing;
    for (const char* tool : {"Xvfb", "xdotool", "xclip", "xprop", "import"}) {
      if (Shell(std::string("command -v ") + tool).empty()) missing += std::string(" ") + tool;
    }
    if (kUiProgram[0] == '\0') missing += " cobaltmoth-ui";
    if (!missing.empty()) {
      if (required) FAIL() << "missing for the desktop tests:" << missing;
      GTEST_SKIP() << "missing:" << missing;
    }
    display_ = std::make_unique<VirtualDisplay>();
    ASSERT_FALSE(display_->name().empty()) << "Xvfb did not start";
    env_.Set("DISPLAY", display_->name());
    env_.Unset("COBALTMOTH_UI");
    env_.Set("COBALTMOTH_UI_PROGRAM", kUiProgram);
    fs::create_directories(kShotFolder);
  }

  // Ends the X server first: a window that a failed test left open then goes, and the thread
  // that waits for it returns.
  void TearDown() override { display_.reset(); }

  // The id of the visible window whose title is exactly `title`, waiting up to 20 s for it.
  std::string FindWindow(const std::string& title) {
    std::string pattern = "^";  // the title as a regular expression
    for (const char c : title) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != ' ') pattern += '\\';
      pattern += c;
    }
    std::string found = Shell("timeout 20 xdotool search --sync --onlyvisible --name " +
                              Quoted(pattern + "$"));
    found = found.substr(0, found.find('\n'));
    EXPECT_FALSE(found.empty()) << "no window titled \"" << title << "\"";
    return found;
  }

  // Waits until the window is no longer shown.
  bool WaitGone(const std::string& id) {
    for (int i = 0; i < 400; ++i) {
      if (Shell("xdotool search --onlyvisible --name . | grep -x " + id).empty()) return true;
      std::this_thread::sleep_for(25ms);
    }
    return false;
  }

  void Keys(const std::string& id, const std::string& keys, const char* how = "key") {
    Shell("timeout 10 xdotool windowfocus --sync " + id);
    Shell("timeout 10 xdotool " + std::string(how) + " --delay 30 " + keys);
  }
  void Type(const std::string& id, const std::string& text) { Keys(id, Quoted(text), "type"); }

  // The client area's size, "WIDTH=615\nHEIGHT=453".
  std::string Geometry(const std::string& id) {
    const std::string out = Shell("xdotool getwindowgeometry --shell " + id);
    const std::size_t at = out.find("WIDTH=");
    return at == std::string::npos ? out : out.substr(at, out.find("\nSCREEN") - at);
  }

  void Screenshot(const std::string& id, const std::string& name) {
    const std::string path = std::string(kShotFolder) + "/" + name + ".png";
    Shell("xdotool mousemove 0 0");  // the pointer out of the picture
    Shell("import -window " + id + " " + Quoted(path));
    EXPECT_TRUE(fs::exists(path)) << path;
  }

  std::string Clipboard(const std::string& target) {
    return Shell("timeout 10 xclip -o -selection clipboard -t " + target);
  }

  ScopedEnv env_;
  std::unique_ptr<VirtualDisplay> display_;
};

// The host's modal call, run on a thread of its own (its future waits for it when dropped).
std::future<void> HostCall(std::function<void()> body) {
  return std::async(std::launch::async, std::move(body));
}
// Whether the call returned within 20 s (its exception, if any, is rethrown).
bool Returned(std::future<void>& call) {
  if (call.wait_for(20s) != std::future_status::ready) return false;
  call.get();
  return true;
}

std::unique_ptr<report::frmReport> LoadedForm(
    const std::u16string& title, const std::u16string& text,
    std::shared_ptr<const platform::Platform> on = platform::DefaultPlatform()) {
  auto form = std::make_unique<report::frmReport>(std::move(on));
  form->Form_Load();
  form->Caption(title);
  form->Text(text);
  form->SupportFax(u"+44 20 7946 0381");
  form->SupportMail(u"help@payroll.example");
  return form;
}

TEST_F(Desktop, RaiseShowsTheBoxThenTheWindowAndEscReturnsWithEndOnErrorSet) {
  TempDir logs;
  ProcBug bug;
  bug.Init("Payroll", 1, 2, 30, logs.path().string(), ExeStandard);
  bug.LogOnMsgBox(true);
  bug.LogOnFile(true);
  bug.LogOnReport(true);
  const std::string bug_log = U8(bug.LogFilePath());
  const std::string title = "Payroll.EXE ver. 1.2.30 - Unexpected error";

  auto host = HostCall([&] {
    bug.Raise("frmOrders", "cmdSave_Click", 11, "Division by zero", 120, /*is_critical=*/false);
  });
  const std::string box = FindWindow(title);
  ASSERT_FALSE(box.empty());
  Screenshot(box, "message-box");
  EXPECT_FALSE(fs::exists(bug_log)) << "the bug log is written after the box is closed";
  Keys(box, "Return");
  ASSERT_TRUE(WaitGone(box));

  const std::string window = FindWindow(title);
  ASSERT_FALSE(window.empty());
  EXPECT_EQ(Geometry(window), "WIDTH=615\nHEIGHT=453");
  EXPECT_NE(Shell("xprop -id " + window + " _NET_WM_ICON").find("Icon (32 x 32)"),
            std::string::npos)
      << "icon 101 is the window's icon";
  EXPECT_NE(Shell("xprop -id " + window + " WM_CLASS").find("\"Cobaltmoth\""), std::string::npos);
  EXPECT_TRUE(fs::exists(bug_log)) << "the window opens after the bug log is written";
  Screenshot(window, "report-window");
  EXPECT_TRUE(bug.EndOnError()) << "Raise is still waiting for the window";
  Keys(window, "Escape");
  ASSERT_TRUE(Returned(host));
  EXPECT_FALSE(bug.EndOnError());
}

TEST_F(Desktop, CopyTakesTheEditedTextAndTheClipboardKeepsItAfterTheWindow) {
  const auto form =
      LoadedForm(u"Payroll - Unexpected error", u"Caf\u00e9 \u20ac5\r\nsecond line");

  auto host = HostCall([&] { form->ShowModal(); });
  const std::string window = FindWindow("Payroll - Unexpected error");
  ASSERT_FALSE(window.empty());
  // The focus starts at the top of the text box; Ctrl+Enter makes a new line there, Tab moves
  // on to Copy, and Enter presses the focused button.
  Type(window, "Dear support,");
  Keys(window, "ctrl+Return Tab Return");
  const std::string confirmation = FindWindow("Cobaltmoth");
  ASSERT_FALSE(confirmation.empty());
  const std::string edited = "Dear support,\r\nCaf\xC3\xA9 \xE2\x82\xAC" "5\r\nsecond line";
  EXPECT_EQ(Clipboard("UTF8_STRING"), edited);
  Keys(confirmation, "Return");
  ASSERT_TRUE(WaitGone(confirmation));

  Keys(window, "Escape");
  ASSERT_TRUE(Returned(host));
  EXPECT_EQ(U8(form->Text()), edited);
  // The window has gone; the clipboard's owner has not.
  EXPECT_EQ(Clipboard("UTF8_STRING"), edited);
  EXPECT_EQ(Clipboard("STRING"), "Dear support,\r\nCaf\xE9 ?5\r\nsecond line");
}

TEST_F(Desktop, AWindowWhoseProgramIsKilledLeavesTheReportToTheTerminalForm) {
  testing::FakePlatform fake;  // its window stands for the terminal's
  fake.platform->report_window = platform::posix::desktop::MakeDesktopUi(
                                     {}, fake.message_box, fake.report_window, fake.clipboard)
                                     .report_window;
  const auto form = LoadedForm(u"Payroll - Unexpected error", u"the report", fake.platform);

  auto host = HostCall([&] { form->ShowModal(); });
  const std::string id = FindWindow("Payroll - Unexpected error");
  ASSERT_FALSE(id.empty());
  Type(id, "edited ");
  // Enter in the text box sends the mail and leaves the window open; Print answers with the
  // edited text.
  Keys(id, "Return Tab Tab Return");
  std::this_thread::sleep_for(300ms);
  Shell("xdotool windowkill " + id);  // the X server drops the program's connection
  ASSERT_TRUE(Returned(host));
  EXPECT_EQ(fake.journal->lines,
            (std::vector<std::string>{
                "probe", "find /private/~mail.htm", "delete /private/~mail.htm",
                "execute open [/usr/bin/mailer] [mailto:cobaltmoth-support@example.com?subject="
                "[Bug%20Report]%20Application%20Payroll%20-%20Unexpected%20error] 1",
                "print Courier 12 edited the report", "window [Payroll - Unexpected error]",
                "window closed"}));
  EXPECT_EQ(U8(fake.report_window->shown.Text()), "edited the report");
}

TEST_F(Desktop, APressDuringAnActionWaitsAndANulCarriesTheWholeText) {
  const sighandler_t previous = ::signal(SIGCHLD, SIG_IGN);  // a host that ignores SIGCHLD
  TempDir dir;
  WriteFile(dir / "lp", "#!/bin/sh\ncat >/dev/null; sleep 0.6\n");
  fs::permissions(dir / "lp", fs::perms::owner_all);
  testing::FakePlatform fake;
  fake.platform->report_window = platform::posix::desktop::MakeDesktopUi(
                                     {}, fake.message_box, fake.report_window, fake.clipboard)
                                     .report_window;
  fake.platform->printer = platform::posix::shell::MakePosixPrinter(dir / "lp", dir / "lpr");
  const auto form = LoadedForm(u"NUL", std::u16string(u"before\0after", 12), fake.platform);
  auto host = HostCall([&] { form->ShowModal(); });
  const std::string id = FindWindow("NUL");
  ASSERT_FALSE(id.empty());
  Keys(id, "Tab Return");  // Copy, unchanged: the text as given, NUL and all
  const std::string box = FindWindow("Cobaltmoth");
  Keys(box, "Return");
  ASSERT_TRUE(WaitGone(box));
  Keys(id, "Tab Return Escape");  // Esc while the spooler still prints
  ASSERT_TRUE(Returned(host));
  ::signal(SIGCHLD, previous);
  EXPECT_EQ(fake.journal->lines, std::vector<std::string>{std::string("clipboard before\0after",
                                                                       22)});
}

TEST_F(Desktop, BoxesFitTheScreenAndShowNonLatinCharacters) {
  std::string pixels[2];
  const std::u16string prompts[] = {std::u16string(80, u'\n'), std::u16string(40000, u'\n'),
                                    u"\u4E2D\u6587 \U0001F600", u"\u65E5\u672C \U0001F60E"};
  for (int i = 0; i < 4; ++i) {
    auto host = HostCall([&] {
      platform::DefaultPlatform()->message_box->Show(prompts[i], platform::kOkOnly, u"Box");
    });
    const std::string box = FindWindow("Box");
    ASSERT_FALSE(box.empty());
    const std::string size = Geometry(box);
    EXPECT_LE(std::stoi(size.substr(size.find("HEIGHT=") + 7)), 768) << size;
    if (i >= 2) pixels[i - 2] = Shell("import -window " + box + " rgb:- | md5sum");
    if (i == 2) Screenshot(box, "non-latin");
    Keys(box, "Return");  // OK keeps the focus, on the screen
    ASSERT_TRUE(Returned(host));
  }
  // A font that lacks them would draw the same empty boxes for both texts.
  EXPECT_NE(pixels[0], pixels[1]);
  // On a screen smaller than the report window, the window fits it.
  display_ = std::make_unique<VirtualDisplay>("640x400x24");
  env_.Set("DISPLAY", display_->name());
  const auto form = LoadedForm(u"Small", u"the report");
  auto host = HostCall([&] { form->ShowModal(); });
  const std::string window = FindWindow("Small");
  ASSERT_FALSE(window.empty());
  EXPECT_EQ(Geometry(window), "WIDTH=592\nHEIGHT=352");
  Keys(window, "Escape");
  ASSERT_TRUE(Returned(host));
}

// The processes serving the clipboard of this display.
int ClipboardOwners(const std::string& display) {
  int owners = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string command = ReadFile(entry.path().string() + "/cmdline");
    if (command.find("--clipboard") == std::string::npos ||
        command.find("cobaltmoth-ui") == std::string::npos) {
      continue;
    }
    const std::string environment = ReadFile(entry.path().string() + "/environ");
    if (environment.find(std::string("DISPLAY=") + display + '\0') != std::string::npos) ++owners;
  }
  return owners;
}

TEST_F(Desktop, AGreatTextGoesInPiecesAndTheOwnerLeavesWhenAnotherTakesTheClipboard) {
  std::u16string text;
  for (int i = 0; text.size() < 700000; ++i) {
    text += u"line " + runtime::FromUtf8(std::to_string(i)) + u" \u00e0\u00e8\u4e2d\r\n";
  }
  platform::DefaultPlatform()->clipboard->SetText(text);
  EXPECT_EQ(ClipboardOwners(display_->name()), 1);
  EXPECT_EQ(Clipboard("UTF8_STRING"), runtime::ToUtf8(text));

  Shell("printf other | timeout 10 xclip -selection clipboard -loops 1 -i >/dev/null 2>&1 &");
  int owners = 1;
  for (int i = 0; i < 200 && owners > 0; ++i) {
    std::this_thread::sleep_for(25ms);
    owners = ClipboardOwners(display_->name());
  }
  EXPECT_EQ(owners, 0);
  EXPECT_EQ(Clipboard("UTF8_STRING"), "other");
}

// --- When the desktop fails. -----------------------------------------------------------------

const char kNotices[] =
    "Payroll - Unexpected error\nError in module frmOrders\n"
    "Payroll - Unexpected error\nthe report\nsecond line\n";

TEST(DesktopFailure, WithoutADisplayOrOneThatRefusesTheTextsGoToTheTerminalForm) {
  for (const char* display : {"", ":65000"}) {  // none; one where no server listens
    // A message box and the report window through the default platform, in a child with no
    // terminal; the texts that reach standard error come back.
    const testing::DetachedRun run = testing::RunDetached([display](int report) {
      ::unsetenv("COBALTMOTH_UI");
      ::setenv("DISPLAY", display, 1);
      ::setenv("COBALTMOTH_UI_PROGRAM", *display ? kUiProgram : "/nonexistent/cobaltmoth-ui", 1);
      platform::DefaultPlatform()->message_box->Show(
          u"Error in module frmOrders", platform::kCritical, u"Payroll - Unexpected error");
      const auto form = LoadedForm(u"Payroll - Unexpected error", u"the report\r\nsecond line");
      form->ShowModal();
      testing::WriteString(report, form->Unloaded() ? "unloaded" : "still loaded");
      return 0;
    }, 60, 60000);
    EXPECT_EQ(testing::ExitCode(run.status), 0) << display;
    EXPECT_EQ(run.errors, kNotices) << display;
    EXPECT_EQ(run.report, "unloaded") << display;
  }
}

// A stand-in for cobaltmoth-ui that misbehaves, and the fakes the desktop falls back to.
class BrokenProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.Set("DISPLAY", ":65000");
    env_.Unset("COBALTMOTH_UI");
  }

  std::string Program(const std::string& body) {
    const std::string path = dir_ / "ui";
    WriteFile(path, "#!/bin/bash\necho $$ > " + Quoted(dir_ / "pid") + "\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }

  // The stand-in ended (reaped, no zombie left) by the time the call returned.
  void ExpectProgramGone() {
    const std::string pid = ReadFile(dir_ / "pid");
    ASSERT_FALSE(pid.empty()) << "the stand-in never ran";
    EXPECT_NE(::kill(std::stoi(pid), 0), 0) << "the stand-in is still there";
  }

  // The desktop's forms with the fakes of `fake_` (the terminal's stand-ins) as fallbacks.
  platform::posix::desktop::DesktopUi Desktop(const std::string& program) {
    platform::posix::desktop::DesktopOptions options;
    options.program = program;
    options.start_limit_ms = options.silence_limit_ms = 700;
    return platform::posix::desktop::MakeDesktopUi(options, fake_.message_box, fake_.report_window,
                                            fake_.clipboard);
  }
  // Shows the form through the desktop's window of `program`: a report too large for a
  // socket's buffer, so that a program that does not read holds up the sending too.
  void ShowWith(const std::string& program) {
    fake_.platform->report_window = Desktop(program).report_window;
    LoadedForm(u"Payroll - Unexpected error", std::u16string(300000, u'x'), fake_.platform)
        ->ShowModal();
  }

  TempDir dir_;
  ScopedEnv env_;
  testing::FakePlatform fake_;
  std::vector<std::string>& journal_ = fake_.journal->lines;
};

TEST_F(BrokenProgram, ThatCrashesHangsOrTalksNonsenseLeavesTheWindowToTheFallback) {
  const std::string alive = "printf '\\x09\\x00\\x00\\x00\\x05\\x00\\x00\\x00ALIVE' >&3; ";
  const std::pair<const char*, std::string> cases[] = {
      {"crashes", "kill -SEGV $$"},
      {"hangs", "exec sleep 60"},
      {"falls silent", alive + "exec sleep 60"},
      {"talks nonsense", "printf 'nonsense, not a frame' >&3; exec sleep 60"},
      {"says it cannot",
       "printf '\\x0d\\x00\\x00\\x00\\x05\\x00\\x00\\x00ERROR\\x00\\x00\\x00\\x00' >&3; "
       "exec sleep 60"},
      {"exits at once", "exit 0"},
  };
  for (const auto& [what, body] : cases) {
    SCOPED_TRACE(what);
    journal_.clear();
    ShowWith(Program(body));
    EXPECT_EQ(journal_, (std::vector<std::string>{"window [Payroll - Unexpected error]",
                                                  "window closed"}));
    ExpectProgramGone();
  }
}

TEST_F(BrokenProgram, AMessageBoxAndAHostIgnoringSigchldFallBackToo) {
  Desktop(Program("kill -SEGV $$")).message_box->Show(u"Disk full", platform::kExclamation, u"");
  EXPECT_EQ(journal_, std::vector<std::string>{"msgbox 48 [] Disk full"});
  ExpectProgramGone();
  const sighandler_t previous = ::signal(SIGCHLD, SIG_IGN);
  ShowWith(Program("exec sleep 60"));
  ::signal(SIGCHLD, previous);
  EXPECT_EQ(journal_.size(), 3u);
  ExpectProgramGone();
}

TEST_F(BrokenProgram, AMissingProgramIsNoDisplayAndAnOwnerThatCannotOwnRaises521) {
  ShowWith(dir_ / "no such program");
  EXPECT_EQ(journal_.size(), 2u);
  EXPECT_EQ(U8(Desktop(dir_ / "no such program").clipboard->SetText(u"the report")), "");
  EXPECT_EQ(journal_.back(), "clipboard the report");
  // A real owner on a display that refuses the connection.
  if (kUiProgram[0] == '\0') GTEST_SKIP() << "cobaltmoth-ui is not built";
  EXPECT_HOST_ERROR(Desktop(kUiProgram).clipboard->SetText(u"x"), 521, "Cobaltmoth",
                    "Can't open Clipboard");
  EXPECT_EQ(journal_.size(), 3u);
}

}  // namespace
}  // namespace cobaltmoth
