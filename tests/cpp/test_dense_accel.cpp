#include <gtest/gtest.h>

#include "scoped_env.hpp"

#include <cmath>
#include <map>
#include <string>

#include "core/parallel.hpp"
#include "dense/dense.hpp"
#include "dense/dense_assign.hpp"
#include "dense/dense_bounds.hpp"
#include "dense/dense_update.hpp"
#include "kernels/simd.hpp"

using namespace vantorix;

namespace {


// Well-separated clusters: `k` centers on a coarse grid, rows spread around them with small
// pseudo-random offsets (no exact ties).
Matrix<float> clustered(size_t rows, size_t d, size_t k, uint32_t seed) {
  Matrix<float> m(rows, d);
  uint32_t s = seed;
  for (size_t r = 0; r < rows; ++r) {
    const size_t c = (r * 7) % k;
    for (size_t j = 0; j < d; ++j) {
      s = s * 1664525u + 1013904223u;
      const float noise = float(s >> 8) / float(1u << 24) - 0.5f;
      m.at(r, j) = float((c * 31 + j * 17) % 23) * 4.0f + noise;
    }
  }
  return m;
}

using Mode = DenseIterationAssign::Mode;

}  // namespace

TEST(DenseAccel, MatrixProductDecision) {
  struct Case {
    EnvVars env;
    size_t rows, k, d;
    bool cosine, want;
  };
  const Case cases[] = {
      {{}, 31250, 256, 125, false, true},  // exactly 1e9 operations
      {{}, 31249, 256, 125, false, false},
      {{}, 1000000, 255, 1000, false, false},
      {{}, 1000000, 255, 1000, true, false},
      {{}, 0, 256, 125, false, false},
      {{}, size_t(1) << 40, 1u << 20, 1u << 20, false, true},  // the product overflows
      {{{"VANTORIX_DENSE_ASSIGN", "Rows"}}, 31250, 256, 125, false, false},
      {{{"VANTORIX_DENSE_ASSIGN", "SCALAR"}}, 31250, 256, 125, false, false},
      {{{"VANTORIX_DENSE_ASSIGN", "r_o_w_s"}}, 31250, 256, 125, false, true},  // only lower-cased
      {{{"VANTORIX_DENSE_ASSIGN", "S-GEMM"}}, 10, 2, 3, false, true},
      {{{"VANTORIX_DENSE_ASSIGN", "g_e_m_m"}}, 10, 2, 3, true, true},
      {{{"VANTORIX_DENSE_ASSIGN", "Blas"}}, 0, 2, 3, false, false},
      {{{"VANTORIX_DENSE_ASSIGN", "anything"}}, 10, 2, 3, false, false},
      {{{"VANTORIX_DENSE_BLAS_MIN_K", "0"}}, 1000000, 2, 1000, false, true},
      {{{"VANTORIX_DENSE_BLAS_MIN_OPS", "0"}}, 1, 256, 1, false, true},
      {{{"VANTORIX_DENSE_BLAS_MIN_K", "0"}, {"VANTORIX_DENSE_BLAS_MIN_OPS", "0"}}, 1, 1, 1, true, true},
      {{{"VANTORIX_DENSE_BLAS_MIN_K_L2", "8"}}, 1000000, 8, 1000, false, true},
      {{{"VANTORIX_DENSE_BLAS_MIN_K_L2", "8"}}, 1000000, 8, 1000, true, false},
      {{{"VANTORIX_DENSE_BLAS_MIN_K_COSINE", "8"}}, 1000000, 8, 1000, true, true},
      {{{"VANTORIX_DENSE_BLAS_MIN_K", "300"}, {"VANTORIX_DENSE_BLAS_MIN_K_L2", "8"}}, 1000000, 256, 1000, false, false},
  };
  for (const auto& c : cases) {
    ScopedEnv env(c.env);
    EXPECT_EQ(dense_blas_may_run(c.rows, c.k, c.d, c.cosine), c.want)
        << (c.env.empty() ? "" : c.env.begin()->second) << " rows " << c.rows << " k " << c.k;
  }
}

