#pragma once
// Row vectors in 64-row dimension-major blocks, for exact nearest-center assignment: one center
// coordinate is compared against 64 rows with contiguous loads. The plain and the pruned
// assignment give the same labels and the same distance bits; both sum each (row, center)
// distance in dimension order with separately rounded operations, as the flash assignment does.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vantorix {

class PdxMatrix {
 public:
  static constexpr size_t kBlockRows = 64;

  // Copies rows x dim row-major values into blocks; the last block's missing rows are 0.0.
  static PdxMatrix from_row_major(std::span<const float> values, size_t rows, size_t dim);

  // Nearest of k row-major centers for every row: ties to the lower index, a row whose
  // distances are all NaN or +inf gets label 0 and +inf. Validates before writing anything.
  void assign_l2_into(std::span<const float> centers, size_t k, std::span<size_t> labels,
                      std::span<float> distances) const;
  // The same result, abandoning a (row, center) pair once its partial sum reaches the row's best
  // distance so far. `computed_steps`, when given, receives the number of (row, center, dimension)
  // steps actually computed (for measuring how much pruning skips).
  void assign_l2_pruned_into(std::span<const float> centers, size_t k, std::span<size_t> labels,
                             std::span<float> distances, std::atomic<uint64_t>* computed_steps = nullptr) const;

  // The forms behind the two assignments, chosen by selected_slice_kernel(); all four agree bit
  // for bit. Inputs must already be validated.
  void assign_l2_vector(const float* centers, size_t k, size_t* labels, float* distances) const;
  void assign_l2_scalar(const float* centers, size_t k, size_t* labels, float* distances) const;
  void assign_l2_pruned_vector(const float* centers, size_t k, size_t* labels, float* distances,
                               std::atomic<uint64_t>* computed_steps) const;
  void assign_l2_pruned_scalar(const float* centers, size_t k, size_t* labels, float* distances,
                               std::atomic<uint64_t>* computed_steps) const;

  std::span<const float> data() const { return data_; }
  size_t rows() const { return rows_; }
  size_t dim() const { return dim_; }
  size_t blocks() const { return (rows_ + kBlockRows - 1) / kBlockRows; }
  // The block holding rows 64b .. 64b+63, value (row 64b + r, dimension d) at d*64 + r.
  const float* block(size_t b) const { return data_.data() + b * dim_ * kBlockRows; }
  size_t block_rows(size_t b) const { return rows_ - b * kBlockRows < kBlockRows ? rows_ - b * kBlockRows : kBlockRows; }

 private:
  void validate_assignment(std::span<const float> centers, size_t k, std::span<size_t> labels,
                           std::span<float> distances) const;

  std::vector<float> data_;
  size_t rows_ = 0;
  size_t dim_ = 0;
};

// VANTORIX_PDX_EXACT: build a PdxMatrix for the hybrid fit's exact assignment. Read once per
// process and cached.
bool pdx_exact_enabled();
// VANTORIX_PDX_PRUNE (or, when that is unset or not UTF-8, VANTORIX_DIM_PRUNE): use the pruned
// assignment. Read once per process and cached.
bool pdx_pruning_enabled();

}  // namespace vantorix
