#include "python/common.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/error.hpp"

namespace vantorix::py {

namespace {
PyObject* g_fatal_error = nullptr;
// The callback that the next native call made on this thread reports its passes to: set by
// _call_with_progress around one call (which holds the reference) and taken by that call's
// scope, so nested calls, other threads and later calls report nowhere.
thread_local PyObject* t_next_progress = nullptr;

// The interpreter lock is held for the whole call, so the calling thread may run signal
// handlers here; whatever they raise becomes the call's exception.
bool check_signals(void*) { return PyErr_CheckSignals() == 0; }

bool call_progress(void* callback, const char* fit_name, size_t pass_index, double inertia) {
  PyObject* result =
      PyObject_CallFunction(static_cast<PyObject*>(callback), "snd", fit_name, Py_ssize_t(pass_index), inertia);
  if (!result) return false;
  Py_DECREF(result);
  return true;
}

[[noreturn]] void type_error(const char* name, const std::string& detail) {
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, detail.c_str());
  throw PyErrSet{};
}

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

std::string describe_array(PyArrayObject* arr) {
  PyArray_Descr* descr = PyArray_DESCR(arr);
  std::string out = "an array of ";
  PyObject* s = PyObject_Str(reinterpret_cast<PyObject*>(descr));
  if (s) {
    const char* text = PyUnicode_AsUTF8(s);
    out += text ? text : "?";
    Py_DECREF(s);
  } else {
    PyErr_Clear();
    out += "?";
  }
  if (!PyArray_ISNOTSWAPPED(arr)) out += " (non-native byte order)";
  out += " with " + std::to_string(PyArray_NDIM(arr)) + " dimension(s)";
  return out;
}

PyArrayObject* checked_array(PyObject* obj, const char* name, int type_num, int ndim, const char* expected) {
  if (!PyArray_Check(obj)) type_error(name, std::string("expected ") + expected + ", got '" + type_name(obj) + "'");
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_TYPE(arr) != type_num || !PyArray_ISNOTSWAPPED(arr) || PyArray_NDIM(arr) != ndim) {
    type_error(name, std::string("expected ") + expected + ", got " + describe_array(arr));
  }
  if (!PyArray_ISALIGNED(arr)) type_error(name, std::string("expected ") + expected + ", got an unaligned array");
  return arr;
}

ptrdiff_t element_stride(PyArrayObject* arr, int axis, size_t itemsize) {
  return ptrdiff_t(PyArray_STRIDE(arr, axis)) / ptrdiff_t(itemsize);
}

}  // namespace

PyObject* fatal_error_type() { return g_fatal_error; }

int init_common() {
  if (g_fatal_error) return 0;
  g_fatal_error = PyErr_NewExceptionWithDoc(
      "vantorix._vantorix.VantorixFatalError",
      "A broken internal contract of the native library. Derives from BaseException so that "
      "ordinary exception handlers do not swallow it.",
      PyExc_BaseException, nullptr);
  return g_fatal_error ? 0 : -1;
}

CallHooks take_python_call_hooks() {
  PyObject* callback = t_next_progress;
  t_next_progress = nullptr;
  return {check_signals, callback ? call_progress : nullptr, callback};
}

