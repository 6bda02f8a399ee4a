// _NativePQKMeans: k-means over product-quantization codes.
#include <memory>

#include "autok.hpp"
#include "classes.hpp"
#include "pqkmeans.hpp"

namespace vantorix::py {

namespace {

struct PqKMeansObject {
  PyObject_HEAD
  PqKMeans* model;
  BorrowState borrow;
};

PqKMeansObject* self_of(PyObject* obj) { return reinterpret_cast<PqKMeansObject*>(obj); }

PyObject* pq_kmeans_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[10];
    parse_arguments("_NativePQKMeans", args, kwargs,
                    {"codewords", "k", "iterations", "seed", "verbose", "lookup_table_bytes", "rotation", "init",
                     "early_stopping", "spherical"},
                    2, a);
    const Array3View<const float> codewords = as_f32_array3(a[0], "codewords");
    PqKMeansOptions options;
    options.k = as_usize(a[1], "k");
    options.iterations = opt_usize(a[2], "iterations", 20);
    options.seed = opt_u64(a[3], "seed", 0);
    options.verbose = opt_bool(a[4], "verbose", false);
    options.lookup_table_bytes = opt_u64(a[5], "lookup_table_bytes", 1073741824);
    std::optional<MatrixView<const float>> rotation_view;
    if (!is_none(a[6])) rotation_view = as_f32_matrix(a[6], "rotation");
    const std::string init = opt_string(a[7], "init", "farthest_first");
    options.early_stopping = opt_bool(a[8], "early_stopping", false);
    options.spherical = opt_bool(a[9], "spherical", false);

    Array3<float> owned_codewords = codewords.copy();
    std::optional<Matrix<float>> rotation;
    if (rotation_view) rotation = Matrix<float>::copy_of(*rotation_view);
    // The init name is checked before the model validates anything else.
    options.init = parse_init_method(init);
    auto model = std::make_unique<PqKMeans>(
        PqKMeans::new_with_options_and_spherical(std::move(owned_codewords), std::move(rotation), options));

    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) throw PyErrSet{};
    self_of(obj)->model = model.release();
    self_of(obj)->borrow = BorrowState{};
    return obj;
  });
}

void pq_kmeans_dealloc(PyObject* obj) {
  delete self_of(obj)->model;
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

// Methods taking one code matrix.
template <class Body>
PyObject* with_codes(PyObject* self, PyObject* args, PyObject* kwargs, const char* fname, Body&& body) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    parse_arguments(fname, args, kwargs, {"codes"}, 1, a);
    const MatrixView<const uint8_t> codes = as_u8_matrix(a[0], "codes");
    return body(*self_of(self), codes);
  });
}

// Hybrid methods: codes, their raw vectors and the number of candidates refined exactly.
template <class Body>
PyObject* with_codes_and_vectors(PyObject* self, PyObject* args, PyObject* kwargs, const char* fname, Body&& body) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    parse_arguments(fname, args, kwargs, {"codes", "vectors", "refine_exact_top_l"}, 3, a);
    const MatrixView<const uint8_t> codes = as_u8_matrix(a[0], "codes");
    const MatrixView<const float> vectors = as_f32_matrix(a[1], "vectors");
    const uint64_t top_l = as_u64(a[2], "refine_exact_top_l");
    return body(*self_of(self), codes, vectors, top_l);
  });
}

PyObject* fit_hybrid(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_codes_and_vectors(self, args, kwargs, "fit_hybrid",
                                [](PqKMeansObject& s, MatrixView<const uint8_t> codes, MatrixView<const float> vectors,
                                   uint64_t top_l) {
                                  ExclusiveBorrow borrow(s.borrow);
                                  s.model->fit_hybrid(codes, vectors, top_l);
                                  return Py_NewRef(Py_None);
                                });
}

PyObject* predict_hybrid(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_codes_and_vectors(self, args, kwargs, "predict_hybrid",
                                [](PqKMeansObject& s, MatrixView<const uint8_t> codes, MatrixView<const float> vectors,
                                   uint64_t top_l) {
                                  SharedBorrow borrow(s.borrow);
                                  return new_u32_labels(s.model->predict_hybrid(codes, vectors, top_l));
                                });
}

