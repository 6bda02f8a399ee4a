#include "kernels/bf16_products.hpp"

#include <bit>
#include <cstring>

#include "core/error.hpp"
#include "kernels/lanes.hpp"
#include "kernels/simd.hpp"

#if defined(VANTORIX_HAVE_BF16_PAIRS)
#include <cpuid.h>
#endif
#if defined(VANTORIX_HAVE_AMX_TILES)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace vantorix {

namespace {

using namespace lanes;

// Round to nearest, ties to even, on the top 16 bits; values whose exponent field is zero (zero
// and subnormals) go to +0.
inline uint16_t bf16_bits(float v) {
  const uint32_t b = std::bit_cast<uint32_t>(v);
  if ((b & 0x7f800000u) == 0) return 0;
  return uint16_t((b + 0x7fffu + ((b >> 16) & 1u)) >> 16);
}
inline float bf16_value(uint16_t h) { return std::bit_cast<float>(uint32_t(h) << 16); }

#if defined(VANTORIX_HAVE_BF16_PAIRS)
// CPUID leaf 7 subleaf 1 EAX bit 5. The AVX-512 state itself is enabled: this build runs.
bool pairs_supported() {
  unsigned a, b, c, d;
  return __get_cpuid_count(7, 1, &a, &b, &c, &d) && (a & (1u << 5));
}

VANTORIX_BF16_TARGET void products_pairs(const uint16_t* rows, size_t count, const Bf16Centers& centers, float* out) {
  const size_t steps = centers.padded_d / kBf16Block, tile_entries = 512;
  for (size_t r = 0; r < count; r += 8) {
    const uint16_t* a = rows + r * centers.padded_d;
    for (size_t j = 0; j < centers.padded_k; j += 32) {
      const uint16_t* b0 = centers.tiles.data() + (j / 16) * steps * tile_entries;
      pair_products_8x32(a, centers.padded_d, b0, b0 + steps * tile_entries, steps, out + r * centers.padded_k + j,
                         centers.padded_k);
    }
  }
}
#endif

#if defined(VANTORIX_HAVE_AMX_TILES)
// CPUID leaf 7 EDX: AMX-BF16 (bit 22) and AMX-TILE (bit 24); XCR0 bits 17 and 18 (tile
// configuration and data) enabled by the OS; then Linux's per-process request for the tile data
// state (arch_prctl ARCH_REQ_XCOMP_PERM, XFEATURE_XTILEDATA), without which the first tile
// instruction faults.
bool amx_granted() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 27))) return false;  // OSXSAVE
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  if (!(d & (1u << 22)) || !(d & (1u << 24))) return false;
  uint32_t xcr0_low, xcr0_high;
  asm volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & (3u << 17)) != (3u << 17)) return false;
  constexpr long kArchReqXcompPerm = 0x1023, kXfeatureXtiledata = 18;
  return syscall(SYS_arch_prctl, kArchReqXcompPerm, kXfeatureXtiledata) == 0;
}

VANTORIX_AMX_TARGET void products_amx(const uint16_t* rows, size_t count, const Bf16Centers& centers, float* out) {
  const TileConfig config;
  tiles_configure(config);
  const size_t steps = centers.padded_d / kBf16Block, tile_entries = 512;
  const size_t row_bytes = centers.padded_d * sizeof(uint16_t), out_bytes = centers.padded_k * sizeof(float);
  // Rows outer: a block of 32 rows stays in L1 while every center streams past it from L2.
  for (size_t r = 0; r < count; r += 32) {
    const uint16_t* a = rows + r * centers.padded_d;
    for (size_t j = 0; j < centers.padded_k; j += 32) {
      const uint16_t* b0 = centers.tiles.data() + (j / 16) * steps * tile_entries;
      tile_products_32x32(a, row_bytes, b0, b0 + steps * tile_entries, steps, out + r * centers.padded_k + j,
                          out_bytes);
    }
  }
  tiles_release();
}
#endif

}  // namespace

bool bf16_kernel_runs(Bf16Kernel kernel) {
#if defined(VANTORIX_HAVE_AMX_TILES)
  static const bool tiles = amx_granted();
  if (kernel == Bf16Kernel::Tiles) return tiles;
#endif
#if defined(VANTORIX_HAVE_BF16_PAIRS)
  static const bool pairs = pairs_supported();
  if (kernel == Bf16Kernel::Pairs) return pairs;
#endif
  (void)kernel;
  return false;
}

