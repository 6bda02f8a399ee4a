#include <gtest/gtest.h>

#include <cstdlib>

#include "env.hpp"

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