PyObject* fit_predict_hybrid(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_codes_and_vectors(self, args, kwargs, "fit_predict_hybrid",
                                [](PqKMeansObject& s, MatrixView<const uint8_t> codes, MatrixView<const float> vectors,
                                   uint64_t top_l) {
                                  ExclusiveBorrow borrow(s.borrow);
                                  s.model->fit_hybrid(codes, vectors, top_l);
                                  return new_u32_labels(s.model->labels());
                                });
}

PyObject* fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_codes(self, args, kwargs, "fit", [](PqKMeansObject& s, MatrixView<const uint8_t> codes) {
    ExclusiveBorrow borrow(s.borrow);
    s.model->fit(codes);
    return Py_NewRef(Py_None);
  });
}

PyObject* fit_adc(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_codes(self, args, kwargs, "fit_adc", [](PqKMeansObject& s, MatrixView<const uint8_t> codes) {
    ExclusiveBorrow borrow(s.borrow);
    s.model->fit_adc(codes);
    return Py_NewRef(Py_None);
  });
}

PyObject* fit_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_codes(self, args, kwargs, "fit_predict", [](PqKMeansObject& s, MatrixView<const uint8_t> codes) {
    ExclusiveBorrow borrow(s.borrow);
    s.model->fit(codes);
    return new_u32_labels(s.model->labels());
  });
}

PyObject* fit_predict_adc(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_codes(self, args, kwargs, "fit_predict_adc", [](PqKMeansObject& s, MatrixView<const uint8_t> codes) {
    ExclusiveBorrow borrow(s.borrow);
    s.model->fit_adc(codes);
    return new_u32_labels(s.model->labels());
  });
}

PyObject* predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_codes(self, args, kwargs, "predict", [](PqKMeansObject& s, MatrixView<const uint8_t> codes) {
    SharedBorrow borrow(s.borrow);
    return new_u32_labels(s.model->predict(codes));
  });
}

PyObject* predict_adc(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_codes(self, args, kwargs, "predict_adc", [](PqKMeansObject& s, MatrixView<const uint8_t> codes) {
    SharedBorrow borrow(s.borrow);
    return new_u32_labels(s.model->predict_adc(codes));
  });
}

PyObject* set_cluster_centers(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    parse_arguments("set_cluster_centers", args, kwargs, {"centers"}, 1, a);
    const MatrixView<const uint8_t> centers = as_u8_matrix(a[0], "centers");
    ExclusiveBorrow borrow(self_of(self)->borrow);
    self_of(self)->model->set_cluster_centers(Matrix<uint8_t>::copy_of(centers));
    return Py_NewRef(Py_None);
  });
}

PyObject* set_dense_cluster_centers(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    parse_arguments("set_dense_cluster_centers", args, kwargs, {"centers"}, 1, a);
    const MatrixView<const float> centers = as_f32_matrix(a[0], "centers");
    ExclusiveBorrow borrow(self_of(self)->borrow);
    self_of(self)->model->set_dense_cluster_centers(Matrix<float>::copy_of(centers));
    return Py_NewRef(Py_None);
  });
}

std::vector<uint32_t> narrow_u32(const std::vector<uint64_t>& values) { return {values.begin(), values.end()}; }

void set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref owned(value);
  if (PyDict_SetItemString(dict, key, owned.get()) < 0) throw PyErrSet{};
}

