"""vantorix.dask against dask_ml.cluster.KMeans on one local Dask cluster (2 worker processes).

The rows are generated chunk by chunk (clustered Gaussian data, each chunk from its own seed)
and written to a stack of .npy files, never held whole in memory; every fit reads them back
through ``da.from_npy_stack`` on every pass. Two sizes with the same chunk size show whether
the bytes moved between workers per iteration grow with the row count; the larger set is
several times one worker's memory limit.

Per fit, all from the same starting centers:
- vantorix.dask.KMeans and dask_ml.cluster.KMeans: the dense fit over the stored rows;
- vantorix.dask.PQKMeans: the symmetric code fit. The rows are encoded once (the `encode` row:
  vantorix.dask.encode, one pass over the stored rows, with a quantizer trained on a sample)
  and the codes, 16 or 32 bytes per row, are held in the workers' memory; its passes run over
  those codes. Two
  quantizers: 16 subspaces of 256 codewords (exact scan) and 32 subspaces of 16 codewords with
  the quantized 4-bit scan switched on in the workers (VANTORIX_PQ4_FASTSCAN=1).

Columns: seconds per pass (fit time / passes: ours runs max_iter + 1 passes, the last one
against the final centers; dask-ml max_iter + 2, its finiteness check and its final inertia),
the ratio to dask-ml's seconds per pass; the mean seconds of the iterations after the first
(ours timed around each pass, dask-ml's from its own per-iteration log; the dense fit's later
passes start from each row's previous label) and its ratio; bytes sent between workers per
iteration, and the
peak memory of the two worker processes together (sampled every 0.2 s; it includes the
file pages a worker has mapped).

Run: PYTHONPATH=python python3 bench/dask_kmeans.py   (--quick for a small smoke run)
"""

from __future__ import annotations

import logging
import os
import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import Stopwatch, pin_threads, ratio, write_report  # noqa: E402

pin_threads(1)  # one thread per worker process, two processes

import dask  # noqa: E402
import dask.array as da  # noqa: E402
import numpy as np  # noqa: E402
from distributed import Client, LocalCluster, futures_of, wait  # noqa: E402
from distributed.diagnostics import MemorySampler  # noqa: E402

import vantorix  # noqa: E402
from vantorix import dask as vdask  # noqa: E402

QUICK = "--quick" in sys.argv
D, K, ITERATIONS = 128, 256, 6
CHUNK = 125_000
SIZES = (500_000, 1_000_000) if QUICK else (2_000_000, 8_000_000)
MEMORY_LIMIT = "1GiB"


def make_chunk(index: int, rows: int) -> np.ndarray:
    centers = np.random.default_rng(12345).normal(scale=4.0, size=(64, D)).astype(np.float32)
    rng = np.random.default_rng(index)
    x = rng.standard_normal((rows, D), dtype=np.float32)
    x += centers[rng.integers(0, 64, rows)]
    return x


def write_stack(path: Path, n: int) -> da.Array:
    sizes = [min(CHUNK, n - s) for s in range(0, n, CHUNK)]
    parts = [da.from_delayed(dask.delayed(make_chunk)(i, r), shape=(r, D), dtype=np.float32) for i, r in enumerate(sizes)]
    da.to_npy_stack(str(path), da.concatenate(parts), axis=0)
    return da.from_npy_stack(str(path), mmap_mode="r")


def transfer_bytes(client: Client) -> int:
    return sum(client.run(lambda dask_worker: dask_worker.transfer_outgoing_bytes_total).values())


def set_worker_env(client: Client, name: str, value: str | None) -> None:
    def apply() -> None:
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value

    client.run(apply)


def held(arr: da.Array) -> da.Array:
    wait(futures_of(arr))
    return arr


