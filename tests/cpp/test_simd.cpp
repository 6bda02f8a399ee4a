#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/error.hpp"
#include "kernels/simd.hpp"

using namespace vantorix;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<float> random_floats(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = dist(gen);
  return v;
}

using NearestFn = std::pair<size_t, float> (*)(std::span<const float>, std::span<const float>, size_t, size_t);
struct NearestForm {
  const char* name;
  NearestFn fn;
  bool dot;
};
const NearestForm kNearestForms[] = {
    {"l2_neon", nearest_l2_center_neon, false},
    {"l2_scalar", nearest_l2_center_scalar, false},
    {"dot_neon", nearest_dot_center_neon, true},
    {"dot_scalar", nearest_dot_center_scalar, true},
};

}  // namespace

TEST(DistanceKernel, ForDimension) {
  using K = DistanceKernel;
  const std::pair<size_t, K::Kind> vector_cases[] = {{0, K::Lanes4},  {1, K::Lanes4},  {2, K::Lanes4},
                                                     {3, K::Lanes4},  {4, K::Dim4},    {8, K::Dim8},
                                                     {12, K::Lanes4}, {16, K::Dim16},  {32, K::Dim32},
                                                     {64, K::Dim64},  {128, K::Lanes4}, {256, K::Lanes4}};
  for (auto pref : {SimdPreference::Auto, SimdPreference::Neon}) {
    for (auto [d, kind] : vector_cases) EXPECT_EQ(K::for_dimension_with(pref, d).kind, kind) << d;
  }
  for (auto pref : {SimdPreference::Scalar, SimdPreference::Avx2, SimdPreference::Avx512}) {
    for (size_t d : {0u, 4u, 16u, 64u, 100u}) EXPECT_EQ(K::for_dimension_with(pref, d).kind, K::Scalar);
  }
}

TEST(DistanceKernel, FixedLengthsAgreeWithSlices) {
  for (size_t d : {4u, 8u, 16u, 32u, 64u}) {
    const auto a = random_floats(d, 1), b = random_floats(d, 2);
    const float fixed = DistanceKernel::for_dimension_with(SimdPreference::Auto, d).distance(a, b);
    const float scalar = DistanceKernel{DistanceKernel::Scalar}.distance(a, b);
    EXPECT_NEAR(fixed, scalar, 1e-4f * scalar) << d;
    // Exactly d values are read: a longer second slice changes nothing.
    auto longer = b;
    longer.push_back(100.0f);
    EXPECT_EQ(DistanceKernel::for_dimension_with(SimdPreference::Auto, d).distance(a, longer), fixed);
  }
  // Scalar uses the shorter length; an empty sum is -0.0.
  const std::vector<float> a = {1, 2, 3}, b = {1, 2};
  EXPECT_EQ(DistanceKernel{DistanceKernel::Scalar}.distance(a, b), 0.0f);
  const float empty = DistanceKernel{DistanceKernel::Scalar}.distance({}, {});
  EXPECT_TRUE(std::signbit(empty));
  // A slice shorter than the fixed length is a broken contract.
  EXPECT_THROW(DistanceKernel{DistanceKernel::Dim8}.distance(a, a), FatalError);
}

TEST(L2Squared, LaneOrderAndTails) {
  // d < 4: only the tail contributes; the vector form's empty sum is +0.0, the scalar's -0.0.
  const std::vector<float> a = {1.0f, 2.0f, 3.0f}, b = {0.0f, 0.0f, 0.0f};
  EXPECT_EQ(l2_squared_neon(a, b), 14.0f);
  EXPECT_EQ(l2_squared_scalar(a, b), 14.0f);
  EXPECT_FALSE(std::signbit(l2_squared_neon({}, {})));
  EXPECT_TRUE(std::signbit(l2_squared_scalar({}, {})));
  // Values chosen so the lane order shows: the lanes reduce as ((l0 + l1) + l2) + l3, then the
  // tail is added.
  const std::vector<float> x = {1e4f, 1.0f, 1e4f, 1.0f, 3.0f};
  const std::vector<float> zero(5, 0.0f);
  const float lanes = ((1e8f + 1.0f) + 1e8f) + 1.0f;
  EXPECT_EQ(l2_squared_neon(x, zero), lanes + 9.0f);
  EXPECT_THROW(l2_squared_neon(x, a), FatalError);
}

