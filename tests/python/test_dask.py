"""The Dask drivers on a real local cluster of two worker processes."""

import os
import signal

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import vantorix  # noqa: E402
from vantorix import dask as vdask  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=50
    ) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def blobs():
    rng = np.random.default_rng(0)
    centers = rng.normal(scale=5.0, size=(12, 16))
    return (centers[rng.integers(0, 12, 20000)] + rng.normal(size=(20000, 16))).astype(np.float32)


@pytest.fixture(scope="module")
def pq(blobs):
    return vantorix.ProductQuantizer(4, codebook_size=16, random_state=0).fit(blobs)


def _one_machine(x, start, iterations, spherical):
    from vantorix._vantorix import _NativeDenseKMeans

    model = _NativeDenseKMeans(len(start), iterations=iterations, spherical=spherical)
    model.fit_with(x, init_centers=start)
    return model


@pytest.mark.parametrize("spherical", [False, True])
def test_dense_fit_equals_the_single_machine_fit_where_the_sums_are_exact(client, spherical):
    # Small integers: every float32 sum of rows is exact, so the single-machine float32 sums and
    # the chunks' float64 sums round to the same centers. Duplicated starting centers leave half
    # the clusters empty, and integer distances tie all over: the repair must pick the same
    # rows, in the same order, from the chunks' candidates as from all rows.
    rng = np.random.default_rng(8)
    x = (rng.integers(-3, 4, (12, 6))[rng.integers(0, 12, 9000)] + rng.integers(-2, 3, (9000, 6))).astype(np.float32)
    start = np.repeat(x[:6], 2, axis=0)
    ref = _one_machine(x, start, 7, spherical)
    fit = vdask.KMeans(12, init=start, max_iter=7, spherical=spherical).fit(da.from_array(x, chunks=1100))
    np.testing.assert_array_equal(fit.cluster_centers_, ref.cluster_centers)
    np.testing.assert_array_equal(fit.labels_.compute(), ref.labels)
    # the local model predicts with exactly these centers (spherical ones are not normalised twice)
    np.testing.assert_array_equal(fit.to_local()._native.cluster_centers, ref.cluster_centers)
    if not spherical:  # integer distances: float64 sums in any order are exact
        np.testing.assert_array_equal(fit.inertia_history_, ref.inertia_history)
    np.testing.assert_allclose(fit.inertia_history_, ref.inertia_history, rtol=1e-12)


def test_dense_fit_agrees_with_a_single_machine_lloyd_from_the_same_centers(client, blobs):
    sklearn_cluster = pytest.importorskip("sklearn.cluster")
    x = da.from_array(blobs, chunks=3000)
    fit = vdask.KMeans(10, init=blobs[:10], max_iter=10).fit(x)
    ref = sklearn_cluster.KMeans(10, init=blobs[:10], n_init=1, max_iter=10, tol=0, algorithm="lloyd").fit(blobs)
    np.testing.assert_allclose(fit.cluster_centers_, ref.cluster_centers_, rtol=1e-5, atol=1e-5)
    # Real-valued rows: the single-machine fit sums in float32 (4096-row chunks), the chunks in
    # float64, so the centers differ by that rounding alone and the labels not at all.
    own = _one_machine(blobs, blobs[:10], 10, False)
    np.testing.assert_allclose(fit.cluster_centers_, own.cluster_centers, rtol=1e-6, atol=1e-6)
    np.testing.assert_array_equal(fit.labels_.compute(), own.labels)
    local = fit.to_local()
    np.testing.assert_array_equal(fit.labels_.compute(), local.predict(blobs))
    assert fit.inertia_ == pytest.approx(-local.score(blobs), rel=1e-5)
    assert fit.n_iter_ == 10


