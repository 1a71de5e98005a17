// The error line of the calling thread (platform/common/error_line.hpp).
#include "platform/common/error_line.hpp"

#include <cobaltmoth/error_line.hpp>

namespace cobaltmoth::platform::common {
namespace {

class ThreadErrorLineImpl final : public ErrorLine {
 public:
  std::int32_t Erl() override { return cobaltmoth::Erl(); }
};

}  // namespace

std::shared_ptr<ErrorLine> ThreadErrorLine() {
  static const auto instance = std::make_shared<ThreadErrorLineImpl>();
  return instance;
}

}  // namespace cobaltmoth::platform::common
