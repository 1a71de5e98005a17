// tracing/stack_record.hpp - StackRecord, one entry of the procedure stack.
//
// A plain record: the module and procedure names given to EnterProc and the host's
// error-line number at that moment (0 when there was none). The names are either copies held
// by the record or, for an entry made through a ProcSite, the site's own names, which the
// site keeps for as long as it lives. A record is reused for entry after entry: its buffer
// stays, so an entry whose names fit it allocates nothing.
//
// While the stack log is on, the record also keeps its entry's line and its exit's line in
// the bytes of the log's code page (StackLogWriter makes them): they stay good for as long as the record holds the same names and line number, so a
// procedure entered again and again at one depth has its names encoded once. For an entry made
// through a site the record also holds a copy of the site's names, compared with the site's
// again only when another site has been made since: a site may have ended and another been
// made at its address, but not without a site being made.
#pragma once

#include <cobaltmoth/proc_stac.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace cobaltmoth::tracing {

// The sites made so far in the process (each ProcSite constructor counts itself).
inline std::atomic<std::uint64_t> sites_made{0};

class StackRecord {
 public:
  StackRecord() = default;
  StackRecord(std::u16string_view module_name, std::u16string_view proc_name) {
    Hold(module_name, proc_name);
  }

  // Makes the record hold copies of these names (in its own buffer, which grows when they do
  // not fit it); the line stays as it was. The same names as the record holds are not copied
  // again, and keep their log lines.
  void Hold(std::u16string_view module_name, std::u16string_view proc_name) {
    site_ = nullptr;
    if (!Holds(module_name, proc_name)) Copy(module_name, proc_name);
  }

  // Makes the record name the site's names, copying nothing; the line stays as it was.
  void Refer(const ProcSite& site) noexcept { site_ = &site; }

  // Gives back a name buffer longer than `units`, and lines longer than four bytes a unit, so
  // that a huge name once traced does not keep its memory for the life of the tracer.
  void TrimBuffer(std::size_t units) noexcept {
    if (lines_capacity_ > 4 * units) {
      lines_.reset();
      lines_capacity_ = 0;
      lines_for_ = nullptr;
    }
    if (capacity_ <= units) return;
    names_.reset();
    capacity_ = 0;
    module_size_ = proc_size_ = 0;
    lines_for_ = nullptr;
    names_site_ = nullptr;
  }

  void CalledByLineNumber(std::int32_t value) noexcept { called_by_line_number_ = value; }
  std::int32_t CalledByLineNumber() const noexcept { return called_by_line_number_; }
  std::u16string_view ProcName() const noexcept {
    if (site_ != nullptr) return site_->ProcName();
    return HeldProc();
  }
  std::u16string_view ModuleName() const noexcept {
    if (site_ != nullptr) return site_->ModuleName();
    return HeldModule();
  }
  // The site the entry was made through, or null for names given as text.
  const ProcSite* Site() const noexcept { return site_; }

  // Whether the record keeps log lines that `encoder` made for its names and line number; a
  // false answer may only mean that the site's names are to be looked at (GetLines).
  bool HasLines(const platform::TextEncoder* encoder) const noexcept {
    const bool site_checked =
        site_ == nullptr || (site_ == names_site_ && sites_made.load(std::memory_order_relaxed) ==
                                                         names_sites_made_);
    return site_checked && lines_for_ == encoder && lines_line_ == called_by_line_number_;
  }
  // The same, once the site's names (for an entry made through one) are the held ones.
  bool GetLines(const platform::TextEncoder* encoder) {
    if (site_ != nullptr) CheckSite();
    return HasLines(encoder);
  }
  // Keeps the lines of the entry and of its exit (their indent, up to the levels the writer
  // keeps, and CR LF included) that `encoder` made for the record's names and line number.
  void KeepLines(const platform::TextEncoder* encoder, std::string_view enter,
                 std::string_view exit) {
    const std::size_t bytes = enter.size() + exit.size();
    lines_for_ = nullptr;
    if (bytes > lines_capacity_) {
      lines_ = std::make_unique_for_overwrite<char[]>(bytes);
      lines_capacity_ = bytes;
    }
    enter.copy(lines_.get(), enter.size());
    exit.copy(lines_.get() + enter.size(), exit.size());
    enter_size_ = enter.size();
    exit_size_ = exit.size();
    lines_for_ = encoder;
    lines_line_ = called_by_line_number_;
  }
  // The lines HasLines found.
  std::string_view EnterLine() const noexcept { return {lines_.get(), enter_size_}; }
  std::string_view ExitLine() const noexcept { return {lines_.get() + enter_size_, exit_size_}; }

