// fuzz/collection_fuzz.cpp - CollectionExObj against a plain model, operation by operation.
//
// The input is read as a list of operations on one collection. After each operation the
// collection must pass CollectionExObjInspector::CheckInvariants and agree with a model that
// keeps (lower-case key, item) in position order in a std::vector: the same Count, keys, items
// by position, settings and capacity, and the same result or error number for every call. A
// failing call leaves the model as it was, so one that changes the collection shows up too
// (except that a growth may come before an error of Add). Items that the collection gave up
// must be released at once, unless an enumerator the fuzzer still holds has them.
//
// The check after each operation uses no lookup by key, because a lookup brings a hash table
// that AppendNewKey left behind up to date; a separate operation (and the end of the input)
// looks up every key, so that runs of appends, growths, removals and sorting with the table
// left behind are reached too.
//
// Input format; a byte past the end reads as 0:
//   operation := opcode byte (opcode % 16 picks the operation, see Fuzz::Run), arguments
//   key       := see ReadKey: a present key respelled, or up to 7 units of a small alphabet
//                after an optional long prefix of 255, 256, 257 or 300 units
//   variant   := see ReadVariant: missing, a key, or a number (small, near Count, or odd)
//
// COLLECTION_FUZZ_TRACE=1 prints every operation and its result while running an input.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <cobaltmoth/error.hpp>

#include "collection_inspector.hpp"
#include "component/text.hpp"
#include "component/variant.hpp"
#include "support/collection_ex_obj.hpp"

