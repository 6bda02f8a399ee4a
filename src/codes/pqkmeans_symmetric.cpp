// The symmetric fit: rows and centers are both codes, distances are sums of codeword-to-codeword
// table entries, and the update votes the best codeword of every subspace.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>

#include "codes/pqkmeans.hpp"
#include "core/env.hpp"
#include "core/parallel.hpp"
#include "core/stats.hpp"
#include "kernels/simd.hpp"

namespace vantorix {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kVoteChunkCenters = 4;

double seconds(PqFitProfile::Duration d) {
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(d);
  return double(whole.count()) + double((d - whole).count()) / 1e9;
}

void write_profile(const PqFitProfile& p, size_t rows, size_t k, size_t passes) {
  std::fprintf(stderr,
               "vantorix_profile rows=%zu k=%zu iterations=%zu init_s=%.6f assign_total_s=%.6f "
               "assign_build_lookup_s=%.6f assign_eval_s=%.6f update_total_s=%.6f update_counts_s=%.6f "
               "update_vote_s=%.6f update_reseed_s=%.6f\n",
               rows, k, passes, seconds(p.init), seconds(p.assign_total), seconds(p.assign_build_lookup),
               seconds(p.assign_eval), seconds(p.update_total), seconds(p.update_counts), seconds(p.update_vote),
               seconds(p.update_reseed));
}

// The vote of one center: per subspace m, the codeword with the smallest summed distance to its
// members' codewords, from how often each codeword occurs there (counts[m * ks + t]); ties go to
// the lower codeword. cost holds ks floats of scratch.
template <class Count>
void vote_center(const float* table, const Count* counts, size_t m_count, size_t ks, std::vector<float>& cost,
                 uint8_t* out) {
  for (size_t m = 0; m < m_count; ++m) {
    std::fill(cost.begin(), cost.end(), 0.0f);
    for (size_t t = 0; t < ks; ++t) {
      const Count n_t = counts[m * ks + t];
      if (n_t > 0) add_scaled(cost, {table + (m * ks + t) * ks, ks}, float(n_t));
    }
    float best = std::numeric_limits<float>::infinity();
    size_t best_u = 0;
    for (size_t u = 0; u < ks; ++u) {
      if (cost[u] < best) {
        best = cost[u];
        best_u = u;
      }
    }
    out[m] = uint8_t(best_u);
  }
}

// Each center takes, per subspace, the codeword with the smallest summed distance to its
// members' codewords. Members are first reduced to per-subspace histograms, so the cost is
// M*Ks^2 per center at most, whatever the cluster size.
void vote_code_centers(const PqKMeans& model, MatrixView<const uint8_t> codes, AssignmentBuffers& buffers,
                       Matrix<uint8_t>& centers) {
  const size_t k = model.k(), m_count = model.num_subquantizers(), ks = model.codebook_size();
  const float* table = model.codeword_distances()->data();
  const auto start = Clock::now();
  buffers.buckets.build(buffers.labels, k);
  const auto counted = Clock::now();

  parallel_chunks(k, kVoteChunkCenters, [&](size_t begin, size_t end) {
    std::vector<uint32_t> counts(m_count * ks, 0);
    std::vector<float> cost(ks, 0.0f);
    for (size_t j = begin; j < end; ++j) {
      const auto members = buffers.buckets.members(j);
      if (members.empty()) continue;
      std::fill(counts.begin(), counts.end(), 0u);
      for (size_t r : members) {
        const uint8_t* row = codes.data + r * m_count;
        for (size_t m = 0; m < m_count; ++m) ++counts[m * ks + row[m]];
      }
      vote_center(table, counts.data(), m_count, ks, cost, centers.row(j).data());
    }
  });
  const auto voted = Clock::now();

  const std::vector<size_t> empty = empty_clusters<size_t>(buffers.buckets.counts);
  reseed_empty_clusters(empty, buffers.distances, [&](size_t j, size_t r) {
    std::copy_n(codes.data + r * m_count, m_count, centers.row(j).data());
  });
  if (FitStats* stats = active_stats()) {
    PqFitProfile& profile = stats->code_fit;
    const auto done = Clock::now();
    profile.update_counts += counted - start;
    profile.update_vote += voted - counted;
    if (!empty.empty()) profile.update_reseed += done - voted;
    profile.update_total += done - start;
  }
}

}  // namespace

