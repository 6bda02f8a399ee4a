// Exact nearest-center assignment on the dimension-major blocks (plain and pruned) and on cache-tiled
// rows (flash): every form against one sequential reference, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/env.hpp"
#include "core/error.hpp"
#include "kernels/tiled_rows.hpp"
#include "kernels/pdx.hpp"
#include "scoped_env.hpp"

using namespace vantorix;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Problem {
  size_t rows, dim, k;
  std::vector<float> x, c;
};

// Rows near random centers (so pruning has something to skip), values in [-scale, scale].
Problem clustered(size_t rows, size_t dim, size_t k, uint32_t seed, float scale = 1.0f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-scale, scale);
  Problem p{rows, dim, k, std::vector<float>(rows * dim), std::vector<float>(k * dim)};
  for (auto& v : p.c) v = u(gen);
  for (size_t i = 0; i < rows; ++i) {
    const size_t home = gen() % k;
    for (size_t d = 0; d < dim; ++d) p.x[i * dim + d] = p.c[home * dim + d] + 0.1f * u(gen);
  }
  return p;
}

struct Assignment {
  std::vector<size_t> labels;
  std::vector<float> distances;
};

// What every form must return: per (row, center) the float32 sum of separately rounded squared
// differences in dimension order, strict minimum in center order from (0, +inf).
Assignment reference(const Problem& p) {
  Assignment a{std::vector<size_t>(p.rows, 0), std::vector<float>(p.rows, kInf)};
  for (size_t i = 0; i < p.rows; ++i) {
    for (size_t j = 0; j < p.k; ++j) {
      float s = 0.0f;
      for (size_t d = 0; d < p.dim; ++d) {
        const float t = p.x[i * p.dim + d] - p.c[j * p.dim + d];
        s = s + t * t;
      }
      if (s < a.distances[i]) a.distances[i] = s, a.labels[i] = j;
    }
  }
  return a;
}

using Form = std::function<Assignment(const Problem&)>;

const std::vector<std::pair<const char*, Form>>& forms() {
  static const std::vector<std::pair<const char*, Form>> all = [] {
    auto run = [](auto fn) {
      return [fn](const Problem& p) {
        Assignment a{std::vector<size_t>(p.rows, 7), std::vector<float>(p.rows, -1.0f)};
        fn(p, a);
        return a;
      };
    };
    std::vector<std::pair<const char*, Form>> v;
    v.emplace_back("pdx", run([](const Problem& p, Assignment& a) {
                     PdxMatrix::from_row_major(p.x, p.rows, p.dim).assign_l2_into(p.c, p.k, a.labels, a.distances);
                   }));
    v.emplace_back("pdx_pruned", run([](const Problem& p, Assignment& a) {
                     PdxMatrix::from_row_major(p.x, p.rows, p.dim)
                         .assign_l2_pruned_into(p.c, p.k, a.labels, a.distances);
                   }));
    v.emplace_back("pdx_scalar", run([](const Problem& p, Assignment& a) {
                     PdxMatrix::from_row_major(p.x, p.rows, p.dim)
                         .assign_l2_scalar(p.c.data(), p.k, a.labels.data(), a.distances.data());
                   }));
    v.emplace_back("pdx_pruned_scalar", run([](const Problem& p, Assignment& a) {
                     PdxMatrix::from_row_major(p.x, p.rows, p.dim)
                         .assign_l2_pruned_scalar(p.c.data(), p.k, a.labels.data(), a.distances.data(), nullptr);
                   }));
    v.emplace_back("pdx_vector", run([](const Problem& p, Assignment& a) {
                     PdxMatrix::from_row_major(p.x, p.rows, p.dim)
                         .assign_l2_vector(p.c.data(), p.k, a.labels.data(), a.distances.data());
                   }));
    v.emplace_back("pdx_pruned_vector", run([](const Problem& p, Assignment& a) {
                     PdxMatrix::from_row_major(p.x, p.rows, p.dim)
                         .assign_l2_pruned_vector(p.c.data(), p.k, a.labels.data(), a.distances.data(), nullptr);
                   }));
    v.emplace_back("flash", run([](const Problem& p, Assignment& a) {
                     assign_l2_flash_into(p.x, p.c, p.rows, p.dim, p.k, a.labels, a.distances);
                   }));
    v.emplace_back("flash_vector", run([](const Problem& p, Assignment& a) {
                     assign_l2_flash_vector(p.x.data(), p.c.data(), p.rows, p.dim, p.k, a.labels.data(),
                                            a.distances.data());
                   }));
    v.emplace_back("flash_scalar", run([](const Problem& p, Assignment& a) {
                     assign_l2_flash_scalar(p.x.data(), p.c.data(), p.rows, p.dim, p.k, a.labels.data(),
                                            a.distances.data());
                   }));
    return v;
  }();
  return all;
}

