// A host that crashes as it is told, for the crash tests of both systems:
//   crash_host MODE FOLDER
// traces frmMain.Form_Load > frmOrders.cmdSave_Click > modDb.SaveOrder (Erl 120) on its main
// thread and modWorker.Poll > modWorker.Wait on a second one, catches crashes into
// FOLDER/Payroll_buglog.txt, then: segv, abort, terminate (an uncaught std::runtime_error),
// overflow (its stack), fpe (an integer division by zero), raise (no crash: Raise with the
// words a SIGSEGV would have), during-raise (the second thread crashes while the main one's
// message box waits). Windows are shown as COBALTMOTH_UI says when SHOW_WINDOWS is set, the
// main thread's stack log is written when STACK_LOG is.
// Hosts that go their own ways, each then crashing with a SIGSEGV unless said otherwise:
//   churn              three more threads make, fill and end tracers all the while
//   exit-during-windows  the second thread crashes ("crashing" on standard error); main returns
//                      0 while the windows are up; a third says "tick" every 200 ms
//   borrowed           the second thread pushes onto main's tracer, then its stack overflows
//   fork               a forked child crashes; the parent exits with 100 + the child's signal
//   recover            a SIGSEGV handler of the host's own, armed first, jumps back; then a
//                      new thread aborts
//   small-altstack     main's signal stack is the host's, of 8 KiB; its stack overflows
//   second-handler     another bug handler armed by COBALTMOTH_CATCH_CRASHES=1 ends first
//   huge-env           a variable of 200 KiB is set (too large for exec)
//   deep               main's tracer holds 20,000 more entries of modDeep.Level
//   fsize              a file size limit of 3000 bytes; Raise's error number and whether
//                      SIGXFSZ is blocked or pending go to standard error
//   fork-mapped        the stack log is mapped; a forked child ("holder PID" on standard
//                      error) keeps running; then main aborts
//   service            (Windows) the process's window station is a service's, without desktop
// On Windows, `crash_host DLL,ShowCrashWindows REQUEST EVENT` stands for a program that shows
// a crash's windows: with ANSWER_WINDOWS set it answers (sets EVENT) and keeps them up for 3 s,
// else it never answers.
#include <cobaltmoth/error_line.hpp>
#include <cobaltmoth/proc_bug.hpp>
#include <cobaltmoth/proc_stac.hpp>

#ifdef _WIN32
#include <windows.h>
#else
#include <setjmp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

using namespace cobaltmoth;
using namespace std::chrono_literals;

