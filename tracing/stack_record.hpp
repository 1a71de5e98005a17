// tracing/stack_record.hpp - StackRecord, one entry of the procedure stack.
//
// A plain record: the module and procedure names given to EnterProc and the host's
// error-line number at that moment (0 when there was none). The collection under the tracer
// holds one counted reference to each record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cobaltmoth::tracing {

class StackRecord {
 public:
  StackRecord(std::u16string_view module_name, std::u16string_view proc_name)
      : module_name_(module_name), proc_name_(proc_name) {}

  // Makes the record hold another entry, keeping its buffers; the line goes back to 0.
  void Reuse(std::u16string_view module_name, std::u16string_view proc_name) {
    module_name_.clear();
    module_name_.append(module_name);
    proc_name_.clear();
    proc_name_.append(proc_name);
    called_by_line_number_ = 0;
  }

  void CalledByLineNumber(std::int32_t value) noexcept { called_by_line_number_ = value; }
  std::int32_t CalledByLineNumber() const noexcept { return called_by_line_number_; }
  const std::u16string& ProcName() const noexcept { return proc_name_; }
  const std::u16string& ModuleName() const noexcept { return module_name_; }

 private:
  std::u16string module_name_;
  std::u16string proc_name_;
  std::int32_t called_by_line_number_ = 0;
};

}  // namespace cobaltmoth::tracing
