// The Windows backend's crash handling (platform/crashes.hpp): an unhandled-exception filter,
// a vectored handler for stack overflow and a std::terminate handler that have the armed
// reporter's report written while the crashed thread waits. Its mechanisms have a file each
// (platform/windows/crash_parts.hpp).
//
// A crash is handled once at a time, by the first thread that crashes: a second thread that
// crashes meanwhile waits (for the process to end, or for its own turn when the host's filter
// recovers from the first), and a fault inside the handling itself ends the process at once
// with the first crash's code. The crashed thread only hands its exception over: a thread of
// the library's own, started when the catching is armed and waiting for nothing else, walks
// the crashed thread's frames from the exception's context, names them with dbghelp, writes a
// minidump beside the bug log and the report into it, and has the windows shown by a fresh
// process, holding the other threads while they are up. So a stack that has overflowed, or a
// heap the crash has left broken, costs the crashed thread no more than a few system calls.
// Then the crash goes on: a filter the host had before is called once the crash is over for
// the library (the claim released, the threads let go), and decides; without one, the process
// ends with the exception's code (the system's answer, or, when the windows held the other
// threads, TerminateProcess with that code, so that no thread ends it otherwise meanwhile).
//
// Every thread that traces gets a stack guarantee, so that its stack overflowing leaves the
// filter room to run.
//
// The report shows the crashed thread's frames as
//   Native Stack:
//   -------------
//   #00 0x00007ff7c1a41560 crash_host.exe!WriteThroughNull+0x10 at C:\src\crash_host.cpp:31
//   #01 0x00007ff7c1a415c4 crash_host.exe!main+0x34
//   #02 0x00007ffb2e0a7034 KERNEL32.DLL+0x17034
//   Minidump: C:\Apps\Payroll\Payroll_buglog_20261206-143005_4242.dmp
#include "platform/windows/windows_platform.hpp"  // <windows.h> first


#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <cobaltmoth/error_line.hpp>

#include "platform/common/crash_handling.hpp"
#include "platform/crashes.hpp"
#include "platform/windows/crash_parts.hpp"

namespace cobaltmoth::platform::windows {
namespace {

using common::ArmedReporter;
using common::OtherThreadsPiece;
using common::TracedThreads;

constexpr ULONG kStackGuarantee = 64 * 1024;
constexpr DWORD kReportLimitMs = 60000;  // the report and the minidump
constexpr DWORD kWindowsLimitMs = 60 * 60 * 1000 + 20000;  // crash_windows.cpp's limits
// An uncaught C++ exception is reported with the number the POSIX backend gives it (SIGABRT),
// and ends the process as abort() does.
constexpr std::int32_t kUncaughtNumber = 6;
constexpr UINT kUncaughtExitCode = 3;

// --- What the crash reads: set up before any crash. ------------------------------------------

TracedThreads g_tracers;

ArmedReporter g_armed;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
wchar_t g_module_path[MAX_PATH];  // this DLL, for rundll32; empty for none
wchar_t g_date_pattern[128];      // the clock's date pattern

// The reporting thread and what a crash hands it.
HANDLE g_crash_event = nullptr;  // set by the crashed thread
HANDLE g_done_event = nullptr;   // set by the reporting thread
DWORD g_reporter_thread = 0;
struct Crash {
  CONTEXT context;                          // where the frames begin
  EXCEPTION_POINTERS* pointers = nullptr;  // none for std::terminate
  DWORD thread = 0;
  std::int32_t error_line = 0;              // the crashed thread's Erl
  runtime::BufferOut<1024> description;        // made by std::terminate's handler, else empty
};
Crash g_crash;

std::atomic<DWORD> g_crashing{0};    // the thread whose crash is handled
std::atomic<bool> g_handled{false};  // its report and windows are done
UINT g_first_exit_code = 0;

// --- Text out of a crash. --------------------------------------------------------------------

// "Native Stack:" and "Minidump:".
class NativeStackPiece final : public runtime::TextPiece {
 public:
  NativeStackPiece(const NativeFrames& frames, const wchar_t* dump, DWORD dump_error)
      : frames_(frames), dump_(dump), dump_error_(dump_error) {}
  void WriteTo(runtime::TextOut& out) const override {
    frames_.WriteTo(out);
    out.Append(u"Minidump: ");
    if (dump_error_ == 0) {
      AppendWide(out, dump_);
    } else {
      out.Append(u"not written, error ");
      out.AppendDecimal(dump_error_);
    }
    out.Append(u"\r\n");
  }

