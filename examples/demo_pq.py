"""Product quantization on real data: train PQ and OPQ, encode, decode, report error and size."""

import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))
from vantorix._vantorix import _NativeProductQuantizer  # noqa: E402

from demo_data import sift  # noqa: E402



def report(label, pq, train, test, seconds):
    codes = pq.encode(test)
    decoded = pq.decode(codes)
    mse = float(np.mean(np.sum((test.astype(np.float64) - decoded) ** 2, axis=1)))
    energy = float(np.mean(np.sum(test.astype(np.float64) ** 2, axis=1)))
    ratio = test.shape[1] * 4 / codes.shape[1]
    print(f"{label:<22} train {seconds:6.2f} s   codes {codes.shape[0]}x{codes.shape[1]} uint8   "
          f"MSE {mse:10.1f} ({100 * mse / energy:5.2f}% of the energy)   compression {ratio:.0f}x")
    return mse


def main():
    train = sift("learn")
    test = sift("base")
    print(f"SIFT descriptors: {train.shape[0]} training rows, {test.shape[0]} held-out rows, D={train.shape[1]}")
    for m in (8, 16):
        for opq in (0, 4):
            pq = _NativeProductQuantizer(m, codebook_size=256, iterations=20, seed=0, opq_iterations=opq)
            start = time.perf_counter()
            pq.fit(train)
            seconds = time.perf_counter() - start
            label = f"M={m} Ks=256" + (f" OPQ x{opq}" if opq else "")
            report(label, pq, train, test, seconds)
            if opq:
                r = pq.rotation
                print(f"{'':<22} rotation {r.shape[0]}x{r.shape[1]}, max |R R^T - I| = "
                      f"{np.abs(r @ r.T - np.eye(r.shape[0])).max():.1e}")

    # Saving a model is keeping its arrays; from_codewords brings it back without training.
    pq = _NativeProductQuantizer(8, codebook_size=16, iterations=10)
    pq.fit(train)
    restored = _NativeProductQuantizer.from_codewords(pq.codewords, pq.rotation)
    same = np.array_equal(restored.encode(test), pq.encode(test))
    print(f"M=8 Ks=16 (4-bit codes): restored from its codewords, identical codes: {same}")


if __name__ == "__main__":
    main()