TEST(DenseAccel, BoundStrategyDecision) {
  struct Case {
    EnvVars env;
    size_t rows, k, d;
    bool spherical, contiguous;
    Mode want;
  };
  const size_t big = 1000000;
  const bool wide = selected_slice_kernel();
  const Case cases[] = {
      {{}, big, 16, 128, false, true, Mode::Exact},
      {{{"VANTORIX_DENSE_HAMERLY", "auto"}}, big, 24, 128, false, true, Mode::Hamerly},
      {{{"VANTORIX_DENSE_HAMERLY", "Adaptive"}}, big, 25, 128, false, true, Mode::Exact},
      {{{"VANTORIX_DENSE_HAMERLY", "auto"}}, big, 7, 128, false, true, Mode::Exact},
      {{{"VANTORIX_DENSE_HAMERLY", "ON"}}, big, 500, 128, false, true, Mode::Hamerly},
      {{{"VANTORIX_DENSE_HAMERLY", "en-abled"}}, big, 8, 4, false, true, Mode::Hamerly},
      {{{"VANTORIX_DENSE_HAMERLY", "on"}}, 1000, 8, 4000, false, true, Mode::Hamerly},  // exactly 32e6
      {{{"VANTORIX_DENSE_HAMERLY", "on"}}, 999, 8, 4000, false, true, Mode::Exact},
      {{{"VANTORIX_DENSE_HAMERLY", "on"}}, big, 16, 128, true, true, Mode::Exact},
      {{{"VANTORIX_DENSE_HAMERLY", "on"}}, big, 16, 128, false, false, Mode::Exact},
      {{{"VANTORIX_DENSE_HAMERLY", "disabled"}}, big, 16, 128, false, true, Mode::Exact},
      {{{"VANTORIX_DENSE_HAMERLY", "0"}}, big, 16, 128, false, true, Mode::Exact},
      {{{"VANTORIX_DENSE_HAMERLY", "no"}}, big, 16, 128, false, true, Mode::Exact},
      {{{"VANTORIX_DENSE_HAMERLY", "off"}}, big, 16, 128, false, true, Mode::Exact},
      {{{"VANTORIX_DENSE_EARLY_ABANDON", "bounded"}}, 10, 8, 64, false, true, Mode::EarlyAbandon},
      {{{"VANTORIX_DENSE_EARLY_ABANDON", "on"}}, 10, 8, 63, false, true, Mode::Exact},
      {{{"VANTORIX_DENSE_EARLY_ABANDON", "on"}}, 10, 7, 64, false, true, Mode::Exact},
      {{{"VANTORIX_DENSE_EARLY_ABANDON", "on"}}, 10, 8, 64, true, true, Mode::Exact},
      {{{"VANTORIX_DENSE_EARLY_ABANDON", "on"}}, 10, 8, 64, false, false, Mode::Exact},
      {{{"VANTORIX_DENSE_ASSIGN_BOUND", "Bound"}}, 10, 8, 64, false, true, Mode::EarlyAbandon},
      // The first variable, when set, hides the second.
      {{{"VANTORIX_DENSE_EARLY_ABANDON", "off"}, {"VANTORIX_DENSE_ASSIGN_BOUND", "on"}}, 10, 8, 64, false, true,
       Mode::Exact},
      {{{"VANTORIX_DENSE_EARLY_ABANDON", "auto"}}, big, 8, 64, false, true, wide ? Mode::Exact : Mode::EarlyAbandon},
      {{{"VANTORIX_DENSE_EARLY_ABANDON", "auto"}}, 10, 8, 64, false, true, Mode::Exact},
      // Hamerly first when both qualify.
      {{{"VANTORIX_DENSE_HAMERLY", "on"}, {"VANTORIX_DENSE_EARLY_ABANDON", "on"}}, big, 8, 64, false, true,
       Mode::Hamerly},
  };
  for (const auto& c : cases) {
    ScopedEnv env(c.env);
    EXPECT_EQ(DenseIterationAssign::choose(c.rows, c.k, c.d, c.spherical, c.contiguous), c.want)
        << (c.env.empty() ? "" : c.env.begin()->second) << " rows " << c.rows << " k " << c.k << " d " << c.d;
  }
}

