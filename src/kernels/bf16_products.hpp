#pragma once
// Row-by-center products in bf16 for the exact assignment's screen: rows and centers rounded to
// bf16 (8 significant bits), products of pairs exact, sums in f32, on the CPU's matrix tiles
// (AMX) or, without them, with AVX512_BF16 pair products (AMD Zen 4 has those, not tiles). The
// screen charges the rounding in its bound (dense/dense_screen.cpp), so nothing here
// has to match another product bit for bit: only the rounding of each operand and an f32 sum in
// some order.
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace vantorix {

// The ways to form them: AMX tiles (where the operating system grants the tile state, asked once
// per process) or AVX512_BF16 pair products, each in x86-64 AVX-512 builds only.
enum class Bf16Kernel : uint8_t { None, Tiles, Pairs };
bool bf16_kernel_runs(Bf16Kernel kernel);
// The one this process uses: tiles where they run, else pairs; None with the scalar kernels
// selected (VANTORIX_SIMD=scalar).
Bf16Kernel bf16_kernel();
inline bool bf16_products_available() { return bf16_kernel() != Bf16Kernel::None; }

// Storage on 64-byte boundaries: a tile load that straddles cache lines runs at a third of the
// speed (measured: 16 ns against 4.4 ns per 16 x 16 x 32 tile product).
template <class T>
struct CacheLineAllocator {
  using value_type = T;
  CacheLineAllocator() = default;
  template <class U>
  CacheLineAllocator(const CacheLineAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(64))); }
  void deallocate(T* p, size_t) { ::operator delete(p, std::align_val_t(64)); }
  template <class U>
  bool operator==(const CacheLineAllocator<U>&) const { return true; }
};
template <class T>
using CacheLineVector = std::vector<T, CacheLineAllocator<T>>;

// Rows per call of bf16_products are padded to a multiple of this; centers and dimensions are
// padded to multiples of 32 as well (with zeros, which add nothing to a product).
inline constexpr size_t kBf16Block = 32;
inline size_t bf16_padded(size_t n) { return (n + kBf16Block - 1) / kBf16Block * kBf16Block; }

// x[0..d) rounded to bf16 (nearest, ties to even; magnitudes below 2^-126, which the products
// read as zero, become zero) into out[0..padded), zeros after d, with the sums of the squared
// rounding errors, (x - bf16(x))^2, and of the squares of x, both in f64 over exact squares (each
// error is exact), read in the same pass. Non-finite values give non-finite sums.
struct RoundedRow {
  double squared_error, squared_norm;
};
RoundedRow round_to_bf16(const float* x, size_t d, size_t padded, uint16_t* out);

// Centers rounded to bf16 in the tile layout, and their squared rounding errors.
struct Bf16Centers {
  size_t k = 0, d = 0, padded_k = 0, padded_d = 0;
  CacheLineVector<uint16_t> tiles;
  std::vector<double> squared_errors;  // k entries, as round_to_bf16 sums them
};
Bf16Centers pack_bf16_centers(const float* centers, size_t k, size_t d);

// rows, centers.tiles and out on 64-byte boundaries (CacheLineVector).
// out[r * padded_k + j] = the f32 sum of bf16 row r times bf16 center j, for r < count (a
// multiple of kBf16Block) rows of padded_d entries each, as round_to_bf16 wrote them, and every
// j < padded_k (padding centers give 0), with bf16_kernel(), or with a given kernel that runs here.
void bf16_products(const uint16_t* rows, size_t count, const Bf16Centers& centers, float* out);
void bf16_products_with(Bf16Kernel kernel, const uint16_t* rows, size_t count, const Bf16Centers& centers,
                        float* out);

}  // namespace vantorix
