// The default printer through the spooler's own command (platform/posix/shell/printer.hpp).
// The document is PostScript (so the spooler prints it as laid out, without its text filter)
// on the command's standard input; its standard output and error are read together. A command
// that cannot be started, or that ends with a non-zero status or by a signal, raises 482 with
// what it wrote (trimmed) as the description, or "Printer error" when it wrote nothing. When
// the host ignores SIGCHLD the command's status cannot be collected; then it has failed
// exactly when it wrote something.
#include "platform/posix/shell/printer.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/posix/fd.hpp"
#include "platform/posix/shell/postscript.hpp"
#include "platform/posix/spawn.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix::shell {
namespace {

using posix::UniqueFd;

// How much of the command's output is kept for the message; the rest is read and dropped.
constexpr std::size_t kMaxMessageBytes = 16 * 1024;

[[noreturn]] void RaisePrinterError(std::string_view message) {
  std::size_t begin = 0;
  std::size_t end = message.size();
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (begin < end && blank(message[begin])) ++begin;
  while (end > begin && blank(message[end - 1])) --end;
  if (begin == end) runtime::RaiseRuntime(runtime::kPrinterError);
  runtime::Raise(runtime::kPrinterError, runtime::kProjectSource,
              runtime::FromUtf8(message.substr(begin, end - begin)));
}

// Writes the document to the command and reads its output until it closes it, both under
// one deadline. Writing stops, without SIGPIPE, when the command no longer reads. False when
// the deadline passed first.
bool Exchange(UniqueFd& input, UniqueFd& output, std::string_view document,
              std::int64_t deadline, std::string* message) {
  char buffer[4096];
  std::size_t sent = 0;
  while (output.Valid()) {
    const std::int64_t left = deadline - posix::MonotonicMs();
    if (left <= 0) return false;
    pollfd fds[2] = {{output.Get(), POLLIN, 0}, {input.Get(), POLLOUT, 0}};
    const nfds_t count = input.Valid() ? 2 : 1;
    if (::poll(fds, count, static_cast<int>(left)) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (count == 2 && fds[1].revents != 0) {
      const ssize_t n = ::send(input.Get(), document.data() + sent, document.size() - sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) ||
          sent == document.size()) {
        input.Reset();  // the end of the document, or a command that stopped reading
      }
    }
    if (fds[0].revents != 0) {
      const ssize_t n =
          posix::RetryOnEintr([&] { return ::read(output.Get(), buffer, sizeof buffer); });
      if (n <= 0) break;
      const std::size_t room = kMaxMessageBytes - message->size();
      message->append(buffer, static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n)
                                                                  : room);
    }
  }
  return true;
}

class PosixPrinter final : public Printer {
 public:
  PosixPrinter(std::string lp, std::string lpr, int limit_ms)
      : lp_(std::move(lp)), lpr_(std::move(lpr)), limit_ms_(limit_ms) {}

  void PrintDocument(std::u16string_view text, std::u16string_view font_name,
                     double font_size_points) override {
    const std::string document = PostScriptDocument(text, font_name, font_size_points);
    // A socket for the document: send() can refuse without raising SIGPIPE in the host.
    UniqueFd input, input_theirs, output, output_theirs;
    if (!posix::MakeSocketPair(&input, &input_theirs) ||
        !posix::MakeSocketPair(&output, &output_theirs)) {
      RaisePrinterError("Printer error: " + std::system_category().message(errno));
    }
    ::shutdown(input.Get(), SHUT_RD);
    ::shutdown(output.Get(), SHUT_WR);

    posix::SpawnOptions options;
    options.standard_input = input_theirs.Get();
    options.standard_output = output_theirs.Get();
    pid_t pid = -1;
    int error = posix::SpawnChild(lp_, {lp_, "-s"}, options, &pid);
    if (error == ENOENT) error = posix::SpawnChild(lpr_, {lpr_}, options, &pid);
    if (error != 0) {
      RaisePrinterError("Printer error: cannot start the print spooler's command " + lp_ +
                        " or " + lpr_ + " (" + std::system_category().message(error) + ")");
    }
    input_theirs.Reset();
    output_theirs.Reset();
    std::string message;
    const std::int64_t deadline = posix::MonotonicMs() + limit_ms_;
    const bool finished = Exchange(input, output, document, deadline, &message);
    input.Reset();
    output.Reset();
    // A spooler that hangs must not hold the window: it is ended at the deadline.
    const std::int64_t left = finished ? deadline - posix::MonotonicMs() : 0;
    int status = -1;
    if (posix::EndChild(pid, left > 0 ? static_cast<int>(left) : 0, &status) ==
        posix::ChildEnd::kKilled) {
      runtime::RaiseRuntime(runtime::kPrinterError);
    }
    // Without a status (SIGCHLD ignored: the child was reaped for us) the output decides.
    const bool failed = status != -1
                            ? !(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                            : message.find_first_not_of(" \t\r\n") != std::string::npos;
    if (failed) RaisePrinterError(message);
  }

 private:
  std::string lp_;
  std::string lpr_;
  int limit_ms_;
};

}  // namespace

std::shared_ptr<Printer> MakePosixPrinter() { return MakePosixPrinter("lp", "lpr"); }

std::shared_ptr<Printer> MakePosixPrinter(std::string lp, std::string lpr, int limit_ms) {
  return std::make_shared<PosixPrinter>(std::move(lp), std::move(lpr), limit_ms);
}

}  // namespace cobaltmoth::platform::posix::shell
