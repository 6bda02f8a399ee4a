#pragma once
// Assigning rows of 4-bit packed codes to their nearest centers with the forms of the process's
// kernel table: the quantized fast scan and the exact float scan.
#include <cstddef>
#include <cstdint>
#include <span>

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

}  // namespace vantorix
