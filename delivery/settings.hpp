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

#include "delivery/envelope.hpp"
#include "platform/platform.hpp"
#include "platform/registry.hpp"

namespace cobaltmoth::delivery {

struct Setting {
  std::u16string_view name;      // the registry value
  std::u16string_view variable;  // the environment variable
};
inline constexpr Setting kReportToSetting{u"ReportTo", u"COBALTMOTH_REPORT_TO"};
inline constexpr Setting kRedactSecretsSetting{u"RedactSecrets", u"COBALTMOTH_REDACT_SECRETS"};
// An error tracker's: texts, then switches.
inline constexpr Setting kEnvironmentSetting{u"Environment", u"COBALTMOTH_ENVIRONMENT"};
inline constexpr Setting kReleaseSetting{u"Release", u"COBALTMOTH_RELEASE"};
inline constexpr Setting kSendReportSetting{u"SendReport", u"COBALTMOTH_SEND_REPORT"};
inline constexpr Setting kSendUserSetting{u"SendUser", u"COBALTMOTH_SEND_USER"};

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

// What an error tracker's envelopes say, as the settings give it: Environment ("production"
// when none or empty), Release ("Payroll@1.2.30" from `app_name` and `app_version` when none
// or empty), SendReport (on unless set to 0), SendUser (off unless set to 1; the owner and
// company then read from the system's registration).
TrackerOptions ReadTrackerOptions(const platform::Platform& platform,
                                  std::u16string_view app_name, std::u16string_view app_version);

}  // namespace cobaltmoth::delivery