 private:
  const NativeFrames& frames_;
  const wchar_t* dump_;
  DWORD dump_error_;
};

// The environment, "NAME=value" a line, without the hidden entries of the drives' folders.
class EnvironmentPiece final : public runtime::TextPiece {
 public:
  void WriteTo(runtime::TextOut& out) const override {
    const UniqueEnvironmentBlock block(::GetEnvironmentStringsW());
    for (const wchar_t* entry = block.get(); entry != nullptr && *entry != L'\0';
         entry += std::wcslen(entry) + 1) {
      if (*entry == L'=') continue;
      AppendWide(out, entry);
      out.Append(u"\r\n");
    }
  }
};

// --- The crash, on the reporting thread. -----------------------------------------------------

const char* ExceptionName(DWORD code) noexcept {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "EXCEPTION_ACCESS_VIOLATION";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
    case EXCEPTION_BREAKPOINT: return "EXCEPTION_BREAKPOINT";
    case EXCEPTION_DATATYPE_MISALIGNMENT: return "EXCEPTION_DATATYPE_MISALIGNMENT";
    case EXCEPTION_FLT_DENORMAL_OPERAND: return "EXCEPTION_FLT_DENORMAL_OPERAND";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO: return "EXCEPTION_FLT_DIVIDE_BY_ZERO";
    case EXCEPTION_FLT_INEXACT_RESULT: return "EXCEPTION_FLT_INEXACT_RESULT";
    case EXCEPTION_FLT_INVALID_OPERATION: return "EXCEPTION_FLT_INVALID_OPERATION";
    case EXCEPTION_FLT_OVERFLOW: return "EXCEPTION_FLT_OVERFLOW";
    case EXCEPTION_FLT_STACK_CHECK: return "EXCEPTION_FLT_STACK_CHECK";
    case EXCEPTION_FLT_UNDERFLOW: return "EXCEPTION_FLT_UNDERFLOW";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "EXCEPTION_ILLEGAL_INSTRUCTION";
    case EXCEPTION_IN_PAGE_ERROR: return "EXCEPTION_IN_PAGE_ERROR";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "EXCEPTION_INT_DIVIDE_BY_ZERO";
    case EXCEPTION_INT_OVERFLOW: return "EXCEPTION_INT_OVERFLOW";
    case EXCEPTION_INVALID_DISPOSITION: return "EXCEPTION_INVALID_DISPOSITION";
    case EXCEPTION_NONCONTINUABLE_EXCEPTION: return "EXCEPTION_NONCONTINUABLE_EXCEPTION";
    case EXCEPTION_PRIV_INSTRUCTION: return "EXCEPTION_PRIV_INSTRUCTION";
    case EXCEPTION_SINGLE_STEP: return "EXCEPTION_SINGLE_STEP";
    case EXCEPTION_STACK_OVERFLOW: return "EXCEPTION_STACK_OVERFLOW";
    default: return nullptr;
  }
}

// "EXCEPTION_ACCESS_VIOLATION writing 0x0000000000000000", "EXCEPTION_STACK_OVERFLOW",
// "exception 0xE06D7363".
void AppendExceptionDescription(runtime::TextOut& out, const EXCEPTION_RECORD& record) {
  const char* name = ExceptionName(record.ExceptionCode);
  if (name == nullptr) {
    out.Append(u"exception ");
    out.AppendHex(record.ExceptionCode, 8, /*upper=*/true);
    return;
  }
  runtime::AppendUtf8(out, name);
  if ((record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
       record.ExceptionCode == EXCEPTION_IN_PAGE_ERROR) && record.NumberParameters >= 2) {
    const ULONG_PTR access = record.ExceptionInformation[0];
    out.Append(access == 0 ? u" reading " : access == 8 ? u" executing " : u" writing ");
    out.AppendHex(record.ExceptionInformation[1], 2 * static_cast<int>(sizeof(void*)));
  }
}

void AppendNow(runtime::TextOut& out, const SYSTEMTIME& now) {
  wchar_t date[128] = {};
  wchar_t time[128] = {};
  const int date_length = ::GetDateFormatW(LOCALE_USER_DEFAULT, 0, &now,
                                           g_date_pattern[0] ? g_date_pattern : nullptr, date, 128);
  const int time_length = ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, time, 128);
  if (date_length > 1) AppendWide(out, date);
  out.Append(u' ');
  if (time_length > 1) AppendWide(out, time);
}

