#include "codes/autok.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "codes/pqkmeans.hpp"
#include "core/interrupt.hpp"
#include "core/parallel.hpp"
#include "core/rng.hpp"

namespace vantorix {

namespace {

constexpr uint64_t kSampleSeedMix = 0xA57A7E3DA11C0DE5ull;
constexpr size_t kSummaryChunkRows = 256;
// Bound of one candidate's folded center table (see evaluate_candidate).
constexpr size_t kFoldedTableBytes = size_t{16} << 20;
constexpr double kTiny = 1e-12;
constexpr double kTwoPi = 6.283185307179586;

struct CandidateMetrics {
  double inertia = 0.0;
  double bic = 0.0;
  double davies_bouldin = 0.0;
  double centroid_silhouette = 0.0;
  uint64_t min_cluster_size = 0;
  uint64_t max_cluster_size = 0;
};

// The rows to analyse, owned. Unsampled input keeps its memory order (column-major stays
// column-major, and the fits then reject it like they reject the caller's matrix).
struct Sample {
  std::vector<uint8_t> values;
  MatrixView<const uint8_t> view;
};

Sample draw_sample(MatrixView<const uint8_t> codes, uint64_t sample_rows, uint64_t seed) {
  Sample s;
  const size_t rows = codes.rows, cols = codes.cols;
  const bool sampled = sample_rows > 0 && rows > sample_rows;
  s.values.resize(checked_mul(sampled ? size_t(sample_rows) : rows, cols, "sample size"));
  if (sampled) {
    SeededRng rng(seed ^ kSampleSeedMix);
    auto picked = sample_indices(rng, rows, size_t(sample_rows));
    std::sort(picked.begin(), picked.end());
    for (size_t i = 0; i < picked.size(); ++i)
      for (size_t c = 0; c < cols; ++c) s.values[i * cols + c] = codes.at(picked[i], c);
    s.view = {s.values.data(), picked.size(), cols};
    return s;
  }
  const bool c_order = codes.is_c_contiguous();
  const bool f_order = !c_order && (codes.row_stride == 1 || rows == 1) &&
                       (codes.col_stride == ptrdiff_t(rows) || cols == 1);
  if (f_order) {
    for (size_t c = 0; c < cols; ++c)
      for (size_t r = 0; r < rows; ++r) s.values[c * rows + r] = codes.at(r, c);
    s.view = {s.values.data(), rows, cols, 1, ptrdiff_t(rows)};
  } else {
    for (size_t r = 0; r < rows; ++r)
      for (size_t c = 0; c < cols; ++c) s.values[r * cols + c] = codes.at(r, c);
    s.view = {s.values.data(), rows, cols};
  }
  return s;
}

CandidateMetrics evaluate_candidate(const Array3<float>& codewords, const CodewordDistances& table,
                                    MatrixView<const uint8_t> sample, size_t k, size_t position,
                                    const AutoKOptions& options) {
  const PqKMeansOptions o{.k = k,
                          .iterations = options.iterations,
                          .seed = options.seed + uint64_t(position),
                          .verbose = options.verbose,
                          .lookup_table_bytes = options.lookup_table_bytes,
                          .init = InitMethod::FarthestFirst};
  PqKMeans model = PqKMeans::with_codeword_distances_and_options(codewords, table, std::nullopt, o);
  {
    // The analysis reports candidates, not the passes of their fits.
    const ProgressMute mute;
    model.fit(sample);
  }
  if (!model.cluster_centers()) throw VantorixError::message("cluster centers are not initialized");
  const Matrix<uint8_t>& centers = *model.cluster_centers();

  const size_t n = sample.rows, m_count = model.num_subquantizers(), ks = model.codebook_size();
  const float* d = table->data();
  // T[m][j][c]: codeword j of subspace m against every center, so a row costs M additions of
  // k-long slices. T is built for one block of centers at a time and the best and second
  // distances carried across blocks: the scan still visits c = 0..k-1 in order with the same
  // sums, while T stays within kFoldedTableBytes however large M, Ks and k are.
  const size_t block = std::clamp<size_t>(kFoldedTableBytes / (m_count * ks * sizeof(float)), 1, k);
  std::vector<float> folded(m_count * ks * block);
  std::vector<NearestTwo> nearest(n, kNothingNearYet);
  for (size_t first = 0; first < k; first += block) {
    const size_t width = std::min(block, k - first);
    parallel_chunks(m_count * ks, 16, [&](size_t begin, size_t end) {
      for (size_t r = begin; r < end; ++r) {
        const size_t m = r / ks;
        for (size_t c = 0; c < width; ++c) folded[r * width + c] = d[r * ks + centers.at(first + c, m)];
      }
    });
    parallel_chunks(n, kSummaryChunkRows, [&](size_t begin, size_t end) {
      std::vector<float> sums(width);
      for (size_t i = begin; i < end; ++i) {
        const uint8_t* row = sample.data + i * m_count;
        std::copy_n(folded.data() + size_t(row[0]) * width, width, sums.data());
        for (size_t m = 1; m < m_count; ++m) {
          const float* slice = folded.data() + (m * ks + row[m]) * width;
          for (size_t c = 0; c < width; ++c) sums[c] = sums[c] + slice[c];
        }
        nearest_two_continue(nearest[i], sums.data(), width, first);
      }
    });
  }

  CandidateMetrics out;
  std::vector<uint64_t> counts(k, 0);
  std::vector<double> cluster_sums(k, 0.0);
  double total = 0.0;
  for (size_t i = 0; i < n; ++i) {
    ++counts[nearest[i].index];
    cluster_sums[nearest[i].index] += double(nearest[i].best);
    total += double(nearest[i].best);
  }
  out.min_cluster_size = *std::min_element(counts.begin(), counts.end());
  out.max_cluster_size = *std::max_element(counts.begin(), counts.end());
  out.inertia = total / double(n);

  const uint64_t dims = m_count * model.subspace_dim();
  const uint64_t free_rows = n > k ? n - k : 0;
  const double sigma2 = std::fmax(total / double(dims * std::max<uint64_t>(free_rows, 1)), kTiny);
  const double log_likelihood =
      (double(n) * -0.5) * double(dims) * std::log(kTwoPi * sigma2) + (total * -0.5) / sigma2;
  const double penalty = (-0.5 * double(k * dims + k)) * std::log(double(std::max<size_t>(n, 2)));
  out.bic = log_likelihood + penalty;

  if (k < 2) {
    out.davies_bouldin = std::numeric_limits<double>::quiet_NaN();
  } else {
    std::vector<size_t> live;
    std::vector<double> scatter(k, 0.0);
    for (size_t c = 0; c < k; ++c) {
      if (counts[c] == 0) continue;
      live.push_back(c);
      scatter[c] = std::sqrt(cluster_sums[c] / double(counts[c]));
    }
    double ratio_sum = 0.0;
    for (size_t i : live) {
      double worst = 0.0;
      for (size_t j : live) {
        if (j == i) continue;
        double sq = 0.0;
        for (size_t m = 0; m < m_count; ++m) sq += double(d[(m * ks + centers.at(i, m)) * ks + centers.at(j, m)]);
        worst = std::fmax(worst, (scatter[i] + scatter[j]) / std::fmax(std::sqrt(sq), kTiny));
      }
      ratio_sum += worst;
    }
    out.davies_bouldin = live.empty() ? std::numeric_limits<double>::quiet_NaN() : ratio_sum / double(live.size());
  }

  double silhouette = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double a = std::sqrt(double(nearest[i].best)), b = std::sqrt(double(nearest[i].second));
    if (std::isfinite(a) && std::isfinite(b)) silhouette += (b - a) / std::fmax(std::fmax(a, b), kTiny);
  }
  out.centroid_silhouette = silhouette / double(n);
  return out;
}

// Bytes of the center lookup table a candidate's fit builds per pass (0 when it goes without).
size_t lookup_table_size(size_t m_count, size_t ks, size_t k, const AutoKOptions& options) {
  const size_t bytes = saturating_mul(saturating_mul(saturating_mul(m_count, ks), k), sizeof(float));
  return bytes <= options.lookup_table_bytes ? bytes : 0;
}

}  // namespace

