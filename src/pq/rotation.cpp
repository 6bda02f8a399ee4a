#include "pq/rotation.hpp"

#include <cblas.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>

#include "core/blas_threads.hpp"
#include "core/env.hpp"
#include "core/order_key.hpp"
#include "core/parallel.hpp"

extern "C" void sgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, float* a,
                        const int* lda, float* s, float* u, const int* ldu, float* vt, const int* ldvt,
                        float* work, const int* lwork, int* info);

namespace vantorix {

namespace {

// Every product here is split into work items of a fixed number of rows, each one
// single-threaded GEMM (see blas_threads.hpp), so the rounding depends on the shapes only.
constexpr size_t kRotationChunkRows = 1024;
// Rows per partial of A^T B in the Procrustes step; partials are added in row order, at most
// kCrossPartialsAtOnce of them held at a time.
constexpr size_t kCrossChunkRows = 4096;
constexpr size_t kCrossPartialsAtOnce = 8;

template <class T>
MatrixView<T> row_range(MatrixView<T> v, size_t begin, size_t end) {
  return {v.data + ptrdiff_t(begin) * v.row_stride, end - begin, v.cols, v.row_stride, v.col_stride};
}

int blas_int(size_t v) {
  if (v > size_t(INT_MAX)) throw VantorixError::message("matrix is too large for blas");
  return int(v);
}

// An operand as BLAS can read it: row-major or column-major with a positive leading dimension.
// Any other layout (negative, zero or two non-unit strides) is copied once.
struct GemmOperand {
  const float* data = nullptr;
  CBLAS_TRANSPOSE trans = CblasNoTrans;
  int ld = 1;
  Matrix<float> copy;
};

GemmOperand gemm_operand(MatrixView<const float> v) {
  GemmOperand op;
  const auto rows = ptrdiff_t(v.rows), cols = ptrdiff_t(v.cols);
  if ((cols <= 1 || v.col_stride == 1) && (rows <= 1 || v.row_stride >= std::max<ptrdiff_t>(cols, 1))) {
    op.data = v.data;
    op.ld = blas_int(size_t(rows <= 1 ? std::max<ptrdiff_t>(cols, 1) : v.row_stride));
    return op;
  }
  if ((rows <= 1 || v.row_stride == 1) && (cols <= 1 || v.col_stride >= std::max<ptrdiff_t>(rows, 1))) {
    op.data = v.data;
    op.trans = CblasTrans;
    op.ld = blas_int(size_t(cols <= 1 ? std::max<ptrdiff_t>(rows, 1) : v.col_stride));
    return op;
  }
  op.copy = Matrix<float>::copy_of(v);
  op.data = op.copy.data();
  op.ld = blas_int(std::max<size_t>(v.cols, 1));
  return op;
}

}  // namespace

RowMajorRows::RowMajorRows(MatrixView<const float> rows) : view_(rows) {
  if (rows.is_c_contiguous()) return;
  copy_ = Matrix<float>::copy_of(rows);
  view_ = copy_.view();
}

namespace {

bool row_major_writable(const MatrixView<float>& out) {
  return (out.cols <= 1 || out.col_stride == 1) &&
         (out.rows <= 1 || out.row_stride >= ptrdiff_t(std::max<size_t>(out.cols, 1)));
}

// out = a * b (beta = 0: what out held before does not contribute). Shapes are checked by callers.
void gemm_into(MatrixView<const float> a, MatrixView<const float> b, MatrixView<float> out) {
  const size_t m = a.rows, n = b.cols, k = a.cols;
  if (m == 0 || n == 0) return;
  if (!row_major_writable(out)) {
    Matrix<float> tmp(m, n);
    gemm_into(a, b, tmp.view_mut());
    for (size_t r = 0; r < m; ++r)
      for (size_t c = 0; c < n; ++c) out.at(r, c) = tmp.at(r, c);
    return;
  }
  const int ldc = blas_int(out.rows <= 1 ? std::max<size_t>(n, 1) : size_t(out.row_stride));
  if (k == 0) {
    for (size_t r = 0; r < m; ++r)
      for (size_t c = 0; c < n; ++c) out.at(r, c) = 0.0f;
    return;
  }
  const GemmOperand oa = gemm_operand(a), ob = gemm_operand(b);
  const BlasThreads threads;
  cblas_sgemm(CblasRowMajor, oa.trans, ob.trans, blas_int(m), blas_int(n), blas_int(k), 1.0f, oa.data, oa.ld,
              ob.data, ob.ld, 0.0f, out.data, ldc);
}

void check_rotation_shapes(MatrixView<const float> rows, MatrixView<const float> rotation, size_t out_rows,
                           size_t out_cols) {
  if (rows.cols != rotation.rows || rotation.rows != rotation.cols) {
    throw VantorixError::message("rotation must be square and match the input dimensionality");
  }
  if (out_rows != rows.rows || out_cols != rotation.cols) {
    throw VantorixError::message("rotation output must match the rotated matrix shape");
  }
}

// LAPACK's single-precision SVD of a column-major m x n matrix (overwritten), with workspace query.
void gesvd(char jobu, char jobvt, int m, int n, float* a, int lda, float* s, float* u, int ldu, float* vt,
           int ldvt) {
  const BlasThreads threads;
  int info = 0, lwork = -1;
  float query = 0.0f;
  sgesvd_(&jobu, &jobvt, &m, &n, a, &lda, s, u, &ldu, vt, &ldvt, &query, &lwork, &info);
  if (info != 0) throw VantorixError::linalg("sgesvd workspace query failed with info " + std::to_string(info));
  lwork = std::max(1, int(query));
  std::vector<float> work(static_cast<size_t>(lwork));
  sgesvd_(&jobu, &jobvt, &m, &n, a, &lda, s, u, &ldu, vt, &ldvt, work.data(), &lwork, &info);
  if (info != 0) throw VantorixError::linalg("sgesvd failed with info " + std::to_string(info));
}

// Non-finite input makes LAPACK fail or spin; say so instead.
void require_finite(std::span<const float> values) {
  for (float v : values) {
    if (!std::isfinite(v)) throw VantorixError::linalg("svd input contains non-finite values");
  }
}

// Takes k distinct rows of `order` at the positions (q + 0.5) n / k, walking forward from a
// taken position (backward when nothing is left ahead).
std::vector<size_t> quantile_walk(const std::vector<size_t>& order, size_t k) {
  const size_t n = order.size();
  std::vector<size_t> picked;
  picked.reserve(k);
  std::vector<bool> taken(n, false);
  for (size_t q = 0; q < k; ++q) {
    const double pos = std::floor((double(q) + 0.5) * double(n) / double(k));
    const size_t p = std::min(n - 1, size_t(pos));
    size_t at = p;
    while (at < n && taken[at]) ++at;
    if (at == n) {
      at = p;
      while (taken[at]) --at;  // k <= n, so a free position remains behind p
    }
    taken[at] = true;
    picked.push_back(order[at]);
  }
  return picked;
}

}  // namespace

void apply_rotation_into(MatrixView<const float> rows, MatrixView<const float> rotation, MatrixView<float> out) {
  check_rotation_shapes(rows, rotation, out.rows, out.cols);
  parallel_chunks(rows.rows, kRotationChunkRows, [&](size_t begin, size_t end) {
    gemm_into(row_range(rows, begin, end), rotation, row_range(out, begin, end));
  });
}

void apply_rotation_into(MatrixView<const float> rows, MatrixView<const float> rotation, Matrix<float>& out) {
  apply_rotation_into(rows, rotation, out.view_mut());
}

Matrix<float> apply_rotation(MatrixView<const float> rows, MatrixView<const float> rotation) {
  check_rotation_shapes(rows, rotation, rows.rows, rotation.cols);
  Matrix<float> out(rows.rows, rotation.cols);
  apply_rotation_into(rows, rotation, out);
  return out;
}

Matrix<float> orthogonal_procrustes(MatrixView<const float> a, MatrixView<const float> b) {
  if (a.rows != b.rows || a.cols != b.cols) {
    throw VantorixError::message("orthogonal procrustes inputs must have matching shapes");
  }
  const size_t d = a.cols, rows = a.rows;
  Matrix<float> c(d, d);
  if (d == 0) return c;
  // C = A^T B = sum over row chunks of A_i^T B_i, added in chunk order.
  std::vector<Matrix<float>> partials(
      std::min(kCrossPartialsAtOnce, std::max<size_t>(chunk_count(rows, kCrossChunkRows), 1)));
  for (auto& p : partials) p = Matrix<float>(d, d);
  const size_t wave_rows = kCrossChunkRows * partials.size();
  for (size_t start = 0; start < rows; start += wave_rows) {
    const size_t stop = std::min(rows, start + wave_rows);
    parallel_chunks(stop - start, kCrossChunkRows, [&](size_t begin, size_t end) {
      gemm_into(transposed(row_range(a, start + begin, start + end)), row_range(b, start + begin, start + end),
                partials[begin / kCrossChunkRows].view_mut());
    });
    for (size_t p = 0; p < chunk_count(stop - start, kCrossChunkRows); ++p) {
      for (size_t i = 0; i < d * d; ++i) c.values[i] += partials[p].values[i];
    }
  }
  require_finite(c.values);
  // Row-major C is column-major C^T = U' S V'^T, so C = V' S U'^T and R = V' U'^T, whose
  // row-major form is the column-major product U' V'^T.
  const int n = blas_int(d);
  std::vector<float> s(d), u(d * d), vt(d * d);
  gesvd('A', 'A', n, n, c.data(), n, s.data(), u.data(), n, vt.data(), n);
  Matrix<float> r(d, d);
  const BlasThreads threads;
  cblas_sgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0f, u.data(), n, vt.data(), n, 0.0f,
              r.data(), n);
  return r;
}

