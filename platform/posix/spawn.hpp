// platform/posix/spawn.hpp - starting a program from inside a host that we know nothing about.
//
// A host may block signals, ignore or catch SIGCHLD, reap every child itself, or hold file
// descriptors without close-on-exec. A program started here begins clean whatever the host
// did: nothing blocked, every signal at its default action, a session of its own (no
// controlling terminal of the host's), the standard streams on /dev/null unless it is given
// others, no descriptor of the host's but the one channel it is given (as descriptor 3), and
// an argument vector that no command interpreter ever reads. Every program the library starts
// (the desktop's windows, the clipboard's keeper, the print spooler, the mail program) is
// started here.
//
// Thread-safety: the functions keep no state; the environment is read at the call.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace cobaltmoth::platform::posix {

// The descriptor a started program finds its channel on.
inline constexpr int kChannelFd = 3;

struct SpawnOptions {
  int channel = -1;             // given to the program as descriptor 3; -1 for none
  int standard_input = -1;      // given as descriptor 0; -1 for /dev/null
  int standard_output = -1;     // given as descriptors 1 and 2; -1 for /dev/null
  bool inherit_stderr = false;  // keep the host's standard error as descriptor 2
};

// Starts `program` (a path; a name without "/" is looked up in PATH) with `arguments`
// (argv[0] first) as a child of the host; its process id goes to `pid`. Returns 0, or the
// errno value of the failure (ENOENT for a missing program, EACCES, ENOEXEC, ...).
int SpawnChild(const std::string& program, const std::vector<std::string>& arguments,
               const SpawnOptions& options, pid_t* pid);

// Starts `program` so that the host never waits for it and never has to reap it: a
// short-lived intermediate process spawns the program and exits at once, the host reaps the
// intermediate, and the program, orphaned, belongs to init (or the session's subreaper) from
// then on. This needs no SIGCHLD handler and no reaper thread in a host that owns neither. The
// intermediate shares the host's memory (nothing is copied, whatever the host's size): the
// caller waits only until the program has been executed.
// Returns 0 or the errno value of the failure, as SpawnChild does.
int SpawnDetached(const std::string& program, const std::vector<std::string>& arguments,
                  const SpawnOptions& options = {});

// The path of the library's program `name` (cobaltmoth-ui, cobaltmoth-crash): the one the
// environment variable `variable` names, when set (empty when it cannot be run); else the
// first that can be run of: the one installed beside the library (found relative to the
// library's folder, so that an installed tree can move), the one at the installed path, and,
// for a library running from its build tree, the one built in `built_folder` there. Empty when
// there is none.
std::string FindLibraryProgram(const char* variable, const char* name, const char* built_folder);

// What became of a child started by SpawnChild.
enum class ChildEnd {
  kExited,     // it ended on its own (or a host that reaps its children took it)
  kKilled,     // it was still there at the deadline and has been killed
};
// Waits up to `grace_ms` milliseconds for `pid` to end, then kills it (SIGKILL) and reaps it.
// A host that ignores SIGCHLD or reaps every child itself leaves nothing to wait for; that
// counts as ended, and then nothing is killed. `status`, when given, receives the wait status
// of a child that ended on its own, or -1 when there is none to be had. Only system calls:
// a crashed process may call it.
ChildEnd EndChild(pid_t pid, int grace_ms, int* status = nullptr) noexcept;

}  // namespace cobaltmoth::platform::posix
