"""What scikit-learn users take for granted: starts and stops, parameters, inputs, weights, seeds."""

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
