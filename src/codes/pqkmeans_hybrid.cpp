// The hybrid fit: rows are both codes and raw vectors. The codes give every row an approximate
// (asymmetric) distance to every center; only the refine_exact_top_l best centers are then
// compared exactly on the raw vectors. With refine_exact_top_l >= k the codes are not needed and
// every row is assigned exactly through one of the exact layouts.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>

#include "codes/pq4_assign.hpp"
#include "codes/pqkmeans.hpp"
#include "core/parallel.hpp"
#include "dense/dense_assign.hpp"
#include "kernels/tiled_rows.hpp"
#include "kernels/lanes.hpp"
#include "kernels/pdx.hpp"
#include "kernels/simd.hpp"
#include "pq/rotation.hpp"

namespace vantorix {

namespace {

using namespace lanes;

constexpr float kInf = std::numeric_limits<float>::infinity();
// Up to this many candidates the list keeps its worst entry by a linear scan; beyond it one
// selection over all k approximate distances is cheaper than re-scanning a long list.
constexpr size_t kLinearCandidates = 16;

struct Candidate {
  size_t center;
  float distance;
};

// a ranks before b: the smaller approximate distance (NaN after every number), then the lower
// center index.
inline bool ranks_before(const Candidate& a, const Candidate& b) {
  const bool na = std::isnan(a.distance), nb = std::isnan(b.distance);
  if (na != nb) return nb;
  if (!na && a.distance != b.distance) return a.distance < b.distance;
  return a.center < b.center;
}

size_t worst_of(std::span<const Candidate> list) {
  size_t worst = 0;
  for (size_t i = 1; i < list.size(); ++i)
    if (ranks_before(list[worst], list[i])) worst = i;
  return worst;
}

// The l (< k) centers with the smallest approximate distances, earlier centers winning ties: the
// generic form, keeping a list and replacing its worst entry.
void select_candidates_scan(const float* approx, size_t k, size_t l, std::vector<Candidate>& out) {
  out.clear();
  for (size_t c = 0; c < k; ++c) {
    const Candidate next{c, approx[c]};
    if (out.size() < l) {
      out.push_back(next);
      continue;
    }
    const size_t worst = worst_of(out);
    if (ranks_before(next, out[worst])) out[worst] = next;
  }
}

// The same selection in two vector passes for l <= 16. Each of 16 lanes keeps the minimum of its
// centers (c = lane mod 16); the l-th smallest of those 16 minima is a value that at least l
// centers reach, so every center of the result is at or below it. The second pass collects those
// centers, usually few more than l, and the result is the l best of them.
void select_candidates(const float* approx, size_t k, size_t l, std::vector<Candidate>& out) {
  if (l > kLinearCandidates || k < 16) {
    if (l > kLinearCandidates) {
      out.clear();
      for (size_t c = 0; c < k; ++c) out.push_back({c, approx[c]});
      std::nth_element(out.begin(), out.begin() + ptrdiff_t(l), out.end(), ranks_before);
      out.resize(l);
    } else {
      select_candidates_scan(approx, k, l, out);
    }
    return;
  }
  const size_t blocked = k / 16 * 16;
  // Registers of the target's own width: a 16-lane select would go through the stack below AVX-512.
  Wide16 mins = splat_wide(kInf);
  for (size_t c = 0; c < blocked; c += 16) keep_better<false>(load_wide(approx + c), mins);  // NaN never enters
  // The l-th smallest lane minimum: l rounds of picking the smallest remaining (lanes hold no NaN).
  alignas(64) float lane_min[16];
  store_wide(lane_min, mins);
  for (size_t r = 0; r < l; ++r) {
    size_t at = r;
    for (size_t i = r + 1; i < 16; ++i) at = lane_min[i] < lane_min[at] ? i : at;
    std::swap(lane_min[r], lane_min[at]);
  }
  const float bar = lane_min[l - 1];
  out.clear();
  for (size_t c = 0; c < blocked; c += 16) {
    uint32_t bits = 0;
    for (size_t p = 0; p < kParts; ++p) bits |= maskw<Cmp::AtMost>(loadw(approx + c + p * kWide), bar) << (p * kWide);
    while (bits) {
      const size_t j = c + size_t(__builtin_ctz(bits));
      bits &= bits - 1;
      out.push_back({j, approx[j]});
    }
  }
  for (size_t c = blocked; c < k; ++c) out.push_back({c, approx[c]});
  // Fewer than l numbers at or below the bar (NaN or +inf lanes): take the generic way.
  size_t numbers = 0;
  for (const Candidate& c : out) numbers += c.distance <= bar;
  if (numbers < l) {
    select_candidates_scan(approx, k, l, out);
    return;
  }
  if (out.size() > l) {
    std::nth_element(out.begin(), out.begin() + ptrdiff_t(l), out.end(), ranks_before);
    out.resize(l);
  }
}

// Exact squared distances of the given (row, center) pairs of length d, with the kernel chosen
// for d. The slice kernels (Lanes4, Scalar) run eight or four pairs at a time, bit for bit as one
// by one (eight are fastest where a row's candidates sit side by side, as here).
void exact_pair_distances(const float* const* rows, const float* const* centers, size_t count, size_t d,
                          DistanceKernel kernel, float* out) {
  size_t i = 0;
  if (kernel.kind == DistanceKernel::Lanes4 || kernel.kind == DistanceKernel::Scalar) {
    // Ask for the rows of the pairs kPrefetchPairs ahead, into L2, while these are measured: in
    // candidate order the hardware prefetcher cannot follow them, and even in memory order each
    // row's lines came late (MiniLM 30k, k = 256: fits 8-12% faster; into L1 was slower).
    constexpr size_t kPrefetchPairs = 32;
    constexpr size_t kLineFloats = 64 / sizeof(float);
    for (; i + 8 <= count; i += 8) {
      for (size_t j = i + kPrefetchPairs; j < std::min(count, i + kPrefetchPairs + 8); ++j) {
        if (rows[j] == rows[j - 1]) continue;
        for (size_t f = 0; f < d; f += kLineFloats) __builtin_prefetch(rows[j] + f, 0, 2);
      }
      kernels().l2_squared_pairs8(rows + i, centers + i, d, out + i);
    }
    for (; i + 4 <= count; i += 4) kernels().l2_squared_pairs4(rows + i, centers + i, d, out + i);
  }
  for (; i < count; ++i) out[i] = kernel.distance({rows[i], d}, {centers[i], d});
}

// Centers per block of the table sums: four 16-lane registers per row, and the block's share of
// the table (M x Ks x 64 floats, 1 MiB for M = 16, Ks = 256) stays in L2 while a chunk's rows
// stream through it.
constexpr size_t kTableBlockCenters = 64;

// The code rows a table_block reads: given one by one, or evenly spaced (the compiler then keeps
// one base pointer instead of a pointer per row).
struct RowPointers {
  const uint8_t* const* rows;
  uint8_t at(size_t r, size_t m) const { return rows[r][m]; }
  RowPointers skip(size_t r) const { return {rows + r}; }
};
struct StridedRows {
  const uint8_t* base;
  size_t stride;
  uint8_t at(size_t r, size_t m) const { return base[r * stride + m]; }
  StridedRows skip(size_t r) const { return {base + r * stride, stride}; }
};

// Sums of table entries over the subspaces, in subspace order, for R rows and V x 16 centers
// from c0 on, stored at out[r] + at. Every lane is its own chain of additions, so how the rows
// and centers are split into passes does not change a value: a pass takes what the target's
// registers hold.
template <size_t R, size_t V, class Codes>
inline void table_block(const Codes& code, size_t m_count, const float* table, size_t ks, size_t k, size_t c0,
                        float* const* out, size_t at) {
  constexpr size_t kAcc = V * kParts;  // registers per row
  if constexpr (R > 1 && R * kAcc + 1 > kVectorRegisters) {
    table_block<R / 2, V>(code, m_count, table, ks, k, c0, out, at);
    table_block<R - R / 2, V>(code.skip(R / 2), m_count, table, ks, k, c0, out + R / 2, at);
  } else if constexpr (R == 1 && V > 1 && kAcc + 1 > kVectorRegisters) {
    table_block<1, V / 2>(code, m_count, table, ks, k, c0, out, at);
    table_block<1, V - V / 2>(code, m_count, table, ks, k, c0 + 16 * (V / 2), out, at + 16 * (V / 2));
  } else {
    VF acc[R][kAcc];
    for (size_t r = 0; r < R; ++r) {
      const float* row = table + size_t(code.at(r, 0)) * k + c0;
      for (size_t v = 0; v < kAcc; ++v) acc[r][v] = loadw(row + kWide * v);
    }
    for (size_t m = 1; m < m_count; ++m) {
      for (size_t r = 0; r < R; ++r) {
        const float* row = table + (m * ks + code.at(r, m)) * k + c0;
        for (size_t v = 0; v < kAcc; ++v) acc[r][v] = acc[r][v] + loadw(row + kWide * v);
      }
    }
    for (size_t r = 0; r < R; ++r)
      for (size_t v = 0; v < kAcc; ++v) storew(out[r] + at + kWide * v, acc[r][v]);
  }
}

// The sums of table_block for one row and centers [c, end) past the last whole block, into out[0..).
inline void table_tail(const uint8_t* code, size_t m_count, const float* table, size_t ks, size_t k, size_t c,
                       size_t end, float* out) {
  float* dst = out;
  size_t at = 0;
  for (; c + 16 <= end; c += 16, at += 16) table_block<1, 1>(RowPointers{&code}, m_count, table, ks, k, c, &dst, at);
  for (; c < end; ++c, ++at) {
    float sum = table[size_t(code[0]) * k + c];
    for (size_t m = 1; m < m_count; ++m) sum = sum + table[(m * ks + code[m]) * k + c];
    out[at] = sum;
  }
}

// Approximate distances of `count` code rows to all k centers: out[i * k + c].
void table_distances(const uint8_t* codes, size_t count, size_t m_count, const float* table, size_t ks, size_t k,
                     float* out) {
  constexpr size_t kRows = 4;
  const size_t blocked = k / kTableBlockCenters * kTableBlockCenters;
  for (size_t c0 = 0; c0 < blocked; c0 += kTableBlockCenters) {
    size_t i = 0;
    for (; i + kRows <= count; i += kRows) {
      const uint8_t* code[kRows];
      float* dst[kRows];
      for (size_t r = 0; r < kRows; ++r) code[r] = codes + (i + r) * m_count, dst[r] = out + (i + r) * k;
      table_block<kRows, kTableBlockCenters / 16>(RowPointers{code}, m_count, table, ks, k, c0, dst, c0);
    }
    for (; i < count; ++i) {
      const uint8_t* code = codes + i * m_count;
      float* dst = out + i * k;
      table_block<1, kTableBlockCenters / 16>(RowPointers{&code}, m_count, table, ks, k, c0, &dst, c0);
    }
  }
  for (size_t i = 0; i < count; ++i) table_tail(codes + i * m_count, m_count, table, ks, k, blocked, k, out + i * k + blocked);
}

// Rows per chunk of table_candidates: each chunk reads the whole table once, so as many as keep
// four chunks per thread, up to 4096 (their lists stay in L2 beside the table's slice).
size_t table_chunk_rows(size_t n) {
  const size_t per = (n + 4 * num_threads() - 1) / (4 * num_threads());
  return std::clamp((per + kAssignChunkRows - 1) / kAssignChunkRows * kAssignChunkRows, kAssignChunkRows, size_t{4096});
}

// The l <= kLinearCandidates best centers of `count` code rows by their table sums, as
// select_candidates finds them from all k sums, without keeping the k sums: each block of
// centers is summed for several rows at a time and merged into the rows' lists at once, so the
// block's slice of the table serves every row of the chunk while it is in cache. The merge is
// select_candidates_scan's replace-the-worst rule; a center that does not beat the worst kept
// distance (numbers beat NaN, and a later center never wins a tie) is skipped with one compare.
//
// Blocks are V x 16 centers, V as large as keeps the block's slice of the table (M x Ks rows of
// V x 16 floats, read at random by the rows' codes) within half of a 1 MiB L2, and rows go 16 / V
// at a time, so that sixteen accumulators and as many independent loads are in flight. The
// slices are copied out of the table first (regroup_table): in place, one slice's rows lie a
// whole table row of k floats apart, a page each at k = 1024, and the random reads missed the
// TLB more often than the cache.
constexpr size_t kTableSliceBytes = size_t{1} << 19;
constexpr size_t kMergeTableBytesPerRow = size_t{1} << 14;

size_t table_block_width(size_t m_count, size_t ks) {
  const size_t per16 = m_count * ks * 16 * sizeof(float);
  return per16 * 4 <= kTableSliceBytes ? 4 : per16 * 2 <= kTableSliceBytes ? 2 : 1;
}

// The table's whole blocks of 16 V centers, each slice contiguous: [block][m][t][16 V].
void regroup_table(const float* table, size_t rows, size_t k, size_t width, std::vector<float>& out) {
  const size_t blocks = k / width;
  out.resize(blocks * rows * width);
  parallel_chunks(blocks, 1, [&](size_t b0, size_t b1) {
    for (size_t b = b0; b < b1; ++b)
      for (size_t r = 0; r < rows; ++r) std::copy_n(table + r * k + b * width, width, out.data() + (b * rows + r) * width);
  });
}

template <size_t V>
void table_candidates_of(const uint8_t* codes, size_t count, size_t m_count, const float* table, const float* blocked,
                         size_t ks, size_t k, size_t l, uint32_t* out) {
  constexpr size_t kBlock = 16 * V, kRows = 16 / V;
  std::vector<Candidate> lists(count * l);
  std::vector<size_t> sizes(count, 0), worst(count, 0);
  auto merge = [&](size_t i, const float* sums, size_t c0, size_t width) {
    Candidate* list = lists.data() + i * l;
    size_t& size = sizes[i];
    size_t& w = worst[i];
    auto consider = [&](size_t j) {
      const float v = sums[j], bar = list[w].distance;
      if (!(std::isnan(bar) ? !std::isnan(v) : v < bar)) return;
      list[w] = {c0 + j, v};
      w = worst_of({list, l});
    };
    size_t j = 0;
    for (; j < width && size < l; ++j) {
      list[size++] = {c0 + j, sums[j]};
      if (size == l) w = worst_of({list, l});
    }
    for (; j < width && j % kWide != 0; ++j) consider(j);
    // A register at or above a numeric bar is skipped with one compare, the usual case late in
    // a row; otherwise only its lanes below the bar are taken in order.
    for (; j + kWide <= width; j += kWide) {
      const float bar = list[w].distance;
      if (std::isnan(bar)) {
        for (size_t e = 0; e < kWide; ++e) consider(j + e);
        continue;
      }
      for (uint32_t bits = maskw<Cmp::Below>(loadw(sums + j), bar); bits != 0; bits &= bits - 1)
        consider(j + size_t(__builtin_ctz(bits)));
    }
    for (; j < width; ++j) consider(j);
  };
  alignas(64) float sums[kRows][kBlock];
  const size_t blocked_k = k / kBlock * kBlock, slice = m_count * ks * kBlock;
  for (size_t c0 = 0; c0 < blocked_k; c0 += kBlock) {
    const float* part = blocked + (c0 / kBlock) * slice;
    for (size_t i = 0; i < count; i += kRows) {
      const size_t rows = std::min(kRows, count - i);
      float* dst[kRows];
      for (size_t r = 0; r < kRows; ++r) dst[r] = sums[r];
      const StridedRows code{codes + i * m_count, m_count};
      if (rows == kRows) {
        table_block<kRows, V>(code, m_count, part, ks, kBlock, 0, dst, 0);
      } else {
        for (size_t r = 0; r < rows; ++r) table_block<1, V>(code.skip(r), m_count, part, ks, kBlock, 0, &dst[r], 0);
      }
      for (size_t r = 0; r < rows; ++r) merge(i + r, sums[r], c0, kBlock);
    }
  }
  if (blocked_k < k) {
    std::vector<float> tail(k - blocked_k);
    for (size_t i = 0; i < count; ++i) {
      table_tail(codes + i * m_count, m_count, table, ks, k, blocked_k, k, tail.data());
      merge(i, tail.data(), blocked_k, k - blocked_k);
    }
  }
  for (size_t i = 0; i < count; ++i)
    for (size_t e = 0; e < l; ++e) out[i * l + e] = uint32_t(lists[i * l + e].center);
}

void table_candidates(const uint8_t* codes, size_t count, size_t m_count, const float* table, const float* blocked,
                      size_t ks, size_t k, size_t l, uint32_t* out) {
  switch (table_block_width(m_count, ks)) {
    case 4:
      table_candidates_of<4>(codes, count, m_count, table, blocked, ks, k, l, out);
      break;
    case 2:
      table_candidates_of<2>(codes, count, m_count, table, blocked, ks, k, l, out);
      break;
    default:
      table_candidates_of<1>(codes, count, m_count, table, blocked, ks, k, l, out);
  }
}

// Candidates whose lists are kept at once (1 MiB of indices): 65536 rows of four, enough rows
// per center for the reordering below to find them together.
constexpr size_t kRefineRoundPairs = size_t{1} << 18;

// Centers of more bytes than this are refined over the rows in order of their first candidate;
// smaller ones stay in cache whatever the order, and the rows are then read in memory order
// (SIFT-like, MiniLM and Fashion-MNIST at k = 256: fits 2-8% faster than in candidate order).
constexpr size_t kReorderCenterBytes = size_t{1} << 20;

// Every row's l candidates (lists(begin, end, out) per chunk of `chunk` rows, row i's at
// out[(i - begin) * l]), their exact distances to the raw-space centers, and per row the winner:
// the smaller exact distance, equal distances to the lower index. Where the centers outgrow
// kReorderCenterBytes, the exact distances run over the rows in order of their first candidate:
// neighbouring rows then share most of their candidates, whose rows of d floats stay in cache
// instead of coming from memory for every pair. Each row's distances are computed as in any
// order, so labels and distances do not depend on it.
template <class Lists>
void refine_candidate_lists(MatrixView<const float> vectors, MatrixView<const float> centers, size_t l,
                            size_t chunk, size_t* labels, float* distances, Lists&& lists) {
  const size_t n = vectors.rows, d = vectors.cols, k = centers.rows;
  if (n == 0 || l == 0) return;
  const DistanceKernel kernel = DistanceKernel::for_dimension(d);
  const size_t round = std::max(chunk, kRefineRoundPairs / l / chunk * chunk);
  std::vector<uint32_t> candidates, order, starts;
  for (size_t r0 = 0; r0 < n; r0 += round) {
    const size_t rows = std::min(round, n - r0);
    candidates.resize(rows * l);
    parallel_chunks(rows, chunk, [&](size_t begin, size_t end) {
      lists(r0 + begin, r0 + end, candidates.data() + begin * l);
    });
    order.resize(rows);
    if (k * d * sizeof(float) > kReorderCenterBytes) {
      // Rows by first candidate, a counting sort that keeps row order within a center.
      starts.assign(k + 1, 0);
      for (size_t i = 0; i < rows; ++i) ++starts[candidates[i * l] + 1];
      for (size_t c = 0; c < k; ++c) starts[c + 1] += starts[c];
      for (size_t i = 0; i < rows; ++i) order[starts[candidates[i * l]]++] = uint32_t(i);
    } else {
      for (size_t i = 0; i < rows; ++i) order[i] = uint32_t(i);
    }
    parallel_chunks(rows, kAssignChunkRows, [&](size_t begin, size_t end) {
      const size_t pairs = (end - begin) * l;
      std::vector<const float*> row_ptr(pairs), center_ptr(pairs);
      for (size_t r = begin, p = 0; r < end; ++r) {
        const size_t i = order[r];
        const float* row = vectors.data + (r0 + i) * d;
        for (size_t j = 0; j < l; ++j, ++p) {
          row_ptr[p] = row;
          center_ptr[p] = centers.data + size_t(candidates[i * l + j]) * d;
        }
      }
      std::vector<float> exact(pairs);
      exact_pair_distances(row_ptr.data(), center_ptr.data(), pairs, d, kernel, exact.data());
      for (size_t r = begin, p = 0; r < end; ++r) {
        const size_t i = order[r];
        size_t label = 0;
        float best = kInf;
        for (size_t j = 0; j < l; ++j, ++p) {
          const float v = exact[p];
          const size_t c = candidates[i * l + j];
          if (v < best || (v == best && c < label)) {
            best = v;
            label = c;
          }
        }
        labels[r0 + i] = label;
        distances[r0 + i] = best;
      }
    });
  }
}

// refine_candidate_lists with each chunk's lists selected from the approximate distances of all its
// rows (fill(begin, end, approx), row i at approx[(i - begin) * k]). Rows per chunk: as many as 1 MiB of approximate distances holds (at least kAssignChunkRows), so
// the table slice of a block of centers, brought into cache once per chunk, serves many rows.
constexpr size_t kApproxChunkFloats = size_t{1} << 18;

template <class Fill>
void refine_candidates(MatrixView<const float> vectors, MatrixView<const float> centers, size_t k, size_t l,
                       size_t* labels, float* distances, Fill&& fill) {
  if (k > 0xffffffffu) fatal("refine_candidates: center indices past 32 bits");
  const size_t chunk = std::max(kAssignChunkRows, kApproxChunkFloats / std::max<size_t>(k, 1));
  refine_candidate_lists(vectors, centers, l, chunk, labels, distances, [&](size_t begin, size_t end, uint32_t* out) {
    const size_t rows = end - begin;
    std::vector<float> approx(rows * k);
    fill(begin, end, approx.data());
    std::vector<Candidate> candidates;
    for (size_t r = 0; r < rows; ++r) {
      select_candidates(approx.data() + r * k, k, l, candidates);
      for (size_t i = 0; i < l; ++i) out[r * l + i] = uint32_t(candidates[i].center);
    }
  });
}

}  // namespace

void PqKMeans::validate_hybrid(MatrixView<const uint8_t> codes, MatrixView<const float> vectors,
                               uint64_t refine_exact_top_l, bool fit) const {
  if (codes.cols != m_) throw VantorixError::message("code dimensionality does not match codewords");
  if (vectors.rows != codes.rows) throw VantorixError::message("vector row count must match code row count");
  if (vectors.cols != dim()) throw VantorixError::message("vector dimensionality does not match codewords");
  if (refine_exact_top_l == 0) throw VantorixError::message("refine_exact_top_l must be greater than zero");
  if (fit && codes.rows < options_.k) throw VantorixError::message("number of rows must be at least k");
  if (!fit && !dense_cluster_centers_) throw VantorixError::message("dense cluster centers are not initialized");
  if (!codes.is_c_contiguous()) throw VantorixError::message("code matrix must be C-contiguous");
  if (!vectors.is_c_contiguous()) throw VantorixError::message("input vectors must be C-contiguous");
  check_code_range(codes, "codes");
}

Matrix<float> PqKMeans::take_raw_center_rows(MatrixView<const float> vectors, std::span<const size_t> rows) const {
  Matrix<float> out(rows.size(), vectors.cols);
  for (size_t j = 0; j < rows.size(); ++j) {
    for (size_t c = 0; c < vectors.cols; ++c) out.at(j, c) = vectors.at(rows[j], c);
  }
  return out;
}

void PqKMeans::update_dense_centers_from_vectors(MatrixView<const float> vectors, AssignmentBuffers& buffers,
                                                 Matrix<float>& centers) const {
  if (!vectors.is_c_contiguous()) throw VantorixError::message("input vectors must be C-contiguous");
  const size_t d = vectors.cols;
  update_mean_centers(
      options_.k, buffers, centers,
      [&](std::span<const size_t> members, std::span<float> acc) {
        // Members are scattered rows: ask for the rows a few members ahead while adding this one.
        constexpr size_t kAhead = 8;
        const size_t line_floats = 64 / sizeof(float);
        for (size_t t = 0; t < members.size(); ++t) {
          if (t + kAhead < members.size()) {
            const float* next = vectors.data + members[t + kAhead] * d;
            for (size_t f = 0; f < d; f += line_floats) __builtin_prefetch(next + f);
          }
          add_assign(acc, {vectors.data + members[t] * d, d});
        }
      },
      [&](size_t row, std::span<float> out) { std::copy_n(vectors.data + row * d, d, out.data()); });
}

void PqKMeans::assign_hybrid_into(MatrixView<const uint8_t> codes, MatrixView<const float> vectors,
                                  MatrixView<const float> dense_centers, uint64_t refine_exact_top_l,
                                  const PackedPq4Codes* packed, const PdxMatrix* pdx,
                                  AssignmentBuffers& buffers) const {
  if (!codes.is_c_contiguous()) throw VantorixError::message("code matrix must be C-contiguous");
  if (!vectors.is_c_contiguous()) throw VantorixError::message("input vectors must be C-contiguous");
  if (!dense_centers.is_c_contiguous()) throw VantorixError::message("dense centers must be C-contiguous");
  const size_t n = codes.rows, k = options_.k, d = dim();
  // Checked for every path: the exact kernels read k x D center values.
  if (dense_centers.rows != k || dense_centers.cols != d) {
    throw VantorixError::message("dense cluster center shape does not match the model");
  }
  if (vectors.rows != n || vectors.cols != d) fatal("assign_hybrid_into: vectors do not match the codes");
  buffers.resize(n);
  const std::span<size_t> labels(buffers.labels.data(), n);
  const std::span<float> distances(buffers.distances.data(), n);

  if (refine_exact_top_l >= k) {
    // Every center would be refined anyway: exact assignment, codes unused.
    const std::span<const float> flat_vectors(vectors.data, n * d), flat_centers(dense_centers.data, k * d);
    if (pdx) {
      if (pdx->rows() != n || pdx->dim() != d) {
        throw VantorixError::message("PDX exact assignment matrix does not match input vectors");
      }
      if (pdx_pruning_enabled()) {
        pdx->assign_l2_pruned_into(flat_centers, k, labels, distances);
      } else {
        pdx->assign_l2_into(flat_centers, k, labels, distances);
      }
    } else if (flash_exact_enabled()) {
      assign_l2_flash_into(flat_vectors, flat_centers, n, d, k, labels, distances);
    } else {
      // nearest_l2_center for every row (its wide packed form when the vector kernels are on).
      assign_dense_direct_into(vectors, Matrix<float>::copy_of(dense_centers), false, labels, distances,
                               buffers.screen_rows ? &*buffers.screen_rows : nullptr);
    }
    return;
  }

  const size_t l = size_t(refine_exact_top_l);
  // The centers in the codes' space: rotated into the workspace, or as they are.
  MatrixView<const float> space = dense_centers;
  if (rotation_) {
    Matrix<float>& workspace = buffers.workspace;
    if (workspace.rows != k || workspace.cols != d) workspace = Matrix<float>(k, d);
    apply_rotation_into(dense_centers, rotation_->view(), workspace);
    space = workspace.view();
  }
  const size_t m_count = m_, ks = ks_, ds = ds_;
  const float* words = codewords_.data();

  if (build_dense_lookup_tables_into(space, buffers.lookup)) {
    const float* table = buffers.lookup.data();
    QuantizedPq4LookupTables& quantized = buffers.pq4_tables;
    if (packed && pq4_fastscan_enabled() &&
        quantized.update_from_f32({table, m_count * ks * k}, m_count, k)) {
      // 8-bit tables over the packed codes: each block of rows is loaded once and scanned
      // against every center, its rows' lists kept as the scan goes. A quantized sum S stands for
      // S * scale + bias * M (per center under per-center calibration).
      const auto top = kernels().pq4_top_candidates;
      refine_candidate_lists(vectors, dense_centers, l, kAssignChunkRows, labels.data(), distances.data(),
                             [&](size_t begin, size_t end, uint32_t* out) {
                               std::vector<float> approx((end - begin) * l);
                               top(*packed, quantized, l, begin, end, out, approx.data());
                             });
      return;
    }
    // Byte codes, or packed codes through the float table: the nibbles of a pair are its two
    // subspaces in order, so the sums are the same as over the byte codes, read from there.
    // Keeping every row's k sums reads the whole table once per chunk of kApproxChunkFloats / k
    // rows; beyond kMergeTableBytesPerRow of table per row that traffic outweighs merging the
    // blocks into short lists (whose insertions grow with l). The regrouped copy is a second
    // table: it must fit the lookup budget beside the first.
    const size_t table_bytes = m_count * ks * k * sizeof(float);
    const size_t per_row = table_bytes / std::max(kAssignChunkRows, kApproxChunkFloats / std::max<size_t>(k, 1));
    if (l <= kLinearCandidates && k <= 0xffffffffu && per_row > kMergeTableBytesPerRow &&
        table_bytes <= options_.lookup_table_bytes / 2) {
      regroup_table(table, m_count * ks, k, 16 * table_block_width(m_count, ks), buffers.blocked_lookup);
      const float* blocked = buffers.blocked_lookup.data();
      refine_candidate_lists(vectors, dense_centers, l, table_chunk_rows(n), labels.data(), distances.data(),
                             [&](size_t begin, size_t end, uint32_t* out) {
                               table_candidates(codes.data + begin * m_count, end - begin, m_count, table, blocked, ks,
                                                k, l, out);
                             });
      return;
    }
    refine_candidates(vectors, dense_centers, k, l, labels.data(), distances.data(),
                      [&](size_t begin, size_t end, float* approx) {
                        table_distances(codes.data + begin * m_count, end - begin, m_count, table, ks, k, approx);
                      });
    return;
  }

  // No table within the byte budget: codeword-to-center distances computed directly.
  const DistanceKernel kernel = DistanceKernel::for_dimension(ds);
  const float* ws = space.data;
  refine_candidates(vectors, dense_centers, k, l, labels.data(), distances.data(),
                    [&](size_t begin, size_t end, float* approx) {
                      for (size_t i = begin; i < end; ++i) {
                        const uint8_t* code = codes.data + i * m_count;
                        float* out = approx + (i - begin) * k;
                        for (size_t c = 0; c < k; ++c) {
                          float sum = 0.0f;
                          for (size_t m = 0; m < m_count; ++m) {
                            sum = sum + kernel.distance({words + (m * ks + code[m]) * ds, ds}, {ws + c * d + m * ds, ds});
                          }
                          out[c] = sum;
                        }
                      }
                    });
}

namespace {

// The 4-bit form of the codes when Ks = 16 and candidates will be ranked by codes.
std::optional<PackedPq4Codes> packed_for(MatrixView<const uint8_t> codes, uint64_t refine_exact_top_l, size_t k,
                                         size_t ks) {
  if (refine_exact_top_l >= k) return std::nullopt;
  return PqKMeans::pack_pq4_codes({codes.data, codes.rows * codes.cols}, codes.rows, codes.cols, ks);
}

// A PdxMatrix of the rows when the switch asks for one and the exact layouts will run (every
// center refined); there is nothing to lay out for zero rows.
std::optional<PdxMatrix> pdx_for(MatrixView<const float> vectors, uint64_t refine_exact_top_l, size_t k) {
  if (!pdx_exact_enabled() || refine_exact_top_l < k || vectors.rows == 0) return std::nullopt;
  return PdxMatrix::from_row_major({vectors.data, vectors.rows * vectors.cols}, vectors.rows, vectors.cols);
}

}  // namespace

void PqKMeans::fit_hybrid(MatrixView<const uint8_t> codes, MatrixView<const float> vectors,
                          uint64_t refine_exact_top_l) {
  validate_hybrid(codes, vectors, refine_exact_top_l, true);
  const size_t n = codes.rows, k = options_.k;
  const std::optional<PackedPq4Codes> packed = packed_for(codes, refine_exact_top_l, k, ks_);
  const auto initial = initialize_center_indices(codes, packed ? &*packed : nullptr);
  Matrix<float> centers = take_raw_center_rows(vectors, initial);
  if (options_.spherical) normalize_dense_centers_in_place(centers.view_mut());
  const std::optional<PdxMatrix> pdx = pdx_for(vectors, refine_exact_top_l, k);

  std::vector<double> history;
  AssignmentBuffers buffers(n);
  buffers.screen_rows.emplace(std::max<size_t>(options_.iterations, 1));
  run_passes(
      code_fit_loop(options_, "hybrid_inertia", "hybrid"), history,
      [&](size_t) {
        assign_hybrid_into(codes, vectors, centers.view(), refine_exact_top_l, packed ? &*packed : nullptr,
                           pdx ? &*pdx : nullptr, buffers);
        return mean_distance(buffers.distances);
      },
      [&](size_t) {
        update_dense_centers_from_vectors(vectors, buffers, centers);
        if (options_.spherical) normalize_dense_centers_in_place(centers.view_mut());
      });

  // The model changes only once everything has succeeded.
  store_dense_centers_raw(std::move(centers));
  labels_ = std::move(buffers).into_labels();
  inertia_history_ = std::move(history);
}

std::vector<size_t> PqKMeans::predict_hybrid(MatrixView<const uint8_t> codes, MatrixView<const float> vectors,
                                             uint64_t refine_exact_top_l) const {
  validate_hybrid(codes, vectors, refine_exact_top_l, false);
  const std::optional<PackedPq4Codes> packed = packed_for(codes, refine_exact_top_l, options_.k, ks_);
  const std::optional<PdxMatrix> pdx = pdx_for(vectors, refine_exact_top_l, options_.k);
  AssignmentBuffers buffers(codes.rows);
  assign_hybrid_into(codes, vectors, dense_cluster_centers_->view(), refine_exact_top_l,
                     packed ? &*packed : nullptr, pdx ? &*pdx : nullptr, buffers);
  return std::move(buffers).into_labels();
}

}  // namespace vantorix
