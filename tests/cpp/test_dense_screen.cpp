#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include "scoped_env.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/stats.hpp"
#include "dense/dense.hpp"
#include "dense/dense_assign.hpp"
#include "dense/dense_bounds.hpp"
#include "dense/dense_screen.hpp"
#include "kernels/simd.hpp"

using namespace vantorix;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Small deterministic noise in [-0.5, 0.5).
struct Noise {
  uint32_t s;
  float next() {
    s = s * 1664525u + 1013904223u;
    return float(s >> 8) / float(1u << 24) - 0.5f;
  }
};

// What the direct kernels answer for every row, one row at a time.
void direct_reference(MatrixView<const float> data, const Matrix<float>& centers, bool cosine,
                      std::vector<size_t>& labels, std::vector<float>& distances) {
  const Matrix<float> rows = Matrix<float>::copy_of(data);
  const std::span<const float> flat(centers.data(), centers.size());
  labels.assign(data.rows, 0);
  distances.assign(data.rows, 0.0f);
  for (size_t r = 0; r < data.rows; ++r) {
    const auto best = cosine ? nearest_dot_center(rows.row(r), flat, centers.rows, centers.cols)
                             : nearest_l2_center(rows.row(r), flat, centers.rows, centers.cols);
    labels[r] = best.first;
    distances[r] = cosine ? 1.0f - best.second : best.second;
  }
}

std::vector<uint32_t> bits(const std::vector<float>& v) {
  std::vector<uint32_t> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) out[i] = std::bit_cast<uint32_t>(v[i]);
  return out;
}

// Screened with f32 products and with bf16 products (where this CPU has them: elsewhere the
// second run is the f32 screen again), the answers must be the direct kernels'.
void expect_same_as_direct(MatrixView<const float> data, const Matrix<float>& centers, bool cosine,
                           const std::string& what) {
  std::vector<size_t> want_labels;
  std::vector<float> want_distances;
  direct_reference(data, centers, cosine, want_labels, want_distances);
  for (const ScreenProducts products : {ScreenProducts::Fp32, ScreenProducts::Bf16}) {
    const bool half = products == ScreenProducts::Bf16;
    std::vector<size_t> labels(data.rows);
    std::vector<float> distances(data.rows);
    FitStats stats;
    {
      const StatsScope scope(stats);
      assign_dense_screened_into(data, centers, cosine, labels, distances, {products});
    }
    const std::string label = what + (cosine ? " cosine" : " l2") + (half ? " bf16" : " f32");
    EXPECT_EQ(labels, want_labels) << label;
    EXPECT_EQ(bits(distances), bits(want_distances)) << label;
    EXPECT_EQ(stats.screen_bf16_rows.load(), half && bf16_products_available() ? data.rows : 0u) << label;
    // Passed on to the caller's record, if it keeps one.
    add_count(active_stats(), &FitStats::screen_rows, stats.screen_rows.load());
    add_count(active_stats(), &FitStats::screen_confirmed, stats.screen_confirmed.load());
  }
  // And from rows prepared once, as a fit's passes read them: the norms for the f32 screen, the
  // bf16 copy added for the bf16 one (or, with no room for it, rounded again per block), then
  // both again from what was kept. Not counted in the caller's record.
  FitStats quiet;
  const StatsScope scope(quiet);
  for (const size_t room : {ScreenRows::kMaxKeptBytes, size_t(0)}) {
    ScreenRows kept(room);
    for (int pass = 0; pass < 2; ++pass) {
      for (const ScreenProducts products : {ScreenProducts::Fp32, ScreenProducts::Bf16}) {
        std::vector<size_t> labels(data.rows);
        std::vector<float> distances(data.rows);
        assign_dense_screened_into(data, centers, cosine, labels, distances, {products}, &kept);
        const std::string label = what + (cosine ? " cosine" : " l2") + " prepared, pass " + std::to_string(pass) +
                                  (products == ScreenProducts::Bf16 ? " bf16" : " f32") + (room ? "" : " no room");
        EXPECT_EQ(labels, want_labels) << label;
        EXPECT_EQ(bits(distances), bits(want_distances)) << label;
      }
    }
  }
}

