// A host that crashes as it is told, for the crash tests of both systems:
//   crash_host MODE FOLDER
// traces frmMain.Form_Load > frmOrders.cmdSave_Click > modDb.SaveOrder (Erl 120) on its main
// thread and modWorker.Poll > modWorker.Wait on a second one, catches crashes into
// FOLDER/Payroll_buglog.txt, then: segv, abort, terminate (an uncaught std::runtime_error),
// overflow (its stack), fpe (an integer division by zero), raise (no crash: Raise with the
// words a SIGSEGV would have), during-raise (the second thread crashes while the main one's
// message box waits). Windows are shown as COBALTMOTH_UI says when SHOW_WINDOWS is set, the
// main thread's stack log is written when STACK_LOG is.
#include <cobaltmoth/error_line.hpp>
#include <cobaltmoth/proc_bug.hpp>
#include <cobaltmoth/proc_stac.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

using namespace cobaltmoth;
using namespace std::chrono_literals;

namespace {

[[gnu::noinline]] void WriteThroughNull(int* target) {
  volatile int* volatile where = target;
  *where = 42;
}

[[gnu::noinline]] int Recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return depth < 0 ? 0 : Recurse(depth + 1) + frame[0];
}

[[gnu::noinline]] int Divide(int value) {
  volatile int zero = 0;
  return value / zero;
}

void Crash(const std::string& mode) {
  if (mode == "segv") WriteThroughNull(nullptr);
  if (mode == "abort") std::abort();
  if (mode == "terminate") throw std::runtime_error("disk on fire");
  if (mode == "overflow") std::exit(Recurse(0));
  if (mode == "fpe") std::exit(Divide(7));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string mode = argv[1];
  const std::string folder = argv[2];
  auto tracer = std::make_shared<ProcStac>();
  tracer->Init("Payroll", 1, 2, 30, folder, ExeStandard);
  ProcBug bug;
  bug.Init("Payroll", 1, 2, 30, folder, ExeStandard);
  bug.LogOnFile(true);
  bug.LogOnMsgBox(std::getenv("SHOW_WINDOWS") != nullptr || mode == "during-raise");
  bug.LogOnReport(std::getenv("SHOW_WINDOWS") != nullptr);
  bug.ProcStack(tracer);
  bug.CatchCrashes(true);

  std::thread([&] {
    ProcStac worker;
    worker.Init("Payroll", 1, 2, 30, folder, ExeStandard);
    worker.EnterProc("modWorker", "Poll");
    worker.EnterProc("modWorker", "Wait");
    if (mode != "during-raise") {
      for (;;) std::this_thread::sleep_for(1h);
    }
    std::this_thread::sleep_for(300ms);
    bug.LogOnMsgBox(false);  // the crash's own windows would wait as long
    WriteThroughNull(nullptr);
  }).detach();
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
  std::fputs("crashing\n", stderr);
  Crash(mode);
  return 3;
}
