#pragma once
// DenseKMeans: Lloyd iterations over float32 rows in Euclidean or spherical geometry.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dense_init.hpp"
#include "kmeans_common.hpp"
#include "matrix.hpp"

namespace vantorix {

class DenseKMeans {
 public:
  // Arguments are validated by the caller (k >= 1, iterations >= 1).
  DenseKMeans(size_t k, size_t iterations, uint64_t seed, bool verbose, InitMethod init, bool early_stopping,
              bool spherical);

  // Replaces centers, labels and history on success; a failed fit changes nothing.
  void fit(MatrixView<const float> data);
  std::vector<size_t> predict(MatrixView<const float> data) const;
  // centers: k x d, row-major. Labels and history stay as they are.
  void set_centers(Matrix<float> centers);

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
