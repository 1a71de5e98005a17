#include "support/collection_ex_obj.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "fakes.hpp"

namespace cobaltmoth::support {

// Every invariant of a collection: an empty text when all hold, else the first one broken.
struct CollectionExObjInspector {
  static std::string CheckInvariants(const support::CollectionExObj& c) {
    if (c.entries_.size() != static_cast<std::size_t>(c.capacity_) + 1) return "entries size";
    if (c.hash_table_.size() != static_cast<std::size_t>(c.table_size_) + 1) return "table size";
    if (c.table_size_ != support::CollectionExObj::ComputeTableSize(c.capacity_, c.fill_ratio_)) {
      return "table size is not capacity x fill ratio, made odd";
    }
    // The table always keeps an empty slot.
    if (!(c.table_size_ > c.capacity_ && c.capacity_ >= c.count_ && c.count_ >= 0)) {
      return "TableSize > Capacity >= Count";
    }
    if (!c.entries_[0].Key.empty() || c.entries_[0].Item || c.hash_table_[0] != 0) {
      return "index 0 is not blank";
    }
    for (std::int32_t i = c.count_ + 1; i <= c.capacity_; ++i) {
      if (!c.entries_[i].Key.empty() || c.entries_[i].Item) return "entry past Count not blank";
    }
    // Every position is in the slot it names, and nothing else is in the table.
    std::int32_t used = 0;
    for (std::int32_t s = 1; s <= c.table_size_; ++s) used += c.hash_table_[s] != 0;
    if (used != c.count_) return "non-zero slots differ from Count";
    std::set<std::u16string> keys;
    for (std::int32_t p = 1; p <= c.count_; ++p) {
      const auto& e = c.entries_[p];
      if (e.HashSlot < 1 || e.HashSlot > c.table_size_ || c.hash_table_[e.HashSlot] != p) {
        return "slot of position " + std::to_string(p);
      }
      if (e.Key != runtime::LCase(e.Key)) return "stored key not lower case";
      if (e.KeyHash != support::CollectionExObj::HashKey(e.Key)) return "stale KeyHash";
      if (!keys.insert(e.Key).second) return "duplicate key";
      // Reachable from the home slot without crossing an empty slot.
      for (std::int32_t s = e.KeyHash % c.table_size_ + 1; s != e.HashSlot;
           s = s == c.table_size_ ? 1 : s + 1) {
        if (c.hash_table_[s] == 0) return "position " + std::to_string(p) + " unreachable";
      }
      if (c.sorted_ && p > 1 && !(c.entries_[p - 1].Key < e.Key)) return "not sorted";
    }
    return std::string();
  }
};

namespace {

using runtime::Variant;
using testing::U8;

// An item that knows its name, so a test can see which one it got back.
support::ObjectRef Obj(const std::string& name) { return std::make_shared<std::string>(name); }
std::string Name(const support::ObjectRef& item) {
  return item ? *static_cast<const std::string*>(item.get()) : "<none>";
}

// The names of the items in position order, as enumeration yields them.
std::string Order(support::CollectionExObj& c) {
  std::string out;
  auto e = c.NewEnum();
  support::ObjectRef item;
  while (e.Next(&item)) out += (out.empty() ? "" : ",") + Name(item);
  return out;
}

const char* const kDuplicate = "This key is already associated with an element of this collection";

void ExpectValid(const support::CollectionExObj& c) {
  EXPECT_EQ(CollectionExObjInspector::CheckInvariants(c), "");
}

TEST(CollectionExObj, KeysIgnoreCaseAndTheEmptyOrLongOnesAreKeysToo) {
  support::CollectionExObj c;
  c.Add(Obj("first"), u"Alpha");
  EXPECT_RUNTIME_ERROR(c.Add(Obj("second"), u"ALPHA"), 457, kDuplicate);
  EXPECT_EQ(Name(c.Item(u"alpha")), "first");
  EXPECT_EQ(U8(c.Key(1)), "alpha");
  EXPECT_EQ(c.Index(u"ALPHA"), 1);
  EXPECT_TRUE(c.Exists(u"aLPHA"));
  c.Add(Obj("e"), u"\u00C8TA");  // non-ASCII letters fold too
  EXPECT_EQ(c.Index(u"\u00E8ta"), 2);
  c.Add(Obj("E2"), u"\u00E8TA", {}, {}, true);  // ignore-if-present replaces in place
  EXPECT_EQ(Order(c), "first,E2");
  // The empty key, and keys that share their first 256 units.
  const std::u16string base(300, u'k');
  c.Add(Obj("empty"), u"");
  EXPECT_RUNTIME_ERROR(c.Add(Obj("again"), u""), 457, kDuplicate);
  c.Add(Obj("x"), base + u"x");
  c.Add(Obj("y"), base + u"y");
  EXPECT_EQ(Name(c.Item(u"")) + "|" + Name(c.Item(base + u"y")), "empty|y");
  c.Remove(base + u"x");
  c.Remove(u"");
  EXPECT_EQ(c.Index(base + u"y"), 3);
  EXPECT_EQ(Order(c), "first,E2,y");
  ExpectValid(c);
}

TEST(CollectionExObj, BeforeAndAfterPlaceTheNewItemOrFailWithoutChange) {
  support::CollectionExObj c;
  c.Add(Obj("a"), u"a");
  c.Add(Obj("b"), u"b");
  c.Add(Obj("c"), u"c");
  EXPECT_RUNTIME_ERROR(c.Add(Obj("x"), u"x", 4), 9, "Subscript out of range");
  EXPECT_RUNTIME_ERROR(c.Add(Obj("x"), u"x", 0), 9, "Subscript out of range");
  EXPECT_RUNTIME_ERROR(c.Add(Obj("x"), u"x", u"nope"), 5, "Invalid procedure call or argument");
  EXPECT_RUNTIME_ERROR(c.Add(Obj("x"), u"x", 1, 2), 5, "Invalid procedure call or argument");
  EXPECT_RUNTIME_ERROR(c.Add(Obj("x"), u"x", {}, 7), 9, "Subscript out of range");
  EXPECT_EQ(Order(c), "a,b,c");
  EXPECT_FALSE(c.Exists(u"x"));

  c.Add(Obj("first"), u"first", 1);
  EXPECT_EQ(Order(c), "first,a,b,c");
  c.Add(Obj("beforeC"), u"beforeC", u"C");
  EXPECT_EQ(Order(c), "first,a,b,beforeC,c");
  // After puts the new item behind the named one.
  c.Add(Obj("afterA"), u"afterA", {}, u"a");
  c.Add(Obj("last"), u"last", {}, 6);
  EXPECT_EQ(Order(c), "first,a,afterA,b,beforeC,c,last");
  for (const char16_t* key : {u"first", u"a", u"afterA", u"b", u"beforeC", u"c", u"last"}) {
    EXPECT_EQ(Name(c.Item(key)), U8(key));
  }
  // A position given as a number is rounded half to even: 2.5 is 2.
  c.Add(Obj("two"), u"two", 2.5);
  EXPECT_EQ(Name(c.Item(2)), "two");
  ExpectValid(c);
}

TEST(CollectionExObj, RemoveByKeyOrPositionAndIgnoreMisses) {
  support::CollectionExObj c;
  for (const char* k : {"a", "b", "c", "d"}) c.Add(Obj(k), runtime::FromUtf8(k));
  c.Remove(u"B");
  EXPECT_EQ(Order(c), "a,c,d");
  // Exists takes keys, or numbers from 1 to Count without rounding.
  EXPECT_TRUE(c.Exists(2.5) && c.Exists(3));
  EXPECT_FALSE(c.Exists(3.5) || c.Exists(0.99) || c.Exists(Variant()) || c.Exists(u"b"));
  c.Remove(1);
  EXPECT_EQ(Order(c), "c,d");
  EXPECT_EQ(c.Index(u"d"), 2);
  EXPECT_RUNTIME_ERROR(c.Remove(u"zz"), 5, "Invalid procedure call or argument");
  EXPECT_RUNTIME_ERROR(c.Remove(3), 9, "Subscript out of range");
  c.Remove(u"zz", true);
  c.Remove(3, true);
  c.Remove(0, true);
  EXPECT_EQ(Order(c), "c,d");
  EXPECT_RUNTIME_ERROR(c.Item(u"a"), 5, "Invalid procedure call or argument");
  EXPECT_RUNTIME_ERROR(c.Item(Variant()), 5, "Invalid procedure call or argument");
  ExpectValid(c);
}

TEST(CollectionExObj, HashKeyMixesTheFirst256UnitsIntoThirtyBits) {
  const std::u16string base(256, u'k');
  EXPECT_EQ(support::CollectionExObj::HashKey(base + u"x"),
            support::CollectionExObj::HashKey(base + u"y"));
  for (const char16_t* key : {u"", u"a", u"\uFFFF", u"key999"}) {
    EXPECT_TRUE(support::CollectionExObj::HashKey(key) > 0 &&
                support::CollectionExObj::HashKey(key) < 1 << 30);
  }
  // Keys that differ only in a numeric tail take about as many of a default table's 2001 home
  // slots as random values would (a sum of shifted units leaves them fewer than 100).
  std::set<std::int32_t> home_slots;
  for (int i = 0; i < 1000; ++i) {
    home_slots.insert(support::CollectionExObj::HashKey(u"key" + runtime::Decimal(i)) % 2001);
  }
  EXPECT_GT(home_slots.size(), 750u);
}

TEST(CollectionExObj, SetMemoryAppliesTheFloorsAndAnOddTableAndKeepsEveryItem) {
  support::CollectionExObj c;
  c.SetMemory(5, 5, 1.0f);
  EXPECT_EQ(c.NumItems(), 20);
  EXPECT_EQ(c.AllocationChunk(), 20);
  EXPECT_EQ(c.FillRatio(), 1.5f);
  EXPECT_EQ(c.TableSize(), 31);
  c.SetMemory(100, 10, 3.0f);
  EXPECT_EQ(c.AllocationChunk(), 100);
  EXPECT_EQ(c.TableSize(), 301);
  // The table's size is rounded half to even, then made odd.
  EXPECT_EQ(support::CollectionExObj::ComputeTableSize(21, 1.5f), 33);  // 31.5 -> 32 -> 33
  EXPECT_EQ(support::CollectionExObj::ComputeTableSize(23, 1.5f), 35);  // 34.5 -> 34 -> 35
  EXPECT_RUNTIME_ERROR(support::CollectionExObj::ComputeTableSize(2000000000, 2.0f), 6, "Overflow");
  for (int i = 0; i < 150; ++i) c.Add(Obj(std::to_string(i)), runtime::Decimal(i));
  // Shrinking below Count keeps the capacity at Count: nothing is lost.
  c.SetMemory(20, 20, 1.5f);
  EXPECT_EQ(c.Capacity(), 150);
  for (int i = 0; i < 150; ++i) EXPECT_EQ(c.Index(runtime::Decimal(i)), i + 1);
  ExpectValid(c);
  // The next new key grows by the chunk.
  c.Add(Obj("x"), u"x");
  EXPECT_EQ(c.Capacity(), 170);
  ExpectValid(c);
}

TEST(CollectionExObj, The1001stKeyGrowsByTheChunkAndKeepsPositions) {
  support::CollectionExObj c;
  for (int i = 1; i <= 1000; ++i) c.Add(Obj(std::to_string(i)), u"k" + runtime::Decimal(i));
  EXPECT_EQ(c.Capacity(), 1000);  // not grown by the 1000th
  c.Add(Obj("1001"), u"k1001");
  EXPECT_EQ(c.Capacity(), 2000);
  EXPECT_EQ(c.TableSize(), 4001);
  for (int i = 1; i <= 1001; ++i) ASSERT_EQ(c.Index(u"k" + runtime::Decimal(i)), i);
  ExpectValid(c);
}

TEST(CollectionExObj, RemovalRepairsCollidedClusters) {
  // In a 31-slot table, keys whose hashes are equal modulo 31 share a home slot.
  support::CollectionExObj c;
  c.SetMemory(20, 20, 1.5f);
  std::vector<std::u16string> colliding;
  for (char16_t u = 1; colliding.size() < 8; ++u) {
    const std::u16string key(1, u);
    if (support::CollectionExObj::HashKey(key) % 31 == 5) colliding.push_back(key);
  }
  for (std::size_t i = 0; i < colliding.size(); ++i) c.Add(Obj(std::to_string(i)), colliding[i]);
  c.Add(Obj("other"), u"zz");
  c.Remove(colliding[2]);
  c.Remove(colliding[0]);
  ExpectValid(c);
  for (std::size_t i = 1; i < colliding.size(); ++i) {
    if (i == 2) continue;
    EXPECT_EQ(Name(c.Item(colliding[i])), std::to_string(i));
  }
  EXPECT_EQ(Name(c.Item(u"zz")), "other");
}

TEST(CollectionExObj, SortedOrdersByLowerCaseCodeUnitsAndIgnoresBeforeAfter) {
  support::CollectionExObj c;
  for (const char* k : {"item2", "ba", "Zeta", "item10", "b", "alpha"}) {
    c.Add(Obj(k), runtime::FromUtf8(k));
  }
  auto before_sort = c.NewEnum();
  c.Sorted(true);
  EXPECT_EQ(Order(c), "alpha,b,ba,item10,item2,Zeta");
  c.Add(Obj("beta"), u"beta", 1, 2);  // both given, but sorted mode never looks at them
  c.Add(Obj("AAA"), u"AAA");
  EXPECT_EQ(Order(c), "AAA,alpha,b,ba,beta,item10,item2,Zeta");
  ExpectValid(c);
  // An enumerator taken before keeps its own order.
  support::ObjectRef first;
  ASSERT_TRUE(before_sort.Next(&first));
  EXPECT_EQ(Name(first), "item2");
  c.Sorted(false);
  c.Add(Obj("aaa0"), u"aaa0");
  EXPECT_EQ(Order(c), "AAA,alpha,b,ba,beta,item10,item2,Zeta,aaa0");
  ExpectValid(c);
}

TEST(CollectionExObj, RemovedItemsAreReleasedOnceMovedOnesNeverAndClearedOnesAll) {
  support::CollectionExObj c;
  std::vector<support::ObjectRef> held;
  for (int i = 0; i < 5; ++i) {
    held.push_back(Obj(std::to_string(i)));
    c.Add(held.back(), runtime::Decimal(i), i == 0 ? Variant() : Variant(1));
  }
  for (const auto& h : held) EXPECT_EQ(h.use_count(), 2);
  c.Remove(3);
  c.Remove(1);
  int in_collection = 0;
  for (const auto& h : held) in_collection += h.use_count() == 2;
  EXPECT_EQ(in_collection, 3);
  EXPECT_EQ(Order(c), "3,1,0");
  // Clear releases every item and keeps Sorted.
  c.Sorted(true);
  c.Clear();
  for (const auto& h : held) EXPECT_EQ(h.use_count(), 1);
  EXPECT_TRUE(c.Sorted());
  EXPECT_EQ(Order(c), "");
  ExpectValid(c);
}

}  // namespace
}  // namespace cobaltmoth::support