PyObject* analyze_k_candidates(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[9];
    parse_arguments("analyze_k_candidates", args, kwargs,
                    {"codewords", "codes", "candidate_ks", "iterations", "seed", "verbose", "lookup_table_bytes",
                     "sample_rows", "method"},
                    3, a);
    const Array3View<const float> codewords = as_f32_array3(a[0], "codewords");
    const MatrixView<const uint8_t> codes = as_u8_matrix(a[1], "codes");
    const std::vector<uint64_t> candidate_ks = as_u64_sequence(a[2], "candidate_ks");
    AutoKOptions options;
    options.iterations = opt_usize(a[3], "iterations", 20);
    options.seed = opt_u64(a[4], "seed", 0);
    options.verbose = opt_bool(a[5], "verbose", false);
    options.lookup_table_bytes = opt_u64(a[6], "lookup_table_bytes", 1073741824);
    options.sample_rows = opt_u64(a[7], "sample_rows", 16384);
    const std::string method_text = opt_string(a[8], "method", "bic");

    const AutoKAnalysis analysis = analyze_k_candidates(codewords.copy(), codes, candidate_ks, options);
    // The method name is checked only once the analysis has run.
    const auto [index, k] = analysis.select(parse_auto_k_method(method_text));

    Ref by_method(PyDict_New());
    for (AutoKMethod m : kAutoKMethods) set_item(by_method.get(), auto_k_method_name(m), new_int(analysis.select(m).second));
    Ref result(PyDict_New());
    PyObject* d = result.get();
    set_item(d, "candidate_ks", new_u32_vector(narrow_u32(analysis.candidate_ks)));
    set_item(d, "inertia", new_f64_vector(analysis.inertia));
    set_item(d, "bic", new_f64_vector(analysis.bic));
    set_item(d, "davies_bouldin", new_f64_vector(analysis.davies_bouldin));
    set_item(d, "centroid_silhouette", new_f64_vector(analysis.centroid_silhouette));
    set_item(d, "elbow", new_f64_vector(analysis.elbow));
    set_item(d, "min_cluster_size", new_u32_vector(narrow_u32(analysis.min_cluster_size)));
    set_item(d, "max_cluster_size", new_u32_vector(narrow_u32(analysis.max_cluster_size)));
    set_item(d, "sample_size", new_int(analysis.sample_size));
    set_item(d, "selected_method", new_str(auto_k_method_name(parse_auto_k_method(method_text))));
    set_item(d, "selected_index", new_int(index));
    set_item(d, "selected_k", new_int(k));
    set_item(d, "selected_by_method", by_method.release());
    return result.release();
  });
}

// Read-only properties, each under a shared borrow.
template <class Body>
PyObject* getter(PyObject* self, Body&& body) {
  return guarded([&]() -> PyObject* {
    SharedBorrow borrow(self_of(self)->borrow);
    return body(*self_of(self)->model);
  });
}

PyObject* get_k(PyObject* self, void*) {
  return getter(self, [](const PqKMeans& m) { return new_int(m.k()); });
}
PyObject* get_iterations(PyObject* self, void*) {
  return getter(self, [](const PqKMeans& m) { return new_int(m.options().iterations); });
}
PyObject* get_seed(PyObject* self, void*) {
  return getter(self, [](const PqKMeans& m) { return new_int(m.options().seed); });
}
PyObject* get_verbose(PyObject* self, void*) {
  return getter(self, [](const PqKMeans& m) { return new_bool(m.options().verbose); });
}
PyObject* get_lookup_table_bytes(PyObject* self, void*) {
  return getter(self, [](const PqKMeans& m) { return new_int(m.options().lookup_table_bytes); });
}
PyObject* get_codewords(PyObject* self, void*) {
  return getter(self, [](const PqKMeans& m) {
    const auto& c = m.codewords();
    return new_f32_array3(c.data(), c.dim0, c.dim1, c.dim2);
  });
}
PyObject* get_cluster_centers(PyObject* self, void*) {
  return getter(self, [](const PqKMeans& m) {
    const auto& c = m.cluster_centers();
    if (!c) throw VantorixError::message("cluster centers are not initialized");
    return new_u8_matrix(c->data(), c->rows, c->cols);
  });
}
PyObject* get_dense_cluster_centers(PyObject* self, void*) {
  return getter(self, [](const PqKMeans& m) {
    const auto& c = m.dense_cluster_centers();
    if (!c) throw VantorixError::message("dense cluster centers are not initialized");
    return new_f32_matrix(c->data(), c->rows, c->cols);
  });
}
PyObject* get_labels(PyObject* self, void*) {
  return getter(self, [](const PqKMeans& m) { return new_u32_labels(m.labels()); });
}
PyObject* get_inertia_history(PyObject* self, void*) {
  return getter(self, [](const PqKMeans& m) { return new_f64_vector(m.inertia_history()); });
}

