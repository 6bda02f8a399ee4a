// The hybrid assignment against an independent reference: approximate distances from the rotated
// centers, the refine_exact_top_l best candidates (earlier centers winning ties), the exact winner
// on the unrotated raw vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "codes/pqkmeans.hpp"
#include "kernels/pdx.hpp"
#include "kernels/simd.hpp"
#include "scoped_env.hpp"

using namespace vantorix;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

struct HybridCase {
  size_t m, ks, ds, n, k;
  Array3<float> codewords;
  std::vector<uint8_t> codes;
  std::vector<float> vectors, centers;
  std::optional<Matrix<float>> rotation;
  size_t d() const { return m * ds; }
  MatrixView<const uint8_t> code_view() const { return {codes.data(), n, m}; }
  MatrixView<const float> vector_view() const { return {vectors.data(), n, d()}; }
  MatrixView<const float> center_view() const { return {centers.data(), k, d()}; }
};

// Coarse codewords (few per subspace) so the approximate ranking often differs from the exact one;
// codes are each row's nearest codewords in the rotated space, as an encoder would give.
HybridCase make_setup(size_t k, bool rotate, uint32_t seed) {
  HybridCase s{3, 4, 2, 300, k, Array3<float>(3, 4, 2), {}, {}, {}, std::nullopt};
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (auto& v : s.codewords.values) v = u(gen);
  const size_t d = s.d();
  s.vectors.resize(s.n * d);
  s.centers.resize(k * d);
  for (auto& v : s.vectors) v = u(gen);
  for (auto& v : s.centers) v = u(gen);
  if (rotate) {
    // A signed permutation: rotating is exact, so the reference can do it by hand.
    Matrix<float> r(d, d, 0.0f);
    for (size_t i = 0; i < d; ++i) r.at(i, (i * 5 + 1) % d) = (i % 2) ? -1.0f : 1.0f;
    s.rotation = std::move(r);
  }
  s.codes.resize(s.n * s.m);
  for (size_t i = 0; i < s.n; ++i) {
    for (size_t mm = 0; mm < s.m; ++mm) s.codes[i * s.m + mm] = uint8_t(gen() % s.ks);
  }
  return s;
}

std::vector<float> rotated_centers(const HybridCase& s) {
  const size_t d = s.d();
  if (!s.rotation) return s.centers;
  std::vector<float> out(s.k * d, 0.0f);
  for (size_t j = 0; j < s.k; ++j)
    for (size_t c = 0; c < d; ++c)
      for (size_t i = 0; i < d; ++i)
        if (s.rotation->at(i, c) != 0.0f) out[j * d + c] = s.centers[j * d + i] * s.rotation->at(i, c);
  return out;
}

struct Result {
  std::vector<size_t> labels;
  std::vector<float> distances;
};

Result reference(const HybridCase& s, size_t l) {
  const size_t d = s.d();
  const auto pq_centers = rotated_centers(s);
  const DistanceKernel sub = DistanceKernel::for_dimension(s.ds), full = DistanceKernel::for_dimension(d);
  Result r{std::vector<size_t>(s.n), std::vector<float>(s.n)};
  for (size_t i = 0; i < s.n; ++i) {
    std::vector<std::pair<float, size_t>> approx(s.k);
    for (size_t j = 0; j < s.k; ++j) {
      float sum = 0.0f;
      for (size_t mm = 0; mm < s.m; ++mm) {
        const float* word = s.codewords.data() + (mm * s.ks + s.codes[i * s.m + mm]) * s.ds;
        sum = sum + sub.distance({word, s.ds}, {pq_centers.data() + j * d + mm * s.ds, s.ds});
      }
      approx[j] = {sum, j};
    }
    std::stable_sort(approx.begin(), approx.end(), [](auto a, auto b) { return a.first < b.first; });
    size_t label = 0;
    float best = kInf;
    for (size_t c = 0; c < std::min(l, s.k); ++c) {
      const size_t j = approx[c].second;
      const float v = full.distance({s.vectors.data() + i * d, d}, {s.centers.data() + j * d, d});
      if (v < best || (v == best && j < label)) best = v, label = j;
    }
    r.labels[i] = label;
    r.distances[i] = best;
  }
  return r;
}

PqKMeans model_for(const HybridCase& s, uint64_t lookup_table_bytes) {
  PqKMeansOptions o;
  o.k = s.k;
  o.lookup_table_bytes = lookup_table_bytes;
  return PqKMeans::new_with_options_and_spherical(s.codewords, s.rotation, o);
}

Result run(const PqKMeans& model, const HybridCase& s, uint64_t l) {
  AssignmentBuffers buffers(0);
  model.assign_hybrid_into(s.code_view(), s.vector_view(), s.center_view(), l, nullptr, nullptr, buffers);
  return {buffers.labels, buffers.distances};
}

void expect_same(const Result& got, const Result& want, const std::string& what) {
  ASSERT_EQ(got.labels, want.labels) << what;
  for (size_t i = 0; i < want.distances.size(); ++i) {
    ASSERT_EQ(std::bit_cast<uint32_t>(got.distances[i]), std::bit_cast<uint32_t>(want.distances[i])) << what << i;
  }
}

}  // namespace

