"""Kernel micro-benchmark: vector against scalar forms, and GFLOP/s against this core's peak."""

import json
import re
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import build_native_bench, write_report  # noqa: E402


def peak_gflops() -> tuple[float, str]:
    """Single-core float32 peak: clock x FLOPs per cycle of the widest FMA units."""
    info = Path("/proc/cpuinfo").read_text() if Path("/proc/cpuinfo").exists() else ""
    mhz = re.search(r"cpu MHz\s*:\s*([\d.]+)", info)
    flags = re.search(r"flags\s*:(.*)", info)
    flags = flags.group(1).split() if flags else []
    # Two FMA pipes of 256 bits (x86 with AVX2/FMA, also Zen 4 AVX-512) = 32 FLOP/cycle;
    # two 128-bit NEON pipes = 16.
    per_cycle = 32 if "fma" in flags else 16
    ghz = float(mhz.group(1)) / 1000 if mhz else 3.0
    return ghz * per_cycle, f"{ghz:.2f} GHz x {per_cycle} FLOP/cycle"


def run() -> list[dict]:
    binary = build_native_bench("vantorix_kernel_bench")
    out = subprocess.run([str(binary)], check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.strip()]


def main() -> None:
    results = run()
    peak, how = peak_gflops()
    rows = []
    for kernel in dict.fromkeys(r["kernel"] for r in results):
        vec = next(r for r in results if r["kernel"] == kernel and r["form"] == "vector")
        sca = next(r for r in results if r["kernel"] == kernel and r["form"] == "scalar")
        rows.append([kernel, vec["calls_per_s"], sca["calls_per_s"], vec["calls_per_s"] / sca["calls_per_s"],
                     vec["gflops"], vec["gflops"] / peak])
    write_report("kernels", "Distance kernels, one thread",
                 ["kernel", "vector calls/s", "scalar calls/s", "vector/scalar", "vector GFLOP/s", "share of peak"],
                 rows, notes=f"Peak estimate: {peak:.1f} GFLOP/s ({how}).")


if __name__ == "__main__":
    main()
