#include "core/env.hpp"

#include <cstdlib>

#include "core/error.hpp"

namespace vantorix {

std::optional<uint64_t> parse_usize(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, uint64_t{10}, &value) ||
        __builtin_add_overflow(value, uint64_t(c - '0'), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

std::optional<uint64_t> env_usize(const char* name) {
  const char* raw = std::getenv(name);
  if (raw == nullptr) return std::nullopt;
  return parse_usize(raw);
}

bool is_valid_utf8(std::string_view text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) { i += 1; continue; }
    if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; }
    else return false;
    if (i + extra >= n) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

std::optional<std::string> env_text(const char* name) {
  const char* raw = std::getenv(name);
  if (raw == nullptr) return std::nullopt;
  std::string text(raw);
  if (!is_valid_utf8(text)) return std::nullopt;
  return text;
}

std::string normalize_switch(std::string_view text, bool strip_separators) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (strip_separators && (c == '-' || c == '_')) continue;
    out.push_back((c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c);
  }
  return out;
}

std::string env_switch(const char* name, bool strip_separators) {
  auto text = env_text(name);
  return text ? normalize_switch(*text, strip_separators) : std::string();
}

namespace {

using K = EnvVariable::Kind;

constexpr SwitchWord kSimdWords[] = {
    {"off", Word::Scalar, true},  {"none", Word::Scalar, true},  {"scalar", Word::Scalar, true},
    {"avx2", Word::Avx2, true},   {"avx512", Word::Avx512, true}, {"neon", Word::Neon, true},
};
// The disabling words are compared after lower-casing only, the forcing words with separators
// removed as well ("r_o_w_s" stays adaptive, "g_e_m_m" forces the product).
constexpr SwitchWord kDenseAssignWords[] = {
    {"row", Word::Rows, false},  {"rows", Word::Rows, false}, {"manual", Word::Rows, false},
    {"scalar", Word::Rows, false}, {"gemm", Word::Gemm, true}, {"blas", Word::Gemm, true},
    {"sgemm", Word::Gemm, true},
};
// Whether the exact assignment screens with a matrix product: measured per shape unless forced.
constexpr SwitchWord kDenseScreenWords[] = {
    {"1", Word::On, true},   {"on", Word::On, true},   {"yes", Word::On, true},       {"true", Word::On, true},
    {"0", Word::Off, true},  {"off", Word::Off, true}, {"no", Word::Off, true},       {"false", Word::Off, true},
    {"auto", Word::Auto, true}, {"adaptive", Word::Auto, true}, {"bf16", Word::Bf16, true},
    {"bfloat16", Word::Bf16, true},
};
constexpr SwitchWord kOnAutoWords[] = {
    {"1", Word::On, true},       {"on", Word::On, true},         {"yes", Word::On, true},
    {"true", Word::On, true},    {"enable", Word::On, true},     {"enabled", Word::On, true},
    {"auto", Word::Auto, true},  {"adaptive", Word::Auto, true},
};
constexpr SwitchWord kEarlyAbandonWords[] = {
    {"1", Word::On, true},       {"on", Word::On, true},         {"yes", Word::On, true},
    {"true", Word::On, true},    {"enable", Word::On, true},     {"enabled", Word::On, true},
    {"bound", Word::On, true},   {"bounded", Word::On, true},    {"auto", Word::Auto, true},
    {"adaptive", Word::Auto, true},
};
constexpr SwitchWord kDenseUpdateWords[] = {
    {"shard", Word::Sharded, true}, {"sharded", Word::Sharded, true}, {"centroid", Word::Sharded, true},
    {"", Word::Auto, true},         {"auto", Word::Auto, true},       {"adaptive", Word::Auto, true},
};
// The exact-assignment layouts of the hybrid fit: "auto" switches them on.
constexpr SwitchWord kPdxExactWords[] = {
    {"1", Word::On, true}, {"on", Word::On, true}, {"yes", Word::On, true}, {"true", Word::On, true},
    {"auto", Word::On, true},
};
constexpr SwitchWord kPdxPruneWords[] = {
    {"1", Word::On, true},   {"on", Word::On, true},  {"yes", Word::On, true},
    {"pdx", Word::On, true}, {"true", Word::On, true}, {"auto", Word::On, true},
};
constexpr SwitchWord kFlashExactWords[] = {
    {"1", Word::On, true},    {"on", Word::On, true},    {"yes", Word::On, true},         {"true", Word::On, true},
    {"auto", Word::On, true}, {"flash", Word::On, true}, {"flashassign", Word::On, true},
};
constexpr SwitchWord kPqEncodeWords[] = {
    {"transpose", Word::Transposed, true}, {"transposed", Word::Transposed, true}, {"faiss", Word::Transposed, true},
    {"", Word::Auto, true},                {"auto", Word::Auto, true},             {"adaptive", Word::Auto, true},
};
// The highest x86-64 build of the library to open, read by the loader module at import.
constexpr SwitchWord kX86LevelWords[] = {
    {"sse", Word::Sse, true}, {"avx2", Word::Avx2, true}, {"avx512", Word::Avx512, true},
};

constexpr SwitchWord kPq4FastscanWords[] = {
    {"1", Word::On, true},    {"on", Word::On, true},   {"yes", Word::On, true},
    {"true", Word::On, true}, {"auto", Word::On, true}, {"fastscan", Word::On, true},
};
// Words that switch a kernel off; anything else leaves it to the library (Auto).
constexpr SwitchWord kOffWords[] = {
    {"0", Word::Off, true},  {"off", Word::Off, true},  {"no", Word::Off, true},
    {"false", Word::Off, true}, {"disable", Word::Off, true}, {"disabled", Word::Off, true},
};
// Anything else, "global" included, is the global calibration (Auto).
constexpr SwitchWord kPq4CalibrationWords[] = {
    {"cluster", Word::PerCenter, true},
    {"centroid", Word::PerCenter, true},
    {"percluster", Word::PerCenter, true},
    {"percentroid", Word::PerCenter, true},
};

EnvVariable words(EnvSwitch id, const char* name, const char* fallback, Word unset, Word other,
                  std::span<const SwitchWord> list) {
  return {id, name, fallback, K::Words, unset, other, list};
}
EnvVariable number(EnvSwitch id, const char* name, const char* fallback, bool zero_is_unset) {
  return {id, name, fallback, K::Number, Word::Auto, Word::Auto, {}, zero_is_unset};
}

// Indexed by EnvSwitch. VANTORIX_SIMD, VANTORIX_NUM_THREADS, VANTORIX_ROTATION_BATCH_MIB and the
// exact-layout switches (PDX, pruning, flash) are read once per process by their users; everything
// else on every call.
const EnvVariable kVariables[] = {
    words(EnvSwitch::Simd, "VANTORIX_SIMD", nullptr, Word::Auto, Word::Auto, kSimdWords),
    words(EnvSwitch::DenseAssign, "VANTORIX_DENSE_ASSIGN", nullptr, Word::Auto, Word::Auto, kDenseAssignWords),
    words(EnvSwitch::DenseScreen, "VANTORIX_DENSE_SCREEN", nullptr, Word::Auto, Word::Auto, kDenseScreenWords),
    words(EnvSwitch::DenseHamerly, "VANTORIX_DENSE_HAMERLY", nullptr, Word::Off, Word::Off, kOnAutoWords),
    words(EnvSwitch::DenseEarlyAbandon, "VANTORIX_DENSE_EARLY_ABANDON", "VANTORIX_DENSE_ASSIGN_BOUND", Word::Off,
          Word::Off, kEarlyAbandonWords),
    words(EnvSwitch::DenseUpdate, "VANTORIX_DENSE_UPDATE", nullptr, Word::Auto, Word::Rows, kDenseUpdateWords),
    words(EnvSwitch::PqEncode, "VANTORIX_PQ_ENCODE", "VANTORIX_PQ_ENCODE_TRANSPOSED", Word::Auto, Word::Direct,
          kPqEncodeWords),
    words(EnvSwitch::X86Level, "VANTORIX_X86_LEVEL", nullptr, Word::Auto, Word::Auto, kX86LevelWords),
    words(EnvSwitch::PdxExact, "VANTORIX_PDX_EXACT", nullptr, Word::Off, Word::Off, kPdxExactWords),
    words(EnvSwitch::PdxPrune, "VANTORIX_PDX_PRUNE", "VANTORIX_DIM_PRUNE", Word::Off, Word::Off, kPdxPruneWords),
    words(EnvSwitch::FlashExact, "VANTORIX_FLASH_EXACT", "VANTORIX_EXACT_ASSIGNMENT", Word::Off, Word::Off,
          kFlashExactWords),
    words(EnvSwitch::Pq4Fastscan, "VANTORIX_PQ4_FASTSCAN", nullptr, Word::Off, Word::Off, kPq4FastscanWords),
    words(EnvSwitch::Pq4LutCalibration, "VANTORIX_PQ4_LUT_CALIBRATION", nullptr, Word::Auto, Word::Auto,
          kPq4CalibrationWords),
    words(EnvSwitch::Pq4Permute, "VANTORIX_PQ4_PERMUTE", nullptr, Word::Auto, Word::Auto, kOffWords),
    number(EnvSwitch::NumThreads, "VANTORIX_NUM_THREADS", nullptr, true),
    number(EnvSwitch::DenseInitSampleRows, "VANTORIX_DENSE_INIT_SAMPLE_ROWS", nullptr, true),
    number(EnvSwitch::DenseInitMinSampleRows, "VANTORIX_DENSE_INIT_MIN_SAMPLE_ROWS", nullptr, true),
    number(EnvSwitch::DenseInitMaxSampleRows, "VANTORIX_DENSE_INIT_MAX_SAMPLE_ROWS", nullptr, true),
    number(EnvSwitch::DenseInitRowsPerCenter, "VANTORIX_DENSE_INIT_ROWS_PER_CENTER", nullptr, true),
    number(EnvSwitch::DenseBlasMinKL2, "VANTORIX_DENSE_BLAS_MIN_K", "VANTORIX_DENSE_BLAS_MIN_K_L2", false),
    number(EnvSwitch::DenseBlasMinKCosine, "VANTORIX_DENSE_BLAS_MIN_K", "VANTORIX_DENSE_BLAS_MIN_K_COSINE", false),
    number(EnvSwitch::DenseBlasMinOps, "VANTORIX_DENSE_BLAS_MIN_OPS", nullptr, false),
    number(EnvSwitch::DenseScreenBlockRows, "VANTORIX_DENSE_SCREEN_BLOCK_ROWS", nullptr, true),
    number(EnvSwitch::RotationBatchMib, "VANTORIX_ROTATION_BATCH_MIB", nullptr, true),
    {EnvSwitch::ProfileCluster, "VANTORIX_PROFILE_CLUSTER", nullptr, K::Presence},
};

std::optional<uint64_t> read_number(const char* name, bool zero_is_unset) {
  const auto v = env_usize(name);
  if (v && *v == 0 && zero_is_unset) return std::nullopt;
  return v;
}

}  // namespace

