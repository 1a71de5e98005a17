// platform/posix/shell/printer.hpp - the default printer through the print spooler's command.
//
// The text goes as PostScript (platform/posix/shell/postscript.hpp) to the standard input of
// `lp -s` (the default destination), or of `lpr` when there is no `lp`, started as any
// program the library starts (platform/posix/spawn.hpp). Failures raise 482 with the
// spooler's own message; a spooler that does not finish within the time limit is ended and
// raises 482 "Printer error".
//
// Thread-safety: the printer keeps no state.
#pragma once

#include <memory>
#include <string>

#include "platform/ui.hpp"

namespace cobaltmoth::platform::posix::shell {

std::shared_ptr<Printer> MakePosixPrinter();
// The same with other commands in place of lp and lpr (a name without "/" is looked up in
// PATH) and another time limit, for tests.
std::shared_ptr<Printer> MakePosixPrinter(std::string lp, std::string lpr, int limit_ms = 60000);

}  // namespace cobaltmoth::platform::posix::shell
