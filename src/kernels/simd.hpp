#pragma once
// The numeric kernels every nearest-center search rests on, each in a 4-lane vector form
// (`*_neon`: NEON on aarch64, the same 4-lane arithmetic on SSE/AVX registers on x86-64) and a
// scalar form, with the process-wide choice between them.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace vantorix {

struct PackedPq4Codes;
struct QuantizedPq4LookupTables;
class PdxMatrix;

enum class SimdPreference : uint8_t { Auto = 0, Scalar = 1, Avx2 = 2, Avx512 = 3, Neon = 4 };

// Parses a VANTORIX_SIMD value (nullopt: unset or not UTF-8).
SimdPreference parse_simd_preference(const std::optional<std::string>& text);
// Read once from VANTORIX_SIMD and cached for the life of the process.
SimdPreference simd_preference();

// One implementation of every kernel, all of the same instruction-set level. The process uses
// exactly one table, chosen once (kernels()); callers go through the table, or through the
// plain-named dispatchers below, and never ask which table it is.
//
// A new kernel: its `_neon` and `_scalar` forms side by side in simd.cpp, or in its family's
// own file through lanes.hpp; one field here with both forms declared below the table (the
// families include this header, never the other way round), both tables filled in.
struct KernelTable {
  const char* name;  // what simd_runtime() reports
  // The properties below are facts about these forms that callers build their data layout on.
  // add_scaled fuses multiply and add on whole groups of four.
  bool fused_add_scaled;
  // nearest_l2_center / nearest_dot_center have a wide form over packed centers
  // (dense_kernels.hpp) that gives the same results.
  bool packed_centers;
  // l2_squared sums in four lanes, and the fixed-length DistanceKernel kinds (summed in four
  // fused lanes) are in use: DistanceKernel::for_dimension picks them only then.
  bool slice_lanes;

  float (*l2_squared)(std::span<const float> a, std::span<const float> b);
  // l2_squared of four rows (d floats each) against one center, into out[0..4).
  void (*l2_squared_rows4)(const float* const* rows, const float* center, size_t d, float* out);
  // Four independent (row, center) pairs, each the value nearest_l2_center (nearest_dot_center)
  // gives for that center, into out[0..4).
  void (*l2_squared_pairs4)(const float* const* rows, const float* const* centers, size_t d, float* out);
  // The same for eight pairs, faster where the rows come in equal twos (rows[2i] == rows[2i + 1]).
  void (*l2_squared_pairs8)(const float* const* rows, const float* const* centers, size_t d, float* out);
  void (*dot_pairs4)(const float* const* rows, const float* const* centers, size_t d, float* out);
  std::pair<size_t, float> (*nearest_l2_center)(std::span<const float> query, std::span<const float> centers,
                                                size_t k, size_t d);
  std::pair<size_t, float> (*nearest_dot_center)(std::span<const float> query, std::span<const float> centers,
                                                 size_t k, size_t d);
  std::pair<size_t, float> (*select_lookup_min)(std::span<const uint8_t> code, std::span<const float> table,
                                                size_t stride, size_t k);
  void (*add_assign)(std::span<float> dst, std::span<const float> src);
  void (*add_scaled)(std::span<float> dst, std::span<const float> src, float w);
  // The 4-bit block scan and the quantized assignment of a run of packed rows built on it
  // (pq4.hpp).
  void (*pq4_scan_cluster)(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t block,
                           size_t center, std::span<uint16_t, 32> sums);
  void (*pq4_assign_quantized_rows)(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables,
                                    std::span<const float> float_table, size_t k, size_t begin, size_t end,
                                    size_t* labels, float* distances);
  // Rows whose quantized sum against one center's M x 16 entries is at most their limit (pq4.hpp).
  size_t (*pq4_rows_within)(const PackedPq4Codes& packed, const uint8_t* entries, const uint16_t* limits,
                            size_t begin, size_t end, uint32_t* out);
  // Every row's l best centers by dequantized distance (pq4.hpp).
  void (*pq4_top_candidates)(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t l,
                             size_t begin, size_t end, uint32_t* centers, float* distances);
  // The exact assignments of the PDX blocks, plain and pruned, and of the cache-tiled rows
  // (pdx.hpp, tiled_rows.hpp).
  void (*pdx_assign_l2)(const PdxMatrix& m, const float* centers, size_t k, size_t* labels, float* distances);
  void (*pdx_assign_l2_pruned)(const PdxMatrix& m, const float* centers, size_t k, size_t* labels,
                               float* distances);
  void (*assign_l2_flash)(const float* vectors, const float* centers, size_t rows, size_t dim, size_t k,
                          size_t* labels, float* distances);
};

