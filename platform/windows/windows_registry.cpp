// The settings store on Windows: the registry itself, through its ANSI functions, every key
// opened with full access (KEY_ALL_ACCESS) but those opened only to read (KEY_READ). Names and
// paths pass through the ANSI code page; the functions' own error codes are handed back
// unchanged.
#include "platform/windows/windows_platform.hpp"

#include <string>
#include <utility>
#include <vector>

#include "platform/registry.hpp"

namespace cobaltmoth::platform::windows {
namespace {

RegStatus Status(LONG result) { return static_cast<RegStatus>(result); }

// A predefined root as a handle: the number sign-extended, as the headers define them.
HKEY RootHandle(std::uint32_t root) {
  return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
}

// "" names the unnamed default value: passed as no name at all.
const char* ValueName(const std::string& name) { return name.empty() ? nullptr : name.c_str(); }

class WindowsKey final : public RegistryKey {
 public:
  explicit WindowsKey(UniqueHkey key) : key_(std::move(key)) {}

  RegStatus QueryValue(std::u16string_view name, RegValue* value) override {
    const std::string ansi = ToAnsi(name);
    DWORD type = 0;
    DWORD size = 0;
    LONG result = ::RegQueryValueExA(key_.get(), ValueName(ansi), nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS) return Status(result);
    std::vector<std::uint8_t> data(size);
    result = ::RegQueryValueExA(key_.get(), ValueName(ansi), nullptr, &type,
                                data.empty() ? nullptr : data.data(), &size);
    if (result != ERROR_SUCCESS) return Status(result);
    data.resize(size);
    value->type = type;
    value->data = std::move(data);
    return RegStatus::kOk;
  }

  RegStatus SetValue(std::u16string_view name, std::uint32_t type,
                     std::span<const std::uint8_t> data) override {
    const std::string ansi = ToAnsi(name);
    return Status(::RegSetValueExA(key_.get(), ValueName(ansi), 0, type, data.data(),
                                   static_cast<DWORD>(data.size())));
  }

  RegStatus DeleteValue(std::u16string_view name) override {
    const std::string ansi = ToAnsi(name);
    return Status(::RegDeleteValueA(key_.get(), ValueName(ansi)));
  }

  RegStatus DeleteSubKey(std::u16string_view path) override {
    const std::string ansi = ToAnsi(path);
    return Status(::RegDeleteKeyA(key_.get(), ansi.c_str()));
  }

 private:
  UniqueHkey key_;
};

class WindowsRegistry final : public Registry {
 public:
  RegStatus OpenKey(std::uint32_t root, std::u16string_view path, RegKey* key) override {
    return Open(root, path, KEY_ALL_ACCESS, key);
  }

  RegStatus OpenKeyToRead(std::uint32_t root, std::u16string_view path, RegKey* key) override {
    return Open(root, path, KEY_READ, key);
  }

  RegStatus CreateKey(std::uint32_t root, std::u16string_view path, RegKey* key) override {
    const std::string ansi = ToAnsi(path);
    UniqueHkey opened;
    const LONG result = ::RegCreateKeyExA(RootHandle(root), ansi.c_str(), 0, nullptr, 0,
                                          KEY_ALL_ACCESS, nullptr, opened.put(), nullptr);
    if (result != ERROR_SUCCESS) return Status(result);
    *key = std::make_unique<WindowsKey>(std::move(opened));
    return RegStatus::kOk;
  }

 private:
  static RegStatus Open(std::uint32_t root, std::u16string_view path, REGSAM access,
                        RegKey* key) {
    const std::string ansi = ToAnsi(path);
    UniqueHkey opened;
    const LONG result = ::RegOpenKeyExA(RootHandle(root), ansi.c_str(), 0, access, opened.put());
    if (result != ERROR_SUCCESS) return Status(result);
    *key = std::make_unique<WindowsKey>(std::move(opened));
    return RegStatus::kOk;
  }
};

}  // namespace

std::shared_ptr<Registry> MakeWindowsRegistry() { return std::make_shared<WindowsRegistry>(); }

}  // namespace cobaltmoth::platform::windows