Matrix<float> filled(size_t rows, size_t cols, const std::function<float(size_t, size_t)>& f) {
  Matrix<float> m(rows, cols);
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < cols; ++c) m.at(r, c) = f(r, c);
  }
  return m;
}

}  // namespace

TEST(DenseScreen, SameAnswersAsTheDirectKernelsOnAdversarialData) {
  struct Case {
    std::string what;
    Matrix<float> data, centers;
  };
  std::vector<Case> cases;
  // Rows spread around a few points, centers near them: the common case, with vector blocks of
  // centers and a tail (k = 37), and dimensions that are not a multiple of 4.
  for (size_t d : {1, 2, 3, 4, 5, 37}) {
    Noise n{uint32_t(d)};
    auto data = filled(700, d, [&](size_t r, size_t c) { return float((r * 7 + c * 3) % 11) + n.next(); });
    auto centers = filled(37, d, [&](size_t r, size_t c) { return float((r * 5 + c) % 11) + 0.25f * n.next(); });
    cases.push_back({"clustered d=" + std::to_string(d), std::move(data), std::move(centers)});
  }
  // k = 1, 2, 3 with duplicate centers: equal distances must go to the lower index.
  for (size_t k : {1, 2, 3}) {
    for (size_t d : {1, 3, 5}) {
      Noise n{uint32_t(10 * k + d)};
      auto data = filled(300, d, [&](size_t, size_t) { return 4.0f * n.next(); });
      auto centers = filled(k, d, [&](size_t r, size_t c) { return r == 2 ? 0.0f : float(c % 2) * 0.5f; });
      cases.push_back({"duplicates k=" + std::to_string(k) + " d=" + std::to_string(d), std::move(data),
                       std::move(centers)});
    }
  }
  // Long rows and many centers, where the bound is widest (it grows with d); 300 rows make two
  // product blocks at k = 1024.
  for (const auto& [k, d] : {std::pair<size_t, size_t>{1024, 784}, {2, 784}, {1024, 3}}) {
    Noise n{uint32_t(k + d)};
    auto data = filled(300, d, [&](size_t r, size_t c) { return float((r * 7 + c * 3) % 13) + n.next(); });
    auto centers = filled(k, d, [&](size_t r, size_t c) { return float((r * 5 + c) % 13) + 0.5f * n.next(); });
    cases.push_back({"k=" + std::to_string(k) + " d=" + std::to_string(d), std::move(data), std::move(centers)});
  }
  // Rows exactly half way between two centers (and on their common sphere in cosine mode).
  cases.push_back({"midpoints", filled(64, 4, [](size_t r, size_t c) { return c == 0 ? 0.0f : float(r % 9) - 4.0f; }),
                   filled(2, 4, [](size_t r, size_t c) { return c == 0 ? (r == 0 ? -1.0f : 1.0f) : 0.0f; })});
  // Norms near 1e18 and 1e-18: the expansion cancels catastrophically or squares underflow.
  for (float scale : {1e18f, 1e-18f, 3e-20f}) {
    Noise n{7};
    auto data = filled(200, 5, [&](size_t r, size_t c) { return scale * (float((r + c) % 5) + n.next()); });
    auto centers = filled(3, 5, [&](size_t r, size_t c) { return scale * float((r * 2 + c) % 5); });
    cases.push_back({"scale " + std::to_string(scale), std::move(data), std::move(centers)});
  }
  // Entries below 2^-126 (subnormal, which the bf16 tiles read as zero) among normal ones, and
  // data that bf16 holds exactly (small integers) with centers that it does not.
  {
    Noise n{13};
    auto data = filled(300, 33, [&](size_t r, size_t c) { return (r + c) % 3 == 0 ? 3e-39f * n.next() : 1e-30f * n.next(); });
    auto centers = filled(9, 33, [&](size_t r, size_t c) { return (r * 3 + c) % 4 == 0 ? 1e-39f : 1e-30f * n.next(); });
    cases.push_back({"subnormal entries", std::move(data), std::move(centers)});
    auto pixels = filled(400, 50, [&](size_t r, size_t c) { return float((r * 37 + c * c) % 256); });
    auto means = filled(20, 50, [&](size_t r, size_t c) { return float((r * 11 + c * c) % 256) + n.next() / 3.0f; });
    cases.push_back({"integer rows", std::move(pixels), std::move(means)});
  }
  // Non-finite rows among ordinary ones, and non-finite or huge centers.
  {
    Noise n{3};
    auto data = filled(40, 6, [&](size_t, size_t) { return n.next(); });
    data.at(1, 2) = kNaN;
    data.at(2, 0) = kInf;
    data.at(3, 5) = -kInf;
    for (size_t c = 0; c < 6; ++c) data.at(4, c) = kNaN;
    data.at(5, 1) = 3e30f;  // finite, but its squared norm is not
    auto centers = filled(20, 6, [&](size_t r, size_t c) { return float(r % 4) * 0.1f - float(c % 3) * 0.2f; });
    cases.push_back({"non-finite rows", data, centers});
    centers.at(0, 0) = kNaN;
    centers.at(3, 1) = kInf;
    centers.at(5, 4) = 1e25f;
    cases.push_back({"non-finite centers", std::move(data), std::move(centers)});
  }
  for (const auto& c : cases) {
    for (bool cosine : {false, true}) expect_same_as_direct(c.data.view(), c.centers, cosine, c.what);
  }
}

