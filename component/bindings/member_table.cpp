// The public interface of the library as data; see member_table.hpp.
#include "component/bindings/member_table.hpp"

#include "runtime/text.hpp"

namespace cobaltmoth::component::bindings {
namespace {

using K = MemberKind;
using T = HostType;

// Init's parameters, the same for both classes.
constexpr Param kInitParams[] = {
    {u"AppName", T::kString},       {u"AppMajor", T::kInteger}, {u"AppMinor", T::kInteger},
    {u"AppRevision", T::kInteger},  {u"AppPath", T::kString},
    {u"ProjectType", T::kProjectType},
};
constexpr Param kBooleanValue[] = {{u"", T::kBoolean}};
constexpr Param kStringValue[] = {{u"", T::kString}};
constexpr Param kEnterProcParams[] = {{u"ModuleName", T::kString},
                                      {u"ProcName", T::kString, /*by_ref=*/true}};
constexpr Param kExitProcParams[] = {{u"ModuleName", T::kString}, {u"ProcName", T::kString}};
constexpr Param kCommentParams[] = {{u"Comment", T::kString}};
constexpr Param kRaiseParams[] = {
    {u"ModuleName", T::kString},
    {u"ProcName", T::kString},
    {u"tError", T::kErrObject},
    {u"onLineNumber", T::kLong, false, /*optional=*/true, /*has_default=*/true, 0},
    {u"isCritical", T::kBoolean, false, /*optional=*/true, /*has_default=*/true, -1},
};
constexpr Param kProcStacReference[] = {{u"", T::kProcStac, /*by_ref=*/true}};

constexpr std::u16string_view kHelpDump =
    u"Produce l'output con l'ordine dello stack degli EnterProc attualmente attivi fino ad una "
    u"profondita' impostata dalla proprieta' size";
constexpr std::u16string_view kHelpExitProc =
    u"Uscita dalla procedura ProcName del modulo ModuleName";
constexpr std::u16string_view kHelpStacLogOnFile =
    u"Indica se fare il log di ogni EnterProc e ExitProc su file";
constexpr std::u16string_view kHelpStacLogFilePath =
    u"Path di un eventuale file su cui si vuole che venga loggato lo stack delle chiamate";
constexpr std::u16string_view kHelpStacEnabled =
    u"Indica se la classe deve loggare effettivamente lo stack delle procedure";

// _ProcStac, in slot order; list_position is the place in the library's member list.
constexpr Member kProcStacMembers[] = {
    {0x60030003, K::kMethod, u"Init", kInitParams, T::kVoid, u"", 0},
    {0x60030005, K::kMethod, u"Dump", {}, T::kString, kHelpDump, 1},
    {0x60030006, K::kMethod, u"EnterProc", kEnterProcParams, T::kVoid, u"", 2},
    {0x60030007, K::kMethod, u"ExitProc", kExitProcParams, T::kVoid, kHelpExitProc, 3},
    {0x60030008, K::kMethod, u"Terminate", {}, T::kVoid, u"", 5},
    {0x68030002, K::kPropertyLet, u"LogOnFile", kBooleanValue, T::kVoid, kHelpStacLogOnFile, 6},
    {0x68030002, K::kPropertyGet, u"LogOnFile", {}, T::kBoolean, kHelpStacLogOnFile, 7},
    {0x68030001, K::kPropertyLet, u"LogFilePath", kStringValue, T::kVoid, kHelpStacLogFilePath,
     8},
    {0x68030001, K::kPropertyGet, u"LogFilePath", {}, T::kString, kHelpStacLogFilePath, 9},
    {0x68030000, K::kPropertyLet, u"Enabled", kBooleanValue, T::kVoid, kHelpStacEnabled, 10},
    {0x68030000, K::kPropertyGet, u"Enabled", {}, T::kBoolean, kHelpStacEnabled, 11},
    {0x6003000A, K::kMethod, u"PrintComment", kCommentParams, T::kVoid, u"", 4},
};

constexpr std::u16string_view kHelpProcBug =
    u"Produce an output more complete about runtime error with info about procedure, module "
    u"name and number line where error appeared.";
constexpr std::u16string_view kHelpLogOnReport =
    u"In caso di bug effettuare la notifica su report a video";
constexpr std::u16string_view kHelpLogOnMsgBox =
    u"In caso di bug effettuare la notifica su MessageBox";
constexpr std::u16string_view kHelpBugLogOnFile = u"In caso di bug effettuare la notifica su file";
constexpr std::u16string_view kHelpBugLogFilePath =
    u"Path di un eventuale file su cui effettuare il log dei buchi.";
constexpr std::u16string_view kHelpEndOnError =
    u"Indica Se, dopo aver effettuato tutte le procedure necessarie ad evidenziare l'errore, "
    u"l'applicazione debba terminare o continuare ignorando l'errore.";
constexpr std::u16string_view kHelpBugEnabled =
    u"Indica se la classe reagisce al bug o e' passiva delegando la gestione dell'errore al "
    u"Visual Basic";

// _ProcBug, in slot order.
constexpr Member kProcBugMembers[] = {
    {0x60030009, K::kMethod, u"Init", kInitParams, T::kVoid, u"", 0},
    {0x6003000C, K::kMethod, u"Raise", kRaiseParams, T::kVoid, u"", 2},
    {0x68030006, K::kPropertyLet, u"LogOnReport", kBooleanValue, T::kVoid, kHelpLogOnReport, 3},
    {0x68030006, K::kPropertyGet, u"LogOnReport", {}, T::kBoolean, kHelpLogOnReport, 4},
    {0x68030005, K::kPropertyLet, u"LogOnMsgBox", kBooleanValue, T::kVoid, kHelpLogOnMsgBox, 5},
    {0x68030005, K::kPropertyGet, u"LogOnMsgBox", {}, T::kBoolean, kHelpLogOnMsgBox, 6},
    {0x68030004, K::kPropertyLet, u"LogOnFile", kBooleanValue, T::kVoid, kHelpBugLogOnFile, 7},
    {0x68030004, K::kPropertyGet, u"LogOnFile", {}, T::kBoolean, kHelpBugLogOnFile, 8},
    {0x68030003, K::kPropertyLet, u"LogFilePath", kStringValue, T::kVoid, kHelpBugLogFilePath,
     9},
    {0x68030003, K::kPropertyGet, u"LogFilePath", {}, T::kString, kHelpBugLogFilePath, 10},
    {0x68030002, K::kPropertyLet, u"EndOnError", kBooleanValue, T::kVoid, kHelpEndOnError, 11},
    {0x68030002, K::kPropertyGet, u"EndOnError", {}, T::kBoolean, kHelpEndOnError, 12},
    {0x68030001, K::kPropertyLet, u"Enabled", kBooleanValue, T::kVoid, kHelpBugEnabled, 13},
    {0x68030001, K::kPropertyGet, u"Enabled", {}, T::kBoolean, kHelpBugEnabled, 14},
    {0x68030000, K::kPropertySet, u"ProcStack", kProcStacReference, T::kVoid, u"", 15},
    {0x68030000, K::kPropertyGet, u"ProcStack", {}, T::kProcStac, u"", 16},
    {0x6003000F, K::kMethod, u"Terminate", {}, T::kVoid, u"", 1},
    {0x68030011, K::kPropertyGet, u"SupportFax", {}, T::kString, u"", 17},
    {0x68030011, K::kPropertyLet, u"SupportFax", kStringValue, T::kVoid, u"", 18},
    {0x68030010, K::kPropertyLet, u"SupportMail", kStringValue, T::kVoid, u"", 19},
    {0x68030010, K::kPropertyGet, u"SupportMail", {}, T::kString, u"", 20},
};

constexpr EarlierInterface kProcStacEarlier[] = {
    {u"ProcStac___v0",
     {0x0c7485a4, 0x0ce5, 0x4ea6, {0x94, 0xa2, 0x6e, 0x0c, 0xe5, 0x91, 0xa6, 0x5c}},
     {1, 0}},
};
constexpr EarlierInterface kProcBugEarlier[] = {
    {u"ProcBug___v0",
     {0x7d067328, 0x9d09, 0x4ecf, {0xa9, 0xc5, 0x94, 0xfb, 0x10, 0x20, 0xeb, 0x15}},
     {1, 0}},
    {u"ProcBug___v1",
     {0xcc718c2c, 0x8860, 0x4122, {0x85, 0x88, 0xfc, 0xaa, 0x4a, 0x46, 0x18, 0x97}},
     {1, 1}},
};

constexpr ClassInfo kProcStac = {
    u"ProcStac",
    u"_ProcStac",
    {0x4e710633, 0x6bd6, 0x42db, {0x9b, 0x3a, 0x3c, 0xe8, 0xc5, 0x24, 0x3d, 0x88}},
    {0xc6e280ac, 0xe6bb, 0x4c37, {0x8d, 0x31, 0x2e, 0x94, 0xb3, 0xaf, 0xf5, 0xab}},
    {1, 1},
    u"",
    kProcStacMembers,
    kProcStacEarlier,
};

constexpr ClassInfo kProcBug = {
    u"ProcBug",
    u"_ProcBug",
    {0x61eaacdf, 0xde87, 0x405c, {0x93, 0xf2, 0x4d, 0x96, 0x17, 0x56, 0xbc, 0x72}},
    {0x5557ab0e, 0xf33c, 0x49df, {0xb2, 0x19, 0x0c, 0xf8, 0xe1, 0xcb, 0xc3, 0x8e}},
    {1, 2},
    kHelpProcBug,
    kProcBugMembers,
    kProcBugEarlier,
};

constexpr EnumMember kProjectTypes[] = {
    {u"Exe Standard", 0},
    {u"Exe ActiveX", 1},
    {u"Dll ActiveX", 2},
    {u"Ocx ActiveX Control", 3},
};

constexpr LibraryInfo kLibrary = {
    u"Cobaltmoth",
    u"Quorbit Cobaltmoth - A trace procedure and bug log library",
    {0x98742f11, 0xbbd2, 0x49c6, {0xb7, 0xd6, 0xd3, 0x9c, 0xf1, 0x51, 0x92, 0x0e}},
    {8, 3},
    1033,
    u"cbmProjectType",
    {1, 0},
    kProjectTypes,
};

bool SameName(std::u16string_view a, std::u16string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (runtime::LowerUnit(a[i]) != runtime::LowerUnit(b[i])) return false;
  }
  return true;
}

}  // namespace

const LibraryInfo& Library() noexcept { return kLibrary; }
const ClassInfo& ProcStacClass() noexcept { return kProcStac; }
const ClassInfo& ProcBugClass() noexcept { return kProcBug; }

const Member* FindMember(const ClassInfo& cls, std::u16string_view name,
                         MemberKind kind) noexcept {
  for (const Member& m : cls.members) {
    if (m.kind == kind && SameName(m.name, name)) return &m;
  }
  return nullptr;
}

std::int32_t DispatchId(const ClassInfo& cls, std::u16string_view name) noexcept {
  for (const Member& m : cls.members) {
    if (SameName(m.name, name)) return m.dispid;
  }
  return -1;
}

const Member* FindMember(const ClassInfo& cls, std::int32_t dispid, MemberKind kind) noexcept {
  for (const Member& m : cls.members) {
    if (m.kind == kind && m.dispid == dispid) return &m;
  }
  return nullptr;
}

}  // namespace cobaltmoth::component::bindings
