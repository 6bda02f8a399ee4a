#pragma once
// The numeric kernels every nearest-center search rests on, each in a 4-lane vector form
// (`*_neon`: NEON on aarch64, the same 4-lane arithmetic on SSE/AVX registers on x86-64) and a
// scalar form, with the process-wide choice between them.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace vantorix {

enum class SimdPreference : uint8_t { Auto = 0, Scalar = 1, Avx2 = 2, Avx512 = 3, Neon = 4 };

// Parses a VANTORIX_SIMD value (nullopt: unset or not UTF-8).
SimdPreference parse_simd_preference(const std::optional<std::string>& text);
// Read once from VANTORIX_SIMD and cached for the life of the process.
SimdPreference simd_preference();
// True when the vector kernels are active (preference Auto or Neon); cached.
bool selected_slice_kernel();
// "neon" when the vector kernels are active, "scalar" otherwise.
const char* simd_runtime();

struct DistanceKernel {
  enum Kind : uint8_t { Scalar = 0, Lanes4 = 1, Dim4 = 2, Dim8 = 3, Dim16 = 4, Dim32 = 5, Dim64 = 6 };
  Kind kind = Scalar;

  static DistanceKernel for_dimension(size_t d);
  static DistanceKernel for_dimension_with(SimdPreference pref, size_t d);
  // Squared Euclidean distance (no square root). Dim4..Dim64 read exactly that many values of
  // each slice; Lanes4 reads len(a) values of each; Scalar reads the shorter length.
  float distance(std::span<const float> a, std::span<const float> b) const;
  // distance(a, slice j) for 16 slices of length d held transposed (value i of slice j at
  // b16[i * 16 + j]), bit for bit; d must be the kernel's length for Dim4..Dim64.
  void distance16(const float* a, const float* b16, size_t d, float* out) const;
  bool operator==(const DistanceKernel&) const = default;
};

// Squared distance of two slices of equal length (b at least as long as a).
float l2_squared(std::span<const float> a, std::span<const float> b);
float l2_squared_neon(std::span<const float> a, std::span<const float> b);
float l2_squared_scalar(std::span<const float> a, std::span<const float> b);

// l2_squared of `count` pairs (a[i], b[i]), each of d floats, bit for bit; the vector form runs
// four pairs at a time on independent accumulators, so a long slice does not wait on one chain.
void l2_squared_pairs(const float* const* a, const float* const* b, size_t count, size_t d, float* out);

// Nearest of k centers (k*d floats, row-major) by squared distance: (index, squared distance).
// k = 0 gives (0, +inf). Ties keep the lower index; NaN never wins.
std::pair<size_t, float> nearest_l2_center(std::span<const float> query, std::span<const float> centers,
                                           size_t k, size_t d);
std::pair<size_t, float> nearest_l2_center_neon(std::span<const float> query,
                                                std::span<const float> centers, size_t k, size_t d);
std::pair<size_t, float> nearest_l2_center_scalar(std::span<const float> query,
                                                  std::span<const float> centers, size_t k, size_t d);

// Center with the largest dot product: (index, dot). k = 0 gives (0, -inf).
std::pair<size_t, float> nearest_dot_center(std::span<const float> query, std::span<const float> centers,
                                            size_t k, size_t d);
std::pair<size_t, float> nearest_dot_center_neon(std::span<const float> query,
                                                 std::span<const float> centers, size_t k, size_t d);
std::pair<size_t, float> nearest_dot_center_scalar(std::span<const float> query,
                                                   std::span<const float> centers, size_t k, size_t d);

// min over j < k of sum_m table[(m*stride + code[m])*k + j]: (index, value). Both forms are
// bit-identical. k = 0 gives (0, +inf).
std::pair<size_t, float> select_lookup_min(std::span<const uint8_t> code, std::span<const float> table,
                                           size_t stride, size_t k);
std::pair<size_t, float> select_lookup_min_neon(std::span<const uint8_t> code,
                                                std::span<const float> table, size_t stride, size_t k);
std::pair<size_t, float> select_lookup_min_scalar(std::span<const uint8_t> code,
                                                  std::span<const float> table, size_t stride, size_t k);

// dst[i] += src[i]
void add_assign(std::span<float> dst, std::span<const float> src);
void add_assign_neon(std::span<float> dst, std::span<const float> src);
void add_assign_scalar(std::span<float> dst, std::span<const float> src);

// dst[i] += w * src[i]; the vector form fuses multiply and add on whole groups of four.
void add_scaled(std::span<float> dst, std::span<const float> src, float w);
void add_scaled_neon(std::span<float> dst, std::span<const float> src, float w);
void add_scaled_scalar(std::span<float> dst, std::span<const float> src, float w);

}  // namespace vantorix