void expect_all_forms_match_reference(const Problem& p, const std::string& what) {
  const Assignment want = reference(p);
  for (const auto& [name, form] : forms()) {
    const Assignment got = form(p);
    EXPECT_EQ(got.labels, want.labels) << name << ' ' << what;
    for (size_t i = 0; i < p.rows; ++i) {
      ASSERT_EQ(std::bit_cast<uint32_t>(got.distances[i]), std::bit_cast<uint32_t>(want.distances[i]))
          << name << ' ' << what << " row " << i;
    }
  }
}

std::string message_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const VantorixError& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace

TEST(PdxMatrix, BlocksAreDimensionMajorWithZeroPadding) {
  for (size_t rows : {1u, 64u, 65u}) {
    const size_t dim = 3;
    std::vector<float> x(rows * dim);
    for (size_t i = 0; i < x.size(); ++i) x[i] = float(i + 1);
    const PdxMatrix m = PdxMatrix::from_row_major(x, rows, dim);
    const size_t blocks = (rows + 63) / 64;
    ASSERT_EQ(m.blocks(), blocks);
    ASSERT_EQ(m.data().size(), blocks * dim * 64);
    for (size_t b = 0; b < blocks; ++b) {
      for (size_t d = 0; d < dim; ++d) {
        for (size_t r = 0; r < 64; ++r) {
          const size_t row = 64 * b + r;
          const float want = row < rows ? x[row * dim + d] : 0.0f;
          ASSERT_EQ(m.data()[b * dim * 64 + d * 64 + r], want) << rows << ' ' << b << ' ' << d << ' ' << r;
        }
      }
    }
  }
}

TEST(PdxMatrix, ConstructionErrors) {
  const std::vector<float> six(6, 1.0f);
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { PdxMatrix::from_row_major({}, 0, 0); }, "PDX matrix must contain at least one row"},
      {[&] { PdxMatrix::from_row_major(six, 2, 0); }, "PDX matrix dimensionality must be positive"},
      {[&] { PdxMatrix::from_row_major(six, 2, 4); }, "row-major matrix length does not match shape"},
      // rows * dim overflows: a length mismatch, not a wrapped product that happens to match.
      {[&] { PdxMatrix::from_row_major(six, size_t(1) << 63, 2); }, "row-major matrix length does not match shape"},
  };
  for (const auto& [fn, want] : cases) EXPECT_EQ(message_of(fn), want);
}

TEST(ExactAssignment, AllFormsEqualTheSequentialSumBitForBit) {
  struct Shape {
    size_t rows, dim, k;
  };
  // Block boundaries (1, 64, 65 rows), flash chunks (129 rows) and tiles (k = 1, 8, 9, 17, 33),
  // dimensions below and above one register and the real data widths.
  const Shape shapes[] = {{1, 3, 1},    {64, 5, 8},    {65, 17, 9},  {129, 4, 17}, {129, 1, 3},
                          {200, 128, 33}, {70, 784, 24}, {300, 20, 64}, {130, 7, 129}};
  uint32_t seed = 1;
  for (const auto& s : shapes) {
    const Problem p = clustered(s.rows, s.dim, s.k, seed++);
    expect_all_forms_match_reference(p, std::to_string(s.rows) + "x" + std::to_string(s.dim) + " k=" +
                                            std::to_string(s.k));
  }
}

TEST(ExactAssignment, AdversarialValues) {
  // Near ties: coordinates a few ulps apart, so many (row, center) distances are equal or one
  // rounding apart.
  const float ulp = std::nextafter(1.0f, 2.0f) - 1.0f;
  Problem ties{130, 4, 20, {}, {}};
  for (size_t j = 0; j < ties.k; ++j) {
    for (size_t d = 0; d < ties.dim; ++d) ties.c.push_back(1.0f + float((j + d) % 4) * ulp);
  }
  for (size_t i = 0; i < ties.rows; ++i) {
    for (size_t d = 0; d < ties.dim; ++d) ties.x.push_back(1.0f + float((i + d) % 5) * ulp);
  }
  expect_all_forms_match_reference(ties, "near ties");

  // Huge values whose squares overflow to +inf, tiny ones whose squares underflow to zero (so
  // every center ties at 0), infinities (inf - inf is NaN) and NaN rows.
  for (float scale : {1e18f, 1e-25f, 3e38f}) {
    Problem p = clustered(150, 9, 11, 7, scale);
    expect_all_forms_match_reference(p, "scale " + std::to_string(scale));
  }
  Problem special = clustered(140, 6, 10, 8);
  special.x[3 * 6 + 2] = kNaN;
  special.x[70 * 6 + 0] = kInf;
  special.c[4 * 6 + 0] = kInf;
  special.x[100 * 6 + 5] = -kInf;
  for (size_t d = 0; d < 6; ++d) special.x[139 * 6 + d] = kNaN;
  expect_all_forms_match_reference(special, "special values");
}

