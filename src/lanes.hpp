#pragma once
// Vector lanes for the kernels. GCC/Clang vector types map to SSE/AVX on x86-64 and NEON on
// aarch64; every operation on them is element-wise, so each lane rounds exactly as the scalar
// description of its kernel does. Wider types carry independent lanes side by side.
#include <cstdint>
#include <cstring>

#if defined(__AVX512F__)
#include <immintrin.h>
#endif

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

// One value in all sixteen lanes, as a real broadcast (lane-by-lane filling goes through memory).
inline F16 splat16(float x) {
#if defined(__AVX512F__)
  return (F16)_mm512_set1_ps(x);
#else
  F16 v;
  for (int i = 0; i < 16; ++i) v[i] = x;
  return v;
#endif
}

// acc + a*b with one rounding per lane.
inline F16 fma16(F16 a, F16 b, F16 acc) {
#if defined(__AVX512F__)
  return (F16)_mm512_fmadd_ps((__m512)a, (__m512)b, (__m512)acc);
#else
  F16 out;
  for (int i = 0; i < 16; ++i) out[i] = __builtin_fmaf(a[i], b[i], acc[i]);
  return out;
#endif
}

// Bit i set when a[i] < b[i] (false for NaN on either side).
inline uint32_t below_mask16(F16 a, F16 b) {
#if defined(__AVX512F__)
  return _mm512_cmp_ps_mask((__m512)a, (__m512)b, _CMP_LT_OQ);
#else
  uint32_t bits = 0;
  for (int i = 0; i < 16; ++i) bits |= uint32_t(a[i] < b[i]) << i;
  return bits;
#endif
}

// Bit i set when a[i] <= b[i] (false for NaN on either side).
inline uint32_t at_most_mask16(F16 a, F16 b) {
#if defined(__AVX512F__)
  return _mm512_cmp_ps_mask((__m512)a, (__m512)b, _CMP_LE_OQ);
#else
  uint32_t bits = 0;
  for (int i = 0; i < 16; ++i) bits |= uint32_t(a[i] <= b[i]) << i;
  return bits;
#endif
}

// x - c rounded once. OnFmaPipes computes it as x - c * 1 with a fused multiply-add, which rounds
// identically (the product is exact) but runs on the multiply pipes instead of the add pipes;
// giving half the subtractions to them balances the three operations of a squared-distance step.
template <bool OnFmaPipes>
inline F16 difference16(F16 x, F16 c) {
#if defined(__AVX512F__)
  if constexpr (OnFmaPipes) return (F16)_mm512_fnmadd_ps((__m512)c, _mm512_set1_ps(1.0f), (__m512)x);
#endif
  return x - c;
}

}  // namespace vantorix::lanes
