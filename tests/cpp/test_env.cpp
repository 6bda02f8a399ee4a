#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "core/env.hpp"
#include "scoped_env.hpp"

using namespace vantorix;

TEST(Env, ParseUsize) {
  const std::pair<const char*, std::optional<uint64_t>> cases[] = {
      {"0", 0},
      {"42", 42},
      {"+8", 8},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},  // overflow
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-1", std::nullopt},
      {" 8", std::nullopt},
      {"8 ", std::nullopt},
      {"8MiB", std::nullopt},
      {"++8", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (auto [text, want] : cases) EXPECT_EQ(parse_usize(text), want) << '"' << text << '"';
}

TEST(Env, ReadsTheEnvironment) {
  ::setenv("VANTORIX_TEST_NUMBER", "+12", 1);
  EXPECT_EQ(env_usize("VANTORIX_TEST_NUMBER"), 12u);
  ::unsetenv("VANTORIX_TEST_NUMBER");
  EXPECT_EQ(env_usize("VANTORIX_TEST_NUMBER"), std::nullopt);

  // Text that is not UTF-8 reads as unset.
  ::setenv("VANTORIX_TEST_SWITCH", "\xff\xfe", 1);
  EXPECT_EQ(env_text("VANTORIX_TEST_SWITCH"), std::nullopt);
  EXPECT_EQ(env_switch("VANTORIX_TEST_SWITCH", true), "");
  ::setenv("VANTORIX_TEST_SWITCH", "G_E-M-M", 1);
  EXPECT_EQ(env_switch("VANTORIX_TEST_SWITCH", true), "gemm");
  EXPECT_EQ(env_switch("VANTORIX_TEST_SWITCH", false), "g_e-m-m");
  ::unsetenv("VANTORIX_TEST_SWITCH");
  EXPECT_EQ(env_switch("VANTORIX_TEST_SWITCH", true), "");
}

TEST(Env, NormalizeSwitchTouchesOnlyAscii) {
  EXPECT_EQ(normalize_switch("Avx_512", true), "avx512");
  EXPECT_EQ(normalize_switch(" On ", true), " on ");  // spaces are kept
  EXPECT_EQ(normalize_switch("\xc3\x89T\xc3\x89", false), "\xc3\x89t\xc3\x89");  // É stays
}

TEST(Env, Utf8Validation) {
  const std::pair<const char*, bool> cases[] = {
      {"plain", true},          {"\xc3\xa9", true},      {"\xe2\x82\xac", true}, {"\xf0\x9f\x98\x80", true},
      {"\xc3", false},          {"\x80", false},         {"\xc0\xaf", false},    {"\xed\xa0\x80", false},
      {"\xf4\x90\x80\x80", false}, {"\xe2\x82", false},
  };
  for (auto [text, ok] : cases) EXPECT_EQ(is_valid_utf8(text), ok) << text;
}

TEST(Env, EverySwitchHasItsRow) {
  for (int i = 0; i <= int(EnvSwitch::ProfileCluster); ++i) {
    EXPECT_EQ(env_variable(EnvSwitch(i)).id, EnvSwitch(i)) << i;
  }
}

TEST(Env, SwitchWords) {
  struct Case {
    EnvSwitch id;
    std::optional<std::string> text;
    Word want;
  };
  const Case cases[] = {
      {EnvSwitch::Simd, std::nullopt, Word::Auto},
      {EnvSwitch::Simd, "A_V-X512", Word::Avx512},
      {EnvSwitch::Simd, "sse", Word::Auto},
      // One variable, two comparisons: disabling words lower-cased only, forcing words stripped.
      {EnvSwitch::DenseAssign, "Rows", Word::Rows},
      {EnvSwitch::DenseAssign, "r_o_w_s", Word::Auto},
      {EnvSwitch::DenseAssign, "g_e_m_m", Word::Gemm},
      {EnvSwitch::DenseHamerly, "bound", Word::Off},
      {EnvSwitch::DenseEarlyAbandon, "Bound-ed", Word::On},
      {EnvSwitch::DenseUpdate, "", Word::Auto},
      {EnvSwitch::DenseUpdate, "rows", Word::Rows},
      {EnvSwitch::PqEncode, "FAISS", Word::Transposed},
      {EnvSwitch::PqEncode, "direct", Word::Direct},
      {EnvSwitch::X86Level, "AVX-512", Word::Avx512},
      {EnvSwitch::X86Level, "SSE", Word::Sse},
      {EnvSwitch::X86Level, "neon", Word::Auto},
  };
  for (const auto& c : cases) EXPECT_EQ(switch_word(c.id, c.text), c.want) << c.text.value_or("(unset)");
}

TEST(Env, FallbackVariables) {
  struct Case {
    EnvVars vars;
    EnvSwitch id;
    std::optional<uint64_t> number;  // for number rows
    Word word;                       // for word rows
  };
  const Case cases[] = {
      {{{"VANTORIX_DENSE_ASSIGN_BOUND", "on"}}, EnvSwitch::DenseEarlyAbandon, std::nullopt, Word::On},
      {{{"VANTORIX_DENSE_EARLY_ABANDON", "off"}, {"VANTORIX_DENSE_ASSIGN_BOUND", "on"}},
       EnvSwitch::DenseEarlyAbandon, std::nullopt, Word::Off},
      {{{"VANTORIX_DENSE_BLAS_MIN_K_L2", "7"}}, EnvSwitch::DenseBlasMinKL2, 7, Word::Auto},
      {{{"VANTORIX_DENSE_BLAS_MIN_K_L2", "7"}}, EnvSwitch::DenseBlasMinKCosine, std::nullopt, Word::Auto},
      // Zero is a value for the product thresholds (and the shared variable wins) ...
      {{{"VANTORIX_DENSE_BLAS_MIN_K", "0"}, {"VANTORIX_DENSE_BLAS_MIN_K_L2", "7"}}, EnvSwitch::DenseBlasMinKL2, 0,
       Word::Auto},
      // ... and unset for the thread count.
      {{{"VANTORIX_NUM_THREADS", "0"}}, EnvSwitch::NumThreads, std::nullopt, Word::Auto},
  };
  for (const auto& c : cases) {
    const ScopedEnv env(c.vars);
    if (env_variable(c.id).kind == EnvVariable::Kind::Number) {
      EXPECT_EQ(env_number(c.id), c.number) << env_variable(c.id).name;
    } else {
      EXPECT_EQ(env_word(c.id), c.word) << env_variable(c.id).name;
    }
  }
}

TEST(Env, ScopedWordsOverrideTheirSwitchOnTheirThreadOnly) {
  const ScopedEnv env(EnvVars{{"VANTORIX_PQ4_FASTSCAN", "on"}});
  const auto on_other_thread = [] {
    Word seen = Word::Auto;
    std::thread([&] { seen = env_word(EnvSwitch::Pq4Fastscan); }).join();
    return seen;
  };
  {
    const ScopedWord off(EnvSwitch::Pq4Fastscan, Word::Off);
    EXPECT_EQ(env_word(EnvSwitch::Pq4Fastscan), Word::Off);
    EXPECT_EQ(on_other_thread(), Word::On);
    {
      const ScopedWord none(EnvSwitch::Pq4Fastscan, std::nullopt);  // leaves the outer word
      EXPECT_EQ(env_word(EnvSwitch::Pq4Fastscan), Word::Off);
      const ScopedWord on(EnvSwitch::Pq4Fastscan, Word::On);
      EXPECT_EQ(env_word(EnvSwitch::Pq4Fastscan), Word::On);
    }
    EXPECT_EQ(env_word(EnvSwitch::Pq4Fastscan), Word::Off);
  }
  EXPECT_EQ(env_word(EnvSwitch::Pq4Fastscan), Word::On);
}
