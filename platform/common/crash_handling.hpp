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

// The one reporter a process has armed, and the handlers put in for it. At the first Catch
// `install` puts the backend's own handlers in, and std::terminate's goes in with them; at the
// Release of the armed reporter `uninstall` takes them out, and std::terminate's goes unless the
// host has put another since. The crash handlers read `reporter` and, when done, call
// `previous_terminate`. Both calls are made under the backend's lock.
class ArmedReporter {
 public:
  std::atomic<const CrashReporter*> reporter{nullptr};
  std::terminate_handler previous_terminate = nullptr;

  template <typename Install>
  bool Arm(const CrashReporter* armed, std::terminate_handler on_terminate, Install&& install) {
    if (!installed_) {
      if (!install()) return false;
      previous_terminate = std::set_terminate(on_terminate);
      installed_ = true;
    }
    reporter = armed;
    return true;
  }

  template <typename Uninstall>
  void Disarm(const CrashReporter* armed, std::terminate_handler on_terminate,
              Uninstall&& uninstall) noexcept {
    if (!reporter.compare_exchange_strong(armed, nullptr) || !installed_) return;
    uninstall();
    if (std::get_terminate() == on_terminate) std::set_terminate(previous_terminate);
    installed_ = false;
  }

 private:
  bool installed_ = false;
};

class TracedThreads {
 public:
  // `tracer` lives on `thread` from now on; a full table leaves it out of crash reports.
  void Add(std::uint32_t thread, const TracedThread* tracer) noexcept {
    for (Slot& slot : slots_) {
      const TracedThread* empty = nullptr;
      if (!slot.tracer.compare_exchange_strong(empty, tracer)) continue;
      slot.thread = thread;
      slot.order = ++order_;
      return;
    }
  }

  void Remove(const TracedThread* tracer) noexcept {
    for (Slot& slot : slots_) {
      const TracedThread* mine = tracer;
      if (slot.tracer.compare_exchange_strong(mine, nullptr)) return;
    }
  }

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