// The bug log's path as a NUL-ended wide name, or false (none, too long, a NUL inside).
bool WideName(std::u16string_view path, wchar_t (&name)[MAX_PATH * 4]) {
  if (path.empty() || path.size() >= MAX_PATH * 4 || path.find(u'\0') != path.npos) return false;
  std::copy(path.begin(), path.end(), name);
  name[path.size()] = L'\0';
  return true;
}

// Opens the bug log for the crash's report, appending; a file that ended inside a line gets
// its line ended first.
UniqueFile OpenBugLog(const wchar_t* name) {
  UniqueFile file(::CreateFileW(name, FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file || ::GetFileType(file.get()) != FILE_TYPE_DISK) return UniqueFile();
  LARGE_INTEGER size {};
  char last = '\n';
  DWORD read = 0;
  if (::GetFileSizeEx(file.get(), &size) && size.QuadPart > 0) {
    OVERLAPPED at {};
    at.Offset = static_cast<DWORD>(size.QuadPart - 1);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    if (::ReadFile(file.get(), &last, 1, &read, &at) && read == 1 && last != '\n') {
      DWORD written = 0;
      ::WriteFile(file.get(), "\r\n", 2, &written, nullptr);
    }
  }
  return file;
}

// Writes the report of the crash in g_crash to the bug log, then has the windows shown.
void Report() {
  const CrashReporter* reporter = g_armed.reporter.load();
  if (reporter == nullptr) return;
  g_tracers.StartReading();
  // The reporter reads the error line as its thread's: this thread takes the crashed one's.
  SetErl(g_crash.error_line);
  SYSTEMTIME now {};
  ::GetLocalTime(&now);
  static runtime::BufferOut<256> now_text;
  now_text = {};
  AppendNow(now_text, now);
  static runtime::BufferOut<256> description;
  description = {};
  if (g_crash.pointers != nullptr) {
    AppendExceptionDescription(description, *g_crash.pointers->ExceptionRecord);
  }
  const UniqueHandle thread(::OpenThread(THREAD_QUERY_INFORMATION | THREAD_GET_CONTEXT, FALSE,
                                        g_crash.thread));
  static NativeFrames frames;
  frames.Take(g_crash.context, thread ? thread.get() : ::GetCurrentThread(),
              /*drop_own=*/g_crash.pointers == nullptr);

  static wchar_t log[MAX_PATH * 4];
  static wchar_t dump[MAX_PATH * 4];
  const bool logged = WideName(reporter->BugLogPath(), log);
  const DWORD dump_error = logged ? WriteMinidump(log, now, g_crash.thread, g_crash.pointers, dump)
                                  : ERROR_PATH_NOT_FOUND;

  const NativeStackPiece native_stack(frames, dump, dump_error);
  const OtherThreadsPiece other_threads(g_tracers, g_crash.thread);
  const EnvironmentPiece environment;
  CrashFacts facts;
  facts.number = g_crash.pointers != nullptr
                     ? static_cast<std::int32_t>(g_crash.pointers->ExceptionRecord->ExceptionCode)
                     : kUncaughtNumber;
  facts.description = g_crash.pointers != nullptr ? description.View() : g_crash.description.View();
  facts.now_text = now_text.View();
  facts.error_line = g_crash.error_line;
  facts.native_stack = &native_stack;
  facts.other_threads = &other_threads;
  facts.environment = &environment;
  facts.tracer = g_tracers.Innermost(g_crash.thread);
  if (logged) {
    if (const UniqueFile file = OpenBugLog(log); file) {
      alignas(FileOut) static unsigned char room[sizeof(FileOut)];
      auto* out = new (room) FileOut(file.get(), /*utf8=*/false);
      reporter->WriteCrashReport(*out, facts);
      out->Flush();
    }
  }
  if (reporter->ShowsWindows()) {
    ShowCrashWindows(g_module_path, g_crash.thread, *reporter, facts);
  }
  g_tracers.StopReading();
}

DWORD WINAPI ReportingThread(void*) {
  for (;;) {
    ::WaitForSingleObject(g_crash_event, INFINITE);
    ::ResetEvent(g_crash_event);
    Report();
    ::SetEvent(g_done_event);
  }
}

// --- The crashed thread. ---------------------------------------------------------------------

// Makes the calling thread the one whose crash is handled. A thread that crashes while another
// one's is handled waits: for the process to end, or, when the host's filter recovers from
// that crash, for its own turn. A crash inside the handling ends the process now.
bool ClaimTheCrash(UINT exit_code) noexcept {
  const DWORD thread = ::GetCurrentThreadId();
  if (thread == g_reporter_thread) ::TerminateProcess(::GetCurrentProcess(), g_first_exit_code);
  for (;;) {
    DWORD expected = 0;
    if (g_crashing.compare_exchange_strong(expected, thread)) {
      g_first_exit_code = exit_code;
      return true;
    }
    if (expected == thread) break;
    ::Sleep(5);
  }
  if (!g_handled.load()) ::TerminateProcess(::GetCurrentProcess(), g_first_exit_code);
  return false;
}

// The crash is over for the library: another crash can be handled.
void LetGo() noexcept {
  g_handled = false;
  ::ResetEvent(g_done_event);
  g_crashing = 0;
}

// Hands the crash to the reporting thread and waits for it to be reported.
void HandOver() noexcept {
  g_crash.thread = ::GetCurrentThreadId();
  g_crash.error_line = Erl();
  const CrashReporter* reporter = g_armed.reporter.load();
  const DWORD limit = reporter != nullptr && reporter->ShowsWindows()
                          ? kReportLimitMs + kWindowsLimitMs
                          : kReportLimitMs;
  ::SetEvent(g_crash_event);
  ::WaitForSingleObject(g_done_event, limit);
  g_handled = true;
}

LONG WINAPI OnException(EXCEPTION_POINTERS* pointers) {
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  if (ClaimTheCrash(code)) {
    g_crash.context = *pointers->ContextRecord;
    g_crash.pointers = pointers;
    HandOver();
  }
  // A filter the host had before (the C runtime's, or the host's own) decides, the crash over
  // for the library but the threads held while the windows were up still held: only when it
  // recovers (or handles the exception itself) do they run again. Left to the system, the
  // process ends with the exception's code before any of them can end it otherwise.
  const bool held = OtherThreadsHeld();
  LetGo();
  const LONG answer =
      g_previous_filter != nullptr ? g_previous_filter(pointers) : EXCEPTION_CONTINUE_SEARCH;
  if (answer == EXCEPTION_CONTINUE_SEARCH && held) ::TerminateProcess(::GetCurrentProcess(), code);
  ReleaseOtherThreads();
  return answer;
}

// A stack overflow is taken first, before the search for a handler that would need the stack
// the thread no longer has; once reported, it ends the process with its code, as the system
// would, since the filters could not run.
LONG WINAPI OnStackOverflow(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW ||
      g_armed.reporter.load() == nullptr) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (ClaimTheCrash(EXCEPTION_STACK_OVERFLOW)) {
    g_crash.context = *pointers->ContextRecord;
    g_crash.pointers = pointers;
    HandOver();
  }
  ::TerminateProcess(::GetCurrentProcess(), EXCEPTION_STACK_OVERFLOW);
  return EXCEPTION_CONTINUE_SEARCH;
}