def test_local_schedulers_give_the_cluster_result(client, blobs, pq):
    x = da.from_array(blobs, chunks=3000)
    on_cluster = vdask.KMeans(10, random_state=2, max_iter=6).fit(x)
    codes_on_cluster = vdask.PQKMeans(10, quantizer=pq, random_state=2, max_iter=4).fit(x)
    with dask.config.set(scheduler="sync"):
        local = vdask.KMeans(10, random_state=2, max_iter=6).fit(x)
        codes_local = vdask.PQKMeans(10, quantizer=pq, random_state=2, max_iter=4).fit(x)
        np.testing.assert_array_equal(local.labels_.compute(), on_cluster.labels_.compute())
    np.testing.assert_array_equal(local.cluster_centers_, on_cluster.cluster_centers_)
    np.testing.assert_array_equal(local.inertia_history_, on_cluster.inertia_history_)
    np.testing.assert_array_equal(codes_local.code_centers_, codes_on_cluster.code_centers_)


def test_empty_clusters_are_reseeded_with_the_farthest_rows(client, blobs):
    # duplicated starting centers leave half the clusters empty after the first pass
    fit = vdask.KMeans(10, init=np.repeat(blobs[:5], 2, axis=0), max_iter=3).fit(da.from_array(blobs, chunks=3000))
    assert len(np.unique(fit.cluster_centers_, axis=0)) == 10
    assert np.bincount(fit.labels_.compute(), minlength=10).min() > 0


@pytest.mark.parametrize("k", [10, 40])
def test_code_fit_equals_the_single_machine_fit(client, blobs, pq, k):
    codes = pq.encode(blobs)
    # one pass leaves the single-machine fit's starting centers untouched
    start = vantorix.PQKMeans(k, quantizer=pq, max_iter=1, random_state=5).fit(codes=codes).code_centers_
    ref = vantorix.PQKMeans(k, quantizer=pq, max_iter=12, random_state=5).fit(codes=codes)
    fit = vdask.PQKMeans(k, quantizer=pq, init=start, max_iter=12).fit(da.from_array(codes, chunks=3000))
    np.testing.assert_array_equal(fit.code_centers_, ref.code_centers_)
    np.testing.assert_array_equal(fit.labels_.compute(), ref.labels_)
    np.testing.assert_allclose(fit.inertia_history_, ref.inertia_history_, rtol=1e-6)


def test_encoded_codes_are_held_once_and_give_the_fit_over_vectors(client, blobs, pq):
    x = da.from_array(blobs, chunks=2500)
    codes = vdask.encode(pq, x)
    assert codes.dtype == np.uint8 and codes.chunks[0] == x.chunks[0]
    np.testing.assert_array_equal(codes.compute(), pq.encode(blobs))
    start = pq.encode(blobs[:10])
    over_codes = vdask.PQKMeans(10, quantizer=pq, init=start, max_iter=5).fit(codes)
    over_vectors = vdask.PQKMeans(10, quantizer=pq, init=start, max_iter=5).fit(x)
    np.testing.assert_array_equal(over_codes.code_centers_, over_vectors.code_centers_)
    np.testing.assert_array_equal(over_codes.labels_.compute(), over_vectors.labels_.compute())
    with pytest.raises(ValueError, match="fitted vantorix.ProductQuantizer"):
        vdask.encode(vantorix.ProductQuantizer(4), x)


@pytest.mark.parametrize("spherical", [False, True])
def test_dense_transform_score_and_save_equal_the_local_model(client, blobs, tmp_path, spherical):
    x = blobs / np.linalg.norm(blobs, axis=1, keepdims=True) if spherical else blobs
    # uneven chunks, one of them empty
    arr = da.concatenate([da.from_array(x[:7000], chunks=3000), da.from_array(x[:0]), da.from_array(x[7000:], chunks=5000)])
    fit = vdask.KMeans(10, init=x[:10], max_iter=5, spherical=spherical).fit(arr)
    local = fit.to_local()
    distances = fit.transform(arr)
    assert isinstance(distances, da.Array) and distances.chunks[0] == arr.chunks[0]
    np.testing.assert_allclose(distances.compute(), local.transform(x), rtol=1e-6, atol=1e-6)
    assert fit.score(arr) == pytest.approx(local.score(x), rel=1e-9)
    assert fit.score(arr[:5]) == pytest.approx(local.score(x[:5]), rel=1e-9)
    fit.save(tmp_path / "dask.npz")
    local.save(tmp_path / "local.npz")
    with np.load(tmp_path / "dask.npz") as a, np.load(tmp_path / "local.npz") as b:
        assert sorted(a.files) == sorted(b.files)
        for key in a.files:
            np.testing.assert_array_equal(a[key], b[key], err_msg=key)
    loaded = vantorix.load(tmp_path / "dask.npz")
    assert type(loaded) is vantorix.KMeans
    np.testing.assert_array_equal(loaded.predict(x), fit.labels_.compute())
    with pytest.raises(ValueError, match="16 features"):
        fit.transform(da.from_array(x[:, :8]))
    with pytest.raises(vantorix.NotFittedError):
        vdask.KMeans(3).score(arr)


