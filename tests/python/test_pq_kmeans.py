"""k-means over PQ codes through _NativePQKMeans: fits, predictions, setters and bad input."""

import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from vantorix import _vantorix as vx

from conftest import grid_codewords, sym_distances

PQK = vx._NativePQKMeans
M, KS, DS = 4, 16, 2


def adc_distances(codewords, codes, dense_pq):
    recon = np.concatenate([codewords[s][codes[:, s]] for s in range(codewords.shape[0])], axis=1)
    return ((recon[:, None, :].astype(np.float64) - dense_pq[None, :, :]) ** 2).sum(-1)


@pytest.fixture(scope="module")
def codes():
    rng = np.random.default_rng(7)
    # Three loose groups so the fit has structure to find.
    base = rng.integers(0, KS, size=(3, M))
    rows = base[rng.integers(0, 3, size=300)]
    noise = rng.random((300, M)) < 0.3
    rows = np.where(noise, rng.integers(0, KS, size=(300, M)), rows)
    return np.ascontiguousarray(rows, dtype=np.uint8)


# --- surface --------------------------------------------------------------------------------


def test_signatures_and_module():
    assert PQK.__module__ == "vantorix._vantorix"
    assert str(inspect.signature(PQK)) == (
        "(codewords, k, iterations=20, seed=0, verbose=False, lookup_table_bytes=1073741824, "
        "rotation=None, init='farthest_first', early_stopping=False, spherical=False)"
    )
    for name in ["fit", "fit_adc", "predict", "predict_adc", "fit_predict", "fit_predict_adc"]:
        assert str(inspect.signature(getattr(PQK, name))) == "(self, /, codes)"
    for name in ["set_cluster_centers", "set_dense_cluster_centers"]:
        assert str(inspect.signature(getattr(PQK, name))) == "(self, /, centers)"


def test_fresh_model_state(codewords, codes):
    m = PQK(codewords, 3, iterations=7, seed=11, verbose=False, lookup_table_bytes=123)
    assert (m.k, m.iterations, m.seed, m.verbose, m.lookup_table_bytes) == (3, 7, 11, False, 123)
    assert m.labels.dtype == np.uint32 and m.labels.shape == (0,)
    assert m.inertia_history.dtype == np.float64 and m.inertia_history.shape == (0,)
    np.testing.assert_array_equal(m.codewords, codewords)
    with pytest.raises(ValueError, match="^cluster centers are not initialized$"):
        m.cluster_centers
    with pytest.raises(ValueError, match="^cluster centers are not initialized$"):
        m.predict(codes)
    with pytest.raises(ValueError, match="^dense cluster centers are not initialized$"):
        m.dense_cluster_centers
    with pytest.raises(ValueError, match="^dense cluster centers are not initialized$"):
        m.predict_adc(codes)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((grid_codewords(), 0), {}, "k must be greater than zero"),
        ((grid_codewords(), 2), {"iterations": 0}, "iterations must be greater than zero"),
        (
            (grid_codewords(), 0),
            {"init": "kmeans"},
            "unsupported init 'kmeans'; expected one of farthest_first, kmeans++, random",
        ),
        ((np.zeros((2, 0, 3), np.float32), 2), {}, "codewords must have shape (M, Ks, Ds)"),
        ((np.zeros((2, 257, 1), np.float32), 2), {}, "codebook_size above 256 is not supported"),
        (
            (grid_codewords(), 2),
            {"rotation": np.eye(M * DS + 1, dtype=np.float32)},
            "rotation must be square and match the codeword dimensionality",
        ),
    ],
)
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(ValueError) as err:
        PQK(*args, **kwargs)
    assert str(err.value) == message


def test_constructor_accepts_init_spellings_and_ks_256():
    for init in ["random", "K_Means++", "FARTHEST_FIRST", "deterministic"]:
        PQK(grid_codewords(), 2, init=init)
    PQK(np.random.default_rng(0).random((2, 256, 1), dtype=np.float32), 2)


