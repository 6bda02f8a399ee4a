#pragma once
// Borrowed strided views (inputs) and owned row-major matrices (outputs).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace vantorix {

// A read-only (or writable, for T non-const) view of rows x cols elements. Strides are in
// elements and may be negative or zero; any layout NumPy can describe fits.
template <class T>
struct MatrixView {
  T* data = nullptr;
  size_t rows = 0;
  size_t cols = 0;
  ptrdiff_t row_stride = 0;
  ptrdiff_t col_stride = 1;

  MatrixView() = default;
  MatrixView(T* data_, size_t rows_, size_t cols_, ptrdiff_t row_stride_, ptrdiff_t col_stride_)
      : data(data_), rows(rows_), cols(cols_), row_stride(row_stride_), col_stride(col_stride_) {}
  // Row-major contiguous view.
  MatrixView(T* data_, size_t rows_, size_t cols_)
      : data(data_), rows(rows_), cols(cols_), row_stride(ptrdiff_t(cols_)), col_stride(1) {}
  template <class U>
  MatrixView(const MatrixView<U>& other)  // NOLINT: non-const to const
      : data(other.data), rows(other.rows), cols(other.cols), row_stride(other.row_stride),
        col_stride(other.col_stride) {}

  // Empty, or unit column stride (or one column) and row stride equal to the column count
  // (or one row).
  bool is_c_contiguous() const {
    if (rows == 0 || cols == 0) return true;
    const bool cols_ok = col_stride == 1 || cols == 1;
    const bool rows_ok = row_stride == ptrdiff_t(cols) || rows == 1;
    return cols_ok && rows_ok;
  }

  T& at(size_t r, size_t c) const {
    return data[ptrdiff_t(r) * row_stride + ptrdiff_t(c) * col_stride];
  }
  // Only for contiguous views: the row as one slice.
  std::span<T> row(size_t r) const { return {data + ptrdiff_t(r) * row_stride, cols}; }
  // Only for contiguous views: all elements.
  std::span<T> flat() const { return {data, rows * cols}; }
  size_t size() const { return rows * cols; }
};

// An owned row-major matrix.
template <class T>
struct Matrix {
  std::vector<T> values;
  size_t rows = 0;
  size_t cols = 0;

  Matrix() = default;
  Matrix(size_t rows_, size_t cols_, T fill = T{})
      : values(checked_mul(rows_, cols_, "matrix size"), fill), rows(rows_), cols(cols_) {}

  // Copies any strided view into a new row-major matrix.
  template <class U>
  static Matrix copy_of(const MatrixView<U>& view) {
    Matrix out(view.rows, view.cols);
    for (size_t r = 0; r < view.rows; ++r) {
      for (size_t c = 0; c < view.cols; ++c) out.values[r * view.cols + c] = view.at(r, c);
    }
    return out;
  }
  // copy_of, with a failed allocation reported as "cannot allocate N bytes for a copy of <what>".
  template <class U>
  static Matrix copy_named(const MatrixView<U>& view, const char* what) {
    const size_t bytes = saturating_mul(saturating_mul(view.rows, view.cols), sizeof(T));
    return allocating(bytes, std::string("a copy of ") + what, [&] { return copy_of(view); });
  }

  T* data() { return values.data(); }
  const T* data() const { return values.data(); }
  size_t size() const { return values.size(); }
  bool empty() const { return values.empty(); }
  std::span<T> row(size_t r) { return {values.data() + r * cols, cols}; }
  std::span<const T> row(size_t r) const { return {values.data() + r * cols, cols}; }
  T& at(size_t r, size_t c) { return values[r * cols + c]; }
  const T& at(size_t r, size_t c) const { return values[r * cols + c]; }
  MatrixView<const T> view() const { return {values.data(), rows, cols}; }
  MatrixView<T> view_mut() { return {values.data(), rows, cols}; }
};

// An owned three-dimensional array (subquantizers x codewords x subspace dimensions).
template <class T>
struct Array3 {
  std::vector<T> values;
  size_t dim0 = 0, dim1 = 0, dim2 = 0;

  Array3() = default;
  Array3(size_t d0, size_t d1, size_t d2, T fill = T{})
      : values(checked_mul(checked_mul(d0, d1, "array size"), d2, "array size"), fill),
        dim0(d0), dim1(d1), dim2(d2) {}
  T* data() { return values.data(); }
  const T* data() const { return values.data(); }
  size_t size() const { return values.size(); }
};

// A borrowed strided three-dimensional view.
template <class T>
struct Array3View {
  T* data = nullptr;
  size_t dim0 = 0, dim1 = 0, dim2 = 0;
  ptrdiff_t stride0 = 0, stride1 = 0, stride2 = 1;

  T& at(size_t i, size_t j, size_t k) const {
    return data[ptrdiff_t(i) * stride0 + ptrdiff_t(j) * stride1 + ptrdiff_t(k) * stride2];
  }
  Array3<std::remove_const_t<T>> copy() const {
    Array3<std::remove_const_t<T>> out(dim0, dim1, dim2);
    size_t o = 0;
    for (size_t i = 0; i < dim0; ++i)
      for (size_t j = 0; j < dim1; ++j)
        for (size_t k = 0; k < dim2; ++k) out.values[o++] = at(i, j, k);
    return out;
  }
  // copy(), with a failed allocation reported as "cannot allocate N bytes for a copy of <what>".
  Array3<std::remove_const_t<T>> copy_named(const char* what) const {
    const size_t bytes = saturating_mul(saturating_mul(saturating_mul(dim0, dim1), dim2), sizeof(T));
    return allocating(bytes, std::string("a copy of ") + what, [&] { return copy(); });
  }
};

// A borrowed strided one-dimensional view.
template <class T>
struct VectorView {
  T* data = nullptr;
  size_t len = 0;
  ptrdiff_t stride = 1;
  T& operator[](size_t i) const { return data[ptrdiff_t(i) * stride]; }
  size_t size() const { return len; }
};

}  // namespace vantorix
