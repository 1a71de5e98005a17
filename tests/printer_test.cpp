// The printer: its PostScript byte for byte, and the spooler's command with stand-ins (shell
// scripts in a private folder that record their arguments, standard input and signal masks, and
// fail with a message, stop reading or hang when told to).
#include <signal.h>
#include <sys/stat.h>

#include <regex>

#include "fakes.hpp"
#include "platform/posix/shell/postscript.hpp"
#include "platform/posix/shell/printer.hpp"

namespace cobaltmoth {
namespace {

using platform::posix::shell::PostScriptDocument;
using testing::ReadFile, testing::TempDir, testing::U8;

const std::string kProlog =
    "%%BeginProlog\n"
    "/CobaltmothEncoding ISOLatin1Encoding dup length array copy def\n"
    "CobaltmothEncoding 39 /quotesingle put\nCobaltmothEncoding 45 /hyphen put\n"
    "CobaltmothEncoding 96 /grave put\n"
    "CobaltmothEncoding 128 [/Euro /.notdef /quotesinglbase /florin /quotedblbase /ellipsis "
    "/dagger /daggerdbl\n"
    " /circumflex /perthousand /Scaron /guilsinglleft /OE /.notdef /Zcaron /.notdef\n"
    " /.notdef /quoteleft /quoteright /quotedblleft /quotedblright /bullet /endash /emdash\n"
    " /tilde /trademark /scaron /guilsinglright /oe /.notdef /zcaron /Ydieresis] putinterval\n"
    "/Courier findfont dup length dict begin\n {1 index /FID ne {def} {pop pop} ifelse} forall\n"
    " /Encoding CobaltmothEncoding def\n currentdict\nend /CobaltmothFont exch definefont pop\n"
    "/L {12 mul currentpagedevice /PageSize get 1 get 36 sub exch sub 18 exch moveto show} "
    "bind def\n"
    "%%EndProlog\n";
const std::string kPage = "/CobaltmothFont 12 selectfont\n", kEnd = "%%Trailer\n%%EOF\n";

std::string Header(int pages) {
  return "%!PS-Adobe-3.0\n%%Creator: Cobaltmoth\n%%LanguageLevel: 2\n%%Pages: " +
         std::to_string(pages) + "\n%%PageOrder: Ascend\n%%DocumentNeededResources: font Courier\n"
         "%%EndComments\n" + kProlog;
}

std::string Courier(std::u16string_view text) { return PostScriptDocument(text, u"Courier", 12); }

TEST(PostScript, SmallEmptyAndLongLineDocumentsByteForByteOnlyAPositiveSizeAndTheFontsName) {
  // Latin-1 and Windows-1252 characters, PostScript's string delimiters, a tab, a character
  // beyond the code page, an empty line inside the text and trailing line ends.
  EXPECT_EQ(Courier(u"Error 11 \u00BB Division by zero \u00AB (\u00E8\u00E0\u00F9) \\ 100\u20AC"
                    u"\r\n\r\nab\tc\t\u65E5 it's\n-`\r\n\r\n"),
            Header(1) + "%%Page: 1 1\n" + kPage +
                "(Error 11 \\273 Division by zero \\253 \\(\\350\\340\\371\\) \\\\ 100\\200) 1 L\n"
                "(ab      c       ? it's) 3 L\n"
                "(-`) 4 L\n"
                "showpage\n" + kEnd);
  EXPECT_EQ(Courier(u""), Header(1) + "%%Page: 1 1\n" + kPage + "showpage\n" + kEnd);
  // A lone CR is a control character (a blank), not a line end; a long line stays one line,
  // its string continued after 200 bytes so no line of the document passes 255 characters,
  // and a "%" that would begin a line of the document written in octal.
  EXPECT_EQ(Courier(u"a\rb\n" + std::u16string(200, u'w') + u"%" + std::u16string(249, u'w')),
            Header(1) + "%%Page: 1 1\n" + kPage + "(a b) 1 L\n(" + std::string(200, 'w') +
                "\\\n\\045" + std::string(199, 'w') + "\\\n" + std::string(50, 'w') +
                ") 2 L\nshowpage\n" + kEnd);
  for (const double size : {0.0, -12.0}) {
    EXPECT_RUNTIME_ERROR(PostScriptDocument(u"x", u"Courier", size), 5,
                         "Invalid procedure call or argument");
  }
  // Courier by any of its names, other fonts by their own.
  for (const char16_t* courier : {u"Courier New", u"COURIER"}) {
    EXPECT_EQ(PostScriptDocument(u"x", courier, 12), Courier(u"x")) << U8(courier);
  }
  const std::string times = PostScriptDocument(u"x", u"Times Roman", 10.5);
  for (const char* part : {"%%DocumentNeededResources: font TimesRoman\n", "\n/L {10.5 mul ",
                           "\n/TimesRoman findfont ", "\n/CobaltmothFont 10.5 selectfont\n"}) {
    EXPECT_NE(times.find(part), std::string::npos) << part;
  }
}

TEST(PostScript, APageHoldsSixtyLinesAndTrailingEmptyLinesStartNoPage) {
  // The page comments and "showpage" of each document.
  const auto marks = [](const std::string& document) {
    std::istringstream lines(document);
    std::string found;
    for (std::string line; std::getline(lines, line);) {
      if (line == "showpage" || (line.rfind("%%Page", 0) == 0 && line.find(':') < 8)) {
        found += line + "|";  // %%Pages: or %%Page:
      }
    }
    return found;
  };
  std::u16string text, sixty;
  for (int i = 1; i <= 121; ++i) text += u"line " + runtime::Decimal(i) + u"\r\n";
  for (int i = 0; i < 60; ++i) sixty += u"x\n";
  const std::string document = Courier(text);
  EXPECT_EQ(marks(document),
            "%%Pages: 3|%%Page: 1 1|showpage|%%Page: 2 2|showpage|%%Page: 3 3|showpage|");
  // Line 60 closes page 1 at the bottom; 61 opens page 2 at the top; 121 alone on page 3.
  EXPECT_NE(document.find("\n(line 60) 60 L\nshowpage\n%%Page: 2 2\n" + kPage + "(line 61) 1 L\n"),
            std::string::npos);
  EXPECT_TRUE(document.ends_with("\n(line 120) 60 L\nshowpage\n%%Page: 3 3\n" + kPage +
                                 "(line 121) 1 L\nshowpage\n" + kEnd));
  EXPECT_EQ(marks(Courier(sixty + u"\n\n\r\n")), "%%Pages: 1|%%Page: 1 1|showpage|");
  const std::string two = Courier(sixty + u"\n\ny");  // but empty lines inside the text do
  EXPECT_EQ(marks(two), "%%Pages: 2|%%Page: 1 1|showpage|%%Page: 2 2|showpage|");
  EXPECT_NE(two.find("\n(y) 3 L\nshowpage\n%%Trailer"), std::string::npos);
}

const std::u16string kReport =
    u"Payroll 1.2.30 \u00BB modDb.SaveOrder\r\nError 11: Division by zero (\u00E8)\r\n";

// A stand-in command at dir/name that runs `body`, by default writing its arguments, one a
// line, to name.argv, its standard input to name.stdin and the signals it has blocked and
// ignored to name.signals.
std::string StandIn(const TempDir& dir, const std::string& name, const std::string& body = "") {
  const std::string path = dir / name;
  const std::string record = "printf '%s\\n' \"$0\" \"$@\" > '" + path + ".argv'; cat > '" + path +
                             ".stdin'; exec grep -E '^Sig(Blk|Ign):' /proc/self/status > '" +
                             path + ".signals'";
  testing::WriteFile(path, "#!/bin/sh\n" + (body.empty() ? record : body) + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

TEST(PosixPrinter, AFailedMissingOrHungSpoolerIs482WithItsMessage) {
  TempDir dir;
  std::u16string many;  // more than a socket buffer holds
  for (int i = 0; i < 40000; ++i) many += u"a line of the report that goes on for a while\n";
  const std::string lp = dir / "lp", missing = "Printer error: cannot start the print spooler's "
      "command " + lp + " or " + (dir / "lpr") + " (No such file or directory)";
  // The stand-in's script ("" for none), the text, the description; a hung spooler, before or
  // after reading the document, is ended at the time limit.
  const struct { const char* script; const std::u16string& text; std::string description;
                 int limit_ms = 60000; } kCases[] = {
      {"echo '  lp: Error - No default destination.' >&2; exit 1", kReport,
       "lp: Error - No default destination."},
      {"echo 'lp: Error - Unsupported document-format' >&2; exit 1", many,  // never read
       "lp: Error - Unsupported document-format"},
      {"cat >/dev/null; exit 3", kReport, "Printer error"}, {"", kReport, missing},
      {"kill -9 $$", kReport, "Printer error"}, {"exec sleep 9 <&-", kReport, "Printer error", 300},
      {"cat >/dev/null; sleep 9 & exec sleep 9", kReport, "Printer error", 300}};
  for (const auto& c : kCases) {
    if (*c.script != '\0') StandIn(dir, "lp", c.script);
    if (*c.script == '\0') ::unlink(lp.c_str());
    EXPECT_HOST_ERROR(platform::posix::shell::MakePosixPrinter(lp, dir / "lpr", c.limit_ms)
                          ->PrintDocument(c.text, u"Courier", 12),
                      482, "Cobaltmoth", c.description);
  }
  EXPECT_LE(::waitpid(-1, nullptr, WNOHANG), 0);  // no child left unreaped
}

TEST(PosixPrinter, HandsThePostScriptToLpOrToLprWithCleanSignalsWhateverTheHostsSettings) {
  // The host's signal settings: SIGCHLD and SIGINT ignored, SIGUSR1 blocked; restored after.
  struct HostSignals {
    HostSignals() {
      sigset_t block;
      ::sigemptyset(&block);
      ::sigaddset(&block, SIGUSR1);
      ::pthread_sigmask(SIG_BLOCK, &block, &mask);
    }
    ~HostSignals() {
      ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
      ::signal(SIGINT, interrupt), ::signal(SIGCHLD, child);
    }
    sighandler_t child = ::signal(SIGCHLD, SIG_IGN), interrupt = ::signal(SIGINT, SIG_IGN);
    sigset_t mask;
  };
  for (const bool host_settings : {false, true}) {
    const auto host = host_settings ? std::make_unique<HostSignals>() : nullptr;
    for (const std::string name : {"lp", "lpr"}) {  // lpr when there is no lp; lp -s: quietly
      TempDir dir;
      const std::string spooler = StandIn(dir, name), lp = dir / "lp";
      platform::posix::shell::MakePosixPrinter(lp, dir / "lpr")
          ->PrintDocument(kReport, u"Courier", 12);
      EXPECT_EQ(ReadFile(spooler + ".argv"), spooler + (name == "lp" ? "\n-s\n" : "\n"));
      EXPECT_EQ(ReadFile(spooler + ".stdin"), Courier(kReport));
      // Nothing blocked, nothing ignored: of the kernel's masks only glibc's two internal signals
      // (32 and 33, which posix_spawn itself leaves ignored in the child) may be set.
      const std::string masks = ReadFile(spooler + ".signals");
      const std::regex clean("SigBlk:\t0{16}\nSigIgn:\t0{7}[01][08]0{7}\n");
      EXPECT_TRUE(std::regex_match(masks, clean)) << masks;
      // Without an exit status to collect, the spooler's message still tells a failure.
      StandIn(dir, "lp", "echo 'lp: Error - The printer or class does not exist.' >&2; exit 1");
      EXPECT_HOST_ERROR(platform::posix::shell::MakePosixPrinter(lp, dir / "lpr")
                            ->PrintDocument(kReport, u"Courier", 12),
                        482, "Cobaltmoth", "lp: Error - The printer or class does not exist.");
    }
  }
  EXPECT_LE(::waitpid(-1, nullptr, WNOHANG), 0);  // no child left unreaped
}

}  // namespace
}  // namespace cobaltmoth
