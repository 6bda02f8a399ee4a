"""Hybrid k-means over codes and raw vectors (approximate preselection of refine_exact_top_l centers
per row by the codes, exact refinement on the raw vectors) against dense k-means on the raw vectors:
ours and FAISS's, FAISS from the same initial centers as the hybrid fit.

Time per iteration is (time of an 11-pass fit - time of a 1-pass fit) / 10, so initialisation and
the final store are left out for every method; the inertia is the mean squared distance of the raw
vectors to the mean of their cluster, from each method's final labels (lower is better).

Run: PYTHONPATH=python python3 bench/hybrid.py   (optional filters: d=128, k=64, Ks=16, ...)
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import THREADS, Stopwatch, have, load, pin_threads, ratio, raw_inertia, write_report  # noqa: E402

pin_threads()
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")  # idle OpenMP threads must not burn CPU time

import faiss  # noqa: E402
import numpy as np  # noqa: E402

from vantorix import _vantorix as vx  # noqa: E402

DATASETS = [("photosift_learn25k", "SIFT-like"), ("fashion_mnist_train60k", "Fashion-MNIST")]
KS_VALUES = [64, 256]
CODEBOOKS = [256, 16]
TOP_L = [1, 2, 4, 8]
M = 16
PASSES = 11
REPEATS = 3


def per_pass(run) -> tuple[float, float, np.ndarray]:
    """Median over the repeats of (wall, CPU) seconds per pass, and the labels of the full fit."""
    walls, cpus, labels = [], [], None
    for _ in range(REPEATS):
        stamps = []
        for passes in (1, PASSES):
            watch = Stopwatch()
            out = run(passes)
            stamps.append(watch.elapsed())
            if passes == PASSES:
                labels = out
        walls.append((stamps[1].wall - stamps[0].wall) / (PASSES - 1))
        cpus.append((stamps[1].cpu - stamps[0].cpu) / (PASSES - 1))
    return float(np.median(walls)), float(np.median(cpus)), labels


def main() -> None:
    only = set(sys.argv[1:])
    faiss.omp_set_num_threads(THREADS)
    rows = []
    for name, label in DATASETS:
        if not have(name):
            continue
        x = load(name)
        n, d = x.shape
        sample = x[np.random.default_rng(0).choice(n, min(n, 10000), replace=False)]
        for ks in CODEBOOKS:
            pq = vx._NativeProductQuantizer(M, codebook_size=ks, iterations=10)
            pq.fit(sample)
            codes = pq.encode(x)
            for k in KS_VALUES:
                tags = {label, f"d={d}", f"k={k}", f"Ks={ks}"}
                if only and not only <= tags:
                    continue
                # The hybrid fit's initial centers: a one-pass fit stores them unchanged.
                first = vx._NativePQKMeans(pq.codewords, k, iterations=1)
                first.fit_hybrid(codes, x, k)
                init = first.dense_cluster_centers

                def faiss_run(passes):
                    km = faiss.Kmeans(d, k, niter=passes, max_points_per_centroid=1 << 30, seed=1)
                    km.train(x, init_centroids=init)
                    return km.index.search(x, 1)[1].ravel()

                f_wall, f_cpu, f_labels = per_pass(faiss_run)
                f_inertia = raw_inertia(x, f_labels, k)

                def dense_run(passes):
                    return vx._NativeDenseKMeans(k, iterations=passes).fit_predict(x)

                o_wall, o_cpu, o_labels = per_pass(dense_run)
                base = [label, n, d, k, ks]
                rows.append(base + ["faiss dense k-means", f_wall, f_cpu, f_inertia, 1.0, 1.0, 1.0])
                rows.append(base + ["vantorix dense k-means", o_wall, o_cpu, raw_inertia(x, o_labels, k),
                                    ratio(o_wall, f_wall), ratio(o_cpu, f_cpu),
                                    raw_inertia(x, o_labels, k) / f_inertia])
                # Ks = 16: the 4-bit fast scan off (float table) and on (8-bit tables, global calibration).
                for fastscan in ([False, True] if ks == 16 else [False]):
                    os.environ["VANTORIX_PQ4_FASTSCAN"] = "1" if fastscan else "0"
                    for top_l in TOP_L + ([] if fastscan else [k]):
                        def hybrid_run(passes, top_l=top_l):
                            return vx._NativePQKMeans(pq.codewords, k, iterations=passes).fit_predict_hybrid(
                                codes, x, top_l)

                        h_wall, h_cpu, h_labels = per_pass(hybrid_run)
                        inertia = raw_inertia(x, h_labels, k)
                        name = f"hybrid L={top_l}" + (" fast scan" if fastscan else "")
                        rows.append(base + [name, h_wall, h_cpu, inertia, ratio(h_wall, f_wall), ratio(h_cpu, f_cpu),
                                            inertia / f_inertia])
                os.environ.pop("VANTORIX_PQ4_FASTSCAN", None)
                print(f"{label} Ks={ks} k={k} done", flush=True)
    write_report(
        "hybrid", "Hybrid k-means over codes and raw vectors against dense k-means",
        ["data", "n", "d", "k", "Ks", "method", "s / pass", "CPU s / pass", "raw inertia", "time / faiss",
         "CPU / faiss", "inertia / faiss"],
        rows,
        notes=(f"M = {M} subquantizers trained on 10,000 rows. Per pass: ({PASSES}-pass fit - 1-pass fit) / "
               f"{PASSES - 1}, medians of {REPEATS}; {THREADS} threads each; FAISS starts from the hybrid fit's "
               "initial centers, our dense k-means from its own k-means++ start. The machine was shared with other "
               "developers: wall times are noisy, the CPU-time columns (all threads) are the steadier comparison. "
               "Ks = 16: \"fast scan\" rows rank the candidates with the 8-bit tables over packed 4-bit codes, the "
               "others with the float table."), partial=bool(only))


if __name__ == "__main__":
    main()