TEST(DenseScreen, NearTiesAreSettledByTheDirectKernel) {
  // Large norms widen the bound; the two centers sit at equal or nearly equal distances, so the
  // product cannot separate them and the direct kernel must measure both.
  const size_t d = 8;
  auto centers = filled(3, d, [](size_t r, size_t c) {
    const float base = 4096.0f + float(c);
    if (r == 0) return base + (c == 0 ? 1.0f : 0.0f);
    if (r == 1) return base + (c == 1 ? 1.0f : 0.0f);
    return -base;
  });
  auto data = filled(32, d, [](size_t r, size_t c) {
    // Row 0 is the exact tie; the others lean slightly towards one center or the other.
    const float lean = float(int(r) - 16) * 1e-3f;
    return 4096.0f + float(c) + (c == 0 ? lean : 0.0f);
  });
  for (bool cosine : {false, true}) {
    FitStats stats;
    {
      const StatsScope scope(stats);
      expect_same_as_direct(data.view(), centers, cosine, "near tie");
    }
    EXPECT_EQ(stats.screen_rows.load(), 64u);  // both products
    EXPECT_EQ(stats.screen_confirmed.load(), 64u) << cosine;
  }
  std::vector<size_t> labels(32);
  std::vector<float> distances(32);
  assign_dense_screened_into(data.view(), centers, false, labels, distances);
  EXPECT_EQ(labels[16], 0u);  // the exact tie goes to the lower index
}

TEST(DenseScreen, StridedRowsMatchContiguousOnes) {
  Noise n{11};
  const auto base = filled(900, 24, [&](size_t r, size_t c) { return float((r * 3 + c) % 7) + n.next(); });
  const auto centers = filled(40, 24, [&](size_t r, size_t c) { return float((r + c) % 7) + 0.1f * n.next(); });
  // Every other column of a wider matrix, rows in reverse order.
  Matrix<float> wide(900, 48, kNaN);
  for (size_t r = 0; r < 900; ++r) {
    for (size_t c = 0; c < 24; ++c) wide.at(899 - r, 2 * c) = base.at(r, c);
  }
  const MatrixView<const float> strided(wide.data() + 899 * 48, 900, 24, -48, 2);
  // Rows of a wider matrix with unit column stride go to the product in place.
  Matrix<float> padded(900, 30, kNaN);
  for (size_t r = 0; r < 900; ++r) {
    for (size_t c = 0; c < 24; ++c) padded.at(r, c) = base.at(r, c);
  }
  const MatrixView<const float> in_place(padded.data(), 900, 24, 30, 1);
  for (bool cosine : {false, true}) {
    std::vector<size_t> want(900), got(900), got2(900);
    std::vector<float> want_d(900), got_d(900), got2_d(900);
    assign_dense_screened_into(base.view(), centers, cosine, want, want_d);
    assign_dense_screened_into(strided, centers, cosine, got, got_d);
    assign_dense_screened_into(in_place, centers, cosine, got2, got2_d);
    EXPECT_EQ(got, want);
    EXPECT_EQ(bits(got_d), bits(want_d));
    EXPECT_EQ(got2, want);
    EXPECT_EQ(bits(got2_d), bits(want_d));
    expect_same_as_direct(strided, centers, cosine, "strided");
  }
}

