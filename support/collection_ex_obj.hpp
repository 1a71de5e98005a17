// support/collection_ex_obj.hpp - CollectionExObj, the keyed collection under the tracer.
//
// An ordered collection of object references, each stored under a unique text key, reachable
// by its 1-based position and by its key. Keys are compared in lower case (the host's LCase),
// so "Alpha" and "ALPHA" are one key, and are stored in that form. In sorted mode every new key
// goes to its place in ascending binary order of the lower-case keys.
//
// Storage: the entries sit in an array in position order (index 0 is a permanent blank), and
// an open-addressing hash table with linear probing maps keys to positions: its slots hold
// positions, 0 marks an empty slot, and removal repairs the probe chain that follows the freed
// slot instead of leaving deleted markers. Appending at the end and removing the last position
// move no other entry; inserting or removing in the middle moves the following entries as one
// block and renumbers only them. Capacity grows by the fixed step AllocationChunk, and the
// table (Capacity x FillRatio slots, rounded half to even, made odd) is rebuilt only when the
// capacity changes.
//
// Errors are standard run-time errors by number: 5 "Invalid procedure call or argument" (a
// key that is not present, Before together with After), 9 "Subscript out of range" (a
// position outside 1 to Count), 457 "This key is already associated with an element of this
// collection", 6 "Overflow" (a position or a size beyond the Long range). After an error the
// collection holds the same items in the same order; only a growth may precede it.
//
// Ownership: the collection holds one reference to each item; Item hands out another.
// Thread-safety: none; an instance belongs to the object that made it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/variant.hpp"

namespace cobaltmoth::support {

// A counted reference to an object of any kind, as the collection stores it.
using ObjectRef = std::shared_ptr<void>;

class CollectionExObj {
 public:
  // Walks a snapshot of the items in position order; later changes of the collection do not
  // affect an enumerator that was already handed out.
  class Enumerator {
   public:
    // The next item, or false at the end.
    bool Next(ObjectRef* item);
    void Reset() noexcept { next_ = 0; }

   private:
    friend class CollectionExObj;
    using Snapshot = std::vector<std::pair<std::u16string, ObjectRef>>;
    explicit Enumerator(std::shared_ptr<const Snapshot> snapshot)
        : snapshot_(std::move(snapshot)) {}
    std::shared_ptr<const Snapshot> snapshot_;
    std::size_t next_ = 0;
  };

  // Empty, capacity 1000 (NumItems), growth step 1000 (AllocationChunk), 2.0 table slots per
  // entry (FillRatio), 2001 slots, unsorted.
  CollectionExObj();

  // Sets the three settings, raising them to their floors (NumItems 20; AllocationChunk below
  // 20 becomes NumItems; FillRatio 1.5), and re-dimensions: an empty collection is cleared,
  // a filled one rebuilt with capacity NumItems, or Count when that is larger (nothing is
  // ever lost).
  void SetMemory(std::int32_t num_items, std::int32_t allocation_chunk, float fill_ratio);

  // Removes every item; the capacity goes back to NumItems. Sorted keeps its value.
  void Clear();

  std::int32_t Count() const noexcept { return count_; }

  // Adds `item` under `key`. A present key raises 457, or with `ignore_if_present` replaces
  // that item in place. Unsorted, `before` (a key or a position) puts the new item in front of
  // the named one and `after` behind it; giving both raises 5. Sorted, both are ignored.
  void Add(ObjectRef item, std::u16string_view key, const runtime::Variant& before = {},
           const runtime::Variant& after = {}, bool ignore_if_present = false);

  // The item under a key (5 when absent) or at a position (9 outside 1 to Count).
  ObjectRef Item(const runtime::Variant& index);
  // The item at a position (9 outside 1 to Count), without a runtime::Variant to convert.
  const ObjectRef& ItemAt(std::int32_t position) const;

  // Removes the item under a key or at a position; a miss raises 5 or 9, or with
  // `ignore_if_not_found` changes nothing.
  void Remove(const runtime::Variant& index, bool ignore_if_not_found = false);
  // Removes the item at a position (9 outside 1 to Count) and hands back the collection's
  // reference to it.
  ObjectRef RemoveAt(std::int32_t position);

  // An enumerator over the items in position order.
  Enumerator NewEnum();

  // Whether a key is present, or a number lies from 1 to Count (2.5 does). Never raises for a
  // missing key.
  bool Exists(const runtime::Variant& key);

  // The position of a key, -1 when absent.
  std::int32_t Index(std::u16string_view key);

  // The stored (lower-case) key at a position; 9 outside 1 to Count.
  const std::u16string& Key(std::int32_t index) const;

  bool Sorted() const noexcept { return sorted_; }
  // Switching on sorts the items by key; switching off keeps the present order.
  void Sorted(bool new_value);

  // Settings and sizes.
  std::int32_t NumItems() const noexcept { return num_items_; }
  std::int32_t AllocationChunk() const noexcept { return allocation_chunk_; }
  float FillRatio() const noexcept { return fill_ratio_; }
  std::int32_t Capacity() const noexcept { return capacity_; }
  std::int32_t TableSize() const noexcept { return table_size_; }

  // The hash of a key that is already in lower case: 1 to 2^30 - 1, and 1 for the empty key.
  // Only the first 256 code units count: FNV-1a over them on 64 bits, finished by a 64-bit
  // mixer, of which the top 30 bits are kept (0 counts as 1). Every code unit moves the whole
  // result, so keys that differ only in their last characters (item1, item2, ...) spread over
  // the table instead of crowding into one probe run.
  static std::int32_t HashKey(std::u16string_view lower_key) noexcept;

  // Capacity x FillRatio rounded to the nearest whole number (a half to even), made odd.
  static std::int32_t ComputeTableSize(std::int32_t capacity, float fill_ratio);

 private:
  friend struct CollectionExObjInspector;  // test-only invariant checks

  struct EntryRecord {
    std::int32_t KeyHash = 0;
    std::int32_t HashSlot = 0;
    std::u16string Key;
    ObjectRef Item;
  };

  // The slot holding `lower_key` (> 0), or minus the empty slot where it would go.
  std::int32_t FindKey(std::u16string_view lower_key, std::int32_t hash) const noexcept;
  // A present key's position, raising 5 when absent.
  std::int32_t PositionOfKey(std::u16string_view key);
  // A number given as a position, checked against 1 to Count (9 outside).
  std::int32_t CheckedPosition(const runtime::Variant& index) const;
  // Where a new lower-case key goes in sorted order.
  std::int32_t FindSorted(std::u16string_view lower_key) const noexcept;
  // Puts every entry into the (empty) hash table, after it has been re-sized.
  void FillTable() noexcept;
  void Resize(std::int32_t new_capacity);
  // Capacity + AllocationChunk; 6 "Overflow" past the Long range.
  void Grow();
  void Renumber(std::int32_t from, std::int32_t to) noexcept;
  // Removes position p, whose key sits in slot r of the table; returns its item.
  ObjectRef RemoveEntry(std::int32_t p, std::int32_t r);
  void SortEntries() noexcept;

  std::int32_t num_items_ = 1000;
  std::int32_t allocation_chunk_ = 1000;
  float fill_ratio_ = 2.0f;
  std::int32_t count_ = 0;
  std::int32_t capacity_ = 0;
  std::int32_t table_size_ = 0;
  bool sorted_ = false;
  std::vector<EntryRecord> entries_;      // 0 .. capacity_
  std::vector<std::int32_t> hash_table_;  // 0 .. table_size_
  std::shared_ptr<const Enumerator::Snapshot> enum_snapshot_;
};

}  // namespace cobaltmoth::support
