import inspect

import numpy as np
import pytest

from vantorix import _vantorix as vx

Dense = vx._NativeDenseKMeans


@pytest.fixture(scope="module")
def blobs():
    rng = np.random.default_rng(0)
    centers = np.array([[0, 0, 0], [8, 0, 0], [0, 8, 0], [0, 0, 8]], dtype=np.float32)
    x = np.concatenate([c + rng.normal(0, 0.5, (60, 3)) for c in centers]).astype(np.float32)
    return x[rng.permutation(len(x))]


def mean_distance(x, centers, spherical=False):
    x64, c64 = x.astype(np.float64), centers.astype(np.float64)
    if spherical:
        return float(np.mean(1.0 - (x64 @ c64.T).max(axis=1)))
    d = ((x64[:, None, :] - c64[None, :, :]) ** 2).sum(-1)
    return float(d.min(axis=1).mean())


def test_surface_and_signatures():
    assert Dense.__module__ == "vantorix._vantorix"
    assert str(inspect.signature(Dense)) == (
        "(k, iterations=20, seed=0, verbose=False, init='kmeans++', early_stopping=False, spherical=False)"
    )
    for name, params in [("fit", "data"), ("fit_predict", "data"), ("predict", "data"),
                         ("set_cluster_centers", "centers")]:
        assert str(inspect.signature(getattr(Dense, name))) == f"(self, /, {params})"
    m = Dense(5, iterations=3, seed=2**64 - 1, verbose=True, spherical=True)
    assert (m.k, m.iterations, m.seed, m.verbose, m.spherical) == (5, 3, 2**64 - 1, True, True)
    assert not hasattr(m, "init") and not hasattr(m, "early_stopping")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"k": 0}, "k must be greater than zero"),
        ({"k": 3, "iterations": 0}, "iterations must be greater than zero"),
        ({"k": 0, "init": "kmeans"}, "unsupported init 'kmeans'; expected one of farthest_first, kmeans++, random"),
        ({"k": 3, "init": "Farthest First"},
         "unsupported init 'Farthest First'; expected one of farthest_first, kmeans++, random"),
    ],
)
def test_constructor_rejects_in_order(kwargs, message):
    with pytest.raises(ValueError) as info:
        Dense(**kwargs)
    assert info.value.args == (message,)


@pytest.mark.parametrize("init", ["K_Means++", "FARTHEST_FIRST", "Random", "farthest", "deterministic",
                                  "pq_kmeans_plus_plus", "PQ-KMEANS++", "k-means++",
                                  # the greedy extension
                                  "greedy_kmeans++", "Greedy-K-Means++"])
def test_init_spellings_accepted(init, blobs):
    m = Dense(4, iterations=2, init=init)
    m.fit(blobs)
    assert m.cluster_centers.shape == (4, 3)


@pytest.mark.parametrize(
    "kwargs, error",
    [({"k": -1}, OverflowError), ({"k": 2**64}, OverflowError), ({"k": "3"}, TypeError),
     ({"k": 3, "verbose": 1}, TypeError), ({"k": 3, "init": 5}, TypeError), ({"k": 3, "seed": -1}, OverflowError)],
)
def test_constructor_argument_types(kwargs, error):
    with pytest.raises(error):
        Dense(**kwargs)


def test_fresh_instance_state():
    m = Dense(2)
    assert m.labels.dtype == np.uint32 and m.labels.shape == (0,)
    assert m.inertia_history.dtype == np.float64 and m.inertia_history.shape == (0,)
    for call in (lambda: m.cluster_centers, lambda: m.predict(np.zeros((1, 2), np.float32))):
        with pytest.raises(ValueError, match="^cluster centers are not initialized$"):
            call()


def test_fit_predict_labels_and_predict_agree(blobs):
    m = Dense(4, iterations=10, seed=3)
    labels = m.fit_predict(blobs)
    assert labels.dtype == np.uint32 and labels.shape == (len(blobs),)
    np.testing.assert_array_equal(labels, m.labels)
    np.testing.assert_array_equal(labels, m.predict(blobs))
    assert sorted(np.bincount(labels)) == [60, 60, 60, 60]
    # Results are copies.
    m.labels[:] = 99
    m.cluster_centers[:] = 0
    np.testing.assert_array_equal(m.labels, labels)
    assert np.abs(m.cluster_centers).sum() > 0


