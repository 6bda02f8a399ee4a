#include "kernels/pq4.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/env.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "kernels/lanes.hpp"
#include "kernels/pq4_scan.hpp"
#include "kernels/simd.hpp"

// The lane types below never cross this file's boundary, so the note that passing them by value
// depends on the enabled ISA does not concern any caller.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vantorix {

namespace {

bool finite_range(float lo, float hi) { return std::isfinite(hi - lo); }

// Whether all `length` values are finite, and then their smallest and largest as a scan with
// std::min and std::max finds them: sixteen lanes at a time. A zero extreme is the first zero of
// the values (nothing before it was on the far side of zero), so it takes that zero's sign.
bool finite_extremes(const float* src, size_t length, float& lo, float& hi) {
  using F = lanes::F16;
  using I = lanes::I16;
  F low = F{} + std::numeric_limits<float>::infinity(), high = -low;
  I bad = {};
  size_t i = 0;
  for (; i + 16 <= length; i += 16) {
    F v;
    std::memcpy(&v, src + i, sizeof(v));
    bad |= ~((v - v) == 0.0f);  // inf - inf and NaN - NaN are NaN
    low = v < low ? v : low;
    high = v > high ? v : high;
  }
  for (int l = 0; l < 16; ++l) {
    if (bad[l]) return false;
    lo = std::min(lo, low[l]);
    hi = std::max(hi, high[l]);
  }
  for (; i < length; ++i) {
    if (!std::isfinite(src[i])) return false;
    lo = std::min(lo, src[i]);
    hi = std::max(hi, src[i]);
  }
  if (lo == 0.0f || hi == 0.0f) {
    const float first_zero = *std::find(src, src + length, 0.0f);
    if (lo == 0.0f) lo = first_zero;
    if (hi == 0.0f) hi = first_zero;
  }
  return true;
}

// round((value - lo) / scale), half away from zero, clamped to a byte. value >= lo, so the
// quotient is not negative and its rounding is its whole part plus one from a half up (x - trunc(x)
// is exact): what std::round gives, in a form the compiler can vectorize.
inline float quantized_level(float value, float lo, float scale) {
  const float x = (value - lo) / scale;
  const float whole = std::trunc(x);
  return std::min(whole + (x - whole >= 0.5f ? 1.0f : 0.0f), 255.0f);
}

// quantized_level of `count` values against one lo and scale, sixteen lanes at a time. The
// quotient is capped at 256 first (an infinite one, from a scale that underflowed, gives 255 as
// above), so its truncation fits the integer lanes.
void quantize_values(const float* src, size_t count, float lo, float scale, uint8_t* dst) {
  using F = lanes::F16;
  using I = lanes::I16;
  typedef uint8_t U8x16 __attribute__((vector_size(16)));
  size_t c = 0;
  for (; c + 16 <= count; c += 16) {
    F v;
    std::memcpy(&v, src + c, sizeof(v));
    F x = (v - lo) / scale;
    x = x < 256.0f ? x : F{} + 256.0f;
    I level = __builtin_convertvector(x, I);  // toward zero
    level -= (x - __builtin_convertvector(level, F)) >= 0.5f;  // a true compare is -1
    level = level < 255 ? level : I{} + 255;
    const U8x16 bytes = __builtin_convertvector(level, U8x16);
    std::memcpy(dst + c, &bytes, sizeof(bytes));
  }
  for (; c < count; ++c) dst[c] = uint8_t(quantized_level(src[c], lo, scale));
}

// out[c * rows + r] = the levels of the rows x k row-major table `src`, row(r, values, dst)
// quantizing one row: sixteen rows are quantized into a scratch block at a time, then written as
// sixteen bytes per center; blocks of rows in parallel (they write disjoint bytes).
template <class Row>
void quantize_transposed(const float* src, size_t rows, size_t k, uint8_t* out, Row&& row) {
  parallel_for_each((rows + 15) / 16, [&](size_t b) {
    const size_t r0 = 16 * b, count = std::min<size_t>(16, rows - r0);
    std::vector<uint8_t> block(16 * k);
    for (size_t i = 0; i < count; ++i) row(src + (r0 + i) * k, block.data() + i * k);
    for (size_t c = 0; c < k; ++c)
      for (size_t i = 0; i < count; ++i) out[c * rows + r0 + i] = block[i * k + c];
  });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Packing

PackedPq4Codes PackedPq4Codes::pack(std::span<const uint8_t> codes, uint64_t rows, uint64_t m) {
  uint64_t total;
  if (__builtin_mul_overflow(rows, m, &total)) throw VantorixError::message("PQ4 code shape overflows usize");
  if (codes.size() != total) throw VantorixError::message("PQ4 code matrix length does not match shape");
  PackedPq4Codes out;
  out.rows = rows;
  out.num_subquantizers = m;
  out.pairs = m - m / 2;
  const uint64_t blocks = (rows + kPq4BlockRows - 1) / kPq4BlockRows;
  // rows * m did not overflow and pairs <= m, so only the rounding up to whole blocks can.
  out.data.assign(checked_mul(checked_mul(size_t(out.pairs), size_t(blocks)), kPq4BlockRows, "PQ4 packed codes"),
                  0);
  const size_t pairs = size_t(out.pairs);
  for (size_t i = 0; i < rows; ++i) {
    const uint8_t* row = codes.data() + i * m;
    uint8_t* dst = out.data.data() + (i / kPq4BlockRows) * pairs * kPq4BlockRows + i % kPq4BlockRows;
    for (size_t p = 0; p < pairs; ++p) {
      const uint8_t lo = row[2 * p];
      const uint8_t hi = 2 * p + 1 < m ? row[2 * p + 1] : 0;
      if (lo > 15 || hi > 15) throw VantorixError::message("PQ4 packing requires codebook_size <= 16");
      dst[p * kPq4BlockRows] = uint8_t(lo | (hi << 4));
    }
  }
  return out;
}

uint8_t PackedPq4Codes::code(size_t i, size_t m) const {
  const uint8_t b = data[(i / kPq4BlockRows) * block_bytes() + (m / 2) * kPq4BlockRows + i % kPq4BlockRows];
  return m % 2 == 0 ? (b & 15) : (b >> 4);
}

float pq4_float_distance(const PackedPq4Codes& packed, std::span<const float> float_table, size_t k, size_t row,
                         size_t center) {
  const size_t m = size_t(packed.num_subquantizers);
  if (m == 0) return 0.0f;
  const uint8_t* bytes = packed.block(row / kPq4BlockRows) + row % kPq4BlockRows;
  const float* t = float_table.data() + center;
  float d = t[size_t(bytes[0] & 15) * k];
  if (m > 1) d = d + t[(16 + size_t(bytes[0] >> 4)) * k];
  for (size_t p = 1; p < size_t(packed.pairs); ++p) {
    const uint8_t b = bytes[p * kPq4BlockRows];
    d = d + t[(32 * p + (b & 15)) * k];
    if (2 * p + 1 < m) d = d + t[(32 * p + 16 + (b >> 4)) * k];
  }
  return d;
}

// pq4_float_distance of `count` consecutive rows from row0 (a multiple of 16) to centers[i]: the
// rows' sums side by side in vector lanes, each lane one row's additions in subspace order, its
// table entries gathered. One row at a time the sums wait on each other's latency.
void pq4_float_distances(const PackedPq4Codes& packed, std::span<const float> float_table, size_t k, size_t row0,
                         size_t count, const size_t* centers, float* out) {
  size_t r = 0;
#if defined(__x86_64__) && (defined(__AVX512F__) || defined(__AVX2__))
  const size_t m = size_t(packed.num_subquantizers), pairs = size_t(packed.pairs);
#if defined(__AVX512F__)
  constexpr size_t kLanes = 16;
#else
  constexpr size_t kLanes = 8;
#endif
  // Gather offsets nibble * k + center stay below 2^31.
  if (m > 0 && k <= (size_t{1} << 26) && row0 % kLanes == 0) {
    const float* table = float_table.data();
    for (; r + kLanes <= count; r += kLanes) {
      const size_t row = row0 + r;
      const uint8_t* bytes = packed.block(row / kPq4BlockRows) + row % kPq4BlockRows;
      alignas(64) int32_t own[kLanes];
      for (size_t i = 0; i < kLanes; ++i) own[i] = int32_t(centers[r + i]);
#if defined(__AVX512F__)
      const __m512i c = _mm512_load_si512(own), kv = _mm512_set1_epi32(int32_t(k)), low = _mm512_set1_epi32(15);
      const __mmask16 all = 0xffff;
      __m512 d = _mm512_setzero_ps();
      for (size_t p = 0; p < pairs; ++p) {
        // Zero-masked forms throughout: GCC 12 warns about the undefined sources of the plain ones.
        const __m512i w = _mm512_maskz_cvtepu8_epi32(
            all, _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + p * kPq4BlockRows)));
        const __m512i lo = _mm512_add_epi32(_mm512_mullo_epi32(_mm512_and_si512(w, low), kv), c);
        const __m512 a = _mm512_mask_i32gather_ps(_mm512_setzero_ps(), all, lo, table + 32 * p * k, 4);
        d = p == 0 ? a : _mm512_add_ps(d, a);
        if (2 * p + 1 < m) {
          const __m512i hi = _mm512_add_epi32(_mm512_mullo_epi32(_mm512_maskz_srli_epi32(all, w, 4), kv), c);
          d = _mm512_add_ps(d, _mm512_mask_i32gather_ps(_mm512_setzero_ps(), all, hi, table + (32 * p + 16) * k, 4));
        }
      }
      _mm512_storeu_ps(out + r, d);
#else
      const __m256i c = _mm256_load_si256(reinterpret_cast<const __m256i*>(own)), kv = _mm256_set1_epi32(int32_t(k)),
                    low = _mm256_set1_epi32(15);
      __m256 d = _mm256_setzero_ps();
      for (size_t p = 0; p < pairs; ++p) {
        const __m256i w = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes + p * kPq4BlockRows)));
        const __m256i lo = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_and_si256(w, low), kv), c);
        const __m256 a = _mm256_i32gather_ps(table + 32 * p * k, lo, 4);
        d = p == 0 ? a : _mm256_add_ps(d, a);
        if (2 * p + 1 < m) {
          const __m256i hi = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_srli_epi32(w, 4), kv), c);
          d = _mm256_add_ps(d, _mm256_i32gather_ps(table + (32 * p + 16) * k, hi, 4));
        }
      }
      _mm256_storeu_ps(out + r, d);
