// The default printer through the spooler's own command. The document is PostScript made by
// PostScriptDocument (so the spooler prints it as laid out, without its text filter), handed
// on standard input to `lp -s` (the default destination, no request id on standard output),
// or to `lpr` when there is no `lp`. The command is started with posix_spawnp and an argument
// vector, never through a shell, with every signal at its default action and none blocked.
// Its standard output and error are read together; a command that cannot be started, or
// that ends with a non-zero status or by a signal, raises 482 with what it wrote (trimmed) as
// the description, or "Printer error" when it wrote nothing. When the host ignores SIGCHLD
// the command's status cannot be collected; then it has failed exactly when it wrote
// something.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "component/base/host_error.hpp"
#include "component/base/text.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/posix/shell/postscript.hpp"
#include "platform/ui.hpp"

extern char** environ;

namespace cobaltmoth::platform {
namespace {

// How much of the command's output is kept for the message; the rest is read and dropped.
constexpr std::size_t kMaxMessageBytes = 16 * 1024;

[[noreturn]] void RaisePrinterError(std::string_view message) {
  std::size_t begin = 0;
  std::size_t end = message.size();
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (begin < end && blank(message[begin])) ++begin;
  while (end > begin && blank(message[end - 1])) --end;
  if (begin == end) host::RaiseRuntime(host::kPrinterError);
  host::Raise(host::kPrinterError, host::kProjectSource,
              text::FromUtf8(message.substr(begin, end - begin)));
}

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() { Reset(); }
  int Get() const noexcept { return fd_; }
  void Reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// posix_spawn's attribute and file-action objects, destroyed with their owner.
struct SpawnSetup {
  SpawnSetup() {
    ::posix_spawnattr_init(&attributes);
    ::posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
};

// A started command: its pid, our end of its standard input and of its output.
struct Child {
  pid_t pid = -1;
  Fd input;
  Fd output;
};

// Starts `argv` with the given ends as its standard input and output/error. Returns the
// spawn's error number (0 when started).
int Start(const std::vector<std::string>& argv, int child_input, int child_output,
          pid_t* pid) {
  SpawnSetup setup;
  sigset_t none;
  sigset_t all;
  ::sigemptyset(&none);
  ::sigfillset(&all);
  ::posix_spawnattr_setsigmask(&setup.attributes, &none);
  ::posix_spawnattr_setsigdefault(&setup.attributes, &all);
  ::posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  ::posix_spawn_file_actions_adddup2(&setup.actions, child_input, STDIN_FILENO);
  ::posix_spawn_file_actions_adddup2(&setup.actions, child_output, STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&setup.actions, child_output, STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  return ::posix_spawnp(pid, args[0], &setup.actions, &setup.attributes, args.data(), environ);
}

// Writes the document to the command and reads its output until it closes it. Writing stops,
// without SIGPIPE, when the command no longer reads.
std::string Exchange(Child& child, std::string_view document) {
  std::string message;
  char buffer[4096];
  std::size_t sent = 0;
  while (child.output.Get() >= 0) {
    pollfd fds[2] = {{child.output.Get(), POLLIN, 0}, {child.input.Get(), POLLOUT, 0}};
    const nfds_t count = child.input.Get() >= 0 ? 2 : 1;
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (count == 2 && fds[1].revents != 0) {
      const ssize_t n = ::send(child.input.Get(), document.data() + sent, document.size() - sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) ||
          sent == document.size()) {
        child.input.Reset();  // the end of the document, or a command that stopped reading
      }
    }
    if (fds[0].revents != 0) {
      const ssize_t n = ::read(child.output.Get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      const std::size_t room = kMaxMessageBytes - message.size();
      message.append(buffer, static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n)
                                                                 : room);
    }
  }
  child.input.Reset();
  child.output.Reset();
  return message;
}

class PosixPrinter final : public Printer {
 public:
  PosixPrinter(std::string lp, std::string lpr) : lp_(std::move(lp)), lpr_(std::move(lpr)) {}

  void PrintDocument(std::u16string_view text, std::u16string_view font_name,
                     double font_size_points) override {
    const std::string document = PostScriptDocument(text, font_name, font_size_points);
    // Sockets rather than pipes: send() can refuse without raising SIGPIPE in the host.
    int input[2];
    int output[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) {
      RaisePrinterError("Printer error: " + std::system_category().message(errno));
    }
    Fd input_ours(input[0]), input_theirs(input[1]);
    if (::pipe2(output, O_CLOEXEC) != 0) {
      RaisePrinterError("Printer error: " + std::system_category().message(errno));
    }
    Fd output_ours(output[0]), output_theirs(output[1]);
    ::shutdown(input_ours.Get(), SHUT_RD);

    Child child;
    int error = Start({lp_, "-s"}, input_theirs.Get(), output_theirs.Get(), &child.pid);
    if (error == ENOENT) {
      error = Start({lpr_}, input_theirs.Get(), output_theirs.Get(), &child.pid);
    }
    if (error != 0) {
      RaisePrinterError("Printer error: cannot start the print spooler's command " + lp_ +
                        " or " + lpr_ + " (" + std::system_category().message(error) + ")");
    }
    input_theirs.Reset();
    output_theirs.Reset();
    child.input = std::move(input_ours);
    child.output = std::move(output_ours);
    const std::string message = Exchange(child, document);

    int status = 0;
    pid_t waited;
    do {
      waited = ::waitpid(child.pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    // Without a status (SIGCHLD ignored: the child was reaped for us) the output decides.
    const bool failed = waited == child.pid
                            ? !(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                            : message.find_first_not_of(" \t\r\n") != std::string::npos;
    if (failed) RaisePrinterError(message);
  }

 private:
  std::string lp_;
  std::string lpr_;
};

}  // namespace

std::shared_ptr<Printer> MakePosixPrinter() { return MakePosixPrinter("lp", "lpr"); }

std::shared_ptr<Printer> MakePosixPrinter(std::string lp, std::string lpr) {
  return std::make_shared<PosixPrinter>(std::move(lp), std::move(lpr));
}

}  // namespace cobaltmoth::platform
