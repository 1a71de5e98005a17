// Report delivery to real daemons (tests/services/): a private systemd-journald, read back with
// journalctl, and a private rsyslogd with both inputs, next to peers that are down, never read
// or die in the middle of a record. Without root the journal's namespace cannot be had: its
// tests skip, unless COBALTMOTH_REQUIRE_SERVICES=1 (CI) makes that a failure.
#include <cobaltmoth/proc_bug.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "delivery/record.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth {
namespace {

using namespace std::chrono_literals;
using Entry = std::map<std::string, std::string>;
using testing::ReadFile;
using testing::TempDir;
const std::string kServices = COBALTMOTH_TEST_SERVICES;

// A server of tests/services/ (rsyslog.sh, stub.py), run by `command`: its key=value lines up
// to "ready"; it runs until it is destroyed, which ends its standard input.
class Service {
 public:
  explicit Service(const std::string& command) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    if ((pid_ = ::fork()) == 0) {
      ::dup2(in[0], 0), ::dup2(out[1], 1);
      ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
      ::_exit(127);
    }
    ::close(in[0]), ::close(out[1]);
    input_ = in[1];
    std::string line;
    for (char byte; line != "ready" && ::read(out[0], &byte, 1) == 1;) {
      if (byte != '\n') {
        line += byte;
      } else {
        values_[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        line.clear();
      }
    }
    ::close(out[0]);
  }
  ~Service() {
    ::close(input_);
    testing::WaitChild(pid_, 10000);
  }
  const std::string& operator[](const std::string& key) { return values_[key]; }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  std::map<std::string, std::string> values_;
};

// Raises `number` once by a bug handler with its bug log in `folder`, delivered to `report_to`;
// how long Raise took.
std::chrono::milliseconds Raise(const std::string& report_to, int number,
                                const std::string& folder, const std::string& description = "d") {
  ProcBug bug;
  bug.Init("Payroll", 1, 2, 30, folder, ExeStandard);
  bug.LogOnFile(true);
  bug.ReportTo(report_to);
  const auto start = std::chrono::steady_clock::now();
  bug.Raise("frm]Orders\\", "cmdSave_Click", number, description, 120, false);
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

// --- rsyslogd: one for the suite. -----------------------------------------------------------

class Rsyslog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemon_ = new Service(kServices + "/rsyslog.sh " + dir_.path().string());
  }
  static void TearDownTestSuite() { delete daemon_; }
  static std::string Socket() { return "syslog+unix://" + (*daemon_)["socket"]; }
  // The tab-separated fields of the records of error `number`, once `count` have come.
  static std::vector<std::vector<std::string>> Records(int number, std::size_t count) {
    std::vector<std::vector<std::string>> records;
    for (int tries = 0; tries < 100 && records.size() < count; ++tries) {
      std::this_thread::sleep_for(100ms);
      records.clear();
      std::istringstream lines(ReadFile((*daemon_)["output"]));
      for (std::string line; std::getline(lines, line);) {
        if (line.find(" number=\"" + std::to_string(number) + "\"") == std::string::npos) continue;
        std::istringstream parts(line);
        records.emplace_back();
        for (std::string field; std::getline(parts, field, '\t');) records.back().push_back(field);
      }
    }
    std::sort(records.begin(), records.end());  // imtcp, then imuxsock
    return records;
  }
  static inline TempDir dir_;
  static inline Service* daemon_;
};

TEST_F(Rsyslog, BothTransportsCarryEveryFieldEscapedAndTheReportsLinesCutAtTheirSize) {
  Raise(Socket() + ";syslog+tcp://127.0.0.1:" + (*daemon_)["port"], 101, dir_.path(),
        "Division by \"zero\"");
  Raise(Socket() + "?max=600", 102, dir_.path());
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const std::string sd = R"([cobaltmoth@32473 number="101" module="frm\]Orders\\" )"
                         R"(procedure="cmdSave_Click" line="120" fingerprint=")" +
                         delivery::Fingerprint(101, u"frm]Orders\\", u"cmdSave_Click", {}) +
                         R"(" critical="0" version="1.2.30"])";
  const auto records = Records(101, 2);
  ASSERT_EQ(records.size(), 2u);
  for (const std::string input : {"imtcp", "imuxsock"}) {
    const auto& f = records[input == "imtcp" ? 0 : 1];
    ASSERT_EQ(f.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(f.begin(), f.begin() + 9),
              (std::vector<std::string>{input, "11", "1", f[3], host, "Payroll",
                                        std::to_string(::getpid()), "report", sd}));
    EXPECT_TRUE(std::regex_match(f[3], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)")));
    EXPECT_EQ(f[9].rfind("\xEF\xBB\xBFPayroll 1.2.30: error 101 in frm]Orders\\.cmdSave_Click "
                         "at line 120: Division by \"zero\"#010The Application:#010----", 0), 0u);
    EXPECT_NE(f[9].find("#010Current Enviroment Variables:#010"), std::string::npos);
  }
  const auto cut = Records(102, 1);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_TRUE(std::regex_search(cut[0][9], std::regex(R"(#010\[cut: \d+ bytes, limit 600\]$)")));
}

