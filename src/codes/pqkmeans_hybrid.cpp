// The hybrid fit: rows are both codes and raw vectors. The codes give every row an approximate
// (asymmetric) distance to every center; only the refine_exact_top_l best centers are then
// compared exactly on the raw vectors. With refine_exact_top_l >= k the codes are not needed and
// every row is assigned exactly through one of the exact layouts.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

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

size_t worst_of(const std::vector<Candidate>& list) {
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
    for (; i + 8 <= count; i += 8) kernels().l2_squared_pairs8(rows + i, centers + i, d, out + i);
    for (; i + 4 <= count; i += 4) kernels().l2_squared_pairs4(rows + i, centers + i, d, out + i);
  }
  for (; i < count; ++i) out[i] = kernel.distance({rows[i], d}, {centers[i], d});
}

// Centers per block of the table sums: four 16-lane registers per row, and the block's share of
// the table (M x Ks x 64 floats, 1 MiB for M = 16, Ks = 256) stays in L2 while a chunk's rows
// stream through it.
constexpr size_t kTableBlockCenters = 64;

// Sums of table entries over the subspaces, in subspace order, for R rows and V x 16 centers
// from c0 on. Every lane is its own chain of additions, so how the rows and centers are split
// into passes does not change a value: a pass takes what the target's registers hold.
template <size_t R, size_t V>
inline void table_block(const uint8_t* const* code, size_t m_count, const float* table, size_t ks, size_t k, size_t c0,
                        float* const* out) {
  constexpr size_t kAcc = V * kParts;  // registers per row
  if constexpr (R > 1 && R * kAcc + 1 > kVectorRegisters) {
    table_block<R / 2, V>(code, m_count, table, ks, k, c0, out);
    table_block<R - R / 2, V>(code + R / 2, m_count, table, ks, k, c0, out + R / 2);
  } else if constexpr (R == 1 && V > 1 && kAcc + 1 > kVectorRegisters) {
    table_block<1, V / 2>(code, m_count, table, ks, k, c0, out);
    table_block<1, V - V / 2>(code, m_count, table, ks, k, c0 + 16 * (V / 2), out);
  } else {
    VF acc[R][kAcc];
    for (size_t r = 0; r < R; ++r) {
      const float* row = table + size_t(code[r][0]) * k + c0;
      for (size_t v = 0; v < kAcc; ++v) acc[r][v] = loadw(row + kWide * v);
    }
    for (size_t m = 1; m < m_count; ++m) {
      for (size_t r = 0; r < R; ++r) {
        const float* row = table + (m * ks + code[r][m]) * k + c0;
        for (size_t v = 0; v < kAcc; ++v) acc[r][v] = acc[r][v] + loadw(row + kWide * v);
      }
    }
    for (size_t r = 0; r < R; ++r)
      for (size_t v = 0; v < kAcc; ++v) storew(out[r] + c0 + kWide * v, acc[r][v]);
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
      table_block<kRows, kTableBlockCenters / 16>(code, m_count, table, ks, k, c0, dst);
    }
    for (; i < count; ++i) {
      const uint8_t* code = codes + i * m_count;
      float* dst = out + i * k;
      table_block<1, kTableBlockCenters / 16>(&code, m_count, table, ks, k, c0, &dst);
    }
  }
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* code = codes + i * m_count;
    float* dst = out + i * k;
    size_t c = blocked;
    for (; c + 16 <= k; c += 16) table_block<1, 1>(&code, m_count, table, ks, k, c, &dst);
    for (; c < k; ++c) {
      float sum = table[size_t(code[0]) * k + c];
      for (size_t m = 1; m < m_count; ++m) sum = sum + table[(m * ks + code[m]) * k + c];
      dst[c] = sum;
    }
  }
}

// Per chunk of `chunk` rows: every row's l candidates (lists(begin, end, out), row i's at
// out[(i - begin) * l]), their exact distances to the raw-space centers, and per row the winner:
// the smaller exact distance, equal distances to the lower index.
template <class Lists>
void refine_candidate_lists(MatrixView<const float> vectors, MatrixView<const float> centers, size_t l,
                            size_t chunk, size_t* labels, float* distances, Lists&& lists) {
  const size_t d = vectors.cols;
  const DistanceKernel kernel = DistanceKernel::for_dimension(d);
  parallel_chunks(vectors.rows, chunk, [&](size_t begin, size_t end) {
    const size_t rows = end - begin, pairs = rows * l;
    std::vector<uint32_t> candidates(pairs);
    lists(begin, end, candidates.data());
    std::vector<const float*> row_ptr(pairs), center_ptr(pairs);
    for (size_t r = 0, p = 0; r < rows; ++r) {
      const float* row = vectors.data + (begin + r) * d;
      for (size_t i = 0; i < l; ++i, ++p) {
        row_ptr[p] = row;
        center_ptr[p] = centers.data + size_t(candidates[p]) * d;
      }
    }
    std::vector<float> exact(pairs);
    exact_pair_distances(row_ptr.data(), center_ptr.data(), pairs, d, kernel, exact.data());
    for (size_t r = 0; r < rows; ++r) {
      size_t label = 0;
      float best = kInf;
      for (size_t p = r * l; p < (r + 1) * l; ++p) {
        const float v = exact[p];
        const size_t c = candidates[p];
        if (v < best || (v == best && c < label)) {
          best = v;
          label = c;
        }
      }
      labels[begin + r] = label;
      distances[begin + r] = best;
    }
  });
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
