// Report delivery to the real daemons of tests/services/ (journald, rsyslogd) and bad peers.
// Without root the journal's namespace cannot be had: its test skips, unless
// COBALTMOTH_REQUIRE_SERVICES=1 (CI) makes that a failure.
#include <cobaltmoth/proc_bug.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bughandling/report_text.hpp"
#include "child_process.hpp"
#include "delivery/record.hpp"
#include "delivery/sink.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Fields = std::map<std::string, std::string>;
using testing::ReadFile;
using testing::TempDir;
const std::string kServices = COBALTMOTH_TEST_SERVICES;

// A server of tests/services/ run by `command`: its key=value lines up to "ready"; it runs until
// it is destroyed, which ends its standard input (a FIFO).
class Service {
 public:
  explicit Service(const std::string& command) {
    ::mkfifo((dir_ / "in").c_str(), 0600);
    out_ = ::popen(("exec " + command + " <" + dir_ / "in").c_str(), "r");
    input_ = ::open((dir_ / "in").c_str(), O_WRONLY | O_CLOEXEC);
    for (char line[4096]; std::fgets(line, sizeof line, out_) && std::strcmp(line, "ready\n");) {
      const std::string text(line, std::strlen(line) - 1);
      values_[text.substr(0, text.find('='))] = text.substr(text.find('=') + 1);
    }
  }
  ~Service() { ::close(input_), ::pclose(out_); }
  std::string operator[](const std::string& key) { return values_[key]; }

 private:
  TempDir dir_;
  std::FILE* out_;
  int input_;
  Fields values_;
};

// Raises `number` by a bug handler with its bug log in `folder`, delivered to `report_to`; how
// long Raise took.
auto Raise(const std::string& report_to, int number, const std::string& folder,
           const std::string& description = "d") {
  ProcBug bug;
  bug.Init("Payroll", 1, 2, 30, folder, ExeStandard);
  bug.LogOnFile(true);
  bug.ReportTo(report_to);
  const auto start = std::chrono::steady_clock::now();
  bug.Raise("frm]Orders\\", "cmdSave_Click", number, description, 120, false);
  return std::chrono::steady_clock::now() - start;
}

// --- rsyslogd: one for the suite. -----------------------------------------------------------

class Rsyslog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { daemon_ = new Service(kServices + "/rsyslog.sh " + dir_ / ""); }
  static void TearDownTestSuite() { delete daemon_; }
  static std::string Socket() { return "syslog+unix://" + (*daemon_)["socket"]; }
  // The lines of the records of error `number` (imtcp's first), once `count` have come, or
  // after ten seconds: input, PRI, version, time, host, application, process, MSGID,
  // structured data and message, separated by TAB.
  static std::vector<std::string> Records(int number, std::size_t count) {
    std::vector<std::string> records;
    for (int tries = 0; tries < 100 && records.size() < count; ++tries, records.clear()) {
      std::this_thread::sleep_for(100ms);
      std::istringstream lines(ReadFile((*daemon_)["output"]));
      for (std::string line; std::getline(lines, line);) {
        if (line.find(" number=\"" + std::to_string(number) + "\"") != std::string::npos) {
          records.push_back(line);
        }
      }
      std::sort(records.begin(), records.end());
      if (records.size() >= count) break;
    }
    return records;
  }
  static inline TempDir dir_;
  static inline Service* daemon_;
};

