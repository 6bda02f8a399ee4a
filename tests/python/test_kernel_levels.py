"""The x86-64 builds of the kernels (baseline SSE, AVX2 with FMA, AVX-512) give identical fits."""

import platform

import pytest

pytestmark = pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"), reason="x86-64 builds only")

# Shapes chosen to reach the wide paths: 80 centers (branch-free pick), subspaces of 32 dimensions
# over 256 codewords (pruned codeword search), of 4 (fixed-length kernel) and of 12 (lane sums
# with a tail), and 40 code clusters (sixteen-lane lookup minimum).
FITS = """
import hashlib
import numpy as np
from vantorix import _vantorix as vx

rng = np.random.default_rng(5)
x = rng.standard_normal((3000, 64)).astype(np.float32)
h = hashlib.sha256()
def add(*arrays):
    for a in arrays:
        h.update(np.ascontiguousarray(a).tobytes())

for spherical in (False, True):
    km = vx._NativeDenseKMeans(80, iterations=6, seed=3, spherical=spherical)
    add(km.fit_predict(x), km.cluster_centers, km.inertia_history, km.predict(x[::7]))
for m, opq in ((2, 2), (16, 0), (5, 0)):
    xs = np.ascontiguousarray(x[:, :60]) if m == 5 else x
    pq = vx._NativeProductQuantizer(m, iterations=6, seed=1, opq_iterations=opq)
    pq.fit(xs)
    codes = pq.encode(xs)
    add(pq.codewords, codes, pq.decode(codes))
    ck = vx._NativePQKMeans(pq.codewords, 40, iterations=5, seed=2, rotation=pq.rotation)
    add(ck.fit_predict(codes), ck.cluster_centers, ck.inertia_history)
    add(ck.fit_predict_adc(codes), ck.dense_cluster_centers)
print(vx.__simd_level__, h.hexdigest())
"""


def test_every_supported_level_fits_bit_for_bit_like_the_baseline(run_python):
    results = {}
    for level in ("sse", "avx2", "avx512"):
        got, digest = run_python(FITS, VANTORIX_X86_LEVEL=level).split()
        if got == level:  # a level this CPU lacks falls back to a lower one
            results[level] = digest
    assert "sse" in results
    assert len(set(results.values())) == 1, results


def test_the_best_level_is_chosen_without_a_cap(run_python):
    levels = ["sse", "avx2", "avx512"]
    best = run_python("from vantorix import _vantorix as vx; print(vx.__simd_level__)")
    capped = [run_python("from vantorix import _vantorix as vx; print(vx.__simd_level__)", VANTORIX_X86_LEVEL=l)
              for l in levels]
    # Capped at each level: that level where the CPU has it, else the next lower one.
    assert capped[0] == "sse"
    assert all(levels.index(c) <= i for i, c in enumerate(capped))
    assert best == capped[-1]
