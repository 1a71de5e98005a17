// cobaltmoth/proc_bug.hpp - ProcBug, the bug handler.
//
// A host creates one ProcBug, calls Init with the same facts it gives its tracer, chooses by
// three flags how an error is to be reported (LogOnMsgBox, LogOnFile, LogOnReport), may hand
// over its tracer through ProcStack, and reports an error from its error handler. With
// LogOnFile set, the report is appended to the bug log, one block per object:
//
//   --------------------------------------------------------------------------------
//   * Start Log Error for Payroll.EXE ver. 1.2.30 begin at 12/06/2026 09:41:07
//   --------------------------------------------------------------------------------
//
//   The Application:
//   ...                                  (the report; see bughandling/report_text.hpp)
//
//   --------------------------------------------------------------------------------
//   * End Log Error Stack for Payroll.EXE ver. 1.2.30
//   --------------------------------------------------------------------------------
//
// (Windows-1252 text, CR LF; the start banner is written with the first report, the end
// banner when the object ends, so an object that reports nothing leaves no file.)
//
// Rules a host can rely on:
//  - A new object has Enabled and EndOnError true, the three LogOn flags false, an empty
//    LogFilePath, no tracer, and the support fax number and e-mail address of the product's
//    string table. Every property works before Init.
//  - Init sets the application file name with an upper-case extension (".EXE", ".DLL",
//    ".OCX"; kept as it was for another project type) and the bug log path:
//    app_path + separator + app_name + "_buglog.txt" ("/" on Linux, "\" on Windows).
//  - ProcBug holds a counted reference to the tracer in ProcStack; Terminate writes the bug
//    log's end banner, then terminates that tracer and lets it go. Destroying the object runs
//    Terminate, swallowing any error of the banner.
//  - File errors reach the caller as the host language's run-time errors (76, 70, 61, ...);
//    a bug log that could not be opened is opened again, with its banner, at the next report.
//  - An empty LogFilePath switches the bug log off: nothing is written anywhere.
//
// Reports where operators look. With ReportTo set (below), every handled Raise, after its file
// step (also when that failed) and before the report window, and every crash (from the program
// that shows its windows) also goes to the system's log, as one structured record a log
// pipeline can filter and count. A raised error is logged at severity err (3), a crash at crit
// (2). To the journal (the native protocol; a record larger than a datagram goes in a sealed
// memory file), the report's lines with LF:
//
//   MESSAGE=Payroll 1.2.30: error 11 in frmOrders.cmdSave_Click at line 120: Division by zero
//   MESSAGE_ID=e05c9d82bf314f92a10d3c0d0b98c8ea    (aa5da1f57486427babbf531357e50c8c: a crash)
//   PRIORITY=3                                      (2: a crash)
//   SYSLOG_FACILITY=1                               (user)
//   SYSLOG_IDENTIFIER=Payroll                       (the AppName given to Init)
//   SYSLOG_PID=4242
//   CODE_FUNC=cmdSave_Click                         (a crash: its innermost traced procedure)
//   CODE_LINE=120
//   COBALTMOTH_ERROR_NUMBER=11                      (a crash: 11 for SIGSEGV, 6 for an abort...)
//   COBALTMOTH_DESCRIPTION=Division by zero
//   COBALTMOTH_MODULE=frmOrders
//   COBALTMOTH_PROCEDURE=cmdSave_Click
//   COBALTMOTH_APP_VERSION=1.2.30
//   COBALTMOTH_FINGERPRINT=e34c6ed30106773b
//   COBALTMOTH_CRITICAL=0                           (1: the host called it critical; a crash)
//   COBALTMOTH_FOLDED=3                             (only when records were folded away)
//   COBALTMOTH_NATIVE_STACK=#00 0x... payroll+0x2364 SaveOrder(Order const&) at db.cpp:31
//                                                   (when the report has one: a frame a line)
//   COBALTMOTH_REPORT=The Application: ...          (the whole report)
//
// To syslog, one RFC 5424 record (facility user; the report's lines follow the summary):
//
//   <11>1 2026-12-06T08:41:07.000006Z ws042 Payroll 4242 report [cobaltmoth@32473
//   number="11" module="frmOrders" procedure="cmdSave_Click" line="120"
//   fingerprint="e34c6ed30106773b" critical="0" version="1.2.30"] BOM Payroll 1.2.30: error 11
//   in frmOrders.cmdSave_Click at line 120: Division by zero
//
// (<10> and MSGID "crash" for a crash; folded="N" last when records were folded away; cut at
// the destination's size, 64 KiB unless said, with "[cut: N bytes, limit M]" at its end). To
// the Event Log, an error event of the source "Cobaltmoth", 1000 for a raised error and 1001
// for a crash, whose description is the summary and the report, each cut to 31,839
// characters; its data after them are the number, module, procedure, line, fingerprint,
// critical, version and folded count.
//
// The fingerprint names a fault the same way on every machine and run: FNV-1a 64 over the
// UTF-8 of the number, LCase(module) and LCase(procedure), each but the first after an LF,
// and, for a crash, the names of the innermost three named frames of the host's main
// executable, each after an LF; 16 lower-case hexadecimal digits. At most 10 records of one
// fingerprint go out in a minute; the next one after that carries the count folded away.
//
// Every record's environment has its secrets filtered: a variable whose name holds password,
// passwd, secret, token, api_key, apikey, auth, credential, private_key, privatekey,
// mysql_pwd or bearer (in any case), or whose value holds a URL with user information, a
// Bearer token or a private key, is written NAME=[Filtered]. The bug log only does so with
// RedactSecrets on.
//
// Thread-safety: none. A ProcBug belongs to one host thread.
#pragma once

