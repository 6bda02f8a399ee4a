#include "pq/pq.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <string>

#include "core/env.hpp"
#include "core/interrupt.hpp"
#include "core/parallel.hpp"
#include "core/rng.hpp"
#include "kernels/pq_kernels.hpp"
#include "kernels/simd.hpp"
#include "kmeans/kmeans_common.hpp"
#include "pq/rotation.hpp"

namespace vantorix {

namespace {

// Rows per work item of encoding and decoding, and per batch of nearest-codeword searches.
constexpr size_t kRowChunk = 256;
// Partial sums per subspace pass are formed over at most this many consecutive row ranges and
// added in range order, so the centers do not depend on how the pool schedules the ranges.
constexpr size_t kMaxPartials = 64;

bool contiguous(const Array3View<const float>& a) {
  if (a.dim0 == 0 || a.dim1 == 0 || a.dim2 == 0) return true;
  return (a.dim2 == 1 || a.stride2 == 1) && (a.dim1 == 1 || a.stride1 == ptrdiff_t(a.dim2)) &&
         (a.dim0 == 1 || a.stride0 == ptrdiff_t(a.dim1 * a.dim2));
}

struct Partial {
  std::vector<float> sums;     // ks x ds
  std::vector<float> weights;  // ks
};

// Rows of a subspace view as the passes read them: in place when each row's slice is contiguous
// and rows do not overlap, otherwise from a contiguous copy.
struct SubspaceRows {
  Matrix<float> copy;
  const float* base = nullptr;
  ptrdiff_t stride = 0;
  const float* row(size_t r) const { return base + ptrdiff_t(r) * stride; }
};

SubspaceRows subspace_rows(MatrixView<const float> rows) {
  SubspaceRows out;
  const bool unit_cols = rows.cols <= 1 || rows.col_stride == 1;
  const auto span = ptrdiff_t(rows.cols);
  const bool disjoint = rows.rows <= 1 || rows.row_stride >= span || rows.row_stride <= -span;
  if (unit_cols && disjoint) {
    out.base = rows.data;
    out.stride = rows.rows <= 1 ? span : rows.row_stride;
  } else {
    out.copy = Matrix<float>::copy_of(rows);
    out.base = out.copy.data();
    out.stride = span;
  }
  return out;
}

std::vector<size_t> initial_indices(MatrixView<const float> rows, size_t ks, uint64_t seed) {
  try {
    return variance_quantile_indices(rows, ks);
  } catch (const VantorixError&) {
  }
  try {
    return pca_quantile_indices(rows, ks);
  } catch (const VantorixError&) {
  }
  std::vector<size_t> order(rows.rows);
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  SeededRng rng(seed);
  shuffle(rng, order);
  order.resize(std::min(ks, order.size()));
  return order;
}

// Mean over rows of the squared distance between two row-major matrices of one shape, summed in
// f64 in row order: what a rotation pass reports as its inertia.
double mean_squared_error(MatrixView<const float> a, MatrixView<const float> b) {
  const auto per_chunk = parallel_chunk_results<double>(a.rows, kRowChunk, [&](size_t begin, size_t end) {
    double sum = 0.0;
    for (size_t r = begin; r < end; ++r) {
      for (size_t c = 0; c < a.cols; ++c) {
        const double diff = double(a.at(r, c)) - double(b.at(r, c));
        sum += diff * diff;
      }
    }
    return sum;
  });
  double total = 0.0;
  for (double v : per_chunk) total += v;
  return a.rows ? total / double(a.rows) : 0.0;
}

}  // namespace

EncodeStrategy choose_encode_strategy(size_t n, size_t m, size_t ks) {
  switch (env_word(EnvSwitch::PqEncode)) {
    case Word::Transposed: return EncodeStrategy::Transposed;
    case Word::Auto:
      return ks >= 64 && saturating_mul(n, m) >= 4096 ? EncodeStrategy::Transposed : EncodeStrategy::Direct;
    default: return EncodeStrategy::Direct;
  }
}

size_t subspace_chunk_rows(size_t n, size_t ks, size_t ds, size_t threads) {
  const size_t sums = saturating_mul(saturating_mul(ks, ds), 4);
  const size_t bytes = sums + saturating_mul(ks, 4) < sums ? std::numeric_limits<size_t>::max()
                                                          : sums + saturating_mul(ks, 4);
  if (bytes < 1048576) return std::min<size_t>(n, 256);
  const size_t parts = std::max<size_t>(saturating_mul(2, threads), 1);
  const size_t share = n / parts + (n % parts != 0);
  return std::min(n, std::max<size_t>(share, 256));
}

// ---------------------------------------------------------------------------------------------
// Construction and training

ProductQuantizer ProductQuantizer::create(const ProductQuantizerOptions& options) {
  const auto [num_subquantizers, codebook_size, iterations, seed, opq_iterations] = options;
  if (num_subquantizers == 0) throw VantorixError::message("num_subquantizers must be greater than zero");
  if (codebook_size < 2 || codebook_size > 256) throw VantorixError::message("codebook_size must be in [2, 256]");
  if (iterations == 0) throw VantorixError::message("iterations must be greater than zero");
  return ProductQuantizer(num_subquantizers, codebook_size, iterations, seed, opq_iterations);
}

namespace {
template <class R>
void check_codeword_shapes(size_t m, size_t ks, size_t ds, const std::optional<R>& rotation) {
  if (m == 0 || ks == 0 || ds == 0) throw VantorixError::message("codewords must have shape (M, Ks, Ds)");
  if (ks > 256) throw VantorixError::message("codebook_size above 256 is not supported");
  if (rotation) {
    const size_t dim = saturating_mul(m, ds);
    if (rotation->rows != dim || rotation->cols != dim) {
      throw VantorixError::message("rotation must be square and match the original dimensionality");
    }
  }
}
}  // namespace

ProductQuantizer ProductQuantizer::from_codewords(Array3View<const float> codewords,
                                                  std::optional<MatrixView<const float>> rotation, size_t iterations,
                                                  uint64_t seed, size_t opq_iterations) {
  check_codeword_shapes(codewords.dim0, codewords.dim1, codewords.dim2, rotation);
  Array3<float> owned = codewords.copy_named("codewords");
  std::optional<Matrix<float>> owned_rotation;
  if (rotation) owned_rotation = Matrix<float>::copy_named(*rotation, "rotation");
  return from_codewords(std::move(owned), std::move(owned_rotation), iterations, seed, opq_iterations);
}

ProductQuantizer ProductQuantizer::from_codewords(Array3<float> codewords, std::optional<Matrix<float>> rotation,
                                                  size_t iterations, uint64_t seed, size_t opq_iterations) {
  const size_t m = codewords.dim0, ks = codewords.dim1, ds = codewords.dim2;
  check_codeword_shapes(m, ks, ds, rotation);
  ProductQuantizer pq(m, ks, iterations, seed, opq_iterations);
  pq.subdim_ = ds;
  pq.codewords_ = std::move(codewords);
  pq.rotation_ = std::move(rotation);
  return pq;
}

void ProductQuantizer::fit_weighted(MatrixView<const float> data, VectorView<const float> sample_weight) {
  if (sample_weight.size() != data.rows) {
    throw VantorixError::message("sample_weight length must match the number of training rows");
  }
  double total = 0.0;
  for (size_t i = 0; i < sample_weight.size(); ++i) {
    const float w = sample_weight[i];
    if (!std::isfinite(w) || w < 0.0f) {
      throw VantorixError::message("sample_weight values must be finite and non-negative");
    }
    total += double(w);
  }
  if (total <= 2.220446049250313e-16) throw VantorixError::message("sample_weight must contain at least one positive value");
  fit_impl(data, sample_weight);
}

void ProductQuantizer::fit_impl(MatrixView<const float> data, Weights weights) {
  if (data.rows <= codebook_size_) {
    throw VantorixError::message("training data must contain more rows than the codebook size");
  }
  if (data.cols % num_subquantizers_ != 0) {
    throw VantorixError::message("input dimensionality must be divisible by num_subquantizers");
  }
  // Zero-width subspaces have nothing to learn and could not be rebuilt from their codewords.
  if (data.cols == 0) throw VantorixError::message("training data must have at least one column");
  if (opq_iterations_ > 0) {
    fit_rotation(data, weights);
    return;
  }
  auto trained = fit_codewords_with_weights(data, weights);
  codewords_ = std::move(trained);
  subdim_ = data.cols / num_subquantizers_;
  rotation_.reset();
}

void ProductQuantizer::fit_rotation(MatrixView<const float> input, Weights weights) {
  const RowMajorRows rows(input);
  const MatrixView<const float> data = rows.view();
  const size_t dim = data.cols;
  Matrix<float> rotation(dim, dim);
  for (size_t i = 0; i < dim; ++i) rotation.at(i, i) = 1.0f;
  Matrix<float> rotated = Matrix<float>::copy_of(data);
  for (size_t pass = 0; pass < opq_iterations_; ++pass) {
    const auto trained = fit_codewords_with_weights(rotated.view(), weights);
    const auto codes = encode_matrix(view_of(trained), rotated.view());
    const auto reconstruction = decode_matrix(view_of(trained), codes.view());
    if (progress_wanted()) report_progress("opq", pass, mean_squared_error(rotated.view(), reconstruction.view()));
    rotation = orthogonal_procrustes(data, reconstruction.view());
    rotated = apply_rotation(data, rotation.view());
  }
  // `rotated` already holds data * rotation for the final rotation.
  auto trained = fit_codewords_with_weights(rotated.view(), weights);
  codewords_ = std::move(trained);
  subdim_ = dim / num_subquantizers_;
  rotation_ = std::move(rotation);
}

Array3<float> ProductQuantizer::fit_codewords_with_weights(MatrixView<const float> data, Weights weights) const {
  const size_t m = num_subquantizers_, ks = codebook_size_;
  const size_t ds = data.cols / m;
  std::vector<Matrix<float>> trained(m);
  parallel_for_each(m, [&](size_t sub) {
    const MatrixView<const float> block(data.data + ptrdiff_t(sub * ds) * data.col_stride, data.rows, ds,
                                        data.row_stride, data.col_stride);
    trained[sub] = fit_subspace_kmeans(block, weights, seed_ + uint64_t(sub));
  });
  Array3<float> out(m, ks, ds);
  for (size_t sub = 0; sub < m; ++sub) {
    if (trained[sub].size() != ks * ds) fatal("subspace k-means returned a codebook of the wrong size");
    std::copy(trained[sub].values.begin(), trained[sub].values.end(), out.values.begin() + ptrdiff_t(sub * ks * ds));
  }
  return out;
}

Matrix<float> ProductQuantizer::fit_subspace_kmeans(MatrixView<const float> view, Weights weights,
                                                    uint64_t subspace_seed) const {
  const size_t n = view.rows, ds = view.cols, ks = codebook_size_;
  if (weights && weights->size() != n) fatal("subspace k-means: weights do not match the rows");
  const SubspaceRows rows = subspace_rows(view);
  const MatrixView<const float> rows_view(rows.base, n, ds, rows.stride, 1);

  Matrix<float> centers(ks, ds);
  {
    const auto picked = initial_indices(rows_view, ks, subspace_seed);
    for (size_t i = 0; i < picked.size() && i < ks; ++i) {
      std::copy_n(rows.row(picked[i]), ds, centers.row(i).begin());
    }
  }
  const DistanceKernel kernel = DistanceKernel::for_dimension(ds);
  const size_t chunk = std::max<size_t>(subspace_chunk_rows(n, ks, ds, num_threads()), 1);
  const size_t per_range = n / kMaxPartials + (n % kMaxPartials != 0);
  const size_t range_rows = std::max(chunk, (per_range + chunk - 1) / chunk * chunk);

  std::vector<float> dist(n);
  LaneCodebook lanes;
  // One partial per row range, allocated once and cleared on every pass.
  std::vector<Partial> partials(chunk_count(n, range_rows));
  for (auto& p : partials) p = {std::vector<float>(ks * ds), std::vector<float>(ks)};
  Partial total{std::vector<float>(ks * ds), std::vector<float>(ks)};
  PassLoop loop;
  loop.iterations = iterations_;
  std::vector<double> no_history;
  run_passes(
      loop, no_history,
      [&](size_t) {
        lanes.assign(centers.data(), ks, ds, kernel);
        parallel_chunks(n, range_rows, [&](size_t begin, size_t end) {
          Partial& p = partials[begin / range_rows];
          std::fill(p.sums.begin(), p.sums.end(), 0.0f);
          std::fill(p.weights.begin(), p.weights.end(), 0.0f);
          std::pair<uint32_t, float> found[kRowChunk];
          for (size_t start = begin; start < end; start += kRowChunk) {
            const size_t count = std::min(kRowChunk, end - start);
            lanes.nearest_rows(rows.row(start), rows.stride, count, found);
            for (size_t i = 0; i < count; ++i) {
              const size_t r = start + i;
              const auto [label, d] = found[i];
              dist[r] = d;
              const float w = weights ? (*weights)[r] : 1.0f;
              if (!(w > 0.0f)) continue;
              p.weights[label] += w;
              add_scaled(std::span<float>(p.sums.data() + size_t(label) * ds, ds),
                         std::span<const float>(rows.row(r), ds), w);
            }
          }
        });
      },
      [&](size_t) {
        if (partials.empty()) throw VantorixError::message("training data must not be empty");
        std::fill(total.sums.begin(), total.sums.end(), 0.0f);
        std::fill(total.weights.begin(), total.weights.end(), 0.0f);
        for (const auto& p : partials) {
          add_assign(total.sums, p.sums);
          add_assign(total.weights, p.weights);
        }
        for (size_t j = 0; j < ks; ++j) {
          if (total.weights[j] == 0.0f) continue;
          auto center = centers.row(j);
          const float inv = 1.0f / total.weights[j];
          const float* sum = total.sums.data() + j * ds;
          for (size_t d = 0; d < ds; ++d) center[d] = sum[d] * inv;
        }
        reseed_empty_clusters(empty_clusters<float>(total.weights), dist, [&](size_t j, size_t r) {
          std::copy_n(rows.row(r), ds, centers.row(j).begin());
        });
      });
  return centers;
}

// ---------------------------------------------------------------------------------------------
// Encoding and decoding

Matrix<uint8_t> ProductQuantizer::encode(MatrixView<const float> data) const {
  if (!fitted()) throw VantorixError::message("product quantizer has not been fitted");
  const Array3<float>& cw = *codewords_;
  const size_t dim = cw.dim0 * cw.dim2;
  if (data.cols != dim) throw VantorixError::message("input dimensionality does not match trained codewords");
  if (!rotation_) return encode_matrix(view_of(cw), data);

  const size_t n = data.rows;
  const size_t batch_rows = rotation_batch_rows(dim);
  Matrix<uint8_t> codes(n, cw.dim0);
  Matrix<float> buffer(std::min(batch_rows, n), dim);
  for (size_t start = 0; start < n; start += batch_rows) {
    const size_t count = std::min(batch_rows, n - start);
    const MatrixView<const float> batch(data.data + ptrdiff_t(start) * data.row_stride, count, dim,
                                        data.row_stride, data.col_stride);
    const MatrixView<float> rotated(buffer.data(), count, dim);
    apply_rotation_into(RowMajorRows(batch).view(), rotation_->view(), rotated);
    encode_matrix_into(view_of(cw), rotated, MatrixView<uint8_t>(codes.data() + start * cw.dim0, count, cw.dim0));
  }
  return codes;
}

Matrix<uint8_t> ProductQuantizer::encode_matrix(Array3View<const float> codewords, MatrixView<const float> data) const {
  Matrix<uint8_t> codes(data.rows, codewords.dim0);
  encode_matrix_into(codewords, data, codes.view_mut());
  return codes;
}

void ProductQuantizer::encode_matrix_into(Array3View<const float> codewords, MatrixView<const float> data,
                                          MatrixView<uint8_t> codes) const {
  if (!data.is_c_contiguous()) throw VantorixError::message("input matrix must be C-contiguous");
  if (!contiguous(codewords)) throw VantorixError::message("codewords are not contiguous");
  if (!codes.is_c_contiguous()) throw VantorixError::message("output matrix must be C-contiguous");
  const size_t n = data.rows, m = codewords.dim0, ks = codewords.dim1, ds = codewords.dim2;
  if (data.cols != m * ds || codes.rows != n || codes.cols != m || ks > 256) {
    fatal("encode_matrix_into: shapes of data, codewords and codes disagree");
  }
  if (n == 0 || m == 0) return;
  if (ks == 0) fatal("encode_matrix_into: no codewords to choose from");
  const bool transposed_strategy =
      ds != 0 && choose_encode_strategy(n, num_subquantizers_, codebook_size_) == EncodeStrategy::Transposed;

  if (transposed_strategy) {
    const TransposedCodebook table(codewords.data, m, ks, ds);
    parallel_chunks(n, kRowChunk, [&](size_t begin, size_t end) {
      std::vector<float> scratch(ds);
      for (size_t r = begin; r < end; ++r) {
        const float* x = data.data + ptrdiff_t(r) * data.row_stride;
        uint8_t* out = codes.data + ptrdiff_t(r) * codes.row_stride;
        for (size_t sub = 0; sub < m; ++sub) out[sub] = uint8_t(table.nearest(sub, x + sub * ds, scratch.data()));
      }
    });
    return;
  }
  const DistanceKernel kernel = DistanceKernel::for_dimension(ds);
  std::vector<LaneCodebook> books(m);
  for (size_t sub = 0; sub < m; ++sub) books[sub].assign(codewords.data + sub * ks * ds, ks, ds, kernel);
  parallel_chunks(n, kRowChunk, [&](size_t begin, size_t end) {
    std::pair<uint32_t, float> found[kRowChunk];
    const float* first = data.data + ptrdiff_t(begin) * data.row_stride;
    for (size_t sub = 0; sub < m; ++sub) {
      books[sub].nearest_rows(first + sub * ds, data.row_stride, end - begin, found);
      for (size_t r = begin; r < end; ++r) {
        codes.data[ptrdiff_t(r) * codes.row_stride + ptrdiff_t(sub)] = uint8_t(found[r - begin].first);
      }
    }
  });
}

Matrix<float> ProductQuantizer::decode(MatrixView<const uint8_t> codes) const {
  if (!fitted()) throw VantorixError::message("product quantizer has not been fitted");
  const Array3<float>& cw = *codewords_;
  if (codes.cols != cw.dim0) throw VantorixError::message("code dimensionality does not match trained codewords");
  auto decoded = decode_matrix(view_of(cw), codes);
  if (!rotation_) return decoded;
  return apply_rotation(decoded.view(), transposed(rotation_->view()));
}

Matrix<float> ProductQuantizer::decode_matrix(Array3View<const float> codewords, MatrixView<const uint8_t> codes) {
  if (!codes.is_c_contiguous()) throw VantorixError::message("code matrix must be C-contiguous");
  if (!contiguous(codewords)) throw VantorixError::message("codewords are not contiguous");
  const size_t n = codes.rows, m = codewords.dim0, ks = codewords.dim1, ds = codewords.dim2;
  if (codes.cols != m) fatal("decode_matrix: code width differs from the number of subspaces");
  // A code at or past the codebook size has no codeword; reading it would leave the subspace.
  if (ks < 256 && n > 0 && m > 0) {
    const uint8_t* all = codes.data;
    const size_t total = n * m;
    const auto limit = uint8_t(ks);
    if (std::any_of(all, all + total, [&](uint8_t c) { return c >= limit; })) {
      throw VantorixError::message("code values must be smaller than the codebook size");
    }
  }
  Matrix<float> out(n, checked_mul(m, ds, "decoded width"));
  const size_t dim = m * ds;
  parallel_chunks(n, kRowChunk, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      const uint8_t* code = codes.data + ptrdiff_t(r) * codes.row_stride;
      float* row = out.data() + r * dim;
      for (size_t sub = 0; sub < m; ++sub) {
        std::memcpy(row + sub * ds, codewords.data + (sub * ks + code[sub]) * ds, ds * sizeof(float));
      }
    }
  });
  return out;
}

}  // namespace vantorix
