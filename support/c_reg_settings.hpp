// support/c_reg_settings.hpp - CRegSettings, a program's settings in the registry.
//
// The settings of a program live in sections, each a key of the settings store at
//   <RootKey> \ Software\<Company>\<AppName>\<Section>
// and "Software\<Company>\<AppName>" alone for the empty section (the application key). The
// section is used as given and may itself hold "\". A setting is a value of that key; the
// setting name "*" stands for the key's unnamed default value.
//
// Properties, with their defaults: Company "VB and VBA Program Settings", AppName
// "Cobaltmoth", RootKey 0x80000001 (HKEY_CURRENT_USER). A non-empty Company or AppName is
// kept without its leading and trailing blanks, so "   " becomes ""; an empty one brings the
// default back. RootKey is kept as given.
//
// Text settings are stored as type 1 (REG_SZ): Windows-1252 bytes, "?" for a character the
// code page cannot hold, and one NUL at the end that the value's size counts:
//   SaveSetting("Main", "Title", "Café")  stores  43 61 66 E9 00  (size 5)
// GetSetting reads the first size - 1 bytes back as text, so a stored "" (size 1) reads as
// "", while a value of size 0 or a missing one reads as the default. Binary settings are
// type 3 (REG_BINARY) with exactly the given bytes; a text given as binary is its UTF-16
// code units, low byte first ("A\u00e9" is 41 00 E9 00).
//
// Failures never escape: a key that cannot be opened or a value that cannot be read gives the
// default; a save or delete that fails returns false. Every call opens its key and closes it
// before returning; nothing is held between calls.
//
// Thread-safety: none; an instance belongs to the object that made it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.hpp"

namespace cobaltmoth::support {

class CRegSettings {
 public:
  static constexpr std::u16string_view kDefaultCompany = u"VB and VBA Program Settings";
  static constexpr std::u16string_view kDefaultAppName = u"Cobaltmoth";
  static constexpr std::uint32_t kDefaultRootKey = platform::kHkeyCurrentUser;

  // A null registry is a store that cannot be opened.
  explicit CRegSettings(std::shared_ptr<platform::Registry> registry);

  const std::u16string& Company() const noexcept { return company_; }
  void Company(std::u16string_view company) noexcept;
  const std::u16string& AppName() const noexcept { return app_name_; }
  void AppName(std::u16string_view app_name) noexcept;
  std::uint32_t RootKey() const noexcept { return root_key_; }
  void RootKey(std::uint32_t root_key) noexcept { root_key_ = root_key; }

  // "Software\" + Company + "\" + AppName, then "\" + section when the section is not empty.
  std::u16string KeyPath(std::u16string_view section) const;

  // The text setting `key` of `section`, or `default_value`.
  std::u16string GetSetting(std::u16string_view section, std::u16string_view key,
                            std::u16string_view default_value = u"") const noexcept;
  // The bytes of the setting, whatever its type, or the default's bytes (none; the bytes
  // given; a text's UTF-16 code units, low byte first).
  std::vector<std::uint8_t> GetSettingAsBinary(std::u16string_view section,
                                               std::u16string_view key) const noexcept;
  std::vector<std::uint8_t> GetSettingAsBinary(
      std::u16string_view section, std::u16string_view key,
      std::span<const std::uint8_t> default_value) const noexcept;
  std::vector<std::uint8_t> GetSettingAsBinary(std::u16string_view section,
                                               std::u16string_view key,
                                               std::u16string_view default_value) const noexcept;

  // Stores a text setting, creating the section's key and every key above it that is
  // missing. True when the value was written.
  bool SaveSetting(std::u16string_view section, std::u16string_view key,
                   std::u16string_view setting) noexcept;
  // Stores a binary setting: the bytes, or a text's UTF-16 code units low byte first.
  bool SaveSettingAsBinary(std::u16string_view section, std::u16string_view key,
                           std::span<const std::uint8_t> setting) noexcept;
  bool SaveSettingAsBinary(std::u16string_view section, std::u16string_view key,
                           std::u16string_view setting) noexcept;

  // With a key: removes that setting from the section (the section's key stays). With an
  // empty key: removes the whole section, the subkey `section` of the application key,
  // which fails while the section has subkeys of its own. True when something was removed.
  bool DeleteSetting(std::u16string_view section, std::u16string_view key = u"") noexcept;

 private:
  bool Save(std::u16string_view section, std::u16string_view key, std::uint32_t type,
            std::span<const std::uint8_t> data) noexcept;
  // Reads the value; true when it was read and has at least one byte.
  bool Read(std::u16string_view section, std::u16string_view key,
            std::vector<std::uint8_t>* data) const noexcept;

  std::shared_ptr<platform::Registry> registry_;
  std::u16string company_;
  std::u16string app_name_;
  std::uint32_t root_key_;
};

// A text as a text setting's bytes: Windows-1252, then one NUL.
std::vector<std::uint8_t> RegTextBytes(std::u16string_view text);
// A text setting's bytes as text: every byte but the last one.
std::u16string RegTextFromBytes(std::span<const std::uint8_t> data);
// A text's UTF-16 code units as bytes, low byte first.
std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text);

}  // namespace cobaltmoth::support
