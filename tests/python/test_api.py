"""The public estimators: conversions, save/load and pickling, scikit-learn conventions, progress."""

import io
import pickle
import sys
import threading
import types
import zipfile

import numpy as np
import pytest

import vantorix
from vantorix import KMeans, PQKMeans, ProductQuantizer, _progress
from vantorix import _vantorix as vx


@pytest.fixture(scope="module")
def blobs():
    rng = np.random.default_rng(3)
    centers = rng.normal(scale=6.0, size=(5, 16))
    return (centers[rng.integers(0, 5, 600)] + rng.normal(size=(600, 16))).astype(np.float32)


@pytest.fixture(scope="module")
def pq(blobs):
    return ProductQuantizer(4, codebook_size=16, random_state=0).fit(blobs)


def fitted_models(blobs, pq):
    return {
        "kmeans": KMeans(5, random_state=1).fit(blobs),
        "spherical": KMeans(5, random_state=1, spherical=True, init="random").fit(
            blobs / np.linalg.norm(blobs, axis=1, keepdims=True)
        ),
        "pq": pq,
        "opq": ProductQuantizer(4, codebook_size=16, opq_iterations=2, random_state=0).fit(blobs),
        "symmetric": PQKMeans(5, quantizer=pq, random_state=2).fit(blobs),
        "adc": PQKMeans(5, quantizer=pq, mode="adc", random_state=2).fit(blobs),
    }


def outputs(model, x):
    """Everything a fitted model answers for x, to compare two models."""
    out = {k: v for k, v in vars(model).items() if k.endswith("_") and not hasattr(v, "get_params")}
    out["predict"] = model.predict(x) if hasattr(model, "predict") else model.transform(x)
    if isinstance(model, ProductQuantizer):
        out["decode"] = model.decode(model.encode(x))
    else:
        out["score"] = model.score(x)
    return out


def assert_same(a, b):
    assert a.keys() == b.keys()
    for key in a:
        if a[key] is None:
            assert b[key] is None, key
        else:
            np.testing.assert_array_equal(np.asarray(a[key]), np.asarray(b[key]), err_msg=key)


# --- round trips ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["kmeans", "spherical", "pq", "opq", "symmetric", "adc"])
def test_save_load_and_pickle_reproduce_the_fitted_model(blobs, pq, tmp_path, name):
    model = fitted_models(blobs, pq)[name]
    x = blobs if name != "spherical" else blobs / np.linalg.norm(blobs, axis=1, keepdims=True)
    expected = outputs(model, x)
    model.save(tmp_path / "m.npz")
    loaded = vantorix.load(tmp_path / "m.npz")
    assert type(loaded) is type(model) and loaded.get_params(deep=False).keys() == model.get_params(deep=False).keys()
    assert_same(outputs(loaded, x), expected)
    assert_same(outputs(pickle.loads(pickle.dumps(model)), x), expected)


def test_unfitted_models_round_trip_and_clone(pq):
    sklearn_base = pytest.importorskip("sklearn.base")
    model = PQKMeans(7, quantizer=ProductQuantizer(2, codebook_size=8), mode="adc", random_state=4)
    for copy in (pickle.loads(pickle.dumps(model)), sklearn_base.clone(model)):
        assert not hasattr(copy, "cluster_centers_")
        assert copy.get_params()["quantizer__codebook_size"] == 8 and copy.mode == "adc"
    fitted_clone = sklearn_base.clone(PQKMeans(5, quantizer=pq))
    assert fitted_clone.quantizer is not pq and not fitted_clone.quantizer.__sklearn_is_fitted__()


def test_a_fixed_seed_reproduces_the_fit_and_a_failed_fit_changes_nothing(blobs):
    a = KMeans(5, random_state=9).fit(blobs)
    b = KMeans(5, random_state=9).fit(blobs)
    np.testing.assert_array_equal(a.cluster_centers_, b.cluster_centers_)
    before = a.cluster_centers_.copy()
    with pytest.raises(ValueError, match="n_samples=3 should be >= n_clusters=5"):
        a.fit(blobs[:3])
    np.testing.assert_array_equal(a.cluster_centers_, before)
    assert a.n_features_in_ == 16


# --- damaged and foreign files -------------------------------------------------------------


def _payload(model):
    from vantorix import _persist

    return {"vantorix_format": np.array(1, dtype=np.int64), **_persist.to_payload(model)}


