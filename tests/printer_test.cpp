// The printer: its PostScript byte for byte, and the spooler's command with stand-ins (shell
// scripts in a private folder that record their arguments and standard input, and fail with a
// message, stop reading or hang when told to).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>

#include "child_process.hpp"
#include "fakes.hpp"
#include "platform/posix/shell/postscript.hpp"
#include "platform/posix/shell/printer.hpp"

namespace cobaltmoth {
namespace {

using platform::PostScriptDocument;
using testing::TempDir;

const std::string kProlog =
    "%%BeginProlog\n"
    "/CobaltmothEncoding ISOLatin1Encoding dup length array copy def\n"
    "CobaltmothEncoding 39 /quotesingle put\n"
    "CobaltmothEncoding 45 /hyphen put\n"
    "CobaltmothEncoding 96 /grave put\n"
    "CobaltmothEncoding 128 [/Euro /.notdef /quotesinglbase /florin /quotedblbase /ellipsis "
    "/dagger /daggerdbl\n"
    " /circumflex /perthousand /Scaron /guilsinglleft /OE /.notdef /Zcaron /.notdef\n"
    " /.notdef /quoteleft /quoteright /quotedblleft /quotedblright /bullet /endash /emdash\n"
    " /tilde /trademark /scaron /guilsinglright /oe /.notdef /zcaron /Ydieresis] putinterval\n"
    "/Courier findfont dup length dict begin\n"
    " {1 index /FID ne {def} {pop pop} ifelse} forall\n"
    " /Encoding CobaltmothEncoding def\n"
    " currentdict\n"
    "end /CobaltmothFont exch definefont pop\n"
    "/L {12 mul currentpagedevice /PageSize get 1 get 36 sub exch sub 18 exch moveto show} "
    "bind def\n"
    "%%EndProlog\n";

std::string Header(int pages) {
  return "%!PS-Adobe-3.0\n"
         "%%Creator: Cobaltmoth\n"
         "%%LanguageLevel: 2\n"
         "%%Pages: " + std::to_string(pages) + "\n"
         "%%PageOrder: Ascend\n"
         "%%DocumentNeededResources: font Courier\n"
         "%%EndComments\n" + kProlog;
}

// The page comments and "showpage" of every page, for the split tests.
std::string PageMarks(const std::string& document) {
  std::string marks;
  std::size_t at = 0;
  while ((at = document.find('\n', at)) != std::string::npos) {
    const std::size_t end = document.find('\n', at + 1);
    const std::string line = document.substr(at + 1, end - at - 1);
    if (line.rfind("%%Page:", 0) == 0 || line == "showpage") marks += line + "|";
    at = end;
  }
  return marks;
}

TEST(PostScript, SmallDocumentByteForByte) {
  // Latin-1 and Windows-1252 characters, PostScript's string delimiters, a tab, a character
  // beyond the code page, an empty line inside the text and trailing line ends.
  const std::u16string text =
      u"Error 11 \u00BB Division by zero \u00AB (\u00E8\u00E0\u00F9) \\ 100\u20AC\r\n"
      u"\r\n"
      u"ab\tc\t\u65E5 it's\n"
      u"-`\r\n\r\n";
  EXPECT_EQ(PostScriptDocument(text, u"Courier", 12.0),
            Header(1) +
                "%%Page: 1 1\n"
                "/CobaltmothFont 12 selectfont\n"
                "(Error 11 \\273 Division by zero \\253 \\(\\350\\340\\371\\) \\\\ 100\\200) 1 L\n"
                "(ab      c       ? it's) 3 L\n"
                "(-`) 4 L\n"
                "showpage\n"
                "%%Trailer\n"
                "%%EOF\n");
}

TEST(PostScript, CourierByAnyOfItsNamesAndOtherFontsByTheirOwn) {
  EXPECT_NE(PostScriptDocument(u"x", u"Courier New", 12).find("\n/Courier findfont "),
            std::string::npos);
  EXPECT_NE(PostScriptDocument(u"x", u"COURIER", 12).find("\n/Courier findfont "),
            std::string::npos);
  const std::string times = PostScriptDocument(u"x", u"Times Roman", 10.5);
  EXPECT_NE(times.find("%%DocumentNeededResources: font TimesRoman\n"), std::string::npos);
  EXPECT_NE(times.find("\n/TimesRoman findfont "), std::string::npos);
  EXPECT_NE(times.find("\n/CobaltmothFont 10.5 selectfont\n"), std::string::npos);
  EXPECT_NE(times.find("\n/L {10.5 mul "), std::string::npos);
}

TEST(PostScript, AnEmptyTextIsOneBlankPageAndTheSizeMustBePositive) {
  EXPECT_EQ(PostScriptDocument(u"", u"Courier", 12.0),
            Header(1) + "%%Page: 1 1\n/CobaltmothFont 12 selectfont\nshowpage\n%%Trailer\n%%EOF\n");
  EXPECT_RUNTIME_ERROR(PostScriptDocument(u"x", u"Courier", 0), 5,
                       "Invalid procedure call or argument");
  EXPECT_RUNTIME_ERROR(PostScriptDocument(u"x", u"Courier", -12), 5,
                       "Invalid procedure call or argument");
}

TEST(PostScript, APageHoldsSixtyLinesThenTheNextStarts) {
  std::u16string text;
  for (int i = 1; i <= 121; ++i) text += u"line " + text::Decimal(i) + u"\r\n";
  const std::string document = PostScriptDocument(text, u"Courier", 12);
  EXPECT_NE(document.find("%%Pages: 3\n"), std::string::npos);
  EXPECT_EQ(PageMarks(document), "%%Page: 1 1|showpage|%%Page: 2 2|showpage|%%Page: 3 3|showpage|");
  // Line 60 closes page 1 at the bottom; 61 opens page 2 at the top; 121 alone on page 3.
  const std::size_t page2 = document.find("%%Page: 2 2\n");
  const std::size_t page3 = document.find("%%Page: 3 3\n");
  EXPECT_LT(document.find("(line 60) 60 L\nshowpage\n"), page2);
  EXPECT_EQ(document.find("(line 61) 1 L\n"),
            page2 + std::string("%%Page: 2 2\n/CobaltmothFont 12 selectfont\n").size());
  EXPECT_GT(document.find("(line 120) 60 L\nshowpage\n"), page2);
  EXPECT_EQ(document.substr(page3),
            "%%Page: 3 3\n/CobaltmothFont 12 selectfont\n(line 121) 1 L\nshowpage\n"
            "%%Trailer\n%%EOF\n");
}

TEST(PostScript, TrailingEmptyLinesStartNoPageButEmptyLinesInsideDo) {
  std::u16string sixty;
  for (int i = 0; i < 60; ++i) sixty += u"x\n";
  EXPECT_EQ(PageMarks(PostScriptDocument(sixty + u"\n\n\r\n", u"Courier", 12)),
            "%%Page: 1 1|showpage|");
  const std::string two = PostScriptDocument(sixty + u"\n\ny", u"Courier", 12);
  EXPECT_EQ(PageMarks(two), "%%Page: 1 1|showpage|%%Page: 2 2|showpage|");
  EXPECT_NE(two.find("\n(y) 3 L\nshowpage\n%%Trailer"), std::string::npos);
}

TEST(PostScript, LinesAreSplitOnlyAtLineFeedsAndNeverWrapped) {
  // A lone CR is a control character (a blank), not a line end; a long line stays one line,
  // its string continued after 200 bytes so no line of the document passes 255 characters.
  const std::u16string long_line(450, u'w');
  const std::string document = PostScriptDocument(u"a\rb\n" + long_line, u"Courier", 12);
  EXPECT_NE(document.find("\n(a b) 1 L\n"), std::string::npos);
  const std::string expected = "\n(" + std::string(200, 'w') + "\\\n" + std::string(200, 'w') +
                               "\\\n" + std::string(50, 'w') + ") 2 L\n";
  EXPECT_NE(document.find(expected), std::string::npos);
  std::size_t start = 0;
  for (std::size_t end; (end = document.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 255u);
  }
  for (unsigned char c : document) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F));
}

