// cobaltmoth-crash - what the library hands out of a process that has crashed.
//
//   cobaltmoth-crash --symbolize   reads native frames from standard input, one a line:
//                                    <module's path> <hexadecimal address in the module>
//                                  (the address relative to where the module was loaded) and
//                                  writes one line a frame: "<function> at <file>:<line>",
//                                  "<function>", or "?" when nothing is known of it.
//   cobaltmoth-crash --show        reads a crash's request from standard input and shows its
//                                  message box and report window, as the bug handler's Raise
//                                  does (bughandling/error_windows.hpp).
//
// The library starts it and waits for it; a crashed process can do neither itself, since
// nothing that allocates or takes a lock may run there. Symbols come from the modules' own
// symbol tables and, where there is debug information (in the module or installed beside it
// as the distribution does), from their DWARF line tables.
#include <cxxabi.h>
#ifdef COBALTMOTH_HAVE_LIBDW
#include <elfutils/libdwfl.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "bughandling/error_windows.hpp"
#include "platform/platform.hpp"

namespace {

#ifdef COBALTMOTH_HAVE_LIBDW
// One module's symbols and lines, read offline from its file.
class ModuleSymbols {
 public:
  explicit ModuleSymbols(const std::string& path) {
    static const Dwfl_Callbacks callbacks = {
        dwfl_build_id_find_elf, dwfl_standard_find_debuginfo, dwfl_offline_section_address,
        nullptr};
    dwfl_ = dwfl_begin(&callbacks);
    if (dwfl_ == nullptr) return;
    dwfl_report_begin(dwfl_);
    module_ = dwfl_report_elf(dwfl_, path.c_str(), path.c_str(), -1, 0, false);
    dwfl_report_end(dwfl_, nullptr, nullptr);
    // The addresses given count from where the module's first segment was mapped.
    if (module_ != nullptr) {
      dwfl_module_info(module_, nullptr, &low_, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
  }
  ~ModuleSymbols() {
    if (dwfl_ != nullptr) dwfl_end(dwfl_);
  }
  ModuleSymbols(const ModuleSymbols&) = delete;
  ModuleSymbols& operator=(const ModuleSymbols&) = delete;

  std::string Describe(Dwarf_Addr offset) const {
    if (module_ == nullptr) return "?";
    const Dwarf_Addr address = low_ + offset;
    const char* name = dwfl_module_addrname(module_, address);
    std::string out = name == nullptr ? "?" : Demangled(name);
    if (Dwfl_Line* line = dwfl_module_getsrc(module_, address); line != nullptr) {
      int number = 0;
      const char* file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr);
      if (file != nullptr) out += " at " + std::string(file) + ":" + std::to_string(number);
    }
    return out;
  }

 private:
  static std::string Demangled(const char* name) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> plain(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
    return status == 0 && plain ? std::string(plain.get()) : std::string(name);
  }

  Dwfl* dwfl_ = nullptr;
  Dwfl_Module* module_ = nullptr;
  Dwarf_Addr low_ = 0;
};

#else
// Built without libdw: nothing is known of any frame.
class ModuleSymbols {
 public:
  explicit ModuleSymbols(const std::string&) {}
  std::string Describe(unsigned long long) const { return "?"; }
};
using Dwarf_Addr = unsigned long long;
#endif

int Symbolize() {
  std::map<std::string, std::unique_ptr<ModuleSymbols>> modules;
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::size_t blank = line.rfind(' ');
    std::string described = "?";
    if (blank != std::string::npos) {
      const std::string path = line.substr(0, blank);
      const Dwarf_Addr address = std::strtoull(line.c_str() + blank + 1, nullptr, 16);
      auto& symbols = modules[path];
      if (!symbols) symbols = std::make_unique<ModuleSymbols>(path);
      described = symbols->Describe(address);
    }
    std::cout << described << '\n' << std::flush;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--symbolize") == 0) return Symbolize();
  if (argc >= 2 && std::strcmp(argv[1], "--show") == 0) {
    std::ostringstream request;
    request << std::cin.rdbuf();
    return cobaltmoth::bughandling::ShowCrashWindows(cobaltmoth::platform::DefaultPlatform(),
                                                     request.str())
               ? 0
               : 1;
  }
  std::fprintf(stderr,
               "cobaltmoth-crash resolves the native frames of a crash and shows its windows;\n"
               "the Cobaltmoth library starts it with --symbolize or --show.\n");
  return 2;
}
