"""Whole hybrid fits against FAISS's dense k-means: which (M, Ks, L, start) reaches FAISS's quality, and
how much faster.

Every fit runs 20 iterations from its own start, initialisation included: FAISS `faiss.Kmeans` from
its random sample, the hybrid fit (`_NativePQKMeans.fit_hybrid`, given the codes) from a start over
the codes. Ks = 16 rows rank candidates with the 4-bit fast scan. The inertia is in raw space, the
mean squared distance of the rows to the mean of their cluster from each fit's final labels, so the
hybrid fit and FAISS are scored alike. Training the quantizer and encoding the rows are reported
apart (column "codes s"): a user clustering compressed data has the codes already.

The summary table keeps, per data set and k, the fastest configuration whose inertia is within 1%
of FAISS's.

Run: PYTHONPATH=python python3 bench/hybrid_fit.py   (optional filters: d=384, k=1024, Ks=16, ...)
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import THREADS, have, load, pin_threads, ratio, raw_inertia, timed_both, write_report  # noqa: E402

pin_threads()

import faiss  # noqa: E402
import numpy as np  # noqa: E402

import vantorix  # noqa: E402
from vantorix import _vantorix as vx  # noqa: E402

# (file, label, normalise, quantizers (M, Ks, OPQ passes), values of k). Ks = 256 only at small M:
# its float tables cost more than they win beyond; OPQ where plain PQ needs many blocks.
DATASETS = [
    ("photosift_learn25k", "SIFT-like", False, [(16, 16, 0), (32, 16, 0), (16, 256, 0)], [256]),
    ("minilm384_debian_descriptions", "MiniLM sentences", True,
     [(48, 16, 0), (96, 16, 0), (48, 16, 5), (32, 256, 0)], [256, 1024]),
    ("fashion_mnist_test10k", "Fashion-MNIST", False, [(28, 16, 0), (56, 16, 0), (16, 256, 0)], [256, 1024]),
]
TOP_L = [1, 2, 4, 8, 16]
STARTS = ["farthest_first", "kmeans++"]
ITERATIONS = 20
REPEATS = 3
QUALITY = 1.01


def wanted(only: set[str], tags: set[str], kinds: tuple[str, ...]) -> bool:
    """Whether every filter of these kinds (d=, k=, M=, Ks=) names one of the tags."""
    return all(t in tags for t in only if t.startswith(kinds))


def main() -> None:
    only = set(sys.argv[1:])
    faiss.omp_set_num_threads(THREADS)
    rows, best, defaults = [], [], []
    for name, label, normalise, quantizers, k_values in DATASETS:
        if not have(name):
            continue
        x = load(name)
        if normalise:
            x = np.ascontiguousarray(x / np.linalg.norm(x, axis=1, keepdims=True), dtype=np.float32)
        n, d = x.shape
        sample = x[np.random.default_rng(0).choice(n, min(n, 10000), replace=False)]
        for k in k_values:
            if not wanted(only, {f"d={d}", f"k={k}"}, ("d=", "k=")):
                continue

            def faiss_fit():
                km = faiss.Kmeans(d, k, niter=ITERATIONS, seed=1234, max_points_per_centroid=1 << 30)
                km.train(x)
                return km.index.search(x, 1)[1].ravel()

            f_time, f_labels = timed_both(faiss_fit, REPEATS)
            f_inertia = raw_inertia(x, f_labels, k)
            base = [label, n, d, k]
            rows.append(base + ["faiss dense k-means", "", "", "", "", f_time.wall, f_time.cpu, f_inertia, 1.0, 1.0])
            d_time, d_labels = timed_both(lambda: vx._NativeDenseKMeans(k, iterations=ITERATIONS).fit_predict(x), REPEATS)
            d_inertia = raw_inertia(x, d_labels, k)
            rows.append(base + ["vantorix dense k-means", "", "", "", "", d_time.wall, d_time.cpu, d_inertia,
                                ratio(d_time.wall, f_time.wall), d_inertia / f_inertia])
            # What a user gets without choosing anything: the public class from raw vectors, its
            # quantizer's training and the encoding included.
            p_time, p_model = timed_both(lambda: vantorix.PQKMeans(k, mode="hybrid", random_state=0).fit(x), REPEATS)
            p_inertia = raw_inertia(x, p_model.labels_.astype(np.int64), k) / f_inertia
            p_m = p_model.quantizer_.num_subquantizers
            p_ks = p_model.quantizer_.codebook_size
            rows.append(base + ["PQKMeans(mode=\"hybrid\") defaults, from raw", p_m, p_ks, p_model.refine_exact_top_l,
                                "kmeans++", p_time.wall, p_time.cpu, p_inertia * f_inertia,
                                ratio(p_time.wall, f_time.wall), p_inertia])
            defaults.append([label, n, d, k, p_m, p_ks, p_model.refine_exact_top_l, ratio(p_time.wall, f_time.wall),
                             p_inertia])
            candidates = []
            for m, ks, opq in quantizers:
                if not wanted(only, {f"M={m}", f"Ks={ks}"}, ("M=", "Ks=")):
                    continue
                pq = vx._NativeProductQuantizer(m, codebook_size=ks, iterations=10, opq_iterations=opq)
                c_time, codes = timed_both(lambda pq=pq: (pq.fit(sample), pq.encode(x))[1], 1)
                width = f"{m} OPQ" if opq else m
                for start in STARTS:
                    for top_l in TOP_L:
                        def hybrid_fit(pq=pq, codes=codes, top_l=top_l, start=start, ks=ks):
                            km = vx._NativePQKMeans(pq.codewords, k, iterations=ITERATIONS, init=start,
                                                    rotation=pq.rotation)
                            return km.fit_predict_hybrid(codes, x, top_l, fastscan=ks == 16)

                        h_time, h_labels = timed_both(hybrid_fit, REPEATS)
                        inertia = raw_inertia(x, h_labels, k) / f_inertia
                        row = base + ["hybrid", width, ks, top_l, start, h_time.wall, h_time.cpu,
                                      inertia * f_inertia, ratio(h_time.wall, f_time.wall), inertia]
                        rows.append(row + [round(c_time.wall, 3)])
                        if inertia <= QUALITY:
                            candidates.append(row)
                print(f"{label} k={k} M={width} Ks={ks} done", flush=True)
            if candidates:
                fastest = min(candidates, key=lambda r: r[-2])
                best.append([label, n, d, k, fastest[5], fastest[6], fastest[7], fastest[8], fastest[-2], fastest[-1]])
            else:
                best.append([label, n, d, k, "none within 1%", "", "", "", "", ""])
            report(rows, best, defaults, bool(only))  # after every data set and k: a long run shows what it has


def report(rows: list[list], best: list[list], defaults: list[list], partial: bool) -> None:
    rows = [row + [""] * (15 - len(row)) for row in rows]
    write_report(
        "hybrid_fit", "Whole hybrid fits against FAISS's dense k-means",
        ["data", "n", "d", "k", "method", "M", "Ks", "L", "start", "fit s", "CPU s", "raw inertia",
         "time / faiss", "inertia / faiss", "codes s"],
        rows,
        notes=(f"{ITERATIONS} iterations, initialisation included; medians of {REPEATS} runs, {THREADS} threads "
               "each. FAISS starts from its random sample, our dense k-means from k-means++, the hybrid fit from "
               "the named start over the codes. Ks = 16 ranks candidates with the 4-bit fast scan. \"codes s\": "
               "training the quantizer on 10,000 rows (with a learned rotation where the M column says OPQ) and "
               "encoding every row, not part of \"fit s\".\n\n"
               "Fastest hybrid configuration within 1% of FAISS's inertia:\n\n"
               "| data | n | d | k | M | Ks | L | start | time / faiss | inertia / faiss |\n"
               "|---|---|---|---|---|---|---|---|---|---|\n"
               + table(best) + "\n\n"
               "`vantorix.PQKMeans(k, mode=\"hybrid\", random_state=0).fit(x)` with its defaults, from raw vectors "
               "(training the quantizer and encoding included):\n\n"
               "| data | n | d | k | M | Ks | L | time / faiss | inertia / faiss |\n"
               "|---|---|---|---|---|---|---|---|---|\n"
               + table(defaults)), partial=partial)


def table(lines: list[list]) -> str:
    return "\n".join("| " + " | ".join(f"{v:.4g}" if isinstance(v, float) else str(v) for v in b) + " |"
                     for b in lines)


if __name__ == "__main__":
    main()
