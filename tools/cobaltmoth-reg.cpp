// cobaltmoth-reg - reads and changes the settings store that Cobaltmoth keeps on Linux in
// place of the registry, so that an administrator can set what the library reads, such as the
// machine's registered owner and organisation shown in bug reports:
//
//   cobaltmoth-reg set HKLM 'Software\Microsoft\Windows\CurrentVersion' RegisteredOwner 'Ada'
//
// Texts are stored exactly as the library stores text settings (Windows-1252 with one NUL at
// the end); command-line arguments and output are UTF-8.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.hpp"
#include "platform/registry.hpp"
#include "runtime/text.hpp"
#include "support/c_reg_settings.hpp"

namespace {

using cobaltmoth::platform::RegKey;
using cobaltmoth::platform::RegStatus;
namespace runtime = cobaltmoth::runtime;
namespace platform = cobaltmoth::platform;

enum ExitCode { kDone = 0, kMissing = 1, kUsage = 2, kRefused = 3 };

constexpr const char* kUsageText =
    "usage: cobaltmoth-reg get        ROOT PATH NAME\n"
    "       cobaltmoth-reg set        ROOT PATH NAME TEXT\n"
    "       cobaltmoth-reg set-binary ROOT PATH NAME HEX\n"
    "       cobaltmoth-reg set-dword  ROOT PATH NAME NUMBER\n"
    "       cobaltmoth-reg delete     ROOT PATH [NAME]\n"
    "\n"
    "Reads and changes the settings store of the Cobaltmoth library.\n"
    "\n"
    "  ROOT        HKCU (HKEY_CURRENT_USER) or HKLM (HKEY_LOCAL_MACHINE)\n"
    "  PATH        a key, its names joined by \"\\\" (quote it for the shell);\n"
    "              names are compared without regard to case\n"
    "  NAME        a value of the key; \"*\" is the key's unnamed default value\n"
    "\n"
    "  get         prints a text value as it is, a 32-bit number in decimal, any other\n"
    "              value as hex digits\n"
    "  set         stores a text value, creating the key and every missing key above it\n"
    "  set-binary  stores bytes given as hex digits, e.g. 00ff7a (\"\" for none)\n"
    "  set-dword   stores a 32-bit number (0 to 4294967295), e.g. CatchCrashes 1\n"
    "  delete      with NAME removes that value; without it removes the key PATH,\n"
    "              which must have no subkeys\n"
    "\n"
    "Files: HKCU is $XDG_CONFIG_HOME/cobaltmoth/user.db (~/.config/cobaltmoth/user.db),\n"
    "HKLM is /etc/cobaltmoth/machine.db, which only root can change. When\n"
    "COBALTMOTH_REGISTRY_DIR is set, both are in that folder.\n"
    "\n"
    "Exit status: 0 done, 1 no such key or value, 2 wrong usage, 3 the store refused\n"
    "(it cannot be written by this user, or the key to delete has subkeys).\n";

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "cobaltmoth-reg: %s\n\n", problem);
  std::fputs(kUsageText, stderr);
  return kUsage;
}

std::optional<std::uint32_t> ParseRoot(std::string_view name) {
  const std::u16string folded = runtime::LCase(runtime::FromUtf8(name));
  if (folded == u"hkcu" || folded == u"hkey_current_user") return platform::kHkeyCurrentUser;
  if (folded == u"hklm" || folded == u"hkey_local_machine") return platform::kHkeyLocalMachine;
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view hex) {
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = digit(hex[i]);
    const int low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t byte : bytes) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
  }
  return out;
}

// The value name as the store knows it: "*" is the unnamed default value.
std::u16string ValueName(std::string_view name) {
  return name == "*" ? std::u16string() : runtime::FromUtf8(name);
}

// Reports a failed call on `what` and gives the exit status for it.
int Failed(RegStatus status, const std::string& what) {
  switch (status) {
    case RegStatus::kNotFound:
      std::fprintf(stderr, "cobaltmoth-reg: %s: no such key or value\n", what.c_str());
      return kMissing;
    case RegStatus::kAccessDenied:
      std::fprintf(stderr, "cobaltmoth-reg: %s: access denied (the store cannot be written "
                           "by this user, or the key has subkeys)\n", what.c_str());
      return kRefused;
    default:
      std::fprintf(stderr, "cobaltmoth-reg: %s: the store failed (error %d)\n", what.c_str(),
                   static_cast<int>(status));
      return kRefused;
  }
}