@pytest.mark.parametrize(
    "call",
    [
        lambda m, c: m.fit(c.astype(np.int64)),
        lambda m, c: m.fit(c[:, 0]),
        lambda m, c: m.set_cluster_centers(c[:3].astype(np.float32)),
        lambda m, c: PQK(grid_codewords().astype(np.float64), 2),
        lambda m, c: PQK(grid_codewords(), -1),
    ],
)
def test_argument_types_rejected_before_the_model(codewords, codes, call):
    m = PQK(codewords, 3)
    with pytest.raises((TypeError, OverflowError)):
        call(m, codes)
    assert m.labels.shape == (0,)


# --- symmetric fit --------------------------------------------------------------------------


def test_fit_is_a_consistent_code_space_kmeans(codewords, codes):
    m = PQK(codewords, 5, iterations=6, seed=3)
    labels = m.fit_predict(codes)
    assert labels.dtype == np.uint32
    np.testing.assert_array_equal(labels, m.labels)
    centers = m.cluster_centers
    assert centers.shape == (5, M) and centers.dtype == np.uint8
    # The stored labels are the nearest centers (ties to the lower index) and the last history
    # entry is their mean distance.
    dist = sym_distances(codewords, codes, centers)
    np.testing.assert_array_equal(labels, dist.argmin(1))
    assert m.inertia_history[-1] == pytest.approx(dist.min(1).mean(), rel=1e-12)
    assert len(m.inertia_history) == 6
    assert np.all(np.diff(m.inertia_history) <= 1e-9)
    np.testing.assert_array_equal(m.predict(codes), labels)
    # A second fit starts again from its own initialisation.
    m.fit(codes)
    np.testing.assert_array_equal(m.labels, labels)


def test_vote_update_picks_the_per_subspace_medoid_codeword(codewords, codes):
    first = PQK(codewords, 4, iterations=1, seed=5)
    first.fit(codes)
    second = PQK(codewords, 4, iterations=2, seed=5)
    second.fit(codes)
    d = ((codewords[:, :, None, :] - codewords[:, None, :, :]) ** 2).sum(-1)
    assert np.bincount(first.labels, minlength=4).min() > 0
    for j in range(4):
        members = codes[first.labels == j]
        for s in range(M):
            cost = d[s][members[:, s]].sum(0)
            assert second.cluster_centers[j, s] == cost.argmin()


def test_one_iteration_keeps_the_initial_rows(codewords, codes):
    for init in ["farthest_first", "kmeans++", "random"]:
        m = PQK(codewords, 6, iterations=1, init=init, seed=9)
        m.fit(codes)
        rows = {tuple(r) for r in codes}
        assert all(tuple(c) in rows for c in m.cluster_centers)
        assert len(m.inertia_history) == 1
        with pytest.raises(ValueError, match="dense cluster centers are not initialized"):
            m.dense_cluster_centers


@pytest.mark.parametrize("init", ["farthest_first", "kmeans++", "random"])
def test_k_equal_to_rows_gives_zero_inertia(init):
    cw = grid_codewords()
    codes = np.array([[i, (i * 5) % 16, (i * 7) % 16, 3] for i in range(12)], dtype=np.uint8)
    m = PQK(cw, 12, iterations=3, init=init)
    m.fit(codes)
    np.testing.assert_array_equal(m.inertia_history, np.zeros(3))
    assert sorted(map(tuple, m.cluster_centers)) == sorted(map(tuple, codes))


def test_lookup_budget_never_changes_results(codewords, codes):
    for fit in ["fit", "fit_adc"]:
        runs = []
        for budget in [1 << 30, 0]:
            m = PQK(codewords, 7, iterations=5, seed=1, lookup_table_bytes=budget)
            getattr(m, fit)(codes)
            runs.append((m.labels, m.inertia_history, m.cluster_centers))
        for a, b in zip(*runs):
            np.testing.assert_array_equal(a, b)


def test_empty_clusters_take_the_farthest_rows_in_order():
    cw = grid_codewords()
    a = np.array([0, 0, 0, 0], np.uint8)
    near = np.array([1, 0, 0, 0], np.uint8)  # distance 9 from a
    far = np.array([3, 0, 0, 0], np.uint8)  # distance 81 from a
    codes = np.array([a] * 10 + [far, near], dtype=np.uint8)

    def starts_on_copies_of_a(seed):
        m = PQK(cw, 3, iterations=1, init="random", seed=seed)
        m.fit(codes)
        return (m.cluster_centers == a).all()

    # A seed whose random start picks three copies of the same row, so two centers start equal
    # and, ties going to the lower index, two clusters are empty after the first pass.
    seed = next(s for s in range(200) if starts_on_copies_of_a(s))
    m = PQK(cw, 3, iterations=2, init="random", seed=seed)
    m.fit(codes)
    np.testing.assert_array_equal(m.cluster_centers, [a, far, near])
    np.testing.assert_array_equal(m.labels, [0] * 10 + [1, 2])


