#include "dense/dense_screen.hpp"

#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "core/blas_threads.hpp"
#include "core/env.hpp"
#include "core/error.hpp"
#include "core/stats.hpp"
#include "kernels/dense_kernels.hpp"
#include "kernels/lanes.hpp"
#include "kernels/simd.hpp"
#include "kmeans/kmeans_common.hpp"

namespace vantorix {

namespace {

using namespace lanes;

constexpr float kInf = std::numeric_limits<float>::infinity();
// The default block: 1 MiB of products, a core's share of L2 on the CPUs it was first measured
// on, between 64 and 512 rows. The calibration measures it against half and twice its size.
constexpr size_t kProductEntries = 262144;
constexpr size_t kMinBlockRows = 64;
constexpr size_t kMaxBlockRows = 512;
// A block size given from outside keeps each worker's products within 64 MiB.
constexpr size_t kMaxForcedProductEntries = size_t(1) << 24;
// Rows and centers with larger norms are measured directly: below it no product, partial sum or
// distance can overflow, which the bound takes for granted.
constexpr double kMaxNorm = 0x1p61;
// The bound needs d * 2^-24 well below 1 (its second-order terms stay inside the slack).
constexpr size_t kMaxBoundDim = 65536;

// Sum of squares in f64: every square is exact, so there is no underflow and the sum is far
// more accurate than the f32 unit roundoff the bound charges for it. Four chains of f64 registers
// as wide as the target's: one chain waited on the adder, and a 16-lane f64 value on an AVX2
// build lived in memory between steps (the screen's own time was then mostly this sum: 21% of a
// SIFT-like fit's, k = 64, against 11% in its products).
double squared_norm(const float* x, size_t d) {
  constexpr size_t kHalf = kWide / 2;
  typedef float FH __attribute__((vector_size(kHalf * 4)));
  typedef double DH __attribute__((vector_size(kHalf * 8)));
  auto square = [&](size_t i) {
    FH v;
    std::memcpy(&v, x + i, sizeof(v));
    const DH w = __builtin_convertvector(v, DH);
    return w * w;
  };
  DH a0 = {}, a1 = {}, a2 = {}, a3 = {};
  size_t i = 0;
  for (; i + 4 * kHalf <= d; i += 4 * kHalf) {
    a0 = a0 + square(i);
    a1 = a1 + square(i + kHalf);
    a2 = a2 + square(i + 2 * kHalf);
    a3 = a3 + square(i + 3 * kHalf);
  }
  for (; i + kHalf <= d; i += kHalf) a0 = a0 + square(i);
  const DH acc = (a0 + a1) + (a2 + a3);
  double s = 0.0;
  for (size_t l = 0; l < kHalf; ++l) s += acc[l];
  for (; i < d; ++i) s += double(x[i]) * double(x[i]);
  return s;
}

// The norm as the bound uses it: rounded up, so it never understates the true norm.
float norm_above(double squared) { return float(std::sqrt(squared)) * (1.0f + 0x1p-20f); }

// Whether the bound takes a row or center of this squared norm: finite and below kMaxNorm.
bool norm_covered(double squared) { return std::isfinite(squared) && std::sqrt(squared) <= kMaxNorm; }

// The bound's constants for d values: kappa (for cosine, twice the terms), the floor for the
// products' underflow, and for bf16 rows the floor that adds their rounding of inputs below
// 2^-126 to zero.
float bound_kappa(size_t d, bool cosine) { return float(1.25 * double(cosine ? 2 * d + 6 : d + 6) * 0x1p-24); }
float product_floor(size_t d) { return float(double(4 * d + 32) * 0x1p-126); }
float half_row_floor(size_t d) { return float(double(8 * d + 32) * 0x1p-126); }

inline float positive_part(float v) { return v > 0.0f ? v : 0.0f; }

// The direct kernels' value for one center: nearest_*_center over that center alone runs the
// same chain of operations as over all of them.
inline float direct_l2(const float* x, const float* c, size_t d) {
  return nearest_l2_center({x, d}, {c, d}, 1, d).second;
}
inline float direct_dot(const float* x, const float* c, size_t d) {
  return nearest_dot_center({x, d}, {c, d}, 1, d).second;
}

}  // namespace

bool dense_blas_enabled() {
  return env_word(EnvSwitch::DenseAssign) != Word::Rows;
}

size_t DenseScreen::block_rows_for(size_t k) {
  return std::clamp(kProductEntries / std::max<size_t>(k, 1), kMinBlockRows, kMaxBlockRows);
}

std::vector<size_t> DenseScreen::block_rows_candidates(size_t k) {
  const size_t rows = block_rows_for(k);
  std::vector<size_t> sizes;
  for (const size_t s : {rows / 2, rows, rows * 2}) {
    const size_t within = block_rows_within_limits(s, k);
    if (sizes.empty() || within > sizes.back()) sizes.push_back(within);
  }
  return sizes;
}

size_t DenseScreen::block_rows_within_limits(size_t rows, size_t k) {
  return std::clamp<size_t>(rows, 1, std::max<size_t>(kMaxForcedProductEntries / std::max<size_t>(k, 1), 1));
}

bool dense_screen_covers(size_t k, size_t d) {
  return k >= 1 && d >= 1 && d <= kMaxBoundDim && k <= size_t(std::numeric_limits<int>::max());
}

// The bound. With u = 2^-24, X = |x|, C = |c|, S = (X + C)^2 and D the exact squared distance:
// the squared norms (f64, rounded once to f32) are each off by at most u X^2 and u C^2; the
// product x.c from BLAS, in whatever order and with or without fused steps, by d u X C; the
// three f32 operations of the estimate add u (X^2 + C^2) and u D; the direct kernel's value
// differs from D by (d + 2) u D; and forming estimate +- bound rounds once more. In all
//   |direct - estimate| <= (d + 5) u S + (d + 2) u D  (to first order),
// and D is at most max(estimate, 0) plus the first term. kappa charges 1.25 (d + 6) u for both,
// which leaves a quarter for the second-order terms (d u <= 2^-8) and for the rounding of the
// bound's own arithmetic. In cosine mode both dots are off by at most d u X C, so
// |direct - product| <= 2 d u X C, plus the rounding of product +- bound. `floor` covers
// underflow: even flushed to zero, each of the at most 4 d + 32 operations loses less than 2^-126.
//
// With bf16 products the rows and centers are first rounded to x' = x - r and c' = c - s, each
// entry to 8 significant bits (|r_i| <= 2^-8 |x_i|, so |r| <= 2^-8 X, likewise s). The tiles
// multiply pairs exactly and sum in f32, so x'.c' carries the same d u |x'| |c'| as an f32
// product (|x'| |c'| <= (1 + 2^-8)^2 X C, inside kappa's quarter), and
//   x.c - x'.c' = r.c + x'.s,  |r.c + x'.s| <= |r| C + (X + |r|) |s| =: E.
// The estimate uses 2 x.c, so the Euclidean bound gains 2 E, and D's own share of it adds
// (d + 2) u 2 E <= 2^-8 2 E: charged as 2 (1 + 2^-5) E, which also covers the f32 rounding of E's
// three products and two sums. In cosine mode the dot gains E, charged as (1 + 2^-5) E. |r| and
// |s| are measured per row and per center (f64 sums of exact squares, rounded up), not taken
// as 2^-8 X: the real errors are about half that, and zero for data already in bf16 (integer
// pixels, for one). The tiles read subnormal bf16 as zero and flush subnormal results; inputs
// below 2^-126 are rounded to zero (so they are part of r and s), and each of the 2 d products
// and sums behind x'.c' loses less than 2^-126 more, twice that in the estimate: the floor
// grows to (8 d + 32) 2^-126.
DenseScreen::DenseScreen(const Matrix<float>& centers, bool cosine, ScreenChoice choice)
    : centers_(centers), cosine_(cosine), stats_(active_stats()),
      block_rows_(choice.block_rows ? block_rows_within_limits(choice.block_rows, centers.rows)
                                    : block_rows_for(centers.rows)),
      measure_budget_(choice.measure_budget) {
  const size_t k = centers.rows, d = centers.cols;
  if (!dense_screen_covers(k, d)) {
    fatal("DenseScreen: shape outside what the bound covers");
  }
  kappa_ = bound_kappa(d, cosine);
  floor_ = product_floor(d);
  squared_norms_.resize(k);
  norms_.resize(k);
  parallel_chunks(k, 64, [&](size_t begin, size_t end) {
    for (size_t j = begin; j < end; ++j) {
      const double s = squared_norm(centers.data() + j * d, d);
      // A center the bound cannot cover gets infinite norms: its estimate is never below its
      // bound and its bound never excludes another center, so it is always measured.
      const bool covered = norm_covered(s);
      squared_norms_[j] = covered ? float(s) : kInf;
      norms_[j] = covered ? norm_above(s) : kInf;
    }
  });
  max_norm_ = 0.0f;
  for (float c : norms_) max_norm_ = std::max(max_norm_, c);
  if (choice.products != ScreenProducts::Bf16 || !bf16_products_available()) return;
  half_.emplace(pack_bf16_centers(centers.data(), k, d));
  center_errors_.resize(k);
  lift_.resize(k);
  for (size_t j = 0; j < k; ++j) {
    const bool covered = std::isfinite(norms_[j]);
    center_errors_[j] = covered ? norm_above(half_->squared_errors[j]) : 0.0f;
    lift_[j] = covered ? norms_[j] : 0.0f;
    max_center_error_ = std::max(max_center_error_, center_errors_[j]);
    max_lift_ = std::max(max_lift_, lift_[j]);
  }
  half_floor_ = half_row_floor(d);
  rounding_factor_ = cosine ? 1.03125f : ProductBound::kRowRoundingFactor;
}

// The bound's constants as the screen's for bf16 rows.
ProductBound::ProductBound(size_t d) : d_(d), kappa_(bound_kappa(d, false)), floor_(half_row_floor(d)) {
  if (!dense_screen_covers(1, d)) fatal("ProductBound: dimension outside what the bound covers");
}

ProductBound::Norms ProductBound::norms(const float* x) const { return norms_of(squared_norm(x, d_)); }

ProductBound::Norms ProductBound::norms_of(double s) const {
  if (!norm_covered(s)) return {};
  return {float(s), norm_above(s), true};
}

ScreenProducts DenseScreen::products() const { return half_ ? ScreenProducts::Bf16 : ScreenProducts::Fp32; }

// Euclidean. Center j's estimate is e = |x|^2 + |c|^2 - 2 x.c and its bound
// b = kappa ((|x| + |c|)^2 + max(e, 0)) + floor: the direct value lies in [e - b, e + b]. A center
// stays when its lower end does not exceed the smallest upper end over all centers (with `two`,
// the second smallest, counting repeats). A first pass bounds every center alike, with the
// largest center norm, and drops the centers whose estimates are too far above the smallest; the
// exact bounds are then formed only for the few that remain. A center the bound does not cover
// has infinite norms, which makes the shared bound infinite, so every center reaches the second
// pass, where that center's own bound is infinite: it stays and excludes nothing.
void DenseScreen::collect_distances(float* p, const RowBound& row, bool two, Scratch& scratch) const {
  const size_t k = centers_.rows;
  const float xn = row.xn, xr = row.xr;
  const float floor = row.half ? half_floor_ : floor_;
  const float* cn = squared_norms_.data();
  size_t j = 0;
  // Two running minima: one waited on the previous step's.
  VF low = splat(kInf), low2 = splat(kInf);
  auto estimate = [&](size_t at, VF& least) {
    const VF e = (xn + loadw(cn + at)) - (loadw(p + at) + loadw(p + at));
    storew(p + at, e);
    least = e < least ? e : least;  // a NaN never lowers it
  };
  for (; j + 2 * kWide <= k; j += 2 * kWide) {
    estimate(j, low);
    estimate(j + kWide, low2);
  }
  for (; j + kWide <= k; j += kWide) estimate(j, low);
  low = low2 < low ? low2 : low;
  float e_near = smallest_lane(low);
  for (; j < k; ++j) {
    p[j] = (xn + cn[j]) - (p[j] + p[j]);
    e_near = p[j] < e_near ? p[j] : e_near;
  }
  if (two) e_near = nearest_two(p, k).second;
  const float sbar = (xr + max_norm_) * (xr + max_norm_);
  // The shared bound's constant part: the floor and, with bf16 products, the largest rounding term.
  const float fixed = floor + rounding_term_max(row);
  const float upper = e_near + (kappa_ * (sbar + positive_part(e_near)) + fixed);
  // e - b <= upper needs e - kappa (sbar + max(e, 0)) - fixed <= upper.
  const float reach = upper + (kappa_ * sbar + fixed);
  const float limit = std::max(reach, reach / (1.0f - kappa_)) + std::fabs(reach) * 0x1p-19f + floor;
  // kept holds k entries (sized by nearest()); n counts the centers that pass.
  size_t* kept = scratch.kept.data();
  size_t n = 0;
  // Two registers per test: almost always only the nearest center passes.
  for (j = 0; j + 2 * kWide <= k; j += 2 * kWide) {
    uint64_t m = not_above_mask(loadw(p + j), limit) | uint64_t(not_above_mask(loadw(p + j + kWide), limit)) << kWide;
    for (; m != 0; m &= m - 1) kept[n++] = j + size_t(__builtin_ctzll(m));
  }
  for (; j + kWide <= k; j += kWide) {
    for (uint32_t m = not_above_mask(loadw(p + j), limit); m != 0; m &= m - 1) kept[n++] = j + size_t(__builtin_ctz(m));
  }
  for (; j < k; ++j) {
    if (!(p[j] > limit)) kept[n++] = j;
  }
  // The usual case: one center passes, and a single center's lower end never exceeds its own
  // upper end (nor the +inf second-smallest one), so it stays.
  if (n == 1) {
    scratch.candidates.push_back(kept[0]);
    return;
  }
  auto bound = [&](size_t c) {
    const float t = xr + norms_[c];
    return kappa_ * (t * t + positive_part(p[c])) + (floor + rounding_term(row, c));
  };
  float* high = scratch.ends.data();
  for (size_t i = 0; i < n; ++i) high[i] = p[kept[i]] + bound(kept[i]);
  const NearestTwo upper_ends = nearest_two(high, n);
  const float best_upper = two ? upper_ends.second : upper_ends.best;
  for (size_t i = 0; i < n; ++i) {
    if (!(p[kept[i]] - bound(kept[i]) > best_upper)) scratch.candidates.push_back(kept[i]);
  }
}

// Cosine, the same two passes: the direct dot lies in [x.c - b, x.c + b] with
// b = kappa |x| |c| + floor; a center stays when its upper end reaches the largest lower end.
void DenseScreen::collect_dots(const float* p, const RowBound& row, Scratch& scratch) const {
  const size_t k = centers_.rows;
  const float xr = row.xr;
  const float floor = row.half ? half_floor_ : floor_;
  size_t j = 0;
  VF high = splat(-kInf), high2 = splat(-kInf);
  for (; j + 2 * kWide <= k; j += 2 * kWide) {
    const VF v = loadw(p + j), w = loadw(p + j + kWide);
    high = v > high ? v : high;
    high2 = w > high2 ? w : high2;
  }
  for (; j + kWide <= k; j += kWide) {
    const VF v = loadw(p + j);
    high = v > high ? v : high;
  }
  high = high2 > high ? high2 : high;
  float largest = largest_lane(high);
  for (; j < k; ++j) largest = p[j] > largest ? p[j] : largest;
  const float bmax = kappa_ * (xr * max_norm_) + (floor + rounding_term_max(row));
  // x.c + b >= largest - bmax needs x.c >= largest - 2 bmax. A NaN limit keeps every center.
  const float reach = (largest - bmax) - bmax;
  const float limit = reach - std::fabs(reach) * 0x1p-19f - floor;
  size_t* kept = scratch.kept.data();
  size_t n = 0;
  for (j = 0; j + 2 * kWide <= k; j += 2 * kWide) {
    uint64_t m = not_below_mask(loadw(p + j), limit) | uint64_t(not_below_mask(loadw(p + j + kWide), limit)) << kWide;
    for (; m != 0; m &= m - 1) kept[n++] = j + size_t(__builtin_ctzll(m));
  }
  for (; j + kWide <= k; j += kWide) {
    for (uint32_t m = not_below_mask(loadw(p + j), limit); m != 0; m &= m - 1) kept[n++] = j + size_t(__builtin_ctz(m));
  }
  for (; j < k; ++j) {
    if (!(p[j] < limit)) kept[n++] = j;
  }
  // A single center passing stays: its upper end is never below its own lower end.
  if (n == 1) {
    scratch.candidates.push_back(kept[0]);
    return;
  }
  auto bound = [&](size_t c) { return kappa_ * (xr * norms_[c]) + (floor + rounding_term(row, c)); };
  float best_lower = -kInf;
  for (size_t i = 0; i < n; ++i) {
    const float lower = p[kept[i]] - bound(kept[i]);
    if (lower > best_lower) best_lower = lower;
  }
  for (size_t i = 0; i < n; ++i) {
    if (!(p[kept[i]] + bound(kept[i]) < best_lower)) scratch.candidates.push_back(kept[i]);
  }
}

void ScreenRows::prepare(MatrixView<const float> data, ScreenProducts products) {
  const size_t d = data.cols, padded_d = bf16_padded(d);
  // The bf16 copy, with zero rows after the last one for the padding of the last block.
  size_t bytes = 0;
  const bool keep = products == ScreenProducts::Bf16 &&
                    !__builtin_mul_overflow(data.rows + kBf16Block, padded_d * sizeof(uint16_t), &bytes) &&
                    bytes <= max_kept_bytes_;
  if (data_ != nullptr) {
    if (data.data != data_ || data.rows != rows_ || d != cols_ || data.row_stride != row_stride_ ||
        data.col_stride != col_stride_) {
      fatal("ScreenRows: other rows than the ones prepared");
    }
    if (half_ || !keep) return;
  }
  data_ = data.data;
  rows_ = data.rows;
  cols_ = d;
  row_stride_ = data.row_stride;
  col_stride_ = data.col_stride;
  padded_d_ = padded_d;
  half_ = keep;
  sums_.resize(rows_);
  if (keep) half_rows_.assign((rows_ + kBf16Block) * padded_d, 0);
  const bool contiguous = data.col_stride == 1 || d == 1;
  parallel_chunks(rows_, 512, [&](size_t begin, size_t end) {
    std::vector<float> gathered(contiguous ? 0 : d);
    for (size_t r = begin; r < end; ++r) {
      const float* x = &data.at(r, 0);
      if (!contiguous) {
        for (size_t c = 0; c < d; ++c) gathered[c] = data.at(r, c);
        x = gathered.data();
      }
      sums_[r] = keep ? round_to_bf16(x, d, padded_d, half_rows_.data() + r * padded_d)
                      : RoundedRow{0.0, squared_norm(x, d)};
    }
  });
}

ScreenRows::Block ScreenRows::block(size_t first_row) const {
  if (first_row >= rows_) fatal("ScreenRows::block: row out of range");
  return {sums_.data() + first_row, half_ ? half_rows_.data() + first_row * padded_d_ : nullptr};
}

void DenseScreen::nearest(const float* rows, size_t count, size_t stride, size_t* labels, float* distances,
                          float* second, const ScreenRows::Block* prepared) {
  const size_t k = centers_.rows, d = centers_.cols;
  if (count == 0) return;
  if (count > block_rows_ || stride < d || (second && cosine_)) fatal("DenseScreen::nearest: bad block");
  Scratch& scratch = scratch_.here();
  scratch.kept.resize(k);
  scratch.candidates.reserve(k);
  scratch.ends.resize(k);
  const bool half = half_ && !demoted_.load(std::memory_order_relaxed);
  // Products of row i start at products + i * width.
  const size_t width = half ? half_->padded_k : k;
  // Each row's sums: from the rounding below, or as prepared (the error is 0 without bf16 rows).
  const RoundedRow* sums = prepared ? prepared->sums : nullptr;
  if (half) {
    const size_t padded_rows = bf16_padded(count), padded_d = half_->padded_d;
    const uint16_t* half_rows = prepared ? prepared->half_rows : nullptr;
    if (half_rows == nullptr) {
      scratch.half_rows.resize(padded_rows * padded_d);
      scratch.row_sums.resize(count);
      for (size_t i = 0; i < count; ++i) {
        scratch.row_sums[i] = round_to_bf16(rows + i * stride, d, padded_d, scratch.half_rows.data() + i * padded_d);
      }
      std::fill(scratch.half_rows.begin() + ptrdiff_t(count * padded_d), scratch.half_rows.end(), uint16_t(0));
      half_rows = scratch.half_rows.data();
      sums = scratch.row_sums.data();
    }
    scratch.products.resize(padded_rows * width);
    bf16_products(half_rows, padded_rows, *half_, scratch.products.data());
  } else {
    scratch.products.resize(block_rows_ * k);
    const BlasThreads threads;
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, int(count), int(k), int(d), 1.0f, rows, int(stride),
                centers_.data(), int(d), 0.0f, scratch.products.data(), int(k));
  }
  float* products = scratch.products.data();
  // What the direct scan over the remaining centers in index order ends with: the first strict
  // minimum from (0, +inf), or the first strict maximum dot from (0, -inf).
  auto settle = [&](size_t i, size_t j, float v) {
    const bool taken = cosine_ ? v > -kInf : v < kInf;
    labels[i] = taken ? j : 0;
    distances[i] = cosine_ ? 1.0f - (taken ? v : -kInf) : (taken ? v : kInf);
  };
  // Rows left with one center are measured four at a time: independent chains hide latency.
  const KernelTable& kernel = kernels();
  size_t queued = 0, queue_row[4], queue_center[4];
  const float* queue_x[4];
  const float* queue_c[4];
  auto flush = [&] {
    float v[4];
    if (queued == 4) {
      (cosine_ ? kernel.dot_pairs4 : kernel.l2_squared_pairs4)(queue_x, queue_c, d, v);
    } else {
      for (size_t q = 0; q < queued; ++q) {
        v[q] = cosine_ ? direct_dot(queue_x[q], queue_c[q], d) : direct_l2(queue_x[q], queue_c[q], d);
      }
    }
    for (size_t q = 0; q < queued; ++q) settle(queue_row[q], queue_center[q], v[q]);
    queued = 0;
  };
  uint64_t confirmed = 0, measured = 0;
  for (size_t i = 0; i < count; ++i) {
    const float* x = rows + i * stride;
    float* p = products + i * width;
    auto& cand = scratch.candidates;
    cand.clear();
    // The rounding pass (or the preparation) summed the row's squares already (in another order:
    // the bound charges any f64 order).
    const double xs = sums ? sums[i].squared_norm : squared_norm(x, d);
    if (!norm_covered(xs)) {
      for (size_t j = 0; j < k; ++j) cand.push_back(j);
    } else {
      const RowBound row{float(xs), norm_above(xs), half ? norm_above(sums[i].squared_error) : 0.0f, half};
      if (cosine_) {
        collect_dots(p, row, scratch);
      } else {
        collect_distances(p, row, second != nullptr, scratch);
      }
    }
    measured += cand.size();
    confirmed += cand.size() > 1;
    if (second == nullptr && cand.size() == 1) {
      queue_row[queued] = i;
      queue_center[queued] = cand[0];
      queue_x[queued] = x;
      queue_c[queued] = centers_.data() + cand[0] * d;
      if (++queued == 4) flush();
      continue;
    }
    // The direct kernels' scan over the centers that remain, in index order.
    auto& values = scratch.values;
    values.clear();
    for (size_t j : cand) {
      const float* c = centers_.data() + j * d;
      values.push_back(cosine_ ? direct_dot(x, c, d) : direct_l2(x, c, d));
    }
    if (cosine_) {
      const auto [at, dot] = best_of_values(values.data(), values.size(), true);
      settle(i, cand[at], dot);
      continue;
    }
    const NearestTwo found = nearest_two(values.data(), values.size());
    settle(i, cand[found.index], found.best);
    if (second) second[i] = found.second;
  }
  flush();
  // More direct measurements than the bf16 products save: the rest of this screen's blocks go
  // to the f32 product, whose tighter bound leaves fewer.
  if (half && double(measured) > measure_budget_ * double(count)) demoted_.store(true, std::memory_order_relaxed);
  if (half) add_count(stats_, &FitStats::screen_bf16_rows, count);
  add_count(stats_, &FitStats::screen_rows, count);
  add_count(stats_, &FitStats::screen_confirmed, confirmed);
  add_count(stats_, &FitStats::screen_measured, measured);
}