namespace {

using cobaltmoth::CollectionExObj;
using cobaltmoth::CollectionExObjInspector;
using cobaltmoth::ObjectRef;
using cobaltmoth::Variant;
namespace text = cobaltmoth::text;

constexpr std::int32_t kLongMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kLongMin = std::numeric_limits<std::int32_t>::min();
constexpr int kMaxOperations = 3000;
// Bulk additions stop at these counts, so that one input stays fast. Keys behind a long prefix
// all share one hash, and every lookup of one walks the whole cluster.
constexpr std::int32_t kBulkLimit = 250;
constexpr std::int32_t kBulkLimitLongKeys = 40;

constexpr std::int32_t kInvalidProcedureCall = 5;
constexpr std::int32_t kOverflow = 6;
constexpr std::int32_t kSubscriptOutOfRange = 9;
constexpr std::int32_t kKeyAlreadyAssociated = 457;

bool g_trace = false;

// ---- Items: each knows its number, and the live ones are counted. ----------------------------

long g_live_items = 0;

struct Item {
  explicit Item(std::uint32_t number) : id(number) { ++g_live_items; }
  ~Item() { --g_live_items; }
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;
  std::uint32_t id;
};

std::uint32_t IdOf(const ObjectRef& item) {
  return item ? static_cast<const Item*>(item.get())->id : 0;
}

// ---- The input. -------------------------------------------------------------------------------

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool AtEnd() const { return pos_ >= size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::int8_t Signed() { return static_cast<std::int8_t>(Byte()); }
  std::uint16_t Word() {
    const unsigned low = Byte();
    return static_cast<std::uint16_t>(low | (unsigned{Byte()} << 8));
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Upper and lower case letters (so case folding matters), non-ASCII pairs, U+0130 (whose
// lower case is "i"), code units that hash as negative numbers, and NUL.
constexpr char16_t kAlphabet[16] = {u'a',    u'A',    u'b',    u'B',    u'k',    u'K',
                                    u'i',    u'I',    0x0130,  0x00C8,  0x00E8,  0x0391,
                                    0x03B1,  0xFFFF,  0x8000,  0x0000};
// The lower-case units that bulk additions build their keys from (base 8).
constexpr char16_t kBulkDigits[8] = {u'a', u'b', u'k', u'i', 0x00E8, 0x03B1, 0xFFFF, 0x8000};

char16_t UpperUnit(char16_t u, bool dotted_i) {
  if (u == u'i' && dotted_i) return 0x0130;
  if (u >= u'a' && u <= u'z') return static_cast<char16_t>(u - (u'a' - u'A'));
  if (u == 0x00E8) return 0x00C8;
  if (u == 0x03B1) return 0x0391;
  return u;
}

// Numbers that sit on the edges of rounding and of the Long range.
const double kOddNumbers[32] = {
    0.5,  1.5,  2.5,  3.5,  -0.5, -1.5, 0.49999999999999994, 1.0000000000000002,
    0.9999999999999999, -0.0, 1e-300, 2147483647.0, 2147483647.4999998, 2147483647.5,
    2147483648.0, -2147483648.0, -2147483648.5, -2147483648.5000005, -2147483649.0,
    4294967297.0, 1e10, -1e300, std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
    std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(), 4.5,
    5.5, 1.0, 2.0, 3.0};

// ---- Text for messages. -----------------------------------------------------------------------

std::string Show(std::u16string_view key) {
  std::string out = "\"";
  char buffer[32];
  for (std::size_t i = 0; i < key.size();) {
    std::size_t run = 1;
    while (i + run < key.size() && key[i + run] == key[i]) ++run;
    const char16_t u = key[i];
    if (u >= 0x20 && u < 0x7F && u != u'"' && u != u'\\') {
      std::snprintf(buffer, sizeof buffer, "%c", static_cast<char>(u));
    } else {
      std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(u));
    }
    if (run >= 6) {
      out += buffer;
      out += "{" + std::to_string(run) + "}";
      i += run;
    } else {
      out += buffer;
      ++i;
    }
  }
  return out + "\"";
}

std::string ShowVariant(const Variant& v) {
  if (v.IsMissing()) return "(missing)";
  if (v.IsText()) return Show(v.Text());
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.17g", v.Number());
  return buffer;
}

// ---- Independent versions of the rules the collection follows. --------------------------------

// The host's conversion to Long: to nearest, a half to even (the default rounding mode).
std::optional<std::int32_t> RefLong(double number) {
  const double r = std::nearbyint(number);
  if (!(r >= -2147483648.0 && r <= 2147483647.0)) return std::nullopt;
  return static_cast<std::int32_t>(r);
}

// Capacity x FillRatio to nearest, a half to even, made odd; nothing when it reaches the Long
// maximum.
std::optional<std::int32_t> RefTableSize(std::int64_t capacity, float fill_ratio) {
  const double r = std::nearbyint(static_cast<double>(capacity) * static_cast<double>(fill_ratio));
  if (!(r < 2147483647.0)) return std::nullopt;
  return static_cast<std::int32_t>(r) | 1;
}

// FNV-1a (64 bits) over the first 256 units, through MurmurHash3's 64-bit finaliser, top 30
// bits; 0 (and the empty key) counts as 1.
std::int32_t RefHash(std::u16string_view lower_key) {
  if (lower_key.empty()) return 1;
  std::uint64_t h = 14695981039346656037u;
  for (const char16_t unit : lower_key.substr(0, 256)) h = (h ^ unit) * 1099511628211u;
  for (const std::uint64_t multiplier : {0xFF51AFD7ED558CCDu, 0xC4CEB9FE1A85EC53u}) {
    h = (h ^ (h >> 33)) * multiplier;
  }
  const auto top = static_cast<std::int32_t>((h ^ (h >> 33)) >> 34);
  return top == 0 ? 1 : top;
}

// ---- The model. -------------------------------------------------------------------------------

struct Entry {
  std::u16string key;       // lower case
  std::u16string spelling;  // as it was added
  ObjectRef item;
};

struct Model {
  std::vector<Entry> entries;  // in position order
  bool sorted = false;
  std::int32_t num_items = 1000;
  std::int32_t allocation_chunk = 1000;
  float fill_ratio = 2.0f;
  std::int32_t capacity = 1000;

  std::int32_t Count() const { return static_cast<std::int32_t>(entries.size()); }
  // The 0-based index of a lower-case key, -1 when absent.
  int Find(std::u16string_view lower_key) const {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].key == lower_key) return static_cast<int>(i);
    }
    return -1;
  }
};

// ---- One run. ---------------------------------------------------------------------------------

class Fuzz {
 public:
  explicit Fuzz(Input& in) : in_(in) {}

