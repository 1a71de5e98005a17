// tests/collection_inspector.hpp - checks every invariant of a CollectionExObj.
// Used by the unit tests after their operations.
#pragma once

#include <set>
#include <string>

#include "component/base/text.hpp"
#include "support/collection_ex_obj.hpp"

namespace cobaltmoth {

struct CollectionExObjInspector {
  // An empty text when every invariant holds, else the first one broken.
  static std::string CheckInvariants(const CollectionExObj& c) {
    const auto fail = [](const std::string& why) { return why; };
    if (c.entries_.size() != static_cast<std::size_t>(c.capacity_) + 1) return fail("entries size");
    if (c.hash_table_.size() != static_cast<std::size_t>(c.table_size_) + 1) return fail("table size");
    if (c.table_size_ != CollectionExObj::ComputeTableSize(c.capacity_, c.fill_ratio_)) {
      return fail("table size is not capacity x fill ratio, made odd");
    }
    // 3. The table always keeps an empty slot.
    if (!(c.table_size_ > c.capacity_ && c.capacity_ >= c.count_ && c.count_ >= 0)) {
      return fail("TableSize > Capacity >= Count");
    }
    if (!c.entries_[0].Key.empty() || c.entries_[0].Item || c.hash_table_[0] != 0) {
      return fail("index 0 is not blank");
    }
    for (std::int32_t i = c.count_ + 1; i <= c.capacity_; ++i) {
      if (!c.entries_[i].Key.empty() || c.entries_[i].Item) return fail("entry past Count not blank");
    }

    // 1. Every position is in the slot it names, and nothing else is in the table.
    std::int32_t used = 0;
    for (std::int32_t s = 1; s <= c.table_size_; ++s) used += c.hash_table_[s] != 0;
    if (used != c.count_) return fail("non-zero slots differ from Count");
    std::set<std::u16string> keys;
    for (std::int32_t p = 1; p <= c.count_; ++p) {
      const auto& e = c.entries_[p];
      if ((e.HashSlot < 1 || e.HashSlot > c.table_size_ || c.hash_table_[e.HashSlot] != p)) {
        return fail("slot of position " + std::to_string(p));
      }
      if (e.Key != text::LCase(e.Key)) return fail("stored key not lower case");
      if (e.KeyHash != CollectionExObj::HashKey(e.Key)) {
        return fail("stale KeyHash");
      }
      // 2. Unique keys.
      if (!keys.insert(e.Key).second) return fail("duplicate key");
      // 4. Reachable from the home slot without crossing an empty slot.
      for (std::int32_t s = e.KeyHash % c.table_size_ + 1; s != e.HashSlot;
           s = s == c.table_size_ ? 1 : s + 1) {
        if (c.hash_table_[s] == 0) return fail("position " + std::to_string(p) + " unreachable");
      }
      // 5. Ascending keys while sorted.
      if (c.sorted_ && p > 1 && !(c.entries_[p - 1].Key < e.Key)) return fail("not sorted");
    }
    return std::string();
  }
};

}  // namespace cobaltmoth
