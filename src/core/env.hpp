#pragma once
// Environment numbers and switch words: every VANTORIX_* variable the library reads is a row of
// one table (env.cpp), read through env_word(), env_number() or env_present(). A new switch is a
// new EnvSwitch member and a new row.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantorix {

// An unsigned decimal integer with an optional leading '+'. Unset, empty, any other text and
// values that overflow 64 bits are all "unset" (nullopt). Zero is returned as zero: callers that
// treat zero as unset say so.
std::optional<uint64_t> env_usize(const char* name);
std::optional<uint64_t> parse_usize(std::string_view text);

// The variable's text, or nullopt when it is unset or not valid UTF-8.
std::optional<std::string> env_text(const char* name);

// ASCII lower-case; with strip_separators every '-' and '_' is removed as well.
std::string normalize_switch(std::string_view text, bool strip_separators);

// env_text normalised, with unset (or non-UTF-8) read as the empty string.
std::string env_switch(const char* name, bool strip_separators);

bool is_valid_utf8(std::string_view text);

enum class EnvSwitch : uint8_t {
  // words
  Simd,
  DenseAssign,
  DenseScreen,
  DenseHamerly,
  DenseEarlyAbandon,
  DenseUpdate,
  PqEncode,
  X86Level,
  PdxExact,
  PdxPrune,  // VANTORIX_PDX_PRUNE, else VANTORIX_DIM_PRUNE
  FlashExact,  // VANTORIX_FLASH_EXACT, else VANTORIX_EXACT_ASSIGNMENT
  Pq4Fastscan,
  Pq4LutCalibration,
  Pq4Permute,
  // numbers
  NumThreads,
  DenseInitSampleRows,
  DenseInitMinSampleRows,
  DenseInitMaxSampleRows,
  DenseInitRowsPerCenter,
  DenseBlasMinKL2,  // VANTORIX_DENSE_BLAS_MIN_K, else ..._L2

  DenseBlasMinKCosine,  // VANTORIX_DENSE_BLAS_MIN_K, else ..._COSINE
  DenseBlasMinOps,
  DenseScreenBlockRows,
  RotationBatchMib,
  // presence
  ProfileCluster,
};

// What a switch's word means. Each switch uses a few of these; Auto is "decide adaptively".
enum class Word : uint8_t { Auto, Off, On, Scalar, Sse, Avx2, Avx512, Neon, Rows, Gemm, Sharded, Transposed, Direct, PerCenter, Bf16 };

// While it lives, env_word(id) answers `word` on the thread that made it, whatever the
// environment says: a call that names a setting itself (a keyword argument) takes precedence over
// the switch for that call. A null word leaves the switch in charge; scopes nest.
class ScopedWord {
 public:
  ScopedWord(EnvSwitch id, std::optional<Word> word);
  ~ScopedWord();
  ScopedWord(const ScopedWord&) = delete;
  ScopedWord& operator=(const ScopedWord&) = delete;

 private:
  EnvSwitch id_;
  std::optional<Word> saved_;
};

struct SwitchWord {
  const char* text;
  Word meaning;
  bool strip_separators;  // compared after removing '-' and '_' (always after ASCII lower-casing)
};

struct EnvVariable {
  EnvSwitch id;
  const char* name;
  const char* fallback;  // read instead when `name` counts as unset; nullptr: none
  enum class Kind : uint8_t { Words, Number, Presence } kind;
  // Words: the meaning of an unset (or non-UTF-8) variable, of any word not listed, and the list.
  Word unset = Word::Auto;
  Word other = Word::Auto;
  std::span<const SwitchWord> words = {};
  // Numbers: whether 0 counts as unset.
  bool zero_is_unset = false;
};

const EnvVariable& env_variable(EnvSwitch id);
// The meaning of text (nullopt: unset) under the switch's words.
Word switch_word(EnvSwitch id, const std::optional<std::string>& text);
// The switch's meaning from the environment, read now.
Word env_word(EnvSwitch id);
// The number from the environment, read now; nullopt when unset, unparsable or (where the row
// says so) zero, after trying the fallback variable.
std::optional<uint64_t> env_number(EnvSwitch id);
// The variable's text (or its fallback's) as env_text(name) reads it.
std::optional<std::string> env_text(EnvSwitch id);
// Whether the variable is set at all (any value, even empty).
bool env_present(EnvSwitch id);

}  // namespace vantorix