  void Run() {
    Verify();
    for (int n = 1; n <= kMaxOperations && !in_.AtEnd(); ++n) {
      op_number_ = n;
      switch (in_.Byte() % 16) {
        case 0: OpSetMemory(); break;
        case 1: OpClear(); break;
        case 2: OpAdd(); break;
        case 3: OpAppendNewKey(); break;
        case 4: OpAppend(); break;
        case 5: OpBulkAdd(); break;
        case 6: OpItem(); break;
        case 7:
        case 8: OpRemove(); break;
        case 9: OpExists(); break;
        case 10: OpIndex(); break;
        case 11: OpByPosition(); break;
        case 12: OpSorted(); break;
        case 13: OpNewEnum(); break;
        case 14: OpHeldEnum(); break;
        case 15: OpLookUpAll(); break;
      }
      Verify();
    }
  }

  // Looks up every key, drops the held enumerator and checks that everything the collection
  // gave up is gone.
  void Finish() {
    ++op_number_;
    OpLookUpAll();
    Verify();
    held_.reset();
    held_items_.clear();
    CheckReleased();
    if (!released_.empty()) Fail("an item the collection gave up is still alive at the end");
  }

 private:
  // ---- Reading arguments. ----

  std::u16string ReadKey() {
    const std::uint8_t b = in_.Byte();
    if ((b & 0x80) != 0 && !model_.entries.empty()) {
      const Entry& e = model_.entries[in_.Byte() % model_.entries.size()];
      switch (b & 3) {
        case 0: return e.spelling;
        case 1: return e.key;
        case 2: {
          std::u16string upper = e.key;
          for (char16_t& u : upper) u = UpperUnit(u, (b & 4) != 0);
          return upper;
        }
        default: {
          // A near miss: one unit more, or one fewer.
          std::u16string near = e.key;
          if ((b & 4) != 0 && !near.empty()) {
            near.pop_back();
          } else {
            near += kAlphabet[(b >> 3) & 15];
          }
          return near;
        }
      }
    }
    std::u16string key;
    switch ((b >> 3) & 15) {
      case 12: key.assign(255, u'k'); break;
      case 13: key.assign(256, u'k'); break;
      case 14: key.assign(300, u'k'); break;
      case 15: key.assign(257, u'K'); break;
      default: break;
    }
    for (int i = b & 7; i > 0; --i) key += kAlphabet[in_.Byte() & 15];
    return key;
  }

  Variant ReadVariant() {
    const std::uint8_t b = in_.Byte();
    switch (b % 8) {
      case 0: return Variant();
      case 1:
      case 2:
      case 3: return Variant(ReadKey());
      case 4: return Variant(static_cast<std::int32_t>(in_.Signed()));
      case 5: return Variant(static_cast<double>(in_.Signed()));
      case 6: return Variant(model_.Count() + in_.Signed() / 2.0);
      default: return Variant(kOddNumbers[in_.Byte() % std::size(kOddNumbers)]);
    }
  }

  // A NumItems or AllocationChunk: -20 to 300 mostly, sometimes a value on an edge. The huge
  // ones always overflow the table (FillRatio is at least 1.5), so nothing big is allocated.
  std::int32_t ReadSize(bool chunk) {
    const std::uint16_t w = in_.Word();
    if (w < 0xFF00) return static_cast<std::int32_t>(w % 321) - 20;
    static constexpr std::int32_t kNumItems[8] = {kLongMin, -1, 0, 19, 20, 21, kLongMax,
                                                  1431655765};
    // A chunk this big overflows the next growth, either the capacity or the table.
    static constexpr std::int32_t kChunks[8] = {kLongMin, -1, 0, 19, 20, kLongMax,
                                                2147483627, 1500000000};
    return chunk ? kChunks[w & 7] : kNumItems[w & 7];
  }

  float ReadFillRatio() {
    const std::uint8_t b = in_.Byte();
    if (b < 128) return 1.0f + static_cast<float>(b) / 32.0f;  // 1 to 4.97, 1.5 among them
    static const float kOdd[16] = {1.7f,  1.5f,  1.4999999f, 1.5000001f,
                                   0.0f,  -0.0f, -1.0f,      std::numeric_limits<float>::quiet_NaN(),
                                   std::numeric_limits<float>::infinity(),
                                   -std::numeric_limits<float>::infinity(),
                                   1e9f,  3.4e38f, 2.0f,     1.25f,
                                   7.3f,  1.6666666f};
    return kOdd[b & 15];
  }

