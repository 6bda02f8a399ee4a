#pragma once
// Nearest-center assignment of dense rows: the direct kernels and the blocked matrix product,
// chosen per call from the problem size and the VANTORIX_DENSE_* switches.
#include <cstddef>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "dense/dense_screen.hpp"

namespace vantorix {

// Whether the matrix-product assignment may run for this problem size and geometry.
bool dense_blas_may_run(size_t rows, size_t k, size_t d, bool cosine);

// Whether the exact assignment of `rows` rows to k centers of d dimensions screens them with a
// matrix product (dense_screen.hpp) instead of running the direct kernels over every center, and
// with which product (f32 sgemm, or bf16 where the CPU has tiles for it). All give the same
// labels and distances; which is fastest depends on the machine (its products against its direct
// kernels), so it is measured here: once per process and shape, on synthetic rows, every way
// (screen_calibration), and so is the screen's block size, where it screens. VANTORIX_DENSE_SCREEN
// forces the choice (on: the f32 screen, bf16: the bf16 screen where it runs, else the f32 one,
// off: none), VANTORIX_DENSE_SCREEN_BLOCK_ROWS the rows per block, and the words of
// VANTORIX_DENSE_ASSIGN that ask for the direct kernels keep them unscreened. Calls too small to
// repay a measurement take the direct kernels until the shape is measured, which it is once the
// rows asked for it in this process, `passes` times each (a fit's passes over the same rows),
// repay the measurement together; the block sizes are measured once the rows repay that as well
// (until then the screen runs with the default block).
std::optional<ScreenChoice> dense_screen_choice(size_t rows, size_t k, size_t d, bool cosine, size_t passes = 1);
inline bool dense_screen_pays(size_t rows, size_t k, size_t d, bool cosine, size_t passes = 1) {
  return dense_screen_choice(rows, k, d, cosine, passes).has_value();
}

struct ScreenCalibration {
  // Per probe block, the faster of a few runs; bf16_seconds is +inf where bf16 products do not run.
  double direct_seconds = 0.0, screen_seconds = 0.0, bf16_seconds = 0.0;
  // Direct measurements per probe row of the bf16 screen (the f32 screen needs about one).
  double bf16_measured = 0.0;
  size_t probe_rows = 0;
  bool screen = false;  // a screen is the fastest
  ScreenProducts products = ScreenProducts::Fp32;  // and its product
  // Rows per block of that screen: DenseScreen::block_rows_for(k) until the block sizes are
  // decided, then the fastest of block_sizes (seconds for the same probe rows with each, the
  // faster of a few runs). Decided without measuring, and both lists empty, where measuring the
  // default against another size would exceed the budget: the default stays.
  size_t block_rows = 0;
  bool blocks_decided = false;
  std::vector<size_t> block_sizes;
  std::vector<double> block_seconds;
};
// The measurement behind dense_screen_choice, made on first use and kept for the process: the
// decision and, where it screens, the block sizes.
ScreenCalibration screen_calibration(size_t k, size_t d, bool cosine);
// What this process has measured of the shape so far, measuring nothing (nullopt: nothing yet).
std::optional<ScreenCalibration> known_screen_calibration(size_t k, size_t d, bool cosine);

// Sum of squares of every row (f32, in column order).
std::vector<float> squared_row_norms(MatrixView<const float> data);
// Half the Euclidean distance from each center to its nearest other center; +inf when k = 1.
std::vector<float> center_half_min_distances(const Matrix<float>& centers);

// One label and one distance per row: squared L2 distance, or 1 - dot in cosine mode. Ties go
// to the lower center. row_norms (squared_row_norms of data) lets the Euclidean matrix product
// run; without them the direct path is taken. screen_rows, when given, keeps what a screen
// prepares of the rows for later calls with the same data (a fit's passes).
void assign_dense_into(MatrixView<const float> data, const Matrix<float>& centers, const std::vector<float>* row_norms,
                       bool cosine, std::span<size_t> labels, std::span<float> distances,
                       ScreenRows* screen_rows = nullptr);

// The direct path alone (rows in blocks of 512, any strides).
void assign_dense_direct_into(MatrixView<const float> data, const Matrix<float>& centers, bool cosine,
                              std::span<size_t> labels, std::span<float> distances,
                              ScreenRows* screen_rows = nullptr);

}  // namespace vantorix
