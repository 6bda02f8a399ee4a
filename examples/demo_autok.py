"""Choosing k on compressed vectors: GloVe word vectors are quantized to 10 bytes each, and the
candidate-k analysis fits k = 8 ... 128 on a sample of the codes, scores every fit four ways and
says which k each criterion prefers. The scores are also drawn to examples/out/autok_scores.png."""

import time
from pathlib import Path

import numpy as np

from demo_data import glove
from vantorix import _vantorix as vx

HERE = Path(__file__).resolve().parent
OUT = HERE / "out"
CANDIDATES = [8, 16, 32, 64, 128]
M = 10


def plot(result, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ks = result["candidate_ks"]
    panels = [
        ("bic", "BIC (higher is better)"),
        ("davies_bouldin", "Davies-Bouldin (lower is better)"),
        ("centroid_silhouette", "centroid silhouette (higher is better)"),
        ("elbow", "elbow (higher is better)"),
    ]
    fig, axes = plt.subplots(1, 4, figsize=(16, 3.6))
    for ax, (key, title) in zip(axes, panels):
        ax.plot(ks, result[key], marker="o")
        chosen = result["selected_by_method"][key]
        ax.axvline(chosen, color="tab:red", linestyle="--", linewidth=1, label=f"selected k = {chosen}")
        ax.set_xscale("log", base=2)
        ax.set_xticks(ks, [str(k) for k in ks])
        ax.set_xlabel("k")
        ax.set_title(title, fontsize=10)
        ax.legend(fontsize=8)
    fig.suptitle(f"Candidate k on {result['sample_size']} GloVe codes (M = {M}, Ks = 256)")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main() -> None:
    words = glove()
    pq = vx._NativeProductQuantizer(M, iterations=10)
    pq.fit(words)
    codes = pq.encode(words)
    print(f"GloVe: {len(words)} words x {words.shape[1]} dims, encoded to {M} bytes each")

    start = time.perf_counter()
    result = vx._NativePQKMeans.analyze_k_candidates(
        pq.codewords, codes, CANDIDATES, iterations=15, seed=1, sample_rows=16384
    )
    seconds = time.perf_counter() - start
    print(f"analysed {len(CANDIDATES)} candidates on {result['sample_size']} sampled rows in {seconds:.2f} s\n")

    print(f"{'k':>5}{'inertia':>11}{'BIC':>14}{'Davies-B.':>11}{'silhouette':>12}{'elbow':>8}{'sizes':>14}")
    for i, k in enumerate(result["candidate_ks"]):
        sizes = f"{result['min_cluster_size'][i]}..{result['max_cluster_size'][i]}"
        print(
            f"{k:>5}{result['inertia'][i]:>11.3f}{result['bic'][i]:>14.0f}{result['davies_bouldin'][i]:>11.3f}"
            f"{result['centroid_silhouette'][i]:>12.3f}{result['elbow'][i]:>8.3f}{sizes:>14}"
        )
    print("\nselected k: " + ", ".join(f"{name} -> {k}" for name, k in result["selected_by_method"].items()))

    path = OUT / "autok_scores.png"
    plot(result, path)
    print(f"plot written to {path}")


if __name__ == "__main__":
    main()
