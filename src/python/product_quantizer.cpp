// _NativeProductQuantizer: argument conversion and result copies around ProductQuantizer.
#include <new>

#include "classes.hpp"
#include "error.hpp"
#include "pq.hpp"

namespace vantorix::py {

namespace {

struct PqObject {
  PyObject_HEAD
  ProductQuantizer* model;
  BorrowState borrow;
};

PyTypeObject* g_type = nullptr;

PqObject* self_of(PyObject* self) { return reinterpret_cast<PqObject*>(self); }

PyObject* wrap_model(PyTypeObject* type, ProductQuantizer model) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) throw PyErrSet{};
  auto* pq = self_of(obj);
  pq->borrow = BorrowState{};
  try {
    pq->model = new ProductQuantizer(std::move(model));
  } catch (...) {
    pq->model = nullptr;
    Py_DECREF(obj);
    throw;
  }
  return obj;
}

PyObject* pq_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    parse_arguments("_NativeProductQuantizer", args, kwargs,
                    {"num_subquantizers", "codebook_size", "iterations", "seed", "opq_iterations"}, 1, a);
    const size_t m = as_usize(a[0], "num_subquantizers");
    const size_t ks = opt_usize(a[1], "codebook_size", 256);
    const size_t iterations = opt_usize(a[2], "iterations", 20);
    const uint64_t seed = opt_u64(a[3], "seed", 0);
    const size_t opq = opt_usize(a[4], "opq_iterations", 0);
    return wrap_model(type, ProductQuantizer::create(m, ks, iterations, seed, opq));
  });
}

void pq_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete self_of(self)->model;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* pq_from_codewords(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    parse_arguments("from_codewords", args, kwargs, {"codewords", "rotation", "iterations", "seed", "opq_iterations"},
                    1, a);
    auto codewords = as_f32_array3(a[0], "codewords").copy();
    std::optional<Matrix<float>> rotation;
    if (!is_none(a[1])) rotation = Matrix<float>::copy_of(as_f32_matrix(a[1], "rotation"));
    const size_t iterations = opt_usize(a[2], "iterations", 20);
    const uint64_t seed = opt_u64(a[3], "seed", 0);
    const size_t opq = opt_usize(a[4], "opq_iterations", 0);
    return wrap_model(g_type, ProductQuantizer::from_codewords(std::move(codewords), std::move(rotation), iterations,
                                                               seed, opq));
  });
}

PyObject* pq_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    parse_arguments("fit", args, kwargs, {"data"}, 1, a);
    const auto data = as_f32_matrix(a[0], "data");
    ExclusiveBorrow borrow(self_of(self)->borrow);
    self_of(self)->model->fit_impl(data, std::nullopt);
    Py_RETURN_NONE;
  });
}

PyObject* pq_fit_weighted(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    parse_arguments("fit_weighted", args, kwargs, {"data", "sample_weight"}, 2, a);
    const auto data = as_f32_matrix(a[0], "data");
    const auto weights = as_f32_vector(a[1], "sample_weight");
    ExclusiveBorrow borrow(self_of(self)->borrow);
    self_of(self)->model->fit_weighted(data, weights);
    Py_RETURN_NONE;
  });
}

PyObject* pq_encode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    parse_arguments("encode", args, kwargs, {"data"}, 1, a);
    const auto data = as_f32_matrix(a[0], "data");
    SharedBorrow borrow(self_of(self)->borrow);
    const auto codes = self_of(self)->model->encode(data);
    return new_u8_matrix(codes.data(), codes.rows, codes.cols);
  });
}

PyObject* pq_decode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    parse_arguments("decode", args, kwargs, {"codes"}, 1, a);
    const auto codes = as_u8_matrix(a[0], "codes");
    SharedBorrow borrow(self_of(self)->borrow);
    const auto rows = self_of(self)->model->decode(codes);
    return new_f32_matrix(rows.data(), rows.rows, rows.cols);
  });
}

template <class Body>
PyObject* getter(PyObject* self, Body&& body) {
  return guarded([&]() -> PyObject* {
    SharedBorrow borrow(self_of(self)->borrow);
    return body(*self_of(self)->model);
  });
}

