#include "kernels/tiled_rows.hpp"

#include <limits>
#include <vector>

#include "core/env.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "kernels/lanes.hpp"
#include "kernels/simd.hpp"

namespace vantorix {

namespace {

using namespace lanes;

constexpr float kInf = std::numeric_limits<float>::infinity();

// One 16-lane register holds two 8-center tiles side by side. Rows per pass and tiles per pass
// set the independent accumulator chains: 8 x 2 fill AVX-512's 32 registers, 2 x 1 AVX2's 16.
#if defined(__AVX512F__)
constexpr size_t kRowsPerPass = 8;
constexpr size_t kPairsPerPass = 2;
#else
constexpr size_t kRowsPerPass = 2;
constexpr size_t kPairsPerPass = 1;
#endif

// Centers regrouped sixteen at a time, [pair][dimension][16 centers]; the slots past k hold +inf,
// whose distance to any row is +inf or NaN and so never wins.
std::vector<float> transpose_centers(const float* centers, size_t k, size_t dim) {
  const size_t pairs = (k + 15) / 16;
  std::vector<float> out(checked_mul(checked_mul(pairs, dim, "center tiles"), 16, "center tiles"), kInf);
  for (size_t j = 0; j < k; ++j) {
    float* dst = out.data() + (j / 16) * dim * 16 + (j % 16);
    const float* src = centers + j * dim;
    for (size_t d = 0; d < dim; ++d) dst[d * 16] = src[d];
  }
  return out;
}

// Lane l keeps the first strict minimum among centers l, l + 16, l + 32, ...
struct LaneBest {
  F16 best = splat16(kInf);
  I16 index = {};
  void offer(F16 value, int32_t first) {
    static const I16 lane = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const I16 smaller = value < best;
    best = smaller ? value : best;
    index = smaller ? (lane + first) : index;
  }
  // The smallest value, then the lowest index holding it: what the strict scan of all centers in
  // index order returns (lanes never hold NaN; all +inf means no center ever won: index 0).
  std::pair<size_t, float> result() const {
    float v = kInf;
    for (int l = 0; l < 16; ++l) v = best[l] < v ? best[l] : v;
    int32_t at = 0;
    if (v < kInf) {
      at = std::numeric_limits<int32_t>::max();
      for (int l = 0; l < 16; ++l) {
        if (best[l] == v && index[l] < at) at = index[l];
      }
    }
    return {size_t(uint32_t(at)), v};
  }
};

template <size_t R, size_t P>
inline void tile_pass(const float* const* x, const float* tiles, size_t pair, size_t dim, LaneBest* lb) {
  F16 acc[R][P] = {};
  const float* t = tiles + pair * dim * 16;
  for (size_t d = 0; d < dim; ++d) {
    F16 c[P];
    for (size_t p = 0; p < P; ++p) c[p] = load16(t + p * dim * 16 + d * 16);
    for (size_t r = 0; r < R; ++r) {
      const F16 xr = splat16(x[r][d]);
      for (size_t p = 0; p < P; ++p) {
        // With enough chains in flight, half the subtractions go to the multiply pipes.
        const F16 diff = (R * P >= 8 && (r + p) % 2 == 0) ? difference16<true>(xr, c[p]) : difference16<false>(xr, c[p]);
        acc[r][p] = acc[r][p] + diff * diff;
      }
    }
  }
  for (size_t r = 0; r < R; ++r) {
    for (size_t p = 0; p < P; ++p) lb[r].offer(acc[r][p], int32_t((pair + p) * 16));
  }
}

template <size_t R>
inline void rows_pass(const float* vectors, size_t first, size_t dim, const float* tiles, size_t pairs,
                      size_t* labels, float* distances) {
  const float* x[R];
  for (size_t r = 0; r < R; ++r) x[r] = vectors + (first + r) * dim;
  LaneBest lb[R];
  size_t pair = 0;
  for (; pair + kPairsPerPass <= pairs; pair += kPairsPerPass) tile_pass<R, kPairsPerPass>(x, tiles, pair, dim, lb);
  for (; pair < pairs; ++pair) tile_pass<R, 1>(x, tiles, pair, dim, lb);
  for (size_t r = 0; r < R; ++r) {
    const auto [label, distance] = lb[r].result();
    labels[first + r] = label;
    distances[first + r] = distance;
  }
}

}  // namespace

void assign_l2_flash_into(std::span<const float> vectors, std::span<const float> centers, size_t rows, size_t dim,
                          size_t k, std::span<size_t> labels, std::span<float> distances) {
  if (dim == 0) throw VantorixError::message("vector dimensionality must be positive");
  if (k == 0) throw VantorixError::message("k must be greater than zero");
  if (vectors.size() != saturating_mul(rows, dim)) {
    throw VantorixError::message("input vector matrix length does not match shape");
  }
  if (centers.size() != saturating_mul(k, dim)) {
    throw VantorixError::message("center matrix length does not match shape");
  }
  if (labels.size() != rows || distances.size() != rows) {
    throw VantorixError::message("assignment output length does not match rows");
  }
  // Center numbers travel in 32-bit lanes in the vector form.
  if (selected_slice_kernel() && k <= size_t(std::numeric_limits<int32_t>::max())) {
    assign_l2_flash_vector(vectors.data(), centers.data(), rows, dim, k, labels.data(), distances.data());
  } else {
    assign_l2_flash_scalar(vectors.data(), centers.data(), rows, dim, k, labels.data(), distances.data());
  }
}

void assign_l2_flash_vector(const float* vectors, const float* centers, size_t rows, size_t dim, size_t k,
                            size_t* labels, float* distances) {
  const std::vector<float> tiles = transpose_centers(centers, k, dim);
  const size_t pairs = (k + 15) / 16;
  parallel_chunks(rows, kFlashChunkRows, [&](size_t begin, size_t end) {
    size_t i = begin;
    for (; i + kRowsPerPass <= end; i += kRowsPerPass) {
      rows_pass<kRowsPerPass>(vectors, i, dim, tiles.data(), pairs, labels, distances);
    }
    for (; i < end; ++i) rows_pass<1>(vectors, i, dim, tiles.data(), pairs, labels, distances);
  });
}

void assign_l2_flash_scalar(const float* vectors, const float* centers, size_t rows, size_t dim, size_t k,
                            size_t* labels, float* distances) {
  parallel_chunks(rows, kFlashChunkRows, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const float* x = vectors + i * dim;
      float best = kInf;
      size_t best_index = 0;
      for (size_t t = 0; t < k; t += kFlashTileCenters) {
        const size_t width = k - t < kFlashTileCenters ? k - t : kFlashTileCenters;
        float acc[kFlashTileCenters] = {};
        for (size_t d = 0; d < dim; ++d) {
          for (size_t j = 0; j < width; ++j) {
            const float diff = x[d] - centers[(t + j) * dim + d];
            acc[j] = acc[j] + diff * diff;
          }
        }
        for (size_t j = 0; j < width; ++j) {
          if (acc[j] < best) best = acc[j], best_index = t + j;
        }
      }
      labels[i] = best_index;
      distances[i] = best;
    }
  });
}

bool flash_exact_enabled() {
  // A set VANTORIX_FLASH_EXACT, whatever it says, hides VANTORIX_EXACT_ASSIGNMENT.
  static const bool on = env_word(EnvSwitch::FlashExact) == Word::On;
  return on;
}

}  // namespace vantorix
