#include "kernels/dense_kernels.hpp"

#include <cstring>
#include <limits>

#include "core/error.hpp"
#include "kernels/lanes.hpp"

namespace vantorix {

namespace {

using namespace lanes;

template <bool Dot, bool OnFmaPipes = false>
inline VF step(VF acc, VF x, VF c) {
  if constexpr (Dot) {
    return acc + x * c;
  } else {
    VF diff = x - c;
    if constexpr (kWide == 16) diff = difference16<OnFmaPipes>(x, c);
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

// G groups (4 G centers) for R rows in one pass over the dimensions: R x G independent
// accumulator chains, each packed center load shared by the R rows. A group's 16 lanes (4 centers
// x 4 dimensions) are P registers of the target's width; every lane is its own chain, so the
// split does not change a value.
template <bool Dot, int R, int G>
void pass(const float* const* q, const PackedCenters& p, size_t g, float* const* out) {
  constexpr int P = int(16 / kWide);
  const size_t blocks = p.blocks, stride = blocks * 16;
  const float* c = p.lanes.data() + g * stride;
  VF acc[R][G * P] = {};
  for (size_t t = 0; t < blocks; ++t) {
    VF x[R];
    for (int r = 0; r < R; ++r) x[r] = broadcast4w(q[r] + 4 * t);
    for (int j = 0; j < G * P; ++j) {
      const VF v = loadw(c + (j / P) * stride + 16 * t + kWide * (j % P));
      for (int r = 0; r < R; ++r) {
        // Only with enough independent chains in flight to hide the longer fused latency.
        acc[r][j] = (R * G >= 8 && j % 2 == 0) ? step<Dot, true>(acc[r][j], x[r], v)
                                               : step<Dot, false>(acc[r][j], x[r], v);
      }
    }
  }
  alignas(64) float lanes[16 * G];
  for (int r = 0; r < R; ++r) {
    for (int j = 0; j < G * P; ++j) storew(lanes + kWide * j, acc[r][j]);
    finish<Dot>(lanes, q[r], p, 4 * g, 4 * G, out[r]);
  }
}

// Whether a pass of R rows by G groups keeps its values in registers: R x G accumulators of 16
// lanes, R rows and one center block of one register each. Spilled accumulators cost far more than the shared
// center loads save, so narrower targets take fewer groups, or fewer rows, per pass.
constexpr bool fits_registers(int R, int G) { return size_t(R * G) * kRegistersPer16 + size_t(R + 1) <= kVectorRegisters; }
template <int R>
constexpr int groups_per_pass() {
  return fits_registers(R, 4) ? 4 : fits_registers(R, 2) ? 2 : fits_registers(R, 1) ? 1 : 0;
}

template <bool Dot, int R, int G>
void remaining_groups(const float* const* q, const PackedCenters& p, size_t g, float* const* out) {
  if constexpr (G > 0) {
    if (p.groups - g >= size_t(G)) {
      pass<Dot, R, G>(q, p, g, out);
      g += G;
    }
    remaining_groups<Dot, R, G / 2>(q, p, g, out);
  }
}

template <bool Dot, int R>
void all_rows(const float* const* q, const PackedCenters& p, float* const* out) {
  constexpr int G = groups_per_pass<R>();
  static_assert(G > 0 || R > 1, "one row of one group must fit the registers");
  if constexpr (G == 0) {
    // Too many rows for the registers: two passes of half as many.
    all_rows<Dot, R / 2>(q, p, out);
    all_rows<Dot, R / 2>(q + R / 2, p, out + R / 2);
  } else {
    size_t g = 0;
    for (; g + G <= p.groups; g += G) pass<Dot, R, G>(q, p, g, out);
    // At most G - 1 groups remain: one pass each of G/2, G/4, ... groups as they fit.
    remaining_groups<Dot, R, G / 2>(q, p, g, out);
  }
}

template <bool Dot>
void all_values(const float* q, const PackedCenters& p, float* out) {
  all_rows<Dot, 1>(&q, p, &out);
}

template <bool Dot>
std::pair<size_t, float> pick(const float* values, size_t k) {
  const float start = Dot ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
  float best = start;
  if (k < 64) {
    // Few values: the strict scan itself is cheapest.
    size_t best_index = 0;
    for (size_t j = 0; j < k; ++j) {
      if (Dot ? values[j] > best : values[j] < best) best = values[j], best_index = j;
    }
    return {best_index, best};
  }
  // The best value first, 16 lanes at a time (a NaN never replaces a lane's best), then the first
  // index holding it: the same answer as the strict scan from (0, start), without its branches.
  Wide16 lanes = splat_wide(start);
  size_t j = 0;
  for (; j + 16 <= k; j += 16) keep_better<Dot>(load_wide(values + j), lanes);
  alignas(64) float lane_values[16];
  store_wide(lane_values, lanes);
  for (float v : lane_values) {
    if (Dot ? v > best : v < best) best = v;
  }
  for (; j < k; ++j) {
    if (Dot ? values[j] > best : values[j] < best) best = values[j];
  }
  if (best == start) return {0, start};
  for (size_t i = 0;; ++i) {
    if (values[i] == best) return {i, values[i]};
  }
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

std::pair<size_t, float> best_of_values(const float* values, size_t k, bool largest) {
  return largest ? pick<true>(values, k) : pick<false>(values, k);
}

void packed_l2_all(const float* q, const PackedCenters& p, float* out) { all_values<false>(q, p, out); }

void packed_l2_all_rows(const float* const* q, size_t count, const PackedCenters& p, float* scratch) {
  const size_t width = 4 * p.groups;
  float* values[4] = {scratch, scratch + width, scratch + 2 * width, scratch + 3 * width};
  switch (count) {
    case 4: all_rows<false, 4>(q, p, values); break;
    case 2: all_rows<false, 2>(q, p, values); break;
    case 1: all_rows<false, 1>(q, p, values); break;
    default: fatal("packed_l2_all_rows: 1, 2 or 4 rows per pass");
  }
}
void packed_dot_all(const float* q, const PackedCenters& p, float* out) { all_values<true>(q, p, out); }

std::pair<size_t, float> packed_nearest_l2(const float* q, const PackedCenters& p, float* scratch) {
  all_values<false>(q, p, scratch);
  return pick<false>(scratch, p.k);
}

std::pair<size_t, float> packed_nearest_dot(const float* q, const PackedCenters& p, float* scratch) {
  all_values<true>(q, p, scratch);
  return pick<true>(scratch, p.k);
}

size_t packed_rows_per_pass(const PackedCenters& p) {
  if (p.d >= 256) return 4;
  return p.groups <= 4 ? 1 : 2;
}

void packed_nearest_rows(const float* const* q, size_t count, const PackedCenters& p, bool dot, float* scratch,
                         std::pair<size_t, float>* out) {
  const size_t width = 4 * p.groups;
  float* values[4] = {scratch, scratch + width, scratch + 2 * width, scratch + 3 * width};
  auto run = [&]<bool Dot>() {
    switch (count) {
      case 4: all_rows<Dot, 4>(q, p, values); break;
      case 2: all_rows<Dot, 2>(q, p, values); break;
      case 1: all_rows<Dot, 1>(q, p, values); break;
      default: fatal("packed_nearest_rows: 1, 2 or 4 rows per pass");
    }
    for (size_t r = 0; r < count; ++r) out[r] = pick<Dot>(values[r], p.k);
  };
  if (dot) {
    run.template operator()<true>();
  } else {
    run.template operator()<false>();
  }
}

}  // namespace vantorix
