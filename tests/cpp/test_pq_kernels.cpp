#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "core/rng.hpp"
#include "kernels/pq_kernels.hpp"
#include "kernels/simd.hpp"
#include "pq/pq.hpp"

using namespace vantorix;

namespace {

std::vector<float> random_values(size_t count, uint64_t seed) {
  SeededRng rng(seed);
  std::vector<float> v(count);
  for (float& x : v) x = float(rng.uniform_f64(-2.0, 2.0));
  return v;
}

// The reference: one DistanceKernel call per codeword, first strictly smaller wins.
std::pair<uint32_t, float> scan_nearest(DistanceKernel kernel, const float* x, const float* centers, size_t ks,
                                        size_t ds) {
  uint32_t best_index = 0;
  float best = std::numeric_limits<float>::infinity();
  for (size_t j = 0; j < ks; ++j) {
    const float d = kernel.distance({x, ds}, {centers + j * ds, ds});
    if (d < best) {
      best = d;
      best_index = uint32_t(j);
    }
  }
  return {best_index, best};
}

}  // namespace

TEST(LaneCodebook, BitIdenticalToOneCodewordAtATime) {
  const size_t dims[] = {1, 2, 3, 4, 5, 8, 12, 16, 32, 64, 100};
  const size_t sizes[] = {1, 5, 16, 17, 256};
  for (SimdPreference pref : {SimdPreference::Auto, SimdPreference::Scalar}) {
    for (size_t ds : dims) {
      const DistanceKernel kernel = DistanceKernel::for_dimension_with(pref, ds);
      for (size_t ks : sizes) {
        SCOPED_TRACE(testing::Message() << "ds=" << ds << " ks=" << ks << " kernel=" << int(kernel.kind));
        auto centers = random_values(ks * ds, ds * 1000 + ks);
        if (ks > 4) {
          // A duplicate codeword (exact tie, the lower index must win) and a NaN one (never wins).
          std::copy_n(centers.begin() + 1 * ds, ds, centers.begin() + 3 * ds);
          centers[4 * ds] = std::numeric_limits<float>::quiet_NaN();
        }
        const LaneCodebook book(centers.data(), ks, ds, kernel);
        const auto queries = random_values(40 * ds, ds + ks);
        for (size_t q = 0; q < 40; ++q) {
          const float* x = q < std::min<size_t>(3, ks) ? centers.data() + q * ds : queries.data() + q * ds;
          const auto got = book.nearest(x);
          const auto want = scan_nearest(kernel, x, centers.data(), ks, ds);
          EXPECT_EQ(got.first, want.first) << q;
          EXPECT_EQ(std::bit_cast<uint32_t>(got.second), std::bit_cast<uint32_t>(want.second)) << q;
        }
        // Many rows per call (narrow subspaces put rows side by side), strided, a NaN row among them.
        const size_t stride = ds + 3, count = 40;
        std::vector<float> strided(count * stride, 0.0f);
        for (size_t q = 0; q < count; ++q) {
          const float* x = q < std::min<size_t>(3, ks) ? centers.data() + q * ds : queries.data() + q * ds;
          std::copy_n(x, ds, strided.begin() + ptrdiff_t(q * stride));
        }
        strided[5 * stride] = std::numeric_limits<float>::quiet_NaN();
        std::vector<std::pair<uint32_t, float>> rows(count);
        book.nearest_rows(strided.data(), ptrdiff_t(stride), count, rows.data());
        for (size_t q = 0; q < count; ++q) {
          const auto want = scan_nearest(kernel, strided.data() + q * stride, centers.data(), ks, ds);
          EXPECT_EQ(rows[q].first, want.first) << "row " << q;
          EXPECT_EQ(std::bit_cast<uint32_t>(rows[q].second), std::bit_cast<uint32_t>(want.second)) << "row " << q;
        }
      }
    }
  }
}