#include <cobaltmoth/export.hpp>

#include <cobaltmoth/error.hpp>
#include <cobaltmoth/proc_stac.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace cobaltmoth {

// The host's error object, as Raise reads it: its Description, then its Number. A COM host
// hands over its own error object; a C++ host can use the Raise overloads that take a
// cobaltmoth::Error or a number and a description instead.
class COBALTMOTH_API ErrorObject {
 public:
  virtual ~ErrorObject() = default;
  virtual std::u16string Description() const = 0;  // the error's description
  virtual std::int32_t Number() const = 0;         // the error's number
};

// The bug handler, with the rules and texts given at the top of this header.
class COBALTMOTH_API ProcBug {
 public:
  // A bug handler on this operating system's services.
  ProcBug();
  // A bug handler on the given services (tests use fakes).
  explicit ProcBug(std::shared_ptr<const platform::Platform> platform);
  // Runs Terminate; never throws.
  ~ProcBug();

  ProcBug(const ProcBug&) = delete;
  ProcBug& operator=(const ProcBug&) = delete;

  // Records the application's name, version, folder and kind (see above).
  void Init(std::u16string_view app_name, std::int16_t app_major, std::int16_t app_minor,
            std::int16_t app_revision, std::u16string_view app_path,
            std::int32_t project_type);
  void Init(std::string_view app_name, std::int16_t app_major, std::int16_t app_minor,
            std::int16_t app_revision, std::string_view app_path, std::int32_t project_type);

  // Reports an error from the host's error handler, once per object: the first call marks the
  // object as used; while Enabled is false it then does nothing more (the passive mode);
  // before Init it throws the not-initialised error (source "Cobaltmoth.dll - Class ProcBug").
  // Otherwise, as the flags choose and in this order: the message box (LogOnMsgBox), the bug
  // log (LogOnFile), the modal report window (LogOnReport); each step runs only while Init has
  // run and Enabled is true, so a host that clears Enabled from code running during a modal
  // step skips the steps after it. Last EndOnError takes `is_critical`. A missing error object
  // throws 424 "Object required" before anything is shown or written; an error of a step
  // ends Raise there and reaches the caller. The message box reads
  //   title:  <app title> - Unexpected error
  //   prompt: Error in module frmMain in the procedure cmdOK_Click at line 120
  //
  //           The technical references for this error is: 
  //               Number: 11
  //               Description=Division by zero
  // (" at line 120" only for a line other than 0).
  void Raise(std::u16string_view module_name, std::u16string_view proc_name,
             const ErrorObject* error, std::int32_t on_line_number = 0, bool is_critical = true);
  void Raise(std::u16string_view module_name, std::u16string_view proc_name, const Error& error,
             std::int32_t on_line_number = 0, bool is_critical = true);
  void Raise(std::u16string_view module_name, std::u16string_view proc_name,
             std::int32_t number, std::u16string_view description,
             std::int32_t on_line_number = 0, bool is_critical = true);
  void Raise(std::string_view module_name, std::string_view proc_name, std::int32_t number,
             std::string_view description, std::int32_t on_line_number = 0,
             bool is_critical = true);

  // Appends the report of one error to the bug log: the file step of reporting an error, on
  // its own. Does nothing until Init has run, while Enabled is false, or with an empty
  // LogFilePath; it does not look at LogOnFile. `number` and `description` are the host
  // error's; `line_number` 0 means none.
  void LogErrorToFile(std::u16string_view module_name, std::u16string_view proc_name,
                      std::int32_t number, std::u16string_view description,
                      std::int32_t line_number = 0);
  void LogErrorToFile(std::string_view module_name, std::string_view proc_name,
                      std::int32_t number, std::string_view description,
                      std::int32_t line_number = 0);

  // Writes the bug log's end banner (when open), then terminates the tracer in ProcStack and
  // lets it go. A second call does nothing.
  void Terminate();

