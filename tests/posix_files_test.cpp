// The POSIX backend on real files: bytes on disk, failures of the file system, a process
// killed while tracing, the locale's clock.
#include <cobaltmoth/error_line.hpp>
#include <cobaltmoth/proc_stac.hpp>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <iconv.h>
#include <langinfo.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "fakes.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/posix/ring_log.hpp"

#if defined(__SANITIZE_ADDRESS__)
// glibc keeps the folders it has split from LOCPATH for newlocale and never frees them.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }
#endif

namespace cobaltmoth {
namespace {

using platform::posix::kRingBytes;
using testing::CommentTo, testing::FakePlatform, testing::ReadFile, testing::ScopedEnv,
    testing::TempDir, testing::U8;

const std::string kRule(80, '*');
const std::string kHeader = kRule + "\r\n* Start Log Procedure Stack for Payroll.exe ver. 1.2.30"
                            " begin at DATE\r\n" + kRule + "\r\n\r\n";

// The path of `name` in `dir`, as the host gives it.
std::u16string In(const TempDir& d, const std::string& name) { return runtime::FromUtf8(d / name); }

// The file's bytes, with "DATE" for the date and time of every start banner.
std::string Log(const std::string& path) {
  static const std::regex banner(" begin at [^\r\n]+\r\n");
  return std::regex_replace(ReadFile(path), banner, " begin at DATE\r\n");
}

TEST(PosixTextFile, AppendsWindows1252WithCrLfAndNeverTruncates) {
  TempDir dir;
  testing::WriteFile(dir / "log.txt", "earlier\r\n");
  const auto files = platform::posix::MakePosixFileSystem();
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
  const auto files = platform::posix::MakePosixFileSystem();
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
      // Longer than the ring: it goes in pieces, each waiting for the drain.
      t->PrintComment("caf\xC3\xA9 \xE2\x82\xAC " + std::string(kRingBytes * 3 / 2, 'x'));
    }
    EXPECT_EQ(Log(dir / "Payroll_stacklog.txt"),
              kHeader + "o\xBB\xBB\xBB Enter modMain::Main\r\n| ### caf\xE9 \x80 " +
                  std::string(kRingBytes * 3 / 2, 'x') +
                  " ###\r\no\xAB\xAB\xAB Exit  modMain::Main\r\n" + kFooter);
    EXPECT_FALSE(std::filesystem::exists(dir / "Payroll_stacklog.txt.ring"));
  }
}

TEST(PosixTracer, AMappedLogIsItsWritersAloneAndAShareOneIsWrittenThrough) {
  constexpr auto kMapped = StackLogMode::kMapped, kThrough = StackLogMode::kWriteThrough;
  TempDir dir;
  const std::string a = dir / "a", b = dir / "b";
  std::unique_ptr<ProcStac> mapped, through, late;
  // Mapped first: every other writer, of either mode, is refused while it has the log.
  ASSERT_EQ(CommentTo(a, kMapped, &mapped), 0);
  struct stat ring {};
  ASSERT_EQ(::stat((a + ".ring").c_str(), &ring), 0) << "no ring";
  EXPECT_EQ(ring.st_mode & 0777, 0600u);
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
  EXPECT_FALSE(std::filesystem::exists(a + ".ring"));
  EXPECT_EQ(CommentTo(a, kThrough), 0) << "the lock was kept";
  // Written through first: a mapped writer shares the log and writes through as well.
  ASSERT_EQ(CommentTo(b, kThrough, &through), 0);
  ASSERT_EQ(CommentTo(b, kMapped, &late), 0);
  EXPECT_FALSE(std::filesystem::exists(b + ".ring")) << "mapped while shared";
  through.reset(), late.reset();
  EXPECT_EQ(Log(b),
            kHeader + "| ### note ###\r\n" + kHeader + "| ### note ###\r\n" + kFooter + kFooter);
}

