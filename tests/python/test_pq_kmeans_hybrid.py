"""Hybrid k-means over codes and raw vectors through _NativePQKMeans: surface, validation order,
exact refinement, the mean update and the fit's output lines."""

import inspect
import json
import re

import numpy as np
import pytest

from vantorix import _vantorix as vx

PQK = vx._NativePQKMeans
M, KS, DS = 4, 16, 2
D = M * DS


@pytest.fixture(scope="module")
def data():
    """Three well-separated groups of raw vectors, their codes from a trained quantizer."""
    rng = np.random.default_rng(3)
    means = rng.normal(0, 10, (3, D)).astype(np.float32)
    vectors = (means[rng.integers(0, 3, 400)] + rng.normal(0, 0.5, (400, D))).astype(np.float32)
    pq = vx._NativeProductQuantizer(M, codebook_size=KS, iterations=5)
    pq.fit(vectors)
    return pq.codewords, pq.encode(vectors), vectors


def exact_labels(vectors, centers):
    d = ((vectors[:, None, :].astype(np.float64) - centers[None, :, :]) ** 2).sum(-1)
    return d.argmin(1)


def test_signatures_and_method_order():
    for name in ["fit_hybrid", "predict_hybrid", "fit_predict_hybrid"]:
        assert str(inspect.signature(getattr(PQK, name))) == "(self, /, codes, vectors, refine_exact_top_l, fastscan=None)"
    # Registered beside their asymmetric siblings.
    methods = [n for n, v in vars(PQK).items() if callable(v) and not n.startswith("__")]
    for sibling in ["fit_adc", "predict_adc", "fit_predict_adc"]:
        assert methods[methods.index(sibling) + 1] == sibling.replace("adc", "hybrid")


def test_fit_predict_and_model_state(data):
    codewords, codes, vectors = data
    m = PQK(codewords, 3, iterations=6, seed=1)
    labels = m.fit_predict_hybrid(codes, vectors, 2)
    assert labels.dtype == np.uint32 and labels.shape == (len(codes),)
    np.testing.assert_array_equal(labels, m.labels)
    centers = m.dense_cluster_centers
    assert centers.shape == (3, D) and m.cluster_centers.shape == (3, M)
    assert len(m.inertia_history) == 6
    # Well-separated groups: the stored labels are the exact nearest centers, and predict agrees.
    np.testing.assert_array_equal(labels, exact_labels(vectors, centers))
    np.testing.assert_array_equal(m.predict_hybrid(codes, vectors, 1), labels)
    # Predicting never changes the model.
    np.testing.assert_array_equal(m.dense_cluster_centers, centers)
    assert m.predict_hybrid(codes[:0], vectors[:0], 1).shape == (0,)


def test_every_center_refined_is_exact_whatever_the_codes_hold(data):
    codewords, codes, vectors = data
    garbage = np.random.default_rng(0).integers(0, KS, codes.shape).astype(np.uint8)
    m = PQK(codewords, 3)
    centers = vectors[[0, 1, 2]] + 0.25
    m.set_dense_cluster_centers(centers)
    want = exact_labels(vectors, m.dense_cluster_centers)
    for top_l in [3, 4, 2**64 - 1]:
        np.testing.assert_array_equal(m.predict_hybrid(garbage, vectors, top_l), want)


def test_exact_layouts_agree_in_child_processes(run_python):
    """PDX (plain and pruned) and flash give bit-identical fits; the default path the same labels."""
    script = (
        "import json, numpy as np\n"
        "from vantorix import _vantorix as vx\n"
        "rng = np.random.default_rng(1)\n"
        "x = rng.normal(0, 1, (300, 8)).astype(np.float32)\n"
        "pq = vx._NativeProductQuantizer(4, codebook_size=16, iterations=3)\n"
        "pq.fit(x)\n"
        "codes = pq.encode(x)\n"
        "m = vx._NativePQKMeans(pq.codewords, 5, iterations=4, seed=2)\n"
        "m.fit_hybrid(codes, x, 5)\n"
        "empty = m.predict_hybrid(codes[:0], x[:0], 5).tolist()\n"
        "print(json.dumps([m.labels.tolist(), m.inertia_history.tolist(), empty]))\n"
    )
    runs = {
        "default": {},
        "pdx": {"VANTORIX_PDX_EXACT": "1"},
        "pdx_pruned": {"VANTORIX_PDX_EXACT": "yes", "VANTORIX_DIM_PRUNE": "on"},
        "flash": {"VANTORIX_FLASH_EXACT": "flash"},
    }
    out = {name: json.loads(run_python(script, **env)) for name, env in runs.items()}
    for name in ["pdx_pruned", "flash"]:
        assert out[name] == out["pdx"], name
    assert out["default"][0] == out["pdx"][0]
    np.testing.assert_allclose(out["default"][1], out["pdx"][1], rtol=1e-5)
    assert out["pdx"][2] == []


