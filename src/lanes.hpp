#pragma once
// Vector lanes for the kernels. GCC/Clang vector types map to SSE/AVX on x86-64 and NEON on
// aarch64; every operation on them is element-wise, so each lane rounds exactly as the scalar
// description of its kernel does. Wider types carry independent lanes side by side.
#include <cstddef>
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

// Sixteen lanes held as registers of the target's own width. Arithmetic on F16 splits cleanly
// into narrower registers, but a 16-lane select (a < b ? a : b) does not: GCC 12 lowers it on
// aarch64 to 35-38 scalar compares through the stack. Running minima and their indices
// therefore use these, one native compare and bit-select per register.
#if defined(__AVX512F__)
inline constexpr size_t kNativeLanes = 16;
#elif defined(__AVX__)
inline constexpr size_t kNativeLanes = 8;
#else
inline constexpr size_t kNativeLanes = 4;
#endif
inline constexpr size_t kParts = 16 / kNativeLanes;
typedef float FN __attribute__((vector_size(kNativeLanes * 4)));
typedef int32_t IN __attribute__((vector_size(kNativeLanes * 4)));

struct Wide16 {
  FN part[kParts];
};
struct WideIndex16 {
  IN part[kParts];
};

// Part by part: one memcpy of the whole array makes GCC bounce it through the stack.
inline Wide16 load_wide(const float* p) {
  Wide16 w;
  for (size_t i = 0; i < kParts; ++i) std::memcpy(&w.part[i], p + i * kNativeLanes, sizeof(FN));
  return w;
}
inline Wide16 operator+(const Wide16& a, const Wide16& b) {
  Wide16 w;
  for (size_t i = 0; i < kParts; ++i) w.part[i] = a.part[i] + b.part[i];
  return w;
}
inline Wide16 splat_wide(float x) {
  Wide16 w;
  for (size_t i = 0; i < kParts; ++i) w.part[i] = x - FN{};
  return w;
}
inline void store_wide(float* p, const Wide16& w) {
  for (size_t i = 0; i < kParts; ++i) std::memcpy(p + i * kNativeLanes, &w.part[i], sizeof(FN));
}

// Per lane: best becomes v where v is strictly better (smaller, or larger with Largest); a NaN
// is never better, so it never replaces anything.
template <bool Largest>
inline void keep_better(const Wide16& v, Wide16& best) {
  for (size_t i = 0; i < kParts; ++i) {
    best.part[i] = Largest ? (v.part[i] > best.part[i] ? v.part[i] : best.part[i])
                           : (v.part[i] < best.part[i] ? v.part[i] : best.part[i]);
  }
}
// The same for the smallest value, recording where each lane's best came from.
inline void keep_smaller(const Wide16& v, Wide16& best, WideIndex16& index, const WideIndex16& at) {
  for (size_t i = 0; i < kParts; ++i) {
    const IN smaller = v.part[i] < best.part[i];
    best.part[i] = smaller ? v.part[i] : best.part[i];
    index.part[i] = smaller ? at.part[i] : index.part[i];
  }
}
// Lane l holds first + l.
inline WideIndex16 iota_wide(int32_t first) {
  WideIndex16 w;
  for (size_t i = 0; i < kParts; ++i)
    for (size_t l = 0; l < kNativeLanes; ++l) w.part[i][l] = first + int32_t(i * kNativeLanes + l);
  return w;
}
inline void advance(WideIndex16& w, int32_t step) {
  for (size_t i = 0; i < kParts; ++i) w.part[i] += step;
}
inline void store_wide(int32_t* p, const WideIndex16& w) {
  for (size_t i = 0; i < kParts; ++i) std::memcpy(p + i * kNativeLanes, &w.part[i], sizeof(IN));
}

}  // namespace vantorix::lanes
