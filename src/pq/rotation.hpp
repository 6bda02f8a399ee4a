#pragma once
// The rotations of optimized product quantization: applied as GEMMs over fixed row chunks,
// learned as the orthogonal Procrustes solution through the SVD, and the rotated-batch memory
// budget. The two quantile initialisations of the subspace k-means live here too, for the SVD.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/matrix.hpp"

namespace vantorix {

// The transposed view of a matrix: swapped shape and strides, no copy. Rotating by
// transposed(R) applies R^T.
template <class T>
MatrixView<T> transposed(const MatrixView<T>& m) {
  return {m.data, m.cols, m.rows, m.col_stride, m.row_stride};
}

// The rows of a caller's matrix as the rotation GEMMs read them: the view itself when it is
// C-contiguous, else a C-contiguous copy. BLAS picks its kernels by operand layout (a
// column-major operand is read transposed) and those kernels round differently, so rotating this
// view gives every layout of the same values the same bits as the C-ordered array.
class RowMajorRows {
 public:
  explicit RowMajorRows(MatrixView<const float> rows);
  MatrixView<const float> view() const { return view_; }

 private:
  Matrix<float> copy_;
  MatrixView<const float> view_;
};

// rows (n x D, any strides) times rotation (D x D, any strides, e.g. a transposed view).
Matrix<float> apply_rotation(MatrixView<const float> rows, MatrixView<const float> rotation);
void apply_rotation_into(MatrixView<const float> rows, MatrixView<const float> rotation, Matrix<float>& out);
// Same, into borrowed storage (for example the first rows of a reused batch buffer).
void apply_rotation_into(MatrixView<const float> rows, MatrixView<const float> rotation, MatrixView<float> out);

// The orthogonal D x D matrix R minimising ||A R - B||_F.
Matrix<float> orthogonal_procrustes(MatrixView<const float> a, MatrixView<const float> b);

// VANTORIX_ROTATION_BATCH_MIB, read once; nullopt when unset, unparsable or zero.
std::optional<size_t> rotation_batch_mib();
std::optional<size_t> parse_rotation_batch_mib(const std::optional<std::string>& text);
// Rows per rotated batch for dimension `dim`: the budget (override or 32 MiB) over the row
// size, clamped to [256, 32768]; 256 when dim is 0.
size_t rotation_batch_rows(size_t dim);
size_t rotation_batch_rows_for(size_t dim, std::optional<size_t> budget_mib);

// k distinct rows spread over the quantiles of the highest-variance column.
std::vector<size_t> variance_quantile_indices(MatrixView<const float> data, size_t k);
// k distinct rows spread over the quantiles of the projection on the first principal axis.
std::vector<size_t> pca_quantile_indices(MatrixView<const float> data, size_t k);

}  // namespace vantorix