Matrix<uint8_t> PqKMeans::vote_from_histogram(VectorView<const uint64_t> histogram) const {
  if (!cluster_centers_) throw VantorixError::message("cluster centers are not initialized");
  const size_t k = this->k(), m_count = m_, ks = ks_;
  const size_t per_center = m_count * ks;
  if (histogram.size() / per_center != k || histogram.size() % per_center != 0) {
    throw VantorixError::message("histogram: expected " + std::to_string(k * per_center) + " counts (k * M * Ks), got " +
                                 std::to_string(histogram.size()));
  }
  Matrix<uint8_t> out = *cluster_centers_;
  const float* table = distances_->data();
  parallel_chunks(k, kVoteChunkCenters, [&](size_t begin, size_t end) {
    std::vector<float> cost(ks, 0.0f);
    std::vector<uint64_t> counts(per_center);  // this center's cells, whatever the stride
    for (size_t j = begin; j < end; ++j) {
      for (size_t i = 0; i < per_center; ++i) counts[i] = histogram[j * per_center + i];
      // every member counts once in each subspace: none in the first means no members, and the
      // cluster keeps its codes (its repair is the caller's)
      if (std::all_of(counts.begin(), counts.begin() + ptrdiff_t(ks), [](uint64_t n) { return n == 0; })) continue;
      vote_center(table, counts.data(), m_count, ks, cost, out.row(j).data());
    }
  });
  return out;
}

void PqKMeans::assign_codes_into(MatrixView<const uint8_t> codes, MatrixView<const uint8_t> centers,
                                 const PackedPq4Codes* packed, AssignmentBuffers& buffers) const {
  if (!codes.is_c_contiguous()) throw VantorixError::message("code matrix must be C-contiguous");
  if (!centers.is_c_contiguous()) throw VantorixError::message("cluster centers must be C-contiguous");
  const size_t n = codes.rows, k = centers.rows, m_count = m_, ks = ks_;
  buffers.resize(n);
  const float* table = distances_->data();
  const auto start = Clock::now();

  const bool use_lookup = lookup_fits_budget();
  if (use_lookup) {
    // Row (m, t) of the lookup holds the distance of codeword t to every center's codeword m.
    buffers.lookup.resize(m_count * ks * k);
    float* lookup = buffers.lookup.data();
    parallel_chunks(m_count * ks, kLookupChunkRows, [&](size_t begin, size_t end) {
      for (size_t r = begin; r < end; ++r) {
        const size_t m = r / ks;
        const float* source = table + r * ks;
        float* out = lookup + r * k;
        for (size_t j = 0; j < k; ++j) out[j] = source[centers.data[j * m_count + m]];
      }
    });
  }
  const auto built = Clock::now();

  size_t* labels = buffers.labels.data();
  float* distances = buffers.distances.data();
  if (use_lookup) {
    assign_through_lookup(codes, packed, ks, k, buffers);
  } else {
    assign_direct(codes, k, labels, distances, [&](const uint8_t* row, size_t j) {
      const uint8_t* center = centers.data + j * m_count;
      float d = 0.0f;
      for (size_t m = 0; m < m_count; ++m) d = d + table[(m * ks + row[m]) * ks + center[m]];
      return d;
    });
  }
  if (FitStats* stats = active_stats()) {
    PqFitProfile& profile = stats->code_fit;
    const auto done = Clock::now();
    profile.assign_build_lookup += built - start;
    profile.assign_eval += done - built;
    profile.assign_total += done - start;
  }
}

