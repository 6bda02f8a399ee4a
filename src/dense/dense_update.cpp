#include "dense/dense_update.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/env.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "kernels/simd.hpp"
#include "kmeans/kmeans_common.hpp"

namespace vantorix {

namespace {

constexpr size_t kLargeBufferBytes = 1048576;
constexpr size_t kMinShardedRows = 16384;
constexpr size_t kSmallBufferChunkRows = 4096;

// One k x d f32 sum buffer plus k u64 counts, saturating.
size_t update_buffer_bytes(size_t k, size_t d) {
  const size_t sums = saturating_mul(saturating_mul(k, d), 4);
  const size_t counts = saturating_mul(k, 8);
  return sums > SIZE_MAX - counts ? SIZE_MAX : sums + counts;
}

// Adds data row r to dst (d floats).
inline void add_row(MatrixView<const float> data, bool contiguous, size_t r, float* dst) {
  if (contiguous) {
    add_assign(std::span<float>(dst, data.cols), data.row(r));
    return;
  }
  for (size_t c = 0; c < data.cols; ++c) dst[c] = dst[c] + data.at(r, c);
}

// Rounds to f32 as IEEE does, finite doubles beyond the f32 range included (a plain cast of
// those is undefined behaviour).
inline float to_f32(float v) { return v; }
inline float to_f32(double v) {
  if (!std::isfinite(v) || std::fabs(v) <= double(std::numeric_limits<float>::max())) return float(v);
  const float limit = std::fabs(v) < 0x1.ffffffp127 ? std::numeric_limits<float>::max()
                                                     : std::numeric_limits<float>::infinity();
  return std::copysign(limit, float(v > 0 ? 1 : -1));
}

// Copies the planned rows of data into their clusters.
void repair_empty_clusters(MatrixView<const float> data, std::span<const size_t> labels,
                           std::span<const float> distances, std::span<const uint64_t> counts,
                           Matrix<float>& centers) {
  const EmptyClusterRepair plan = plan_empty_cluster_repair(counts, distances.first(data.rows), labels);
  for (size_t i = 0; i < plan.rows.size(); ++i) {
    float* dst = centers.row(plan.clusters[i]).data();
    for (size_t c = 0; c < data.cols; ++c) dst[c] = data.at(size_t(plan.rows[i]), c);
  }
}

}  // namespace

void DenseUpdateScratch::ensure_chunk_buffers(size_t chunks, size_t k, size_t d) {
  const size_t kd = checked_mul(k, d, "update buffer");
  sums.resize(kd);
  counts.resize(k);
  if (chunk_sums.size() < chunks) chunk_sums.resize(chunks);
  if (chunk_counts.size() < chunks) chunk_counts.resize(chunks);
  for (size_t i = 0; i < chunks; ++i) {
    chunk_sums[i].resize(kd);
    chunk_counts[i].resize(k);
  }
}

void DenseUpdateScratch::reduce_chunk_buffers(size_t chunks) {
  std::fill(sums.begin(), sums.end(), 0.0f);
  std::fill(counts.begin(), counts.end(), 0);
  for (size_t i = 0; i < chunks; ++i) {
    add_assign(sums, chunk_sums[i]);
    for (size_t c = 0; c < counts.size(); ++c) counts[c] += chunk_counts[i][c];
  }
}

bool dense_center_update_sharded_enabled(size_t rows, size_t k, size_t d) {
  if (rows == 0 || k == 0 || d == 0) return false;
  const Word word = env_word(EnvSwitch::DenseUpdate);
  if (word == Word::Sharded) return true;
  if (word != Word::Auto) return false;
  return update_buffer_bytes(k, d) >= kLargeBufferBytes && rows >= kMinShardedRows;
}

size_t dense_update_chunk_rows(size_t rows, size_t k, size_t d, size_t threads) {
  if (update_buffer_bytes(k, d) < kLargeBufferBytes) return std::min(kSmallBufferChunkRows, rows);
  const size_t per_thread = std::max(saturating_mul(2, threads), size_t{1});
  const size_t c = (rows + per_thread - 1) / per_thread;
  return std::min(std::max(c, kSmallBufferChunkRows), rows);
}

void accumulate_row_chunked(MatrixView<const float> data, std::span<const size_t> labels, size_t k,
                            DenseUpdateScratch& scratch, size_t threads) {
  const size_t d = data.cols;
  const size_t chunk_rows = std::max(dense_update_chunk_rows(data.rows, k, d, threads), size_t{1});
  const size_t chunks = chunk_count(data.rows, chunk_rows);
  scratch.ensure_chunk_buffers(chunks, k, d);
  const bool contiguous = data.is_c_contiguous();
  parallel_chunks(data.rows, chunk_rows, [&](size_t begin, size_t end) {
    const size_t i = begin / chunk_rows;
    auto& sums = scratch.chunk_sums[i];
    auto& counts = scratch.chunk_counts[i];
    std::fill(sums.begin(), sums.end(), 0.0f);
    std::fill(counts.begin(), counts.end(), 0);
    for (size_t r = begin; r < end; ++r) {
      const size_t c = labels[r];
      counts[c] += 1;
      add_row(data, contiguous, r, sums.data() + c * d);
    }
  });
  scratch.reduce_chunk_buffers(chunks);
}

void accumulate_center_sharded(MatrixView<const float> data, std::span<const size_t> labels, size_t k,
                               DenseUpdateScratch& scratch, size_t threads) {
  const size_t d = data.cols;
  scratch.sums.assign(checked_mul(k, d, "update buffer"), 0.0f);
  scratch.counts.assign(k, 0);
  const size_t width = std::max((k + std::max(threads, size_t{1}) - 1) / std::max(threads, size_t{1}), size_t{1});
  const bool contiguous = data.is_c_contiguous();
  parallel_for_each(chunk_count(k, width), [&](size_t shard) {
    const size_t lo = shard * width, hi = std::min(k, lo + width);
    for (size_t r = 0; r < data.rows; ++r) {
      const size_t c = labels[r];
      if (c < lo || c >= hi) continue;
      scratch.counts[c] += 1;
      add_row(data, contiguous, r, scratch.sums.data() + c * d);
    }
  });
}

void accumulate_cluster_sums(MatrixView<const float> data, std::span<const size_t> labels, size_t k,
                             DenseUpdateScratch& scratch) {
  if (dense_center_update_sharded_enabled(data.rows, k, data.cols)) {
    accumulate_center_sharded(data, labels, k, scratch, num_threads());
  } else {
    accumulate_row_chunked(data, labels, k, scratch, num_threads());
  }
}

template <class Sum>
void set_cluster_means(MatrixView<const Sum> sums, std::span<const uint64_t> counts, Matrix<float>& centers) {
  const size_t k = centers.rows, d = centers.cols;
  if (sums.rows != k || sums.cols != d || counts.size() != k) fatal("set_cluster_means: shapes disagree");
  for (size_t c = 0; c < k; ++c) {
    if (counts[c] == 0) continue;
    const float inv = 1.0f / float(counts[c]);
    float* dst = centers.row(c).data();
    for (size_t t = 0; t < d; ++t) dst[t] = to_f32(sums.at(c, t)) * inv;
  }
}
template void set_cluster_means<float>(MatrixView<const float>, std::span<const uint64_t>, Matrix<float>&);
template void set_cluster_means<double>(MatrixView<const double>, std::span<const uint64_t>, Matrix<float>&);

EmptyClusterRepair plan_empty_cluster_repair(std::span<const uint64_t> counts, std::span<const float> distances,
                                             std::span<const size_t> labels, std::span<const uint64_t> rows) {
  EmptyClusterRepair plan;
  plan.clusters = empty_clusters<uint64_t>(counts);
  if (plan.clusters.empty()) return plan;
  const std::vector<size_t> picked =
      select_farthest_rows_with_spare(distances, labels, counts, plan.clusters.size(), rows);
  for (size_t p : picked) plan.rows.push_back(rows.empty() ? uint64_t(p) : rows[p]);
  plan.clusters.resize(plan.rows.size());
  return plan;
}

SummedUpdate update_centers_from_sums(MatrixView<const float> centers, MatrixView<const double> sums,
                                      VectorView<const uint64_t> counts, VectorView<const double> far_distances,
                                      VectorView<const uint64_t> far_labels, VectorView<const uint64_t> far_rows) {
  const size_t k = centers.rows, d = centers.cols, n = far_distances.size();
  if (sums.rows != k || sums.cols != d) {
    throw VantorixError::message("sums: expected " + std::to_string(k) + " x " + std::to_string(d) +
                                 " sums, one row per center, got " + std::to_string(sums.rows) + " x " +
                                 std::to_string(sums.cols));
  }
  if (counts.size() != k) {
    throw VantorixError::message("counts: expected " + std::to_string(k) + " counts, one per center, got " +
                                 std::to_string(counts.size()));
  }
  for (const auto& [name, len] : {std::pair{"far_labels", far_labels.size()}, std::pair{"far_rows", far_rows.size()}}) {
    if (len != n) {
      throw VantorixError::message(std::string(name) + ": expected " + std::to_string(n) +
                                   " entries, one per far_distances entry, got " + std::to_string(len));
    }
  }
  for (size_t i = 0; i < n; ++i) {
    if (far_labels[i] >= k) {
      throw VantorixError::message("far_labels: cluster " + std::to_string(far_labels[i]) + " is not below k (" +
                                   std::to_string(k) + ")");
    }
  }
  std::vector<uint64_t> counted(k);
  for (size_t c = 0; c < k; ++c) counted[c] = counts[c];
  // distances arrive widened to f64, as chunk summaries give them: narrowing gives them back
  std::vector<float> distances(n);
  std::vector<size_t> labels(n);
  std::vector<uint64_t> rows(n);
  for (size_t i = 0; i < n; ++i) {
    distances[i] = to_f32(far_distances[i]);
    labels[i] = size_t(far_labels[i]);
    rows[i] = far_rows[i];
  }
  SummedUpdate out{Matrix<float>::copy_named(centers, "centers"), {}};
  set_cluster_means(sums, counted, out.centers);
  out.repair = plan_empty_cluster_repair(counted, distances, labels, rows);
  return out;
}

void update_dense_centers(MatrixView<const float> data, std::span<const size_t> labels,
                          std::span<const float> distances, bool spherical, Matrix<float>& centers,
                          DenseUpdateScratch& scratch) {
  const size_t k = centers.rows, d = centers.cols;
  if (data.cols != d || labels.size() < data.rows || distances.size() < data.rows) {
    fatal("update_dense_centers: shapes disagree");
  }
  for (size_t r = 0; r < data.rows; ++r) {
    if (labels[r] >= k) fatal("update_dense_centers: label out of range");
  }
  accumulate_cluster_sums(data, labels, k, scratch);
  set_cluster_means(MatrixView<const float>(scratch.sums.data(), k, d), scratch.counts, centers);
  repair_empty_clusters(data, labels, distances, scratch.counts, centers);
  if (spherical) normalize_rows(centers);
}

void update_dense_centers_weighted(MatrixView<const float> data, std::span<const size_t> labels,
                                   std::span<const float> distances, std::span<const float> weights, bool spherical,
                                   Matrix<float>& centers) {
  const size_t k = centers.rows, d = centers.cols, rows = data.rows;
  if (data.cols != d || labels.size() < rows || distances.size() < rows || weights.size() < rows) {
    fatal("update_dense_centers_weighted: shapes disagree");
  }
  for (size_t r = 0; r < rows; ++r) {
    if (labels[r] >= k) fatal("update_dense_centers_weighted: label out of range");
  }
  struct Part {
    std::vector<float> sums;
    std::vector<double> weight;
    std::vector<uint64_t> count;
  };
  const size_t kd = checked_mul(k, d, "update buffer");
  const bool contiguous = data.is_c_contiguous();
  const auto parts = parallel_chunk_results<Part>(rows, kSmallBufferChunkRows, [&](size_t begin, size_t end) {
    Part p{std::vector<float>(kd, 0.0f), std::vector<double>(k, 0.0), std::vector<uint64_t>(k, 0)};
    std::vector<float> gathered(contiguous ? 0 : d);
    for (size_t r = begin; r < end; ++r) {
      const float w = weights[r];
      if (!(w > 0.0f)) continue;
      const size_t c = labels[r];
      std::span<const float> row;
      if (contiguous) {
        row = data.row(r);
      } else {
        for (size_t t = 0; t < d; ++t) gathered[t] = data.at(r, t);
        row = gathered;
      }
      add_scaled(std::span<float>(p.sums.data() + c * d, d), row, w);
      p.weight[c] += double(w);
      p.count[c] += 1;
    }
    return p;
  });
  std::vector<float> sums(kd, 0.0f);
  std::vector<double> weight(k, 0.0);
  std::vector<uint64_t> counts(k, 0);
  for (const Part& p : parts) {
    add_assign(sums, p.sums);
    for (size_t c = 0; c < k; ++c) {
      weight[c] += p.weight[c];
      counts[c] += p.count[c];
    }
  }
  for (size_t c = 0; c < k; ++c) {
    if (counts[c] == 0) continue;
    const float inv = 1.0f / float(weight[c]);
    const float* sum = sums.data() + c * d;
    float* dst = centers.row(c).data();
    for (size_t t = 0; t < d; ++t) dst[t] = sum[t] * inv;
  }
  // Rows of weight zero never re-seed a cluster: their distance is made non-finite here.
  std::vector<float> eligible(distances.begin(), distances.begin() + ptrdiff_t(rows));
  for (size_t r = 0; r < rows; ++r) {
    if (!(weights[r] > 0.0f)) eligible[r] = std::numeric_limits<float>::quiet_NaN();
  }
  repair_empty_clusters(data, labels, eligible, counts, centers);
  if (spherical) normalize_rows(centers);
}

}  // namespace vantorix
