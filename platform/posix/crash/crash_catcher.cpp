// The POSIX backend's crash handling (platform/crashes.hpp): handlers for the fatal signals and
// for std::terminate that write the armed reporter's report from inside the crash.
//
// A crash is handled once at a time, by the first thread that crashes: a second thread that
// crashes meanwhile waits (for the process to end, or for its own turn when the host recovers
// from the first), and a fault inside the handling itself ends the process at once with the
// first crash's signal. The handling stops every other thread of the process for its length
// (thread_stop.hpp), so that none ends a tracer the report reads, nor the process while the
// windows are up. The crashed thread takes its frames where it is (on whatever signal stack it
// has, however small) and does the rest on a stack of the library's own. The report is written
// with system calls and fixed buffers only; the frames are named, and the windows shown, by the
// program cobaltmoth-crash, started for each. Then the crash goes on as it would have: when the
// process had a handler of its own before, the crash is over for the library (the claim is
// released, the threads run again, what was borrowed is given back) and that handler is called,
// which may return, jump away or end the process; else the default action ends the process by
// the signal (a fault's instruction runs again and faults again, a sent or raised signal is
// raised again), so the exit status, a core dump and a debugger see the original crash.
//
// Every thread that traces gets an alternate signal stack, so that its stack overflowing is
// reported too; other threads crash as they would have without the handling.
#include <execinfo.h>
#include <fcntl.h>
#include <locale.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <mutex>
#include <string>

#include "platform/common/crash_handling.hpp"
#include "platform/posix/crash/crash_catcher.hpp"
#include "platform/crashes.hpp"
#include "platform/posix/crash/helper.hpp"
#include "platform/posix/crash/memory_map.hpp"
#include "platform/posix/crash/native_stack.hpp"
#include "platform/posix/crash/thread_stop.hpp"
#include "platform/posix/fd.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/posix/ring_log.hpp"
#include "platform/posix/spawn.hpp"

extern char** environ;