def test_code_transform_score_and_save_equal_the_local_model(client, blobs, pq, tmp_path):
    codes = pq.encode(blobs)
    fit = vdask.PQKMeans(10, quantizer=pq, init=codes[:10], max_iter=4).fit(da.from_array(codes, chunks=3000))
    local = fit.to_local()
    assert type(local) is vantorix.PQKMeans and local.mode == "symmetric"
    np.testing.assert_array_equal(local.predict(codes=codes), fit.labels_.compute())
    # vectors are measured as they are, codes decoded, as the local model measures them
    for dask_input, local_kwargs in [(da.from_array(blobs, chunks=4000), {"X": blobs}), (da.from_array(codes, chunks=2500), {"codes": codes})]:
        np.testing.assert_allclose(fit.transform(dask_input).compute(), local.transform(**local_kwargs), rtol=1e-5, atol=1e-5)
        assert fit.score(dask_input) == pytest.approx(local.score(**local_kwargs), rel=1e-9)
    fit.save(tmp_path / "dask.npz")
    loaded = vantorix.load(tmp_path / "dask.npz")
    np.testing.assert_array_equal(loaded.code_centers_, fit.code_centers_)
    np.testing.assert_array_equal(loaded.predict(codes=codes), local.predict(codes=codes))
    np.testing.assert_array_equal(loaded.labels_, local.labels_)
    assert type(loaded) is vantorix.PQKMeans and loaded.inertia_ == fit.inertia_
    with pytest.raises(ValueError, match="code columns"):
        fit.score(da.from_array(codes[:, :3]))


def _moved(client):
    return sum(client.run(lambda dask_worker: dask_worker.transfer_outgoing_bytes_total).values())


def test_only_a_few_summaries_cross_workers_whatever_the_chunk_count(client, blobs, tmp_path):
    # rows read from storage: 64 chunks of 80 kB; one summary is about 2 kB
    da.to_npy_stack(str(tmp_path), da.from_array(np.tile(blobs, (4, 1)), chunks=1250))
    stored = da.from_npy_stack(str(tmp_path))
    before = _moved(client)
    fit = vdask.KMeans(10, init=blobs[:10], max_iter=4).fit(stored)
    per_pass = (_moved(client) - before) / (fit.n_iter_ + 1)
    one_summary = 10 * 16 * 8 + 10 * 8 + 20 * (4 + 8 + 8)
    # consecutive chunks share a worker and summaries go up in pairs: far fewer than 64 move
    assert per_pass < 8 * one_summary + 16 * 10 * 4 * 2


def test_the_seed_fixes_the_result_whatever_the_chunking(client, blobs, pq):
    fits = [vdask.KMeans(10, random_state=3, max_iter=6).fit(da.from_array(blobs, chunks=c)) for c in (7000, 2500)]
    np.testing.assert_array_equal(fits[0].labels_.compute(), fits[1].labels_.compute())
    np.testing.assert_allclose(fits[0].cluster_centers_, fits[1].cluster_centers_, rtol=1e-6)
    codes = [da.from_array(pq.encode(blobs), chunks=c) for c in (7000, 2500)] + [da.from_array(blobs, chunks=4000)]
    fits = [vdask.PQKMeans(10, quantizer=pq, random_state=3, max_iter=6).fit(c) for c in codes]
    for other in fits[1:]:  # vectors are encoded chunk by chunk to the same codes
        np.testing.assert_array_equal(other.code_centers_, fits[0].code_centers_)


