// Traces one procedure into the folder given as its argument, checks the dump and the log and
// prints the release it was built with; with "raise" after the folder, reports an error with
// the message box instead.
#include <cobaltmoth/cobaltmoth.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string_view>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (argc > 2 && std::string_view(argv[2]) == "raise") {
    cobaltmoth::ProcBug bug;
    bug.Init("Consumer", 1, 0, 0, argv[1], cobaltmoth::ExeStandard);
    bug.LogOnMsgBox(true);
    bug.Raise("modMain", "Main", 11, "Division by zero", 120, false);
    return bug.EndOnError() ? 1 : 0;
  }
  cobaltmoth::ProcStac trace;
  trace.Init("Consumer", 1, 0, 0, argv[1], cobaltmoth::ExeStandard);
  trace.LogOnFile(true);
  trace.EnterProc("modMain", "Main");
  const bool dumped = trace.Dump().find(u"Stack Element 001 of 001 modMain") != std::u16string::npos;
  trace.ExitProc("modMain", "Main");
  trace.Terminate();
  std::ifstream in(std::string(argv[1]) + "/Consumer_stacklog.txt", std::ios::binary);
  std::ostringstream log;
  log << in.rdbuf();
  const bool logged = log.str().find("o\xAB\xAB\xAB Exit  modMain::Main\r\n") != std::string::npos;
  std::printf("consumer of %s: dump %s, log %s\n", cobaltmoth::kVersionText,
              dumped ? "ok" : "WRONG", logged ? "ok" : "WRONG");
  return dumped && logged ? 0 : 1;
}
