// Float-to-integer truncation that stays defined for any input.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

// Truncates toward zero like a C cast. Values outside the 32-bit range, which
// only a hostile PPD or option can produce, saturate instead of being
// undefined behaviour; NaN gives 0.
constexpr int32_t truncateToInt32(double value) {
  if (!(value == value)) return 0;  // NaN
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}
