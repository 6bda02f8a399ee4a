#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "core/rng.hpp"
#include "kernels/simd.hpp"
#include "kmeans/kmeans_common.hpp"

using namespace vantorix;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

}  // namespace

TEST(PassLoop, AssignRecordStopUpdateInOrder) {
  // Means fall 10, 5, 5, 5, 5, ...: both stopping rules fire once the tail is flat.
  struct Case {
    size_t iterations;
    bool update_after_last_pass;
    std::optional<StoppingRule> stopping;
    size_t passes, updates;
  };
  const Case cases[] = {
      {3, true, std::nullopt, 3, 3},
      {3, false, std::nullopt, 3, 2},
      {1, false, std::nullopt, 1, 0},
      {0, true, std::nullopt, 0, 0},
      {20, true, StoppingRule::RelativeChange, 4, 3},  // stops before updating
      {20, false, StoppingRule::SmallFall, 5, 4},
  };
  for (const auto& c : cases) {
    PassLoop loop;
    loop.iterations = c.iterations;
    loop.update_after_last_pass = c.update_after_last_pass;
    loop.stopping = c.stopping;
    std::vector<double> history;
    std::vector<char> trace;
    run_passes(
        loop, history,
        [&](size_t pass) {
          EXPECT_EQ(pass, history.size());
          trace.push_back('a');
          return pass == 0 ? 10.0 : 5.0;
        },
        [&](size_t) { trace.push_back('u'); });
    EXPECT_EQ(history.size(), c.passes) << c.iterations;
    EXPECT_EQ(size_t(std::count(trace.begin(), trace.end(), 'u')), c.updates) << c.iterations;
    for (size_t i = 0; i + 1 < trace.size(); ++i) EXPECT_NE(trace[i], trace[i + 1]) << "passes interleave";
  }

  // An assignment that measures nothing records nothing and never stops early.
  PassLoop loop;
  loop.iterations = 6;
  loop.stopping = StoppingRule::SmallFall;
  std::vector<double> history;
  size_t updates = 0;
  run_passes(loop, history, [](size_t) {}, [&](size_t) { ++updates; });
  EXPECT_TRUE(history.empty());
  EXPECT_EQ(updates, 6u);
}

TEST(Seeding, WeightedWalkSkipsUnusableWeightsAndDrawsOnlyWithWeight) {
  // Chosen rows (-1), NaN, infinities and zeros never take part.
  const std::vector<float> weights = {-1.0f, kNaN, kInf, 0.0f, 2.0f, -kInf};
  for (auto overrun : {WalkOverrun::Nothing, WalkOverrun::LastPositive}) {
    for (uint64_t seed = 0; seed < 20; ++seed) {
      SeededRng rng(seed);
      EXPECT_EQ(weighted_seeding_walk(weights, rng, overrun), std::optional<size_t>(4));
    }
  }
  // Without weight nothing is drawn: the generator's stream is untouched.
  SeededRng used(7), fresh(7);
  const std::vector<float> none = {0.0f, -1.0f, kNaN};
  EXPECT_EQ(weighted_seeding_walk(none, used, WalkOverrun::LastPositive), std::nullopt);
  EXPECT_EQ(used.uniform_f64(0.0, 1.0), fresh.uniform_f64(0.0, 1.0));
}

// The walk in its plainest form: one running f64 sum, then one running remainder.
std::optional<size_t> reference_walk(const std::vector<float>& weights, SeededRng& rng, WalkOverrun overrun) {
  auto usable = [](float w) { return std::isfinite(w) && w > 0.0f; };
  double total = 0.0;
  for (float w : weights)
    if (usable(w)) total += double(w);
  if (!(total > std::numeric_limits<double>::epsilon())) return std::nullopt;
  double r = rng.uniform_f64(0.0, total);
  std::optional<size_t> last;
  for (size_t i = 0; i < weights.size(); ++i) {
    if (!usable(weights[i])) continue;
    last = i;
    r -= double(weights[i]);
    if (r <= 0.0) return i;
  }
  return overrun == WalkOverrun::LastPositive ? last : std::nullopt;
}

