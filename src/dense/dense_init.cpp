#include "dense/dense_init.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>

#include "core/env.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/rng.hpp"
#include "kernels/simd.hpp"
#include "kmeans/kmeans_common.hpp"

namespace vantorix {

namespace {

constexpr size_t kDistanceChunk = 512;
constexpr float kChosen = -1.0f;


bool usable(float w) { return std::isfinite(w) && w >= 0.0f; }

// The candidate with the largest usable weight, ties to the highest position; nullopt if none.
std::optional<size_t> largest_usable(const std::vector<float>& weights) {
  std::optional<size_t> best;
  int32_t best_key = 0;
  for (size_t j = 0; j < weights.size(); ++j) {
    if (!usable(weights[j])) continue;
    const int32_t key = total_order_key(weights[j]);
    if (!best || key >= best_key) {
      best = j;
      best_key = key;
    }
  }
  return best;
}

// Lowers each candidate's weight to its squared distance from the new center row. Candidates
// are visited in row order (`by_row`, a permutation of candidate positions), so the sampled rows
// stream through memory instead of being fetched at random; every weight is updated on its own,
// so the order changes nothing else.
void update_weights(MatrixView<const float> data, const std::vector<size_t>& cand, const std::vector<size_t>& by_row,
                    size_t center_row, std::vector<float>& weights) {
  const size_t d = data.cols;
  const bool contiguous = data.is_c_contiguous();
  const KernelTable& kernel = kernels();
  std::vector<float> center(d);
  for (size_t t = 0; t < d; ++t) center[t] = data.at(center_row, t);
  parallel_chunks(by_row.size(), kDistanceChunk, [&](size_t begin, size_t end) {
    auto lower = [&](size_t j, float dist) {
      if (dist < weights[j]) weights[j] = dist;
    };
    size_t i = begin;
    if (contiguous) {
      const float* rows[4];
      float dist[4];
      for (; i + 4 <= end; i += 4) {
        for (int q = 0; q < 4; ++q) rows[q] = data.row(cand[by_row[i + q]]).data();
        kernel.l2_squared_rows4(rows, center.data(), d, dist);
        for (int q = 0; q < 4; ++q) lower(by_row[i + q], dist[q]);
      }
    }
    // Strided rows are gathered so they meet exactly the same kernel as contiguous ones.
    std::vector<float> gathered(contiguous ? 0 : d);
    for (; i < end; ++i) {
      const size_t j = by_row[i];
      std::span<const float> row;
      if (contiguous) {
        row = data.row(cand[j]);
      } else {
        for (size_t t = 0; t < d; ++t) gathered[t] = data.at(cand[j], t);
        row = gathered;
      }
      lower(j, kernel.l2_squared(row, center));
    }
  });
}

[[noreturn]] void no_center() { throw VantorixError::message("failed to choose an initial cluster center"); }

std::vector<size_t> distance_driven(MatrixView<const float> data, size_t k, uint64_t seed, bool sampled) {
  SeededRng draws(seed);
  const std::vector<size_t> cand = initialization_candidate_rows(data.rows, k, seed);
  std::vector<size_t> by_row(cand.size());
  std::iota(by_row.begin(), by_row.end(), size_t{0});
  std::sort(by_row.begin(), by_row.end(), [&](size_t a, size_t b) { return cand[a] < cand[b]; });
  std::vector<float> weights(cand.size(), std::numeric_limits<float>::infinity());
  std::vector<size_t> chosen;
  chosen.reserve(k);
  auto take = [&](size_t j) {
    chosen.push_back(cand[j]);
    update_weights(data, cand, by_row, cand[j], weights);
    weights[j] = kChosen;
  };
  take(0);
  while (chosen.size() < k) {
    std::optional<size_t> pick;
    if (sampled) pick = weighted_seeding_walk(weights, draws, WalkOverrun::Nothing);
    // Farthest-first always lands here; k-means++ when the weights sum to zero or the walk ran
    // past the end through rounding.
    if (!pick) pick = largest_usable(weights);
    if (!pick) no_center();
    take(*pick);
  }
  return chosen;
}

}  // namespace

std::vector<size_t> initialization_candidate_rows(size_t rows, size_t k, uint64_t seed) {
  size_t count;
  if (auto fixed = env_number(EnvSwitch::DenseInitSampleRows)) {
    count = std::max(*fixed, k);
  } else {
    const size_t lo = env_number(EnvSwitch::DenseInitMinSampleRows).value_or(16384);
    const size_t hi = env_number(EnvSwitch::DenseInitMaxSampleRows).value_or(65536);
    const size_t per_center = env_number(EnvSwitch::DenseInitRowsPerCenter).value_or(256);
    const size_t want = saturating_mul(k, per_center);
    count = std::max(std::min(std::max(lo, hi), std::max(lo, want)), k);
  }
  count = std::min(count, rows);
  SeededRng rng(seed);
  return sample_indices(rng, rows, count);
}

std::vector<size_t> choose_initial_rows(MatrixView<const float> data, size_t k, uint64_t seed, InitMethod method) {
  if (k == 0 || k > data.rows) fatal("choose_initial_rows: k outside [1, rows]");
  switch (method) {
    case InitMethod::Random: {
      SeededRng rng(seed);
      return sample_indices(rng, data.rows, k);
    }
    case InitMethod::KMeansPlusPlus: return distance_driven(data, k, seed, true);
    case InitMethod::FarthestFirst: return distance_driven(data, k, seed, false);
  }
  fatal("choose_initial_rows: unknown method");
}

}  // namespace vantorix
