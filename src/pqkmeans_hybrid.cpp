// The hybrid fit: rows are both codes and raw vectors. The codes give every row an approximate
// (asymmetric) distance to every center; only the refine_exact_top_l best centers are then
// compared exactly on the raw vectors. With refine_exact_top_l >= k the codes are not needed and
// every row is assigned exactly through one of the exact layouts.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "dense_assign.hpp"
#include "flash.hpp"
#include "lanes.hpp"
#include "math.hpp"
#include "parallel.hpp"
#include "pdx.hpp"
#include "pqkmeans.hpp"
#include "simd.hpp"

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

// The l (< k) centers with the smallest approximate distances, earlier centers winning ties.
void select_candidates(const float* approx, size_t k, size_t l, std::vector<Candidate>& out) {
  out.clear();
  if (l > kLinearCandidates) {
    for (size_t c = 0; c < k; ++c) out.push_back({c, approx[c]});
    std::nth_element(out.begin(), out.begin() + ptrdiff_t(l), out.end(), ranks_before);
    out.resize(l);
    return;
  }
  for (size_t c = 0; c < l; ++c) out.push_back({c, approx[c]});
  size_t worst = worst_of(out);
  // Centers come in increasing index, so a later center enters only with a strictly smaller
  // distance; sixteen at a time are rejected with one comparison against the worst entry.
  size_t c = l;
  while (c < k) {
    const float bar = out[worst].distance;
    if (!std::isnan(bar) && c + 16 <= k) {
      uint32_t bits = below_mask16(load16(approx + c), splat16(bar));
      while (bits) {
        const size_t j = c + size_t(__builtin_ctz(bits));
        bits &= bits - 1;
        if (approx[j] < out[worst].distance) {
          out[worst] = {j, approx[j]};
          worst = worst_of(out);
        }
      }
      c += 16;
      continue;
    }
    const Candidate next{c, approx[c]};
    if (ranks_before(next, out[worst])) {
      out[worst] = next;
      worst = worst_of(out);
    }
    ++c;
  }
}

// The exact winner among the candidates: squared distance of the raw vector to each candidate's
// raw-space center; the smaller distance wins, equal distances go to the lower index.
std::pair<size_t, float> refine(const std::vector<Candidate>& candidates, const float* row, const float* centers,
                                size_t d, DistanceKernel kernel) {
  size_t label = 0;
  float best = kInf;
  for (const Candidate& c : candidates) {
    const float v = kernel.distance({row, d}, {centers + c.center * d, d});
    if (v < best || (v == best && c.center < label)) {
      best = v;
      label = c.center;
    }
  }
  return {label, best};
}