def test_bad_input_changes_nothing(blobs):
    m = Dense(4, iterations=5)
    m.fit(blobs)
    before = (m.cluster_centers, m.labels, m.inertia_history)
    bad_calls = [
        (TypeError, "data", lambda: m.fit(blobs.astype(np.float64))),
        (TypeError, "data", lambda: m.fit(blobs[0])),
        (TypeError, "data", lambda: m.fit(blobs.tolist())),
        (ValueError, "^data must have at least one row$", lambda: m.fit(np.zeros((0, 3), np.float32))),
        (ValueError, "^data must have at least one column$", lambda: m.fit(np.zeros((5, 0), np.float32))),
        (ValueError, r"^k \(4\) cannot exceed number of rows \(3\)$", lambda: m.fit(blobs[:3])),
        (ValueError, "^failed to choose an initial cluster center$",
         lambda: m.fit(np.full((10, 3), np.nan, np.float32))),
        (ValueError, "^expected 3 columns, got 2$", lambda: m.predict(blobs[:, :2])),
        (TypeError, "centers", lambda: m.set_cluster_centers(np.zeros((4, 3)))),
        (ValueError, "^expected 4 centers, got 3$", lambda: m.set_cluster_centers(blobs[:3])),
        (ValueError, "^centers must have at least one column$",
         lambda: m.set_cluster_centers(np.zeros((4, 0), np.float32))),
    ]
    for error, match, call in bad_calls:
        with pytest.raises(error, match=match):
            call()
    after = (m.cluster_centers, m.labels, m.inertia_history)
    for a, b in zip(before, after):
        np.testing.assert_array_equal(a, b)


def test_predict_empty_input(blobs):
    m = Dense(2, iterations=2)
    m.fit(blobs)
    out = m.predict(np.zeros((0, 3), np.float32))
    assert out.dtype == np.uint32 and out.shape == (0,)


@pytest.mark.parametrize("spherical", [False, True])
def test_single_iteration_history_describes_final_centers(blobs, spherical):
    m = Dense(4, iterations=1, seed=1, spherical=spherical)
    m.fit(blobs)
    (h,) = m.inertia_history
    assert h == pytest.approx(mean_distance(blobs, m.cluster_centers, spherical), rel=1e-5, abs=1e-6)


def test_early_stopping(blobs):
    runs = Dense(4, iterations=30, seed=0, early_stopping=True)
    runs.fit(blobs)
    assert 4 <= len(runs.inertia_history) < 30
    # A perfect fit has mean 0 and never counts as converged.
    exact = np.repeat(np.eye(3, dtype=np.float32), 2, axis=0)
    perfect = Dense(3, iterations=7, early_stopping=True)
    perfect.fit(exact)
    np.testing.assert_array_equal(perfect.inertia_history, np.zeros(7))


def test_k_equal_rows_gives_every_row_its_own_cluster():
    x = np.arange(12, dtype=np.float32).reshape(6, 2) ** 2
    for init in ("kmeans++", "farthest_first", "random"):
        m = Dense(6, iterations=3, init=init)
        labels = m.fit_predict(x)
        assert sorted(labels) == list(range(6))
        np.testing.assert_array_equal(m.inertia_history, np.zeros(3))


@pytest.mark.parametrize("spherical", [False, True])
def test_equal_distances_go_to_lower_center(spherical):
    m = Dense(3, spherical=spherical)
    m.set_cluster_centers(np.array([[-1, -1], [1, 1], [-1, 1]], np.float32))
    # (0, 1) is as close to (1, 1) as to (-1, 1), and equally aligned with both once normalised.
    np.testing.assert_array_equal(m.predict(np.array([[0, 1]], np.float32)), [1])