TEST_F(Rsyslog, BothTransportsCarryEveryFieldEscapedCutAtTheirSizeTenOfAFaultAMinute) {
  Raise(Socket() + ";syslog+tcp://127.0.0.1:" + (*daemon_)["port"] + "?max=600", 101,
        dir_.path(), "Division by \"zero\"");
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const std::string after_time =  // the time, 2026-12-07T01:23:26.836920Z, taken out
      "\t" + std::string(host) + "\tPayroll\t" + std::to_string(::getpid()) + "\treport\t" +
      R"([cobaltmoth@32473 number="101" module="frm\]Orders\\" procedure="cmdSave_Click" )"
      R"(line="120" fingerprint=")" +
      delivery::Fingerprint(101, u"frm]Orders\\", u"cmdSave_Click", {}) +
      R"(" critical="0" version="1.2.30"])" +
      "\t\xEF\xBB\xBFPayroll 1.2.30: error 101 in frm]Orders\\.cmdSave_Click at line 120: "
      "Division by \"zero\"#010The Application:#010----";
  const auto records = Records(101, 2);
  ASSERT_EQ(records.size(), 2u);
  for (const std::string& line : records) {
    const bool tcp = line.rfind("imtcp\t11\t1\t", 0) == 0;  // else "imuxsock\t11\t1\t"
    EXPECT_EQ(line.substr(0, 12), tcp ? "imtcp\t11\t1\t2" : "imuxsock\t11\t");
    EXPECT_EQ(line.substr(line.find('\t', line.find("\t1\t") + 3), after_time.size()), after_time);
    EXPECT_EQ(std::regex_search(line, std::regex(R"(#010\[cut: \d+ bytes, limit 600\]$)")), tcp);
    EXPECT_EQ(line.find("#010Current Enviroment Variables:#010") != std::string::npos, !tcp);
  }
  // Ten records of one fault a minute; another fault's go out all the same.
  for (int i = 0; i < 12; ++i) Raise(Socket(), 103, dir_.path());
  Raise(Socket(), 104, dir_.path());
  ASSERT_EQ(Records(104, 1).size(), 1u);  // after every earlier one on the same socket
  EXPECT_EQ(Records(103, 10).size(), 10u);
}

TEST_F(Rsyslog, ADownNeverReadingOrDyingPeerCostsRaiseItsBoundAndTheBugLogIsWhole) {
  Service sink("python3 " + kServices + "/stub.py sink");
  Service dying("python3 " + kServices + "/stub.py cut 100");
  ASSERT_FALSE(sink["port"].empty() || dying["port"].empty());
  const std::string big(4 << 20, 'x');  // more than a loopback connection buffers
  // One killed in the middle; no socket; a peer that never reads; the port of the one killed.
  std::vector<std::chrono::nanoseconds> took;
  for (const std::string& peer :
       {"syslog+tcp://127.0.0.1:" + dying["port"] + "?max=8388608", "syslog+unix://" + dir_ / "g",
        "syslog+tcp://127.0.0.1:" + sink["port"] + "?max=8388608",
        "syslog+tcp://127.0.0.1:" + dying["port"] + "?max=8388608"}) {
    TempDir folder;
    took.push_back(Raise(peer, 105, folder.path(), big));
    const std::string log = ReadFile(folder / "Payroll_buglog.txt");
    EXPECT_NE(log.find("VB Error description: " + big + "\r\n"), std::string::npos) << peer;
    EXPECT_NE(log.find("* End Log Error Stack for Payroll.EXE ver. 1.2.30\r\n"), std::string::npos);
  }
  // Against the last, refused at once after making the same record: no more than the deadline,
  // with the slack of a machine shared with builds (a sanitized build's times say nothing).
#ifndef __SANITIZE_ADDRESS__
  for (const auto t : took) EXPECT_LE(t, took.back() + 250ms + 750ms) << t.count() / 1000000;
#endif
}

// --- systemd-journald: one run for the suite. ----------------------------------------------