// The table a preference selects: the vector kernels for Auto and Neon, the scalar ones
// otherwise.
const KernelTable& kernel_table_for(SimdPreference pref);
// The process's table, chosen on first use from VANTORIX_SIMD and the CPU.
const KernelTable& choose_kernels();
inline const KernelTable& kernels() {
  static const KernelTable& table = choose_kernels();
  return table;
}
// True when the vector kernels are active (preference Auto or Neon): the table's slice_lanes.
inline bool selected_slice_kernel() { return kernels().slice_lanes; }
// "neon" when the vector kernels are active, "scalar" otherwise.
const char* simd_runtime();
// The instruction set this build of the kernels was compiled for: "sse", "avx2" or "avx512" on
// x86-64, "neon" on aarch64.
const char* simd_build_level();

struct DistanceKernel {
  enum Kind : uint8_t { Scalar = 0, Lanes4 = 1, Dim4 = 2, Dim8 = 3, Dim16 = 4, Dim32 = 5, Dim64 = 6 };
  Kind kind = Scalar;

  static DistanceKernel for_dimension(size_t d);
  static DistanceKernel for_dimension_with(SimdPreference pref, size_t d);
  // Squared Euclidean distance (no square root). Dim4..Dim64 read exactly that many values of
  // each slice; Lanes4 reads len(a) values of each; Scalar reads the shorter length.
  float distance(std::span<const float> a, std::span<const float> b) const;
  // distance(a, slice j) for 16 slices of length d held transposed (value i of slice j at
  // b16[i * 16 + j]), bit for bit; d must be the kernel's length for Dim4..Dim64.
  void distance16(const float* a, const float* b16, size_t d, float* out) const;
  // distance16 for `groups` consecutive blocks of sixteen (b16 + g * d * 16 into out + 16 g),
  // one call for all of them.
  void distance16_groups(const float* a, const float* b16, size_t d, size_t groups, float* out) const;
  bool operator==(const DistanceKernel&) const = default;
};

// Squared distance of two slices of equal length (b at least as long as a).
inline float l2_squared(std::span<const float> a, std::span<const float> b) { return kernels().l2_squared(a, b); }
float l2_squared_neon(std::span<const float> a, std::span<const float> b);
float l2_squared_scalar(std::span<const float> a, std::span<const float> b);

// l2_squared of four rows against one center: the vector form runs four accumulator chains at
// once, each the same operations in the same order as l2_squared_neon.
void l2_squared_rows4_neon(const float* const* rows, const float* center, size_t d, float* out);
void l2_squared_rows4_scalar(const float* const* rows, const float* center, size_t d, float* out);
void l2_squared_pairs4_neon(const float* const* rows, const float* const* centers, size_t d, float* out);
void l2_squared_pairs4_scalar(const float* const* rows, const float* const* centers, size_t d, float* out);
void l2_squared_pairs8_neon(const float* const* rows, const float* const* centers, size_t d, float* out);
void l2_squared_pairs8_scalar(const float* const* rows, const float* const* centers, size_t d, float* out);
void dot_pairs4_neon(const float* const* rows, const float* const* centers, size_t d, float* out);
void dot_pairs4_scalar(const float* const* rows, const float* const* centers, size_t d, float* out);

// Nearest of k centers (k*d floats, row-major) by squared distance: (index, squared distance).
// k = 0 gives (0, +inf). Ties keep the lower index; NaN never wins.
inline std::pair<size_t, float> nearest_l2_center(std::span<const float> query, std::span<const float> centers,
                                                  size_t k, size_t d) {
  return kernels().nearest_l2_center(query, centers, k, d);
}
std::pair<size_t, float> nearest_l2_center_neon(std::span<const float> query,
                                                std::span<const float> centers, size_t k, size_t d);
std::pair<size_t, float> nearest_l2_center_scalar(std::span<const float> query,
                                                  std::span<const float> centers, size_t k, size_t d);