// An uncaught exception, a noexcept broken, or std::terminate called: the exception's type and
// message are the description, read here, where the exception is still current.
[[noreturn]] void OnTerminate() {
  if (ClaimTheCrash(kUncaughtExitCode)) {
    runtime::BufferOut<1024>& description = g_crash.description;
    description = {};
    common::AppendUncaughtException(description);
    ::RtlCaptureContext(&g_crash.context);
    HandOver();
    ReleaseOtherThreads();
  }
  if (g_armed.previous_terminate != nullptr) g_armed.previous_terminate();
  std::abort();
}

// --- The port. -------------------------------------------------------------------------------

// Leaves room on the calling thread's stack for the filter once the stack has overflowed.
void GuaranteeStack() noexcept {
  thread_local bool done = false;
  if (done) return;
  ULONG size = kStackGuarantee;
  ::SetThreadStackGuarantee(&size);
  done = true;
}

class WindowsCrashes final : public Crashes {
 public:
  void TracerStarted(const TracedThread* tracer) noexcept override {
    GuaranteeStack();
    g_tracers.Add(static_cast<std::uint32_t>(::GetCurrentThreadId()), tracer);
  }

  void TracerEnded(const TracedThread* tracer) noexcept override {
    g_tracers.Remove(tracer, [] () noexcept { ::Sleep(1); });
  }

