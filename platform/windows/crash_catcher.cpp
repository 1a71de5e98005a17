// The Windows backend's crash handling (platform/crashes.hpp): an unhandled-exception filter
// and a std::terminate handler that have the armed reporter's report written while the
// crashed thread waits.
//
// A crash is handled once, by the first thread that crashes: a second thread that crashes
// meanwhile waits for the first to end the process, and a fault inside the handling itself
// ends the process at once with the first crash's code. The crashed thread only hands its
// exception over: a thread of the library's own, started when the catching is armed and
// waiting for nothing else, walks the crashed thread's frames from the exception's context,
// names them with dbghelp, writes a minidump beside the bug log and the report into it, and
// has the windows shown by a fresh process (rundll32 with this DLL's ShowCrashWindowsW). So a
// stack that has overflowed, or a heap the crash has left broken, costs the crashed thread no
// more than a few system calls. Then the process's earlier filter gets the exception (the
// system's answer when it had none), so the exit code, Windows Error Reporting and a debugger
// see the original crash.
//
// Every thread that has a tracer gets a stack guarantee, so that its stack overflowing leaves
// the filter room to run.
//
// The report shows the crashed thread's frames as
//   Native Stack:
//   -------------
//   #00 0x00007ff7c1a41560 crash_host.exe!WriteThroughNull+0x10 at C:\src\crash_host.cpp:31
//   #01 0x00007ff7c1a415c4 crash_host.exe!main+0x34
//   #02 0x00007ffb2e0a7034 KERNEL32.DLL+0x17034
//   Minidump: C:\Apps\Payroll\Payroll_buglog_20261206-143005_4242.dmp
#include "platform/windows/windows_platform.hpp"  // <windows.h> first

#include <dbghelp.h>
#include <cxxabi.h>

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

namespace cobaltmoth::platform::windows {
namespace {

using common::ArmedReporter;
using common::OtherThreadsPiece;
using common::TracedThreads;

constexpr int kMaxFrames = 64;
constexpr ULONG kStackGuarantee = 64 * 1024;
constexpr DWORD kReportLimitMs = 60000;          // the report and the minidump
constexpr DWORD kWindowsLimitMs = 60 * 60 * 1000;  // the user reading the windows
// An uncaught C++ exception is reported with the number the POSIX backend gives it (SIGABRT),
// and ends the process as abort() does.
constexpr std::int32_t kUncaughtNumber = 6;
constexpr UINT kUncaughtExitCode = 3;

// --- What the crash reads: set up before any crash. ------------------------------------------

TracedThreads g_tracers;

ArmedReporter g_armed;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
wchar_t g_module_path[MAX_PATH];  // this DLL, for rundll32; empty when the library is a program
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

void AppendAscii(runtime::TextOut& out, const char* ascii) { runtime::AppendUtf8(out, ascii); }

void AppendWide(runtime::TextOut& out, const wchar_t* wide) {
  out.Append(std::u16string_view(reinterpret_cast<const char16_t*>(wide), std::wcslen(wide)));
}

// The file name at the end of a module's path.
const wchar_t* FileNameOf(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* at = path; *at != L'\0'; ++at) {
    if (*at == L'\\' || *at == L'/') name = at + 1;
  }
  return name;
}

// --- The native frames. ----------------------------------------------------------------------

// A thread's frames from a context, walked and named with dbghelp (which its caller
// serialises: it is one thread's at a time).
class NativeFrames {
 public:
  // Walks the frames of `thread` from `context`; with `drop_own`, the frames of this module at
  // the top (the handling itself) are left out.
  void Take(const CONTEXT& context, HANDLE thread, bool drop_own) noexcept {
    ReadySymbols();
    CONTEXT walked = context;
    STACKFRAME64 frame {};
    DWORD machine;
#if defined(_M_X64) || defined(__x86_64__)
    machine = IMAGE_FILE_MACHINE_AMD64;
    frame.AddrPC.Offset = walked.Rip;
    frame.AddrFrame.Offset = walked.Rbp;
    frame.AddrStack.Offset = walked.Rsp;
#else
    machine = IMAGE_FILE_MACHINE_I386;
    frame.AddrPC.Offset = walked.Eip;
    frame.AddrFrame.Offset = walked.Ebp;
    frame.AddrStack.Offset = walked.Esp;
#endif
    frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
    count_ = 0;
    first_ = 0;
    while (count_ < kMaxFrames &&
           ::StackWalk64(machine, ::GetCurrentProcess(), thread, &frame, &walked, nullptr,
                         ::SymFunctionTableAccess64, ::SymGetModuleBase64, nullptr) &&
           frame.AddrPC.Offset != 0) {
      addresses_[count_] = frame.AddrPC.Offset;
      bases_[count_] = ::SymGetModuleBase64(::GetCurrentProcess(), frame.AddrPC.Offset);
      if (drop_own && InTerminateOrThrow(addresses_[count_] - 1)) first_ = count_ + 1;
      ++count_;
    }
    // Without the runtime's frames to go by, a DLL's own frames at the top are the handling.
    const auto own = reinterpret_cast<DWORD64>(ThisModule());
    if (drop_own && first_ == 0 && own != reinterpret_cast<DWORD64>(::GetModuleHandleW(nullptr))) {
      while (first_ < count_ && bases_[first_] == own) ++first_;
    }
    // A return address is one past its call, which may be the next line's code: the call
    // itself is looked up. The innermost frame of an exception is the faulting instruction.
    interrupted_ = !drop_own;
  }

