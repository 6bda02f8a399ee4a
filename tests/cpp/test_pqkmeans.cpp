#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "codes/pqkmeans.hpp"
#include "core/rng.hpp"
#include "scoped_env.hpp"

using namespace vantorix;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// One-dimensional codewords 0, 1, ..., ks-1 in every subspace.
Array3<float> line_codewords(size_t m, size_t ks) {
  Array3<float> cw(m, ks, 1);
  for (size_t s = 0; s < m; ++s)
    for (size_t t = 0; t < ks; ++t) cw.values[s * ks + t] = float(t) + float(s);
  return cw;
}

PqKMeans model(size_t k, InitMethod init, uint64_t seed = 0, size_t m = 2, size_t ks = 8) {
  PqKMeansOptions o;
  o.k = k;
  o.init = init;
  o.seed = seed;
  return PqKMeans::new_with_options_and_spherical(line_codewords(m, ks), std::nullopt, o);
}

}  // namespace

TEST(PqKMeans, CodewordDistanceTableIsExactAndSymmetric) {
  Array3<float> cw(1, 3, 2);
  cw.values = {0, 0, 3, 4, 1, 1};
  const auto d = compute_codeword_distances(cw);
  EXPECT_EQ(d, (std::vector<float>{0, 25, 2, 25, 0, 13, 2, 13, 0}));
}

TEST(PqKMeans, ModelsShareOneDistanceTable) {
  auto a = model(2, InitMethod::FarthestFirst);
  PqKMeansOptions o;
  o.k = 3;
  auto b = PqKMeans::with_codeword_distances_and_options(a.codewords(), a.codeword_distances(), std::nullopt, o);
  EXPECT_EQ(a.codeword_distances().get(), b.codeword_distances().get());
  EXPECT_EQ(a.codeword_distances().use_count(), 2);
}

TEST(PqKMeans, SelectFarthestRows) {
  struct Case {
    std::vector<float> distances;
    size_t count;
    std::vector<size_t> want;
  };
  const std::vector<Case> cases = {
      {{1, 5, 3}, 0, {}},
      {{1, 5, 3}, 2, {1, 2}},
      {{1, 5, 3}, 7, {1, 2, 0}},                // more than n: all rows, farthest first
      {{2, 2, 2, 2}, 2, {0, 1}},                // equal distances keep the lower rows
      {{4, 1, 4, 9, 4}, 3, {3, 0, 2}},          // ties among the kept ones by row
      {{kInf, kNaN, 1}, 2, {1, 0}},             // total order: NaN above +inf
      {{-0.0f, 0.0f, -1.0f}, 1, {1}},           // +0.0 above -0.0
  };
  for (const auto& c : cases) EXPECT_EQ(select_farthest_rows(c.distances, c.count), c.want);
}

TEST(PqKMeans, EarlyStoppingRule) {
  struct Case {
    std::vector<double> history;
    bool stop;
  };
  const std::vector<Case> cases = {
      {{5, 5, 5, 5}, false},                       // never before five entries
      {{9, 8, 5, 5, 5}, true},
      {{9, 8, 5, 5, 5.0001}, false},               // a rise continues
      {{9, 8, 5, 5.0001, 5.0001}, false},          // rise one step earlier
      {{9, 8, 5, 4.9, 4.9}, false},                // relative fall above 1e-4
      {{9, 8, 1, 1 - 1e-5, 1 - 2e-5}, true},       // two small falls
      {{9, 8, NAN, 0, 0}, false},
      {{9, 8, 0, 0, 0}, true},                     // a perfect fit stops too (epsilon floor)
  };
  for (const auto& c : cases) EXPECT_EQ(should_stop_early(c.history), c.stop) << ::testing::PrintToString(c.history);
}