// Center with the largest dot product: (index, dot). k = 0 gives (0, -inf).
inline std::pair<size_t, float> nearest_dot_center(std::span<const float> query, std::span<const float> centers,
                                                   size_t k, size_t d) {
  return kernels().nearest_dot_center(query, centers, k, d);
}
std::pair<size_t, float> nearest_dot_center_neon(std::span<const float> query,
                                                 std::span<const float> centers, size_t k, size_t d);
std::pair<size_t, float> nearest_dot_center_scalar(std::span<const float> query,
                                                   std::span<const float> centers, size_t k, size_t d);

// min over j < k of sum_m table[(m*stride + code[m])*k + j]: (index, value). Both forms are
// bit-identical. k = 0 gives (0, +inf).
inline std::pair<size_t, float> select_lookup_min(std::span<const uint8_t> code, std::span<const float> table,
                                                  size_t stride, size_t k) {
  return kernels().select_lookup_min(code, table, stride, k);
}
std::pair<size_t, float> select_lookup_min_neon(std::span<const uint8_t> code,
                                                std::span<const float> table, size_t stride, size_t k);
std::pair<size_t, float> select_lookup_min_scalar(std::span<const uint8_t> code,
                                                  std::span<const float> table, size_t stride, size_t k);

// dst[i] += src[i]
inline void add_assign(std::span<float> dst, std::span<const float> src) { kernels().add_assign(dst, src); }
void add_assign_neon(std::span<float> dst, std::span<const float> src);
void add_assign_scalar(std::span<float> dst, std::span<const float> src);

// dst[i] += w * src[i]; the vector form fuses multiply and add on whole groups of four.
inline void add_scaled(std::span<float> dst, std::span<const float> src, float w) { kernels().add_scaled(dst, src, w); }
void add_scaled_neon(std::span<float> dst, std::span<const float> src, float w);
void add_scaled_scalar(std::span<float> dst, std::span<const float> src, float w);

// ---------------------------------------------------------------------------------------------
// The forms of the kernel families in files of their own, declared here for the table; each
// family's header says what they compute.

// pq4.hpp: the 16-bit quantized sums of one block of 32 packed rows against one center, and the
// quantized assignment of rows [begin, end) (begin a multiple of 256).
void pq4_scan_cluster_neon(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t block,
                           size_t center, std::span<uint16_t, 32> sums);
void pq4_scan_cluster_scalar(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t block,
                             size_t center, std::span<uint16_t, 32> sums);
void pq4_assign_quantized_rows_neon(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables,
                                    std::span<const float> float_table, size_t k, size_t begin, size_t end,
                                    size_t* labels, float* distances);
void pq4_assign_quantized_rows_scalar(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables,
                                      std::span<const float> float_table, size_t k, size_t begin, size_t end,
                                      size_t* labels, float* distances);
size_t pq4_rows_within_neon(const PackedPq4Codes& packed, const uint8_t* entries, const uint16_t* limits,
                            size_t begin, size_t end, uint32_t* out);
size_t pq4_rows_within_scalar(const PackedPq4Codes& packed, const uint8_t* entries, const uint16_t* limits,
                              size_t begin, size_t end, uint32_t* out);
void pq4_top_candidates_neon(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t l,
                             size_t begin, size_t end, uint32_t* centers, float* distances);
void pq4_top_candidates_scalar(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t l,
                               size_t begin, size_t end, uint32_t* centers, float* distances);

// pdx.hpp: PdxMatrix::assign_l2_into and assign_l2_pruned_into on validated inputs.
void pdx_assign_l2_neon(const PdxMatrix& m, const float* centers, size_t k, size_t* labels, float* distances);
void pdx_assign_l2_scalar(const PdxMatrix& m, const float* centers, size_t k, size_t* labels, float* distances);
void pdx_assign_l2_pruned_neon(const PdxMatrix& m, const float* centers, size_t k, size_t* labels,
                               float* distances);
void pdx_assign_l2_pruned_scalar(const PdxMatrix& m, const float* centers, size_t k, size_t* labels,
                                 float* distances);

// tiled_rows.hpp: assign_l2_flash_into on validated inputs.
void assign_l2_flash_neon(const float* vectors, const float* centers, size_t rows, size_t dim, size_t k,
                          size_t* labels, float* distances);
void assign_l2_flash_scalar(const float* vectors, const float* centers, size_t rows, size_t dim, size_t k,
                            size_t* labels, float* distances);

}  // namespace vantorix
