// Payroll 1.2.30, a small host program that traces its procedures with Cobaltmoth.
//
// It enters Main, loads its order form (writing a comment into the stack log), saves an
// order through cmdSave_Click and SaveOrder, and prints the stack as Dump shows it from inside
// SaveOrder. Saving fails with a division by zero at line 120 of cmdSave_Click; its error
// handler raises it through the bug handler with all three steps on: the message box, the
// report in the bug log, and the report window (in a terminal, or on standard error when
// there is none). Last it prints the paths of the stack log and the bug log, which go to the
// folder given as the first argument, or to the program's own folder, and where else the report
// went: the system's log, as the second argument lists it (the ReportTo of ProcBug), or as
// COBALTMOTH_REPORT_TO or the settings say.
//
// Usage: payroll [folder [report-to]]     e.g. payroll /tmp "journal;syslog"
#include <cobaltmoth/cobaltmoth.hpp>

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

namespace {

std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The folder this program lives in, as a Basic host's App.Path.
std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  std::string folder(path, static_cast<std::size_t>(length));
  const std::size_t slash = folder.rfind('/');
  return slash == 0 ? "/" : folder.substr(0, slash);
}

// A run-time error of the host, as its own error object would carry it.
struct HostError {
  std::int32_t number;
  const char* description;
};

void SaveOrder(cobaltmoth::ProcStac& trace) {
  cobaltmoth::ProcScope scope(trace, "modDb", "SaveOrder");
  std::fputs(ToUtf8(trace.Dump()).c_str(), stdout);
  throw HostError{11, "Division by zero"};
}

void cmdSave_Click(cobaltmoth::ProcStac& trace, cobaltmoth::ProcBug& bug) {
  cobaltmoth::ProcScope scope(trace, "frmOrders", "cmdSave_Click");
  try {
    SaveOrder(trace);  // line 120
  } catch (const HostError& error) {
    bug.Raise("frmOrders", "cmdSave_Click", error.number, error.description, 120, false);
  }
}

void Form_Load(cobaltmoth::ProcStac& trace) {
  cobaltmoth::ProcScope scope(trace, "frmOrders", "Form_Load");
  trace.PrintComment("loading orders");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : ProgramFolder();
  try {
    auto trace = std::make_shared<cobaltmoth::ProcStac>();
    trace->Init("Payroll", 1, 2, 30, folder, cobaltmoth::ExeStandard);
    trace->LogOnFile(true);
    auto bug = std::make_shared<cobaltmoth::ProcBug>();
    bug->Init("Payroll", 1, 2, 30, folder, cobaltmoth::ExeStandard);
    bug->LogOnMsgBox(true);
    bug->LogOnFile(true);
    bug->LogOnReport(true);
    bug->ProcStack(trace);
    if (argc > 2) bug->ReportTo(argv[2]);

    trace->EnterProc("modMain", "Main");
    Form_Load(*trace);
    cmdSave_Click(*trace, *bug);
    trace->ExitProc("modMain", "Main");

    std::printf("EndOnError: %s\n", bug->EndOnError() ? "True, ending" : "False, going on");
    bug->Terminate();  // closes the bug log, then ends the tracer and its log
    std::printf("Stack log: %s\n", ToUtf8(trace->LogFilePath()).c_str());
    std::printf("Bug log: %s\n", ToUtf8(bug->LogFilePath()).c_str());
    if (!bug->ReportTo().empty()) std::printf("Reported to: %s\n", ToUtf8(bug->ReportTo()).c_str());
    return 0;
  } catch (const cobaltmoth::Error& error) {
    std::fprintf(stderr, "payroll: %s\n", error.what());
    return 1;
  }
}
