#include "kernels/pq4.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/env.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "kernels/lanes.hpp"
#include "kernels/simd.hpp"

// The lane types below never cross this file's boundary, so the note that passing them by value
// depends on the enabled ISA does not concern any caller.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vantorix {

namespace {

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

// Writes rows [row0, row0 + real)'s lists from their keys sum << 16 | center (key_of(j, r): row
// r's j-th smallest, the first row at out_c / out_d), unless neighbouring sums dequantize to the
// same distance as some row's l-th sum: then top_candidates, which applies the rule by distance
// itself, does those rows again.
template <class Block, size_t N, class KeyOf>
void write_keyed_lists(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, size_t l, size_t row0,
                       size_t real, KeyOf&& key_of, uint32_t* out_c, float* out_d) {
  const float scale = tables.scale, offset = tables.bias * float(packed.num_subquantizers);
  auto dist = [&](uint32_t sum) { return float(sum) * scale + offset; };
  bool collides = false;
  for (size_t r = 0; r < real && !collides; ++r) {
    const uint32_t sum = key_of(N - 1, r) >> 16;
    const float d = dist(sum);
    collides = (sum > 0 && dist(sum - 1) == d) || (sum < 65535 && dist(sum + 1) == d);
  }
  if (collides) {
    top_candidates<Block, N>(packed, tables, l, row0, row0 + real, out_c, out_d);
    return;
  }
  for (size_t r = 0; r < real; ++r) {
    for (size_t j = 0; j < N; ++j) {
      const uint32_t key = key_of(j, r);
      out_c[r * l + j] = key & 0xffffu;
      out_d[r * l + j] = dist(key >> 16);
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
  size_t slot_of_row[R];
  for (size_t slot = 0; slot < R; ++slot) slot_of_row[Block::row_of_slot(slot)] = slot;
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
    auto key_of = [&](size_t j, size_t r) {
      const size_t slot = slot_of_row[r];
      return level[j][slot / H][slot % H];
    };
    write_keyed_lists<Block, N>(packed, tables, l, row0, real, key_of, centers + (row0 - begin) * l,
                                distances + (row0 - begin) * l);
  }
}

#if defined(__x86_64__) && defined(__AVX512BW__)
// The keyed lists from a byte permute over four subspaces at a time (AVX512-VBMI and VNNI, checked
// at run time): one 64-byte permute looks up four subspaces' 16 entries for 16 rows, and one
// dot product of its bytes with ones adds each row's four into that row's 32-bit lane. That is
// two instructions per 64 lookups where the nibble shuffle needs four (a shuffle per nibble, then
// adds and a shift to widen); the sums come out 32 bits wide, as the keys need them.
#define VANTORIX_HAVE_PQ4_PERMUTE 1
#define VANTORIX_PERMUTE_TARGET __attribute__((target("avx512vbmi,avx512vnni")))
// GCC 12 takes the intrinsics' undefined pass-through operands for uninitialised values.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

bool permute_scan_supported() {
  static const bool ok = __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vnni");
  return ok;
}

constexpr size_t kPermuteRows = 64;
constexpr size_t kMaxGroups = (kPq4MaxSubquantizers + 3) / 4;
constexpr size_t kSweepCenters = 2;  // 3 measured no faster; 4 runs out of registers
// Lists up to this long keep their keys in registers (up to 4) or on the stack; both beat the
// nibble shuffle (one scan to 4, two beyond; L = 8: SIFT-like fits 22% faster, MiniLM 6-10%).
constexpr size_t kPermuteLists = 8;

// Permute indices of 64 rows: group g (subspaces 4g .. 4g + 3), register h, 32-bit lane 4j + i
// holds the row 16j + 4h + i's four bytes 16t + code of subspace 4g + t. Subspaces past M read
// code 0 at an offset whose table bytes the scan zeroes.
// The nibbles come from the shuffle scanner's load of the same 64 rows.
VANTORIX_PERMUTE_TARGET void permute_indices(const PackedPq4Codes& packed, size_t block, __m512i* out) {
  static_assert(VectorBlock::kRows == kPermuteRows);
  const size_t pairs = size_t(packed.pairs), groups = (size_t(packed.num_subquantizers) + 3) / 4;
  VectorBlock nibbles;
  nibbles.load(packed, block);
  // Past the last pair, code 0 at the subspace's offset: bytes the scan's masked load zeroes.
  auto nibble = [&](const VectorBlock::U8* half, size_t pair, char offset) {
    const __m512i at = _mm512_set1_epi8(offset);
    return pair < pairs ? _mm512_or_si512(__m512i(half[pair]), at) : at;
  };
  for (size_t g = 0; g < groups; ++g) {
    const __m512i a = nibble(nibbles.lo, 2 * g, 0), b = nibble(nibbles.hi, 2 * g, 16);
    const __m512i c = nibble(nibbles.lo, 2 * g + 1, 32), d = nibble(nibbles.hi, 2 * g + 1, 48);
    const __m512i ab_lo = _mm512_unpacklo_epi8(a, b), ab_hi = _mm512_unpackhi_epi8(a, b);
    const __m512i cd_lo = _mm512_unpacklo_epi8(c, d), cd_hi = _mm512_unpackhi_epi8(c, d);
    out[4 * g + 0] = _mm512_unpacklo_epi16(ab_lo, cd_lo);
    out[4 * g + 1] = _mm512_unpackhi_epi16(ab_lo, cd_lo);
    out[4 * g + 2] = _mm512_unpacklo_epi16(ab_hi, cd_hi);
    out[4 * g + 3] = _mm512_unpackhi_epi16(ab_hi, cd_hi);
  }
}

// vpdpbusd with its accumulator tied in place: through the intrinsic, GCC 12 copies every
// accumulator to another register and back on each use.
VANTORIX_PERMUTE_TARGET inline void add_bytes(__m512i& acc, __m512i bytes, __m512i ones) {
  asm("vpdpbusd %[ones], %[bytes], %[acc]" : [acc] "+v"(acc) : [bytes] "v"(bytes), [ones] "v"(ones));
}

template <size_t C>
VANTORIX_PERMUTE_TARGET inline void permute_group(const __m512i* index, const __m512i* table, __m512i ones,
                                                  __m512i (*sums)[4]) {
  for (size_t h = 0; h < 4; ++h) {
    const __m512i idx = _mm512_load_si512(&index[h]);
    for (size_t i = 0; i < C; ++i) add_bytes(sums[i][h], _mm512_permutexvar_epi8(idx, table[i]), ones);
  }
}

// The sums of C consecutive centers (tables `stride` bytes apart from t) for the 64 rows whose
// indices permute_indices wrote: several centers per sweep share the index loads and keep more
// sums going. The next sweep's tables are asked for a group ahead (they come from L2 once the
// k tables outgrow L1).
template <size_t C>
VANTORIX_PERMUTE_TARGET inline void permute_sums(const __m512i* index, const uint8_t* t, size_t stride, size_t groups,
                                                 size_t full, __mmask64 last_mask, __m512i (*sums)[4]) {
  const __m512i ones = _mm512_set1_epi8(1);
  for (size_t i = 0; i < C; ++i)
    for (size_t h = 0; h < 4; ++h) sums[i][h] = _mm512_setzero_si512();
  const uint8_t* next = t + C * stride;
  for (size_t g = 0; g < full; ++g) {
    __m512i table[C];
    for (size_t i = 0; i < C; ++i) {
      table[i] = _mm512_loadu_si512(t + i * stride + 64 * g);
      _mm_prefetch(reinterpret_cast<const char*>(next + i * stride + 64 * g), _MM_HINT_T0);
    }
    permute_group<C>(index + 4 * g, table, ones, sums);
  }
  if (full < groups) {
    __m512i table[C];
    for (size_t i = 0; i < C; ++i) table[i] = _mm512_maskz_loadu_epi8(last_mask, t + i * stride + 64 * full);
    permute_group<C>(index + 4 * full, table, ones, sums);
  }
}

template <size_t N>
VANTORIX_PERMUTE_TARGET void top_candidates_keyed_permute(const PackedPq4Codes& packed,
                                                          const QuantizedPq4LookupTables& tables, size_t l,
                                                          size_t begin, size_t end, uint32_t* centers,
                                                          float* distances) {
  const size_t k = size_t(tables.k), m = size_t(packed.num_subquantizers);
  require(N == l && !tables.per_center && l < k && k <= 65536, "pq4 candidates: keyed lists for another shape");
  require(tables.num_subquantizers == packed.num_subquantizers, "pq4 candidates: tables built for another M");
  require(m <= kPq4MaxSubquantizers, "pq4 candidates: M above 257");
  require(begin % kPq4BlockRows == 0 && begin <= end && end <= packed.rows,
          "pq4 candidates: rows outside the packed codes");
  require(packed.data.size() >= packed.blocks() * packed.block_bytes(), "pq4 candidates: packed data too short");
  const size_t groups = (m + 3) / 4, full = m / 4, stride = m * 16;
  const __mmask64 last_mask = full == groups ? ~__mmask64{0} : (__mmask64{1} << (16 * (m - 4 * full))) - 1;
  alignas(64) __m512i index[4 * kMaxGroups];
  for (size_t row0 = begin; row0 < end; row0 += kPermuteRows) {
    const size_t real = std::min(kPermuteRows, end - row0);
    permute_indices(packed, row0 / kPq4BlockRows, index);
    __m512i level[N][4];
    for (auto& keys : level)
      for (auto& v : keys) v = _mm512_set1_epi32(-1);
    auto insert = [&](const __m512i* sums, uint32_t c) {
      const __m512i center = _mm512_set1_epi32(int32_t(c));
      for (size_t h = 0; h < 4; ++h) {
        __m512i key = _mm512_or_si512(_mm512_slli_epi32(sums[h], 16), center);
        for (size_t j = 0; j < N; ++j) {
          const __m512i low = _mm512_min_epu32(key, level[j][h]);
          key = _mm512_max_epu32(key, level[j][h]);
          level[j][h] = low;
        }
      }
    };
    size_t c = 0;
    for (; c + kSweepCenters <= k; c += kSweepCenters) {
      __m512i sums[kSweepCenters][4];
      permute_sums<kSweepCenters>(index, tables.center_entries(c), stride, groups, full, last_mask, sums);
      for (size_t i = 0; i < kSweepCenters; ++i) insert(sums[i], uint32_t(c + i));
    }
    for (; c < k; ++c) {
      __m512i sums[1][4];
      permute_sums<1>(index, tables.center_entries(c), stride, groups, full, last_mask, sums);
      insert(sums[0], uint32_t(c));
    }
    alignas(64) uint32_t keys[N][4][16];
    for (size_t j = 0; j < N; ++j)
      for (size_t h = 0; h < 4; ++h) _mm512_store_si512(keys[j][h], level[j][h]);
    // Row 16j + 4h + i sits in register h, lane 4j + i.
    auto key_of = [&](size_t j, size_t r) { return keys[j][(r % 16) / 4][4 * (r / 16) + r % 4]; };
    write_keyed_lists<VectorBlock, N>(packed, tables, l, row0, real, key_of, centers + (row0 - begin) * l,
                                      distances + (row0 - begin) * l);
  }
}
#pragma GCC diagnostic pop
#endif

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

bool pq4_permute_scan_available() {
#if defined(VANTORIX_HAVE_PQ4_PERMUTE)
  return permute_scan_supported();
#else
  return false;
#endif
}

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
#if defined(VANTORIX_HAVE_PQ4_PERMUTE)
  if (tables.k <= 65536 && l <= kPermuteLists && permute_scan_supported() &&
      env_word(EnvSwitch::Pq4Permute) != Word::Off) {
    switch (l) {
#define VANTORIX_KEYED_PERMUTE(n) \
  case n:                         \
    return top_candidates_keyed_permute<n>(packed, tables, l, begin, end, centers, distances);
      VANTORIX_KEYED_PERMUTE(1)
      VANTORIX_KEYED_PERMUTE(2)
      VANTORIX_KEYED_PERMUTE(3)
      VANTORIX_KEYED_PERMUTE(4)
      VANTORIX_KEYED_PERMUTE(5)
      VANTORIX_KEYED_PERMUTE(6)
      VANTORIX_KEYED_PERMUTE(7)
      VANTORIX_KEYED_PERMUTE(8)
#undef VANTORIX_KEYED_PERMUTE
    }
  }
#endif
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
