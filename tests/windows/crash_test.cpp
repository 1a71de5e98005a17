// Crashes on Windows: the crash host (tests/crash_host.cpp) crashed each way under the library,
// its exit code, bug log and minidump read back; and the DLL's entry that rundll32 starts to
// show a crash's windows.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbghelp.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;
const auto kFolder = std::filesystem::temp_directory_path() / "cobaltmoth-crash";

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string Between(const std::string& text, const std::string& from, const std::string& to) {
  const std::size_t start = text.find(from);
  return start == std::string::npos ? "" : text.substr(start, text.find(to, start) - start);
}

// Runs `program` with `args` through the command interpreter; its exit code and output.
std::pair<DWORD, std::string> RunProgram(const std::wstring& program, const std::wstring& args) {
  FILE* pipe = ::_wpopen((L"\"\"" + program + L"\" " + args + L"\"").c_str(), L"rb");
  std::string output;
  for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) output += static_cast<char>(c);
  return {pipe != nullptr ? static_cast<DWORD>(::_pclose(pipe)) : 0xFFFFFFFF, output};
}

TEST(Crashes, EachKindIsReportedOnceWithAMinidumpThenEndsTheHostWithItsCode) {
  // The mode, the exit code, the error's number and description, the innermost frame shown.
  const std::tuple<const wchar_t*, DWORD, std::string, std::string, const char*> kinds[] = {
      {L"segv", 0xC0000005, "-1073741819", "EXCEPTION_ACCESS_VIOLATION writing 0x0000000000000000",
       "!WriteThroughNull+0x"},
      {L"overflow", 0xC00000FD, "-1073741571", "EXCEPTION_STACK_OVERFLOW", "!Recurse+0x"},
      {L"fpe", 0xC0000094, "-1073741676", "EXCEPTION_INT_DIVIDE_BY_ZERO", "!Divide+0x"},
      {L"terminate", 3, "6", "uncaught exception std::runtime_error: disk on fire", "!main+0x"},
  };
  for (const auto& [mode, exit_code, number, description, frame] : kinds) {
    SCOPED_TRACE(mode);
    const auto folder = kFolder / mode;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const auto [code, output] = RunProgram(_wgetenv(L"COBALTMOTH_CRASH_HOST"),
                                           mode + (L" \"" + folder.wstring() + L"\""));
    EXPECT_EQ(code, exit_code);
    const std::string log = ReadAll(folder / "Payroll_buglog.txt");
    for (const std::string& once : {"* Start Log Error for Payroll.EXE"s,
                                    "* End Log Error Stack for Payroll.EXE"s,
                                    "* MODDB       * SAVEORDER * 120  *"s,
                                    "Stack Element 003 of 003 modDb "s,
                                    "VB Error number:      " + number +
                                        "\r\nVB Error description: " + description + "\r\n"}) {
      std::size_t count = 0;
      for (auto at = log.find(once); at != std::string::npos; at = log.find(once, at + 1)) ++count;
      EXPECT_EQ(count, 1u) << once << " in\n" << log;
    }
    const std::string native = Between(log, "Native Stack:\r\n-------------\r\n", "Minidump: ");
    EXPECT_NE(Between(native, "#00 ", "\r\n").find(frame), std::string::npos) << native;
    if (exit_code != EXCEPTION_STACK_OVERFLOW) {  // else main is deeper than the frames shown
      EXPECT_NE(native.find(" cobaltmoth_crash_host.exe!main+0x"), std::string::npos);
      // Below the frames, each module once by its whole path: the host's own among them.
      const std::string modules = Between(native, "\r\nModules:\r\n", "\r\n\r\n") + "\r\n";
      const std::size_t host = modules.find("\\cobaltmoth_crash_host.exe\r\n");
      ASSERT_NE(host, std::string::npos) << native;
      const std::size_t begin = modules.rfind('\n', host) + 1;  // 0 on the first line
      EXPECT_EQ(modules.substr(begin + 1, 2), ":\\") << native;
      EXPECT_EQ(modules.find("\\cobaltmoth_crash_host.exe\r\n", host + 1), std::string::npos);
    }
    const std::string others = Between(log, "\r\n\r\nOther Threads:\r\n--------------\r\nThread ",
                                       "Active Log");
    EXPECT_NE(others.find("Stack Element 002 of 002 modWorker            - Wait"),
              std::string::npos);

    // The minidump named in the report, beside the log, with the crash's exception and thread.
    const std::filesystem::path dump = Between(log, "Minidump: ", "\r\n").substr(10);
    EXPECT_EQ(dump.parent_path(), folder);
    EXPECT_EQ(dump.filename().string().rfind("Payroll_buglog_", 0), 0u);
    std::string bytes = ReadAll(dump);
    ASSERT_EQ(bytes.substr(0, 4), "MDMP");
    MINIDUMP_DIRECTORY* entry = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    const bool has_exception =
        ::MiniDumpReadDumpStream(bytes.data(), ExceptionStream, &entry, &stream, &size);
    EXPECT_EQ(has_exception, exit_code != 3);  // std::terminate has no exception
    if (has_exception) {
      const auto* exception = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
      EXPECT_EQ(exception->ExceptionRecord.ExceptionCode, exit_code);
      EXPECT_NE(exception->ThreadId, 0u);
      EXPECT_EQ(others.find("Thread " + std::to_string(exception->ThreadId) + ":"),
                std::string::npos);
    }
  }
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Hosts that go their own ways (tests/crash_host.cpp): each gets its whole report, as often as
// it crashed, and ends with its exception's code within 60 s (the windows' program, COBALTMOTH_UI
// being console, writes them to the host's output).
TEST(Crashes, HostsThatGoTheirOwnWaysGetWholeReportsAndEndWithTheExceptionsCode) {
  const std::wstring host = _wgetenv(L"COBALTMOTH_CRASH_HOST");
  using Environment = std::vector<std::pair<std::wstring, std::wstring>>;
  const std::string shown = "Error in module modDb in the procedure SaveOrder at line 120";
  const struct {
    const wchar_t* mode;
    Environment environment;
    DWORD code;
    std::string in_log;
    bool windows;  // whether the windows were shown
    std::size_t reports = 1;
  } hosts[] = {
      {L"churn", {}, 0xC0000005, "\r\nActive Log Files:\r\n", false},
      {L"exit-during-windows", {{L"COBALTMOTH_CRASH_WINDOWS_PROGRAM", host},
                                {L"ANSWER_WINDOWS", L"1"}}, 0xC0000005,
       "* MODWORKER   * WAIT      * 0    *", false},
      {L"borrowed", {}, 0xC00000FD, "* MODWORKER   * OVERFLOW  * 0    *", false},
      {L"recover", {}, 0xC0000005, "EXCEPTION_ACCESS_VIOLATION writing", false, 2},
      {L"second-handler", {{L"COBALTMOTH_CATCH_CRASHES", L"1"}}, 0xC0000005,
       "* MODDB       * SAVEORDER", false},
      {L"huge-env", {{L"SHOW_WINDOWS", L"1"}}, 0xC0000005, "* MODDB       * SAVEORDER", true},
      {L"segv", {{L"SHOW_WINDOWS", L"1"}, {L"COBALTMOTH_CRASH_WINDOWS_PROGRAM", host}},
       0xC0000005, "* MODDB       * SAVEORDER", false},  // a program that never answers
      {L"service", {{L"SHOW_WINDOWS", L"1"}}, 0xC0000005, "\r\nMinidump: ", false},
  };
  for (const auto& [mode, environment, exit_code, in_log, windows, reports] : hosts) {
    SCOPED_TRACE(mode);
    const auto folder = kFolder / mode;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    for (const auto& [name, value] : environment) _wputenv_s(name.c_str(), value.c_str());
    const auto start = std::chrono::steady_clock::now();
    const auto [code, output] = RunProgram(host, mode + (L" \"" + folder.wstring() + L"\""));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    for (const auto& [name, value] : environment) _wputenv_s(name.c_str(), L"");
    EXPECT_EQ(code, exit_code);
    const std::string log = ReadAll(folder / "Payroll_buglog.txt");
    EXPECT_EQ(Count(log, "* Start Log Error for Payroll.EXE"), reports) << log;
    EXPECT_EQ(Count(log, "* End Log Error Stack for Payroll.EXE ver. 1.2.30\r\n"), reports);
    EXPECT_EQ(Count(log, in_log), reports == 2 ? 2u : 1u) << in_log;
    EXPECT_EQ(output.find(shown) != std::string::npos, windows) << output;
  }
}

TEST(Crashes, RundllShowsTheWindowsOfARequestWithTheDllsEntry) {
  const auto request = kFolder / "request.txt";
  std::filesystem::create_directories(kFolder);
  std::ofstream(request, std::ios::binary) << "1\0" "0\0" "Payroll\0" "modDb\0" "SaveOrder\0"
      "120\0" "11\0" "EXCEPTION_INT_DIVIDE_BY_ZERO\0" "fax\0" "mail\0" "\0" "Payroll\0" "1.2.30\0"
      "Payroll.exe\0" "4242\0" "the report"s;
  const std::wstring dll = _wgetenv(L"COBALTMOTH_DLL");
  const auto [code, output] =
      RunProgram(L"rundll32.exe", L"\"" + dll + L"\",ShowCrashWindows " + request.wstring());
  EXPECT_EQ(code, 0u);
  EXPECT_NE(output.find("Error in module modDb in the procedure SaveOrder at line 120\r\n"),
            std::string::npos) << output;
  EXPECT_NE(output.find("Description=EXCEPTION_INT_DIVIDE_BY_ZERO"), std::string::npos);
}

}  // namespace
