// cobaltmoth-ui - the windows of the bug handler on a Linux desktop.
//
//   cobaltmoth-ui --serve       shows the message boxes and the report window that the library
//                               asks for on descriptor 3 (platform/posix/desktop/ui_channel.hpp)
//   cobaltmoth-ui --clipboard   keeps a text on the clipboard (ui/clipboard_owner.hpp)
//
// The library starts it and waits for it; it is not meant to be started by hand.
#include <FL/Fl.H>
#include <FL/x.H>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/desktop/ui_channel.hpp"
#include "platform/posix/fd.hpp"
#include "platform/posix/spawn.hpp"
#include "ui/clipboard_owner.hpp"
#include "ui/message_box_view.hpp"
#include "ui/plain_label.hpp"
#include "ui/report_view.hpp"
#include "ui/text_fallback.hpp"

namespace cobaltmoth::ui {
namespace {

namespace channel = platform::posix::desktop::channel;

constexpr double kAliveEverySeconds = 1.0;
// A word the library does not take within this time finds it gone.
constexpr int kSayLimitMs = 30000;

// Serves the library's requests until it says UNLOAD or goes away.
class Server {
 public:
  explicit Server(int fd) : fd_(fd) {}

  int Run() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
      Say(channel::kError, {"cannot open the display"});
      return 1;
    }
    fl_open_display(display);
    UseFallbackFonts();
    Fl::scheme("gtk+");
    Fl::background(236, 236, 236);
    // The dialog font: Arial's metrics (fontconfig's metric alias), narrow enough for the
    // captions in the host's button sizes.
    Fl::set_font(FL_HELVETICA, " Arial");
    Fl::visible_focus(1);
    RegisterPlainLabel();
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    Say(channel::kAlive, {});
    Fl::add_fd(fd_, FL_READ, &Server::OnReadable, this);
    Fl::add_timeout(kAliveEverySeconds, &Server::OnAliveTimer, this);
    while (!ending_) Fl::wait(1.0);
    Fl::remove_fd(fd_);
    Fl::remove_timeout(&Server::OnAliveTimer, this);
    boxes_.clear();
    report_.reset();
    return exit_code_;
  }

 private:
  void Say(std::string_view kind, std::vector<std::string> fields) {
    const std::int64_t deadline = platform::posix::MonotonicMs() + kSayLimitMs;
    if (!channel::Send(fd_, {std::string(kind), std::move(fields)}, deadline)) End(0);
  }

  void End(int code) {
    ending_ = true;
    exit_code_ = code;
  }

  static void OnAliveTimer(void* self) {
    auto* server = static_cast<Server*>(self);
    server->Say(channel::kAlive, {});
    Fl::repeat_timeout(kAliveEverySeconds, &Server::OnAliveTimer, self);
  }

  static void OnReadable(int fd, void* self) {
    auto* server = static_cast<Server*>(self);
    char bytes[65536];
    for (;;) {
      const ssize_t n =
          platform::posix::RetryOnEintr([&] { return ::recv(fd, bytes, sizeof bytes, 0); });
      if (n > 0) {
        server->decoder_.Feed(bytes, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      server->End(0);  // the library has gone
      return;
    }
    while (std::optional<channel::Message> message = server->decoder_.Next()) {
      server->Handle(*message);
      if (server->ending_) return;
    }
    if (server->decoder_.Broken()) {
      server->Say(channel::kError, {"unreadable request"});
      server->End(2);
    }
  }

  void Handle(const channel::Message& message) {
    if (message.kind == channel::kMsgBox) {
      int style = 0;
      try {
        style = std::stoi(std::string(message.Field(2)));
      } catch (...) {
        style = 0;
      }
      auto box = std::make_unique<MessageBoxView>(
          std::string(message.Field(0)), std::string(message.Field(1)), style,
          [this] { Say(channel::kAnswer, {"1"}); });
      box->Show();
      boxes_.push_back(std::move(box));
    } else if (message.kind == channel::kReport) {
      platform::ReportWindowModel model;
      if (!channel::DecodeReport(message, &model)) {
        Say(channel::kError, {"unreadable report window"});
        End(2);
        return;
      }
      report_ = std::make_unique<ReportView>(
          std::move(model),
          [this](int index, const std::string& text) {
            Say(channel::kClick, {std::to_string(index), text});
          },
          [this](const std::string& text) { Say(channel::kCloseBox, {text}); });
      report_->Show();
      Say(channel::kShown, {});
    } else if (message.kind == channel::kDone) {
      if (report_) report_->Done();
    } else if (message.kind == channel::kUnload) {
      if (report_) report_->Hide();
      End(0);
    } else {
      Say(channel::kError, {"unknown request " + message.kind});
    }
  }

  int fd_;
  channel::Decoder decoder_;
  std::unique_ptr<ReportView> report_;
  std::vector<std::unique_ptr<MessageBoxView>> boxes_;
  bool ending_ = false;
  int exit_code_ = 0;
};

bool IsChannel(int fd) {
  int type = 0;
  socklen_t size = sizeof type;
  return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM;
}

}  // namespace
}  // namespace cobaltmoth::ui

int main(int argc, char** argv) {
  using namespace cobaltmoth;
  const int fd = platform::posix::kChannelFd;
  if (argc == 2 && (std::strcmp(argv[1], "--serve") == 0 ||
                    std::strcmp(argv[1], "--clipboard") == 0) &&
      ui::IsChannel(fd)) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (std::strcmp(argv[1], "--clipboard") == 0) return ui::KeepClipboard(fd);
    return ui::Server(fd).Run();
  }
  std::fprintf(stderr,
               "cobaltmoth-ui shows the windows of the Cobaltmoth bug handler; the library starts "
               "it\nwith --serve or --clipboard and a channel on descriptor 3.\n");
  return 2;
}