// The entries of `journalctl -o export`: "NAME=value\n", or "NAME\n" + 64-bit size + value +
// "\n"; an empty line ends an entry.
std::vector<Fields> ReadExport(const std::string& bytes) {
  std::vector<Fields> entries(1);
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

// A raised error, the same with a report of over 300 KB (sent in a sealed memory file: three
// variables of 100,000 bytes, the most one may hold), and a crash, each to the journal and to
// /dev/log, by the crash host.
TEST(Journal, EveryFieldOfARaisedErrorTheWholeReportACrashAndRfc5424OnDevLog) {
  TempDir dir;
  const std::string d = dir.path(), host = COBALTMOTH_TEST_CRASH_HOST;
  testing::WriteFile(d + "/run.sh", "cd " + d + " && mkdir a b c\nexport COBALTMOTH_UI=none "
                     "COBALTMOTH_REPORT_TO='journal;syslog'\n" + host + " raise a\nfor i in 1 2 3"
                     "; do export BIG$i=$(head -c 100000 /dev/zero | tr '\\0' x); done\n" +
                     host + " raise b\n" + host + " abort c\n");
  const int status = testing::ExitCode(
      std::system((kServices + "/journal.sh " + d + " sh " + d + "/run.sh 2>/dev/null").c_str()));
  if (status == 77 && !std::getenv("COBALTMOTH_REQUIRE_SERVICES")) GTEST_SKIP() << "not root";
  ASSERT_EQ(status, 134) << "journal.sh: the crash host's abort is its last status";
  std::system(("journalctl -D " + d + "/log/journal -o export >" + d + "/export").c_str());
  Fields raised, big, crash, syslog;
  for (Fields& entry : ReadExport(ReadFile(d + "/export"))) {
    const bool large = entry["COBALTMOTH_REPORT"].find("\nBIG1=") != std::string::npos;
    if (entry["MESSAGE_ID"] == "e05c9d82bf314f92a10d3c0d0b98c8ea") (large ? big : raised) = entry;
    if (entry["MESSAGE_ID"] == "aa5da1f57486427babbf531357e50c8c") crash = entry;
    if (entry["_TRANSPORT"] == "syslog" && entry["PRIORITY"] == "3") syslog = entry;
  }
  // Every field as sent: the record made again from the bug log, which has the same report
  // (its environment's secrets filtered on the way out). The crash's was sent by
  // cobaltmoth-crash, with the host's own frames in its fingerprint.
  const auto expect_sent = [&](Fields& got, const std::string& folder, delivery::Record sent) {
    std::string log = ReadFile(dir / (folder + "/Payroll_buglog.txt"));
    const std::size_t start = log.find("The Application:");
    log = log.substr(start, log.find("\r\n" + std::string(80, '-') + "\r\n* End") - start);
    sent.report = bughandling::FilterReportSecrets(runtime::FromWindows1252(log));
    sent.process_id = std::uint32_t(std::stoul(got["SYSLOG_PID"]));
    delivery::Complete(sent, u"cobaltmoth_crash_host");
    const Fields fields = ReadExport(delivery::JournalRecord(sent))[0];
    EXPECT_EQ(fields.size(), 16u + sent.crash);  // and the native stack
    for (const auto& [name, value] : fields) EXPECT_EQ(got[name], value) << name;
    return sent.fingerprint;
  };
  const delivery::Record payroll{.app_name = u"Payroll", .app_version = u"1.2.30", .number = 11,
                                 .description = u"SIGSEGV: invalid memory reference at address 0x0",
                                 .module_name = u"modDb", .proc_name = u"SaveOrder", .line = 120,
                                 .critical = true};
  expect_sent(raised, "a", payroll);
  expect_sent(big, "b", payroll);  // its report whole, over 300 KB
  delivery::Record crashed = payroll;
  crashed.crash = true, crashed.number = 6, crashed.description = u"SIGABRT: aborted";
  EXPECT_NE(expect_sent(crash, "c", crashed), delivery::Fingerprint(6, u"modDb", u"SaveOrder", {}));
  EXPECT_NE(crash["SYSLOG_PID"], crash["_PID"]);
  // The raised error's RFC 5424 record on /dev/log, which journald reads.
  EXPECT_TRUE(std::regex_search(syslog["MESSAGE"], std::regex(
      "^1 \\S+ \\S+ Payroll \\d+ report \\[cobaltmoth@32473 number=\"11\" module=\"modDb\" .*\\] "
      "\xEF\xBB\xBFPayroll 1.2.30: error 11 in modDb.SaveOrder at line 120: SIGSEGV")));
}

}  // namespace
}  // namespace cobaltmoth
