#pragma once
// The center update of dense k-means: per-cluster sums and counts, the mean, the repair of
// empty clusters and the spherical normalisation.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "kmeans/kmeans_common.hpp"

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

// Whether the accumulation is center-sharded (VANTORIX_DENSE_UPDATE, read on every call): the
// sharded words force it, any other set word forces row chunks, and unset/auto picks sharding
// once one k x d buffer reaches 1 MiB and there are at least 16384 rows.
bool dense_center_update_sharded_enabled(size_t rows, size_t k, size_t d);

// Rows per chunk of the row-chunked accumulation: 4096 for small buffers, about two chunks per
// worker thread for buffers of 1 MiB and more.
size_t dense_update_chunk_rows(size_t rows, size_t k, size_t d, size_t threads);

// Accumulates sums and counts of the rows of each cluster into scratch.sums / scratch.counts,
// with whichever strategy dense_center_update_sharded_enabled picks.
void accumulate_cluster_sums(MatrixView<const float> data, std::span<const size_t> labels, size_t k,
                             DenseUpdateScratch& scratch);
// Each strategy on its own (threads: the worker count the split is derived from).
void accumulate_row_chunked(MatrixView<const float> data, std::span<const size_t> labels, size_t k,
                            DenseUpdateScratch& scratch, size_t threads);
void accumulate_center_sharded(MatrixView<const float> data, std::span<const size_t> labels, size_t k,
                               DenseUpdateScratch& scratch, size_t threads);

// One Lloyd update of centers in place: the mean of each non-empty cluster, then empty clusters
// re-seeded with the farthest rows of clusters that have rows to spare, then (spherical) unit norm.
void update_dense_centers(MatrixView<const float> data, std::span<const size_t> labels,
                          std::span<const float> distances, bool spherical, Matrix<float>& centers,
                          DenseUpdateScratch& scratch);

// The weighted update (an extension): each center becomes the weighted mean of its rows (f32
// sums of w x row, f64 sums of w); clusters without a row of positive weight are empty and
// take the farthest positive-weight rows of clusters with at least two of them. Accumulated in
// row chunks of 4096 rows reduced in chunk order, so the result does not depend on the threads.
void update_dense_centers_weighted(MatrixView<const float> data, std::span<const size_t> labels,
                                   std::span<const float> distances, std::span<const float> weights, bool spherical,
                                   Matrix<float>& centers);

}  // namespace vantorix