AutoKMethod parse_auto_k_method(std::string_view text) {
  for (AutoKMethod method : kAutoKMethods)
    if (text == auto_k_method_name(method)) return method;
  throw VantorixError::message("unsupported auto_k_method '" + escaped(text) +
                               "'; expected one of bic, davies_bouldin, centroid_silhouette, elbow");
}

const char* auto_k_method_name(AutoKMethod method) {
  switch (method) {
    case AutoKMethod::Bic: return "bic";
    case AutoKMethod::DaviesBouldin: return "davies_bouldin";
    case AutoKMethod::CentroidSilhouette: return "centroid_silhouette";
    case AutoKMethod::Elbow: return "elbow";
  }
  fatal("unknown auto_k_method");
}

std::pair<size_t, uint64_t> AutoKAnalysis::select(AutoKMethod method) const {
  if (candidate_ks.empty()) throw VantorixError::message("candidate_ks must not be empty");
  // larger: ties go to the later position; smaller: to the earlier one.
  auto pick = [](const std::vector<double>& values, bool larger) -> std::optional<size_t> {
    std::optional<size_t> chosen;
    for (size_t i = 0; i < values.size(); ++i) {
      if (!std::isfinite(values[i])) continue;
      if (!chosen) {
        chosen = i;
        continue;
      }
      const int64_t key = total_order_key(values[i]), held = total_order_key(values[*chosen]);
      if (larger ? key >= held : key < held) chosen = i;
    }
    return chosen;
  };
  const std::vector<double>* values = nullptr;
  switch (method) {
    case AutoKMethod::Bic: values = &bic; break;
    case AutoKMethod::DaviesBouldin: values = &davies_bouldin; break;
    case AutoKMethod::CentroidSilhouette: values = &centroid_silhouette; break;
    case AutoKMethod::Elbow: values = &elbow; break;
  }
  auto chosen = pick(*values, method != AutoKMethod::DaviesBouldin);
  if (!chosen) chosen = pick(inertia, false);
  const size_t position = chosen.value_or(0);
  return {position, candidate_ks[position]};
}