PyObject* call_with_progress(PyObject*, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs < 2) {
    PyErr_Format(PyExc_TypeError, "_call_with_progress() takes a callback and a method (%zd given)", nargs);
    return nullptr;
  }
  PyObject* callback = PyTuple_GET_ITEM(args, 0);
  PyObject* method = PyTuple_GET_ITEM(args, 1);
  if (callback != Py_None && !PyCallable_Check(callback)) {
    PyErr_Format(PyExc_TypeError, "argument 'callback': expected a callable or None, got '%s'",
                 Py_TYPE(callback)->tp_name);
    return nullptr;
  }
  // Only a native method opens the scope that takes the callback; anything else would hand it
  // to whichever native call it happened to make first.
  if (!PyCFunction_Check(method)) {
    PyErr_Format(PyExc_TypeError, "argument 'method': expected a method of a native class, got '%s'",
                 Py_TYPE(method)->tp_name);
    return nullptr;
  }
  PyObject* rest = PyTuple_GetSlice(args, 2, nargs);
  if (!rest) return nullptr;
  // args holds the callback for as long as the call runs.
  PyObject* outer = t_next_progress;
  t_next_progress = callback == Py_None ? nullptr : callback;
  PyObject* result = PyObject_Call(method, rest, kwargs);
  t_next_progress = outer;
  Py_DECREF(rest);
  return result;
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error indicator lost");
  } catch (const Interrupted&) {
    // Stopped by a signal handler or the progress callback, whose exception is pending; a stop
    // that reached this call from a nested one has none, and reads as the interrupt it was.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const VantorixError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const FatalError& e) {
    PyErr_SetString(g_fatal_error, e.what());
  } catch (const OutOfMemory& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(g_fatal_error, e.what());
  } catch (...) {
    PyErr_SetString(g_fatal_error, "unknown internal error");
  }
}

SharedBorrow::SharedBorrow(BorrowState& s) : state_(s) {
  if (state_.exclusive) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    throw PyErrSet{};
  }
  ++state_.shared;
}

ExclusiveBorrow::ExclusiveBorrow(BorrowState& s) : state_(s) {
  if (state_.exclusive || state_.shared > 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    throw PyErrSet{};
  }
  state_.exclusive = true;
}

MatrixView<const float> as_f32_matrix(PyObject* obj, const char* name) {
  auto* arr = checked_array(obj, name, NPY_FLOAT32, 2, "a 2-dimensional float32 numpy array");
  return {static_cast<const float*>(PyArray_DATA(arr)), size_t(PyArray_DIM(arr, 0)), size_t(PyArray_DIM(arr, 1)),
          element_stride(arr, 0, 4), element_stride(arr, 1, 4)};
}

MatrixView<const uint8_t> as_u8_matrix(PyObject* obj, const char* name) {
  auto* arr = checked_array(obj, name, NPY_UINT8, 2, "a 2-dimensional uint8 numpy array");
  return {static_cast<const uint8_t*>(PyArray_DATA(arr)), size_t(PyArray_DIM(arr, 0)),
          size_t(PyArray_DIM(arr, 1)), element_stride(arr, 0, 1), element_stride(arr, 1, 1)};
}

Array3View<const float> as_f32_array3(PyObject* obj, const char* name) {
  auto* arr = checked_array(obj, name, NPY_FLOAT32, 3, "a 3-dimensional float32 numpy array");
  Array3View<const float> v;
  v.data = static_cast<const float*>(PyArray_DATA(arr));
  v.dim0 = size_t(PyArray_DIM(arr, 0));
  v.dim1 = size_t(PyArray_DIM(arr, 1));
  v.dim2 = size_t(PyArray_DIM(arr, 2));
  v.stride0 = element_stride(arr, 0, 4);
  v.stride1 = element_stride(arr, 1, 4);
  v.stride2 = element_stride(arr, 2, 4);
  return v;
}

VectorView<const float> as_f32_vector(PyObject* obj, const char* name) {
  auto* arr = checked_array(obj, name, NPY_FLOAT32, 1, "a 1-dimensional float32 numpy array");
  return {static_cast<const float*>(PyArray_DATA(arr)), size_t(PyArray_DIM(arr, 0)), element_stride(arr, 0, 4)};
}

VectorView<const uint32_t> as_u32_vector(PyObject* obj, const char* name) {
  auto* arr = checked_array(obj, name, NPY_UINT32, 1, "a 1-dimensional uint32 numpy array");
  return {static_cast<const uint32_t*>(PyArray_DATA(arr)), size_t(PyArray_DIM(arr, 0)), element_stride(arr, 0, 4)};
}

