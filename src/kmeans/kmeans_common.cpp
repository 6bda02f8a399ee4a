#include "kmeans/kmeans_common.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/rng.hpp"

namespace vantorix {

namespace {

constexpr double kF64Epsilon = std::numeric_limits<double>::epsilon();
constexpr float kF32Epsilon = std::numeric_limits<float>::epsilon();
constexpr double kStopTolerance = 1e-4;
// Rows per work item of the normalisation; each row is scaled on its own. Below this many
// values in all, waking the pool costs more than the work.
constexpr size_t kNormalizeChunkRows = 64;
constexpr size_t kNormalizeParallelValues = size_t{1} << 16;

double relative_change(double a, double b) { return std::fabs(a - b) / std::max(std::fabs(a), kF64Epsilon); }

// Fixed six decimals; non-finite values spelled NaN, inf and -inf.
std::string six_decimals(double v, bool spell_non_finite) {
  if (spell_non_finite) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  }
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.6f", v);
  return buf;
}

}  // namespace

InitMethod parse_init_method(std::string_view text) {
  std::string word;
  word.reserve(text.size());
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    word.push_back(c == '_' ? '-' : c);
  }
  if (word == "farthest" || word == "farthest-first" || word == "deterministic") return InitMethod::FarthestFirst;
  if (word == "kmeans++" || word == "k-means++" || word == "pq-kmeans++" || word == "pq-kmeans-plus-plus") {
    return InitMethod::KMeansPlusPlus;
  }
  if (word == "random") return InitMethod::Random;
  if (word == "greedy-kmeans++" || word == "greedy-k-means++") return InitMethod::GreedyKMeansPlusPlus;
  throw VantorixError::message("unsupported init '" + escaped(text) +
                               "'; expected one of farthest_first, kmeans++, random");
}

const char* init_method_name(InitMethod method) {
  switch (method) {
    case InitMethod::FarthestFirst: return "farthest_first";
    case InitMethod::KMeansPlusPlus: return "kmeans++";
    case InitMethod::Random: return "random";
    case InitMethod::GreedyKMeansPlusPlus: return "greedy_kmeans++";
  }
  return "?";
}

namespace {

// The `count` entries p < n with usable(p) that have the largest distance (IEEE total order),
// farthest first; equal distances go to the lower row number (the position itself when `rows` is
// empty). A strict total order, so the same candidates give the same picks however they were
// gathered. One pass with a heap of `count` entries: memory does not grow with n.
template <class Usable>
std::vector<size_t> farthest_first(size_t n, Usable&& usable, std::span<const float> distances,
                                   std::span<const uint64_t> rows, size_t count) {
  auto row_of = [&](size_t p) { return rows.empty() ? uint64_t(p) : rows[p]; };
  auto farther = [&](size_t a, size_t b) {
    const int32_t ka = total_order_key(distances[a]), kb = total_order_key(distances[b]);
    return ka != kb ? ka > kb : row_of(a) < row_of(b);
  };
  std::vector<size_t> kept;  // a heap whose front is the nearest entry kept
  kept.reserve(std::min(count, n));
  for (size_t p = 0; p < n && count > 0; ++p) {
    if (!usable(p)) continue;
    if (kept.size() < count) {
      kept.push_back(p);
      std::push_heap(kept.begin(), kept.end(), farther);
    } else if (farther(p, kept.front())) {
      std::pop_heap(kept.begin(), kept.end(), farther);
      kept.back() = p;
      std::push_heap(kept.begin(), kept.end(), farther);
    }
  }
  std::sort(kept.begin(), kept.end(), farther);
  return kept;
}

}  // namespace

std::vector<size_t> select_farthest_rows(std::span<const float> distances, size_t count) {
  return farthest_first(distances.size(), [](size_t) { return true; }, distances, {}, count);
}

std::vector<size_t> select_farthest_finite_rows(std::span<const float> distances, size_t count) {
  return farthest_first(
      distances.size(), [&](size_t r) { return std::isfinite(distances[r]); }, distances, {}, count);
}

std::vector<size_t> select_farthest_rows_with_spare(std::span<const float> distances, std::span<const size_t> labels,
                                                    std::span<const uint64_t> counts, size_t count,
                                                    std::span<const uint64_t> rows) {
  auto usable = [&](size_t r) { return std::isfinite(distances[r]) && counts[labels[r]] >= 2; };
  return farthest_first(distances.size(), usable, distances, rows, count);
}

double mean_distance(std::span<const float> distances) {
  // -0.0 is the empty sum; distances are never -0.0, so the start changes no sum.
  double sum = -0.0;
  for (float v : distances) sum += double(v);
  return sum / double(distances.size());
}

void normalize_rows(MatrixView<float> rows, NormRule rule) {
  if (!rows.is_c_contiguous()) fatal("normalize_rows: rows are not contiguous");
  const size_t d = rows.cols;
  const size_t chunk = rows.size() < kNormalizeParallelValues ? rows.rows : kNormalizeChunkRows;
  parallel_chunks(rows.rows, chunk, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      float* row = rows.data + r * d;
      float s = 0.0f;
      for (size_t i = 0; i < d; ++i) s = s + row[i] * row[i];
      if (rule == NormRule::DivideAboveNormEpsilon) {
        const float norm = std::sqrt(s);
        if (!(norm > kF32Epsilon)) continue;
        for (size_t i = 0; i < d; ++i) row[i] = row[i] / norm;
      } else {
        if (s <= kF32Epsilon) continue;
        const float inv = 1.0f / std::sqrt(s);
        for (size_t i = 0; i < d; ++i) row[i] = row[i] * inv;
      }
    }
  });
}

