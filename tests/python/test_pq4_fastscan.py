"""The 4-bit fast scan as a user reaches it: 16-codeword models under VANTORIX_PQ4_FASTSCAN."""

import numpy as np
import pytest

from vantorix import _vantorix as vx

PQK = vx._NativePQKMeans


def separated_data(m, rows=600, groups=5, seed=3):
    """Codewords on a line and rows near a few far-apart base rows: each row's nearest center
    wins by far more than an 8-bit table can blur, so the quantized and exact winners agree."""
    rng = np.random.default_rng(seed)
    cw = np.repeat(np.arange(16, dtype=np.float32)[None, :, None] * 10, m, axis=0)
    cw = np.ascontiguousarray(cw + rng.random((m, 16, 1), dtype=np.float32))
    base = rng.choice([0, 5, 10, 15], size=(groups, m)).astype(np.uint8)
    codes = base[rng.integers(0, groups, size=rows)]
    nudge = rng.random(codes.shape) < 0.1  # a neighbouring codeword here and there
    codes = np.where(nudge, np.minimum(codes + 1, 15), codes)
    return cw, np.ascontiguousarray(codes, dtype=np.uint8)


def run(cw, codes, fit, k=5, **kw):
    model = PQK(cw, k, iterations=6, seed=2, **kw)
    getattr(model, fit)(codes)
    predict = model.predict if fit == "fit" else model.predict_adc
    dense = model.dense_cluster_centers if fit == "fit_adc" else None
    return model.labels, model.inertia_history, model.cluster_centers, dense, predict(codes[::-1].copy())


def assert_same(a, b):
    for x, y in zip(a, b):
        if x is None:
            assert y is None
        else:
            np.testing.assert_array_equal(x, y)


@pytest.mark.parametrize("fit", ["fit", "fit_adc"])
@pytest.mark.parametrize("m", [3, 8])
def test_switch_on_gives_the_exact_fit_when_winners_agree(monkeypatch, fit, m):
    cw, codes = separated_data(m)
    monkeypatch.delenv("VANTORIX_PQ4_FASTSCAN", raising=False)
    exact = run(cw, codes, fit)
    # Read on every call: switching in the same process takes effect at once.
    for calibration in ["global", "Per-Cluster"]:
        monkeypatch.setenv("VANTORIX_PQ4_FASTSCAN", "On")
        monkeypatch.setenv("VANTORIX_PQ4_LUT_CALIBRATION", calibration)
        assert_same(run(cw, codes, fit), exact)


@pytest.mark.parametrize("fit", ["fit", "fit_adc"])
def test_declined_tables_fall_back_to_the_exact_scan(monkeypatch, fit):
    # 258 subquantizers: the quantized sums could pass 16 bits, so every pass declines.
    rng = np.random.default_rng(5)
    cw = rng.random((258, 16, 1), dtype=np.float32)
    codes = rng.integers(0, 16, size=(70, 258), dtype=np.uint8)
    monkeypatch.delenv("VANTORIX_PQ4_FASTSCAN", raising=False)
    exact = run(cw, codes, fit, k=4)
    monkeypatch.setenv("VANTORIX_PQ4_FASTSCAN", "1")
    assert_same(run(cw, codes, fit, k=4), exact)


def test_quantized_labels_stay_near_the_exact_ones(monkeypatch):
    """On unstructured codes quantization may move a row between near-tied centers, but the
    distance it reports is that row's exact distance to the center it chose."""
    rng = np.random.default_rng(11)
    m = 8
    cw = rng.random((m, 16, 4), dtype=np.float32)
    codes = rng.integers(0, 16, size=(2000, m), dtype=np.uint8)
    exact = PQK(cw, 32, iterations=1, seed=1)
    exact.fit(codes)
    monkeypatch.setenv("VANTORIX_PQ4_FASTSCAN", "yes")
    fast = PQK(cw, 32, iterations=1, seed=1)
    fast.fit(codes)
    np.testing.assert_array_equal(fast.cluster_centers, exact.cluster_centers)  # same initial rows
    d = ((cw[:, :, None, :] - cw[:, None, :, :]) ** 2).sum(-1)
    dist = sum(d[s][codes[:, s][:, None], exact.cluster_centers[:, s][None, :]] for s in range(m))
    chosen = dist[np.arange(len(codes)), fast.labels]
    assert np.mean(fast.labels != exact.labels) < 0.1
    assert fast.inertia_history[0] == pytest.approx(chosen.mean(), rel=1e-6)
    assert fast.inertia_history[0] >= exact.inertia_history[0]
