"""What scikit-learn users take for granted: starts and stops, parameters, inputs, weights, seeds."""

import re

import numpy as np
import pytest

import vantorix
from vantorix import KMeans


def separated_blobs(seed, n=2000, k=30, d=32):
    rng = np.random.default_rng(seed)
    centers = rng.uniform(-10, 10, size=(k, d))
    y = rng.integers(0, k, n)
    x = (centers[y] + rng.normal(size=(n, d))).astype(np.float32)
    return x, y


def true_inertia(x, y):
    return sum(((x[y == j] - x[y == j].mean(0)) ** 2).sum(dtype=np.float64) for j in np.unique(y))


# --- starting and stopping -----------------------------------------------------------------


def test_default_start_finds_separated_blobs():
    # the native one-candidate k-means++ ends at 1.5-2.7x the true inertia on most of these
    ratios, retried = [], []
    for seed in range(5):
        x, y = separated_blobs(seed)
        best = true_inertia(x, y)
        ratios.append(KMeans(30, random_state=seed).fit(x).inertia_ / best)
        retried.append(KMeans(30, n_init=3, random_state=seed).fit(x).inertia_ / best)
    assert sum(r < 1.001 for r in ratios) >= 3, ratios
    assert max(retried) < 1.001, retried


def test_array_start_and_tol_follow_scikit_learn():
    sklearn_cluster = pytest.importorskip("sklearn.cluster")
    x = np.random.default_rng(0).normal(size=(500, 8)).astype(np.float32)
    start = x[:6].copy()
    for tol in (1e-4, 0.0):
        ours = KMeans(6, init=start, tol=tol).fit(x)
        theirs = sklearn_cluster.KMeans(6, init=start, n_init=1, tol=tol, algorithm="lloyd").fit(x)
        assert ours.n_iter_ == theirs.n_iter_ < 300
        np.testing.assert_allclose(ours.cluster_centers_, theirs.cluster_centers_, atol=1e-5)
        assert ours.inertia_ == pytest.approx(theirs.inertia_, rel=1e-5)


def test_n_init_keeps_the_best_start():
    x, _ = separated_blobs(0)
    single = [KMeans(30, random_state=7 + i).fit(x).inertia_ for i in range(4)]
    assert KMeans(30, n_init=4, random_state=7).fit(x).inertia_ == min(single)
    # "auto" is 10 starts for init="random" and 1 otherwise, as in scikit-learn
    auto = KMeans(30, init="random", random_state=3).fit(x).inertia_
    assert auto == KMeans(30, init="random", n_init=10, random_state=3).fit(x).inertia_
    with pytest.warns(RuntimeWarning, match="only one init"):
        KMeans(30, init=x[:30], n_init=3).fit(x)


# --- parameters ----------------------------------------------------------------------------

HUGE = [2**64, 2**70]
COUNT = [0, -1, *HUGE, True, 2.0, "3", None]
FLAG = ["False", "True", 1, 0, None]


def kmeans_fit(**params):
    KMeans(**{"n_clusters": 3, **params}).fit(np.random.default_rng(0).normal(size=(60, 16)))


def pq_fit(**params):
    vantorix.ProductQuantizer(**{"num_subquantizers": 4, "codebook_size": 16, **params}).fit(
        np.random.default_rng(0).normal(size=(60, 16))
    )


def pqkmeans_fit(**params):
    x = np.random.default_rng(0).normal(size=(60, 16))
    quantizer = vantorix.ProductQuantizer(4, codebook_size=16, random_state=0)
    vantorix.PQKMeans(**{"n_clusters": 3, "quantizer": quantizer, **params}).fit(x)


def choose_k_call(**params):
    vantorix.choose_k(np.random.default_rng(0).normal(size=(60, 16)), **{"candidates": [2, 3], **params})


