// delivery/settings.hpp - the settings of report delivery, each taken whole from the first
// place that has it:
//   1. the administrator's policy:  HKEY_LOCAL_MACHINE\Software\Policies\Cobaltmoth
//   2. the host's property, once set (ProcBug::ReportTo, ProcBug::RedactSecrets)
//   3. the environment:             COBALTMOTH_REPORT_TO, COBALTMOTH_REDACT_SECRETS, ...
//   4. the user's settings:         HKEY_CURRENT_USER\Software\Cobaltmoth
// A text is a REG_SZ value, a switch a DWORD (1 on, 0 off; "1" or "0" in the environment). A
// value of another type, or another word in the environment, counts as not there. An empty
// text is a value all the same: "ReportTo" = "" in the policy sends nothing whatever the host
// says. On Linux both keys are in the library's settings store.
//
// Thread-safety: a Settings belongs to the object reading it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.hpp"
#include "platform/registry.hpp"

namespace cobaltmoth::delivery {

struct Setting {
  std::u16string_view name;      // the registry value
  std::u16string_view variable;  // the environment variable
};
inline constexpr Setting kReportToSetting{u"ReportTo", u"COBALTMOTH_REPORT_TO"};
inline constexpr Setting kRedactSecretsSetting{u"RedactSecrets", u"COBALTMOTH_REDACT_SECRETS"};

inline constexpr std::u16string_view kPolicyKey = u"Software\\Policies\\Cobaltmoth";
inline constexpr std::u16string_view kUserKey = u"Software\\Cobaltmoth";

class Settings {
 public:
  // The four places as they are now: the keys opened, the environment read.
  explicit Settings(const platform::Platform& platform);
  // The text of the first place that has it; "" when none has.
  std::u16string Text(const Setting& setting, const std::optional<std::u16string>& property) const;
  // The switch of the first place that has it; `otherwise` when none has.
  bool Switch(const Setting& setting, std::optional<bool> property, bool otherwise = false) const;

 private:
  std::optional<platform::RegValue> Value(const platform::RegKey& key,
                                          const Setting& setting) const;
  std::optional<std::u16string> Variable(const Setting& setting) const;

  platform::RegKey policy_;
  platform::RegKey user_;
  std::vector<std::u16string> environment_;
};

}  // namespace cobaltmoth::delivery
