"""Which kernels are active, and how much faster the vector forms are than the scalar ones."""

import sys
from pathlib import Path

from vantorix import _vantorix as vx

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))


def main() -> None:
    print(f"simd_runtime() = {vx.simd_runtime()!r}")
    import kernels  # bench/kernels.py: builds and runs the C++ micro-benchmark

    for r in kernels.run():
        print(f"  {r['kernel']:<40} {r['form']:<7} {r['calls_per_s']:>12.0f} calls/s  {r['gflops']:7.2f} GFLOP/s")


if __name__ == "__main__":
    main()