const std::u16string kReport =
    u"Payroll 1.2.30 \u00BB modDb.SaveOrder\r\nError 11: Division by zero (\u00E8)\r\n";

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A stand-in command at dir/name: it writes its arguments, one a line, to name.argv and its
// standard input to name.stdin, then runs `tail` (a message and an exit status).
std::string StandIn(const TempDir& dir, const std::string& name, const std::string& tail = "") {
  const std::string path = dir / name;
  std::ofstream(path) << "#!/bin/sh\n"
                      << "printf '%s\\n' \"$0\" \"$@\" > '" << path << ".argv'\n"
                      << "cat > '" << path << ".stdin'\n"
                      << tail << "\n";
  ::chmod(path.c_str(), 0755);
  return path;
}

// No child of this process is left unreaped.
void ExpectNoZombie() {
  int status = 0;
  EXPECT_LE(::waitpid(-1, &status, WNOHANG), 0);
}

TEST(PosixPrinter, HandsThePostScriptToLpOnItsStandardInput) {
  TempDir dir;
  const std::string lp = StandIn(dir, "lp");
  platform::MakePosixPrinter(lp, dir / "lpr")->PrintDocument(kReport, u"Courier", 12);
  EXPECT_EQ(Read(lp + ".argv"), lp + "\n-s\n");  // the default destination, quietly
  EXPECT_EQ(Read(lp + ".stdin"), platform::PostScriptDocument(kReport, u"Courier", 12));
  ExpectNoZombie();
}