HOSTILE = [
    (kmeans_fit, "n_clusters", COUNT),
    (kmeans_fit, "max_iter", COUNT),
    (kmeans_fit, "n_init", [0, -1, *HUGE, True, 2.5, "many", None]),
    (kmeans_fit, "tol", [-1.0, float("nan"), float("inf"), "1e-4", True, None]),
    (kmeans_fit, "init", ["kmeans", "", 3, None, np.zeros((2, 16)), np.zeros((3, 5))]),
    (kmeans_fit, "early_stopping", FLAG),
    (kmeans_fit, "spherical", FLAG),
    (kmeans_fit, "verbose", ["yes", -1, None]),
    (kmeans_fit, "random_state", [-1, *HUGE, 1.5, True, "0"]),
    (pq_fit, "num_subquantizers", [*COUNT, 3]),
    (pq_fit, "codebook_size", [1, 257, -1, *HUGE, True, 16.0, "16"]),
    (pq_fit, "max_iter", COUNT),
    (pq_fit, "opq_iterations", [-1, *HUGE, True, 1.5, "2"]),
    (pq_fit, "verbose", ["yes", -1, None]),
    (pqkmeans_fit, "n_clusters", COUNT),
    (pqkmeans_fit, "max_iter", COUNT),
    (pqkmeans_fit, "mode", ["sym", 1, None]),
    (pqkmeans_fit, "init", ["kmeans", 1, None]),
    (pqkmeans_fit, "refine_exact_top_l", [0, -1, *HUGE, True, 2.0]),
    (pqkmeans_fit, "lookup_table_bytes", [-1, *HUGE, 1.5, True]),
    (pqkmeans_fit, "early_stopping", FLAG),
    (pqkmeans_fit, "spherical", FLAG),
    (choose_k_call, "candidates", [[2.5], [True, 4], [0, 3], [-2], "24", [2**64], 7, []]),
    (choose_k_call, "max_iter", COUNT),
    (choose_k_call, "sample_rows", [-1, *HUGE, 1.5, True]),
    (choose_k_call, "lookup_table_bytes", [-1, *HUGE, True]),
    (choose_k_call, "method", ["BIC", 1]),
]


@pytest.mark.parametrize(
    "call, name, value",
    [pytest.param(call, name, v, id=f"{call.__name__}-{name}-{v!r:.20}") for call, name, values in HOSTILE for v in values],
)
def test_hostile_parameters_are_refused_by_their_public_name(call, name, value):
    with pytest.raises((ValueError, TypeError)) as info:
        call(**{name: value})
    assert not isinstance(info.value, OverflowError)
    message = str(info.value)
    assert name in message
    # never the native argument names
    assert not re.search(r"(?<![\w'])k (must|\(|cannot)|(?<![\w])iterations", message.replace(name, "")), message


def test_the_divisibility_message_names_both_numbers():
    with pytest.raises(ValueError, match=r"num_subquantizers=3 .* 16"):
        vantorix.ProductQuantizer(3).fit(np.zeros((300, 16)))


# --- inputs --------------------------------------------------------------------------------


def _frames():
    pd = pytest.importorskip("pandas")
    numbers = np.arange(20.0)
    return pd, {
        "string column": pd.DataFrame({"a": pd.array([str(v) for v in numbers], dtype="string"), "b": numbers}),
        "object text column": pd.DataFrame({"a": [str(v) for v in numbers], "b": numbers}),
        "datetime column": pd.DataFrame({"a": pd.date_range("2020", periods=20), "b": numbers}),
    }


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: np.array([["1.5", "2"]] * 20), id="str array"),
        pytest.param(lambda: np.array([[b"1", b"2"]] * 20), id="bytes array"),
        pytest.param(lambda: [["1.5", "2"]] * 20, id="list of str"),
        pytest.param(lambda: np.array([["2020-01-01", "2020-01-02"]] * 20, dtype="datetime64[D]"), id="datetime64"),
        pytest.param(lambda: np.array([[np.timedelta64(1, "s"), np.timedelta64(2, "s")]] * 20), id="timedelta64"),
        pytest.param(lambda: np.array([[1.0, "2"]] * 20, dtype=object), id="object with text"),
        pytest.param(lambda: _frames()[1]["string column"], id="pandas string column"),
        pytest.param(lambda: _frames()[1]["object text column"], id="pandas object text"),
        pytest.param(lambda: _frames()[1]["datetime column"], id="pandas datetimes"),
    ],
)
def test_non_numeric_input_is_refused(make):
    with pytest.raises(ValueError, match="not numeric"):
        KMeans(2, random_state=0).fit(make())


