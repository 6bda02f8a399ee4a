#include "kernels/pdx.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include "core/env.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "kernels/lanes.hpp"
#include "kernels/simd.hpp"

namespace vantorix {

namespace {

using namespace lanes;

constexpr size_t kB = PdxMatrix::kBlockRows;
constexpr size_t kGroups = kB / 16;  // 16-row register groups per block
constexpr float kInf = std::numeric_limits<float>::infinity();

// Centers that share one pass over a block's dimensions: each loaded 16-row group then feeds
// 4 * C accumulator chains. With 32 wide registers (AVX-512) four centers fit beside the four
// row groups; with 16 (AVX2) or 128-bit registers one does.
#if defined(__AVX512F__)
constexpr int kCentersPerPass = 4;
#else
constexpr int kCentersPerPass = 1;
#endif

// Per-block running best of the vector forms: 16 rows per register.
struct BlockBest {
  F16 best[kGroups];
  I16 label[kGroups];
  BlockBest() {
    for (size_t g = 0; g < kGroups; ++g) {
      best[g] = splat16(kInf);
      label[g] = I16{};
    }
  }
  // Strict: equal distances keep the earlier (lower) center, NaN never replaces.
  void offer(size_t g, F16 value, int32_t center) {
    const I16 smaller = value < best[g];
    best[g] = smaller ? value : best[g];
    label[g] = smaller ? (I16{} + center) : label[g];
  }
  void store(size_t first_row, size_t n, size_t* labels, float* distances) const {
    alignas(64) float b[kB];
    alignas(64) int32_t l[kB];
    for (size_t g = 0; g < kGroups; ++g) {
      store16(b + 16 * g, best[g]);
      std::memcpy(l + 16 * g, &label[g], sizeof(I16));
    }
    for (size_t r = 0; r < n; ++r) {
      labels[first_row + r] = size_t(uint32_t(l[r]));
      distances[first_row + r] = b[r];
    }
  }
};

// C centers against the block's 64 rows in one pass over the dimensions.
template <int C>
inline void exact_pass(const float* block, size_t dim, const float* centers, size_t c0, BlockBest& bb) {
  F16 acc[C][kGroups] = {};
  const float* q[C];
  for (int j = 0; j < C; ++j) q[j] = centers + (c0 + j) * dim;
  for (size_t d = 0; d < dim; ++d) {
    const float* col = block + d * kB;
    F16 v[kGroups];
    for (size_t g = 0; g < kGroups; ++g) v[g] = load16(col + 16 * g);
    for (int j = 0; j < C; ++j) {
      const F16 c = splat16(q[j][d]);
      for (size_t g = 0; g < kGroups; ++g) {
        // With enough chains in flight, half the subtractions go to the multiply pipes.
        const F16 t = (C * kGroups >= 8 && g % 2 == 0) ? difference16<true>(v[g], c) : difference16<false>(v[g], c);
        acc[j][g] = acc[j][g] + t * t;
      }
    }
  }
  for (int j = 0; j < C; ++j) {
    for (size_t g = 0; g < kGroups; ++g) bb.offer(g, acc[j][g], int32_t(c0 + j));
  }
}

// Dimensions between two pruning checks. The checks only decide how much work is skipped, never
// the result, so they run every few dimensions: a compare per dimension would cost a third more
// arithmetic than the step itself.
constexpr size_t kPruneCheckDims = 8;

// C centers against the block's rows, each (center, 16-row group) chain abandoned once none of
// its rows can beat the row's best over the centers before this pass. A dropped row inside a
// live chain keeps accumulating, which can only raise its sum (or make it NaN), so the final
// strict comparison still rejects it. Returns the (row, center, dimension) steps computed.
template <int C>
inline uint64_t pruned_pass(const float* block, size_t dim, const float* centers, size_t c0, const uint32_t* real,
                            BlockBest& bb) {
  F16 acc[C][kGroups] = {};
  uint32_t alive[C][kGroups];
  size_t done[C][kGroups] = {};
  const float* q[C];
  for (int j = 0; j < C; ++j) {
    q[j] = centers + (c0 + j) * dim;
    for (size_t g = 0; g < kGroups; ++g) alive[j][g] = real[g];
  }
  for (size_t d = 0; d < dim;) {
    const size_t stop = d + kPruneCheckDims < dim ? d + kPruneCheckDims : dim;
    uint32_t any = 0;
    for (int j = 0; j < C; ++j) {
      for (size_t g = 0; g < kGroups; ++g) {
        if (!alive[j][g]) continue;
        F16 a = acc[j][g];
        for (size_t dd = d; dd < stop; ++dd) {
          const F16 t = load16(block + dd * kB + 16 * g) - splat16(q[j][dd]);
          a = a + t * t;
        }
        acc[j][g] = a;
        // Below the row's best, or NaN: the row stays.
        alive[j][g] &= not_at_least_mask16(a, bb.best[g]);
        done[j][g] += stop - d;
        any |= alive[j][g];
      }
    }
    d = stop;
    if (!any) break;
  }
  uint64_t steps = 0;
  for (int j = 0; j < C; ++j) {
    for (size_t g = 0; g < kGroups; ++g) {
      bb.offer(g, acc[j][g], int32_t(c0 + j));
      steps += done[j][g] * uint64_t(std::popcount(real[g]));
    }
  }
  return steps;
}

// Centers are numbered in 32-bit lanes by the vector forms.
constexpr size_t kMaxVectorCenters = size_t(std::numeric_limits<int32_t>::max());

}  // namespace

PdxMatrix PdxMatrix::from_row_major(std::span<const float> values, size_t rows, size_t dim) {
  if (rows == 0) throw VantorixError::message("PDX matrix must contain at least one row");
  if (dim == 0) throw VantorixError::message("PDX matrix dimensionality must be positive");
  if (values.size() != saturating_mul(rows, dim)) {
    throw VantorixError::message("row-major matrix length does not match shape");
  }
  PdxMatrix m;
  m.rows_ = rows;
  m.dim_ = dim;
  const size_t blocks = m.blocks();
  m.data_.assign(checked_mul(checked_mul(blocks, dim, "PDX matrix"), kB, "PDX matrix"), 0.0f);
  parallel_for_each(blocks, [&](size_t b) {
    float* block = m.data_.data() + b * dim * kB;
    const float* src = values.data() + b * kB * dim;
    const size_t n = m.block_rows(b);
    for (size_t d = 0; d < dim; ++d) {
      for (size_t r = 0; r < n; ++r) block[d * kB + r] = src[r * dim + d];
    }
  });
  return m;
}

void PdxMatrix::validate_assignment(std::span<const float> centers, size_t k, std::span<size_t> labels,
                                    std::span<float> distances) const {
  if (k == 0) throw VantorixError::message("k must be greater than zero");
  if (centers.size() != saturating_mul(dim_, k)) {
    throw VantorixError::message("center matrix length does not match PDX shape");
  }
  if (labels.size() != rows_ || distances.size() != rows_) {
    throw VantorixError::message("assignment output length does not match PDX rows");
  }
}

void PdxMatrix::assign_l2_into(std::span<const float> centers, size_t k, std::span<size_t> labels,
                               std::span<float> distances) const {
  validate_assignment(centers, k, labels, distances);
  if (selected_slice_kernel() && k <= kMaxVectorCenters) {
    assign_l2_vector(centers.data(), k, labels.data(), distances.data());
  } else {
    assign_l2_scalar(centers.data(), k, labels.data(), distances.data());
  }
}

void PdxMatrix::assign_l2_pruned_into(std::span<const float> centers, size_t k, std::span<size_t> labels,
                                      std::span<float> distances, std::atomic<uint64_t>* computed_steps) const {
  validate_assignment(centers, k, labels, distances);
  if (selected_slice_kernel() && k <= kMaxVectorCenters) {
    assign_l2_pruned_vector(centers.data(), k, labels.data(), distances.data(), computed_steps);
  } else {
    assign_l2_pruned_scalar(centers.data(), k, labels.data(), distances.data(), computed_steps);
  }
}

void PdxMatrix::assign_l2_vector(const float* centers, size_t k, size_t* labels, float* distances) const {
  parallel_for_each(blocks(), [&](size_t b) {
    const float* blk = block(b);
    BlockBest bb;
    size_t c = 0;
    for (; c + kCentersPerPass <= k; c += kCentersPerPass) exact_pass<kCentersPerPass>(blk, dim_, centers, c, bb);
    for (; c < k; ++c) exact_pass<1>(blk, dim_, centers, c, bb);
    bb.store(b * kB, block_rows(b), labels, distances);
  });
}

void PdxMatrix::assign_l2_pruned_vector(const float* centers, size_t k, size_t* labels, float* distances,
                                        std::atomic<uint64_t>* computed_steps) const {
  parallel_for_each(blocks(), [&](size_t b) {
    const float* blk = block(b);
    const size_t n = block_rows(b);
    // Real rows of each 16-row group; padding rows are never active.
    uint32_t real[kGroups];
    for (size_t g = 0; g < kGroups; ++g) {
      const size_t first = 16 * g;
      const size_t count = n > first ? (n - first < 16 ? n - first : 16) : 0;
      real[g] = count == 16 ? 0xFFFFu : ((1u << count) - 1u);
    }
    BlockBest bb;
    uint64_t steps = 0;
    size_t c = 0;
    for (; c + kCentersPerPass <= k; c += kCentersPerPass) {
      steps += pruned_pass<kCentersPerPass>(blk, dim_, centers, c, real, bb);
    }
    for (; c < k; ++c) steps += pruned_pass<1>(blk, dim_, centers, c, real, bb);
    bb.store(b * kB, n, labels, distances);
    if (computed_steps) computed_steps->fetch_add(steps, std::memory_order_relaxed);
  });
}

void PdxMatrix::assign_l2_scalar(const float* centers, size_t k, size_t* labels, float* distances) const {
  parallel_for_each(blocks(), [&](size_t b) {
    const float* blk = block(b);
    const size_t n = block_rows(b);
    float best[kB], acc[kB];
    size_t label[kB] = {};
    for (size_t r = 0; r < n; ++r) best[r] = kInf;
    for (size_t c = 0; c < k; ++c) {
      const float* q = centers + c * dim_;
      for (size_t r = 0; r < n; ++r) acc[r] = 0.0f;
      for (size_t d = 0; d < dim_; ++d) {
        for (size_t r = 0; r < n; ++r) {
          const float t = blk[d * kB + r] - q[d];
          acc[r] = acc[r] + t * t;
        }
      }
      for (size_t r = 0; r < n; ++r) {
        if (acc[r] < best[r]) best[r] = acc[r], label[r] = c;
      }
    }
    for (size_t r = 0; r < n; ++r) labels[b * kB + r] = label[r], distances[b * kB + r] = best[r];
  });
}

void PdxMatrix::assign_l2_pruned_scalar(const float* centers, size_t k, size_t* labels, float* distances,
                                        std::atomic<uint64_t>* computed_steps) const {
  parallel_for_each(blocks(), [&](size_t b) {
    const float* blk = block(b);
    const size_t n = block_rows(b);
    float best[kB], acc[kB];
    bool active[kB];
    size_t label[kB] = {};
    uint64_t steps = 0;
    for (size_t r = 0; r < n; ++r) best[r] = kInf;
    for (size_t c = 0; c < k; ++c) {
      const float* q = centers + c * dim_;
      size_t active_count = n;
      for (size_t r = 0; r < n; ++r) acc[r] = 0.0f, active[r] = true;
      for (size_t d = 0; d < dim_ && active_count > 0; ++d) {
        for (size_t r = 0; r < n; ++r) {
          if (!active[r]) continue;
          const float t = blk[d * kB + r] - q[d];
          acc[r] = acc[r] + t * t;
          ++steps;
          // The remaining terms are non-negative: the full sum cannot get below best any more.
          // A NaN partial sum fails the test and stays.
          if (acc[r] >= best[r]) active[r] = false, --active_count;
        }
      }
      for (size_t r = 0; r < n; ++r) {
        if (acc[r] < best[r]) best[r] = acc[r], label[r] = c;
      }
    }
    for (size_t r = 0; r < n; ++r) labels[b * kB + r] = label[r], distances[b * kB + r] = best[r];
    if (computed_steps) computed_steps->fetch_add(steps, std::memory_order_relaxed);
  });
}

bool pdx_exact_enabled() {
  static const bool on = env_word(EnvSwitch::PdxExact) == Word::On;
  return on;
}

bool pdx_pruning_enabled() {
  // A set VANTORIX_PDX_PRUNE, whatever it says, hides VANTORIX_DIM_PRUNE.
  static const bool on = env_word(EnvSwitch::PdxPrune) == Word::On;
  return on;
}

}  // namespace vantorix