def _dies_once(block, marker, chunk, on_read, block_info=None):
    """Passes the block through; the process running the chosen chunk's n-th read kills itself."""
    if block_info[0]["chunk-location"][0] == chunk:
        count = len(marker.read_text()) if marker.exists() else 0
        marker.write_text("x" * (count + 1))
        if count + 1 == on_read:
            (marker.parent / "victim").write_text(str(os.getpid()))
            os.kill(os.getpid(), signal.SIGKILL)
    return block


@pytest.mark.parametrize("on_read", [3, 6])
def test_a_worker_killed_mid_fit_changes_nothing(client, blobs, tmp_path, on_read):
    x = da.from_array(blobs, chunks=1000)
    expected = vdask.KMeans(10, random_state=1, max_iter=12).fit(x)
    # the worker reading chunk 7 for the n-th time (in the middle of the fit) dies with its work
    dying = x.map_blocks(_dies_once, tmp_path / "reads", 7, on_read, dtype=x.dtype)
    got = vdask.KMeans(10, random_state=1, max_iter=12).fit(dying)
    victim = int((tmp_path / "victim").read_text())
    with pytest.raises(ProcessLookupError):
        os.kill(victim, 0)
    np.testing.assert_allclose(got.cluster_centers_, expected.cluster_centers_, rtol=1e-6)
    np.testing.assert_allclose(got.inertia_history_, expected.inertia_history_, rtol=1e-9)
    assert len((tmp_path / "reads").read_text()) > on_read  # the fit went on after the death


def test_bad_inputs_fail_with_the_single_machine_messages(client, blobs, pq):
    with_nan = blobs.copy()
    with_nan[12345, 3] = np.nan
    cases = [
        (lambda: vantorix.KMeans(5).fit(with_nan), lambda: vdask.KMeans(5, init=blobs[:5]).fit(da.from_array(with_nan, chunks=4000))),
        (lambda: vantorix.KMeans(5).fit(blobs[:3]), lambda: vdask.KMeans(5).fit(da.from_array(blobs[:3], chunks=2))),
        (
            lambda: vantorix.PQKMeans(5, quantizer=pq).fit(codes=pq.encode(blobs[:3])),
            lambda: vdask.PQKMeans(5, quantizer=pq).fit(da.from_array(pq.encode(blobs[:3]), chunks=2)),
        ),
    ]
    for local, distributed_fit in cases:
        with pytest.raises(ValueError) as expected:
            local()
        with pytest.raises(ValueError) as got:
            distributed_fit()
        assert str(got.value) == str(expected.value)


def _lying(rows, declared_rows, dtype, good):
    """A dask array of a good chunk and one whose real rows or dtype differ from its declaration."""
    bad = dask.delayed(lambda: rows)()
    lie = da.from_delayed(bad, shape=(declared_rows, good.shape[1]), dtype=dtype)
    return da.concatenate([da.from_array(good, chunks=len(good)), lie])


@pytest.mark.parametrize(
    "make, fit",
    [
        (lambda b, pq: _lying(b[:100].astype(str), 100, np.float32, b[:500]), lambda pq: vdask.KMeans(3, random_state=0)),
        (lambda b, pq: _lying(b[:100].astype(object), 100, np.float32, b[:500]), lambda pq: vdask.KMeans(3, random_state=0)),
        (lambda b, pq: _lying(b[:90], 100, np.float32, b[:500]), lambda pq: vdask.KMeans(3, random_state=0)),
        # initial centers given: the first pass, not the sample, meets the narrow chunk
        (lambda b, pq: _lying(b[:100, :15], 100, np.float32, b[:500]), lambda pq: vdask.KMeans(3, init=np.eye(3, 16, dtype=np.float32))),
        (
            lambda b, pq: _lying(pq.encode(b[:100]).astype(np.float32), 100, np.uint8, pq.encode(b[:500])),
            lambda pq: vdask.PQKMeans(3, quantizer=pq, random_state=0),
        ),
        (
            lambda b, pq: _lying(pq.encode(b[:90]), 100, np.uint8, pq.encode(b[:500])),
            lambda pq: vdask.PQKMeans(3, quantizer=pq, random_state=0),
        ),
        (lambda b, pq: _lying(b[:90], 100, np.float32, b[:500]), lambda pq: vdask.PQKMeans(3, quantizer=pq, random_state=0)),
    ],
    ids=["str-as-float32", "object-as-float32", "short", "narrow", "float-codes-as-uint8", "short-codes", "short-vectors-to-encode"],
)
def test_chunks_that_are_not_what_they_declare_are_refused(blobs, pq, make, fit):
    x = make(blobs, pq)
    with dask.config.set(scheduler="sync"):
        with pytest.raises(ValueError, match=r"a chunk declared as 100 x \d+ (float32|uint8) is a ndarray"):
            fit(pq).fit(x)
        # labels of a good fit, asked for rows that lie, are refused too
        good = fit(pq).fit(x[:500])
        with pytest.raises(ValueError, match="a chunk declared as 100 x"):
            good.predict(x).compute()