int Get(platform::Registry& registry, std::uint32_t root, std::string_view path,
        std::string_view name, const std::string& what) {
  RegKey key;
  RegStatus status = registry.OpenKey(root, runtime::FromUtf8(path), &key);
  if (status != RegStatus::kOk) return Failed(status, what);
  platform::RegValue value;
  status = key->QueryValue(ValueName(name), &value);
  if (status != RegStatus::kOk) return Failed(status, what);
  std::string shown;
  if (value.type == platform::kRegSz) {
    // A text without its closing NUL (and whole when it has none).
    std::vector<std::uint8_t> data = value.data;
    if (data.empty() || data.back() != 0) data.push_back(0);
    shown = runtime::ToUtf8(cobaltmoth::support::RegTextFromBytes(data));
  } else if (value.type == platform::kRegDword && value.data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | value.data[static_cast<std::size_t>(i)];
    shown = std::to_string(number);
  } else {
    shown = Hex(value.data);
  }
  std::printf("%s\n", shown.c_str());
  return kDone;
}

int Set(platform::Registry& registry, std::uint32_t root, std::string_view path,
        std::string_view name, std::uint32_t type, const std::vector<std::uint8_t>& data,
        const std::string& what) {
  RegKey key;
  RegStatus status = registry.CreateKey(root, runtime::FromUtf8(path), &key);
  if (status != RegStatus::kOk) return Failed(status, what);
  status = key->SetValue(ValueName(name), type, data);
  return status == RegStatus::kOk ? kDone : Failed(status, what);
}

int DeleteValue(platform::Registry& registry, std::uint32_t root, std::string_view path,
                std::string_view name, const std::string& what) {
  RegKey key;
  RegStatus status = registry.OpenKey(root, runtime::FromUtf8(path), &key);
  if (status != RegStatus::kOk) return Failed(status, what);
  status = key->DeleteValue(ValueName(name));
  return status == RegStatus::kOk ? kDone : Failed(status, what);
}

// Removes the key PATH through its parent, as the registry does.
int DeleteKey(platform::Registry& registry, std::uint32_t root, std::string_view path,
              const std::string& what) {
  std::string_view trimmed = path;
  while (!trimmed.empty() && trimmed.back() == '\\') trimmed.remove_suffix(1);
  if (trimmed.empty()) return Usage("the root itself cannot be deleted");
  const std::size_t slash = trimmed.rfind('\\');
  const std::string_view parent =
      slash == std::string_view::npos ? std::string_view() : trimmed.substr(0, slash);
  const std::string_view child =
      slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
  RegKey key;
  RegStatus status = registry.OpenKey(root, runtime::FromUtf8(parent), &key);
  if (status != RegStatus::kOk) return Failed(status, what);
  status = key->DeleteSubKey(runtime::FromUtf8(child));
  return status == RegStatus::kOk ? kDone : Failed(status, what);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsageText, stdout);
    return kDone;
  }
  if (argc < 4) return Usage(argc < 2 ? nullptr : "too few arguments");
  const std::string_view command = argv[1];
  const std::optional<std::uint32_t> root = ParseRoot(argv[2]);
  if (!root) return Usage("ROOT must be HKCU or HKLM");
  const std::string_view path = argv[3];
  const auto registry = platform::DefaultPlatform()->registry;
  std::string what = (*root == platform::kHkeyCurrentUser ? "HKCU\\" : "HKLM\\") +
                     std::string(path);

  if (command == "get") {
    if (argc != 5) return Usage("get takes ROOT PATH NAME");
    return Get(*registry, *root, path, argv[4], what + " " + argv[4]);
  }
  if (command == "set") {
    if (argc != 6) return Usage("set takes ROOT PATH NAME TEXT");
    return Set(*registry, *root, path, argv[4], platform::kRegSz,
               cobaltmoth::support::RegTextBytes(runtime::FromUtf8(argv[5])), what + " " + argv[4]);
  }
  if (command == "set-binary") {
    if (argc != 6) return Usage("set-binary takes ROOT PATH NAME HEX");
    const auto bytes = ParseHex(argv[5]);
    if (!bytes) return Usage("HEX must be pairs of hex digits, such as 00ff7a");
    return Set(*registry, *root, path, argv[4], platform::kRegBinary, *bytes,
               what + " " + argv[4]);
  }
  if (command == "set-dword") {
    if (argc != 6) return Usage("set-dword takes ROOT PATH NAME NUMBER");
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(argv[5], &end, 10);
    if (argv[5][0] < '0' || argv[5][0] > '9' || *end != '\0' || errno != 0 ||
        number > 0xFFFFFFFFull) {
      return Usage("NUMBER must be a decimal number from 0 to 4294967295");
    }
    std::vector<std::uint8_t> bytes;
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back((number >> shift) & 0xFF);
    return Set(*registry, *root, path, argv[4], platform::kRegDword, bytes,
               what + " " + argv[4]);
  }
  if (command == "delete") {
    if (argc == 5) return DeleteValue(*registry, *root, path, argv[4], what + " " + argv[4]);
    if (argc == 4) return DeleteKey(*registry, *root, path, what);
    return Usage("delete takes ROOT PATH [NAME]");
  }
  return Usage("unknown command");
}
