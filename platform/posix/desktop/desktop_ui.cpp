// The desktop forms of the message box, the report window and the clipboard: cobaltmoth-ui
// started, fed and awaited over a socket.
#include "platform/posix/desktop/desktop_ui.hpp"

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>
#include <vector>

#include "component/base/host_error.hpp"
#include "component/base/text.hpp"
#include "platform/posix/terminal/terminal_ui.hpp"
#include "platform/posix/spawn.hpp"
#include "platform/posix/desktop/ui_channel.hpp"
#include "report/frm_report.hpp"

namespace cobaltmoth::platform::gui {
namespace {

namespace channel = ui_channel;

// How long a started program may take to tell that it has ended, once it has been told to.
constexpr int kEndGraceMs = 3000;
// How long the clipboard's owner may take to own it.
constexpr int kClipboardLimitMs = 10000;

bool Executable(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// One running cobaltmoth-ui and the conversation with it.
class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { End(); }

  // Starts the program as a child; false when it cannot be started.
  bool Start(const GuiOptions& options) {
    options_ = options;
    if (options_.program.empty()) options_.program = FindUiProgram();
    if (options_.program.empty()) return false;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    posix::SpawnOptions spawn;
    spawn.channel = ends[1];
    spawn.inherit_stderr = std::getenv("COBALTMOTH_UI_DEBUG") != nullptr;
    pid_t pid = -1;
    const int error =
        posix::SpawnChild(options_.program, {options_.program, "--serve"}, spawn, &pid);
    ::close(ends[1]);
    if (error != 0) {
      ::close(ends[0]);
      return false;
    }
    fd_ = ends[0];
    pid_ = pid;
    return true;
  }

  bool Send(const channel::Message& message) {
    if (fd_ < 0) return false;
    if (channel::Send(fd_, message)) return true;
    Fail();
    return false;
  }

  // The program's next word other than its sign of life; false (and the program ended) when
  // it has gone, broken the conversation, said it cannot go on, or kept silent too long.
  bool Await(channel::Message* message) {
    while (fd_ >= 0) {
      const int limit = heard_ ? options_.silence_limit_ms : options_.start_limit_ms;
      if (channel::ReceiveMessage(fd_, decoder_, limit, message) != channel::Receive::kMessage) {
        break;
      }
      heard_ = true;
      if (message->kind == channel::kAlive) continue;
      if (message->kind == channel::kError) break;
      return true;
    }
    Fail();
    return false;
  }

  // Closes the conversation and waits for the program to end (ending it after a grace).
  void End() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
    if (pid_ > 0) {
      posix::EndChild(pid_, kEndGraceMs);
      pid_ = -1;
    }
  }

  bool Running() const noexcept { return fd_ >= 0; }

 private:
  void Fail() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
    if (pid_ > 0) {
      posix::EndChild(pid_, 0);
      pid_ = -1;
    }
  }

  GuiOptions options_;
  int fd_ = -1;
  pid_t pid_ = -1;
  channel::Decoder decoder_;
  bool heard_ = false;
};

// The report window that this thread shows now: the message boxes of its actions go to it.
thread_local Session* open_report = nullptr;

channel::Message MessageBoxRequest(std::u16string_view prompt, std::int32_t style,
                                   std::u16string_view title) {
  return {std::string(channel::kMsgBox),
          {text::ToUtf8(title.empty() ? std::u16string_view(u"Cobaltmoth") : title),
           text::ToUtf8(prompt), std::to_string(style)}};
}

// Shows a message box in `session` and waits for its answer.
bool AskMessageBox(Session& session, const channel::Message& request) {
  if (!session.Send(request)) return false;
  channel::Message reply;
  while (session.Await(&reply)) {
    if (reply.kind == channel::kAnswer) return true;
  }
  return false;
}