TEST(ExactAssignment, NaNRowsAndDuplicateCenters) {
  // Centers 2 and 13 (different tiles and center passes) are identical and nearest to every row:
  // the lower index wins. Row 1 holds a NaN: label 0, distance +inf.
  Problem p{66, 5, 16, std::vector<float>(66 * 5, 0.0f), std::vector<float>(16 * 5, 10.0f)};
  for (size_t d = 0; d < 5; ++d) p.c[2 * 5 + d] = p.c[13 * 5 + d] = 0.5f;
  p.x[1 * 5 + 4] = kNaN;
  for (const auto& [name, form] : forms()) {
    const Assignment a = form(p);
    for (size_t i = 0; i < p.rows; ++i) {
      if (i == 1) {
        EXPECT_EQ(a.labels[i], 0u) << name;
        EXPECT_EQ(a.distances[i], kInf) << name;
      } else {
        ASSERT_EQ(a.labels[i], 2u) << name << " row " << i;
        ASSERT_EQ(a.distances[i], 1.25f) << name;
      }
    }
  }
}

TEST(ExactAssignment, PruningSkipsWorkOnClusteredRows) {
  // Every row sits next to center 0, far from the others: once center 0 is done, the other
  // centers are abandoned after a few dimensions.
  Problem p = clustered(256, 64, 32, 11);
  for (size_t i = 0; i < p.rows; ++i) {
    for (size_t d = 0; d < p.dim; ++d) p.x[i * p.dim + d] = p.c[d] + 1e-3f * float((i + d) % 7);
  }
  const PdxMatrix m = PdxMatrix::from_row_major(p.x, p.rows, p.dim);
  Assignment a{std::vector<size_t>(p.rows), std::vector<float>(p.rows)};
  for (bool vector : {true, false}) {
    std::atomic<uint64_t> steps{0};
    if (vector) {
      m.assign_l2_pruned_vector(p.c.data(), p.k, a.labels.data(), a.distances.data(), &steps);
    } else {
      m.assign_l2_pruned_scalar(p.c.data(), p.k, a.labels.data(), a.distances.data(), &steps);
    }
    EXPECT_GT(steps.load(), 0u);
    EXPECT_LT(steps.load(), p.rows * p.k * p.dim / 2) << vector;
    EXPECT_EQ(a.labels, std::vector<size_t>(p.rows, 0));
  }
}

TEST(ExactAssignment, ValidationComesFirstAndWritesNothing) {
  const size_t rows = 5, dim = 3, k = 2;
  const std::vector<float> x(rows * dim, 1.0f), c(k * dim, 0.0f);
  const PdxMatrix m = PdxMatrix::from_row_major(x, rows, dim);
  std::vector<size_t> labels(rows, 99), short_labels(rows - 1, 99);
  std::vector<float> dist(rows, -1.0f), short_dist(rows - 1, -1.0f);
  using Assign = std::function<void(std::span<const float>, size_t, std::span<size_t>, std::span<float>)>;
  const Assign pdx_forms[] = {
      [&](auto cs, size_t kk, auto l, auto d) { m.assign_l2_into(cs, kk, l, d); },
      [&](auto cs, size_t kk, auto l, auto d) { m.assign_l2_pruned_into(cs, kk, l, d); },
  };
  for (const auto& assign : pdx_forms) {
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { assign({}, 0, short_labels, dist); }, "k must be greater than zero"},
        {[&] { assign(std::span(c).first(5), k, short_labels, dist); }, "center matrix length does not match PDX shape"},
        {[&] { assign(c, k, short_labels, dist); }, "assignment output length does not match PDX rows"},
        {[&] { assign(c, k, labels, short_dist); }, "assignment output length does not match PDX rows"},
    };
    for (const auto& [fn, want] : cases) EXPECT_EQ(message_of(fn), want);
  }
  const std::pair<std::function<void()>, const char*> flash_cases[] = {
      {[&] { assign_l2_flash_into(x, c, rows, 0, 0, short_labels, dist); }, "vector dimensionality must be positive"},
      {[&] { assign_l2_flash_into(x, c, rows, dim, 0, short_labels, dist); }, "k must be greater than zero"},
      {[&] { assign_l2_flash_into(x, c, rows + 1, dim, k, short_labels, dist); },
       "input vector matrix length does not match shape"},
      {[&] { assign_l2_flash_into(x, c, rows, dim, k + 1, short_labels, dist); },
       "center matrix length does not match shape"},
      {[&] { assign_l2_flash_into(x, c, rows, dim, k, short_labels, dist); }, "assignment output length does not match rows"},
      {[&] { assign_l2_flash_into(x, c, rows, dim, k, labels, short_dist); }, "assignment output length does not match rows"},
  };
  for (const auto& [fn, want] : flash_cases) EXPECT_EQ(message_of(fn), want);
  EXPECT_EQ(labels, std::vector<size_t>(rows, 99));
  EXPECT_EQ(short_labels, std::vector<size_t>(rows - 1, 99));
  EXPECT_EQ(dist, std::vector<float>(rows, -1.0f));
  EXPECT_EQ(short_dist, std::vector<float>(rows - 1, -1.0f));

  // No rows is a valid flash call that writes nothing.
  EXPECT_NO_THROW(assign_l2_flash_into({}, c, 0, dim, k, {}, {}));
}

