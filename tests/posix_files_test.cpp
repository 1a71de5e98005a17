// The POSIX backend on real files: bytes on disk, failures of the file system, a process
// killed while tracing, the locale's clock.
#include <cobaltmoth/error_line.hpp>
#include <cobaltmoth/proc_stac.hpp>
#include <sys/stat.h>

#include <regex>

#include "fakes.hpp"
#include "platform/posix/posix_platform.hpp"

namespace cobaltmoth {
namespace {

using testing::CommentTo, testing::ReadFile, testing::TempDir, testing::U8;

const std::string kRule(80, '*');
const std::string kHeader = kRule + "\r\n* Start Log Procedure Stack for Payroll.exe ver. 1.2.30"
                            " begin at DATE\r\n" + kRule + "\r\n\r\n";

// The path of `name` in `dir`, as the host gives it.
std::u16string In(const TempDir& d, const std::string& name) { return text::FromUtf8(d / name); }

// The file's bytes, with "DATE" for the date and time of every start banner.
std::string Log(const std::string& path) {
  static const std::regex banner(" begin at [^\r\n]+\r\n");
  return std::regex_replace(ReadFile(path), banner, " begin at DATE\r\n");
}

TEST(PosixTextFile, AppendsWindows1252WithCrLfAndNeverTruncates) {
  TempDir dir;
  testing::WriteFile(dir / "log.txt", "earlier\r\n");
  const auto files = platform::MakePosixFileSystem();
  auto stream = files->OpenTextFileForAppending(In(dir, "log.txt"));
  stream->WriteLine(u"o\u00BB\u00BB\u00BB \u20AC\u65E5");
  stream->Write(u"a"), stream->WriteBlankLines(2);
  stream->Close();
  EXPECT_RUNTIME_ERROR(stream->WriteLine(u"closed"), 52, "Bad file name or number");
  files->OpenTextFileForAppending(In(dir, "log.txt"))->WriteLine(u"again");
  EXPECT_EQ(ReadFile(dir / "log.txt"), "earlier\r\no\xBB\xBB\xBB \x80?\r\na\r\n\r\nagain\r\n");
}

TEST(PosixTextFile, FailuresBecomeTheHostsRunTimeErrors) {
  TempDir dir;
  testing::WriteFile(dir / "plain", "x");
  const auto files = platform::MakePosixFileSystem();
  const struct { std::u16string path; int number; const char* description; } kOpens[] = {
      {In(dir, "no/log.txt"), 76, "Path not found"}, {In(dir, "plain/log"), 76, "Path not found"},
      {dir.path().u16string(), 75, "Path/File access error"},
      {u"", 52, "Bad file name or number"}, {{u"a\0b", 3}, 52, "Bad file name or number"},
  };
  for (const auto& c : kOpens) {
    EXPECT_RUNTIME_ERROR(files->OpenTextFileForAppending(c.path), c.number, c.description);
  }
  // A folder that cannot be written, in a child that has given up root, who writes anywhere.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  const testing::DetachedRun run = testing::RunDetached([&](int report) {
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
    try {
      files->OpenTextFileForAppending(In(dir, "log.txt"));
    } catch (const Error& e) {
      testing::WriteString(report, std::to_string(e.Number()) + " " + U8(e.Description()));
    }
    return 0;
  });
  EXPECT_EQ(run.report, "70 Permission denied") << run.errors;
}

const std::string kFooter =
    "\r\n" + kRule + "\r\n* End Log Procedure Stack for Payroll.exe ver. 1.2.30\r\n" + kRule +
    "\r\n\r\n";

TEST(PosixTracer, WritesTheLogOnDiskByteForByteInEitherMode) {
  for (const StackLogMode mode : {StackLogMode::kWriteThrough, StackLogMode::kMapped}) {
    TempDir dir;
    {
      auto t = std::make_shared<ProcStac>();
      t->Init("Payroll", 1, 2, 30, dir.path().string(), ExeStandard);
      EXPECT_EQ(t->LogFilePath(), In(dir, "Payroll_stacklog.txt"));
      t->LogOnFile(true);
      t->LogMode(mode);
      ProcScope main(*t, "modMain", "Main");
      t->PrintComment("caf\xC3\xA9 \xE2\x82\xAC " + std::string(70000, 'x'));  // 2 chunks
    }
    EXPECT_EQ(Log(dir / "Payroll_stacklog.txt"),
              kHeader + "o\xBB\xBB\xBB Enter modMain::Main\r\n| ### caf\xE9 \x80 " +
                  std::string(70000, 'x') + " ###\r\no\xAB\xAB\xAB Exit  modMain::Main\r\n" +
                  kFooter);
  }
}

