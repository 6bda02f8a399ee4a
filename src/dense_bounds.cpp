#include "dense_bounds.hpp"

#include "dense_assign.hpp"

namespace vantorix {

DenseIterationAssign::DenseIterationAssign(MatrixView<const float>, const Matrix<float>&, bool spherical)
    : spherical_(spherical) {}

void DenseIterationAssign::assign(size_t, MatrixView<const float> data, const Matrix<float>& centers,
                                  const std::vector<float>* row_norms, std::span<size_t> labels,
                                  std::span<float> distances) {
  assign_dense_into(data, centers, row_norms, spherical_, labels, distances);
}

void DenseIterationAssign::after_update(const Matrix<float>&, const Matrix<float>&) {}

}  // namespace vantorix