TEST(DenseScreen, FitsAreUnchangedByScreening) {
  // The same fit screened and with the direct kernels alone, whichever way the measurement would
  // decide: forced on (f32 or bf16 products), forced off (VANTORIX_DENSE_SCREEN) and switched off
  // through VANTORIX_DENSE_ASSIGN=rows; also with Hamerly bounds, whose full passes need the
  // second-nearest distance as well.
  Noise n{5};
  const size_t rows = 16000, d = 40;
  const auto data = filled(rows, d, [&](size_t r, size_t c) { return float((r * 13 + c * 5) % 29) + 2.0f * n.next(); });
  for (const auto& [k, env] : std::vector<std::pair<size_t, EnvVars>>{
           {64, {}}, {64, {{"VANTORIX_DENSE_HAMERLY", "on"}}}}) {
    auto fit = [&](const char* screen, const char* assign, bool screened) {
      EnvVars vars = env;
      vars["VANTORIX_DENSE_SCREEN"] = screen;
      vars["VANTORIX_DENSE_ASSIGN"] = assign;
      ScopedEnv scoped(vars);
      EXPECT_EQ(dense_screen_pays(rows, k, d, false), screened);
      DenseKMeans model({.k = k, .iterations = 4, .seed = 9});
      model.fit(data.view());
      return model;
    };
    FitStats stats;
    std::optional<StatsScope> scope(std::in_place, stats);
    const auto screened = fit("on", "", true);
    scope.reset();
    EXPECT_GE(stats.screen_rows.load(), rows) << k;
    EXPECT_EQ(stats.screen_bf16_rows.load(), 0u) << k;
    FitStats half_stats;
    scope.emplace(half_stats);
    const auto half = fit("bf16", "", true);
    scope.reset();
    EXPECT_EQ(half_stats.screen_bf16_rows.load(), bf16_products_available() ? half_stats.screen_rows.load() : 0u);
    EXPECT_EQ(screened.labels(), half.labels()) << k;
    EXPECT_EQ(screened.inertia_history(), half.inertia_history()) << k;
    EXPECT_EQ(screened.centers()->values, half.centers()->values) << k;
    for (const auto& [screen, assign] : {std::pair{"off", ""}, std::pair{"on", "rows"}, std::pair{"bf16", "rows"}}) {
      const auto direct = fit(screen, assign, false);
      EXPECT_EQ(screened.labels(), direct.labels()) << k << screen << assign;
      EXPECT_EQ(screened.inertia_history(), direct.inertia_history()) << k << screen << assign;
      EXPECT_EQ(screened.centers()->values, direct.centers()->values) << k << screen << assign;
    }
  }
}

TEST(DenseScreen, UnforcedDecisionIsTheMeasuredOne) {
  ScopedEnv scoped({{"VANTORIX_DENSE_SCREEN", ""}, {"VANTORIX_DENSE_ASSIGN", ""}});
  for (const auto& [k, d, cosine] : std::vector<std::tuple<size_t, size_t, bool>>{{64, 40, false}, {300, 7, true}}) {
    const ScreenCalibration c = screen_calibration(k, d, cosine);
    EXPECT_GT(c.direct_seconds, 0.0);
    EXPECT_GT(c.screen_seconds, 0.0);
    EXPECT_GE(c.probe_rows, 64u);
    // The fastest of the three ways; bf16 is measured only where it runs.
    EXPECT_EQ(std::isfinite(c.bf16_seconds), bf16_products_available());
    EXPECT_EQ(c.screen, std::min(c.screen_seconds, c.bf16_seconds) < c.direct_seconds);
    EXPECT_EQ(c.products == ScreenProducts::Bf16, c.bf16_seconds < c.screen_seconds);
    if (bf16_products_available()) {
      EXPECT_GE(c.bf16_measured, 1.0);
    }
    // Measured once: a second look finds the same figures.
    EXPECT_EQ(screen_calibration(k, d, cosine).direct_seconds, c.direct_seconds);
    const auto choice = dense_screen_choice(100000, k, d, cosine);
    EXPECT_EQ(choice.has_value(), c.screen) << k << " " << d;
    if (choice) {
      EXPECT_EQ(choice->products, c.products);
    }
  }
  // Nothing to screen with one center, and a small call of a shape not yet measured is not worth
  // measuring.
  EXPECT_FALSE(dense_screen_pays(100000, 1, 40, false));
  EXPECT_FALSE(dense_screen_pays(10, 77, 41, false));
}