@pytest.mark.parametrize("fastscan", [False, True])
@pytest.mark.parametrize("d", [D, 256])
def test_long_candidate_lists_refine_rows_in_rounds_as_alone(fastscan, d):
    """With lists of over a thousand candidates the rows are refined a few hundred at a time, in
    row order, or reordered by first candidate where the centers outgrow 1 MiB (d = 256): every row
    must get what it gets predicted on its own."""
    rng = np.random.default_rng(5)
    vectors = rng.normal(0, 1, (700, d)).astype(np.float32)
    pq = vx._NativeProductQuantizer(M, codebook_size=KS, iterations=3)
    pq.fit(vectors)
    codes = pq.encode(vectors)
    k, top_l = 1100, 1090
    m = PQK(pq.codewords, k)
    m.set_dense_cluster_centers(rng.normal(0, 1, (k, d)).astype(np.float32))
    whole = m.predict_hybrid(codes, vectors, top_l, fastscan=fastscan)
    alone = np.concatenate([m.predict_hybrid(codes[i:i + 100], vectors[i:i + 100], top_l, fastscan=fastscan)
                            for i in range(0, len(codes), 100)])
    np.testing.assert_array_equal(whole, alone)
    # Ten centers left out of each list cannot hide the nearest of 1100 random ones often.
    assert (whole == exact_labels(vectors, m.dense_cluster_centers)).mean() > 0.95


def test_large_float_tables_rank_as_the_per_row_sums_do():
    """A table too large to read once per chunk of rows is merged block by block into short lists;
    with room for one table only, every row keeps its k sums. Both must pick the same candidates."""
    rng = np.random.default_rng(8)
    vectors = rng.normal(0, 1, (400, 16)).astype(np.float32)
    pq = vx._NativeProductQuantizer(8, codebook_size=256, iterations=2)
    pq.fit(rng.normal(0, 1, (2000, 16)).astype(np.float32))
    codes = pq.encode(vectors)
    k = 1100
    centers = rng.normal(0, 1, (k, 16)).astype(np.float32)
    centers[7] = centers[3]  # exact ties in every table column
    table_bytes = 8 * 256 * k * 4
    merged, per_row = PQK(pq.codewords, k), PQK(pq.codewords, k, lookup_table_bytes=table_bytes)
    for model in (merged, per_row):
        model.set_dense_cluster_centers(centers)
    for top_l in [1, 3, 8, 16]:
        np.testing.assert_array_equal(merged.predict_hybrid(codes, vectors, top_l),
                                      per_row.predict_hybrid(codes, vectors, top_l))


def test_centers_are_means_of_raw_vectors(data):
    codewords, codes, vectors = data
    first = PQK(codewords, 3, iterations=1, seed=5)
    first.fit_hybrid(codes, vectors, 1)
    second = PQK(codewords, 3, iterations=2, seed=5)
    second.fit_hybrid(codes, vectors, 1)
    labels = first.labels
    means = np.stack([vectors[labels == j].mean(0) for j in range(3)])
    np.testing.assert_allclose(second.dense_cluster_centers, means, rtol=1e-5, atol=1e-5)
    # One pass keeps the initial rows: each center is one of the raw vectors.
    for c in first.dense_cluster_centers:
        assert (np.abs(vectors - c).sum(1) == 0).any()


def test_verbose_lines_and_early_stopping(data, capfd):
    codewords, codes, vectors = data
    PQK(codewords, 3, iterations=3, verbose=True).fit_hybrid(codes, vectors, 2)
    lines = capfd.readouterr().err.splitlines()
    assert [re.sub(r"\d+\.\d{6}", "x", line) for line in lines] == [
        f"iteration={t} hybrid_inertia=x" for t in range(3)]
    # Converges at once, but never stops before five entries.
    m = PQK(codewords, 3, iterations=20, early_stopping=True)
    m.fit_hybrid(codes, vectors, 3)
    assert len(m.inertia_history) == 5


def _fit_first(codewords, codes, vectors):
    m = PQK(codewords, 3, iterations=2)
    m.fit_hybrid(codes, vectors, 1)
    return m


@pytest.mark.parametrize("method", ["fit_hybrid", "predict_hybrid"])
@pytest.mark.parametrize(
    "bad, message",
    [
        # Several faults at once: the first in the validation order is reported.
        (lambda c, v: (c[:, :3], v[:-1], 0), "code dimensionality does not match codewords"),
        (lambda c, v: (c, v[:-1, :3], 0), "vector row count must match code row count"),
        (lambda c, v: (c, np.vstack([v, v[:1]]), 1), "vector row count must match code row count"),
        (lambda c, v: (c, v[:, :3], 0), "vector dimensionality does not match codewords"),
        (lambda c, v: (np.asfortranarray(c), np.asfortranarray(v), 0), "refine_exact_top_l must be greater than zero"),
        (lambda c, v: (np.asfortranarray(c), np.asfortranarray(v), 1), "code matrix must be C-contiguous"),
        (lambda c, v: (c, np.asfortranarray(v), 1), "input vectors must be C-contiguous"),
    ],
)
def test_validation_order_leaves_the_model_unchanged(data, method, bad, message):
    codewords, codes, vectors = data
    m = _fit_first(codewords, codes, vectors)
    before = (m.labels, m.inertia_history, m.cluster_centers, m.dense_cluster_centers)
    args = bad(codes, vectors)
    with pytest.raises(ValueError) as err:
        getattr(m, method)(*args)
    assert str(err.value) == message
    for a, b in zip(before, (m.labels, m.inertia_history, m.cluster_centers, m.dense_cluster_centers)):
        np.testing.assert_array_equal(a, b)


