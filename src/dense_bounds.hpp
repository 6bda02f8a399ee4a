#pragma once
// The per-iteration assignment of a dense fit. The plain exact assignment runs by default; the
// bounded accelerations plug in here, so the fit loop never knows which one ran.
#include <cstddef>
#include <span>
#include <vector>

#include "matrix.hpp"

namespace vantorix {

class DenseIterationAssign {
 public:
  enum class Mode { Exact, Hamerly, EarlyAbandon };

  // Chooses the strategy for one fit over data with these initial centers.
  DenseIterationAssign(MatrixView<const float> data, const Matrix<float>& centers, bool spherical);

  Mode mode() const { return mode_; }
  // Whether after_update needs the centers from before the update.
  bool needs_previous_centers() const { return mode_ == Mode::Hamerly; }

  // Writes labels and exact distances for iteration `iteration` (labels hold the previous pass).
  void assign(size_t iteration, MatrixView<const float> data, const Matrix<float>& centers,
              const std::vector<float>* row_norms, std::span<size_t> labels, std::span<float> distances);
  // After each center update (before: the centers the last assignment used).
  void after_update(const Matrix<float>& before, const Matrix<float>& after);

 private:
  Mode mode_ = Mode::Exact;
  bool spherical_;
};

}  // namespace vantorix