 private:
  // The smallest buffer made for names: room for two names of common length.
  static constexpr std::size_t kFirstCapacity = 64;

  std::u16string_view HeldModule() const noexcept { return {names_.get(), module_size_}; }
  std::u16string_view HeldProc() const noexcept {
    return {names_.get() + module_size_, proc_size_};
  }

  // Whether the record holds these names, unit for unit.
  bool Holds(std::u16string_view module_name, std::u16string_view proc_name) const noexcept {
    return module_name.size() == module_size_ && proc_name.size() == proc_size_ &&
           SameUnits(module_name.data(), names_.get(), module_size_) &&
           SameUnits(proc_name.data(), names_.get() + module_size_, proc_size_);
  }
  // Eight bytes at a time, the last eight again: no call for names of common length.
  static bool SameUnits(const char16_t* a, const char16_t* b, std::size_t units) noexcept {
    if (units < 4) {
      for (std::size_t i = 0; i < units; ++i) {
        if (a[i] != b[i]) return false;
      }
      return true;
    }
    const std::size_t last = units - 4;
    std::uint64_t differ = Eight(a + last) ^ Eight(b + last);
    for (std::size_t i = 0; i < last; i += 4) differ |= Eight(a + i) ^ Eight(b + i);
    return differ == 0;
  }
  static std::uint64_t Eight(const char16_t* units) noexcept {
    std::uint64_t bytes;
    std::memcpy(&bytes, units, sizeof bytes);
    return bytes;
  }

  void Copy(std::u16string_view module_name, std::u16string_view proc_name) {
    const std::size_t units = module_name.size() + proc_name.size();
    if (units > capacity_) {
      const std::size_t capacity = std::max(units, kFirstCapacity);
      names_ = std::make_unique_for_overwrite<char16_t[]>(capacity);
      capacity_ = capacity;
    }
    std::char_traits<char16_t>::copy(names_.get(), module_name.data(), module_name.size());
    std::char_traits<char16_t>::copy(names_.get() + module_name.size(), proc_name.data(),
                                     proc_name.size());
    module_size_ = module_name.size();
    proc_size_ = proc_name.size();
    lines_for_ = nullptr;
    names_site_ = nullptr;
  }

  // Makes the held names the site's, when they are not already, for the lines to follow them.
  void CheckSite() {
    const std::uint64_t made = sites_made.load(std::memory_order_relaxed);
    if (!Holds(site_->ModuleName(), site_->ProcName())) Copy(site_->ModuleName(), site_->ProcName());
    names_site_ = site_;
    names_sites_made_ = made;
  }

  const ProcSite* site_ = nullptr;
  std::unique_ptr<char16_t[]> names_;  // the module name, then the procedure name
  std::size_t module_size_ = 0;
  std::size_t proc_size_ = 0;
  std::size_t capacity_ = 0;
  std::int32_t called_by_line_number_ = 0;
  const ProcSite* names_site_ = nullptr;  // the site whose names are held, as of when
  std::uint64_t names_sites_made_ = 0;   // sites_made was this
  std::int32_t lines_line_ = 0;  // the line number of the entry's line
  const platform::TextEncoder* lines_for_ = nullptr;  // none: no lines for the held names
  std::unique_ptr<char[]> lines_;  // the entry's line, then the exit's
  std::size_t lines_capacity_ = 0;
  std::size_t enter_size_ = 0;
  std::size_t exit_size_ = 0;
};

}  // namespace cobaltmoth::tracing
