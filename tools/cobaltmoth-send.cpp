// cobaltmoth-send - sends the reports that wait in the user's outbox to their error tracker.
//
// The library starts it, detached, whenever the outbox holds an envelope that may be sent and
// no sender runs (at Init, after a report is queued, and the crash helper after a crash), so
// that the host never waits for the network. It takes no arguments, finds the outbox as the
// library does, sends what it may (tools/send/sender.hpp) and ends: exit status 0 when nothing
// is left to send now, 1 when something stays for a later start, 2 when another sender runs.
// What became of each envelope goes to standard error (the library points it at /dev/null).
#include <cstdio>

#include "tools/send/sender.hpp"

#ifdef _WIN32
#include "platform/windows/windows_platform.hpp"
#else
#include "platform/posix/posix_platform.hpp"
#endif

int main(int argc, char**) {
  if (argc > 1) {
    std::fprintf(stderr, "cobaltmoth-send sends the reports of the user's outbox to their error\n"
                         "tracker; the Cobaltmoth library starts it, with no arguments.\n");
    return 64;
  }
  namespace platform = cobaltmoth::platform;
#ifdef _WIN32
  platform::common::FolderOutbox outbox(platform::windows::MakeWindowsOutboxFolder());
#else
  platform::common::FolderOutbox outbox(platform::posix::MakePosixOutboxFolder());
#endif
  const std::unique_ptr<cobaltmoth::tools::send::Transport> transport =
      cobaltmoth::tools::send::MakeTransport();
  return cobaltmoth::tools::send::SendOutbox(outbox, *transport);
}