TEST(HybridAssignment, MatchesTheReference) {
  // k = 40 takes the vector candidate selection (16-lane blocks plus a tail), k = 7 the scan;
  // with the table, 64 centers make one block of the blocked merge and 150 two blocks and a tail.
  for (size_t k : {7u, 40u, 64u, 150u}) {
    for (bool rotate : {false, true}) {
      const HybridCase s = make_setup(k, rotate, uint32_t(k) + rotate);
      // A budget of exactly one table: no room for the regrouped copy, every sum kept per row.
      const PqKMeans with_table = model_for(s, 1u << 30), direct = model_for(s, 0),
                     one_table = model_for(s, s.m * s.ks * k * sizeof(float));
      for (uint64_t l : {uint64_t{1}, uint64_t{2}, uint64_t{5}, uint64_t{17}}) {
        if (l >= k) continue;
        const Result want = reference(s, l);
        const std::string what = "k=" + std::to_string(k) + " rotate=" + std::to_string(rotate) +
                                 " L=" + std::to_string(l) + " row ";
        expect_same(run(with_table, s, l), want, "table " + what);
        expect_same(run(direct, s, l), want, "direct " + what);
        expect_same(run(one_table, s, l), want, "one table " + what);
      }
    }
  }
}

TEST(HybridAssignment, EveryCenterRefinedIsTheExactNearestCenter) {
  const HybridCase s = make_setup(40, true, 9);
  const PqKMeans model = model_for(s, 1u << 30);
  Result want{std::vector<size_t>(s.n), std::vector<float>(s.n)};
  for (size_t i = 0; i < s.n; ++i) {
    const auto [j, v] = nearest_l2_center({s.vectors.data() + i * s.d(), s.d()}, s.centers, s.k, s.d());
    want.labels[i] = j;
    want.distances[i] = v;
  }
  for (uint64_t l : {uint64_t{40}, uint64_t{41}, std::numeric_limits<uint64_t>::max()}) {
    expect_same(run(model, s, l), want, "L=" + std::to_string(l) + " row ");
  }
}

TEST(HybridAssignment, EqualApproximateDistancesAtTheCutOffAdmitTheLowerIndex) {
  // One-dimensional subspaces, every row coded to codeword 0.0. Center `first` sits at +1 and
  // center `second` at -1: equal approximate distances. Center 0 is the approximate best. The
  // rows lie at -0.9, exactly nearest to `second`, which only a wider list admits.
  for (auto [k, first, second] : {std::tuple<size_t, size_t, size_t>{3, 1, 2}, {40, 5, 20}, {40, 20, 35}, {150, 20, 100},
                                  {150, 70, 140}}) {
    HybridCase s{1, 2, 1, 20, k, Array3<float>(1, 2, 1), {}, {}, {}, std::nullopt};
    s.codewords.values = {0.0f, 10.0f};
    s.codes.assign(s.n, 0);
    s.vectors.assign(s.n, -0.9f);
    s.centers.assign(k, 50.0f);
    s.centers[0] = 0.05f;
    s.centers[first] = 1.0f;
    s.centers[second] = -1.0f;
    const PqKMeans model = model_for(s, 1u << 30);
    EXPECT_EQ(run(model, s, 2).labels, std::vector<size_t>(s.n, 0)) << k;
    EXPECT_EQ(run(model, s, 3).labels, std::vector<size_t>(s.n, second)) << k;
  }
}

// With every center refined, the PDX (plain and pruned) and flash layouts sum each distance in
// dimension order: bit-identical to each other, so each is compared with that sum here. Each runs
// in its own process, as the switches are read once.
TEST(HybridAssignmentDeathTest, ExactLayoutsAreBitIdentical) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const EnvVars layouts[] = {
      {{"VANTORIX_PDX_EXACT", "1"}},
      {{"VANTORIX_PDX_EXACT", "1"}, {"VANTORIX_PDX_PRUNE", "1"}},
      {{"VANTORIX_FLASH_EXACT", "1"}},
  };
  for (const auto& env : layouts) {
    auto child = [&] {
      for (const auto& [n, v] : env) ::setenv(n.c_str(), v.c_str(), 1);
      const HybridCase s = make_setup(40, true, 3);
      PqKMeans model = model_for(s, 1u << 30);
      model.set_dense_cluster_centers(Matrix<float>::copy_of(s.center_view()));
      const auto labels = model.predict_hybrid(s.code_view(), s.vector_view(), 40);
      std::optional<PdxMatrix> pdx;
      if (pdx_exact_enabled()) pdx = PdxMatrix::from_row_major(s.vectors, s.n, s.d());
      AssignmentBuffers buffers(0);
      model.assign_hybrid_into(s.code_view(), s.vector_view(), s.center_view(), 40, nullptr, pdx ? &*pdx : nullptr,
                             buffers);
      bool same = true;
      for (size_t i = 0; i < s.n; ++i) {
        size_t best_j = 0;
        float best = kInf;
        for (size_t j = 0; j < s.k; ++j) {
          float sum = 0.0f;
          for (size_t c = 0; c < s.d(); ++c) {
            const float t = s.vectors[i * s.d() + c] - s.centers[j * s.d() + c];
            sum = sum + t * t;
          }
          if (sum < best) best = sum, best_j = j;
        }
        same = same && labels[i] == best_j && buffers.labels[i] == best_j &&
               std::bit_cast<uint32_t>(buffers.distances[i]) == std::bit_cast<uint32_t>(best);
      }
      std::exit(same ? 0 : 1);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
  }
}