def _write(path, arrays, **kwargs):
    with open(path, "wb") as f:
        np.savez(f, **arrays, **kwargs)


def _tamper(payload, **changes):
    out = dict(payload)
    for key, value in changes.items():
        key = key.replace("__", "/")
        if value is None:
            del out[key]
        else:
            out[key] = value
    return out


@pytest.mark.parametrize(
    "change, message",
    [
        ({"state__cluster_centers_": np.zeros((5, 16), np.float64)}, "dtype float64"),
        ({"state__cluster_centers_": np.zeros((4, 16), np.float32)}, r"expected \(5, \*\)"),
        ({"state__cluster_centers_": np.full((5, 16), np.nan, np.float32)}, "non-finite"),
        ({"state__labels_": np.full(600, 7, np.int32)}, "labels_ out of range"),
        ({"state__labels_": None}, "missing labels_"),
        ({"state__extra": np.zeros(3)}, "unexpected entries"),
        ({"vantorix_format": np.array(2, dtype=np.int64)}, "format version 2"),
        ({"vantorix_format": None}, "not a vantorix model"),
        ({"model": np.array("os.system")}, "unknown model"),
        ({"params": np.array('{"n_clusters": 5, "evil": 1}')}, "does not describe"),
        ({"params": np.array("{")}, "not valid JSON"),
        ({"params": np.array('{"n_clusters": "five"}')}, "invalid parameters"),
    ],
)
def test_wrong_contents_are_rejected_with_a_clear_error(blobs, tmp_path, change, message):
    payload = _tamper(_payload(KMeans(5, random_state=0).fit(blobs)), **change)
    _write(tmp_path / "bad.npz", payload)
    with pytest.raises(ValueError, match=message):
        vantorix.load(tmp_path / "bad.npz")