TEST(PosixTracer, AMappedLogIsItsWritersAloneAndAShareOneIsWrittenThrough) {
  constexpr auto kMapped = StackLogMode::kMapped, kThrough = StackLogMode::kWriteThrough;
  TempDir dir;
  const std::string a = dir / "a", b = dir / "b";
  std::unique_ptr<ProcStac> mapped, through, late;
  // Mapped first: every other writer, of either mode, is refused while it has the log.
  ASSERT_EQ(CommentTo(a, kMapped, &mapped), 0);
  EXPECT_EQ(ReadFile(a).back(), '\0') << "not mapped";
  EXPECT_EQ(CommentTo(a, kThrough), 70);
  EXPECT_EQ(CommentTo(a, kMapped), 70);
  // A forked copy of the tracer is refused too, and leaves the log to its parent.
  const testing::DetachedRun child = testing::RunDetached([&](int report) {
    try {
      mapped->PrintComment("child");
    } catch (const Error& e) {
      testing::WriteString(report, std::to_string(e.Number()));
    }
    mapped.reset();
    return 0;
  });
  EXPECT_EQ(child.report, "70");
  mapped->PrintComment("parent");
  mapped.reset();
  const std::string section = kHeader + "| ### note ###\r\n| ### parent ###\r\n" + kFooter;
  EXPECT_EQ(Log(a), section);
  EXPECT_EQ(CommentTo(a, kThrough), 0) << "the lock was kept";
  // Written through first: a mapped writer shares the log and writes through as well.
  ASSERT_EQ(CommentTo(b, kThrough, &through), 0);
  ASSERT_EQ(CommentTo(b, kMapped, &late), 0);
  EXPECT_NE(ReadFile(b).back(), '\0') << "mapped while shared";
  through.reset(), late.reset();
  EXPECT_EQ(Log(b), kHeader + "| ### note ###\r\n" + kHeader + "| ### note ###\r\n" + kFooter + kFooter);
}

TEST(PosixClock, WritesTheLocalesShortDateWithTheFullYearAndItsTime) {
  // "C" and an unknown locale alike; an Italian user reads day, month and year, and the time
  // with the locale's own separator.
  const std::regex form(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)");
  const std::string now = U8(platform::MakeLocaleClock("C")->NowText());
  EXPECT_TRUE(std::regex_match(now, form)) << now;
  const std::string fallback = U8(platform::MakeLocaleClock("xx_NOWHERE")->NowText());
  EXPECT_TRUE(std::regex_match(fallback, form)) << fallback;
  const auto italian = platform::MakeLocaleClock("it_IT.UTF-8");
  const std::string date = U8(italian->NowText());
  if (date == now) GTEST_SKIP() << "the it_IT.UTF-8 locale is not installed";
  const platform::LocalTime t = italian->Now();
  char expected[16];
  std::snprintf(expected, sizeof expected, "%02d/%02d/%04d ", t.day, t.month, t.year);
  EXPECT_EQ(date.substr(0, 11), expected) << date;
  EXPECT_TRUE(std::regex_match(date.substr(11), std::regex(R"(\d\d:\d\d:\d\d)"))) << date;
  EXPECT_EQ(U8(italian->TimeSeparator()), ":");
  // The report window's day and month names follow the locale too.
  EXPECT_EQ(U8(italian->DayName(0) + u" " + italian->MonthName(12)), "domenica dicembre");
  if (const locale_t german = ::newlocale(LC_TIME_MASK, "de_DE.UTF-8", nullptr); german) {
    ::freelocale(german);
    const auto clock = platform::MakeLocaleClock("de_DE.UTF-8");
    EXPECT_EQ(U8(clock->DayName(0) + u" " + clock->MonthName(12)), "Sonntag Dezember");
  }
}

}  // namespace
}  // namespace cobaltmoth
