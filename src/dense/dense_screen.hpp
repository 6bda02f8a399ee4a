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

namespace vantorix {

// False when VANTORIX_DENSE_ASSIGN names a direct path (row, rows, manual, scalar).
bool dense_blas_enabled();

// Whether screening runs for this problem: the direct path is allowed to use BLAS (the words of
// VANTORIX_DENSE_ASSIGN that ask for the direct kernels keep them unscreened), the shape is one
// where the product beats the direct kernels, and the bound covers the dimension.
bool dense_screen_pays(size_t rows, size_t k, size_t d);

// What the screening did, summed over all calls since the last reset (for the benchmarks).
struct DenseScreenCounts {
  uint64_t rows = 0;       // rows that went through the bound
  uint64_t confirmed = 0;  // of those, rows with more than one center left to measure
  uint64_t measured = 0;   // direct measurements in all
};
DenseScreenCounts dense_screen_counts();
void reset_dense_screen_counts();

// Screening state of one set of centers: their squared norms and norms, which centers the bound
// covers, and per-worker product buffers.
class DenseScreen {
 public:
  DenseScreen(const Matrix<float>& centers, bool cosine);

  // Rows per call of nearest(): products of at most about 1 MiB per worker.
  size_t block_rows() const { return block_rows_; }

  // The nearest center of each of `count` <= block_rows() rows, stored row-major with `stride`
  // floats between rows: labels[i], distances[i] (squared L2, or 1 - dot), and, when `second`
  // is given (Euclidean only), the second-smallest squared distance over all centers (+inf for
  // k = 1), as a full scan keeping the two smallest values would find it.
  void nearest(const float* rows, size_t count, size_t stride, size_t* labels, float* distances,
               float* second);

 private:
  struct Scratch {
    std::vector<float> products;
    std::vector<size_t> kept, candidates;
    std::vector<float> values;
  };
  // The centers a row keeps (into scratch.candidates), from its products p (overwritten).
  void collect_distances(float* p, float xn, float xr, bool two, Scratch& scratch) const;
  void collect_dots(const float* p, float xr, Scratch& scratch) const;

  const Matrix<float>& centers_;
  bool cosine_;
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