class GuiMessageBox final : public MessageBox {
 public:
  GuiMessageBox(GuiOptions options, std::shared_ptr<MessageBox> fallback)
      : options_(std::move(options)), fallback_(std::move(fallback)) {}

  void Show(std::u16string_view prompt, std::int32_t style, std::u16string_view title) override {
    if (DesktopWanted()) {
      const channel::Message request = MessageBoxRequest(prompt, style, title);
      if (open_report != nullptr && open_report->Running()) {
        if (AskMessageBox(*open_report, request)) return;
      } else {
        Session session;
        if (session.Start(options_) && AskMessageBox(session, request)) return;
      }
    }
    fallback_->Show(prompt, style, title);
  }

 private:
  GuiOptions options_;
  std::shared_ptr<MessageBox> fallback_;
};

channel::ReportWindowModel ModelOf(const report::frmReport& form) {
  channel::ReportWindowModel model;
  model.title = text::ToUtf8(form.Caption());
  model.width = report::kClientWidthTwips;
  model.height = report::kClientHeightTwips;
  model.twips_per_pixel = report::kTwipsPerPixel;
  if (const Icon* icon = form.Image1Picture(); icon != nullptr) {
    model.icon_width = icon->width;
    model.icon_height = icon->height;
    model.icon_rgba.assign(icon->rgba.begin(), icon->rgba.end());
  }
  for (const report::Control& c : form.Controls()) {
    channel::WindowControl control;
    control.name = text::ToUtf8(c.name);
    control.index = c.index;
    switch (c.kind) {
      case report::Control::Kind::kImage: control.kind = channel::WindowControl::kImage; break;
      case report::Control::Kind::kLabel: control.kind = channel::WindowControl::kLabel; break;
      case report::Control::Kind::kTextBox: control.kind = channel::WindowControl::kTextBox; break;
      case report::Control::Kind::kButton: control.kind = channel::WindowControl::kButton; break;
    }
    control.left = c.left;
    control.top = c.top;
    control.width = c.width;
    control.height = c.height;
    control.tab_index = c.tab_index;
    control.caption = text::ToUtf8(c.kind == report::Control::Kind::kTextBox
                                       ? std::u16string_view(form.Text())
                                       : std::u16string_view(c.caption));
    control.auto_size = c.auto_size;
    control.word_wrap = c.word_wrap;
    control.is_default = c.is_default;
    control.is_cancel = c.is_cancel;
    model.controls.push_back(std::move(control));
  }
  return model;
}

class GuiReportWindow final : public ReportWindow {
 public:
  GuiReportWindow(GuiOptions options, std::shared_ptr<ReportWindow> fallback)
      : options_(std::move(options)), fallback_(std::move(fallback)) {}

  void ShowModal(report::frmReport& form) override {
    if (DesktopWanted() && ShowOnDesktop(form)) return;
    fallback_->ShowModal(form);
  }

 private:
  // False when the window could not be shown or kept (the form is not unloaded then).
  bool ShowOnDesktop(report::frmReport& form) {
    Session session;
    if (!session.Start(options_) || !session.Send(channel::EncodeReport(ModelOf(form)))) {
      return false;
    }
    // The text as the program has it: a text that comes back unchanged keeps the form's own
    // (which may hold what UTF-8 cannot carry, such as a lone surrogate).
    std::string shown_text = text::ToUtf8(form.Text());
    channel::Message message;
    while (session.Await(&message)) {
      if (message.kind == channel::kClick || message.kind == channel::kCloseBox) {
        const std::string_view text =
            message.Field(message.kind == channel::kClick ? 1 : 0);
        if (text != shown_text) {
          shown_text.assign(text);
          form.Text(text::FromUtf8(text));
        }
        if (message.kind == channel::kCloseBox) {
          form.Unload();
        } else {
          RunAction(session, form, message.Field(0));
        }
        if (form.Unloaded()) {
          session.Send({std::string(channel::kUnload), {}});
          session.End();
          return true;
        }
        if (!session.Send({std::string(channel::kDone), {}})) break;
      }
    }
    return false;
  }

