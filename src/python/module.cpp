// The module definition: registration order is part of the interface.
#define VANTORIX_IMPORT_ARRAY
#include "kernels/simd.hpp"
#include "python/classes.hpp"
#include "python/common.hpp"

namespace {

PyObject* simd_runtime(PyObject*, PyObject*) { return PyUnicode_FromString(vantorix::simd_runtime()); }

PyMethodDef kSimdRuntimeDef = {"simd_runtime", simd_runtime, METH_NOARGS,
                               "simd_runtime()\n--\n\n"
                               "\"neon\" when the 4-lane vector kernels are active, \"scalar\" otherwise."};

PyObject* set_progress_callback(PyObject* module, PyObject* callback) {
  return vantorix::py::set_progress_callback(module, callback);
}

PyMethodDef kSetProgressCallbackDef = {
    "_set_progress_callback", set_progress_callback, METH_O,
    "_set_progress_callback(callback)\n--\n\n"
    "Calls callback(fit_name, pass_index, inertia) after each pass of every fit, on the calling "
    "thread; None removes it. An exception raised by the callback stops the fit, which then leaves "
    "its model as it was."};

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, "_vantorix",
                          "Native clustering and vector compression over float32 NumPy arrays.", -1,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

#if defined(VANTORIX_MODULE_LEVEL_BUILD)
// One of the per-level builds: the loader module (loader.cpp) opens it and calls this.
extern "C" __attribute__((visibility("default"))) PyObject* vantorix_create_module(void) {
#else
PyMODINIT_FUNC PyInit__vantorix(void) {
#endif
  import_array();
  if (vantorix::py::init_common() < 0) return nullptr;
  PyObject* module = PyModule_Create(&kModuleDef);
  if (!module) return nullptr;
  using namespace vantorix::py;
  if (register_product_quantizer(module) < 0 || register_dense_kmeans(module) < 0 ||
      register_pq_kmeans(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  PyObject* name = PyModule_GetNameObject(module);
  PyObject* fn = name ? PyCFunction_NewEx(&kSimdRuntimeDef, module, name) : nullptr;
  Py_XDECREF(name);
  if (!fn || PyModule_AddObject(module, "simd_runtime", fn) < 0) {
    Py_XDECREF(fn);
    Py_DECREF(module);
    return nullptr;
  }
  // Extensions come after the interface's own names.
  name = PyModule_GetNameObject(module);
  fn = name ? PyCFunction_NewEx(&kSetProgressCallbackDef, module, name) : nullptr;
  Py_XDECREF(name);
  if (!fn || PyModule_AddObject(module, "_set_progress_callback", fn) < 0) {
    Py_XDECREF(fn);
    Py_DECREF(module);
    return nullptr;
  }
  // Which instruction-set build of the kernels this is (sse, avx2, avx512 on x86-64; neon).
  if (PyModule_AddStringConstant(module, "__simd_level__", vantorix::simd_build_level()) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
