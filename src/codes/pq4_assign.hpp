#pragma once
// Assigning rows of 4-bit packed codes to their nearest centers with the forms of the process's
// kernel table: the quantized fast scan and the exact float scan.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kernels/pq4.hpp"

namespace vantorix {

// pq4_scan_cluster_neon or _scalar, whichever the process's kernel table holds.
void pq4_scan_cluster(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t block,
                      size_t center, std::span<uint16_t, kPq4BlockRows> sums);
// Nearest center of every packed row through the quantized tables, rebuilt here from the float
// table (k centers) with the calibration the environment selects. Ties keep the lower center;
// under global calibration a sum of 65535 never wins. Each winner's distance is its float-table
// distance, summed in subquantizer order. Returns false, writing nothing, when the tables
// decline the float table. Rows are processed in chunks of 256 on the worker pool; the result
// does not depend on the thread count. labels and distances hold packed.rows entries.
bool assign_pq4_lookup_quantized_reusing_into(const PackedPq4Codes& packed, std::span<const float> float_table,
                                              size_t k, QuantizedPq4LookupTables& tables, std::span<size_t> labels,
                                              std::span<float> distances);

// Exact nearest center of every packed row through the float table: the same labels and the
// same distances, bit for bit, as the unpacked lookup scan (select_lookup_min with stride 16).
// k = 0 gives label 0 and distance +inf.
void assign_pq4_lookup_into(const PackedPq4Codes& packed, std::span<const float> float_table, size_t k,
                            std::span<size_t> labels, std::span<float> distances);

// Farthest-first and k-means++ starts lower every row's distance to the chosen centers one center
// at a time, and late in the start a new center brings few rows closer. The screen lets the 4-bit
// scan find those rows: the codeword distances of every subspace quantized with one scale and
// rounded down make a row's quantized sum, times the scale, a lower bound of its float distance
// to the center. A row whose bound exceeds its best distance (with a margin for the rounding of
// the float sums) keeps it; only the others are summed exactly, the same way as without the
// screen, so the chosen rows are the same.
class Pq4DistanceScreen {
 public:
  // The screen for a codeword distance table of m subspaces of 16 codewords ((m*16 + a)*16 + b),
  // or nothing when it cannot screen: m above 257 (the sums would overflow 16 bits), or an entry
  // that is negative or not finite, or no entry above the smallest normal float.
  static std::optional<Pq4DistanceScreen> build(std::span<const float> codeword_distances, size_t m);

  // The largest quantized sum with which a row whose best distance is `best` might still come
  // closer than `best`: every larger sum proves the float distance is above it. 0 for a negative
  // best (a chosen row), 65535 for +inf.
  uint16_t limit(float best) const;
  // Takes the center whose code (m bytes) the next rows_within calls compare with.
  void set_center(const uint8_t* code);
  // The rows of [begin, end) (begin a multiple of 32) whose quantized sum against the center is at
  // most limits[i]: written to out in no particular order, their count returned.
  size_t rows_within(const PackedPq4Codes& packed, const uint16_t* limits, size_t begin, size_t end,
                     uint32_t* out) const;

 private:
  std::vector<uint8_t> table_;    // (m*16 + a)*16 + b: floor(distance / scale)
  std::vector<uint8_t> entries_;  // the center's m x 16 entries
  size_t m_ = 0;
  double limit_factor_ = 0.0;  // (1 + margin) / scale
};

}  // namespace vantorix
