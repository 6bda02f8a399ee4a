"""Kernel micro-benchmark: vector against scalar forms, and GFLOP/s against this core's peak."""

import json
import re
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import ROOT, write_report  # noqa: E402

BUILD = ROOT / "build" / "bench"


def build(build_dir: Path = BUILD, *options: str) -> Path:
    """The benchmark at the kernel level the extension would open on this machine, or as optioned."""
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
         "-DVANTORIX_BUILD_MODULE=OFF", "-DVANTORIX_BUILD_BENCH=ON", *options],
        check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "-j", "2", "--target", "vantorix_kernel_bench"],
                   check=True, stdout=subprocess.DEVNULL)
    return build_dir / "vantorix_kernel_bench"


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


def run(binary: Path | None = None) -> list[dict]:
    binary = binary or build()
    out = subprocess.run([str(binary)], check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.strip()]


def against_native(repeats: int = 5) -> None:
    """The portable build's kernels (the level the extension opens here, and the lower levels)
    against one build for this machine's own instruction set, alternating runs of each."""
    builds = {"native": build(ROOT / "build" / "bench-native", "-DVANTORIX_MARCH_NATIVE=ON"),
              "portable": build()}
    for level in ("avx2", "sse"):
        builds[level] = build(ROOT / "build" / f"bench-{level}", f"-DVANTORIX_TEST_LEVEL={level}")
    samples: dict[tuple[str, str], list[float]] = {}
    for _ in range(repeats):
        for name, binary in builds.items():
            for r in run(binary):
                if r["form"] == "vector":
                    samples.setdefault((r["kernel"], name), []).append(r["calls_per_s"])
    rows = []
    for kernel in dict.fromkeys(k for k, _ in samples):
        native = statistics.median(samples[(kernel, "native")])
        row = [kernel, native]
        for name in ("portable", "avx2", "sse"):
            value = statistics.median(samples[(kernel, name)])
            row += [value, value / native]
        rows.append(row)
    write_report("kernels_levels", "Vector kernels: portable builds against -march=native, one thread",
                 ["kernel", "native calls/s", "portable (best level) calls/s", "portable/native",
                  "avx2 calls/s", "avx2/native", "sse calls/s", "sse/native"],
                 rows, notes=f"Medians of {repeats} alternating runs (each the best of 5 timings); "
                             "shared machine.")


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
    against_native()
