// The member table: the interface's slot order, the member list's order, dispatch ids, kinds,
// parameters with their defaults, help strings and the enumeration, against literal values.
#include "component/bindings/member_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace cobaltmoth::members {
namespace {

std::vector<std::u16string> SlotNames(const ClassInfo& cls) {
  std::vector<std::u16string> names;
  for (const Member& m : cls.members) names.emplace_back(m.name);
  return names;
}

std::vector<std::u16string> ListNames(const ClassInfo& cls) {
  std::vector<std::u16string> names(cls.members.size());
  for (const Member& m : cls.members) names.at(static_cast<std::size_t>(m.list_position)) = m.name;
  return names;
}

TEST(MemberTable, ProcStacSlotsAndListOrder) {
  const ClassInfo& c = ProcStacClass();
  EXPECT_EQ(SlotNames(c), (std::vector<std::u16string>{
                              u"Init", u"Dump", u"EnterProc", u"ExitProc", u"Terminate",
                              u"LogOnFile", u"LogOnFile", u"LogFilePath", u"LogFilePath",
                              u"Enabled", u"Enabled", u"PrintComment"}));
  EXPECT_EQ(ListNames(c), (std::vector<std::u16string>{
                              u"Init", u"Dump", u"EnterProc", u"ExitProc", u"PrintComment",
                              u"Terminate", u"LogOnFile", u"LogOnFile", u"LogFilePath",
                              u"LogFilePath", u"Enabled", u"Enabled"}));
  EXPECT_EQ(c.interface_name, u"_ProcStac");
  EXPECT_EQ(c.version.major, 1);
  EXPECT_EQ(c.version.minor, 1);
  EXPECT_TRUE(c.help.empty());
  ASSERT_EQ(c.earlier.size(), 1u);
  EXPECT_EQ(c.earlier[0].name, u"ProcStac___v0");
}

TEST(MemberTable, ProcBugSlotsAndListOrder) {
  const ClassInfo& c = ProcBugClass();
  EXPECT_EQ(SlotNames(c), (std::vector<std::u16string>{
                              u"Init", u"Raise", u"LogOnReport", u"LogOnReport", u"LogOnMsgBox",
                              u"LogOnMsgBox", u"LogOnFile", u"LogOnFile", u"LogFilePath",
                              u"LogFilePath", u"EndOnError", u"EndOnError", u"Enabled",
                              u"Enabled", u"ProcStack", u"ProcStack", u"Terminate",
                              u"SupportFax", u"SupportFax", u"SupportMail", u"SupportMail"}));
  const auto list = ListNames(c);
  EXPECT_EQ(list[0], u"Init");
  EXPECT_EQ(list[1], u"Terminate");
  EXPECT_EQ(list[2], u"Raise");
  EXPECT_EQ(c.version.major, 1);
  EXPECT_EQ(c.version.minor, 2);
  ASSERT_EQ(c.earlier.size(), 2u);
  EXPECT_EQ(c.earlier[1].name, u"ProcBug___v1");
  EXPECT_EQ(c.earlier[1].version.minor, 1);
}

TEST(MemberTable, DispatchIdsAndKinds) {
  const ClassInfo& s = ProcStacClass();
  const ClassInfo& b = ProcBugClass();
  EXPECT_EQ(DispatchId(s, u"printcomment"), 0x6003000A);
  EXPECT_EQ(DispatchId(s, u"ENABLED"), 0x68030000);
  EXPECT_EQ(DispatchId(s, u"Raise"), -1);
  EXPECT_EQ(DispatchId(b, u"Raise"), 0x6003000C);
  EXPECT_EQ(DispatchId(b, u"Init"), 0x60030009);
  EXPECT_EQ(DispatchId(b, u"ProcStack"), 0x68030000);
  EXPECT_EQ(DispatchId(b, u"SupportFax"), 0x68030011);
  EXPECT_NE(FindMember(b, 0x68030000, MemberKind::kPropertySet), nullptr);
  EXPECT_EQ(FindMember(b, 0x68030000, MemberKind::kPropertyLet), nullptr);
  EXPECT_EQ(FindMember(s, 0x60030005, MemberKind::kMethod)->result, HostType::kString);
  // Within a class, one dispatch id never names two members of the same kind.
  for (const ClassInfo* c : {&s, &b}) {
    for (const Member& m : c->members) {
      EXPECT_EQ(FindMember(*c, m.dispid, m.kind), &m) << std::string(m.name.begin(), m.name.end());
    }
  }
}

TEST(MemberTable, RaiseParametersAndDefaults) {
  const Member* raise = FindMember(ProcBugClass(), u"raise", MemberKind::kMethod);
  ASSERT_NE(raise, nullptr);
  ASSERT_EQ(raise->params.size(), 5u);
  EXPECT_EQ(raise->params[2].name, u"tError");
  EXPECT_EQ(raise->params[2].type, HostType::kErrObject);
  EXPECT_FALSE(raise->params[2].optional);
  EXPECT_EQ(raise->params[3].name, u"onLineNumber");
  EXPECT_TRUE(raise->params[3].optional && raise->params[3].has_default);
  EXPECT_EQ(raise->params[3].default_value, 0);
  EXPECT_EQ(raise->params[4].type, HostType::kBoolean);
  EXPECT_EQ(raise->params[4].default_value, -1);
  const Member* enter = FindMember(ProcStacClass(), u"EnterProc", MemberKind::kMethod);
  EXPECT_FALSE(enter->params[0].by_ref);
  EXPECT_TRUE(enter->params[1].by_ref);
  const Member* set = FindMember(ProcBugClass(), u"ProcStack", MemberKind::kPropertySet);
  EXPECT_TRUE(set->params[0].by_ref);
  EXPECT_TRUE(set->params[0].name.empty());
}

TEST(MemberTable, HelpStrings) {
  EXPECT_EQ(FindMember(ProcStacClass(), u"ExitProc", MemberKind::kMethod)->help,
            u"Uscita dalla procedura ProcName del modulo ModuleName");
  EXPECT_EQ(FindMember(ProcBugClass(), u"LogFilePath", MemberKind::kPropertyGet)->help,
            u"Path di un eventuale file su cui effettuare il log dei buchi.");
  EXPECT_TRUE(FindMember(ProcBugClass(), u"SupportMail", MemberKind::kPropertyLet)->help.empty());
  EXPECT_EQ(ProcBugClass().help,
            u"Produce an output more complete about runtime error with info about procedure, "
            u"module name and number line where error appeared.");
}

// Every member of both interfaces in slot order: kind, dispatch id and help string, as the
// published interface has them.
struct Expected {
  MemberKind kind;
  std::int32_t dispid;
  std::u16string_view name;
  std::u16string_view help;
};

void ExpectMembers(const ClassInfo& cls, const std::vector<Expected>& expected) {
  ASSERT_EQ(cls.members.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Member& m = cls.members[i];
    SCOPED_TRACE(std::string(expected[i].name.begin(), expected[i].name.end()));
    EXPECT_EQ(m.name, expected[i].name);
    EXPECT_EQ(m.kind, expected[i].kind);
    EXPECT_EQ(m.dispid, expected[i].dispid);
    EXPECT_EQ(m.help, expected[i].help);
  }
}

constexpr auto kGet = MemberKind::kPropertyGet;
constexpr auto kLet = MemberKind::kPropertyLet;
constexpr auto kSet = MemberKind::kPropertySet;
constexpr auto kMethod = MemberKind::kMethod;

TEST(MemberTable, ProcStacMembersDispatchIdsAndHelpStrings) {
  const std::u16string_view log_on_file =
      u"Indica se fare il log di ogni EnterProc e ExitProc su file";
  const std::u16string_view log_file_path =
      u"Path di un eventuale file su cui si vuole che venga loggato lo stack delle chiamate";
  const std::u16string_view enabled =
      u"Indica se la classe deve loggare effettivamente lo stack delle procedure";
  ExpectMembers(ProcStacClass(),
                {{kMethod, 0x60030003, u"Init", u""},
                 {kMethod, 0x60030005, u"Dump",
                  u"Produce l'output con l'ordine dello stack degli EnterProc attualmente attivi "
                  u"fino ad una profondita' impostata dalla proprieta' size"},
                 {kMethod, 0x60030006, u"EnterProc", u""},
                 {kMethod, 0x60030007, u"ExitProc",
                  u"Uscita dalla procedura ProcName del modulo ModuleName"},
                 {kMethod, 0x60030008, u"Terminate", u""},
                 {kLet, 0x68030002, u"LogOnFile", log_on_file},
                 {kGet, 0x68030002, u"LogOnFile", log_on_file},
                 {kLet, 0x68030001, u"LogFilePath", log_file_path},
                 {kGet, 0x68030001, u"LogFilePath", log_file_path},
                 {kLet, 0x68030000, u"Enabled", enabled},
                 {kGet, 0x68030000, u"Enabled", enabled},
                 {kMethod, 0x6003000A, u"PrintComment", u""}});
}

TEST(MemberTable, ProcBugMembersDispatchIdsAndHelpStrings) {
  const std::u16string_view report = u"In caso di bug effettuare la notifica su report a video";
  const std::u16string_view box = u"In caso di bug effettuare la notifica su MessageBox";
  const std::u16string_view file = u"In caso di bug effettuare la notifica su file";
  const std::u16string_view path = u"Path di un eventuale file su cui effettuare il log dei buchi.";
  const std::u16string_view end =
      u"Indica Se, dopo aver effettuato tutte le procedure necessarie ad evidenziare l'errore, "
      u"l'applicazione debba terminare o continuare ignorando l'errore.";
  const std::u16string_view enabled =
      u"Indica se la classe reagisce al bug o e' passiva delegando la gestione dell'errore al "
      u"Visual Basic";
  ExpectMembers(ProcBugClass(),
                {{kMethod, 0x60030009, u"Init", u""},
                 {kMethod, 0x6003000C, u"Raise", u""},
                 {kLet, 0x68030006, u"LogOnReport", report},
                 {kGet, 0x68030006, u"LogOnReport", report},
                 {kLet, 0x68030005, u"LogOnMsgBox", box},
                 {kGet, 0x68030005, u"LogOnMsgBox", box},
                 {kLet, 0x68030004, u"LogOnFile", file},
                 {kGet, 0x68030004, u"LogOnFile", file},
                 {kLet, 0x68030003, u"LogFilePath", path},
                 {kGet, 0x68030003, u"LogFilePath", path},
                 {kLet, 0x68030002, u"EndOnError", end},
                 {kGet, 0x68030002, u"EndOnError", end},
                 {kLet, 0x68030001, u"Enabled", enabled},
                 {kGet, 0x68030001, u"Enabled", enabled},
                 {kSet, 0x68030000, u"ProcStack", u""},
                 {kGet, 0x68030000, u"ProcStack", u""},
                 {kMethod, 0x6003000F, u"Terminate", u""},
                 {kGet, 0x68030011, u"SupportFax", u""},
                 {kLet, 0x68030011, u"SupportFax", u""},
                 {kLet, 0x68030010, u"SupportMail", u""},
                 {kGet, 0x68030010, u"SupportMail", u""}});
}

TEST(MemberTable, LibraryAndEnumeration) {
  const LibraryInfo& lib = Library();
  EXPECT_EQ(lib.name, u"Cobaltmoth");
  EXPECT_EQ(lib.help, u"Quorbit Cobaltmoth - A trace procedure and bug log library");
  EXPECT_EQ(lib.version.major, 8);
  EXPECT_EQ(lib.version.minor, 3);
  EXPECT_EQ(lib.lcid, 1033u);
  ASSERT_EQ(lib.enum_members.size(), 4u);
  EXPECT_EQ(lib.enum_members[0].name, u"Exe Standard");
  EXPECT_EQ(lib.enum_members[3].name, u"Ocx ActiveX Control");
  EXPECT_EQ(lib.enum_members[3].value, 3);
}

}  // namespace
}  // namespace cobaltmoth::members
