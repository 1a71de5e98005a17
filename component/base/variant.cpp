#include "component/base/variant.hpp"

#include <cmath>

#include "component/base/host_error.hpp"

namespace cobaltmoth {

std::int32_t ToLong(double number) {
  if (!(number >= -2147483648.5 && number < 2147483647.5)) {
    host::RaiseRuntime(host::kOverflow);
  }
  double whole = std::floor(number);
  const double fraction = number - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  return static_cast<std::int32_t>(whole);
}

std::int32_t Variant::ToLong() const {
  if (kind_ != Kind::kNumber) host::RaiseRuntime(host::kInvalidProcedureCall);
  return cobaltmoth::ToLong(number_);
}

}  // namespace cobaltmoth
