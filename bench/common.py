"""Shared pieces of the benchmarks: data loading, repeated timing, thread pinning, reports."""

from __future__ import annotations

import json
import os
import platform
import statistics
import subprocess
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"
RESULTS = ROOT / "bench" / "results"
THREADS = 2


def pin_threads(n: int = THREADS) -> None:
    """Every library gets the same number of threads (call before importing the peers)."""
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "VANTORIX_NUM_THREADS"):
        os.environ[var] = str(n)
    # The machine is shared: OpenMP workers that spin while waiting lose whole time slices to other
    # processes and make the peers look far slower than they are. Passive waiting is the fair setting.
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")


def have(*names: str) -> bool:
    """Whether every named data set is in ../shared/data (beside the repository, not part of it); a
    benchmark skips a missing one after saying so in one line."""
    missing = [name for name in names if not (DATA / f"{name}.npy").exists()]
    if missing:
        print(f"skipping {', '.join(missing)}: not found in {DATA}", flush=True)
    return not missing


def load(name: str) -> np.ndarray:
    """A data set from shared/data as C-contiguous float32."""
    arr = np.load(DATA / f"{name}.npy")
    return np.ascontiguousarray(arr, dtype=np.float32)


def timed(fn, repeats: int = 3):
    """Runs fn `repeats` times; returns (median seconds, last result)."""
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def ratio(ours: float, peer: float) -> float:
    return float("nan") if not peer else ours / peer


def write_report(name: str, title: str, columns: list[str], rows: list[list], notes: str = "") -> None:
    """Writes bench/results/<name>.json and .md and prints the table."""
    RESULTS.mkdir(parents=True, exist_ok=True)

    def fmt(v):
        if isinstance(v, float):
            return f"{v:.4g}"
        return str(v)

    lines = [f"# {title}", "", f"Machine: {platform.machine()}, {os.cpu_count()} cores, {THREADS} threads each.", ""]
    if notes:
        lines += [notes, ""]
    lines.append("| " + " | ".join(columns) + " |")
    lines.append("|" + "---|" * len(columns))
    for row in rows:
        lines.append("| " + " | ".join(fmt(v) for v in row) + " |")
    text = "\n".join(lines) + "\n"
    (RESULTS / f"{name}.md").write_text(text)
    (RESULTS / f"{name}.json").write_text(
        json.dumps({"title": title, "columns": columns, "rows": rows}, indent=1, default=float)
    )
    print(text)


def build_native_bench(target: str) -> Path:
    """Builds one of the C++ benchmark programs (CMake option VANTORIX_BUILD_BENCH) in build/bench."""
    build = ROOT / "build" / "bench"
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
         "-DVANTORIX_BUILD_MODULE=OFF", "-DVANTORIX_BUILD_BENCH=ON"],
        check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j", "2", "--target", target], check=True,
                   stdout=subprocess.DEVNULL)
    return build / target
