#include "support/sys_info.hpp"

#include <utility>

namespace cobaltmoth::support {

// Software\Microsoft\Windows\CurrentVersion under HKEY_LOCAL_MACHINE, as settings of the
// company "Microsoft", application "Windows", section "CurrentVersion".
SysInfo::SysInfo(std::shared_ptr<platform::Registry> registry) : settings_(std::move(registry)) {
  settings_.RootKey(platform::kHkeyLocalMachine);
  settings_.AppName(u"Windows");
  settings_.Company(u"Microsoft");
}

std::u16string SysInfo::User() const noexcept {
  return settings_.GetSetting(u"CurrentVersion", u"RegisteredOwner");
}

std::u16string SysInfo::Company() const noexcept {
  return settings_.GetSetting(u"CurrentVersion", u"RegisteredOrganization");
}

}  // namespace cobaltmoth::support
