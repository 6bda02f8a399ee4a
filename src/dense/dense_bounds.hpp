#pragma once
// The per-iteration assignment of a dense fit: the exact assignment, Hamerly bounds or early
// abandon, chosen once per fit, so the fit loop never knows which one runs. Every strategy
// reports the exact squared distance of each row to its center, so the inertia history does not
// depend on the choice; labels only differ on exact ties (a row whose bounds prove its label
// keeps it even when another center is exactly as near).
#include <cstddef>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "dense/dense_screen.hpp"

namespace vantorix {

class DenseIterationAssign {
 public:
  enum class Mode { Exact, Hamerly, EarlyAbandon };

  // VANTORIX_DENSE_HAMERLY and VANTORIX_DENSE_EARLY_ABANDON (or VANTORIX_DENSE_ASSIGN_BOUND)
  // against the problem: Hamerly for 8 <= k (k < 25 in auto), Euclidean, rows*k*d >= 32e6;
  // otherwise early abandon for d >= 64, k >= 8, Euclidean (in auto only with the scalar kernels
  // and rows*k*d >= 64e6). Both need contiguous data.
  static Mode choose(size_t rows, size_t k, size_t d, bool spherical, bool contiguous);

  // `passes`: the assignments the fit expects to make (its iterations and the final one).
  DenseIterationAssign(MatrixView<const float> data, const Matrix<float>& centers, bool spherical, size_t passes = 1);

  Mode mode() const { return mode_; }
  // Whether after_update needs the centers from before the update.
  bool needs_previous_centers() const { return mode_ == Mode::Hamerly; }

  // Writes labels and exact distances for pass `iteration` (labels hold the previous pass).
  void assign(size_t iteration, MatrixView<const float> data, const Matrix<float>& centers,
              const std::vector<float>* row_norms, std::span<size_t> labels, std::span<float> distances);
  // The exact assignment (whatever the mode), as after the last update.
  void assign_exact(MatrixView<const float> data, const Matrix<float>& centers, const std::vector<float>* row_norms,
                    std::span<size_t> labels, std::span<float> distances);
  // After each center update (before: the centers the last assignment used).
  void after_update(const Matrix<float>& before, const Matrix<float>& after);

 private:
  void assign_hamerly(size_t iteration, MatrixView<const float> data, const Matrix<float>& centers,
                      std::span<size_t> labels, std::span<float> distances);
  void screen_pending(DenseScreen& screen, MatrixView<const float> data, std::span<const size_t> pending,
                      std::span<size_t> labels, std::span<float> distances);
  void assign_early_abandon(MatrixView<const float> data, const Matrix<float>& centers, std::span<size_t> labels,
                            std::span<float> distances);

  Mode mode_ = Mode::Exact;
  bool spherical_;
  // What the exact assignment's screen prepares of the rows, for the passes after the first.
  ScreenRows screen_rows_;
  // Hamerly state: Euclidean (not squared) bounds per row, per-center movement and separation.
  std::vector<float> upper_, lower_, half_min_, moves_;
  float max_move_ = 0.0f;
};

}  // namespace vantorix
