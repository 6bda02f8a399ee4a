#include "codes/pq4_assign.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "core/error.hpp"
#include "core/parallel.hpp"
#include "kernels/simd.hpp"

namespace vantorix {

namespace {

constexpr size_t kMaxPairs = (kPq4MaxSubquantizers + 1) / 2;

inline void require(bool ok, const char* what) {
  if (!ok) fatal(what);
}

}  // namespace

void pq4_scan_cluster(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t block,
                      size_t center, std::span<uint16_t, kPq4BlockRows> sums) {
  kernels().pq4_scan_cluster(packed, tables, block, center, sums);
}

bool assign_pq4_lookup_quantized_reusing_into(const PackedPq4Codes& packed, std::span<const float> float_table,
                                              size_t k, QuantizedPq4LookupTables& tables, std::span<size_t> labels,
                                              std::span<float> distances) {
  const size_t n = size_t(packed.rows), m = size_t(packed.num_subquantizers);
  require(labels.size() >= n && distances.size() >= n, "pq4 assignment: output shorter than the rows");
  if (!tables.update_from_f32(float_table, m, k)) return false;
  const auto rows = kernels().pq4_assign_quantized_rows;
  parallel_chunks(n, kPq4ChunkRows, [&](size_t begin, size_t end) {
    rows(packed, tables, float_table, k, begin, end, labels.data(), distances.data());
  });
  return true;
}

void assign_pq4_lookup_into(const PackedPq4Codes& packed, std::span<const float> float_table, size_t k,
                            std::span<size_t> labels, std::span<float> distances) {
  const size_t n = size_t(packed.rows), m = size_t(packed.num_subquantizers);
  require(labels.size() >= n && distances.size() >= n, "pq4 assignment: output shorter than the rows");
  require(k == 0 || float_table.size() >= saturating_mul(saturating_mul(m, 16), k), "pq4 assignment: table shorter than M*16*k");
  parallel_chunks(n, kPq4ChunkRows, [&](size_t begin, size_t end) {
    // Unpacking one block at a time into bytes puts each row through the same lookup minimum as
    // the unpacked codes take, so labels and distances match them bit for bit.
    uint8_t codes[kPq4BlockRows * kMaxPairs * 2];
    std::vector<uint8_t> wide;
    uint8_t* rows_codes = codes;
    if (m > kMaxPairs * 2) {
      wide.resize(kPq4BlockRows * m);
      rows_codes = wide.data();
    }
    for (size_t row0 = begin; row0 < end; row0 += kPq4BlockRows) {
      const size_t real = std::min(kPq4BlockRows, end - row0);
      const uint8_t* bytes = packed.block(row0 / kPq4BlockRows);
      for (size_t p = 0; p < size_t(packed.pairs); ++p) {
        for (size_t r = 0; r < real; ++r) {
          const uint8_t b = bytes[p * kPq4BlockRows + r];
          rows_codes[r * m + 2 * p] = b & 15;
          if (2 * p + 1 < m) rows_codes[r * m + 2 * p + 1] = b >> 4;
        }
      }
      for (size_t r = 0; r < real; ++r) {
        if (m == 0) {
          labels[row0 + r] = 0;
          distances[row0 + r] = k == 0 ? std::numeric_limits<float>::infinity() : 0.0f;
          continue;
        }
        const auto [label, d] = select_lookup_min({rows_codes + r * m, m}, float_table, 16, k);
        labels[row0 + r] = label;
        distances[row0 + r] = d;
      }
    }
  });
}

// The float distance sums m non-negative terms in float32, so it is at least their exact sum times
// (1 - 256 * 2^-24); the quantized entries are rounded down in double. A margin of 2^-12 on the
// limit covers both with room to spare, and costs almost nothing in screening power.
constexpr double kScreenMargin = 1.0 / 4096.0;

std::optional<Pq4DistanceScreen> Pq4DistanceScreen::build(std::span<const float> codeword_distances, size_t m) {
  if (m == 0 || m > kPq4MaxSubquantizers || codeword_distances.size() != m * 256) return std::nullopt;
  float hi = 0.0f;
  for (float v : codeword_distances) {
    if (!std::isfinite(v) || v < 0.0f) return std::nullopt;
    hi = std::max(hi, v);
  }
  if (!(hi >= FLT_MIN)) return std::nullopt;
  const double scale = double(hi) / 255.0;
  Pq4DistanceScreen screen;
  screen.m_ = m;
  screen.limit_factor_ = (1.0 + kScreenMargin) / scale;
  screen.table_.resize(codeword_distances.size());
  for (size_t i = 0; i < codeword_distances.size(); ++i) {
    screen.table_[i] = uint8_t(std::min(255.0, std::floor(double(codeword_distances[i]) / scale)));
  }
  screen.entries_.assign(m * 16, 0);
  return screen;
}

uint16_t Pq4DistanceScreen::limit(float best) const {
  if (!(best >= 0.0f)) return 0;
  const double bound = std::floor(double(best) * limit_factor_);
  return bound >= 65535.0 ? uint16_t(65535) : uint16_t(bound);
}

void Pq4DistanceScreen::set_center(const uint8_t* code) {
  for (size_t m = 0; m < m_; ++m) {
    for (size_t j = 0; j < 16; ++j) entries_[m * 16 + j] = table_[(m * 16 + j) * 16 + code[m]];
  }
}

size_t Pq4DistanceScreen::rows_within(const PackedPq4Codes& packed, const uint16_t* limits, size_t begin,
                                      size_t end, uint32_t* out) const {
  require(packed.num_subquantizers == m_, "pq4 screen: packed codes of another M");
  return kernels().pq4_rows_within(packed, entries_.data(), limits, begin, end, out);
}

}  // namespace vantorix
