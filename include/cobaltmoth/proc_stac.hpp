// cobaltmoth/proc_stac.hpp - ProcStac, the procedure-stack tracer.
//
// A host creates one ProcStac, calls Init once with facts about itself, then EnterProc at the
// start of each of its procedures and ExitProc when it ends. The tracer keeps the active
// procedures as a stack, writes every entry, exit and comment to the stack log when asked to,
// and returns the current stack as text with Dump:
//
//   ********************************************************************************
//   * Stack Procedure Tree for Payroll.exe ver. 1.2.30
//   ********************************************************************************
//   Stack Element 002 of 002 frmOrders            - cmdSave_Click        called @ line 120 by Main
//   Stack Element 001 of 002 modMain              - Main                
//   ********************************************************************************
//
// and a stack log section such as
//
//   ********************************************************************************
//   * Start Log Procedure Stack for Payroll.exe ver. 1.2.30 begin at 12/06/2026 09:41:07
//   ********************************************************************************
//
//   o»»» Enter modMain::Main
//   | ### loading orders ###
//   |  o»»» Enter frmOrders::cmdSave_Clickcalled @ line 120 
//   |  o««« Exit  frmOrders::cmdSave_Click
//   o««« Exit  modMain::Main
//
//   ********************************************************************************
//   * End Log Procedure Stack for Payroll.exe ver. 1.2.30
//   ********************************************************************************
//
// (every line ends in CR LF; the log is Windows-1252 text, so » and « are single bytes).
//
// Rules a host can rely on:
//  - Dump, EnterProc, ExitProc and PrintComment throw the not-initialised error
//    (kNotInitializedError, source "Cobaltmoth.dll - Class ProcStac") until Init has run; the
//    properties work at any time.
//  - Entries are matched on exit by module and procedure name, ignoring letter case. An exit
//    of a procedure lower on the stack first unwinds (and logs as "exit point not found") every
//    entry above it; an exit that matches nothing empties the stack and throws error 9.
//  - The stack log is opened at the first line that has to be written and gets its footer at
//    Terminate. A line that cannot be written throws the file error (76 "Path not found",
//    70 "Permission denied", 61 "Disk full", ...); the tracer keeps working, and if the log
//    could not be opened the next line tries again, starting with a header.
//  - An empty LogFilePath switches the stack log off: lines are dropped, no file is made.
//  - The stack log is written through (one write per line, the default) or mapped (LogMode
//    below): either way every line of a call that returned is in the file, whole, even if the
//    process is killed the moment after, and a log closed by Terminate holds the same bytes.
//  - Names longer than 20 characters are shown whole in the Dump (the columns then shift).
//  - After Terminate the stack is gone: Dump, EnterProc, ExitProc and PrintComment throw
//    error 91 "Object variable or With block variable not set". Destroying the object runs
//    Terminate, swallowing any error of the footer.
//
// Text parameters take UTF-16 (the host's strings) or UTF-8; results are UTF-16.
//
// A C++ host traces a procedure most cheaply with COBALTMOTH_PROC (below): its names are
// resolved once per call site, so an entry and exit copy no text, and with the stack log off
// they cost a few nanoseconds. The dump and the stack log are exactly as with EnterProc and
// ExitProc given the same names.
//
// Thread-safety: none. A ProcStac belongs to one host thread, like the host's own objects.
// A ProcSite is read-only once made and may be shared by any threads and tracers.
#pragma once

#include <cobaltmoth/export.hpp>

#include <cobaltmoth/error.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace cobaltmoth {

namespace platform {
struct Platform;
}

// The kind of host project; it chooses the extension of the application file name.
// (A type library spells the members "Exe Standard", "Exe ActiveX", "Dll ActiveX" and
// "Ocx ActiveX Control".)
enum cbmProjectType : std::int32_t {
  ExeStandard = 0,        // ".exe"
  ExeActiveX = 1,         // ".exe"
  DllActiveX = 2,         // ".dll"
  OcxActiveXControl = 3,  // ".ocx"
};