def test_set_cluster_centers_copies_any_layout():
    fortran = np.asfortranarray(np.array([[3, 4], [0, 0], [6, 8]], np.float32))
    plain = Dense(3)
    plain.set_cluster_centers(fortran)
    np.testing.assert_array_equal(plain.cluster_centers, fortran)
    sph = Dense(3, spherical=True)
    sph.set_cluster_centers(np.ascontiguousarray(np.vstack([fortran, fortran]))[::2])
    # Unit rows, and the zero row stays zero.
    np.testing.assert_allclose(sph.cluster_centers, [[0.6, 0.8], [0.6, 0.8], [0, 0]], rtol=1e-6)


def test_strided_data_fits_like_a_contiguous_copy(blobs):
    wide = np.zeros((len(blobs), 6), np.float32)
    wide[:, ::2] = blobs
    strided = wide[:, ::2]
    assert not strided.flags.c_contiguous
    a, b = Dense(4, seed=5, iterations=6), Dense(4, seed=5, iterations=6)
    a.fit(strided)
    b.fit(np.ascontiguousarray(strided))
    np.testing.assert_array_equal(a.cluster_centers, b.cluster_centers)
    np.testing.assert_array_equal(a.inertia_history, b.inertia_history)


def test_same_seed_same_result(blobs):
    runs = []
    for _ in range(2):
        m = Dense(8, iterations=4, seed=11)
        m.fit(blobs)
        runs.append((m.cluster_centers, m.inertia_history))
    np.testing.assert_array_equal(runs[0][0], runs[1][0])
    np.testing.assert_array_equal(runs[0][1], runs[1][1])


def test_spherical_centers_are_unit_rows(blobs):
    m = Dense(4, spherical=True, iterations=5)
    m.fit(blobs + 1)
    np.testing.assert_allclose(np.linalg.norm(m.cluster_centers, axis=1), 1, rtol=1e-5)


def test_verbose_lines(blobs, capfd):
    m = Dense(4, iterations=3, verbose=True)
    m.fit(blobs)
    lines = capfd.readouterr().err.splitlines()
    assert [line.split(" ")[0] for line in lines] == ["iteration=0", "iteration=1", "iteration=2"]
    # The first two report the mean of their own pass; six decimals.
    value = lines[0].split("dense_inertia=")[1]
    assert len(value.split(".")[1]) == 6


def test_nan_rows_do_not_break_a_fit():
    x = np.arange(40, dtype=np.float32).reshape(20, 2)
    x[3] = np.nan
    for init in ("random", "kmeans++", "farthest_first"):
        m = Dense(3, iterations=3, init=init, seed=1)
        try:
            m.fit(x)
        except ValueError as e:
            assert str(e) == "failed to choose an initial cluster center"
        else:
            assert m.labels.shape == (20,)
            assert (m.labels < 3).all()



@pytest.mark.parametrize(
    "env",
    [{"VANTORIX_DENSE_HAMERLY": "on"}, {"VANTORIX_DENSE_EARLY_ABANDON": "on"}, {"VANTORIX_DENSE_UPDATE": "sharded"},
     {"VANTORIX_DENSE_ASSIGN": "gemm"}],
)
def test_switches_keep_the_clustering(monkeypatch, env):
    # 8 well-separated blobs in 64 dimensions: every strategy must find the same partition.
    rng = np.random.default_rng(4)
    means = rng.normal(0, 20, (8, 64)).astype(np.float32)
    x = (means[np.arange(800) % 8] + rng.normal(0, 1, (800, 64))).astype(np.float32)
    base = Dense(8, iterations=6, seed=2)
    base.fit(x)
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    other = Dense(8, iterations=6, seed=2)
    other.fit(x)
    np.testing.assert_array_equal(other.labels, base.labels)
    np.testing.assert_allclose(other.inertia_history, base.inertia_history, rtol=1e-4)