TEST(PosixPrinter, TheSpoolersMessageReachesTheCaller) {
  TempDir dir;
  const std::string lp =
      StandIn(dir, "lp", "echo '  lp: Error - No default destination.' >&2\nexit 1");
  EXPECT_HOST_ERROR(
      platform::MakePosixPrinter(lp, dir / "lpr")->PrintDocument(kReport, u"Courier", 12), 482,
      "Cobaltmoth", "lp: Error - No default destination.");
  ExpectNoZombie();
}

TEST(PosixPrinter, AFailureWithoutAMessageOrAHungSpoolerIsPrinterError) {
  TempDir dir;
  const std::string lp = StandIn(dir, "lp", "exit 3");
  EXPECT_RUNTIME_ERROR(
      platform::MakePosixPrinter(lp, dir / "lpr")->PrintDocument(kReport, u"Courier", 12), 482,
      "Printer error");
  const std::string killed = StandIn(dir, "killed", "kill -9 $$");
  EXPECT_RUNTIME_ERROR(
      platform::MakePosixPrinter(killed, dir / "lpr")->PrintDocument(kReport, u"Courier", 12),
      482, "Printer error");
  // A spooler that hangs, before or after reading the document, is ended at the time limit.
  for (const char* tail : {"exec sleep 30 <&-", "sleep 30 & exec sleep 30"}) {
    const std::string hung = StandIn(dir, "hung", tail);
    EXPECT_RUNTIME_ERROR(platform::MakePosixPrinter(hung, dir / "lpr", 300)
                             ->PrintDocument(kReport, u"Courier", 12),
                         482, "Printer error");
  }
  ExpectNoZombie();
}

TEST(PosixPrinter, ACommandThatStopsReadingFailsWithoutSigpipe) {
  // Many pages, more than a socket buffer holds, to a command that never reads them.
  TempDir dir;
  const std::string lp = dir / "lp";
  std::ofstream(lp) << "#!/bin/sh\necho 'lp: Error - Unsupported document-format' >&2\nexit 1\n";
  ::chmod(lp.c_str(), 0755);
  std::u16string long_text;
  for (int i = 0; i < 40000; ++i) long_text += u"a line of the report that goes on for a while\n";
  EXPECT_HOST_ERROR(
      platform::MakePosixPrinter(lp, dir / "lpr")->PrintDocument(long_text, u"Courier", 12),
      482, "Cobaltmoth", "lp: Error - Unsupported document-format");
  ExpectNoZombie();
}

