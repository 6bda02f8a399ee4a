#include "kernels/simd.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include "core/env.hpp"
#include "core/error.hpp"
#include "kernels/lanes.hpp"

namespace vantorix {

// ---------------------------------------------------------------------------------------------
// Selection

SimdPreference parse_simd_preference(const std::optional<std::string>& text) {
  switch (switch_word(EnvSwitch::Simd, text)) {
    case Word::Scalar: return SimdPreference::Scalar;
    case Word::Avx2: return SimdPreference::Avx2;
    case Word::Avx512: return SimdPreference::Avx512;
    case Word::Neon: return SimdPreference::Neon;
    default: return SimdPreference::Auto;
  }
}

SimdPreference simd_preference() {
  static const SimdPreference pref = parse_simd_preference(env_text(EnvSwitch::Simd));
  return pref;
}

// ---------------------------------------------------------------------------------------------
// Lane helpers

namespace {

using namespace lanes;

inline void require(bool ok, const char* what) {
  if (!ok) fatal(what);
}

// The Lanes4 sum of one pair: 4 lane accumulators, separately rounded products, sequential lane
// reduction, then the tail in index order.
inline float lanes4_l2(const float* a, const float* b, size_t d) {
  F4 acc = {0.0f, 0.0f, 0.0f, 0.0f};
  const size_t blocks = d / 4;
  for (size_t t = 0; t < blocks; ++t) {
    const F4 diff = load4(a + 4 * t) - load4(b + 4 * t);
    acc = acc + diff * diff;
  }
  float s = reduce_sequential(acc);
  for (size_t i = blocks * 4; i < d; ++i) {
    const float diff = a[i] - b[i];
    s = s + diff * diff;
  }
  return s;
}

inline float lanes4_dot(const float* a, const float* b, size_t d) {
  F4 acc = {0.0f, 0.0f, 0.0f, 0.0f};
  const size_t blocks = d / 4;
  for (size_t t = 0; t < blocks; ++t) acc = acc + load4(a + 4 * t) * load4(b + 4 * t);
  float s = reduce_sequential(acc);
  for (size_t i = blocks * 4; i < d; ++i) s = s + a[i] * b[i];
  return s;
}

inline float scalar_l2(const float* a, const float* b, size_t d, float start) {
  float s = start;
  for (size_t i = 0; i < d; ++i) {
    const float diff = a[i] - b[i];
    s = s + diff * diff;
  }
  return s;
}

inline float scalar_dot(const float* a, const float* b, size_t d, float start) {
  float s = start;
  for (size_t i = 0; i < d; ++i) s = s + a[i] * b[i];
  return s;
}

template <size_t Blocks>
inline float dim_fma_l2(const float* a, const float* b) {
  F4 acc = {0.0f, 0.0f, 0.0f, 0.0f};
  for (size_t t = 0; t < Blocks; ++t) {
    const F4 diff = load4(a + 4 * t) - load4(b + 4 * t);
    acc = fma4(diff, diff, acc);
  }
  return reduce_pairwise(acc);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Squared distance of two slices

namespace {

// The fixed-length kind for d, or Lanes4.
DistanceKernel::Kind kind_for_dimension(size_t d) {
  switch (d) {
    case 4: return DistanceKernel::Dim4;
    case 8: return DistanceKernel::Dim8;
    case 16: return DistanceKernel::Dim16;
    case 32: return DistanceKernel::Dim32;
    case 64: return DistanceKernel::Dim64;
    default: return DistanceKernel::Lanes4;
  }
}

// One distance and its sixteen-slice form per kind, indexed by DistanceKernel::Kind.
struct DistanceForms {
  float (*distance)(std::span<const float> a, std::span<const float> b);
  void (*distance16)(const float* a, const float* b16, size_t d, float* out);
  void (*distance16_groups)(const float* a, const float* b16, size_t d, size_t groups, float* out);
};

template <void (*Form)(const float*, const float*, size_t, float*)>
void groups_of(const float* a, const float* b16, size_t d, size_t groups, float* out) {
  for (size_t g = 0; g < groups; ++g) Form(a, b16 + g * d * 16, d, out + 16 * g);
}

inline F16 diff16(const float* a, const float* b16, size_t i) { return splat16(a[i]) - load16(b16 + i * 16); }

float scalar_distance(std::span<const float> a, std::span<const float> b) {
  const size_t d = a.size() < b.size() ? a.size() : b.size();
  return scalar_l2(a.data(), b.data(), d, -0.0f);
}

void scalar_distance16(const float* a, const float* b16, size_t d, float* out) {
  F16 s = splat16(-0.0f);
  for (size_t i = 0; i < d; ++i) {
    const F16 e = diff16(a, b16, i);
    s = s + e * e;
  }
  store16(out, s);
}

// Lanes4 is l2_squared's sum: four lanes with the vector kernels, sequential without.
float lanes4_distance(std::span<const float> a, std::span<const float> b) { return l2_squared(a, b); }

void lanes4_distance16(const float* a, const float* b16, size_t d, float* out) {
  if (!selected_slice_kernel()) return scalar_distance16(a, b16, d, out);
  F16 acc[4] = {};
  const size_t blocks = d / 4;
  for (size_t t = 0; t < blocks; ++t) {
    for (size_t r = 0; r < 4; ++r) {
      const F16 e = diff16(a, b16, 4 * t + r);
      acc[r] = acc[r] + e * e;
    }
  }
  F16 s = ((acc[0] + acc[1]) + acc[2]) + acc[3];
  for (size_t i = blocks * 4; i < d; ++i) {
    const F16 e = diff16(a, b16, i);
    s = s + e * e;
  }
  store16(out, s);
}

template <size_t Blocks>
float fixed_distance(std::span<const float> a, std::span<const float> b) {
  require(a.size() >= 4 * Blocks && b.size() >= 4 * Blocks, "distance kernel: slice too short");
  return dim_fma_l2<Blocks>(a.data(), b.data());
}

template <size_t Blocks>
void fixed_distance16(const float* a, const float* b16, size_t d, float* out) {
  require(d == 4 * Blocks, "distance16: length differs from the kernel's");
  F16 acc[4] = {};
  for (size_t t = 0; t < Blocks; ++t) {
    for (size_t r = 0; r < 4; ++r) {
      const F16 e = diff16(a, b16, 4 * t + r);
      acc[r] = fma16(e, e, acc[r]);
    }
  }
  store16(out, (acc[0] + acc[1]) + (acc[2] + acc[3]));
}

constexpr DistanceForms kDistanceForms[] = {
    {scalar_distance, scalar_distance16, groups_of<scalar_distance16>},
    {lanes4_distance, lanes4_distance16, groups_of<lanes4_distance16>},
    {fixed_distance<1>, fixed_distance16<1>, groups_of<fixed_distance16<1>>},
    {fixed_distance<2>, fixed_distance16<2>, groups_of<fixed_distance16<2>>},
    {fixed_distance<4>, fixed_distance16<4>, groups_of<fixed_distance16<4>>},
    {fixed_distance<8>, fixed_distance16<8>, groups_of<fixed_distance16<8>>},
    {fixed_distance<16>, fixed_distance16<16>, groups_of<fixed_distance16<16>>},
};

}  // namespace

DistanceKernel DistanceKernel::for_dimension_with(SimdPreference pref, size_t d) {
  return {kernel_table_for(pref).slice_lanes ? kind_for_dimension(d) : Scalar};
}

DistanceKernel DistanceKernel::for_dimension(size_t d) {
  return {kernels().slice_lanes ? kind_for_dimension(d) : Scalar};
}

float DistanceKernel::distance(std::span<const float> a, std::span<const float> b) const {
  return kDistanceForms[kind].distance(a, b);
}

void DistanceKernel::distance16(const float* a, const float* b16, size_t d, float* out) const {
  kDistanceForms[kind].distance16(a, b16, d, out);
}

void DistanceKernel::distance16_groups(const float* a, const float* b16, size_t d, size_t groups, float* out) const {
  kDistanceForms[kind].distance16_groups(a, b16, d, groups, out);
}

float l2_squared_neon(std::span<const float> a, std::span<const float> b) {
  require(b.size() >= a.size(), "l2_squared: second slice shorter than the first");
  return lanes4_l2(a.data(), b.data(), a.size());
}

float l2_squared_scalar(std::span<const float> a, std::span<const float> b) {
  require(b.size() >= a.size(), "l2_squared: second slice shorter than the first");
  return scalar_l2(a.data(), b.data(), a.size(), -0.0f);
}

void l2_squared_rows4_neon(const float* const* rows, const float* center, size_t d, float* out) {
  F4 acc[4] = {};
  const size_t blocks = d / 4;
  for (size_t t = 0; t < blocks; ++t) {
    const F4 x = load4(center + 4 * t);
    for (int i = 0; i < 4; ++i) {
      const F4 diff = load4(rows[i] + 4 * t) - x;
      acc[i] = acc[i] + diff * diff;
    }
  }
  for (int i = 0; i < 4; ++i) {
    float sum = reduce_sequential(acc[i]);
    for (size_t t = blocks * 4; t < d; ++t) {
      const float diff = rows[i][t] - center[t];
      sum = sum + diff * diff;
    }
    out[i] = sum;
  }
}

void l2_squared_rows4_scalar(const float* const* rows, const float* center, size_t d, float* out) {
  for (int i = 0; i < 4; ++i) out[i] = scalar_l2(rows[i], center, d, -0.0f);
}

namespace {

// Four lanes4_l2 (lanes4_dot) chains side by side; independent chains hide the adds' latency.
template <bool Dot>
void pairs4_lanes(const float* const* rows, const float* const* centers, size_t d, float* out) {
  F4 acc[4] = {};
  const size_t blocks = d / 4;
  for (size_t t = 0; t < blocks; ++t) {
    for (int i = 0; i < 4; ++i) {
      const F4 a = load4(rows[i] + 4 * t), b = load4(centers[i] + 4 * t);
      if constexpr (Dot) {
        acc[i] = acc[i] + a * b;
      } else {
        const F4 diff = a - b;
        acc[i] = acc[i] + diff * diff;
      }
    }
  }
  for (int i = 0; i < 4; ++i) {
    float s = reduce_sequential(acc[i]);
    for (size_t t = blocks * 4; t < d; ++t) {
      if constexpr (Dot) {
        s = s + rows[i][t] * centers[i][t];
      } else {
        const float e = rows[i][t] - centers[i][t];
        s = s + e * e;
      }
    }
    out[i] = s;
  }
}

}  // namespace

void l2_squared_pairs4_neon(const float* const* rows, const float* const* centers, size_t d, float* out) {
  pairs4_lanes<false>(rows, centers, d, out);
}

void l2_squared_pairs4_scalar(const float* const* rows, const float* const* centers, size_t d, float* out) {
  for (int i = 0; i < 4; ++i) out[i] = scalar_l2(rows[i], centers[i], d, -0.0f);
}

// Rows in equal twos (a row's candidates side by side): two pairs share one 8-lane register, the
// row's block broadcast to both halves, so each half runs pairs4_lanes's chain for its own pair
// with half the instructions, and four registers keep eight chains going.
void l2_squared_pairs8_neon(const float* const* rows, const float* const* centers, size_t d, float* out) {
  bool twos = true;
  for (int i = 0; i < 8; i += 2) twos = twos && rows[i] == rows[i + 1];
  if (!twos) {
    pairs4_lanes<false>(rows, centers, d, out);
    pairs4_lanes<false>(rows + 4, centers + 4, d, out + 4);
    return;
  }
  F8 acc[4] = {};
  const size_t blocks = d / 4;
  for (size_t t = 0; t < blocks; ++t) {
    for (int i = 0; i < 4; ++i) {
#if defined(__x86_64__) && defined(__AVX__)
      // A broadcast and an insert straight from memory: no shuffle port for either.
      const F8 a = (F8)_mm256_broadcast_ps((const __m128*)(rows[2 * i] + 4 * t));
      const F8 b = (F8)_mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(centers[2 * i] + 4 * t)),
                                            _mm_loadu_ps(centers[2 * i + 1] + 4 * t), 1);
#else
      const F4 x = load4(rows[2 * i] + 4 * t);
      const F8 a = __builtin_shufflevector(x, x, 0, 1, 2, 3, 0, 1, 2, 3);
      const F8 b = __builtin_shufflevector(load4(centers[2 * i] + 4 * t), load4(centers[2 * i + 1] + 4 * t), 0, 1, 2,
                                           3, 4, 5, 6, 7);
#endif
      const F8 diff = a - b;
      acc[i] = acc[i] + diff * diff;
    }
  }
  for (int i = 0; i < 4; ++i) {
    const F4 halves[2] = {__builtin_shufflevector(acc[i], acc[i], 0, 1, 2, 3),
                          __builtin_shufflevector(acc[i], acc[i], 4, 5, 6, 7)};
    for (int h = 0; h < 2; ++h) {
      const float* row = rows[2 * i];
      const float* center = centers[2 * i + h];
      float s = reduce_sequential(halves[h]);
      for (size_t t = blocks * 4; t < d; ++t) {
        const float e = row[t] - center[t];
        s = s + e * e;
      }
      out[2 * i + h] = s;
    }
  }
}

void l2_squared_pairs8_scalar(const float* const* rows, const float* const* centers, size_t d, float* out) {
  for (int i = 0; i < 8; ++i) out[i] = scalar_l2(rows[i], centers[i], d, -0.0f);
}

void dot_pairs4_neon(const float* const* rows, const float* const* centers, size_t d, float* out) {
  pairs4_lanes<true>(rows, centers, d, out);
}

void dot_pairs4_scalar(const float* const* rows, const float* const* centers, size_t d, float* out) {
  for (int i = 0; i < 4; ++i) out[i] = scalar_dot(rows[i], centers[i], d, -0.0f);
}

// ---------------------------------------------------------------------------------------------
// Nearest center

namespace {

inline void check_centers(std::span<const float> query, std::span<const float> centers, size_t k, size_t d) {
  require(query.size() >= d, "nearest center: query shorter than d");
  size_t need;
  require(!__builtin_mul_overflow(k, d, &need) && centers.size() >= need,
          "nearest center: centers shorter than k*d");
}

// Four centers per pass over the query: each query block is loaded once for four independent
// accumulator chains.
template <bool Dot>
std::pair<size_t, float> nearest_vector(const float* q, const float* c, size_t k, size_t d) {
  size_t best_index = 0;
  float best = Dot ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
  auto consider = [&](size_t j, float v) {
    if (Dot ? (v > best) : (v < best)) {
      best = v;
      best_index = j;
    }
  };
  const size_t blocks = d / 4;
  size_t j = 0;
  for (; j + 4 <= k; j += 4) {
    const float* c0 = c + j * d;
    const float* c1 = c0 + d;
    const float* c2 = c1 + d;
    const float* c3 = c2 + d;
    F4 a0 = {0, 0, 0, 0}, a1 = a0, a2 = a0, a3 = a0;
    for (size_t t = 0; t < blocks; ++t) {
      const F4 x = load4(q + 4 * t);
      if constexpr (Dot) {
        a0 = a0 + x * load4(c0 + 4 * t);
        a1 = a1 + x * load4(c1 + 4 * t);
        a2 = a2 + x * load4(c2 + 4 * t);
        a3 = a3 + x * load4(c3 + 4 * t);
      } else {
        const F4 d0 = x - load4(c0 + 4 * t);
        const F4 d1 = x - load4(c1 + 4 * t);
        const F4 d2 = x - load4(c2 + 4 * t);
        const F4 d3 = x - load4(c3 + 4 * t);
        a0 = a0 + d0 * d0;
        a1 = a1 + d1 * d1;
        a2 = a2 + d2 * d2;
        a3 = a3 + d3 * d3;
      }
    }
    float s0 = reduce_sequential(a0), s1 = reduce_sequential(a1);
    float s2 = reduce_sequential(a2), s3 = reduce_sequential(a3);
    for (size_t i = blocks * 4; i < d; ++i) {
      if constexpr (Dot) {
        s0 = s0 + q[i] * c0[i];
        s1 = s1 + q[i] * c1[i];
        s2 = s2 + q[i] * c2[i];
        s3 = s3 + q[i] * c3[i];
      } else {
        const float e0 = q[i] - c0[i], e1 = q[i] - c1[i], e2 = q[i] - c2[i], e3 = q[i] - c3[i];
        s0 = s0 + e0 * e0;
        s1 = s1 + e1 * e1;
        s2 = s2 + e2 * e2;
        s3 = s3 + e3 * e3;
      }
    }
    consider(j, s0);
    consider(j + 1, s1);
    consider(j + 2, s2);
    consider(j + 3, s3);
  }
  for (; j < k; ++j) consider(j, Dot ? lanes4_dot(q, c + j * d, d) : lanes4_l2(q, c + j * d, d));
  return {best_index, best};
}

template <bool Dot>
std::pair<size_t, float> nearest_scalar(const float* q, const float* c, size_t k, size_t d) {
  size_t best_index = 0;
  float best = Dot ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
  auto consider = [&](size_t j, float v) {
    if (Dot ? (v > best) : (v < best)) {
      best = v;
      best_index = j;
    }
  };
  size_t j = 0;
  for (; j + 4 <= k; j += 4) {
    for (size_t g = 0; g < 4; ++g) {
      const float* cj = c + (j + g) * d;
      consider(j + g, Dot ? scalar_dot(q, cj, d, 0.0f) : scalar_l2(q, cj, d, 0.0f));
    }
  }
  for (; j < k; ++j) {
    const float* cj = c + j * d;
    consider(j, Dot ? scalar_dot(q, cj, d, -0.0f) : scalar_l2(q, cj, d, -0.0f));
  }
  return {best_index, best};
}

}  // namespace

std::pair<size_t, float> nearest_l2_center_neon(std::span<const float> query, std::span<const float> centers,
                                                size_t k, size_t d) {
  check_centers(query, centers, k, d);
  return nearest_vector<false>(query.data(), centers.data(), k, d);
}

std::pair<size_t, float> nearest_l2_center_scalar(std::span<const float> query,
                                                  std::span<const float> centers, size_t k, size_t d) {
  check_centers(query, centers, k, d);
  return nearest_scalar<false>(query.data(), centers.data(), k, d);
}

std::pair<size_t, float> nearest_dot_center_neon(std::span<const float> query, std::span<const float> centers,
                                                 size_t k, size_t d) {
  check_centers(query, centers, k, d);
  return nearest_vector<true>(query.data(), centers.data(), k, d);
}

std::pair<size_t, float> nearest_dot_center_scalar(std::span<const float> query,
                                                   std::span<const float> centers, size_t k, size_t d) {
  check_centers(query, centers, k, d);
  return nearest_scalar<true>(query.data(), centers.data(), k, d);
}

// ---------------------------------------------------------------------------------------------
// Lookup minimum

namespace {

inline void check_lookup(std::span<const uint8_t> code, std::span<const float> table, size_t stride, size_t k) {
  const size_t m_count = code.size();
  size_t need;
  require(m_count >= 1, "select_lookup_min: empty code row");
  require(!__builtin_mul_overflow(m_count, stride, &need) && !__builtin_mul_overflow(need, k, &need) &&
              table.size() >= need,
          "select_lookup_min: table shorter than M*S*k");
  for (uint8_t c : code) require(c < stride, "select_lookup_min: code outside the table");
}

}  // namespace

std::pair<size_t, float> select_lookup_min_neon(std::span<const uint8_t> code, std::span<const float> table,
                                                size_t stride, size_t k) {
  if (k == 0) return {0, std::numeric_limits<float>::infinity()};
  check_lookup(code, table, stride, k);
  const size_t m_count = code.size();
  const float* base = table.data();
  size_t best_index = 0;
  float best = std::numeric_limits<float>::infinity();
  // Each cluster's value is the same chain of additions in subspace order whatever the register
  // width, so wide groups, groups of four and single clusters all give the scalar result.
  size_t j = 0;
  alignas(64) float lanes[16];
  if (k >= 16 && k <= size_t(std::numeric_limits<int32_t>::max())) {
    // Sixteen clusters per register. Each lane keeps its first strictly smallest value and that
    // cluster's index; across lanes the smallest value with the lowest index is what a scan in
    // index order finds. NaN never compares smaller, so it never wins here either.
    const float inf = std::numeric_limits<float>::infinity();
    Wide16 lane_best = splat_wide(inf);
    WideIndex16 lane_index = iota_wide(0), current = lane_index;
    for (; j + 16 <= k; j += 16) {
      Wide16 v = load_wide(base + size_t(code[0]) * k + j);
      for (size_t m = 1; m < m_count; ++m) v = v + load_wide(base + (m * stride + code[m]) * k + j);
      keep_smaller(v, lane_best, lane_index, current);
      advance(current, 16);
    }
    alignas(64) int32_t indices[16];
    store_wide(lanes, lane_best);
    store_wide(indices, lane_index);
    best = lanes[0];
    for (size_t g = 1; g < 16; ++g) best = lanes[g] < best ? lanes[g] : best;
    int32_t at = std::numeric_limits<int32_t>::max();
    for (size_t g = 0; g < 16; ++g) at = (lanes[g] == best && indices[g] < at) ? indices[g] : at;
    // Every lane still at +inf (or NaN everywhere) leaves the scan's start: index 0, +inf.
    best_index = best == inf ? 0 : size_t(at);
  }
  for (; j + 4 <= k; j += 4) {
    F4 v = load4(base + size_t(code[0]) * k + j);
    for (size_t m = 1; m < m_count; ++m) v = v + load4(base + (m * stride + code[m]) * k + j);
    store4(lanes, v);
    for (size_t g = 0; g < 4; ++g) {
      if (lanes[g] < best) {
        best = lanes[g];
        best_index = j + g;
      }
    }
  }
  for (; j < k; ++j) {
    float v = base[size_t(code[0]) * k + j];
    for (size_t m = 1; m < m_count; ++m) v = v + base[(m * stride + code[m]) * k + j];
    if (v < best) {
      best = v;
      best_index = j;
    }
  }
  return {best_index, best};
}

std::pair<size_t, float> select_lookup_min_scalar(std::span<const uint8_t> code, std::span<const float> table,
                                                  size_t stride, size_t k) {
  if (k == 0) return {0, std::numeric_limits<float>::infinity()};
  check_lookup(code, table, stride, k);
  const size_t m_count = code.size();
  const float* base = table.data();
  size_t best_index = 0;
  float best = std::numeric_limits<float>::infinity();
  for (size_t j = 0; j < k; ++j) {
    float v = base[size_t(code[0]) * k + j];
    for (size_t m = 1; m < m_count; ++m) v = v + base[(m * stride + code[m]) * k + j];
    if (v < best) {
      best = v;
      best_index = j;
    }
  }
  return {best_index, best};
}

// ---------------------------------------------------------------------------------------------
// Accumulation

void add_assign_neon(std::span<float> dst, std::span<const float> src) {
  require(src.size() >= dst.size(), "add_assign: source shorter than destination");
  const size_t n = dst.size();
  float* out = dst.data();
  const float* in = src.data();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) store16(out + i, load16(out + i) + load16(in + i));
  for (; i + 4 <= n; i += 4) store4(out + i, load4(out + i) + load4(in + i));
  for (; i < n; ++i) out[i] = out[i] + in[i];
}

