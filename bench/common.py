"""Shared pieces of the benchmarks: data loading, timing (wall and CPU clocks), thread pinning, results
tables."""

from __future__ import annotations

import json
import os
import platform
import statistics
import subprocess
import time
from pathlib import Path
from typing import NamedTuple

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


class Timing(NamedTuple):
    wall: float  # seconds a caller waited
    cpu: float  # process CPU seconds, all threads: the work done, steadier on a shared machine


class Stopwatch:
    """Both clocks from the moment it is made: ``elapsed()`` gives a Timing."""

    def __init__(self) -> None:
        self.wall, self.cpu = time.perf_counter(), time.process_time()

    def elapsed(self) -> Timing:
        return Timing(time.perf_counter() - self.wall, time.process_time() - self.cpu)


def timed_both(fn, repeats: int = 3):
    """Runs fn `repeats` times; returns (Timing of the medians of each clock, last result)."""
    runs, result = [], None
    for _ in range(repeats):
        watch = Stopwatch()
        result = fn()
        runs.append(watch.elapsed())
    return Timing(statistics.median(r.wall for r in runs), statistics.median(r.cpu for r in runs)), result


def timed(fn, repeats: int = 3):
    """Runs fn `repeats` times; returns (median wall seconds, last result)."""
    timing, result = timed_both(fn, repeats)
    return timing.wall, result


def with_env(env, fn):
    """fn wrapped to run with the environment variables `env` set (the library reads many switches
    per call), restoring them afterwards."""

    def run():
        saved = {key: os.environ.get(key) for key in env or {}}
        os.environ.update(env or {})
        try:
            return fn()
        finally:
            for key, value in saved.items():
                if value is None:
                    os.environ.pop(key, None)
                else:
                    os.environ[key] = value

    return run


def raw_inertia(x: np.ndarray, labels: np.ndarray, k: int) -> float:
    """Mean squared distance of the rows to the mean of their cluster (float64), from labels alone:
    how fits that keep their centers in different spaces are scored alike."""
    labels = labels.astype(np.int64)
    sums = np.zeros((k, x.shape[1]))
    np.add.at(sums, labels, x)
    means = sums / np.maximum(np.bincount(labels, minlength=k), 1)[:, None]
    return float(((x - means[labels]) ** 2).sum() / len(x))


def ratio(ours: float, peer: float) -> float:
    return float("nan") if not peer else ours / peer


def cpu_name() -> str:
    """The CPU's model name and its widest vector instructions, for the results' machine line."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                if not key.strip():
                    break  # the first processor's block is enough
                fields.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    name = fields.get("model name", platform.processor() or platform.machine())
    if "cpu family" in fields:  # virtual machines often report a generic name
        name += f", family {fields['cpu family']} model {fields.get('model', '?')}"
    flags = set(fields.get("flags", fields.get("Features", "")).split())
    vector = next((v for v in ("avx512f", "avx2", "asimd") if v in flags), "")
    return f"{name}{f' ({vector})' if vector else ''}"


def write_report(name: str, title: str, columns: list[str], rows: list[list], notes: str = "",
                 partial: bool = False) -> None:
    """Writes bench/results/<name>.json and .md and prints the table. A partial run (filtered cases, a
    quick mode) writes <name>.partial.* instead, so it never replaces the full table."""
    RESULTS.mkdir(parents=True, exist_ok=True)
    if partial:
        name += ".partial"
        notes = ("Partial run: only some of the cases." + ("\n\n" + notes if notes else ""))

    def fmt(v):
        if isinstance(v, float):
            return f"{v:.4g}"
        return str(v)

    lines = [f"# {title}", "", f"Machine: {platform.machine()}, {cpu_name()}, {os.cpu_count()} cores, {THREADS} threads each.",
             ""]
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
