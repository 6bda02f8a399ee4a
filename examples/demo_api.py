"""The public API on real data: fit, predict, save and load, choose k, then the same in a pipeline."""

import tempfile
import time
from pathlib import Path

import numpy as np

import vantorix
from demo_data import fashion_mnist, sift

OUT = Path(__file__).resolve().parent / "out"


def main():
    # Fashion-MNIST pixels are uint8: the estimators convert them to float32 once
    train, _ = fashion_mnist("train")
    test, classes = fashion_mnist("test")
    print(f"fashion_mnist: train {train.shape} {train.dtype}, test {test.shape}")

    start = time.perf_counter()
    km = vantorix.KMeans(n_clusters=10, max_iter=20, random_state=7, verbose=True).fit(train)
    print(f"KMeans: {km.n_iter_} iterations in {time.perf_counter() - start:.2f} s, inertia_={km.inertia_:.4g}")
    pred = km.predict(test)
    purity = sum(np.bincount(classes[pred == c]).max() for c in range(10) if (pred == c).any()) / len(classes)
    print(f"  test rows: purity of the 10 clusters against the 10 classes = {purity:.3f}")

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "kmeans.npz"
        km.save(path)
        again = vantorix.load(path)
        same = np.array_equal(again.predict(test), pred)
        print(f"  saved to {path.name} ({path.stat().st_size} bytes), loaded back: same predictions = {same}")

    # Compress SIFT descriptors to 16 bytes each, then cluster the codes and pick k.
    learn = sift("learn")
    pq = vantorix.ProductQuantizer(16, random_state=0).fit(learn)
    codes = pq.transform(learn)
    error = np.mean(np.sum((pq.inverse_transform(codes) - learn) ** 2, axis=1)) / np.mean(np.sum(learn**2, axis=1))
    print(f"ProductQuantizer: {learn.shape} -> codes {codes.shape} {codes.dtype}, relative squared error {error:.4f}")
    for mode in ("symmetric", "adc"):
        model = vantorix.PQKMeans(64, quantizer=pq, mode=mode, random_state=0).fit(codes=codes)
        print(f"PQKMeans ({mode}): inertia_={model.inertia_:.4g} over {model.n_iter_} passes; "
              f"largest cluster {np.bincount(model.labels_).max()} rows")
    result = vantorix.choose_k(None, [8, 16, 32, 64, 128, 256], codes=codes, quantizer=pq, random_state=0)
    print(result)
    try:
        import matplotlib

        matplotlib.use("Agg")
        OUT.mkdir(exist_ok=True)
        result.plot().savefig(OUT / "choose_k.png")
        print(f"  criteria plotted to {OUT / 'choose_k.png'}")
    except ImportError:
        print("  (matplotlib is not installed: no plot)")


if __name__ == "__main__":
    main()
