#include <cobaltmoth/proc_stac.hpp>

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "fakes.hpp"
#include "tracing/stack_log_format.hpp"
#include "tracing/stack_record.hpp"

namespace cobaltmoth {
namespace {

using testing::FakePlatform;
using testing::U8;

const std::string kRule(80, '*');
const std::string kNotInitialized =
    "You must initialize this class with Init sub before using any method";
const std::u16string kLog = u"C:\\Apps\\Payroll_stacklog.txt";

// The stack log's header and footer as they appear in the file (Windows-1252 bytes).
std::string Header(const std::string& title) {
  return kRule + "\r\n* Start Log Procedure Stack for " + title +
         " begin at 12/06/2026 09:41:07\r\n" + kRule + "\r\n\r\n";
}
std::string Footer(const std::string& title) {
  return "\r\n" + kRule + "\r\n* End Log Procedure Stack for " + title + "\r\n" + kRule +
         "\r\n\r\n";
}
const std::string kTitle = "Payroll.exe ver. 1.2.30";

class ProcStacTest : public ::testing::Test {
 protected:
  std::string Log() const { return fake_.files->Bytes(kLog); }
  // The entry lines of the dump, without the header and footer lines.
  static std::string DumpBody(ProcStac& t) {
    const std::string dump = U8(t.Dump());
    std::size_t start = 0;
    for (int line = 0; line < 3; ++line) start = dump.find("\r\n", start) + 2;
    return dump.substr(start, dump.size() - start - kRule.size() - 2);
  }