std::vector<double> elbow_scores(std::span<const uint64_t> ks, std::span<const double> inertia) {
  const size_t c = ks.size();
  std::vector<double> out(c, 0.0);
  if (c < 3) return out;
  std::vector<double> x(c), y(c);
  double y_min = std::numeric_limits<double>::infinity(), y_max = -std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < c; ++i) {
    x[i] = std::log(double(ks[i]));
    // A NaN inertia stays NaN: it takes no part in the range and scores 0.
    y[i] = std::isnan(inertia[i]) ? inertia[i] : std::log(std::max(inertia[i], kTiny));
    y_min = std::fmin(y_min, y[i]);
    y_max = std::fmax(y_max, y[i]);
  }
  const double rx = std::fmax(x[c - 1] - x[0], kTiny), ry = std::fmax(y_max - y_min, kTiny);
  for (size_t i = 1; i + 1 < c; ++i) out[i] = std::fmax((1.0 - (x[i] - x[0]) / rx) - (y[i] - y_min) / ry, 0.0);
  return out;
}

AutoKAnalysis analyze_k_candidates(const Array3<float>& codewords, MatrixView<const uint8_t> codes,
                                   std::span<const uint64_t> candidate_ks, const AutoKOptions& options) {
  const Array3View<const float> view{codewords.data(), codewords.dim0, codewords.dim1, codewords.dim2,
                                     ptrdiff_t(codewords.dim1 * codewords.dim2), ptrdiff_t(codewords.dim2), 1};
  return analyze_k_candidates(view, codes, candidate_ks, options);
}