Bf16Kernel bf16_kernel() {
  if (!kernels().slice_lanes) return Bf16Kernel::None;
  static const Bf16Kernel chosen = bf16_kernel_runs(Bf16Kernel::Tiles)   ? Bf16Kernel::Tiles
                                   : bf16_kernel_runs(Bf16Kernel::Pairs) ? Bf16Kernel::Pairs
                                                                         : Bf16Kernel::None;
  return chosen;
}

RoundedRow round_to_bf16(const float* x, size_t d, size_t padded, uint16_t* out) {
  // Squares summed in sixteen f64 lanes. Each error is exact: value and rounded value are within
  // a factor of 2 (Sterbenz), or the rounded one is 0.
  D8 err_low = {}, err_high = {}, sq_low = {}, sq_high = {};
  size_t i = 0;
  for (; i + 16 <= d; i += 16) {
    const F16 v = load16(x + i);
    D8 el, eh, vl, vh;
    widen16(v - round_bf16_16(v, out + i), el, eh);
    widen16(v, vl, vh);
    err_low = err_low + el * el;
    err_high = err_high + eh * eh;
    sq_low = sq_low + vl * vl;
    sq_high = sq_high + vh * vh;
  }
  RoundedRow sums{0.0, 0.0};
  for (int l = 0; l < 8; ++l) {
    sums.squared_error += err_low[l] + err_high[l];
    sums.squared_norm += sq_low[l] + sq_high[l];
  }
  for (; i < d; ++i) {
    out[i] = bf16_bits(x[i]);
    const double e = double(x[i] - bf16_value(out[i])), v = double(x[i]);
    sums.squared_error += e * e;
    sums.squared_norm += v * v;
  }
  for (; i < padded; ++i) out[i] = 0;
  return sums;
}

Bf16Centers pack_bf16_centers(const float* centers, size_t k, size_t d) {
  Bf16Centers packed;
  packed.k = k;
  packed.d = d;
  packed.padded_k = bf16_padded(k);
  packed.padded_d = bf16_padded(d);
  packed.tiles.assign(packed.padded_k * packed.padded_d, 0);
  packed.squared_errors.resize(k);
  const size_t steps = packed.padded_d / kBf16Block;
  std::vector<uint16_t> row(packed.padded_d);
  for (size_t j = 0; j < k; ++j) {
    packed.squared_errors[j] = round_to_bf16(centers + j * d, d, packed.padded_d, row.data()).squared_error;
    // Center j is column j % 16 of its group's tiles; dimensions 2i and 2i + 1 of a step form
    // the tile's row i.
    uint16_t* group = packed.tiles.data() + (j / 16) * steps * 512;
    const size_t n = j % 16;
    for (size_t s = 0; s < steps; ++s) {
      for (size_t p = 0; p < 16; ++p) {
        group[s * 512 + p * 32 + n * 2] = row[s * 32 + 2 * p];
        group[s * 512 + p * 32 + n * 2 + 1] = row[s * 32 + 2 * p + 1];
      }
    }
  }
  return packed;
}

void bf16_products(const uint16_t* rows, size_t count, const Bf16Centers& centers, float* out) {
  bf16_products_with(bf16_kernel(), rows, count, centers, out);
}

void bf16_products_with(Bf16Kernel kernel, const uint16_t* rows, size_t count, const Bf16Centers& centers,
                        float* out) {
  if (count % kBf16Block != 0 || centers.padded_k % kBf16Block != 0 || centers.padded_d % kBf16Block != 0) {
    fatal("bf16_products: unpadded shape");
  }
  if (!bf16_kernel_runs(kernel)) fatal("bf16_products: the kernel does not run on this CPU");
#if defined(VANTORIX_HAVE_AMX_TILES)
  if (kernel == Bf16Kernel::Tiles) return products_amx(rows, count, centers, out);
#endif
#if defined(VANTORIX_HAVE_BF16_PAIRS)
  if (kernel == Bf16Kernel::Pairs) return products_pairs(rows, count, centers, out);
#endif
  (void)rows;
  (void)out;
}

}  // namespace vantorix
