#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <set>

#include "core/rng.hpp"
#include "mini_json.hpp"

using namespace vantorix;

namespace {

const testjson::Value& reference() {
  static const testjson::Value data = testjson::load(std::string(VANTORIX_TESTDATA_DIR) + "/chacha8_stream.json");
  return data;
}

}  // namespace

TEST(SeededRng, ZeroKeyBlockMatchesReference) {
  const auto block = SeededRng::chacha8_block({}, 0);
  const auto want = reference()["chacha8_zero_key_block0"].numbers();
  ASSERT_EQ(want.size(), 16u);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(block[i], want[i]) << i;
}

TEST(SeededRng, StreamsMatchReference) {
  for (const auto& stream : reference()["streams"].items) {
    const uint64_t seed = stream["seed"].number;
    SCOPED_TRACE(seed);
    const auto key = SeededRng::key_from_seed(seed);
    const auto want_key = stream["key_words"].numbers();
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(key[i], want_key[i]);

    SeededRng rng(seed);
    for (uint64_t w : stream["u32_first_80"].numbers()) EXPECT_EQ(rng.next_u32(), w);

    SeededRng rng64(seed);
    for (uint64_t w : stream["u64_first_4"].numbers()) EXPECT_EQ(rng64.next_u64(), w);

    // 62 words then two draws: the first ends the buffer exactly, the second refills.
    SeededRng even(seed);
    for (int i = 0; i < 62; ++i) even.next_u32();
    for (uint64_t w : stream["u64_after_62_u32"].numbers()) EXPECT_EQ(even.next_u64(), w);

    // 63 words then a draw that straddles the refill: the old buffer's last word is the low half.
    SeededRng odd(seed);
    for (int i = 0; i < 63; ++i) odd.next_u32();
    for (uint64_t w : stream["u64_after_63_u32"].numbers()) EXPECT_EQ(odd.next_u64(), w);
    EXPECT_EQ(odd.next_u32(), stream["u32_after_63_u32_2_u64"].number);

    SeededRng mixed(seed);
    const auto want_mixed = stream["mixed_u32_u64_120"].numbers();
    for (size_t i = 0; i < want_mixed.size(); ++i) {
      const uint64_t got = i % 3 == 0 ? mixed.next_u32() : mixed.next_u64();
      EXPECT_EQ(got, want_mixed[i]) << i;
    }
  }
}

TEST(SeededRng, UniformF64StaysInRangeAndUsesTopBits) {
  SeededRng a(7), b(7);
  for (int i = 0; i < 1000; ++i) {
    const double x = a.uniform_f64(-2.0, 3.0);
    EXPECT_GE(x, -2.0);
    EXPECT_LT(x, 3.0);
    const uint64_t u = b.next_u64();
    const double expect = (std::bit_cast<double>(0x3FF0000000000000ull | (u >> 12)) - 1.0) * 5.0 + -2.0;
    EXPECT_EQ(x, expect);
  }
  EXPECT_THROW(a.uniform_f64(1.0, 1.0), FatalError);
  EXPECT_THROW(a.uniform_f64(0.0, INFINITY), FatalError);
}

TEST(SeededRng, WideningMultiplyRange) {
  // Without the bias correction the result is the high half of x * n.
  SeededRng a(3), b(3);
  for (int i = 0; i < 2000; ++i) {
    const uint32_t n = 1000 + uint32_t(i);
    const uint32_t got = a.range_inclusive_u32(0, n - 1);
    const uint64_t m = uint64_t(b.next_u32()) * n;
    uint32_t want = uint32_t(m >> 32);
    if (uint32_t(m) > uint32_t(0u - n)) {
      const uint32_t hi = uint32_t((uint64_t(b.next_u32()) * n) >> 32);
      want += (uint64_t(uint32_t(m)) + hi) > 0xFFFFFFFFull ? 1 : 0;
    }
    ASSERT_EQ(got, want);
    ASSERT_LT(got, n);
  }
  SeededRng c(5);
  for (int i = 0; i < 100; ++i) {
    const uint64_t v = c.range_inclusive_u64(10, (1ull << 40));
    EXPECT_GE(v, 10u);
    EXPECT_LE(v, 1ull << 40);
  }
}

