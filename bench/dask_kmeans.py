"""vantorix.dask against dask_ml.cluster.KMeans on one local Dask cluster (2 worker processes).

Cases, each with the same starting centers for every method:
- generated: rows made chunk by chunk from a seed (clustered Gaussian data), more than one
  worker's memory limit (a worker process with NumPy, scikit-learn and vantorix loaded already
  holds about 200 MiB, so the limit cannot be made small), never materialised or persisted:
  every pass regenerates its chunks,
  so the generation is part of every method's pass (the `generate` row is that floor alone);
- persisted: a smaller set held in the workers' memory, where the passes are the algorithms.

Per method: seconds per pass over the data (fit time / passes; ours runs max_iter + 1 passes,
dask-ml max_iter + 2: its finiteness check and its final inertia), bytes sent between workers
per iteration, bytes the driver receives per iteration, and the peak memory of the two worker
processes together. The code fit (vantorix.dask.PQKMeans) encodes the same rows chunk by chunk
with a quantizer trained on one chunk and is compared with dask-ml's dense fit on those rows.
The machine is shared with other jobs: compare the ratios of one run, not absolute times.

Run: PYTHONPATH=python python3 bench/dask_kmeans.py   (--quick for a small smoke run)
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import pin_threads, ratio, write_report  # noqa: E402

pin_threads(1)  # one thread per worker process, two processes

import dask  # noqa: E402
import dask.array as da  # noqa: E402
import numpy as np  # noqa: E402
from distributed import Client, LocalCluster, wait  # noqa: E402
from distributed.diagnostics import MemorySampler  # noqa: E402

import vantorix  # noqa: E402
from vantorix import dask as vdask  # noqa: E402

QUICK = "--quick" in sys.argv
D, K, ITERATIONS = 64, 64, 2
CHUNK = 50_000 if QUICK else 125_000
GENERATED_ROWS = 400_000 if QUICK else 3_000_000
PERSISTED_ROWS = 200_000 if QUICK else 600_000
MEMORY_LIMIT = "600MiB"


def make_chunk(index: int, rows: int) -> np.ndarray:
    centers = np.random.default_rng(12345).normal(scale=4.0, size=(32, D)).astype(np.float32)
    rng = np.random.default_rng(index)
    x = rng.standard_normal((rows, D), dtype=np.float32)
    x += centers[rng.integers(0, 32, rows)]
    return x


def generated(n: int) -> da.Array:
    sizes = [min(CHUNK, n - s) for s in range(0, n, CHUNK)]
    parts = [da.from_delayed(dask.delayed(make_chunk)(i, r), shape=(r, D), dtype=np.float32) for i, r in enumerate(sizes)]
    return da.concatenate(parts)


def transfer_bytes(client: Client) -> int:
    return sum(client.run(lambda dask_worker: dask_worker.transfer_outgoing_bytes_total).values())


def measure(client: Client, label: str, fit, passes_of, iterations_of, received_per_iteration):
    print(f"  {label} ...", flush=True)
    sampler = MemorySampler()
    before = transfer_bytes(client)
    with sampler.sample(label, interval=0.2):
        start = time.perf_counter()
        model = fit()
        seconds = time.perf_counter() - start
    moved = transfer_bytes(client) - before
    peak = float(sampler.to_pandas()[label].max()) / 2**20
    passes = passes_of(model)
    return {
        "model": model,
        "s_per_pass": seconds / passes,
        "worker_bytes_per_iter": moved / max(1, iterations_of(model)),
        "driver_bytes_per_iter": received_per_iteration(model),
        "peak_mib": peak,
        "passes": passes,
    }


def summary_bytes(k: int, d: int) -> int:
    # sums (k x d float64), counts, and the 2k farthest rows (distance, row, label)
    return k * d * 8 + k * 8 + 2 * k * (4 + 8 + 8) + 8


def main() -> None:
    rows = []
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, memory_limit=MEMORY_LIMIT, dashboard_address=None
    ) as cluster, Client(cluster) as client:
        from dask_ml.cluster import KMeans as DaskMLKMeans

        for case, n in (("generated", GENERATED_ROWS), ("persisted", PERSISTED_ROWS)):
            x = generated(n)
            if case == "persisted":
                x = x.persist()
                client.wait_for_workers(2)
                wait(x)
            init = make_chunk(999, K)
            gib = n * D * 4 / 2**30
            floor = measure(client, "generate", lambda: x.sum(axis=0).compute(), lambda m: 1, lambda m: 1, lambda m: 0)
            ours = measure(
                client, "ours",
                lambda: vdask.KMeans(K, init=init, max_iter=ITERATIONS).fit(x),
                lambda m: m.n_iter_ + 1, lambda m: m.n_iter_ + 1, lambda m: summary_bytes(K, D),
            )
            peer = measure(
                client, "dask_ml",
                lambda: DaskMLKMeans(K, init=init, max_iter=ITERATIONS, tol=0, n_init=1).fit(x),
                lambda m: m.n_iter_ + 2, lambda m: m.n_iter_, lambda m: K * D * 8,
            )
            pq = vantorix.ProductQuantizer(16, random_state=0).fit(make_chunk(0, 50_000))
            codes = measure(
                client, "ours_codes",
                lambda: vdask.PQKMeans(K, quantizer=pq, init=pq.encode(init), max_iter=ITERATIONS).fit(x),
                lambda m: m.n_iter_, lambda m: m.n_iter_, lambda m: 0,
            )
            check = np.mean(np.abs(ours["model"].cluster_centers_ - peer["model"].cluster_centers_))
            notes = f"{case}: {n} x {D} float32 = {gib:.2f} GiB, chunks of {CHUNK} rows, k = {K}, workers limited to {MEMORY_LIMIT}"
            print(notes, f"(mean |center difference| ours vs dask-ml {check:.2e})", flush=True)
            for name, r in (("generate (floor)", floor), ("vantorix.dask.KMeans", ours), ("dask_ml KMeans", peer), ("vantorix.dask.PQKMeans", codes)):
                rows.append([
                    case, name, n, r["passes"], r["s_per_pass"], ratio(r["s_per_pass"], peer["s_per_pass"]),
                    r["worker_bytes_per_iter"], r["driver_bytes_per_iter"], r["peak_mib"],
                ])
            del x
            client.cancel(list(client.futures))
    write_report(
        "dask_kmeans",
        "Dense k-means and k-means over codes on a Dask cluster, against dask-ml",
        ["case", "method", "rows", "passes", "s per pass", "ratio to dask-ml", "worker bytes / iter",
         "driver bytes / iter (summary)", "peak worker MiB (both)"],
        rows,
        notes="Two worker processes with one thread each on a shared 2-core machine; 'generate' is one pass "
        "that only makes the rows. Driver bytes are the size of one reduced summary (ours) or of the "
        "gathered centers (dask-ml).",
    )


if __name__ == "__main__":
    main()