  // ---- Checking. ----

  [[noreturn]] void Fail(const std::string& what) const {
    std::fprintf(stderr, "collection_fuzz: operation %d, %s: %s\n", op_number_, op_.c_str(),
                 what.c_str());
    std::fflush(stderr);
    std::abort();
  }

  template <typename Call>
  std::int32_t ErrorOf(Call&& call) {
    try {
      call();
      return 0;
    } catch (const cobaltmoth::Error& e) {
      if (e.Number() == 0) Fail("an error numbered 0");
      return e.Number();
    } catch (const std::exception& e) {
      Fail(std::string("unexpected exception: ") + e.what());
    }
  }

  void ExpectError(std::int32_t expected, std::int32_t actual) {
    if (g_trace) {
      std::fprintf(stderr, "#%d %s -> %d\n", op_number_, op_.c_str(), static_cast<int>(actual));
    }
    if (expected != actual) {
      Fail("error " + std::to_string(actual) + ", expected " + std::to_string(expected));
    }
  }

  // The whole state against the model.
  void Verify() {
    const std::string broken = CollectionExObjInspector::CheckInvariants(c_);
    if (!broken.empty()) Fail("invariant broken: " + broken);
    if (c_.Count() != model_.Count()) {
      Fail("Count " + std::to_string(c_.Count()) + ", expected " +
           std::to_string(model_.Count()));
    }
    if (c_.Sorted() != model_.sorted) Fail("Sorted differs");
    if (c_.NumItems() != model_.num_items || c_.AllocationChunk() != model_.allocation_chunk ||
        !(c_.FillRatio() == model_.fill_ratio)) {
      Fail("settings " + std::to_string(c_.NumItems()) + "/" +
           std::to_string(c_.AllocationChunk()) + "/" + std::to_string(c_.FillRatio()) +
           ", expected " + std::to_string(model_.num_items) + "/" +
           std::to_string(model_.allocation_chunk) + "/" + std::to_string(model_.fill_ratio));
    }
    if (c_.Capacity() != model_.capacity) {
      Fail("Capacity " + std::to_string(c_.Capacity()) + ", expected " +
           std::to_string(model_.capacity));
    }
    const auto table_size = RefTableSize(model_.capacity, model_.fill_ratio);
    if (!table_size || c_.TableSize() != *table_size) Fail("TableSize");
    try {
      for (std::int32_t p = 1; p <= model_.Count(); ++p) {
        const Entry& e = model_.entries[static_cast<std::size_t>(p - 1)];
        if (c_.Key(p) != e.key) {
          Fail("Key(" + std::to_string(p) + ") is " + Show(c_.Key(p)) + ", expected " +
               Show(e.key));
        }
        // By position, which does not touch the hash table.
        if (c_.Item(Variant(p)).get() != e.item.get() || c_.ItemAt(p).get() != e.item.get()) {
          Fail("Item(" + std::to_string(p) + ") is item " + std::to_string(IdOf(c_.Item(p))) +
               ", expected " + std::to_string(IdOf(e.item)));
        }
      }
    } catch (const cobaltmoth::Error& e) {
      Fail(std::string("error while comparing: ") + e.what());
    }
    CheckReleased();
  }

  // Every item the collection gave up is gone, unless the held enumerator still has it.
  void CheckReleased() {
    std::erase_if(released_, [](const std::weak_ptr<void>& w) { return w.expired(); });
    for (const auto& w : released_) {
      const void* p = w.lock().get();
      if (!std::binary_search(held_items_.begin(), held_items_.end(), p)) {
        Fail("item " + std::to_string(IdOf(w.lock())) + " is still alive after its removal");
      }
    }
  }

