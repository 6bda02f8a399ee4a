#include "dense/dense.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/error.hpp"
#include "core/interrupt.hpp"
#include "core/parallel.hpp"
#include "dense/dense_assign.hpp"
#include "dense/dense_bounds.hpp"
#include "dense/dense_update.hpp"
#include "kernels/simd.hpp"
#include "kmeans/kmeans_common.hpp"

namespace vantorix {

DenseKMeans::DenseKMeans(const DenseKMeansOptions& o)
    : k_(o.k), iterations_(o.iterations), seed_(o.seed), verbose_(o.verbose), early_stopping_(o.early_stopping),
      spherical_(o.spherical), init_(o.init) {
  if (k_ == 0) throw VantorixError::message("k must be greater than zero");
  if (iterations_ == 0) throw VantorixError::message("iterations must be greater than zero");
}

void DenseKMeans::fit(MatrixView<const float> data) { fit(data, DenseFitExtras{}); }

namespace {

// Checks the extras against the data (after the data's own checks); returns the weights as a
// contiguous copy (empty when unweighted).
std::vector<float> checked_weights(const DenseFitExtras& extras, size_t rows, size_t k) {
  std::vector<float> w;
  if (!extras.sample_weight) return w;
  const VectorView<const float>& v = *extras.sample_weight;
  if (v.len != rows) throw VantorixError::message("sample_weight length must match the number of rows");
  w.resize(rows);
  size_t positive = 0;
  for (size_t r = 0; r < rows; ++r) {
    w[r] = v[r];
    if (!std::isfinite(w[r]) || w[r] < 0.0f) throw VantorixError::message("sample_weight must be finite and non-negative");
    if (w[r] > 0.0f) ++positive;
  }
  if (positive == 0) throw VantorixError::message("sample_weight must have at least one positive value");
  if (k > positive) {
    throw VantorixError::message("k (" + std::to_string(k) + ") cannot exceed number of rows with positive weight (" +
                                 std::to_string(positive) + ")");
  }
  return w;
}

Matrix<float> checked_initial_centers(MatrixView<const float> c, size_t k, size_t d) {
  if (c.rows != k) throw VantorixError::message("expected " + std::to_string(k) + " centers, got " + std::to_string(c.rows));
  if (c.cols != d) {
    throw VantorixError::message("initial centers have " + std::to_string(c.cols) + " columns, data has " +
                                 std::to_string(d));
  }
  Matrix<float> out = Matrix<float>::copy_named(c, "initial centers");
  for (float v : out.values)
    if (!std::isfinite(v)) throw VantorixError::message("initial centers must be finite");
  return out;
}

// Mean over columns of each column's variance (f64, population variance), as scikit-learn
// scales its tolerance; weighted by the row weights when there are any, so weights still equal
// repeated rows and rows of weight zero count for nothing.
double mean_column_variance(MatrixView<const float> data, std::span<const float> weights) {
  const size_t rows = data.rows, d = data.cols;
  auto w = [&](size_t r) { return weights.empty() ? 1.0 : double(weights[r]); };
  std::vector<double> mean(d, 0.0), sq(d, 0.0);
  double total_weight = 0.0;
  for (size_t r = 0; r < rows; ++r) {
    total_weight += w(r);
    for (size_t t = 0; t < d; ++t) mean[t] += w(r) * double(data.at(r, t));
  }
  for (double& m : mean) m /= total_weight;
  for (size_t r = 0; r < rows; ++r) {
    if (w(r) == 0.0) continue;
    for (size_t t = 0; t < d; ++t) {
      const double e = double(data.at(r, t)) - mean[t];
      sq[t] += w(r) * e * e;
    }
  }
  double total = 0.0;
  for (double v : sq) total += v / total_weight;
  return total / double(d);
}

double weighted_mean_distance(std::span<const float> distances, std::span<const float> weights) {
  double num = 0.0, den = 0.0;
  for (size_t r = 0; r < distances.size(); ++r) {
    num += double(weights[r]) * double(distances[r]);
    den += double(weights[r]);
  }
  return num / den;
}

double squared_shift(const Matrix<float>& a, const Matrix<float>& b) {
  double total = 0.0;
  for (size_t i = 0; i < a.values.size(); ++i) {
    const double e = double(a.values[i]) - double(b.values[i]);
    total += e * e;
  }
  return total;
}

}  // namespace

void DenseKMeans::fit(MatrixView<const float> data, const DenseFitExtras& extras) {
  const size_t rows = data.rows, d = data.cols;
  if (rows == 0) throw VantorixError::message("data must have at least one row");
  if (d == 0) throw VantorixError::message("data must have at least one column");
  if (k_ > rows) {
    throw VantorixError::message("k (" + std::to_string(k_) + ") cannot exceed number of rows (" +
                                 std::to_string(rows) + ")");
  }
  const std::vector<float> weights = checked_weights(extras, rows, k_);
  const bool weighted = !weights.empty();

  Matrix<float> centers(k_, d);
  if (extras.initial_centers) {
    centers = checked_initial_centers(*extras.initial_centers, k_, d);
  } else {
    const std::vector<size_t> chosen = choose_initial_rows(data, k_, seed_, init_, weights);
    for (size_t j = 0; j < k_; ++j) {
      for (size_t c = 0; c < d; ++c) centers.at(j, c) = data.at(chosen[j], c);
    }
  }
  if (spherical_) normalize_rows(centers);
  const double shift_limit = extras.tol >= 0.0 ? extras.tol * mean_column_variance(data, weights) : -1.0;

  std::vector<size_t> labels(rows, 0);
  std::vector<float> distances(rows, 0.0f);
  std::vector<float> norms;
  const bool with_norms = !spherical_ && dense_blas_may_run(rows, k_, d, false);
  if (with_norms) norms = squared_row_norms(data);
  const std::vector<float>* row_norms = with_norms ? &norms : nullptr;
  auto mean_of = [&]() { return weighted ? weighted_mean_distance(distances, weights) : mean_distance(distances); };

  // Its passes and the final assignment, over which measuring the exact assignment's form pays.
  const size_t passes = std::max(iterations_, iterations_ + 1);
  DenseIterationAssign assigner(data, centers, spherical_, passes);
  DenseUpdateScratch scratch;
  Matrix<float> previous;
  // Grows with the passes actually run: with early stopping `iterations` may be any bound.
  std::vector<double> history;
  PassLoop loop;
  loop.iterations = iterations_;
  loop.progress_name = "dense";
  if (early_stopping_) loop.stopping = StoppingRule::RelativeChange;
  if (verbose_) loop.report = PassReport{.label = "dense_inertia", .spell_non_finite = true};
  run_passes(
      loop, history,
      [&](size_t it) {
        assigner.assign(it, data, centers, row_norms, labels, distances);
        return mean_of();
      },
      [&](size_t) {
        const bool keep_previous = assigner.needs_previous_centers() || shift_limit >= 0.0;
        if (keep_previous) previous = centers;
        if (weighted) {
          update_dense_centers_weighted(data, labels, distances, weights, spherical_, centers);
        } else {
          update_dense_centers(data, labels, distances, spherical_, centers, scratch);
        }
        if (assigner.needs_previous_centers()) assigner.after_update(previous, centers);
        return shift_limit >= 0.0 && squared_shift(previous, centers) <= shift_limit;
      });

  assigner.assign_exact(data, centers, row_norms, labels, distances);
  if (!history.empty()) history.back() = mean_of();

  centers_ = std::move(centers);
  labels_ = std::move(labels);
  inertia_history_ = std::move(history);
}

const Matrix<float>& DenseKMeans::centers_for(MatrixView<const float> data) const {
  if (!centers_) throw VantorixError::message("cluster centers are not initialized");
  if (data.cols != centers_->cols) {
    throw VantorixError::message("expected " + std::to_string(centers_->cols) + " columns, got " +
                                 std::to_string(data.cols));
  }
  return *centers_;
}

void DenseKMeans::assign(MatrixView<const float> data, std::vector<size_t>& labels,
                         std::vector<float>& distances) const {
  const Matrix<float>& centers = centers_for(data);
  labels.assign(data.rows, 0);
  distances.assign(data.rows, 0.0f);
  if (data.rows == 0) return;
  std::vector<float> norms;
  const bool with_norms = !spherical_ && dense_blas_may_run(data.rows, k_, centers.cols, false);
  if (with_norms) norms = squared_row_norms(data);
  assign_dense_into(data, centers, with_norms ? &norms : nullptr, spherical_, labels, distances);
}

std::vector<size_t> DenseKMeans::predict(MatrixView<const float> data) const {
  std::vector<size_t> labels;
  std::vector<float> distances;
  assign(data, labels, distances);
  return labels;
}

namespace {
// The hinted search keeps k sorted lists of the other centers: up to 32 MiB.
constexpr size_t kMaxHintedCenters = 2048;
}  // namespace

void DenseKMeans::assign_near_previous(MatrixView<const float> data, std::span<const uint32_t> previous,
                                       std::vector<size_t>& labels, std::vector<float>& distances) const {
  const Matrix<float>& centers = centers_for(data);
  const size_t k = centers.rows, d = centers.cols;
  labels.assign(data.rows, 0);
  distances.assign(data.rows, 0.0f);
  if (data.rows == 0) return;
  // A center j can be as near to x as center a only if |c_j - c_a| <= 2 |x - c_a|. So every
  // center keeps the others nearest first with their squared distances, and a row measures the
  // prefix of its previous center's list within that radius. Both sides come from the f32
  // kernel, whose relative error on a sum of d squares is below (d + 2) * 2^-24; the slack
  // covers four times that on each side, and the absolute term covers subnormal sums, so no
  // center that could win or tie is skipped. Centers that are not finite (or too far apart to
  // measure) leave every row to the full search.
  struct Neighbour {
    float distance;
    uint32_t index;
  };
  bool finite = true;
  for (float v : centers.values) finite = finite && std::isfinite(v);
  std::vector<Neighbour> near(finite ? k * (k - 1) : 0);
  if (finite) {
    parallel_chunks(k, 16, [&](size_t begin, size_t end) {
      for (size_t a = begin; a < end; ++a) {
        Neighbour* list = near.data() + a * (k - 1);
        size_t at = 0;
        for (size_t j = 0; j < k; ++j) {
          if (j != a) list[at++] = {l2_squared(centers.row(a), centers.row(j)), uint32_t(j)};
        }
        std::sort(list, list + (k - 1), [](const Neighbour& x, const Neighbour& y) { return x.distance < y.distance; });
      }
    });
  }
  for (const Neighbour& n : near) finite = finite && std::isfinite(n.distance);
  const float error = float(d + 2) * 0x1p-22f;
  const float slack = 4.0f * (1.0f + 8.0f * error);
  constexpr float kTiny = 1e-30f;
  parallel_chunks(data.rows, 512, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      const std::span<const float> x(data.data + ptrdiff_t(r) * data.row_stride, d);
      const size_t a = previous[r];
      float best = std::numeric_limits<float>::infinity();
      size_t found = 0;
      const float own = a < k ? l2_squared(x, centers.row(a)) : best;
      if (finite && std::isfinite(own)) {
        best = own;
        found = a;
        const float limit = own * slack + kTiny;
        const Neighbour* list = near.data() + a * (k - 1);
        for (size_t i = 0; i + 1 < k && list[i].distance <= limit; ++i) {
          const size_t j = list[i].index;
          const float v = l2_squared(x, centers.row(j));
          if (v < best || (v == best && j < found)) best = v, found = j;
        }
      } else {
        // no usable hint: every center, as the exact search does
        for (size_t j = 0; j < k; ++j) {
          const float v = l2_squared(x, centers.row(j));
          if (v < best) best = v, found = j;
        }
      }
      labels[r] = found;
      distances[r] = best;
    }
  });
}

