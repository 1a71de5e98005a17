// support/sys_info.hpp - SysInfo, the machine's registered owner and organisation.
//
// Both are read from the machine's part of the settings store, afresh at every call: the
// values "RegisteredOwner" and "RegisteredOrganization" of the key
//   HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion
// A value that is missing or cannot be read is the empty text; nothing here fails. On Linux
// an administrator sets them with
//   cobaltmoth-reg set HKLM 'Software\Microsoft\Windows\CurrentVersion' RegisteredOwner 'Ada'
//
// Thread-safety: none; an instance belongs to the object that made it.
#pragma once

#include <memory>
#include <string>

#include "platform/registry.hpp"
#include "support/c_reg_settings.hpp"

namespace cobaltmoth::support {

class SysInfo {
 public:
  explicit SysInfo(std::shared_ptr<platform::Registry> registry);

  // The name of the machine's registered owner.
  std::u16string User() const noexcept;
  // The name of the registered owner's organisation.
  std::u16string Company() const noexcept;

 private:
  CRegSettings settings_;
};

}  // namespace cobaltmoth::support
