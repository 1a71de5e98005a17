// platform/posix/crash/thread_stop.hpp - the other threads of a crashed process, stopped for
// the length of the crash's handling.
//
// While a crash is reported, no other thread may end its tracer (whose stack the report reads),
// change a stack the report reads, or end the process (a `main` that returns while the crash's
// windows are up would end it with status 0). So the thread that handles the crash stops every
// other thread of the process: each is sent SIGRTMIN+5 (a real-time signal, whose handler is
// put in only for the length of the crash) and waits in that handler until it is let go.
// A thread that blocks the signal cannot be stopped; its tracer's end still waits for
// the report (platform/common/crash_handling.hpp), and the process's exit waits for the crash.
// The stopping waits at most kStopLimitMs for the threads to answer.
//
// System calls only: a crashed thread calls these.
#pragma once

namespace cobaltmoth::platform::posix::crash {

inline constexpr int kStopLimitMs = 1000;

// The signal that stops a thread. A thread of the library's own that blocks every other signal
// leaves this one open, so that a crash does not wait kStopLimitMs for it.
int StopSignal() noexcept;

// Stops every thread of the process but the calling one. Returns how many were stopped.
int StopOtherThreads() noexcept;

// Lets the stopped threads run again; the signal's earlier handler goes back once every
// thread sent it has answered (a late one finds a handler that returns at once).
void ResumeOtherThreads() noexcept;

}  // namespace cobaltmoth::platform::posix::crash
