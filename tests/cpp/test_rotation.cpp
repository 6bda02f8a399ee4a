#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "core/rng.hpp"
#include "pq/rotation.hpp"

using namespace vantorix;

namespace {

Matrix<float> random_matrix(size_t rows, size_t cols, uint64_t seed) {
  SeededRng rng(seed);
  Matrix<float> m(rows, cols);
  for (float& v : m.values) v = float(rng.uniform_f64(-1.0, 1.0));
  return m;
}

Matrix<float> naive_product(MatrixView<const float> a, MatrixView<const float> b) {
  Matrix<float> out(a.rows, b.cols);
  for (size_t i = 0; i < a.rows; ++i)
    for (size_t j = 0; j < b.cols; ++j) {
      double s = 0.0;
      for (size_t k = 0; k < a.cols; ++k) s += double(a.at(i, k)) * double(b.at(k, j));
      out.at(i, j) = float(s);
    }
  return out;
}

void expect_near_matrix(const Matrix<float>& got, const Matrix<float>& want, float tol) {
  ASSERT_EQ(got.rows, want.rows);
  ASSERT_EQ(got.cols, want.cols);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got.values[i], want.values[i], tol) << i;
}

void expect_orthogonal(const Matrix<float>& r, float tol) {
  const auto rtr = naive_product(transposed(r.view()), r.view());
  for (size_t i = 0; i < r.rows; ++i)
    for (size_t j = 0; j < r.cols; ++j) EXPECT_NEAR(rtr.at(i, j), i == j ? 1.0f : 0.0f, tol);
}

