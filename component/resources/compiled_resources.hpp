// component/resources/compiled_resources.hpp - the Resources port served from what is compiled
// into the library: the generated string table and icon 101. Portable, so every build and the
// tests' fakes can use it; the Linux build's default platform is made with it.
//
// Thread-safety: every call may come from any thread, as `language` allows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/resources.hpp"

namespace cobaltmoth::component::resources {

// Resources in the language that `language` answers at each call (a Windows language id; 1040
// gives Italian, any other English).
std::shared_ptr<platform::Resources> CompiledInResources(std::function<std::int32_t()> language);

}  // namespace cobaltmoth::component::resources