def test_nullable_pandas_columns_are_numbers():
    pd = pytest.importorskip("pandas")
    x = np.random.default_rng(0).integers(0, 50, size=(40, 3))
    plain = KMeans(3, random_state=0).fit(x.astype(np.float32))
    frames = [
        pd.DataFrame({c: pd.array(x[:, c], dtype="Int64") for c in range(3)}),
        pd.DataFrame({0: pd.array(x[:, 0], dtype="Int64"), 1: x[:, 1].astype(float), 2: pd.array(x[:, 2], dtype="Float64")}),
    ]
    for frame in frames:
        np.testing.assert_array_equal(KMeans(3, random_state=0).fit(frame).labels_, plain.labels_)
    missing = frames[0].copy()
    missing.iloc[0, 0] = pd.NA
    with pytest.raises(ValueError, match="NaN"):
        KMeans(3).fit(missing)


def test_mixed_column_types_do_not_depend_on_the_hash_seed(run_python):
    pytest.importorskip("pandas")
    code = (
        "import numpy as np, pandas as pd, vantorix\n"
        "v = np.arange(300) % 200\n"
        "x = pd.DataFrame({'a': pd.array(v, dtype='Int64'), 'b': v * 0.5, "
        "'c': pd.array(v, dtype='UInt8'), 'd': v.astype(np.uint8)})\n"
        "pq = vantorix.ProductQuantizer(2, codebook_size=16, random_state=0)\n"
        "print(vantorix.PQKMeans(2, quantizer=pq, random_state=0).fit(x).labels_.sum())\n"
    )
    outputs = {run_python(code, PYTHONHASHSEED=str(seed)) for seed in range(6)}
    assert len(outputs) == 1, outputs


def test_uint8_that_could_be_codes_must_be_named():
    rng = np.random.default_rng(0)
    pixels = rng.integers(0, 256, size=(300, 8), dtype=np.uint8)
    quantizer = vantorix.ProductQuantizer(8, codebook_size=16, random_state=0).fit(pixels.astype(np.float32))
    with pytest.raises(ValueError, match="codes=X"):
        vantorix.PQKMeans(3, quantizer=quantizer).fit(pixels)
    with pytest.raises(ValueError, match="codes=X"):
        vantorix.choose_k(pixels, [2, 3], quantizer=quantizer)
    as_vectors = vantorix.PQKMeans(3, quantizer=quantizer, random_state=0).fit(pixels.astype(np.float32))
    as_codes = vantorix.PQKMeans(3, quantizer=quantizer, random_state=0).fit(codes=quantizer.encode(pixels))
    np.testing.assert_array_equal(as_vectors.labels_, as_codes.labels_)
    with pytest.raises(ValueError, match="codes=X"):
        as_codes.predict(pixels)
    # uint8 rows whose width is not the code width are plainly vectors
    wide = vantorix.ProductQuantizer(2, codebook_size=16, random_state=0).fit(pixels.astype(np.float32))
    model = vantorix.PQKMeans(3, quantizer=wide, random_state=0).fit(pixels)
    assert model.n_features_in_ == 8


# --- weights -------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def small():
    rng = np.random.default_rng(4)
    x = rng.normal(size=(300, 6)).astype(np.float32)
    weights = rng.integers(0, 4, 300)
    return x, weights


@pytest.mark.parametrize("spherical", [False, True])
def test_integer_weights_equal_repeated_rows(small, spherical):
    x, weights = small
    if spherical:
        x = x / np.linalg.norm(x, axis=1, keepdims=True)
    start = x[weights > 0][:5]
    weighted = KMeans(5, init=start, spherical=spherical).fit(x, sample_weight=weights)
    repeated = KMeans(5, init=start, spherical=spherical).fit(np.repeat(x, weights, axis=0))
    np.testing.assert_allclose(weighted.cluster_centers_, repeated.cluster_centers_, atol=1e-5)
    np.testing.assert_array_equal(weighted.predict(x), repeated.predict(x))
    assert weighted.inertia_ == pytest.approx(repeated.inertia_, rel=1e-5)
    assert weighted.n_iter_ == repeated.n_iter_
    # zero weights leave the rows out, whatever they hold
    far = x.copy()
    far[weights == 0] = 1e3
    assert KMeans(5, init=start, spherical=spherical).fit(far, sample_weight=weights).inertia_ == pytest.approx(
        weighted.inertia_, rel=1e-5)


