// component/default_platform.hpp - the library's default platform, made by the composition
// root of the system it is built for (default_platform_posix.cpp, default_platform_windows.cpp);
// default_platform.cpp keeps the one instance the port promises.
#pragma once

#include <memory>

#include "platform/platform.hpp"

namespace cobaltmoth::component {

// Every port with this system's implementation. Called once per process.
std::shared_ptr<const platform::Platform> MakeDefaultPlatform();

}  // namespace cobaltmoth::component
