#pragma once
// Keys that order floats (and doubles) as the IEEE total order does when compared as signed
// integers: -0.0 below +0.0, NaN above +inf. Every "largest distance" and every sort of floats
// in the library compares these, so NaN and signed zeros land in one fixed place.
#include <bit>
#include <cstdint>

namespace vantorix {

inline int32_t total_order_key(float v) {
  const auto bits = std::bit_cast<int32_t>(v);
  return bits ^ int32_t(uint32_t(bits >> 31) >> 1);
}
inline int64_t total_order_key(double v) {
  const auto bits = std::bit_cast<int64_t>(v);
  return bits ^ int64_t(uint64_t(bits >> 63) >> 1);
}

}  // namespace vantorix
