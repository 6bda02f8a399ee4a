#pragma once
// Choosing the initial dense centers: the candidate sampling and the three methods (their names
// are shared with k-means over codes, in kmeans_common.hpp).
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/matrix.hpp"
#include "kmeans/kmeans_common.hpp"

namespace vantorix {

// The rows the distance-driven methods look at: a seeded sample whose size grows with k (the
// VANTORIX_DENSE_INIT_* variables, read on every call), never fewer than k, never more than rows.
std::vector<size_t> initialization_candidate_rows(size_t rows, size_t k, uint64_t seed);

// Candidates drawn per step by the greedy k-means++: 2 + floor(ln k), as scikit-learn draws.
size_t greedy_trials(size_t k);

// k distinct row indices of data in the order they were chosen. Needs 1 <= k <= data.rows.
// Throws "failed to choose an initial cluster center" when no usable candidate is left.
//
// With row weights (one per row, finite, non-negative; an extension), only rows of positive
// weight are candidates (k must not exceed their number): the candidate sample is drawn among
// them, the first center of the k-means++ methods is drawn in proportion to the weights, and
// later draws in proportion to weight x squared distance; Random samples uniformly among them.
std::vector<size_t> choose_initial_rows(MatrixView<const float> data, size_t k, uint64_t seed, InitMethod method,
                                        std::span<const float> row_weights = {});

}  // namespace vantorix
