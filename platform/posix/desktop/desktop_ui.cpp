// The desktop forms of the message box, the report window and the clipboard: cobaltmoth-ui
// started, fed and awaited over a socket (platform/posix/desktop/desktop_ui.hpp).
#include "platform/posix/desktop/desktop_ui.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/desktop/ui_channel.hpp"
#include "platform/posix/fd.hpp"
#include "platform/posix/spawn.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix::desktop {
namespace {

using posix::UniqueFd;

// How long a started program may take to tell that it has ended, once it has been told to.
constexpr int kEndGraceMs = 3000;
// How long the clipboard's owner may take to own it.
constexpr int kClipboardLimitMs = 10000;

// One running cobaltmoth-ui and the conversation with it. Every exchange runs under the
// limits of the options: a program that does not take a request, or does not answer, in
// time is ended.
class Session {
 public:
  explicit Session(DesktopOptions options) : options_(std::move(options)) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { End(); }

  // Starts the program as a child; false when it cannot be started.
  bool Start() {
    if (options_.program.empty()) options_.program = FindUiProgram();
    if (options_.program.empty()) return false;
    UniqueFd theirs;
    if (!posix::MakeSocketPair(&fd_, &theirs)) return false;
    posix::SpawnOptions spawn;
    spawn.channel = theirs.Get();
    spawn.inherit_stderr = std::getenv("COBALTMOTH_UI_DEBUG") != nullptr;
    if (posix::SpawnChild(options_.program, {options_.program, "--serve"}, spawn, &pid_) != 0) {
      fd_.Reset();
      pid_ = -1;
      return false;
    }
    return true;
  }

  bool Send(const channel::Message& message) {
    if (!fd_.Valid()) return false;
    if (channel::Send(fd_.Get(), message, Deadline())) return true;
    Fail();
    return false;
  }

