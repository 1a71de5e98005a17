#include "support/collection_ex_obj.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "runtime/host_error.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::support {
namespace {

constexpr std::int32_t kMinNumItems = 20;
constexpr std::int32_t kMinAllocationChunk = 20;
constexpr float kMinFillRatio = 1.5f;
constexpr std::int32_t kHashedUnits = 256;
constexpr int kHashBits = 30;  // hashes run from 1 to 2^30 - 1

// The lower-case form of a key with its hash, as every lookup needs them.
struct LoweredKey {
  explicit LoweredKey(std::u16string_view key)
      : text(runtime::LCase(key)), hash(CollectionExObj::HashKey(text)) {}
  std::u16string text;
  std::int32_t hash;
};

}  // namespace

bool CollectionExObj::Enumerator::Next(ObjectRef* item) {
  if (!snapshot_ || next_ >= snapshot_->size()) return false;
  *item = (*snapshot_)[next_++].second;
  return true;
}

CollectionExObj::CollectionExObj() { Clear(); }

std::int32_t CollectionExObj::HashKey(std::u16string_view lower_key) noexcept {
  const std::size_t n = std::min<std::size_t>(lower_key.size(), kHashedUnits);
  if (n == 0) return 1;
  // FNV-1a over the code units, on 64 bits...
  std::uint64_t h = 0xCBF29CE484222325;
  for (std::size_t i = 0; i < n; ++i) {
    h ^= lower_key[i];
    h *= 0x100000001B3;
  }
  // ...finished by a 64-bit mixer (MurmurHash3's), so that every unit moves the top bits,
  // which are the ones kept.
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCD;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53;
  h ^= h >> 33;
  const auto kept = static_cast<std::int32_t>(h >> (64 - kHashBits));
  return kept == 0 ? 1 : kept;
}

