#include "pq/pq_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/parallel.hpp"
#include "kernels/simd.hpp"
#include "pq/rotation.hpp"

namespace vantorix {

namespace {

// Query tables are built for blocks of queries whose folded table stays within this size.
constexpr size_t kFoldedTableBytes = size_t{16} << 20;
constexpr size_t kQueryChunk = 16;
constexpr size_t kMinRowChunk = 4096;

const Array3<float>& fitted_codewords(const ProductQuantizer& pq) {
  if (!pq.fitted()) throw VantorixError::message("product quantizer has not been fitted");
  return *pq.codewords();
}

void check_codes(MatrixView<const uint8_t> codes, size_t m, size_t ks) {
  // as decode asks: a strided view (a broadcast one may claim any number of rows) is refused
  // before any row is read
  if (!codes.is_c_contiguous()) throw VantorixError::message("code matrix must be C-contiguous");
  if (codes.cols != m) throw VantorixError::message("code dimensionality does not match trained codewords");
  for (size_t r = 0; r < codes.rows; ++r)
    for (size_t c = 0; c < m; ++c)
      if (codes.at(r, c) >= ks) {
        throw VantorixError::message("codes must lie below the codebook size (" + std::to_string(ks) + ")");
      }
}

float dot(const float* a, const float* b, size_t n) {
  float acc = 0.0f;
  for (size_t i = 0; i < n; ++i) acc = acc + a[i] * b[i];
  return acc;
}

// The queries in the codewords' space: rotated when the quantizer has a rotation.
Matrix<float> prepared_queries(const ProductQuantizer& pq, MatrixView<const float> queries) {
  const Array3<float>& cw = fitted_codewords(pq);
  if (queries.cols != cw.dim0 * cw.dim2) {
    throw VantorixError::message("query dimensionality does not match trained codewords");
  }
  // a row-major copy first: the rotation's GEMM reads any layout the same way only from it
  Matrix<float> copy = Matrix<float>::copy_named(queries, "queries");
  if (pq.rotation()) return apply_rotation(copy.view(), pq.rotation()->view());
  return copy;
}

// A ranking key: NaN after every number; then equal keys go to the lower row.
float rank_key(float v) { return std::isnan(v) ? std::numeric_limits<float>::infinity() : v; }

struct Hit {
  float key;
  int64_t row;
  bool operator<(const Hit& o) const { return key < o.key || (key == o.key && row < o.row); }
};

}  // namespace

SearchMetric parse_search_metric(std::string_view text) {
  if (text == "l2") return SearchMetric::L2;
  if (text == "ip" || text == "dot" || text == "inner_product") return SearchMetric::InnerProduct;
  throw VantorixError::message("unsupported metric '" + escaped(text) + "'; expected one of l2, ip");
}

Array3<float> pq_distance_tables(const ProductQuantizer& pq, MatrixView<const float> queries, SearchMetric metric) {
  const Array3<float>& cw = fitted_codewords(pq);
  const Matrix<float> q = prepared_queries(pq, queries);
  const size_t m_count = cw.dim0, ks = cw.dim1, ds = cw.dim2;
  Array3<float> out(q.rows, m_count, ks);
  parallel_chunks(q.rows, kQueryChunk, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      for (size_t m = 0; m < m_count; ++m) {
        const std::span<const float> slice(q.row(i).data() + m * ds, ds);
        float* dst = out.data() + (i * m_count + m) * ks;
        for (size_t t = 0; t < ks; ++t) {
          const float* word = cw.data() + (m * ks + t) * ds;
          dst[t] = metric == SearchMetric::L2 ? l2_squared(slice, std::span<const float>(word, ds)) : dot(slice.data(), word, ds);
        }
      }
    }
  });
  return out;
}

namespace {

// Runs `visit(row, sums)` for every code row, sums[j] being the distance to query `first + j`
// of a block of `width` queries: the block's tables are folded to [m][t][j] so that a row costs
// M additions of width-long slices (the lookup-table form of the fits over codes).
template <class Visit>
void scan_block(Array3View<const float> tables, size_t first, size_t width, bool negate, MatrixView<const uint8_t> codes,
                size_t row_chunk, Visit&& visit) {
  const size_t m_count = tables.dim1, ks = tables.dim2;
  std::vector<float> folded(m_count * ks * width);
  for (size_t j = 0; j < width; ++j)
    for (size_t m = 0; m < m_count; ++m)
      for (size_t t = 0; t < ks; ++t) {
        const float v = tables.at(first + j, m, t);
        folded[(m * ks + t) * width + j] = negate ? -v : v;
      }
  parallel_chunks(codes.rows, row_chunk, [&](size_t begin, size_t end) {
    std::vector<float> sums(width);
    for (size_t r = begin; r < end; ++r) {
      std::copy_n(folded.data() + size_t(codes.at(r, 0)) * width, width, sums.data());
      for (size_t m = 1; m < m_count; ++m) {
        add_assign(sums, std::span<const float>(folded.data() + (m * ks + codes.at(r, m)) * width, width));
      }
      visit(begin / row_chunk, r, sums);
    }
  });
}

size_t block_width(size_t m_count, size_t ks, size_t queries) {
  return std::clamp<size_t>(kFoldedTableBytes / std::max<size_t>(m_count * ks * sizeof(float), 1), 1,
                            std::max<size_t>(queries, 1));
}

}  // namespace

