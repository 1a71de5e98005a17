// cobaltmoth_print_text FILE: prints the UTF-8 text of FILE in Courier 12 pt on the default
// printer, through the default platform's printer, as the report window's Print button does.
// On failure it writes "error NUMBER: DESCRIPTION" to standard output and exits with 1. Used
// by scripts/ci-printer-test.sh against a real print server.
#include <cobaltmoth/error.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/platform.hpp"
#include "platform/ui.hpp"
#include "runtime/text.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  try {
    cobaltmoth::platform::DefaultPlatform()->printer->PrintDocument(
        cobaltmoth::runtime::FromUtf8(bytes.str()), u"Courier", 12.0);
  } catch (const cobaltmoth::Error& e) {
    std::printf("error %d: %s\n", static_cast<int>(e.Number()),
                cobaltmoth::runtime::ToUtf8(e.Description()).c_str());
    return 1;
  }
  return 0;
}
