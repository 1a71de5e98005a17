// platform/posix/crash/helper.hpp - starting the library's program cobaltmoth-crash out of a
// crashed process, where nothing may be allocated, and waiting for it.
//
// The helper gets only the environment it needs (the request it reads carries the rest, and
// the report already holds the whole environment), so that a host whose environment is too
// large for exec (E2BIG) still has its frames named and its windows shown: PATH, HOME, LANG
// and LC_*, DISPLAY, WAYLAND_DISPLAY, XAUTHORITY, every XDG_* and COBALTMOTH_* variable and
// the proxy variables (http_proxy, https_proxy, no_proxy and their upper-case forms), each
// while it fits.
//
// Thread-safety: one crash at a time uses it (the helper's environment is a fixed buffer).
#pragma once

namespace cobaltmoth::platform::posix::crash {

// Starts `program` with `argument` as a child of the calling process, with `input` and
// `output` (descriptors, -1 for none) as its standard input and output, the environment
// above, the host's standard error, and no other descriptor of the host's. Returns the
// child's process id, or -1 with the errno value of the failure (the fork's, or the exec's in
// the child: ENOENT, EACCES, E2BIG, ...) in `*error`.
int StartHelper(const char* program, const char* argument, int input, int output,
                int* error) noexcept;

// Waits for `pid` to end; when `limit_ms` is not negative, kills it once that has passed.
void AwaitHelper(int pid, int limit_ms) noexcept;

}  // namespace cobaltmoth::platform::posix::crash
