"""The candidate-k analysis, `_NativePQKMeans.analyze_k_candidates`."""

import inspect
import math

import numpy as np
import pytest

from vantorix import _vantorix as vx

from conftest import grid_codewords, sym_distances

PQK = vx._NativePQKMeans
analyze = PQK.analyze_k_candidates
M, KS, DS = 4, 16, 2
KEYS = [
    "candidate_ks", "inertia", "bic", "davies_bouldin", "centroid_silhouette", "elbow", "min_cluster_size",
    "max_cluster_size", "sample_size", "selected_method", "selected_index", "selected_k", "selected_by_method",
]


@pytest.fixture(scope="module")
def codes():
    rng = np.random.default_rng(11)
    base = rng.integers(0, KS, size=(4, M))
    rows = base[rng.integers(0, 4, size=240)]
    rows = np.where(rng.random((240, M)) < 0.25, rng.integers(0, KS, size=(240, M)), rows)
    return np.ascontiguousarray(rows, dtype=np.uint8)


def test_signature_and_result_layout(codewords, codes):
    assert str(inspect.signature(analyze)) == (
        "(codewords, codes, candidate_ks, iterations=20, seed=0, verbose=False, "
        "lookup_table_bytes=1073741824, sample_rows=16384, method='bic')"
    )
    assert not hasattr(vx, "analyze_k_candidates")
    r = analyze(codewords, codes, [8, 2, 2, 0, 5, 10_000], iterations=3)
    assert list(r) == KEYS
    np.testing.assert_array_equal(r["candidate_ks"], [2, 5, 8])
    for key in ["candidate_ks", "min_cluster_size", "max_cluster_size"]:
        assert r[key].dtype == np.uint32 and r[key].shape == (3,)
    for key in ["inertia", "bic", "davies_bouldin", "centroid_silhouette", "elbow"]:
        assert r[key].dtype == np.float64 and r[key].shape == (3,)
    assert r["sample_size"] == len(codes)
    assert r["selected_method"] == "bic"
    assert r["selected_k"] == r["candidate_ks"][r["selected_index"]]
    assert list(r["selected_by_method"]) == ["bic", "davies_bouldin", "centroid_silhouette", "elbow"]
    assert r["selected_by_method"]["bic"] == r["selected_k"]
    # Through an instance, with a tuple or an integer array of candidates: the same analysis.
    inst = PQK(codewords, 3)
    for ks in [(2, 5, 8), np.array([8, 5, 2], dtype=np.int64)]:
        again = inst.analyze_k_candidates(codewords, codes, ks, iterations=3)
        np.testing.assert_array_equal(again["inertia"], r["inertia"])


def test_scores_match_a_refit_of_each_candidate(codewords, codes):
    """Every score recomputed from the same fits (seed + position, farthest-first) in numpy."""
    ks = [1, 3, 6, 12]
    r = analyze(codewords, codes, ks, iterations=4, seed=5, sample_rows=0)
    n, dims = len(codes), M * DS
    table = ((codewords[:, :, None, :] - codewords[:, None, :, :]) ** 2).sum(-1)
    for i, k in enumerate(ks):
        model = PQK(codewords, k, iterations=4, seed=5 + i)
        model.fit(codes)
        centers = model.cluster_centers
        dist = sym_distances(codewords, codes, centers)
        order = np.sort(dist, axis=1)
        labels = dist.argmin(1)
        best = order[:, 0]
        second = order[:, 1] if k > 1 else np.full(n, np.inf)
        counts = np.bincount(labels, minlength=k)
        assert r["inertia"][i] == pytest.approx(best.mean(), rel=1e-12)
        assert (r["min_cluster_size"][i], r["max_cluster_size"][i]) == (counts.min(), counts.max())

        total = best.sum()
        sigma2 = max(total / (dims * max(n - k, 1)), 1e-12)
        bic = (n * -0.5) * dims * math.log(2 * math.pi * sigma2) + (total * -0.5) / sigma2
        bic += (-0.5 * (k * dims + k)) * math.log(max(n, 2))
        assert r["bic"][i] == pytest.approx(bic, rel=1e-12)

        a, b = np.sqrt(best), np.sqrt(second)
        with np.errstate(invalid="ignore"):
            sil = np.where(np.isfinite(b), (b - a) / np.maximum(np.maximum(a, b), 1e-12), 0.0).mean()
        assert r["centroid_silhouette"][i] == pytest.approx(sil, abs=1e-12)

        if k == 1:
            assert math.isnan(r["davies_bouldin"][i])
            continue
        live = [c for c in range(k) if counts[c] > 0]
        scatter = {c: math.sqrt(best[labels == c].sum() / counts[c]) for c in live}
        ratios = []
        for p in live:
            worst = 0.0
            for q in live:
                if q != p:
                    sep = math.sqrt(sum(table[s, centers[p, s], centers[q, s]] for s in range(M)))
                    worst = max(worst, (scatter[p] + scatter[q]) / max(sep, 1e-12))
            ratios.append(worst)
        assert r["davies_bouldin"][i] == pytest.approx(np.mean(ratios), rel=1e-12)

    # Elbow from the returned inertia.
    x = np.log(np.array(ks, dtype=np.float64))
    y = np.log(np.maximum(r["inertia"], 1e-12))
    rx, ry = max(x[-1] - x[0], 1e-12), max(y.max() - y.min(), 1e-12)
    want = np.maximum((1 - (x - x[0]) / rx) - (y - y.min()) / ry, 0.0)
    want[0] = want[-1] = 0.0
    np.testing.assert_allclose(r["elbow"], want, rtol=1e-12, atol=1e-15)


