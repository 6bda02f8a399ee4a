"""Candidate-k analysis: time for 5 candidates on a 16,384-row sample of real codes, and the share
spent in the candidate fits versus the scoring.

Data: GloVe (50,000 x 100) quantized with M = 10 and M = 20 (our quantizer, Ks = 256, trained on
10,000 rows); the 16,384-row sample is drawn once and passed whole (sample_rows = 0), so the
analysis and the stand-alone fits see the same rows. The analysis time is measured with 2 threads.
The split is measured in a child process with one worker thread, where nothing overlaps: "fits"
is the time of the same five fits (same seeds) run one after the other, and the rest of the
single-threaded analysis (center tables, best/second assignment, the four scores) is scoring.

Run: PYTHONPATH=python python3 bench/autok.py
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import have, load, pin_threads, timed, write_report  # noqa: E402

pin_threads()

import numpy as np  # noqa: E402

from vantorix import _vantorix as vx  # noqa: E402

CANDIDATES = [8, 16, 32, 64, 128]
SAMPLE = 16384
ITERATIONS = 20


TMP = Path(__file__).resolve().parent / "results" / "autok_sample.tmp.npz"


def analyse(codewords, sample):
    return vx._NativePQKMeans.analyze_k_candidates(
        codewords, sample, CANDIDATES, iterations=ITERATIONS, seed=3, sample_rows=0
    )


def split() -> None:
    """Child process with one worker thread: analysis and the bare fits, nothing overlapping."""
    data = np.load(TMP)
    codewords, sample = data["codewords"], data["sample"]

    # Built outside the timing: each stand-alone model computes its own codeword table, which
    # the analysis builds once.
    models = [vx._NativePQKMeans(codewords, k, iterations=ITERATIONS, seed=3 + i) for i, k in enumerate(CANDIDATES)]

    def fits():
        for model in models:
            model.fit(sample)

    total, _ = timed(lambda: analyse(codewords, sample))
    fit_seconds, _ = timed(fits)
    print(json.dumps({"total": total, "fits": fit_seconds}))


def main() -> None:
    if not have("glove100_50k"):
        return
    words = load("glove100_50k")
    rng = np.random.default_rng(0)
    rows = []
    for m in (10, 20):
        pq = vx._NativeProductQuantizer(m, iterations=10)
        pq.fit(words[rng.choice(len(words), 10000, replace=False)])
        codes = pq.encode(words)
        sample = np.ascontiguousarray(codes[np.sort(rng.choice(len(codes), SAMPLE, replace=False))])
        codewords = pq.codewords
        total, result = timed(lambda: analyse(codewords, sample))

        TMP.parent.mkdir(parents=True, exist_ok=True)
        np.savez(TMP, codewords=codewords, sample=sample)
        env = dict(os.environ, VANTORIX_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
        out = subprocess.run([sys.executable, __file__, "--split"], env=env, capture_output=True, text=True, check=True)
        one = json.loads(out.stdout.strip().splitlines()[-1])
        share = one["fits"] / one["total"]
        rows.append([m, len(CANDIDATES), SAMPLE, total, one["total"], share, 1.0 - share,
                     result["selected_by_method"]["bic"], result["selected_by_method"]["elbow"]])
        print(rows[-1], flush=True)
    TMP.unlink(missing_ok=True)
    write_report(
        "autok",
        "Candidate-k analysis (5 candidates, 16,384 sampled rows)",
        ["M", "candidates", "rows", "analysis s (2 threads)", "analysis s (1 thread)", "fit share",
         "scoring share", "k by bic", "k by elbow"],
        rows,
        f"GloVe 50k x 100, Ks = 256, candidates {CANDIDATES}, {ITERATIONS} passes per fit, median of 3 runs.",
    )


if __name__ == "__main__":
    split() if "--split" in sys.argv else main()