AutoKAnalysis analyze_k_candidates(Array3View<const float> codewords_view, MatrixView<const uint8_t> codes,
                                   std::span<const uint64_t> candidate_ks, const AutoKOptions& options) {
  if (options.iterations == 0) throw VantorixError::message("iterations must be greater than zero");
  if (codes.rows == 0) throw VantorixError::message("codes must contain at least one row");
  const Sample sample = draw_sample(codes, options.sample_rows, options.seed);
  const size_t n = sample.view.rows;

  std::vector<uint64_t> ks;
  for (uint64_t k : candidate_ks)
    if (k >= 1 && k <= n) ks.push_back(k);
  std::sort(ks.begin(), ks.end());
  ks.erase(std::unique(ks.begin(), ks.end()), ks.end());
  if (ks.empty()) {
    throw VantorixError::message("candidate_ks must contain at least one value between 1 and the sampled row count");
  }
  if (codewords_view.dim0 == 0 || codewords_view.dim1 == 0 || codewords_view.dim2 == 0) {
    throw VantorixError::message("codewords must have shape (M, Ks, Ds)");
  }
  // The models would refuse it anyway; refusing first avoids building a Ks^2 table (and a copy)
  // for nothing.
  if (codewords_view.dim1 > 256) throw VantorixError::message("codebook_size above 256 is not supported");
  // Every model checks this first; checking it here avoids copying codewords that cannot match.
  if (codes.cols != codewords_view.dim0) throw VantorixError::message("code dimensionality does not match codewords");
  // Every row, not only the sampled ones: whether a bad code is noticed must not depend on the seed.
  check_code_range(codes, codewords_view.dim1, "codes");
  const Array3<float> codewords = codewords_view.copy_named("codewords");
  const CodewordDistances table = std::make_shared<const std::vector<float>>(compute_codeword_distances(codewords));

  // Candidates run in groups: at most one per pool thread (a thread waiting inside one fit may
  // otherwise start another candidate and hold its buffers too), and together within one
  // lookup_table_bytes of center lookup tables. A candidate's result does not depend on its group.
  // An exception in one candidate cancels the candidates not yet started and reaches the caller.
  std::vector<CandidateMetrics> metrics(ks.size());
  const size_t group_limit = std::max<size_t>(num_threads(), 1);
  for (size_t first = 0; first < ks.size();) {
    size_t last = first, table_bytes = 0;
    while (last < ks.size() && last - first < group_limit) {
      const size_t bytes = lookup_table_size(codewords.dim0, codewords.dim1, size_t(ks[last]), options);
      if (last > first && bytes > options.lookup_table_bytes - table_bytes) break;
      table_bytes += bytes;
      ++last;
    }
    parallel_for_each(last - first, [&](size_t i) {
      metrics[first + i] = evaluate_candidate(codewords, table, sample.view, size_t(ks[first + i]), first + i, options);
    });
    for (size_t i = first; i < last; ++i) report_progress("analysis", i, metrics[i].inertia);
    first = last;
  }

  AutoKAnalysis out;
  out.sample_size = n;
  for (const CandidateMetrics& m : metrics) {
    out.inertia.push_back(m.inertia);
    out.bic.push_back(m.bic);
    out.davies_bouldin.push_back(m.davies_bouldin);
    out.centroid_silhouette.push_back(m.centroid_silhouette);
    out.min_cluster_size.push_back(m.min_cluster_size);
    out.max_cluster_size.push_back(m.max_cluster_size);
  }
  out.elbow = elbow_scores(ks, out.inertia);
  out.candidate_ks = std::move(ks);
  return out;
}

}  // namespace vantorix
