// A host's side of the outbox, for tests/sender_test.py: puts the envelope read from standard
// input, or those of the files named, one after another, into the user's outbox (exit status 0
// when each is queued, 1 when one is not), or with --init runs ProcBug::Init, which starts the
// sender for what the outbox holds, or with --raise N raises N errors, each of a number of its
// own, as COBALTMOTH_REPORT_TO delivers them, or with --raise-fork raises, forks and raises
// again in the child.
#include <cobaltmoth/proc_bug.hpp>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string_view>

#include "platform/outbox.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (argc > 2 && command == "--raise") {
    for (int i = 0; i < std::atoi(argv[2]); ++i) {
      cobaltmoth::ProcBug bug;
      bug.Init("Payroll", 1, 2, 30, ".", cobaltmoth::ExeStandard);
      bug.Raise("modLoop", "Tick", 1000 + i, "Overflow", 7, false);
    }
    return 0;
  }
#ifndef _WIN32
  if (command == "--raise-fork") {  // a Raise, a fork at once, and the child's own Raise
    cobaltmoth::ProcBug bug;
    bug.Init("Payroll", 1, 2, 30, ".", cobaltmoth::ExeStandard);
    bug.Raise("modLoop", "Tick", 1000, "Overflow", 7, false);
    const pid_t child = ::fork();
    if (child == 0) {  // a handler raises once; the child's error is another's
      cobaltmoth::ProcBug again;
      again.Init("Payroll", 1, 2, 30, ".", cobaltmoth::ExeStandard);
      again.Raise("modLoop", "Tick", 1001, "Overflow", 7, false);
    }
    if (child > 0) ::waitpid(child, nullptr, 0);
    return child < 0;
  }
#endif
  if (command == "--init") {
    cobaltmoth::ProcBug().Init("Payroll", 1, 2, 30, ".", cobaltmoth::ExeStandard);
    return 0;
  }
  const auto outbox = cobaltmoth::platform::DefaultPlatform()->outbox;
  int status = 0;
  for (int i = argc > 1 ? 1 : 0; i < argc; ++i) {
    std::ifstream file;
    if (i > 0) file.open(argv[i], std::ios::binary);
    std::ostringstream envelope;
    envelope << (i > 0 ? file.rdbuf() : std::cin.rdbuf());
    if (!outbox->Put(envelope.str())) status = 1;
  }
  return status;
}