constexpr int kMethodFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fit)), kMethodFlags,
     "fit($self, codes)\n--\n\nSymmetric fit: rows and centers are codes."},
    {"fit_adc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fit_adc)), kMethodFlags,
     "fit_adc($self, codes)\n--\n\nAsymmetric fit against dense centers."},
    {"fit_hybrid", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fit_hybrid)), kMethodFlags,
     "fit_hybrid($self, codes, vectors, refine_exact_top_l)\n--\n\n"
     "Hybrid fit: approximate preselection by codes, exact refinement on the raw vectors."},
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(predict)), kMethodFlags,
     "predict($self, codes)\n--\n\nLabels of the nearest code centers."},
    {"predict_adc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(predict_adc)), kMethodFlags,
     "predict_adc($self, codes)\n--\n\nLabels of the nearest dense centers."},
    {"predict_hybrid", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(predict_hybrid)), kMethodFlags,
     "predict_hybrid($self, codes, vectors, refine_exact_top_l)\n--\n\n"
     "Labels of the nearest dense centers, refined on the raw vectors."},
    {"fit_predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fit_predict)), kMethodFlags,
     "fit_predict($self, codes)\n--\n\nfit, then the labels of the fit."},
    {"fit_predict_adc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fit_predict_adc)),
     kMethodFlags, "fit_predict_adc($self, codes)\n--\n\nfit_adc, then the labels of the fit."},
    {"fit_predict_hybrid", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fit_predict_hybrid)),
     kMethodFlags,
     "fit_predict_hybrid($self, codes, vectors, refine_exact_top_l)\n--\n\nfit_hybrid, then the labels of the fit."},
    {"set_cluster_centers", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(set_cluster_centers)),
     kMethodFlags, "set_cluster_centers($self, centers)\n--\n\nInstalls code centers (k x M, uint8)."},
    {"set_dense_cluster_centers",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(set_dense_cluster_centers)), kMethodFlags,
     "set_dense_cluster_centers($self, centers)\n--\n\nInstalls dense centers (k x D, float32, raw space)."},
    {"analyze_k_candidates", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(analyze_k_candidates)),
     kMethodFlags | METH_STATIC,
     "analyze_k_candidates(codewords, codes, candidate_ks, iterations=20, seed=0, verbose=False, "
     "lookup_table_bytes=1073741824, sample_rows=16384, method=\"bic\")\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"k", get_k, nullptr, nullptr, nullptr},
    {"iterations", get_iterations, nullptr, nullptr, nullptr},
    {"seed", get_seed, nullptr, nullptr, nullptr},
    {"verbose", get_verbose, nullptr, nullptr, nullptr},
    {"lookup_table_bytes", get_lookup_table_bytes, nullptr, nullptr, nullptr},
    {"codewords", get_codewords, nullptr, nullptr, nullptr},
    {"cluster_centers", get_cluster_centers, nullptr, nullptr, nullptr},
    {"dense_cluster_centers", get_dense_cluster_centers, nullptr, nullptr, nullptr},
    {"labels", get_labels, nullptr, nullptr, nullptr},
    {"inertia_history", get_inertia_history, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "_NativePQKMeans(codewords, k, iterations=20, seed=0, verbose=False, "
                    "lookup_table_bytes=1073741824, rotation=None, init=\"farthest_first\", "
                    "early_stopping=False, spherical=False)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(pq_kmeans_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pq_kmeans_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"vantorix._vantorix._NativePQKMeans", sizeof(PqKMeansObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

int register_pq_kmeans(PyObject* module) { return add_type(module, &kSpec) ? 0 : -1; }

}  // namespace vantorix::py
