"""Dense k-means: our fit against FAISS Kmeans and scikit-learn KMeans (Lloyd), same data, same k,
same iteration count, same random initialisation, two threads each.

    PYTHONPATH=python python3 bench/dense_kmeans.py [case-name-substring ...]

Two tables: the default fit on the real data sets (with our fit on the direct kernels alone beside
it, and the share of rows the screened assignment had to measure twice), and one case per acceleration (matrix-product
assignment, Hamerly bounds, early abandon, center-sharded update) with the acceleration against
our own fit with it switched off, and against the peers. Early abandon is meant for the scalar
kernels, so its case runs in a child process with VANTORIX_SIMD=scalar.

Time per iteration is the whole fit (initialisation included) divided by the iterations it ran.
Final inertia is evaluated the same way for everyone: the mean over rows of the distance to the
nearest returned center (squared L2, or 1 - dot for the spherical case).
"""

from __future__ import annotations

import ctypes
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from common import THREADS, build_native_bench, have, load, pin_threads, ratio, timed, with_env, write_report

pin_threads()

import faiss  # noqa: E402
import numpy as np  # noqa: E402
from sklearn.cluster import KMeans  # noqa: E402

from vantorix import _vantorix as vx  # noqa: E402

ITERATIONS = 10
REPEATS = 5
SETTLE_SECONDS = 0.5
SEED = 1234


def unit_rows(x):
    return np.ascontiguousarray(x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-12), dtype=np.float32)


def inertia(x, centers, spherical):
    index = faiss.IndexFlatIP(x.shape[1]) if spherical else faiss.IndexFlatL2(x.shape[1])
    index.add(np.ascontiguousarray(centers, dtype=np.float32))
    dist, _ = index.search(x, 1)
    return float(np.mean(1.0 - dist[:, 0].astype(np.float64))) if spherical else float(np.mean(dist[:, 0], dtype=np.float64))


def ours(x, k, spherical, env=None, iterations=ITERATIONS):
    def run():
        m = vx._NativeDenseKMeans(k, iterations=iterations, seed=SEED, init="random", spherical=spherical)
        m.fit(x)
        return m.cluster_centers, len(m.inertia_history)

    return with_env(env, run)


def faiss_kmeans(x, k, spherical, iterations=ITERATIONS):
    def run():
        km = faiss.Kmeans(x.shape[1], k, niter=iterations, seed=SEED, spherical=spherical,
                          max_points_per_centroid=x.shape[0], min_points_per_centroid=1, verbose=False)
        km.train(x)
        return km.centroids, iterations

    return run


def sklearn_kmeans(x, k, iterations=ITERATIONS):
    def run():
        km = KMeans(n_clusters=k, n_init=1, algorithm="lloyd", max_iter=iterations, tol=0.0, init="random",
                    random_state=SEED)
        km.fit(x)
        return km.cluster_centers_, km.n_iter_

    return run


def measure_all(fns):
    """Runs the fits in turn, REPEATS rounds, so load from elsewhere on the machine hits every
    library alike; returns (median seconds per iteration, centers) for each."""
    times = [[] for _ in fns]
    results = [None] * len(fns)
    for _ in range(REPEATS):
        for i, fn in enumerate(fns):
            # Idle pool threads of the previous library (OpenMP, BLAS, TBB) spin for a while before
            # they sleep; let them settle so no run pays for its predecessor.
            time.sleep(SETTLE_SECONDS)
            seconds, (centers, iterations) = timed(fn, 1)
            times[i].append(seconds / max(iterations, 1))
            results[i] = centers
    return [(statistics.median(t), c) for t, c in zip(times, results)]


# (data set, rows taken from its start (None: all), k, spherical)
CASES = [
    ("photosift_learn25k", 20000, 16, False),
    ("photosift_learn25k", 20000, 64, False),
    ("photosift_learn25k", 20000, 256, False),
    ("fashion_mnist_test10k", None, 256, False),
    ("fashion_mnist_train60k", None, 16, False),
    ("fashion_mnist_train60k", None, 64, False),
    ("glove100_50k", 20000, 64, False),
    ("glove100_50k", None, 64, True),
    ("glove100_50k", None, 1024, False),
    ("glove100_50k", None, 1024, True),
    ("minilm384_debian_descriptions", 37000, 1024, False),
]