TEST(DenseAccel, MatrixProductAgreesWithDirectPathOnLabels) {
  const auto data = clustered(3000, 40, 12, 1);
  Matrix<float> centers(12, 40);
  for (size_t c = 0; c < 12; ++c) {
    for (size_t j = 0; j < 40; ++j) centers.at(c, j) = float((c * 31 + j * 17) % 23) * 4.0f;
  }
  const auto norms = squared_row_norms(data.view());
  for (bool cosine : {false, true}) {
    std::vector<size_t> direct(3000), product(3000);
    std::vector<float> dd(3000), dp(3000);
    {
      ScopedEnv env(EnvVars{{"VANTORIX_DENSE_ASSIGN", "rows"}});
      assign_dense_into(data.view(), centers, &norms, cosine, direct, dd);
    }
    {
      ScopedEnv env(EnvVars{{"VANTORIX_DENSE_ASSIGN", "gemm"}});
      assign_dense_into(data.view(), centers, &norms, cosine, product, dp);
    }
    EXPECT_EQ(direct, product) << cosine;
    // Distances differ by the expansion's cancellation, relative to the norms involved.
    for (size_t r = 0; r < 3000; ++r) ASSERT_NEAR(dd[r], dp[r], 1e-5f * (norms[r] + 2e5f));
  }
}

TEST(DenseAccel, StridedDataNeverTakesTheMatrixProduct) {
  // With the product forced, contiguous rows get the expanded (rounded differently) distances;
  // strided rows must still get the direct kernel's values exactly.
  const auto base = clustered(600, 20, 5, 2);
  Matrix<float> wide(600, 40);
  for (size_t r = 0; r < 600; ++r) {
    for (size_t j = 0; j < 20; ++j) wide.at(r, 2 * j) = base.at(r, j);
  }
  const MatrixView<const float> strided(wide.data(), 600, 20, 40, 2);
  Matrix<float> centers(5, 20);
  for (size_t i = 0; i < centers.size(); ++i) centers.values[i] = base.values[i * 7];
  const auto norms = squared_row_norms(strided);
  std::vector<size_t> l_direct(600), l_forced(600), l_contig(600);
  std::vector<float> d_direct(600), d_forced(600), d_contig(600);
  assign_dense_direct_into(base.view(), centers, false, l_direct, d_direct);
  ScopedEnv env(EnvVars{{"VANTORIX_DENSE_ASSIGN", "gemm"}});
  assign_dense_into(strided, centers, &norms, false, l_forced, d_forced);
  assign_dense_into(base.view(), centers, &norms, false, l_contig, d_contig);
  EXPECT_EQ(d_forced, d_direct);
  EXPECT_NE(d_contig, d_direct);
}

TEST(DenseAccel, BoundedAssignmentsMatchTheExactFit) {
  const auto data = clustered(4000, 72, 10, 3);
  auto fit = [&](const EnvVars& vars) {
    ScopedEnv env(vars);
    DenseKMeans model({.k = 10, .iterations = 8, .seed = 5});
    model.fit(data.view());
    return model;
  };
  const auto exact = fit({});
  // Small enough to need the switch forced on for Hamerly (rows*k*d < 32e6) and early abandon.
  for (const auto& vars : std::vector<EnvVars>{
           {{"VANTORIX_DENSE_EARLY_ABANDON", "on"}}, {{"VANTORIX_DENSE_ASSIGN_BOUND", "on"}}}) {
    const auto other = fit(vars);
    EXPECT_EQ(other.labels(), exact.labels());
    EXPECT_EQ(other.inertia_history(), exact.inertia_history());
    EXPECT_EQ(other.centers()->values, exact.centers()->values);
  }
  // Hamerly needs rows * k * d >= 32e6 even when switched on; rows of 256 dimensions also take
  // the several-rows-per-pass scan of unsettled rows.
  const auto big = clustered(12501, 256, 10, 4);
  auto fit_big = [&](const EnvVars& vars) {
    ScopedEnv env(vars);
    EXPECT_EQ(DenseIterationAssign::choose(big.rows, 10, 256, false, true),
              vars.empty() ? Mode::Exact : Mode::Hamerly);
    DenseKMeans model({.k = 10, .iterations = 6, .seed = 5});
    model.fit(big.view());
    return model;
  };
  const auto exact_big = fit_big({});
  const auto hamerly = fit_big({{"VANTORIX_DENSE_HAMERLY", "on"}});
  EXPECT_EQ(hamerly.labels(), exact_big.labels());
  EXPECT_EQ(hamerly.inertia_history(), exact_big.inertia_history());
}

