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

// The mean of each cluster with rows: its summed rows, each sum rounded to f32, times the f32
// reciprocal of its count. Clusters without rows keep their centers. f64 sums (summaries added
// up across machines) take the same f32 steps, so they give the one-machine centers whenever
// the one-machine f32 sums are exact (and differ by rounding only otherwise).
template <class Sum>
void set_cluster_means(MatrixView<const Sum> sums, std::span<const uint64_t> counts, Matrix<float>& centers);

// Which rows re-seed the empty clusters: clusters[i] (the empty ones, ascending) takes row
// rows[i] (farthest first); empty clusters past the end of rows keep their centers.
struct EmptyClusterRepair {
  std::vector<size_t> clusters;
  std::vector<uint64_t> rows;
};

// The repair rule of every dense update: the clusters with count 0 take the farthest finite rows
// of clusters that keep at least two rows (select_farthest_rows_with_spare). Entries are the
// pass's rows, or candidates with their row numbers in `rows`.
EmptyClusterRepair plan_empty_cluster_repair(std::span<const uint64_t> counts, std::span<const float> distances,
                                             std::span<const size_t> labels, std::span<const uint64_t> rows = {});

struct SummedUpdate {
  Matrix<float> centers;
  EmptyClusterRepair repair;
};

// The update of a fit whose passes run elsewhere (vantorix.dask), from the sums (f64, k x d) and
// counts of the whole pass and candidate rows for the repair, each with its distance, cluster and
// row number: the centers with the means of set_cluster_means, and the repair
// plan_empty_cluster_repair makes from the candidates. The caller copies the planned rows in, then
// normalises in spherical mode. Whenever the candidates hold every row the rule would pick among
// all rows (the 2k farthest finite rows of each part of the rows always do, k the number of
// clusters), the plan is the one-machine update's. Throws on inconsistent shapes or a cluster
// out of range, before any work.
SummedUpdate update_centers_from_sums(MatrixView<const float> centers, MatrixView<const double> sums,
                                      VectorView<const uint64_t> counts, VectorView<const double> far_distances,
                                      VectorView<const uint64_t> far_labels, VectorView<const uint64_t> far_rows);

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