TEST(NearestCenter, TiesGoToTheLowestIndexInEveryForm) {
  // Centers 1 and 6 are equidistant from the query (and share no group of four); so are 1 and 2.
  const size_t d = 5;
  for (size_t k : {3u, 7u, 9u}) {
    std::vector<float> centers(k * d, 10.0f);
    const std::vector<float> query = {0, 0, 0, 0, 0};
    for (size_t j : {1u, 2u, 6u}) {
      if (j >= k) continue;
      for (size_t i = 0; i < d; ++i) centers[j * d + i] = (i == 0) ? ((j == 6) ? -1.0f : 1.0f) : 0.0f;
    }
    for (const auto& form : kNearestForms) {
      if (form.dot) continue;
      const auto [idx, dist] = form.fn(query, centers, k, d);
      EXPECT_EQ(idx, 1u) << form.name << " k=" << k;
      EXPECT_EQ(dist, 1.0f);
    }
  }
  // Largest dot: equal products keep the lower index.
  const std::vector<float> q = {1, 1, 1, 1};
  const std::vector<float> c = {0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 1, 2, 0, 0, 0, 0, 0, 0, 2};
  for (const auto& form : kNearestForms) {
    if (!form.dot) continue;
    const auto [idx, dot] = form.fn(q, c, 5, 4);
    EXPECT_EQ(idx, 1u) << form.name;
    EXPECT_EQ(dot, 2.0f);
  }
}

TEST(NearestCenter, EmptyAndNaN) {
  const std::vector<float> q = {1, 2, 3, 4};
  for (const auto& form : kNearestForms) {
    const auto [idx, v] = form.fn(q, {}, 0, 4);
    EXPECT_EQ(idx, 0u);
    EXPECT_EQ(v, form.dot ? -kInf : kInf) << form.name;
  }
  // NaN rows never win; all-NaN gives (0, +/-inf).
  std::vector<float> c = {kNaN, 0, 0, 0, 5, 5, 5, 5, kNaN, 1, 1, 1, 9, 9, 9, 9, 3, 3, 3, 3};
  for (const auto& form : kNearestForms) {
    const auto [idx, v] = form.fn(q, c, 5, 4);
    EXPECT_FALSE(std::isnan(v)) << form.name;
    EXPECT_NE(idx, 0u);
    EXPECT_NE(idx, 2u);
  }
  std::vector<float> all_nan(20, kNaN);
  for (const auto& form : kNearestForms) {
    const auto [idx, v] = form.fn(q, all_nan, 5, 4);
    EXPECT_EQ(idx, 0u);
    EXPECT_EQ(v, form.dot ? -kInf : kInf) << form.name;
  }
  EXPECT_THROW(nearest_l2_center_neon(q, c, 6, 4), FatalError);
  EXPECT_THROW(nearest_dot_center_scalar(std::span<const float>(q).first(3), c, 5, 4), FatalError);
}

TEST(NearestCenter, VectorFormMatchesL2SquaredBitForBit) {
  for (size_t d : {1u, 3u, 4u, 7u, 128u, 130u}) {
    for (size_t k : {1u, 4u, 5u, 11u}) {
      const auto q = random_floats(d, 7), c = random_floats(k * d, 8);
      size_t best = 0;
      float best_v = kInf;
      for (size_t j = 0; j < k; ++j) {
        const float v = l2_squared_neon(q, std::span<const float>(c).subspan(j * d, d));
        if (v < best_v) best_v = v, best = j;
      }
      const auto [idx, v] = nearest_l2_center_neon(q, c, k, d);
      EXPECT_EQ(idx, best);
      EXPECT_EQ(v, best_v);
      // The scalar form sums in another order: same answer up to rounding.
      const auto [sidx, sv] = nearest_l2_center_scalar(q, c, k, d);
      EXPECT_NEAR(sv, v, 1e-4f * (1.0f + v));
      (void)sidx;
    }
  }
}

