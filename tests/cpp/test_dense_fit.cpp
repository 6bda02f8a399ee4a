#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <algorithm>
#include <array>
#include <functional>
#include <numeric>

#include "dense/dense.hpp"
#include "dense/dense_assign.hpp"
#include "dense/dense_update.hpp"
#include "kernels/dense_kernels.hpp"
#include "kernels/simd.hpp"

using namespace vantorix;

namespace {

Matrix<float> from_rows(size_t cols, std::vector<float> values) {
  Matrix<float> m(values.size() / cols, cols);
  m.values = std::move(values);
  return m;
}

constexpr float kInf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(DenseFit, ConvergedRule) {
  struct Case {
    std::vector<double> h;
    bool want;
  };
  const Case cases[] = {
      {{5, 5, 5}, false},                    // never before the fourth entry
      {{9, 5, 5, 5}, true},
      {{9, 5, 5, 4}, false},                 // last step still improving
      {{9, 5, 4, 4}, false},                 // the step before still improving
      {{1, 0, 0, 0}, false},                 // a perfect fit keeps going
      {{9, 5, 5.0004, 5.0008}, true},        // within 1e-4 both times
      {{9, 5, 5.0006, 5.0006}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(converged(c.h), c.want) << c.h[1] << " " << c.h.back();
}

TEST(DenseFit, EqualDistancesGoToTheLowerCenter) {
  // Row 0 is equidistant from centers 1 and 2 (and, by dot product, equally aligned).
  const auto data = from_rows(2, {0, 1, 5, 5});
  const auto centers = from_rows(2, {-9, -9, 1, 1, -1, 1});
  for (bool cosine : {false, true}) {
    std::vector<size_t> labels(2);
    std::vector<float> dist(2);
    assign_dense_into(data.view(), centers, nullptr, cosine, labels, dist);
    EXPECT_EQ(labels[0], 1u) << cosine;
  }
  // Duplicated centers: always the first copy.
  const auto twins = from_rows(2, {1, 1, 1, 1});
  for (bool cosine : {false, true}) {
    std::vector<size_t> labels(2);
    std::vector<float> dist(2);
    assign_dense_into(data.view(), twins, nullptr, cosine, labels, dist);
    EXPECT_EQ(labels, (std::vector<size_t>{0, 0}));
  }
}

TEST(DenseFit, StridedAssignmentMatchesContiguous) {
  const size_t rows = 1500, d = 7, k = 5;  // more than one 512-row block
  Matrix<float> wide(rows, 2 * d);
  for (size_t i = 0; i < wide.size(); ++i) wide.values[i] = float((i * 2654435761u) % 1000) / 100.0f;
  const MatrixView<const float> strided(wide.data() + 1, rows, d, ptrdiff_t(2 * d), 2);
  const auto dense = Matrix<float>::copy_of(strided);
  Matrix<float> centers(k, d);
  for (size_t i = 0; i < centers.size(); ++i) centers.values[i] = float(i % 11);
  for (bool cosine : {false, true}) {
    std::vector<size_t> la(rows), lb(rows);
    std::vector<float> da(rows), db(rows);
    assign_dense_into(strided, centers, nullptr, cosine, la, da);
    assign_dense_into(dense.view(), centers, nullptr, cosine, lb, db);
    EXPECT_EQ(la, lb);
    EXPECT_EQ(da, db);
  }
}

TEST(DenseUpdate, MeanOfEachCluster) {
  const auto data = from_rows(2, {1, 2, 3, 4, 10, 10, 0, 0});
  std::vector<size_t> labels = {0, 0, 1, 0};
  std::vector<float> dist = {1, 1, 0, 1};
  Matrix<float> centers(2, 2, -7.0f);
  DenseUpdateScratch scratch;
  update_dense_centers(data.view(), labels, dist, false, centers, scratch);
  const float third = 1.0f / 3.0f;
  EXPECT_EQ(centers.values, (std::vector<float>{4 * third, 6 * third, 10, 10}));
  EXPECT_EQ(scratch.counts, (std::vector<uint64_t>{3, 1}));
}

TEST(DenseUpdate, EmptyClustersTakeTheFarthestRowsOfClustersWithRowsToSpare) {
  // Cluster 0 has four rows, cluster 1 one row (not a donor even though it is the farthest),
  // clusters 2 and 3 are empty. Row 5 has an infinite distance and is skipped.
  const auto data = from_rows(1, {0, 1, 2, 3, 100, 50});
  std::vector<size_t> labels = {0, 0, 0, 0, 1, 0};
  std::vector<float> dist = {4, 1, 9, 0.5f, 1000, kInf};
  Matrix<float> centers = from_rows(1, {0, 100, -1, -2});
  DenseUpdateScratch scratch;
  update_dense_centers(data.view(), labels, dist, false, centers, scratch);
  // Farthest first: row 2 (9) to cluster 2, row 0 (4) to cluster 3.
  EXPECT_EQ(centers.at(2, 0), 2.0f);
  EXPECT_EQ(centers.at(3, 0), 0.0f);
  EXPECT_EQ(centers.at(1, 0), 100.0f);
}

TEST(DenseUpdate, EmptyClusterKeepsItsCenterWhenNoRowQualifies) {
  const auto data = from_rows(1, {1, 2});
  std::vector<size_t> labels = {0, 1};
  std::vector<float> dist = {3, 3};
  Matrix<float> centers = from_rows(1, {0, 0, 42});
  DenseUpdateScratch scratch;
  update_dense_centers(data.view(), labels, dist, false, centers, scratch);
  EXPECT_EQ(centers.values, (std::vector<float>{1, 2, 42}));
}

TEST(DenseUpdate, SummedUpdateIsTheFitsOwn) {
  // Small integers (exact f32 sums), clusters 1 and 4 empty, many equal distances: the update
  // from f64 sums and candidates in any order equals the one-machine update bit for bit.
  const size_t rows = 60, d = 3, k = 5;
  Matrix<float> data(rows, d);
  std::vector<size_t> labels(rows);
  std::vector<float> dist(rows);
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < d; ++c) data.at(r, c) = float((r * 7 + c * 3) % 11) - 5.0f;
    labels[r] = std::array<size_t, 3>{0, 2, 3}[r % 3];
    dist[r] = float(r % 4);
  }
  dist[9] = kInf;
  labels[58] = 3, labels[59] = 2;
  const auto start = from_rows(d, std::vector<float>(k * d, 0.25f));
  Matrix<float> local = start;
  DenseUpdateScratch scratch;
  update_dense_centers(data.view(), labels, dist, false, local, scratch);

  std::vector<double> sums(k * d, 0.0);
  for (size_t r = 0; r < rows; ++r)
    for (size_t c = 0; c < d; ++c) sums[labels[r] * d + c] += double(data.at(r, c));
  // every row as a candidate, last row first
  std::vector<double> far_d;
  std::vector<uint64_t> far_l, far_r;
  for (size_t r = rows; r-- > 0;) far_d.push_back(dist[r]), far_l.push_back(labels[r]), far_r.push_back(r);
  const SummedUpdate u = update_centers_from_sums(
      start.view(), MatrixView<const double>(sums.data(), k, d), {scratch.counts.data(), k, 1}, {far_d.data(), rows, 1},
      {far_l.data(), rows, 1}, {far_r.data(), rows, 1});
  EXPECT_EQ(u.repair.clusters, (std::vector<size_t>{1, 4}));
  EXPECT_EQ(u.repair.rows, (std::vector<uint64_t>{3, 7}));  // distance 3, lower rows first
  Matrix<float> spread = u.centers;
  for (size_t i = 0; i < u.repair.rows.size(); ++i) {
    for (size_t c = 0; c < d; ++c) spread.at(u.repair.clusters[i], c) = data.at(u.repair.rows[i], c);
  }
  EXPECT_EQ(spread.values, local.values);
}

TEST(DenseUpdate, SummedUpdateRefusesInconsistentShapes) {
  const auto centers = from_rows(2, {0, 0, 7, 7, 2, 2});
  const std::vector<double> sums(6, 1.0), narrow(4, 1.0), dist = {1, 2};
  const std::vector<uint64_t> counts = {1, 0, 1}, labels = {0, 2}, bad_label = {0, 3}, rows = {4, 9}, one = {4};
  auto call = [&](MatrixView<const double> s, std::span<const uint64_t> n, std::span<const uint64_t> l,
                  std::span<const uint64_t> r) {
    return update_centers_from_sums(centers.view(), s, {n.data(), n.size(), 1}, {dist.data(), dist.size(), 1},
                                    {l.data(), l.size(), 1}, {r.data(), r.size(), 1});
  };
  const MatrixView<const double> good(sums.data(), 3, 2);
  struct Case {
    std::function<SummedUpdate()> run;
    const char* message;
  };
  const Case cases[] = {
      {[&] { return call({narrow.data(), 2, 2}, counts, labels, rows); },
       "sums: expected 3 x 2 sums, one row per center, got 2 x 2"},
      {[&] { return call(good, std::span(counts).first(2), labels, rows); },
       "counts: expected 3 counts, one per center, got 2"},
      {[&] { return call(good, counts, one, rows); }, "far_labels: expected 2 entries, one per far_distances entry, got 1"},
      {[&] { return call(good, counts, labels, one); }, "far_rows: expected 2 entries, one per far_distances entry, got 1"},
      {[&] { return call(good, counts, bad_label, rows); }, "far_labels: cluster 3 is not below k (3)"},
  };
  for (const auto& c : cases) {
    try {
      c.run();
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const VantorixError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  // Consistent: cluster 1 is empty but no candidate has a cluster with a row to spare.
  const SummedUpdate u = call(good, counts, labels, rows);
  EXPECT_EQ(u.centers.values, (std::vector<float>{1, 1, 7, 7, 1, 1}));
  EXPECT_TRUE(u.repair.rows.empty() && u.repair.clusters.empty());
}

TEST(DenseUpdate, NormalizeLeavesTinyRowsAlone) {
  auto m = from_rows(2, {3, 4, 0, 0, 1e-8f, 0});
  normalize_rows(m);
  EXPECT_FLOAT_EQ(m.at(0, 0), 0.6f);
  EXPECT_FLOAT_EQ(m.at(0, 1), 0.8f);
  EXPECT_EQ(m.at(1, 0), 0.0f);
  EXPECT_EQ(m.at(2, 0), 1e-8f);
}

TEST(DenseFit, FailedFitLeavesTheModelAsItWas) {
  DenseKMeans model({.k = 2, .iterations = 5, .seed = 0});
  const auto good = from_rows(1, {0, 1, 10, 11});
  model.fit(good.view());
  const auto centers = model.centers()->values;
  const auto labels = model.labels();
  const auto history = model.inertia_history();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const auto bad = from_rows(1, {nan, nan, nan});
  EXPECT_THROW(model.fit(bad.view()), VantorixError);
  EXPECT_THROW(model.fit(from_rows(1, {1}).view()), VantorixError);
  EXPECT_EQ(model.centers()->values, centers);
  EXPECT_EQ(model.labels(), labels);
  EXPECT_EQ(model.inertia_history(), history);
}

TEST(DenseKernels, PackedFormsAreBitIdenticalToTheVectorKernels) {
  uint32_t state = 12345;
  auto next = [&] {
    state = state * 1664525u + 1013904223u;
    return float(int(state >> 9) % 2001 - 1000) / 64.0f;
  };
  for (size_t d : {1, 3, 4, 7, 16, 33, 70}) {
    for (size_t k : {1, 2, 5, 16, 17, 37, 70}) {
      Matrix<float> centers(k, d);
      for (auto& v : centers.values) v = next();
      if (k > 3) std::copy_n(centers.row(1).data(), d, centers.row(3).data());  // twin centers
      PackedCenters packed(centers);
      std::vector<float> scratch(4 * packed.groups);
      const std::span<const float> flat(centers.data(), centers.size());
      for (int trial = 0; trial < 20; ++trial) {
        std::vector<float> q(d);
        for (auto& v : q) v = next();
        if (trial == 0 && k > 3) q.assign(centers.row(1).begin(), centers.row(1).end());  // exact tie of 1 and 3
        EXPECT_EQ(packed_nearest_l2(q.data(), packed, scratch.data()), nearest_l2_center_neon(q, flat, k, d))
            << d << " " << k;
        EXPECT_EQ(packed_nearest_dot(q.data(), packed, scratch.data()), nearest_dot_center_neon(q, flat, k, d))
            << d << " " << k;
        // Several rows per pass: each gets exactly its own single-row answer.
        std::vector<std::vector<float>> batch(4, q);
        for (size_t i = 1; i < 4; ++i) {
          for (auto& v : batch[i]) v = next();
        }
        const float* rows[4] = {batch[0].data(), batch[1].data(), batch[2].data(), batch[3].data()};
        std::vector<float> batch_scratch(16 * packed.groups);
        std::pair<size_t, float> got[4];
        for (size_t count : {1, 2, 4}) {
          for (bool dot : {false, true}) {
            packed_nearest_rows(rows, count, packed, dot, batch_scratch.data(), got);
            for (size_t i = 0; i < count; ++i) {
              EXPECT_EQ(got[i], dot ? nearest_dot_center_neon(batch[i], flat, k, d)
                                    : nearest_l2_center_neon(batch[i], flat, k, d));
            }
          }
        }
        packed_l2_all(q.data(), packed, scratch.data());
        for (size_t j = 0; j < k; ++j) EXPECT_EQ(scratch[j], l2_squared_neon(q, centers.row(j)));
      }
    }
  }
}

// Summaries of the pieces of a matrix add up to the summary of the whole, and their labels are
// predict's: what lets a distributed fit take the same steps as fit.
TEST(DenseFit, ChunkSummariesAddUpToTheWhole) {
  const size_t n = 600, d = 3, k = 4;
  std::vector<float> values(n * d);
  for (size_t i = 0; i < values.size(); ++i) values[i] = float((i * 7919) % 101) / 10.0f;
  const MatrixView<const float> data(values.data(), n, d);
  DenseKMeans km({.k = k, .iterations = 5, .seed = 0, .init = InitMethod::Random});
  km.set_centers(from_rows(d, std::vector<float>(values.begin(), values.begin() + k * d)));
  const std::vector<size_t> labels = km.predict(data);
  const DenseChunkSummary whole = km.chunk_summary(data, 2 * k);
  std::vector<double> sums(k * d, 0.0);
  std::vector<uint64_t> counts(k, 0);
  for (size_t split : {size_t{0}, size_t{250}, n}) {
    const DenseChunkSummary a = km.chunk_summary(MatrixView<const float>(values.data(), split, d), 0);
    const DenseChunkSummary b = km.chunk_summary(MatrixView<const float>(values.data() + split * d, n - split, d), 0);
    for (size_t i = 0; i < k * d; ++i) EXPECT_NEAR(a.sums[i] + b.sums[i], whole.sums[i], 1e-3);
    for (size_t j = 0; j < k; ++j) EXPECT_EQ(a.counts[j] + b.counts[j], whole.counts[j]);
    EXPECT_NEAR(a.distance_sum + b.distance_sum, whole.distance_sum, 1e-6 * whole.distance_sum);
  }
  for (size_t r = 0; r < n; ++r) {
    ++counts[labels[r]];
    for (size_t t = 0; t < d; ++t) sums[labels[r] * d + t] += values[r * d + t];
  }
  EXPECT_EQ(whole.counts, counts);
  for (size_t i = 0; i < k * d; ++i) EXPECT_NEAR(whole.sums[i], sums[i], 1e-3);
  ASSERT_EQ(whole.far_rows.size(), 2 * k);
  for (size_t i = 0; i + 1 < whole.far_rows.size(); ++i) {
    const bool ordered = whole.far_distances[i] > whole.far_distances[i + 1] ||
                         (whole.far_distances[i] == whole.far_distances[i + 1] && whole.far_rows[i] < whole.far_rows[i + 1]);
    EXPECT_TRUE(ordered) << i;
  }
  for (size_t i = 0; i < whole.far_rows.size(); ++i) EXPECT_EQ(whole.far_labels[i], labels[whole.far_rows[i]]);
}

// Labels from an earlier pass only narrow the search: whatever they hold (right, wrong, out of
// range), the summary is the one without them, ties to the lower center included.
TEST(DenseFit, ChunkSummaryHintNeverChangesTheResult) {
  struct Case {
    size_t n, d, k;
    bool duplicate_center, nan_center;
  };
  for (const Case c : {Case{600, 3, 4, true, false}, Case{900, 37, 64, false, false}, Case{500, 5, 9, false, true}}) {
    std::vector<float> values(c.n * c.d);
    for (size_t i = 0; i < values.size(); ++i) values[i] = float((i * 7919) % 101) / 10.0f;  // many exact ties
    std::vector<float> center_values(values.begin(), values.begin() + c.k * c.d);
    if (c.duplicate_center) std::copy_n(center_values.begin(), c.d, center_values.begin() + (c.k - 1) * c.d);
    if (c.nan_center) center_values[2 * c.d] = std::numeric_limits<float>::quiet_NaN();
    const MatrixView<const float> data(values.data(), c.n, c.d);
    DenseKMeans km({.k = c.k, .iterations = 5, .seed = 0, .init = InitMethod::Random});
    km.set_centers(from_rows(c.d, center_values));
    const DenseChunkSummary plain = km.chunk_summary(data, 2 * c.k);
    std::vector<std::vector<uint32_t>> hints(5, std::vector<uint32_t>(c.n));
    for (size_t r = 0; r < c.n; ++r) {
      hints[0][r] = uint32_t(plain.labels[r]);
      hints[1][r] = 0;
      hints[2][r] = uint32_t(c.k - 1);
      hints[3][r] = uint32_t((r * 2654435761u) % c.k);
      hints[4][r] = uint32_t(c.k + r);
    }
    for (const auto& hint : hints) {
      const DenseChunkSummary h = km.chunk_summary(data, 2 * c.k, std::span<const uint32_t>(hint));
      EXPECT_EQ(h.labels, plain.labels);
      EXPECT_EQ(h.sums, plain.sums);
      EXPECT_EQ(h.counts, plain.counts);
      EXPECT_EQ(h.distance_sum, plain.distance_sum);
      EXPECT_EQ(h.far_rows, plain.far_rows);
      EXPECT_EQ(h.far_distances, plain.far_distances);
    }
    const std::vector<uint32_t> short_hint(c.n - 1);
    EXPECT_THROW(km.chunk_summary(data, 0, std::span<const uint32_t>(short_hint)), VantorixError);
  }
}