def test_single_candidate_k1(codewords, codes):
    r = analyze(codewords, codes, [1], iterations=2, method="davies_bouldin")
    assert math.isnan(r["davies_bouldin"][0])
    assert r["centroid_silhouette"][0] == 0.0
    assert r["min_cluster_size"][0] == r["max_cluster_size"][0] == len(codes)
    # No finite Davies-Bouldin value: the smallest inertia decides, here the only candidate.
    assert (r["selected_index"], r["selected_k"]) == (0, 1)


def test_two_candidates_have_zero_elbows(codewords, codes):
    r = analyze(codewords, codes, [3, 7], iterations=2, method="elbow")
    np.testing.assert_array_equal(r["elbow"], [0.0, 0.0])
    assert r["selected_k"] == 7 and r["selected_by_method"]["elbow"] == 7


def test_sampling(codewords, codes):
    full = analyze(codewords, codes, [2, 4], iterations=2, sample_rows=0)
    assert full["sample_size"] == len(codes)
    same = analyze(codewords, codes, [2, 4], iterations=2, sample_rows=len(codes))
    np.testing.assert_array_equal(same["inertia"], full["inertia"])
    a = analyze(codewords, codes, [2, 4], iterations=2, sample_rows=100, seed=3)
    b = analyze(codewords, codes, [2, 4], iterations=2, sample_rows=100, seed=3)
    assert a["sample_size"] == 100
    np.testing.assert_array_equal(a["bic"], b["bic"])
    # Candidates above the sampled row count are dropped.
    np.testing.assert_array_equal(analyze(codewords, codes, [50, 150], sample_rows=100)["candidate_ks"], [50])


def test_column_major_codes_only_work_when_sampled(codewords, codes):
    fortran = np.asfortranarray(codes)
    with pytest.raises(ValueError, match="^code matrix must be C-contiguous$"):
        analyze(codewords, fortran, [2, 3], iterations=2, sample_rows=0)
    r = analyze(codewords, fortran, [2, 3], iterations=2, sample_rows=len(codes) - 1)
    assert r["sample_size"] == len(codes) - 1


def test_method_is_checked_after_the_analysis(codewords, codes, capfd):
    with pytest.raises(ValueError) as err:
        analyze(codewords, codes, [2, 3], iterations=2, verbose=True, method="BIC")
    assert str(err.value) == (
        "unsupported auto_k_method 'BIC'; expected one of bic, davies_bouldin, centroid_silhouette, elbow"
    )
    # The candidate fits ran (and wrote their lines) before the name was looked at.
    assert capfd.readouterr().err.count("iteration=1 inertia=") == 2
    with pytest.raises(ValueError, match="^iterations must be greater than zero$"):
        analyze(codewords, codes, [2], iterations=0, method="BIC")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((grid_codewords(), np.zeros((0, M), np.uint8), [1]), {}, "codes must contain at least one row"),
        (
            (grid_codewords(), np.zeros((5, M), np.uint8), [0, 6]),
            {},
            "candidate_ks must contain at least one value between 1 and the sampled row count",
        ),
        ((np.zeros((M, 0, DS), np.float32), np.zeros((5, M), np.uint8), [2]), {}, "codewords must have shape (M, Ks, Ds)"),
        ((np.zeros((M, 300, 1), np.float32), np.zeros((5, M), np.uint8), [2]), {}, "codebook_size above 256 is not supported"),
        ((grid_codewords(), np.zeros((5, M + 1), np.uint8), [2]), {}, "code dimensionality does not match codewords"),
        ((grid_codewords(), np.full((5, M), KS, np.uint8), [2]), {}, "codes contain code 16, not below codebook_size (16)"),
    ],
)
def test_errors(args, kwargs, message):
    with pytest.raises(ValueError) as err:
        analyze(*args, **kwargs)
    assert str(err.value) == message


@pytest.mark.parametrize("candidates, error", [("248", TypeError), ([2, -1], OverflowError), ([2.5], TypeError)])
def test_candidate_conversion(codewords, codes, candidates, error):
    with pytest.raises(error):
        analyze(codewords, codes, candidates)