TEST(SelectLookupMin, FormsAreBitIdentical) {
  const size_t m_count = 7, stride = 16;
  for (size_t k : {0u, 1u, 3u, 4u, 5u, 16u, 19u, 37u, 64u}) {
    const auto table = random_floats(m_count * stride * k, 3);
    std::mt19937 gen(5);
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<uint8_t> code(m_count);
      for (auto& c : code) c = uint8_t(gen() % stride);
      const auto v = select_lookup_min_neon(code, table, stride, k);
      const auto s = select_lookup_min_scalar(code, table, stride, k);
      EXPECT_EQ(v.first, s.first) << k;
      EXPECT_EQ(std::bit_cast<uint32_t>(v.second), std::bit_cast<uint32_t>(s.second)) << k;
      if (k == 0) {
        EXPECT_EQ(v, (std::pair<size_t, float>{0, kInf}));
      }
    }
  }
}

TEST(SelectLookupMin, TiesNaNAndBounds) {
  // Two subspaces, stride 2, k = 20; clusters 3 and 17 tie at the minimum, cluster 0 is NaN.
  const size_t k = 20, stride = 2;
  std::vector<float> table(2 * stride * k, 5.0f);
  const std::vector<uint8_t> code = {1, 0};
  auto entry = [&](size_t m, size_t c, size_t j) -> float& { return table[(m * stride + c) * k + j]; };
  entry(0, 1, 0) = kNaN;
  entry(0, 1, 3) = 1.0f;
  entry(0, 1, 17) = 1.0f;
  for (auto fn : {select_lookup_min_neon, select_lookup_min_scalar}) {
    const auto [idx, v] = fn(code, table, stride, k);
    EXPECT_EQ(idx, 3u);
    EXPECT_EQ(v, 6.0f);
  }
  // Ties inside the sixteen-wide part: an earlier pass and a lower lane win; a row of NaN never does.
  const size_t wide = 64;
  for (auto [first, second] : std::vector<std::pair<size_t, size_t>>{{19, 35}, {35, 51}, {2, 18}, {17, 20}}) {
    std::vector<float> t(2 * stride * wide, 5.0f);
    auto at = [&](size_t m, size_t c, size_t j) -> float& { return t[(m * stride + c) * wide + j]; };
    at(0, 1, first) = 1.0f;
    at(0, 1, second) = 1.0f;
    at(0, 1, 0) = kNaN;
    for (auto fn : {select_lookup_min_neon, select_lookup_min_scalar}) {
      const auto [idx, v] = fn(code, t, stride, wide);
      EXPECT_EQ(idx, first);
      EXPECT_EQ(v, 6.0f);
    }
  }
  std::vector<float> nan_table(2 * stride * wide, kNaN);
  EXPECT_EQ(select_lookup_min_neon(code, nan_table, stride, wide), (std::pair<size_t, float>{0, kInf}));
  // A code at or beyond the stride, or a short table, is a broken contract, not a stray read.
  const std::vector<uint8_t> bad = {2, 0};
  EXPECT_THROW(select_lookup_min_neon(bad, table, stride, k), FatalError);
  EXPECT_THROW(select_lookup_min_scalar(code, std::span<const float>(table).first(10), stride, k), FatalError);
}

TEST(Accumulate, AddAssignAndAddScaled) {
  for (size_t n : {0u, 3u, 4u, 17u, 35u}) {
    const auto src = random_floats(n, 9);
    auto a = random_floats(n, 10), b = a;
    add_assign_neon(a, src);
    add_assign_scalar(b, src);
    EXPECT_EQ(a, b);
    auto c = random_floats(n, 11), e = c;
    add_scaled_neon(c, src, 0.3f);
    add_scaled_scalar(e, src, 0.3f);
    for (size_t i = 0; i < n; ++i) EXPECT_NEAR(c[i], e[i], 1e-6f);
    // The vector form fuses whole groups of four; its tail is exactly the scalar form.
    for (size_t i = n / 4 * 4; i < n; ++i) EXPECT_EQ(c[i], e[i]);
  }
  std::vector<float> dst(4, 0.0f);
  const std::vector<float> shorter(3, 1.0f);
  EXPECT_THROW(add_assign_neon(dst, shorter), FatalError);
}