  FakePlatform fake_;
};

TEST_F(ProcStacTest, InitChoosesTheExtensionAndTheLogPath) {
  auto t = fake_.NewTracer(false);
  t->LogFilePath(u"before.txt");
  t->Init(u"Payroll", 1, 2, 30, u"C:\\Apps", DllActiveX);
  EXPECT_EQ(U8(t->LogFilePath()), "C:\\Apps\\Payroll_stacklog.txt");
  EXPECT_NE(U8(t->Dump()).find("Tree for Payroll.dll ver. 1.2.30\r\n"), std::string::npos);
  t->Init(u"Payroll", 1, 2, 30, u"C:\\Apps\\", OcxActiveXControl);
  EXPECT_EQ(U8(t->LogFilePath()), "C:\\Apps\\\\Payroll_stacklog.txt");  // no separator check
  EXPECT_NE(U8(t->Dump()).find("Tree for Payroll.ocx ver."), std::string::npos);
  t->Init(u"Payroll", -1, 0, 32767, u"C:", ExeActiveX);
  EXPECT_NE(U8(t->Dump()).find("Tree for Payroll.exe ver. -1.0.32767\r\n"), std::string::npos);
  // An unknown kind keeps the file name of the last Init...
  t->Init(u"Other", 1, 2, 3, u"C:", 7);
  EXPECT_NE(U8(t->Dump()).find("Tree for Payroll.exe ver. 1.2.3\r\n"), std::string::npos);
  EXPECT_EQ(U8(t->LogFilePath()), "C:\\Other_stacklog.txt");
  // ...and leaves it empty on a fresh tracer.
  auto fresh = fake_.NewTracer(false);
  fresh->Init(u"Payroll", 1, 2, 30, u"C:\\Apps", -1);
  EXPECT_NE(U8(fresh->Dump()).find("Tree for  ver. 1.2.30\r\n"), std::string::npos);
  EXPECT_EQ(U8(fresh->LogFilePath()), "C:\\Apps\\Payroll_stacklog.txt");
  // Linux joins the folder with a slash.
  FakePlatform linux_fake(u"/");
  ProcStac on_linux(linux_fake.platform);
  on_linux.Init("Payroll", 1, 2, 30, "/opt/payroll", ExeStandard);
  EXPECT_EQ(U8(on_linux.LogFilePath()), "/opt/payroll/Payroll_stacklog.txt");
}

TEST_F(ProcStacTest, TheWholeRunOfASectionByteForByte) {
  auto t = fake_.NewTracer();
  t->LogOnFile(true);
  t->EnterProc(u"modMain", u"Main");
  t->EnterProc(u"frmOrders", u"Form_Load");
  t->PrintComment(u"loading orders");
  t->ExitProc(u"frmOrders", u"Form_Load");
  t->EnterProc(u"frmOrders", u"cmdSave_Click");
  t->EnterProc(u"modDb", u"SaveOrder");
  t->ExitProc(u"frmOrders", u"cmdSave_Click");
  t->ExitProc(u"modMain", u"Main");
  t->Terminate();
  EXPECT_EQ(Log(), Header(kTitle) +
                       "o\xBB\xBB\xBB Enter modMain::Main\r\n"
                       "|  o\xBB\xBB\xBB Enter frmOrders::Form_Load\r\n"
                       "|  | ### loading orders ###\r\n"
                       "|  o\xAB\xAB\xAB Exit  frmOrders::Form_Load\r\n"
                       "|  o\xBB\xBB\xBB Enter frmOrders::cmdSave_Click\r\n"
                       "|  |  o\xBB\xBB\xBB Enter modDb::SaveOrder\r\n"
                       "|  |  o*** Exit  modDb::SaveOrder (Exit point not found...maybe used "
                       "\"exit sub\")\r\n"
                       "|  o\xAB\xAB\xAB Exit  frmOrders::cmdSave_Click\r\n"
                       "o\xAB\xAB\xAB Exit  modMain::Main\r\n" +
                       Footer(kTitle));
  EXPECT_EQ(fake_.files->opens, 1);
}

TEST_F(ProcStacTest, ExitsMatchByKeyIgnoringCaseAndTakeTheTopmostEntry) {
  auto t = fake_.NewTracer();
  t->LogOnFile(true);
  t->EnterProc(u"Main", u"Form_Load");
  t->ExitProc(u"MAIN", u"FORM_LOAD");
  // Entries made through sites match the same way, each way round.
  const ProcSite upper(u"MAIN", u"FORM_LOAD");
  const ProcSite proper("Main", "Form_Load");
  t->EnterProc(proper);
  t->ExitProc(upper);
  t->EnterProc(upper);
  t->ExitProc(u"main", u"form_load");
  EXPECT_EQ(DumpBody(*t), "");
  EXPECT_EQ(Log(),
            Header(kTitle) +
                "o\xBB\xBB\xBB Enter Main::Form_Load\r\no\xAB\xAB\xAB Exit  Main::Form_Load\r\n"
                "o\xBB\xBB\xBB Enter Main::Form_Load\r\no\xAB\xAB\xAB Exit  Main::Form_Load\r\n"
                "o\xBB\xBB\xBB Enter MAIN::FORM_LOAD\r\no\xAB\xAB\xAB Exit  MAIN::FORM_LOAD\r\n");
  // A recursive procedure exits its topmost entry.
  t->EnterProc(u"m", u"Walk");
  t->EnterProc(u"m", u"Walk");
  t->ExitProc(u"m", u"walk");
  EXPECT_EQ(DumpBody(*t),
            "Stack Element 001 of 001 m                    - Walk                \r\n");
  t->ExitProc(u"m", u"Walk");
  // Keys join the names, so the separator can move between them.
  t->EnterProc(u"a::b", u"c");
  t->ExitProc(u"A", u"B::C");
  EXPECT_EQ(DumpBody(*t), "");
}

TEST_F(ProcStacTest, AnExitBelowTheTopUnwindsTheEntriesAbove) {
  auto t = fake_.NewTracer();
  t->LogOnFile(true);
  fake_.error_line->line = 77;
  t->EnterProc(u"A", u"a");
  fake_.error_line->line = 0;
  t->EnterProc(u"B", u"b");
  t->EnterProc(u"C", u"c");
  t->ExitProc(u"a", u"A");
  EXPECT_EQ(DumpBody(*t), "");
  EXPECT_EQ(Log(), Header(kTitle) +
                       "o\xBB\xBB\xBB Enter A::acalled @ line 77 \r\n"
                       "|  o\xBB\xBB\xBB Enter B::b\r\n"
                       "|  |  o\xBB\xBB\xBB Enter C::c\r\n"
                       "|  |  o*** Exit  C::c (Exit point not found...maybe used \"exit sub\")\r\n"
                       "|  o*** Exit  B::b (Exit point not found...maybe used \"exit sub\")\r\n"
                       "o\xAB\xAB\xAB Exit  A::a\r\n");
}

TEST_F(ProcStacTest, AnExitThatMatchesNothingEmptiesTheStackThenRaises9) {
  auto t = fake_.NewTracer();
  t->EnterProc(u"A", u"a");
  t->EnterProc(u"B", u"b");
  EXPECT_RUNTIME_ERROR(t->ExitProc(u"Z", u"z"), 9, "Subscript out of range");
  EXPECT_EQ(DumpBody(*t), "");
  const ProcSite site("Z", "z");
  t->EnterProc(u"A", u"a");
  EXPECT_RUNTIME_ERROR(t->ExitProc(site), 9, "Subscript out of range");
  EXPECT_EQ(DumpBody(*t), "");
  // On an empty stack the same error comes at once, and nothing is written.
  t->LogOnFile(true);
  EXPECT_RUNTIME_ERROR(t->ExitProc(u"A", u"a"), 9, "Subscript out of range");
  EXPECT_FALSE(fake_.files->Exists(kLog));
}

TEST_F(ProcStacTest, TheErrorLineGoesIntoTheEntryTheDumpAndTheLog) {
  auto t = fake_.NewTracer();
  t->LogOnFile(true);
  t->EnterProc(u"modMain", u"Main");
  t->EnterProc(u"frmOrders", u"Form_Load");
  fake_.error_line->line = 120;
  t->EnterProc(u"frmOrders", u"cmdSave_Click");
  EXPECT_EQ(U8(t->Dump()),
            kRule + "\r\n* Stack Procedure Tree for " + kTitle + "\r\n" + kRule + "\r\n" +
                "Stack Element 003 of 003 frmOrders            - cmdSave_Click        called @ "
                "line 120 by Form_Load\r\n"
                "Stack Element 002 of 003 frmOrders            - Form_Load           \r\n"
                "Stack Element 001 of 003 modMain              - Main                \r\n" +
                kRule + "\r\n");
  EXPECT_NE(Log().find("|  |  o\xBB\xBB\xBB Enter frmOrders::cmdSave_Clickcalled @ line 120 \r\n"),
            std::string::npos);
}

TEST_F(ProcStacTest, OnlyCommentsReachTheLogUntilLogOnFileAndNothingWhileDisabled) {
  auto t = fake_.NewTracer();
  t->EnterProc(u"m", u"p");
  t->ExitProc(u"m", u"p");
  EXPECT_FALSE(fake_.files->Exists(kLog));
  t->EnterProc(u"m", u"kept");
  t->PrintComment(u"note");
  t->LogOnFile(true);
  // Disabled: the stack stays as it is and nothing is looked at; only comments are written
  // while LogOnFile is set.
  t->Enabled(false);
  t->EnterProc(u"m", u"p");
  t->ExitProc(u"m", u"kept");
  t->ExitProc(u"never", u"entered");
  { COBALTMOTH_PROC(t, "m", "site"); }
  EXPECT_EQ(DumpBody(*t),
            "Stack Element 001 of 001 m                    - kept                \r\n");
  t->PrintComment(u"still here");
  t->LogOnFile(false);
  t->PrintComment(u"lost");
  EXPECT_EQ(Log(), Header(kTitle) + "| ### note ###\r\n| ### still here ###\r\n");
  // With an empty path, no line is written.
  auto pathless = fake_.NewTracer();
  pathless->LogFilePath(u"");
  pathless->LogOnFile(true);
  pathless->EnterProc(u"m", u"p");
  pathless->PrintComment(u"c");
  pathless->Terminate();
  EXPECT_EQ(fake_.files->opens, 1);
  EXPECT_EQ(fake_.files->files.size(), 1u);
}

TEST_F(ProcStacTest, TracingBeforeInitOrAfterTerminateRaisesAndTerminateWritesTheFooterOnce) {
  auto early = fake_.NewTracer(false);
  early->Enabled(false);  // properties work before Init
  early->LogOnFile(true);
  auto t = fake_.NewTracer();
  t->PrintComment(u"x");
  t->EnterProc(u"m", u"left on the stack");
  t->Terminate();
  t->Terminate();
  EXPECT_EQ(Log(), Header(kTitle) + "| ### x ###\r\n" + Footer(kTitle));
  for (auto call : {+[](ProcStac& p) { p.Dump(); }, +[](ProcStac& p) { p.EnterProc(u"a", u"b"); },
                    +[](ProcStac& p) { p.ExitProc(u"a", u"b"); },
                    +[](ProcStac& p) { p.PrintComment(u"c"); },
                    +[](ProcStac& p) { COBALTMOTH_PROC(p, "a", "b"); }}) {
    EXPECT_HOST_ERROR(call(*early), -2147220503, "Cobaltmoth.dll - Class ProcStac",
                      kNotInitialized);
    EXPECT_RUNTIME_ERROR(call(*t), 91, "Object variable or With block variable not set");
  }
  EXPECT_EQ(Log(), Header(kTitle) + "| ### x ###\r\n" + Footer(kTitle));
  EXPECT_EQ(fake_.files->opens, 1);
}

TEST_F(ProcStacTest, SuccessiveObjectsAppendOneSectionEachEndedByTheirReleaseIdleOnesNone) {
  fake_.files->files[kLog] = "earlier content\r\n";
  for (int i = 0; i < 2; ++i) {
    auto t = fake_.NewTracer();
    t->PrintComment(i == 0 ? u"first" : u"second");
  }
  auto idle = fake_.NewTracer();
  idle->LogOnFile(true);
  idle->Dump();
  idle.reset();
  EXPECT_EQ(fake_.files->opens, 2);
  EXPECT_EQ(Log(), "earlier content\r\n" + Header(kTitle) + "| ### first ###\r\n" +
                       Footer(kTitle) + Header(kTitle) + "| ### second ###\r\n" + Footer(kTitle));
}

TEST_F(ProcStacTest, TheLogIsMappedAsTheHostSaysOrElseAsTheEnvironmentSaysAtTheOpen) {
  const struct { StackLogMode mode; std::u16string variable; int mapped; } kCases[] = {
      {StackLogMode::kUnset, u"LANG=C", 0},
      {StackLogMode::kUnset, u"COBALTMOTH_LOG_MODE=mapped", 1},
      {StackLogMode::kWriteThrough, u"COBALTMOTH_LOG_MODE=mapped", 0},
      {StackLogMode::kMapped, u"COBALTMOTH_LOG_MODE=write-through", 1},
  };
  for (const auto& c : kCases) {
    auto t = fake_.NewTracer();
    t->LogMode(c.mode);
    fake_.environment->entries.push_back(c.variable);  // after Init, before the open
    const int before = fake_.files->mapped_opens;
    t->PrintComment(u"x");
    fake_.environment->entries.pop_back();
    EXPECT_EQ(fake_.files->mapped_opens - before, c.mapped) << U8(c.variable);
  }
}

TEST_F(ProcStacTest, TheOpenLogKeepsItsFileAndTheTitlesFollowInit) {
  auto t = fake_.NewTracer();
  t->PrintComment(u"one");
  t->LogFilePath(u"elsewhere.txt");
  t->LogOnFile(false);
  t->PrintComment(u"two");
  t->Init(u"Payroll", 2, 0, 1, u"C:\\Apps", ExeStandard);  // resets the path, not the file
  t->Terminate();
  EXPECT_FALSE(fake_.files->Exists(u"elsewhere.txt"));
  EXPECT_EQ(Log(), Header(kTitle) + "| ### one ###\r\n| ### two ###\r\n" +
                       Footer("Payroll.exe ver. 2.0.1"));
}

TEST_F(ProcStacTest, AFailedOpenIsRetriedWithAHeaderAtTheNextLine) {
  auto t = fake_.NewTracer();
  t->LogOnFile(true);
  fake_.files->open_failures = 1;
  fake_.files->open_error = 76;
  EXPECT_RUNTIME_ERROR(t->EnterProc(u"m", u"first"), 76, "Path not found");
  // The entry was made before its line failed.
  EXPECT_NE(DumpBody(*t).find("first"), std::string::npos);
  t->EnterProc(u"m", u"second");
  EXPECT_EQ(Log(), Header(kTitle) + "|  o\xBB\xBB\xBB Enter m::second\r\n");
}

TEST_F(ProcStacTest, AHeaderThatCannotBeWrittenIsWrittenAgainLater) {
  auto t = fake_.NewTracer();
  t->LogOnFile(true);
  fake_.files->write_error = 61;
  EXPECT_RUNTIME_ERROR(t->EnterProc(u"m", u"p"), 61, "Disk full");
  EXPECT_RUNTIME_ERROR(t->PrintComment(u"c"), 61, "Disk full");
  fake_.files->write_error = 0;
  t->ExitProc(u"m", u"p");
  EXPECT_EQ(fake_.files->opens, 3);
  EXPECT_EQ(Log(), Header(kTitle) + "o\xAB\xAB\xAB Exit  m::p\r\n");
  // A line that fails once the log is open leaves it open; the error reaches the caller.
  fake_.files->write_error = 70;
  EXPECT_RUNTIME_ERROR(t->PrintComment(u"lost"), 70, "Permission denied");
  fake_.files->write_error = 0;
  t->PrintComment(u"kept");
  EXPECT_EQ(fake_.files->opens, 3);
}

TEST_F(ProcStacTest, AnExitWhoseLineFailsKeepsItsEntryForTheNextTry) {
  auto t = fake_.NewTracer();
  t->LogOnFile(true);
  t->EnterProc(u"A", u"a");
  t->EnterProc(u"B", u"b");
  fake_.files->write_error = 61;
  // The unwound entry's line fails first: nothing is removed.
  EXPECT_RUNTIME_ERROR(t->ExitProc(u"A", u"a"), 61, "Disk full");
  EXPECT_EQ(DumpBody(*t),
            "Stack Element 002 of 002 B                    - b                   \r\n"
            "Stack Element 001 of 002 A                    - a                   \r\n");
  fake_.files->write_error = 0;
  t->ExitProc(u"B", u"b");
  fake_.files->write_error = 61;
  EXPECT_RUNTIME_ERROR(t->ExitProc(u"A", u"a"), 61, "Disk full");
  EXPECT_NE(DumpBody(*t).find("- a "), std::string::npos);
  fake_.files->write_error = 0;
  t->ExitProc(u"A", u"a");
  EXPECT_EQ(Log(), Header(kTitle) +
                       "o\xBB\xBB\xBB Enter A::a\r\n"
                       "|  o\xBB\xBB\xBB Enter B::b\r\n"
                       "|  o\xAB\xAB\xAB Exit  B::b\r\n"
                       "o\xAB\xAB\xAB Exit  A::a\r\n");
}

TEST_F(ProcStacTest, TheLinesKeptAtADepthFollowItsNextEntrysNamesAndLine) {
  // A site made where another ended, names of the same length, another error line.
  auto t = fake_.NewTracer();
  t->LogOnFile(true);
  alignas(ProcSite) unsigned char place[sizeof(ProcSite)];
  auto* site = new (place) ProcSite("modA", "one");
  t->EnterProc(*site);
  t->ExitProc(*site);
  site->~ProcSite();
  site = new (place) ProcSite("modB", "two");
  t->EnterProc(*site);
  fake_.error_line->line = 7;
  t->ExitProc(*site);
  t->EnterProc(*site);
  t->ExitProc(*site);
  site->~ProcSite();
  t->EnterProc(u"modB", u"twO");
  t->ExitProc(u"modB", u"twO");
  EXPECT_EQ(Log(), Header(kTitle) +
                       "o\xBB\xBB\xBB Enter modA::one\r\no\xAB\xAB\xAB Exit  modA::one\r\n"
                       "o\xBB\xBB\xBB Enter modB::two\r\no\xAB\xAB\xAB Exit  modB::two\r\n"
                       "o\xBB\xBB\xBB Enter modB::twocalled @ line 7 \r\n"
                       "o\xAB\xAB\xAB Exit  modB::two\r\n"
                       "o\xBB\xBB\xBB Enter modB::twOcalled @ line 7 \r\n"
                       "o\xAB\xAB\xAB Exit  modB::twO\r\n");
}

TEST_F(ProcStacTest, TextTheCodePageCannotHoldIsWrittenAsQuestionMarks) {
  auto t = fake_.NewTracer();
  t->LogOnFile(true);
  t->EnterProc("Caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC");  // UTF-8 in
  t->PrintComment(std::u16string(u"nul\0inside", 10) + char16_t{0xD800});
  EXPECT_EQ(Log(), Header(kTitle) + "o\xBB\xBB\xBB Enter Caf\xE9::??\r\n" +
                       std::string("| ### nul\0inside? ###\r\n", 23));
  EXPECT_NE(U8(t->Dump()).find("Caf\xC3\xA9                 - \xE6\x97\xA5\xE6\x9C\xAC"),
            std::string::npos);
}

TEST_F(ProcStacTest, DeepStacksAreTracedWhole) {
  // Every line of a deep stack is indented by its depth, so a trace that deep is logged only
  // at its top here.
  auto t = fake_.NewTracer();
  constexpr int kDepth = 100000;
  for (int i = 1; i <= kDepth; ++i) t->EnterProc(u"m", u"p" + runtime::Decimal(i));
  t->LogOnFile(true);
  t->EnterProc(u"m", u"top");
  t->ExitProc(u"m", u"top");
  std::string indent;
  for (int i = 0; i < kDepth; ++i) indent += "|  ";
  EXPECT_NE(Log().find("\r\n" + indent + "o\xAB\xAB\xAB Exit  m::top\r\n"), std::string::npos);
  const std::string dump = U8(t->Dump());
  EXPECT_NE(dump.find("\r\nStack Element 100000 of 100000 m                    - p100000 "),
            std::string::npos);
  EXPECT_NE(dump.find("\r\nStack Element 001 of 100000 m                    - p1       "),
            std::string::npos);
  t->LogOnFile(false);
  t->ExitProc(u"m", u"p1");  // unwinds all of it
  EXPECT_EQ(DumpBody(*t), "");
}

TEST(StackDump, EdgesOfTheEntryLines) {
  // A bottom entry with a line names no caller; twenty characters fill the field, longer
  // names stay whole; an empty stack is four lines.
  std::vector<tracing::StackRecord> owned(2);
  owned[0].Hold(u"m", u"p");
  owned[0].CalledByLineNumber(55);
  owned[1].Hold(u"ABCDEFGHIJKLMNOPQRST", u"abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(U8(tracing::FormatDump(runtime::ViewPiece(u"t"), owned)),
            kRule + "\r\n* Stack Procedure Tree for t\r\n" + kRule +
                "\r\nStack Element 002 of 002 ABCDEFGHIJKLMNOPQRST - abcdefghijklmnopqrstuvwxyz\r\n"
                "Stack Element 001 of 002 m                    - p                    called @ "
                "line 55\r\n" +
                kRule + "\r\n");
  EXPECT_EQ(U8(tracing::FormatDump(runtime::ViewPiece(u" ver. 1.2.3"), {})),
            kRule + "\r\n* Stack Procedure Tree for  ver. 1.2.3\r\n" + kRule + "\r\n" + kRule +
                "\r\n");
  std::u16string comment;
  tracing::AppendTraceLine(comment, 3, tracing::StackLogLineKind::Comment, u"", u"", 0);
  EXPECT_EQ(U8(comment), "|  |  | ###  ###");
}

TEST_F(ProcStacTest, ProcScopeExitsAlsoWhenAnExceptionLeaves) {
  auto t = fake_.NewTracer();
  t->LogOnFile(true);
  try {
    ProcScope outer(*t, u"modMain", u"Main");
    ProcScope inner(*t, "frmOrders", "Form_Load");
    fake_.error_line->line = 120;
    COBALTMOTH_PROC(t, "modDb", "SaveOrder");
    fake_.error_line->line = 0;
    t->EnterProc(u"modDb", u"Lost");  // unwound by the site's exit
    throw std::runtime_error("host failure");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(DumpBody(*t), "");
  EXPECT_EQ(Log(), Header(kTitle) +
                       "o\xBB\xBB\xBB Enter modMain::Main\r\n"
                       "|  o\xBB\xBB\xBB Enter frmOrders::Form_Load\r\n"
                       "|  |  o\xBB\xBB\xBB Enter modDb::SaveOrdercalled @ line 120 \r\n"
                       "|  |  |  o\xBB\xBB\xBB Enter modDb::Lost\r\n"
                       "|  |  |  o*** Exit  modDb::Lost (Exit point not found...maybe used "
                       "\"exit sub\")\r\n"
                       "|  |  o\xAB\xAB\xAB Exit  modDb::SaveOrder\r\n"
                       "|  o\xAB\xAB\xAB Exit  frmOrders::Form_Load\r\n"
                       "o\xAB\xAB\xAB Exit  modMain::Main\r\n");
  // Exit() reports what the destructor would swallow.
  ProcScope scope(*t, u"m", u"p");
  t->ExitProc(u"m", u"p");
  EXPECT_RUNTIME_ERROR(scope.Exit(), 9, "Subscript out of range");
  const ProcSite site(u"m", u"q");
  ProcSiteScope site_scope(t, site);
  t->ExitProc(u"M", u"Q");
  EXPECT_RUNTIME_ERROR(site_scope.Exit(), 9, "Subscript out of range");
}

}  // namespace
}  // namespace cobaltmoth
