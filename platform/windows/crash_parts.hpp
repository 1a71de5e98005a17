// platform/windows/crash_parts.hpp - the mechanisms of the Windows crash handling
// (crash_catcher.cpp holds the filters and handlers), one file each: the stack walk and the
// naming of its frames (crash_frames.cpp), the minidump (crash_minidump.cpp), the request file
// and the launch of the windows (crash_windows.cpp), and the other threads held while the
// windows are up (crash_threads.cpp).
//
// Thread-safety: all of it runs on the library's reporting thread, one crash at a time.
#pragma once

#include "platform/windows/unique.hpp"  // <windows.h> first

#include <dbghelp.h>

#include <cstddef>
#include <cwchar>

#include "platform/crashes.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::windows {

inline constexpr int kMaxFrames = 64;

// Text written to a file as it comes, in fixed chunks, in the ANSI code page ("?" for what it
// cannot hold) or in UTF-8.
class FileOut final : public runtime::TextOut {
 public:
  FileOut(HANDLE file, bool utf8) : file_(file), utf8_(utf8) {}
  void Append(std::u16string_view text) override {
    constexpr std::size_t kUnits = sizeof buffer_ / 4;
    while (!text.empty()) {
      std::u16string_view part = text.substr(0, kUnits);
      // A surrogate pair stays whole.
      if (part.size() < text.size() && part.back() >= 0xD800 && part.back() < 0xDC00) {
        part.remove_suffix(1);
      }
      if (used_ + 4 * part.size() > sizeof buffer_) Flush();
      if (utf8_) {
        used_ += runtime::ToUtf8(part, buffer_ + used_);
      } else {
        used_ += static_cast<std::size_t>(::WideCharToMultiByte(
            CP_ACP, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(part.data()),
            static_cast<int>(part.size()), buffer_ + used_,
            static_cast<int>(sizeof buffer_ - used_), "?", nullptr));
      }
      text.remove_prefix(part.size());
    }
  }
  using TextOut::Append;
  void Flush() noexcept {
    for (std::size_t at = 0; at < used_ && !failed_;) {
      DWORD written = 0;
      failed_ = !::WriteFile(file_, buffer_ + at, static_cast<DWORD>(used_ - at), &written,
                             nullptr) || written == 0;
      at += written;
    }
    used_ = 0;
  }

 private:
  HANDLE file_;
  bool utf8_;
  bool failed_ = false;
  std::size_t used_ = 0;
  char buffer_[8192];
};

// The host's text for a wide string.
inline void AppendWide(runtime::TextOut& out, const wchar_t* wide) {
  out.Append(std::u16string_view(reinterpret_cast<const char16_t*>(wide), std::wcslen(wide)));
}

// The file name at the end of a module's path.
inline const wchar_t* FileNameOf(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* at = path; *at != L'\0'; ++at) {
    if (*at == L'\\' || *at == L'/') name = at + 1;
  }
  return name;
}

// A thread's frames from a context, walked and named with dbghelp (which its caller
// serialises: it is one thread's at a time).
class NativeFrames {
 public:
  // Walks the frames of `thread` from `context`; with `drop_own`, the frames of this module at
  // the top (the handling itself) are left out.
  void Take(const CONTEXT& context, HANDLE thread, bool drop_own) noexcept;

  // The section: its heading, then one line a frame, then the whole path of each module the
  // frames are in.
  void WriteTo(runtime::TextOut& out) const noexcept;

 private:
  void WriteModules(runtime::TextOut& out) const noexcept;

  DWORD64 addresses_[kMaxFrames] = {};
  DWORD64 bases_[kMaxFrames] = {};
  int count_ = 0;
  int first_ = 0;  // the first frame shown
  bool interrupted_ = false;
};

// Writes the minidump of the crash of `thread` (`pointers`: its exception, none for
// std::terminate) beside the bug log `log`: "<the log's folder and stem>_<yyyymmdd-hhmmss>_<pid>
// .dmp", its name into `path`. Returns 0, or the error that kept it from being written.
DWORD WriteMinidump(const wchar_t* log, const SYSTEMTIME& now, DWORD thread,
                    EXCEPTION_POINTERS* pointers, wchar_t (&path)[MAX_PATH * 4]);

// Whether the process has an interactive desktop to show windows on: not a service's window
// station.
bool InteractiveDesktop() noexcept;

// Has the windows shown for the crash of thread `crashed` (see crash_windows.cpp), with this
// DLL, `module`; returns when they are closed, or when the program that shows them has not
// answered in time. The other threads are held meanwhile (HoldOtherThreads).
void ShowCrashWindows(const wchar_t* module, DWORD crashed, const CrashReporter& reporter,
                      const CrashFacts& facts);

// Suspends every thread of the process but the calling one and `crashed`, so that none ends
// the process while the windows are up; ReleaseOtherThreads lets them run again.
void HoldOtherThreads(DWORD crashed) noexcept;
void ReleaseOtherThreads() noexcept;
// Whether HoldOtherThreads holds any now.
bool OtherThreadsHeld() noexcept;

}  // namespace cobaltmoth::platform::windows
