// bench/collection_bench.cpp - support::CollectionExObj next to std::unordered_map doing the same
// work on the same keys: "key0".."key999", items that are counted references (support::ObjectRef).
//
// Two shapes, each measured for both containers:
//  - AddItemRemoveLast: a container already holding the 1,000 keys takes one more key at the
//    end, hands its item out by key, and drops it again (the tracer's enter/exit pattern).
//    The extra key rotates through "key1000".."key1999" so that the cost is averaged over
//    many probe sequences rather than taken from one lucky or unlucky key. The first extra
//    key grows the collection past its 1,000 capacity (the map rehashes likewise), so the
//    steady state runs on the grown table, and only the extra keys are ever looked up.
//  - All1000: from empty, add the 1,000 keys, hand each item out by key, then remove the
//    last position 1,000 times (items processed: 1,000 per iteration). It looks up every one
//    of the keys and so sees their own probe sequences; the collection's aim is judged on it.
// The map erases by key, having no positions; copying the item out of the map stands for
// Item handing out another reference.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/collection_ex_obj.hpp"

namespace cobaltmoth::bench {
namespace {

constexpr int kKeys = 1000;

// "key<first>" .. "key<first + count - 1>".
std::vector<std::u16string> Keys(int first, int count) {
  std::vector<std::u16string> keys;
  keys.reserve(static_cast<std::size_t>(count));
  for (int i = first; i < first + count; ++i) {
    std::u16string key = u"key";
    for (char c : std::to_string(i)) key += static_cast<char16_t>(c);
    keys.push_back(std::move(key));
  }
  return keys;
}

std::vector<support::ObjectRef> Items(int count) {
  std::vector<support::ObjectRef> items;
  items.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) items.push_back(std::make_shared<int>(i));
  return items;
}

using Map = std::unordered_map<std::u16string, support::ObjectRef>;

// ---------------------------------------------------------------------------------------------

void BM_Collection_AddItemRemoveLast(benchmark::State& state) {
  const auto keys = Keys(0, kKeys);
  const auto extra = Keys(kKeys, kKeys);
  const auto items = Items(2 * kKeys);
  support::CollectionExObj collection;
  for (int i = 0; i < kKeys; ++i) collection.Add(items[i], keys[i]);
  std::size_t k = 0;
  for (auto _ : state) {
    collection.Add(items[kKeys + k], extra[k]);
    support::ObjectRef item = collection.Item(extra[k]);
    benchmark::DoNotOptimize(item.get());
    collection.Remove(collection.Count());
    k = (k + 1 == extra.size()) ? 0 : k + 1;
  }
  if (collection.Count() != kKeys) state.SkipWithError("the collection lost count");
}
BENCHMARK(BM_Collection_AddItemRemoveLast);

void BM_Floor_UnorderedMap(benchmark::State& state) {
  const auto keys = Keys(0, kKeys);
  const auto extra = Keys(kKeys, kKeys);
  const auto items = Items(2 * kKeys);
  Map map;
  for (int i = 0; i < kKeys; ++i) map.emplace(keys[i], items[i]);
  std::size_t k = 0;
  for (auto _ : state) {
    map.emplace(extra[k], items[kKeys + k]);
    support::ObjectRef item = map.find(extra[k])->second;
    benchmark::DoNotOptimize(item.get());
    map.erase(extra[k]);
    k = (k + 1 == extra.size()) ? 0 : k + 1;
  }
  if (map.size() != kKeys) state.SkipWithError("the map lost count");
}
BENCHMARK(BM_Floor_UnorderedMap);

// ---------------------------------------------------------------------------------------------

void BM_Collection_All1000(benchmark::State& state) {
  const auto keys = Keys(0, kKeys);
  const auto items = Items(kKeys);
  support::CollectionExObj collection;
  for (auto _ : state) {
    for (int i = 0; i < kKeys; ++i) collection.Add(items[i], keys[i]);
    for (int i = 0; i < kKeys; ++i) {
      support::ObjectRef item = collection.Item(keys[i]);
      benchmark::DoNotOptimize(item.get());
    }
    for (int i = kKeys; i >= 1; --i) collection.Remove(i);
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_Collection_All1000)->Unit(benchmark::kMicrosecond);

void BM_Floor_UnorderedMap_All1000(benchmark::State& state) {
  const auto keys = Keys(0, kKeys);
  const auto items = Items(kKeys);
  Map map;
  for (auto _ : state) {
    for (int i = 0; i < kKeys; ++i) map.emplace(keys[i], items[i]);
    for (int i = 0; i < kKeys; ++i) {
      support::ObjectRef item = map.find(keys[i])->second;
      benchmark::DoNotOptimize(item.get());
    }
    for (int i = kKeys - 1; i >= 0; --i) map.erase(keys[i]);
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_Floor_UnorderedMap_All1000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace cobaltmoth::bench
