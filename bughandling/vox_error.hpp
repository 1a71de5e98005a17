// bughandling/vox_error.hpp - VoxError, the record of one handled error.
//
// A plain record that carries one error through the reporting steps: where it happened, the
// host's error number and description, the line, and whether the host called it critical.
// Nothing is validated; nothing reads isCritical back (criticality acts through EndOnError).
#pragma once

#include <cstdint>
#include <string>

namespace cobaltmoth::bughandling {

struct VoxError {
  std::u16string ModuleName;
  std::u16string ProcName;
  std::int32_t Number = 0;
  std::u16string Descr;
  std::int32_t LineNumber = 0;
  bool isCritical = false;  // (the host's own spelling of the flag)
};

}  // namespace cobaltmoth::bughandling
