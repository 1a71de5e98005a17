#include "tracing/stack_log_format.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "fake_platform.hpp"

namespace cobaltmoth::tracing {
namespace {

using testing::U8;

const std::string kRule(80, '*');

struct Stack {
  std::vector<std::unique_ptr<StackRecord>> owned;
  Stack& Push(std::u16string_view module_name, std::u16string_view proc_name,
              std::int32_t line = 0) {
    owned.push_back(std::make_unique<StackRecord>(module_name, proc_name));
    owned.back()->CalledByLineNumber(line);
    return *this;
  }
  std::vector<const StackRecord*> BottomFirst() const {
    std::vector<const StackRecord*> out;
    for (const auto& r : owned) out.push_back(r.get());
    return out;
  }
};

std::string Line(std::int32_t depth, StackLogLineKind kind, std::u16string_view m,
                 std::u16string_view p, std::int32_t n) {
  std::u16string out;
  AppendTraceLine(out, depth, kind, m, p, n);
  return U8(out);
}

TEST(StackDump, ThreeEntriesByteForByte) {
  Stack s;
  s.Push(u"modMain", u"Main").Push(u"frmOrders", u"Form_Load").Push(u"frmOrders",
                                                                     u"cmdSave_Click", 120);
  EXPECT_EQ(U8(FormatDump(u"Payroll.exe ver. 1.2.30", s.BottomFirst())),
            kRule + "\r\n"
            "* Stack Procedure Tree for Payroll.exe ver. 1.2.30\r\n" +
            kRule + "\r\n"
            "Stack Element 003 of 003 frmOrders            - cmdSave_Click        called @ line 120 by Form_Load\r\n"
            "Stack Element 002 of 003 frmOrders            - Form_Load           \r\n"
            "Stack Element 001 of 003 modMain              - Main                \r\n" +
            kRule + "\r\n");
}

TEST(StackDump, EmptyStackIsFourLines) {
  EXPECT_EQ(U8(FormatDump(u" ver. 1.2.3", {})),
            kRule + "\r\n* Stack Procedure Tree for  ver. 1.2.3\r\n" + kRule + "\r\n" + kRule +
                "\r\n");
}

TEST(StackDump, BottomEntryWithALineHasNoCaller) {
  Stack s;
  s.Push(u"m", u"p", 55);
  EXPECT_EQ(U8(FormatDump(u"t", s.BottomFirst())),
            kRule + "\r\n* Stack Procedure Tree for t\r\n" + kRule +
                "\r\nStack Element 001 of 001 m                    - p                    "
                "called @ line 55\r\n" + kRule + "\r\n");
}

TEST(StackDump, TwentyCharacterNamesFillTheFieldAndLongerOnesStayWhole) {
  Stack s;
  s.Push(u"ABCDEFGHIJKLMNOPQRST", u"abcdefghijklmnopqrstuvwxyz");
  const std::string dump = U8(FormatDump(u"t", s.BottomFirst()));
  EXPECT_NE(dump.find("Stack Element 001 of 001 ABCDEFGHIJKLMNOPQRST - "
                      "abcdefghijklmnopqrstuvwxyz\r\n"),
            std::string::npos);
}

TEST(StackDump, ThousandEntriesShowFourDigitPositions) {
  Stack s;
  for (int i = 0; i < 1000; ++i) s.Push(u"m", u"p", i == 999 ? -7 : 0);
  const std::string dump = U8(FormatDump(u"t", s.BottomFirst()));
  EXPECT_NE(dump.find("\r\nStack Element 1000 of 1000 m"), std::string::npos);
  EXPECT_NE(dump.find("called @ line -7 by p\r\nStack Element 999 of 1000 m"), std::string::npos);
  EXPECT_NE(dump.find("\r\nStack Element 001 of 1000 m"), std::string::npos);
}

TEST(StackLogLines, EachKindWithItsMarkerWordAndTail) {
  EXPECT_EQ(Line(2, StackLogLineKind::Enter, u"frmOrders", u"Form_Load", 0),
            "|  o\u00BB\u00BB\u00BB Enter frmOrders::Form_Load");
  EXPECT_EQ(Line(2, StackLogLineKind::Exit, u"frmOrders", u"Form_Load", 120),
            "|  o\u00AB\u00AB\u00AB Exit  frmOrders::Form_Load");
  EXPECT_EQ(Line(1, StackLogLineKind::Enter, u"frmOrders", u"cmdSave_Click", 120),
            "o\u00BB\u00BB\u00BB Enter frmOrders::cmdSave_Clickcalled @ line 120 ");
  EXPECT_EQ(Line(3, StackLogLineKind::ExitNotFound, u"modDb", u"SaveOrder", 9),
            "|  |  o*** Exit  modDb::SaveOrder (Exit point not found...maybe used \"exit sub\")");
  EXPECT_EQ(Line(0, StackLogLineKind::Comment, u"hello", u"", 0), "| ### hello ###");
  EXPECT_EQ(Line(1, StackLogLineKind::Comment, u"hello", u"", 0), "| ### hello ###");
  EXPECT_EQ(Line(3, StackLogLineKind::Comment, u"", u"", 0), "|  |  | ###  ###");
}

TEST(StackLogLines, SectionBannersAndTitle) {
  const std::u16string title = AppTitle(u"Payroll.exe", u"1", u"2", u"30");
  EXPECT_EQ(U8(title), "Payroll.exe ver. 1.2.30");
  EXPECT_EQ(U8(SectionStartLine(title, u"12/06/2026 09:41:07")),
            "* Start Log Procedure Stack for Payroll.exe ver. 1.2.30 begin at 12/06/2026 09:41:07");
  EXPECT_EQ(U8(SectionEndLine(title)), "* End Log Procedure Stack for Payroll.exe ver. 1.2.30");
  EXPECT_EQ(kRuleLine.size(), 80u);
}

}  // namespace
}  // namespace cobaltmoth::tracing