def test_method_specific_errors(data):
    codewords, codes, vectors = data
    m = PQK(codewords, 3)
    # Before any fit there are no dense centers; the check comes before contiguity.
    with pytest.raises(ValueError, match="^dense cluster centers are not initialized$"):
        m.predict_hybrid(np.asfortranarray(codes), vectors, 1)
    # Fewer rows than k is a fit error only, before contiguity.
    with pytest.raises(ValueError, match="^number of rows must be at least k$"):
        m.fit_hybrid(np.asfortranarray(codes[:2]), vectors[:2], 1)
    bad = codes.copy()
    bad[7, 1] = KS
    fitted = _fit_first(codewords, codes, vectors)
    centers = fitted.dense_cluster_centers
    for method in ["fit_hybrid", "predict_hybrid", "fit_predict_hybrid"]:
        with pytest.raises(ValueError, match=r"code 16, not below codebook_size \(16\)"):
            getattr(fitted, method)(bad, vectors, 1)
    np.testing.assert_array_equal(fitted.dense_cluster_centers, centers)
    # Argument types are checked by the binding layer, with the argument's name.
    for args in [(codes, vectors.astype(np.float64), 1), (codes, vectors, -1), (codes.astype(np.int8), vectors, 1)]:
        with pytest.raises((TypeError, ValueError, OverflowError)):
            fitted.fit_hybrid(*args)


def test_sixteen_codeword_codes_report_exact_distances(run_python):
    """Ks = 16 with the fast scan off, on with global and on with per-center tables: whatever ranks
    the candidates, the reported distances are exact ones to the stored centers."""
    script = (
        "import json, numpy as np\n"
        "from vantorix import _vantorix as vx\n"
        "rng = np.random.default_rng(4)\n"
        "means = rng.normal(0, 8, (4, 16)).astype(np.float32)\n"
        "x = (means[rng.integers(0, 4, 700)] + rng.normal(0, 1, (700, 16))).astype(np.float32)\n"
        "pq = vx._NativeProductQuantizer(8, codebook_size=16, iterations=4)\n"
        "pq.fit(x)\n"
        "m = vx._NativePQKMeans(pq.codewords, 4, iterations=5, seed=3)\n"
        "m.fit_hybrid(pq.encode(x), x, 2)\n"
        "print(json.dumps([m.labels.tolist(), m.inertia_history.tolist(), m.dense_cluster_centers.tolist(),\n"
        "                  x.tolist()]))\n"
    )
    runs = {
        "off": {},
        "global": {"VANTORIX_PQ4_FASTSCAN": "1"},
        "per_center": {"VANTORIX_PQ4_FASTSCAN": "on", "VANTORIX_PQ4_LUT_CALIBRATION": "per-center"},
    }
    for name, env in runs.items():
        labels, history, centers, x = json.loads(run_python(script, **env))
        labels, centers, x = np.array(labels), np.array(centers), np.array(x)
        exact = ((x - centers[labels]) ** 2).sum(1)
        np.testing.assert_allclose(history[-1], exact.mean(), rtol=1e-5, err_msg=name)
        # Well-separated groups: the two best approximate candidates hold the exact winner.
        np.testing.assert_array_equal(labels, exact_labels(x, centers), err_msg=name)


def test_fastscan_keyword_decides_for_its_call_alone(monkeypatch):
    """fastscan=True/False gives what VANTORIX_PQ4_FASTSCAN on/off gives, whatever the switch says,
    and only for that call; None follows the switch."""
    rng = np.random.default_rng(8)
    x = rng.normal(0, 1, (900, 16)).astype(np.float32)
    pq = vx._NativeProductQuantizer(8, codebook_size=16, iterations=4)
    pq.fit(x)
    codes = pq.encode(x)

    def fit(**kw):
        m = PQK(pq.codewords, 24, iterations=3, seed=2)
        labels = m.fit_predict_hybrid(codes, x, 1, **kw)
        return labels, m.dense_cluster_centers, m.predict_hybrid(codes, x, 1, **kw)

    results = {}
    for switch in ["off", "on"]:
        monkeypatch.setenv("VANTORIX_PQ4_FASTSCAN", switch)
        results[switch] = fit()
        for keyword in [False, True, None]:
            results[switch, keyword] = fit(fastscan=keyword)
    # The 8-bit ranking picks other candidates than the float one here, so the cases are told apart.
    assert not np.array_equal(results["on"][0], results["off"][0])
    for switch in ["off", "on"]:
        for keyword, same_as in [(False, "off"), (True, "on"), (None, switch)]:
            for got, want in zip(results[switch, keyword], results[same_as]):
                np.testing.assert_array_equal(got, want, err_msg=f"switch {switch}, fastscan={keyword}")
