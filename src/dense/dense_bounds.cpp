#include "dense/dense_bounds.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "core/env.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "dense/dense_assign.hpp"
#include "dense/dense_screen.hpp"
#include "kernels/dense_kernels.hpp"
#include "kernels/lanes.hpp"
#include "kernels/simd.hpp"
#include "kmeans/kmeans_common.hpp"

namespace vantorix {

namespace {

constexpr size_t kRowChunk = 512;
constexpr size_t kMinBoundK = 8;
constexpr size_t kHamerlyAutoMaxK = 24;
constexpr size_t kHamerlyMinOps = 32000000;
constexpr size_t kEarlyAbandonMinD = 64;
constexpr size_t kEarlyAbandonMinOps = 64000000;
constexpr float kInf = std::numeric_limits<float>::infinity();


// All k squared distances of a few rows at a time, each bit-identical to the exact assignment's
// value.
struct RowDistances {
  const Matrix<float>& centers;
  std::optional<PackedCenters> packed;
  size_t per_pass = 1;
  explicit RowDistances(const Matrix<float>& c) : centers(c) {
    if (kernels().packed_centers) {
      packed.emplace(c);
      per_pass = packed_rows_per_pass(*packed);
    }
  }
  size_t width() const { return packed ? 4 * packed->groups : centers.rows; }
  // count <= per_pass rows; row i's distances at out + i * width().
  void all(const float* const* rows, size_t count, float* out) const {
    if (packed) {
      packed_l2_all_rows(rows, count, *packed, out);
      return;
    }
    for (size_t i = 0; i < count; ++i) {
      const std::span<const float> q(rows[i], centers.cols);
      for (size_t j = 0; j < centers.rows; ++j) out[i * width() + j] = l2_squared(q, centers.row(j));
    }
  }
  float one(const float* row, size_t j) const { return l2_squared({row, centers.cols}, centers.row(j)); }
};

using namespace lanes;

// True once the partial squared distance reaches `best`: four running sums over 16-dimension
// blocks, checked after every block, then after every dimension of the last partial block.
inline bool abandoned(const float* x, const float* c, size_t d, float best) {
  F4 acc = {0.0f, 0.0f, 0.0f, 0.0f};
  const size_t full = d / 16 * 16;
  for (size_t b = 0; b < full; b += 16) {
    for (size_t q = 0; q < 16; q += 4) {
      const F4 diff = load4(x + b + q) - load4(c + b + q);
      acc = acc + diff * diff;
    }
    if (reduce_sequential(acc) >= best) return true;
  }
  float total = reduce_sequential(acc);
  for (size_t i = full; i < d; ++i) {
    const float e = x[i] - c[i];
    total = total + e * e;
    if (total >= best) return true;
  }
  return false;
}

}  // namespace

DenseIterationAssign::Mode DenseIterationAssign::choose(size_t rows, size_t k, size_t d, bool spherical,
                                                        bool contiguous) {
  if (spherical || k < kMinBoundK || !contiguous) return Mode::Exact;
  size_t ops;
  const bool overflow = __builtin_mul_overflow(rows, k, &ops) || __builtin_mul_overflow(ops, d, &ops);
  if (overflow) ops = std::numeric_limits<size_t>::max();
  const Word hamerly = env_word(EnvSwitch::DenseHamerly);
  if ((hamerly == Word::On || (hamerly == Word::Auto && k <= kHamerlyAutoMaxK)) && ops >= kHamerlyMinOps) {
    return Mode::Hamerly;
  }
  if (d < kEarlyAbandonMinD) return Mode::Exact;
  const Word early = env_word(EnvSwitch::DenseEarlyAbandon);
  if (early == Word::On || (early == Word::Auto && !kernels().packed_centers && ops >= kEarlyAbandonMinOps)) {
    return Mode::EarlyAbandon;
  }
  return Mode::Exact;
}

DenseIterationAssign::DenseIterationAssign(MatrixView<const float> data, const Matrix<float>& centers, bool spherical,
                                           size_t passes)
    : mode_(choose(data.rows, centers.rows, data.cols, spherical, data.is_c_contiguous())), spherical_(spherical),
      screen_rows_(passes) {
  if (mode_ == Mode::Hamerly) {
    upper_.assign(data.rows, kInf);
    lower_.assign(data.rows, 0.0f);
    half_min_ = center_half_min_distances(centers);
    moves_.assign(centers.rows, 0.0f);
  }
}

void DenseIterationAssign::assign(size_t iteration, MatrixView<const float> data, const Matrix<float>& centers,
                                  const std::vector<float>* row_norms, std::span<size_t> labels,
                                  std::span<float> distances) {
  if (mode_ == Mode::Hamerly) {
    assign_hamerly(iteration, data, centers, labels, distances);
  } else if (mode_ == Mode::EarlyAbandon && iteration > 0) {
    assign_early_abandon(data, centers, labels, distances);
  } else {
    assign_exact(data, centers, row_norms, labels, distances);
  }
}

void DenseIterationAssign::assign_exact(MatrixView<const float> data, const Matrix<float>& centers,
                                        const std::vector<float>* row_norms, std::span<size_t> labels,
                                        std::span<float> distances) {
  assign_dense_into(data, centers, row_norms, spherical_, labels, distances, &screen_rows_);
}

void DenseIterationAssign::assign_hamerly(size_t iteration, MatrixView<const float> data,
                                          const Matrix<float>& centers, std::span<size_t> labels,
                                          std::span<float> distances) {
  if (labels.size() < data.rows || distances.size() < data.rows || upper_.size() != data.rows) {
    fatal("hamerly assignment: state does not match the data");
  }
  const RowDistances dist(centers);
  const size_t k = centers.rows;
  // The nearest and second-nearest center of a row from all its distances.
  auto full = [&](size_t r, const float* all) {
    const NearestTwo found = nearest_two(all, k);
    labels[r] = found.index;
    distances[r] = found.best;
    upper_[r] = std::sqrt(found.best);
    lower_[r] = std::sqrt(found.second);
  };
  // Unsettled rows meet every center; screening does that at matrix-product speed. Whether it
  // pays is judged on all rows: on later passes the unsettled ones are fewer but still many.
  std::optional<DenseScreen> screen;
  if (const auto choice = dense_screen_choice(data.rows, k, data.cols, false, screen_rows_.passes())) {
    screen.emplace(centers, false, *choice);
  }
  parallel_chunks(data.rows, kRowChunk, [&](size_t begin, size_t end) {
    // Rows the bounds cannot settle are collected and scanned a few at a time.
    std::vector<size_t> pending;
    pending.reserve(end - begin);
    for (size_t r = begin; r < end; ++r) {
      if (iteration > 0) {
        const float* x = data.data + ptrdiff_t(r) * data.row_stride;
        const size_t a = labels[r];
        const float u = upper_[r] + moves_[a];
        const float l = std::max(lower_[r] - max_move_, 0.0f);
        const float m = std::max(l, half_min_[a]);
        const float own = dist.one(x, a);
        const float root = std::sqrt(own);
        // The bounds prove the label; a NaN distance goes to the full pass, as in the exact search.
        if (own == own && (u <= m || root <= m)) {
          distances[r] = own;
          upper_[r] = root;
          lower_[r] = l;
          continue;
        }
      }
      pending.push_back(r);
    }
    if (screen) {
      screen_pending(*screen, data, pending, labels, distances);
      return;
    }
    std::vector<float> all(dist.per_pass * dist.width());
    const float* rows[4];
    for (size_t i = 0; i < pending.size();) {
      const size_t count = pending.size() - i >= dist.per_pass ? dist.per_pass : 1;
      for (size_t t = 0; t < count; ++t) rows[t] = data.data + ptrdiff_t(pending[i + t]) * data.row_stride;
      dist.all(rows, count, all.data());
      for (size_t t = 0; t < count; ++t) full(pending[i + t], all.data() + t * dist.width());
      i += count;
    }
  });
}

void DenseIterationAssign::screen_pending(DenseScreen& screen, MatrixView<const float> data,
                                          std::span<const size_t> pending, std::span<size_t> labels,
                                          std::span<float> distances) {
  const size_t d = data.cols, block = screen.block_rows();
  std::vector<float> rows(std::min(block, pending.size()) * d), best(block), next(block);
  std::vector<size_t> found(block);
  for (size_t i = 0; i < pending.size(); i += block) {
    const size_t count = std::min(block, pending.size() - i);
    for (size_t t = 0; t < count; ++t) {
      std::memcpy(rows.data() + t * d, data.data + ptrdiff_t(pending[i + t]) * data.row_stride, d * sizeof(float));
    }
    screen.nearest(rows.data(), count, d, found.data(), best.data(), next.data());
    for (size_t t = 0; t < count; ++t) {
      const size_t r = pending[i + t];
      labels[r] = found[t];
      distances[r] = best[t];
      upper_[r] = std::sqrt(best[t]);
      lower_[r] = std::sqrt(next[t]);
    }
  }
}

void DenseIterationAssign::assign_early_abandon(MatrixView<const float> data, const Matrix<float>& centers,
                                                std::span<size_t> labels, std::span<float> distances) {
  if (labels.size() < data.rows || distances.size() < data.rows) fatal("early abandon: outputs too short");
  const size_t k = centers.rows, d = centers.cols;
  parallel_chunks(data.rows, kRowChunk, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      const float* x = data.data + ptrdiff_t(r) * data.row_stride;
      const std::span<const float> row(x, d);
      size_t best_index = labels[r];
      float best = l2_squared(row, centers.row(best_index));
      for (size_t j = 0; j < k; ++j) {
        if (j == labels[r]) continue;
        if (std::isfinite(best) && abandoned(x, centers.row(j).data(), d, best)) continue;
        // Not abandoned: the exact kernel value decides, so distances match the exact search.
        const float v = l2_squared(row, centers.row(j));
        if (v < best) best = v, best_index = j;
      }
      labels[r] = best_index;
      distances[r] = best;
    }
  });
}

void DenseIterationAssign::after_update(const Matrix<float>& before, const Matrix<float>& after) {
  if (mode_ != Mode::Hamerly) return;
  max_move_ = 0.0f;
  for (size_t c = 0; c < after.rows; ++c) {
    moves_[c] = std::sqrt(l2_squared(before.row(c), after.row(c)));
    if (moves_[c] > max_move_) max_move_ = moves_[c];
  }
  half_min_ = center_half_min_distances(after);
}

}  // namespace vantorix