namespace {

bool positive_weight(float w) { return std::isfinite(w) && w > 0.0f; }

// Weights summed in kWalkBlock-sized blocks by the exact walk below.
constexpr size_t kWalkBlock = 256;

// Sum of the positive finite weights of count values, in eight partial sums, and the smallest
// such weight (+inf if none).
std::pair<double, float> block_sum(const float* w, size_t count) {
  typedef float F8 __attribute__((vector_size(32)));
  typedef int32_t I8 __attribute__((vector_size(32)));
  typedef double D8 __attribute__((vector_size(64)));
  constexpr float kInf = std::numeric_limits<float>::infinity();
  D8 acc = {};
  F8 smallest = {kInf, kInf, kInf, kInf, kInf, kInf, kInf, kInf};
  const F8 zero = {}, inf = smallest;
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    F8 v;
    std::memcpy(&v, w + i, sizeof(v));
    const I8 use = (v > zero) & (v < inf);  // NaN fails both
    acc += __builtin_convertvector(use ? v : zero, D8);
    smallest = use && v < smallest ? v : smallest;
  }
  double sum = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
  float low = kInf;
  for (size_t l = 0; l < 8; ++l) low = std::min(low, smallest[l]);
  for (; i < count; ++i) {
    if (!positive_weight(w[i])) continue;
    sum += double(w[i]);
    low = std::min(low, w[i]);
  }
  return {sum, low};
}

// The walk as specified: one f64 running sum and one running remainder, in order.
std::optional<size_t> sequential_walk(std::span<const float> weights, SeededRng& rng, WalkOverrun overrun) {
  double total = 0.0;
  for (float w : weights) {
    if (positive_weight(w)) total += double(w);
  }
  if (!(total > kF64Epsilon)) return std::nullopt;
  double r = rng.uniform_f64(0.0, total);
  std::optional<size_t> last_positive;
  for (size_t i = 0; i < weights.size(); ++i) {
    if (!positive_weight(weights[i])) continue;
    last_positive = i;
    r -= double(weights[i]);
    if (r <= 0.0) return i;
  }
  return overrun == WalkOverrun::LastPositive ? last_positive : std::nullopt;
}

}  // namespace

// The walk's sums are sequential, but whenever no partial sum rounds they are exact and any
// order gives them bit for bit. Every positive weight is a multiple of the smallest one's unit
// in the last place u, so all partial sums are multiples of u; while they stay below 2^53 u none
// rounds, and the total decides that (once a sum rounds it is at least 2^53 u, and sums of
// non-negative terms never fall below that again). The uniform draw r is below the total, hence
// a multiple of its own last place, which divides u: r minus each prefix is exact up to the
// prefix that reaches r, whose sign is kept by rounding. So with an exact total the walk is the
// first row whose prefix reaches r, found block by block, and within that block the same
// subtraction as the sequential walk.
std::optional<size_t> weighted_seeding_walk(std::span<const float> weights, SeededRng& rng, WalkOverrun overrun) {
  const size_t n = weights.size();
  const float* w = weights.data();
  double total = 0.0;
  float smallest = std::numeric_limits<float>::infinity();
  std::vector<double> sums((n + kWalkBlock - 1) / kWalkBlock);
  for (size_t b = 0; b < sums.size(); ++b) {
    const auto [sum, low] = block_sum(w + b * kWalkBlock, std::min(kWalkBlock, n - b * kWalkBlock));
    sums[b] = sum;
    total += sum;
    smallest = std::min(smallest, low);
  }
  // Only an exact total may decide that there is nothing to draw from: a rounded one could land
  // on the other side of the threshold than the sequential sum.
  const int ulp_exponent = std::max(int(std::bit_cast<uint32_t>(smallest) >> 23), 1) - 150;
  if (!(total < std::ldexp(1.0, ulp_exponent + 53))) return sequential_walk(weights, rng, overrun);
  if (!(total > kF64Epsilon)) return std::nullopt;
  const double r0 = rng.uniform_f64(0.0, total);
  double before = 0.0;
  for (size_t b = 0; b < sums.size(); ++b) {
    const size_t begin = b * kWalkBlock, end = std::min(begin + kWalkBlock, n);
    const double sum = sums[b];
    if (before + sum >= r0) {
      double r = r0 - before;
      for (size_t i = begin; i < end; ++i) {
        if (!positive_weight(w[i])) continue;
        r -= double(w[i]);
        if (r <= 0.0) return i;
      }
    }
    before += sum;
  }
  if (overrun == WalkOverrun::Nothing) return std::nullopt;
  for (size_t i = n; i-- > 0;)
    if (positive_weight(w[i])) return i;
  return std::nullopt;
}

bool converged(std::span<const double> h) {
  const size_t n = h.size();
  if (n < 4) return false;
  return h[n - 2] > kF64Epsilon && relative_change(h[n - 2], h[n - 1]) <= kStopTolerance &&
         relative_change(h[n - 3], h[n - 2]) <= kStopTolerance;
}

bool should_stop_early(std::span<const double> history) {
  if (history.size() < 5) return false;
  const size_t n = history.size();
  auto small_fall = [&](double before, double after) {
    if (!std::isfinite(before) || !std::isfinite(after)) return false;
    const double fall = before - after;
    return fall >= 0.0 && fall / std::max(std::fabs(before), kF64Epsilon) <= kStopTolerance;
  };
  return small_fall(history[n - 3], history[n - 2]) && small_fall(history[n - 2], history[n - 1]);
}

void report_pass(const PassReport& report, size_t pass, double mean) {
  const std::string line = "iteration=" + std::to_string(pass) + " " + report.label + "=" +
                           six_decimals(mean, report.spell_non_finite) + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace vantorix
