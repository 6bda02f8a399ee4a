#pragma once
// k-means over product-quantization codes: the model, its options, the shared codeword distance
// table, initialisation among code rows and the conversions between code and dense centers.
// The symmetric fit lives in pqkmeans_symmetric.cpp, the asymmetric (ADC) fit in pqkmeans_adc.cpp.
#include <algorithm>
#include <limits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codes/pq4_assign.hpp"
#include "core/matrix.hpp"
#include "core/parallel.hpp"
#include "dense/dense_screen.hpp"
#include "kernels/pdx.hpp"
#include "kernels/simd.hpp"
#include "kmeans/kmeans_common.hpp"

namespace vantorix {

// Squared distances between every pair of codewords of one subspace: entry (m*Ks + a)*Ks + b.
// Immutable once built, so any number of models (the candidate-k analysis) can share one.
using CodewordDistances = std::shared_ptr<const std::vector<float>>;

// The model's settings with their defaults (the Python signature shows these).
struct PqKMeansOptions {
  size_t k = 0;
  size_t iterations = 20;
  uint64_t seed = 0;
  bool verbose = false;
  uint64_t lookup_table_bytes = 1073741824;
  InitMethod init = InitMethod::FarthestFirst;
  bool early_stopping = false;
  bool spherical = false;
};

// Rows grouped by label; cluster j's members are rows[offsets[j] .. offsets[j+1]), ascending.
struct LabelBucketBuffers {
  std::vector<size_t> counts;
  std::vector<size_t> offsets;
  std::vector<size_t> cursor;
  std::vector<size_t> rows;

  void build(std::span<const size_t> labels, size_t k);
  std::span<const size_t> members(size_t j) const {
    return {rows.data() + offsets[j], offsets[j + 1] - offsets[j]};
  }
};

// One symmetric assignment pass over a chunk of codes against fixed code centers: how often
// each codeword occurs in each cluster and subspace (cell (j * M + m) * Ks + t), which is all the
// vote of the center update reads, plus counts, the summed distance and the chunk's farthest
// rows (farthest first, ties to the lower row). The histogram is dense when it has at most four
// cells per code byte of the chunk; otherwise only its non-zero cells are listed, ascending.
struct CodeChunkSummary {
  bool sparse = false;
  std::vector<uint64_t> histogram;   // dense: k * M * Ks counts
  std::vector<uint64_t> cells;       // sparse: non-zero cells
  std::vector<uint64_t> cell_counts;  // sparse: their counts
  std::vector<uint64_t> counts;      // k
  double distance_sum = 0.0;
  std::vector<size_t> far_rows;
  std::vector<float> far_distances;
  std::vector<size_t> far_labels;
};

// Working storage of one fit or predict, allocated once and reused by every pass.
struct AssignmentBuffers {
  std::vector<size_t> labels;
  std::vector<float> distances;
  std::vector<float> lookup;  // [m][t][j], rebuilt in place every pass
  QuantizedPq4LookupTables pq4_tables;  // 8-bit form of `lookup` for the 4-bit fast scan
  LabelBucketBuffers buckets;
  Matrix<float> workspace;  // hybrid fit: the dense centers in PQ space (k x D)
  std::vector<float> blocked_lookup;  // hybrid fit: `lookup` regrouped by block of centers
  // Hybrid fit with every center refined: what the exact assignment's screen prepares of the
  // vectors, kept for the later passes.
  std::optional<ScreenRows> screen_rows;

