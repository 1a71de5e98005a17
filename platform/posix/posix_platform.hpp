// platform/posix/posix_platform.hpp - pieces of the POSIX backend that tests reach directly.
#pragma once

#include <memory>

#include "platform/platform.hpp"

namespace cobaltmoth::platform {

// A clock that writes dates in the named LC_TIME locale ("" is the user's, from LC_ALL,
// LC_TIME and LANG); an unknown name falls back to "C".
std::unique_ptr<Clock> MakeLocaleClock(const char* locale_name);

// The POSIX file system of the logs.
std::shared_ptr<FileSystem> MakePosixFileSystem();

}  // namespace cobaltmoth::platform
