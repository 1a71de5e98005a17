#include "delivery/settings.hpp"

#include "support/c_reg_settings.hpp"
#include "support/sys_info.hpp"

namespace cobaltmoth::delivery {
namespace {

std::optional<std::u16string> AsText(const std::optional<platform::RegValue>& value) {
  if (!value || value->type != platform::kRegSz) return std::nullopt;
  return support::RegTextFromBytes(value->data);
}

std::optional<bool> AsSwitch(const std::optional<platform::RegValue>& value) {
  if (!value || value->type != platform::kRegDword || value->data.size() != 4) return std::nullopt;
  const auto& d = value->data;
  if (d[1] != 0 || d[2] != 0 || d[3] != 0 || d[0] > 1) return std::nullopt;
  return d[0] == 1;
}

}  // namespace

Settings::Settings(const platform::Platform& platform) {
  if (platform.registry) {
    platform.registry->OpenKeyToRead(platform::kHkeyLocalMachine, kPolicyKey, &policy_);
    platform.registry->OpenKeyToRead(platform::kHkeyCurrentUser, kUserKey, &user_);
  }
  if (platform.environment) environment_ = platform.environment->Entries();
}

std::optional<platform::RegValue> Settings::Value(const platform::RegKey& key,
                                                  const Setting& setting) const {
  platform::RegValue value;
  if (!key || key->QueryValue(setting.name, &value) != platform::RegStatus::kOk) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::u16string> Settings::Variable(const Setting& setting) const {
  for (const std::u16string& entry : environment_) {
    if (entry.size() > setting.variable.size() && entry.starts_with(setting.variable) &&
        entry[setting.variable.size()] == u'=') {
      return entry.substr(setting.variable.size() + 1);
    }
  }
  return std::nullopt;
}

std::u16string Settings::Text(const Setting& setting,
                              const std::optional<std::u16string>& property) const {
  for (const auto& found : {AsText(Value(policy_, setting)), property, Variable(setting),
                            AsText(Value(user_, setting))}) {
    if (found) return *found;
  }
  return {};
}

bool Settings::Switch(const Setting& setting, std::optional<bool> property,
                      bool otherwise) const {
  std::optional<bool> variable;
  if (const auto text = Variable(setting); text == u"1" || text == u"0") variable = text == u"1";
  for (const auto& found :
       {AsSwitch(Value(policy_, setting)), property, variable, AsSwitch(Value(user_, setting))}) {
    if (found) return *found;
  }
  return otherwise;
}

TrackerOptions ReadTrackerOptions(const platform::Platform& platform,
                                  std::u16string_view app_name, std::u16string_view app_version) {
  const Settings settings(platform);
  TrackerOptions options;
  if (std::u16string text = settings.Text(kEnvironmentSetting, {}); !text.empty()) {
    options.environment = std::move(text);
  }
  options.release = settings.Text(kReleaseSetting, {});
  if (options.release.empty()) {
    options.release = std::u16string(app_name) + u'@' + std::u16string(app_version);
  }
  options.send_report = settings.Switch(kSendReportSetting, std::nullopt, true);
  options.send_user = settings.Switch(kSendUserSetting, std::nullopt, false);
  if (options.send_user) {
    const support::SysInfo sys_info(platform.registry);
    options.user_name = sys_info.User();
    options.company = sys_info.Company();
  }
  return options;
}

}  // namespace cobaltmoth::delivery
