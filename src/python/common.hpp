#pragma once
// The shared boundary layer: argument conversion, result builders, error translation and the
// per-instance borrow guard. Each class file stays short by using only what is here.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL vantorix_ARRAY_API
#ifndef VANTORIX_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "core/matrix.hpp"

namespace vantorix::py {

// Thrown when a Python exception is already set; the method returns NULL.
struct PyErrSet {};

// The fatal-error exception class (derives from BaseException).
PyObject* fatal_error_type();
int init_common();

// Runs body and turns C++ exceptions into Python ones: VantorixError -> ValueError,
// FatalError (and anything unexpected) -> the fatal class, bad_alloc -> MemoryError,
// Interrupted -> the exception a signal handler or the progress callback raised.
// While body runs, the library polls for signals and reports passes to the call's progress
// callback, if it has one.
template <class Body>
PyObject* guarded(Body&& body) noexcept;
void translate_current_exception() noexcept;
// The interruption and progress hooks of the call starting now (see interrupt.hpp); takes the
// progress callback that _call_with_progress set for it, if any.
CallHooks take_python_call_hooks();
// _call_with_progress(callback, method, /, *args, **kwargs): a static method of every class.
PyObject* call_with_progress(PyObject* unused, PyObject* args, PyObject* kwargs);
inline constexpr const char* kCallWithProgressDoc =
    "_call_with_progress(callback, method, /, *args, **kwargs)\n--\n\n"
    "Extension: returns method(*args, **kwargs), where method is a method of a native class or "
    "instance, and calls callback(fit_name, pass_index, inertia) after each pass of that call, on "
    "the calling thread. Other calls, nested ones included, report nothing to it. An exception "
    "raised by callback stops the call, which then leaves its model as it was.";

// --- borrow guard ---------------------------------------------------------------------------
struct BorrowState {
  Py_ssize_t shared = 0;
  bool exclusive = false;
};

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowState& s);
  ~SharedBorrow() { --state_.shared; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowState& state_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowState& s);
  ~ExclusiveBorrow() { state_.exclusive = false; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowState& state_;
};

// --- arguments ------------------------------------------------------------------------------
// Arrays are borrowed, never converted: exactly the declared dtype (native byte order) and
// number of dimensions, any strides. Everything else is a TypeError naming the argument.
MatrixView<const float> as_f32_matrix(PyObject* obj, const char* name);
MatrixView<const uint8_t> as_u8_matrix(PyObject* obj, const char* name);
Array3View<const float> as_f32_array3(PyObject* obj, const char* name);
VectorView<const float> as_f32_vector(PyObject* obj, const char* name);
VectorView<const uint32_t> as_u32_vector(PyObject* obj, const char* name);
VectorView<const double> as_f64_vector(PyObject* obj, const char* name);
MatrixView<const double> as_f64_matrix(PyObject* obj, const char* name);
VectorView<const uint64_t> as_u64_vector(PyObject* obj, const char* name);
// The end of a pass history that the stopping rules read: they look at its length (4 or 5 at
// least) and its last three values, so its last five entries (all, when fewer) give the same
// verdict as the whole history.
std::vector<double> stopping_window(VectorView<const double> history);

// Anything raised by the object's own conversion (`__index__`) that is not a type mismatch
// propagates unchanged.
uint64_t as_u64(PyObject* obj, const char* name);
size_t as_usize(PyObject* obj, const char* name);
bool as_bool(PyObject* obj, const char* name);
// A Python float or int (not a bool), as a double.
double as_f64(PyObject* obj, const char* name);
std::string as_string(PyObject* obj, const char* name);
// A sequence of non-negative integers (a str is rejected), read from a snapshot of its items so
// that conversions which change the sequence cannot pull items from under the loop.
std::vector<uint64_t> as_u64_sequence(PyObject* obj, const char* name);

// --- results --------------------------------------------------------------------------------
PyObject* new_f32_matrix(const float* data, size_t rows, size_t cols);
PyObject* new_f32_array3(const float* data, size_t d0, size_t d1, size_t d2);
PyObject* new_u8_matrix(const uint8_t* data, size_t rows, size_t cols);
PyObject* new_i64_matrix(const int64_t* data, size_t rows, size_t cols);
PyObject* new_u32_labels(std::span<const size_t> labels);
PyObject* new_u32_vector(std::span<const uint32_t> values);
PyObject* new_f64_vector(std::span<const double> values);
PyObject* new_f64_matrix(const double* data, size_t rows, size_t cols);
PyObject* new_u64_vector(std::span<const uint64_t> values);
PyObject* new_int(uint64_t v);
PyObject* new_float(double v);
PyObject* new_bool(bool v);
PyObject* new_str(const char* s);

// Owned reference helper: releases on scope exit unless released.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) : p_(p) {
    if (!p_) throw PyErrSet{};
  }
  ~Ref() { Py_XDECREF(p_); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  PyObject* p_ = nullptr;
};

// dict[key] = value, taking ownership of value (also when it fails).
void set_item(PyObject* dict, const char* key, PyObject* value);
// The entries every chunk summary has: counts, distance_sum and the farthest rows (far_rows,
// far_distances, far_labels).
void set_summary_items(PyObject* dict, std::span<const uint64_t> counts, double distance_sum,
                       std::span<const size_t> far_rows, std::span<const float> far_distances,
                       std::span<const size_t> far_labels);

// Adds a heap type built from spec to the module under its short name.
PyTypeObject* add_type(PyObject* module, PyType_Spec* spec);

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    const CallScope scope(take_python_call_hooks());
    return body();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

}  // namespace vantorix::py
