// Traces one procedure into the folder given as its argument and checks the dump and the log.
#include <cobaltmoth/cobaltmoth.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
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
  std::printf("consumer: dump %s, log %s\n", dumped ? "ok" : "WRONG", logged ? "ok" : "WRONG");
  return dumped && logged ? 0 : 1;
}
