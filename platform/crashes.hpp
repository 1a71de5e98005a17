// platform/crashes.hpp - catching the host's crashes: fatal signals, uncaught C++ exceptions
// and (on Windows) unhandled structured exceptions.
//
// The bug handler arms the catching and says what a crash's report is; the backend installs
// the handlers, takes what only the crashed process knows (the signal, the address, the raw
// native frames, which thread), writes the report to the bug log from inside the crash, hands
// the windows to a fresh process, and lets the crash go on as it would have: the handlers the
// process had before run, or the default action ends it (so its exit status, a core dump and a
// debugger still see the original crash).
//
// Whatever runs inside a crash may not allocate, take a lock or use stdio: the reporter and
// the tracers answer through TextOut pieces, from fields they already hold.
//
// Thread-safety: TracerStarted/TracerEnded may be called from any thread for its own tracers;
// Catch and NativeStack from the host's threads, one at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/text.hpp"

namespace cobaltmoth::platform {

// A thread's procedure stack, as a crash's report shows it.
class TracedThread {
 public:
  // Whether the tracer has a stack to show (it is initialised, enabled and not terminated).
  virtual bool Dumps() const noexcept = 0;
  // The tracer's Dump, as ProcStac::Dump makes it.
  virtual void WriteDump(runtime::TextOut& out) const noexcept = 0;
  // The innermost entry's names; false when the stack is empty.
  virtual bool Innermost(std::u16string_view* module_name,
                         std::u16string_view* proc_name) const noexcept = 0;

 protected:
  ~TracedThread() = default;
};

// What the handler found of a crash.
struct CrashFacts {
  std::int32_t number = 0;          // the signal's number, or the exception's code
  std::u16string_view description;  // "SIGSEGV: invalid memory reference at address 0x0"
  std::u16string_view now_text;     // the moment, as the clock's NowText writes it
  std::int32_t error_line = 0;      // the crashing thread's error line (Erl)
  const TracedThread* tracer = nullptr;  // the crashing thread's tracer, when it has one
  // "Native Stack:" and, on Windows, "Minidump:"; then "Other Threads:" (each section with its
  // heading), written by the handler after the tracer's dump.
  const runtime::TextPiece* native_stack = nullptr;
  const runtime::TextPiece* other_threads = nullptr;
  // "NAME=value" lines of the process's environment, each ending in CR LF.
  const runtime::TextPiece* environment = nullptr;
};

// The bug handler as a crash sees it.
class CrashReporter {
 public:
  // The crash's whole section of the bug log, its banners included, as a Raise report would
  // stand there; the module and procedure are the tracer's innermost entry.
  virtual void WriteCrashReport(runtime::TextOut& out, const CrashFacts& facts) const noexcept = 0;
  // Where the report goes: the bug log's path, empty for none.
  virtual std::u16string_view BugLogPath() const noexcept = 0;
  // Whether windows are to be shown (the message box or the report window), and what the
  // program that shows them reads: fields separated by NUL, then the report (see
  // bughandling/error_windows.hpp).
  virtual bool ShowsWindows() const noexcept = 0;
  virtual void WriteWindowRequest(runtime::TextOut& out,
                                  const CrashFacts& facts) const noexcept = 0;

 protected:
  ~CrashReporter() = default;
};

class Crashes {
 public:
  virtual ~Crashes() = default;
  // A tracer traces for the calling thread from now on (it is new, or was last used by another
  // thread), or no more (a thread's latest tracer is the one its crash is reported with; a
  // tracer's end waits while a crash's report reads it). The thread also gets an alternate
  // stack for the handlers, so that its stack overflowing can be reported.
  virtual void TracerStarted(const TracedThread* tracer) noexcept = 0;
  virtual void TracerEnded(const TracedThread* tracer) noexcept = 0;
  // Makes `reporter` the one that reports the process's crashes, installing the handlers; the
  // last one armed reports. False when the handlers cannot be installed.
  virtual bool Catch(const CrashReporter* reporter) = 0;
  // Takes `reporter` out of the armed ones: the one armed before it reports again; when it was
  // the last one, puts back the handlers the process had before.
  virtual void Release(const CrashReporter* reporter) noexcept = 0;
  // The calling thread's native stack now, as a report's "Native Stack:" section (heading
  // included), the frames of the library itself left out.
  virtual std::u16string NativeStack() = 0;
};

}  // namespace cobaltmoth::platform