def test_damaged_and_foreign_files_are_rejected(blobs, tmp_path):
    good = tmp_path / "good.npz"
    KMeans(5, random_state=0).fit(blobs).save(good)
    data = good.read_bytes()
    cases = {
        "truncated": data[: len(data) // 2],
        "flipped": data[:200] + bytes(b ^ 0xFF for b in data[200:260]) + data[260:],
        "text": b"definitely not a model",
    }
    for name, content in cases.items():
        (tmp_path / name).write_bytes(content)
    # an object array needs pickle to load and must never be unpickled
    with open(tmp_path / "pickled", "wb") as f:
        np.savez(f, vantorix_format=np.array(1), model=np.array([{"a": 1}], dtype=object))
    # a header promising far more data than the member holds must not be allocated
    forged = io.BytesIO()
    np.lib.format.write_array(forged, np.zeros(4, np.float32))
    raw = forged.getvalue().replace(b"(4,)", b"(4000000000000,)".ljust(4, b" "), 1)
    with zipfile.ZipFile(tmp_path / "forged", "w") as z:
        z.writestr("vantorix_format.npy", raw)
    for name in [*cases, "pickled", "forged"]:
        with pytest.raises(ValueError, match=str(tmp_path)):
            vantorix.load(tmp_path / name)


def test_parameters_that_json_cannot_hold_refuse_to_save(blobs, tmp_path):
    # numpy generators are saved with their state; anything else that is not plain data is not
    model = KMeans(5, random_state=object())
    with pytest.raises(TypeError, match="random_state"):
        model.save(tmp_path / "m.npz")


# --- input conversion ----------------------------------------------------------------------


def test_friendly_inputs_match_the_native_call_on_float32(blobs):
    pd = pytest.importorskip("pandas")
    # what KMeans(5, random_state=11) asks of the native model
    native = vx._NativeDenseKMeans(5, iterations=300, seed=11, init="greedy_kmeans++")
    native.fit_with(blobs, tol=1e-4)
    expected = native.labels
    variants = {
        "float64": blobs.astype(np.float64),
        "list": blobs.tolist(),
        "fortran": np.asfortranarray(blobs),
        "strided": np.repeat(blobs, 2, axis=1)[:, ::2],
        "dataframe": pd.DataFrame(blobs, columns=[f"f{i}" for i in range(16)]),
        "int-valued object": blobs.astype(object),
        # what unpickling in another process can produce; the native module refuses it
        "unaligned": np.frombuffer(b"\0" + blobs.tobytes(), dtype=np.float32, offset=1).reshape(blobs.shape),
    }
    for name, x in variants.items():
        labels = KMeans(5, random_state=11).fit_predict(x)
        np.testing.assert_array_equal(labels, expected, err_msg=name)
        assert labels.dtype == np.int32


def test_conversion_copies_only_when_needed(blobs):
    from vantorix._validation import as_codes, as_matrix

    assert as_matrix(blobs) is blobs
    codes = np.zeros((3, 4), np.uint8)
    assert as_codes(codes, "codes", 4, 16) is codes
    assert as_matrix(np.asfortranarray(blobs)).flags.c_contiguous


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda m, x: m.fit(x[:, 0]), ValueError, "X: expected a 2D array"),
        (lambda m, x: m.fit("abc"), ValueError, "X: the input is not numeric"),
        (lambda m, x: m.fit(np.array([[1.0, {"a": 1}]], dtype=object)), TypeError, "X: cannot convert"),
        (lambda m, x: m.fit(x.astype(np.complex64)), ValueError, "X: Complex"),
        (lambda m, x: m.fit(np.where(np.arange(16) == 3, np.nan, x)), ValueError, "Input X contains NaN"),
        (lambda m, x: m.fit(np.where(np.arange(16) == 3, np.inf, x)), ValueError, "Input X contains infinity"),
        (lambda m, x: m.fit(x[:0]), ValueError, r"0 sample\(s\)"),
        (lambda m, x: m.predict(x), vantorix.NotFittedError, "not fitted"),
        (lambda m, x: m.fit(x).predict(x[:, :3]), ValueError, "X has 3 features, but KMeans is expecting 16"),
    ],
)
def test_bad_inputs_name_the_argument(blobs, call, error, message):
    with pytest.raises(error, match=message):
        call(KMeans(5, random_state=0), blobs)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda pq, x: pq.decode(np.full((2, 4), 16)), r"codes: codes must lie in \[0, 15\]"),
        (lambda pq, x: pq.decode(np.full((2, 4), -1)), r"codes: codes must lie in \[0, 15\]"),
        (lambda pq, x: pq.decode(np.zeros((2, 5), np.uint8)), "codes: codes have 5 columns, expected 4"),
        (lambda pq, x: pq.decode(np.zeros((2, 4)) + 0.5), "codes: codes must be integers"),
        (lambda pq, x: ProductQuantizer(4).fit(x, sample_weight=np.ones(3)), r"sample_weight: expected shape \(600,\)"),
        (lambda pq, x: ProductQuantizer(4).fit(x, sample_weight=np.zeros(600)), "all weights are zero"),
        (lambda pq, x: PQKMeans(5).fit(codes=pq.encode(x)), "codes can only be clustered with the quantizer"),
        (lambda pq, x: PQKMeans(5, quantizer=pq, mode="fancy").fit(x), "mode must be one of"),
    ],
)
def test_quantizer_and_code_inputs_are_checked(blobs, pq, call, message):
    with pytest.raises(ValueError, match=message):
        call(pq, blobs)


# --- behaviour of the estimators -----------------------------------------------------------


def test_kmeans_attributes_follow_scikit_learn(blobs):
    km = KMeans(5, random_state=2).fit(blobs)
    labels = km.labels_
    sq = ((blobs - km.cluster_centers_[labels]) ** 2).sum(dtype=np.float64)
    assert km.inertia_ == pytest.approx(sq, rel=1e-5)
    assert km.score(blobs) == pytest.approx(-sq, rel=1e-5)
    assert km.n_iter_ == len(km.inertia_history_) < 300  # stopped at convergence
    dist = km.transform(blobs)
    exact = np.linalg.norm(blobs[:, None, :] - km.cluster_centers_[None], axis=2)
    np.testing.assert_allclose(dist, exact, rtol=1e-4, atol=1e-3)
    np.testing.assert_array_equal(dist.argmin(axis=1), km.predict(blobs))


def test_transform_works_in_bounded_blocks(blobs, monkeypatch):
    from vantorix import _base

    km = KMeans(5, random_state=2).fit(blobs)
    whole = km.transform(blobs)
    monkeypatch.setattr(_base, "_BLOCK_ELEMENTS", 7 * 16)  # 7 rows per block, a ragged last block
    np.testing.assert_allclose(km.transform(blobs), whole, rtol=1e-6)
    assert km.score(blobs) == pytest.approx(-km.inertia_, rel=1e-5)


