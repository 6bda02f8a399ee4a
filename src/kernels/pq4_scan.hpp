#pragma once
// The 4-bit scans' block scanners and the scans built on them, included by the files that
// instantiate them. Everything here has internal linkage: each including file compiles its own
// copy for its own instruction set (pq4_quad.cpp adds byte permutes and dot products), and no
// copy built for one CPU can stand in for another's at link time. Include it after
// kernels/pq4.hpp, whose types it scans.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/parallel.hpp"
#include "kernels/lanes.hpp"

namespace vantorix {
namespace {  // NOLINT: internal linkage on purpose, see above

constexpr size_t kMaxPairs = (kPq4MaxSubquantizers + 1) / 2;
// Centers are scanned in groups whose in-group index fits 16 bits, so a row's running best
// can be one 32-bit key (sum << 16 | index) and the minimum of keys is the first strict minimum.
constexpr size_t kCenterGroup = 65536;

inline void require(bool ok, const char* what) {
  if (!ok) fatal(what);
}

using lanes::U16x16;
using lanes::U32x16;
using I32x16 = lanes::I16;
using F32x16 = lanes::F16;

// The sums of one scan, R rows in the scanner's slot order: slot 16q + l is lane l of part q.
template <size_t R>
struct Sums {
  static constexpr size_t kParts = R / 16;
  U16x16 part[kParts];
  uint16_t operator[](size_t slot) const { return part[slot / 16][slot % 16]; }
};

template <size_t R>
Sums<R> sums_from_bytes(const void* bytes) {
  Sums<R> out;
  std::memcpy(out.part, bytes, sizeof(out.part));
  return out;
}

// Shuffle scanners that widen by adding whole 16-bit lanes put even rows first, then odd rows.
template <size_t R>
constexpr size_t even_odd_row(size_t slot) {
  return slot < R / 2 ? 2 * slot : 2 * (slot - R / 2) + 1;
}

void check_scan_args(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t block,
                     size_t center) {
  require(tables.num_subquantizers == packed.num_subquantizers, "pq4 scan: tables built for another M");
  require(packed.num_subquantizers <= kPq4MaxSubquantizers, "pq4 scan: M above 257");
  require(block < packed.blocks(), "pq4 scan: block out of range");
  require(center < tables.k, "pq4 scan: center out of range");
  require(packed.data.size() >= packed.blocks() * packed.block_bytes(), "pq4 scan: packed data too short");
}

// ---------------------------------------------------------------------------------------------
// Block scanners. load() prepares kRows rows (one or two 32-row blocks, starting at a block)
// once; sums() then scores them against one center's M x 16 entries and returns the sums in the
// scanner's slot order, which row_of_slot() maps back to rows. Rows past the packed rows are
// scored as padding and ignored by every caller.

// Sums each row in 32 bits and keeps the low 16; rows past the end score 65535.
struct ScalarBlock {
  static constexpr size_t kRows = 32;
  const uint8_t* bytes = nullptr;
  size_t m = 0, pairs = 0, real_rows = 0;

