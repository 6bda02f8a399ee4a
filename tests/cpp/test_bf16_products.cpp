#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "kernels/bf16_products.hpp"

using namespace vantorix;

namespace {

float value_of(uint16_t h) { return std::bit_cast<float>(uint32_t(h) << 16); }

// Rows padded as the screen pads them, rounded with round_to_bf16.
CacheLineVector<uint16_t> rounded_rows(const std::vector<float>& x, size_t rows, size_t d) {
  const size_t pd = bf16_padded(d);
  CacheLineVector<uint16_t> out(bf16_padded(rows) * pd, 0);
  for (size_t r = 0; r < rows; ++r) round_to_bf16(x.data() + r * d, d, pd, out.data() + r * pd);
  return out;
}

std::vector<float> filled(size_t n, uint32_t seed, float scale) {
  std::vector<float> v(n);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = scale * (float(seed >> 8) / float(1u << 24) - 0.5f);
  }
  return v;
}

}  // namespace

TEST(Bf16Products, RoundingIsToNearestEvenWithExactErrors) {
  struct Case {
    float x;
    uint16_t bits;
  };
  const Case cases[] = {
      {1.0f, 0x3f80},
      {1.0f + 0x1p-8f, 0x3f80},             // tie: to the even neighbour below
      {1.0f + 3 * 0x1p-8f, 0x3f82},         // tie: to the even neighbour above
      {1.0f + 0x1p-8f + 0x1p-20f, 0x3f81},  // just above the tie
      {-2.5f, 0xc020},
      {0x1.fffffep0f, 0x4000},  // rounds up into the next binade
      {1e-40f, 0x0000},         // subnormal: zero, as the products read it
      {-0x1p-126f, 0x8080},     // the smallest normal stays
  };
  for (const auto& c : cases) {
    uint16_t out[32];
    const double err = round_to_bf16(&c.x, 1, 32, out).squared_error;
    EXPECT_EQ(out[0], c.bits) << c.x;
    const double diff = double(c.x) - double(value_of(c.bits));
    EXPECT_EQ(err, diff * diff) << c.x;
    for (size_t i = 1; i < 32; ++i) EXPECT_EQ(out[i], 0u);
  }
  // Long rows go sixteen lanes at a time: the same bits and the sum of the same exact squares.
  const auto x = filled(77, 3, 1e3f);
  std::vector<uint16_t> out(96);
  const RoundedRow sums = round_to_bf16(x.data(), x.size(), out.size(), out.data());
  double want = 0.0, norm = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    uint16_t one[32];
    round_to_bf16(&x[i], 1, 32, one);
    EXPECT_EQ(out[i], one[0]) << i;
    const double diff = double(x[i]) - double(value_of(one[0]));
    want += diff * diff;
    norm += double(x[i]) * double(x[i]);
  }
  EXPECT_NEAR(sums.squared_error, want, want * 1e-14);
  EXPECT_NEAR(sums.squared_norm, norm, norm * 1e-14);
  const RoundedRow nan = round_to_bf16(std::vector<float>{1.0f, NAN}.data(), 2, 32, out.data());
  EXPECT_TRUE(std::isnan(nan.squared_error) && std::isnan(nan.squared_norm));
}

TEST(Bf16Products, EveryKernelMultipliesTheRoundedValues) {
  const size_t rows = 40, k = 45, d = 70;  // none a multiple of the padding
  size_t ran = 0;
  for (const Bf16Kernel kernel : {Bf16Kernel::Tiles, Bf16Kernel::Pairs}) {
    if (!bf16_kernel_runs(kernel)) continue;
    ++ran;
    // Small integers: every product and sum is exact in f32, whatever the order, so the kernel's
    // products are the exact ones, and the padding centers give 0.
    std::vector<float> x(rows * d), c(k * d);
    for (size_t i = 0; i < x.size(); ++i) x[i] = float(int(i * 7 % 31) - 15);
    for (size_t i = 0; i < c.size(); ++i) c[i] = float(int(i * 5 % 29) - 14);
    // Then values bf16 does not hold: the products are those of the rounded values, up to the
    // f32 sums' rounding.
    auto fx = filled(rows * d, 1, 8.0f), fc = filled(k * d, 2, 8.0f);
    for (const auto& [a, b, exact] : {std::tuple{&x, &c, true}, std::tuple{&fx, &fc, false}}) {
      const Bf16Centers packed = pack_bf16_centers(b->data(), k, d);
      const auto half = rounded_rows(*a, rows, d);
      CacheLineVector<float> out(bf16_padded(rows) * packed.padded_k, NAN);
      bf16_products_with(kernel, half.data(), bf16_padded(rows), packed, out.data());
      for (size_t r = 0; r < rows; ++r) {
        for (size_t j = 0; j < packed.padded_k; ++j) {
          double want = 0.0, size = 0.0;
          for (size_t i = 0; j < k && i < d; ++i) {
            uint16_t hx[32], hc[32];
            round_to_bf16(&(*a)[r * d + i], 1, 32, hx);
            round_to_bf16(&(*b)[j * d + i], 1, 32, hc);
            want += double(value_of(hx[0])) * double(value_of(hc[0]));
            size += std::fabs(double(value_of(hx[0])) * double(value_of(hc[0])));
          }
          const float got = out[r * packed.padded_k + j];
          if (exact) {
            EXPECT_EQ(got, float(want)) << int(kernel) << " " << r << " " << j;
          } else {
            EXPECT_LE(std::fabs(double(got) - want), double(d) * 0x1p-24 * size) << int(kernel) << " " << r << " " << j;
          }
        }
      }
    }
  }
  if (ran == 0) GTEST_SKIP() << "no bf16 product kernel runs on this CPU";
}