def test_quantizer_transform_is_encode_and_from_codewords_rebuilds_it(blobs, pq):
    codes = pq.transform(blobs)
    assert codes.dtype == np.uint8 and codes.shape == (600, 4)
    np.testing.assert_array_equal(pq.inverse_transform(codes), pq.decode(codes))
    rebuilt = ProductQuantizer.from_codewords(pq.codewords_, pq.rotation_)
    np.testing.assert_array_equal(rebuilt.encode(blobs), codes)


@pytest.mark.parametrize("mode, native_fit", [("symmetric", "fit_predict"), ("adc", "fit_predict_adc")])
def test_pq_kmeans_matches_the_native_fit_on_vectors_or_codes(blobs, pq, mode, native_fit):
    codes = pq.encode(blobs)
    native = vx._NativePQKMeans(pq.codewords_, 5, seed=3)
    expected = getattr(native, native_fit)(codes)
    from_vectors = PQKMeans(5, quantizer=pq, mode=mode, random_state=3).fit(blobs)
    from_codes = PQKMeans(5, quantizer=pq, mode=mode, random_state=3).fit(codes=codes)
    np.testing.assert_array_equal(from_vectors.labels_, expected)
    np.testing.assert_array_equal(from_codes.predict(codes=codes), expected)
    assert from_codes.cluster_centers_.shape == (5, 16)
    assert from_codes.inertia_ == pytest.approx(native.inertia_history[-1] * 600)


def test_pq_kmeans_trains_its_own_quantizer_when_given_none(blobs):
    model = PQKMeans(5, random_state=0).fit(blobs)
    assert model.quantizer is None and model.quantizer_.num_subquantizers == 16
    assert model.predict(blobs[:10]).shape == (10,)


def test_pq_kmeans_hybrid_mode(blobs, pq, tmp_path):
    # init="auto" starts the hybrid fit from k-means++
    model = PQKMeans(5, quantizer=pq, mode="hybrid", refine_exact_top_l=5, random_state=1).fit(blobs)
    native = vx._NativePQKMeans(pq.codewords_, 5, seed=1, init="kmeans++")
    np.testing.assert_array_equal(model.labels_, native.fit_predict_hybrid(pq.encode(blobs), blobs, 5))
    with pytest.raises(ValueError, match="hybrid mode needs the vectors"):
        model.predict(codes=pq.encode(blobs))
    model.save(tmp_path / "h.npz")
    np.testing.assert_array_equal(vantorix.load(tmp_path / "h.npz").predict(blobs), model.predict(blobs))


@pytest.mark.parametrize("width, blocks", [(16, 4), (128, 32), (384, 96), (784, 56), (6, 1)])
def test_pq_kmeans_hybrid_defaults(width, blocks):
    """Hybrid mode trains a 16-codeword quantizer (blocks of at least 4 columns, at most 96 blocks)
    and ranks candidates with the 4-bit fast scan, whatever VANTORIX_PQ4_FASTSCAN says."""
    from vantorix._pqkmeans import default_quantizer

    quantizer = default_quantizer(width, 0, "hybrid")
    assert (quantizer.num_subquantizers, quantizer.codebook_size, quantizer.max_iter) == (blocks, 16, 10)
    if width != 16:
        return
    rng = np.random.default_rng(5)
    x = rng.normal(0, 1, (900, 16)).astype(np.float32)
    model = PQKMeans(20, mode="hybrid", refine_exact_top_l=1, max_iter=3, random_state=4).fit(x)
    codes = model.quantizer_.encode(x)
    native = vx._NativePQKMeans(model.quantizer_.codewords_, 20, iterations=3, seed=4, init="kmeans++")
    np.testing.assert_array_equal(model.labels_, native.fit_predict_hybrid(codes, x, 1, fastscan=True))
    np.testing.assert_array_equal(model.predict(x), native.predict_hybrid(codes, x, 1, fastscan=True))
    # The float-table ranking picks other candidates here, so the test tells the two apart.
    assert not np.array_equal(model.labels_, native.fit_predict_hybrid(codes, x, 1, fastscan=False))
    # Beyond 1024 rows the quantizer trains on a sample, drawn from random_state like the fit's seed.
    big = rng.normal(0, 1, (5000, 16)).astype(np.float32)
    fits = [PQKMeans(20, mode="hybrid", max_iter=2, random_state=seed).fit(big) for seed in (7, 7, 8)]
    np.testing.assert_array_equal(fits[0].quantizer_.codewords_, fits[1].quantizer_.codewords_)
    np.testing.assert_array_equal(fits[0].labels_, fits[1].labels_)
    assert not np.array_equal(fits[0].quantizer_.codewords_, fits[2].quantizer_.codewords_)