TEST(DenseScreen, BlocksBeyondTheMeasureBudgetSwitchToF32Products) {
  // A budget of no direct measurements at all: the first block, screened with bf16 products,
  // exceeds it, and every later block of the same screen uses f32 products. Answers never change.
  Noise n{17};
  const size_t d = 24, k = 40;
  const auto centers = filled(k, d, [&](size_t r, size_t c) { return float((r + c) % 7) + 0.1f * n.next(); });
  const size_t block = DenseScreen::block_rows_for(k);
  const auto data = filled(3 * block, d, [&](size_t r, size_t c) { return float((r * 3 + c) % 7) + n.next(); });
  std::vector<size_t> want, labels(data.rows);
  std::vector<float> want_d, distances(data.rows);
  direct_reference(data.view(), centers, false, want, want_d);
  FitStats stats;
  {
    const StatsScope scope(stats);
    DenseScreen counted(centers, false, {ScreenProducts::Bf16, 0.0});
    for (size_t b = 0; b < 3; ++b) {
      counted.nearest(data.data() + b * block * d, block, d, labels.data() + b * block, distances.data() + b * block,
                      nullptr);
    }
  }
  EXPECT_EQ(labels, want);
  EXPECT_EQ(bits(distances), bits(want_d));
  EXPECT_EQ(stats.screen_rows.load(), 3 * block);
  EXPECT_EQ(stats.screen_bf16_rows.load(), bf16_products_available() ? block : 0u);
}

TEST(DenseScreen, PreparedRowsServeOnlyTheirOwnData) {
  Noise n{23};
  const auto data = filled(100, 9, [&](size_t, size_t) { return n.next(); });
  const auto centers = filled(12, 9, [&](size_t, size_t) { return n.next(); });
  std::vector<size_t> labels(100);
  std::vector<float> distances(100);
  ScreenRows kept;
  assign_dense_screened_into(data.view(), centers, false, labels, distances, {}, &kept);
  const auto other = Matrix<float>::copy_of(data.view());
  EXPECT_THROW(assign_dense_screened_into(other.view(), centers, false, labels, distances, {}, &kept), FatalError);
  const MatrixView<const float> fewer(data.data(), 99, 9);
  EXPECT_THROW(assign_dense_screened_into(fewer, centers, false, labels, distances, {}, &kept), FatalError);
}

TEST(DenseScreen, AFitRepaysTheMeasurementOverItsPasses) {
  // Too few rows for one call to measure this shape for (it takes the direct kernels), but not
  // for a fit's six passes: the fit measures, and then a call of any size finds the decision.
  ScopedEnv scoped({{"VANTORIX_DENSE_SCREEN", ""}, {"VANTORIX_DENSE_ASSIGN", ""}});
  const size_t k = 1024, d = 120, rows = 2000;
  EXPECT_FALSE(dense_screen_pays(rows, k, d, false));
  EXPECT_FALSE(dense_screen_pays(10, k, d, false));
  Noise n{29};
  const auto data = filled(rows, d, [&](size_t r, size_t c) { return float((r * 7 + c) % 17) + n.next(); });
  DenseKMeans model({.k = k, .iterations = 5, .seed = 3});
  model.fit(data.view());
  // Read before anything else could measure the shape: a call of 10 rows finds the fit's decision.
  const bool decided = dense_screen_pays(10, k, d, false);
  EXPECT_EQ(decided, screen_calibration(k, d, false).screen);
}

