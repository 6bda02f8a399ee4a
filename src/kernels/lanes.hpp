#pragma once
// Vector lanes for the kernels: the only file that names vector types or includes intrinsics.
// GCC/Clang vector types map to SSE/AVX on x86-64 and NEON on aarch64; every operation on them
// is element-wise, so each lane rounds exactly as the scalar description of its kernel does.
// Wider types carry independent lanes side by side.
//
// Where an operation needs an intrinsic (a fused multiply-add, a broadcast the compiler would
// otherwise build through memory, a compare into a bit mask), it is one small function here with
// a portable fallback beside it, so the kernels themselves stay plain C++ over these types.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__SSSE3__) || defined(__AVX__) || defined(__FMA__) || defined(__AVX512F__))
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif
#if defined(__x86_64__)
#include <emmintrin.h>  // SSE2, part of every x86-64
#endif

namespace vantorix::lanes {

// ---------------------------------------------------------------------------------------------
// Four lanes (one NEON register) and sixteen lanes (four of them side by side)

typedef float F4 __attribute__((vector_size(16)));
typedef float F16 __attribute__((vector_size(64)));
typedef int32_t I16 __attribute__((vector_size(64)));
// Eight floats, and the same eight widened to double (__builtin_convertvector) for sums of
// exact squares.
typedef float F8 __attribute__((vector_size(32)));
typedef double D8 __attribute__((vector_size(64)));

inline F4 load4(const float* p) {
  F4 v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
inline void store4(float* p, F4 v) { std::memcpy(p, &v, sizeof(v)); }
inline F16 load16(const float* p) {
  F16 v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
inline void store16(float* p, F16 v) { std::memcpy(p, &v, sizeof(v)); }

// acc + a*b with one rounding per lane.
inline F4 fma4(F4 a, F4 b, F4 acc) {
#if defined(__x86_64__) && defined(__FMA__)
  return (F4)_mm_fmadd_ps((__m128)a, (__m128)b, (__m128)acc);
#elif defined(__aarch64__)
  return (F4)vfmaq_f32((float32x4_t)acc, (float32x4_t)a, (float32x4_t)b);
#else
  F4 out;
  for (int i = 0; i < 4; ++i) out[i] = std::fma(a[i], b[i], acc[i]);
  return out;
#endif
}

// The two lane reductions the kernels use: ((v0 + v1) + v2) + v3 and (v0 + v1) + (v2 + v3).
inline float reduce_sequential(F4 v) { return ((v[0] + v[1]) + v[2]) + v[3]; }
inline float reduce_pairwise(F4 v) { return (v[0] + v[1]) + (v[2] + v[3]); }

// The four floats at q repeated in each quarter of a 16-lane register.
inline F16 broadcast4(const float* q) {
#if defined(__AVX512F__)
  // The masked form: the plain one trips GCC's uninitialised-value warning inside the intrinsic.
  return (F16)_mm512_maskz_broadcast_f32x4(__mmask16(0xFFFF), _mm_loadu_ps(q));
#else
  const F4 v = load4(q);
  return __builtin_shufflevector(v, v, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3);
#endif
}

// x - c rounded once. With OnFmaPipes it is computed as x - c * 1 by a fused multiply-add, which
// rounds identically (the product is exact) but runs on the multiply pipes instead of the add
// pipes, where the target has them apart.
template <bool OnFmaPipes>
inline F16 difference16(F16 x, F16 c) {
#if defined(__AVX512F__)
  if constexpr (OnFmaPipes) return (F16)_mm512_fnmadd_ps((__m512)c, _mm512_set1_ps(1.0f), (__m512)x);
#endif
  return x - c;
}

// One value in all sixteen lanes, as a real broadcast (lane-by-lane filling goes through memory).
inline F16 splat16(float x) {
#if defined(__AVX512F__)
  return (F16)_mm512_set1_ps(x);
#else
  F16 v;
  for (int i = 0; i < 16; ++i) v[i] = x;
  return v;
#endif
}

// acc + a*b with one rounding per lane: fma4 on sixteen lanes.
inline F16 fma16(F16 a, F16 b, F16 acc) {
#if defined(__AVX512F__)
  return (F16)_mm512_fmadd_ps((__m512)a, (__m512)b, (__m512)acc);
#else
  F16 out;
  for (int i = 0; i < 16; ++i) out[i] = std::fma(a[i], b[i], acc[i]);
  return out;
#endif
}

// Compares of sixteen lanes into a bit mask, bit i for lane i. Below and AtMost are false where
// either side is NaN, the Not* compares true.
enum class Cmp { Below, AtMost, NotAtLeast, NotAbove, NotBelow };

template <Cmp C>
inline bool holds(float a, float b) {
  if constexpr (C == Cmp::Below) return a < b;
  else if constexpr (C == Cmp::AtMost) return a <= b;
  else if constexpr (C == Cmp::NotAtLeast) return !(a >= b);
  else if constexpr (C == Cmp::NotAbove) return !(a > b);
  else return !(a < b);
}

#if defined(__AVX__)
// The x86 compare predicate of C (ordered where NaN fails, unordered where it passes).
template <Cmp C>
constexpr int cmp_predicate() {
  return C == Cmp::Below        ? _CMP_LT_OQ
         : C == Cmp::AtMost     ? _CMP_LE_OQ
         : C == Cmp::NotAtLeast ? _CMP_NGE_UQ
         : C == Cmp::NotAbove   ? _CMP_NGT_UQ
                                : _CMP_NLT_UQ;
}
#endif

template <Cmp C>
inline uint32_t mask16(F16 a, F16 b) {
#if defined(__AVX512F__)
  constexpr int kPredicate = cmp_predicate<C>();
  return _mm512_cmp_ps_mask((__m512)a, (__m512)b, kPredicate);
#else
  uint32_t bits = 0;
  for (int i = 0; i < 16; ++i) bits |= uint32_t(holds<C>(a[i], b[i])) << i;
  return bits;
#endif
}

inline uint32_t below_mask16(F16 a, F16 b) { return mask16<Cmp::Below>(a, b); }
inline uint32_t at_most_mask16(F16 a, F16 b) { return mask16<Cmp::AtMost>(a, b); }
inline uint32_t not_at_least_mask16(F16 a, F16 b) { return mask16<Cmp::NotAtLeast>(a, b); }
inline uint32_t not_above_mask16(F16 v, float limit) { return mask16<Cmp::NotAbove>(v, splat16(limit)); }
inline uint32_t not_below_mask16(F16 v, float limit) { return mask16<Cmp::NotBelow>(v, splat16(limit)); }

// ---------------------------------------------------------------------------------------------
// The widest register of the build target, for kernels that lay many codewords side by side

#if defined(__AVX512F__)
inline constexpr size_t kWide = 16;
#elif defined(__AVX__)
inline constexpr size_t kWide = 8;
#else
inline constexpr size_t kWide = 4;
#endif

// Vector registers the target has; a 16-lane value occupies 16 / kWide of them.
#if defined(__AVX512F__) || defined(__aarch64__)
inline constexpr size_t kVectorRegisters = 32;
#else
inline constexpr size_t kVectorRegisters = 16;
#endif
inline constexpr size_t kRegistersPer16 = 16 / kWide;

typedef float VF __attribute__((vector_size(kWide * 4)));
typedef int32_t VI __attribute__((vector_size(kWide * 4)));

inline VF loadw(const float* p) {
  VF v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
inline void storew(float* p, VF v) { std::memcpy(p, &v, sizeof(v)); }

// A real broadcast: filling lanes one by one makes GCC go through memory and stall.
inline VF splat(float x) {
#if defined(__AVX512F__)
  return (VF)_mm512_set1_ps(x);
#elif defined(__AVX__)
  return (VF)_mm256_set1_ps(x);
#elif defined(__aarch64__)
  return (VF)vdupq_n_f32(x);
#else
  VF v;
  for (size_t i = 0; i < kWide; ++i) v[i] = x;
  return v;
#endif
}

// The four floats at q repeated across the register (kWide / 4 times).
inline VF broadcast4w(const float* q) {
#if defined(__AVX512F__)
  return (VF)broadcast4(q);
#elif defined(__AVX__)
  return (VF)_mm256_broadcast_ps(reinterpret_cast<const __m128*>(q));
#else
  return loadw(q);
#endif
}

// acc + a*b, one rounding per lane: the same operation as fma4 on every lane.
inline VF fmaw(VF a, VF b, VF acc) {
#if defined(__AVX512F__)
  return (VF)_mm512_fmadd_ps((__m512)a, (__m512)b, (__m512)acc);
#elif defined(__AVX__) && defined(__FMA__)
  return (VF)_mm256_fmadd_ps((__m256)a, (__m256)b, (__m256)acc);
#elif defined(__aarch64__)
  return (VF)vfmaq_f32((float32x4_t)acc, (float32x4_t)a, (float32x4_t)b);
#else
  VF out;
  for (size_t i = 0; i < kWide; ++i) out[i] = std::fma(a[i], b[i], acc[i]);
  return out;
#endif
}

// Whether at_most_mask is one instruction on this target; elsewhere a plain scan is cheaper.
#if defined(__AVX512F__)
inline constexpr bool kCheapMask = true;
#else
inline constexpr bool kCheapMask = false;
#endif

// Bit i set when p[i] <= limit, for the kWide values at p; NaN never passes.
inline uint32_t at_most_mask(const float* p, float limit) {
#if defined(__AVX512F__)
  return _mm512_cmp_ps_mask(_mm512_loadu_ps(p), _mm512_set1_ps(limit), _CMP_LE_OQ);
#else
  uint32_t mask = 0;
  for (size_t i = 0; i < kWide; ++i) mask |= uint32_t(p[i] <= limit) << i;
  return mask;
#endif
}

// Bit i set when lane i of v compares with limit as C says (mask16's compares, native width).
template <Cmp C>
inline uint32_t maskw(VF v, float limit) {
#if defined(__AVX512F__)
  return mask16<C>(v, splat16(limit));
#elif defined(__AVX__)
  constexpr int kPredicate = cmp_predicate<C>();
  return uint32_t(_mm256_movemask_ps(_mm256_cmp_ps((__m256)v, _mm256_set1_ps(limit), kPredicate)));
#else
  uint32_t bits = 0;
  for (size_t i = 0; i < kWide; ++i) bits |= uint32_t(holds<C>(v[i], limit)) << i;
  return bits;
#endif
}
inline uint32_t not_above_mask(VF v, float limit) { return maskw<Cmp::NotAbove>(v, limit); }
inline uint32_t not_below_mask(VF v, float limit) { return maskw<Cmp::NotBelow>(v, limit); }

// The smallest (largest) lane of v, which holds no NaN.
inline float smallest_lane(VF v) {
  float best = v[0];
  for (size_t i = 1; i < kWide; ++i) best = v[i] < best ? v[i] : best;
  return best;
}
inline float largest_lane(VF v) { return -smallest_lane(-v); }

// Keeps v in a register for its reuses: left alone, the compiler folds the load into every use
// and the loads, not the arithmetic, set the pace.
inline void pin_in_register(VF& v) {
#if defined(__x86_64__)
  asm("" : "+v"(v));
#else
  (void)v;
#endif
}

// ---------------------------------------------------------------------------------------------
// Sixteen lanes held as registers of the target's own width. Arithmetic on F16 splits cleanly
// into narrower registers, but a 16-lane select (a < b ? a : b) does not: GCC 12 lowers it on
// aarch64 to 35-38 scalar compares through the stack. Running minima and their indices
// therefore use these, one native compare and bit-select per register.
inline constexpr size_t kParts = 16 / kWide;

struct Wide16 {
  VF part[kParts];
};
struct WideIndex16 {
  VI part[kParts];
};

// Part by part: one memcpy of the whole array makes GCC bounce it through the stack.
inline Wide16 load_wide(const float* p) {
  Wide16 w;
  for (size_t i = 0; i < kParts; ++i) std::memcpy(&w.part[i], p + i * kWide, sizeof(VF));
  return w;
}
inline Wide16 operator+(const Wide16& a, const Wide16& b) {
  Wide16 w;
  for (size_t i = 0; i < kParts; ++i) w.part[i] = a.part[i] + b.part[i];
  return w;
}
inline Wide16 splat_wide(float x) {
  Wide16 w;
  for (size_t i = 0; i < kParts; ++i) w.part[i] = splat(x);
  return w;
}
inline void store_wide(float* p, const Wide16& w) {
  for (size_t i = 0; i < kParts; ++i) std::memcpy(p + i * kWide, &w.part[i], sizeof(VF));
}

// Per lane: best becomes v where v is strictly better (smaller, or larger with Largest); a NaN
// is never better, so it never replaces anything.
template <bool Largest>
inline void keep_better(const Wide16& v, Wide16& best) {
  for (size_t i = 0; i < kParts; ++i) {
    best.part[i] = Largest ? (v.part[i] > best.part[i] ? v.part[i] : best.part[i])
                           : (v.part[i] < best.part[i] ? v.part[i] : best.part[i]);
  }
}
// The same for the smallest value, recording where each lane's best came from.
inline void keep_smaller(const Wide16& v, Wide16& best, WideIndex16& index, const WideIndex16& at) {
  for (size_t i = 0; i < kParts; ++i) {
    const VI smaller = v.part[i] < best.part[i];
    best.part[i] = smaller ? v.part[i] : best.part[i];
    index.part[i] = smaller ? at.part[i] : index.part[i];
  }
}
// Lane l holds first + l.
inline WideIndex16 iota_wide(int32_t first) {
  WideIndex16 w;
  for (size_t i = 0; i < kParts; ++i)
    for (size_t l = 0; l < kWide; ++l) w.part[i][l] = first + int32_t(i * kWide + l);
  return w;
}
inline void advance(WideIndex16& w, int32_t step) {
  for (size_t i = 0; i < kParts; ++i) w.part[i] += step;
}
inline void store_wide(int32_t* p, const WideIndex16& w) {
  for (size_t i = 0; i < kParts; ++i) std::memcpy(p + i * kWide, &w.part[i], sizeof(VI));
}

// ---------------------------------------------------------------------------------------------
// Byte shuffles for the 4-bit scans: 16-entry byte tables looked up by nibbles

// The widest register a byte shuffle fills: 64 bytes with AVX-512BW, otherwise 32 (one AVX2
// register, or two 16-byte ones with SSSE3 and NEON, or plain bytes without either).
#if defined(__x86_64__) && defined(__AVX512BW__)
inline constexpr size_t kShuffleBytes = 64;
inline constexpr const char* kShuffleIsa = "avx512bw";
#else
inline constexpr size_t kShuffleBytes = 32;
#if defined(__x86_64__) && defined(__AVX2__)
inline constexpr const char* kShuffleIsa = "avx2";
#elif defined(__x86_64__) && defined(__SSSE3__)
inline constexpr const char* kShuffleIsa = "ssse3";
#elif defined(__aarch64__)
inline constexpr const char* kShuffleIsa = "neon";
#else
inline constexpr const char* kShuffleIsa = "portable";
#endif
#endif

typedef uint8_t ShuffleU8 __attribute__((vector_size(kShuffleBytes)));
typedef uint16_t ShuffleU16 __attribute__((vector_size(kShuffleBytes)));
typedef uint16_t U16x16 __attribute__((vector_size(32)));
typedef int16_t I16x16 __attribute__((vector_size(32)));
typedef uint32_t U32x16 __attribute__((vector_size(64)));

// Bit i set when lane i of a compare result (every lane 0 or all ones) is set.
inline uint32_t lane_bits16(I16x16 m) {
#if defined(__x86_64__)
  __m128i half[2];
  std::memcpy(half, &m, sizeof(m));
  return uint32_t(_mm_movemask_epi8(_mm_packs_epi16(half[0], half[1])));
#else
  uint32_t bits = 0;
  for (int i = 0; i < 16; ++i) bits |= uint32_t(m[i] != 0) << i;
  return bits;
#endif
}

// Bit i set when a[i] <= b[i], for every lane of two shuffle-width registers of 16-bit sums.
inline uint64_t at_most_bits(ShuffleU16 a, ShuffleU16 b) {
#if defined(__x86_64__) && defined(__AVX512BW__)
  return _mm512_cmple_epu16_mask((__m512i)a, (__m512i)b);
#else
  return lane_bits16((I16x16)(a <= b));
#endif
}

// out[i] = table[idx[i]] for every byte (idx[i] < 16), the same 16-byte table for all of them:
// one shuffle per 16 bytes, the table broadcast from memory.
inline ShuffleU8 lookup16(const uint8_t* table, ShuffleU8 idx) {
#if defined(__x86_64__) && defined(__AVX512BW__)
  // The zero-masked broadcast: GCC 12 warns about the undefined source of the plain one.
  const __m512i t = _mm512_maskz_broadcast_i32x4(__mmask16(0xffff), _mm_loadu_si128((const __m128i*)table));
  return (ShuffleU8)_mm512_shuffle_epi8(t, (__m512i)idx);
#elif defined(__x86_64__) && defined(__AVX2__)
  const __m256i t = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)table));
  return (ShuffleU8)_mm256_shuffle_epi8(t, (__m256i)idx);
#elif defined(__x86_64__) && defined(__SSSE3__)
  const __m128i t = _mm_loadu_si128((const __m128i*)table);
  __m128i half[2];
  std::memcpy(half, &idx, sizeof(idx));
  half[0] = _mm_shuffle_epi8(t, half[0]);
  half[1] = _mm_shuffle_epi8(t, half[1]);
  ShuffleU8 out;
  std::memcpy(&out, half, sizeof(out));
  return out;
#elif defined(__aarch64__)
  const uint8x16_t t = vld1q_u8(table);
  uint8_t bytes[kShuffleBytes];
  std::memcpy(bytes, &idx, sizeof(idx));
  vst1q_u8(bytes, vqtbl1q_u8(t, vld1q_u8(bytes)));
  vst1q_u8(bytes + 16, vqtbl1q_u8(t, vld1q_u8(bytes + 16)));
  ShuffleU8 out;
  std::memcpy(&out, bytes, sizeof(out));
  return out;
#else
  ShuffleU8 out;
  for (size_t i = 0; i < kShuffleBytes; ++i) out[i] = table[idx[i] & 15];
  return out;
#endif
}

// ---------------------------------------------------------------------------------------------
// bf16 rounding of sixteen floats at once

typedef uint32_t U32x16 __attribute__((vector_size(64)));
typedef uint16_t U16x16 __attribute__((vector_size(32)));

// The sixteen lanes widened to f64, eight and eight: two conversions where GCC's generic lowering
// takes eight plus shuffles. The zero-masked forms: GCC 12 warns about the undefined sources of
// the plain ones.
inline void widen16(F16 v, D8& low, D8& high) {
#if defined(__AVX512F__)
  low = (D8)_mm512_maskz_cvtps_pd(__mmask8(0xff),
                                  _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(__mmask8(0xf), (__m512d)v, 0)));
  high = (D8)_mm512_maskz_cvtps_pd(__mmask8(0xff),
                                   _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(__mmask8(0xf), (__m512d)v, 1)));
