#pragma once
// Nearest-center assignment of dense rows: the direct kernels and the blocked matrix product,
// chosen per call from the problem size and the VANTORIX_DENSE_* switches.
#include <cstddef>
#include <span>
#include <vector>

#include "core/matrix.hpp"

namespace vantorix {

// Whether the matrix-product assignment may run for this problem size and geometry.
bool dense_blas_may_run(size_t rows, size_t k, size_t d, bool cosine);

// Sum of squares of every row (f32, in column order).
std::vector<float> squared_row_norms(MatrixView<const float> data);
// Half the Euclidean distance from each center to its nearest other center; +inf when k = 1.
std::vector<float> center_half_min_distances(const Matrix<float>& centers);

// One label and one distance per row: squared L2 distance, or 1 - dot in cosine mode. Ties go
// to the lower center. row_norms (squared_row_norms of data) lets the Euclidean matrix product
// run; without them the direct path is taken.
void assign_dense_into(MatrixView<const float> data, const Matrix<float>& centers, const std::vector<float>* row_norms,
                       bool cosine, std::span<size_t> labels, std::span<float> distances);

// The direct path alone (rows in blocks of 512, any strides).
void assign_dense_direct_into(MatrixView<const float> data, const Matrix<float>& centers, bool cosine,
                              std::span<size_t> labels, std::span<float> distances);

}  // namespace vantorix