TEST(Seeding, WeightedWalkPicksWhatTheSequentialWalkPicks) {
  // Narrow ranges take the blocked exact path; wide ones (sums that round) the sequential one.
  // Zeros, chosen rows and non-finite weights are sprinkled in, and lengths cut blocks short.
  struct Case {
    size_t n;
    float low_exponent, high_exponent, unusable_share;
  };
  const Case cases[] = {{1, 0, 1, 0}, {7, 0, 1, 0.5f},      {300, 2, 6, 0.2f},    {1000, -3, 3, 0.9f},
                        {5000, 10, 20, 0.1f}, {5000, -40, 30, 0.1f}, {4099, -140, -120, 0.3f}, {2049, 0, 0, 0.999f}};
  for (const Case& c : cases) {
    SeededRng make(c.n);
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<float> w(c.n);
      for (float& v : w) {
        const double pick = make.uniform_f64(0.0, 1.0);
        if (pick < c.unusable_share) {
          const float unusable[] = {0.0f, -1.0f, kNaN, kInf};
          v = unusable[size_t(pick / c.unusable_share * 4) % 4];
        } else {
          v = float(std::exp2(make.uniform_f64(c.low_exponent, c.high_exponent + 1e-9)));
        }
      }
      for (auto overrun : {WalkOverrun::Nothing, WalkOverrun::LastPositive}) {
        SeededRng a(trial), b(trial);
        EXPECT_EQ(weighted_seeding_walk(w, a, overrun), reference_walk(w, b, overrun)) << c.n << " " << trial;
        EXPECT_EQ(a.uniform_f64(0.0, 1.0), b.uniform_f64(0.0, 1.0));
      }
    }
  }
}

TEST(Reseeding, RowsToSpareVariant) {
  struct Case {
    std::vector<float> distances;
    std::vector<size_t> labels;
    std::vector<uint64_t> counts;
    size_t count;
    std::vector<size_t> want;
  };
  const Case cases[] = {
      // Row 1 is the farthest but its cluster has no row to spare.
      {{1, 9, 4, 2}, {0, 1, 0, 0}, {3, 1}, 2, {2, 3}},
      // Non-finite distances never re-seed; fewer candidates than empty clusters.
      {{kNaN, kInf, 3, 5}, {0, 0, 0, 0}, {4, 0}, 3, {3, 2}},
      {{1, 2}, {0, 1}, {1, 1}, 1, {}},
      {{1, 2}, {0, 0}, {2, 0}, 0, {}},
      // Equal distances go to the lower row, whichever row arrived in which order.
      {{1, 3, 2, 3}, {0, 0, 0, 0}, {4}, 2, {1, 3}},
      {{7, 7, 7, 7, 7}, {0, 0, 0, 0, 0}, {5}, 3, {0, 1, 2}},
      {{2, 5, 5, 9, 5}, {0, 0, 0, 0, 0}, {5}, 4, {3, 1, 2, 4}},
      {{5, 5, 9}, {0, 0, 0}, {3}, 2, {2, 0}},  // row 0 stays though it was kept first
  };
  for (const auto& c : cases) {
    EXPECT_EQ(select_farthest_rows_with_spare(c.distances, c.labels, c.counts, c.count), c.want);
  }
}

TEST(Reseeding, CandidatesGatheredElsewhereGiveTheSamePicks) {
  // Eight rows of one pass, then the same rows as candidates in another order with their row
  // numbers (and without the rows that cannot win): the same rows win, equal distances going to
  // the lower row number.
  const std::vector<float> distances = {3, 8, 8, 1, kInf, 8, 2, 3};
  const std::vector<size_t> labels = {0, 0, 1, 0, 0, 0, 1, 0};
  const std::vector<uint64_t> counts = {6, 2, 0, 0};
  const std::vector<size_t> direct = select_farthest_rows_with_spare(distances, labels, counts, 4);
  EXPECT_EQ(direct, (std::vector<size_t>{1, 2, 5, 0}));
  const std::vector<uint64_t> rows = {7, 5, 4, 2, 1, 0};
  std::vector<float> d;
  std::vector<size_t> l;
  for (uint64_t r : rows) d.push_back(distances[r]), l.push_back(labels[r]);
  std::vector<uint64_t> picked;
  for (size_t p : select_farthest_rows_with_spare(d, l, counts, 4, rows)) picked.push_back(rows[p]);
  EXPECT_EQ(picked, (std::vector<uint64_t>{1, 2, 5, 0}));
  // the finite candidates of a part, before the counts are known
  EXPECT_EQ(select_farthest_finite_rows(distances, 3), (std::vector<size_t>{1, 2, 5}));
  EXPECT_EQ(select_farthest_rows(distances, 1), (std::vector<size_t>{4}));
}