#else
  low = __builtin_convertvector(__builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7), D8);
  high = __builtin_convertvector(__builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15), D8);
#endif
}

// Each lane rounded to bf16 (nearest, ties to even; a zero exponent field, zero or subnormal,
// gives +0): the 16-bit patterns into out[0..16), the rounded values returned as floats.
inline F16 round_bf16_16(F16 v, uint16_t* out) {
  U32x16 b;
  std::memcpy(&b, &v, sizeof(b));
  U32x16 r = (b + 0x7fffu + ((b >> 16) & 1u)) & 0xffff0000u;
  r = (b & 0x7f800000u) == 0 ? U32x16{} : r;
  const U16x16 high = __builtin_convertvector(r >> 16, U16x16);
  std::memcpy(out, &high, sizeof(high));
  F16 rounded;
  std::memcpy(&rounded, &r, sizeof(rounded));
  return rounded;
}

// ---------------------------------------------------------------------------------------------
// AVX512_BF16 pair products (x86-64 AVX-512 builds; callers check the CPU first), compiled per
// function like the tiles below.
#if defined(__x86_64__) && defined(__AVX512F__)
#define VANTORIX_HAVE_BF16_PAIRS 1
#define VANTORIX_BF16_TARGET __attribute__((target("avx512bf16")))