#endif
    }
  }
#endif
  for (; r < count; ++r) out[r] = pq4_float_distance(packed, float_table, k, row0 + r, centers[r]);
}

// ---------------------------------------------------------------------------------------------
// Table quantization

bool QuantizedPq4LookupTables::update_from_f32(std::span<const float> float_table, size_t m, size_t k) {
  return update_from_f32_with(float_table, m, k, pq4_lut_per_center_enabled());
}

bool QuantizedPq4LookupTables::update_from_f32_with(std::span<const float> float_table, size_t m, size_t k,
                                                    bool per_center_) {
  if (m > kPq4MaxSubquantizers) return false;
  size_t length;
  if (__builtin_mul_overflow(m * 16, k, &length) || length != float_table.size()) return false;
  const float* src = float_table.data();
  const float inf = std::numeric_limits<float>::infinity();

  // Validate everything before touching the buffers: a declined table leaves them as they were.
  float lo = inf, hi = -inf;
  if (!finite_extremes(src, length, lo, hi)) return false;
  // A span wider than float32 (|values| near 1e38) would make every step infinite.
  if (length > 0 && !finite_range(lo, hi)) return false;

  const size_t rows = m * 16;
  entries.resize(length);
  uint8_t* out = entries.data();
  if (per_center_) {
    std::vector<float> lo_c(k, inf), hi_c(k, -inf);
    for (size_t r = 0; r < rows; ++r) {
      const float* row = src + r * k;
      for (size_t c = 0; c < k; ++c) {
        lo_c[c] = std::min(lo_c[c], row[c]);
        hi_c[c] = std::max(hi_c[c], row[c]);
      }
    }
    scales.resize(k);
    biases.resize(k);
    for (size_t c = 0; c < k; ++c) {
      const float range = hi_c[c] - lo_c[c];
      scales[c] = range > 0.0f ? range / 255.0f : 1.0f;
      biases[c] = lo_c[c];
    }
    quantize_transposed(src, rows, k, out, [&](const float* row, uint8_t* dst) {
      for (size_t c = 0; c < k; ++c) {
        dst[c] = hi_c[c] - lo_c[c] > 0.0f ? uint8_t(quantized_level(row[c], lo_c[c], scales[c])) : 0;
      }
    });
    scale = 1.0f;
    bias = 0.0f;
  } else {
    const float range = hi - lo;
    scale = range > 0.0f ? range / 255.0f : 1.0f;
    bias = lo;
    if (range > 0.0f) {
      quantize_transposed(src, rows, k, out,
                          [&](const float* row, uint8_t* dst) { quantize_values(row, k, lo, scale, dst); });
    } else {
      std::fill(entries.begin(), entries.end(), uint8_t{0});
    }
    scales.clear();
    biases.clear();
  }
  per_center = per_center_;
  num_subquantizers = m;
  this->k = k;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Switches

bool pq4_fastscan_enabled() { return env_word(EnvSwitch::Pq4Fastscan) == Word::On; }

bool pq4_lut_per_center_enabled() { return env_word(EnvSwitch::Pq4LutCalibration) == Word::PerCenter; }

// ---------------------------------------------------------------------------------------------
// Scans

void pq4_scan_cluster_neon(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t block,
                           size_t center, std::span<uint16_t, kPq4BlockRows> sums) {
  scan_one<VectorBlock>(packed, tables, block, center, sums);
}

void pq4_scan_cluster_scalar(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t block,
                             size_t center, std::span<uint16_t, kPq4BlockRows> sums) {
  scan_one<ScalarBlock>(packed, tables, block, center, sums);
}

void pq4_assign_quantized_rows_neon(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables,
                                    std::span<const float> float_table, size_t k, size_t begin, size_t end,
                                    size_t* labels, float* distances) {
  assign_quantized_chunk<VectorBlock>(packed, tables, float_table, k, begin, end, labels, distances);
}

void pq4_assign_quantized_rows_scalar(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables,
                                      std::span<const float> float_table, size_t k, size_t begin, size_t end,
                                      size_t* labels, float* distances) {
  assign_quantized_chunk<ScalarBlock>(packed, tables, float_table, k, begin, end, labels, distances);
}

size_t pq4_rows_within_neon(const PackedPq4Codes& packed, const uint8_t* entries, const uint16_t* limits,
                            size_t begin, size_t end, uint32_t* out) {
  return rows_within_limits<VectorBlock>(packed, entries, limits, begin, end, out);
}

size_t pq4_rows_within_scalar(const PackedPq4Codes& packed, const uint8_t* entries, const uint16_t* limits,
                              size_t begin, size_t end, uint32_t* out) {
  return rows_within_limits<ScalarBlock>(packed, entries, limits, begin, end, out);
}

void pq4_top_candidates_neon(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t l,
                             size_t begin, size_t end, uint32_t* centers, float* distances) {
  if (tables.per_center) return top_candidates<VectorBlock, 0>(packed, tables, l, begin, end, centers, distances);
  if (tables.k <= 65536 && l <= 4) {
    switch (l) {
      case 1: return top_candidates_keyed<VectorBlock, 1>(packed, tables, l, begin, end, centers, distances);
      case 2: return top_candidates_keyed<VectorBlock, 2>(packed, tables, l, begin, end, centers, distances);
      case 3: return top_candidates_keyed<VectorBlock, 3>(packed, tables, l, begin, end, centers, distances);
      case 4: return top_candidates_keyed<VectorBlock, 4>(packed, tables, l, begin, end, centers, distances);
    }
  }
  switch (l) {
#define VANTORIX_TOP_CANDIDATES(n) \
  case n:                          \
    return top_candidates<VectorBlock, n>(packed, tables, l, begin, end, centers, distances);
    VANTORIX_TOP_CANDIDATES(1)
    VANTORIX_TOP_CANDIDATES(2)
    VANTORIX_TOP_CANDIDATES(3)
    VANTORIX_TOP_CANDIDATES(4)
    VANTORIX_TOP_CANDIDATES(5)
    VANTORIX_TOP_CANDIDATES(6)
    VANTORIX_TOP_CANDIDATES(7)
    VANTORIX_TOP_CANDIDATES(8)
#undef VANTORIX_TOP_CANDIDATES
    default:
      return top_candidates<VectorBlock, 0>(packed, tables, l, begin, end, centers, distances);
  }
}

void pq4_top_candidates_scalar(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t l,
                               size_t begin, size_t end, uint32_t* centers, float* distances) {
  top_candidates<ScalarBlock, 0>(packed, tables, l, begin, end, centers, distances);
}

const char* pq4_vector_isa() { return kVectorIsa; }

}  // namespace vantorix
