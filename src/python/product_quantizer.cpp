// _NativeProductQuantizer: argument conversion and result copies around ProductQuantizer.
#include "pq/pq.hpp"
#include "pq/pq_search.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"

namespace vantorix::py {

namespace {

const ProductQuantizerOptions kDefaults{};

std::unique_ptr<ProductQuantizer> make(const Args& a) {
  return std::make_unique<ProductQuantizer>(ProductQuantizer::create(
      {.num_subquantizers = a.integer("num_subquantizers"), .codebook_size = a.integer("codebook_size"),
       .iterations = a.integer("iterations"), .seed = a.integer("seed"), .opq_iterations = a.integer("opq_iterations")}));
}

PyObject* from_codewords(ProductQuantizer*, const Args& a) {
  auto model = std::make_unique<ProductQuantizer>(
      ProductQuantizer::from_codewords(a.f32_array3("codewords"), a.f32_matrix_or_none("rotation"),
                                       a.integer("iterations"), a.integer("seed"), a.integer("opq_iterations")));
  return wrap(g_class_type<ProductQuantizer>, std::move(model));
}

PyObject* fit(ProductQuantizer* m, const Args& a) {
  m->fit(a.f32_matrix("data"));
  Py_RETURN_NONE;
}

PyObject* fit_weighted(ProductQuantizer* m, const Args& a) {
  m->fit_weighted(a.f32_matrix("data"), a.f32_vector("sample_weight"));
  Py_RETURN_NONE;
}

PyObject* encode(ProductQuantizer* m, const Args& a) {
  const auto codes = m->encode(a.f32_matrix("data"));
  return new_u8_matrix(codes.data(), codes.rows, codes.cols);
}

PyObject* decode(ProductQuantizer* m, const Args& a) {
  const auto rows = m->decode(a.u8_matrix("codes"));
  return new_f32_matrix(rows.data(), rows.rows, rows.cols);
}

PyObject* distance_table(ProductQuantizer* m, const Args& a) {
  const Array3<float> t = pq_distance_tables(*m, a.f32_matrix("queries"), parse_search_metric(a.text("metric")));
  return new_f32_array3(t.data(), t.dim0, t.dim1, t.dim2);
}

PyObject* table_distances(ProductQuantizer* m, const Args& a) {
  const Array3View<const float> tables = a.f32_array3("tables");
  if (!m->fitted()) throw VantorixError::message("product quantizer has not been fitted");
  if (tables.dim1 != m->codewords()->dim0 || tables.dim2 != m->codewords()->dim1) {
    throw VantorixError::message("tables must have shape (queries, num_subquantizers, codebook_size)");
  }
  const Matrix<float> d = pq_table_distances(tables, a.u8_matrix("codes"));
  return new_f32_matrix(d.data(), d.rows, d.cols);
}

PyObject* search(ProductQuantizer* m, const Args& a) {
  const PqSearchResult r = pq_search(*m, a.f32_matrix("queries"), a.u8_matrix("codes"), a.integer("top_k"),
                                     parse_search_metric(a.text("metric")));
  Ref distances(new_f32_matrix(r.distances.data(), r.distances.rows, r.distances.cols));
  Ref indices(new_i64_matrix(r.indices.data(), r.indices.rows, r.indices.cols));
  PyObject* pair = PyTuple_Pack(2, distances.get(), indices.get());
  if (!pair) throw PyErrSet{};
  return pair;
}

void require_fitted(const ProductQuantizer& model) {
  if (!model.fitted()) throw VantorixError::message("product quantizer has not been fitted");
}

const Constructor<ProductQuantizer> kConstructor = {
    "_NativeProductQuantizer",
    {arg("num_subquantizers", Kind::Int), int_arg("codebook_size", kDefaults.codebook_size),
     int_arg("iterations", kDefaults.iterations), int_arg("seed", kDefaults.seed),
     int_arg("opq_iterations", kDefaults.opq_iterations)},
    make,
    "",
};

const Method<ProductQuantizer> kMethods[] = {
    {"from_codewords", Access::Static,
     {arg("codewords", Kind::F32Array3), arg_or_none("rotation", Kind::F32Matrix),
      int_arg("iterations", kDefaults.iterations), int_arg("seed", kDefaults.seed),
      int_arg("opq_iterations", kDefaults.opq_iterations)},
     from_codewords,
     "A fitted quantizer from codewords (M, Ks, Ds) and an optional (D, D) rotation; both are copied."},
    {"fit", Access::Exclusive, {arg("data", Kind::F32Matrix)}, fit,
     "Trains the codebooks (and the rotation when opq_iterations > 0) on float32 rows."},
    {"fit_weighted", Access::Exclusive, {arg("data", Kind::F32Matrix), arg("sample_weight", Kind::F32Vector)},
     fit_weighted, "Trains with one non-negative float32 weight per row."},
    {"encode", Access::Shared, {arg("data", Kind::F32Matrix)}, encode,
     "Codes of float32 rows: a new uint8 array (n, M)."},
    {"decode", Access::Shared, {arg("codes", Kind::U8Matrix)}, decode,
     "Reconstructed rows of uint8 codes: a new float32 array (n, D)."},
    {"distance_table", Access::Shared, {arg("queries", Kind::F32Matrix), text_arg("metric", "l2")}, distance_table,
     "Extension: per query, the squared distance (metric=\"l2\") or dot product (\"ip\") of each of its "
     "subvectors (rotated like the rows) to every codeword: a new float32 array (queries, M, Ks)."},
    {"table_distances", Access::Shared, {arg("tables", Kind::F32Array3), arg("codes", Kind::U8Matrix)},
     table_distances,
     "Extension: asymmetric distances through lookup tables (queries, M, Ks): for every query and code "
     "row, the M table entries the code selects, added in subspace order. A new float32 array (queries, n)."},
    {"search", Access::Shared,
     {arg("queries", Kind::F32Matrix), arg("codes", Kind::U8Matrix), int_arg("top_k", 10), text_arg("metric", "l2")},
     search,
     "Extension: the top_k code rows of every query by asymmetric distance, smallest squared distance "
     "(\"l2\") or largest dot product (\"ip\") first, equal values to the lower row. A tuple (distances "
     "float32, indices int64), each (queries, min(top_k, n))."},
};

const Property<ProductQuantizer> kProperties[] = {
    {"num_subquantizers", [](const ProductQuantizer& m) { return new_int(m.num_subquantizers()); },
     "Number of subspaces M."},
    {"codebook_size", [](const ProductQuantizer& m) { return new_int(m.codebook_size()); },
     "Codewords per subspace Ks."},
    {"iterations", [](const ProductQuantizer& m) { return new_int(m.iterations()); },
     "Lloyd iterations per codebook training."},
    {"seed", [](const ProductQuantizer& m) { return new_int(m.seed()); },
     "Base seed of the random fallback initialisation."},
    {"opq_iterations", [](const ProductQuantizer& m) { return new_int(m.opq_iterations()); },
     "Rotation-learning passes; 0 disables the rotation."},
    {"subdim",
     [](const ProductQuantizer& m) {
       require_fitted(m);
       return new_int(*m.subdim());
     },
     "Dimensions per subspace Ds (fitted models only)."},
    {"codewords",
     [](const ProductQuantizer& m) {
       require_fitted(m);
       const auto& cw = *m.codewords();
       return new_f32_array3(cw.data(), cw.dim0, cw.dim1, cw.dim2);
     },
     "A copy of the codewords (M, Ks, Ds) (fitted models only)."},
    {"rotation",
     [](const ProductQuantizer& m) -> PyObject* {
       if (!m.rotation()) Py_RETURN_NONE;
       const auto& r = *m.rotation();
       return new_f32_matrix(r.data(), r.rows, r.cols);
     },
     "A copy of the (D, D) rotation, or None."},
};

}  // namespace

int register_product_quantizer(PyObject* module) {
  return register_class<kConstructor, kMethods, kProperties>(
      module, "vantorix._vantorix._NativeProductQuantizer", Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE);
}

}  // namespace vantorix::py
