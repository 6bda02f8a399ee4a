#pragma once
// Wide forms of the nearest-center kernels for the dense fit. Centers are packed four to a
// 16-float register (each center's 4-lane block side by side), so one wide operation advances
// four centers' accumulators at once. Every center's value is the same chain of operations as in
// nearest_l2_center / nearest_dot_center (4 lane sums, sequential lane reduction, tail in index
// order): results are bit-identical, only faster.
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/matrix.hpp"

namespace vantorix {

struct PackedCenters {
  size_t k = 0, d = 0;
  size_t blocks = 0;  // d / 4
  size_t groups = 0;  // ceil(k / 4)
  std::vector<float> lanes;  // [group][block][4 centers x 4 lanes], missing centers zero
  const float* rows = nullptr;  // the row-major k x d source (tail dimensions), borrowed

  explicit PackedCenters(const Matrix<float>& centers);
};

// The first index of the smallest (largest) of k values and that value, a NaN never winning:
// the strict scan from (0, +inf) (or (0, -inf)).
std::pair<size_t, float> best_of_values(const float* values, size_t k, bool largest);

// Squared distance (or dot product) of q to every center: out has at least 4 * groups entries.
void packed_l2_all(const float* q, const PackedCenters& p, float* out);
void packed_dot_all(const float* q, const PackedCenters& p, float* out);
// count (1, 2 or 4) rows at once: row i's distances at scratch + i * 4 * groups.
void packed_l2_all_rows(const float* const* q, size_t count, const PackedCenters& p, float* scratch);

// As nearest_l2_center / nearest_dot_center (ties to the lower index, NaN never wins); scratch
// holds at least 4 * groups floats.
std::pair<size_t, float> packed_nearest_l2(const float* q, const PackedCenters& p, float* scratch);
std::pair<size_t, float> packed_nearest_dot(const float* q, const PackedCenters& p, float* scratch);

// Rows per pass that measured fastest for this shape: 4 for rows of 256 dimensions or more
// (long rows amortise the extra accumulators), otherwise 1 for up to 16 centers and 2 beyond.
size_t packed_rows_per_pass(const PackedCenters& p);
// count (1, 2 or 4) rows at once, each packed center load shared by all of them; scratch holds
// count * 4 * groups floats.
void packed_nearest_rows(const float* const* rows, size_t count, const PackedCenters& p, bool dot, float* scratch,
                         std::pair<size_t, float>* out);

}  // namespace vantorix