def test_pipeline_and_grid_search(blobs):
    pytest.importorskip("sklearn")
    from sklearn.model_selection import GridSearchCV
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    search = GridSearchCV(make_pipeline(StandardScaler(), KMeans(random_state=0)), {"kmeans__n_clusters": [2, 5]}, cv=3)
    search.fit(blobs)
    assert search.best_params_ == {"kmeans__n_clusters": 5}


@pytest.mark.filterwarnings("ignore")
def test_scikit_learn_estimator_checks():
    pytest.importorskip("sklearn")
    from sklearn.utils.estimator_checks import check_estimator

    # as for scikit-learn's own KMeans: the seeding samples rows, so a repeated row changes the
    # draws; from the same start, weights equal repetition (test_kmeans_sample_weight)
    check_estimator(
        KMeans(),
        expected_failed_checks={"check_sample_weight_equivalence_on_dense_data": "seeding samples rows"},
    )
    # training with weight 2 is not training on the row twice: the codebook initialisation
    # looks at the rows, not at the weights
    check_estimator(
        ProductQuantizer(num_subquantizers=1, codebook_size=4),
        expected_failed_checks={"check_sample_weight_equivalence_on_dense_data": "initialisation ignores weights"},
    )


# --- choosing k ----------------------------------------------------------------------------


def test_choose_k_reports_the_native_analysis(blobs, pq):
    codes = pq.encode(blobs)
    result = vantorix.choose_k(codes=codes, candidates=[8, 2, 4, 4, 5000], quantizer=pq, method="davies_bouldin", random_state=5)
    native = vx._NativePQKMeans.analyze_k_candidates(pq.codewords_, codes, [8, 2, 4, 4, 5000], seed=5, method="davies_bouldin")
    np.testing.assert_array_equal(result.candidates, [2, 4, 8])
    for name in ("bic", "davies_bouldin", "centroid_silhouette", "elbow"):
        np.testing.assert_array_equal(result.scores[name], native[name])
    np.testing.assert_allclose(result.scores["inertia"], native["inertia"] * 600)  # a sum, as inertia_
    assert (result.selected_k, result.method, result.selected_by_method) == (
        native["selected_k"], "davies_bouldin", native["selected_by_method"])
    assert "<- selected" in str(result) and str(result.selected_k) in str(result)
    assert vantorix.choose_k(blobs, [2, 4], quantizer=pq, random_state=5).sample_size == 600
    with pytest.raises(ValueError, match="method must be one of"):
        vantorix.choose_k(codes, [2], quantizer=pq, method="BIC")


def test_choose_k_table_and_plot(blobs, pq):
    pytest.importorskip("pandas")
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    result = vantorix.choose_k(blobs, [2, 4, 8], quantizer=pq)
    frame = result.to_frame()
    assert list(frame.index) == [2, 4, 8] and "centroid_silhouette" in frame.columns
    fig = result.plot()
    assert len(fig.axes) == 4 and fig.axes[0].get_title().startswith("bic")


# --- progress and interruption -------------------------------------------------------------


def test_quiet_fits_print_nothing(blobs, capfd):
    KMeans(5, random_state=0).fit(blobs)
    PQKMeans(5, random_state=0).fit(blobs)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("use_tqdm", [True, False])
def test_verbose_fit_shows_every_pass(blobs, capfd, monkeypatch, use_tqdm):
    if use_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setattr(_progress, "tqdm_class", lambda: None)
    km = KMeans(5, max_iter=6, random_state=0, verbose=True).fit(blobs)
    err = capfd.readouterr().err
    if use_tqdm:
        assert f"{km.n_iter_}/{km.n_iter_}" in err and f"{km.inertia_history_[-1]:.6f}" in err
    else:
        lines = err.strip().splitlines()
        last = f"KMeans: dense pass={km.n_iter_ - 1} mean_distance={km.inertia_history_[-1]:.6f}"
        assert len(lines) == km.n_iter_ and lines[-1] == last


