// The USDT probes of platform/probes.hpp, with their semaphores.
#include "platform/probes.hpp"

#if defined(COBALTMOTH_PROBES)

#define _SDT_HAS_SEMAPHORES 1
#include <sys/sdt.h>

// A tracer that attaches a probe raises its semaphore; the notes name their addresses.
extern "C" {
unsigned short cobaltmoth_enter_semaphore __attribute__((section(".probes"), used)) = 0;
unsigned short cobaltmoth_exit_semaphore __attribute__((section(".probes"), used)) = 0;
unsigned short cobaltmoth_raise_semaphore __attribute__((section(".probes"), used)) = 0;
}

namespace cobaltmoth::platform::probes {

void Enter(std::string_view module_name, std::string_view proc_name, std::int32_t depth,
           std::int32_t line) noexcept {
  STAP_PROBE6(cobaltmoth, enter, module_name.data(), module_name.size(), proc_name.data(),
              proc_name.size(), depth, line);
}

void Exit(std::string_view module_name, std::string_view proc_name, std::int32_t depth,
          bool found) noexcept {
  STAP_PROBE6(cobaltmoth, exit, module_name.data(), module_name.size(), proc_name.data(),
              proc_name.size(), depth, static_cast<std::int32_t>(found));
}

void Raise(std::string_view module_name, std::string_view proc_name, std::int32_t number,
           std::int32_t line, bool critical, std::string_view description) noexcept {
  STAP_PROBE9(cobaltmoth, raise, module_name.data(), module_name.size(), proc_name.data(),
              proc_name.size(), number, line, static_cast<std::int32_t>(critical),
              description.data(), description.size());
}

}  // namespace cobaltmoth::platform::probes

#endif