TEST_F(Rsyslog, TenRecordsOfOneFaultAMinuteGoOutOthersStillDo) {
  for (int i = 0; i < 12; ++i) Raise(Socket(), 103, dir_.path());
  Raise(Socket(), 104, dir_.path());
  ASSERT_EQ(Records(104, 1).size(), 1u);  // after every earlier one on the same socket
  EXPECT_EQ(Records(103, 10).size(), 10u);
}

TEST_F(Rsyslog, ADownNeverReadingOrDyingPeerCostsRaiseItsBoundAndTheBugLogIsWhole) {
  std::string socket, port;  // of a daemon that is down
  {
    TempDir down_dir;
    Service down(kServices + "/rsyslog.sh " + down_dir.path().string());
    socket = down["socket"], port = down["port"];
  }
  Service sink("python3 " + kServices + "/stub.py sink");
  Service dying("python3 " + kServices + "/stub.py cut 100");
  ASSERT_FALSE(port.empty() || sink["port"].empty() || dying["port"].empty());
  const std::string big(4 << 20, 'x');  // more than a loopback connection buffers
  TempDir alone;
  // The time the report itself takes, and the slack a machine shared with builds needs.
  const auto reporting = Raise("", 105, alone.path(), big) + 750ms;
  for (const std::string& peer :
       {"syslog+unix://" + socket, "syslog+tcp://127.0.0.1:" + port,
        "syslog+tcp://127.0.0.1:" + sink["port"] + "?max=8388608",
        "syslog+tcp://127.0.0.1:" + dying["port"] + "?max=8388608"}) {
    TempDir folder;
    EXPECT_LE(Raise(peer, 105, folder.path(), big), reporting + 250ms) << peer;
    const std::string log = ReadFile(folder / "Payroll_buglog.txt");
    EXPECT_NE(log.find("VB Error description: " + big + "\r\n"), std::string::npos) << peer;
    EXPECT_NE(log.find("* End Log Error Stack for Payroll.EXE ver. 1.2.30\r\n"), std::string::npos);
  }
}

// --- systemd-journald: one run for the suite. ----------------------------------------------

// The entries of `journalctl -o export`: "NAME=value\n", or "NAME\n" + 64-bit size + value +
// "\n"; an empty line ends an entry.
std::vector<Entry> ReadExport(const std::string& bytes) {
  std::vector<Entry> entries(1);
  for (std::size_t at = 0; at < bytes.size(); ++at) {  // each field's last "\n" at the end
    if (bytes[at] == '\n') {
      entries.emplace_back();
      continue;
    }
    const std::size_t end = bytes.find_first_of("=\n", at), skip = bytes[end] == '=' ? 1 : 9;
    std::uint64_t size = bytes.find('\n', end) - end - 1;
    if (skip == 9) std::memcpy(&size, &bytes[end + 1], 8);
    entries.back()[bytes.substr(at, end - at)] = bytes.substr(end + skip, size);
    at = end + skip + size;
  }
  return entries;
}

class Journal : public ::testing::Test {
 protected:
  // A raised error, the same with a report of over 300 KB (sent in a sealed memory file: three
  // variables of 100,000 bytes, the most one may hold), and a crash, each to the journal and to
  // /dev/log.
  static void SetUpTestSuite() {
    const std::string d = dir_.path(), host = COBALTMOTH_TEST_CRASH_HOST;
    testing::WriteFile(d + "/run.sh",
                       "cd " + d + " && mkdir a b c\nexport COBALTMOTH_UI=none "
                       "COBALTMOTH_REPORT_TO='journal;syslog'\n" + host + " raise a\n"
                       "for i in 1 2 3; do export BIG$i=$(head -c 100000 /dev/zero | tr '\\0' x);"
                       " done\n" + host + " raise b\n" + host + " abort c\n");
    status_ = testing::ExitCode(
        std::system((kServices + "/journal.sh " + d + " sh " + d + "/run.sh 2>/dev/null").c_str()));
    std::system(("journalctl -D " + d + "/log/journal -o export >" + d + "/export").c_str());
    for (Entry& entry : ReadExport(ReadFile(d + "/export"))) {
      const bool raised = entry["MESSAGE_ID"] == "e05c9d82bf314f92a10d3c0d0b98c8ea";
      if (entry["_TRANSPORT"] == "syslog" && entry["PRIORITY"] == "3") syslog_ = entry;
      const bool big = entry["COBALTMOTH_REPORT"].find("\nBIG1=") != std::string::npos;
      if (raised) (big ? big_ : raised_) = entry;
      if (entry["MESSAGE_ID"] == "aa5da1f57486427babbf531357e50c8c") crash_ = entry;
    }
  }
  void SetUp() override {
    if (status_ == 77 && std::getenv("COBALTMOTH_REQUIRE_SERVICES") == nullptr) {
      GTEST_SKIP() << "no private journald without root (COBALTMOTH_REQUIRE_SERVICES=1 fails)";
    }
    ASSERT_EQ(status_, 134) << "journal.sh: the crash host's abort is its last status";
  }
  static inline TempDir dir_;
  static inline int status_;
  static inline Entry raised_, big_, crash_, syslog_;
};

