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
//
// The product is either BLAS's f32 sgemm or, where the CPU has matrix tiles for it
// (kernels/bf16_products.hpp), a product of the rows and centers rounded to bf16: several times
// faster, under a wider bound that charges each row's and center's own rounding error, so a few
// more centers reach the direct kernel. Either way the answers are the direct kernels'.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "core/parallel.hpp"
#include "core/stats.hpp"
#include "kernels/bf16_products.hpp"

namespace vantorix {

// False when VANTORIX_DENSE_ASSIGN names a direct path (row, rows, manual, scalar).
bool dense_blas_enabled();

// Whether the bound covers centers of d dimensions (and k fits the product's int sizes).
bool dense_screen_covers(size_t k, size_t d);

enum class ScreenProducts : uint8_t { Fp32, Bf16 };

// How a screen runs: its products, for bf16 the direct measurements per row above which the
// f32 product would have been cheaper (from the calibration, dense_assign.cpp), and its rows per
// block (0: DenseScreen::block_rows_for(k)). A block that needs more measurements switches the
// rest of the screen's blocks to f32 products. Neither the products nor the block size change an
// answer: they only decide which centers the direct kernel measures.
struct ScreenChoice {
  ScreenProducts products = ScreenProducts::Fp32;
  double measure_budget = std::numeric_limits<double>::infinity();
  size_t block_rows = 0;
};

// What a screen needs of each row that stays the same from pass to pass of a fit: the row's
// squared norm (f64) and, for bf16 products, the row rounded to bf16 with its squared rounding
// error. Rounding a block's rows took as long as the tile products themselves (SIFT-like 20k,
// k = 256: 6.7% of the fit each), so a fit prepares them once, at its first screened pass, and
// every later pass reads them. The bf16 copy costs 2 bytes per value (dimensions padded to 32);
// beyond kMaxKeptBytes (or a given limit) it is not kept and each pass rounds its blocks again, as one call does.
class ScreenRows {
 public:
  static constexpr size_t kMaxKeptBytes = size_t(1) << 30;
  // `passes`: the calls expected with these rows (a fit's passes and its final assignment), over
  // which measuring which exact form is fastest is repaid (dense_screen_choice).
  explicit ScreenRows(size_t passes = 1, size_t max_kept_bytes = kMaxKeptBytes)
      : passes_(passes), max_kept_bytes_(max_kept_bytes) {}
  size_t passes() const { return passes_; }

  // The rows of one block as nearest() reads them: sums[i] for row i, and, where kept, the
  // rows in bf16 (padded_d entries each, then at least bf16_padded(count) - count more rows).
  struct Block {
    const RoundedRow* sums = nullptr;
    const uint16_t* half_rows = nullptr;
  };

  // Prepares what a screen with these products reads, once (in parallel); the data must be the
  // rows of every earlier call.
  void prepare(MatrixView<const float> data, ScreenProducts products);
  Block block(size_t first_row) const;

 private:
  size_t passes_, max_kept_bytes_;
  const float* data_ = nullptr;
  size_t rows_ = 0, cols_ = 0;
  ptrdiff_t row_stride_ = 0, col_stride_ = 0;
  bool half_ = false;  // sums_ from the bf16 rounding, with half_rows_ kept
  std::vector<RoundedRow> sums_;
  size_t padded_d_ = 0;
  CacheLineVector<uint16_t> half_rows_;
};

// Screening state of one set of centers: their squared norms and norms, which centers the bound
// covers, and per-worker product buffers. What the screening does is counted into the FitStats
// of the thread that builds it (core/stats.hpp), if that thread has one.
class DenseScreen {
 public:
  // Bf16 products where bf16_products_available(), f32 otherwise.
  DenseScreen(const Matrix<float>& centers, bool cosine, ScreenChoice choice = {});
  ScreenProducts products() const;

  // Rows per call of nearest(): the choice's, or by default products of about 1 MiB per worker.
  size_t block_rows() const { return block_rows_; }
  // The default, before (or without) a measurement: 1 MiB of products, between 64 and 512 rows.
  static size_t block_rows_for(size_t k);
  // The sizes the calibration measures, ascending: the default, half of it and twice it. L2 sizes
  // and the BLAS's per-call cost differ from CPU to CPU (256 KiB to 2 MiB per core), so the
  // default is only the middle guess.
  static std::vector<size_t> block_rows_candidates(size_t k);
  // A block size asked for from outside (VANTORIX_DENSE_SCREEN_BLOCK_ROWS): at least one row, and
  // at most what keeps a worker's products within 64 MiB.
  static size_t block_rows_within_limits(size_t rows, size_t k);

