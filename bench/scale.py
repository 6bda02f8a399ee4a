"""Scale run: large inputs, peak resident memory against the input's size, time per pass.

Each case runs in its own process. The child builds its input (synthetic: no real set has these
shapes), resets the kernel's peak-RSS mark, runs one fit and reports its peak resident memory
above what it held before the fit. Not a test: nothing is asserted; the table is the result.

    PYTHONPATH=python python3 bench/scale.py [case ...]
"""

from __future__ import annotations

import json
import subprocess
import sys

sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent))
from common import pin_threads, write_report  # noqa: E402

CHILD = r"""
import json, time
import numpy as np
from vantorix import _vantorix as vx

def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])

rng = np.random.default_rng(0)
{setup}
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # restart the peak (VmHWM) from what is resident now
before = rss_kib("VmRSS")
start = time.perf_counter()
passes = run()
seconds = time.perf_counter() - start
print(json.dumps({{"input_bytes": int(inp.nbytes), "rows": len(inp), "before_kib": before, "peak_kib": rss_kib("VmHWM"),
                   "seconds": seconds, "passes": passes}}))
"""

CASES = {
    "dense 2M x 128, k=256": (
        """
inp = np.empty((2_000_000, 128), dtype=np.float32)
for s in range(0, len(inp), 250_000):
    inp[s:s + 250_000] = rng.standard_normal((250_000, 128), dtype=np.float32)
model = vx._NativeDenseKMeans(256, iterations=4, seed=1)
def run():
    model.fit(inp)
    return len(model.inertia_history)
""",
        "labels 8 + distances 4 + row norms 4 B/row",
        lambda n: 16 * n,
    ),
    "symmetric 10M codes, M=16, k=256": (
        """
cw = rng.standard_normal((16, 256, 8), dtype=np.float32)
inp = rng.integers(0, 256, (10_000_000, 16), dtype=np.uint8)
model = vx._NativePQKMeans(cw, 256, iterations=3, seed=1)
def run():
    model.fit(inp)
    return len(model.inertia_history)
""",
        "labels 8 + distances 4 + bucketed rows 8 B/row, 4 MiB lookup table",
        lambda n: 20 * n + 4 * 2**20,
    ),
    "analysis 1M codes, M=16, k in 16..256": (
        """
cw = rng.standard_normal((16, 256, 8), dtype=np.float32)
inp = rng.integers(0, 256, (1_000_000, 16), dtype=np.uint8)
def run():
    r = vx._NativePQKMeans.analyze_k_candidates(cw, inp, [16, 64, 256], iterations=5, sample_rows=0)
    return 5 * len(r["candidate_ks"])
""",
        "sample copy 16 B/row; per running candidate (2): fit 20 + summary 16 B/row, tables",
        lambda n: 16 * n + 2 * (36 * n + 20 * 2**20),
    ),
}


def run_case(name: str) -> dict:
    setup = CASES[name][0]
    out = subprocess.run([sys.executable, "-c", CHILD.format(setup=setup)], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{name}: {out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main(selected: list[str]) -> None:
    pin_threads()
    rows = []
    for name in [n for n in CASES if not selected or any(s in n for s in selected)]:
        r = run_case(name)
        mib = 1024 * 1024
        extra = (r["peak_kib"] - r["before_kib"]) * 1024
        named = CASES[name][2](r["rows"])
        goal = r["input_bytes"] // 4 + named
        rows.append([
            name,
            r["input_bytes"] / mib,
            extra / mib,
            named / mib,
            goal / mib,
            "yes" if extra <= goal else "no",
            r["seconds"] / r["passes"],
            r["passes"],
            CASES[name][1],
        ])
        print(rows[-1], flush=True)
    write_report(
        "scale",
        "Scale run: peak memory and time per pass",
        ["case", "input MiB", "call's peak MiB", "named buffers MiB", "goal MiB", "within goal", "s per pass",
         "passes", "named buffers"],
        rows,
        notes="The call's peak: resident memory at its peak above what the process held with its input "
        "loaded (VmHWM after resetting it). Goal: a quarter of the input plus the named working buffers. "
        "Time per pass includes initialisation. Shared machine (other builds and tests running).",
        partial=bool(selected),
    )


if __name__ == "__main__":
    main(sys.argv[1:])
