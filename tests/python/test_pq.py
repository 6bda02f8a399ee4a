"""_NativeProductQuantizer as a user calls it: construction, training, encoding, decoding, OPQ."""

import inspect
import os
import subprocess
import sys

import numpy as np
import pytest

from vantorix._vantorix import _NativeProductQuantizer as PQ

NOT_FITTED = "product quantizer has not been fitted"


def gaussian(n, d, seed=0):
    return np.random.default_rng(seed).standard_normal((n, d)).astype(np.float32)


def clustered(n, d, seed=0):
    """Rows around a few well separated points, so codes are not decided by rounding."""
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((6, d)) * 10
    return (centers[rng.integers(0, 6, n)] + rng.standard_normal((n, d)) * 0.5).astype(np.float32)


def reconstruct(codewords, codes):
    """Concatenation of the chosen codewords, row by row."""
    m = codewords.shape[0]
    return np.concatenate([codewords[s, codes[:, s]] for s in range(m)], axis=1)


@pytest.fixture(scope="module")
def trained():
    x = clustered(600, 16)
    pq = PQ(4, codebook_size=32, iterations=5)
    pq.fit(x)
    return pq, x


@pytest.fixture(scope="module")
def opq_trained():
    rng = np.random.default_rng(3)
    # Correlated columns, so a rotation has something to gain.
    x = (gaussian(800, 16, 1) @ rng.standard_normal((16, 16))).astype(np.float32)
    pq = PQ(4, codebook_size=16, iterations=5, opq_iterations=2)
    pq.fit(x)
    return pq, x


# --- construction ----------------------------------------------------------------------------


def test_signatures_and_defaults():
    assert PQ.__module__ == "vantorix._vantorix"
    assert str(inspect.signature(PQ)) == (
        "(num_subquantizers, codebook_size=256, iterations=20, seed=0, opq_iterations=0)")
    assert str(inspect.signature(PQ.from_codewords)) == (
        "(codewords, rotation=None, iterations=20, seed=0, opq_iterations=0)")
    for name, args in [("fit", "data"), ("fit_weighted", "data, sample_weight"),
                       ("encode", "data"), ("decode", "codes")]:
        assert str(inspect.signature(getattr(PQ, name))) == f"(self, /, {args})"
    pq = PQ(4)
    assert (pq.num_subquantizers, pq.codebook_size, pq.iterations, pq.seed, pq.opq_iterations) == (4, 256, 20, 0, 0)
    assert pq.rotation is None
    for prop in ("subdim", "codewords"):
        with pytest.raises(ValueError, match=f"^{NOT_FITTED}$"):
            getattr(pq, prop)
    with pytest.raises(ValueError, match=f"^{NOT_FITTED}$"):
        pq.encode(gaussian(3, 8))
    with pytest.raises(ValueError, match=f"^{NOT_FITTED}$"):
        pq.decode(np.zeros((3, 4), np.uint8))
    with pytest.raises(AttributeError):
        pq.codebook_size = 16


