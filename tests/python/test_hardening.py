"""Bounded work and memory, answers that do not depend on seeds or threads."""

import numpy as np
import pytest

from vantorix import _vantorix as vx

from conftest import sym_distances

PQK = vx._NativePQKMeans


def small_integer_codewords(m, ks):
    """Codewords whose code distances are small integers, exact in float32 whatever the order."""
    cw = np.zeros((m, ks, 1), dtype=np.float32)
    cw[:, :, 0] = (np.arange(ks)[None, :] % 16) + np.arange(m)[:, None] % 3
    return cw


@pytest.mark.parametrize(
    "fit",
    [
        lambda x, c: vx._NativeDenseKMeans(2, iterations=2**40, early_stopping=True).fit(x),
        lambda x, c: PQK(small_integer_codewords(2, 16), 2, iterations=2**40, early_stopping=True).fit(c),
        lambda x, c: PQK(small_integer_codewords(2, 16), 2, iterations=2**40, early_stopping=True).fit_adc(c),
    ],
    ids=["dense", "symmetric", "adc"],
)
def test_an_iteration_bound_reserves_nothing(fit):
    x = np.random.default_rng(0).standard_normal((40, 2), dtype=np.float32)
    codes = np.random.default_rng(0).integers(0, 16, (40, 2), dtype=np.uint8)
    fit(x, codes)  # converges after a few passes instead of reserving 2**40 history entries


def test_analysis_rejects_a_bad_code_in_any_row_whatever_the_sample():
    codes = np.random.default_rng(0).integers(0, 16, (5000, 4), dtype=np.uint8)
    codes[1234, 2] = 16
    for seed in range(8):
        with pytest.raises(ValueError, match=r"^codes contain code 16, not below codebook_size \(16\)$"):
            PQK.analyze_k_candidates(small_integer_codewords(4, 16), codes, [2, 4], sample_rows=100, seed=seed)
    # A broadcast view of one bad row is found at once, however many rows it claims.
    huge = np.lib.stride_tricks.as_strided(codes[1234], shape=(2**40, 4), strides=(0, 1))
    with pytest.raises(ValueError, match="contain code 16"):
        PQK.analyze_k_candidates(small_integer_codewords(4, 16), huge, [2, 4])


def test_analysis_scores_centers_beyond_one_table_block():
    # 64 subspaces of 256 codewords: 64 KiB of folded table per center, so 600 centers span
    # several blocks; labels, best and second distances must be those of one scan over all.
    m, k, n = 64, 600, 900
    cw = small_integer_codewords(m, 256)
    codes = np.random.default_rng(4).integers(0, 256, (n, m), dtype=np.uint8)
    r = PQK.analyze_k_candidates(cw, codes, [k], iterations=2, seed=3, sample_rows=0, lookup_table_bytes=0)
    model = PQK(cw, k, iterations=2, seed=3, lookup_table_bytes=0)
    model.fit(codes)
    dist = sym_distances(cw, codes, model.cluster_centers)
    order = np.sort(dist, axis=1)
    counts = np.bincount(dist.argmin(1), minlength=k)
    assert r["inertia"][0] == order[:, 0].mean()
    assert (r["min_cluster_size"][0], r["max_cluster_size"][0]) == (counts.min(), counts.max())
    a, b = np.sqrt(order[:, 0]), np.sqrt(order[:, 1])
    silhouette = np.where(np.maximum(a, b) > 0, (b - a) / np.maximum(np.maximum(a, b), 1e-12), 0).mean()
    assert r["centroid_silhouette"][0] == pytest.approx(silhouette, rel=1e-12)


def test_analysis_memory_does_not_grow_with_k_times_the_codebooks(run_python):
    # Two candidates whose full folded tables would take 128 MiB each.
    code = """
import resource, numpy as np
from vantorix import _vantorix as vx
cw = np.random.default_rng(0).standard_normal((256, 256, 1), dtype=np.float32)
codes = np.random.default_rng(1).integers(0, 256, (600, 256), dtype=np.uint8)
vx._NativePQKMeans.analyze_k_candidates(cw, codes, [2], iterations=1, lookup_table_bytes=0)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
vx._NativePQKMeans.analyze_k_candidates(cw, codes, [512, 513], iterations=1, lookup_table_bytes=0)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""
    assert int(run_python(code)) < 80  # MiB


THREAD_CASES = {
    "quantizer": "m = vx._NativeProductQuantizer(4, codebook_size=32, iterations=3); m.fit(x)",
    "quantizer with OPQ": "m = vx._NativeProductQuantizer(4, codebook_size=32, iterations=3, opq_iterations=2); m.fit(x)",
    # The matrix product of the assignment, forced on a problem small enough for one work item.
    "dense by matrix product": "m = vx._NativeDenseKMeans(280, iterations=3); m.fit(x[:300])",
}


@pytest.mark.parametrize("fit", THREAD_CASES.values(), ids=THREAD_CASES.keys())
def test_training_does_not_depend_on_the_thread_count(run_python, fit):
    code = f"""
import hashlib, numpy as np
from vantorix import _vantorix as vx
x = np.random.default_rng(0).standard_normal((6000, 32), dtype=np.float32)
{fit}
h = hashlib.sha256()
for name in ("codewords", "rotation", "cluster_centers", "inertia_history"):
    value = getattr(m, name, None)
    if value is not None:
        h.update(value.tobytes())
print(h.hexdigest())
"""
    one, two = (run_python(code, VANTORIX_NUM_THREADS=str(t), VANTORIX_DENSE_ASSIGN="gemm") for t in (1, 2))
    assert one == two