  // Where a key or a number points, as Item, Remove, Before and After read it: 0 and the
  // 1-based position, or the error.
  std::int32_t PositionOf(const Variant& v, std::int32_t* position) const {
    if (v.IsText()) {
      const int i = model_.Find(text::LCase(v.Text()));
      if (i < 0) return kInvalidProcedureCall;
      *position = i + 1;
      return 0;
    }
    if (!v.IsNumber()) return kInvalidProcedureCall;
    const auto n = RefLong(v.Number());
    if (!n) return kOverflow;
    if (*n < 1 || *n > model_.Count()) return kSubscriptOutOfRange;
    *position = *n;
    return 0;
  }

  std::vector<const void*> ModelItems() const {
    std::vector<const void*> items;
    items.reserve(model_.entries.size());
    for (const Entry& e : model_.entries) items.push_back(e.item.get());
    return items;
  }

  // ---- Operations. ----

  void OpSetMemory() {
    const std::int32_t num_items = ReadSize(false);
    const std::int32_t chunk = ReadSize(true);
    const float fill_ratio = ReadFillRatio();
    op_ = "SetMemory(" + std::to_string(num_items) + ", " + std::to_string(chunk) + ", " +
          std::to_string(fill_ratio) + ")";
    const std::int32_t n = std::max(num_items, 20);
    const std::int32_t a = chunk < 20 ? n : chunk;
    const float f = fill_ratio >= 1.5f ? fill_ratio : 1.5f;
    const std::int32_t expected =
        RefTableSize(std::max(n, model_.Count()), f) ? 0 : kOverflow;
    ExpectError(expected, ErrorOf([&] { c_.SetMemory(num_items, chunk, fill_ratio); }));
    if (expected != 0) return;
    model_.num_items = n;
    model_.allocation_chunk = a;
    model_.fill_ratio = f;
    model_.capacity = std::max(n, model_.Count());
  }

  void OpClear() {
    op_ = "Clear()";
    ExpectError(0, ErrorOf([&] { c_.Clear(); }));
    for (const Entry& e : model_.entries) released_.push_back(e.item);
    model_.entries.clear();
    model_.capacity = model_.num_items;
  }

  void OpAdd() {
    const std::u16string key = ReadKey();
    const std::uint8_t flags = in_.Byte();
    const Variant before = (flags & 1) != 0 ? ReadVariant() : Variant();
    const Variant after = (flags & 2) != 0 ? ReadVariant() : Variant();
    Add(key, before, after, (flags & 4) != 0);
  }

  void OpAppend() { Add(ReadKey(), Variant(), Variant(), false); }

  void OpAppendNewKey() { AppendNewKey(text::LCase(ReadKey())); }

  // Every key, as it was added and in lower case, by Index, Exists and Item.
  void OpLookUpAll() {
    op_ = "look up every key";
    try {
      for (std::int32_t p = 1; p <= model_.Count(); ++p) {
        const Entry& e = model_.entries[static_cast<std::size_t>(p - 1)];
        if (c_.Index(e.spelling) != p || c_.Index(e.key) != p) {
          Fail("Index(" + Show(e.spelling) + ") is " + std::to_string(c_.Index(e.spelling)) +
               ", expected " + std::to_string(p));
        }
        if (!c_.Exists(Variant(e.spelling))) Fail("Exists(" + Show(e.spelling) + ") is false");
        if (c_.Item(Variant(e.key)).get() != e.item.get()) Fail("Item(" + Show(e.key) + ")");
      }
    } catch (const cobaltmoth::Error& e) {
      Fail(std::string("error while looking up: ") + e.what());
    }
  }

  // Up to 32 keys from a counter, in base 8 over lower-case units (or their upper case), maybe
  // behind a long prefix, appended (by Add or AppendNewKey) or put first.
  void OpBulkAdd() {
    const int n = in_.Byte() % 32 + 1;
    const std::uint8_t flags = in_.Byte();
    const std::int32_t limit = (flags & 6) != 0 ? kBulkLimitLongKeys : kBulkLimit;
    for (int i = 0; i < n && model_.Count() < limit; ++i) {
      std::u16string key;
      switch ((flags >> 1) & 3) {
        case 1: key.assign(255, u'k'); break;
        case 2: key.assign(256, u'k'); break;
        case 3: key.assign(300, u'k'); break;
        default: break;
      }
      std::uint32_t v = bulk_counter_++;
      do {
        const char16_t digit = kBulkDigits[v & 7];
        key += (flags & 1) != 0 ? UpperUnit(digit, false) : digit;
        v >>= 3;
      } while (v != 0);
      if ((flags & 0x20) != 0) {
        AppendNewKey(text::LCase(key));
      } else {
        const Variant before =
            (flags & 0x10) != 0 && model_.Count() > 0 ? Variant(1) : Variant();
        Add(key, before, Variant(), (flags & 8) != 0);
      }
      if (i + 1 < n) Verify();
    }
  }

