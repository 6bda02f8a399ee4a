#pragma once
// Dense linear algebra of optimized product quantization: rotations applied as one GEMM, the
// orthogonal Procrustes solution through the SVD, and the rotated-batch memory budget.
#include <cstddef>
#include <optional>

#include "matrix.hpp"

namespace vantorix {

// The transposed view of a matrix: swapped shape and strides, no copy. Rotating by
// transposed(R) applies R^T.
template <class T>
MatrixView<T> transposed(const MatrixView<T>& m) {
  return {m.data, m.cols, m.rows, m.col_stride, m.row_stride};
}

// rows (n x D, any strides) times rotation (D x D, any strides, e.g. a transposed view).
Matrix<float> apply_rotation(MatrixView<const float> rows, MatrixView<const float> rotation);
void apply_rotation_into(MatrixView<const float> rows, MatrixView<const float> rotation, Matrix<float>& out);

// The orthogonal D x D matrix R minimising ||A R - B||_F.
Matrix<float> orthogonal_procrustes(MatrixView<const float> a, MatrixView<const float> b);

// VANTORIX_ROTATION_BATCH_MIB, read once; nullopt when unset, unparsable or zero.
std::optional<size_t> rotation_batch_mib();

}  // namespace vantorix