TEST(PqKMeans, RandomInitIsThePrefixOfTheSeededShuffle) {
  std::vector<uint8_t> codes(50 * 2);
  for (size_t i = 0; i < codes.size(); ++i) codes[i] = uint8_t(i % 8);
  for (uint64_t seed : {0ull, 1ull, 12345ull}) {
    SeededRng rng(seed);
    std::vector<size_t> order(50);
    std::iota(order.begin(), order.end(), size_t{0});
    shuffle(rng, order);
    order.resize(7);
    EXPECT_EQ(model(7, InitMethod::Random, seed).initialize_center_indices({codes.data(), 50, 2}), order);
  }
}

TEST(PqKMeans, IdenticalRowsTakeTheHighestUnchosenRowsInTurn) {
  const std::vector<uint8_t> codes(6 * 2, 3);
  for (InitMethod init : {InitMethod::FarthestFirst, InitMethod::KMeansPlusPlus}) {
    SeededRng rng(4);
    std::vector<size_t> order(6);
    std::iota(order.begin(), order.end(), size_t{0});
    shuffle(rng, order);
    std::vector<size_t> want = {order[0]};
    for (size_t r = 6; r-- > 0 && want.size() < 4;)
      if (r != order[0]) want.push_back(r);
    EXPECT_EQ(model(4, init, 4).initialize_center_indices({codes.data(), 6, 2}), want);
  }
}

TEST(PqKMeans, InitWithKEqualToRowsTakesEveryRowOnce) {
  std::vector<uint8_t> codes;
  for (uint8_t i = 0; i < 8; ++i) codes.insert(codes.end(), {i, uint8_t(7 - i)});
  for (InitMethod init : {InitMethod::FarthestFirst, InitMethod::KMeansPlusPlus, InitMethod::Random}) {
    auto rows = model(8, init, 2).initialize_center_indices({codes.data(), 8, 2});
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<size_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  }
  const uint8_t one[2] = {1, 1};
  EXPECT_EQ(model(1, InitMethod::FarthestFirst).initialize_center_indices({one, 1, 2}), std::vector<size_t>{0});
}

TEST(PqKMeans, FarthestFirstPicksTheFarthestRow) {
  // Row codes on a line; after the first center the farthest row (ties to the highest) comes next.
  std::vector<uint8_t> codes = {0, 0, 7, 7, 3, 3, 7, 7, 1, 1};
  const auto rows = model(3, InitMethod::FarthestFirst, 0).initialize_center_indices({codes.data(), 5, 2});
  ASSERT_EQ(rows.size(), 3u);
  const uint8_t first = codes[rows[0] * 2];
  if (first < 4) EXPECT_EQ(rows[1], 3u);  // the later of the two 7s
  else EXPECT_EQ(rows[1], 0u);
}

TEST(PqKMeans, LabelBuckets) {
  LabelBucketBuffers b;
  const std::vector<size_t> labels = {2, 0, 2, 2, 0};
  b.build(labels, 4);
  EXPECT_EQ(b.counts, (std::vector<size_t>{2, 0, 3, 0}));
  EXPECT_EQ(b.offsets, (std::vector<size_t>{0, 2, 2, 5, 5}));
  EXPECT_EQ(std::vector<size_t>(b.members(2).begin(), b.members(2).end()), (std::vector<size_t>{0, 2, 3}));
  EXPECT_TRUE(b.members(1).empty());
}

TEST(PqKMeans, EncodingCentersTiesToTheLowerCodeword) {
  auto m = model(1, InitMethod::FarthestFirst, 0, 2, 8);
  // Subspace 0 codewords are 0..7, subspace 1 are 1..8: 2.5 sits between 2 and 3 (both 0.25).
  const float center[2] = {2.5f, 2.5f};
  const auto codes = m.encode_centers_from_pq({center, 1, 2});
  EXPECT_EQ(codes.values, (std::vector<uint8_t>{2, 1}));
}

