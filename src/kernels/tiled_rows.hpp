#pragma once
// Exact nearest-center assignment straight on row-major rows, cache-tiled: rows in parallel
// chunks of 128, centers in tiles whose coordinates are held transposed so one load per dimension
// feeds every center of the tile. Each distance is the float32 sum of separately rounded squared
// differences in dimension order, so labels and distance bits equal PdxMatrix::assign_l2_into's.
#include <cstddef>
#include <span>

namespace vantorix {

inline constexpr size_t kFlashChunkRows = 128;
inline constexpr size_t kFlashTileCenters = 8;

// labels[i], distances[i]: nearest of k row-major centers to row i and its squared distance; ties
// to the lower index, a row whose distances are all NaN or +inf gets 0 and +inf. Validates before
// writing anything.
void assign_l2_flash_into(std::span<const float> vectors, std::span<const float> centers, size_t rows, size_t dim,
                          size_t k, std::span<size_t> labels, std::span<float> distances);

// The two forms behind it (chosen by selected_slice_kernel()), bit-identical; inputs validated.
void assign_l2_flash_vector(const float* vectors, const float* centers, size_t rows, size_t dim, size_t k,
                            size_t* labels, float* distances);
void assign_l2_flash_scalar(const float* vectors, const float* centers, size_t rows, size_t dim, size_t k,
                            size_t* labels, float* distances);

// VANTORIX_FLASH_EXACT (or, when that is unset or not UTF-8, VANTORIX_EXACT_ASSIGNMENT): the hybrid
// fit's exact assignment uses the flash form when no PdxMatrix was built. Read once and cached.
bool flash_exact_enabled();

}  // namespace vantorix