void PqKMeans::fit(MatrixView<const uint8_t> codes) {
  validate_codes(codes, true);
  // VANTORIX_PROFILE_CLUSTER (read once per fit) asks for the profile line: the fit keeps its own
  // record then, whatever record the caller keeps.
  FitStats own;
  std::optional<StatsScope> profiling;
  if (env_present(EnvSwitch::ProfileCluster)) profiling.emplace(own);
  const auto start = Clock::now();
  const size_t n = codes.rows, k = options_.k;

  const auto packed = pack_pq4_codes(codes);
  const auto initial = initialize_center_indices(codes, packed ? &*packed : nullptr);
  Matrix<uint8_t> centers(k, m_);
  for (size_t j = 0; j < k; ++j) std::copy_n(codes.data + initial[j] * m_, m_, centers.row(j).data());
  if (FitStats* stats = active_stats()) stats->code_fit.init += Clock::now() - start;

  std::vector<double> history;
  AssignmentBuffers buffers(n);
  run_passes(
      code_fit_loop(options_, "inertia", "symmetric"), history,
      [&](size_t) {
        assign_codes_into(codes, centers.view(), packed ? &*packed : nullptr, buffers);
        return mean_distance(buffers.distances);
      },
      [&](size_t) { vote_code_centers(*this, codes, buffers, centers); });

  labels_ = std::move(buffers).into_labels();
  inertia_history_ = std::move(history);
  cluster_centers_ = std::move(centers);
  dense_cluster_centers_.reset();
  if (profiling) write_profile(own.code_fit, n, k, inertia_history_.size());
}

AssignmentBuffers PqKMeans::assign_to_centers(MatrixView<const uint8_t> codes) const {
  if (codes.cols != m_) throw VantorixError::message("code dimensionality does not match codewords");
  if (!cluster_centers_) throw VantorixError::message("cluster centers are not initialized");
  if (!codes.is_c_contiguous()) throw VantorixError::message("code matrix must be C-contiguous");
  check_code_range(codes, "codes");
  const auto packed = pack_pq4_codes(codes);
  AssignmentBuffers buffers(codes.rows);
  assign_codes_into(codes, cluster_centers_->view(), packed ? &*packed : nullptr, buffers);
  return buffers;
}

CodeChunkSummary PqKMeans::chunk_summary(MatrixView<const uint8_t> codes, size_t farthest) const {
  const AssignmentBuffers buffers = assign_to_centers(codes);
  CodeChunkSummary out;
  const size_t k_ = k(), ks = ks_, cells = k_ * m_ * ks;
  out.counts.assign(k_, 0);
  out.sparse = cells / 4 > codes.rows * m_;
  std::vector<uint64_t> ids;
  if (out.sparse) {
    ids.reserve(codes.rows * m_);
  } else {
    out.histogram.assign(cells, 0);
  }
  for (size_t r = 0; r < codes.rows; ++r) {
    const size_t j = buffers.labels[r];
    const uint8_t* row = codes.data + r * m_;
    ++out.counts[j];
    out.distance_sum += double(buffers.distances[r]);
    for (size_t m = 0; m < m_; ++m) {
      const uint64_t cell = (j * m_ + m) * ks + row[m];
      if (out.sparse) {
        ids.push_back(cell);
      } else {
        ++out.histogram[cell];
      }
    }
  }
  if (out.sparse) {
    std::sort(ids.begin(), ids.end());
    for (size_t i = 0; i < ids.size(); ++i) {
      if (i == 0 || ids[i] != ids[i - 1]) {
        out.cells.push_back(ids[i]);
        out.cell_counts.push_back(0);
      }
      ++out.cell_counts.back();
    }
  }
  out.far_rows = select_farthest_rows(std::span<const float>(buffers.distances.data(), codes.rows), farthest);
  for (size_t r : out.far_rows) {
    out.far_distances.push_back(buffers.distances[r]);
    out.far_labels.push_back(buffers.labels[r]);
  }
  return out;
}

std::vector<size_t> PqKMeans::predict(MatrixView<const uint8_t> codes) const {
  return assign_to_centers(codes).into_labels();
}

}  // namespace vantorix
