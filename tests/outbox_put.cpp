// A host's side of the outbox, for tests/sender_test.py: puts the envelope read from standard
// input into the user's outbox (exit status 0 when it is queued, 1 when not), or with --init
// runs ProcBug::Init, which starts the sender for what the outbox holds, or with --raise N
// raises N errors, each of a number of its own, as COBALTMOTH_REPORT_TO delivers them.
#include <cobaltmoth/proc_bug.hpp>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "platform/outbox.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--raise") == 0) {
    for (int i = 0; i < std::atoi(argv[2]); ++i) {
      cobaltmoth::ProcBug bug;
      bug.Init("Payroll", 1, 2, 30, ".", cobaltmoth::ExeStandard);
      bug.Raise("modLoop", "Tick", 1000 + i, "Overflow", 7, false);
    }
    return 0;
  }
  if (argc > 1) {  // --init
    cobaltmoth::ProcBug().Init("Payroll", 1, 2, 30, ".", cobaltmoth::ExeStandard);
    return 0;
  }
  std::ostringstream envelope;
  envelope << std::cin.rdbuf();
  return cobaltmoth::platform::DefaultPlatform()->outbox->Put(envelope.str()) ? 0 : 1;
}