// Every row's approximate distances (fill(row, approx)), its candidates and the exact winner.
template <class Fill>
void refine_candidates(MatrixView<const float> vectors, MatrixView<const float> centers, size_t k, size_t l,
                       size_t* labels, float* distances, Fill&& fill) {
  const size_t d = vectors.cols;
  const DistanceKernel kernel = DistanceKernel::for_dimension(d);
  parallel_chunks(vectors.rows, kAssignChunkRows, [&](size_t begin, size_t end) {
    std::vector<float> approx(k);
    std::vector<Candidate> candidates;
    candidates.reserve(std::min(l, kLinearCandidates) + 1);
    for (size_t i = begin; i < end; ++i) {
      fill(i, approx.data());
      select_candidates(approx.data(), k, l, candidates);
      const auto [label, distance] = refine(candidates, vectors.data + i * d, centers.data, d, kernel);
      labels[i] = label;
      distances[i] = distance;
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
        for (size_t r : members) add_assign(acc, {vectors.data + r * d, d});
      },
      [&](size_t row, std::span<float> out) { std::copy_n(vectors.data + row * d, d, out.data()); });
}

void PqKMeans::assign_hybrid_into(MatrixView<const uint8_t> codes, MatrixView<const float> vectors,
                                  MatrixView<const float> dense_centers, uint64_t refine_exact_top_l,
                                  const PdxMatrix* pdx, AssignmentBuffers& buffers) const {
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
      assign_dense_direct_into(vectors, Matrix<float>::copy_of(dense_centers), false, labels, distances);
    }
    return;
  }

  const size_t l = size_t(refine_exact_top_l);
  Matrix<float>& workspace = buffers.workspace;
  if (workspace.rows != k || workspace.cols != d) workspace = Matrix<float>(k, d);
  if (rotation_) {
    apply_rotation_into(dense_centers, rotation_->view(), workspace);
  } else {
    for (size_t j = 0; j < k; ++j) std::copy_n(dense_centers.data + j * d, d, workspace.row(j).data());
  }
  if (workspace.rows != k || workspace.cols != d) {
    throw VantorixError::message("dense center workspace shape does not match the model");
  }
  const size_t m_count = m_, ks = ks_, ds = ds_;
  const float* words = codewords_.data();

  if (build_dense_lookup_tables_into(workspace.view(), buffers.lookup)) {
    const float* table = buffers.lookup.data();
    refine_candidates(vectors, dense_centers, k, l, labels.data(), distances.data(), [&](size_t i, float* approx) {
      // Per center, the table entries summed in subspace order.
      const uint8_t* code = codes.data + i * m_count;
      std::copy_n(table + size_t(code[0]) * k, k, approx);
      for (size_t m = 1; m < m_count; ++m) {
        const float* entries = table + (m * ks + code[m]) * k;
        size_t c = 0;
        for (; c + 16 <= k; c += 16) store16(approx + c, load16(approx + c) + load16(entries + c));
        for (; c < k; ++c) approx[c] = approx[c] + entries[c];
      }
    });
    return;
  }

  // No table within the byte budget: codeword-to-center distances computed directly.
  const DistanceKernel kernel = DistanceKernel::for_dimension(ds);
  const float* ws = workspace.data();
  refine_candidates(vectors, dense_centers, k, l, labels.data(), distances.data(), [&](size_t i, float* approx) {
    const uint8_t* code = codes.data + i * m_count;
    for (size_t c = 0; c < k; ++c) {
      float sum = 0.0f;
      for (size_t m = 0; m < m_count; ++m) {
        sum = sum + kernel.distance({words + (m * ks + code[m]) * ds, ds}, {ws + c * d + m * ds, ds});
      }
      approx[c] = sum;
    }
  });
}

namespace {

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
  const auto initial = initialize_center_indices(codes);
  Matrix<float> centers = take_raw_center_rows(vectors, initial);
  if (options_.spherical) normalize_dense_centers_in_place(centers.view_mut());
  const std::optional<PdxMatrix> pdx = pdx_for(vectors, refine_exact_top_l, k);

  std::vector<double> history;
  AssignmentBuffers buffers(n);
  for (size_t pass = 0; pass < options_.iterations; ++pass) {
    assign_hybrid_into(codes, vectors, centers.view(), refine_exact_top_l, pdx ? &*pdx : nullptr, buffers);
    double sum = -0.0;
    for (float dist : buffers.distances) sum += double(dist);
    const double inertia = sum / double(n);
    history.push_back(inertia);
    if (options_.verbose) std::fprintf(stderr, "iteration=%zu hybrid_inertia=%.6f\n", pass, inertia);
    if (options_.early_stopping && should_stop_early(history)) break;
    if (pass + 1 == options_.iterations) break;
    update_dense_centers_from_vectors(vectors, buffers, centers);
    if (options_.spherical) normalize_dense_centers_in_place(centers.view_mut());
  }

  // The model changes only once everything has succeeded.
  store_dense_centers_raw(std::move(centers));
  labels_ = std::move(buffers).into_labels();
  inertia_history_ = std::move(history);
}

std::vector<size_t> PqKMeans::predict_hybrid(MatrixView<const uint8_t> codes, MatrixView<const float> vectors,
                                             uint64_t refine_exact_top_l) const {
  validate_hybrid(codes, vectors, refine_exact_top_l, false);
  const std::optional<PdxMatrix> pdx = pdx_for(vectors, refine_exact_top_l, options_.k);
  AssignmentBuffers buffers(codes.rows);
  assign_hybrid_into(codes, vectors, dense_cluster_centers_->view(), refine_exact_top_l, pdx ? &*pdx : nullptr,
                     buffers);
  return std::move(buffers).into_labels();
}

}  // namespace vantorix