  // The section: its heading, then one line a frame.
  void WriteTo(runtime::TextOut& out) const noexcept {
    out.Append(u"Native Stack:\r\n-------------\r\n");
    const HANDLE process = ::GetCurrentProcess();
    for (int i = first_; i < count_; ++i) {
      const DWORD64 address = addresses_[i];
      const DWORD64 looked_up = address - (interrupted_ && i == 0 ? 0 : 1);
      const int number = i - first_;
      out.Append(u'#');
      out.Append(static_cast<char16_t>(u'0' + number / 10));
      out.Append(static_cast<char16_t>(u'0' + number % 10));
      out.Append(u' ');
      out.AppendHex(address, 2 * static_cast<int>(sizeof(void*)));
      out.Append(u' ');
      wchar_t module[MAX_PATH] = {};
      if (bases_[i] == 0 ||
          ::GetModuleFileNameW(reinterpret_cast<HMODULE>(bases_[i]), module, MAX_PATH) == 0) {
        out.Append(u"?\r\n");
        continue;
      }
      AppendWide(out, FileNameOf(module));
      alignas(SYMBOL_INFOW) static unsigned char room[sizeof(SYMBOL_INFOW) + 512 * sizeof(WCHAR)];
      auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(room);
      std::memset(room, 0, sizeof room);
      symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
      symbol->MaxNameLen = 512;
      DWORD64 displacement = 0;
      if (::SymFromAddrW(process, looked_up, &displacement, symbol) && symbol->NameLen > 0) {
        out.Append(u'!');
        out.Append(std::u16string_view(reinterpret_cast<const char16_t*>(symbol->Name),
                                       std::min<ULONG>(symbol->NameLen, 512)));
        out.Append(u'+');
        out.AppendHex(address - symbol->Address, 1);
      } else {
        out.Append(u'+');
        out.AppendHex(address - bases_[i], 1);
      }
      IMAGEHLP_LINEW64 line {};
      line.SizeOfStruct = sizeof line;
      DWORD column = 0;
      if (::SymGetLineFromAddrW64(process, looked_up, &column, &line) && line.FileName != nullptr) {
        out.Append(u" at ");
        AppendWide(out, line.FileName);
        out.Append(u':');
        out.AppendDecimal(line.LineNumber);
      }
      out.Append(u"\r\n");
    }
  }

