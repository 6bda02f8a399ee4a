// _NativeDenseKMeans: the Python face of DenseKMeans.
#include <memory>

#include "classes.hpp"
#include "dense.hpp"
#include "error.hpp"

namespace vantorix::py {

namespace {

struct DenseKMeansObject {
  PyObject_HEAD
  DenseKMeans* model;
  BorrowState borrow;
};

DenseKMeansObject* self_of(PyObject* self) { return reinterpret_cast<DenseKMeansObject*>(self); }

PyObject* dense_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[7];
    parse_arguments("_NativeDenseKMeans", args, kwargs,
                    {"k", "iterations", "seed", "verbose", "init", "early_stopping", "spherical"}, 1, a);
    const size_t k = as_usize(a[0], "k");
    const size_t iterations = opt_usize(a[1], "iterations", 20);
    const uint64_t seed = opt_u64(a[2], "seed", 0);
    const bool verbose = opt_bool(a[3], "verbose", false);
    const std::string init_name = opt_string(a[4], "init", "kmeans++");
    const bool early_stopping = opt_bool(a[5], "early_stopping", false);
    const bool spherical = opt_bool(a[6], "spherical", false);

    const InitMethod init = parse_init_method(init_name);
    if (k == 0) throw VantorixError::message("k must be greater than zero");
    if (iterations == 0) throw VantorixError::message("iterations must be greater than zero");

    auto model = std::make_unique<DenseKMeans>(k, iterations, seed, verbose, init, early_stopping, spherical);
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) throw PyErrSet{};
    self_of(obj)->model = model.release();
    self_of(obj)->borrow = BorrowState{};
    return obj;
  });
}

void dense_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete self_of(self)->model;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* dense_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    parse_arguments("fit", args, kwargs, {"data"}, 1, a);
    const auto data = as_f32_matrix(a[0], "data");
    ExclusiveBorrow borrow(self_of(self)->borrow);
    self_of(self)->model->fit(data);
    Py_RETURN_NONE;
  });
}

PyObject* dense_fit_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    parse_arguments("fit_predict", args, kwargs, {"data"}, 1, a);
    const auto data = as_f32_matrix(a[0], "data");
    ExclusiveBorrow borrow(self_of(self)->borrow);
    DenseKMeans& model = *self_of(self)->model;
    model.fit(data);
    return new_u32_labels(model.labels());
  });
}

PyObject* dense_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    parse_arguments("predict", args, kwargs, {"data"}, 1, a);
    const auto data = as_f32_matrix(a[0], "data");
    SharedBorrow borrow(self_of(self)->borrow);
    const auto labels = self_of(self)->model->predict(data);
    return new_u32_labels(labels);
  });
}

PyObject* dense_set_cluster_centers(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    parse_arguments("set_cluster_centers", args, kwargs, {"centers"}, 1, a);
    const auto centers = as_f32_matrix(a[0], "centers");
    ExclusiveBorrow borrow(self_of(self)->borrow);
    self_of(self)->model->set_centers(Matrix<float>::copy_of(centers));
    Py_RETURN_NONE;
  });
}

template <class Get>
PyObject* getter(PyObject* self, Get&& get) {
  return guarded([&]() -> PyObject* {
    SharedBorrow borrow(self_of(self)->borrow);
    return get(*self_of(self)->model);
  });
}

PyObject* get_cluster_centers(PyObject* self, void*) {
  return getter(self, [](const DenseKMeans& m) -> PyObject* {
    if (!m.centers()) throw VantorixError::message("cluster centers are not initialized");
    const auto& c = *m.centers();
    return new_f32_matrix(c.data(), c.rows, c.cols);
  });
}
PyObject* get_labels(PyObject* self, void*) {
  return getter(self, [](const DenseKMeans& m) { return new_u32_labels(m.labels()); });
}
PyObject* get_inertia_history(PyObject* self, void*) {
  return getter(self, [](const DenseKMeans& m) { return new_f64_vector(m.inertia_history()); });
}
PyObject* get_k(PyObject* self, void*) {
  return getter(self, [](const DenseKMeans& m) { return new_int(m.k()); });
}
PyObject* get_iterations(PyObject* self, void*) {
  return getter(self, [](const DenseKMeans& m) { return new_int(m.iterations()); });
}
PyObject* get_seed(PyObject* self, void*) {
  return getter(self, [](const DenseKMeans& m) { return new_int(m.seed()); });
}
PyObject* get_verbose(PyObject* self, void*) {
  return getter(self, [](const DenseKMeans& m) { return new_bool(m.verbose()); });
}
PyObject* get_spherical(PyObject* self, void*) {
  return getter(self, [](const DenseKMeans& m) { return new_bool(m.spherical()); });
}

#define VX_METHOD(name, fn, doc) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef kMethods[] = {
    VX_METHOD("fit", dense_fit,
              "fit($self, data)\n--\n\n"
              "Clusters the rows of data (2-D float32, any strides). Replaces centers, labels and "
              "inertia_history."),
    VX_METHOD("fit_predict", dense_fit_predict,
              "fit_predict($self, data)\n--\n\n"
              "fit(data), then the labels it stored as a new uint32 array."),
    VX_METHOD("predict", dense_predict,
              "predict($self, data)\n--\n\n"
              "Nearest-center label of every row of data as a new uint32 array."),
    VX_METHOD("set_cluster_centers", dense_set_cluster_centers,
              "set_cluster_centers($self, centers)\n--\n\n"
              "Installs a copy of centers (k x d float32, any strides); normalised in spherical mode."),
    {nullptr, nullptr, 0, nullptr},
};

#undef VX_METHOD

PyGetSetDef kGetSet[] = {
    {"cluster_centers", get_cluster_centers, nullptr, "The k x d float32 centers (a copy).", nullptr},
    {"labels", get_labels, nullptr, "uint32 labels of the last fit (a copy; empty before a fit).", nullptr},
    {"inertia_history", get_inertia_history, nullptr,
     "float64 mean distance of every iteration of the last fit (a copy; empty before a fit).", nullptr},
    {"k", get_k, nullptr, "Number of clusters.", nullptr},
    {"iterations", get_iterations, nullptr, "Maximum number of Lloyd iterations.", nullptr},
    {"seed", get_seed, nullptr, "Seed of every random choice.", nullptr},
    {"verbose", get_verbose, nullptr, "Whether fits write one line per iteration to standard error.", nullptr},
    {"spherical", get_spherical, nullptr, "Whether the geometry is spherical (cosine).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "_NativeDenseKMeans(k, iterations=20, seed=0, verbose=False, init=\"kmeans++\", "
                    "early_stopping=False, spherical=False)\n--\n\n"
                    "Dense k-means over float32 rows: Lloyd iterations in Euclidean or spherical geometry.")},
    {Py_tp_new, reinterpret_cast<void*>(dense_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dense_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"vantorix._vantorix._NativeDenseKMeans", sizeof(DenseKMeansObject), 0, Py_TPFLAGS_DEFAULT,
                     kSlots};

}  // namespace

int register_dense_kmeans(PyObject* module) { return add_type(module, &kSpec) ? 0 : -1; }

}  // namespace vantorix::py