TEST(SampleIndices, AlgorithmThresholds) {
  struct Case {
    size_t length, amount;
    SampleAlgorithm want;
  };
  const Case cases[] = {
      {1000, 11, SampleAlgorithm::Floyd},       // never in place below 12
      {100, 12, SampleAlgorithm::Inplace},      // (10 + 1.6*12)*12 = 350.4 > 100
      {350, 12, SampleAlgorithm::Inplace},
      {351, 12, SampleAlgorithm::Floyd},
      {1000, 162, SampleAlgorithm::Inplace},
      {100000, 162, SampleAlgorithm::Floyd},
      {44010, 163, SampleAlgorithm::Rejection},  // 270 * 163 = 44010: not greater
      {44009, 163, SampleAlgorithm::Inplace},
      {44011, 163, SampleAlgorithm::Rejection},
      {500000, 20000, SampleAlgorithm::Inplace},  // 36.67 * 20000 > 500000
      {1000000, 163, SampleAlgorithm::Rejection},
      {size_t(1) << 33, 5, SampleAlgorithm::Rejection},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sample_algorithm(c.length, c.amount), c.want) << c.length << " " << c.amount;
  }
}

TEST(SampleIndices, DistinctInRangeAndReproducible) {
  const std::pair<size_t, size_t> cases[] = {{10, 0}, {10, 10}, {1000, 5}, {300, 40}, {100000, 40},
                                             {1000, 500}, {1000000, 300}, {1, 1}};
  for (auto [length, amount] : cases) {
    SeededRng a(11), b(11);
    const auto x = sample_indices(a, length, amount);
    EXPECT_EQ(x, sample_indices(b, length, amount));
    ASSERT_EQ(x.size(), amount);
    std::set<size_t> unique(x.begin(), x.end());
    EXPECT_EQ(unique.size(), amount);
    for (size_t v : x) EXPECT_LT(v, length);
  }
  SeededRng r(1);
  EXPECT_THROW(sample_indices(r, 3, 4), FatalError);
}

TEST(SampleIndices, FloydOrderFollowsTheDraws) {
  // Floyd with length 10, amount 3: j = 7, 8, 9, each drawing t in [0, j].
  SeededRng a(21), b(21);
  const auto got = sample_indices(a, 10, 3);
  std::vector<size_t> want;
  for (uint32_t j = 7; j < 10; ++j) {
    const size_t t = b.range_inclusive_u32(0, j);
    auto it = std::find(want.begin(), want.end(), t);
    if (it != want.end()) *it = j;
    want.push_back(t);
  }
  EXPECT_EQ(got, want);
}

TEST(SampleIndices, FullLengthIsAPermutation) {
  SeededRng rng(2);
  auto x = sample_indices(rng, 500, 500);
  std::sort(x.begin(), x.end());
  for (size_t i = 0; i < 500; ++i) EXPECT_EQ(x[i], i);
}

TEST(Shuffle, ShortListsAndDrawCounts) {
  // Length 0 and 1 draw nothing.
  SeededRng a(9), b(9);
  std::vector<int> empty, one = {5};
  shuffle(a, empty);
  shuffle(a, one);
  EXPECT_EQ(one, std::vector<int>{5});
  EXPECT_EQ(a.next_u32(), b.next_u32());

  // Length 2: position 1 takes one draw over [0, 2*3*...*12) and its chunk index is chunk % 2.
  SeededRng c(9), d(9);
  std::vector<int> two = {0, 1};
  shuffle(c, two);
  const uint32_t chunk = d.range_inclusive_u32(0, 479001600u - 1);
  const size_t chosen = chunk % 2;
  std::vector<int> want = {0, 1};
  std::swap(want[1], want[chosen]);
  EXPECT_EQ(two, want);
  EXPECT_EQ(c.next_u32(), d.next_u32());  // one range draw served the list
}

TEST(Shuffle, IsAReproduciblePermutation) {
  for (size_t len : {3u, 13u, 100u, 5000u}) {
    std::vector<size_t> x(len), y(len);
    std::iota(x.begin(), x.end(), 0);
    std::iota(y.begin(), y.end(), 0);
    SeededRng a(4), b(4);
    shuffle(a, x);
    shuffle(b, y);
    EXPECT_EQ(x, y);
    auto sorted = x;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < len; ++i) ASSERT_EQ(sorted[i], i);
  }
}
