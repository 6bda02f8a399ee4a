#include "dense_kernels.hpp"

#include <cstring>
#include <limits>

#if defined(__AVX512F__)
#include <immintrin.h>
#endif

namespace vantorix {

namespace {

typedef float F4 __attribute__((vector_size(16)));
typedef float F16 __attribute__((vector_size(64)));

inline F16 load16(const float* p) {
  F16 v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
inline void store16(float* p, F16 v) { std::memcpy(p, &v, sizeof(v)); }
// The query's 4-dimension block repeated for four centers.
inline F16 broadcast4(const float* q) {
#if defined(__AVX512F__)
  return (F16)_mm512_broadcast_f32x4(_mm_loadu_ps(q));
#else
  F4 v;
  std::memcpy(&v, q, sizeof(v));
  return __builtin_shufflevector(v, v, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3);
#endif
}

template <bool Dot>
inline F16 step(F16 acc, F16 x, F16 c) {
  if constexpr (Dot) {
    return acc + x * c;
  } else {
    const F16 diff = x - c;
    return acc + diff * diff;
  }
}

// Lane reduction ((v0 + v1) + v2) + v3 per center, then the tail dimensions in index order.
template <bool Dot>
inline void finish(const float* lanes, const float* q, const PackedCenters& p, size_t first, size_t count,
                   float* out) {
  const size_t tail_from = p.blocks * 4;
  for (size_t c = 0; c < count; ++c) {
    const float* l = lanes + 4 * c;
    float s = ((l[0] + l[1]) + l[2]) + l[3];
    const size_t j = first + c;
    if (j < p.k) {
      const float* row = p.rows + j * p.d;
      for (size_t i = tail_from; i < p.d; ++i) {
        if constexpr (Dot) {
          s = s + q[i] * row[i];
        } else {
          const float e = q[i] - row[i];
          s = s + e * e;
        }
      }
    }
    out[j] = s;
  }
}

template <bool Dot>
void all_values(const float* q, const PackedCenters& p, float* out) {
  const size_t blocks = p.blocks, stride = blocks * 16;
  const float* base = p.lanes.data();
  alignas(64) float lanes[64];
  size_t g = 0;
  // Four groups (16 centers) per pass keep four independent accumulator chains in flight.
  for (; g + 4 <= p.groups; g += 4) {
    const float* c0 = base + g * stride;
    const float* c1 = c0 + stride;
    const float* c2 = c1 + stride;
    const float* c3 = c2 + stride;
    F16 a0 = {}, a1 = {}, a2 = {}, a3 = {};
    for (size_t t = 0; t < blocks; ++t) {
      const F16 x = broadcast4(q + 4 * t);
      a0 = step<Dot>(a0, x, load16(c0 + 16 * t));
      a1 = step<Dot>(a1, x, load16(c1 + 16 * t));
      a2 = step<Dot>(a2, x, load16(c2 + 16 * t));
      a3 = step<Dot>(a3, x, load16(c3 + 16 * t));
    }
    store16(lanes, a0);
    store16(lanes + 16, a1);
    store16(lanes + 32, a2);
    store16(lanes + 48, a3);
    finish<Dot>(lanes, q, p, 4 * g, 16, out);
  }
  for (; g < p.groups; ++g) {
    const float* c0 = base + g * stride;
    F16 a0 = {};
    for (size_t t = 0; t < blocks; ++t) a0 = step<Dot>(a0, broadcast4(q + 4 * t), load16(c0 + 16 * t));
    store16(lanes, a0);
    finish<Dot>(lanes, q, p, 4 * g, 4, out);
  }
}

// Two rows per pass over the centers: each packed center load feeds both rows' accumulators.
template <bool Dot>
void all_values2(const float* q0, const float* q1, const PackedCenters& p, float* out0, float* out1) {
  const size_t blocks = p.blocks, stride = blocks * 16;
  const float* base = p.lanes.data();
  alignas(64) float lanes[64];
  size_t g = 0;
  for (; g + 4 <= p.groups; g += 4) {
    const float* c0 = base + g * stride;
    const float* c1 = c0 + stride;
    const float* c2 = c1 + stride;
    const float* c3 = c2 + stride;
    F16 a0 = {}, a1 = {}, a2 = {}, a3 = {}, b0 = {}, b1 = {}, b2 = {}, b3 = {};
    for (size_t t = 0; t < blocks; ++t) {
      const F16 x = broadcast4(q0 + 4 * t);
      const F16 y = broadcast4(q1 + 4 * t);
      const F16 v0 = load16(c0 + 16 * t), v1 = load16(c1 + 16 * t);
      const F16 v2 = load16(c2 + 16 * t), v3 = load16(c3 + 16 * t);
      a0 = step<Dot>(a0, x, v0);
      b0 = step<Dot>(b0, y, v0);
      a1 = step<Dot>(a1, x, v1);
      b1 = step<Dot>(b1, y, v1);
      a2 = step<Dot>(a2, x, v2);
      b2 = step<Dot>(b2, y, v2);
      a3 = step<Dot>(a3, x, v3);
      b3 = step<Dot>(b3, y, v3);
    }
    store16(lanes, a0);
    store16(lanes + 16, a1);
    store16(lanes + 32, a2);
    store16(lanes + 48, a3);
    finish<Dot>(lanes, q0, p, 4 * g, 16, out0);
    store16(lanes, b0);
    store16(lanes + 16, b1);
    store16(lanes + 32, b2);
    store16(lanes + 48, b3);
    finish<Dot>(lanes, q1, p, 4 * g, 16, out1);
  }
  for (; g < p.groups; ++g) {
    const float* c0 = base + g * stride;
    F16 a0 = {}, b0 = {};
    for (size_t t = 0; t < blocks; ++t) {
      const F16 v0 = load16(c0 + 16 * t);
      a0 = step<Dot>(a0, broadcast4(q0 + 4 * t), v0);
      b0 = step<Dot>(b0, broadcast4(q1 + 4 * t), v0);
    }
    store16(lanes, a0);
    finish<Dot>(lanes, q0, p, 4 * g, 4, out0);
    store16(lanes, b0);
    finish<Dot>(lanes, q1, p, 4 * g, 4, out1);
  }
}

template <bool Dot>
std::pair<size_t, float> pick(const float* values, size_t k) {
  size_t best_index = 0;
  float best = Dot ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
  for (size_t j = 0; j < k; ++j) {
    if (Dot ? values[j] > best : values[j] < best) best = values[j], best_index = j;
  }
  return {best_index, best};
}

}  // namespace

PackedCenters::PackedCenters(const Matrix<float>& centers)
    : k(centers.rows), d(centers.cols), blocks(centers.cols / 4), groups((centers.rows + 3) / 4),
      rows(centers.data()) {
  lanes.assign(groups * blocks * 16, 0.0f);
  for (size_t j = 0; j < k; ++j) {
    const float* row = centers.data() + j * d;
    float* dst = lanes.data() + (j / 4) * blocks * 16 + (j % 4) * 4;
    for (size_t t = 0; t < blocks; ++t) std::memcpy(dst + 16 * t, row + 4 * t, 4 * sizeof(float));
  }
}

void packed_l2_all(const float* q, const PackedCenters& p, float* out) { all_values<false>(q, p, out); }
void packed_dot_all(const float* q, const PackedCenters& p, float* out) { all_values<true>(q, p, out); }

std::pair<size_t, float> packed_nearest_l2(const float* q, const PackedCenters& p, float* scratch) {
  all_values<false>(q, p, scratch);
  return pick<false>(scratch, p.k);
}

std::pair<size_t, float> packed_nearest_dot(const float* q, const PackedCenters& p, float* scratch) {
  all_values<true>(q, p, scratch);
  return pick<true>(scratch, p.k);
}

void packed_nearest_pair(const float* q0, const float* q1, const PackedCenters& p, bool dot, float* scratch,
                         std::pair<size_t, float>* out) {
  const size_t width = 4 * p.groups;
  if (dot) {
    all_values2<true>(q0, q1, p, scratch, scratch + width);
    out[0] = pick<true>(scratch, p.k);
    out[1] = pick<true>(scratch + width, p.k);
  } else {
    all_values2<false>(q0, q1, p, scratch, scratch + width);
    out[0] = pick<false>(scratch, p.k);
    out[1] = pick<false>(scratch + width, p.k);
  }
}

}  // namespace vantorix