  // The program's next word other than its sign of life; false (and the program ended) when
  // it has gone, broken the conversation, said it cannot go on, or kept silent too long.
  bool Await(channel::Message* message) {
    while (fd_.Valid()) {
      if (channel::ReceiveMessage(fd_.Get(), decoder_, Deadline(), message) !=
          channel::Receive::kMessage) {
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
  void End() { Stop(kEndGraceMs); }

  bool Running() const noexcept { return fd_.Valid(); }

 private:
  std::int64_t Deadline() const {
    return posix::MonotonicMs() + (heard_ ? options_.silence_limit_ms : options_.start_limit_ms);
  }

  void Fail() { Stop(0); }

  void Stop(int grace_ms) {
    fd_.Reset();
    if (pid_ > 0) posix::EndChild(pid_, grace_ms);
    pid_ = -1;
  }

  DesktopOptions options_;
  UniqueFd fd_;
  pid_t pid_ = -1;
  channel::Decoder decoder_;
  bool heard_ = false;
};

channel::Message MessageBoxRequest(std::u16string_view prompt, std::int32_t style,
                                   std::u16string_view title) {
  return {std::string(channel::kMsgBox),
          {runtime::ToUtf8(title.empty() ? kDefaultMessageBoxTitle : title),
           runtime::ToUtf8(prompt), std::to_string(style)}};
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

class DesktopMessageBox final : public MessageBox {
 public:
  DesktopMessageBox(DesktopOptions options, std::shared_ptr<MessageBox> fallback)
      : options_(std::move(options)), fallback_(std::move(fallback)) {}

  void Show(std::u16string_view prompt, std::int32_t style, std::u16string_view title) override {
    if (DesktopWanted()) {
      Session session(options_);
      if (session.Start() && AskMessageBox(session, MessageBoxRequest(prompt, style, title))) {
        return;
      }
    }
    fallback_->Show(prompt, style, title);
  }

 private:
  DesktopOptions options_;
  std::shared_ptr<MessageBox> fallback_;
};

// The report window drawn by cobaltmoth-ui; once the program fails, the fallback's window
// takes over with the text the window had.
class ShownOnDesktop final : public ShownReportWindow {
 public:
  ShownOnDesktop(std::unique_ptr<Session> session, const ReportWindowModel& model,
                 std::shared_ptr<MessageBox> fallback_box,
                 std::shared_ptr<ReportWindow> fallback_window)
      : session_(std::move(session)),
        model_(model),
        shown_text_(runtime::ToUtf8(model.Text())),
        fallback_box_(std::move(fallback_box)),
        fallback_window_(std::move(fallback_window)) {}

  ~ShownOnDesktop() override {
    if (session_->Running()) {
      session_->Send({std::string(channel::kUnload), {}});
      session_->End();
    }
  }

  Click WaitForClick() override {
    if (fallback_) return fallback_->WaitForClick();
    if (clicked_ && !session_->Send({std::string(channel::kDone), {}})) return FallBack();
    channel::Message message;
    while (session_->Await(&message)) {
      const bool click = message.kind == channel::kClick;
      if (!click && message.kind != channel::kCloseBox) continue;
      Click result;
      if (click) result.button = ButtonOf(message.Field(0));
      TakeText(message.Field(click ? 1 : 0));
      result.text = model_.Text();
      clicked_ = true;
      return result;
    }
    return FallBack();
  }

  void ShowMessage(std::u16string_view prompt, std::int32_t style,
                   std::u16string_view title) override {
    if (fallback_) return fallback_->ShowMessage(prompt, style, title);
    if (!AskMessageBox(*session_, MessageBoxRequest(prompt, style, title))) {
      fallback_box_->Show(prompt, style, title);
    }
  }

 private:
  static std::int32_t ButtonOf(std::string_view index) {
    if (index.size() == 1 && index[0] >= '0' && index[0] <= '9') return index[0] - '0';
    return -2;  // no button of the window: its press does nothing
  }

  // The text as the program has it: a text that comes back unchanged keeps the model's own
  // (which may hold what UTF-8 cannot carry, such as a lone surrogate).
  void TakeText(std::string_view text) {
    if (text == shown_text_) return;
    shown_text_.assign(text);
    model_.Find(u"txtError")->caption = runtime::FromUtf8(text);
  }

  Click FallBack() {
    fallback_ = fallback_window_->Show(model_);
    return fallback_->WaitForClick();
  }

  std::unique_ptr<Session> session_;
  ReportWindowModel model_;
  std::string shown_text_;
  bool clicked_ = false;
  std::shared_ptr<MessageBox> fallback_box_;
  std::shared_ptr<ReportWindow> fallback_window_;
  std::unique_ptr<ShownReportWindow> fallback_;
};

class DesktopReportWindow final : public ReportWindow {
 public:
  DesktopReportWindow(DesktopOptions options, std::shared_ptr<MessageBox> fallback_box,
                      std::shared_ptr<ReportWindow> fallback_window)
      : options_(std::move(options)),
        fallback_box_(std::move(fallback_box)),
        fallback_window_(std::move(fallback_window)) {}

  std::unique_ptr<ShownReportWindow> Show(const ReportWindowModel& model) override {
    if (DesktopWanted()) {
      auto session = std::make_unique<Session>(options_);
      if (session->Start() && session->Send(channel::EncodeReport(model))) {
        return std::make_unique<ShownOnDesktop>(std::move(session), model, fallback_box_,
                                                fallback_window_);
      }
    }
    return fallback_window_->Show(model);
  }

 private:
  DesktopOptions options_;
  std::shared_ptr<MessageBox> fallback_box_;
  std::shared_ptr<ReportWindow> fallback_window_;
};

class DesktopClipboard final : public Clipboard {
 public:
  DesktopClipboard(DesktopOptions options, std::shared_ptr<Clipboard> fallback)
      : options_(std::move(options)), fallback_(std::move(fallback)) {}

  std::u16string SetText(std::u16string_view text) override {
    if (!DesktopWanted()) return fallback_->SetText(text);
    const std::string program = options_.program.empty() ? FindUiProgram() : options_.program;
    UniqueFd ours, theirs;
    if (program.empty() || !posix::MakeSocketPair(&ours, &theirs)) {
      return fallback_->SetText(text);
    }
    posix::SpawnOptions spawn;
    spawn.channel = theirs.Get();
    spawn.inherit_stderr = std::getenv("COBALTMOTH_UI_DEBUG") != nullptr;
    const int error = posix::SpawnDetached(program, {program, "--clipboard"}, spawn);
    theirs.Reset();
    if (error != 0) return fallback_->SetText(text);
    const std::int64_t deadline = posix::MonotonicMs() + kClipboardLimitMs;
    channel::Decoder decoder;
    channel::Message reply;
    const bool owned =
        channel::Send(ours.Get(), {std::string(channel::kClip), {runtime::ToUtf8(text)}},
                      deadline) &&
        channel::ReceiveMessage(ours.Get(), decoder, deadline, &reply) ==
            channel::Receive::kMessage &&
        reply.kind == channel::kOwned;
    if (!owned) runtime::RaiseRuntime(runtime::kCantOpenClipboard);
    return std::u16string();
  }

 private:
  DesktopOptions options_;
  std::shared_ptr<Clipboard> fallback_;
};

}  // namespace

std::string FindUiProgram() {
  return posix::FindLibraryProgram("COBALTMOTH_UI_PROGRAM", "cobaltmoth-ui", "ui");
}

bool DesktopWanted() {
  const char* display = std::getenv("DISPLAY");
  return UiModeFromEnvironment() == UiMode::kGui && display != nullptr && *display != '\0';
}

DesktopUi MakeDesktopUi(DesktopOptions options, std::shared_ptr<MessageBox> fallback_box,
                        std::shared_ptr<ReportWindow> fallback_window,
                        std::shared_ptr<Clipboard> fallback_clipboard) {
  DesktopUi ui;
  ui.message_box = std::make_shared<DesktopMessageBox>(options, fallback_box);
  ui.report_window = std::make_shared<DesktopReportWindow>(options, std::move(fallback_box),
                                                           std::move(fallback_window));
  ui.clipboard = std::make_shared<DesktopClipboard>(std::move(options),
                                                    std::move(fallback_clipboard));
  return ui;
}

}  // namespace cobaltmoth::platform::posix::desktop