namespace {

[[gnu::noinline]] void WriteThroughNull(int* target) {
  volatile int* volatile where = target;
  *where = 42;
}

[[gnu::noinline]] int Recurse(int depth) {
#ifdef _WIN32
  volatile char frame[1024];  // larger ones are probed in __chkstk, where the overflow would be
#else
  volatile char frame[6000];  // a frame larger than a guard page, as large ones are
#endif
  frame[0] = static_cast<char>(depth);
  return depth < 0 ? 0 : Recurse(depth + 1) + frame[0];
}

[[gnu::noinline]] int Divide(int value) {
  volatile int zero = 0;
  return value / zero;
}

void Crash(const std::string& mode) {
  if (mode == "abort" || mode == "fork-mapped") std::abort();
  if (mode == "terminate") throw std::runtime_error("disk on fire");
  if (mode == "overflow" || mode == "small-altstack") std::exit(Recurse(0));
  if (mode == "fpe") std::exit(Divide(7));
  WriteThroughNull(nullptr);
}

#ifdef _WIN32
// The host's own filter, armed first, recovers from the first crash: the thread goes on in
// AfterRecovery. A second crash is left to the system.
[[noreturn]] void AfterRecovery() {
  std::fputs("recovered\n", stderr);
  std::thread([] { WriteThroughNull(nullptr); }).join();
  std::exit(3);
}

LONG WINAPI Recover(EXCEPTION_POINTERS* pointers) {
  static bool recovered = false;
  if (std::exchange(recovered, true)) return EXCEPTION_CONTINUE_SEARCH;
  pointers->ContextRecord->Rip = reinterpret_cast<DWORD64>(&AfterRecovery);
  pointers->ContextRecord->Rsp = (pointers->ContextRecord->Rsp & ~DWORD64{15}) - 8;
  return EXCEPTION_CONTINUE_EXECUTION;
}
#else
sigjmp_buf g_recovered;
#endif

void Prepare([[maybe_unused]] const std::string& mode) {
#ifdef _WIN32
  if (mode == "recover") SetUnhandledExceptionFilter(Recover);
  if (mode == "service") {
    SetProcessWindowStation(CreateWindowStationW(L"CobaltmothService", 0, WINSTA_ALL_ACCESS,
                                                 nullptr));
  }
#else
  if (mode == "no-stdin") close(0);
  if (mode == "recover") {
    struct sigaction own {};
    own.sa_handler = [](int) { siglongjmp(g_recovered, 1); };
    sigaction(SIGSEGV, &own, nullptr);
  }
  if (mode == "small-altstack") {
    static char room[8192];
    stack_t small {};
    small.ss_sp = room;
    small.ss_size = sizeof room;
    sigaltstack(&small, nullptr);
  }
#endif
}

// What some hosts do once their main thread traces, before the crash.
int GoOwnWay(const std::string& mode, ProcBug& bug, const std::string& folder) {
  if (mode == "exit-during-windows") {
    std::thread([] {
      for (;;) {
        std::this_thread::sleep_for(200ms);
        std::fputs("tick\n", stderr);
      }
    }).detach();
    std::this_thread::sleep_for(1500ms);
    return 0;
  }
  for (int i = 0; i < (mode == "deep" ? 20000 : 0); ++i) {
    bug.ProcStack()->EnterProc("modDeep", "Level");
  }
  if (mode == "huge-env") {
#ifdef _WIN32
    _putenv_s("HUGE", std::string(200 * 1024, 'x').c_str());
#else
    setenv("HUGE", std::string(200 * 1024, 'x').c_str(), 1);
#endif
  }
  if (mode == "second-handler") {
    ProcBug other;
    other.Init("Payroll", 1, 2, 30, folder, ExeStandard);
    if (!other.CatchCrashes() || !bug.CatchCrashes()) return 2;
  }
#ifndef _WIN32
  if (mode == "fork" || mode == "fork-mapped") {
    const pid_t child = fork();
    if (child == 0 && mode == "fork") Crash("segv");
    if (child == 0) {
      std::fprintf(stderr, "holder %d\n", static_cast<int>(getpid()));
      close(STDERR_FILENO);
      std::this_thread::sleep_for(5s);
      _exit(0);
    }
    int status = 0;
    if (mode == "fork" && waitpid(child, &status, 0) == child) return 100 + WTERMSIG(status);
  }
  if (mode == "recover" && sigsetjmp(g_recovered, 1) == 0) WriteThroughNull(nullptr);
  if (mode == "recover") {
    std::fputs("recovered\n", stderr);
    std::thread([] { std::abort(); }).join();
  }
  if (mode == "fsize") {
    const struct rlimit limit {3000, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      bug.Raise("modDb", "SaveOrder", 5, std::string(4000, 'x'), 120);
    } catch (const Error& error) {
      std::fprintf(stderr, "raised %d\n", static_cast<int>(error.Number()));
    }
    sigset_t mask, pending;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    sigpending(&pending);
    std::fprintf(stderr, "SIGXFSZ blocked %d pending %d\n", sigismember(&mask, SIGXFSZ),
                 sigismember(&pending, SIGXFSZ));
  }
#endif
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  if (argc == 4 && std::getenv("ANSWER_WINDOWS") != nullptr) {
    SetEvent(reinterpret_cast<HANDLE>(std::strtoull(argv[3], nullptr, 10)));
    std::this_thread::sleep_for(3s);
    return 0;
  }
  if (argc == 4) for (;;) std::this_thread::sleep_for(1h);
#endif
  if (argc != 3) return 2;
  const std::string mode = argv[1];
  const std::string folder = argv[2];
  Prepare(mode);
  auto tracer = std::make_shared<ProcStac>();
  tracer->Init("Payroll", 1, 2, 30, folder, ExeStandard);
  tracer->LogOnFile(mode == "fork-mapped");
  ProcBug bug;
  bug.Init("Payroll", 1, 2, 30, folder, ExeStandard);
  bug.LogOnFile(true);
  bug.LogOnMsgBox(std::getenv("SHOW_WINDOWS") != nullptr || mode == "during-raise");
  bug.LogOnReport(std::getenv("SHOW_WINDOWS") != nullptr);
  bug.ProcStack(tracer);
  bug.CatchCrashes(true);
  bug.NativeStack(std::getenv("NATIVE_STACK") != nullptr);

  std::thread([&] {
    if (mode == "borrowed") {
      tracer->EnterProc("modWorker", "Overflow");
      std::exit(Recurse(0));
    }
    ProcStac worker;
    worker.Init("Payroll", 1, 2, 30, folder, ExeStandard);
    worker.EnterProc("modWorker", "Poll");
    worker.EnterProc("modWorker", "Wait");
    if (mode != "during-raise" && mode != "exit-during-windows") {
      for (;;) std::this_thread::sleep_for(1h);
    }
    std::this_thread::sleep_for(300ms);
    bug.LogOnMsgBox(mode == "exit-during-windows");  // the crash's own windows would wait as long
    if (mode == "exit-during-windows") std::fputs("crashing\n", stderr);
    WriteThroughNull(nullptr);
  }).detach();
  for (int i = 0; i < (mode == "churn" ? 3 : 0); ++i) {
    std::thread([&folder, i] {
      // Stacks of every depth and names of every length, so that what one tracer freed is
      // soon another's, in other shapes.
      for (unsigned round = i;; ++round) {
        ProcStac churning;
        churning.Init("Payroll", 1, 2, 30, folder, ExeStandard);
        const std::string name(round * 7 % 90 + 1, 'L');
        for (unsigned depth = 0; depth < round * 13 % 400; ++depth) {
          churning.EnterProc("modChurn", name);
        }
      }
    }).detach();
  }
  if (mode == "borrowed") for (;;) std::this_thread::sleep_for(1h);
  std::this_thread::sleep_for(100ms);

  // With STACK_LOG set the stack log is on; the drain has taken its first line, and sleeps,
  // when the next ones come and the crash follows.
  tracer->LogOnFile(std::getenv("STACK_LOG") != nullptr);
  tracer->EnterProc("frmMain", "Form_Load");
  if (tracer->LogOnFile()) std::this_thread::sleep_for(30ms);
  tracer->EnterProc("frmOrders", "cmdSave_Click");
  tracer->EnterProc("modDb", "SaveOrder");
  SetErl(120);
  if (mode == "raise" || mode == "during-raise") {
    bug.Raise("modDb", "SaveOrder", 11, "SIGSEGV: invalid memory reference at address 0x0", 120);
    if (mode == "raise") return 0;
    for (;;) std::this_thread::sleep_for(1h);  // waited or not, the other thread crashes
  }
  if (const int code = GoOwnWay(mode, bug, folder); code >= 0) return code;
  std::fputs("crashing\n", stderr);
  Crash(mode);
  return 3;
}
