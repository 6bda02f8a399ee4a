#pragma once
// DenseKMeans: Lloyd iterations over float32 rows in Euclidean or spherical geometry.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "dense/dense_init.hpp"
#include "kmeans/kmeans_common.hpp"

namespace vantorix {

// The model's settings with their defaults (the Python signature shows these).
struct DenseKMeansOptions {
  size_t k = 0;
  size_t iterations = 20;
  uint64_t seed = 0;
  bool verbose = false;
  InitMethod init = InitMethod::KMeansPlusPlus;
  bool early_stopping = false;
  bool spherical = false;
};

// What a fit may take beyond the data (an extension of the native fit, all off by default).
struct DenseFitExtras {
  // One finite, non-negative weight per row, not all zero: the update takes weighted means, the
  // seeding draws by weight, and the history holds weighted means (sum w*d / sum w). Rows of
  // weight zero take no part (they still get a label).
  std::optional<VectorView<const float>> sample_weight;
  // k x d starting centers instead of the initialisation (normalised in spherical mode).
  std::optional<MatrixView<const float>> initial_centers;
  // Stop once the centers moved by at most tol x (mean per-column variance of the data, weighted
  // when there are weights) in summed squared distance during an update; negative: off. The
  // final assignment still runs.
  double tol = -1.0;
};

// One assignment pass over a chunk of rows against fixed centers, reduced to what a
// distributed fit needs: per-cluster sums (float64) and
// counts, the summed distance, and the chunk's farthest rows with a finite distance (row within
// the chunk, its distance and cluster; farthest first, ties to the lower row), the candidates for
// the repair of empty clusters (update_centers_from_sums).
struct DenseChunkSummary {
  std::vector<double> sums;  // k x d
  std::vector<uint64_t> counts;
  double distance_sum = 0.0;
  std::vector<size_t> far_rows;
  std::vector<float> far_distances;
  std::vector<size_t> far_labels;
  std::vector<size_t> labels;  // of every row of the chunk
};

class DenseKMeans {
 public:
  // Throws unless k >= 1 and iterations >= 1 (checked in that order).
  explicit DenseKMeans(const DenseKMeansOptions& options);

  // Replaces centers, labels and history on success; a failed fit changes nothing.
  void fit(MatrixView<const float> data);
  void fit(MatrixView<const float> data, const DenseFitExtras& extras);
  std::vector<size_t> predict(MatrixView<const float> data) const;
  // The labels predict gives, with the sums a Lloyd update needs (see DenseChunkSummary).
  // `previous` (one center per row: the rows' labels from an earlier pass) only makes
  // the search faster: in Euclidean geometry each row then measures only the centers that can
  // be as near as its previous one. Labels are the exact nearest centers (ties to the lower
  // center) and distances the direct kernel's, whatever the hint holds.
  DenseChunkSummary chunk_summary(MatrixView<const float> data, size_t farthest,
                                  std::optional<std::span<const uint32_t>> previous = std::nullopt) const;
  // centers: k x d, row-major, normalised in spherical mode unless `normalize` is false (centers a
  // spherical fit produced, reinstalled bit for bit). Labels and history stay as they are.
  void set_centers(Matrix<float> centers, bool normalize = true);
  // Checks the shape, then copies: a wrong shape costs nothing however large the view.
  void set_centers(MatrixView<const float> centers, bool normalize = true);

  size_t k() const { return k_; }
  size_t iterations() const { return iterations_; }
  uint64_t seed() const { return seed_; }
  bool verbose() const { return verbose_; }
  bool early_stopping() const { return early_stopping_; }
  bool spherical() const { return spherical_; }
  InitMethod init() const { return init_; }
  const std::optional<Matrix<float>>& centers() const { return centers_; }
  const std::vector<size_t>& labels() const { return labels_; }
  const std::vector<double>& inertia_history() const { return inertia_history_; }

 private:
  // Labels and distances of data against the stored centers (the checks of predict).
  void assign(MatrixView<const float> data, std::vector<size_t>& labels, std::vector<float>& distances) const;
  // The stored centers, once data's column count is checked against them.
  const Matrix<float>& centers_for(MatrixView<const float> data) const;
  void assign_near_previous(MatrixView<const float> data, std::span<const uint32_t> previous,
                            std::vector<size_t>& labels, std::vector<float>& distances) const;
  std::vector<size_t> labels_;
  std::vector<double> inertia_history_;
  size_t k_;
  size_t iterations_;
  uint64_t seed_;
  std::optional<Matrix<float>> centers_;
  bool verbose_;
  bool early_stopping_;
  bool spherical_;
  InitMethod init_;
};

}  // namespace vantorix