def test_equal_distances_go_to_the_lower_center(codewords, codes):
    m = PQK(codewords, 3)
    m.set_cluster_centers(np.array([codes[0], codes[5], codes[5]], np.uint8))
    assert 2 not in set(m.predict(codes).tolist())


def test_early_stopping(codewords, codes):
    full = PQK(codewords, 3, iterations=12, seed=2)
    full.fit(codes)
    h = full.inertia_history
    converged = next(i for i in range(1, len(h)) if h[i] == h[i - 1])
    stopping = PQK(codewords, 3, iterations=12, seed=2, early_stopping=True)
    stopping.fit(codes)
    # Stops at the first pass whose two latest falls are both tiny, and never before 5 entries.
    assert len(stopping.inertia_history) == max(5, converged + 2)
    np.testing.assert_array_equal(stopping.inertia_history, h[: len(stopping.inertia_history)])
    short = PQK(codewords, 3, iterations=4, seed=2, early_stopping=True)
    short.fit(codes)
    assert len(short.inertia_history) == 4


# --- asymmetric fit -------------------------------------------------------------------------


def test_fit_adc_labels_centers_and_history(codewords, codes):
    m = PQK(codewords, 4, iterations=5, seed=4)
    labels = m.fit_predict_adc(codes)
    np.testing.assert_array_equal(labels, m.labels)
    dense = m.dense_cluster_centers
    assert dense.shape == (4, M * DS) and dense.dtype == np.float32
    dist = adc_distances(codewords, codes, dense)
    np.testing.assert_allclose(dist[np.arange(len(codes)), labels], dist.min(1), rtol=1e-5)
    assert m.inertia_history[-1] == pytest.approx(dist.min(1).mean(), rel=1e-5)
    np.testing.assert_array_equal(m.predict_adc(codes), labels)
    # Code centers are the dense centers' nearest codewords.
    for s in range(M):
        sub = dense[:, s * DS : (s + 1) * DS]
        want = ((sub[:, None, :] - codewords[s][None]) ** 2).sum(-1).argmin(1)
        np.testing.assert_array_equal(m.cluster_centers[:, s], want)


def test_fit_adc_one_iteration_reconstructs_the_initial_rows(codewords, codes):
    m = PQK(codewords, 5, iterations=1, seed=8)
    m.fit_adc(codes)
    recon = np.concatenate([codewords[s][m.cluster_centers[:, s]] for s in range(M)], axis=1)
    np.testing.assert_array_equal(m.dense_cluster_centers, recon)


def test_fit_adc_large_cluster_is_the_mean_of_reconstructions():
    rng = np.random.default_rng(3)
    cw = rng.standard_normal((3, 8, 4)).astype(np.float32)
    codes = rng.integers(0, 8, size=(3000, 3)).astype(np.uint8)
    m = PQK(cw, 1, iterations=2)
    m.fit_adc(codes)
    recon = np.concatenate([cw[s][codes[:, s]] for s in range(3)], axis=1).astype(np.float64)
    np.testing.assert_allclose(m.dense_cluster_centers[0], recon.mean(0), rtol=1e-4, atol=1e-5)


def test_fit_adc_with_rotation_stores_raw_space_centers(codewords, codes):
    q, _ = np.linalg.qr(np.random.default_rng(1).standard_normal((M * DS, M * DS)))
    rotation = q.astype(np.float32)
    m = PQK(codewords, 4, iterations=4, rotation=rotation, seed=6)
    m.fit_adc(codes)
    pq_space = m.dense_cluster_centers.astype(np.float64) @ rotation
    plain = PQK(codewords, 4, iterations=4, seed=6)
    plain.fit_adc(codes)
    # Rotating the stored centers forward gives the PQ-space centers of the same fit.
    np.testing.assert_allclose(pq_space, plain.dense_cluster_centers, atol=1e-4)
    np.testing.assert_array_equal(m.cluster_centers, plain.cluster_centers)
    np.testing.assert_array_equal(m.predict_adc(codes), m.labels)


