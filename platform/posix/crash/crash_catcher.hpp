// platform/posix/crash/crash_catcher.hpp - the POSIX backend's Crashes port: handlers for the
// fatal signals and for std::terminate that write the armed reporter's report from inside the
// crash (see crash_catcher.cpp for how a crash is handled).
#pragma once

#include <memory>

#include "platform/crashes.hpp"

namespace cobaltmoth::platform::posix::crash {

// Catching the process's fatal signals and uncaught C++ exceptions.
std::shared_ptr<Crashes> MakePosixCrashes();

}  // namespace cobaltmoth::platform::posix::crash
