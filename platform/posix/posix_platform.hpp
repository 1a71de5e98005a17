// platform/posix/posix_platform.hpp - pieces of the POSIX backend that tests reach directly.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.hpp"

namespace cobaltmoth::platform {

// A clock that writes dates in the named LC_TIME locale ("" is the user's, from LC_ALL,
// LC_TIME and LANG); an unknown name falls back to "C".
std::unique_ptr<Clock> MakeLocaleClock(const char* locale_name);

// The POSIX file system of the logs.
std::shared_ptr<FileSystem> MakePosixFileSystem();

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

// The settings store on SQLite (platform/posix/sqlite_registry.cpp), finding its hives by
// DefaultRegistryHives() at every key it opens.
std::shared_ptr<Registry> MakeSqliteRegistry();
// The same with fixed hive files.
std::shared_ptr<Registry> MakeSqliteRegistry(RegistryHives hives);

// The resources compiled into the library, in the user's language as LC_ALL, LC_MESSAGES and
// LANG give it (read from the environment at every call; see strings::LanguageFromLocale).
std::shared_ptr<Resources> MakePosixResources();

}  // namespace cobaltmoth::platform
