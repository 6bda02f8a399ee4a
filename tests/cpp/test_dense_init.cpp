#include <gtest/gtest.h>

#include "scoped_env.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "core/error.hpp"
#include "core/rng.hpp"
#include "dense/dense_init.hpp"
#include "kernels/simd.hpp"
#include "kmeans/kmeans_common.hpp"

using namespace vantorix;

namespace {

Matrix<float> column(std::vector<float> values) {
  Matrix<float> m(values.size(), 1);
  m.values = std::move(values);
  return m;
}

std::vector<size_t> sorted(std::vector<size_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

const InitMethod kAllMethods[] = {InitMethod::Random, InitMethod::KMeansPlusPlus, InitMethod::FarthestFirst,
                                  InitMethod::GreedyKMeansPlusPlus};

}  // namespace

TEST(DenseInit, CandidateCountFollowsEnvironment) {
  struct Case {
    EnvVars env;
    size_t rows, k, want;
  };
  const Case cases[] = {
      {{}, 100000, 10, 16384},
      {{}, 1000, 10, 1000},
      {{}, 1000000, 1000, 65536},
      {{{"VANTORIX_DENSE_INIT_ROWS_PER_CENTER", "100"}}, 100000, 300, 30000},
      {{{"VANTORIX_DENSE_INIT_SAMPLE_ROWS", "10"}}, 100000, 50, 50},
      {{{"VANTORIX_DENSE_INIT_SAMPLE_ROWS", "+700"}}, 100000, 50, 700},
      {{{"VANTORIX_DENSE_INIT_SAMPLE_ROWS", "0"}}, 100000, 10, 16384},
      {{{"VANTORIX_DENSE_INIT_SAMPLE_ROWS", "-5"}}, 100000, 10, 16384},
      {{{"VANTORIX_DENSE_INIT_SAMPLE_ROWS", "many"}}, 100000, 10, 16384},
      // A fixed count ignores the clamps.
      {{{"VANTORIX_DENSE_INIT_SAMPLE_ROWS", "500"}, {"VANTORIX_DENSE_INIT_MIN_SAMPLE_ROWS", "2000"}}, 100000, 10, 500},
      {{{"VANTORIX_DENSE_INIT_MIN_SAMPLE_ROWS", "2000"}, {"VANTORIX_DENSE_INIT_MAX_SAMPLE_ROWS", "3000"}}, 100000, 1, 2000},
      {{{"VANTORIX_DENSE_INIT_MIN_SAMPLE_ROWS", "2000"}, {"VANTORIX_DENSE_INIT_MAX_SAMPLE_ROWS", "3000"}}, 100000, 100, 3000},
      // max below min: the min wins.
      {{{"VANTORIX_DENSE_INIT_MIN_SAMPLE_ROWS", "5000"}, {"VANTORIX_DENSE_INIT_MAX_SAMPLE_ROWS", "3000"}}, 100000, 100, 5000},
      // The saturating k * rows_per_center still ends at the upper clamp.
      {{{"VANTORIX_DENSE_INIT_ROWS_PER_CENTER", "18446744073709551615"}}, 100000, 3, 65536},
  };
  for (const auto& c : cases) {
    ScopedEnv env(c.env);
    const auto cand = initialization_candidate_rows(c.rows, c.k, 7);
    EXPECT_EQ(cand.size(), c.want) << "rows " << c.rows << " k " << c.k;
    SeededRng rng(7);
    EXPECT_EQ(cand, sample_indices(rng, c.rows, c.want));
  }
}

TEST(DenseInit, KEqualToRowsReturnsEveryRowOnce) {
  const auto data = column({3, 1, 4, 1.5f, 5, 9, 2, 6});
  std::vector<size_t> all(8);
  for (size_t i = 0; i < 8; ++i) all[i] = i;
  for (auto method : kAllMethods) {
    EXPECT_EQ(sorted(choose_initial_rows(data.view(), 8, 11, method)), all) << int(method);
  }
}

TEST(DenseInit, DuplicateRowsFallBackToHighestRemainingCandidate) {
  // Two distinct values: once both are chosen every other weight is 0, and the largest usable
  // weight (0) goes to the highest candidate position not yet taken.
  const auto data = column({1, 2, 1, 2, 1, 2, 1, 2});
  for (auto method : {InitMethod::KMeansPlusPlus, InitMethod::FarthestFirst, InitMethod::GreedyKMeansPlusPlus}) {
    const auto chosen = choose_initial_rows(data.view(), 5, 3, method);
    const auto cand = initialization_candidate_rows(8, 5, 3);
    ASSERT_EQ(chosen.size(), 5u);
    EXPECT_EQ(chosen[0], cand[0]);
    EXPECT_NE(data.at(chosen[0], 0), data.at(chosen[1], 0));
    std::vector<size_t> expect_rest;
    for (size_t pos = cand.size(); pos-- > 0 && expect_rest.size() < 3;) {
      if (cand[pos] != chosen[0] && cand[pos] != chosen[1]) expect_rest.push_back(cand[pos]);
    }
    EXPECT_EQ(std::vector<size_t>(chosen.begin() + 2, chosen.end()), expect_rest) << int(method);
  }
}

TEST(DenseInit, FarthestFirstTakesTheFarthestCandidate) {
  const auto data = column({0, 1, 2, 3, 10, 11});
  const auto cand = initialization_candidate_rows(6, 2, 5);
  const auto chosen = choose_initial_rows(data.view(), 2, 5, InitMethod::FarthestFirst);
  const float first = data.at(cand[0], 0);
  size_t want = 0;
  float best = -1;
  for (size_t r = 0; r < 6; ++r) {
    const float dist = std::fabs(data.at(r, 0) - first);
    if (dist > best) best = dist, want = r;
  }
  EXPECT_EQ(chosen, (std::vector<size_t>{cand[0], want}));
}

TEST(DenseInit, RandomIsTheSeededSample) {
  const auto data = column({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  SeededRng rng(42);
  EXPECT_EQ(choose_initial_rows(data.view(), 4, 42, InitMethod::Random), sample_indices(rng, 10, 4));
}

TEST(DenseInit, SameSeedSameCentersDifferentSeedUsuallyNot) {
  std::vector<float> values(400);
  for (size_t i = 0; i < values.size(); ++i) values[i] = float((i * 7919) % 401);
  const auto data = column(values);
  for (auto method : kAllMethods) {
    EXPECT_EQ(choose_initial_rows(data.view(), 16, 9, method), choose_initial_rows(data.view(), 16, 9, method));
    EXPECT_NE(choose_initial_rows(data.view(), 16, 9, method), choose_initial_rows(data.view(), 16, 10, method));
  }
}

TEST(DenseInit, NonFiniteRowsAreNeverUsable) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const auto all_nan = column({nan, nan, nan, nan});
  for (auto method : {InitMethod::KMeansPlusPlus, InitMethod::FarthestFirst, InitMethod::GreedyKMeansPlusPlus}) {
    try {
      choose_initial_rows(all_nan.view(), 2, 0, method);
      FAIL() << "expected an error";
    } catch (const VantorixError& e) {
      EXPECT_STREQ(e.what(), "failed to choose an initial cluster center");
    }
  }
  // A NaN row keeps an infinite weight, so it is only ever chosen as the first candidate.
  const auto some_nan = column({0, nan, 1, 2, nan, 3, 4, 5});
  for (uint64_t seed = 0; seed < 20; ++seed) {
    const auto cand = initialization_candidate_rows(8, 4, seed);
    if (std::isnan(some_nan.at(cand[0], 0))) continue;
    for (auto method : {InitMethod::KMeansPlusPlus, InitMethod::FarthestFirst}) {
      for (size_t r : choose_initial_rows(some_nan.view(), 4, seed, method)) EXPECT_FALSE(std::isnan(some_nan.at(r, 0)));
    }
  }
}

TEST(DenseInit, StridedDataChoosesLikeContiguous) {
  // Contiguous rows go through the four-at-a-time kernel, strided rows through l2_squared one by
  // one: both must give the same weights bit for bit, hence the same choices. d = 7 has 4-lane
  // blocks and a tail.
  const size_t rows = 600, d = 7;
  Matrix<float> wide(rows, 2 * d);
  uint32_t s = 99;
  for (auto& v : wide.values) {
    s = s * 1664525u + 1013904223u;
    v = float(s >> 8) / float(1u << 20);
  }
  const MatrixView<const float> strided(wide.data(), rows, d, ptrdiff_t(2 * d), 2);
  const auto dense = Matrix<float>::copy_of(strided);
  for (auto method : kAllMethods) {
    EXPECT_EQ(choose_initial_rows(strided, 40, 1, method), choose_initial_rows(dense.view(), 40, 1, method));
  }
}

TEST(DenseInit, WeightedMethodsChooseOnlyRowsOfPositiveWeight) {
  // rows of weight zero sit far away: any method that looked at them would pick them
  std::vector<float> values(64), weights(64, 1.0f);
  for (size_t i = 0; i < 64; ++i) values[i] = float(i % 8);
  for (size_t i = 0; i < 64; i += 5) values[i] = 1e6f, weights[i] = 0.0f;
  const auto data = column(values);
  for (auto method : kAllMethods) {
    for (uint64_t seed = 0; seed < 5; ++seed) {
      for (size_t r : choose_initial_rows(data.view(), 8, seed, method, weights)) {
        EXPECT_GT(weights[r], 0.0f) << int(method) << " seed " << seed;
      }
    }
  }
}

TEST(DenseInit, GreedyTrialsGrowWithTheLogOfK) {
  EXPECT_EQ(greedy_trials(1), 2u);
  EXPECT_EQ(greedy_trials(8), 4u);
  EXPECT_EQ(greedy_trials(50), 5u);
  EXPECT_EQ(greedy_trials(1000), 8u);
}

namespace {

// The greedy k-means++ as defined, one trial measured at a time with the one-row kernel: each
// step draws greedy_trials(k) candidates from the same weights, measures every candidate against
// each, and keeps the draw leaving the smallest potential (sum of weight x row weight, f64, in
// candidate order; the first on ties); the fallback is the largest usable weight.
std::vector<size_t> greedy_reference(MatrixView<const float> data, size_t k, uint64_t seed,
                                     std::span<const float> row_weights) {
  std::vector<size_t> pool;
  for (size_t r = 0; r < data.rows; ++r)
    if (row_weights.empty() || row_weights[r] > 0.0f) pool.push_back(r);
  std::vector<size_t> cand = initialization_candidate_rows(pool.size(), k, seed);
  for (size_t& c : cand) c = pool[c];
  std::vector<float> cw;
  for (size_t r : cand) cw.push_back(row_weights.empty() ? 1.0f : row_weights[r]);
  const auto usable = [](float w) { return std::isfinite(w) && w >= 0.0f; };
  std::vector<float> weights(cand.size(), std::numeric_limits<float>::infinity());
  auto measure = [&](std::vector<float>& w, size_t row) {
    std::vector<float> center(data.cols);
    for (size_t t = 0; t < data.cols; ++t) center[t] = data.at(row, t);
    for (size_t j = 0; j < cand.size(); ++j) {
      const float dist = kernels().l2_squared(data.row(cand[j]), center);
      if (dist < w[j]) w[j] = dist;
    }
  };
  auto draw_weights = [&] {
    std::vector<float> v(weights.size());
    for (size_t j = 0; j < v.size(); ++j)
      v[j] = row_weights.empty() ? weights[j] : usable(weights[j]) ? weights[j] * cw[j] : -1.0f;
    return v;
  };
  SeededRng draws(seed);
  size_t first = 0;
  if (!row_weights.empty()) first = weighted_seeding_walk(cw, draws, WalkOverrun::LastPositive).value_or(0);
  std::vector<size_t> chosen{cand[first]};
  measure(weights, cand[first]);
  weights[first] = -1.0f;
  while (chosen.size() < k) {
    std::optional<size_t> pick;
    std::vector<float> best;
    double best_potential = 0.0;
    for (size_t t = 0; t < greedy_trials(k); ++t) {
      const auto drawn = weighted_seeding_walk(draw_weights(), draws, WalkOverrun::Nothing);
      if (!drawn) break;
      std::vector<float> trial = weights;
      measure(trial, cand[*drawn]);
      trial[*drawn] = -1.0f;
      double p = 0.0;
      for (size_t j = 0; j < trial.size(); ++j)
        if (usable(trial[j])) p += double(trial[j]) * double(cw[j]);
      if (!pick || p < best_potential) pick = drawn, best_potential = p, best = trial;
    }
    if (!pick) {
      for (size_t j = 0; j < weights.size(); ++j)
        if (usable(weights[j]) && (!pick || weights[j] >= weights[*pick])) pick = j;
      measure(weights, cand[*pick]);
      best = weights;
      best[*pick] = -1.0f;
    }
    chosen.push_back(cand[*pick]);
    weights = best;
  }
  return chosen;
}

}  // namespace

TEST(DenseInit, GreedyMeasuresItsTrialsTogetherAsOneAtATime) {
  // Clustered rows with exact duplicates (ties in the potential) and a few near-duplicates;
  // d = 13 runs the four-row kernel's blocks and tail, 601 rows a ragged last chunk.
  const size_t rows = 601, d = 13;
  Matrix<float> data(rows, d);
  uint32_t s = 7;
  auto next = [&] { return s = s * 1664525u + 1013904223u, float(s >> 8) / float(1u << 24); };
  for (size_t r = 0; r < rows; ++r)
    for (size_t t = 0; t < d; ++t) data.at(r, t) = r % 9 == 4 ? data.at(r - 1, t) : float(r % 5) * 3.0f + next();
  std::vector<float> row_weights(rows);
  for (size_t r = 0; r < rows; ++r) row_weights[r] = r % 7 == 0 ? 0.0f : 0.5f + next();
  for (size_t k : {2u, 9u, 40u}) {
    for (uint64_t seed : {0u, 3u}) {
      EXPECT_EQ(choose_initial_rows(data.view(), k, seed, InitMethod::GreedyKMeansPlusPlus),
                greedy_reference(data.view(), k, seed, {}))
          << "k " << k << " seed " << seed;
      EXPECT_EQ(choose_initial_rows(data.view(), k, seed, InitMethod::GreedyKMeansPlusPlus, row_weights),
                greedy_reference(data.view(), k, seed, row_weights))
          << "weighted, k " << k << " seed " << seed;
    }
  }
}