def blas_libraries():
    """cblas_sgemm of the OpenBLAS our module links (Debian's), by path from the process's maps."""
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if "libopenblas" in line and "scipy" not in line}
    return [ctypes.CDLL(p) for p in sorted(paths)[:1]]


def one_sgemm(x, centers):
    """Seconds of one rows x k x d product on two threads, the faster of: Debian's OpenBLAS as our
    module runs it (each thread a single-threaded product over half the rows) and NumPy's bundled
    OpenBLAS (one call on two threads). Returns (seconds, which)."""
    out = np.empty((x.shape[0], centers.shape[0]), np.float32)
    best = []
    for lib in blas_libraries():
        lib.openblas_set_num_threads(1)
        half = (x.shape[0] + 1) // 2

        def product(lo, hi, lib=lib):
            lib.cblas_sgemm(101, 111, 112, hi - lo, centers.shape[0], x.shape[1], ctypes.c_float(1.0),
                            ctypes.c_void_p(x[lo:].ctypes.data), x.shape[1], ctypes.c_void_p(centers.ctypes.data),
                            x.shape[1], ctypes.c_float(0.0), ctypes.c_void_p(out[lo:].ctypes.data),
                            centers.shape[0])

        def both():
            other = threading.Thread(target=product, args=(half, x.shape[0]))
            other.start()
            product(0, half)
            other.join()

        both()
        best.append((min(timed(both, 1)[0] for _ in range(7)), "Debian OpenBLAS"))
        lib.openblas_set_num_threads(THREADS)
    np.matmul(x, centers.T, out=out)
    best.append((min(timed(lambda: np.matmul(x, centers.T, out=out), 1)[0] for _ in range(7)), "NumPy's OpenBLAS"))
    return min(best)


def screen_share(binary, x, k, spherical):
    """Share of rows that needed a second direct measurement in our fit (nan: no row screened)."""
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "x.npy"
        np.save(path, x)
        out = subprocess.run([str(binary), "share", str(path), str(k), "1" if spherical else "0", str(ITERATIONS)],
                             check=True, capture_output=True, text=True).stdout
    counts = json.loads(out)
    return counts["confirmed"] / counts["rows"] if counts["rows"] else float("nan")


# (label, data set, k, iterations, accelerated run's switches, baseline switches, needs scalar kernels).
# Hamerly pays off once the centers settle, so its cases run longer.
ACCEL_CASES = [
    ("matrix product", "fashion_mnist_train60k", 256, ITERATIONS, {}, {"VANTORIX_DENSE_ASSIGN": "rows"}, False),
    # The defaults keep k < 256 on the direct kernels; this row shows what lowering the threshold gives.
    ("matrix product from k=0", "fashion_mnist_train60k", 64, ITERATIONS, {"VANTORIX_DENSE_BLAS_MIN_K": "0"}, {},
     False),
    ("hamerly", "fashion_mnist_train60k", 16, 30, {"VANTORIX_DENSE_HAMERLY": "on"}, {}, False),
    ("hamerly", "photosift_learn25k", 24, 30, {"VANTORIX_DENSE_HAMERLY": "auto"}, {}, False),
    ("early abandon (scalar kernels)", "photosift_learn25k", 32, ITERATIONS, {"VANTORIX_DENSE_EARLY_ABANDON": "on"},
     {}, True),
    ("sharded update", "photosift_learn25k", 2048, ITERATIONS, {}, {"VANTORIX_DENSE_UPDATE": "chunked"}, False),
]


def accel_row(what, name, k, iterations, env_on, env_off):
    x = load(name)
    (t_on, c_on), (t_off, c_off), (t_faiss, c_faiss), (t_sk, c_sk) = measure_all(
        [ours(x, k, False, env_on, iterations), ours(x, k, False, env_off, iterations),
         faiss_kmeans(x, k, False, iterations), sklearn_kmeans(x, k, iterations)])
    i_on, i_faiss = inertia(x, c_on, False), inertia(x, c_faiss, False)
    return [f"{what}: {name} k={k}", iterations, t_on * 1e3, t_off * 1e3, ratio(t_on, t_off), t_faiss * 1e3, t_sk * 1e3,
            ratio(t_on, t_faiss), ratio(t_on, t_sk), ratio(i_on, i_faiss), ratio(i_on, inertia(x, c_off, False))]