TEST(LaneCodebook, PrunedSearchMatchesFullScanOnNearTies) {
  // Far from the origin and close together: the expansion's rounding is large next to the
  // gaps between distances, so the candidate bounds are what keeps the result exact.
  for (size_t ds : {32, 40, 64, 100}) {
    for (SimdPreference pref : {SimdPreference::Auto, SimdPreference::Scalar}) {
      const DistanceKernel kernel = DistanceKernel::for_dimension_with(pref, ds);
      SCOPED_TRACE(testing::Message() << "ds=" << ds << " kernel=" << int(kernel.kind));
      const size_t ks = 70 * pq_lane_width() / 4;  // enough lane blocks to prune
      auto centers = random_values(ks * ds, ds);
      for (float& v : centers) v = 1000.0f + v * 1e-3f;
      std::copy_n(centers.begin(), ds, centers.begin() + 9 * ds);  // exact tie with codeword 0
      centers[5 * ds + 1] = std::numeric_limits<float>::quiet_NaN();  // never a candidate
      const LaneCodebook book(centers.data(), ks, ds, kernel);
      auto queries = random_values(200 * ds, ds + 1);
      for (float& v : queries) v = 1000.0f + v * 1e-3f;
      std::copy_n(centers.begin(), ds, queries.begin());  // sits on codewords 0 and 9
      for (size_t q = 0; q < 200; ++q) {
        const float* x = queries.data() + q * ds;
        const auto got = book.nearest(x);
        const auto want = scan_nearest(kernel, x, centers.data(), ks, ds);
        ASSERT_EQ(got.first, want.first) << q;
        ASSERT_EQ(std::bit_cast<uint32_t>(got.second), std::bit_cast<uint32_t>(want.second)) << q;
        ASSERT_EQ(book.nearest_full_scan(x), want) << q;
      }
      // Several rows per pass (quads plus a remainder, across two batches) agree as well.
      std::vector<std::pair<uint32_t, float>> rows(23);
      book.nearest_rows(queries.data() + ds, ptrdiff_t(ds), rows.size(), rows.data());
      for (size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i], book.nearest_full_scan(queries.data() + (i + 1) * ds)) << i;
      }
      // Non-finite queries take the full scan.
      std::vector<float> bad(queries.begin(), queries.begin() + ds);
      bad[3] = std::numeric_limits<float>::infinity();
      EXPECT_EQ(book.nearest(bad.data()), scan_nearest(kernel, bad.data(), centers.data(), ks, ds));
      // So does a codebook whose squared norms leave the float range.
      auto huge = centers;
      std::fill_n(huge.begin() + 7 * ds, ds, 3e38f);
      const LaneCodebook wide(huge.data(), ks, ds, kernel);
      for (size_t q = 0; q < 5; ++q) {
        const float* x = queries.data() + q * ds;
        EXPECT_EQ(wide.nearest(x), scan_nearest(kernel, x, huge.data(), ks, ds)) << q;
      }
    }
  }
}

TEST(LaneCodebook, AllNanQueryKeepsIndexZero) {
  const auto centers = random_values(20 * 8, 3);
  const LaneCodebook book(centers.data(), 20, 8, DistanceKernel::for_dimension(8));
  const std::vector<float> x(8, std::numeric_limits<float>::quiet_NaN());
  const auto got = book.nearest(x.data());
  EXPECT_EQ(got.first, 0u);
  EXPECT_EQ(got.second, std::numeric_limits<float>::infinity());
}