@pytest.mark.parametrize("opq_iterations", [0, 2])
def test_a_verbose_quantizer_shows_each_step_without_changing_the_fit(blobs, capfd, monkeypatch, tmp_path, opq_iterations):
    monkeypatch.setattr(_progress, "tqdm_class", lambda: None)
    params = dict(codebook_size=16, opq_iterations=opq_iterations, random_state=0)
    quiet = ProductQuantizer(4, **params).fit(blobs)
    capfd.readouterr()
    loud = ProductQuantizer(4, verbose=True, **params).fit(blobs)
    lines = capfd.readouterr().err.strip().splitlines()
    np.testing.assert_array_equal(loud.codewords_, quiet.codewords_)
    # one line per rotation pass, then the codebooks, each with the mean squared reconstruction error
    assert [line.split(" mean_distance=")[0] for line in lines] == [
        *(f"ProductQuantizer: opq pass={i}" for i in range(opq_iterations)),
        f"ProductQuantizer: codebooks pass={opq_iterations}",
    ]
    error = np.mean(np.sum((loud.decode(loud.encode(blobs)).astype(np.float64) - blobs) ** 2, axis=1))
    assert float(lines[-1].split("=")[-1]) == pytest.approx(error, rel=1e-5)
    loud.save(tmp_path / "pq.npz")
    assert vantorix.load(tmp_path / "pq.npz").verbose is True
    assert pickle.loads(pickle.dumps(loud)).verbose is True


def test_a_verbose_fit_reports_its_passes_through_the_per_call_hook(blobs, monkeypatch, capfd):
    calls = []
    hook = vx._NativeDenseKMeans._call_with_progress

    def recording_hook(callback, method, *args, **kwargs):
        calls.append(method.__name__)
        return hook(callback, method, *args, **kwargs)

    native = types.SimpleNamespace(_NativeDenseKMeans=types.SimpleNamespace(_call_with_progress=recording_hook))
    monkeypatch.setattr(_progress, "_vantorix", native)
    monkeypatch.setattr(_progress, "tqdm_class", lambda: None)
    km = KMeans(5, max_iter=3, random_state=0, verbose=True).fit(blobs)
    assert calls == ["fit_with"]
    lines = capfd.readouterr().err.strip().splitlines()
    assert lines == [f"KMeans: dense pass={i} mean_distance={v:.6f}" for i, v in enumerate(km.inertia_history_)]
    KMeans(5, max_iter=3, random_state=0).fit(blobs)
    assert calls == ["fit_with"]  # quiet fits do not ask for progress


def test_an_interrupted_fit_leaves_the_model_as_it_was(blobs, monkeypatch):
    km = KMeans(5, random_state=0).fit(blobs)
    before = km.cluster_centers_.copy()

    def interrupt(fit_name, pass_index, inertia):
        if pass_index == 1:
            raise KeyboardInterrupt

    monkeypatch.setattr(_progress.FitProgress, "update", lambda self, *a: interrupt(*a))
    with pytest.raises(KeyboardInterrupt):
        km.set_params(verbose=True, random_state=1).fit(blobs * 2)
    np.testing.assert_array_equal(km.cluster_centers_, before)


# --- concurrent use ------------------------------------------------------------------------


def _consistent(model, datasets):
    """The fitted state is one fit's: every attribute agrees with the native model and one input."""
    if isinstance(model, ProductQuantizer):
        d = model.codewords_.shape[0] * model.codewords_.shape[2]
        assert d == model.n_features_in_
        np.testing.assert_array_equal(model._native.codewords, model.codewords_)
        return
    rows = {x.shape[1]: x.shape[0] for x in datasets}
    assert model.cluster_centers_.shape[1] == model.n_features_in_
    assert model.labels_.shape == (rows[model.n_features_in_],)
    np.testing.assert_array_equal(model._native.labels, model.labels_)
    np.testing.assert_array_equal(model._native.cluster_centers, model.cluster_centers_)


