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

// Measures every candidate against each of the given center rows: outs[t][j] becomes the
// candidate's squared distance from center t where that is strictly below weights[j], else
// weights[j] (outs[t] may be weights itself). Candidates are visited in row order (`by_row`, a
// permutation of candidate positions), so the sampled rows stream through memory instead of
// being fetched at random, and each group of rows is measured against all the centers while it
// is in cache: the sample is read once per call, however many centers. Every weight is updated
// on its own, so the order changes nothing else.
void update_weights(MatrixView<const float> data, const std::vector<size_t>& cand, const std::vector<size_t>& by_row,
                    std::span<const size_t> center_rows, const std::vector<float>& weights,
                    std::span<std::vector<float>* const> outs) {
  const size_t d = data.cols, count = center_rows.size();
  if (count == 0) return;
  const bool contiguous = data.is_c_contiguous();
  const KernelTable& kernel = kernels();
  std::vector<float> centers(count * d);
  for (size_t c = 0; c < count; ++c)
    for (size_t t = 0; t < d; ++t) centers[c * d + t] = data.at(center_rows[c], t);
  parallel_chunks(by_row.size(), kDistanceChunk, [&](size_t begin, size_t end) {
    auto lower = [&](size_t c, size_t j, float dist) {
      const float w = weights[j];
      (*outs[c])[j] = dist < w ? dist : w;
    };
    size_t i = begin;
    if (contiguous) {
      const float* rows[4];
      float dist[4];
      for (; i + 4 <= end; i += 4) {
        for (int q = 0; q < 4; ++q) rows[q] = data.row(cand[by_row[i + q]]).data();
        for (size_t c = 0; c < count; ++c) {
          kernel.l2_squared_rows4(rows, centers.data() + c * d, d, dist);
          for (int q = 0; q < 4; ++q) lower(c, by_row[i + q], dist[q]);
        }
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
      for (size_t c = 0; c < count; ++c) lower(c, j, kernel.l2_squared(row, {centers.data() + c * d, d}));
    }
  });
}

[[noreturn]] void no_center() { throw VantorixError::message("failed to choose an initial cluster center"); }

enum class Seeding { Farthest, Sampled, Greedy };

// Sum over the unchosen candidates of weight x squared distance (f64, candidate order).
double potential(const std::vector<float>& dist, std::span<const float> cand_weights) {
  double total = 0.0;
  for (size_t j = 0; j < dist.size(); ++j) {
    if (!usable(dist[j])) continue;
    total += double(dist[j]) * (cand_weights.empty() ? 1.0 : double(cand_weights[j]));
  }
  return total;
}

// cand: the candidate rows; cand_weights: their row weights (empty: unweighted).
std::vector<size_t> distance_driven(MatrixView<const float> data, size_t k, uint64_t seed, Seeding seeding,
                                    const std::vector<size_t>& cand, std::span<const float> cand_weights) {
  SeededRng draws(seed);
  std::vector<size_t> by_row(cand.size());
  std::iota(by_row.begin(), by_row.end(), size_t{0});
  std::sort(by_row.begin(), by_row.end(), [&](size_t a, size_t b) { return cand[a] < cand[b]; });
  std::vector<float> weights(cand.size(), std::numeric_limits<float>::infinity());
  // What the draws walk: the squared distances, times the row weights when there are any.
  std::vector<float> scaled;
  auto draw_weights = [&]() -> const std::vector<float>& {
    if (cand_weights.empty()) return weights;
    scaled.resize(weights.size());
    for (size_t j = 0; j < weights.size(); ++j) {
      scaled[j] = usable(weights[j]) ? weights[j] * cand_weights[j] : kChosen;
    }
    return scaled;
  };
  std::vector<size_t> chosen;
  chosen.reserve(k);
  auto take = [&](size_t j) {
    chosen.push_back(cand[j]);
    std::vector<float>* out = &weights;
    update_weights(data, cand, by_row, std::span<const size_t>(&cand[j], 1), weights, {&out, 1});
    weights[j] = kChosen;
  };
  size_t first = 0;
  // Weighted k-means++ draws its first center by weight; unweighted, cand[0] is already a
  // uniform draw.
  if (seeding != Seeding::Farthest && !cand_weights.empty()) {
    std::vector<float> w(cand_weights.begin(), cand_weights.end());
    first = weighted_seeding_walk(w, draws, WalkOverrun::LastPositive).value_or(0);
  }
  take(first);
  const size_t trials = greedy_trials(k);
  std::vector<std::vector<float>> trial(seeding == Seeding::Greedy ? trials : 0);
  std::vector<std::vector<float>*> trial_out;
  std::vector<size_t> drawn, drawn_rows;
  while (chosen.size() < k) {
    std::optional<size_t> pick;
    if (seeding == Seeding::Sampled) pick = weighted_seeding_walk(draw_weights(), draws, WalkOverrun::Nothing);
    if (seeding == Seeding::Greedy) {
      // Several draws, all from the same weights, measured together; keep the one whose center
      // leaves the smallest potential (the first on ties).
      drawn.clear();
      drawn_rows.clear();
      trial_out.clear();
      for (size_t t = 0; t < trials; ++t) {
        const std::optional<size_t> j = weighted_seeding_walk(draw_weights(), draws, WalkOverrun::Nothing);
        if (!j) break;
        drawn.push_back(*j);
        drawn_rows.push_back(cand[*j]);
        trial[t].resize(weights.size());
        trial_out.push_back(&trial[t]);
      }
      update_weights(data, cand, by_row, drawn_rows, weights, trial_out);
      double best_potential = std::numeric_limits<double>::infinity();
      size_t best = 0;
      for (size_t t = 0; t < drawn.size(); ++t) {
        trial[t][drawn[t]] = kChosen;
        const double p = potential(trial[t], cand_weights);
        if (!pick || p < best_potential) {
          pick = drawn[t];
          best_potential = p;
          best = t;
        }
      }
      if (pick) {
        chosen.push_back(cand[*pick]);
        weights.swap(trial[best]);
        continue;
      }
    }
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

size_t greedy_trials(size_t k) { return 2 + size_t(std::log(double(std::max<size_t>(k, 1)))); }

std::vector<size_t> choose_initial_rows(MatrixView<const float> data, size_t k, uint64_t seed, InitMethod method,
                                        std::span<const float> row_weights) {
  if (k == 0 || k > data.rows) fatal("choose_initial_rows: k outside [1, rows]");
  if (!row_weights.empty() && row_weights.size() != data.rows) fatal("choose_initial_rows: one weight per row");
  // Weighted: the methods run over the rows of positive weight only, mapped back at the end.
  std::vector<size_t> positive;
  if (!row_weights.empty()) {
    for (size_t r = 0; r < data.rows; ++r)
      if (row_weights[r] > 0.0f) positive.push_back(r);
    if (positive.size() < k) fatal("choose_initial_rows: fewer rows of positive weight than k");
  }
  const size_t pool = row_weights.empty() ? data.rows : positive.size();
  auto to_rows = [&](std::vector<size_t> idx) {
    if (!row_weights.empty())
      for (size_t& i : idx) i = positive[i];
    return idx;
  };
  if (method == InitMethod::Random) {
    SeededRng rng(seed);
    return to_rows(sample_indices(rng, pool, k));
  }
  const std::vector<size_t> cand = to_rows(initialization_candidate_rows(pool, k, seed));
  std::vector<float> cand_weights;
  if (!row_weights.empty()) {
    cand_weights.reserve(cand.size());
    for (size_t r : cand) cand_weights.push_back(row_weights[r]);
  }
  switch (method) {
    case InitMethod::KMeansPlusPlus: return distance_driven(data, k, seed, Seeding::Sampled, cand, cand_weights);
    case InitMethod::GreedyKMeansPlusPlus: return distance_driven(data, k, seed, Seeding::Greedy, cand, cand_weights);
    case InitMethod::FarthestFirst: return distance_driven(data, k, seed, Seeding::Farthest, cand, cand_weights);
    case InitMethod::Random: break;
  }
  fatal("choose_initial_rows: unknown method");
}

}  // namespace vantorix