TEST(PosixPrinter, WithoutLpItUsesLpr) {
  TempDir dir;
  const std::string lpr = StandIn(dir, "lpr");
  platform::MakePosixPrinter(dir / "lp", lpr)->PrintDocument(kReport, u"Courier", 12);
  EXPECT_EQ(Read(lpr + ".argv"), lpr + "\n");
  EXPECT_EQ(Read(lpr + ".stdin"), platform::PostScriptDocument(kReport, u"Courier", 12));
  ExpectNoZombie();
}

TEST(PosixPrinter, WithNeitherLpNorLprTheErrorSaysSo) {
  TempDir dir;
  EXPECT_RUNTIME_ERROR(
      platform::MakePosixPrinter(dir / "lp", dir / "lpr")->PrintDocument(kReport, u"Courier", 12),
      482,
      "Printer error: cannot start the print spooler's command " + (dir / "lp") + " or " +
          (dir / "lpr") + " (No such file or directory)");
}

// The host's signal settings: SIGCHLD and SIGINT ignored, SIGUSR1 blocked; restored after.
class HostSignals {
 public:
  HostSignals() {
    old_child_ = ::signal(SIGCHLD, SIG_IGN);
    old_interrupt_ = ::signal(SIGINT, SIG_IGN);
    sigset_t block;
    ::sigemptyset(&block);
    ::sigaddset(&block, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &block, &old_mask_);
  }
  ~HostSignals() {
    ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    ::signal(SIGINT, old_interrupt_);
    ::signal(SIGCHLD, old_child_);
  }
  HostSignals(const HostSignals&) = delete;
  HostSignals& operator=(const HostSignals&) = delete;

 private:
  sighandler_t old_child_;
  sighandler_t old_interrupt_;
  sigset_t old_mask_;
};

TEST(PosixPrinter, WorksWhenTheHostIgnoresSigchldAndGivesTheCommandCleanSignals) {
  TempDir dir;
  HostSignals host;
  const std::string lp =
      StandIn(dir, "lp",
              "exec grep -E '^Sig(Blk|Ign):' /proc/self/status > '" + (dir / "signals") + "'");
  platform::MakePosixPrinter(lp, dir / "lpr")->PrintDocument(kReport, u"Courier", 12);
  EXPECT_EQ(Read(lp + ".stdin"), platform::PostScriptDocument(kReport, u"Courier", 12));
  // Nothing blocked, nothing ignored: of the kernel's masks only glibc's two internal signals
  // (32 and 33, which posix_spawn itself leaves ignored in the child) may be set.
  std::istringstream masks(Read(dir / "signals"));
  std::string blocked_name, blocked, ignored_name, ignored;
  masks >> blocked_name >> blocked >> ignored_name >> ignored;
  EXPECT_EQ(blocked_name + blocked, "SigBlk:0000000000000000");
  EXPECT_EQ(ignored_name, "SigIgn:");
  EXPECT_EQ(std::stoull(ignored, nullptr, 16) & ~0x180000000ull, 0u) << ignored;

  // Without an exit status to collect, the spooler's message still tells a failure.
  const std::string failing =
      StandIn(dir, "failing", "echo 'lp: Error - The printer or class does not exist.' >&2\nexit 1");
  EXPECT_HOST_ERROR(
      platform::MakePosixPrinter(failing, dir / "lpr")->PrintDocument(kReport, u"Courier", 12),
      482, "Cobaltmoth", "lp: Error - The printer or class does not exist.");
}

}  // namespace
}  // namespace cobaltmoth