VectorView<const double> as_f64_vector(PyObject* obj, const char* name) {
  auto* arr = checked_array(obj, name, NPY_FLOAT64, 1, "a 1-dimensional float64 numpy array");
  return {static_cast<const double*>(PyArray_DATA(arr)), size_t(PyArray_DIM(arr, 0)), element_stride(arr, 0, 8)};
}

MatrixView<const double> as_f64_matrix(PyObject* obj, const char* name) {
  auto* arr = checked_array(obj, name, NPY_FLOAT64, 2, "a 2-dimensional float64 numpy array");
  return {static_cast<const double*>(PyArray_DATA(arr)), size_t(PyArray_DIM(arr, 0)), size_t(PyArray_DIM(arr, 1)),
          element_stride(arr, 0, 8), element_stride(arr, 1, 8)};
}

VectorView<const uint64_t> as_u64_vector(PyObject* obj, const char* name) {
  auto* arr = checked_array(obj, name, NPY_UINT64, 1, "a 1-dimensional uint64 numpy array");
  return {static_cast<const uint64_t*>(PyArray_DATA(arr)), size_t(PyArray_DIM(arr, 0)), element_stride(arr, 0, 8)};
}

std::vector<double> stopping_window(VectorView<const double> history) {
  const size_t n = history.size();
  const size_t first = n > 5 ? n - 5 : 0;
  std::vector<double> out;
  for (size_t i = first; i < n; ++i) out.push_back(history[i]);
  return out;
}

uint64_t as_u64(PyObject* obj, const char* name) {
  PyObject* index = PyNumber_Index(obj);
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrSet{};
    PyErr_Clear();
    type_error(name, "'" + type_name(obj) + "' object cannot be interpreted as an integer");
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index);
  const bool failed = v == (unsigned long long)-1 && PyErr_Occurred();
  if (failed) {
    // Distinguish a negative value from one that does not fit 64 bits.
    PyObject* zero = PyLong_FromLong(0);
    const int neg = zero ? PyObject_RichCompareBool(index, zero, Py_LT) : 0;
    Py_XDECREF(zero);
    Py_DECREF(index);
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "argument '%s': %s", name,
                 neg > 0 ? "can't convert negative int to unsigned" : "int too large to convert");
    throw PyErrSet{};
  }
  Py_DECREF(index);
  return uint64_t(v);
}

size_t as_usize(PyObject* obj, const char* name) {
  static_assert(sizeof(size_t) == sizeof(uint64_t), "64-bit targets only");
  return size_t(as_u64(obj, name));
}

double as_f64(PyObject* obj, const char* name) {
  if (PyBool_Check(obj) || !(PyFloat_Check(obj) || PyLong_Check(obj))) {
    type_error(name, "'" + type_name(obj) + "' object cannot be converted to 'float'");
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
  return v;
}

bool as_bool(PyObject* obj, const char* name) {
  if (PyBool_Check(obj)) return obj == Py_True;
  if (PyArray_IsScalar(obj, Bool)) return PyObject_IsTrue(obj) == 1;
  type_error(name, "'" + type_name(obj) + "' object cannot be converted to 'bool'");
}

std::string as_string(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) type_error(name, "'" + type_name(obj) + "' object cannot be converted to 'str'");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!text) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw PyErrSet{};
    PyErr_Clear();
    type_error(name, "string is not valid UTF-8");
  }
  return std::string(text, size_t(size));
}

std::vector<uint64_t> as_u64_sequence(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) {
    type_error(name, "expected a sequence of non-negative integers, got '" + type_name(obj) + "'");
  }
  Ref items(PySequence_Tuple(obj));
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  std::vector<uint64_t> out;
  out.reserve(size_t(n));
  for (Py_ssize_t i = 0; i < n; ++i) out.push_back(as_u64(PyTuple_GET_ITEM(items.get(), i), name));
  return out;
}

namespace {
template <class T>
PyObject* new_array(int nd, const npy_intp* dims, int type_num, const T* data, size_t count) {
  PyObject* arr = PyArray_SimpleNew(nd, const_cast<npy_intp*>(dims), type_num);
  if (!arr) throw PyErrSet{};
  if (count) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), data, count * sizeof(T));
  return arr;
}
}  // namespace

