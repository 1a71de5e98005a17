// platform/common/crash_handling.hpp - what both crash backends share: the reporter armed for the
// process, the live tracers of the process and the threads they trace (a fixed table filled and
// emptied without locks, read inside a crash without allocating), and the description of an
// uncaught C++ exception.
#pragma once

#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <typeinfo>

#include "platform/crashes.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::common {

// The reporters a process has armed, the latest on top, and the handlers put in for them. At
// the first Arm `install` puts the backend's own handlers in, and std::terminate's goes in with
// them; a reporter armed again moves to the top. Disarming a reporter takes it out wherever it
// stands, so that the one armed before it reports again; when the last one goes, `uninstall`
// takes the handlers out, and std::terminate's goes unless the host has put another since. The
// crash handlers read `reporter` (the top) and, when done, call `previous_terminate`. Arm and
// Disarm are called under the backend's lock.
class ArmedReporter {
 public:
  std::atomic<const CrashReporter*> reporter{nullptr};
  std::terminate_handler previous_terminate = nullptr;

  template <typename Install>
  bool Arm(const CrashReporter* armed, std::terminate_handler on_terminate, Install&& install) {
    if (count_ == 0) {
      if (!install()) return false;
      previous_terminate = std::set_terminate(on_terminate);
    }
    Take(armed);
    if (count_ == kMost) return false;  // so many armed at once: this one is not
    armed_[count_++] = armed;
    reporter = armed;
    return true;
  }

  template <typename Uninstall>
  void Disarm(const CrashReporter* armed, std::terminate_handler on_terminate,
              Uninstall&& uninstall) noexcept {
    if (!Take(armed)) return;
    if (count_ > 0) {
      reporter = armed_[count_ - 1];
      return;
    }
    reporter = nullptr;
    uninstall();
    if (std::get_terminate() == on_terminate) std::set_terminate(previous_terminate);
  }

 private:
  static constexpr int kMost = 64;

  // Takes `armed` out of the list; false when it was not in it.
  bool Take(const CrashReporter* armed) noexcept {
    for (int i = 0; i < count_; ++i) {
      if (armed_[i] != armed) continue;
      for (--count_; i < count_; ++i) armed_[i] = armed_[i + 1];
      return true;
    }
    return false;
  }

  const CrashReporter* armed_[kMost] = {};
  int count_ = 0;
};

// The live tracers of the process and the thread each traces for. A crash's report reads them
// while other threads may end theirs: a tracer's end waits while a report reads the table
// (reading is bounded: it never waits for anything itself).
class TracedThreads {
 public:
  // `tracer` traces for `thread` from now on (it is new, or has been used by another thread
  // since); a thread's latest is its innermost. A full table leaves it out of crash reports.
  void Add(std::uint32_t thread, const TracedThread* tracer) noexcept {
    for (Slot& slot : slots_) {
      if (slot.tracer.load() != tracer) continue;
      slot.thread = thread;
      slot.order = ++order_;
      return;
    }
    for (Slot& slot : slots_) {
      const TracedThread* empty = nullptr;
      if (!slot.tracer.compare_exchange_strong(empty, tracer)) continue;
      slot.thread = thread;
      slot.order = ++order_;
      return;
    }
  }

  // Takes `tracer` out of the table, once no report reads it.
  void Remove(const TracedThread* tracer, void (*pause)() noexcept) noexcept {
    for (Slot& slot : slots_) {
      const TracedThread* mine = tracer;
      if (slot.tracer.compare_exchange_strong(mine, nullptr)) break;
    }
    while (readers_.load() != 0) pause();
  }

  // After a fork, in the child: the tracers of `parent_thread`, the one that forked, trace for
  // `child_thread`; the other threads' are not in this process.
  void Forked(std::uint32_t parent_thread, std::uint32_t child_thread) noexcept {
    for (Slot& slot : slots_) {
      if (slot.thread.load() == parent_thread) {
        slot.thread = child_thread;
      } else {
        slot.tracer = nullptr;
      }
    }
  }

  // A report reads the table between StartReading and StopReading: no tracer ends meanwhile.
  void StartReading() noexcept { readers_.fetch_add(1); }
  void StopReading() noexcept { readers_.fetch_sub(1); }

  // The latest tracer started on `thread` (its innermost), or nullptr.
  const TracedThread* Innermost(std::uint32_t thread) const noexcept {
    const TracedThread* innermost = nullptr;
    unsigned latest = 0;
    for (const Slot& slot : slots_) {
      const TracedThread* tracer = slot.tracer.load();
      if (tracer != nullptr && slot.thread.load() == thread && slot.order.load() >= latest) {
        innermost = tracer;
        latest = slot.order.load();
      }
    }
    return innermost;
  }

  // Calls `each(thread)` once for every thread that traces (a thread with two tracers, once a
  // tracer; the caller tells them apart).
  template <typename Each>
  void ForEachThread(Each&& each) const noexcept {
    for (const Slot& slot : slots_) {
      if (slot.tracer.load() != nullptr) each(slot.thread.load());
    }
  }

  // "Other Threads:": each tracer of another thread than `crashing`, with its thread id.
  void WriteOthers(runtime::TextOut& out, std::uint32_t crashing) const noexcept {
    out.Append(u"Other Threads:\r\n--------------\r\n");
    for (const Slot& slot : slots_) {
      const TracedThread* tracer = slot.tracer.load();
      const std::uint32_t thread = slot.thread.load();
      if (tracer == nullptr || thread == crashing || !tracer->Dumps()) continue;
      out.Append(u"Thread ");
      out.AppendDecimal(static_cast<std::int64_t>(thread));
      out.Append(u":\r\n");
      tracer->WriteDump(out);
    }
  }

 private:
  struct Slot {
    std::atomic<const TracedThread*> tracer{nullptr};
    std::atomic<std::uint32_t> thread{0};
    std::atomic<unsigned> order{0};  // the latest tracer of a thread is its innermost
  };
  Slot slots_[256];
  std::atomic<unsigned> order_{0};
  std::atomic<int> readers_{0};
};

// The section above, as a piece of a crash's report.
class OtherThreadsPiece final : public runtime::TextPiece {
 public:
  OtherThreadsPiece(const TracedThreads& threads, std::uint32_t crashing)
      : threads_(threads), crashing_(crashing) {}
  void WriteTo(runtime::TextOut& out) const override { threads_.WriteOthers(out, crashing_); }

 private:
  const TracedThreads& threads_;
  std::uint32_t crashing_;
};

// "uncaught exception std::runtime_error: disk on fire": the current exception's type and, for
// a std::exception, its message; to be called from a terminate handler, where the exception is
// still current.
inline void AppendUncaughtException(runtime::TextOut& out) {
  const std::type_info* type = abi::__cxa_current_exception_type();
  if (type == nullptr) {
    out.Append(u"std::terminate called without an exception");
    return;
  }
  out.Append(u"uncaught exception ");
  int status = -1;
  char* plain = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
  runtime::AppendUtf8(out, status == 0 && plain != nullptr ? plain : type->name());
  std::free(plain);
  try {
    throw;
  } catch (const std::exception& error) {
    out.Append(u": ");
    runtime::AppendUtf8(out, error.what());
  } catch (...) {
  }
}

}  // namespace cobaltmoth::platform::common