  void Add(const std::u16string& key, const Variant& before, const Variant& after,
           bool ignore_if_present) {
    op_ = "Add(" + Show(key) + ", before " + ShowVariant(before) + ", after " + ShowVariant(after) +
          (ignore_if_present ? ", IgnoreIfPresent)" : ")");
    const std::u16string lower = text::LCase(key);
    if (CollectionExObj::HashKey(lower) != RefHash(lower)) {
      Fail("HashKey is " + std::to_string(CollectionExObj::HashKey(lower)) + ", expected " +
           std::to_string(RefHash(lower)));
    }
    ObjectRef item = std::make_shared<Item>(++next_id_);

    std::int32_t expected = 0;
    int replace = -1;
    std::int32_t position = 0;
    std::int32_t grown = model_.capacity;
    const int found = model_.Find(lower);
    if (found >= 0) {
      if (ignore_if_present) {
        replace = found;
      } else {
        expected = kKeyAlreadyAssociated;
      }
    } else {
      if (model_.Count() == model_.capacity) {
        const std::int64_t wanted = std::int64_t{model_.capacity} + model_.allocation_chunk;
        if (wanted >= kLongMax || !RefTableSize(wanted, model_.fill_ratio)) {
          expected = kOverflow;
        } else {
          grown = static_cast<std::int32_t>(wanted);
        }
      }
      if (expected == kOverflow) {
        // The growth failed: nothing else is looked at.
      } else if (model_.sorted) {
        const auto it = std::lower_bound(
            model_.entries.begin(), model_.entries.end(), lower,
            [](const Entry& e, const std::u16string& k) { return e.key < k; });
        position = static_cast<std::int32_t>(it - model_.entries.begin()) + 1;
      } else if (!before.IsMissing()) {
        expected = after.IsMissing() ? PositionOf(before, &position) : kInvalidProcedureCall;
      } else if (after.IsMissing()) {
        position = model_.Count() + 1;
      } else {
        expected = PositionOf(after, &position);
        ++position;  // right behind the named item
      }
    }

    ExpectError(expected, ErrorOf([&] { c_.Add(item, key, before, after, ignore_if_present); }));
    if (expected != 0) {
      // A growth may come before an error of Before or After; nothing else may change.
      if (grown != model_.capacity && c_.Capacity() == grown) model_.capacity = grown;
      released_.push_back(item);
      return;
    }
    if (replace >= 0) {
      Entry& e = model_.entries[static_cast<std::size_t>(replace)];
      released_.push_back(e.item);
      e.item = std::move(item);
      return;
    }
    model_.capacity = grown;
    model_.entries.insert(model_.entries.begin() + (position - 1),
                          Entry{lower, key, std::move(item)});
  }

  // AppendNewKey takes a lower-case key that is not present, and puts it last. Its caller
  // keeps to that (and, while sorted, to keys above the last one); any other key goes to Add.
  void AppendNewKey(const std::u16string& lower_key) {
    if (model_.Find(lower_key) >= 0 ||
        (model_.sorted && !model_.entries.empty() && !(model_.entries.back().key < lower_key))) {
      Add(lower_key, Variant(), Variant(), true);
      return;
    }
    op_ = "AppendNewKey(" + Show(lower_key) + ")";
    ObjectRef item = std::make_shared<Item>(++next_id_);
    std::int32_t expected = 0;
    std::int32_t grown = model_.capacity;
    if (model_.Count() == model_.capacity) {
      const std::int64_t wanted = std::int64_t{model_.capacity} + model_.allocation_chunk;
      if (wanted >= kLongMax || !RefTableSize(wanted, model_.fill_ratio)) {
        expected = kOverflow;
      } else {
        grown = static_cast<std::int32_t>(wanted);
      }
    }
    ExpectError(expected, ErrorOf([&] { c_.AppendNewKey(item, lower_key); }));
    if (expected != 0) {
      released_.push_back(item);
      return;
    }
    model_.capacity = grown;
    model_.entries.push_back(Entry{lower_key, lower_key, std::move(item)});
  }