// A chunk's summary is what the symmetric update reads: per-cluster codeword counts of the
// rows predict assigns, in one dense or sparse form, and the farthest rows of the chunk.
TEST(PqKMeans, ChunkSummaryCountsTheCodewordsOfEachCluster) {
  const std::vector<uint8_t> rows = {0, 0, 1, 0, 7, 7, 6, 7, 7, 6, 0, 1};
  const MatrixView<const uint8_t> codes(rows.data(), 6, 2);
  for (size_t k : {size_t{2}, size_t{5}}) {  // 2 * 2 * 8 cells stay dense, 5 * 2 * 8 go sparse
    auto km = model(k, InitMethod::FarthestFirst);
    Matrix<uint8_t> centers(k, 2);
    for (size_t j = 0; j < k; ++j) centers.values[j * 2] = centers.values[j * 2 + 1] = uint8_t(j * 7 / (k - 1));
    km.set_cluster_centers(centers);
    const std::vector<size_t> labels = km.predict(codes);
    const CodeChunkSummary s = km.chunk_summary(codes, 3);
    EXPECT_EQ(s.sparse, k == 5);
    std::vector<uint64_t> want(k * 2 * 8, 0), counts(k, 0);
    for (size_t r = 0; r < 6; ++r) {
      ++counts[labels[r]];
      for (size_t m = 0; m < 2; ++m) ++want[(labels[r] * 2 + m) * 8 + rows[r * 2 + m]];
    }
    std::vector<uint64_t> got = s.histogram;
    if (s.sparse) {
      got.assign(want.size(), 0);
      ASSERT_TRUE(std::is_sorted(s.cells.begin(), s.cells.end()));
      for (size_t i = 0; i < s.cells.size(); ++i) got[s.cells[i]] = s.cell_counts[i];
    }
    EXPECT_EQ(got, want) << "k=" << k;
    EXPECT_EQ(s.counts, counts);
    ASSERT_EQ(s.far_rows.size(), 3u);
    EXPECT_TRUE(std::is_sorted(s.far_distances.rbegin(), s.far_distances.rend()));
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(s.far_labels[i], labels[s.far_rows[i]]);
  }
}

TEST(PqKMeans, StartThroughTheFourBitScanChoosesTheSameRows) {
  // Ks = 16 with the fast scan on screens rows through the 4-bit scan; the chosen rows must be
  // those of the plain start. Integer codewords give many exactly tied distances; random ones
  // give near ties; huge ones an infinite distance table the screen declines. Row counts cover
  // several work items and a partial last block.
  struct Case {
    const char* name;
    size_t m, ds, rows;
    float spread;
  };
  for (const Case& c : {Case{"ties", 3, 1, 2100, 0.0f}, Case{"random m=1", 1, 2, 700, 1.0f},
                        Case{"random m=16", 16, 2, 2500, 1.0f}, Case{"infinite table", 4, 1, 300, 1e30f}}) {
    SCOPED_TRACE(c.name);
    Array3<float> cw(c.m, 16, c.ds);
    SeededRng rng(11);
    for (size_t i = 0; i < cw.values.size(); ++i) {
      cw.values[i] = c.spread == 0.0f ? float(i / c.ds % 16) : c.spread * float(rng.uniform_f64(-1.0, 1.0));
    }
    std::vector<uint8_t> codes(c.rows * c.m);
    for (auto& v : codes) v = uint8_t(rng.uniform_f64(0.0, 16.0));
    std::copy_n(codes.begin(), 40 * c.m, codes.begin() + c.rows / 2 * c.m);  // duplicated rows
    for (InitMethod init : {InitMethod::FarthestFirst, InitMethod::KMeansPlusPlus}) {
      for (size_t k : {2, 40}) {
        PqKMeansOptions o;
        o.k = k;
        o.init = init;
        o.seed = 5;
        const auto fit = PqKMeans::new_with_options_and_spherical(Array3<float>(cw), std::nullopt, o);
        const MatrixView<const uint8_t> view{codes.data(), c.rows, c.m};
        const auto plain = fit.initialize_center_indices(view);
        ScopedEnv env(EnvVars{{"VANTORIX_PQ4_FASTSCAN", "on"}});
        EXPECT_EQ(fit.initialize_center_indices(view), plain) << "k=" << k;
        const auto packed = PackedPq4Codes::pack(codes, c.rows, c.m);
        EXPECT_EQ(fit.initialize_center_indices(view, &packed), plain) << "k=" << k;
      }
    }
  }
}
