#pragma once
// Search over product-quantization codes (an extension): per-query tables of subspace
// distances to every codeword, asymmetric distances from those tables, and the top-k codes of
// each query. Squared L2 and inner product; queries are rotated like the rows they are compared
// with, codes are read as stored.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/matrix.hpp"
#include "pq/pq.hpp"

namespace vantorix {

enum class SearchMetric : uint8_t { L2, InnerProduct };

// "l2", or "ip" / "dot" / "inner_product"; anything else fails with
// "unsupported metric '<text>'; expected one of l2, ip".
SearchMetric parse_search_metric(std::string_view text);

// (queries, M, Ks): entry [q][m][t] is the squared distance (L2) or the dot product (inner
// product) between slice m of query q (rotated) and codeword t of subspace m.
Array3<float> pq_distance_tables(const ProductQuantizer& pq, MatrixView<const float> queries, SearchMetric metric);

// (queries, rows): sum over m of tables[q][m][codes[r][m]], the M terms added in subspace order.
// tables: (queries, M, Ks); every code must lie below Ks.
Matrix<float> pq_table_distances(Array3View<const float> tables, MatrixView<const uint8_t> codes);

struct PqSearchResult {
  Matrix<float> distances;    // queries x top_k: squared distances, or dot products
  Matrix<int64_t> indices;    // queries x top_k: code rows, best first
};

// The top_k code rows of every query: smallest squared distance (L2) or largest dot product
// (inner product), equal values to the lower row; NaN never ranks before a number. top_k is
// capped at the number of rows. The distances are exactly pq_table_distances' values.
PqSearchResult pq_search(const ProductQuantizer& pq, MatrixView<const float> queries, MatrixView<const uint8_t> codes,
                         size_t top_k, SearchMetric metric);

}  // namespace vantorix