// How the stack log hands its lines to the operating system (ProcStac::LogMode).
//
// kWriteThrough: one write(2) per line, in the order of the calls. Any number of processes
// and tracers may write one log at once; their lines never mix.
//
// kMapped: each line is copied into the log's pages mapped into memory, which belong to the
// file, not to the process: a line is in the file once the call that wrote it returns, and a
// killed process loses none, as with a write, but no system call is made for it. The file
// grows ahead of the lines in zero-filled chunks (up to 1 MiB), so while the log is open, or
// after its process was killed, it ends in zero bytes; Terminate cuts them, and so does the
// next open of a log whose writer was killed (at most 1 MiB of zeros at its end). A mapped
// log is its writer's alone:
//  - the tracer maps the log only when no other writer has it open; otherwise it writes
//    through, as the others do (write-through writers share a log, each holding a shared
//    lock on it, flock(2), while it has it open);
//  - while a mapped writer has the log open (it holds the exclusive lock), every other
//    writer, of either mode and of any process, is refused at its open with 70 "Permission
//    denied": its line is not written, its caller is told, and its next line tries again,
//    header first. So two writers never put lines into one log at once unless both write
//    through, and a line is never lost without its caller being told;
//  - a process forked while its tracer has a mapped log open gets the same 70 for every line
//    its copy of the tracer writes; the log stays its parent's;
//  - devices (such as /dev/null), logs that may be written but not read and files that
//    cannot be grown or mapped are written through. So is every log on Windows, where
//    kMapped means kWriteThrough.
// A reader of a mapped log that is open sees the zeros after its last line. Another program
// must not cut the file while it is mapped (as logrotate's copytruncate does): the writer's
// next line into a page past the new end would end its process with SIGBUS.
// kUnset (the start): COBALTMOTH_LOG_MODE=mapped in the process environment, read each time
// the log is opened, means kMapped; any other value, or none, kWriteThrough. The bug log is
// always written through.
enum class StackLogMode : std::int32_t {
  kUnset = 0,
  kWriteThrough = 1,
  kMapped = 2,
};

// A traced procedure's module and procedure names, resolved once: kept as UTF-16 for the
// stack and as UTF-8 for the system's tracers. Entries made through a site refer to its names
// instead of copying them, and its exit is matched by identity before any comparison of text,
// so a site must outlive every entry made through it; COBALTMOTH_PROC gives each call site a
// static one, which lives until the program ends.
class COBALTMOTH_API ProcSite {
 public:
  // A site of the procedure `proc_name` of module `module_name`.
  ProcSite(std::u16string_view module_name, std::u16string_view proc_name);
  ProcSite(std::string_view module_name, std::string_view proc_name);

  ProcSite(const ProcSite&) = delete;
  ProcSite& operator=(const ProcSite&) = delete;

  // The names as given, the module's and the procedure's, in UTF-16 and in UTF-8.
  const std::u16string& ModuleName() const noexcept { return module_name_; }
  const std::u16string& ProcName() const noexcept { return proc_name_; }  // the procedure's
  const std::string& ModuleNameUtf8() const noexcept { return module_name_utf8_; }  // UTF-8
  const std::string& ProcNameUtf8() const noexcept { return proc_name_utf8_; }      // UTF-8

 private:
  std::u16string module_name_;
  std::u16string proc_name_;
  std::string module_name_utf8_;
  std::string proc_name_utf8_;
};

// The procedure-stack tracer, with the rules and texts given at the top of this header.
class COBALTMOTH_API ProcStac {
 public:
  // A tracer on this operating system's services.
  ProcStac();
  // A tracer on the given services (tests use fakes).
  explicit ProcStac(std::shared_ptr<const platform::Platform> platform);
  // Runs Terminate; never throws.
  ~ProcStac();

  ProcStac(const ProcStac&) = delete;
  ProcStac& operator=(const ProcStac&) = delete;

  // Records the application's name, version and folder. Sets the application file name (name
  // plus ".exe", ".dll" or ".ocx"; left as it was for a project type outside 0 to 3) and the
  // stack log path: app_path + separator + app_name + "_stacklog.txt", replacing any path set
  // before. The separator is "/" on Linux and "\" on Windows.
  void Init(std::u16string_view app_name, std::int16_t app_major, std::int16_t app_minor,
            std::int16_t app_revision, std::u16string_view app_path,
            std::int32_t project_type);
  void Init(std::string_view app_name, std::int16_t app_major, std::int16_t app_minor,
            std::int16_t app_revision, std::string_view app_path, std::int32_t project_type);

  // The listing of the current stack, top first (see above).
  std::u16string Dump();

  // Pushes the procedure, with the calling thread's Erl() as its line, and logs the entry
  // when LogOnFile is set. Does nothing while Enabled is false.
  void EnterProc(std::u16string_view module_name, std::u16string_view proc_name);
  void EnterProc(std::string_view module_name, std::string_view proc_name);
  // The same for a site's names, which the entry refers to instead of copying them.
  void EnterProc(const ProcSite& site);