PyObject* new_f32_matrix(const float* data, size_t rows, size_t cols) {
  const npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
  return new_array(2, dims, NPY_FLOAT32, data, rows * cols);
}

PyObject* new_f32_array3(const float* data, size_t d0, size_t d1, size_t d2) {
  const npy_intp dims[3] = {npy_intp(d0), npy_intp(d1), npy_intp(d2)};
  return new_array(3, dims, NPY_FLOAT32, data, d0 * d1 * d2);
}

PyObject* new_u8_matrix(const uint8_t* data, size_t rows, size_t cols) {
  const npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
  return new_array(2, dims, NPY_UINT8, data, rows * cols);
}

PyObject* new_i64_matrix(const int64_t* data, size_t rows, size_t cols) {
  const npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
  return new_array(2, dims, NPY_INT64, data, rows * cols);
}

PyObject* new_u32_labels(std::span<const size_t> labels) {
  std::vector<uint32_t> narrow(labels.begin(), labels.end());
  return new_u32_vector(narrow);
}

PyObject* new_u32_vector(std::span<const uint32_t> values) {
  const npy_intp dims[1] = {npy_intp(values.size())};
  return new_array(1, dims, NPY_UINT32, values.data(), values.size());
}

PyObject* new_f64_vector(std::span<const double> values) {
  const npy_intp dims[1] = {npy_intp(values.size())};
  return new_array(1, dims, NPY_FLOAT64, values.data(), values.size());
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref owned(value);
  if (PyDict_SetItemString(dict, key, owned.get()) < 0) throw PyErrSet{};
}

void set_summary_items(PyObject* dict, std::span<const uint64_t> counts, double distance_sum,
                       std::span<const size_t> far_rows, std::span<const float> far_distances,
                       std::span<const size_t> far_labels) {
  const std::vector<uint64_t> rows(far_rows.begin(), far_rows.end());
  const std::vector<uint64_t> labels(far_labels.begin(), far_labels.end());
  const std::vector<double> distances(far_distances.begin(), far_distances.end());
  set_item(dict, "counts", new_u64_vector(counts));
  set_item(dict, "distance_sum", new_float(distance_sum));
  set_item(dict, "far_rows", new_u64_vector(rows));
  set_item(dict, "far_distances", new_f64_vector(distances));
  set_item(dict, "far_labels", new_u64_vector(labels));
}

PyObject* new_f64_matrix(const double* data, size_t rows, size_t cols) {
  const npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
  return new_array(2, dims, NPY_FLOAT64, data, rows * cols);
}

PyObject* new_u64_vector(std::span<const uint64_t> values) {
  const npy_intp dims[1] = {npy_intp(values.size())};
  return new_array(1, dims, NPY_UINT64, values.data(), values.size());
}

PyObject* new_int(uint64_t v) {
  PyObject* o = PyLong_FromUnsignedLongLong(v);
  if (!o) throw PyErrSet{};
  return o;
}

PyObject* new_float(double v) {
  PyObject* o = PyFloat_FromDouble(v);
  if (!o) throw PyErrSet{};
  return o;
}

PyObject* new_bool(bool v) { return Py_NewRef(v ? Py_True : Py_False); }

PyObject* new_str(const char* s) {
  PyObject* o = PyUnicode_FromString(s);
  if (!o) throw PyErrSet{};
  return o;
}

PyTypeObject* add_type(PyObject* module, PyType_Spec* spec) {
  PyObject* type = PyType_FromSpec(spec);
  if (!type) return nullptr;
  const char* dot = std::strrchr(spec->name, '.');
  const char* short_name = dot ? dot + 1 : spec->name;
  if (PyModule_AddObjectRef(module, short_name, type) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  Py_DECREF(type);  // the module keeps it alive
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace vantorix::py