  void OpItem() {
    const Variant index = ReadVariant();
    op_ = "Item(" + ShowVariant(index) + ")";
    std::int32_t position = 0;
    const std::int32_t expected = PositionOf(index, &position);
    ObjectRef got;
    ExpectError(expected, ErrorOf([&] { got = c_.Item(index); }));
    if (expected == 0) {
      const Entry& e = model_.entries[static_cast<std::size_t>(position - 1)];
      if (got.get() != e.item.get()) {
        Fail("got item " + std::to_string(IdOf(got)) + ", expected " + std::to_string(IdOf(e.item)));
      }
    }
  }

  void OpRemove() {
    const Variant index = ReadVariant();
    const bool ignore_if_not_found = (in_.Byte() & 1) != 0;
    op_ = "Remove(" + ShowVariant(index) + (ignore_if_not_found ? ", IgnoreIfNotFound)" : ")");
    std::int32_t position = 0;
    std::int32_t expected = PositionOf(index, &position);
    const bool miss = expected == kSubscriptOutOfRange ||
                      (expected == kInvalidProcedureCall && index.IsText());
    if (miss && ignore_if_not_found) expected = 0;
    ExpectError(expected, ErrorOf([&] { c_.Remove(index, ignore_if_not_found); }));
    if (expected != 0 || position == 0) return;
    const auto at = model_.entries.begin() + (position - 1);
    released_.push_back(at->item);
    model_.entries.erase(at);
  }

  void OpExists() {
    const Variant key = ReadVariant();
    op_ = "Exists(" + ShowVariant(key) + ")";
    bool expected = false;
    if (key.IsText()) {
      expected = model_.Find(text::LCase(key.Text())) >= 0;
    } else if (key.IsNumber()) {
      expected = key.Number() >= 1 && key.Number() <= model_.Count();
    }
    bool got = false;
    ExpectError(0, ErrorOf([&] { got = c_.Exists(key); }));
    if (got != expected) Fail(got ? "true, expected false" : "false, expected true");
  }

  void OpIndex() {
    const std::u16string key = ReadKey();
    op_ = "Index(" + Show(key) + ")";
    const int found = model_.Find(text::LCase(key));
    const std::int32_t expected = found >= 0 ? found + 1 : -1;
    std::int32_t got = 0;
    ExpectError(0, ErrorOf([&] { got = c_.Index(key); }));
    if (got != expected) Fail(std::to_string(got) + ", expected " + std::to_string(expected));
  }

  // Key, ItemAt and RemoveAt, which take a position as a Long.
  void OpByPosition() {
    const std::uint8_t which = in_.Byte() % 3;
    const std::uint8_t b = in_.Byte();
    const std::int32_t count = model_.Count();
    std::int32_t index;
    if (b < 0xF0) {
      index = b % (count + 3) - 1;  // -1 to Count + 1
    } else {
      const std::int32_t odd[16] = {kLongMin, kLongMax, -2, 0, count, count + 1, count + 2, 1,
                                    kLongMin + 1, kLongMax - 1, -count, 2, 3, count - 1,
                                    count / 2, 256};
      index = odd[b & 15];
    }
    const bool inside = index >= 1 && index <= count;
    const std::int32_t expected = inside ? 0 : kSubscriptOutOfRange;
    const Entry* e = inside ? &model_.entries[static_cast<std::size_t>(index - 1)] : nullptr;
    if (which == 0) {
      op_ = "Key(" + std::to_string(index) + ")";
      std::u16string got;
      ExpectError(expected, ErrorOf([&] { got = c_.Key(index); }));
      if (e != nullptr && got != e->key) Fail("got " + Show(got));
    } else if (which == 1) {
      op_ = "ItemAt(" + std::to_string(index) + ")";
      const void* got = nullptr;
      ExpectError(expected, ErrorOf([&] { got = c_.ItemAt(index).get(); }));
      if (e != nullptr && got != e->item.get()) Fail("got another item");
    } else {
      op_ = "RemoveAt(" + std::to_string(index) + ")";
      ObjectRef got;
      ExpectError(expected, ErrorOf([&] { got = c_.RemoveAt(index); }));
      if (e == nullptr) return;
      // The collection hands over its own reference: it holds none any more.
      if (got.get() != e->item.get()) Fail("handed back item " + std::to_string(IdOf(got)));
      released_.push_back(got);
      got.reset();
      model_.entries.erase(model_.entries.begin() + (index - 1));
    }
  }

