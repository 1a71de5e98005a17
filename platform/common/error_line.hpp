// platform/common/error_line.hpp - the ErrorLine port as a C++ host keeps its error line
// (cobaltmoth::SetErl): the calling thread's own. Portable, so every build's default platform
// is made with it.
//
// Thread-safety: each thread reads its own line.
#pragma once

#include <memory>

#include "platform/platform.hpp"

namespace cobaltmoth::platform::common {

// The one instance, so that a tracer can tell it from another port and read the line directly.
std::shared_ptr<ErrorLine> ThreadErrorLine();

}  // namespace cobaltmoth::platform::common