TEST(Distances, NearestTwoAndMean) {
  struct Case {
    std::vector<float> values;
    size_t index;
    float best, second;
  };
  const Case cases[] = {
      {{3, 1, 2}, 1, 1, 2},
      {{1, 1, 5}, 0, 1, 1},  // a tie: the lower index is nearest, the other second
      {{kNaN, 4, kNaN, 3}, 3, 3, 4},
      {{kNaN}, 0, kInf, kInf},
      {{}, 0, kInf, kInf},
  };
  for (const auto& c : cases) {
    const NearestTwo got = nearest_two(c.values.data(), c.values.size());
    EXPECT_EQ(got.index, c.index);
    EXPECT_EQ(got.best, c.best);
    EXPECT_EQ(got.second, c.second);
  }
  const std::vector<float> d = {1.0f, 2.0f, 4.5f};
  EXPECT_EQ(mean_distance(d), 2.5);
}

TEST(Normalize, TheTwoThresholdRules) {
  // Norm 2e-4: above f32 epsilon, its square (4e-8) below; NaN rows stay NaN under both.
  Matrix<float> a(3, 2);
  a.values = {3, 4, 2e-4f, 0, kNaN, 1};
  Matrix<float> b = a;
  normalize_rows(a.view_mut(), NormRule::DivideAboveNormEpsilon);
  normalize_rows(b.view_mut(), NormRule::ScaleAboveSquaredNormEpsilon);
  EXPECT_EQ(a.values[0], 0.6f);
  EXPECT_FLOAT_EQ(b.values[1], 0.8f);
  EXPECT_FLOAT_EQ(a.values[2], 1.0f);
  EXPECT_EQ(b.values[2], 2e-4f);
  EXPECT_TRUE(std::isnan(a.values[4]) && std::isnan(b.values[4]));
}

TEST(KernelTable, PreferenceChoosesTheFormsAndRows4MatchesOneRowAtATime) {
  struct Case {
    SimdPreference pref;
    const char* name;
    float (*one)(std::span<const float>, std::span<const float>);
  };
  const Case cases[] = {{SimdPreference::Auto, "neon", l2_squared_neon},
                        {SimdPreference::Neon, "neon", l2_squared_neon},
                        {SimdPreference::Scalar, "scalar", l2_squared_scalar},
                        {SimdPreference::Avx512, "scalar", l2_squared_scalar}};
  for (const auto& c : cases) {
    const KernelTable& t = kernel_table_for(c.pref);
    EXPECT_STREQ(t.name, c.name);
    EXPECT_EQ(t.l2_squared, c.one);
    for (size_t d : {0u, 3u, 4u, 13u, 64u}) {
      std::vector<float> rows(4 * d), center(d);
      for (size_t i = 0; i < rows.size(); ++i) rows[i] = std::sin(float(i)) * 3.0f;
      for (size_t i = 0; i < d; ++i) center[i] = std::cos(float(i));
      const float* ptrs[4] = {rows.data(), rows.data() + d, rows.data() + 2 * d, rows.data() + 3 * d};
      float out[4];
      t.l2_squared_rows4(ptrs, center.data(), d, out);
      for (size_t r = 0; r < 4; ++r) {
        const float want = c.one({ptrs[r], d}, center);
        EXPECT_EQ(std::bit_cast<uint32_t>(out[r]), std::bit_cast<uint32_t>(want)) << c.name << " d=" << d;
      }
    }
  }
  EXPECT_EQ(&kernels(), &kernel_table_for(simd_preference()));
}