@pytest.mark.parametrize(
    "model",
    [KMeans(3, max_iter=3, random_state=0), ProductQuantizer(2, codebook_size=4, max_iter=2, random_state=0)],
    ids=["kmeans", "pq"],
)
def test_two_threads_fitting_one_estimator_leave_one_fit_s_state(model):
    # rows and widths differ between the two inputs, so a mix of two fits shows
    rng = np.random.default_rng(0)
    datasets = [rng.standard_normal((300, 8), dtype=np.float32), rng.standard_normal((200, 16), dtype=np.float32)]
    errors = []

    def fit(x, start):
        start.wait()
        try:
            model.fit(x)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    try:
        for _ in range(150):
            start = threading.Barrier(2)
            threads = [threading.Thread(target=fit, args=(x, start)) for x in datasets]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            _consistent(model, datasets)
    finally:
        sys.setswitchinterval(interval)
    assert errors == []


def test_verbose_fits_on_two_threads_each_show_their_own_passes(monkeypatch):
    seen = {}  # FitProgress -> the pass indexes it showed
    monkeypatch.setattr(_progress.FitProgress, "update", lambda self, name, i, v: seen.setdefault(self, []).append(i))
    x = np.random.default_rng(0).standard_normal((300, 4), dtype=np.float32)

    def fit(max_iter):
        for _ in range(20):
            KMeans(3, max_iter=max_iter, random_state=0, verbose=True).fit(x)

    threads = [threading.Thread(target=fit, args=(n,)) for n in (4, 7)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # every fit's bar got exactly its own passes, none lost, none from the other thread
    assert sorted(tuple(v) for v in seen.values()) == sorted([tuple(range(4))] * 20 + [tuple(range(7))] * 20)


# --- packaging -----------------------------------------------------------------------------


def test_optional_dependencies_stay_optional(run_python, tmp_path):
    code = """
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name.split('.')[0] in ('sklearn', 'tqdm', 'pandas', 'matplotlib', 'scipy'):
            raise ImportError('blocked ' + name)
sys.meta_path.insert(0, Block())
import numpy as np, pickle, vantorix
x = np.random.default_rng(0).normal(size=(300, 8))
km = vantorix.KMeans(3, random_state=0, verbose=True).fit(x)
km.save(sys.argv[1] if len(sys.argv) > 1 else %r)
again = vantorix.load(%r)
assert (again.predict(x) == km.predict(x)).all()
assert (pickle.loads(pickle.dumps(km)).predict(x) == km.labels_).all()
assert km.get_params()['n_clusters'] == 3 and km.set_params(n_clusters=4).n_clusters == 4
pk = vantorix.PQKMeans(3, quantizer=vantorix.ProductQuantizer(2, codebook_size=8), random_state=0).fit(x)
assert pk.get_params()['quantizer__codebook_size'] == 8
print(repr(km), vantorix.choose_k(x, [2, 3], random_state=0).selected_k in (2, 3), 'sklearn' in sys.modules)
""" % (str(tmp_path / "m.npz"), str(tmp_path / "m.npz"))
    params = (
        "early_stopping=False, init='k-means++', max_iter=300, n_clusters=4, n_init='auto', random_state=0, "
        "spherical=False, tol=0.0001, verbose=True"
    )
    assert run_python(code) == f"KMeans({params}) True False"


def test_type_checks_pass(tmp_path):
    mypy_api = pytest.importorskip("mypy.api")
    from pathlib import Path

    # check the source tree: handing mypy a package inside site-packages makes it treat
    # site-packages itself as user code
    package = Path(__file__).resolve().parents[2] / "python" / "vantorix"
    usage = tmp_path / "usage.py"
    usage.write_text(
        "import numpy as np\nimport vantorix\n"
        "km: vantorix.KMeans = vantorix.KMeans(3).fit(np.zeros((5, 2)))\n"
        "labels: np.ndarray = km.predict([[0.0, 1.0]])\n"
        "r: vantorix.ChooseKResult = vantorix.choose_k(np.zeros((5, 2)), [2])\n"
        "k: int = r.selected_k\n"
        "bad: str = km.inertia_\n"
    )
    config = Path(__file__).resolve().parents[2] / "pyproject.toml"
    out, err, status = mypy_api.run(["--config-file", str(config), str(package), str(usage)])
    errors = [line for line in out.splitlines() if ": error:" in line]
    # the deliberate mistake is caught, and nothing else is reported
    assert len(errors) == 1 and "usage.py:7" in errors[0], out + err
