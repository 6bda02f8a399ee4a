"""Choosing the number of clusters: fits several k on a sample of codes and scores each."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, Optional

import numpy as np

from ._base import resolve_seed
from ._pq import ProductQuantizer
from ._pqkmeans import resolve_quantizer, split_input
from ._validation import as_codes, as_matrix, check_int, check_verbose
from ._vantorix import _NativePQKMeans

CRITERIA = ("bic", "davies_bouldin", "centroid_silhouette", "elbow")
_BETTER = {"bic": "higher", "davies_bouldin": "lower", "centroid_silhouette": "higher", "elbow": "higher"}
_COLUMNS = ("inertia", *CRITERIA, "min_cluster_size", "max_cluster_size")


@dataclass(frozen=True)
class ChooseKResult:
    """Scores of every analysed k and the choice they lead to.

    ``scores`` maps each column (inertia, bic, davies_bouldin, centroid_silhouette, elbow,
    min_cluster_size, max_cluster_size) to one value per k of ``candidates``; ``to_frame()``
    gives the same table as a pandas DataFrame.
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
        import pandas as pd

        return pd.DataFrame(self.scores, index=pd.Index(self.candidates, name="k"))

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
    method: str = "bic",
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
    uint8 codes with a fitted ``quantizer``. ``candidates`` defaults to 2, 4, ..., 256; values
    outside 1..sample size are dropped. ``method`` ("bic", "davies_bouldin",
    "centroid_silhouette" or "elbow") picks ``selected_k``; ``sample_rows=0`` uses every row.
    """
    if method not in CRITERIA:
        raise ValueError(f"method must be one of {', '.join(CRITERIA)}, got {method!r}")
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
    r = _NativePQKMeans.analyze_k_candidates(
        fitted.codewords_,
        code_arr,
        ks,
        iterations=iterations,
        seed=resolve_seed(random_state),
        verbose=bool(verbose),
        lookup_table_bytes=table_bytes,
        sample_rows=rows,
        method=method,
    )
    return ChooseKResult(
        candidates=r["candidate_ks"].astype(np.int64),
        scores={name: r[name] for name in _COLUMNS},
        method=r["selected_method"],
        selected_k=r["selected_k"],
        selected_index=r["selected_index"],
        selected_by_method=dict(r["selected_by_method"]),
        sample_size=r["sample_size"],
        quantizer=fitted,
    )