def test_screened_assignment_is_exact_with_one_or_two_threads(run_python):
    # k = 64 over 48 dimensions, where screening may pay: VANTORIX_DENSE_SCREEN forces it on,
    # on with bf16 products (where the CPU has them) or off, unset lets the process measure, and
    # VANTORIX_DENSE_ASSIGN=rows keeps the direct kernels
    # alone, and VANTORIX_DENSE_SCREEN_BLOCK_ROWS forces rows per block the measurement may pick
    # (256, 1024 around the default 512) or none would (33: a short last block everywhere).
    # Every run must give the same bytes, through every path that asks for exact labels:
    # fit and predict, Euclidean and spherical, contiguous and strided rows, the chunk summaries
    # and the hybrid fit's exact assignment (every center refined); with one or two worker
    # threads, for the vector kernels and again for the scalar ones.
    code = """
import hashlib, numpy as np
from vantorix import _vantorix as vx
rng = np.random.default_rng(7)
means = rng.normal(0, 3, (80, 48)).astype(np.float32)
wide = np.zeros((6000, 96), np.float32)
wide[:, ::2] = means[rng.integers(0, 80, 6000)] + rng.normal(0, 1, (6000, 48))
wide[5, 3 * 2] = np.nan
h = hashlib.sha256()
def add(*arrays):
    for a in arrays:
        h.update(np.ascontiguousarray(a).tobytes())
for x in (np.ascontiguousarray(wide[:, ::2]), wide[::-1, ::2]):
    for spherical in (False, True):
        m = vx._NativeDenseKMeans(64, iterations=4, seed=3, init="random", spherical=spherical)
        m.fit(x)
        s = m.chunk_summary(x[:3000], farthest=5)
        add(m.labels, m.inertia_history, m.cluster_centers, m.predict(x[:777]), s["labels"], s["far_rows"])
x = np.ascontiguousarray(wide[6:, ::2])
pq = vx._NativeProductQuantizer(8, 16, iterations=2, seed=1)
pq.fit(x)
codes = pq.encode(x)
hy = vx._NativePQKMeans(pq.codewords, 64, iterations=3, seed=2)
hy.fit_hybrid(codes, x, 64)
add(hy.labels, hy.inertia_history, hy.dense_cluster_centers, hy.predict_hybrid(codes, x, 64))
print(h.hexdigest())
"""
    for simd in ("auto", "scalar"):
        runs = {run_python(code, VANTORIX_NUM_THREADS=t, VANTORIX_SIMD=simd, **env) for t in ("1", "2")
                for env in ({}, {"VANTORIX_DENSE_SCREEN": "on"}, {"VANTORIX_DENSE_SCREEN": "bf16"},
                            {"VANTORIX_DENSE_SCREEN": "off"}, {"VANTORIX_DENSE_ASSIGN": "rows"},
                            {"VANTORIX_DENSE_SCREEN": "on", "VANTORIX_DENSE_SCREEN_BLOCK_ROWS": "33"},
                            {"VANTORIX_DENSE_SCREEN": "bf16", "VANTORIX_DENSE_SCREEN_BLOCK_ROWS": "1024"},
                            {"VANTORIX_DENSE_SCREEN_BLOCK_ROWS": "256"})}
        assert len(runs) == 1, simd


def test_chunk_summary_labels_are_predicts_and_a_hint_only_speeds_it_up(blobs):
    m = Dense(6, iterations=4, seed=1)
    m.fit(blobs)
    plain = m.chunk_summary(blobs, farthest=4)
    np.testing.assert_array_equal(plain["labels"], m.predict(blobs))
    wrong = (plain["labels"][::-1] + 1).astype(np.uint32)  # wrong hints, one past the last center too
    hinted = m.chunk_summary(blobs, farthest=4, labels=wrong)
    for key in plain:
        np.testing.assert_array_equal(hinted[key], plain[key])
    assert str(inspect.signature(Dense.chunk_summary)) == "(self, /, data, farthest=0, labels=None)"
    with pytest.raises(ValueError, match=f"labels: expected {len(blobs)} labels, one per row, got 3"):
        m.chunk_summary(blobs, labels=np.zeros(3, np.uint32))
    with pytest.raises(TypeError, match="labels"):
        m.chunk_summary(blobs, labels=plain["labels"].astype(np.int64))