void assign_dense_screened_into(MatrixView<const float> data, const Matrix<float>& centers, bool cosine,
                                std::span<size_t> labels, std::span<float> distances, ScreenChoice choice,
                                ScreenRows* prepared) {
  const size_t rows = data.rows, d = centers.cols;
  if (labels.size() < rows || distances.size() < rows || data.cols != d) {
    fatal("assign_dense_screened_into: outputs or columns do not match");
  }
  if (rows == 0) return;
  DenseScreen screen(centers, cosine, choice);
  // Rows with unit column stride go to the product in place; others are gathered per block.
  const bool in_place = (data.col_stride == 1 || d == 1) && (data.row_stride >= ptrdiff_t(d) || rows == 1) &&
                        data.row_stride <= std::numeric_limits<int>::max();
  const size_t stride = rows == 1 ? d : size_t(data.row_stride);
  if (prepared) prepared->prepare(data, screen.products());
  parallel_chunks(rows, screen.block_rows(), [&](size_t begin, size_t end) {
    const size_t count = end - begin;
    std::optional<ScreenRows::Block> block;
    if (prepared) block = prepared->block(begin);
    const ScreenRows::Block* kept = block ? &*block : nullptr;
    if (in_place) {
      screen.nearest(&data.at(begin, 0), count, stride, labels.data() + begin, distances.data() + begin, nullptr,
                     kept);
      return;
    }
    std::vector<float> gathered(count * d);
    for (size_t r = 0; r < count; ++r) {
      for (size_t c = 0; c < d; ++c) gathered[r * d + c] = data.at(begin + r, c);
    }
    screen.nearest(gathered.data(), count, d, labels.data() + begin, distances.data() + begin, nullptr, kept);
  });
}

}  // namespace vantorix
