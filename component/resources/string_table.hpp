// component/resources/string_table.hpp - the library's texts in each of its languages, compiled in.
//
// Every text the library shows (the message box, the report window, the bug log) has a numeric
// id and one text per language: 1033 English (United States) and 1040 Italian. The table has
// one source, component/resources/strings.tsv; scripts/gen_strings.py turns it into
// string_table.inc, compiled in here, and into the Windows resource script strings.rc, so both
// builds hold the same texts, byte for byte in UTF-16. For example
//   Find(10001, kItalian) == u"Errore non previsto"
//   Find(10001, kEnglish) == u"Unexpected error"
//   Find(10003, kEnglish) == std::nullopt
//
// Thread-safety: pure functions over constant data.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/resources.hpp"

namespace cobaltmoth::component::resources {

struct Entry {
  std::int16_t id;
  std::u16string_view english;
  std::u16string_view italian;
};

// Every entry of the table, ascending by id.
std::span<const Entry> Entries() noexcept;

// The text of `id` in `language`: Italian for kItalian, English for every other language.
// Nothing when the table has no such id.
std::optional<std::u16string_view> Find(std::int16_t id, std::int32_t language) noexcept;

// The user's language from the POSIX locale variables, given as their values ("" when unset):
// the first non-empty of LC_ALL, LC_MESSAGES and LANG decides; a value beginning with "it"
// ("it", "it_IT", "it_CH.UTF-8") gives kItalian, any other value, or none, kEnglish.
std::int32_t LanguageFromLocale(std::string_view lc_all, std::string_view lc_messages,
                                std::string_view lang) noexcept;

}  // namespace cobaltmoth::component::resources
