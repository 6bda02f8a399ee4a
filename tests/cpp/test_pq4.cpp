#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "codes/pq4_assign.hpp"
#include "core/rng.hpp"
#include "kernels/pq4.hpp"
#include "kernels/simd.hpp"
#include "scoped_env.hpp"

using namespace vantorix;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<uint8_t> random_codes(size_t rows, size_t m, uint64_t seed) {
  SeededRng rng(seed);
  std::vector<uint8_t> codes(rows * m);
  for (auto& c : codes) c = uint8_t(rng.uniform_f64(0.0, 16.0));
  return codes;
}

std::vector<float> random_table(size_t m, size_t k, uint64_t seed) {
  SeededRng rng(seed);
  std::vector<float> t(m * 16 * k);
  for (auto& v : t) v = float(rng.uniform_f64(0.0, 50.0));
  return t;
}

// Table distance of an unpacked row, subquantizers in order.
float table_distance(const std::vector<float>& table, const uint8_t* code, size_t m, size_t k, size_t c) {
  float d = table[size_t(code[0]) * k + c];
  for (size_t s = 1; s < m; ++s) d = d + table[(s * 16 + code[s]) * k + c];
  return d;
}

// The quantized assignment spelled out row by row from the tables' own entries.
std::pair<size_t, float> quantized_reference(const QuantizedPq4LookupTables& q, const std::vector<float>& table,
                                             const uint8_t* code, size_t m, size_t k) {
  size_t best_c = 0;
  uint32_t best_sum = 65535;
  float best_d = kInf;
  for (size_t c = 0; c < k; ++c) {
    uint32_t s = 0;
    for (size_t j = 0; j < m; ++j) s += q.entries[(c * m + j) * 16 + code[j]];
    if (q.per_center) {
      const float d = float(s) * q.scales[c] + q.biases[c] * float(m);
      if (d < best_d) best_d = d, best_c = c;
    } else if (s < best_sum) {
      best_sum = s, best_c = c;
    }
  }
  return {best_c, k == 0 ? kInf : table_distance(table, code, m, k, best_c)};
}

std::span<uint16_t, kPq4BlockRows> out32(std::vector<uint16_t>& v) {
  return std::span<uint16_t, kPq4BlockRows>(v.data(), kPq4BlockRows);
}

}  // namespace

TEST(PackedPq4Codes, LayoutNibblesAndPadding) {
  struct Case {
    size_t rows, m;
  };
  for (const Case c : {Case{5, 1}, Case{33, 3}, Case{33, 8}, Case{64, 17}, Case{0, 4}}) {
    SCOPED_TRACE(testing::Message() << "rows=" << c.rows << " m=" << c.m);
    const auto codes = random_codes(c.rows, c.m, c.rows * 31 + c.m);
    const auto packed = PackedPq4Codes::pack(codes, c.rows, c.m);
    const size_t pairs = (c.m + 1) / 2, blocks = (c.rows + 31) / 32;
    EXPECT_EQ(packed.pairs, pairs);
    ASSERT_EQ(packed.data.size(), pairs * blocks * 32);
    for (size_t b = 0; b < blocks; ++b) {
      for (size_t p = 0; p < pairs; ++p) {
        for (size_t r = 0; r < 32; ++r) {
          const size_t i = 32 * b + r;
          const uint8_t byte = packed.data[b * pairs * 32 + 32 * p + r];
          if (i >= c.rows) {
            EXPECT_EQ(byte, 0) << "padding row " << i;
            continue;
          }
          const uint8_t hi = 2 * p + 1 < c.m ? codes[i * c.m + 2 * p + 1] : 0;
          EXPECT_EQ(byte, codes[i * c.m + 2 * p] | (hi << 4)) << "row " << i << " pair " << p;
        }
      }
    }
    for (size_t i = 0; i < c.rows; ++i)
      for (size_t s = 0; s < c.m; ++s) ASSERT_EQ(packed.code(i, s), codes[i * c.m + s]);
  }
}

