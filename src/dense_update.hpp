#pragma once
// The center update of dense k-means: per-cluster sums and counts, the mean, the repair of
// empty clusters and the spherical normalisation.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "matrix.hpp"

namespace vantorix {

// Working storage of the update, allocated once per fit and reused by every iteration.
struct DenseUpdateScratch {
  std::vector<float> sums;       // k x d
  std::vector<uint64_t> counts;  // k
  std::vector<std::vector<float>> chunk_sums;
  std::vector<std::vector<uint64_t>> chunk_counts;

  void ensure_chunk_buffers(size_t chunks, size_t k, size_t d);
  void reduce_chunk_buffers(size_t chunks);
};

// Divides every row with a norm above f32 epsilon by its norm; smaller rows stay as they are.
void normalize_rows(Matrix<float>& m);

// Accumulates sums and counts of the rows of each cluster into scratch.sums / scratch.counts.
void accumulate_cluster_sums(MatrixView<const float> data, std::span<const size_t> labels, size_t k,
                             DenseUpdateScratch& scratch);

// One Lloyd update of centers in place: the mean of each non-empty cluster, then empty clusters
// re-seeded with the farthest rows of clusters that have rows to spare, then (spherical) unit norm.
void update_dense_centers(MatrixView<const float> data, std::span<const size_t> labels,
                          std::span<const float> distances, bool spherical, Matrix<float>& centers,
                          DenseUpdateScratch& scratch);

}  // namespace vantorix