// An 8 x 32 block of f32 products: eight rows a (`a_stride` entries apart, 32 bf16 per step)
// times centers b0 and b1 in the tile layout (tile_products_32x32), summed over `steps` steps
// into out (`out_stride` floats between rows). Each lane adds the exact products of one pair of
// dimensions per instruction, rounding in f32.
VANTORIX_BF16_TARGET inline void pair_products_8x32(const uint16_t* a, size_t a_stride, const uint16_t* b0,
                                                   const uint16_t* b1, size_t steps, float* out, size_t out_stride) {
  __m512 acc[8][2];
  for (auto& row : acc) row[0] = row[1] = _mm512_setzero_ps();
  for (size_t s = 0; s < steps; ++s) {
    for (size_t p = 0; p < 16; ++p) {
      const __m512bh c0 = (__m512bh)_mm512_loadu_si512(b0 + s * 512 + p * 32);
      const __m512bh c1 = (__m512bh)_mm512_loadu_si512(b1 + s * 512 + p * 32);
      for (size_t r = 0; r < 8; ++r) {
        uint32_t pair;
        std::memcpy(&pair, a + r * a_stride + s * 32 + 2 * p, sizeof(pair));
        const __m512bh x = (__m512bh)_mm512_set1_epi32(int(pair));
        acc[r][0] = _mm512_dpbf16_ps(acc[r][0], x, c0);
        acc[r][1] = _mm512_dpbf16_ps(acc[r][1], x, c1);
      }
    }
  }
  for (size_t r = 0; r < 8; ++r) {
    _mm512_storeu_ps(out + r * out_stride, acc[r][0]);
    _mm512_storeu_ps(out + r * out_stride + 16, acc[r][1]);
  }
}
#endif