void require_fitted(const ProductQuantizer& model) {
  if (!model.fitted()) throw VantorixError::message("product quantizer has not been fitted");
}

PyObject* get_num_subquantizers(PyObject* self, void*) {
  return getter(self, [](const ProductQuantizer& m) { return new_int(m.num_subquantizers()); });
}
PyObject* get_codebook_size(PyObject* self, void*) {
  return getter(self, [](const ProductQuantizer& m) { return new_int(m.codebook_size()); });
}
PyObject* get_iterations(PyObject* self, void*) {
  return getter(self, [](const ProductQuantizer& m) { return new_int(m.iterations()); });
}
PyObject* get_seed(PyObject* self, void*) {
  return getter(self, [](const ProductQuantizer& m) { return new_int(m.seed()); });
}
PyObject* get_opq_iterations(PyObject* self, void*) {
  return getter(self, [](const ProductQuantizer& m) { return new_int(m.opq_iterations()); });
}
PyObject* get_subdim(PyObject* self, void*) {
  return getter(self, [](const ProductQuantizer& m) {
    require_fitted(m);
    return new_int(*m.subdim());
  });
}
PyObject* get_codewords(PyObject* self, void*) {
  return getter(self, [](const ProductQuantizer& m) {
    require_fitted(m);
    const auto& cw = *m.codewords();
    return new_f32_array3(cw.data(), cw.dim0, cw.dim1, cw.dim2);
  });
}
PyObject* get_rotation(PyObject* self, void*) {
  return getter(self, [](const ProductQuantizer& m) -> PyObject* {
    if (!m.rotation()) Py_RETURN_NONE;
    const auto& r = *m.rotation();
    return new_f32_matrix(r.data(), r.rows, r.cols);
  });
}

#define PQ_METHOD(name, fn, flags, doc) \
  { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS | (flags), doc }

PyMethodDef kMethods[] = {
    PQ_METHOD("from_codewords", pq_from_codewords, METH_STATIC,
              "from_codewords(codewords, rotation=None, iterations=20, seed=0, opq_iterations=0)\n--\n\n"
              "A fitted quantizer from codewords (M, Ks, Ds) and an optional (D, D) rotation; both are copied."),
    PQ_METHOD("fit", pq_fit, 0,
              "fit($self, data)\n--\n\n"
              "Trains the codebooks (and the rotation when opq_iterations > 0) on float32 rows."),
    PQ_METHOD("fit_weighted", pq_fit_weighted, 0,
              "fit_weighted($self, data, sample_weight)\n--\n\n"
              "Trains with one non-negative float32 weight per row."),
    PQ_METHOD("encode", pq_encode, 0,
              "encode($self, data)\n--\n\n"
              "Codes of float32 rows: a new uint8 array (n, M)."),
    PQ_METHOD("decode", pq_decode, 0,
              "decode($self, codes)\n--\n\n"
              "Reconstructed rows of uint8 codes: a new float32 array (n, D)."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"num_subquantizers", get_num_subquantizers, nullptr, "Number of subspaces M.", nullptr},
    {"codebook_size", get_codebook_size, nullptr, "Codewords per subspace Ks.", nullptr},
    {"iterations", get_iterations, nullptr, "Lloyd iterations per codebook training.", nullptr},
    {"seed", get_seed, nullptr, "Base seed of the random fallback initialisation.", nullptr},
    {"opq_iterations", get_opq_iterations, nullptr, "Rotation-learning passes; 0 disables the rotation.", nullptr},
    {"subdim", get_subdim, nullptr, "Dimensions per subspace Ds (fitted models only).", nullptr},
    {"codewords", get_codewords, nullptr, "A copy of the codewords (M, Ks, Ds) (fitted models only).", nullptr},
    {"rotation", get_rotation, nullptr, "A copy of the (D, D) rotation, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("_NativeProductQuantizer(num_subquantizers, codebook_size=256, iterations=20, "
                                  "seed=0, opq_iterations=0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(pq_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pq_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"vantorix._vantorix._NativeProductQuantizer", sizeof(PqObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kSlots};

}  // namespace

int register_product_quantizer(PyObject* module) {
  g_type = add_type(module, &kSpec);
  return g_type ? 0 : -1;
}

}  // namespace vantorix::py