TEST(DenseAccel, ShardedUpdateDecision) {
  struct Case {
    EnvVars env;
    size_t rows, k, d;
    bool want;
  };
  const Case cases[] = {
      {{}, 1000000, 1000, 256, false},  // 1032000 bytes: below 1 MiB
      {{}, 16384, 1024, 256, true},     // 1056768 bytes
      {{}, 16383, 1024, 256, false},
      {{{"VANTORIX_DENSE_UPDATE", "auto"}}, 16384, 1024, 256, true},
      {{{"VANTORIX_DENSE_UPDATE", "Sharded"}}, 10, 2, 2, true},
      {{{"VANTORIX_DENSE_UPDATE", "centroid"}}, 10, 2, 2, true},
      {{{"VANTORIX_DENSE_UPDATE", "sha-rd"}}, 10, 2, 2, true},
      {{{"VANTORIX_DENSE_UPDATE", "Sharded"}}, 0, 2, 2, false},
      {{{"VANTORIX_DENSE_UPDATE", "local"}}, 16384, 1024, 256, false},
      {{{"VANTORIX_DENSE_UPDATE", "chunked"}}, 16384, 1024, 256, false},
      {{{"VANTORIX_DENSE_UPDATE", "reduce"}}, 16384, 1024, 256, false},
      {{{"VANTORIX_DENSE_UPDATE", "whatever"}}, 16384, 1024, 256, false},
  };
  for (const auto& c : cases) {
    ScopedEnv env(c.env);
    EXPECT_EQ(dense_center_update_sharded_enabled(c.rows, c.k, c.d), c.want) << c.rows << " " << c.k;
  }
  EXPECT_EQ(dense_update_chunk_rows(5000, 1000, 256, 2), 4096u);
  EXPECT_EQ(dense_update_chunk_rows(3000, 1000, 256, 2), 3000u);
  EXPECT_EQ(dense_update_chunk_rows(100000, 1024, 256, 2), 25000u);  // about two chunks per thread
  EXPECT_EQ(dense_update_chunk_rows(10000, 1024, 256, 2), 4096u);
  EXPECT_EQ(dense_update_chunk_rows(3000, 1024, 256, 2), 3000u);
}

TEST(DenseAccel, ShardedAndChunkedUpdatesGiveTheSameSums) {
  // Integer-valued rows sum exactly, so every strategy and split must agree bit for bit;
  // 5000 rows give the chunked strategy two chunks (4096 and 904 rows).
  const size_t rows = 5000, d = 6, k = 7;
  Matrix<float> data(rows, d);
  std::vector<size_t> labels(rows);
  std::vector<float> want(k * d, 0.0f);
  std::vector<uint64_t> want_counts(k, 0);
  for (size_t r = 0; r < rows; ++r) {
    labels[r] = (r * r) % (k - 1);  // the last cluster stays empty
    want_counts[labels[r]] += 1;
    for (size_t j = 0; j < d; ++j) {
      data.at(r, j) = float((r + 3 * j) % 11);
      want[labels[r] * d + j] += data.at(r, j);
    }
  }
  for (size_t threads : {1, 2, 3, 8}) {
    DenseUpdateScratch chunked, sharded;
    accumulate_row_chunked(data.view(), labels, k, chunked, threads);
    accumulate_center_sharded(data.view(), labels, k, sharded, threads);
    EXPECT_EQ(chunked.sums, want);
    EXPECT_EQ(sharded.sums, want);
    EXPECT_EQ(chunked.counts, want_counts);
    EXPECT_EQ(sharded.counts, want_counts);
  }
  // Buffers are reused across iterations: a second pass over other labels starts from zero.
  DenseUpdateScratch scratch;
  accumulate_row_chunked(data.view(), labels, k, scratch, 2);
  std::vector<size_t> zeros(rows, 0);
  accumulate_row_chunked(data.view(), zeros, k, scratch, 2);
  EXPECT_EQ(scratch.counts[0], rows);
  EXPECT_EQ(scratch.counts[1], 0u);
}
