"""Choosing the number of clusters: fits several k on a sample of codes and scores each."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, Optional

import numpy as np

from . import _progress
from ._base import resolve_seed
from ._pq import ProductQuantizer
from ._pqkmeans import resolve_quantizer, split_input
from ._validation import as_codes, as_matrix, check_int, check_verbose
from ._vantorix import _NativePQKMeans

CRITERIA = ("bic", "davies_bouldin", "centroid_silhouette", "elbow")
METHODS = ("consensus", *CRITERIA)
_BETTER = {"bic": "higher", "davies_bouldin": "lower", "centroid_silhouette": "higher", "elbow": "higher"}
_COLUMNS = ("inertia", *CRITERIA, "min_cluster_size", "max_cluster_size")
COLUMN_DESCRIPTIONS = {
    "inertia": "sum over the sampled rows of the squared distance from each row's code to its center's code "
    "(a sum, as every estimator's inertia_; PQKMeans(mode='symmetric') measures the same way)",
    "bic": "Bayesian information criterion of a spherical Gaussian mixture (higher is better)",
    "davies_bouldin": "mean worst ratio of cluster scatter to center separation (lower is better)",
    "centroid_silhouette": "mean (b - a) / max(a, b) with a, b the distances to the nearest and second center (higher is better)",
    "elbow": "distance of log inertia below the chord from the first to the last k, both axes scaled (higher is better)",
    "min_cluster_size": "rows of the smallest cluster",
    "max_cluster_size": "rows of the largest cluster",
}


def consensus(selected_by_method: Dict[str, int]) -> int:
    """The k that most criteria pick; ties go to the smaller k.

    BIC alone tends to overshoot on well-separated clusters (it keeps rewarding smaller spheres),
    while the separation criteria undershoot when candidates are coarse; a vote keeps any single
    criterion from deciding.
    """
    votes: Dict[int, int] = {}
    for k in selected_by_method.values():
        votes[k] = votes.get(k, 0) + 1
    return min(votes, key=lambda k: (-votes[k], k))


@dataclass(frozen=True)
class ChooseKResult:
    """Scores of every analysed k and the choice they lead to.

    ``scores`` maps each column to one value per k of ``candidates``; ``COLUMN_DESCRIPTIONS``
    (and the legend under ``str(result)``) says what each column is. ``to_frame()`` gives the
    same table as a pandas DataFrame, with the descriptions in ``frame.attrs``.
    """

    candidates: np.ndarray
    scores: Dict[str, np.ndarray]
    method: str
    selected_k: int
    selected_index: int
    selected_by_method: Dict[str, int]
    sample_size: int
    quantizer: Optional[ProductQuantizer] = field(default=None, repr=False, compare=False)

    def to_frame(self) -> Any:
        try:
            import pandas as pd
        except ImportError as exc:
            raise ImportError("ChooseKResult.to_frame needs pandas (pip install pandas)") from exc
        frame = pd.DataFrame(self.scores, index=pd.Index(self.candidates, name="k"))
        frame.attrs["descriptions"] = dict(COLUMN_DESCRIPTIONS)
        return frame

    def __str__(self) -> str:
        header = ["k", *_COLUMNS]
        rows = [
            [str(int(k))] + [self._cell(self.scores[c][i]) for c in _COLUMNS]
            for i, k in enumerate(self.candidates)
        ]
        widths = [max(len(h), *(len(r[j]) for r in rows)) for j, h in enumerate(header)]
        lines = ["  ".join(h.rjust(w) for h, w in zip(header, widths))]
        for i, row in enumerate(rows):
            mark = "  <- selected" if i == self.selected_index else ""
            lines.append("  ".join(c.rjust(w) for c, w in zip(row, widths)) + mark)
        lines.append(f"selected k={self.selected_k} by {self.method} (sample of {self.sample_size} rows); "
                     + ", ".join(f"{m}: {k}" for m, k in self.selected_by_method.items()))
        lines.extend(f"  {name}: {COLUMN_DESCRIPTIONS[name]}" for name in _COLUMNS)
        return "\n".join(lines)

    @staticmethod
    def _cell(value: Any) -> str:
        return str(int(value)) if np.issubdtype(type(value), np.integer) else f"{float(value):.6g}"

    def plot(self, fig: Any = None) -> Any:
        """Draws the four criteria against k (needs matplotlib); returns the figure."""
        try:
            import matplotlib.pyplot as plt
        except ImportError as exc:
            raise ImportError("ChooseKResult.plot needs matplotlib (pip install matplotlib)") from exc
        if fig is None:
            fig = plt.figure(figsize=(10, 6))
        axes = fig.subplots(2, 2)
        for ax, name in zip(axes.ravel(), CRITERIA):
            ax.plot(self.candidates, self.scores[name], marker="o")
            chosen = self.selected_by_method[name]
            at = int(np.searchsorted(self.candidates, chosen))
            ax.plot([chosen], [self.scores[name][at]], marker="*", markersize=14, color="tab:red")
            ax.set_xscale("log", base=2)
            ax.set_title(f"{name} ({_BETTER[name]} is better): k={chosen}")
            ax.set_xlabel("k")
        fig.suptitle(f"selected k={self.selected_k} by {self.method}")
        fig.tight_layout()
        return fig


def choose_k(
    X: Any = None,
    candidates: Optional[Iterable[int]] = None,
    *,
    method: str = "consensus",
    quantizer: Optional[ProductQuantizer] = None,
    codes: Any = None,
    max_iter: int = 20,
    random_state: Any = 0,
    sample_rows: int = 16384,
    lookup_table_bytes: int = 1 << 30,
    verbose: bool = False,
) -> ChooseKResult:
    """Fits k-means over codes for every candidate k on a sample and scores each fit.

    ``X`` is float vectors (encoded with ``quantizer``, trained on ``X`` when not fitted) or
    uint8 codes (``codes=``) with a fitted ``quantizer``. ``candidates`` defaults to 2, 4, ...,
    256; values above the sample size are dropped. ``method`` picks ``selected_k``: "consensus"
    (the default) takes the k that most of the four criteria pick, ties to the smaller k; "bic",
    "davies_bouldin", "centroid_silhouette" or "elbow" take that criterion's pick.
    ``sample_rows=0`` uses every row. ``verbose`` shows one labelled bar per candidate k.
    """
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(METHODS)}, got {method!r}")
    iterations = check_int("max_iter", max_iter, 1)
    rows = check_int("sample_rows", sample_rows, 0)
    table_bytes = check_int("lookup_table_bytes", lookup_table_bytes, 0)
    check_verbose(verbose)
    ks = [2**i for i in range(1, 9)] if candidates is None else candidates
    if isinstance(ks, (str, bytes)) or not isinstance(ks, Iterable):
        raise TypeError(f"candidates must be a sequence of ints, got {type(ks).__name__}")
    ks = [check_int("candidates", k, 1) for k in np.asarray(list(ks), dtype=object).ravel()]
    if not ks:
        raise ValueError("candidates must hold at least one int >= 1")
    X, codes = split_input(X, codes, quantizer)
    vectors = as_matrix(X) if X is not None else None
    fitted = resolve_quantizer(quantizer, vectors, random_state)
    m, ks_size = fitted.codewords_.shape[:2]
    code_arr = fitted.encode(vectors) if codes is None else as_codes(codes, "codes", m, ks_size)
    sample = code_arr.shape[0] if rows == 0 or code_arr.shape[0] <= rows else rows
    analysed = sorted({k for k in ks if k <= sample})
    # the native lines of candidates fitted side by side would interleave: bars per candidate
    # instead, fed by the analysis as each candidate finishes
    with _progress.candidate_progress("choose_k", analysed, verbose) as progress:
        r = _progress.run(
            progress,
            _NativePQKMeans.analyze_k_candidates,
            fitted.codewords_,
            code_arr,
            ks,
            iterations=iterations,
            seed=resolve_seed(random_state),
            verbose=False,
            lookup_table_bytes=table_bytes,
            sample_rows=rows,
            method="bic" if method == "consensus" else method,
        )
    analysed_ks: np.ndarray = r["candidate_ks"].astype(np.int64)
    by_method = {name: int(k) for name, k in r["selected_by_method"].items()}
    selected = consensus(by_method) if method == "consensus" else int(r["selected_k"])
    scores = {name: r[name] for name in _COLUMNS}
    # a sum over the sample, as every estimator's inertia_ is (the analysis reports the mean)
    scores["inertia"] = r["inertia"] * float(r["sample_size"])
    return ChooseKResult(
        candidates=analysed_ks,
        scores=scores,
        method=method,
        selected_k=selected,
        selected_index=int(np.searchsorted(analysed_ks, selected)),
        selected_by_method=by_method,
        sample_size=r["sample_size"],
        quantizer=fitted,
    )
