"""4-bit fast scan: assignment throughput of the quantized scan, the exact packed scan and the
unpacked table scan (C++ driver bench/pq4.cpp), against FAISS's 4-bit fast scan on the same rows
and centers; then a symmetric fit with Ks = 16 with the fast scan switched on against off."""

import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import THREADS, build_native_bench, have, load, pin_threads, timed, write_report  # noqa: E402

pin_threads()

import faiss  # noqa: E402

from vantorix import _vantorix as vx  # noqa: E402

REPEATS = 5
INNER = 5
MS = [8, 16, 32]
KS = [64, 256, 1024]
FIT_K = 256
FIT_ITERATIONS = 10


def datasets():
    """SIFT-like descriptors and Fashion-MNIST pixels, as float32 rows."""
    if have("photosift_base10k"):
        yield "photosift", load("photosift_base10k")
    if have("fashion_mnist_train60k"):
        yield "fashion", load("fashion_mnist_train60k")[:20000]


def pad_columns(x: np.ndarray, m: int) -> np.ndarray:
    """Zero columns up to a multiple of m (they add nothing to any distance)."""
    extra = (-x.shape[1]) % m
    return np.ascontiguousarray(np.pad(x, ((0, 0), (0, extra))) if extra else x)


def center_table(codewords: np.ndarray, centers: np.ndarray) -> np.ndarray:
    """Float lookup table laid out (s*16 + t)*k + j: codeword t of subspace s to center j."""
    m, ks, ds = codewords.shape
    sub = centers.reshape(len(centers), m, ds).transpose(1, 0, 2)  # m x k x ds
    diff = codewords[:, :, None, :] - sub[:, None, :, :]
    return np.ascontiguousarray((diff * diff).sum(-1, dtype=np.float32), dtype=np.float32)


def scan_both(binary: Path, codes: np.ndarray, table: np.ndarray, codewords: np.ndarray, decoded: np.ndarray,
              centers: np.ndarray) -> tuple[dict, float]:
    """Ours (one driver run per repeat, each the median of INNER passes, as FAISS's index is searched
    warm) and FAISS's search, alternating; medians of each."""
    m, _, ds = codewords.shape
    index = faiss.IndexPQFastScan(m * ds, m, 4)
    faiss.copy_array_to_vector(codewords.ravel(), index.pq.centroids)
    index.is_trained = True
    index.add(decoded)  # reconstructions encode back to the same codes
    index.search(centers, 1)  # warm-up
    ours, peer = [], []
    with tempfile.NamedTemporaryFile(suffix=".bin") as f:
        n = len(codes)
        f.write(np.array([n, m, len(centers)], dtype="<u8").tobytes())
        f.write(codes.tobytes())
        f.write(table.astype("<f4").tobytes())
        f.flush()
        env = dict(os.environ, VANTORIX_NUM_THREADS=str(THREADS))
        for _ in range(REPEATS):
            out = subprocess.run([str(binary), f.name, str(INNER)], check=True, capture_output=True, text=True, env=env)
            ours.append(json.loads(out.stdout))
            peer.append(timed(lambda: index.search(centers, 1), 1)[0])
    merged = {key: float(np.median([o[key] for o in ours])) for key in ours[0] if key.endswith("_s")}
    merged.update({key: ours[-1][key] for key in ours[0] if not key.endswith("_s")})
    return merged, float(np.median(peer))


def fit_seconds(codewords: np.ndarray, codes: np.ndarray, fastscan: bool) -> tuple[float, np.ndarray]:
    if fastscan:
        os.environ["VANTORIX_PQ4_FASTSCAN"] = "1"
    else:
        os.environ.pop("VANTORIX_PQ4_FASTSCAN", None)
    try:
        model = vx._NativePQKMeans(codewords, FIT_K, iterations=FIT_ITERATIONS, seed=1)
        seconds, _ = timed(lambda: model.fit(codes), 3)
        return seconds, model.inertia_history
    finally:
        os.environ.pop("VANTORIX_PQ4_FASTSCAN", None)


def main() -> None:
    binary = build_native_bench("vantorix_pq4_bench")
    rng = np.random.default_rng(0)
    scan_rows, fit_rows = [], []
    for name, data in datasets():
        for m in MS:
            x = pad_columns(data, m)
            pq = vx._NativeProductQuantizer(m, codebook_size=16, iterations=10, seed=0)
            pq.fit(x)
            codes = pq.encode(x)
            codewords = pq.codewords
            decoded = pq.decode(codes)
            n = len(codes)
            for k in KS:
                centers = decoded[rng.choice(n, size=k, replace=False)]
                ours, peer = scan_both(binary, codes, center_table(codewords, centers), codewords, decoded, centers)
                rc = n * k / 1e6
                scan_rows.append([
                    name, m, k,
                    rc / ours["quantized_global_s"], rc / ours["exact_packed_s"], rc / ours["unpacked_s"],
                    rc / peer,
                    ours["unpacked_s"] / ours["quantized_global_s"],
                    ours["quantized_global_s"] / peer,
                    ours["mismatch_global"], ours["mismatch_per_center"],
                ])
            (t_on, h_on), (t_off, h_off) = fit_seconds(codewords, codes, True), fit_seconds(codewords, codes, False)
            fit_rows.append([name, m, FIT_K, t_off, t_on, t_on / t_off, h_on[-1] / h_off[-1] - 1.0])
            print(scan_rows[-1], fit_rows[-1], flush=True)

    isa = ours["isa"] if scan_rows else "?"
    write_report(
        "pq4", "4-bit fast scan: assignment throughput (million rows x centers per second)",
        ["data", "M", "k", "quantized", "exact packed", "unpacked", "faiss fastscan", "quantized/unpacked speed",
         "time ours/faiss", "label share != exact (global)", "label share != exact (per-center)"],
        scan_rows,
        notes=("Codes: our product quantizer with Ks = 16 (photosift: 10k SIFT-like descriptors; Fashion-MNIST: "
               "first 20k rows, zero columns padded to a multiple of M). Centers: "
               "reconstructions of k random rows. Ours: one assignment pass (table quantization included) "
               f"through the {isa} byte-shuffle scan, {THREADS} worker threads; FAISS: IndexPQFastScan holding "
               "the same codebooks and the reconstructed rows, the centers as queries, top-1, "
               f"{THREADS} OpenMP threads, passive waiting. Medians of {REPEATS} runs, ours and FAISS alternating; each of ours "
               f"is one process's median of {INNER} passes (FAISS's index is warm too)."))
    write_report(
        "pq4_fit", f"Symmetric fit with Ks = 16: VANTORIX_PQ4_FASTSCAN on against off ({FIT_ITERATIONS} passes)",
        ["data", "M", "k", "off s", "on s", "on/off", "final inertia on/off - 1"], fit_rows,
        notes="Median of 3 fits each; the machine was shared with other jobs.")


if __name__ == "__main__":
    main()