TEST(TransposedCodebook, MatchesRepeatedAddScaledSweeps) {
  const size_t m = 3;
  for (size_t ks : {1, 7, 16, 64, 100, 256}) {
    for (size_t ds : {1, 4, 6}) {
      SCOPED_TRACE(testing::Message() << "ks=" << ks << " ds=" << ds);
      const auto codewords = random_values(m * ks * ds, ks * 10 + ds);
      const TransposedCodebook book(codewords.data(), m, ks, ds);
      const auto queries = random_values(30 * m * ds, ks + ds);
      std::vector<float> scratch(ds), acc(ks);
      for (size_t q = 0; q < 30; ++q) {
        for (size_t sub = 0; sub < m; ++sub) {
          const float* x = queries.data() + (q * m + sub) * ds;
          for (size_t k = 0; k < ks; ++k) {
            float norm = 0.0f;
            for (size_t d = 0; d < ds; ++d) {
              const float c = codewords[(sub * ks + k) * ds + d];
              norm = norm + c * c;
            }
            acc[k] = norm;
          }
          for (size_t d = 0; d < ds; ++d) {
            add_scaled(acc, std::span<const float>(book.table().data() + (sub * ds + d) * ks, ks), x[d] * -2.0f);
          }
          uint32_t want = 0;
          float best = std::numeric_limits<float>::infinity();
          for (size_t k = 0; k < ks; ++k) {
            if (acc[k] < best) {
              best = acc[k];
              want = uint32_t(k);
            }
          }
          EXPECT_EQ(book.nearest(sub, x, scratch.data()), want) << q << " " << sub;
        }
      }
    }
  }
}

TEST(EncodeStrategy, EnvironmentAndAdaptiveRule) {
  struct Case {
    const char* encode;      // nullptr: unset
    const char* transposed;  // nullptr: unset
    size_t n, m, ks;
    EncodeStrategy want;
  };
  using enum EncodeStrategy;
  const Case cases[] = {
      {nullptr, nullptr, 512, 8, 256, Transposed},  // n*M = 4096
      {nullptr, nullptr, 511, 8, 256, Direct},
      {nullptr, nullptr, 1000000, 8, 32, Direct},
      {nullptr, nullptr, 1000000, 8, 64, Transposed},
      {"", nullptr, 512, 8, 256, Transposed},
      {"Adaptive", nullptr, 511, 8, 256, Direct},
      {"Transposed", nullptr, 10, 8, 16, Transposed},
      {"TRANS_POSED", nullptr, 10, 8, 16, Transposed},
      {"faiss", nullptr, 10, 8, 16, Transposed},
      {"direct", nullptr, 1000000, 8, 256, Direct},
      {"1", nullptr, 1000000, 8, 256, Direct},
      {nullptr, "transposed", 10, 8, 16, Transposed},
      {nullptr, "1", 1000000, 8, 256, Direct},
      {"direct", "transposed", 10, 8, 16, Direct},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.encode ? c.encode : "<unset>") << " / "
                                    << (c.transposed ? c.transposed : "<unset>") << " n=" << c.n);
    c.encode ? setenv("VANTORIX_PQ_ENCODE", c.encode, 1) : unsetenv("VANTORIX_PQ_ENCODE");
    c.transposed ? setenv("VANTORIX_PQ_ENCODE_TRANSPOSED", c.transposed, 1)
                 : unsetenv("VANTORIX_PQ_ENCODE_TRANSPOSED");
    EXPECT_EQ(choose_encode_strategy(c.n, c.m, c.ks), c.want);
  }
  unsetenv("VANTORIX_PQ_ENCODE");
  unsetenv("VANTORIX_PQ_ENCODE_TRANSPOSED");
}

TEST(SubspaceKMeans, ChunkRows) {
  EXPECT_EQ(subspace_chunk_rows(100000, 256, 8, 2), 256u);
  EXPECT_EQ(subspace_chunk_rows(100, 256, 8, 2), 100u);
  // 256 x 1024 floats of sums pass 1 MiB: a quarter of the rows with two threads, at least 256.
  EXPECT_EQ(subspace_chunk_rows(100001, 256, 1024, 2), 25001u);
  EXPECT_EQ(subspace_chunk_rows(600, 256, 1024, 2), 256u);
  EXPECT_EQ(subspace_chunk_rows(200, 256, 1024, 2), 200u);
}