  // Whether Raise shows the report window. Starts false.
  void LogOnReport(bool value) noexcept;
  bool LogOnReport() const noexcept;
  // Whether Raise shows the message box. Starts false.
  void LogOnMsgBox(bool value) noexcept;
  bool LogOnMsgBox() const noexcept;
  // Whether Raise appends the report to the bug log. Starts false.
  void LogOnFile(bool value) noexcept;
  bool LogOnFile() const noexcept;
  // The bug log's path; changing it does not move a log that is already open.
  void LogFilePath(std::u16string_view value);
  void LogFilePath(std::string_view value);
  const std::u16string& LogFilePath() const noexcept;
  // Whether the host should end after the error; a handled error sets it to its criticality.
  void EndOnError(bool value) noexcept;
  bool EndOnError() const noexcept;
  // False makes the handler passive.
  void Enabled(bool value) noexcept;
  bool Enabled() const noexcept;
  // The tracer whose dump and stack log path go into the report, or none.
  void ProcStack(std::shared_ptr<ProcStac> tracer) noexcept;
  const std::shared_ptr<ProcStac>& ProcStack() const noexcept;
  // The support's fax number, shown in the report window.
  void SupportFax(std::u16string_view value);
  void SupportFax(std::string_view value);
  const std::u16string& SupportFax() const noexcept;
  // The support's e-mail address, shown in the report window.
  void SupportMail(std::u16string_view value);
  void SupportMail(std::string_view value);
  const std::u16string& SupportMail() const noexcept;

  // Crashes reported like errors. With CatchCrashes(true) this handler arms the process's
  // crash handlers (handler objects are armed as a stack: the latest reports; false,
  // Terminate or the object's end take it off, handing catching back to the one armed
  // before it, and the last one's puts back what the process had before): a fatal signal
  // (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, a stack overflow among them, named
  // "SIGSEGV: stack overflow at address 0x7ffd2a3f8ff8") or an uncaught C++ exception
  // appends a crash report to the bug log (when LogOnFile is set), in the shape of Raise's:
  // the module and procedure are the innermost entry of the crashing thread's tracer, the
  // line that thread's Erl, the number the signal's and the description what it was
  //   SIGSEGV: invalid memory reference at address 0x0
  //   uncaught exception std::runtime_error: disk on fire
  // followed, after the stack dump, by "Native Stack:" (one frame a line: address, module,
  // function and, with debug information, file and line) and "Other Threads:" (the stack of
  // each other thread that has a live tracer, with its thread id). The message box and the
  // report window follow as LogOnMsgBox and LogOnReport say, shown by a program of the
  // library's own out of the crashed process; then the crash goes on as it would have (the
  // default action ends the process by the same signal, leaving a core dump to the system).
  // Off by default; Init turns it on when COBALTMOTH_CATCH_CRASHES is "1" or the current
  // user's setting CatchCrashes (key Software/Cobaltmoth) is the DWORD 1, unless the host has
  // set the property itself. Does nothing where the platform cannot catch crashes.
  void CatchCrashes(bool value);
  bool CatchCrashes() const noexcept;
  // With true, Raise's reports carry the native stack too ("Native Stack:" after the stack
  // dump). Off by default.
  void NativeStack(bool value) noexcept;
  bool NativeStack() const noexcept;

  // Where reports go besides the bug log (see above), a list separated by ";":
  //   journal                  the journal (Linux)
  //   syslog                   RFC 5424 to /dev/log; syslog+unix:///PATH to another socket
  //   syslog+tcp://HOST:PORT   RFC 5424 over TCP (octet counting), plain text
  //   eventlog                 the Windows Event Log (source "Cobaltmoth")
  // (a syslog item may end in "?max=BYTES", the size its records are cut to). Delivery never
  // raises an error, holds Raise for at most 250 ms in all, and says a failure on standard
  // error when that is a terminal. The list in effect is the first of: the administrator's
  // policy ReportTo (`HKEY_LOCAL_MACHINE\Software\Policies\Cobaltmoth`), this property once
  // set, COBALTMOTH_REPORT_TO, the user's ReportTo (`HKEY_CURRENT_USER\Software\Cobaltmoth`);
  // it is read at Init and whenever this property or RedactSecrets is set, and ReportTo()
  // gives it. Empty (the default): nothing is sent. Unknown items are ignored and said once
  // on standard error when that is a terminal; the other system's items, quietly.
  void ReportTo(std::u16string_view value);
  void ReportTo(std::string_view value);
  const std::u16string& ReportTo() const noexcept;
  // Whether the bug log (and so the report window) has the environment's secrets filtered as
  // well, as every delivered record has them (see above). Off unless the DWORD RedactSecrets
  // is 1, read as ReportTo is (policy, this property, COBALTMOTH_REDACT_SECRETS=1, the user's
  // setting); RedactSecrets() gives what is in effect.
  void RedactSecrets(bool value);
  bool RedactSecrets() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cobaltmoth
