"""Dense k-means on real data: SIFT descriptors and Fashion-MNIST pixels, both geometries."""

import time

import numpy as np

from demo_data import fashion_mnist, sift
from vantorix import _vantorix as vx


def run(title, data, k, iterations, spherical):
    if spherical:
        # Cosine distance is 1 - x.c with unit centers; unit rows make it a true cosine distance.
        data = data / np.maximum(np.linalg.norm(data, axis=1, keepdims=True), 1e-12)
    model = vx._NativeDenseKMeans(k, iterations=iterations, seed=7, spherical=spherical, early_stopping=True)
    start = time.perf_counter()
    labels = model.fit_predict(data)
    seconds = time.perf_counter() - start
    history = model.inertia_history
    sizes = np.sort(np.bincount(labels, minlength=k))[::-1]
    geometry = "spherical" if spherical else "euclidean"
    print(f"{title}: {data.shape[0]} x {data.shape[1]}, k={k}, {geometry}")
    print("  inertia history: " + " ".join(f"{h:.4f}" for h in history))
    print(f"  {len(history)} iterations, {seconds / len(history) * 1e3:.1f} ms per iteration (whole fit, initialisation included)")
    print(f"  cluster sizes (largest first): {sizes[:8].tolist()} ... smallest {sizes[-1]}")


def main():
    descriptors = sift("learn")
    pixels, labels = fashion_mnist("train")
    fashion = pixels.astype(np.float32)
    for spherical in (False, True):
        run("SIFT descriptors", descriptors, 64, 15, spherical)
        run("Fashion-MNIST", fashion, 10, 15, spherical)
    # Fashion-MNIST has 10 classes: how well do 10 Euclidean clusters line up with them?
    clusters = vx._NativeDenseKMeans(10, iterations=20, seed=7).fit_predict(fashion)
    purity = sum(np.bincount(labels[clusters == c]).max() for c in range(10) if (clusters == c).any()) / len(labels)
    print(f"Fashion-MNIST: purity of 10 clusters against the 10 classes = {purity:.3f}")


if __name__ == "__main__":
    main()