// ---------------------------------------------------------------------------------------------
// AMX tiles (x86-64 AVX-512 builds on Linux; callers check the CPU and the OS first), compiled
// per function so the rest of the library never needs the AMX flags. The intrinsics take tile
// numbers as literals, so the whole inner block is one function here.
#if defined(__x86_64__) && defined(__AVX512F__) && defined(__linux__)
#define VANTORIX_HAVE_AMX_TILES 1
#define VANTORIX_AMX_TARGET __attribute__((target("amx-tile,amx-bf16")))

// Palette 1 with eight tiles of 16 rows x 64 bytes, the only shape used.
struct TileConfig {
  uint8_t palette = 1, start_row = 0;
  uint8_t reserved[14] = {};
  uint16_t bytes_per_row[16] = {64, 64, 64, 64, 64, 64, 64, 64};
  uint8_t rows[16] = {16, 16, 16, 16, 16, 16, 16, 16};
};
VANTORIX_AMX_TARGET inline void tiles_configure(const TileConfig& config) { _tile_loadconfig(&config); }
VANTORIX_AMX_TARGET inline void tiles_release() { _tile_release(); }

// A 32 x 32 block of f32 products: rows a (two tiles of 16 rows, `a_stride` bytes apart, 32 bf16
// per step) times centers b0 and b1 (16 centers each, one 1 KiB tile per step of 32 dimensions
// in pair-interleaved order: entry (pair i, center n, half h) at i * 32 + n * 2 + h), summed
// over `steps` steps into out (`out_stride` bytes between rows). Products of bf16 pairs are exact
// in f32; the sums round in f32.
VANTORIX_AMX_TARGET inline void tile_products_32x32(const uint16_t* a, size_t a_stride, const uint16_t* b0,
                                                    const uint16_t* b1, size_t steps, float* out, size_t out_stride) {
  asm volatile("" ::: "memory");  // the tile loads below read memory the compiler cannot see them read
  _tile_zero(0);
  _tile_zero(1);
  _tile_zero(2);
  _tile_zero(3);
  const char* a_low = reinterpret_cast<const char*>(a);
  const char* a_high = a_low + 16 * a_stride;
  for (size_t s = 0; s < steps; ++s) {
    _tile_loadd(4, a_low + s * 64, a_stride);
    _tile_loadd(5, a_high + s * 64, a_stride);
    _tile_loadd(6, b0 + s * 512, 64);
    _tile_loadd(7, b1 + s * 512, 64);
    _tile_dpbf16ps(0, 4, 6);
    _tile_dpbf16ps(1, 4, 7);
    _tile_dpbf16ps(2, 5, 6);
    _tile_dpbf16ps(3, 5, 7);
  }
  char* o = reinterpret_cast<char*>(out);
  _tile_stored(0, o, out_stride);
  _tile_stored(1, o + 64, out_stride);
  _tile_stored(2, o + 16 * out_stride, out_stride);
  _tile_stored(3, o + 16 * out_stride + 64, out_stride);
}
#endif

}  // namespace vantorix::lanes
