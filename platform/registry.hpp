// platform/registry.hpp - the settings store: a tree of keys that hold named, typed values.
//
// The store has the registry's shape, so that the Windows backend is a thin layer over the
// registry functions (open, create, query, set, delete value, delete key, close):
//   - A tree hangs under each root, a 32-bit number: kHkeyCurrentUser (0x80000001) and
//     kHkeyLocalMachine (0x80000002). Every other root answers kInvalidHandle.
//   - A key is reached by its path under a root, its names joined by "\"
//     ("Software\Microsoft\Windows\CurrentVersion"). Empty names in a path (a leading,
//     trailing or doubled "\") are passed over, so "Software\\App" is "Software\App" and ""
//     is the root itself.
//   - A key holds values, each with a name, a type and bytes. The empty name is the key's
//     unnamed default value. Types: kRegSz (1) is text, kRegBinary (3) plain bytes; the store
//     keeps any type number with the bytes unchanged.
//   - Key and value names compare without regard to case (the host's LCase, code unit by
//     code unit); a name keeps the case it was first created with.
//   - Keys are opened with full access, for reading and writing alike: a store that cannot
//     be written cannot be opened (kAccessDenied), even to read. One exception on Linux,
//     where "full access" has no counterpart for ordinary users: OpenKey on the machine's
//     store (the administrator's) gives a key that reads, and whose writes answer
//     kAccessDenied, to a user who may read the store but not write it.
//
// Failures are results, never exceptions: each call returns a RegStatus, whose numbers are
// the Windows system error codes the registry functions return, so the Windows backend hands
// them through unchanged.
//
// Ownership: OpenKey and CreateKey hand out a RegKey, a move-only owner whose destruction
// closes the key. An open key keeps nothing locked that another caller or process could
// wait for; each call on it is complete (and, when it writes, committed) before it returns.
//
// Thread-safety: a Registry may be used from any thread; a key belongs to one thread at a
// time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace cobaltmoth::platform {

// The roots that can be opened (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE).
inline constexpr std::uint32_t kHkeyCurrentUser = 0x80000001u;
inline constexpr std::uint32_t kHkeyLocalMachine = 0x80000002u;

// The value types the library writes (REG_SZ, REG_BINARY).
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;  // little-endian

// The outcome of a registry call: kOk, or the Windows system error code of the failure.
enum class RegStatus : std::int32_t {
  kOk = 0,
  kNotFound = 2,            // no such key or value (ERROR_FILE_NOT_FOUND)
  kAccessDenied = 5,        // the store cannot be written; a key with subkeys; the root itself
  kInvalidHandle = 6,       // a root that cannot be opened
  kOutOfMemory = 14,
  kDiskFull = 112,
  kBusy = 170,              // another process kept the store locked for too long
  kBadDatabase = 1009,      // the store's file is not a store, or is damaged (ERROR_BADDB)
  kIoFailed = 1016,         // the operating system failed a read or a write
  kKeyDeleted = 1018,       // the key was deleted after it was opened
};

// A value as the store holds it.
struct RegValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// An open key.
class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  // Closes the key.
  virtual ~RegistryKey() = default;

  // The type and bytes of the value `name` ("" = the unnamed default value); kNotFound when
  // the key has no such value. `value` is changed only on success.
  virtual RegStatus QueryValue(std::u16string_view name, RegValue* value) = 0;
  // Creates or replaces the value `name` with exactly these bytes. A value that exists keeps
  // the case of its name.
  virtual RegStatus SetValue(std::u16string_view name, std::uint32_t type,
                             std::span<const std::uint8_t> data) = 0;
  // Removes the value `name`; kNotFound when there is none. The key stays.
  virtual RegStatus DeleteValue(std::u16string_view name) = 0;
  // Removes the key at `path` below this one, with its values. kNotFound when it is missing,
  // kAccessDenied when it has subkeys of its own (they are never removed with it). An empty
  // path removes this key itself; later calls on it answer kKeyDeleted.
  virtual RegStatus DeleteSubKey(std::u16string_view path) = 0;
};

// The move-only owner of an open key: destroying it closes the key.
using RegKey = std::unique_ptr<RegistryKey>;

class Registry {
 public:
  virtual ~Registry() = default;
  // Opens the existing key at `path` under `root` with full access. On success `*key` owns
  // it; on failure `*key` is left empty (kNotFound: some key along the path is missing).
  virtual RegStatus OpenKey(std::uint32_t root, std::u16string_view path, RegKey* key) = 0;
  // Opens the existing key at `path` under `root` only to read its values, as OpenKey does
  // otherwise: an administrator's policy, which an ordinary user may read but never write.
  // Writes through such a key may fail. By default the key of OpenKey.
  virtual RegStatus OpenKeyToRead(std::uint32_t root, std::u16string_view path, RegKey* key) {
    return OpenKey(root, path, key);
  }
  // Opens the key at `path` under `root` with full access, first creating every key along
  // the path that is missing, all in one step. On failure `*key` is left empty and nothing
  // was created.
  virtual RegStatus CreateKey(std::uint32_t root, std::u16string_view path, RegKey* key) = 0;
};

}  // namespace cobaltmoth::platform