void add_assign_scalar(std::span<float> dst, std::span<const float> src) {
  require(src.size() >= dst.size(), "add_assign: source shorter than destination");
  for (size_t i = 0; i < dst.size(); ++i) dst[i] = dst[i] + src[i];
}

void add_scaled_neon(std::span<float> dst, std::span<const float> src, float w) {
  require(src.size() >= dst.size(), "add_scaled: source shorter than destination");
  const size_t n = dst.size();
  float* out = dst.data();
  const float* in = src.data();
  const F4 wv = {w, w, w, w};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) store4(out + i, fma4(wv, load4(in + i), load4(out + i)));
  for (; i < n; ++i) out[i] = out[i] + w * in[i];
}

void add_scaled_scalar(std::span<float> dst, std::span<const float> src, float w) {
  require(src.size() >= dst.size(), "add_scaled: source shorter than destination");
  for (size_t i = 0; i < dst.size(); ++i) dst[i] = dst[i] + w * src[i];
}

// ---------------------------------------------------------------------------------------------
// The tables and the choice between them

namespace {

// Each field names the two forms of one kernel side by side.
constexpr KernelTable table_of(bool vector) {
  return {
      .name = vector ? "neon" : "scalar",
      .fused_add_scaled = vector,
      .packed_centers = vector,
      .slice_lanes = vector,
      .l2_squared = vector ? l2_squared_neon : l2_squared_scalar,
      .l2_squared_rows4 = vector ? l2_squared_rows4_neon : l2_squared_rows4_scalar,
      .l2_squared_pairs4 = vector ? l2_squared_pairs4_neon : l2_squared_pairs4_scalar,
      .l2_squared_pairs8 = vector ? l2_squared_pairs8_neon : l2_squared_pairs8_scalar,
      .dot_pairs4 = vector ? dot_pairs4_neon : dot_pairs4_scalar,
      .nearest_l2_center = vector ? nearest_l2_center_neon : nearest_l2_center_scalar,
      .nearest_dot_center = vector ? nearest_dot_center_neon : nearest_dot_center_scalar,
      .select_lookup_min = vector ? select_lookup_min_neon : select_lookup_min_scalar,
      .add_assign = vector ? add_assign_neon : add_assign_scalar,
      .add_scaled = vector ? add_scaled_neon : add_scaled_scalar,
      .pq4_scan_cluster = vector ? pq4_scan_cluster_neon : pq4_scan_cluster_scalar,
      .pq4_assign_quantized_rows = vector ? pq4_assign_quantized_rows_neon : pq4_assign_quantized_rows_scalar,
      .pq4_rows_within = vector ? pq4_rows_within_neon : pq4_rows_within_scalar,
      .pq4_top_candidates = vector ? pq4_top_candidates_neon : pq4_top_candidates_scalar,
      .pdx_assign_l2 = vector ? pdx_assign_l2_neon : pdx_assign_l2_scalar,
      .pdx_assign_l2_pruned = vector ? pdx_assign_l2_pruned_neon : pdx_assign_l2_pruned_scalar,
      .assign_l2_flash = vector ? assign_l2_flash_neon : assign_l2_flash_scalar,
  };
}

constexpr KernelTable kVectorKernels = table_of(true);
constexpr KernelTable kScalarKernels = table_of(false);

}  // namespace

const KernelTable& kernel_table_for(SimdPreference pref) {
  // The vector table is built for the compile target, which the running CPU has: on x86-64 the
  // whole library is built once per instruction-set level and the module loader opens the best
  // build the CPU runs (src/python/loader.cpp), so the level is settled before this runs.
  const bool vector = pref == SimdPreference::Auto || pref == SimdPreference::Neon;
  return vector ? kVectorKernels : kScalarKernels;
}

const KernelTable& choose_kernels() { return kernel_table_for(simd_preference()); }

const char* simd_runtime() { return kernels().name; }

const char* simd_build_level() {
#if defined(__aarch64__)
  return "neon";
#elif defined(__AVX512F__)
  return "avx512";
#elif defined(__AVX2__) && defined(__FMA__)
  return "avx2";
#elif defined(__x86_64__)
  return "sse";
#else
  return "generic";
#endif
}

}  // namespace vantorix