  void load(const PackedPq4Codes& packed, size_t block) {
    bytes = packed.block(block);
    m = size_t(packed.num_subquantizers);
    pairs = size_t(packed.pairs);
    real_rows = std::min<size_t>(kPq4BlockRows, size_t(packed.rows) - block * kPq4BlockRows);
  }
  Sums<kRows> sums(const uint8_t* t) const {
    uint16_t out[kRows];
    for (size_t r = 0; r < kRows; ++r) {
      if (r >= real_rows) {
        out[r] = 65535;
        continue;
      }
      uint32_t s = 0;
      for (size_t p = 0; p < pairs; ++p) {
        const uint8_t b = bytes[p * kPq4BlockRows + r];
        s += t[(2 * p) * 16 + (b & 15)];
        if (2 * p + 1 < m) s += t[(2 * p + 1) * 16 + (b >> 4)];
      }
      out[r] = uint16_t(s);
    }
    return sums_from_bytes<kRows>(out);
  }
  // kRows values given in row order, in slot order.
  Sums<kRows> slots_of(const uint16_t* rows) const { return sums_from_bytes<kRows>(rows); }
  static constexpr size_t row_of_slot(size_t s) { return s; }
};

// One register of two 32-byte halves, or the first half alone where a register holds 32 bytes.
template <class V, class H>
V join_halves(H a, H b) {
  if constexpr (sizeof(V) == 2 * sizeof(H)) {
    return __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                   22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42,
                                   43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63);
  } else {
    static_assert(sizeof(V) == sizeof(H));
    (void)b;
    return a;
  }
}

constexpr const char* kVectorIsa = lanes::kShuffleIsa;

// kShuffleBytes / 32 blocks side by side (two with AVX-512BW, else one): one byte shuffle per
// nibble looks up every row of them, 16 bytes of table at a time. The looked-up bytes are added
// into 16-bit lanes whole, so each lane carries an even row plus 256 times the next odd row,
// modulo 2^16; the odd rows are also summed on their own (shifted down), and subtracting them
// back leaves the even rows exact. Slots: the even rows in order, then the odd rows.
struct VectorBlock {
  using U8 = lanes::ShuffleU8;
  using U16 = lanes::ShuffleU16;
  static constexpr size_t kBlocks = lanes::kShuffleBytes / kPq4BlockRows;
  static constexpr size_t kRows = kBlocks * kPq4BlockRows;
  U8 lo[kMaxPairs];
  U8 hi[kMaxPairs];
  size_t m = 0, full_pairs = 0;

