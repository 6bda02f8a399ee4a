#pragma once
// Choosing the number of clusters for k-means over codes: fit every candidate k on one row
// sample, score each fit (BIC, Davies-Bouldin, centroid silhouette, elbow) and select one.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "codes/pqkmeans.hpp"
#include "core/matrix.hpp"

namespace vantorix {

enum class AutoKMethod : uint8_t { Bic = 0, DaviesBouldin = 1, CentroidSilhouette = 2, Elbow = 3 };

inline constexpr AutoKMethod kAutoKMethods[] = {AutoKMethod::Bic, AutoKMethod::DaviesBouldin,
                                                AutoKMethod::CentroidSilhouette, AutoKMethod::Elbow};

// Exact, case-sensitive: one of the four canonical names.
AutoKMethod parse_auto_k_method(std::string_view text);
const char* auto_k_method_name(AutoKMethod method);

struct AutoKAnalysis {
  std::vector<uint64_t> candidate_ks;
  std::vector<double> inertia;
  std::vector<double> bic;
  std::vector<double> davies_bouldin;
  std::vector<double> centroid_silhouette;
  std::vector<double> elbow;
  std::vector<uint64_t> min_cluster_size;
  std::vector<uint64_t> max_cluster_size;
  uint64_t sample_size = 0;

  // (position in candidate_ks, chosen k). Non-finite scores never win; without any finite
  // score the smallest finite inertia does, and without that the first candidate.
  std::pair<size_t, uint64_t> select(AutoKMethod method) const;
};

// The analysis's settings with their defaults (the Python signature shows these). Every
// candidate's fit runs with the first four (the seed offset by the candidate's position).
struct AutoKOptions {
  size_t iterations = 20;
  uint64_t seed = 0;
  bool verbose = false;
  uint64_t lookup_table_bytes = 1073741824;
  uint64_t sample_rows = 16384;
  AutoKMethod method = AutoKMethod::Bic;
};

AutoKAnalysis analyze_k_candidates(const Array3<float>& codewords, MatrixView<const uint8_t> codes,
                                   std::span<const uint64_t> candidate_ks, const AutoKOptions& options);
// Everything is checked before the codewords are copied.
AutoKAnalysis analyze_k_candidates(Array3View<const float> codewords, MatrixView<const uint8_t> codes,
                                   std::span<const uint64_t> candidate_ks, const AutoKOptions& options);

// Height of each (ln k, ln inertia) point below the chord between the first and the last
// candidate, in the plane normalised to the unit square; 0 at both ends and with fewer than 3.
std::vector<double> elbow_scores(std::span<const uint64_t> ks, std::span<const double> inertia);

}  // namespace vantorix