@pytest.mark.parametrize("args, message", [
    ((0, 1, 0), "num_subquantizers must be greater than zero"),
    ((4, 1, 0), r"codebook_size must be in \[2, 256\]"),
    ((4, 257), r"codebook_size must be in \[2, 256\]"),
    ((4, 256, 0), "iterations must be greater than zero"),
])
def test_constructor_errors_in_priority_order(args, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        PQ(*args)


def test_constructor_argument_types():
    with pytest.raises(OverflowError):
        PQ(4, seed=-1)
    with pytest.raises(TypeError):
        PQ(4.0)
    with pytest.raises(TypeError):
        PQ(4, bogus=1)
    PQ(4, seed=2**64 - 1)


# --- training --------------------------------------------------------------------------------


def test_training_row_count_and_divisibility():
    pq = PQ(2, codebook_size=4, iterations=3)
    with pytest.raises(ValueError, match="^training data must contain more rows than the codebook size$"):
        pq.fit(gaussian(4, 8))
    # The row count is checked before divisibility.
    with pytest.raises(ValueError, match="^training data must contain more rows than the codebook size$"):
        pq.fit(gaussian(4, 7))
    with pytest.raises(ValueError, match="^input dimensionality must be divisible by num_subquantizers$"):
        PQ(3, codebook_size=4).fit(gaussian(20, 10))
    with pytest.raises(TypeError):
        pq.fit(gaussian(20, 8).astype(np.float64))

    # Ks + 1 rows: every codeword is a training slice or the mean of a group of them.
    x = gaussian(5, 8)
    pq.fit(x)
    assert pq.subdim == 4
    cw = pq.codewords
    assert cw.shape == (2, 4, 4) and cw.dtype == np.float32
    for s in range(2):
        block = x[:, 4 * s:4 * s + 4].astype(np.float64)
        means = [block[[i for i in range(5) if mask >> i & 1]].mean(0) for mask in range(1, 32)]
        for c in cw[s]:
            assert min(np.abs(c - mu).max() for mu in means) < 1e-5


def test_zero_width_training_data_is_refused():
    with pytest.raises(ValueError, match="^training data must have at least one column$"):
        PQ(2, codebook_size=2).fit(np.zeros((5, 0), np.float32))


def test_failed_fit_keeps_the_model(trained):
    pq, x = trained
    before = pq.codewords
    with pytest.raises(ValueError):
        pq.fit(x[:32])
    with pytest.raises(ValueError):
        pq.fit_weighted(x, np.full(len(x) - 1, 1.0, np.float32))
    np.testing.assert_array_equal(pq.codewords, before)
    assert pq.subdim == 4


def off_alignment(a):
    buf = np.empty(a.nbytes + 128, np.uint8)
    start = (-buf.ctypes.data) % 64 + a.itemsize
    out = buf[start:start + a.nbytes].view(a.dtype).reshape(a.shape)
    out[...] = a
    return out


LAYOUTS = {
    "fortran": np.asfortranarray,
    "column-strided": lambda x: np.repeat(x, 2, axis=1)[:, ::2],
    "negative-row-stride": lambda x: np.ascontiguousarray(x[::-1])[::-1],
    "off-alignment": off_alignment,
}


@pytest.mark.parametrize("rows, dim, m", [(40, 4, 2), (700, 12, 3)])
@pytest.mark.parametrize("opq", [0, 2])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_same_seed_same_model_in_any_layout(layout, opq, rows, dim, m):
    # The same values in any memory layout train the same codewords and rotation, and encode to
    # the same codes, bit for bit. BLAS rounds a transposed operand differently (on some CPUs only
    # for small products), so the rotation GEMMs must always see one layout.
    rng = np.random.default_rng(1)
    x = (clustered(rows, dim, seed=5) @ rng.standard_normal((dim, dim))).astype(np.float32)
    a, b = PQ(m, 16, 6, seed=9, opq_iterations=opq), PQ(m, 16, 6, seed=9, opq_iterations=opq)
    a.fit(x)
    b.fit(LAYOUTS[layout](x))
    np.testing.assert_array_equal(a.codewords, b.codewords)
    assert (a.rotation is None) == (opq == 0)
    if opq:
        np.testing.assert_array_equal(a.rotation, b.rotation)
        np.testing.assert_array_equal(a.encode(LAYOUTS[layout](x)), a.encode(x))
    elif layout != "off-alignment":
        with pytest.raises(ValueError, match="input matrix must be C-contiguous"):
            a.encode(LAYOUTS[layout](x))


@pytest.mark.parametrize("weights, message", [
    (np.ones(9), "sample_weight length must match the number of training rows"),
    (np.r_[np.ones(9), np.nan], "sample_weight values must be finite and non-negative"),
    (np.r_[np.ones(9), np.inf], "sample_weight values must be finite and non-negative"),
    (np.r_[np.ones(9), -1.0], "sample_weight values must be finite and non-negative"),
    (np.zeros(10), "sample_weight must contain at least one positive value"),
    (np.full(10, 1e-20), "sample_weight must contain at least one positive value"),
])
def test_weight_validation(weights, message):
    pq = PQ(2, codebook_size=2, iterations=2)
    # Weights are checked before the rows: 10 rows would also be enough here, 2 would not.
    with pytest.raises(ValueError, match=f"^{message}$"):
        pq.fit_weighted(gaussian(10, 4), weights.astype(np.float32))
    with pytest.raises(ValueError, match=f"^{message}$"):
        PQ(2, codebook_size=16).fit_weighted(gaussian(10, 4), weights.astype(np.float32))


def test_weight_argument_type_and_signed_zero():
    pq = PQ(2, codebook_size=2, iterations=2)
    with pytest.raises(TypeError):
        pq.fit_weighted(gaussian(10, 4), np.ones(10))
    w = np.ones(10, np.float32)
    w[:3] = -0.0
    w[3] = 0.0
    pq.fit_weighted(gaussian(10, 4), w)
    assert pq.subdim == 2


def test_zero_weight_cluster_is_reseeded_with_the_farthest_row():
    # One dimension: the quantile start puts the centers on 0 and 10. The rows at 10 weigh
    # nothing, so cluster 1 counts as empty and takes the farthest row; every distance is 0, so
    # that is row 0 (ties go to the lower row), and both codewords end at 0.
    x = np.array([[0], [0], [0], [0], [10], [10]], np.float32)
    w = np.array([1, 1, 1, 1, 0, 0], np.float32)
    pq = PQ(1, codebook_size=2, iterations=1)
    pq.fit_weighted(x, w)
    np.testing.assert_array_equal(pq.codewords, [[[0.0], [0.0]]])
    # Unweighted, the same data keeps both clusters.
    pq.fit(x)
    np.testing.assert_array_equal(pq.codewords, [[[0.0], [10.0]]])


def test_weighted_means():
    # Two groups far apart; the weighted mean of each group is its codeword.
    x = np.array([[0], [1], [2], [100], [101], [105]], np.float32)
    w = np.array([1, 1, 2, 3, 0, 1], np.float32)
    pq = PQ(1, codebook_size=2, iterations=3)
    pq.fit_weighted(x, w)
    np.testing.assert_allclose(pq.codewords[0, :, 0], [(0 + 1 + 4) / 4, (300 + 105) / 4], rtol=1e-6)


def test_non_finite_rows_do_not_crash():
    x = clustered(300, 8)
    x[5] = np.nan
    x[7, 2] = np.inf
    x[9, 0] = -np.inf
    pq = PQ(2, codebook_size=8, iterations=3)
    pq.fit(x)
    codes = pq.encode(x)
    assert codes.shape == (300, 2) and int(codes.max()) < 8
    opq = PQ(2, codebook_size=8, iterations=3, opq_iterations=1)
    with pytest.raises(ValueError, match="^linear algebra error: "):
        opq.fit(x)
    assert opq.rotation is None


# --- encoding and decoding -------------------------------------------------------------------


def test_decode_of_encode_is_the_stored_codewords(trained):
    pq, x = trained
    codes = pq.encode(x)
    assert codes.shape == (600, 4) and codes.dtype == np.uint8
    y = pq.decode(codes)
    assert y.shape == x.shape and y.dtype == np.float32
    np.testing.assert_array_equal(y, reconstruct(pq.codewords, codes))
    # Each code is the nearest codeword of its subspace.
    cw = pq.codewords.astype(np.float64)
    for s in range(4):
        d = ((x[:, None, 4 * s:4 * s + 4] - cw[s][None]) ** 2).sum(-1)
        np.testing.assert_allclose(d[np.arange(600), codes[:, s]], d.min(1), rtol=1e-5, atol=1e-5)


def test_shape_and_layout_errors(trained):
    pq, x = trained
    with pytest.raises(ValueError, match="^input dimensionality does not match trained codewords$"):
        pq.encode(gaussian(3, 17))
    with pytest.raises(ValueError, match="^code dimensionality does not match trained codewords$"):
        pq.decode(np.zeros((3, 5), np.uint8))
    with pytest.raises(ValueError, match="^input matrix must be C-contiguous$"):
        pq.encode(np.asfortranarray(x[:10]))
    with pytest.raises(ValueError, match="^code matrix must be C-contiguous$"):
        pq.decode(np.asfortranarray(np.zeros((5, 4), np.uint8)))
    with pytest.raises(TypeError):
        pq.decode(np.zeros((5, 4), np.int8))
    assert pq.encode(np.zeros((0, 16), np.float32)).shape == (0, 4)
    assert pq.decode(np.zeros((0, 4), np.uint8)).shape == (0, 16)


def test_decode_rejects_codes_past_the_codebook(trained):
    pq, _ = trained  # Ks = 32
    codes = np.zeros((3, 4), np.uint8)
    codes[2, 1] = 32
    with pytest.raises(ValueError, match="^code values must be smaller than the codebook size$"):
        pq.decode(codes)
    codes[2, 1] = 31
    assert pq.decode(codes).shape == (3, 16)


@pytest.mark.parametrize("strategy", ["direct", "transposed"])
def test_tie_halfway_takes_the_lower_codeword(monkeypatch, strategy):
    monkeypatch.setenv("VANTORIX_PQ_ENCODE", strategy)
    cw = np.zeros((2, 256, 2), np.float32)
    cw[:, :, 0] = np.arange(256) * 4.0
    pq = PQ.from_codewords(cw)
    # Halfway between codewords 5 and 6 (20 and 24), and between 0 and 1.
    x = np.array([[22, 0, 2, 0]], np.float32)
    np.testing.assert_array_equal(pq.encode(x), [[5, 0]])


def test_direct_and_transposed_strategies_agree(monkeypatch):
    x = gaussian(2000, 32, seed=4)
    pq = PQ(8, codebook_size=64, iterations=4)
    pq.fit(x)
    queries = gaussian(1000, 32, seed=5)
    monkeypatch.setenv("VANTORIX_PQ_ENCODE", "direct")
    direct = pq.encode(queries)
    monkeypatch.setenv("VANTORIX_PQ_ENCODE", "transposed")
    transposed = pq.encode(queries)
    monkeypatch.delenv("VANTORIX_PQ_ENCODE")
    np.testing.assert_array_equal(pq.encode(queries), transposed)  # adaptive: Ks 64, n*M 8000
    differ = np.argwhere(direct != transposed)
    # They may part only between codewords at the same distance up to rounding.
    cw = pq.codewords.astype(np.float64)
    for r, s in differ:
        q = queries[r, 4 * s:4 * s + 4]
        da, db = (((q - cw[s, direct[r, s]]) ** 2).sum(), ((q - cw[s, transposed[r, s]]) ** 2).sum())
        assert abs(da - db) <= 1e-4 * max(da, db, 1e-6)
    assert len(differ) <= 5


# --- from_codewords --------------------------------------------------------------------------


@pytest.mark.parametrize("shape, rotation, message", [
    ((0, 16, 4), None, r"codewords must have shape \(M, Ks, Ds\)"),
    ((2, 0, 4), None, r"codewords must have shape \(M, Ks, Ds\)"),
    ((2, 16, 0), None, r"codewords must have shape \(M, Ks, Ds\)"),
    ((2, 300, 4), None, "codebook_size above 256 is not supported"),
    ((2, 16, 4), (7, 7), "rotation must be square and match the original dimensionality"),
    ((2, 16, 4), (8, 7), "rotation must be square and match the original dimensionality"),
])
def test_from_codewords_errors(shape, rotation, message):
    rot = None if rotation is None else np.eye(*rotation, dtype=np.float32)
    with pytest.raises(ValueError, match=f"^{message}$"):
        PQ.from_codewords(np.zeros(shape, np.float32), rot)


def test_from_codewords_is_fitted_and_owns_copies():
    cw = gaussian(4 * 16, 8).reshape(4, 16, 8)
    pq = PQ.from_codewords(cw, iterations=3, seed=7, opq_iterations=1)
    assert (pq.num_subquantizers, pq.codebook_size, pq.subdim) == (4, 16, 8)
    assert (pq.iterations, pq.seed, pq.opq_iterations) == (3, 7, 1)
    assert pq.rotation is None
    codes = pq.encode(gaussian(10, 32))
    assert codes.shape == (10, 4) and codes.dtype == np.uint8
    original = cw.copy()
    cw[:] = 0
    np.testing.assert_array_equal(pq.codewords, original)
    returned = pq.codewords
    returned[:] = 1
    np.testing.assert_array_equal(pq.codewords, original)
    np.testing.assert_array_equal(PQ.from_codewords(original, rotation=None).codewords, original)
    # Ks = 1 is accepted here, and strided codewords are copied in order.
    assert PQ.from_codewords(np.zeros((2, 1, 4), np.float32)).codebook_size == 1
    strided = np.ascontiguousarray(original.transpose(2, 1, 0)).transpose(2, 1, 0)
    np.testing.assert_array_equal(PQ.from_codewords(strided).codewords, original)


def test_refit_without_opq_removes_the_rotation():
    cw = gaussian(2 * 4, 2).reshape(2, 4, 2)
    pq = PQ.from_codewords(cw, np.eye(4, dtype=np.float32), iterations=2)
    assert pq.rotation is not None
    pq.fit(gaussian(50, 4))
    assert pq.rotation is None


# --- rotation (OPQ) --------------------------------------------------------------------------


def test_opq_rotation_is_orthogonal_and_round_trips(opq_trained):
    pq, x = opq_trained
    r = pq.rotation
    assert r.shape == (16, 16) and r.dtype == np.float32
    np.testing.assert_allclose(r @ r.T, np.eye(16), atol=1e-5)
    codes = pq.encode(x)
    # Decoding rotates the stored codewords back with R^T.
    expected = reconstruct(pq.codewords, codes).astype(np.float64) @ r.T.astype(np.float64)
    np.testing.assert_allclose(pq.decode(codes), expected, rtol=1e-4, atol=1e-4)
    # The codes are those of the rotated rows.
    plain = PQ.from_codewords(pq.codewords)
    np.testing.assert_array_equal(codes, plain.encode((x.astype(np.float64) @ r).astype(np.float32)))


def test_opq_beats_plain_pq_on_correlated_data(opq_trained):
    pq, x = opq_trained
    plain = PQ(4, codebook_size=16, iterations=5)
    plain.fit(x)
    err = lambda q: float(((q.decode(q.encode(x)) - x) ** 2).sum(1).mean())  # noqa: E731
    assert err(pq) < err(plain)


def test_rotated_encode_accepts_any_layout(opq_trained):
    pq, x = opq_trained
    np.testing.assert_array_equal(pq.encode(np.asfortranarray(x)), pq.encode(x))
    assert pq.encode(np.zeros((0, 16), np.float32)).shape == (0, 4)


def test_opq_on_independent_subspaces_stays_near_a_block_permutation():
    # Each subspace's two columns are independent of the others: the learned rotation should
    # barely mix subspaces.
    rng = np.random.default_rng(8)
    x = np.concatenate([rng.standard_normal((1500, 2)) * s for s in (5, 3, 1, 0.5)], axis=1).astype(np.float32)
    pq = PQ(4, codebook_size=8, iterations=8, opq_iterations=2)
    pq.fit(x)
    r = np.abs(pq.rotation)
    # The weight of each input subspace's block kept inside one output block.
    for s in range(4):
        rows = r[2 * s:2 * s + 2] ** 2
        assert max(rows[:, 2 * t:2 * t + 2].sum() for t in range(4)) > 0.9 * rows.sum()


def run_isolated(script, **env_vars):
    """Runs script in a fresh interpreter (process-wide settings are read once) and returns stdout."""
    # The child finds the module where this interpreter found it (PYTHONPATH is inherited).
    env = dict(os.environ, **env_vars)
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_rotated_batches_cover_every_row():
    # A 1 MiB budget at D = 2048 gives 256-row batches: 600 rows take three, the last partial.
    script = r"""
import numpy as np
from vantorix._vantorix import _NativeProductQuantizer as PQ
rng = np.random.default_rng(0)
d = 2048
cw = rng.standard_normal((d, 2, 1)).astype(np.float32)
perm = rng.permutation(d)
rot = np.eye(d, dtype=np.float32)[perm]
x = rng.standard_normal((600, d)).astype(np.float32)
got = PQ.from_codewords(cw, rot).encode(x)
want = PQ.from_codewords(cw).encode(np.ascontiguousarray(x @ rot))
assert (got == want).all(), np.argwhere(got != want)[:5]
print("ok")
"""
    assert run_isolated(script, VANTORIX_ROTATION_BATCH_MIB="1") == "ok"


def test_codewords_do_not_depend_on_the_thread_count():
    # Enough rows for many partial sums, wide enough subspaces for the pruned search.
    script = r"""
import hashlib, numpy as np
from vantorix._vantorix import _NativeProductQuantizer as PQ
rng = np.random.default_rng(2)
x = (rng.standard_normal((20000, 64)) * rng.uniform(0.1, 3, 64)).astype(np.float32)
pq = PQ(2, codebook_size=64, iterations=3)
pq.fit_weighted(x, rng.uniform(0, 2, 20000).astype(np.float32))
print(hashlib.sha256(pq.codewords.tobytes()).hexdigest())
"""
    assert run_isolated(script, VANTORIX_NUM_THREADS="1") == run_isolated(script, VANTORIX_NUM_THREADS="2")
