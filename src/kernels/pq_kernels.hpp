#pragma once
// Nearest-codeword searches of the product quantizer, with many codewords evaluated side by
// side in wide registers. Each lane performs exactly the operations of the one-pair kernels
// (DistanceKernel::distance, add_scaled) in the same order, so the results are bit-identical to
// scanning the codewords one at a time; only the throughput differs.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernels/simd.hpp"

namespace vantorix {

// One subspace's codewords regrouped into blocks of kPqLanes codewords, each block stored
// dimension by dimension. Padding lanes hold NaN, whose distance never wins.
class LaneCodebook {
 public:
  LaneCodebook() = default;
  // centers: ks x ds row-major. The kernel fixes the summation order being reproduced.
  LaneCodebook(const float* centers, size_t ks, size_t ds, DistanceKernel kernel);
  void assign(const float* centers, size_t ks, size_t ds, DistanceKernel kernel);

  // (index, squared distance) of the nearest codeword to x (ds floats): the first strictly
  // smallest, as a scan from index 0 starting at +infinity finds it. No codeword: (0, +inf).
  std::pair<uint32_t, float> nearest(const float* x) const;
  // nearest() of `count` rows `stride` floats apart, several rows per pass over the codebook.
  void nearest_rows(const float* rows, ptrdiff_t stride, size_t count, std::pair<uint32_t, float>* out) const;
  // Every codeword evaluated with the exact kernel, no pruning.
  std::pair<uint32_t, float> nearest_full_scan(const float* x) const { return fn_(*this, x); }

  // From this subspace width on, nearest() first bounds every distance through the cheaper
  // expansion |c|^2 - 2 x.c and evaluates the exact kernel only where the bounds leave a chance.
  // Only worth it for wide subspaces and codebooks of several lane blocks.
  static constexpr size_t kPruneMinDim = 32;
  static constexpr size_t kPruneMinBlocks = 4;
  // Up to this subspace width nearest_rows() puts rows, not codewords, side by side.
  static constexpr size_t kRowsInLanesMaxDim = 16;

 private:
  using Fn = std::pair<uint32_t, float> (*)(const LaneCodebook&, const float*);
  using RowsFn = void (*)(const LaneCodebook&, const float*, ptrdiff_t, size_t, std::pair<uint32_t, float>*);
  template <int Kind>
  friend std::pair<uint32_t, float> lane_nearest(const LaneCodebook&, const float*);
  template <int Kind>
  friend void rows_in_lanes(const LaneCodebook&, const float*, ptrdiff_t, size_t, std::pair<uint32_t, float>*);
  std::pair<uint32_t, float> nearest_pruned(const float* x) const;
  std::pair<uint32_t, float> scan_candidates(const float* x, const float* low, float limit) const;

  std::vector<float> values_;  // blocks x ds x kPqLanes
  std::vector<float> centers_;       // ks x ds row-major, for the exact kernel (pruned search only)
  std::vector<float> norms_;         // blocks x kPqLanes squared norms (NaN padding)
  std::vector<float> lengths_;       // blocks x kPqLanes norms (NaN padding)
  size_t ks_ = 0, ds_ = 0, blocks_ = 0;
  DistanceKernel kernel_;
  float bound_scale_ = 0.0f;
  Fn fn_ = nullptr;
  RowsFn rows_fn_ = nullptr;
};

// The codewords of all subspaces transposed for encoding by the expansion
// |x - c|^2 = |x|^2 - 2 x.c + |c|^2 (|x|^2 dropped): for subspace m and dimension d the ks values
// of that dimension are contiguous at (m*ds + d)*ks, beside the squared norms of the codewords.
class TransposedCodebook {
 public:
  // codewords: m x ks x ds, contiguous.
  TransposedCodebook(const float* codewords, size_t m, size_t ks, size_t ds);
  // Code of subspace `sub` for its slice x (ds floats); acc is ks floats of scratch.
  uint32_t nearest(size_t sub, const float* x, float* acc) const;

  const std::vector<float>& table() const { return table_; }
  const std::vector<float>& norms() const { return norms_; }

 private:
  std::vector<float> table_, norms_;
  size_t m_, ks_, ds_;
  bool fused_;  // the vector form of add_scaled fuses multiply-add on whole groups of four
};

size_t pq_lane_width();

}  // namespace vantorix