  static void RunAction(Session& session, report::frmReport& form, std::string_view index) {
    int button = -1;
    if (index.size() == 1 && index[0] >= '0' && index[0] <= '9') button = index[0] - '0';
    Session* outer = open_report;
    open_report = &session;
    try {
      form.cmdReport_Click(static_cast<std::int16_t>(button));
    } catch (...) {
      open_report = outer;
      throw;
    }
    open_report = outer;
  }

  GuiOptions options_;
  std::shared_ptr<ReportWindow> fallback_;
};

class GuiClipboard final : public Clipboard {
 public:
  GuiClipboard(GuiOptions options, std::shared_ptr<Clipboard> fallback)
      : options_(std::move(options)), fallback_(std::move(fallback)) {}

  void SetText(std::u16string_view text) override {
    if (!DesktopWanted()) return fallback_->SetText(text);
    const std::string program = options_.program.empty() ? FindUiProgram() : options_.program;
    int ends[2];
    if (program.empty() || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
      return fallback_->SetText(text);
    }
    posix::SpawnOptions spawn;
    spawn.channel = ends[1];
    spawn.inherit_stderr = std::getenv("COBALTMOTH_UI_DEBUG") != nullptr;
    const int error = posix::SpawnDetached(program, {program, "--clipboard"}, spawn);
    ::close(ends[1]);
    if (error != 0) {
      ::close(ends[0]);
      return fallback_->SetText(text);
    }
    channel::Decoder decoder;
    channel::Message reply;
    const bool owned =
        channel::Send(ends[0], {std::string(channel::kClip), {text::ToUtf8(text)}}) &&
        channel::ReceiveMessage(ends[0], decoder, kClipboardLimitMs, &reply) ==
            channel::Receive::kMessage &&
        reply.kind == channel::kOwned;
    ::close(ends[0]);
    if (!owned) host::RaiseRuntime(host::kCantOpenClipboard);
  }

 private:
  GuiOptions options_;
  std::shared_ptr<Clipboard> fallback_;
};

}  // namespace

std::string FindUiProgram() {
  if (const char* chosen = std::getenv("COBALTMOTH_UI_PROGRAM"); chosen != nullptr && *chosen) {
    return Executable(chosen) ? std::string(chosen) : std::string();
  }
  std::vector<std::string> candidates;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&FindUiProgram), &info) != 0 &&
      info.dli_fname != nullptr && info.dli_fname[0] == '/') {
    candidates.push_back(Folder(info.dli_fname) + "/" COBALTMOTH_UI_FROM_LIBDIR);
  }
  candidates.emplace_back(COBALTMOTH_UI_INSTALLED);
  candidates.emplace_back(COBALTMOTH_UI_BUILT);
  for (const std::string& candidate : candidates) {
    if (Executable(candidate)) return candidate;
  }
  return std::string();
}

bool DesktopWanted() {
  const char* display = std::getenv("DISPLAY");
  return console::UiModeFromEnvironment() == console::UiMode::kGui && display != nullptr &&
         *display != '\0';
}

std::shared_ptr<MessageBox> MakeGuiMessageBox(GuiOptions options,
                                              std::shared_ptr<MessageBox> fallback) {
  return std::make_shared<GuiMessageBox>(std::move(options), std::move(fallback));
}

std::shared_ptr<ReportWindow> MakeGuiReportWindow(GuiOptions options,
                                                  std::shared_ptr<ReportWindow> fallback) {
  return std::make_shared<GuiReportWindow>(std::move(options), std::move(fallback));
}

std::shared_ptr<Clipboard> MakeGuiClipboard(GuiOptions options,
                                            std::shared_ptr<Clipboard> fallback) {
  return std::make_shared<GuiClipboard>(std::move(options), std::move(fallback));
}

}  // namespace cobaltmoth::platform::gui
