// _NativePQKMeans: k-means over product-quantization codes.
#include "codes/autok.hpp"
#include "codes/pqkmeans.hpp"
#include "core/env.hpp"
#include "kmeans/kmeans_common.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"

namespace vantorix::py {

namespace {

const PqKMeansOptions kDefaults{};
const AutoKOptions kAutoKDefaults{};

std::unique_ptr<PqKMeans> make(const Args& a) {
  PqKMeansOptions options;
  options.k = a.integer("k");
  options.iterations = a.integer("iterations");
  options.seed = a.integer("seed");
  options.verbose = a.flag("verbose");
  options.lookup_table_bytes = a.integer("lookup_table_bytes");
  options.early_stopping = a.flag("early_stopping");
  options.spherical = a.flag("spherical");
  // The init name is checked before the model validates anything else.
  options.init = parse_init_method(a.text("init"));
  if (options.init == InitMethod::GreedyKMeansPlusPlus) {
    throw VantorixError::message("init '" + escaped(a.text("init")) + "' is available for dense k-means only");
  }
  return std::make_unique<PqKMeans>(
      PqKMeans::create(a.f32_array3("codewords"), a.f32_matrix_or_none("rotation"), options));
}

PyObject* fit(PqKMeans* m, const Args& a) {
  m->fit(a.u8_matrix("codes"));
  Py_RETURN_NONE;
}

PyObject* fit_adc(PqKMeans* m, const Args& a) {
  m->fit_adc(a.u8_matrix("codes"));
  Py_RETURN_NONE;
}

PyObject* fit_predict(PqKMeans* m, const Args& a) {
  m->fit(a.u8_matrix("codes"));
  return new_u32_labels(m->labels());
}

PyObject* fit_predict_adc(PqKMeans* m, const Args& a) {
  m->fit_adc(a.u8_matrix("codes"));
  return new_u32_labels(m->labels());
}

// The call's own choice of the 4-bit fast scan; None leaves it to VANTORIX_PQ4_FASTSCAN.
ScopedWord fastscan_of(const Args& a) {
  const std::optional<bool> on = a.flag_or_none("fastscan");
  return ScopedWord(EnvSwitch::Pq4Fastscan, on ? std::optional<Word>(*on ? Word::On : Word::Off) : std::nullopt);
}

PyObject* fit_hybrid(PqKMeans* m, const Args& a) {
  const ScopedWord fastscan = fastscan_of(a);
  m->fit_hybrid(a.u8_matrix("codes"), a.f32_matrix("vectors"), a.integer("refine_exact_top_l"));
  Py_RETURN_NONE;
}

PyObject* fit_predict_hybrid(PqKMeans* m, const Args& a) {
  const ScopedWord fastscan = fastscan_of(a);
  m->fit_hybrid(a.u8_matrix("codes"), a.f32_matrix("vectors"), a.integer("refine_exact_top_l"));
  return new_u32_labels(m->labels());
}

PyObject* predict_hybrid(PqKMeans* m, const Args& a) {
  const ScopedWord fastscan = fastscan_of(a);
  return new_u32_labels(m->predict_hybrid(a.u8_matrix("codes"), a.f32_matrix("vectors"), a.integer("refine_exact_top_l")));
}

PyObject* predict(PqKMeans* m, const Args& a) { return new_u32_labels(m->predict(a.u8_matrix("codes"))); }

PyObject* chunk_summary(PqKMeans* m, const Args& a) {
  const CodeChunkSummary s = m->chunk_summary(a.u8_matrix("codes"), a.integer("farthest"));
  Ref result(PyDict_New());
  if (!result.get()) throw PyErrSet{};
  PyObject* d = result.get();
  if (s.sparse) {
    set_item(d, "cells", new_u64_vector(s.cells));
    set_item(d, "cell_counts", new_u64_vector(s.cell_counts));
  } else {
    set_item(d, "histogram", new_u64_vector(s.histogram));
  }
  set_summary_items(d, s.counts, s.distance_sum, s.far_rows, s.far_distances, s.far_labels);
  return result.release();
}

PyObject* predict_adc(PqKMeans* m, const Args& a) { return new_u32_labels(m->predict_adc(a.u8_matrix("codes"))); }

PyObject* set_cluster_centers(PqKMeans* m, const Args& a) {
  m->set_cluster_centers(a.u8_matrix("centers"));
  Py_RETURN_NONE;
}

PyObject* set_dense_cluster_centers(PqKMeans* m, const Args& a) {
  m->set_dense_cluster_centers(a.f32_matrix("centers"));
  Py_RETURN_NONE;
}

std::vector<uint32_t> narrow_u32(const std::vector<uint64_t>& values) { return {values.begin(), values.end()}; }

PyObject* vote_from_histogram(PqKMeans* m, const Args& a) {
  const Matrix<uint8_t> centers = m->vote_from_histogram(a.u64_vector("histogram"));
  return new_u8_matrix(centers.data(), centers.rows, centers.cols);
}

PyObject* should_stop(PqKMeans*, const Args& a) {
  return new_bool(should_stop_early(stopping_window(a.f64_vector("inertia_history"))));
}

PyObject* analyze_k_candidates(PqKMeans*, const Args& a) {
  AutoKOptions options;
  options.iterations = a.integer("iterations");
  options.seed = a.integer("seed");
  options.verbose = a.flag("verbose");
  options.lookup_table_bytes = a.integer("lookup_table_bytes");
  options.sample_rows = a.integer("sample_rows");
  const std::string& method_text = a.text("method");

  const AutoKAnalysis analysis =
      vantorix::analyze_k_candidates(a.f32_array3("codewords"), a.u8_matrix("codes"), a.integers("candidate_ks"), options);
  // The method name is checked only once the analysis has run.
  const AutoKMethod method = parse_auto_k_method(method_text);
  const auto [index, k] = analysis.select(method);

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
  set_item(d, "selected_method", new_str(auto_k_method_name(method)));
  set_item(d, "selected_index", new_int(index));
  set_item(d, "selected_k", new_int(k));
  set_item(d, "selected_by_method", by_method.release());
  return result.release();
}

const Constructor<PqKMeans> kConstructor = {
    "_NativePQKMeans",
    {arg("codewords", Kind::F32Array3), arg("k", Kind::Int), int_arg("iterations", kDefaults.iterations),
     int_arg("seed", kDefaults.seed), bool_arg("verbose", kDefaults.verbose),
     int_arg("lookup_table_bytes", kDefaults.lookup_table_bytes), arg_or_none("rotation", Kind::F32Matrix),
     text_arg("init", init_method_name(kDefaults.init)), bool_arg("early_stopping", kDefaults.early_stopping),
     bool_arg("spherical", kDefaults.spherical)},
    make,
    "",
};

const Method<PqKMeans> kMethods[] = {
    {"fit", Access::Exclusive, {arg("codes", Kind::U8Matrix)}, fit, "Symmetric fit: rows and centers are codes."},
    {"fit_adc", Access::Exclusive, {arg("codes", Kind::U8Matrix)}, fit_adc, "Asymmetric fit against dense centers."},
    {"fit_hybrid", Access::Exclusive, {arg("codes", Kind::U8Matrix), arg("vectors", Kind::F32Matrix), arg("refine_exact_top_l", Kind::Int), arg_or_none("fastscan", Kind::Bool)}, fit_hybrid,
     "Hybrid fit: approximate preselection by codes, exact refinement on the raw vectors. Extension: "
     "fastscan=True or False ranks candidates with (without) the 4-bit fast scan for this call, "
     "whatever VANTORIX_PQ4_FASTSCAN says; None (the default) leaves it to the switch."},
    {"predict", Access::Shared, {arg("codes", Kind::U8Matrix)}, predict, "Labels of the nearest code centers."},
    {"chunk_summary", Access::Shared, {arg("codes", Kind::U8Matrix), int_arg("farthest", 0)}, chunk_summary,
     "One symmetric assignment pass over codes against the stored code centers, for fits spread over "
     "many machines: a dict with the codeword histogram of every cluster and subspace (histogram, "
     "k * M * Ks uint64 counts of cell (j * M + m) * Ks + t; or cells and cell_counts, its non-zero "
     "cells, when that is large), counts, distance_sum, and the farthest rows of codes (far_rows, "
     "far_distances, far_labels; farthest first, ties to the lower row)."},
    {"predict_adc", Access::Shared, {arg("codes", Kind::U8Matrix)}, predict_adc,
     "Labels of the nearest dense centers."},
    {"predict_hybrid", Access::Shared, {arg("codes", Kind::U8Matrix), arg("vectors", Kind::F32Matrix), arg("refine_exact_top_l", Kind::Int), arg_or_none("fastscan", Kind::Bool)}, predict_hybrid,
     "Labels of the nearest dense centers, refined on the raw vectors (fastscan as in fit_hybrid)."},
    {"fit_predict", Access::Exclusive, {arg("codes", Kind::U8Matrix)}, fit_predict,
     "fit, then the labels of the fit."},
    {"fit_predict_adc", Access::Exclusive, {arg("codes", Kind::U8Matrix)}, fit_predict_adc,
     "fit_adc, then the labels of the fit."},
    {"fit_predict_hybrid", Access::Exclusive, {arg("codes", Kind::U8Matrix), arg("vectors", Kind::F32Matrix), arg("refine_exact_top_l", Kind::Int), arg_or_none("fastscan", Kind::Bool)}, fit_predict_hybrid,
     "fit_hybrid, then the labels of the fit (fastscan as in fit_hybrid)."},
    {"set_cluster_centers", Access::Exclusive, {arg("centers", Kind::U8Matrix)}, set_cluster_centers,
     "Installs code centers (k x M, uint8)."},
    {"set_dense_cluster_centers", Access::Exclusive, {arg("centers", Kind::F32Matrix)}, set_dense_cluster_centers,
     "Installs dense centers (k x D, float32, raw space)."},
    // The fit's own rules, for drivers that run the passes elsewhere (vantorix.dask).
    {"vote_from_histogram", Access::Shared, {arg("histogram", Kind::U64Vector)}, vote_from_histogram,
     "Extension: the symmetric update's vote from member histograms summed over chunks (uint64, "
     "k * M * Ks counts laid out as chunk_summary's histogram): new (k, M) uint8 code centers, each "
     "center with members voted as a fit votes it (per subspace the codeword with the smallest "
     "summed distance, ties to the lower codeword), each without members keeping its current codes."},
    {"should_stop", Access::Static, {arg("inertia_history", Kind::F64Vector)}, should_stop,
     "Extension: whether a fit with early_stopping stops after passes with these mean distances "
     "(float64, one per pass): at least 5 passes, and the last two falls finite, not negative and "
     "at most 1e-4 relative to the value before."},
    {"analyze_k_candidates", Access::Static,
     {arg("codewords", Kind::F32Array3), arg("codes", Kind::U8Matrix), arg("candidate_ks", Kind::IntSequence),
      int_arg("iterations", kAutoKDefaults.iterations), int_arg("seed", kAutoKDefaults.seed),
      bool_arg("verbose", kAutoKDefaults.verbose), int_arg("lookup_table_bytes", kAutoKDefaults.lookup_table_bytes),
      int_arg("sample_rows", kAutoKDefaults.sample_rows),
      text_arg("method", auto_k_method_name(kAutoKDefaults.method))},
     analyze_k_candidates, ""},
};

const Property<PqKMeans> kProperties[] = {
    {"k", [](const PqKMeans& m) { return new_int(m.k()); }, nullptr},
    {"iterations", [](const PqKMeans& m) { return new_int(m.options().iterations); }, nullptr},
    {"seed", [](const PqKMeans& m) { return new_int(m.options().seed); }, nullptr},
    {"verbose", [](const PqKMeans& m) { return new_bool(m.options().verbose); }, nullptr},
    {"lookup_table_bytes", [](const PqKMeans& m) { return new_int(m.options().lookup_table_bytes); }, nullptr},
    {"codewords",
     [](const PqKMeans& m) {
       const auto& c = m.codewords();
       return new_f32_array3(c.data(), c.dim0, c.dim1, c.dim2);
     },
     nullptr},
    {"cluster_centers",
     [](const PqKMeans& m) {
       const auto& c = m.cluster_centers();
       if (!c) throw VantorixError::message("cluster centers are not initialized");
       return new_u8_matrix(c->data(), c->rows, c->cols);
     },
     nullptr},
    {"dense_cluster_centers",
     [](const PqKMeans& m) {
       const auto& c = m.dense_cluster_centers();
       if (!c) throw VantorixError::message("dense cluster centers are not initialized");
       return new_f32_matrix(c->data(), c->rows, c->cols);
     },
     nullptr},
    {"labels", [](const PqKMeans& m) { return new_u32_labels(m.labels()); }, nullptr},
    {"inertia_history", [](const PqKMeans& m) { return new_f64_vector(m.inertia_history()); }, nullptr},
};

}  // namespace

int register_pq_kmeans(PyObject* module) {
  return register_class<kConstructor, kMethods, kProperties>(module, "vantorix._vantorix._NativePQKMeans",
                                                             Py_TPFLAGS_DEFAULT);
}

}  // namespace vantorix::py