def test_weights_match_scikit_learn_and_steer_the_seeding(small):
    sklearn_cluster = pytest.importorskip("sklearn.cluster")
    x, weights = small
    weights = weights + 0.25
    start = x[:5]
    ours = KMeans(5, init=start).fit(x, sample_weight=weights)
    theirs = sklearn_cluster.KMeans(5, init=start, n_init=1, algorithm="lloyd").fit(x, sample_weight=weights)
    np.testing.assert_allclose(ours.cluster_centers_, theirs.cluster_centers_, atol=1e-4)
    assert ours.inertia_ == pytest.approx(theirs.inertia_, rel=1e-4)
    assert ours.score(x) == pytest.approx(-((x - ours.cluster_centers_[ours.labels_]) ** 2).sum(), rel=1e-4)
    # outliers of weight zero are never chosen as starting centers, whatever the init
    outliers = np.vstack([x, np.full((20, 6), 1e4, np.float32)])
    w = np.concatenate([np.ones(300), np.zeros(20)])
    for init in ("k-means++", "kmeans++", "random", "farthest_first"):
        model = KMeans(5, init=init, max_iter=1, random_state=0).fit(outliers, sample_weight=w)
        assert np.abs(model.cluster_centers_).max() < 100, init


# --- scikit-learn conventions --------------------------------------------------------------

SEEDS = {
    "int": lambda: 3,
    "none": lambda: None,
    "RandomState": lambda: np.random.RandomState(3),
    "Generator": lambda: np.random.default_rng(3),
}


@pytest.mark.parametrize("seed", SEEDS)
def test_every_kind_of_seed_pickles_and_copies(seed, small, tmp_path):
    import copy
    import pickle

    x, _ = small
    models = [
        KMeans(4, random_state=SEEDS[seed]()),
        vantorix.ProductQuantizer(2, codebook_size=16, random_state=SEEDS[seed]()),
        vantorix.PQKMeans(4, quantizer=vantorix.ProductQuantizer(2, codebook_size=16), random_state=SEEDS[seed]()),
    ]
    for model in models:
        for copied in (pickle.loads(pickle.dumps(model)), copy.deepcopy(model)):
            assert type(copied.random_state) is type(model.random_state)
            if seed != "none":  # equal seeds (generators in equal states) give equal fits
                np.testing.assert_array_equal(copied.fit(x).transform(x), copy.deepcopy(model).fit(x).transform(x))
        fitted = model.fit(x)
        for copied in (pickle.loads(pickle.dumps(fitted)), copy.deepcopy(fitted)):
            np.testing.assert_array_equal(copied.transform(x), fitted.transform(x))
        fitted.save(tmp_path / "m.npz")
        np.testing.assert_array_equal(vantorix.load(tmp_path / "m.npz").transform(x), fitted.transform(x))


def test_new_parameters_survive_save_and_load(small, tmp_path):
    x, _ = small
    model = KMeans(4, init=x[:4], n_init=1, tol=0.5, max_iter=7, random_state=np.random.default_rng(0)).fit(x)
    model.save(tmp_path / "m.npz")
    again = vantorix.load(tmp_path / "m.npz")
    params, loaded = model.get_params(), again.get_params()
    np.testing.assert_array_equal(loaded.pop("init"), params.pop("init"))
    assert loaded.pop("random_state").bit_generator.state == params.pop("random_state").bit_generator.state
    assert loaded == params


def test_grid_search_runs_in_two_processes(small):
    model_selection = pytest.importorskip("sklearn.model_selection")
    x, _ = small
    search = model_selection.GridSearchCV(
        KMeans(random_state=np.random.RandomState(0)), {"n_clusters": [2, 4]}, cv=2, n_jobs=2
    ).fit(x)
    assert search.best_params_["n_clusters"] == 4  # more clusters, smaller distances