def test_spherical_adc_centers_have_unit_norm(codewords, codes):
    m = PQK(codewords, 3, iterations=3, spherical=True)
    m.fit_adc(codes)
    np.testing.assert_allclose(np.linalg.norm(m.dense_cluster_centers, axis=1), 1.0, rtol=1e-5)


def test_predict_adc_after_symmetric_fit_fails(codewords, codes):
    m = PQK(codewords, 3)
    m.fit(codes)
    with pytest.raises(ValueError, match="^dense cluster centers are not initialized$"):
        m.predict_adc(codes)


# --- setters --------------------------------------------------------------------------------


def test_setters(codewords, codes):
    m = PQK(codewords, 3)
    m.set_cluster_centers(np.asfortranarray(codes[:3]))
    got = m.cluster_centers
    got[:] = 0
    np.testing.assert_array_equal(m.cluster_centers, codes[:3])
    with pytest.raises(ValueError, match="dense cluster centers are not initialized"):
        m.dense_cluster_centers

    dense = np.random.default_rng(2).standard_normal((3, M * DS)).astype(np.float32)
    m.set_dense_cluster_centers(dense[:, ::-1][:, ::-1])
    np.testing.assert_array_equal(m.dense_cluster_centers, dense)
    dist = adc_distances(codewords, codes, dense)
    np.testing.assert_array_equal(m.predict_adc(codes), dist.argmin(1))
    # set_cluster_centers drops the dense centers again.
    m.set_cluster_centers(codes[:3])
    with pytest.raises(ValueError, match="dense cluster centers are not initialized"):
        m.predict_adc(codes)


@pytest.mark.parametrize(
    "setter, centers, message",
    [
        ("set_cluster_centers", np.zeros((3, M + 1), np.uint8), "cluster center shape does not match the model"),
        ("set_cluster_centers", np.zeros((2, M), np.uint8), "cluster center shape does not match the model"),
        (
            "set_dense_cluster_centers",
            np.zeros((3, M * DS + 1), np.float32),
            "dense cluster center shape does not match the model",
        ),
    ],
)
def test_setter_shape_errors(codewords, setter, centers, message):
    m = PQK(codewords, 3)
    with pytest.raises(ValueError) as err:
        getattr(m, setter)(centers)
    assert str(err.value) == message


# --- bad code matrices ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "method, bad, message",
    [
        ("fit", lambda c: c[:, :3], "code dimensionality does not match codewords"),
        ("fit", lambda c: c[:2], "number of rows must be at least k"),
        ("fit", lambda c: c[:0], "number of rows must be at least k"),
        ("fit", np.asfortranarray, "code matrix must be C-contiguous"),
        ("fit_adc", lambda c: c[:, :3], "code dimensionality does not match codewords"),
        ("fit_adc", lambda c: c[:2], "number of rows must be at least k"),
        ("fit_adc", lambda c: c[::2], "code matrix must be C-contiguous"),
        ("predict", lambda c: c[:, :3], "code dimensionality does not match codewords"),
        ("predict", np.asfortranarray, "code matrix must be C-contiguous"),
        ("predict_adc", np.asfortranarray, "code matrix must be C-contiguous"),
    ],
)
def test_bad_code_matrices_leave_the_model_unchanged(codewords, codes, method, bad, message):
    m = PQK(codewords, 3, iterations=3)
    m.fit_adc(codes)
    before = (m.labels, m.inertia_history, m.cluster_centers, m.dense_cluster_centers)
    with pytest.raises(ValueError) as err:
        getattr(m, method)(bad(codes))
    assert str(err.value) == message
    for a, b in zip(before, (m.labels, m.inertia_history, m.cluster_centers, m.dense_cluster_centers)):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("method", ["fit", "fit_adc", "predict", "predict_adc", "set_cluster_centers"])