  void OpSorted() {
    const bool on = (in_.Byte() & 1) != 0;
    op_ = on ? "Sorted(true)" : "Sorted(false)";
    ExpectError(0, ErrorOf([&] { c_.Sorted(on); }));
    if (on && !model_.sorted) {
      std::sort(model_.entries.begin(), model_.entries.end(),
                [](const Entry& x, const Entry& y) { return x.key < y.key; });
    }
    model_.sorted = on;
  }

  // Enumerates everything, twice (the second time after Reset), and may keep the enumerator.
  void OpNewEnum() {
    const bool keep = (in_.Byte() & 1) != 0;
    op_ = keep ? "NewEnum() kept" : "NewEnum()";
    std::optional<CollectionExObj::Enumerator> e;
    ExpectError(0, ErrorOf([&] { e.emplace(c_.NewEnum()); }));
    const std::vector<const void*> want = ModelItems();
    for (int pass = 0; pass < 2; ++pass) {
      ObjectRef item;
      for (std::size_t i = 0; i < want.size(); ++i) {
        if (!e->Next(&item)) Fail("enumeration ends after " + std::to_string(i) + " items");
        if (item.get() != want[i]) Fail("enumeration differs at " + std::to_string(i + 1));
      }
      if (e->Next(&item)) Fail("enumeration goes past Count");
      e->Reset();
    }
    if (keep) {
      held_ = std::move(e);
      held_order_ = want;
      held_items_ = want;
      std::sort(held_items_.begin(), held_items_.end());
      held_next_ = 0;
    }
  }

  // Steps, resets or drops the enumerator kept earlier: it still walks what it saw then.
  void OpHeldEnum() {
    const std::uint8_t b = in_.Byte();
    if (!held_) {
      op_ = "held enumerator (none)";
      return;
    }
    if ((b & 1) != 0) {
      op_ = "held enumerator: drop";
      held_.reset();
      held_items_.clear();
      held_order_.clear();
      return;
    }
    if ((b & 2) != 0) {
      held_->Reset();
      held_next_ = 0;
    }
    const int steps = (b >> 2) % 8 + 1;
    op_ = "held enumerator: " + std::to_string(steps) + " steps from " + std::to_string(held_next_);
    for (int i = 0; i < steps; ++i) {
      ObjectRef item;
      const bool more = held_->Next(&item);
      if (more != (held_next_ < held_order_.size())) Fail("held enumerator ends at the wrong place");
      if (!more) break;
      if (item.get() != held_order_[held_next_]) Fail("held enumerator yields another item");
      ++held_next_;
    }
  }

  Input& in_;
  CollectionExObj c_;
  Model model_;
  std::optional<CollectionExObj::Enumerator> held_;
  std::vector<const void*> held_order_;  // what the held enumerator walks
  std::vector<const void*> held_items_;  // the same, sorted for lookups
  std::size_t held_next_ = 0;
  std::vector<std::weak_ptr<void>> released_;  // items the collection gave up
  std::uint32_t next_id_ = 0;
  std::uint32_t bulk_counter_ = 0;
  int op_number_ = 0;
  std::string op_ = "construction";
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  const char* trace = std::getenv("COLLECTION_FUZZ_TRACE");
  g_trace = trace != nullptr && *trace != '\0' && *trace != '0';
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    Input in(data, size);
    Fuzz fuzz(in);
    fuzz.Run();
    fuzz.Finish();
  }
  if (g_live_items != 0) {
    std::fprintf(stderr, "collection_fuzz: %ld items outlive the collection\n", g_live_items);
    std::abort();
  }
  return 0;
}
