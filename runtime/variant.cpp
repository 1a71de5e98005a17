#include "runtime/variant.hpp"

#include <cmath>

#include "runtime/host_error.hpp"

namespace cobaltmoth::runtime {

std::int32_t ToLong(double number) {
  if (!(number >= -2147483648.5 && number < 2147483647.5)) {
    runtime::RaiseRuntime(runtime::kOverflow);
  }
  double whole = std::floor(number);
  const double fraction = number - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  return static_cast<std::int32_t>(whole);
}

std::int32_t Variant::ToLong() const {
  if (kind_ != Kind::kNumber) runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
  return runtime::ToLong(number_);
}

}  // namespace cobaltmoth::runtime