std::optional<size_t> rotation_batch_mib() {
  static const std::optional<size_t> cached = parse_rotation_batch_mib(env_text(EnvSwitch::RotationBatchMib));
  return cached;
}

std::optional<size_t> parse_rotation_batch_mib(const std::optional<std::string>& text) {
  const auto value = text ? parse_usize(*text) : std::nullopt;
  if (!value || *value == 0) return std::nullopt;
  return size_t(*value);
}

size_t rotation_batch_rows_for(size_t dim, std::optional<size_t> budget_mib) {
  if (dim == 0) return 256;
  const size_t bytes = saturating_mul(budget_mib.value_or(32), 1048576);
  return std::clamp<size_t>(bytes / saturating_mul(dim, 4), 256, 32768);
}

size_t rotation_batch_rows(size_t dim) { return rotation_batch_rows_for(dim, rotation_batch_mib()); }

std::vector<size_t> variance_quantile_indices(MatrixView<const float> data, size_t k) {
  const size_t n = data.rows, d = data.cols;
  if (n < k) throw VantorixError::message("cannot initialize more centers than samples");
  if (d == 0) throw VantorixError::message("data must have at least one column");
  std::vector<double> sum(d, 0.0), sumsq(d, 0.0);
  for (size_t r = 0; r < n; ++r) {
    for (size_t c = 0; c < d; ++c) {
      const double v = data.at(r, c);
      sum[c] += v;
      sumsq[c] += v * v;
    }
  }
  const double inv_n = 1.0 / double(n);
  size_t best_col = 0;
  int64_t best_key = 0;
  for (size_t c = 0; c < d; ++c) {
    const double mean = sum[c] * inv_n;
    const int64_t key = total_order_key(sumsq[c] * inv_n - mean * mean);
    if (c == 0 || key >= best_key) {  // ties go to the higher column
      best_key = key;
      best_col = c;
    }
  }
  // Sort (key, row) pairs: one contiguous array instead of an indirect comparison.
  std::vector<uint64_t> keyed(n);
  for (size_t r = 0; r < n; ++r) {
    const auto key = uint32_t(total_order_key(data.at(r, best_col))) ^ 0x80000000u;
    keyed[r] = (uint64_t(key) << 32) | uint64_t(r);
  }
  if (n > size_t(UINT32_MAX)) {
    // Row indices no longer fit beside the key; fall back to an indirect sort.
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t x, size_t y) {
      return total_order_key(data.at(x, best_col)) < total_order_key(data.at(y, best_col));
    });
    return quantile_walk(order, k);
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = size_t(keyed[i] & 0xFFFFFFFFu);
  return quantile_walk(order, k);
}