 private:
  // dbghelp, once, knowing the modules loaded now.
  static void ReadySymbols() noexcept {
    static bool ready = false;
    if (ready) {
      ::SymRefreshModuleList(::GetCurrentProcess());
      return;
    }
    ::SymSetOptions(SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES | SYMOPT_UNDNAME |
                    SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
    ready = ::SymInitializeW(::GetCurrentProcess(), nullptr, TRUE) != FALSE;
  }

  // Whether `address` is in std::terminate or in the runtime's throw, where the handling
  // began (x86-64: by the function tables, which every module has).
  static bool InTerminateOrThrow(DWORD64 address) noexcept {
#if defined(__x86_64__)
    DWORD64 image = 0;
    const RUNTIME_FUNCTION* function = ::RtlLookupFunctionEntry(address, &image, nullptr);
    if (function == nullptr) return false;
    const DWORD64 start = image + function->BeginAddress;
    return start == reinterpret_cast<DWORD64>(&std::terminate) ||
           start == reinterpret_cast<DWORD64>(&abi::__cxa_throw) ||
           start == reinterpret_cast<DWORD64>(&abi::__cxa_rethrow);
#else
    (void)address;
    return false;
#endif
  }

  DWORD64 addresses_[kMaxFrames] = {};
  DWORD64 bases_[kMaxFrames] = {};
  int count_ = 0;
  int first_ = 0;  // the first frame shown
  bool interrupted_ = false;
};

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
    wchar_t* block = ::GetEnvironmentStringsW();
    if (block == nullptr) return;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      if (*entry == L'=') continue;
      AppendWide(out, entry);
      out.Append(u"\r\n");
    }
    ::FreeEnvironmentStringsW(block);
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
  AppendAscii(out, name);
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

// Writes the minidump beside the bug log: "<the log's folder and stem>_<yyyymmdd-hhmmss>_<pid>
// .dmp". Returns 0, or the error that kept it from being written.
DWORD WriteMinidump(const wchar_t* log, const SYSTEMTIME& now, wchar_t (&path)[MAX_PATH * 4]) {
  const wchar_t* name = FileNameOf(log);
  const wchar_t* dot = std::wcsrchr(name, L'.');
  const wchar_t* stem_end = dot != nullptr ? dot : name + std::wcslen(name);
  const auto stem = static_cast<std::size_t>(stem_end - log);
  if (stem + 40 >= MAX_PATH * 4) return ERROR_FILENAME_EXCED_RANGE;
  std::wmemcpy(path, log, stem);
  std::swprintf(path + stem, MAX_PATH * 4 - stem, L"_%04u%02u%02u-%02u%02u%02u_%lu.dmp",
                now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                static_cast<unsigned long>(::GetCurrentProcessId()));
  const UniqueFile file(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return ::GetLastError();
  MINIDUMP_EXCEPTION_INFORMATION exception {};
  exception.ThreadId = g_crash.thread;
  exception.ExceptionPointers = g_crash.pointers;
  exception.ClientPointers = FALSE;
  if (!::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(),
                           static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithThreadInfo),
                           g_crash.pointers != nullptr ? &exception : nullptr, nullptr, nullptr)) {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
  }
  return 0;
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

// Has the windows shown: the request in a file of the temporary folder, read by rundll32 with
// this DLL's ShowCrashWindowsW, awaited (the user is reading them), within a bound.
void ShowWindows(const CrashReporter& reporter, const CrashFacts& facts) {
  if (g_module_path[0] == L'\0') return;  // the library is a program's own: no DLL to start
  static wchar_t request[MAX_PATH + 64];
  const DWORD folder = ::GetTempPathW(MAX_PATH, request);
  if (folder == 0 || folder >= MAX_PATH) return;
  std::swprintf(request + folder, 64, L"cobaltmoth-crash-%lu.txt",
                static_cast<unsigned long>(::GetCurrentProcessId()));
  {
    const UniqueFile file(::CreateFileW(request, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!file) return;
    alignas(FileOut) static unsigned char room[sizeof(FileOut)];
    auto* out = new (room) FileOut(file.get(), /*utf8=*/true);
    reporter.WriteWindowRequest(*out, facts);
    out->Flush();
  }
  // rundll32 calls the W entry of the name it is given ("ShowCrashWindows" finds
  // ShowCrashWindowsW, with the command line as UTF-16).
  static wchar_t command[3 * MAX_PATH + 128];
  wchar_t system[MAX_PATH];
  const UINT system_length = ::GetSystemDirectoryW(system, MAX_PATH);
  if (system_length == 0 || system_length >= MAX_PATH) return;
  std::swprintf(command, sizeof command / sizeof command[0],
                L"\"%ls\\rundll32.exe\" \"%ls\",ShowCrashWindows %ls", system, g_module_path,
                request);
  STARTUPINFOW startup {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process {};
  if (::CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process)) {
    if (::WaitForSingleObject(process.hProcess, kWindowsLimitMs) != WAIT_OBJECT_0) {
      ::TerminateProcess(process.hProcess, 1);
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::DeleteFileW(request);
}

// Writes the report of the crash in g_crash to the bug log, then has the windows shown.
void Report() {
  const CrashReporter* reporter = g_armed.reporter.load();
  if (reporter == nullptr) return;
  // The reporter reads the error line as its thread's: this thread takes the crashed one's.
  SetErl(g_crash.error_line);
  SYSTEMTIME now {};
  ::GetLocalTime(&now);
  static runtime::BufferOut<256> now_text;
  AppendNow(now_text, now);
  static runtime::BufferOut<256> description;
  if (g_crash.pointers != nullptr) {
    AppendExceptionDescription(description, *g_crash.pointers->ExceptionRecord);
  }
  const HANDLE thread = ::OpenThread(THREAD_QUERY_INFORMATION | THREAD_GET_CONTEXT, FALSE,
                                     g_crash.thread);
  static NativeFrames frames;
  frames.Take(g_crash.context, thread != nullptr ? thread : ::GetCurrentThread(),
              /*drop_own=*/g_crash.pointers == nullptr);
  if (thread != nullptr) ::CloseHandle(thread);

  static wchar_t log[MAX_PATH * 4];
  static wchar_t dump[MAX_PATH * 4];
  const bool logged = WideName(reporter->BugLogPath(), log);
  const DWORD dump_error = logged ? WriteMinidump(log, now, dump) : ERROR_PATH_NOT_FOUND;

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
  facts.tracer = g_tracers.Innermost(g_crash.thread);
  facts.native_stack = &native_stack;
  facts.other_threads = &other_threads;
  facts.environment = &environment;
  if (logged) {
    if (const UniqueFile file = OpenBugLog(log); file) {
      alignas(FileOut) static unsigned char room[sizeof(FileOut)];
      auto* out = new (room) FileOut(file.get(), /*utf8=*/false);
      reporter->WriteCrashReport(*out, facts);
      out->Flush();
    }
  }
  if (reporter->ShowsWindows()) ShowWindows(*reporter, facts);
}

DWORD WINAPI ReportingThread(void*) {
  ::WaitForSingleObject(g_crash_event, INFINITE);
  Report();
  ::SetEvent(g_done_event);
  return 0;
}

// --- The crashed thread. ---------------------------------------------------------------------

// Makes the calling thread the one whose crash is handled. A thread that crashes while another
// one's is handled waits for the process to end; a crash inside the handling ends it now.
bool ClaimTheCrash(UINT exit_code) noexcept {
  const DWORD thread = ::GetCurrentThreadId();
  if (thread == g_reporter_thread) ::TerminateProcess(::GetCurrentProcess(), g_first_exit_code);
  DWORD expected = 0;
  if (g_crashing.compare_exchange_strong(expected, thread)) {
    g_first_exit_code = exit_code;
    return true;
  }
  if (expected != thread) {
    for (;;) ::Sleep(INFINITE);
  }
  if (!g_handled.load()) ::TerminateProcess(::GetCurrentProcess(), g_first_exit_code);
  return false;
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
  if (ClaimTheCrash(pointers->ExceptionRecord->ExceptionCode)) {
    g_crash.context = *pointers->ContextRecord;
    g_crash.pointers = pointers;
    HandOver();
  }
  return g_previous_filter != nullptr ? g_previous_filter(pointers) : EXCEPTION_CONTINUE_SEARCH;
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
    common::AppendUncaughtException(description);
    ::RtlCaptureContext(&g_crash.context);
    HandOver();
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
    if (pinned != nullptr && pinned != ::GetModuleHandleW(nullptr) &&
        ::GetModuleFileNameW(pinned, g_module_path, MAX_PATH) >= MAX_PATH) {
      g_module_path[0] = L'\0';
    }
    g_crash_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_done_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_crash_event == nullptr || g_done_event == nullptr) return false;
    const HANDLE thread = ::CreateThread(nullptr, 1024 * 1024, ReportingThread, nullptr, 0,
                                         &g_reporter_thread);
    if (thread == nullptr) return false;
    ::CloseHandle(thread);
    return true;
  }

  std::mutex mutex_;
  void* stack_overflow_ = nullptr;  // the vectored handler
};

}  // namespace

std::shared_ptr<Crashes> MakeWindowsCrashes() { return std::make_shared<WindowsCrashes>(); }

}  // namespace cobaltmoth::platform::windows
