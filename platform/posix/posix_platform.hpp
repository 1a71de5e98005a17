// platform/posix/posix_platform.hpp - pieces of the POSIX backend that tests reach directly.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.hpp"

namespace cobaltmoth::platform {

// A clock that writes dates in the named LC_TIME locale ("" is the user's, from LC_ALL,
// LC_TIME and LANG); an unknown name falls back to "C".
std::unique_ptr<Clock> MakeLocaleClock(const char* locale_name);

// The POSIX file system of the logs.
std::shared_ptr<FileSystem> MakePosixFileSystem();

// The files of the settings store's hives, one SQLite database per root (an empty name
// makes that root unopenable):
//   HKEY_CURRENT_USER    $XDG_CONFIG_HOME/cobaltmoth/user.db, ~/.config/cobaltmoth/user.db
//                        when XDG_CONFIG_HOME is unset or not an absolute path
//   HKEY_LOCAL_MACHINE   /etc/cobaltmoth/machine.db
// When COBALTMOTH_REGISTRY_DIR is set and not empty, both are in that folder instead
// (user.db and machine.db), for tests and for trying settings out.
struct RegistryHives {
  std::string current_user;
  std::string local_machine;
};
// The hives as the environment names them now.
RegistryHives DefaultRegistryHives();

// The settings store on SQLite (platform/posix/settings/sqlite_registry.cpp), finding its hives by
// DefaultRegistryHives() at every key it opens.
std::shared_ptr<Registry> MakeSqliteRegistry();
// The same with fixed hive files.
std::shared_ptr<Registry> MakeSqliteRegistry(RegistryHives hives);

// The resources compiled into the library, in the user's language as LC_ALL, LC_MESSAGES and
// LANG give it (read from the environment at every call; see strings::LanguageFromLocale).
std::shared_ptr<Resources> MakePosixResources();

// The default printer (platform/posix/shell/printer.cpp): the text as PostScript
// (platform/posix/shell/postscript.hpp) on the standard input of `lp -s`, or of `lpr` when there is
// no `lp`. Failures raise 482 with the spooler's own message.
std::shared_ptr<Printer> MakePosixPrinter();
// The same with other commands in place of lp and lpr (a name without "/" is looked up in
// PATH), for tests.
std::shared_ptr<Printer> MakePosixPrinter(std::string lp, std::string lpr);

// The shell's mail hand-off on a free desktop (platform/posix/shell/xdg_shell.hpp).
std::shared_ptr<Shell> MakeXdgShell();

// The message box, the report window and the clipboard in the terminal, for a process with
// no display; COBALTMOTH_UI chooses among them (platform/posix/terminal/terminal_ui.hpp).
std::shared_ptr<MessageBox> MakeConsoleMessageBox();
std::shared_ptr<ReportWindow> MakeConsoleReportWindow();
std::shared_ptr<Clipboard> MakeConsoleClipboard();

// Raises the host's run-time error for an errno value (76 "Path not found", 70 "Permission
// denied", 61 "Disk full", 58 "File already exists", ...): the backend's one translation.
[[noreturn]] void RaisePosixError(int error_number);

}  // namespace cobaltmoth::platform