def test_feature_names_out_and_set_output(small):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("sklearn")
    x, _ = small
    frame = pd.DataFrame(x, columns=[f"f{i}" for i in range(6)])
    cases = [
        (KMeans(4, random_state=0), [f"kmeans{i}" for i in range(4)]),
        (vantorix.ProductQuantizer(2, codebook_size=16, random_state=0), ["productquantizer0", "productquantizer1"]),
        (vantorix.PQKMeans(3, quantizer=vantorix.ProductQuantizer(2, codebook_size=16), random_state=0),
         [f"pqkmeans{i}" for i in range(3)]),
    ]
    for model, names in cases:
        out = model.set_output(transform="pandas").fit_transform(frame)
        assert list(out.columns) == names == list(model.get_feature_names_out())
        assert list(out.index) == list(frame.index)
        with pytest.raises(ValueError, match="input_features"):
            model.get_feature_names_out(["a"])
    with pytest.raises(vantorix.NotFittedError):
        KMeans().get_feature_names_out()


@pytest.mark.parametrize("output", ["default", "pandas"])
def test_pq_kmeans_transforms_codes_given_by_keyword_under_set_output(small, output):
    # scikit-learn's output wrapper takes X positionally; codes= alone must still work
    if output == "pandas":
        pytest.importorskip("pandas")
    x, _ = small
    quantizer = vantorix.ProductQuantizer(2, codebook_size=16, random_state=0).fit(x)
    codes = quantizer.encode(x)
    model = vantorix.PQKMeans(3, quantizer=quantizer, random_state=0).set_output(transform=output)
    fitted = np.asarray(model.fit_transform(codes=codes))
    expected = vantorix.PQKMeans(3, quantizer=quantizer, random_state=0).fit(codes=codes).transform(None, codes=codes)
    np.testing.assert_array_equal(fitted, np.asarray(expected))
    np.testing.assert_array_equal(np.asarray(model.transform(codes=codes)), np.asarray(expected))


# --- choose_k ------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def twelve_blobs():
    x, _ = separated_blobs(1, n=3000, k=12, d=32)
    quantizer = vantorix.ProductQuantizer(8, codebook_size=64, random_state=0).fit(x)
    return x, quantizer


def test_choose_k_default_picks_the_true_k_on_separated_blobs(twelve_blobs):
    x, quantizer = twelve_blobs
    result = vantorix.choose_k(x, range(2, 30, 2), quantizer=quantizer, random_state=0)
    assert result.method == "consensus" and result.selected_k == 12, result.selected_by_method
    assert result.candidates[result.selected_index] == 12
    # the rule: the k most criteria pick, ties to the smaller k
    assert vantorix._choose_k.consensus({"bic": 16, "davies_bouldin": 8, "centroid_silhouette": 8, "elbow": 16}) == 8
    assert vantorix._choose_k.consensus({"bic": 26, "davies_bouldin": 12, "centroid_silhouette": 12, "elbow": 14}) == 12


def test_choose_k_table_says_what_each_column_is(twelve_blobs):
    x, quantizer = twelve_blobs
    codes = quantizer.encode(x)
    result = vantorix.choose_k(codes=codes, candidates=[12], quantizer=quantizer, sample_rows=0, random_state=0)
    text = str(result)
    for column in result.scores:
        assert f"  {column}: " in text
    # inertia is a sum over the rows, as PQKMeans measures it from the same start
    model = vantorix.PQKMeans(12, quantizer=quantizer, random_state=0).fit(codes=codes)
    assert result.scores["inertia"][0] == pytest.approx(model.inertia_, rel=0.05)


def test_choose_k_verbose_labels_one_bar_per_candidate(twelve_blobs, capfd, monkeypatch):
    from vantorix import _progress

    x, quantizer = twelve_blobs
    monkeypatch.setattr(_progress, "tqdm_class", lambda: None)
    vantorix.choose_k(x, [4, 8, 12, 99999], quantizer=quantizer, random_state=0, verbose=True)
    lines = capfd.readouterr().err.strip().splitlines()
    assert [line.split(" done")[0] for line in lines] == ["choose_k: k=4", "choose_k: k=8", "choose_k: k=12"]