std::vector<size_t> pca_quantile_indices(MatrixView<const float> data, size_t k) {
  const size_t n = data.rows, d = data.cols;
  if (n < k) throw VantorixError::message("cannot initialize more centers than samples");
  if (n == 0) return {};
  if (d == 0) throw VantorixError::message("svd did not return right singular vectors");
  std::vector<float> mean(d, 0.0f);
  for (size_t r = 0; r < n; ++r)
    for (size_t c = 0; c < d; ++c) mean[c] += data.at(r, c);
  for (float& m : mean) m /= float(n);
  // Row-major n x d is column-major d x n (A^T); the right singular vectors of A are the left
  // ones of A^T, so only U of that SVD is asked for.
  Matrix<float> centered(n, d);
  for (size_t r = 0; r < n; ++r)
    for (size_t c = 0; c < d; ++c) centered.at(r, c) = data.at(r, c) - mean[c];
  require_finite(centered.values);
  const int m_rows = blas_int(d), n_cols = blas_int(n);
  const size_t rank = std::min(n, d);
  std::vector<float> s(rank), u(d * rank);
  float vt_unused = 0.0f;
  auto work = centered;  // the SVD overwrites its input
  gesvd('S', 'N', m_rows, n_cols, work.data(), m_rows, s.data(), u.data(), m_rows, &vt_unused, 1);
  // The first principal axis is the first column of U (d contiguous values).
  std::vector<float> projection(n);
  for (size_t r = 0; r < n; ++r) {
    float dot = 0.0f;
    for (size_t c = 0; c < d; ++c) dot += centered.at(r, c) * u[c];
    projection[r] = dot;
  }
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t x, size_t y) { return total_order_key(projection[x]) < total_order_key(projection[y]); });
  return quantile_walk(order, k);
}

}  // namespace vantorix