  // Pops the topmost matching entry, unwinding the entries above it. Does nothing while
  // Enabled is false.
  void ExitProc(std::u16string_view module_name, std::u16string_view proc_name);
  void ExitProc(std::string_view module_name, std::string_view proc_name);
  // The same for a site's names; when the top entry was made through this very site it is
  // the match, with no text compared.
  void ExitProc(const ProcSite& site);

  // Writes "| ### comment ###" at the current depth when Enabled or LogOnFile is set.
  void PrintComment(std::u16string_view comment);
  void PrintComment(std::string_view comment);

  // Writes the stack log's footer and closes it (when open) and discards the stack.
  // A second call does nothing.
  void Terminate();

  // When true, EnterProc and ExitProc write to the stack log. Starts false.
  void LogOnFile(bool value) noexcept;
  bool LogOnFile() const noexcept;

  // The stack log's path; changing it does not move a log that is already open.
  void LogFilePath(std::u16string_view value);
  void LogFilePath(std::string_view value);
  const std::u16string& LogFilePath() const noexcept;

  // How the stack log is written from its next open on (see StackLogMode); a log already
  // open keeps its mode until Terminate. Starts kUnset.
  void LogMode(StackLogMode value) noexcept;
  StackLogMode LogMode() const noexcept;

  // When false, EnterProc and ExitProc do nothing at all. Starts true.
  void Enabled(bool value) noexcept;
  bool Enabled() const noexcept;

 private:
  friend class ProcSiteScope;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Enters a procedure for the length of a C++ scope: EnterProc on construction, ExitProc on
// destruction, also when an exception leaves the scope. A failing ExitProc in the destructor
// is swallowed (a destructor must not throw); call Exit() to see its error. If EnterProc
// throws, the constructor throws and no exit is made.
class COBALTMOTH_API ProcScope {
 public:
  // Enters the procedure `proc_name` of module `module_name` on `stack`.
  ProcScope(ProcStac& stack, std::u16string_view module_name, std::u16string_view proc_name);
  ProcScope(ProcStac& stack, std::string_view module_name, std::string_view proc_name);
  ~ProcScope();

  ProcScope(const ProcScope&) = delete;
  ProcScope& operator=(const ProcScope&) = delete;

  // Makes the exit now, throwing its error; the destructor then does nothing.
  void Exit();

 private:
  ProcStac* stack_;
  std::u16string module_name_;
  std::u16string proc_name_;
};

// ProcScope for a ProcSite: EnterProc(site) on construction, ExitProc(site) on destruction,
// with the same rules. What COBALTMOTH_PROC makes.
class COBALTMOTH_API ProcSiteScope {
 public:
  // Enters the site's procedure on `stack` (a ProcStac or a std::shared_ptr to one).
  ProcSiteScope(ProcStac& stack, const ProcSite& site);
  ProcSiteScope(const std::shared_ptr<ProcStac>& stack, const ProcSite& site)
      : ProcSiteScope(*stack, site) {}
  ~ProcSiteScope();

  ProcSiteScope(const ProcSiteScope&) = delete;
  ProcSiteScope& operator=(const ProcSiteScope&) = delete;

  // Makes the exit now, throwing its error; the destructor then does nothing.
  void Exit();

 private:
  ProcStac* stack_;
  const ProcSite* site_;
};

}  // namespace cobaltmoth

// Traces the enclosing C++ scope as the procedure `proc_name` of module `module_name`:
//
//   void SaveOrder(cobaltmoth::ProcStac& trace) {
//     COBALTMOTH_PROC(trace, "modDb", "SaveOrder");   // or a std::shared_ptr<ProcStac>
//     ...
//   }
//
// The names (string literals or anything else that converts to std::string_view or
// std::u16string_view) are resolved once, the first time the line runs, into a static
// ProcSite, and never looked at again: they must be the same on every pass. Every pass then
// enters and leaves through that site (ProcSiteScope), with the errors of EnterProc and
// ExitProc. The site is made thread-safely (a C++ static) and shared by every thread that
// passes; the tracer is still one thread's. One use per source line.
#define COBALTMOTH_PROC(tracer, module_name, proc_name)                                   \
  static const ::cobaltmoth::ProcSite COBALTMOTH_PROC_JOIN_(cobaltmoth_site_, __LINE__)(  \
      module_name, proc_name);                                                             \
  ::cobaltmoth::ProcSiteScope COBALTMOTH_PROC_JOIN_(cobaltmoth_scope_, __LINE__)(          \
      tracer, COBALTMOTH_PROC_JOIN_(cobaltmoth_site_, __LINE__))
#define COBALTMOTH_PROC_JOIN_(a, b) COBALTMOTH_PROC_JOIN2_(a, b)
#define COBALTMOTH_PROC_JOIN2_(a, b) a##b
