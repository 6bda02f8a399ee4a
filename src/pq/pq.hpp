#pragma once
// The product quantizer: per-subspace codebooks learned by weighted k-means, an optional
// learned rotation (OPQ), and encoding to one byte per subspace and back.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/matrix.hpp"

namespace vantorix {

enum class EncodeStrategy { Direct, Transposed };

// The strategy for n rows of m subspaces with ks codewords, from VANTORIX_PQ_ENCODE (or, when
// that is unset, VANTORIX_PQ_ENCODE_TRANSPOSED), read on every call.
EncodeStrategy choose_encode_strategy(size_t n, size_t m, size_t ks);

// Rows per parallel task of the subspace k-means: 256, or a share of the rows when the
// codebook's partial sums pass 1 MiB.
size_t subspace_chunk_rows(size_t n, size_t ks, size_t ds, size_t threads);

inline Array3View<const float> view_of(const Array3<float>& a) {
  return {a.data(), a.dim0, a.dim1, a.dim2, ptrdiff_t(a.dim1 * a.dim2), ptrdiff_t(a.dim2), 1};
}

// The model's settings with their defaults (the Python signature shows these).
struct ProductQuantizerOptions {
  size_t num_subquantizers = 0;
  size_t codebook_size = 256;
  size_t iterations = 20;
  uint64_t seed = 0;
  size_t opq_iterations = 0;
};

class ProductQuantizer {
 public:
  using Weights = std::optional<VectorView<const float>>;

  static ProductQuantizer create(const ProductQuantizerOptions& options);
  static ProductQuantizer from_codewords(Array3<float> codewords, std::optional<Matrix<float>> rotation,
                                         size_t iterations, uint64_t seed, size_t opq_iterations);
  // Checks the shapes first, then copies.
  static ProductQuantizer from_codewords(Array3View<const float> codewords,
                                         std::optional<MatrixView<const float>> rotation, size_t iterations,
                                         uint64_t seed, size_t opq_iterations);

  void fit(MatrixView<const float> data) { fit_impl(data, std::nullopt); }
  void fit_weighted(MatrixView<const float> data, VectorView<const float> sample_weight);

  Array3<float> fit_codewords_with_weights(MatrixView<const float> data, Weights weights) const;
  Matrix<float> fit_subspace_kmeans(MatrixView<const float> rows, Weights weights, uint64_t subspace_seed) const;

  Matrix<uint8_t> encode(MatrixView<const float> data) const;
  Matrix<float> decode(MatrixView<const uint8_t> codes) const;

  Matrix<uint8_t> encode_matrix(Array3View<const float> codewords, MatrixView<const float> data) const;
  void encode_matrix_into(Array3View<const float> codewords, MatrixView<const float> data,
                          MatrixView<uint8_t> codes) const;
  static Matrix<float> decode_matrix(Array3View<const float> codewords, MatrixView<const uint8_t> codes);

  bool fitted() const { return codewords_.has_value() && subdim_.has_value(); }
  std::optional<size_t> subdim() const { return subdim_; }
  size_t num_subquantizers() const { return num_subquantizers_; }
  size_t codebook_size() const { return codebook_size_; }
  size_t iterations() const { return iterations_; }
  uint64_t seed() const { return seed_; }
  size_t opq_iterations() const { return opq_iterations_; }
  const std::optional<Array3<float>>& codewords() const { return codewords_; }
  const std::optional<Matrix<float>>& rotation() const { return rotation_; }

 private:
  void fit_impl(MatrixView<const float> data, Weights weights);
  ProductQuantizer(size_t num_subquantizers, size_t codebook_size, size_t iterations, uint64_t seed,
                   size_t opq_iterations)
      : num_subquantizers_(num_subquantizers), codebook_size_(codebook_size), iterations_(iterations), seed_(seed),
        opq_iterations_(opq_iterations) {}
  void fit_rotation(MatrixView<const float> data, Weights weights);

  std::optional<size_t> subdim_;
  size_t num_subquantizers_ = 0;
  size_t codebook_size_ = 0;
  size_t iterations_ = 0;
  uint64_t seed_ = 0;
  size_t opq_iterations_ = 0;
  std::optional<Array3<float>> codewords_;
  std::optional<Matrix<float>> rotation_;
};

}  // namespace vantorix
