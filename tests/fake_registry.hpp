// tests/fake_registry.hpp - a settings store in memory, with the store's rules (roots, names
// without regard to case, deleted keys, keys with subkeys), that records every key path
// opened and counts the keys open at the moment.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "component/base/text.hpp"
#include "platform/registry.hpp"

namespace cobaltmoth::testing {

class FakeRegistry final : public platform::Registry {
 public:
  using RegStatus = platform::RegStatus;

  // "open 80000001 Software\Acme\App" or "create ...", one line per OpenKey or CreateKey.
  std::vector<std::string> calls;
  // Keys open now; a caller that holds none between its calls leaves it at 0.
  int open_keys = 0;
  // When not kOk, every OpenKey and CreateKey fails with it (a store that cannot be opened).
  RegStatus refuse = RegStatus::kOk;
  // When not kOk, every SetValue fails with it.
  RegStatus refuse_writes = RegStatus::kOk;

  FakeRegistry() {
    nodes_[platform::kHkeyCurrentUser] = Node{};
    nodes_[platform::kHkeyLocalMachine] = Node{};
  }

  RegStatus OpenKey(std::uint32_t root, std::u16string_view path,
                    platform::RegKey* key) override {
    return Open("open", root, path, false, key);
  }
  RegStatus CreateKey(std::uint32_t root, std::u16string_view path,
                      platform::RegKey* key) override {
    return Open("create", root, path, true, key);
  }

  // The stored value at `path` under `root`, for checks that bypass the code under test;
  // nullptr when there is none.
  const platform::RegValue* Find(std::uint32_t root, std::u16string_view path,
                                 std::u16string_view name) {
    std::uint64_t id = root;
    if (WalkFrom(root, path, false, &id) != RegStatus::kOk) return nullptr;
    const auto& values = nodes_.at(id).values;
    const auto it = values.find(text::LCase(name));
    return it == values.end() ? nullptr : &it->second.value;
  }
  bool HasKey(std::uint32_t root, std::u16string_view path) {
    std::uint64_t id = root;
    return WalkFrom(root, path, false, &id) == RegStatus::kOk;
  }

 private:
  struct Named {
    std::u16string name;  // as first created
    platform::RegValue value;
  };
  struct Node {
    std::uint64_t parent = 0;
    std::u16string folded;
    std::map<std::u16string, std::uint64_t> children;  // by folded name
    std::map<std::u16string, Named> values;            // by folded name
  };

  class Key final : public platform::RegistryKey {
   public:
    Key(FakeRegistry* owner, std::uint64_t id) : owner_(owner), id_(id) { ++owner_->open_keys; }
    ~Key() override { --owner_->open_keys; }

    RegStatus QueryValue(std::u16string_view name, platform::RegValue* value) override {
      Node* node = owner_->Alive(id_);
      if (node == nullptr) return RegStatus::kKeyDeleted;
      const auto it = node->values.find(text::LCase(name));
      if (it == node->values.end()) return RegStatus::kNotFound;
      *value = it->second.value;
      return RegStatus::kOk;
    }
    RegStatus SetValue(std::u16string_view name, std::uint32_t type,
                       std::span<const std::uint8_t> data) override {
      Node* node = owner_->Alive(id_);
      if (node == nullptr) return RegStatus::kKeyDeleted;
      if (owner_->refuse_writes != RegStatus::kOk) return owner_->refuse_writes;
      auto [it, added] = node->values.try_emplace(text::LCase(name));
      if (added) it->second.name = std::u16string(name);
      it->second.value.type = type;
      it->second.value.data.assign(data.begin(), data.end());
      return RegStatus::kOk;
    }
    RegStatus DeleteValue(std::u16string_view name) override {
      Node* node = owner_->Alive(id_);
      if (node == nullptr) return RegStatus::kKeyDeleted;
      return node->values.erase(text::LCase(name)) == 1 ? RegStatus::kOk : RegStatus::kNotFound;
    }
    RegStatus DeleteSubKey(std::u16string_view path) override {
      if (owner_->Alive(id_) == nullptr) return RegStatus::kKeyDeleted;
      std::uint64_t target = 0;
      const RegStatus found = owner_->WalkFrom(id_, path, false, &target);
      if (found != RegStatus::kOk) return found;
      Node& node = owner_->nodes_.at(target);
      if (node.parent == 0 || !node.children.empty()) return RegStatus::kAccessDenied;
      owner_->nodes_.at(node.parent).children.erase(node.folded);
      owner_->nodes_.erase(target);
      return RegStatus::kOk;
    }

   private:
    FakeRegistry* owner_;
    std::uint64_t id_;
  };

  RegStatus Open(const char* verb, std::uint32_t root, std::u16string_view path, bool create,
                 platform::RegKey* key) {
    key->reset();
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(root));
    calls.push_back(std::string(verb) + " " + hex + " " + text::ToUtf8(path));
    if (refuse != RegStatus::kOk) return refuse;
    if (root != platform::kHkeyCurrentUser && root != platform::kHkeyLocalMachine) {
      return RegStatus::kInvalidHandle;
    }
    std::uint64_t id = 0;
    const RegStatus found = WalkFrom(root, path, create, &id);
    if (found == RegStatus::kOk) *key = std::make_unique<Key>(this, id);
    return found;
  }

  // Empty names in the path are passed over, as the store does.
  RegStatus WalkFrom(std::uint64_t from, std::u16string_view path, bool create,
                     std::uint64_t* id) {
    std::uint64_t current = from;
    std::size_t start = 0;
    while (start <= path.size()) {
      std::size_t end = path.find(u'\\', start);
      if (end == std::u16string_view::npos) end = path.size();
      if (end > start) {
        const std::u16string folded = text::LCase(path.substr(start, end - start));
        auto& children = nodes_.at(current).children;
        const auto it = children.find(folded);
        if (it != children.end()) {
          current = it->second;
        } else if (!create) {
          return RegStatus::kNotFound;
        } else {
          const std::uint64_t made = next_id_++;
          nodes_[made] = Node{current, folded, {}, {}};
          nodes_.at(current).children[folded] = made;
          current = made;
        }
      }
      start = end + 1;
    }
    *id = current;
    return RegStatus::kOk;
  }

  Node* Alive(std::uint64_t id) {
    const auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : &it->second;
  }

  std::map<std::uint64_t, Node> nodes_;  // the roots under their own numbers
  std::uint64_t next_id_ = 1;
};

}  // namespace cobaltmoth::testing
