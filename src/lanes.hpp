#pragma once
// Vector lanes for the kernels. GCC/Clang vector types map to SSE/AVX on x86-64 and NEON on
// aarch64; every operation on them is element-wise, so each lane rounds exactly as the scalar
// description of its kernel does. Wider types carry independent lanes side by side.
#include <cstdint>
#include <cstring>

namespace vantorix::lanes {

typedef float F4 __attribute__((vector_size(16)));
typedef float F16 __attribute__((vector_size(64)));
typedef int32_t I16 __attribute__((vector_size(64)));

inline F4 load4(const float* p) {
  F4 v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
inline void store4(float* p, F4 v) { std::memcpy(p, &v, sizeof(v)); }
inline F16 load16(const float* p) {
  F16 v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
inline void store16(float* p, F16 v) { std::memcpy(p, &v, sizeof(v)); }

}  // namespace vantorix::lanes