std::int32_t CollectionExObj::ComputeTableSize(std::int32_t capacity, float fill_ratio) {
  const double exact = static_cast<double>(capacity) * static_cast<double>(fill_ratio);
  double rounded = std::floor(exact);
  const double fraction = exact - rounded;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
  // The table is indexed 0 to its size, so the size itself must stay below the Long maximum.
  if (!(rounded < static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    runtime::RaiseRuntime(runtime::kOverflow);
  }
  return static_cast<std::int32_t>(rounded) | 1;
}

std::int32_t CollectionExObj::FindKey(std::u16string_view lower_key,
                                      std::int32_t hash) const noexcept {
  std::int32_t s = hash % table_size_ + 1;
  for (;;) {
    const std::int32_t position = hash_table_[s];
    if (position == 0) return -s;
    const EntryRecord& entry = entries_[position];
    if (entry.KeyHash == hash && entry.Key == lower_key) return s;
    s = (s == table_size_) ? 1 : s + 1;
  }
}

std::int32_t CollectionExObj::PositionOfKey(std::u16string_view key) {
  const LoweredKey lowered(key);
  const std::int32_t s = FindKey(lowered.text, lowered.hash);
  if (s < 0) runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
  return hash_table_[s];
}

std::int32_t CollectionExObj::CheckedPosition(const runtime::Variant& index) const {
  const std::int32_t p = index.ToLong();
  if (p < 1 || p > count_) runtime::RaiseRuntime(runtime::kSubscriptOutOfRange);
  return p;
}

std::int32_t CollectionExObj::FindSorted(std::u16string_view lower_key) const noexcept {
  std::int32_t lo = 1;
  std::int32_t hi = count_;
  while (lo <= hi) {
    const std::int32_t mid = lo + (hi - lo) / 2;
    const int order = entries_[mid].Key.compare(lower_key);
    if (order < 0) {
      lo = mid + 1;
    } else if (order > 0) {
      hi = mid - 1;
    } else {
      return mid;
    }
  }
  return lo;
}

void CollectionExObj::Renumber(std::int32_t from, std::int32_t to) noexcept {
  for (std::int32_t i = from; i <= to; ++i) hash_table_[entries_[i].HashSlot] = i;
}

void CollectionExObj::Resize(std::int32_t new_capacity) {
  const std::int32_t new_table_size = ComputeTableSize(new_capacity, fill_ratio_);
  try {
    std::vector<std::int32_t> new_table(static_cast<std::size_t>(new_table_size) + 1, 0);
    entries_.resize(static_cast<std::size_t>(new_capacity) + 1);
    hash_table_ = std::move(new_table);
  } catch (const std::bad_alloc&) {
    runtime::RaiseRuntime(runtime::kOutOfMemory);
  }
  capacity_ = new_capacity;
  table_size_ = new_table_size;
  FillTable();
}

void CollectionExObj::Grow() {
  const std::int64_t grown = std::int64_t{capacity_} + allocation_chunk_;
  if (grown >= std::numeric_limits<std::int32_t>::max()) runtime::RaiseRuntime(runtime::kOverflow);
  Resize(static_cast<std::int32_t>(grown));
}

void CollectionExObj::FillTable() noexcept {
  for (std::int32_t i = 1; i <= count_; ++i) {
    EntryRecord& entry = entries_[i];
    const std::int32_t slot = -FindKey(entry.Key, entry.KeyHash);
    hash_table_[slot] = i;
    entry.HashSlot = slot;
  }
}

void CollectionExObj::Clear() {
  const std::int32_t new_table_size = ComputeTableSize(num_items_, fill_ratio_);
  try {
    std::vector<EntryRecord> new_entries(static_cast<std::size_t>(num_items_) + 1);
    std::vector<std::int32_t> new_table(static_cast<std::size_t>(new_table_size) + 1, 0);
    entries_.swap(new_entries);
    hash_table_.swap(new_table);
  } catch (const std::bad_alloc&) {
    runtime::RaiseRuntime(runtime::kOutOfMemory);
  }
  count_ = 0;
  capacity_ = num_items_;
  table_size_ = new_table_size;
  enum_snapshot_.reset();
}

void CollectionExObj::SetMemory(std::int32_t num_items, std::int32_t allocation_chunk,
                                float fill_ratio) {
  if (num_items < kMinNumItems) num_items = kMinNumItems;
  if (allocation_chunk < kMinAllocationChunk) allocation_chunk = num_items;
  // "Not below 1.5" also refuses a NaN.
  if (!(fill_ratio >= kMinFillRatio)) fill_ratio = kMinFillRatio;
  // Check the new table size before anything is stored, so that a failure changes nothing.
  ComputeTableSize(std::max(num_items, count_), fill_ratio);
  num_items_ = num_items;
  allocation_chunk_ = allocation_chunk;
  fill_ratio_ = fill_ratio;
  if (count_ == 0) {
    Clear();
  } else {
    Resize(std::max(num_items_, count_));
  }
}

void CollectionExObj::Add(ObjectRef item, std::u16string_view key, const runtime::Variant& before,
                          const runtime::Variant& after, bool ignore_if_present) {
  LoweredKey lowered(key);
  std::int32_t s = FindKey(lowered.text, lowered.hash);
  if (s > 0) {
    if (!ignore_if_present) runtime::RaiseRuntime(runtime::kKeyAlreadyAssociated);
    entries_[hash_table_[s]].Item = std::move(item);
    enum_snapshot_.reset();
    return;
  }
  if (count_ == capacity_) {
    Grow();
    s = FindKey(lowered.text, lowered.hash);
  }
  const std::int32_t slot = -s;

  std::int32_t p;
  if (sorted_) {
    p = FindSorted(lowered.text);
  } else if (!before.IsMissing()) {
    if (!after.IsMissing()) runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
    p = before.IsText() ? PositionOfKey(before.Text()) : CheckedPosition(before);
  } else if (after.IsMissing()) {
    p = count_ + 1;
  } else {
    // The new item goes right behind the one that `after` names.
    p = (after.IsText() ? PositionOfKey(after.Text()) : CheckedPosition(after)) + 1;
  }

  ++count_;
  hash_table_[slot] = p;
  if (p != count_) {
    std::move_backward(entries_.begin() + p, entries_.begin() + count_,
                       entries_.begin() + count_ + 1);
    entries_[p] = EntryRecord{};
    Renumber(p + 1, count_);
  }
  EntryRecord& entry = entries_[p];
  entry.KeyHash = lowered.hash;
  entry.HashSlot = slot;
  entry.Key = std::move(lowered.text);
  entry.Item = std::move(item);
  enum_snapshot_.reset();
}

ObjectRef CollectionExObj::Item(const runtime::Variant& index) {
  if (index.IsText()) return entries_[PositionOfKey(index.Text())].Item;
  return entries_[CheckedPosition(index)].Item;
}

const ObjectRef& CollectionExObj::ItemAt(std::int32_t position) const {
  if (position < 1 || position > count_) runtime::RaiseRuntime(runtime::kSubscriptOutOfRange);
  return entries_[position].Item;
}

ObjectRef CollectionExObj::RemoveAt(std::int32_t position) {
  if (position < 1 || position > count_) runtime::RaiseRuntime(runtime::kSubscriptOutOfRange);
  return RemoveEntry(position, entries_[position].HashSlot);
}

void CollectionExObj::Remove(const runtime::Variant& index, bool ignore_if_not_found) {
  std::int32_t p;
  std::int32_t r;
  if (index.IsText()) {
    const LoweredKey lowered(index.Text());
    r = FindKey(lowered.text, lowered.hash);
    if (r < 0) {
      if (ignore_if_not_found) return;
      runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
    }
    p = hash_table_[r];
  } else {
    p = index.ToLong();
    if (p < 1 || p > count_) {
      if (ignore_if_not_found) return;
      runtime::RaiseRuntime(runtime::kSubscriptOutOfRange);
    }
    r = entries_[p].HashSlot;
  }
  RemoveEntry(p, r);
}

ObjectRef CollectionExObj::RemoveEntry(std::int32_t p, std::int32_t r) {
  ObjectRef item = std::move(entries_[p].Item);
  entries_[p] = EntryRecord{};
  if (p < count_) {
    std::move(entries_.begin() + p + 1, entries_.begin() + count_ + 1, entries_.begin() + p);
    entries_[count_] = EntryRecord{};
  }
  --count_;
  Renumber(p, count_);

  // Repair the cluster after the freed slot: every position in it is put back where a lookup
  // from its home slot now finds it.
  hash_table_[r] = 0;
  for (std::int32_t j = (r == table_size_) ? 1 : r + 1; hash_table_[j] != 0;
       j = (j == table_size_) ? 1 : j + 1) {
    const std::int32_t q = hash_table_[j];
    hash_table_[j] = 0;
    const std::int32_t slot = -FindKey(entries_[q].Key, entries_[q].KeyHash);
    hash_table_[slot] = q;
    entries_[q].HashSlot = slot;
  }
  enum_snapshot_.reset();
  return item;
}

CollectionExObj::Enumerator CollectionExObj::NewEnum() {
  if (!enum_snapshot_) {
    auto snapshot = std::make_shared<Enumerator::Snapshot>();
    snapshot->reserve(static_cast<std::size_t>(count_));
    for (std::int32_t i = 1; i <= count_; ++i) {
      snapshot->emplace_back(entries_[i].Key, entries_[i].Item);
    }
    enum_snapshot_ = std::move(snapshot);
  }
  return Enumerator(enum_snapshot_);
}

bool CollectionExObj::Exists(const runtime::Variant& key) {
  if (key.IsText()) {
      const LoweredKey lowered(key.Text());
    return FindKey(lowered.text, lowered.hash) > 0;
  }
  if (key.IsNumber()) return key.Number() >= 1 && key.Number() <= count_;
  return false;
}

std::int32_t CollectionExObj::Index(std::u16string_view key) {
  const LoweredKey lowered(key);
  const std::int32_t s = FindKey(lowered.text, lowered.hash);
  return s > 0 ? hash_table_[s] : -1;
}

const std::u16string& CollectionExObj::Key(std::int32_t index) const {
  if (index < 1 || index > count_) runtime::RaiseRuntime(runtime::kSubscriptOutOfRange);
  return entries_[index].Key;
}

void CollectionExObj::Sorted(bool new_value) {
  if (new_value == sorted_) return;
  sorted_ = new_value;
  if (sorted_) {
    SortEntries();
    enum_snapshot_.reset();
  }
}

void CollectionExObj::SortEntries() noexcept {
  // Shell sort with Knuth's gaps 1, 4, 13, 40, ...; keys are unique, so no tie-break.
  std::int64_t h = 1;
  while (h <= count_) h = 3 * h + 1;
  do {
    h /= 3;
    for (std::int64_t i = h + 1; i <= count_; ++i) {
      if (entries_[i - h].Key > entries_[i].Key) {
        EntryRecord aside = std::move(entries_[i]);
        std::int64_t j = i;
        do {
          entries_[j] = std::move(entries_[j - h]);
          j -= h;
        } while (j > h && entries_[j - h].Key > aside.Key);
        entries_[j] = std::move(aside);
      }
    }
  } while (h > 1);
  Renumber(1, count_);
}

}  // namespace cobaltmoth::support
