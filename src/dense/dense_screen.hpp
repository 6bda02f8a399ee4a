#pragma once
// Nearest centers at matrix-product speed with the direct kernels' exact answers.
//
// One matrix product of a block of rows with the centers estimates every distance
// (|x|^2 + |c|^2 - 2 x.c, or x.c in cosine mode). A rigorous bound on the rounding of that
// estimate and of the direct kernel itself rules out every center that cannot be the direct
// kernel's answer; the direct kernel then measures the centers that remain (almost always just
// one). Labels and distances are bit-identical to nearest_l2_center / nearest_dot_center:
// first strict minimum, NaN never wins, distance 1 - dot in cosine mode. Rows or centers the
// bound cannot cover (non-finite values, norms beyond 2^61) are measured against every center.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "core/parallel.hpp"
#include "core/stats.hpp"

namespace vantorix {

// False when VANTORIX_DENSE_ASSIGN names a direct path (row, rows, manual, scalar).
bool dense_blas_enabled();

// Whether the bound covers centers of d dimensions (and k fits the product's int sizes).
bool dense_screen_covers(size_t k, size_t d);

// Screening state of one set of centers: their squared norms and norms, which centers the bound
// covers, and per-worker product buffers. What the screening does is counted into the FitStats
// of the thread that builds it (core/stats.hpp), if that thread has one.
class DenseScreen {
 public:
  DenseScreen(const Matrix<float>& centers, bool cosine);

  // Rows per call of nearest(): products of at most about 1 MiB per worker.
  size_t block_rows() const { return block_rows_; }
  static size_t block_rows_for(size_t k);

  // The nearest center of each of `count` <= block_rows() rows, stored row-major with `stride`
  // floats between rows: labels[i], distances[i] (squared L2, or 1 - dot), and, when `second`
  // is given (Euclidean only), the second-smallest squared distance over all centers (+inf for
  // k = 1), as a full scan keeping the two smallest values would find it.
  void nearest(const float* rows, size_t count, size_t stride, size_t* labels, float* distances,
               float* second);

 private:
  struct Scratch {
    std::vector<float> products;
    std::vector<size_t> kept, candidates;  // kept and ends: k entries, written by index
    std::vector<float> values, ends;
  };
  // The centers a row keeps (into scratch.candidates), from its products p (overwritten).
  void collect_distances(float* p, float xn, float xr, bool two, Scratch& scratch) const;
  void collect_dots(const float* p, float xr, Scratch& scratch) const;

  const Matrix<float>& centers_;
  bool cosine_;
  FitStats* stats_;
  size_t block_rows_;
  float kappa_, floor_, max_norm_;
  std::vector<float> squared_norms_, norms_;  // +inf for centers the bound does not cover
  PerWorker<Scratch> scratch_;
};

// assign_dense_direct_into through the screen: any strides (strided rows are gathered a block
// at a time), rows in parallel blocks of block_rows().
void assign_dense_screened_into(MatrixView<const float> data, const Matrix<float>& centers, bool cosine,
                                std::span<size_t> labels, std::span<float> distances);

}  // namespace vantorix
