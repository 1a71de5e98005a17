// The port's promise of one default platform a process, kept here at the top of the house.
#include "component/default_platform.hpp"

namespace cobaltmoth::platform {

std::shared_ptr<const Platform> DefaultPlatform() {
  static const std::shared_ptr<const Platform> instance = component::MakeDefaultPlatform();
  return instance;
}

}  // namespace cobaltmoth::platform
