// _NativeDenseKMeans: the Python face of DenseKMeans.
#include "dense/dense.hpp"
#include "dense/dense_update.hpp"
#include "kmeans/kmeans_common.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"

namespace vantorix::py {

namespace {

const DenseKMeansOptions kDefaults{};

std::unique_ptr<DenseKMeans> make(const Args& a) {
  DenseKMeansOptions o;
  o.k = a.integer("k");
  o.iterations = a.integer("iterations");
  o.seed = a.integer("seed");
  o.verbose = a.flag("verbose");
  o.early_stopping = a.flag("early_stopping");
  o.spherical = a.flag("spherical");
  // The init name is checked before the model checks k and iterations.
  o.init = parse_init_method(a.text("init"));
  return std::make_unique<DenseKMeans>(o);
}

PyObject* fit(DenseKMeans* m, const Args& a) {
  m->fit(a.f32_matrix("data"));
  Py_RETURN_NONE;
}

PyObject* fit_with(DenseKMeans* m, const Args& a) {
  DenseFitExtras extras;
  extras.sample_weight = a.f32_vector_or_none("sample_weight");
  extras.initial_centers = a.f32_matrix_or_none("init_centers");
  extras.tol = a.real("tol");
  m->fit(a.f32_matrix("data"), extras);
  Py_RETURN_NONE;
}

PyObject* fit_predict(DenseKMeans* m, const Args& a) {
  m->fit(a.f32_matrix("data"));
  return new_u32_labels(m->labels());
}

PyObject* predict(DenseKMeans* m, const Args& a) { return new_u32_labels(m->predict(a.f32_matrix("data"))); }

PyObject* chunk_summary(DenseKMeans* m, const Args& a) {
  const MatrixView<const float> data = a.f32_matrix("data");
  const auto hint = a.u32_vector_or_none("labels");
  std::vector<uint32_t> previous(hint ? hint->size() : 0);  // contiguous, whatever the hint's stride
  for (size_t i = 0; i < previous.size(); ++i) previous[i] = (*hint)[i];
  const DenseChunkSummary s =
      m->chunk_summary(data, a.integer("farthest"), hint ? std::optional<std::span<const uint32_t>>(previous) : std::nullopt);
  Ref result(PyDict_New());
  if (!result.get()) throw PyErrSet{};
  set_item(result.get(), "sums", new_f64_matrix(s.sums.data(), m->k(), s.sums.size() / m->k()));
  set_summary_items(result.get(), s.counts, s.distance_sum, s.far_rows, s.far_distances, s.far_labels);
  set_item(result.get(), "labels", new_u32_labels(s.labels));
  return result.release();
}

PyObject* set_cluster_centers(DenseKMeans* m, const Args& a) {
  m->set_centers(a.f32_matrix("centers"));
  Py_RETURN_NONE;
}

PyObject* restore_cluster_centers(DenseKMeans* m, const Args& a) {
  m->set_centers(a.f32_matrix("centers"), /*normalize=*/false);
  Py_RETURN_NONE;
}

PyObject* should_stop(DenseKMeans*, const Args& a) {
  return new_bool(converged(stopping_window(a.f64_vector("inertia_history"))));
}

PyObject* normalize_rows(DenseKMeans*, const Args& a) {
  Matrix<float> rows = Matrix<float>::copy_named(a.f32_matrix("rows"), "rows");
  vantorix::normalize_rows(rows);
  return new_f32_matrix(rows.data(), rows.rows, rows.cols);
}

PyObject* update_from_sums(DenseKMeans*, const Args& a) {
  const SummedUpdate u = update_centers_from_sums(a.f32_matrix("centers"), a.f64_matrix("sums"), a.u64_vector("counts"),
                                                  a.f64_vector("far_distances"), a.u64_vector("far_labels"),
                                                  a.u64_vector("far_rows"));
  const std::vector<uint64_t> clusters(u.repair.clusters.begin(), u.repair.clusters.end());
  Ref result(PyDict_New());
  if (!result.get()) throw PyErrSet{};
  set_item(result.get(), "centers", new_f32_matrix(u.centers.data(), u.centers.rows, u.centers.cols));
  set_item(result.get(), "clusters", new_u64_vector(clusters));
  set_item(result.get(), "rows", new_u64_vector(u.repair.rows));
  return result.release();
}

const Constructor<DenseKMeans> kConstructor = {
    "_NativeDenseKMeans",
    {arg("k", Kind::Int), int_arg("iterations", kDefaults.iterations), int_arg("seed", kDefaults.seed),
     bool_arg("verbose", kDefaults.verbose), text_arg("init", init_method_name(kDefaults.init)),
     bool_arg("early_stopping", kDefaults.early_stopping), bool_arg("spherical", kDefaults.spherical)},
    make,
    "Dense k-means over float32 rows: Lloyd iterations in Euclidean or spherical geometry.",
};


const Method<DenseKMeans> kMethods[] = {
    {"fit", Access::Exclusive, {arg("data", Kind::F32Matrix)}, fit,
     "Clusters the rows of data (2-D float32, any strides). Replaces centers, labels and inertia_history."},
    {"fit_with", Access::Exclusive,
     {arg("data", Kind::F32Matrix), arg_or_none("sample_weight", Kind::F32Vector),
      arg_or_none("init_centers", Kind::F32Matrix), float_arg("tol", -1.0)},
     fit_with,
     "Extension: fit(data) with optional row weights (1-D float32, finite, non-negative, not all zero: "
     "weighted seeding, weighted means and a weighted mean-distance history), starting centers "
     "init_centers (k x d float32) in place of the initialisation, and a stop once an update moves "
     "the centers by at most tol x the data's (weighted) mean column variance in summed squared distance "
     "(negative: off)."},
    {"fit_predict", Access::Exclusive, {arg("data", Kind::F32Matrix)}, fit_predict,
     "fit(data), then the labels it stored as a new uint32 array."},
    {"predict", Access::Shared, {arg("data", Kind::F32Matrix)}, predict,
     "Nearest-center label of every row of data as a new uint32 array."},
    {"chunk_summary", Access::Shared,
     {arg("data", Kind::F32Matrix), int_arg("farthest", 0), arg_or_none("labels", Kind::U32Vector)}, chunk_summary,
     "One assignment pass over data against the stored centers, for fits spread over many machines: "
     "a dict of per-cluster float64 sums (k x d) and uint64 counts, distance_sum, the farthest "
     "rows of data (far_rows, far_distances, far_labels; farthest first, ties to the lower row) and "
     "every row's label (labels). labels= (uint32, one per row: the labels of an earlier pass) only "
     "speeds the search up: the result is the exact assignment whatever it holds."},
    {"set_cluster_centers", Access::Exclusive, {arg("centers", Kind::F32Matrix)}, set_cluster_centers,
     "Installs a copy of centers (k x d float32, any strides); normalised in spherical mode."},
    {"restore_cluster_centers", Access::Exclusive, {arg("centers", Kind::F32Matrix)}, restore_cluster_centers,
     "Extension: installs a copy of centers as given, also in spherical mode, for centers a fit "
     "produced (normalising unit rows again can move their last bits, and the labels of near ties)."},
    // The rules below are the fit's own, for drivers that run the passes elsewhere (vantorix.dask).
    {"should_stop", Access::Static, {arg("inertia_history", Kind::F64Vector)}, should_stop,
     "Extension: whether a fit with early_stopping stops after passes with these mean distances "
     "(float64, one per pass): at least 4 passes, the one before last above float64 epsilon, and "
     "the last two relative changes at most 1e-4."},
    {"normalize_rows", Access::Static, {arg("rows", Kind::F32Matrix)}, normalize_rows,
     "Extension: a float32 copy of rows (any strides) scaled to unit length as spherical fits scale "
     "their centers: each row divided by its float32 norm when that norm is above float32 epsilon, "
     "left as it is otherwise."},
    {"update_from_sums", Access::Static,
     {arg("centers", Kind::F32Matrix), arg("sums", Kind::F64Matrix), arg("counts", Kind::U64Vector),
      arg("far_distances", Kind::F64Vector), arg("far_labels", Kind::U64Vector), arg("far_rows", Kind::U64Vector)},
     update_from_sums,
     "Extension: the fit's center update from the summed chunk_summary results of a whole pass: "
     "centers (k x d float32, the pass's), sums (k x d float64) and counts (uint64, k) of all rows, "
     "and candidate rows for the repair of empty clusters (far_distances, far_labels, far_rows: "
     "distance, cluster and row number of each, e.g. the far rows of every chunk). Returns a dict: "
     "centers (the mean of each cluster with rows, as the fit computes it: float32(sum) times the "
     "float32 reciprocal of the count; others unchanged), clusters (the empty clusters, ascending, "
     "that take a row) and rows (the row each of them takes: the farthest finite candidates of "
     "clusters with at least 2 rows, farthest first, ties to the lower row number). The caller "
     "copies those rows in and, in spherical mode, applies normalize_rows."},
};

const Property<DenseKMeans> kProperties[] = {
    {"cluster_centers",
     [](const DenseKMeans& m) -> PyObject* {
       if (!m.centers()) throw VantorixError::message("cluster centers are not initialized");
       const auto& c = *m.centers();
       return new_f32_matrix(c.data(), c.rows, c.cols);
     },
     "The k x d float32 centers (a copy)."},
    {"labels", [](const DenseKMeans& m) { return new_u32_labels(m.labels()); },
     "uint32 labels of the last fit (a copy; empty before a fit)."},
    {"inertia_history", [](const DenseKMeans& m) { return new_f64_vector(m.inertia_history()); },
     "float64 mean distance of every iteration of the last fit (a copy; empty before a fit)."},
    {"k", [](const DenseKMeans& m) { return new_int(m.k()); }, "Number of clusters."},
    {"iterations", [](const DenseKMeans& m) { return new_int(m.iterations()); }, "Maximum number of Lloyd iterations."},
    {"seed", [](const DenseKMeans& m) { return new_int(m.seed()); }, "Seed of every random choice."},
    {"verbose", [](const DenseKMeans& m) { return new_bool(m.verbose()); },
     "Whether fits write one line per iteration to standard error."},
    {"spherical", [](const DenseKMeans& m) { return new_bool(m.spherical()); },
     "Whether the geometry is spherical (cosine)."},
};

}  // namespace

int register_dense_kmeans(PyObject* module) {
  return register_class<kConstructor, kMethods, kProperties>(module, "vantorix._vantorix._NativeDenseKMeans",
                                                             Py_TPFLAGS_DEFAULT);
}

}  // namespace vantorix::py
