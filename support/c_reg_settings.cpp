#include "support/c_reg_settings.hpp"

#include <string>
#include <utility>

#include "runtime/text.hpp"

namespace cobaltmoth::support {
namespace {

using platform::RegKey;
using platform::RegStatus;

// The setting name that stands for the key's unnamed default value.
constexpr std::u16string_view kDefaultValueName = u"*";

std::u16string_view ValueName(std::u16string_view key) {
  return key == kDefaultValueName ? std::u16string_view() : key;
}

// The host's Trim: blanks only, not tabs or line breaks.
std::u16string_view TrimBlanks(std::u16string_view text) {
  const std::size_t first = text.find_first_not_of(u' ');
  if (first == std::u16string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(u' ') - first + 1);
}

// A non-empty text without its outer blanks; an empty one gives the default. The emptiness
// test comes first, so blanks alone become the empty text.
void AssignName(std::u16string& name, std::u16string_view text,
                std::u16string_view default_name) noexcept {
  try {
    name.assign(text.empty() ? default_name : TrimBlanks(text));
  } catch (...) {
    // Out of memory: the property keeps its value.
  }
}

}  // namespace

std::vector<std::uint8_t> RegTextBytes(std::u16string_view text) {
  std::string bytes;
  runtime::AppendWindows1252(text, bytes);
  bytes += '\0';
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

std::u16string RegTextFromBytes(std::span<const std::uint8_t> data) {
  if (data.empty()) return {};
  return runtime::FromWindows1252(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size() - 1));
}

std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return bytes;
}

CRegSettings::CRegSettings(std::shared_ptr<platform::Registry> registry)
    : registry_(std::move(registry)), root_key_(0) {
  Company(kDefaultCompany);
  AppName(kDefaultAppName);
  RootKey(kDefaultRootKey);
}

void CRegSettings::Company(std::u16string_view company) noexcept {
  AssignName(company_, company, kDefaultCompany);
}

void CRegSettings::AppName(std::u16string_view app_name) noexcept {
  AssignName(app_name_, app_name, kDefaultAppName);
}

std::u16string CRegSettings::KeyPath(std::u16string_view section) const {
  std::u16string path = u"Software\\";
  path += company_;
  path += u'\\';
  path += app_name_;
  if (!section.empty()) {
    path += u'\\';
    path += section;
  }
  return path;
}

bool CRegSettings::Read(std::u16string_view section, std::u16string_view key,
                        std::vector<std::uint8_t>* data) const noexcept {
  try {
    if (!registry_) return false;
    RegKey opened;
    if (registry_->OpenKey(root_key_, KeyPath(section), &opened) != RegStatus::kOk) {
      return false;
    }
    platform::RegValue value;
    if (opened->QueryValue(ValueName(key), &value) != RegStatus::kOk || value.data.empty()) {
      return false;
    }
    *data = std::move(value.data);
    return true;
  } catch (...) {
    return false;
  }
}

std::u16string CRegSettings::GetSetting(std::u16string_view section, std::u16string_view key,
                                        std::u16string_view default_value) const noexcept {
  try {
    std::vector<std::uint8_t> data;
    if (Read(section, key, &data)) return RegTextFromBytes(data);
    return std::u16string(default_value);
  } catch (...) {
    return {};  // out of memory even for the default
  }
}

std::vector<std::uint8_t> CRegSettings::GetSettingAsBinary(std::u16string_view section,
                                                           std::u16string_view key) const noexcept {
  return GetSettingAsBinary(section, key, std::span<const std::uint8_t>());
}

std::vector<std::uint8_t> CRegSettings::GetSettingAsBinary(
    std::u16string_view section, std::u16string_view key,
    std::span<const std::uint8_t> default_value) const noexcept {
  try {
    std::vector<std::uint8_t> data;
    if (Read(section, key, &data)) return data;
    return std::vector<std::uint8_t>(default_value.begin(), default_value.end());
  } catch (...) {
    return {};
  }
}

std::vector<std::uint8_t> CRegSettings::GetSettingAsBinary(
    std::u16string_view section, std::u16string_view key,
    std::u16string_view default_value) const noexcept {
  try {
    std::vector<std::uint8_t> data;
    if (Read(section, key, &data)) return data;
    return Utf16Bytes(default_value);
  } catch (...) {
    return {};
  }
}

bool CRegSettings::Save(std::u16string_view section, std::u16string_view key,
                        std::uint32_t type, std::span<const std::uint8_t> data) noexcept {
  try {
    if (!registry_) return false;
    RegKey opened;
    if (registry_->CreateKey(root_key_, KeyPath(section), &opened) != RegStatus::kOk) {
      return false;
    }
    return opened->SetValue(ValueName(key), type, data) == RegStatus::kOk;
  } catch (...) {
    return false;
  }
}

bool CRegSettings::SaveSetting(std::u16string_view section, std::u16string_view key,
                               std::u16string_view setting) noexcept {
  try {
    return Save(section, key, platform::kRegSz, RegTextBytes(setting));
  } catch (...) {
    return false;
  }
}

bool CRegSettings::SaveSettingAsBinary(std::u16string_view section, std::u16string_view key,
                                       std::span<const std::uint8_t> setting) noexcept {
  return Save(section, key, platform::kRegBinary, setting);
}

bool CRegSettings::SaveSettingAsBinary(std::u16string_view section, std::u16string_view key,
                                       std::u16string_view setting) noexcept {
  try {
    return Save(section, key, platform::kRegBinary, Utf16Bytes(setting));
  } catch (...) {
    return false;
  }
}

bool CRegSettings::DeleteSetting(std::u16string_view section, std::u16string_view key) noexcept {
  try {
    if (!registry_) return false;
    RegKey opened;
    if (key.empty()) {
      // The whole section: a subkey of the application key.
      if (registry_->OpenKey(root_key_, KeyPath(u""), &opened) != RegStatus::kOk) return false;
      return opened->DeleteSubKey(section) == RegStatus::kOk;
    }
    if (registry_->OpenKey(root_key_, KeyPath(section), &opened) != RegStatus::kOk) return false;
    return opened->DeleteValue(ValueName(key)) == RegStatus::kOk;
  } catch (...) {
    return false;
  }
}

}  // namespace cobaltmoth::support