  explicit AssignmentBuffers(size_t n) : labels(n, 0), distances(n, 0.0f) {}
  void resize(size_t n) {
    labels.resize(n, 0);
    distances.resize(n, 0.0f);
  }
  std::vector<size_t> into_labels() && { return std::move(labels); }
};

std::vector<float> compute_codeword_distances(const Array3<float>& codewords);

// Adds every member's reconstruction (codewords concatenated, Ds each) into acc, in member order.
void accumulate_code_rows_into_center(const uint8_t* codes, std::span<const size_t> members, const float* codewords,
                                      size_t m_count, size_t ks, size_t ds, std::span<float> acc);

// Rows are assigned in chunks of this many, each chunk writing its own labels and distances.
inline constexpr size_t kAssignChunkRows = 256;
// Center lookup tables are built in work items of this many table rows.
inline constexpr size_t kLookupChunkRows = 16;

// Every code row's nearest center through a center lookup table laid out [m][t][j].
void assign_with_lookup(MatrixView<const uint8_t> codes, std::span<const float> lookup, size_t ks, size_t k,
                        size_t* labels, float* distances);

// One assignment pass through the center lookup table in buffers.lookup (k centers). With packed
// 4-bit codes (Ks = 16) the quantized fast scan answers when it is switched on and accepts the
// table; otherwise the exact scan over the packed codes does, or, without packed codes, the
// lookup minimum row by row. The exact scans give identical labels and distances.
void assign_through_lookup(MatrixView<const uint8_t> codes, const PackedPq4Codes* packed, size_t ks, size_t k,
                           AssignmentBuffers& buffers);

// Every code row's nearest center without a lookup table: distance(row, j) for each center in
// index order, the first strict minimum winning.
template <class Distance>
void assign_direct(MatrixView<const uint8_t> codes, size_t k, size_t* labels, float* distances, Distance&& distance) {
  parallel_chunks(codes.rows, kAssignChunkRows, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const uint8_t* row = codes.data + i * codes.cols;
      float best = std::numeric_limits<float>::infinity();
      size_t best_j = 0;
      for (size_t j = 0; j < k; ++j) {
        const float v = distance(row, j);
        if (v < best) {
          best = v;
          best_j = j;
        }
      }
      labels[i] = best_j;
      distances[i] = best;
    }
  });
}

// Mean update of dense centers. Each non-empty cluster's row is zeroed and accumulate(members, row)
// adds its members in ascending row order; from kParallelMeanMembers members on, chunks of
// kMeanChunkMembers are summed in parallel and their partial sums added in chunk order, so one
// dominant cluster does not serialise the update. The sum is then scaled by the float32
// reciprocal of the count. Empty clusters, in ascending index order, get seed(row, out) for the
// farthest rows of this pass (by buffers.distances), in order.
inline constexpr size_t kMeanChunkMembers = 256;
inline constexpr size_t kParallelMeanMembers = 1024;

template <class Accumulate, class Seed>
void update_mean_centers(size_t k, AssignmentBuffers& buffers, Matrix<float>& centers, Accumulate&& accumulate,
                         Seed&& seed) {
  const size_t d = centers.cols;
  buffers.buckets.build(buffers.labels, k);
  parallel_for_each(k, [&](size_t j) {
    const auto members = buffers.buckets.members(j);
    const size_t count = members.size();
    if (count == 0) return;
    std::span<float> row = centers.row(j);
    std::fill(row.begin(), row.end(), 0.0f);
    if (count < kParallelMeanMembers) {
      accumulate(members, row);
    } else {
      const auto partial = parallel_chunk_results<std::vector<float>>(count, kMeanChunkMembers, [&](size_t b, size_t e) {
        std::vector<float> acc(d, 0.0f);
        accumulate(members.subspan(b, e - b), std::span<float>(acc));
        return acc;
      });
      for (const auto& acc : partial) add_assign(row, acc);
    }
    const float inv = 1.0f / float(count);
    for (float& v : row) v = v * inv;
  });
  reseed_empty_clusters(empty_clusters<size_t>(buffers.buckets.counts), buffers.distances,
                        [&](size_t j, size_t row) { seed(row, centers.row(j)); });
}
// Fails unless every code (any strides) is below ks: a larger one would index past the distance
// and lookup tables. `what` names the matrix in the message.
void check_code_range(MatrixView<const uint8_t> codes, size_t ks, const char* what);