class PassTimes(logging.Handler):
    """Seconds of each pass: ours from the pass function, dask-ml's from its own "Lloyd loop" log."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.seconds: list[float] = []
        original = vdask._reduce_summaries

        def timed(*args, **kwargs):
            watch = Stopwatch()
            try:
                return original(*args, **kwargs)
            finally:
                self.seconds.append(watch.elapsed().wall)

        vdask._reduce_summaries = timed
        for name in ("dask_ml.cluster.k_means", "vantorix.dask"):
            logger = logging.getLogger(name)
            logger.setLevel(logging.INFO)
            logger.addHandler(self)

    def emit(self, record: logging.LogRecord) -> None:
        if record.getMessage().startswith("Finished Lloyd loop"):
            self.seconds.append(record.args[1].total_seconds())
        elif record.name == "vantorix.dask":
            print("   ", record.getMessage(), flush=True)


PASSES = None


def measure(client: Client, label: str, fit, passes_of, iterations_of):
    print(f"  {label} ...", flush=True)
    sampler = MemorySampler()
    before = transfer_bytes(client)
    PASSES.seconds.clear()
    with sampler.sample(label, interval=0.2):
        watch = Stopwatch()
        model = fit()
        seconds = watch.elapsed().wall
    moved = transfer_bytes(client) - before
    later = PASSES.seconds[1:]
    return {
        "model": model,
        "seconds": seconds,
        "s_per_pass": seconds / passes_of(model),
        "s_later": sum(later) / len(later) if later else float("nan"),
        "bytes_per_iter": moved / max(1, iterations_of(model)),
        "peak_mib": float(sampler.to_pandas()[label].max()) / 2**20,
        "passes": passes_of(model),
    }


def main() -> None:
    global PASSES
    from dask_ml.cluster import KMeans as DaskMLKMeans

    PASSES = PassTimes()

    rows = []
    workdir = Path(tempfile.mkdtemp(prefix="vantorix-dask-bench-"))
    try:
        with LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, memory_limit=MEMORY_LIMIT, dashboard_address=None,
            silence_logs=30,
        ) as cluster, Client(cluster) as client:
            init = make_chunk(999, K)
            sample = make_chunk(10**6, 50_000)
            quantizers = {
                "M=16, Ks=256": (vantorix.ProductQuantizer(16, random_state=0).fit(sample), None),
                "M=32, Ks=16, 4-bit scan": (vantorix.ProductQuantizer(32, codebook_size=16, random_state=0).fit(sample), "1"),
            }
            for n in SIZES:
                watch = Stopwatch()
                x = write_stack(workdir / f"rows{n}", n)
                os.sync()  # written pages reach the disk now, not during the first fit
                x.sum(axis=0).compute()  # and every fit reads from a warm page cache
                gib = n * D * 4 / 2**30
                print(f"{n} x {D} float32 = {gib:.2f} GiB written in {watch.elapsed().wall:.1f} s", flush=True)
                results = {}
                results["vantorix.dask.KMeans"] = measure(
                    client, "ours", lambda: vdask.KMeans(K, init=init, max_iter=ITERATIONS).fit(x),
                    lambda m: m.n_iter_ + 1, lambda m: m.n_iter_ + 1,
                )
                results["dask_ml KMeans"] = measure(
                    client, "dask_ml", lambda: DaskMLKMeans(K, init=init, max_iter=ITERATIONS, tol=0, n_init=1).fit(x),
                    lambda m: m.n_iter_ + 2, lambda m: m.n_iter_,
                )
                ours, peer = results["vantorix.dask.KMeans"]["model"], results["dask_ml KMeans"]["model"]
                apart = np.abs(ours.cluster_centers_ - peer.cluster_centers_).max(axis=1) > 1e-3
                at_origin = int(np.sum(~peer.cluster_centers_.any(axis=1)))
                print(f"  centers that differ, ours vs dask-ml: {int(apart.sum())} of {K} "
                      f"(dask-ml leaves {at_origin} emptied clusters at the origin)", flush=True)
                for qname, (pq, fastscan) in quantizers.items():
                    results[f"encode ({qname})"] = measure(client, "encode", lambda: held(vdask.encode(pq, x)), lambda m: 1, lambda m: 1)
                    codes = results[f"encode ({qname})"]["model"]
                    set_worker_env(client, "VANTORIX_PQ4_FASTSCAN", fastscan)
                    try:
                        results[f"vantorix.dask.PQKMeans ({qname})"] = measure(
                            client, "codes",
                            lambda: vdask.PQKMeans(K, quantizer=pq, init=pq.encode(init), max_iter=ITERATIONS).fit(codes),
                            lambda m: m.n_iter_, lambda m: m.n_iter_,
                        )
                    finally:
                        set_worker_env(client, "VANTORIX_PQ4_FASTSCAN", None)
                    del codes
                peer_pass = results["dask_ml KMeans"]["s_per_pass"]
                peer_later = results["dask_ml KMeans"]["s_later"]
                for name, r in results.items():
                    later = r["s_later"] if not name.startswith("encode") else float("nan")
                    rows.append([
                        n, f"{gib:.2f}", name, r["passes"], r["s_per_pass"], ratio(r["s_per_pass"], peer_pass),
                        later, ratio(later, peer_later), r["bytes_per_iter"], r["peak_mib"],
                    ])
                del x, results
                shutil.rmtree(workdir / f"rows{n}", ignore_errors=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    write_report(
        "dask_kmeans",
        "Dense k-means and k-means over codes on a Dask cluster, against dask-ml",
        ["rows", "GiB", "method", "passes", "s per pass", "ratio to dask-ml", "s per later iteration",
         "ratio to dask-ml", "bytes between workers / iter", "peak worker MiB (both)"],
        rows,
        notes=f"Two worker processes with one thread each and {MEMORY_LIMIT} each, on a 2-core machine; d = {D}, "
        f"k = {K}, {ITERATIONS} iterations from the same centers, chunks of {CHUNK} rows read from .npy files "
        "on every pass. The encode rows are one pass that encodes the stored rows and keeps the codes in the "
        "workers' memory; the PQKMeans rows fit over those codes.",
        partial=QUICK,
    )


if __name__ == "__main__":
    main()
