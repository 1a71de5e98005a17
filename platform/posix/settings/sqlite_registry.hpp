// platform/posix/settings/sqlite_registry.hpp - the settings store on Linux: one SQLite
// database per hive, in the registry's shape (platform/registry.hpp).
//
// Thread-safety: the store may be used from any thread; see platform/registry.hpp.
#pragma once

#include <memory>
#include <string>

#include "platform/registry.hpp"

namespace cobaltmoth::platform::posix::settings {

// The files of the settings store's hives, one SQLite database per root (an empty name
// makes that root unopenable):
//   HKEY_CURRENT_USER    $XDG_CONFIG_HOME/cobaltmoth/user.db, ~/.config/cobaltmoth/user.db
//                        when XDG_CONFIG_HOME is unset or not an absolute path
//   HKEY_LOCAL_MACHINE   /etc/cobaltmoth/machine.db
// When COBALTMOTH_REGISTRY_DIR is set and not empty, both are in that folder instead
// (user.db and machine.db), for tests and for trying settings out.
struct RegistryHives {
  std::string current_user;
  std::string local_machine;
};
// The hives as the environment names them now.
RegistryHives DefaultRegistryHives();

// The store, finding its hives by DefaultRegistryHives() at every key it opens.
std::shared_ptr<Registry> MakeSqliteRegistry();
// The same with fixed hive files.
std::shared_ptr<Registry> MakeSqliteRegistry(RegistryHives hives);

}  // namespace cobaltmoth::platform::posix::settings
