// The Windows backend on the real system: append-only text files in the ANSI code page with CR
// LF, Windows errors as the host's run-time errors, the environment, the clock. (The goldens
// read the string table in both languages and the registry through this backend.)
#include "platform/windows/windows_platform.hpp"

#include <gtest/gtest.h>

#include <cobaltmoth/error.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace cobaltmoth::platform::windows {
namespace {

const std::filesystem::path kTemp = std::filesystem::temp_directory_path();

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST(WindowsFiles, AppendAnsiTextWithCrLfAndNeverTruncate) {
  const std::filesystem::path path = kTemp / "cobaltmoth-backend-append.txt";
  std::filesystem::remove(path);
  auto files = MakeWindowsFileSystem();
  const std::string first = "o\xbb Enter\r\nno break ?\r\n\r\n";
  auto stream = files->OpenTextFileForAppending(path.u16string());
  stream->WriteLine(u"o\u00bb Enter");
  stream->Write(u"no break \u4e2d");  // not in the ANSI code page
  stream->WriteBlankLines(2);
  EXPECT_EQ(ReadAll(path), first);
  stream.reset();
  files->OpenTextFileForAppending(path.u16string())->WriteLine(u"second");
  EXPECT_EQ(ReadAll(path), first + "second\r\n");
}

TEST(WindowsErrors, AreTheHostsRunTimeErrors) {  // a folder: 70; a missing one (76): goldens
  auto files = MakeWindowsFileSystem();
  const std::tuple<std::function<void()>, int, std::u16string> cases[] = {
      {[&] { files->OpenTextFileForAppending(kTemp.u16string()); }, 70, u"Permission denied"},
      {[] { RaiseWindowsError(ERROR_DISK_FULL); }, 61, u"Disk full"},
      {[] { RaiseWindowsError(ERROR_FILE_NOT_FOUND); }, 53, u"File not found"}};
  for (const auto& [fail, number, description] : cases) {
    try {
      fail();
      ADD_FAILURE() << "no error " << number;
    } catch (const Error& e) {
      EXPECT_EQ(std::tuple(e.Number(), e.Source(), e.Description()),
                std::tuple(number, std::u16string(u"Cobaltmoth"), description));
    }
  }
}

TEST(WindowsEnvironment, WithoutTheHiddenEntriesOfTheDrivesFolders) {
  ::SetEnvironmentVariableW(L"=Z:", L"Z:\\");
  ::SetEnvironmentVariableW(L"COBALTMOTH_BACKEND_TEST", L"x=1");
  const std::vector<std::u16string> entries = MakeWindowsEnvironment()->Entries();
  EXPECT_EQ(std::count(entries.begin(), entries.end(), u"COBALTMOTH_BACKEND_TEST=x=1"), 1);
  for (const std::u16string& entry : entries) EXPECT_NE(entry.front(), u'=') << entry.size();
}

TEST(WindowsClock, NowAsTheUsersShortDateAndTime) {  // English (US): M/d/yyyy h:mm:ss AM or PM
  auto clock = MakeWindowsClock();
  const std::u16string text = clock->NowText();
  const std::string now(text.begin(), text.end());
  EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d\d:\d\d [AP]M)")))
      << now;
  EXPECT_NE(now.find("/" + std::to_string(clock->Now().year) + " "), std::string::npos) << now;
  EXPECT_EQ(clock->TimeSeparator(), u":");
}

}  // namespace
}  // namespace cobaltmoth::platform::windows