// Waits up to 5 s for the drain thread to have written the file up to `end`.
bool DrainedTo(const std::string& path, const std::string& end) {
  for (int i = 0; i < 500 && !ReadFile(path).ends_with(end); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ReadFile(path).ends_with(end);
}

TEST(PosixTracer, AFullDiskKeepsAMappedLogsLinesInItsRingAndIsTold61Once) {
  TempDir dir;
  if (::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=2m") != 0) {
    GTEST_SKIP() << "no small disk can be mounted here";
  }
  const std::unique_ptr<void, void (*)(void*)> mounted(&dir, [](void* d) {
    ::umount2(static_cast<TempDir*>(d)->path().c_str(), MNT_DETACH);
  });
  const std::string log = dir / "log.txt", filler = dir / "filler";
  const auto fill = [&filler] {
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    for (const std::string block(4096, 'f'); ::write(fd, block.data(), block.size()) > 0;) {
    }
    ::close(fd);
  };
  fill();
  EXPECT_EQ(CommentTo(log, StackLogMode::kMapped), 61) << "no room for the ring";
  EXPECT_FALSE(std::filesystem::exists(log + ".ring"));
  ::unlink(filler.c_str());
  std::unique_ptr<ProcStac> t;
  ASSERT_EQ(CommentTo(log, StackLogMode::kMapped, &t), 0);
  fill();
  // The drain fails: the writer is told at its next line, which is not taken; the lines after
  // it wait in the ring until the disk has room again.
  std::string expected = kHeader + "| ### note ###\r\n";
  int refused = 0;
  for (int i = 0; i < 400; ++i) {
    const std::string line = std::to_string(i) + std::string(100, 'x');
    try {
      t->PrintComment(line);
      expected += "| ### " + line + " ###\r\n";
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), 61);
      ++refused;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(refused, 1);
  ::unlink(filler.c_str());
  t->Terminate();
  expected += kFooter;
  EXPECT_EQ(Log(log), expected);
  // Still full when the tracer ends: the ring keeps the footer for the next open.
  ASSERT_EQ(CommentTo(log, StackLogMode::kMapped, &t), 0);
  ASSERT_TRUE(DrainedTo(log, "| ### note ###\r\n"));
  const std::string pad((4096 - (ReadFile(log).size() + 12) % 4096) % 4096, 'p');
  t->PrintComment(pad);  // the log's last page full: not even the footer fits now
  ASSERT_TRUE(DrainedTo(log, pad + " ###\r\n"));
  fill();
  EXPECT_RUNTIME_ERROR(t->Terminate(), 61, "Disk full");
  EXPECT_TRUE(std::filesystem::exists(log + ".ring"));
  ::unlink(filler.c_str());
  EXPECT_EQ(CommentTo(log), 0);
  EXPECT_EQ(Log(log), expected + kHeader + "| ### note ###\r\n| ### " + pad + " ###\r\n" + kFooter +
                         kHeader + "| ### note ###\r\n" + kFooter);
  EXPECT_FALSE(std::filesystem::exists(log + ".ring"));
}

TEST(PosixTracer, AMappedLogCutOrRemovedByAnotherProgramTakesTheNextLinesWithoutASignal) {
  TempDir dir;
  const std::string log = dir / "log.txt";
  std::unique_ptr<ProcStac> t;
  ASSERT_EQ(CommentTo(log, StackLogMode::kMapped, &t), 0);
  ASSERT_TRUE(DrainedTo(log, "| ### note ###\r\n"));
  ASSERT_EQ(::truncate(log.c_str(), 0), 0);  // as logrotate's copytruncate does
  t->PrintComment("after");
  t->Terminate();
  EXPECT_EQ(Log(log), "| ### after ###\r\n" + kFooter);
  // Removed: the lines go with the file, as a written-through log's would.
  ASSERT_EQ(CommentTo(log, StackLogMode::kMapped, &t), 0);
  ASSERT_EQ(::unlink(log.c_str()), 0);
  t->PrintComment(std::string(kRingBytes, 'x'));
  t->Terminate();
  EXPECT_FALSE(std::filesystem::exists(log));
  EXPECT_FALSE(std::filesystem::exists(log + ".ring"));
}

TEST(PosixClock, WritesTheLocalesShortDateWithTheFullYearAndItsTime) {
  // "C" and an unknown locale alike; an Italian user reads day, month and year, and the time
  // with the locale's own separator.
  const std::regex form(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)");
  const std::string now = U8(platform::posix::MakeLocaleClock("C")->NowText());
  EXPECT_TRUE(std::regex_match(now, form)) << now;
  const std::string fallback = U8(platform::posix::MakeLocaleClock("xx_NOWHERE")->NowText());
  EXPECT_TRUE(std::regex_match(fallback, form)) << fallback;
  const auto italian = platform::posix::MakeLocaleClock("it_IT.UTF-8");
  const std::string date = U8(italian->NowText());
  if (date == now) GTEST_SKIP() << "the it_IT.UTF-8 locale is not installed";
  const platform::LocalTime t = italian->Now();
  char expected[16];
  std::snprintf(expected, sizeof expected, "%02d/%02d/%04d ", t.day, t.month, t.year);
  EXPECT_EQ(date.substr(0, 11), expected) << date;
  EXPECT_TRUE(std::regex_match(date.substr(11), std::regex(R"(\d\d:\d\d:\d\d)"))) << date;
  EXPECT_EQ(U8(italian->TimeSeparator()), ":");
}

// The real clock of a locale, stopped at one moment: the names are the locale's, the date the
// test's.
class StoppedClock final : public platform::Clock {
 public:
  StoppedClock(std::unique_ptr<platform::Clock> clock, platform::LocalTime at)
      : clock_(std::move(clock)), at_(at) {}
  std::u16string NowText() override { return clock_->NowText(); }
  platform::LocalTime Now() override { return at_; }
  std::u16string TimeSeparator() override { return clock_->TimeSeparator(); }
  std::u16string DayName(int weekday) override { return clock_->DayName(weekday); }
  std::u16string MonthName(int month) override { return clock_->MonthName(month); }

 private:
  std::unique_ptr<platform::Clock> clock_;
  platform::LocalTime at_;
};

// A name the C library gives for the locale, decoded in the locale's own character set.
std::string LocaleName(const char* locale_name, nl_item item) {
  const locale_t locale = ::newlocale(LC_TIME_MASK | LC_CTYPE_MASK, locale_name, nullptr);
  if (locale == nullptr) return "(no locale)";
  std::string bytes = ::nl_langinfo_l(item, locale);
  const iconv_t to_utf8 = ::iconv_open("UTF-8", ::nl_langinfo_l(CODESET, locale));
  std::string utf8(bytes.size() * 4, '\0');
  char* in = bytes.data();
  char* out = utf8.data();
  std::size_t in_left = bytes.size(), out_left = utf8.size();
  ::iconv(to_utf8, &in, &in_left, &out, &out_left);
  ::iconv_close(to_utf8);
  ::freelocale(locale);
  utf8.resize(utf8.size() - out_left);
  return utf8;
}

TEST(PosixClock, NamesDaysAndMonthsInTheCharactersOfTheTimeLocale) {
  // The report window's date line, for users of UTF-8 and 8-bit locales: each name as the C
  // library has it, decoded in the character set of the locale it comes from. A locale the
  // machine lacks is compiled here; LOCPATH names it only while its clock is made, since it
  // hides the machine's own.
  struct Row {
    const char* locale;  // "" is the user's, with only LC_TIME Italian
    const char* source;
    const char* charmap;
    platform::LocalTime at;
  };
  const auto day = [](int d, int wd) { return platform::LocalTime{2026, 12, d, wd, 0, 15, 17}; };
  const Row rows[] = {
      {"it_IT.UTF-8", "it_IT", "UTF-8", day(6, 0)},  {"it_IT.UTF-8", "it_IT", "UTF-8", day(7, 1)},
      {"it_IT.UTF-8", "it_IT", "UTF-8", day(8, 2)},  {"it_IT.UTF-8", "it_IT", "UTF-8", day(9, 3)},
      {"it_IT.UTF-8", "it_IT", "UTF-8", day(10, 4)}, {"it_IT.UTF-8", "it_IT", "UTF-8", day(11, 5)},
      {"it_IT.UTF-8", "it_IT", "UTF-8", day(12, 6)},
      {"de_DE.UTF-8", "de_DE", "UTF-8", {2026, 3, 2, 1, 9, 5, 0}},
      {"fr_FR.UTF-8", "fr_FR", "UTF-8", {2026, 2, 2, 1, 23, 59, 59}},
      {"fr_FR.UTF-8", "fr_FR", "UTF-8", {2026, 8, 3, 1, 12, 0, 0}},
      {"fr_FR.UTF-8", "fr_FR", "UTF-8", day(7, 1)},
      {"it_IT.ISO-8859-1", "it_IT", "ISO-8859-1", day(11, 5)},
      {"", "it_IT", "UTF-8", day(7, 1)},
  };
  const TempDir compiled;
  for (const Row& row : rows) {
    const std::string name = *row.locale != '\0' ? row.locale : "it_IT.UTF-8";
    ScopedEnv env;
    const std::string folder = testing::LocaleFolder(compiled, name, row.source, row.charmap);
    if (!folder.empty()) env.Set("LOCPATH", folder);
    if (*row.locale == '\0') {
      env.Unset("LC_ALL");
      env.Set("LC_CTYPE", "C");
      env.Set("LC_TIME", name);
    }
    FakePlatform fakes;
    fakes.platform->clock =
        std::make_shared<StoppedClock>(platform::posix::MakeLocaleClock(row.locale), row.at);
    const std::string weekday = LocaleName(name.c_str(), DAY_1 + row.at.weekday);
    const std::string month = LocaleName(name.c_str(), MON_1 + row.at.month - 1);
    env.Unset("LOCPATH");

    const auto bug = fakes.NewHandler();
    bug->LogOnReport(true);
    bug->Raise(u"frmOrders", u"cmdSave_Click", 11, u"Division by zero", 120, false);
    const std::string text = U8(fakes.report_window->shown.Text());
    char expected[128];
    std::snprintf(expected, sizeof expected, "\r\n%s, %02d %s %d - %02d:%02d:%02d\r\n",
                  weekday.c_str(), row.at.day, month.c_str(), row.at.year, row.at.hour,
                  row.at.minute, row.at.second);
    EXPECT_EQ(text.substr(0, text.find("\r\n", 2) + 2), expected) << name;
    if (row.at.day == 7 && row.at.month == 12 && name == "it_IT.UTF-8") {
      EXPECT_EQ(weekday + " " + month, "luned\u00EC dicembre") << row.locale;
    }
  }
}

}  // namespace
}  // namespace cobaltmoth