@pytest.mark.parametrize(
    "params, error",
    [
        ({"init_sample_rows": -1}, ValueError),
        ({"init_max_iter": -2}, ValueError),
        ({"max_iter": 0}, ValueError),
        ({"n_clusters": 0}, ValueError),
        ({"max_iter": 2.5}, TypeError),
        ({"n_clusters": "3"}, TypeError),
        ({"early_stopping": "yes"}, TypeError),
    ],
)
@pytest.mark.parametrize("cls", ["KMeans", "PQKMeans"])
def test_negative_or_non_integer_parameters_are_refused(blobs, pq, params, error, cls):
    name = next(iter(params))
    params = {"n_clusters": 3, **params}
    model = vdask.KMeans(**params) if cls == "KMeans" else vdask.PQKMeans(quantizer=pq, **params)
    with dask.config.set(scheduler="sync"), pytest.raises(error, match=name):
        model.fit(da.from_array(blobs[:500], chunks=250))


# --- the rules the drivers take from the core ---------------------------------------------------

STOPS = [
    # (history, dense rule, rule of the fits over codes)
    ([1.0, 1.0, 1.0], False, False),  # too few passes for either
    ([2.0, 1.0, 1.0, 1.0], True, False),  # four passes are enough for dense fits only
    ([5.0, 4.0, 3.0, 3.0, 3.0], True, True),
    ([5.0, 4.0, 1.0, 1.00005, 1.00005], True, False),  # a small rise: a change, but not a fall
    ([5.0, 4.0, 0.0, 0.0, 0.0], False, True),  # dense: no relative change from a zero mean
    ([5.0, 4.0, 3.0, 3.0, np.nan], False, False),
    ([5.0, 4.0, 1.0, 1.0002, 1.0002], False, False),  # a change above 1e-4
    ([9.0, 8.0, 7.0, 6.0, 5.0, 1.0, 1.0, 1.0], True, True),  # only the last passes count
    ([1.0, 1.0, 1.0, 1.0, 1.0, 5.0, 4.0], False, False),
]


@pytest.mark.parametrize("history, dense, codes", STOPS)
def test_the_drivers_stop_by_the_single_machine_rules(history, dense, codes):
    from vantorix._vantorix import _NativeDenseKMeans, _NativePQKMeans

    h = np.array(history)
    assert _NativeDenseKMeans.should_stop(h) is dense
    assert _NativePQKMeans.should_stop(h) is codes
    assert vdask.KMeans(early_stopping=True)._stops(history) is dense
    assert vdask.PQKMeans(early_stopping=True)._stops(history) is codes
    assert vdask.KMeans()._stops(history) is vdask.PQKMeans()._stops(history) is False