  // The nearest center of each of `count` <= block_rows() rows, stored row-major with `stride`
  // floats between rows: labels[i], distances[i] (squared L2, or 1 - dot), and, when `second`
  // is given (Euclidean only), the second-smallest squared distance over all centers (+inf for
  // k = 1), as a full scan keeping the two smallest values would find it.
  // `prepared` (optional) holds these rows' ScreenRows entries, prepared for products().
  void nearest(const float* rows, size_t count, size_t stride, size_t* labels, float* distances,
               float* second, const ScreenRows::Block* prepared = nullptr);

 private:
  struct Scratch {
    CacheLineVector<float> products;
    std::vector<size_t> kept, candidates;  // kept and ends: k entries, written by index
    std::vector<float> values, ends;
    CacheLineVector<uint16_t> half_rows;  // the block in bf16
    std::vector<RoundedRow> row_sums;  // and each row's squared rounding error and norm
  };
  // What the bound of one row needs: its squared norm (f32), its norm and the norm of its bf16
  // rounding error (both rounded up; the error is 0 with f32 products), and the product's share.
  struct RowBound {
    float xn, xr, rx;
    bool half;
  };
  // The centers a row keeps (into scratch.candidates), from its products p (overwritten).
  void collect_distances(float* p, const RowBound& row, bool two, Scratch& scratch) const;
  void collect_dots(const float* p, const RowBound& row, Scratch& scratch) const;
  // The bound's part for the bf16 rounding of a row (error norm rx, norm xr) and center j, and
  // an upper limit of it over all centers.
  float rounding_term(const RowBound& row, size_t j) const {
    return row.half ? rounding_factor_ * (row.rx * lift_[j] + (row.xr + row.rx) * center_errors_[j]) : 0.0f;
  }
  float rounding_term_max(const RowBound& row) const {
    return row.half ? rounding_factor_ * (row.rx * max_lift_ + (row.xr + row.rx) * max_center_error_) : 0.0f;
  }

  const Matrix<float>& centers_;
  bool cosine_;
  FitStats* stats_;
  size_t block_rows_;
  float kappa_, floor_, max_norm_;
  std::vector<float> squared_norms_, norms_;  // +inf for centers the bound does not cover
  // bf16 products: the packed centers, their rounding errors' norms and their norms (both
  // rounded up, 0 for centers the bound does not cover, whose infinite norms decide), the
  // largest of each, the floor for the product's underflow and the factor on the rounding term.
  std::optional<Bf16Centers> half_;
  std::vector<float> center_errors_, lift_;
  float max_center_error_ = 0.0f, max_lift_ = 0.0f, half_floor_ = 0.0f, rounding_factor_ = 0.0f;
  double measure_budget_;
  std::atomic<bool> demoted_{false};  // the rest in f32: a block measured beyond the budget
  PerWorker<Scratch> scratch_;
};

// The screen's Euclidean bound on its own, for callers that compare one distance with a
// threshold instead of the centers with each other: from the f32 product p = x'.c (any summation
// order) of a row rounded to bf16, x' = x - r, and a center, the direct kernel's squared distance
// between x and c is at least lower(p, x, c, |r|). |r| = 0 for a row used as it is.
class ProductBound {
 public:
  // The factor of the Euclidean screen's share for a row's rounding to bf16.
  static constexpr float kRowRoundingFactor = 2.0625f;
  // What the bound reads of a row or center: its squared norm (summed in f64, rounded once) and
  // its norm rounded up; `covered` is false for non-finite values or norms beyond what the bound
  // takes for granted, whose distances must be measured.
  struct Norms {
    float squared = 0.0f, above = 0.0f;
    bool covered = false;
  };
  explicit ProductBound(size_t d);  // needs dense_screen_covers(1, d)
  Norms norms(const float* x) const;
  Norms norms_of(double squared_norm) const;
  // The estimate as the screen forms it, less the screen's bound (with its share for the row's
  // rounding to bf16, |r| = `row_error` rounded up), evaluated in f64 with a margin for that
  // evaluation's own rounding.
  double lower(float product, const Norms& x, const Norms& c, float row_error) const {
    const float e = (x.squared + c.squared) - (product + product);
    const double t = double(x.above) + double(c.above);
    const double slack = double(kappa_) * (t * t + (e > 0.0f ? double(e) : 0.0)) + double(floor_) +
                         double(kRowRoundingFactor) * double(row_error) * double(c.above);
    return double(e) - slack * (1.0 + 0x1p-10);
  }

 private:
  size_t d_;
  float kappa_, floor_;
};

// assign_dense_direct_into through the screen: any strides (strided rows are gathered a block
// at a time), rows in parallel blocks of block_rows(). `rows`, when given, keeps what the screen
// needs of the data's rows for the next call with the same data (a fit's next pass).
void assign_dense_screened_into(MatrixView<const float> data, const Matrix<float>& centers, bool cosine,
                                std::span<size_t> labels, std::span<float> distances, ScreenChoice choice = {},
                                ScreenRows* rows = nullptr);

}  // namespace vantorix