namespace cobaltmoth::platform::posix::crash {
namespace {

using common::ArmedReporter;
using common::OtherThreadsPiece;
using common::TracedThreads;

constexpr int kCaught[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kAltStackSize = 128 * 1024;
constexpr std::size_t kCrashStackSize = 256 * 1024;
constexpr int kNamingLimitMs = 5000;

// --- What the handlers read: set up before any crash, read inside one. ----------------------

TracedThreads g_tracers;

ArmedReporter g_armed;
struct sigaction g_previous[NSIG];
char g_crash_program[4096];  // cobaltmoth-crash, or empty
locale_t g_locale = static_cast<locale_t>(0);
char g_now_pattern[128];     // the clock's pattern for the user's date and time
LocaleCharset g_locale_charset;  // what the pattern's names are written in
std::atomic<long> g_utc_offset{0};

std::atomic<pid_t> g_crashing{0};  // the thread that handles the crash
std::atomic<bool> g_handled{false};  // its report and windows are done
int g_first_signal = 0;

// The crash being handled, as the crashed thread hands it to its work on the crash stack.
struct Crash {
  int signal = 0;
  const siginfo_t* info = nullptr;
  const void* context = nullptr;
  std::u16string_view description;  // made already, or none: made from the signal
};
Crash g_crash;
crash::NativeFrames g_frames;

pid_t ThisThread() noexcept { return static_cast<pid_t>(::gettid()); }

void PauseMs(int ms) noexcept {
  struct timespec pause {0, ms * 1000000L};
  posix::RetryOnEintr([&] { return ::nanosleep(&pause, &pause); });
}

void RefreshUtcOffset() noexcept {
  const time_t now = ::time(nullptr);
  struct tm local {};
  if (::localtime_r(&now, &local) != nullptr) g_utc_offset = local.tm_gmtoff;
}

// --- Text out of a crash. --------------------------------------------------------------------

// Text written to a descriptor as it comes, in fixed chunks, in the logs' code page or in
// UTF-8. A file that ended inside a line gets its line ended first.
class DescriptorOut final : public runtime::TextOut {
 public:
  DescriptorOut(int fd, bool utf8, bool cut) : fd_(fd), utf8_(utf8) {
    if (cut) Bytes("\r\n");
  }
  void Append(std::u16string_view text) override {
    constexpr std::size_t kUnits = sizeof buffer_ / 3;
    while (!text.empty()) {
      const std::u16string_view part = text.substr(0, kUnits);
      if (used_ + 3 * part.size() > sizeof buffer_) Flush();
      used_ += utf8_ ? runtime::ToUtf8(part, buffer_ + used_)
                     : runtime::ToWindows1252(part, buffer_ + used_);
      text.remove_prefix(part.size());
    }
  }
  using TextOut::Append;
  void Flush() noexcept {
    if (used_ > 0 && !failed_)
      failed_ = posix::WriteToForeign(fd_, {buffer_, used_}, 10000) < used_;
    used_ = 0;
  }

 private:
  void Bytes(std::string_view bytes) {
    std::memcpy(buffer_ + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
  }

  int fd_;
  bool utf8_;
  bool failed_ = false;
  std::size_t used_ = 0;
  char buffer_[8192];
};

// The crashing thread's native frames, named on first use, after what was written before them
// has reached the file.
class NativeStackPiece final : public runtime::TextPiece {
 public:
  explicit NativeStackPiece(crash::NativeFrames& frames) : frames_(frames) {}
  void WriteTo(runtime::TextOut& out) const override {
    if (auto* file = dynamic_cast<DescriptorOut*>(&out); file != nullptr) file->Flush();
    frames_.Name(g_crash_program, kNamingLimitMs);
    frames_.WriteTo(out);
  }

 private:
  crash::NativeFrames& frames_;
};

// The environment, "NAME=value" a line, as the process has it now.
class EnvironmentPiece final : public runtime::TextPiece {
 public:
  void WriteTo(runtime::TextOut& out) const override {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      runtime::AppendUtf8(out, *entry);
      out.Append(u"\r\n");
    }
  }
};

// --- The crash. ------------------------------------------------------------------------------

void AppendNow(runtime::TextOut& out) noexcept {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const time_t local_seconds = now.tv_sec + g_utc_offset.load();
  struct tm local {};
  if (g_locale == static_cast<locale_t>(0) || ::gmtime_r(&local_seconds, &local) == nullptr) {
    return;
  }
  char written[128];
  const std::size_t size = ::strftime_l(written, sizeof written, g_now_pattern, &local, g_locale);
  g_locale_charset.AppendTo(out, {written, size});
}

// Where the interrupted thread's stack pointer was.
std::uintptr_t StackPointerAt(const void* context) noexcept {
  if (context == nullptr) return 0;
  const auto* machine = &static_cast<const ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(machine->gregs[REG_RSP]);
#elif defined(__i386__)
  return static_cast<std::uintptr_t>(machine->gregs[REG_ESP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(machine->sp);
#else
  (void)machine;
  return 0;
#endif
}

// "SIGSEGV: invalid memory reference at address 0x0", "SIGSEGV: stack overflow at address
// 0x7ffd2a3f8ff8", "SIGABRT: aborted", "SIGTERM: sent by process 4242".
void AppendSignalDescription(runtime::TextOut& out, int signal, const siginfo_t* info,
                             const void* context) {
  const char* name = "SIGSEGV";
  const char* what = "invalid memory reference";
  if (signal == SIGSEGV && info != nullptr && info->si_code > 0 &&
      crash::IsStackOverflow(reinterpret_cast<std::uintptr_t>(info->si_addr),
                             StackPointerAt(context))) {
    what = "stack overflow";
  }
  switch (signal) {
    case SIGBUS: name = "SIGBUS", what = "bus error"; break;
    case SIGILL: name = "SIGILL", what = "illegal instruction"; break;
    case SIGFPE:
      name = "SIGFPE";
      what = info != nullptr && (info->si_code == FPE_INTDIV || info->si_code == FPE_FLTDIV)
                 ? "division by zero"
                 : "arithmetic error";
      break;
    case SIGABRT: name = "SIGABRT", what = "aborted"; break;
    default: break;
  }
  runtime::AppendUtf8(out, name);
  out.Append(u": ");
  if (info != nullptr && info->si_code == SI_USER) {
    out.Append(u"sent by process ");
    out.AppendDecimal(info->si_pid);
    return;
  }
  runtime::AppendUtf8(out, what);
  if (signal != SIGABRT && info != nullptr) {
    out.Append(u" at address ");
    out.AppendHex(reinterpret_cast<std::uintptr_t>(info->si_addr));
  }
}

// The interrupted instruction, where the frames begin.
const void* InterruptedAt(const void* context) noexcept {
  if (context == nullptr) return nullptr;
  const auto* machine = &static_cast<const ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
  return reinterpret_cast<const void*>(machine->gregs[REG_RIP]);
#elif defined(__i386__)
  return reinterpret_cast<const void*>(machine->gregs[REG_EIP]);
#elif defined(__aarch64__)
  return reinterpret_cast<const void*>(machine->pc);
#else
  (void)machine;
  return nullptr;
#endif
}

// Opens the bug log for the crash's report, as the logs are opened: appending, never through a
// final symbolic link, only a regular file or a character device. -1 when it cannot be.
int OpenBugLog(std::u16string_view path, bool* cut) {
  static char name[3 * 4096 + 1];
  if (path.empty() || path.size() > 4096) return -1;
  const std::size_t size = runtime::ToUtf8(path, name);
  name[size] = '\0';
  if (std::strlen(name) != size) return -1;  // a NUL inside: no file has that name
  constexpr int kFlags = O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
  int fd = posix::RetryOnEintr([&] { return ::open(name, O_RDWR | O_CREAT | kFlags, 0600); });
  if (fd < 0) fd = ::open(name, O_WRONLY | kFlags);
  // A host that closed a standard stream: the report's descriptor goes above them.
  fd = posix::AboveStandardStreams(fd);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || (!S_ISREG(info.st_mode) && !S_ISCHR(info.st_mode))) {
    ::close(fd);
    return -1;
  }
  *cut = S_ISREG(info.st_mode) && posix::EndsInsideALine(fd, info.st_size);
  return fd;
}

// Writes the report of g_crash to the bug log, then has the windows shown; on the crash stack.
void Report() {
  const CrashReporter* reporter = g_armed.reporter.load();
  if (reporter == nullptr) return;
  posix::DrainRingsNow();  // the stack logs the report names hold every line
  // A helper that has gone must not end us with SIGPIPE before the report is done.
  sigset_t pipe_signal;
  sigset_t mask;
  ::sigemptyset(&pipe_signal);
  ::sigaddset(&pipe_signal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &mask);

  static runtime::BufferOut<160> signal_description;
  std::u16string_view description = g_crash.description;
  if (description.empty()) {
    signal_description = {};
    AppendSignalDescription(signal_description, g_crash.signal, g_crash.info, g_crash.context);
    description = signal_description.View();
  }
  g_frames.Place();
  static runtime::BufferOut<256> now;
  now = {};
  AppendNow(now);
  const pid_t thread = ThisThread();
  const NativeStackPiece native_stack(g_frames);
  const OtherThreadsPiece other_threads(g_tracers, static_cast<std::uint32_t>(thread));
  const EnvironmentPiece environment;
  CrashFacts facts;
  facts.number = g_crash.signal;
  facts.description = description;
  facts.now_text = now.View();
  facts.native_stack = &native_stack;
  facts.other_threads = &other_threads;
  facts.environment = &environment;

  g_tracers.StartReading();
  facts.tracer = g_tracers.Innermost(static_cast<std::uint32_t>(thread));
  bool cut = false;
  if (const int fd = OpenBugLog(reporter->BugLogPath(), &cut); fd >= 0) {
    alignas(DescriptorOut) static unsigned char room[sizeof(DescriptorOut)];
    auto* log = new (room) DescriptorOut(fd, /*utf8=*/false, cut);
    reporter->WriteCrashReport(*log, facts);
    log->Flush();
    ::close(fd);
  }
  int pid = -1;
  int request[2];
  if (reporter->ShowsWindows() && g_crash_program[0] != '\0' &&
      ::pipe2(request, O_CLOEXEC) == 0) {
    g_frames.Name(g_crash_program, kNamingLimitMs);
    int error = 0;
    pid = crash::StartHelper(g_crash_program, "--show", request[0], -1, &error);
    ::close(request[0]);
    if (pid > 0) {
      alignas(DescriptorOut) static unsigned char room[sizeof(DescriptorOut)];
      auto* out = new (room) DescriptorOut(request[1], /*utf8=*/true, false);
      reporter->WriteWindowRequest(*out, facts);
      out->Flush();
    }
    ::close(request[1]);
  }
  g_tracers.StopReading();
  if (pid > 0) crash::AwaitHelper(pid, -1);  // the user is reading the windows
  ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
}

// Stops the other threads and runs Report on the library's own stack: the crashed thread's signal stack may be the host's,
// and too small for it (a C host's SIGSTKSZ of 8 KiB). The sanitizer's stack bookkeeping does
// not follow a switch of stacks: there it runs where it is.
void ReportOnCrashStack() noexcept {
  static constexpr void (*kWork)() = [] {
    StopOtherThreads();
    Report();
  };
#if defined(__SANITIZE_ADDRESS__)
  kWork();
#else
  alignas(64) static char stack[kCrashStackSize];
  static ucontext_t crashed;
  static ucontext_t reporting;
  if (::getcontext(&reporting) != 0) {
    kWork();
    return;
  }
  reporting.uc_stack.ss_sp = stack;
  reporting.uc_stack.ss_size = sizeof stack;
  reporting.uc_link = &crashed;
  ::makecontext(&reporting, kWork, 0);
  if (::swapcontext(&crashed, &reporting) != 0) kWork();
#endif
}

// Reports the crash the calling thread has claimed: its frames are taken here, the rest is
// done on the crash stack while the other threads are stopped.
void Handle(int signal, const siginfo_t* info, const void* context,
            std::u16string_view description) noexcept {
  // The unwinder may take the loader's lock, which a stopped thread could hold: the frames
  // are taken before the others are stopped.
  g_frames.Take(InterruptedAt(context));
  g_crash = {signal, info, context, description};
  ReportOnCrashStack();
  g_handled = true;
}

// The crash is over for the library: the host's own handler takes it from here.
void LetGo() noexcept {
  g_handled = false;
  ResumeOtherThreads();
  g_crashing = 0;
}

// Hands the signal on to the handler the process had before. A handler of the host's is
// called, once the crash is over for the library. Without one (or one that ignored a fault)
// the default action ends the process: a fault's instruction faults again on return, anything
// else is raised again, both once this handler has returned.
void PassOn(int signal, siginfo_t* info, void* context) noexcept {
  const struct sigaction previous = g_previous[signal];
  const bool own = (previous.sa_flags & SA_SIGINFO)
                       ? previous.sa_sigaction != nullptr
                       : previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN;
  if (!own) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(signal, &fallback, nullptr);
    if (info == nullptr || info->si_code <= 0 || signal == SIGABRT) ::raise(signal);
    return;
  }
  LetGo();
  sigset_t mask = previous.sa_mask;
  if (!(previous.sa_flags & SA_NODEFER)) ::sigaddset(&mask, signal);
  sigset_t before;
  ::pthread_sigmask(SIG_BLOCK, &mask, &before);
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
  } else {
    previous.sa_handler(signal);
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Ends the process now with `signal`, whatever handles it.
[[noreturn]] void DieOf(int signal) noexcept {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(signal, &fallback, nullptr);
  sigset_t only;
  ::sigemptyset(&only);
  ::sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}

// Makes the calling thread the one that handles the crash. A thread that crashes while another
// handles one waits: for the process to end, or, when the host recovers from that crash, for
// its own turn. A crash inside the handling ends the process now.
bool ClaimTheCrash(int signal) noexcept {
  const pid_t thread = ThisThread();
  for (;;) {
    pid_t expected = 0;
    if (g_crashing.compare_exchange_strong(expected, thread)) {
      g_first_signal = signal;
      return true;
    }
    if (expected == thread) break;
    PauseMs(5);
  }
  if (!g_handled.load()) DieOf(g_first_signal);
  return false;
}

// The fault a host's handler was last given, and returned from: when the same instruction
// faults at the same address again at once, the host's handler has not mended it, and it is
// not reported again.
struct Chained {
  int signal = 0;
  void* address = nullptr;
  const void* instruction = nullptr;
};
Chained g_chained;

void OnSignal(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  const Chained now{signal, info != nullptr ? info->si_addr : nullptr, InterruptedAt(context)};
  const bool again = now.signal == g_chained.signal && now.address == g_chained.address &&
                     now.instruction == g_chained.instruction && now.instruction != nullptr;
  if (ClaimTheCrash(signal)) {
    if (!again) Handle(signal, info, context, {});
    g_handled = true;
  }
  g_chained = now;
  PassOn(signal, info, context);
  errno = saved_errno;
}

// An uncaught exception, a noexcept broken, or std::terminate called: the exception's type and
// message are the description. This runs on the thread's own stack with the exception still
// current, so its message can be had; the earlier handler then ends the process (SIGABRT).
[[noreturn]] void OnTerminate() {
  if (ClaimTheCrash(SIGABRT)) {
    static runtime::BufferOut<1024> description;
    description = {};
    common::AppendUncaughtException(description);
    Handle(SIGABRT, nullptr, nullptr, description.View());
  }
  if (g_armed.previous_terminate != nullptr) g_armed.previous_terminate();
  std::abort();
}

// A process that is ending while another thread handles a crash (`main` has returned) waits
// for the crash to end it, or to be over.
void WaitForTheCrash() {
  for (pid_t crashing = g_crashing.load(); crashing != 0 && crashing != ThisThread();
       crashing = g_crashing.load()) {
    PauseMs(10);
  }
}

// After a fork, the child's tracers are those of the thread that forked, which is the child's
// only thread.
thread_local pid_t t_forking = 0;

void RegisterForkHandlers() noexcept {
  static std::once_flag once;
  std::call_once(once, [] {
    ::pthread_atfork([] { t_forking = ThisThread(); }, nullptr, [] {
      g_tracers.Forked(static_cast<std::uint32_t>(t_forking),
                       static_cast<std::uint32_t>(ThisThread()));
    });
  });
}

// --- The port. -------------------------------------------------------------------------------

// A thread's alternate signal stack, made when its first tracer starts, given back at its end.
struct AltStack {
  void* memory = nullptr;
  ~AltStack() {
    if (memory == nullptr) return;
    stack_t current {};
    if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == memory) {
      stack_t off {};
      off.ss_flags = SS_DISABLE;
      ::sigaltstack(&off, nullptr);
    }
    ::munmap(memory, kAltStackSize);
  }
  void Ensure() noexcept {
    stack_t current {};
    if (memory != nullptr || ::sigaltstack(nullptr, &current) != 0 ||
        !(current.ss_flags & SS_DISABLE)) {
      return;  // ours, or the host's own
    }
    void* made = ::mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (made == MAP_FAILED) return;
    stack_t mine {};
    mine.ss_sp = made;
    mine.ss_size = kAltStackSize;
    if (::sigaltstack(&mine, nullptr) != 0) {
      ::munmap(made, kAltStackSize);
      return;
    }
    memory = made;
  }
};
thread_local AltStack t_alt_stack;

class PosixCrashes final : public Crashes {
 public:
  void TracerStarted(const TracedThread* tracer) noexcept override {
    t_alt_stack.Ensure();
    g_tracers.Add(static_cast<std::uint32_t>(ThisThread()), tracer);
  }

  void TracerEnded(const TracedThread* tracer) noexcept override {
    g_tracers.Remove(tracer, [] () noexcept { PauseMs(1); });
  }

  bool Catch(const CrashReporter* reporter) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    RefreshUtcOffset();
    t_alt_stack.Ensure();
    return g_armed.Arm(reporter, OnTerminate, [] {
      void* warm[2];
      ::backtrace(warm, 2);  // loads the unwinder now, not inside a crash
      const std::string program = posix::FindLibraryProgram(
          "COBALTMOTH_CRASH_PROGRAM", "cobaltmoth-crash", "tools");
      program.copy(g_crash_program, sizeof g_crash_program - 1);
      g_crash_program[std::min(program.size(), sizeof g_crash_program - 1)] = '\0';
      if (g_locale == static_cast<locale_t>(0)) {
        g_locale = MakeTimeLocale("");
        const std::string pattern = NowTextPattern(g_locale);
        pattern.copy(g_now_pattern, sizeof g_now_pattern - 1);
        g_locale_charset = LocaleCharset(g_locale);
      }
      struct sigaction handler {};
      handler.sa_sigaction = OnSignal;
      handler.sa_flags = SA_SIGINFO | SA_ONSTACK;
      ::sigemptyset(&handler.sa_mask);
      for (const int signal : kCaught) {
        if (::sigaction(signal, &handler, &g_previous[signal]) != 0) return false;
      }
      static const bool waits = std::atexit(WaitForTheCrash) == 0;
      static_cast<void>(waits);
      return true;
    });
  }

  void Release(const CrashReporter* reporter) noexcept override {
    // A crash being reported reads its reporter: the reporter's end waits for it.
    while (g_crashing.load() != 0 && g_crashing.load() != ThisThread()) PauseMs(1);
    const std::lock_guard<std::mutex> lock(mutex_);
    // The handlers the process had before go back, unless the host has put others since.
    g_armed.Disarm(reporter, OnTerminate, [] {
      for (const int signal : kCaught) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
            current.sa_sigaction == OnSignal) {
          ::sigaction(signal, &g_previous[signal], nullptr);
        }
      }
    });
  }

  std::u16string NativeStack() override {
    const std::lock_guard<std::mutex> lock(mutex_);  // one helper's environment at a time
    const auto frames = std::make_unique<crash::NativeFrames>();
    frames->Take(nullptr);
    frames->Place();
    frames->Name(posix::FindLibraryProgram("COBALTMOTH_CRASH_PROGRAM", "cobaltmoth-crash",
                                           "tools").c_str(),
                 kNamingLimitMs);
    std::u16string section;
    runtime::StringOut out(section);
    frames->WriteTo(out);
    return section;
  }

 private:
  std::mutex mutex_;
};

}  // namespace

std::shared_ptr<Crashes> MakePosixCrashes() {
  RegisterForkHandlers();
  return std::make_shared<PosixCrashes>();
}

}  // namespace cobaltmoth::platform::posix::crash