TEST(DenseScreen, SmallCallsOfOneShapeRepayTheMeasurementTogether) {
  // Each call alone is too small to measure the shape for; enough of them are not.
  ScopedEnv scoped({{"VANTORIX_DENSE_SCREEN", ""}, {"VANTORIX_DENSE_ASSIGN", ""}});
  const size_t k = 1024, d = 136;
  for (int call = 0; call < 3; ++call) EXPECT_FALSE(dense_screen_pays(500, k, d, false)) << call;
  for (int call = 0; call < 100; ++call) dense_screen_pays(500, k, d, false);
  // Read before anything else could measure the shape: a call of 10 rows finds the decision.
  const bool decided = dense_screen_pays(10, k, d, false);
  EXPECT_EQ(decided, screen_calibration(k, d, false).screen);
}

TEST(DenseScreen, AnswersDoNotDependOnTheBlockSize) {
  // Every block size the calibration may pick, and sizes no rule would (one row, 33 rows), with
  // f32 and bf16 products, on one worker and on all: the block only decides which centers the
  // direct kernel measures, never which kernel gives an answer. The rows end in a short block
  // at every size, and neither k is a multiple of the vector or tile width over the centers.
  struct Case {
    size_t rows, k, d;
  };
  for (const Case& c : {Case{700, 37, 19}, Case{600, 1000, 24}}) {
    Noise n{uint32_t(c.k)};
    const auto data = filled(c.rows, c.d, [&](size_t r, size_t j) { return float((r * 7 + j * 3) % 11) + n.next(); });
    const auto centers = filled(c.k, c.d, [&](size_t r, size_t j) { return float((r * 5 + j) % 11) + 0.3f * n.next(); });
    std::vector<size_t> want;
    std::vector<float> want_d;
    direct_reference(data.view(), centers, false, want, want_d);
    std::vector<size_t> sizes = DenseScreen::block_rows_candidates(c.k);
    ASSERT_EQ(sizes.size(), 3u) << c.k;
    EXPECT_EQ(sizes[1], DenseScreen::block_rows_for(c.k)) << c.k;
    sizes.insert(sizes.end(), {1, 33});
    for (const size_t threads : {1, 2}) {
      const tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
      for (const ScreenProducts products : {ScreenProducts::Fp32, ScreenProducts::Bf16}) {
        for (const size_t block : sizes) {
          std::vector<size_t> labels(c.rows);
          std::vector<float> distances(c.rows);
          assign_dense_screened_into(data.view(), centers, false, labels, distances,
                                     {products, std::numeric_limits<double>::infinity(), block});
          const std::string what = "k=" + std::to_string(c.k) + " block=" + std::to_string(block) +
                                   " threads=" + std::to_string(threads) +
                                   (products == ScreenProducts::Bf16 ? " bf16" : " f32");
          EXPECT_EQ(labels, want) << what;
          EXPECT_EQ(bits(distances), bits(want_d)) << what;
        }
      }
    }
  }
  // A fit with Hamerly bounds, whose full passes also need each row's second-nearest distance,
  // with the block size forced through VANTORIX_DENSE_SCREEN_BLOCK_ROWS: the same fit as the
  // direct kernels alone.
  Noise n{31};
  const size_t rows = 3000, d = 20, k = 37;
  const auto data = filled(rows, d, [&](size_t r, size_t c) { return float((r * 13 + c * 5) % 23) + 2.0f * n.next(); });
  auto fit = [&](const char* screen, const char* block) {
    ScopedEnv scoped({{"VANTORIX_DENSE_SCREEN", screen}, {"VANTORIX_DENSE_SCREEN_BLOCK_ROWS", block},
                      {"VANTORIX_DENSE_HAMERLY", "on"}});
    DenseKMeans model({.k = k, .iterations = 4, .seed = 4});
    model.fit(data.view());
    return model;
  };
  const auto direct = fit("off", "");
  for (const char* block : {"1", "33", "256", "1024"}) {
    for (const char* screen : {"on", "bf16"}) {
      const auto screened = fit(screen, block);
      EXPECT_EQ(screened.labels(), direct.labels()) << screen << " " << block;
      EXPECT_EQ(screened.inertia_history(), direct.inertia_history()) << screen << " " << block;
      EXPECT_EQ(screened.centers()->values, direct.centers()->values) << screen << " " << block;
    }
  }
}

