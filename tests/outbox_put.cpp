// A host's side of the outbox, for tests/sender_test.py: puts the envelope read from standard
// input into the user's outbox (exit status 0 when it is queued, 1 when not), or with --init
// runs ProcBug::Init, which starts the sender for what the outbox holds.
#include <cobaltmoth/proc_bug.hpp>

#include <iostream>
#include <sstream>

#include "platform/outbox.hpp"
#include "platform/platform.hpp"

int main(int argc, char**) {
  if (argc > 1) {  // --init
    cobaltmoth::ProcBug().Init("Payroll", 1, 2, 30, ".", cobaltmoth::ExeStandard);
    return 0;
  }
  std::ostringstream envelope;
  envelope << std::cin.rdbuf();
  return cobaltmoth::platform::DefaultPlatform()->outbox->Put(envelope.str()) ? 0 : 1;
}