const EnvVariable& env_variable(EnvSwitch id) {
  const auto i = size_t(id);
  if (i >= std::size(kVariables) || kVariables[i].id != id) fatal("environment table out of order");
  return kVariables[i];
}

Word switch_word(EnvSwitch id, const std::optional<std::string>& text) {
  const EnvVariable& v = env_variable(id);
  if (!text) return v.unset;
  const std::string lowered = normalize_switch(*text, false);
  const std::string stripped = normalize_switch(*text, true);
  for (const SwitchWord& w : v.words) {
    if ((w.strip_separators ? stripped : lowered) == w.text) return w.meaning;
  }
  return v.other;
}

std::optional<std::string> env_text(EnvSwitch id) {
  const EnvVariable& v = env_variable(id);
  auto text = env_text(v.name);
  if (!text && v.fallback) text = env_text(v.fallback);
  return text;
}

namespace {
// The words ScopedWord sets, per thread; switches are few, so one slot per switch.
constexpr size_t kSwitches = size_t(EnvSwitch::ProfileCluster) + 1;
thread_local std::optional<Word> t_scoped[kSwitches];
}  // namespace

ScopedWord::ScopedWord(EnvSwitch id, std::optional<Word> word) : id_(id), saved_(t_scoped[size_t(id)]) {
  if (word) t_scoped[size_t(id)] = word;
}

ScopedWord::~ScopedWord() { t_scoped[size_t(id_)] = saved_; }

Word env_word(EnvSwitch id) {
  if (const auto& scoped = t_scoped[size_t(id)]) return *scoped;
  return switch_word(id, env_text(id));
}

std::optional<uint64_t> env_number(EnvSwitch id) {
  const EnvVariable& v = env_variable(id);
  auto value = read_number(v.name, v.zero_is_unset);
  if (!value && v.fallback) value = read_number(v.fallback, v.zero_is_unset);
  return value;
}

bool env_present(EnvSwitch id) { return std::getenv(env_variable(id).name) != nullptr; }

}  // namespace vantorix