// The pass loop of both fits over codes: the last pass ends on its assignment.
inline PassLoop code_fit_loop(const PqKMeansOptions& options, const char* report_label, const char* progress_name) {
  PassLoop loop;
  loop.iterations = options.iterations;
  loop.progress_name = progress_name;
  loop.update_after_last_pass = false;
  if (options.early_stopping) loop.stopping = StoppingRule::SmallFall;
  if (options.verbose) loop.report = PassReport{.label = report_label};
  return loop;
}

class PqKMeans {
 public:
  // Validates the shapes and options, then copies the codewords (and rotation).
  static PqKMeans create(Array3View<const float> codewords, std::optional<MatrixView<const float>> rotation,
                         const PqKMeansOptions& options);
  // Validates, then builds the codeword distance table for this model alone. The options carry
  // the geometry (spherical) with every other setting.
  static PqKMeans new_with_options_and_spherical(Array3<float> codewords, std::optional<Matrix<float>> rotation,
                                                 const PqKMeansOptions& options);
  // The same over a distance table built elsewhere and shared: the candidate-k analysis builds
  // one table for all its models.
  static PqKMeans with_codeword_distances_and_options(Array3<float> codewords, CodewordDistances distances,
                                                      std::optional<Matrix<float>> rotation,
                                                      const PqKMeansOptions& options);

  // The 4-bit packed form of an n x M code matrix when Ks = 16; nothing for any other Ks (the
  // codes are then not looked at). Packing errors pass through unchanged.
  static std::optional<PackedPq4Codes> pack_pq4_codes(std::span<const uint8_t> codes, size_t rows, size_t m,
                                                      size_t ks);
  // The same for a validated, C-contiguous code matrix of this model.
  std::optional<PackedPq4Codes> pack_pq4_codes(MatrixView<const uint8_t> codes) const;

  // Symmetric fit: rows and centers are codes.
  void fit(MatrixView<const uint8_t> codes);
  std::vector<size_t> predict(MatrixView<const uint8_t> codes) const;
  // The labels predict gives, reduced to what a distributed symmetric fit needs.
  CodeChunkSummary chunk_summary(MatrixView<const uint8_t> codes, size_t farthest) const;
  // packed: the 4-bit form of codes when Ks = 16 (pack_pq4_codes), else nullptr. Its timings go
  // to the calling thread's FitStats, if any (core/stats.hpp).
  void assign_codes_into(MatrixView<const uint8_t> codes, MatrixView<const uint8_t> centers,
                         const PackedPq4Codes* packed, AssignmentBuffers& buffers) const;
  // Labels and distances of codes against the stored code centers (the checks of predict).
  AssignmentBuffers assign_to_centers(MatrixView<const uint8_t> codes) const;

  // Asymmetric fit: rows are codes, centers are dense vectors in the codewords' space.
  void fit_adc(MatrixView<const uint8_t> codes);
  std::vector<size_t> predict_adc(MatrixView<const uint8_t> codes) const;
  void assign_adc_into(MatrixView<const uint8_t> codes, MatrixView<const float> centers,
                       const PackedPq4Codes* packed, AssignmentBuffers& buffers) const;
  bool build_dense_lookup_tables_into(MatrixView<const float> centers, std::vector<float>& table) const;

  // Hybrid fit: rows are codes and raw vectors; the codes preselect refine_exact_top_l candidate
  // centers per row by approximate distance, the raw vectors pick the exact winner among them.
  // Centers are means of raw vectors.
  void fit_hybrid(MatrixView<const uint8_t> codes, MatrixView<const float> vectors, uint64_t refine_exact_top_l);
  std::vector<size_t> predict_hybrid(MatrixView<const uint8_t> codes, MatrixView<const float> vectors,
                                     uint64_t refine_exact_top_l) const;
  // One hybrid assignment against raw-space dense centers (k x D): labels and exact distances.
  // packed: the codes' 4-bit form when Ks = 16 (the fast scan may then rank the candidates).
  void assign_hybrid_into(MatrixView<const uint8_t> codes, MatrixView<const float> vectors,
                          MatrixView<const float> dense_centers, uint64_t refine_exact_top_l,
                          const PackedPq4Codes* packed, const PdxMatrix* pdx, AssignmentBuffers& buffers) const;
  // The rows of vectors (raw space) at the given indices, as a new matrix.
  Matrix<float> take_raw_center_rows(MatrixView<const float> vectors, std::span<const size_t> rows) const;
  // Means of the members' raw vectors; empty clusters take the raw vectors of the farthest rows.
  void update_dense_centers_from_vectors(MatrixView<const float> vectors, AssignmentBuffers& buffers,
                                         Matrix<float>& centers) const;