def test_missing_optional_packages_say_what_to_install(twelve_blobs, monkeypatch):
    import sys

    x, quantizer = twelve_blobs
    result = vantorix.choose_k(x, [4, 8], quantizer=quantizer, random_state=0)
    for module, call, package in [
        ("pandas", result.to_frame, "pip install pandas"),
        ("matplotlib", result.plot, "pip install matplotlib"),
        ("matplotlib.pyplot", result.plot, "pip install matplotlib"),
    ]:
        monkeypatch.setitem(sys.modules, module, None)
        with pytest.raises(ImportError, match=package):
            call()
        monkeypatch.undo()


# --- search over codes ---------------------------------------------------------------------


@pytest.fixture(scope="module", params=[0, 2], ids=["pq", "opq"])
def quantized(request):
    rng = np.random.default_rng(5)
    base = rng.normal(size=(2000, 16)).astype(np.float32)
    pq = vantorix.ProductQuantizer(4, codebook_size=32, opq_iterations=request.param, random_state=0).fit(base)
    queries = rng.normal(size=(7, 16)).astype(np.float32)
    return pq, pq.encode(base), queries


def brute_tables(pq, queries, metric):
    q = queries if pq.rotation_ is None else queries @ pq.rotation_
    m, ks, ds = pq.codewords_.shape
    sub = q.reshape(len(q), m, 1, ds)
    if metric == "l2":
        return ((sub - pq.codewords_[None]) ** 2).sum(-1)
    return (sub * pq.codewords_[None]).sum(-1)


@pytest.mark.parametrize("metric", ["l2", "ip", "dot"])
def test_search_over_codes_matches_numpy(quantized, metric):
    pq, codes, queries = quantized
    tables = pq.distance_table(queries, metric=metric)
    np.testing.assert_allclose(tables, brute_tables(pq, queries, metric), rtol=1e-5, atol=1e-5)
    m = codes.shape[1]
    # what the lookup tables add up, in subspace order
    expected = tables[:, np.arange(m), codes].sum(-1, dtype=np.float32)
    distances = pq.asymmetric_distances(queries, codes, metric=metric)
    np.testing.assert_allclose(distances, expected, rtol=1e-6)
    # one table serves any set of codes, with the very values the queries give
    np.testing.assert_array_equal(pq.table_distances(tables, codes), distances)
    np.testing.assert_array_equal(pq.table_distances(tables[2:3], codes[::-1]), distances[2:3, ::-1])
    # ... which is the distance to (dot product with) the decoded rows
    decoded = pq.decode(codes)
    exact = ((queries[:, None] - decoded[None]) ** 2).sum(-1) if metric == "l2" else queries @ decoded.T
    np.testing.assert_allclose(distances, exact, rtol=1e-3, atol=1e-3)
    top, rows = pq.search(queries, codes, top_k=10, metric=metric)
    order = np.lexsort((np.arange(codes.shape[0])[None].repeat(len(queries), 0), distances if metric == "l2" else -distances))
    np.testing.assert_array_equal(rows, order[:, :10])
    np.testing.assert_array_equal(top, np.take_along_axis(distances, rows, 1))
    assert rows.dtype == np.int64 and top.dtype == np.float32


def test_search_edges(quantized):
    pq, codes, queries = quantized
    top, rows = pq.search(queries[:1], codes[:3], top_k=10)
    assert rows.shape == (1, 3)  # capped at the number of rows
    twice = np.vstack([codes[:5], codes[:5]])
    _, rows = pq.search(queries[:1], twice, top_k=10)
    # equal values: the lower row first
    np.testing.assert_array_equal(rows[0][1::2], rows[0][::2] + 5)
    for bad, error in [({"top_k": 0}, ValueError), ({"top_k": 2.0}, TypeError), ({"metric": "cosine"}, ValueError)]:
        with pytest.raises(error, match="top_k|metric"):
            pq.search(queries, codes, **bad)
    with pytest.raises(ValueError, match="codes"):
        pq.search(queries, codes[:, :2])
    tables = pq.distance_table(queries)
    for bad in [tables[:, :2], tables.astype(np.float64), tables[0]]:
        with pytest.raises(ValueError, match="tables"):
            pq.table_distances(bad, codes)
    with pytest.raises(ValueError, match="codes"):
        pq.table_distances(tables, codes[:, :2])
