// tracing/keyed_stack.hpp - KeyedStack, the tracer's stack of procedure entries.
//
// Positions run from 1 (the bottom, the oldest entry still active) to Count (the top). Every
// entry is known under its key, LCase(module + "::" + proc + "::" + position), and an exit is
// matched against the keys. Entries are only ever pushed and popped at the top, so an entry's
// position never changes while it is on the stack: its key follows from its names and its
// position at any moment, and is therefore never built, hashed or stored. Comparing keys
// compares the names joined by "::" code unit by code unit in lower case (the positions are
// equal on both sides), so "a::b" + "c" and "a" + "b::c" are one key.
//
// A popped record stays in place and is reused by the next push at its position, keeping its
// name buffer: a push whose names fit it allocates nothing, and the stack's own storage grows
// only when the stack is deeper than it has ever been.
//
// Thread-safety: none; the stack belongs to its tracer.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "runtime/host_error.hpp"
#include "runtime/text.hpp"
#include "tracing/stack_record.hpp"

namespace cobaltmoth::tracing {

class KeyedStack {
 public:
  std::int32_t Count() const noexcept { return count_; }

  // The record for position Count + 1, for the caller to fill before Push makes it the top
  // (so that a fill that fails leaves the stack as it was). Raises 7 "Out of memory" when the
  // stack cannot grow.
  StackRecord& Next() {
    if (count_ == made_) Grow();
    return records_[static_cast<std::size_t>(count_)];
  }

  // Makes the record that Next gave the top entry.
  void Push() noexcept { ++count_; }

  // Removes the top entry (Count must be at least 1).
  void Pop() noexcept { records_[static_cast<std::size_t>(--count_)].TrimBuffer(kKeptUnits); }

  // Removes the top entry, which was made through a site: its record's buffer was trimmed
  // when it was last popped, and naming a site does not touch it (only a logged line copies
  // the site's names into it, and a logged exit pops with Pop).
  void PopSite() noexcept { --count_; }

  // The entry at a position from 1 to Count.
  const StackRecord& At(std::int32_t position) const noexcept {
    return records_[static_cast<std::size_t>(position - 1)];
  }
  // The top entry (Count must be at least 1), for its log lines to be kept in it.
  StackRecord& Top() noexcept { return records_[static_cast<std::size_t>(count_ - 1)]; }

  // Whether the entry at `position` is known under the key that these names make there.
  // The same text is the cheap case; any other spelling is compared in lower case.
  bool KeyMatches(std::int32_t position, std::u16string_view module_name,
                  std::u16string_view proc_name) const noexcept {
    const StackRecord& entry = At(position);
    const std::u16string_view entry_module = entry.ModuleName();
    const std::u16string_view entry_proc = entry.ProcName();
    if (SameText(entry_module, module_name) && SameText(entry_proc, proc_name)) return true;
    return SameLowerCaseJoin(entry_module, entry_proc, module_name, proc_name);
  }

  // The entries from the bottom (position 1) to the top.
  std::span<const StackRecord> BottomFirst() const noexcept {
    return {records_.data(), static_cast<std::size_t>(count_)};
  }

  // Drops every entry and the storage.
  void Clear() noexcept {
    std::vector<StackRecord>().swap(records_);
    count_ = 0;
    made_ = 0;
  }

 private:
  // Name buffers longer than this (in code units) are given back when their entry is popped.
  static constexpr std::size_t kKeptUnits = 512;

  [[gnu::noinline]] void Grow() {
    try {
      records_.emplace_back();
    } catch (const std::bad_alloc&) {
      runtime::RaiseRuntime(runtime::kOutOfMemory);
    }
    ++made_;
  }

  static bool SameText(std::u16string_view a, std::u16string_view b) noexcept {
    return a.size() == b.size() &&
           (a.empty() || a.data() == b.data() ||
            std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
  }

  // Whether LCase(a_module + "::" + a_proc) equals LCase(b_module + "::" + b_proc).
  static bool SameLowerCaseJoin(std::u16string_view a_module, std::u16string_view a_proc,
                                std::u16string_view b_module,
                                std::u16string_view b_proc) noexcept {
    if (a_module.size() + a_proc.size() != b_module.size() + b_proc.size()) return false;
    const std::u16string_view a[] = {a_module, u"::", a_proc};
    const std::u16string_view b[] = {b_module, u"::", b_proc};
    std::size_t ai = 0;  // the piece of a, and the unit in it
    std::size_t au = 0;
    std::size_t bi = 0;
    std::size_t bu = 0;
    for (;;) {
      for (; ai < 3 && au == a[ai].size(); ++ai) au = 0;
      for (; bi < 3 && bu == b[bi].size(); ++bi) bu = 0;
      if (ai == 3) return true;  // the lengths are equal, so b ends here too
      if (runtime::LowerUnit(a[ai][au++]) != runtime::LowerUnit(b[bi][bu++])) return false;
    }
  }

  std::vector<StackRecord> records_;  // positions 1 .. Count are records_[0 .. Count - 1]
  std::int32_t count_ = 0;
  std::int32_t made_ = 0;  // records_.size()
};

}  // namespace cobaltmoth::tracing
