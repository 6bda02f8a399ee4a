"""Clustering compressed vectors: train a product quantizer on Fashion-MNIST, encode every image
into 16 bytes, cluster the codes with the symmetric and the asymmetric (ADC) fits and with the
hybrid fit (codes preselect refine_exact_top_l centers per image, the raw pixels pick among them),
and compare with dense k-means on the raw pixels: time, inertia on the raw vectors, and agreement
of the labels with the dense labels (adjusted Rand index)."""

import time

import numpy as np

from demo_data import fashion_mnist
from vantorix import _vantorix as vx

K = 10
ITERATIONS = 20
M = 16


def raw_inertia(raw: np.ndarray, labels: np.ndarray, k: int) -> float:
    """Mean squared distance of the raw rows to the mean of their cluster."""
    labels = labels.astype(np.int64)
    sums = np.zeros((k, raw.shape[1]))
    np.add.at(sums, labels, raw)
    means = sums / np.maximum(np.bincount(labels, minlength=k), 1)[:, None]
    return float(((raw - means[labels]) ** 2).sum() / len(raw))


def adjusted_rand_index(a: np.ndarray, b: np.ndarray) -> float:
    """Agreement of two labelings, 1.0 for identical partitions, about 0 for unrelated ones."""
    _, a = np.unique(a, return_inverse=True)
    _, b = np.unique(b, return_inverse=True)
    table = np.zeros((a.max() + 1, b.max() + 1), dtype=np.int64)
    np.add.at(table, (a, b), 1)

    def pairs(x):
        return (x * (x - 1) // 2).sum()

    index = pairs(table)
    row, col, total = pairs(table.sum(1)), pairs(table.sum(0)), pairs(np.array([len(a)]))
    expected = row * col / total
    return float((index - expected) / ((row + col) / 2 - expected))


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def main() -> None:
    pixels, classes = fashion_mnist("train")
    raw = pixels.astype(np.float32)
    n, d = raw.shape
    print(f"Fashion-MNIST: {n} images of {d} pixels, k = {K}, {ITERATIONS} passes each")

    sample = raw[np.random.default_rng(0).choice(n, 10000, replace=False)]
    pq = vx._NativeProductQuantizer(M, iterations=10)
    t_train, _ = timed(lambda: pq.fit(sample))
    t_encode, codes = timed(lambda: pq.encode(raw))
    print(f"quantizer: M = {M}, Ks = 256, trained in {t_train:.2f} s, {n} rows encoded in {t_encode:.2f} s "
          f"({d * 4} bytes -> {M} bytes per row)")

    rows = []
    sym = vx._NativePQKMeans(pq.codewords, K, iterations=ITERATIONS, rotation=pq.rotation)
    t, labels = timed(lambda: sym.fit_predict(codes))
    rows.append(("symmetric fit on codes", t, labels))
    adc = vx._NativePQKMeans(pq.codewords, K, iterations=ITERATIONS, rotation=pq.rotation)
    t, labels = timed(lambda: adc.fit_predict_adc(codes))
    rows.append(("ADC fit on codes", t, labels))
    hybrids = {}
    for top_l in (1, 4, K):
        hybrid = vx._NativePQKMeans(pq.codewords, K, iterations=ITERATIONS, rotation=pq.rotation)
        t, labels = timed(lambda: hybrid.fit_predict_hybrid(codes, raw, top_l))
        rows.append((f"hybrid fit, top {top_l}" + (" (= k)" if top_l == K else ""), t, labels))
        hybrids[top_l] = hybrid
    dense = vx._NativeDenseKMeans(K, iterations=ITERATIONS)
    t, dense_labels = timed(lambda: dense.fit_predict(raw))
    rows.append(("dense k-means on pixels", t, dense_labels))

    print(f"\n{'method':<28}{'time s':>8}{'raw inertia':>14}{'ARI vs dense':>14}{'ARI vs classes':>16}")
    for name, seconds, labels in rows:
        print(f"{name:<28}{seconds:>8.3f}{raw_inertia(raw, labels, K):>14.1f}"
              f"{adjusted_rand_index(labels, dense_labels):>14.3f}{adjusted_rand_index(labels, classes):>16.3f}")
    # The ADC fit keeps dense centers in pixel space: predicting with them gives the same labels.
    assert (adc.predict_adc(codes) == adc.labels).all()
    # So do the hybrid fits with their dense centers and the same number of refined candidates.
    for top_l, hybrid in hybrids.items():
        assert (hybrid.predict_hybrid(codes, raw, top_l) == hybrid.labels).all()


if __name__ == "__main__":
    main()
