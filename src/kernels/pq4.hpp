#pragma once
// 4-bit fast scan over codes of 16-codeword codebooks.
//
// Codes of a Ks = 16 quantizer fit in a nibble. PackedPq4Codes stores two per byte in blocks of
// 32 rows, so one 16-byte table lookup (a byte shuffle) scores 16 rows for one subquantizer.
// QuantizedPq4LookupTables turns a float center lookup table into 8-bit entries for that
// lookup; the quantized assignment picks each row's center from 16-bit sums of those entries
// and then rescores only the winner with the float table, so the distances it reports are
// always unquantized. The exact float scan over packed codes is the fallback whenever the
// quantized scan is switched off or declines a table.
//
// Float lookup table layout (input everywhere here): M x 16 x k float32, the contribution of
// code j of subquantizer m to center c at (m*16 + j)*k + c, centers fastest.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vantorix {

inline constexpr size_t kPq4BlockRows = 32;
// Rows per work item of the assignments over packed rows (8 blocks).
inline constexpr size_t kPq4ChunkRows = 256;
// The largest M whose quantized sums (at most M * 255) still fit in 16 bits: 257 * 255 = 65535.
inline constexpr size_t kPq4MaxSubquantizers = 257;

// Codes packed two per byte. Rows are grouped in blocks of 32; block b occupies
// data[b*pairs*32, (b+1)*pairs*32), and inside it pair p (subquantizers 2p and 2p+1) takes 32
// consecutive bytes, one per row: low nibble = code of 2p, high nibble = code of 2p+1 (0 when
// M is odd and 2p+1 = M). Bytes of rows past the last real row are 0.
struct PackedPq4Codes {
  std::vector<uint8_t> data;
  uint64_t rows = 0;
  uint64_t num_subquantizers = 0;
  uint64_t pairs = 0;  // ceil(M / 2): bytes per row

  // codes: rows x m bytes, row-major. Errors (VantorixError::message):
  // "PQ4 code shape overflows usize", "PQ4 code matrix length does not match shape",
  // "PQ4 packing requires codebook_size <= 16".
  static PackedPq4Codes pack(std::span<const uint8_t> codes, uint64_t rows, uint64_t m);

  size_t blocks() const { return size_t((rows + kPq4BlockRows - 1) / kPq4BlockRows); }
  size_t block_bytes() const { return size_t(pairs) * kPq4BlockRows; }
  const uint8_t* block(size_t b) const { return data.data() + b * block_bytes(); }
  // Code of subquantizer m of row i, for tests and rescoring.
  uint8_t code(size_t i, size_t m) const;
};

// 8-bit quantized lookup tables, a buffer set the caller keeps for a whole fit or prediction
// and hands to every pass; updates resize in place, so steady-state passes do not allocate.
//
// entries: k x M x 16 bytes, center-major, entry of (c, m, j) at (c*M + m)*16 + j, so one
// center's tables for all subquantizers are contiguous. An entry q stands for q*scale + bias
// (global calibration) or q*scales[c] + biases[c] (per-center calibration); a row's quantized
// sum S over M entries stands for S*scale + bias*M, respectively S*scales[c] + biases[c]*M.
struct QuantizedPq4LookupTables {
  std::vector<uint8_t> entries;
  std::vector<float> scales;  // per-center calibration only, else empty
  std::vector<float> biases;  // per-center calibration only, else empty
  uint64_t num_subquantizers = 0;
  uint64_t k = 0;
  float scale = 1.0f;  // global calibration; 1.0 under per-center
  float bias = 0.0f;   // global calibration; 0.0 under per-center
  bool per_center = false;

  // Quantizes a float table (layout above) with the calibration VANTORIX_PQ4_LUT_CALIBRATION
  // selects now. Returns false, leaving the buffers as they were, when the table cannot be
  // quantized: M > 257, length != M*16*k (or that product overflows), a NaN or infinite entry,
  // or a value range too wide for float32. The caller then uses the float table.
  bool update_from_f32(std::span<const float> float_table, size_t m, size_t k);
  // The same with the calibration given.
  bool update_from_f32_with(std::span<const float> float_table, size_t m, size_t k, bool per_center);

  const uint8_t* center_entries(size_t c) const { return entries.data() + c * size_t(num_subquantizers) * 16; }
};

// VANTORIX_PQ4_FASTSCAN is on ("1", "on", "yes", "true", "auto", "fastscan"; case, "-" and "_"
// ignored). Read on every call.
bool pq4_fastscan_enabled();
// VANTORIX_PQ4_LUT_CALIBRATION asks for per-center calibration ("cluster", "centroid",
// "percluster", "percentroid"; case, "-" and "_" ignored); anything else is global. Read on
// every call.
bool pq4_lut_per_center_enabled();

// The scan forms (their declarations are in simd.hpp, with the kernel table that holds them):
//
// pq4_scan_cluster_{neon,scalar}: 16-bit quantized sums of the 32 rows of one block against one
// center. The vector form does two 16-byte table lookups (byte shuffles) per nibble and 16-bit
// accumulation; the scalar form sums in 32 bits and keeps the low 16. Both agree on every real
// row (M <= 257 cannot overflow). Rows past the last real row: the scalar form writes 65535, the
// vector form the sum of code-0 entries. The tables must have been built for packed's M.
//
// pq4_assign_quantized_rows_{neon,scalar}: one task of the quantized assignment
// (pq4_assign.hpp): rows [begin, end) (begin a multiple of 256) through tables already built for
// float_table, on the block scan of the same form.
// pq4_rows_within_{neon,scalar}: the rows i of [begin, end) (begin a multiple of 32) whose
// quantized sum against one center's entries (M x 16 bytes, entry of (m, j) at m*16 + j) is at
// most limits[i], written to out (room for end - begin indices) in no particular order; returns
// their count. Both forms give the same set.
//
// pq4_top_candidates_{neon,scalar}: for every row i of [begin, end) (begin a multiple of 32), the
// l (1 <= l < k) centers with the smallest dequantized distances S*scale + bias*M (per center
// under per-center calibration), evaluated in float32, ties to the lower center: centers and
// distances at (i - begin)*l onwards, in no particular order. The tables must hold k centers.
// Both forms give the same lists.
//
// Whether the vector form's candidate lists (l <= 8, global calibration) run on the four-subspace
// byte permute on this CPU (AVX512-VBMI and VNNI on an AVX-512 build) unless VANTORIX_PQ4_PERMUTE
// switches it off; it gives the same lists as the nibble shuffle.
bool pq4_permute_scan_available();

// Which byte shuffle the vector form uses on this build: "avx512bw", "avx2", "ssse3", "neon"
// or "portable" (no byte shuffle available; the vector form is then the scalar arithmetic).
const char* pq4_vector_isa();

// Float-table distance of packed row i to center c: entries of (m, code) added in order of m.
float pq4_float_distance(const PackedPq4Codes& packed, std::span<const float> float_table, size_t k, size_t row,
                         size_t center);
// The same for `count` consecutive rows from row0 to centers[i], into out[i], several rows at once.
void pq4_float_distances(const PackedPq4Codes& packed, std::span<const float> float_table, size_t k, size_t row0,
                         size_t count, const size_t* centers, float* out);

}  // namespace vantorix
