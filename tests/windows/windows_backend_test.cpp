// The Windows backend on the real system: append-only text files in the ANSI code page with CR
// LF, Windows errors as the host's run-time errors, the environment, the clock, TCP streams.
// (The goldens read the string table in both languages and the registry through this backend.)
#include <winsock2.h>  // before <windows.h>

#include "platform/windows/windows_platform.hpp"

#include <gtest/gtest.h>

#include <cobaltmoth/error.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <chrono>
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

TEST(WindowsTransport, AStreamToALoopbackListenerByNameThenRefusedAndTheMainExecutable) {
  WSADATA data;
  ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
  const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{AF_INET, 0, {}, {}};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), size);
  ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  const auto transport = MakeWindowsTransport();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  const std::string record(100000, 'r');  // what the connection's buffers take at once
  const std::uint16_t port = ntohs(address.sin_port);
  EXPECT_EQ(transport->SendStream("localhost", port, record, deadline).outcome, Handover::kDone);
  const SOCKET peer = ::accept(listener, nullptr, nullptr);
  std::string got;
  char chunk[4096];
  for (int n; (n = ::recv(peer, chunk, sizeof chunk, 0)) > 0;) got.append(chunk, n);
  EXPECT_EQ(got, record);
  ::closesocket(peer), ::closesocket(listener);
  EXPECT_EQ(transport->SendStream("127.0.0.1", port, "x", deadline).outcome, Handover::kAbsent);
  EXPECT_EQ(transport->Here().main_module, u"cobaltmoth_portable_tests.exe");
}

}  // namespace
}  // namespace cobaltmoth::platform::windows