TEST(DenseScreen, ForcedBlockRowsReachTheScreen) {
  // The switch gives the rows per block of every screened call, forced screen or measured; zero
  // and unreadable text leave it unset, and a size beyond 64 MiB of products per worker is cut.
  const size_t k = 128, d = 30;
  const size_t fallback = DenseScreen::block_rows_for(k);
  const Matrix<float> centers(k, d);
  struct Case {
    const char* text;
    size_t want;  // 0: whatever the process measured, or the default
  };
  for (const Case& c : {Case{"33", 33}, Case{"1", 1}, Case{"0", 0}, Case{"", 0}, Case{"lots", 0},
                        Case{"99999999999", (size_t(1) << 24) / k}}) {
    ScopedEnv scoped({{"VANTORIX_DENSE_SCREEN", "on"}, {"VANTORIX_DENSE_SCREEN_BLOCK_ROWS", c.text}});
    const auto choice = dense_screen_choice(1000, k, d, false);
    ASSERT_TRUE(choice.has_value()) << c.text;
    const auto known = known_screen_calibration(k, d, false);
    EXPECT_EQ(choice->block_rows, c.want ? c.want : known ? known->block_rows : 0) << c.text;
    EXPECT_EQ(DenseScreen(centers, false, *choice).block_rows(), choice->block_rows ? choice->block_rows : fallback)
        << c.text;
  }
}

TEST(DenseScreen, TheDecisionDoesNotWaitForTheBlockSizes) {
  // Rows that repay the screen-or-direct measurement but not the block sizes' as well: the screen
  // is decided (and taken, where it wins) with the default block; more rows of the same shape
  // then measure the block sizes, and every later call gets the block measured. The decision's
  // probe here: 512 rows, 3 runs each way, repaid 4 times.
  ScopedEnv scoped({{"VANTORIX_DENSE_SCREEN", ""}, {"VANTORIX_DENSE_ASSIGN", ""},
                    {"VANTORIX_DENSE_SCREEN_BLOCK_ROWS", ""}});
  const size_t k = 256, d = 48;
  const size_t ways = bf16_products_available() ? 3 : 2;
  const size_t decision_rows = 4 * ways * 3 * 512;
  ASSERT_FALSE(known_screen_calibration(k, d, false).has_value());
  EXPECT_FALSE(dense_screen_pays(decision_rows - 1, k, d, false));
  EXPECT_FALSE(known_screen_calibration(k, d, false).has_value());
  const auto first = dense_screen_choice(1, k, d, false);
  const auto decided = known_screen_calibration(k, d, false);
  ASSERT_TRUE(decided.has_value());
  EXPECT_EQ(decided->probe_rows, 512u);
  EXPECT_EQ(first.has_value(), decided->screen);
  if (!decided->screen) return;  // nothing to size on this machine
  EXPECT_EQ(first->block_rows, DenseScreen::block_rows_for(k));
  if (decided->blocks_decided) {
    // Where not even the default block fits the sizes' time budget (slow kernels, a slow
    // machine), there is nothing to compare and the default stays without a measurement.
    EXPECT_TRUE(decided->block_sizes.empty());
    EXPECT_EQ(decided->block_rows, DenseScreen::block_rows_for(k));
    return;
  }
  const auto later = dense_screen_choice(1000000, k, d, false);
  const auto measured = known_screen_calibration(k, d, false);
  ASSERT_TRUE(later.has_value());
  EXPECT_TRUE(measured->blocks_decided);
  EXPECT_EQ(later->block_rows, measured->block_rows);
  // The same decision, measured once.
  EXPECT_EQ(measured->direct_seconds, decided->direct_seconds);
  if (!measured->block_sizes.empty()) {
    const auto& sizes = measured->block_sizes;
    EXPECT_EQ(measured->block_seconds.size(), sizes.size());
    const auto at = std::find(sizes.begin(), sizes.end(), measured->block_rows) - sizes.begin();
    const auto fallback =
        std::find(sizes.begin(), sizes.end(), DenseScreen::block_rows_for(k)) - sizes.begin();
    ASSERT_LT(size_t(fallback), sizes.size());
    ASSERT_LT(size_t(at), sizes.size());
    // The default, or a size measured faster than it.
    EXPECT_LE(measured->block_seconds[at], measured->block_seconds[fallback]);
  }
  EXPECT_EQ(dense_screen_choice(10, k, d, false)->block_rows, measured->block_rows);
}