  // Initial centers: row indices of the code matrix, in the order chosen.
  // packed: the codes' 4-bit form if the caller has it (Ks = 16); with the fast scan on, the
  // farthest-first and k-means++ starts screen rows through it (packing the codes themselves when
  // it is not given). The chosen rows are the same either way.
  std::vector<size_t> initialize_center_indices(MatrixView<const uint8_t> codes,
                                                const PackedPq4Codes* packed = nullptr) const;
  std::vector<float> build_center_lookup(std::span<const uint8_t> center) const;

  // Checked in full before anything is copied or changed.
  void set_cluster_centers(Matrix<uint8_t> centers);
  void set_cluster_centers(MatrixView<const uint8_t> centers);
  void set_dense_cluster_centers(Matrix<float> centers);
  void set_dense_cluster_centers(MatrixView<const float> centers);
  void store_dense_centers_raw(Matrix<float> centers);
  void store_dense_centers_from_pq(MatrixView<const float> centers);
  Matrix<float> centers_to_pq_space(MatrixView<const float> centers) const;
  Matrix<uint8_t> encode_centers_from_pq(MatrixView<const float> centers) const;
  // The symmetric update's vote from member histograms summed elsewhere (k * M * Ks counts, cell
  // (j * M + m) * Ks + t, as chunk_summary gives them): the fit's own vote for every center with
  // members; a center without members keeps its current codes.
  Matrix<uint8_t> vote_from_histogram(VectorView<const uint64_t> histogram) const;
  void normalize_dense_centers_in_place(MatrixView<float> centers) const;

  const std::vector<size_t>& labels() const { return labels_; }
  const std::vector<double>& inertia_history() const { return inertia_history_; }
  const Array3<float>& codewords() const { return codewords_; }
  const CodewordDistances& codeword_distances() const { return distances_; }
  const std::optional<Matrix<uint8_t>>& cluster_centers() const { return cluster_centers_; }
  const std::optional<Matrix<float>>& dense_cluster_centers() const { return dense_cluster_centers_; }
  size_t num_subquantizers() const { return m_; }
  size_t codebook_size() const { return ks_; }
  size_t subspace_dim() const { return ds_; }
  size_t dim() const { return m_ * ds_; }
  const PqKMeansOptions& options() const { return options_; }
  size_t k() const { return options_.k; }

 private:
  PqKMeans() = default;

  // Shape, row count (fits only), contiguity and code range, in that order.
  void validate_codes(MatrixView<const uint8_t> codes, bool need_k_rows) const;
  // The hybrid methods' checks, in their order; `fit` adds the row count, predict the centers.
  void validate_hybrid(MatrixView<const uint8_t> codes, MatrixView<const float> vectors, uint64_t refine_exact_top_l,
                       bool fit) const;
  void check_code_range(MatrixView<const uint8_t> codes, const char* what) const;
  bool lookup_fits_budget() const;
  // Concatenated codewords of one code row.
  void reconstruct_into(std::span<const uint8_t> code, std::span<float> out) const;

  Array3<float> codewords_;
  CodewordDistances distances_;
  std::optional<Matrix<float>> rotation_;
  size_t m_ = 0, ks_ = 0, ds_ = 0;
  PqKMeansOptions options_;
  std::vector<size_t> labels_;
  std::vector<double> inertia_history_;
  std::optional<Matrix<uint8_t>> cluster_centers_;
  std::optional<Matrix<float>> dense_cluster_centers_;
};

}  // namespace vantorix