Matrix<float> pq_table_distances(Array3View<const float> tables, MatrixView<const uint8_t> codes) {
  const size_t nq = tables.dim0, m_count = tables.dim1, ks = tables.dim2;
  if (m_count == 0 || ks == 0) throw VantorixError::message("tables must have shape (queries, M, Ks)");
  check_codes(codes, m_count, ks);
  Matrix<float> out(nq, codes.rows);
  if (codes.rows == 0) return out;
  const size_t width = block_width(m_count, ks, nq);
  for (size_t first = 0; first < nq; first += width) {
    const size_t w = std::min(width, nq - first);
    scan_block(tables, first, w, false, codes, 256, [&](size_t, size_t r, const std::vector<float>& sums) {
      for (size_t j = 0; j < w; ++j) out.at(first + j, r) = sums[j];
    });
  }
  return out;
}

PqSearchResult pq_search(const ProductQuantizer& pq, MatrixView<const float> queries, MatrixView<const uint8_t> codes,
                         size_t top_k, SearchMetric metric) {
  const Array3<float>& cw = fitted_codewords(pq);
  if (top_k == 0) throw VantorixError::message("top_k must be greater than zero");
  check_codes(codes, cw.dim0, cw.dim1);
  const Array3<float> tables = pq_distance_tables(pq, queries, metric);
  const size_t nq = tables.dim0, k = std::min(top_k, codes.rows);
  PqSearchResult out{Matrix<float>(nq, k), Matrix<int64_t>(nq, k)};
  if (k == 0) return out;
  const bool ip = metric == SearchMetric::InnerProduct;
  // The top k under (key, row) is the same however the rows are split, so the chunk size may
  // follow the thread count: a few chunks per thread bounds the partial lists kept.
  const size_t row_chunk = std::max(kMinRowChunk, (codes.rows + 4 * num_threads() - 1) / (4 * num_threads()));
  const size_t chunks = chunk_count(codes.rows, row_chunk);
  const size_t width = block_width(cw.dim0, cw.dim1, nq);
  const Array3View<const float> view = view_of(tables);
  for (size_t first = 0; first < nq; first += width) {
    const size_t w = std::min(width, nq - first);
    // per chunk and query, a max-heap of the k best so far
    std::vector<std::vector<Hit>> heaps(chunks * w);
    scan_block(view, first, w, ip, codes, row_chunk, [&](size_t chunk, size_t r, const std::vector<float>& sums) {
      for (size_t j = 0; j < w; ++j) {
        std::vector<Hit>& heap = heaps[chunk * w + j];
        const Hit hit{rank_key(sums[j]), int64_t(r)};
        if (heap.size() < k) {
          heap.push_back(hit);
          std::push_heap(heap.begin(), heap.end());
        } else if (hit < heap.front()) {
          std::pop_heap(heap.begin(), heap.end());
          heap.back() = hit;
          std::push_heap(heap.begin(), heap.end());
        }
      }
    });
    parallel_chunks(w, 1, [&](size_t begin, size_t end) {
      for (size_t j = begin; j < end; ++j) {
        std::vector<Hit> all;
        for (size_t c = 0; c < chunks; ++c) all.insert(all.end(), heaps[c * w + j].begin(), heaps[c * w + j].end());
        std::partial_sort(all.begin(), all.begin() + ptrdiff_t(k), all.end());
        for (size_t i = 0; i < k; ++i) {
          const int64_t row = all[i].row;
          // the value the table gives (NaN stays NaN), in the metric's own sign
          float v = view.at(first + j, 0, codes.at(size_t(row), 0));
          for (size_t m = 1; m < cw.dim0; ++m) v = v + view.at(first + j, m, codes.at(size_t(row), m));
          out.distances.at(first + j, i) = v;
          out.indices.at(first + j, i) = row;
        }
      }
    });
  }
  return out;
}

}  // namespace vantorix
