"""k-means over PQ codes: our symmetric and ADC fits against the PQk-means paper's implementation
(`_pqkmeans`, when importable) and against FAISS k-means on the decoded reconstructions.

Data: Fashion-MNIST train + test (70,000 x 784), quantized by a FAISS product quantizer with
Ks = 256 trained on 20,000 rows, M = 8 and 16. Every method runs the same number of passes from
its own initialisation: ours with the default farthest-first start and with k-means++ (`_kpp`),
the paper's implementation from random code rows, FAISS from random rows. Each measurement runs in a child process so its peak memory can be read
(resident set size above the child's baseline after loading the codes). The objective is the
same for every method: the mean squared distance of the raw vectors to the mean of their
cluster, from the method's labels (lower is better).

Run: PYTHONPATH=python python3 bench/pq_kmeans.py   (add --quick for a small smoke run)

The PyPI package `pqkmeans` 1.0.6 does not build as published (its CMake file predates CMake 4
and it vendors an old pybind11). Its extension builds from the sdist, outside this repository,
after raising `cmake_minimum_required` to 3.15 and replacing `add_subdirectory(ext/pybind)` by
`find_package(Python ...)` + `find_package(pybind11 CONFIG)`; put the build directory holding
`_pqkmeans*.so` on PYTHONPATH. Only the extension is used (the package's Python layer needs
`pipe<2`, which is not needed here).
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import RESULTS, have, load, pin_threads, ratio, timed, write_report  # noqa: E402

pin_threads()

import numpy as np  # noqa: E402

ITERATIONS = 10
TMP = RESULTS / "pq_kmeans_codes.tmp"


def status_kib(field: str) -> int:
    """VmRSS / VmHWM of this process (VmHWM, unlike ru_maxrss, starts afresh at exec)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def build_codes(quick: bool):
    import faiss

    raw = np.concatenate([load("fashion_mnist_train60k"), load("fashion_mnist_test10k")])
    if quick:
        raw = raw[:8000]
    rng = np.random.default_rng(0)
    train = raw[rng.choice(len(raw), size=min(20000, len(raw)), replace=False)]
    TMP.mkdir(parents=True, exist_ok=True)
    for m in (8, 16):
        pq = faiss.ProductQuantizer(raw.shape[1], m, 8)
        pq.train(train)
        codes = pq.compute_codes(raw)
        codewords = faiss.vector_to_array(pq.centroids).reshape(m, 256, raw.shape[1] // m)
        np.savez(TMP / f"m{m}.npz", codes=codes, codewords=codewords)
    return raw


def worker(method: str, m: int, k: int, repeats: int) -> None:
    """Child process: runs one method, prints time, peak memory and writes the labels."""
    data = np.load(TMP / f"m{m}.npz")
    codes, codewords = np.ascontiguousarray(data["codes"]), np.ascontiguousarray(data["codewords"])
    if method.startswith("vantorix"):
        from vantorix import _vantorix as vx

        init = "kmeans++" if method.endswith("_kpp") else "farthest_first"

        def run():
            model = vx._NativePQKMeans(codewords, k, iterations=ITERATIONS, init=init)
            return model.fit_predict(codes) if "_sym" in method else model.fit_predict_adc(codes)

    elif method == "pqkmeans":
        import _pqkmeans

        def run():
            model = _pqkmeans.PQKMeans(codewords, k, ITERATIONS, False)
            model.fit(codes.reshape(-1))
            return np.asarray(model.labels_)

    else:
        import faiss

        def run():
            recon = np.concatenate([codewords[s][codes[:, s]] for s in range(m)], axis=1)
            km = faiss.Kmeans(recon.shape[1], k, niter=ITERATIONS, seed=0, max_points_per_centroid=1 << 30)
            km.train(recon)
            return km.index.search(recon, 1)[1][:, 0]

    base = status_kib("VmRSS")
    seconds, labels = timed(run, repeats)
    peak = status_kib("VmHWM")
    np.save(TMP / f"labels_{method}_{m}_{k}.npy", np.asarray(labels, dtype=np.int64))
    print(json.dumps({"seconds": seconds, "peak_mib": max(peak - base, 0) / 1024}))


def objective(raw: np.ndarray, labels: np.ndarray, k: int) -> float:
    """Mean squared distance of the raw rows to their cluster means."""
    sums = np.zeros((k, raw.shape[1]))
    np.add.at(sums, labels, raw)
    counts = np.bincount(labels, minlength=k)
    means = sums / np.maximum(counts, 1)[:, None]
    total = 0.0
    for start in range(0, len(raw), 8192):
        block = raw[start : start + 8192].astype(np.float64)
        total += ((block - means[labels[start : start + 8192]]) ** 2).sum()
    return total / len(raw)


def measure(method: str, m: int, k: int, repeats: int):
    out = subprocess.run(
        [sys.executable, __file__, "--worker", method, str(m), str(k), str(repeats)],
        capture_output=True,
        text=True,
    )
    if out.returncode != 0:
        print(f"{method} M={m} k={k} failed:\n{out.stderr[-2000:]}", file=sys.stderr)
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


def peer_available() -> bool:
    try:
        import _pqkmeans  # noqa: F401
    except ImportError:
        return False
    return True


def main() -> None:
    quick = "--quick" in sys.argv
    if not have("fashion_mnist_train60k", "fashion_mnist_test10k"):
        return
    raw = build_codes(quick)
    have_peer = peer_available()
    ours = ["vantorix_sym", "vantorix_sym_kpp", "vantorix_adc", "vantorix_adc_kpp"]
    methods = ours + (["pqkmeans"] if have_peer else []) + ["faiss_decoded"]
    rows = []
    for m in (8, 16):
        for k in (64, 256):
            result = {}
            for method in methods:
                repeats = 1 if method == "pqkmeans" or quick else 3
                r = measure(method, m, k, repeats)
                if r is None:
                    continue
                labels = np.load(TMP / f"labels_{method}_{m}_{k}.npy")
                r["objective"] = objective(raw, labels, k)
                result[method] = r
            for method, r in result.items():
                row = [m, k, method, r["seconds"] / ITERATIONS, r["peak_mib"], r["objective"]]
                for peer in ("pqkmeans", "faiss_decoded"):
                    p = result.get(peer)
                    if method.startswith("vantorix") and p:
                        row += [ratio(r["seconds"], p["seconds"]), ratio(r["objective"], p["objective"])]
                    else:
                        row += ["", ""]
                rows.append(row)
                print(row, flush=True)
    notes = (
        f"n = {len(raw)} Fashion-MNIST rows (784 dims), Ks = 256, {ITERATIONS} passes per fit; time per pass = "
        "median fit time / passes (initialisation included; FAISS also decodes). Memory = peak resident set above "
        "the process baseline. Objective = mean squared distance of raw rows to their cluster mean (lower is "
        "better). Ratios are ours / peer."
    )
    if not have_peer:
        notes += " The PQk-means reference (`_pqkmeans`) was not importable, so only FAISS is compared."
    write_report(
        "pq_kmeans",
        "k-means over PQ codes",
        ["M", "k", "method", "s/pass", "peak MiB", "objective", "time/pqkmeans", "obj/pqkmeans", "time/faiss",
         "obj/faiss"],
        rows,
        notes,
        partial=quick,
    )


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
    else:
        main()
