// Crashes on Windows: the crash host (tests/crash_host.cpp) crashed each way under the library,
// its exit code, bug log and minidump read back; and the DLL's entry that rundll32 starts to
// show a crash's windows.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbghelp.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::string Between(const std::string& text, const std::string& from, const std::string& to) {
  const std::size_t start = text.find(from);
  return start == std::string::npos ? "" : text.substr(start, text.find(to, start) - start);
}

// Runs `command` through the command interpreter; its exit code and standard output.
std::pair<DWORD, std::string> RunProgram(const std::wstring& command) {
  FILE* pipe = ::_wpopen((L"\"" + command + L"\"").c_str(), L"rb");
  std::string output;
  for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) output += static_cast<char>(c);
  return {pipe != nullptr ? static_cast<DWORD>(::_pclose(pipe)) : 0xFFFFFFFF, output};
}

TEST(Crashes, EachKindIsReportedOnceWithAMinidumpThenEndsTheHostWithItsCode) {
  struct Kind {
    const char* mode;
    DWORD code;
    std::int32_t number;
    const char* description;
    const char* frame;  // the innermost frame shown
  };
  const Kind kinds[] = {
      {"segv", 0xC0000005, -1073741819, "EXCEPTION_ACCESS_VIOLATION writing 0x0000000000000000\r\n",
       "!WriteThroughNull+0x"},
      {"overflow", 0xC00000FD, -1073741571, "EXCEPTION_STACK_OVERFLOW\r\n", "!Recurse+0x"},
      {"fpe", 0xC0000094, -1073741676, "EXCEPTION_INT_DIVIDE_BY_ZERO\r\n", "!Divide+0x"},
      {"terminate", 3, 6, "uncaught exception std::runtime_error: disk on fire\r\n", "!main+0x"},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.mode);
    const auto folder = std::filesystem::temp_directory_path() / "cobaltmoth-crash" / kind.mode;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::wstring mode(kind.mode, kind.mode + std::strlen(kind.mode));
    const std::wstring host = _wgetenv(L"COBALTMOTH_CRASH_HOST");
    const auto [code, output] = RunProgram(L"\"" + host +
                                           L"\" " + mode + L" \"" + folder.wstring() + L"\"");
    EXPECT_EQ(code, kind.code);
    const std::string log = ReadAll(folder / "Payroll_buglog.txt");
    EXPECT_EQ(Count(log, "* Start Log Error for Payroll.EXE"), 1) << log;
    EXPECT_EQ(Count(log, "* End Log Error Stack for Payroll.EXE"), 1);
    EXPECT_EQ(Count(log, "* MODDB       * SAVEORDER * 120  *"), 1);
    EXPECT_EQ(Count(log, "Stack Element 003 of 003 modDb "), 1);
    EXPECT_EQ(Count(log, "VB Error number:      " + std::to_string(kind.number) + "\r\n"), 1);
    EXPECT_EQ(Count(log, std::string("VB Error description: ") + kind.description), 1);
    const std::string native = Between(log, "Native Stack:\r\n-------------\r\n", "Minidump: ");
    EXPECT_NE(Between(native, "#00 ", "\r\n").find(kind.frame), std::string::npos) << native;
    if (kind.code != EXCEPTION_STACK_OVERFLOW) {  // else main is deeper than the frames shown
      EXPECT_NE(native.find(" cobaltmoth_crash_host.exe!main+0x"), std::string::npos);
    }
    const std::string others = Between(log, "\r\n\r\nOther Threads:\r\n--------------\r\nThread ",
                                       "Active Log");
    EXPECT_NE(others.find("Stack Element 002 of 002 modWorker            - Wait"),
              std::string::npos) << log;

    // The minidump named in the report, beside the log, with the crash's exception and thread.
    const std::string dump = Between(log, "Minidump: ", "\r\n").substr(10);
    EXPECT_EQ(std::filesystem::path(dump).parent_path(), folder);
    EXPECT_EQ(std::filesystem::path(dump).filename().string().rfind("Payroll_buglog_", 0), 0u);
    std::string bytes = ReadAll(dump);
    ASSERT_EQ(bytes.substr(0, 4), "MDMP");
    MINIDUMP_DIRECTORY* entry = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    const bool has_exception =
        ::MiniDumpReadDumpStream(bytes.data(), ExceptionStream, &entry, &stream, &size);
    EXPECT_EQ(has_exception, kind.code != 3);  // std::terminate has no exception
    if (has_exception) {
      const auto* exception = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
      EXPECT_EQ(exception->ExceptionRecord.ExceptionCode, kind.code);
      EXPECT_NE(exception->ThreadId, 0u);
      EXPECT_EQ(others.find("Thread " + std::to_string(exception->ThreadId) + ":"),
                std::string::npos);
    }
  }
}

TEST(Crashes, RundllShowsTheWindowsOfARequestWithTheDllsEntry) {
  const auto request = std::filesystem::temp_directory_path() / "cobaltmoth-crash" / "request.txt";
  std::filesystem::create_directories(request.parent_path());
  const std::string fields[] = {"1", "0", "Payroll", "modDb", "SaveOrder", "120", "11",
                                "EXCEPTION_INT_DIVIDE_BY_ZERO", "fax", "mail"};
  std::string text;
  for (const std::string& field : fields) text += field + '\0';
  std::ofstream(request, std::ios::binary) << text << "the report";
  wchar_t system[MAX_PATH];
  ::GetSystemDirectoryW(system, MAX_PATH);
  const auto [code, output] = RunProgram(L"\"" + std::wstring(system) + L"\\rundll32.exe\" \"" +
                                  _wgetenv(L"COBALTMOTH_DLL") + L"\",ShowCrashWindows " +
                                  request.wstring());
  EXPECT_EQ(code, 0u);
  EXPECT_NE(output.find("Error in module modDb in the procedure SaveOrder at line 120\r\n"),
            std::string::npos) << output;
  EXPECT_NE(output.find("Description=EXCEPTION_INT_DIVIDE_BY_ZERO"), std::string::npos);
}

}  // namespace