  void load(const PackedPq4Codes& packed, size_t block) {
    m = size_t(packed.num_subquantizers);
    full_pairs = m / 2;
    // Two blocks are joined in registers: stores of two halves read back as one register would
    // stall on store forwarding, once per pair, and a single-center screen loads every block.
    typedef uint8_t Half __attribute__((vector_size(kPq4BlockRows)));
    const uint8_t* first = packed.block(block);
    const uint8_t* second = kBlocks == 2 && block + 1 < packed.blocks() ? packed.block(block + 1) : nullptr;
    for (size_t p = 0; p < size_t(packed.pairs); ++p) {
      Half a, b = {};
      std::memcpy(&a, first + p * kPq4BlockRows, sizeof(a));
      if (second != nullptr) std::memcpy(&b, second + p * kPq4BlockRows, sizeof(b));
      const U8 v = join_halves<U8>(a, b);
      lo[p] = v & 15;
      hi[p] = v >> 4;
    }
  }
  Sums<kRows> sums(const uint8_t* t) const {
    // Two accumulator pairs (low and high nibbles) keep the dependency chains short.
    U16 raw0 = {}, odd0 = {}, raw1 = {}, odd1 = {};
#pragma GCC unroll 4
    for (size_t p = 0; p < full_pairs; ++p) {
      const U16 a = (U16)lanes::lookup16(t + 32 * p, lo[p]);
      const U16 b = (U16)lanes::lookup16(t + 32 * p + 16, hi[p]);
      raw0 += a;
      odd0 += a >> 8;
      raw1 += b;
      odd1 += b >> 8;
    }
    if (m % 2 == 1) {  // the last pair has no high-nibble subquantizer
      const U16 a = (U16)lanes::lookup16(t + 32 * full_pairs, lo[full_pairs]);
      raw0 += a;
      odd0 += a >> 8;
    }
    const U16 odd = odd0 + odd1;
    const U16 even = (raw0 + raw1) - (odd << 8);
    Sums<kRows> out;
    std::memcpy(&out.part[0], &even, sizeof(even));
    std::memcpy(&out.part[Sums<kRows>::kParts / 2], &odd, sizeof(odd));
    return out;
  }
  // kRows values given in row order, in slot order (even rows, then odd rows).
  Sums<kRows> slots_of(const uint16_t* rows) const {
    Sums<kRows> out;
    if constexpr (kRows == 64) {
      typedef uint16_t U16x32 __attribute__((vector_size(64)));
      U16x32 a, b;
      std::memcpy(&a, rows, sizeof(a));
      std::memcpy(&b, rows + 32, sizeof(b));
      const U16x32 even = __builtin_shufflevector(a, b, 0,2,4,6,8,10,12,14,16,18,20,22,24,26,28,30,32,34,36,38,40,42,44,46,48,50,52,54,56,58,60,62);
      const U16x32 odd = __builtin_shufflevector(a, b, 1,3,5,7,9,11,13,15,17,19,21,23,25,27,29,31,33,35,37,39,41,43,45,47,49,51,53,55,57,59,61,63);
      std::memcpy(&out.part[0], &even, sizeof(even));
      std::memcpy(&out.part[2], &odd, sizeof(odd));
    } else {
      // kRows == 32
      U16x16 a, b;
      std::memcpy(&a, rows, sizeof(a));
      std::memcpy(&b, rows + 16, sizeof(b));
      out.part[0] = __builtin_shufflevector(a, b, 0,2,4,6,8,10,12,14,16,18,20,22,24,26,28,30);
      out.part[1] = __builtin_shufflevector(a, b, 1,3,5,7,9,11,13,15,17,19,21,23,25,27,29,31);
    }
    return out;
  }
  static constexpr size_t row_of_slot(size_t s) { return even_odd_row<kRows>(s); }
};


template <class Block>
void scan_one(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t block, size_t center,
              std::span<uint16_t, kPq4BlockRows> out) {
  check_scan_args(packed, tables, block, center);
  Block scanner;
  scanner.load(packed, block);
  const auto s = scanner.sums(tables.center_entries(center));
  for (size_t slot = 0; slot < Block::kRows; ++slot) {
    const size_t r = Block::row_of_slot(slot);
    if (r < kPq4BlockRows) out[r] = s[slot];
  }
}

// ---------------------------------------------------------------------------------------------
// Screening rows by one center

template <class Block>
size_t rows_within_limits(const PackedPq4Codes& packed, const uint8_t* entries, const uint16_t* limits, size_t begin,
                          size_t end, uint32_t* out) {
  constexpr size_t R = Block::kRows;
  require(packed.num_subquantizers <= kPq4MaxSubquantizers, "pq4 screen: M above 257");
  require(begin % kPq4BlockRows == 0 && begin <= end && end <= packed.rows, "pq4 screen: rows outside the packed codes");
  require(packed.data.size() >= packed.blocks() * packed.block_bytes(), "pq4 screen: packed data too short");
  Block scanner;
  size_t count = 0;
  for (size_t row0 = begin; row0 < end; row0 += R) {
    const size_t real = std::min(R, end - row0);
    scanner.load(packed, row0 / kPq4BlockRows);
    Sums<R> limit;
    if (real == R) {
      limit = scanner.slots_of(limits + row0);
    } else {
      uint16_t padded[R] = {};
      std::copy_n(limits + row0, real, padded);
      limit = scanner.slots_of(padded);
    }
    const Sums<R> s = scanner.sums(entries);
    for (size_t q = 0; q < Sums<R>::kParts; ++q) {
      uint32_t bits = lanes::lane_bits16(s.part[q] <= limit.part[q]);
      while (bits) {
        const size_t r = Block::row_of_slot(16 * q + size_t(__builtin_ctz(bits)));
        bits &= bits - 1;
        if (r < real) out[count++] = uint32_t(row0 + r);
      }
    }
  }
  return count;
}

// ---------------------------------------------------------------------------------------------
// Candidate lists

// The l centers of smallest dequantized distance for every row of [begin, end), ties to the lower
// center. The block's rows are loaded once and scanned against every center. The first scan
// splits the centers into 2l groups (c mod 2l) and keeps each group's smallest distance per row:
// at least l centers reach the l-th smallest of those minima, so it bounds from above the
// distances of a row's l best. The second pass collects, per row, the centers at or below that
// bar into a buffer of 2l entries; whenever it fills, the row keeps its l best and its bar falls
// to the worst of them, which a later (higher) center must then beat strictly. Under global
// calibration the vector compare screens by sums (the dequantization is monotone, so a sum above
// every sum of the bar's distance cannot reach it), under per-center calibration by distances;
// the exact rule is applied to the rows it lets through.
// Up to this many groups the bar is counted in vector lanes (groups^2 compares per 16 rows);
// beyond, one selection per row is cheaper.
constexpr size_t kCountedGroups = 64;
// For lists of up to 8 under global calibration the first scan instead keeps every slot's N = l
// smallest sums in registers (a sorted insertion per center): the bar is then the exact l-th
// smallest sum, and the second pass lets through only the row's own candidates and their ties.

// Per slot, the N smallest sums so far in ascending order: level j holds the (j + 1)-th smallest.
// The levels are whole target registers laid over the scanner's slot order.
template <size_t R, size_t N>
struct SmallestSums {
  using U16 = lanes::ShuffleU16;
  static constexpr size_t kRegs = sizeof(Sums<R>) / sizeof(U16);
  static_assert(sizeof(Sums<R>) % sizeof(U16) == 0);
  U16 level[N][kRegs];
  void reset() {
    for (auto& regs : level)
      for (auto& v : regs) v = U16{} + 65535;
  }
  void insert(const Sums<R>& s) {
    U16 v[kRegs];
    std::memcpy(v, &s, sizeof(v));
    for (size_t q = 0; q < kRegs; ++q) {
      for (size_t j = 0; j < N; ++j) {
        const U16 low = v[q] < level[j][q] ? v[q] : level[j][q];
        v[q] = v[q] < level[j][q] ? level[j][q] : v[q];
        level[j][q] = low;
      }
    }
  }
  // The (j + 1)-th smallest sums in slot order.
  Sums<R> nth(size_t j) const {
    Sums<R> out;
    std::memcpy(&out, level[j], sizeof(out));
    return out;
  }
};

template <class Block, size_t N>
void top_candidates(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t l, size_t begin,
                    size_t end, uint32_t* centers, float* distances) {
  constexpr size_t R = Block::kRows;
  constexpr size_t P = Sums<R>::kParts;
  const size_t k = size_t(tables.k);
  require(tables.num_subquantizers == packed.num_subquantizers, "pq4 candidates: tables built for another M");
  require(packed.num_subquantizers <= kPq4MaxSubquantizers, "pq4 candidates: M above 257");
  require(l >= 1 && l < k && k <= 0xffffffffu, "pq4 candidates: list length outside [1, k)");
  require(begin % kPq4BlockRows == 0 && begin <= end && end <= packed.rows,
          "pq4 candidates: rows outside the packed codes");
  require(packed.data.size() >= packed.blocks() * packed.block_bytes(), "pq4 candidates: packed data too short");
  const bool per_center = tables.per_center;
  require(!per_center || (tables.scales.size() >= k && tables.biases.size() >= k), "pq4 candidates: no scales");
  const float m_float = float(packed.num_subquantizers);
  auto scale_of = [&](size_t c) { return per_center ? tables.scales[c] : tables.scale; };
  auto offset_of = [&](size_t c) { return (per_center ? tables.biases[c] : tables.bias) * m_float; };
  auto dist_of = [&](F32x16 sums, size_t c) { return sums * scale_of(c) + offset_of(c); };

  struct Entry {
    float d;
    uint32_t c;
    uint16_t s;
  };
  auto before = [](const Entry& a, const Entry& b) { return a.d < b.d || (a.d == b.d && a.c < b.c); };
  const size_t groups = std::min(2 * l, k), cap = 2 * l;
  Block scanner;
  // The first scan's sums serve the second as well while they take at most 1 MiB; beyond that
  // the second scan recomputes them.
  const bool keep_sums = k <= (size_t{1} << 20) / sizeof(Sums<R>);
  std::vector<Sums<R>> kept(keep_sums ? k : 0);
  std::vector<Entry> buffer(R * cap);
  std::vector<U16x16> group_sum(groups * P);
  std::vector<F32x16> group_d(groups * P);
  std::vector<float> minima(groups);
  size_t count[R];
  bool strict[R];
  float bar[R];
  // Slot order: screen by sums at or below these (global calibration), in whole registers.
  using U16 = lanes::ShuffleU16;
  constexpr size_t W = sizeof(U16) / sizeof(uint16_t), kRegs = R / W;
  static_assert(R % W == 0);
  U16 bar_sum[kRegs];
  F32x16 bar_d[P];  // slot order: screen by distances at or below these (per-center calibration)
  auto set_bar = [&](size_t slot, float d, uint16_t sum_le) {
    bar[slot] = d;
    bar_sum[slot / W][slot % W] = sum_le;
    bar_d[slot / 16][slot % 16] = d;
  };
  // Keeps the slot's l best entries, the first l of its buffer; the bar becomes the worst of them.
  auto compact = [&](size_t slot) {
    Entry* e = &buffer[slot * cap];
    std::nth_element(e, e + (l - 1), e + count[slot], before);
    count[slot] = l;
    strict[slot] = true;
    // Getting strictly below the worst entry's distance takes a sum below its sum.
    set_bar(slot, e[l - 1].d, e[l - 1].s);
  };
  require(N == 0 || (!per_center && N == l), "pq4 candidates: sorted insertion for another list length");
  SmallestSums<R, (N > 0 ? N : 1)> smallest;
  for (size_t row0 = begin; row0 < end; row0 += R) {
    const size_t real = std::min(R, end - row0);
    scanner.load(packed, row0 / kPq4BlockRows);
    if constexpr (N > 0) {
      smallest.reset();
      for (size_t c = 0; c < k; ++c) {
        const Sums<R> s = scanner.sums(tables.center_entries(c));
        if (keep_sums) kept[c] = s;
        smallest.insert(s);
      }
      const Sums<R> lth = smallest.nth(N - 1);
      for (size_t q = 0; q < P; ++q) group_sum[q] = lth.part[q];
    } else {
      std::fill(group_sum.begin(), group_sum.end(), U16x16{} + 65535);
      std::fill(group_d.begin(), group_d.end(), F32x16{} + std::numeric_limits<float>::infinity());
      for (size_t c = 0, g = 0; c < k; ++c, g = g + 1 == groups ? 0 : g + 1) {
        const Sums<R> s = scanner.sums(tables.center_entries(c));
        if (keep_sums) kept[c] = s;
        for (size_t q = 0; q < P; ++q) {
          if (per_center) {
            const F32x16 d = dist_of(__builtin_convertvector(s.part[q], F32x16), c);
            F32x16& low = group_d[g * P + q];
            low = d < low ? d : low;
          } else {
            U16x16& low = group_sum[g * P + q];
            low = s.part[q] < low ? s.part[q] : low;
          }
        }
      }
    }
    // The l-th smallest group minimum of every slot: the smallest minimum that at least l minima
    // are at or below. Counted in vectors for a few groups, selected per slot beyond that.
    const bool counted = N > 0 || groups <= kCountedGroups;
    if (N == 0 && counted) {
      for (size_t q = 0; q < P; ++q) {
        if (per_center) {
          F32x16 lth = F32x16{} + std::numeric_limits<float>::infinity();
          for (size_t g = 0; g < groups; ++g) {
            const F32x16 v = group_d[g * P + q];
            I32x16 at_or_below = {};
            for (size_t h = 0; h < groups; ++h) at_or_below -= group_d[h * P + q] <= v;
            lth = (at_or_below >= int32_t(l)) & (v < lth) ? v : lth;
          }
          group_d[q] = lth;
        } else {
          U16x16 lth = U16x16{} + 65535;
          for (size_t g = 0; g < groups; ++g) {
            const U16x16 v = group_sum[g * P + q];
            lanes::I16x16 at_or_below = {};
            for (size_t h = 0; h < groups; ++h) at_or_below -= group_sum[h * P + q] <= v;
            lth = (at_or_below >= int16_t(l)) & (v < lth) ? v : lth;
          }
          group_sum[q] = lth;
        }
      }
    }
    for (size_t slot = 0; slot < R; ++slot) {
      if (counted) {
        minima[l - 1] = per_center ? group_d[slot / 16][slot % 16] : float(group_sum[slot / 16][slot % 16]);
      } else {
        for (size_t g = 0; g < groups; ++g) {
          minima[g] = per_center ? group_d[g * P + slot / 16][slot % 16]
                                 : float(group_sum[g * P + slot / 16][slot % 16]);
        }
        std::nth_element(minima.begin(), minima.begin() + ptrdiff_t(l - 1), minima.end());
      }
      count[slot] = 0;
      strict[slot] = false;
      if (per_center) {
        set_bar(slot, minima[l - 1], 0);
      } else {
        // Every sum whose distance equals the bar's passes the screen.
        uint32_t sum = uint32_t(minima[l - 1]);
        const float d = float(sum) * tables.scale + offset_of(0);
        while (sum < 65535 && float(sum + 1) * tables.scale + offset_of(0) == d) ++sum;
        set_bar(slot, d, uint16_t(sum));
      }
    }
    for (size_t c = 0; c < k; ++c) {
      const Sums<R> s = keep_sums ? kept[c] : scanner.sums(tables.center_entries(c));
      const float scale = scale_of(c), offset = offset_of(c);
      U16 regs[kRegs];
      std::memcpy(regs, &s, sizeof(regs));
      for (size_t q = 0; q < (per_center ? P : kRegs); ++q) {
        // Bit b of part q is slot 16 q + b (per-center distances) or W q + b (sums).
        const size_t width = per_center ? 16 : W;
        uint64_t bits = per_center
                            ? lanes::at_most_mask16(dist_of(__builtin_convertvector(s.part[q], F32x16), c), bar_d[q])
                            : lanes::at_most_bits(regs[q], bar_sum[q]);
        while (bits) {
          const size_t slot = width * q + size_t(__builtin_ctzll(bits));
          bits &= bits - 1;
          const float d = float(s[slot]) * scale + offset;
          if (strict[slot] ? !(d < bar[slot]) : !(d <= bar[slot])) continue;
          buffer[slot * cap + count[slot]++] = {d, uint32_t(c), s[slot]};
          if (count[slot] == cap) compact(slot);
        }
      }
    }
    for (size_t slot = 0; slot < R; ++slot) {
      const size_t r = Block::row_of_slot(slot);
      if (r >= real) continue;
      require(count[slot] >= l, "pq4 candidates: fewer than l centers reached the bar");
      if (count[slot] > l) compact(slot);
      const Entry* e = &buffer[slot * cap];
      const size_t at = (row0 + r - begin) * l;
      for (size_t i = 0; i < l; ++i) {
        centers[at + i] = e[i].c;
        distances[at + i] = e[i].d;
      }
    }
  }
}

// Short lists (N = l <= 4, global calibration, k below 2^16) in one scan: every slot keeps its N
// best keys sum << 16 | center in registers, a sorted insertion per center, so the order is by sum
// and equal sums go to the lower center. That is the rule by dequantized distance unless
// neighbouring sums dequantize to the same distance as the l-th sum; a block where that happens
// is done again by top_candidates, which applies the rule by distance itself.
template <class Block, size_t N>
void top_candidates_keyed(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t l,
                          size_t begin, size_t end, uint32_t* centers, float* distances) {
  constexpr size_t R = Block::kRows;
  using U16 = lanes::ShuffleU16;
  constexpr size_t W = sizeof(U16) / sizeof(uint16_t), H = W / 2, kRegs = R / W, kKeys = 2 * kRegs;
  typedef uint16_t U16Half __attribute__((vector_size(sizeof(U16) / 2)));
  typedef uint32_t U32 __attribute__((vector_size(sizeof(U16))));
  static_assert(R % W == 0 && sizeof(U16Half) * 2 == sizeof(U16));
  const size_t k = size_t(tables.k);
  require(N == l && !tables.per_center && l < k && k <= 65536, "pq4 candidates: keyed lists for another shape");
  require(tables.num_subquantizers == packed.num_subquantizers, "pq4 candidates: tables built for another M");
  require(packed.num_subquantizers <= kPq4MaxSubquantizers, "pq4 candidates: M above 257");
  require(begin % kPq4BlockRows == 0 && begin <= end && end <= packed.rows,
          "pq4 candidates: rows outside the packed codes");
  require(packed.data.size() >= packed.blocks() * packed.block_bytes(), "pq4 candidates: packed data too short");
  const float scale = tables.scale, offset = tables.bias * float(packed.num_subquantizers);
  auto dist = [&](uint32_t sum) { return float(sum) * scale + offset; };
  Block scanner;
  for (size_t row0 = begin; row0 < end; row0 += R) {
    const size_t real = std::min(R, end - row0);
    scanner.load(packed, row0 / kPq4BlockRows);
    U32 level[N][kKeys];
    for (auto& keys : level)
      for (auto& v : keys) v = U32{} + 0xffffffffu;
    for (size_t c = 0; c < k; ++c) {
      const Sums<R> s = scanner.sums(tables.center_entries(c));
      U16Half halves[kKeys];
      std::memcpy(halves, &s, sizeof(halves));
      const U32 index = U32{} + uint32_t(c);
      for (size_t q = 0; q < kKeys; ++q) {
        U32 key = (__builtin_convertvector(halves[q], U32) << 16) | index;
        for (size_t j = 0; j < N; ++j) {
          const U32 low = key < level[j][q] ? key : level[j][q];
          key = key < level[j][q] ? level[j][q] : key;
          level[j][q] = low;
        }
      }
    }
    // Key register q, lane i holds slot q H + i.
    bool collides = false;
    for (size_t slot = 0; slot < R && !collides; ++slot) {
      if (Block::row_of_slot(slot) >= real) continue;
      const uint32_t sum = level[N - 1][slot / H][slot % H] >> 16;
      const float d = dist(sum);
      collides = (sum > 0 && dist(sum - 1) == d) || (sum < 65535 && dist(sum + 1) == d);
    }
    uint32_t* out_c = centers + (row0 - begin) * l;
    float* out_d = distances + (row0 - begin) * l;
    if (collides) {
      top_candidates<Block, N>(packed, tables, l, row0, row0 + real, out_c, out_d);
      continue;
    }
    for (size_t slot = 0; slot < R; ++slot) {
      const size_t r = Block::row_of_slot(slot);
      if (r >= real) continue;
      for (size_t j = 0; j < N; ++j) {
        const uint32_t key = level[j][slot / H][slot % H];
        out_c[r * l + j] = key & 0xffffu;
        out_d[r * l + j] = dist(key >> 16);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Quantized assignment

// Running best of R rows over one group of centers, in slot order: sum << 16 | index within
// the group, so the smallest key is the first strictly smallest sum.
template <size_t R>
struct GlobalBest {
  // Each slot's smallest sum and its center in 16-bit lanes laid over the scanner's slot order:
  // a strict compare keeps the first center of equal sums, as the key sum << 16 | center would.
  using U16 = lanes::ShuffleU16;
  static constexpr size_t kRegs = sizeof(Sums<R>) / sizeof(U16);
  U16 sum[kRegs], center[kRegs];
  void reset() {
    for (size_t r = 0; r < kRegs; ++r) {
      sum[r] = U16{} + uint16_t(65535);
      center[r] = U16{};
    }
  }
  void update(const Sums<R>& s, uint32_t index, float, float) {
    U16 v[kRegs];
    std::memcpy(v, &s, sizeof(v));
    const U16 c = U16{} + uint16_t(index);
    for (size_t r = 0; r < kRegs; ++r) {
      const auto lt = v[r] < sum[r];
      sum[r] = lt ? v[r] : sum[r];
      center[r] = lt ? c : center[r];
    }
  }
  // Slot s's key, sum << 16 | center; a slot no center brought below 65535 keys 65535 << 16.
  void keys(uint32_t* out) const {
    uint16_t sums[R], centers[R];
    std::memcpy(sums, sum, sizeof(sums));
    std::memcpy(centers, center, sizeof(centers));
    for (size_t i = 0; i < R; ++i) out[i] = uint32_t(sums[i]) << 16 | centers[i];
  }
};

template <size_t R>
struct PerCenterBest {
  static constexpr size_t kParts = R / 16;
  F32x16 value[kParts];
  U32x16 index[kParts];
  void reset() {
    for (size_t q = 0; q < kParts; ++q) {
      value[q] = F32x16{} + std::numeric_limits<float>::infinity();
      index[q] = U32x16{};
    }
  }
  // d = S*scale + bias*M in float32, rounded after the product and after the sum.
  void update(const Sums<R>& s, uint32_t idx, float scale, float bias_m) {
    for (size_t q = 0; q < kParts; ++q) {
      const F32x16 d = __builtin_convertvector(s.part[q], F32x16) * scale + bias_m;
      const I32x16 lt = d < value[q];
      value[q] = lt ? d : value[q];
      index[q] = lt ? (U32x16{} + idx) : index[q];
    }
  }
};

template <class Block>
void assign_quantized_chunk(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables,
                            std::span<const float> float_table, size_t k, size_t begin, size_t end, size_t* labels,
                            float* distances) {
  constexpr size_t R = Block::kRows;
  require(tables.k == k && tables.num_subquantizers == packed.num_subquantizers,
          "pq4 assignment: tables built for another table shape");
  require(k == 0 || float_table.size() >= saturating_mul(saturating_mul(packed.num_subquantizers, 16), k),
          "pq4 assignment: table shorter than M*16*k");
  require(begin % kPq4ChunkRows == 0 && end <= packed.rows, "pq4 assignment: rows outside the packed codes");
  Block scanner;
  const float m_float = float(packed.num_subquantizers);
  for (size_t row0 = begin; row0 < end; row0 += R) {
    const size_t real = std::min(R, end - row0);
    scanner.load(packed, row0 / kPq4BlockRows);
    // Per slot, the best over the groups so far. Under global calibration the start is a sum of
    // 65535 with label 0, which a center only replaces with a strictly smaller sum.
    float best_value[R];
    uint32_t best_sum[R];
    size_t best_label[R];
    for (size_t s = 0; s < R; ++s) {
      best_value[s] = std::numeric_limits<float>::infinity();
      best_sum[s] = 65535;
      best_label[s] = 0;
    }
    for (size_t g = 0; g < k; g += kCenterGroup) {
      const size_t g_end = std::min(k, g + kCenterGroup);
      if (tables.per_center) {
        PerCenterBest<R> best;
        best.reset();
        for (size_t c = g; c < g_end; ++c) {
          best.update(scanner.sums(tables.center_entries(c)), uint32_t(c - g), tables.scales[c],
                      tables.biases[c] * m_float);
        }
        for (size_t s = 0; s < R; ++s) {
          const float v = best.value[s / 16][s % 16];
          if (v < best_value[s]) {
            best_value[s] = v;
            best_label[s] = g + best.index[s / 16][s % 16];
          }
        }
      } else {
        GlobalBest<R> best;
        best.reset();
        for (size_t c = g; c < g_end; ++c) best.update(scanner.sums(tables.center_entries(c)), uint32_t(c - g), 0, 0);
        uint32_t keys[R];
        best.keys(keys);
        for (size_t s = 0; s < R; ++s) {
          const uint32_t key = keys[s];
          if ((key >> 16) < best_sum[s]) {
            best_sum[s] = key >> 16;
            best_label[s] = g + (key & 0xffffu);
          }
        }
      }
    }
    size_t row_label[R];
    for (size_t s = 0; s < R; ++s) {
      const size_t r = Block::row_of_slot(s);
      if (r < real) row_label[r] = best_label[s];
    }
    std::copy_n(row_label, real, labels + row0);
    if (k == 0) {
      std::fill_n(distances + row0, real, std::numeric_limits<float>::infinity());
    } else {
      pq4_float_distances(packed, float_table, k, row0, real, row_label, distances + row0);
    }
  }
}

}  // namespace
}  // namespace vantorix