  bool Catch(const CrashReporter* reporter) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    GuaranteeStack();
    return g_armed.Arm(reporter, OnTerminate, [this] {
      if (g_reporter_thread == 0 && !StartReportingThread()) return false;
      const std::wstring pattern = NowDatePattern();
      pattern.copy(g_date_pattern, std::size(g_date_pattern) - 1);
      g_date_pattern[std::min(pattern.size(), std::size(g_date_pattern) - 1)] = L'\0';
      stack_overflow_ = ::AddVectoredExceptionHandler(1, OnStackOverflow);
      g_previous_filter = ::SetUnhandledExceptionFilter(OnException);
      return true;
    });
  }

  void Release(const CrashReporter* reporter) noexcept override {
    // A crash being reported reads its reporter: the reporter's end waits for it.
    while (g_crashing.load() != 0 && g_crashing.load() != ::GetCurrentThreadId()) ::Sleep(1);
    const std::lock_guard<std::mutex> lock(mutex_);
    // What the process had before goes back, unless the host has put another since.
    g_armed.Disarm(reporter, OnTerminate, [this] {
      const LPTOP_LEVEL_EXCEPTION_FILTER current =
          ::SetUnhandledExceptionFilter(g_previous_filter);
      if (current != OnException) ::SetUnhandledExceptionFilter(current);
      if (stack_overflow_ != nullptr) ::RemoveVectoredExceptionHandler(stack_overflow_);
      stack_overflow_ = nullptr;
    });
  }

  std::u16string NativeStack() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    CONTEXT context {};
    ::RtlCaptureContext(&context);
    const auto frames = std::make_unique<NativeFrames>();
    frames->Take(context, ::GetCurrentThread(), /*drop_own=*/true);
    std::u16string section;
    runtime::StringOut out(section);
    frames->WriteTo(out);
    return section;
  }

 private:
  // The thread that reports a crash, for the rest of the process's life; the module that
  // holds its code stays loaded as long.
  static bool StartReportingThread() {
    HMODULE pinned = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&ReportingThread), &pinned);
    // A program with the library linked in has its windows shown with the DLL that
    // COBALTMOTH_DLL names, if any.
    const DWORD length =
        pinned != nullptr && pinned != ::GetModuleHandleW(nullptr)
            ? ::GetModuleFileNameW(pinned, g_module_path, MAX_PATH)
            : ::GetEnvironmentVariableW(L"COBALTMOTH_DLL", g_module_path, MAX_PATH);
    if (length >= MAX_PATH) g_module_path[0] = L'\0';
    g_crash_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_done_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_crash_event == nullptr || g_done_event == nullptr) return false;
    const UniqueHandle thread(::CreateThread(nullptr, 1024 * 1024, ReportingThread, nullptr, 0,
                                             &g_reporter_thread));
    return static_cast<bool>(thread);
  }

  std::mutex mutex_;
  void* stack_overflow_ = nullptr;  // the vectored handler
};

}  // namespace

std::shared_ptr<Crashes> MakeWindowsCrashes() { return std::make_shared<WindowsCrashes>(); }

}  // namespace cobaltmoth::platform::windows