def test_spherical_centers_are_normalised_as_the_single_machine_fit_does():
    from vantorix._vantorix import _NativeDenseKMeans

    rng = np.random.default_rng(3)
    c = rng.normal(size=(6, 5)).astype(np.float32)
    c[1] *= 1e-8  # norm above 0 but under float32 epsilon: kept as it is
    c[2] = 0.0
    c[3] *= 1e-3
    model = _NativeDenseKMeans(6, spherical=True)
    model.set_cluster_centers(c)
    normalised = _NativeDenseKMeans.normalize_rows(c)
    np.testing.assert_array_equal(normalised, model.cluster_centers)
    np.testing.assert_array_equal(normalised[[1, 2]], c[[1, 2]])
    np.testing.assert_allclose(np.linalg.norm(normalised[[0, 3, 4, 5]], axis=1), 1.0, rtol=1e-6)
    np.testing.assert_array_equal(_NativeDenseKMeans.normalize_rows(np.asfortranarray(c)), normalised)
    # a Dask fit from given centers hands them to the chunks' models as given, which normalise
    # them once, as the single-machine fit does (a second normalisation moves some by an ulp)
    start = vdask.KMeans(6, init=c, spherical=True)._initial_centers(da.from_array(c), 0)
    np.testing.assert_array_equal(start, c)


@pytest.mark.parametrize("k", [3, 12])
def test_the_vote_from_summed_histograms_is_the_fits_own(k, codewords):
    from vantorix._vantorix import _NativePQKMeans

    cw = codewords  # small integers: many exact ties, which go to the lower codeword in both
    codes = np.random.default_rng(4).integers(0, 16, (3000, 4), dtype=np.uint8)
    start = _NativePQKMeans(cw, k, iterations=1, seed=2)
    start.fit(codes)  # one pass: the starting centers, not yet updated
    after = _NativePQKMeans(cw, k, iterations=2, seed=2)
    after.fit(codes)  # the same start and one update

    model = _NativePQKMeans(cw, k)
    model.set_cluster_centers(start.cluster_centers)
    halves = [model.chunk_summary(part) for part in (codes[:1000], codes[1000:])]
    histogram = sum(h["histogram"] for h in halves)
    counts = sum(h["counts"] for h in halves)
    voted = model.vote_from_histogram(histogram)
    present = counts > 0
    np.testing.assert_array_equal(voted[present], after.cluster_centers[present])
    np.testing.assert_array_equal(voted[~present], start.cluster_centers[~present])
    np.testing.assert_array_equal(model.cluster_centers, start.cluster_centers)  # the model is unchanged
    with pytest.raises(ValueError, match=r"histogram: expected \d+ counts"):
        model.vote_from_histogram(histogram[:-1])


@pytest.mark.parametrize("spherical", [False, True])
def test_the_update_from_summed_chunk_summaries_is_the_fits_own(spherical):
    from vantorix._vantorix import _NativeDenseKMeans

    rng = np.random.default_rng(6)
    x = rng.integers(-4, 5, (2000, 5)).astype(np.float32)  # exact float32 sums, many equal distances
    start = np.repeat(x[:4], 2, axis=0)  # twins: four clusters end the first pass empty
    after = _one_machine(x, start, 1, spherical)  # one update, then the final assignment

    model = _NativeDenseKMeans(8, spherical=spherical)
    model.set_cluster_centers(start)
    parts = [model.chunk_summary(p, farthest=16) for p in (x[:700], x[700:])]
    sums, counts = sum(p["sums"] for p in parts), sum(p["counts"] for p in parts)
    far = [np.concatenate([p[key] for p in parts]) for key in ("far_distances", "far_labels", "far_rows")]
    far[2][len(parts[0]["far_rows"]):] += 700  # row numbers of the whole data
    u = _NativeDenseKMeans.update_from_sums(start, sums, counts, *far)
    assert u["clusters"].tolist() == [1, 3, 5, 7]
    centers = u["centers"]
    centers[u["clusters"].astype(int)] = x[u["rows"].astype(int)]
    centers = _NativeDenseKMeans.normalize_rows(centers) if spherical else centers
    np.testing.assert_array_equal(centers, after.cluster_centers)
    # the picks depend on the candidates' rows, not on the order they come in
    again = _NativeDenseKMeans.update_from_sums(start, sums, counts, *(a[::-1] for a in far))
    np.testing.assert_array_equal(again["rows"], u["rows"])