def accel_main(filters, scalar_child=False):
    rows = []
    for what, name, k, iterations, env_on, env_off, scalar in ACCEL_CASES:
        label = f"{what}: {name} k={k}"
        if filters and not any(f in label for f in filters):
            continue
        if scalar and not scalar_child:
            env = dict(os.environ, VANTORIX_SIMD="scalar")
            out = subprocess.run([sys.executable, __file__, "--scalar-child", label], env=env, check=True,
                                 capture_output=True, text=True).stdout
            rows.extend(json.loads(out.strip().splitlines()[-1]))
        elif scalar == scalar_child:
            if have(name):
                rows.append(accel_row(what, name, k, iterations, env_on, env_off))
        else:
            continue
        print(rows[-1], file=sys.stderr, flush=True)
    return rows


def main(filters):
    faiss.omp_set_num_threads(THREADS)
    if filters[:1] == ["--scalar-child"]:
        print(json.dumps(accel_main(filters[1:], scalar_child=True)))
        return
    rows = []
    screen_bench = build_native_bench("vantorix_screen_bench")
    for name, take, k, spherical in CASES:
        label = f"{name}{f'[:{take}]' if take else ''} k={k}" + (" spherical" if spherical else "")
        if filters and not any(f in label for f in filters):
            continue
        if not have(name):
            continue
        x = np.ascontiguousarray(load(name)[:take])
        if spherical:
            x = unit_rows(x)
        fns = [ours(x, k, spherical), ours(x, k, spherical, {"VANTORIX_DENSE_ASSIGN": "rows"}),
               faiss_kmeans(x, k, spherical)]
        if not spherical:  # scikit-learn has no spherical k-means
            fns.append(sklearn_kmeans(x, k))
        measured = measure_all(fns)
        (t_ours, c_ours), (t_rows, _), (t_faiss, c_faiss) = measured[:3]
        i_ours, i_faiss = inertia(x, c_ours, spherical), inertia(x, c_faiss, spherical)
        t_sk = measured[3][0] if not spherical else float("nan")
        t_gemm, blas = one_sgemm(x, np.ascontiguousarray(c_ours))
        rows.append([label, x.shape[0], x.shape[1], ITERATIONS, t_ours * 1e3, t_rows * 1e3, t_faiss * 1e3,
                     t_sk * 1e3, t_gemm * 1e3, blas, ratio(t_ours, min(t_faiss, t_sk) if t_sk == t_sk else t_faiss),
                     ratio(t_ours, t_gemm), screen_share(screen_bench, x, k, spherical), ratio(i_ours, i_faiss)])
        print(rows[-1], file=sys.stderr, flush=True)
    if rows:
        write_report(
            "dense_kmeans",
            "Dense k-means: time per iteration against the peers and against one matrix product",
            ["case", "rows", "d", "iters", "ours ms/it", "ours direct-only ms/it", "faiss ms/it", "sklearn ms/it",
             "one sgemm ms", "sgemm BLAS", "ours/faster peer", "ours/sgemm", "rows measured twice",
             "inertia ours/faiss"],
            rows,
            notes=f"Random initialisation for all three, {ITERATIONS} iterations, median of {REPEATS} "
            "fits; FAISS without subsampling (max_points_per_centroid = rows), inner product for spherical. "
            "'Direct-only' is our fit with VANTORIX_DENSE_ASSIGN=rows (no matrix product at all). 'One sgemm' is a "
            "single rows x k x d product on two threads, the faster of Debian's OpenBLAS (which the module links, "
            "run as the module runs it: each thread a single-threaded product over its rows) and the OpenBLAS "
            "NumPy's wheel bundles; 'ours/sgemm' is an iteration of our fit against it. 'Rows measured twice' is "
            "the share of screened rows whose nearest center the bound could not settle alone, over the whole fit "
            "(nan: the shape is not screened).",
            partial=bool(filters),
        )
    accel = accel_main(filters)
    if accel:
        write_report(
            "dense_kmeans_accel",
            "Dense k-means accelerations: each against our fit with it switched off, and against the peers",
            ["case", "iters", "ours ms/it", "ours without it ms/it", "with/without", "faiss ms/it", "sklearn ms/it",
             "ours/faiss", "ours/sklearn", "inertia ours/faiss", "inertia with/without"],
            accel,
            notes=f"Random initialisation, median of {REPEATS} fits. The early-abandon row "
            "runs with VANTORIX_SIMD=scalar (its automatic setting only enables it there); peers are unaffected.",
            partial=bool(filters),
        )


if __name__ == "__main__":
    main(sys.argv[1:])
