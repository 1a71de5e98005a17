// Late binding: the members reached by name and dispatch id do what the direct calls do, and
// arguments follow the host language's conversions, defaults and errors.
#include <cobaltmoth/late_binding.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.hpp"
#include "fake_ui.hpp"

namespace cobaltmoth {
namespace {

using testing::FakePlatform;
using testing::FakeUi;
using testing::U8;
using K = InvokeKind;

class HostErr final : public ErrorObject {
 public:
  std::u16string Description() const override { return u"Division by zero"; }
  std::int32_t Number() const override { return 11; }
};

TEST(LateBinding, NamesFindTheirDispatchIdsWithoutRegardToCase) {
  FakePlatform fake;
  LateBound tracer(std::make_shared<ProcStac>(fake.platform));
  LateBound handler(std::make_shared<ProcBug>(fake.platform));
  EXPECT_EQ(tracer.DispatchId(u"enterproc"), 0x60030006);
  EXPECT_EQ(tracer.DispatchId(u"LOGONFILE"), 0x68030002);
  EXPECT_EQ(handler.DispatchId(u"Raise"), 0x6003000C);
  EXPECT_EQ(handler.DispatchId(u"LogOnFile"), 0x68030004) << "each class its own ids";
  EXPECT_EQ(tracer.DispatchId(u"Raise"), kUnknownDispatchId);
  EXPECT_RUNTIME_ERROR(tracer.Invoke(u"Raise", K::kMethod), 438,
                       "Object doesn't support this property or method");
  EXPECT_RUNTIME_ERROR(tracer.Invoke(0x60030005, K::kPropertyLet, {u"x"}), 438,
                       "Object doesn't support this property or method");
  EXPECT_RUNTIME_ERROR(handler.Invoke(u"ProcStack", K::kPropertyLet, {LateValue()}), 438,
                       "Object doesn't support this property or method");
}

TEST(LateBinding, TheTracerDoesWhatItsDirectCallsDo) {
  FakePlatform late_fake;
  FakePlatform direct_fake;
  auto late_tracer = std::make_shared<ProcStac>(late_fake.platform);
  LateBound late(late_tracer);
  ProcStac direct(direct_fake.platform);

  // Numbers as text and as Booleans, the project type as a number.
  late.Invoke(u"Init", K::kMethod, {u"Payroll", u" 1 ", 2, u"30", u"C:\\Apps", 0});
  direct.Init(u"Payroll", 1, 2, 30, u"C:\\Apps", ExeStandard);
  late.Invoke(u"LogOnFile", K::kPropertyLet, {u"TRUE"});
  direct.LogOnFile(true);
  late.Invoke(u"EnterProc", K::kMethod, {u"modMain", u"Main"});
  direct.EnterProc(u"modMain", u"Main");
  late.Invoke(0x6003000A, K::kMethod, {42});  // PrintComment of a number: its text
  direct.PrintComment(u"42");
  late.Invoke(u"enterPROC", K::kMethod, {u"frmOrders", true});
  direct.EnterProc(u"frmOrders", u"True");

  EXPECT_EQ(std::get<std::u16string>(late.Invoke(u"Dump", K::kMethod)), direct.Dump());
  EXPECT_EQ(std::get<bool>(late.Invoke(u"LogOnFile", K::kPropertyGet)), true);
  const std::u16string log = direct.LogFilePath();
  EXPECT_EQ(std::get<std::u16string>(late.Invoke(u"LogFilePath", K::kPropertyGet)), log);
  late.Invoke(u"ExitProc", K::kMethod, {u"frmOrders", u"True"});
  direct.ExitProc(u"frmOrders", u"True");
  late.Invoke(u"Terminate", K::kMethod);
  direct.Terminate();
  EXPECT_EQ(late_fake.files->Bytes(log), direct_fake.files->Bytes(log));
  EXPECT_NE(late_fake.files->Bytes(log).find("Main"), std::string::npos);
}

TEST(LateBinding, ArgumentsFollowTheHostsConversionsAndCounts) {
  FakePlatform fake;
  LateBound late(std::make_shared<ProcStac>(fake.platform));
  const auto init = [&](LateValue major) {
    late.Invoke(u"Init", K::kMethod, {u"Payroll", major, 0, 0, u"/opt", 0});
  };
  EXPECT_RUNTIME_ERROR(init(32768), 6, "Overflow");
  EXPECT_RUNTIME_ERROR(init(u"-32769"), 6, "Overflow");
  EXPECT_RUNTIME_ERROR(init(u"1.5"), 13, "Type mismatch");
  EXPECT_RUNTIME_ERROR(init(u"one"), 13, "Type mismatch");
  EXPECT_RUNTIME_ERROR(init(std::shared_ptr<ProcStac>()), 13, "Type mismatch");
  init(true);  // True is -1
  init(-32768);
  EXPECT_RUNTIME_ERROR(late.Invoke(u"EnterProc", K::kMethod, {u"a", u"b", u"c"}), 450,
                       "Wrong number of arguments or invalid property assignment");
  EXPECT_RUNTIME_ERROR(late.Invoke(u"Init", K::kMethod, {u"Payroll"}), 450,
                       "Wrong number of arguments or invalid property assignment");
  EXPECT_RUNTIME_ERROR(late.Invoke(u"Enabled", K::kPropertyLet, {u"perhaps"}), 13,
                       "Type mismatch");
  late.Invoke(u"Enabled", K::kPropertyLet, {0});
  EXPECT_FALSE(std::get<bool>(late.Invoke(u"Enabled", K::kPropertyGet)));
  late.Invoke(u"Enabled", K::kPropertyLet, {u" 7 "});
  EXPECT_TRUE(std::get<bool>(late.Invoke(u"Enabled", K::kPropertyGet)));
}

TEST(LateBinding, RaiseTakesItsDefaultsAndKeepsItsOwnOrderOfChecks) {
  FakePlatform fake;
  FakeUi ui(fake);
  auto bug = std::make_shared<ProcBug>(fake.platform);
  LateBound late(bug);
  late.Invoke(u"Init", K::kMethod, {u"Payroll", 1, 2, 30, u"C:\\Apps", 0});
  late.Invoke(u"LogOnMsgBox", K::kPropertyLet, {true});
  late.Invoke(u"EndOnError", K::kPropertyLet, {false});
  HostErr error;
  // Line and criticality left off: line 0 (no " at line"), critical True.
  late.Invoke(u"Raise", K::kMethod, {u"frmMain", u"cmdOK_Click", &error});
  ASSERT_EQ(ui.journal->lines.size(), 1u);
  EXPECT_EQ(ui.journal->lines[0],
            "msgbox 16 [Payroll.EXE ver. 1.2.30 - Unexpected error] Error in module frmMain in "
            "the procedure cmdOK_Click\r\n\r\nThe technical references for this error is: \r\n"
            "    Number: 11\r\n    Description=Division by zero");
  EXPECT_TRUE(std::get<bool>(late.Invoke(u"EndOnError", K::kPropertyGet)));

  // A passive handler returns before it looks for the error object; an active one refuses
  // a missing object, and a value that is no object does not pass.
  auto passive = std::make_shared<ProcBug>(fake.platform);
  LateBound passive_late(passive);
  passive_late.Invoke(u"Enabled", K::kPropertyLet, {false});
  EXPECT_NO_THROW(passive_late.Invoke(u"Raise", K::kMethod, {u"m", u"p", LateValue()}));
  auto active = std::make_shared<ProcBug>(fake.platform);
  LateBound active_late(active);
  active_late.Invoke(u"Init", K::kMethod, {u"Payroll", 1, 2, 30, u"C:\\Apps", 0});
  EXPECT_RUNTIME_ERROR(active_late.Invoke(u"Raise", K::kMethod, {u"m", u"p", LateValue()}),
                       424, "Object required");
  EXPECT_RUNTIME_ERROR(active_late.Invoke(u"Raise", K::kMethod, {u"m", u"p"}), 450,
                       "Wrong number of arguments or invalid property assignment");
  EXPECT_RUNTIME_ERROR(late.Invoke(u"Raise", K::kMethod, {u"m", u"p", u"Err"}), 13,
                       "Type mismatch");
}

TEST(LateBinding, TheTracerOfAHandlerIsSetByReferenceAndReadBack) {
  FakePlatform fake;
  auto bug = std::make_shared<ProcBug>(fake.platform);
  auto tracer = std::make_shared<ProcStac>(fake.platform);
  LateBound late(bug);
  late.Invoke(u"ProcStack", K::kPropertySet, {tracer});
  EXPECT_EQ(bug->ProcStack(), tracer);
  EXPECT_EQ(std::get<std::shared_ptr<ProcStac>>(late.Invoke(u"ProcStack", K::kPropertyGet)),
            tracer);
  late.Invoke(u"ProcStack", K::kPropertySet, {LateValue()});  // Nothing
  EXPECT_EQ(bug->ProcStack(), nullptr);
  EXPECT_RUNTIME_ERROR(late.Invoke(u"ProcStack", K::kPropertySet, {u"tracer"}), 13,
                       "Type mismatch");
  late.Invoke(u"SupportMail", K::kPropertyLet, {u"help@payroll.example"});
  EXPECT_EQ(U8(std::get<std::u16string>(late.Invoke(u"supportmail", K::kPropertyGet))),
            "help@payroll.example");
}

}  // namespace
}  // namespace cobaltmoth