DenseChunkSummary DenseKMeans::chunk_summary(MatrixView<const float> data, size_t farthest,
                                             std::optional<std::span<const uint32_t>> previous) const {
  DenseChunkSummary out;
  std::vector<size_t> labels;
  std::vector<float> distances;
  if (previous && previous->size() != data.rows) {
    throw VantorixError::message("labels: expected " + std::to_string(data.rows) + " labels, one per row, got " +
                                 std::to_string(previous->size()));
  }
  // the hinted search needs Euclidean geometry, contiguous rows and its k lists of neighbours
  if (previous && !spherical_ && data.is_c_contiguous() && k_ <= kMaxHintedCenters) {
    assign_near_previous(data, *previous, labels, distances);
  } else {
    assign(data, labels, distances);
  }
  const size_t d = centers_->cols;
  // float64 sums, so that how rows are split into chunks (and chunks into parts here) moves a
  // center by float64 rounding only. At most 16 parts, fixed by the row count: the sums do not
  // depend on the number of threads.
  const size_t part_rows = std::max<size_t>(4096, (data.rows + 15) / 16);
  const auto parts = parallel_chunk_results<std::vector<double>>(data.rows, part_rows, [&](size_t begin, size_t end) {
    std::vector<double> sums(k_ * d, 0.0);
    for (size_t r = begin; r < end; ++r) {
      double* dst = sums.data() + labels[r] * d;
      for (size_t t = 0; t < d; ++t) dst[t] += double(data.at(r, t));
    }
    return sums;
  });
  out.sums.assign(k_ * d, 0.0);
  for (const auto& part : parts) {
    for (size_t i = 0; i < part.size(); ++i) out.sums[i] += part[i];
  }
  out.counts.assign(k_, 0);
  for (size_t r = 0; r < data.rows; ++r) {
    ++out.counts[labels[r]];
    out.distance_sum += double(distances[r]);
  }
  // only rows with a finite distance may re-seed a cluster: the others would crowd them out
  out.far_rows = select_farthest_finite_rows(distances, farthest);
  for (size_t r : out.far_rows) {
    out.far_distances.push_back(distances[r]);
    out.far_labels.push_back(labels[r]);
  }
  out.labels = std::move(labels);
  return out;
}

namespace {
void check_center_shape(size_t k, size_t rows, size_t cols) {
  if (rows != k) throw VantorixError::message("expected " + std::to_string(k) + " centers, got " + std::to_string(rows));
  if (cols == 0) throw VantorixError::message("centers must have at least one column");
}
}  // namespace

void DenseKMeans::set_centers(Matrix<float> centers, bool normalize) {
  check_center_shape(k_, centers.rows, centers.cols);
  if (spherical_ && normalize) normalize_rows(centers);
  centers_ = std::move(centers);
}

void DenseKMeans::set_centers(MatrixView<const float> centers, bool normalize) {
  check_center_shape(k_, centers.rows, centers.cols);
  set_centers(Matrix<float>::copy_named(centers, "centers"), normalize);
}

}  // namespace vantorix