TEST(ExactLayoutSwitches, Words) {
  using Opt = std::optional<std::string>;
  struct Case {
    EnvSwitch id;
    Opt text;
    bool on;
  };
  const Case cases[] = {
      {EnvSwitch::PdxExact, "Yes", true},         {EnvSwitch::PdxExact, "TRUE", true},
      {EnvSwitch::PdxExact, "Auto", true},        {EnvSwitch::PdxExact, "t-r-u-e", true},
      {EnvSwitch::PdxExact, "o_n", true},         {EnvSwitch::PdxExact, "enabled", false},
      {EnvSwitch::PdxExact, "2", false},          {EnvSwitch::PdxExact, " 1", false},
      {EnvSwitch::PdxExact, "", false},           {EnvSwitch::PdxExact, "pdx", false},
      {EnvSwitch::PdxExact, std::nullopt, false}, {EnvSwitch::PdxPrune, "PDX", true},
      {EnvSwitch::PdxPrune, "1", true},           {EnvSwitch::PdxPrune, "0", false},
      {EnvSwitch::PdxPrune, "flash", false},      {EnvSwitch::FlashExact, "Flash-Assign", true},
      {EnvSwitch::FlashExact, "FLASH_ASSIGN", true}, {EnvSwitch::FlashExact, "auto", true},
      {EnvSwitch::FlashExact, "0", false},        {EnvSwitch::FlashExact, "pdx", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(switch_word(c.id, c.text) == Word::On, c.on) << env_variable(c.id).name << ' ' << c.text.value_or("(unset)");
  }
}

// The cached switches, each in a fresh child process: the environment at first use decides, and
// a later change has no effect.
TEST(ExactLayoutSwitchesDeathTest, ReadOncePerProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* names[] = {"VANTORIX_PDX_EXACT", "VANTORIX_PDX_PRUNE", "VANTORIX_DIM_PRUNE", "VANTORIX_FLASH_EXACT",
                         "VANTORIX_EXACT_ASSIGNMENT"};
  struct Case {
    EnvVars env;
    int want;  // bit 0 exact, bit 1 pruning, bit 2 flash
  };
  const Case cases[] = {
      {{}, 0},
      {{{"VANTORIX_PDX_EXACT", "t-r-u-e"}, {"VANTORIX_DIM_PRUNE", "1"}, {"VANTORIX_EXACT_ASSIGNMENT", "1"}}, 7},
      {{{"VANTORIX_PDX_PRUNE", "0"}, {"VANTORIX_DIM_PRUNE", "1"}, {"VANTORIX_FLASH_EXACT", "Flash-Assign"}}, 4},
      {{{"VANTORIX_PDX_EXACT", " 1"}, {"VANTORIX_FLASH_EXACT", "0"}, {"VANTORIX_EXACT_ASSIGNMENT", "1"}}, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          for (const char* n : names) ::unsetenv(n);
          for (const auto& [n, v] : c.env) ::setenv(n.c_str(), v.c_str(), 1);
          auto read = [] { return int(pdx_exact_enabled()) | int(pdx_pruning_enabled()) << 1 | int(flash_exact_enabled()) << 2; };
          const int first = read();
          for (const char* n : names) ::setenv(n, first ? "off" : "on", 1);
          std::exit(read() == first ? first : 100);
        },
        ::testing::ExitedWithCode(c.want), "");
  }
}