TEST(PackedPq4Codes, Errors) {
  std::vector<uint8_t> codes = random_codes(3, 4, 1);
  const auto message = [&](std::span<const uint8_t> in, uint64_t rows, uint64_t m) -> std::string {
    try {
      PackedPq4Codes::pack(in, rows, m);
    } catch (const VantorixError& e) {
      EXPECT_EQ(e.kind(), VantorixError::Kind::Message);
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(message(codes, uint64_t(1) << 62, 8), "PQ4 code shape overflows usize");
  EXPECT_EQ(message(codes, 3, 3), "PQ4 code matrix length does not match shape");
  codes[2 * 4 + 3] = 16;  // a high nibble
  EXPECT_EQ(message(codes, 3, 4), "PQ4 packing requires codebook_size <= 16");
  codes[2 * 4 + 3] = 0;
  codes[4] = 200;  // a low nibble
  EXPECT_EQ(message(codes, 3, 4), "PQ4 packing requires codebook_size <= 16");
}

TEST(QuantizedPq4LookupTables, GlobalCalibrationRoundsHalfAwayAndTransposes) {
  // M = 1, k = 2: range 0..255 gives scale 1, so entries are the values rounded.
  std::vector<float> table(16 * 2, 100.0f);
  table[0 * 2 + 0] = 0.0f;
  table[1 * 2 + 0] = 255.0f;
  table[2 * 2 + 0] = 2.5f;    // -> 3 (half away from zero, not to even)
  table[3 * 2 + 1] = 1.49f;   // -> 1
  table[4 * 2 + 1] = 254.5f;  // -> 255
  QuantizedPq4LookupTables q;
  ASSERT_TRUE(q.update_from_f32_with(table, 1, 2, false));
  EXPECT_FALSE(q.per_center);
  EXPECT_EQ(q.scale, 1.0f);
  EXPECT_EQ(q.bias, 0.0f);
  EXPECT_TRUE(q.scales.empty());
  ASSERT_EQ(q.entries.size(), 32u);
  EXPECT_EQ(q.entries[0], 0);
  EXPECT_EQ(q.entries[1], 255);
  EXPECT_EQ(q.entries[2], 3);
  EXPECT_EQ(q.entries[16 + 3], 1);
  EXPECT_EQ(q.entries[16 + 4], 255);
  EXPECT_EQ(q.entries[16 + 5], 100);

  // Per-center: each center is spread over its own range.
  for (size_t j = 0; j < 16; ++j) {
    table[j * 2 + 0] = float(j);          // 0..15 -> scale 15/255
    table[j * 2 + 1] = 7.0f;              // flat -> scale 1, entries 0
  }
  ASSERT_TRUE(q.update_from_f32_with(table, 1, 2, true));
  EXPECT_TRUE(q.per_center);
  EXPECT_EQ(q.scale, 1.0f);
  EXPECT_EQ(q.bias, 0.0f);
  EXPECT_EQ(q.scales, (std::vector<float>{15.0f / 255.0f, 1.0f}));
  EXPECT_EQ(q.biases, (std::vector<float>{0.0f, 7.0f}));
  EXPECT_EQ(q.entries[0], 0);
  EXPECT_EQ(q.entries[15], 255);
  EXPECT_EQ(q.entries[8], 136);
  for (size_t j = 0; j < 16; ++j) EXPECT_EQ(q.entries[16 + j], 0);
}

TEST(QuantizedPq4LookupTables, WideTablesRoundEveryLaneAsOneByOne) {
  // k = 37: two full sixteen-lane steps and a tail per row. Values 0..255 with exact halves give
  // scale 1, so every entry is std::round of its value, transposed; the zero extremes keep the
  // first zero of a scan (its sign is the bias's).
  const size_t m = 3, k = 37, rows = 16 * m;
  std::vector<float> table = random_table(m, k, 11);
  for (size_t i = 0; i < table.size(); ++i) table[i] = std::floor(table[i] * 5.0f) + (i % 3 == 0 ? 0.5f : 0.25f);
  table[5] = 0.0f;
  table[9] = 255.0f;
  for (float first_zero : {0.0f, -0.0f}) {
    table[0] = first_zero;
    table[1] = -first_zero;
    QuantizedPq4LookupTables q;
    ASSERT_TRUE(q.update_from_f32_with(table, m, k, false));
    ASSERT_EQ(q.scale, 1.0f);
    EXPECT_EQ(std::signbit(q.bias), std::signbit(first_zero));
    for (size_t r = 0; r < rows; ++r)
      for (size_t c = 0; c < k; ++c)
        ASSERT_EQ(q.entries[c * rows + r], uint8_t(std::round(table[r * k + c]))) << r << ", " << c;
  }
}

TEST(QuantizedPq4LookupTables, DeclinesLeaveTheBuffersAsTheyWere) {
  QuantizedPq4LookupTables q;
  const auto good = random_table(2, 3, 5);
  ASSERT_TRUE(q.update_from_f32_with(good, 2, 3, false));
  const auto before = q.entries;
  auto with = [&](size_t at, float v) {
    auto t = good;
    t[at] = v;
    return t;
  };
  struct Case {
    const char* what;
    std::vector<float> table;
    size_t m, k;
  };
  const Case cases[] = {
      {"+inf", with(7, kInf), 2, 3},
      {"-inf", with(0, -kInf), 2, 3},
      {"nan", with(95, std::numeric_limits<float>::quiet_NaN()), 2, 3},
      {"length", good, 2, 4},
      {"M = 258", std::vector<float>(258 * 16, 1.0f), 258, 1},
      {"range overflows float", [&] {
         auto t = with(3, 3e38f);
         t[4] = -3e38f;
         return t;
       }(), 2, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool per_center : {false, true}) {
      EXPECT_FALSE(q.update_from_f32_with(c.table, c.m, c.k, per_center));
      EXPECT_EQ(q.entries, before);
      EXPECT_EQ(q.num_subquantizers, 2u);
      EXPECT_EQ(q.k, 3u);
      EXPECT_FALSE(q.per_center);
    }
  }
  // The bound itself is accepted.
  EXPECT_TRUE(q.update_from_f32_with(std::vector<float>(257 * 16, 1.0f), 257, 1, false));
}

TEST(Pq4Switches, WordsAreReadOnEveryCall) {
  struct Case {
    const char* value;
    bool per_center;
  };
  for (const Case c : {Case{"Per-Cluster", true}, Case{"per_centroid", true}, Case{"CENTROID", true},
                       Case{"cluster", true}, Case{"per cluster", false}, Case{"global", false},
                       Case{"", false}}) {
    ScopedEnv env(EnvVars{{"VANTORIX_PQ4_LUT_CALIBRATION", c.value}});
    EXPECT_EQ(pq4_lut_per_center_enabled(), c.per_center) << c.value;
  }
  EXPECT_FALSE(pq4_lut_per_center_enabled());
  EXPECT_FALSE(pq4_fastscan_enabled());
  for (const Case c : {Case{"1", true}, Case{"On", true}, Case{"yes", true}, Case{"TRUE", true},
                       Case{"auto", true}, Case{"fast-scan", true}, Case{"0", false}, Case{"off", false},
                       Case{"enabled", false}}) {
    ScopedEnv env(EnvVars{{"VANTORIX_PQ4_FASTSCAN", c.value}});
    EXPECT_EQ(pq4_fastscan_enabled(), c.per_center) << c.value;
  }
}

TEST(Pq4Scan, VectorAndScalarFormsAgreeOnRealRows) {
  for (size_t m : {1, 2, 3, 8, 16, 17, 32, 257}) {
    SCOPED_TRACE(testing::Message() << "m=" << m << " isa=" << pq4_vector_isa());
    const size_t rows = 45, k = 3;
    const auto packed = PackedPq4Codes::pack(random_codes(rows, m, m), rows, m);
    QuantizedPq4LookupTables q;
    auto table = random_table(m, k, m + 1);
    if (m == 257) std::fill(table.begin(), table.end(), 0.0f), table[0] = 1.0f;  // a few entries of 0/255
    ASSERT_TRUE(q.update_from_f32_with(table, m, k, false));
    std::vector<uint16_t> vec(32), sca(32);
    for (size_t b = 0; b < packed.blocks(); ++b) {
      for (size_t c = 0; c < k; ++c) {
        pq4_scan_cluster_neon(packed, q, b, c, out32(vec));
        pq4_scan_cluster_scalar(packed, q, b, c, out32(sca));
        uint32_t code0 = 0;
        for (size_t s = 0; s < m; ++s) code0 += q.entries[(c * m + s) * 16];
        for (size_t r = 0; r < 32; ++r) {
          const size_t i = 32 * b + r;
          if (i < rows) {
            uint32_t want = 0;
            for (size_t s = 0; s < m; ++s) want += q.entries[(c * m + s) * 16 + packed.code(i, s)];
            ASSERT_EQ(sca[r], want) << "row " << i << " center " << c;
            ASSERT_EQ(vec[r], want) << "row " << i << " center " << c;
          } else {
            EXPECT_EQ(sca[r], 65535);
            EXPECT_EQ(vec[r], uint16_t(code0));
          }
        }
      }
    }
  }
}

TEST(Pq4Assign, QuantizedMatchesTheRowByRowRule) {
  for (bool per_center : {false, true}) {
    ScopedEnv env(EnvVars{{"VANTORIX_PQ4_LUT_CALIBRATION", per_center ? "per-cluster" : "global"}});
    {
      for (size_t m : {1, 3, 8, 16}) {
        for (size_t k : {1, 7, 40}) {
          SCOPED_TRACE(testing::Message() << "per_center=" << per_center << " m=" << m << " k=" << k);
          const size_t rows = 300;  // two chunks, the last block partial
          const auto codes = random_codes(rows, m, 10 * m + k);
          auto table = random_table(m, k, m * k);
          // Duplicate centers tie exactly: the lower index must win.
          if (k > 3)
            for (size_t r = 0; r < m * 16; ++r) table[r * k + 3] = table[r * k + 1];
          const auto packed = PackedPq4Codes::pack(codes, rows, m);
          QuantizedPq4LookupTables q;
          std::vector<size_t> labels(rows, 99);
          std::vector<float> dist(rows, -1.0f);
          ASSERT_TRUE(assign_pq4_lookup_quantized_reusing_into(packed, table, k, q, labels, dist));
          ASSERT_EQ(q.per_center, per_center);
          for (size_t i = 0; i < rows; ++i) {
            const auto [label, d] = quantized_reference(q, table, codes.data() + i * m, m, k);
            ASSERT_EQ(labels[i], label) << "row " << i;
            ASSERT_EQ(std::bit_cast<uint32_t>(dist[i]), std::bit_cast<uint32_t>(d)) << "row " << i;
          }
        }
      }
    }
  }
}

TEST(Pq4Assign, EdgeTables) {
  const size_t rows = 40, k = 4;
  {
    SCOPED_TRACE("all-equal table: every center ties, label 0 with center 0's float distance");
    const size_t m = 3;
    const auto codes = random_codes(rows, m, 3);
    const std::vector<float> table(m * 16 * k, 2.25f);
    const auto packed = PackedPq4Codes::pack(codes, rows, m);
    QuantizedPq4LookupTables q;
    std::vector<size_t> labels(rows, 9);
    std::vector<float> dist(rows);
    ASSERT_TRUE(assign_pq4_lookup_quantized_reusing_into(packed, table, k, q, labels, dist));
    EXPECT_EQ(q.scale, 1.0f);
    EXPECT_EQ(q.entries, std::vector<uint8_t>(k * m * 16, 0));
    for (size_t i = 0; i < rows; ++i) {
      EXPECT_EQ(labels[i], 0u);
      EXPECT_EQ(dist[i], 6.75f);
    }
  }
  {
    SCOPED_TRACE("+inf entry: declines and writes nothing; the exact packed scan answers");
    const size_t m = 2;
    const auto codes = random_codes(rows, m, 4);
    auto table = random_table(m, k, 4);
    table[5 * k + 2] = kInf;
    const auto packed = PackedPq4Codes::pack(codes, rows, m);
    QuantizedPq4LookupTables q;
    std::vector<size_t> labels(rows, 9);
    std::vector<float> dist(rows, -1.0f);
    EXPECT_FALSE(assign_pq4_lookup_quantized_reusing_into(packed, table, k, q, labels, dist));
    EXPECT_EQ(labels, std::vector<size_t>(rows, 9));
    EXPECT_EQ(dist, std::vector<float>(rows, -1.0f));
    assign_pq4_lookup_into(packed, table, k, labels, dist);
    for (size_t i = 0; i < rows; ++i) {
      const auto [label, d] = select_lookup_min({codes.data() + i * m, m}, table, 16, k);
      EXPECT_EQ(labels[i], label);
      EXPECT_EQ(dist[i], d);
    }
  }
  {
    SCOPED_TRACE("M = 257 at the maximum: sums of 65535 never beat the start");
    const size_t m = 257;
    std::vector<uint8_t> codes(rows * m, 15);
    // Code 15 costs 1 (quantized 255) for every center, everything else 0: all sums are 65535.
    std::vector<float> table(m * 16 * k, 0.0f);
    for (size_t s = 0; s < m; ++s)
      for (size_t c = 0; c < k; ++c) table[(s * 16 + 15) * k + c] = 1.0f;
    const auto packed = PackedPq4Codes::pack(codes, rows, m);
    QuantizedPq4LookupTables q;
    std::vector<size_t> labels(rows, 9);
    std::vector<float> dist(rows);
    ASSERT_TRUE(assign_pq4_lookup_quantized_reusing_into(packed, table, k, q, labels, dist));
    std::vector<uint16_t> sums(32);
    pq4_scan_cluster(packed, q, 0, 2, out32(sums));
    EXPECT_EQ(sums[0], 65535);
    for (size_t i = 0; i < rows; ++i) {
      EXPECT_EQ(labels[i], 0u);
      EXPECT_EQ(dist[i], 257.0f);
    }
    codes.resize(rows * 258, 15);
    const auto wide = PackedPq4Codes::pack(codes, rows, 258);
    std::vector<float> table258(258 * 16 * k, 1.0f);
    EXPECT_FALSE(assign_pq4_lookup_quantized_reusing_into(wide, table258, k, q, labels, dist));
  }
}

TEST(Pq4Assign, ExactPackedScanEqualsTheUnpackedScanBitForBit) {
  for (size_t m : {1, 3, 8, 17}) {
    for (size_t k : {1, 5, 16, 37}) {
      SCOPED_TRACE(testing::Message() << "m=" << m << " k=" << k);
      const size_t rows = 300;
      const auto codes = random_codes(rows, m, m * 100 + k);
      auto table = random_table(m, k, m + k);
      table[7 * k] = std::numeric_limits<float>::quiet_NaN();  // never wins, whatever it meets
      const auto packed = PackedPq4Codes::pack(codes, rows, m);
      std::vector<size_t> labels(rows);
      std::vector<float> dist(rows);
      assign_pq4_lookup_into(packed, table, k, labels, dist);
      for (size_t i = 0; i < rows; ++i) {
        const auto [label, d] = select_lookup_min({codes.data() + i * m, m}, table, 16, k);
        ASSERT_EQ(labels[i], label) << i;
        ASSERT_EQ(std::bit_cast<uint32_t>(dist[i]), std::bit_cast<uint32_t>(d)) << i;
      }
    }
  }
}

TEST(Pq4Screen, FormsKeepExactlyTheRowsWithinTheirLimits) {
  // Ranges that start on an odd block and end inside a block exercise the two-block groups.
  for (size_t m : {1, 3, 16, 33}) {
    const size_t rows = 150;
    const auto codes = random_codes(rows, m, 7 * m);
    const auto packed = PackedPq4Codes::pack(codes, rows, m);
    SeededRng rng(m);
    std::vector<uint8_t> entries(m * 16);
    for (auto& e : entries) e = uint8_t(rng.uniform_f64(0.0, 256.0));
    std::vector<uint16_t> limits(rows);
    for (auto& l : limits) l = uint16_t(rng.uniform_f64(0.0, double(m) * 160.0));
    for (auto [begin, end] : {std::pair<size_t, size_t>{0, rows}, {32, 45}, {32, 150}, {128, 150}, {64, 64}}) {
      SCOPED_TRACE(testing::Message() << "m=" << m << " rows [" << begin << ", " << end << ")");
      std::vector<uint32_t> want;
      for (size_t i = begin; i < end; ++i) {
        uint32_t s = 0;
        for (size_t j = 0; j < m; ++j) s += entries[j * 16 + codes[i * m + j]];
        if (s <= limits[i]) want.push_back(uint32_t(i));
      }
      for (auto form : {pq4_rows_within_neon, pq4_rows_within_scalar}) {
        std::vector<uint32_t> got(end - begin);
        got.resize(form(packed, entries.data(), limits.data(), begin, end, got.data()));
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want);
      }
    }
  }
}

TEST(Pq4Screen, KeepsEveryRowThatCouldComeCloser) {
  // A row whose best distance is one float step above its exact distance to the center must be
  // kept: the quantized bound may never exceed the float sum.
  for (size_t m : {2, 16, 64}) {
    SCOPED_TRACE(testing::Message() << "m=" << m);
    SeededRng rng(m + 3);
    std::vector<float> table(m * 256);
    for (auto& v : table) v = float(rng.uniform_f64(0.0, 1.0)) * float(rng.uniform_f64(0.0, 1e3));
    auto screen = Pq4DistanceScreen::build(table, m);
    ASSERT_TRUE(screen);
    const size_t rows = 300;
    const auto codes = random_codes(rows, m, m);
    const auto packed = PackedPq4Codes::pack(codes, rows, m);
    for (size_t trial = 0; trial < 8; ++trial) {
      const uint8_t* center = codes.data() + trial * 37 * m;
      screen->set_center(center);
      std::vector<uint16_t> limits(rows);
      for (size_t i = 0; i < rows; ++i) {
        float d = 0.0f;
        for (size_t j = 0; j < m; ++j) d = d + table[(j * 16 + codes[i * m + j]) * 16 + center[j]];
        limits[i] = screen->limit(std::nextafter(d, kInf));
      }
      std::vector<uint32_t> kept(rows);
      EXPECT_EQ(screen->rows_within(packed, limits.data(), 0, rows, kept.data()), rows);
    }
  }
  EXPECT_EQ(Pq4DistanceScreen::build(std::vector<float>(258 * 256, 1.0f), 258), std::nullopt);
  std::vector<float> with_inf(4 * 256, 1.0f);
  with_inf[9] = kInf;
  EXPECT_EQ(Pq4DistanceScreen::build(with_inf, 4), std::nullopt);
  EXPECT_EQ(Pq4DistanceScreen::build(std::vector<float>(4 * 256, 0.0f), 4), std::nullopt);
}

TEST(Pq4Candidates, ListsAreTheLBestByDistanceThenIndex) {
  // Reference: every center's dequantized distance, sorted by (distance, center), first l (under
  // global calibration lists up to 4 are kept as keys in one scan, up to 8 bound by a sorted
  // insertion, longer ones by the group bar). The
  // tables: random ones, one whose entries all tie, and one whose large bias makes neighbouring
  // sums dequantize to equal distances (so sums and distances order the centers differently).
  struct Case {
    const char* name;
    float lo, span;
  };
  const size_t rows = 140, m = 5, k = 37;
  const auto codes = random_codes(rows, m, 21);
  const auto packed = PackedPq4Codes::pack(codes, rows, m);
  for (const Case& t : {Case{"random", 0.0f, 50.0f}, Case{"all equal", 3.0f, 0.0f}, Case{"collisions", 1e3f, 0.01f}}) {
    std::vector<float> table = random_table(m, k, 5);
    for (float& v : table) v = t.lo + t.span * (v / 50.0f);
    for (bool per_center : {false, true}) {
      QuantizedPq4LookupTables q;
      ASSERT_TRUE(q.update_from_f32_with(table, m, k, per_center));
      for (size_t l : {size_t{1}, size_t{2}, size_t{4}, size_t{7}, size_t{8}, size_t{9}, k - 1}) {
        SCOPED_TRACE(testing::Message() << t.name << " per_center=" << per_center << " l=" << l);
        std::vector<std::vector<uint32_t>> want(rows);
        for (size_t i = 0; i < rows; ++i) {
          std::vector<std::pair<float, uint32_t>> all;
          for (size_t c = 0; c < k; ++c) {
            uint32_t s = 0;
            for (size_t j = 0; j < m; ++j) s += q.entries[(c * m + j) * 16 + codes[i * m + j]];
            const float scale = per_center ? q.scales[c] : q.scale;
            const float bias = per_center ? q.biases[c] : q.bias;
            all.push_back({float(s) * scale + bias * float(m), uint32_t(c)});
          }
          std::sort(all.begin(), all.end());
          for (size_t e = 0; e < l; ++e) want[i].push_back(all[e].second);
          std::sort(want[i].begin(), want[i].end());
        }
        for (auto form : {pq4_top_candidates_neon, pq4_top_candidates_scalar}) {
          for (auto [begin, end] : {std::pair<size_t, size_t>{0, rows}, {32, 100}}) {
            std::vector<uint32_t> got((end - begin) * l);
            std::vector<float> d((end - begin) * l);
            form(packed, q, l, begin, end, got.data(), d.data());
            for (size_t i = begin; i < end; ++i) {
              std::vector<uint32_t> list(got.begin() + ptrdiff_t((i - begin) * l),
                                         got.begin() + ptrdiff_t((i - begin + 1) * l));
              std::sort(list.begin(), list.end());
              ASSERT_EQ(list, want[i]) << "row " << i;
            }
          }
        }
      }
    }
  }
}

TEST(Pq4Candidates, PermuteScanGivesTheShuffleScansListsBitForBit) {
  // The four-subspace permute against the nibble shuffle (VANTORIX_PQ4_PERMUTE=off), lists of
  // 1 to 8 (keys in registers, then on the stack against the shuffle's two scans): M around
  // and between multiples of four (a last group of 1 to 3 subspaces, whose table bytes past M
  // must read as zero), M = 257 (sums up to 65535), k odd (a last center swept alone), row ranges
  // that start inside a 64-row step and end inside a block, and tables with all-equal entries.
  if (!pq4_permute_scan_available()) GTEST_SKIP() << "no AVX512-VBMI/VNNI here";
  struct Case {
    size_t m, k;
    float span;
  };
  const size_t rows = 161;
  for (const Case t : {Case{1, 5, 50}, Case{2, 64, 50}, Case{3, 9, 50}, Case{4, 37, 50}, Case{7, 301, 50},
                       Case{8, 2, 50}, Case{13, 65, 50}, Case{96, 40, 50}, Case{257, 11, 50}, Case{6, 33, 0}}) {
    const auto codes = random_codes(rows, t.m, 40 + t.m);
    const auto packed = PackedPq4Codes::pack(codes, rows, t.m);
    std::vector<float> table = random_table(t.m, t.k, 7 + t.k);
    for (float& v : table) v = 1.0f + t.span * (v / 50.0f);
    QuantizedPq4LookupTables q;
    ASSERT_TRUE(q.update_from_f32_with(table, t.m, t.k, false));
    for (size_t l = 1; l <= std::min<size_t>(8, t.k - 1); ++l) {
      for (auto [begin, end] : {std::pair<size_t, size_t>{0, rows}, {32, 131}, {96, 97}}) {
        SCOPED_TRACE(testing::Message() << "m=" << t.m << " k=" << t.k << " l=" << l << " rows " << begin << ".."
                                        << end);
        // Each row's (center, distance bits), in center order: the lists' order is free.
        auto lists = [&](bool permute) {
          std::vector<uint32_t> c((end - begin) * l);
          std::vector<float> d(c.size());
          {
            ScopedEnv env(permute ? EnvVars{} : EnvVars{{"VANTORIX_PQ4_PERMUTE", "off"}});
            pq4_top_candidates_neon(packed, q, l, begin, end, c.data(), d.data());
          }
          std::vector<std::pair<uint32_t, uint32_t>> out;
          for (size_t i = 0; i < c.size(); ++i) out.push_back({c[i], std::bit_cast<uint32_t>(d[i])});
          for (size_t r = 0; r < end - begin; ++r) {
            std::sort(out.begin() + ptrdiff_t(r * l), out.begin() + ptrdiff_t((r + 1) * l));
          }
          return out;
        };
        ASSERT_EQ(lists(true), lists(false));
      }
    }
  }
}

TEST(Pq4Candidates, ManyCentersAndLongListsKeepTheSameRule) {
  // Beyond 1 MiB of kept sums per block the second pass scans again, and beyond 64 groups (l > 32)
  // the bar is selected per row instead of counted in lanes; the lists must not change.
  const size_t rows = 40, m = 3, k = 16500;
  const auto codes = random_codes(rows, m, 2);
  const auto packed = PackedPq4Codes::pack(codes, rows, m);
  QuantizedPq4LookupTables q;
  ASSERT_TRUE(q.update_from_f32_with(random_table(m, k, 9), m, k, false));
  using Form = decltype(&pq4_top_candidates_neon);
  for (auto [l, form] : {std::pair<size_t, Form>{3, pq4_top_candidates_neon}, {3, pq4_top_candidates_scalar},
                         {40, pq4_top_candidates_neon}, {40, pq4_top_candidates_scalar}}) {
    SCOPED_TRACE(testing::Message() << "l=" << l);
    std::vector<uint32_t> got(rows * l);
    std::vector<float> d(rows * l);
    form(packed, q, l, 0, rows, got.data(), d.data());
    for (size_t i = 0; i < rows; ++i) {
      std::vector<std::pair<uint32_t, uint32_t>> all;  // (sum, center): global order
      for (size_t c = 0; c < k; ++c) {
        uint32_t s = 0;
        for (size_t j = 0; j < m; ++j) s += q.entries[(c * m + j) * 16 + codes[i * m + j]];
        all.push_back({s, uint32_t(c)});
      }
      std::partial_sort(all.begin(), all.begin() + l, all.end());
      std::vector<uint32_t> want, list(got.begin() + ptrdiff_t(i * l), got.begin() + ptrdiff_t((i + 1) * l));
      for (size_t e = 0; e < l; ++e) want.push_back(all[e].second);
      std::sort(want.begin(), want.end());
      std::sort(list.begin(), list.end());
      ASSERT_EQ(list, want) << "row " << i;
    }
  }
}
