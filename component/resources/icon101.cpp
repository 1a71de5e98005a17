#include "component/resources/icon101.hpp"

namespace cobaltmoth::component::resources {
namespace {
#include "component/resources/icon101.inc"
}  // namespace

static_assert(sizeof kIcon101Ico == 6 + 16 + 744);
static_assert(sizeof kIcon101Rgba == kIcon101Size * kIcon101Size * 4);

std::span<const std::uint8_t> Icon101Ico() noexcept { return kIcon101Ico; }
std::span<const std::uint8_t> Icon101Rgba() noexcept { return kIcon101Rgba; }

}  // namespace cobaltmoth::component::resources