TEST_F(Journal, EveryFieldOfARaisedErrorWithTheReportWholeAsTheBugLogHasIt) {
  const std::string bug_log = ReadFile(dir_ / "a/Payroll_buglog.txt");
  std::string report = bug_log.substr(bug_log.find("The Application:"));
  report = report.substr(0, report.find("Current Enviroment Variables:"));
  report = std::regex_replace(report, std::regex("\r\n"), "\n");
  const Entry expected = {
      {"MESSAGE", "Payroll 1.2.30: error 11 in modDb.SaveOrder at line 120: SIGSEGV: invalid "
                  "memory reference at address 0x0"},
      {"PRIORITY", "3"}, {"SYSLOG_IDENTIFIER", "Payroll"}, {"CODE_FUNC", "SaveOrder"},
      {"CODE_LINE", "120"}, {"COBALTMOTH_ERROR_NUMBER", "11"}, {"COBALTMOTH_MODULE", "modDb"},
      {"COBALTMOTH_DESCRIPTION", "SIGSEGV: invalid memory reference at address 0x0"},
      {"COBALTMOTH_PROCEDURE", "SaveOrder"}, {"COBALTMOTH_APP_VERSION", "1.2.30"},
      {"COBALTMOTH_CRITICAL", "1"}, {"SYSLOG_PID", raised_["_PID"]},
      {"COBALTMOTH_FINGERPRINT", delivery::Fingerprint(11, u"modDb", u"SaveOrder", {})}};
  for (const auto& [name, value] : expected) EXPECT_EQ(raised_[name], value) << name;
  EXPECT_EQ(raised_["COBALTMOTH_REPORT"].rfind(report, 0), 0u);
  EXPECT_NE(raised_["COBALTMOTH_REPORT"].find("\nCOBALTMOTH_REPORT_TO=journal;syslog\n"),
            std::string::npos);
  for (const std::string name : {"BIG1", "BIG2", "BIG3"}) {
    EXPECT_NE(big_["COBALTMOTH_REPORT"].find("\n" + name + "=" + std::string(100000, 'x') + "\n"),
              std::string::npos);
  }
  // The same record by RFC 5424 on /dev/log, as journald takes it.
  EXPECT_EQ(syslog_["SYSLOG_FACILITY"], "1");
  EXPECT_TRUE(std::regex_search(syslog_["MESSAGE"], std::regex(
      "^1 \\S+ \\S+ Payroll \\d+ report \\[cobaltmoth@32473 number=\"11\" module=\"modDb\" .*\\] "
      "\xEF\xBB\xBFPayroll 1.2.30: error 11 in modDb.SaveOrder at line 120: SIGSEGV")));
}

TEST_F(Journal, ACrashWithItsNativeStackAndTheFramesOfTheHostInItsFingerprint) {
  EXPECT_EQ(crash_["PRIORITY"], "2");
  EXPECT_EQ(crash_["MESSAGE"],
            "Payroll 1.2.30: crash 6 in modDb.SaveOrder at line 120: SIGABRT: aborted");
  EXPECT_NE(crash_["SYSLOG_PID"], crash_["_PID"]);  // delivered by cobaltmoth-crash
  std::vector<std::u16string> frames;
  std::istringstream lines(crash_["COBALTMOTH_NATIVE_STACK"]);
  for (std::string line; std::getline(lines, line);) frames.push_back(runtime::FromUtf8(line));
  const auto names = delivery::NamedFramesOf(frames, u"cobaltmoth_crash_host");
  EXPECT_NE(std::find(names.begin(), names.end(), u"main"), names.end());
  EXPECT_EQ(crash_["COBALTMOTH_FINGERPRINT"],
            delivery::Fingerprint(6, u"modDb", u"SaveOrder", names));
}

}  // namespace
}  // namespace cobaltmoth