TEST(SimdPreference, ParsesTheEnvironmentWords) {
  using P = SimdPreference;
  const std::pair<const char*, P> cases[] = {
      {"auto", P::Auto}, {"AUTO", P::Auto},     {"", P::Auto},         {"sse", P::Auto},
      {" neon", P::Auto}, {"neon", P::Neon},    {"NEON", P::Neon},     {"off", P::Scalar},
      {"NONE", P::Scalar}, {"Scalar", P::Scalar}, {"s-c_a-lar", P::Scalar}, {"avx2", P::Avx2},
      {"AVX-512", P::Avx512}, {"Avx_512", P::Avx512},
  };
  for (auto [text, want] : cases) EXPECT_EQ(parse_simd_preference(std::string(text)), want) << text;
  EXPECT_EQ(parse_simd_preference(std::nullopt), P::Auto);
}

TEST(DistanceKernel, SixteenTransposedSlicesMatchOneByOne) {
  for (size_t d : {1u, 2u, 3u, 4u, 7u, 8u, 12u, 16u, 32u, 64u, 100u, 128u}) {
    const auto a = random_floats(d, 3), slices = random_floats(16 * d, 4);
    std::vector<float> transposed(16 * d);
    for (size_t j = 0; j < 16; ++j)
      for (size_t i = 0; i < d; ++i) transposed[i * 16 + j] = slices[j * d + i];
    for (DistanceKernel kernel : {DistanceKernel::for_dimension_with(SimdPreference::Auto, d),
                                  DistanceKernel{DistanceKernel::Scalar}}) {
      float out[16];
      kernel.distance16(a.data(), transposed.data(), d, out);
      for (size_t j = 0; j < 16; ++j) {
        const float want = kernel.distance(a, std::span<const float>(slices).subspan(j * d, d));
        EXPECT_EQ(std::bit_cast<uint32_t>(out[j]), std::bit_cast<uint32_t>(want)) << d << ' ' << int(kernel.kind);
      }
    }
  }
}

TEST(L2Squared, PairFormsMatchOneByOne) {
  // Four and eight pairs; rows in equal twos (eight pairs share registers then) or all different.
  using Form = void (*)(const float* const*, const float* const*, size_t, float*);
  struct Case {
    size_t pairs;
    Form vector, scalar;
  };
  for (const Case& c : {Case{4, l2_squared_pairs4_neon, l2_squared_pairs4_scalar},
                        Case{8, l2_squared_pairs8_neon, l2_squared_pairs8_scalar}}) {
    for (size_t d : {0u, 3u, 8u, 13u, 128u}) {
      const auto a = random_floats(8 * d, 7), b = random_floats(8 * d, 8);
      for (bool twos : {true, false}) {
        const float* as[8];
        const float* bs[8];
        for (size_t i = 0; i < 8; ++i) {
          as[i] = a.data() + (twos ? i / 2 : (i * 3) % 8) * d;
          bs[i] = b.data() + ((i * 5) % 8) * d;
        }
        for (bool vector : {true, false}) {
          float out[8];
          (vector ? c.vector : c.scalar)(as, bs, d, out);
          for (size_t i = 0; i < c.pairs; ++i) {
            const std::span<const float> x(as[i], d), y(bs[i], d);
            const float want = vector ? l2_squared_neon(x, y) : l2_squared_scalar(x, y);
            EXPECT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(want))
                << c.pairs << " pairs, d " << d << ' ' << twos << ' ' << vector;
          }
        }
      }
    }
  }
}