def test_codes_outside_the_codebook_are_rejected(codewords, codes, method):
    m = PQK(codewords, 3, iterations=2)
    m.fit_adc(codes)
    before = (m.labels.copy(), m.cluster_centers.copy())
    bad = codes.copy()
    bad[1, 2] = KS  # one past the last codeword
    arg = bad[:3] if method == "set_cluster_centers" else bad
    with pytest.raises(ValueError, match=r"code 16, not below codebook_size \(16\)"):
        getattr(m, method)(arg)
    np.testing.assert_array_equal(m.labels, before[0])
    np.testing.assert_array_equal(m.cluster_centers, before[1])


def test_predict_on_zero_rows(codewords, codes):
    m = PQK(codewords, 3)
    m.fit_adc(codes)
    for method in [m.predict, m.predict_adc]:
        out = method(np.zeros((0, M), np.uint8))
        assert out.dtype == np.uint32 and out.shape == (0,)


# --- output lines ---------------------------------------------------------------------------


def test_verbose_and_profile_lines():
    script = (
        "import numpy as np, sys\n"
        "sys.path.insert(0, %r)\n"
        "from conftest import grid_codewords\n"
        "from vantorix import _vantorix as vx\n"
        "codes = np.random.default_rng(0).integers(0, 16, (50, 4)).astype(np.uint8)\n"
        "m = vx._NativePQKMeans(grid_codewords(), 3, iterations=2, verbose=True)\n"
        "m.fit(codes)\n"
        "m.fit_adc(codes)\n"
    ) % str(Path(__file__).parent)
    env = dict(os.environ, VANTORIX_PROFILE_CLUSTER="")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    lines = out.stderr.splitlines()
    num = r"\d+\.\d{6}"
    assert re.fullmatch(rf"iteration=0 inertia={num}", lines[0])
    assert re.fullmatch(rf"iteration=1 inertia={num}", lines[1])
    assert re.fullmatch(
        rf"vantorix_profile rows=50 k=3 iterations=2 init_s={num} assign_total_s={num} "
        rf"assign_build_lookup_s={num} assign_eval_s={num} update_total_s={num} update_counts_s={num} "
        rf"update_vote_s={num} update_reseed_s={num}",
        lines[2],
    )
    # The asymmetric fit has verbose lines but no profile line.
    assert [re.sub(num, "x", l) for l in lines[3:]] == ["iteration=0 adc_inertia=x", "iteration=1 adc_inertia=x"]


@pytest.mark.parametrize("fastscan", ["off", "on"])
def test_results_do_not_depend_on_the_thread_count(tmp_path, fastscan):
    """The same fits in a one-thread process give bit-identical results, with the 4-bit
    quantized scan as without it."""
    script = (
        "import numpy as np, sys\n"
        "sys.path.insert(0, %r)\n"
        "from conftest import grid_codewords\n"
        "from vantorix import _vantorix as vx\n"
        "codes = np.random.default_rng(5).integers(0, 16, (3000, 4)).astype(np.uint8)\n"
        "out = {}\n"
        "for fit in ['fit', 'fit_adc']:\n"
        "    m = vx._NativePQKMeans(grid_codewords(), 2, iterations=4, init='kmeans++')\n"
        "    getattr(m, fit)(codes)\n"
        "    out[fit + '_labels'], out[fit + '_history'] = m.labels, m.inertia_history\n"
        "    out[fit + '_centers'] = m.cluster_centers\n"
        "    if fit == 'fit_adc':\n"
        "        out['dense'] = m.dense_cluster_centers\n"
        "r = vx._NativePQKMeans.analyze_k_candidates(grid_codewords(), codes, [2, 5, 9], iterations=3)\n"
        "for key in ['inertia', 'bic', 'davies_bouldin', 'centroid_silhouette']:\n"
        "    out[key] = r[key]\n"
        "np.savez(sys.argv[1], **out)\n"
    ) % str(Path(__file__).parent)
    files = []
    for threads in ["1", "2"]:
        path = tmp_path / f"t{threads}.npz"
        env = dict(os.environ, VANTORIX_NUM_THREADS=threads, VANTORIX_PQ4_FASTSCAN=fastscan)
        subprocess.run([sys.executable, "-c", script, str(path)], env=env, check=True)
        files.append(np.load(path))
    one, two = files
    for key in one.files:
        np.testing.assert_array_equal(one[key], two[key], err_msg=key)
