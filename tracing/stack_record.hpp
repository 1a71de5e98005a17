// tracing/stack_record.hpp - StackRecord, one entry of the procedure stack.
//
// A plain record: the module and procedure names given to EnterProc and the host's
// error-line number at that moment (0 when there was none). The names are either copies held
// by the record or, for an entry made through a ProcSite, the site's own names, which the
// site keeps for as long as it lives. A record is reused for entry after entry: its buffer
// stays, so an entry whose names fit it allocates nothing.
#pragma once

#include <cobaltmoth/proc_stac.hpp>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace cobaltmoth::tracing {

class StackRecord {
 public:
  StackRecord() = default;
  StackRecord(std::u16string_view module_name, std::u16string_view proc_name) {
    Hold(module_name, proc_name);
  }

  // Makes the record hold copies of these names (in its own buffer, which grows when they do
  // not fit it); the line stays as it was.
  void Hold(std::u16string_view module_name, std::u16string_view proc_name) {
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
    site_ = nullptr;
  }

  // Makes the record name the site's names, copying nothing; the line stays as it was.
  void Refer(const ProcSite& site) noexcept { site_ = &site; }

  // Gives back a name buffer longer than `units`, so that a huge name once traced does not
  // keep its memory for the life of the tracer.
  void TrimBuffer(std::size_t units) noexcept {
    if (capacity_ <= units) return;
    names_.reset();
    capacity_ = 0;
  }

  void CalledByLineNumber(std::int32_t value) noexcept { called_by_line_number_ = value; }
  std::int32_t CalledByLineNumber() const noexcept { return called_by_line_number_; }
  std::u16string_view ProcName() const noexcept {
    if (site_ != nullptr) return site_->ProcName();
    return {names_.get() + module_size_, proc_size_};
  }
  std::u16string_view ModuleName() const noexcept {
    if (site_ != nullptr) return site_->ModuleName();
    return {names_.get(), module_size_};
  }
  // The site the entry was made through, or null for names given as text.
  const ProcSite* Site() const noexcept { return site_; }

 private:
  // The smallest buffer made for names: room for two names of common length.
  static constexpr std::size_t kFirstCapacity = 64;

  const ProcSite* site_ = nullptr;
  std::unique_ptr<char16_t[]> names_;  // the module name, then the procedure name
  std::size_t module_size_ = 0;
  std::size_t proc_size_ = 0;
  std::size_t capacity_ = 0;
  std::int32_t called_by_line_number_ = 0;
};

}  // namespace cobaltmoth::tracing