std::string error_text(auto&& call) {
  try {
    call();
  } catch (const VantorixError& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(Rotation, MatchesNaiveProductForEveryOperandLayout) {
  const auto rows = random_matrix(7, 5, 1);
  const auto rot = random_matrix(5, 5, 2);
  const auto want = naive_product(rows.view(), rot.view());
  const auto rows_t = random_matrix(5, 7, 3);  // its transposed view is a column-major 7 x 5
  // Every other column of a 7 x 10 buffer: no unit stride in either direction, so it is copied.
  Matrix<float> wide(7, 10);
  for (size_t r = 0; r < 7; ++r)
    for (size_t c = 0; c < 5; ++c) wide.at(r, 2 * c) = rows.at(r, c);
  const MatrixView<const float> strided(wide.data(), 7, 5, 10, 2);

  expect_near_matrix(apply_rotation(rows.view(), rot.view()), want, 1e-5f);
  expect_near_matrix(apply_rotation(strided, rot.view()), want, 1e-5f);
  expect_near_matrix(apply_rotation(transposed(rows_t.view()), rot.view()),
                     naive_product(transposed(rows_t.view()), rot.view()), 1e-5f);
  // R^T through the transposed view equals the product with a materialised transpose.
  const auto rot_t = Matrix<float>::copy_of(transposed(rot.view()));
  expect_near_matrix(apply_rotation(rows.view(), transposed(rot.view())),
                     naive_product(rows.view(), rot_t.view()), 1e-5f);
}

TEST(Rotation, IntoOverwritesPreviousContentsAndWritesOnlyItsRows) {
  const auto rows = random_matrix(3, 4, 4);
  const auto rot = random_matrix(4, 4, 5);
  Matrix<float> buffer(5, 4, std::numeric_limits<float>::quiet_NaN());
  apply_rotation_into(rows.view(), rot.view(), MatrixView<float>(buffer.data(), 3, 4));
  const auto want = naive_product(rows.view(), rot.view());
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 4; ++c) EXPECT_NEAR(buffer.at(r, c), want.at(r, c), 1e-5f);
  for (size_t r = 3; r < 5; ++r)
    for (size_t c = 0; c < 4; ++c) EXPECT_TRUE(std::isnan(buffer.at(r, c)));
}

TEST(Rotation, EmptyInputs) {
  const Matrix<float> none(0, 4);
  const auto rot = random_matrix(4, 4, 6);
  EXPECT_EQ(apply_rotation(none.view(), rot.view()).rows, 0u);
  const Matrix<float> no_cols(3, 0), no_rot(0, 0);
  const auto out = apply_rotation(no_cols.view(), no_rot.view());
  EXPECT_EQ(out.rows, 3u);
  EXPECT_EQ(out.cols, 0u);
}

TEST(Rotation, ShapeErrorsLeaveOutputUntouched) {
  const auto rows = random_matrix(5, 4, 7);
  const std::string square = "rotation must be square and match the input dimensionality";
  EXPECT_EQ(error_text([&] { apply_rotation(rows.view(), random_matrix(4, 3, 8).view()); }), square);
  EXPECT_EQ(error_text([&] { apply_rotation(rows.view(), random_matrix(3, 3, 8).view()); }), square);
  Matrix<float> out(4, 4, 9.0f);
  EXPECT_EQ(error_text([&] { apply_rotation_into(rows.view(), random_matrix(4, 4, 8).view(), out); }),
            "rotation output must match the rotated matrix shape");
  for (float v : out.values) EXPECT_EQ(v, 9.0f);
}

TEST(Procrustes, RecoversIdentityAndKnownRotation) {
  const auto a = random_matrix(40, 6, 10);
  const auto same = orthogonal_procrustes(a.view(), a.view());
  Matrix<float> eye(6, 6);
  for (size_t i = 0; i < 6; ++i) eye.at(i, i) = 1.0f;
  expect_near_matrix(same, eye, 1e-4f);

  // Q: the orthogonal factor of a random matrix, itself obtained from the solver.
  const auto q = orthogonal_procrustes(random_matrix(20, 6, 11).view(), random_matrix(20, 6, 12).view());
  expect_orthogonal(q, 1e-5f);
  const auto aq = naive_product(a.view(), q.view());
  expect_near_matrix(orthogonal_procrustes(a.view(), aq.view()), q, 1e-4f);
  // Strided inputs (A given through a transposed view) give the same answer.
  const auto a_t = Matrix<float>::copy_of(transposed(a.view()));
  expect_near_matrix(orthogonal_procrustes(transposed(a_t.view()), aq.view()), q, 1e-4f);
}

TEST(Procrustes, Errors) {
  EXPECT_EQ(error_text([] { orthogonal_procrustes(random_matrix(10, 4, 1).view(), random_matrix(10, 5, 1).view()); }),
            "orthogonal procrustes inputs must have matching shapes");
  auto bad = random_matrix(10, 4, 1);
  bad.at(3, 2) = std::numeric_limits<float>::quiet_NaN();
  try {
    orthogonal_procrustes(bad.view(), random_matrix(10, 4, 2).view());
    FAIL() << "non-finite input accepted";
  } catch (const VantorixError& e) {
    EXPECT_EQ(e.kind(), VantorixError::Kind::Linalg);
    EXPECT_EQ(std::string(e.what()).rfind("linear algebra error: ", 0), 0u);
  }
}

TEST(RotationBatch, RowsFromBudget) {
  struct Case {
    size_t dim;
    std::optional<size_t> mib;
    size_t rows;
  };
  const Case cases[] = {
      {4, std::nullopt, 32768},   // 32 MiB / 16 bytes = 2,097,152, clamped
      {1024, std::nullopt, 8192},
      {1024, 64, 16384},
      {1024, 8, 2048},
      {1u << 20, std::nullopt, 256},  // below the floor
      {0, std::nullopt, 256},
      {1024, std::numeric_limits<size_t>::max(), 32768},  // saturates, then clamps
  };
  for (const auto& c : cases) EXPECT_EQ(rotation_batch_rows_for(c.dim, c.mib), c.rows) << c.dim;
}

TEST(RotationBatch, BudgetOverrideParsing) {
  EXPECT_EQ(parse_rotation_batch_mib(std::string("64")), std::optional<size_t>(64));
  EXPECT_EQ(parse_rotation_batch_mib(std::string("+8")), std::optional<size_t>(8));
  for (const char* text : {"0", "-1", "8MiB", " 8", "", "99999999999999999999"}) {
    EXPECT_EQ(parse_rotation_batch_mib(std::string(text)), std::nullopt) << text;
  }
  EXPECT_EQ(parse_rotation_batch_mib(std::nullopt), std::nullopt);
}

TEST(VarianceQuantile, PicksSpreadDistinctRowsOfTheWidestColumn) {
  // Column 1 has the larger variance; its values are the row index reversed.
  Matrix<float> data(10, 2);
  for (size_t r = 0; r < 10; ++r) {
    data.at(r, 0) = float(r % 2);
    data.at(r, 1) = float(10 - r) * 3.0f;
  }
  // Positions floor((q + 0.5) * 10 / 5) = 1, 3, 5, 7, 9 of the ascending order 9, 8, ..., 0.
  EXPECT_EQ(variance_quantile_indices(data.view(), 5), (std::vector<size_t>{8, 6, 4, 2, 0}));
  // k = n takes every row once.
  auto all = variance_quantile_indices(data.view(), 10);
  EXPECT_EQ(std::set<size_t>(all.begin(), all.end()).size(), 10u);
}

TEST(VarianceQuantile, TiesAndSmallCases) {
  // Constant data: every column ties (the last wins) and the sort may leave any order, yet the
  // rows handed out are distinct.
  Matrix<float> data(4, 3, 1.0f);
  auto idx = variance_quantile_indices(data.view(), 4);
  EXPECT_EQ(std::set<size_t>(idx.begin(), idx.end()).size(), 4u);
  // k = n = 3: positions 0, 1, 2 of the ascending order (rows 1, 2, 0).
  Matrix<float> three(3, 1);
  three.at(0, 0) = 2.0f;
  three.at(1, 0) = 0.0f;
  three.at(2, 0) = 1.0f;
  EXPECT_EQ(variance_quantile_indices(three.view(), 3), (std::vector<size_t>{1, 2, 0}));
  EXPECT_TRUE(variance_quantile_indices(three.view(), 0).empty());
}

TEST(VarianceQuantile, NonFiniteValuesDoNotBreakTheOrder) {
  Matrix<float> data(6, 2);
  for (size_t r = 0; r < 6; ++r) data.at(r, 0) = data.at(r, 1) = float(r);
  data.at(2, 1) = std::numeric_limits<float>::quiet_NaN();
  data.at(4, 1) = -std::numeric_limits<float>::infinity();
  auto idx = variance_quantile_indices(data.view(), 6);
  EXPECT_EQ(std::set<size_t>(idx.begin(), idx.end()).size(), 6u);
}

TEST(QuantileInit, Errors) {
  const auto data = random_matrix(3, 2, 1);
  const std::string too_many = "cannot initialize more centers than samples";
  EXPECT_EQ(error_text([&] { variance_quantile_indices(data.view(), 4); }), too_many);
  EXPECT_EQ(error_text([&] { pca_quantile_indices(data.view(), 4); }), too_many);
  const Matrix<float> no_cols(3, 0);
  EXPECT_EQ(error_text([&] { variance_quantile_indices(no_cols.view(), 2); }), "data must have at least one column");
  EXPECT_EQ(error_text([&] { pca_quantile_indices(no_cols.view(), 2); }), "svd did not return right singular vectors");
}

TEST(PcaQuantile, FollowsThePrincipalAxis) {
  // Points on the line y = 2x (plus a tiny orthogonal wobble) in shuffled order: the projection
  // order is the order of x (up to the axis' sign).
  const float xs[] = {3, -1, 4, 0, -5, 2, 1, -2};
  Matrix<float> data(8, 2);
  for (size_t r = 0; r < 8; ++r) {
    data.at(r, 0) = xs[r];
    data.at(r, 1) = 2 * xs[r] + (r % 2 ? 1e-3f : -1e-3f);
  }
  const auto idx = pca_quantile_indices(data.view(), 4);
  // Positions 1, 3, 5, 7 of the order by x: -2, 0, 2, 4 (rows 7, 3, 5, 2) or reversed.
  const std::vector<size_t> up{7, 3, 5, 2}, down{0, 6, 1, 4};
  EXPECT_TRUE(idx == up || idx == down) << idx[0] << idx[1] << idx[2] << idx[3];
}
