#include "component/resources/string_table.hpp"

#include <algorithm>

namespace cobaltmoth::component::resources {
namespace {

constexpr Entry kTable[] = {
#include "component/resources/string_table.inc"
};

constexpr bool AscendingById() {
  for (std::size_t i = 1; i < std::size(kTable); ++i) {
    if (kTable[i - 1].id >= kTable[i].id) return false;
  }
  return true;
}
static_assert(AscendingById(), "string_table.inc must be ascending by id without repeats");

}  // namespace

std::span<const Entry> Entries() noexcept { return kTable; }

std::optional<std::u16string_view> Find(std::int16_t id, std::int32_t language) noexcept {
  const auto* at = std::lower_bound(std::begin(kTable), std::end(kTable), id,
                                    [](const Entry& e, std::int16_t key) { return e.id < key; });
  if (at == std::end(kTable) || at->id != id) return std::nullopt;
  return language == platform::kItalian ? at->italian : at->english;
}

std::int32_t LanguageFromLocale(std::string_view lc_all, std::string_view lc_messages,
                                std::string_view lang) noexcept {
  for (const std::string_view value : {lc_all, lc_messages, lang}) {
    if (!value.empty()) return value.starts_with("it") ? platform::kItalian : platform::kEnglish;
  }
  return platform::kEnglish;
}

}  // namespace cobaltmoth::component::resources
