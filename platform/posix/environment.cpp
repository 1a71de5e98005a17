// The process environment, as a report lists it (platform/posix/posix_platform.hpp).
#include <string>
#include <vector>

#include "platform/posix/posix_platform.hpp"
#include "runtime/text.hpp"

extern char** environ;

namespace cobaltmoth::platform::posix {
namespace {

// Read afresh at each call.
class PosixEnvironment final : public Environment {
 public:
  std::vector<std::u16string> Entries() override {
    std::vector<std::u16string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      entries.push_back(runtime::FromUtf8(*entry));
    }
    return entries;
  }
};

}  // namespace

std::shared_ptr<Environment> MakePosixEnvironment() {
  return std::make_shared<PosixEnvironment>();
}

}  // namespace cobaltmoth::platform::posix
