"""Dense k-means with scikit-learn's conventions over ``_NativeDenseKMeans``."""

from __future__ import annotations

import warnings
from typing import Any, Dict, Optional, Tuple

import numpy as np

from . import _persist, _progress
from ._base import (
    VantorixEstimator,
    assigned_distance_sum,
    center_distances,
    check_finite_result,
    check_finite_state,
    common_state,
    load_common_state,
    overflow_reason,
    record_fit,
    resolve_seed,
    serialised,
)
from ._compat import ClusterMixin, TransformerMixin
from ._validation import (
    as_matrix,
    as_vector,
    check_features,
    check_fitted,
    check_int,
    check_params,
    check_real,
    labels_dtype,
    PARAM_RULES,
)
from ._vantorix import _NativeDenseKMeans


def check_enough_rows(n_samples: int, n_clusters: Any) -> None:
    if isinstance(n_clusters, (int, np.integer)) and 0 < n_clusters and n_samples < n_clusters:
        raise ValueError(f"n_samples={n_samples} should be >= n_clusters={n_clusters}.")


# Public init names that differ from the native ones: scikit-learn's "k-means++" is the greedy
# variant (several candidates per step, the best kept).
_INIT_NAMES = {"k-means++": "greedy_kmeans++"}
_INIT_HELP = (
    "'k-means++' (greedy, the default), 'random', 'farthest_first', 'kmeans++' (one candidate "
    "per step) or an array of shape (n_clusters, n_features)"
)


def _check_n_init(name: str, value: Any) -> None:
    if isinstance(value, str):
        if value != "auto":
            raise ValueError(f"{name} must be 'auto' or an int >= 1, got {value!r}")
    else:
        check_int(name, value, 1)


@_persist.register
class KMeans(ClusterMixin, TransformerMixin, VantorixEstimator):
    """k-means over float32 rows, Euclidean or spherical.

    Parameters
    ----------
    n_clusters : number of clusters.
    init : "k-means++" (default: greedy k-means++ as in scikit-learn, 2 + ln(k) candidates per
        step and the best kept), "random", "farthest_first", "kmeans++" (the native k-means++,
        one candidate per step), or an array (n_clusters, n_features) of starting centers.
    n_init : number of starts, the fit with the lowest inertia kept; "auto" is 10 for
        init="random" and 1 otherwise (scikit-learn's rule). An array init runs once.
    max_iter : maximum number of Lloyd iterations of each start.
    tol : stop once an update moves the centers by at most tol x (mean column variance of X),
        in summed squared distance (scikit-learn's rule; with sample_weight the variance is
        weighted, so weights equal repeated rows); 0 stops only when nothing moves.
    verbose : show a progress bar per fit.
    random_state : None (a fresh seed per fit), an int, or a numpy generator.
    early_stopping : also stop once the mean distance improved by at most 0.01 % twice in a row.
    spherical : unit-norm centers and the distance 1 - x.c (give unit-norm rows).

    Attributes
    ----------
    cluster_centers_ (k, d) float32, labels_ (n,) int32, inertia_ (sum of the rows' distances to
    their centers, weighted when fitted with sample_weight), inertia_history_ (mean distance of
    each iteration), n_iter_, n_features_in_, feature_names_in_ (DataFrame input with string
    column names).
    """

    _native: _NativeDenseKMeans
    labels_: np.ndarray
    cluster_centers_: np.ndarray
    inertia_history_: np.ndarray
    inertia_: float
    n_iter_: int

    _param_rules = {**PARAM_RULES, "n_init": _check_n_init, "tol": check_real}

    def __init__(
        self,
        n_clusters: int = 8,
        *,
        init: Any = "k-means++",
        n_init: Any = "auto",
        max_iter: int = 300,
        tol: float = 1e-4,
        verbose: bool = False,
        random_state: Any = None,
        early_stopping: bool = False,
        spherical: bool = False,
    ) -> None:
        self.n_clusters = n_clusters
        self.init = init
        self.n_init = n_init
        self.max_iter = max_iter
        self.tol = tol
        self.verbose = verbose
        self.random_state = random_state
        self.early_stopping = early_stopping
        self.spherical = spherical

    def _init_name(self) -> str:
        if isinstance(self.init, str):
            return _INIT_NAMES.get(self.init, self.init)
        return "kmeans++"  # unused: an array init replaces the initialisation

    def _new_native(self, seed: int = 0) -> _NativeDenseKMeans:
        check_params(self)
        try:
            return _NativeDenseKMeans(
                int(self.n_clusters),
                iterations=int(self.max_iter),
                seed=seed,
                init=self._init_name(),
                early_stopping=bool(self.early_stopping),
                spherical=bool(self.spherical),
            )
        except ValueError as exc:
            if "init" in str(exc):
                raise ValueError(f"init must be {_INIT_HELP}, got {self.init!r}") from None
            raise

    def _starts(self, n_features: int) -> Tuple[Optional[np.ndarray], int]:
        """(starting centers or None, number of starts) from init and n_init."""
        centers = None
        if isinstance(self.init, str):
            pass
        elif hasattr(self.init, "__array__") or isinstance(self.init, (list, tuple)):
            centers = as_matrix(self.init, "init")
            k = int(self.n_clusters)
            if centers.shape != (k, n_features):
                raise ValueError(
                    f"init: the array of starting centers must have shape (n_clusters, n_features) = "
                    f"({k}, {n_features}), got {centers.shape}"
                )
        else:
            raise TypeError(f"init must be {_INIT_HELP}, got {type(self.init).__name__}")
        if isinstance(self.n_init, str):  # "auto": the parameter rules refuse any other text
            runs = 10 if isinstance(self.init, str) and self.init == "random" else 1
        else:
            runs = int(self.n_init)
        if centers is not None and runs != 1:
            warnings.warn(
                f"Explicit initial center position passed: performing only one init in KMeans instead of n_init={runs}.",
                RuntimeWarning,
                stacklevel=3,
            )
            runs = 1
        return centers, runs

    @serialised
    def fit(self, X: Any, y: Any = None, sample_weight: Any = None) -> "KMeans":
        """Clusters the rows of ``X``; returns self.

        ``sample_weight`` (one finite, non-negative weight per row, not all zero) weights the
        seeding, the center means and the inertia; rows of weight zero take no part.
        """
        self._check_params()
        x = as_matrix(X)
        self._new_native()  # the native model checks the init name before the data is read
        tol = float(self.tol)
        check_enough_rows(x.shape[0], self.n_clusters)
        centers, runs = self._starts(x.shape[1])
        weights = None if sample_weight is None else as_vector(sample_weight, "sample_weight", x.shape[0])
        if weights is not None:
            if (weights < 0).any():
                raise ValueError("sample_weight: weights must be non-negative")
            positive = int(np.count_nonzero(weights))
            if positive == 0:
                raise ValueError("sample_weight: all weights are zero; at least one must be positive")
            if positive < self.n_clusters:
                raise ValueError(f"n_samples with positive sample_weight={positive} should be >= n_clusters={self.n_clusters}.")
        base = resolve_seed(self.random_state)
        best = None
        # every native model is new, and attributes are set only after a fit succeeded: an error
        # or Ctrl-C during the fit leaves this estimator as it was
        for run in range(runs):
            native = self._new_native((base + run) % 2**64)
            desc = type(self).__name__ if runs == 1 else f"{type(self).__name__} start {run + 1}/{runs}"
            with _progress.fit_progress(desc, self.max_iter, self.verbose) as progress:
                try:
                    _progress.run(progress, native.fit_with, x, sample_weight=weights, init_centers=centers, tol=tol)
                except ValueError as exc:
                    raise overflow_reason(x, exc) from None
            check_finite_result("X", native.cluster_centers, native.inertia_history)
            if best is None or native.inertia_history[-1] < best.inertia_history[-1]:
                best = native
        assert best is not None
        check_features(self, X, x, reset=True)
        self._native = best
        self.cluster_centers_ = best.cluster_centers
        total_weight = float(x.shape[0]) if weights is None else float(weights.sum(dtype=np.float64))
        record_fit(self, best, total_weight)
        return self

    def _checked(self, X: Any) -> np.ndarray:
        check_fitted(self, "cluster_centers_")
        x = as_matrix(X)
        check_features(self, X, x, reset=False)
        return x

    @serialised
    def predict(self, X: Any) -> np.ndarray:
        """Index of the nearest center of each row."""
        x = self._checked(X)
        return self._native.predict(x).astype(labels_dtype(self.n_clusters))

    @serialised
    def fit_predict(self, X: Any, y: Any = None, sample_weight: Any = None) -> np.ndarray:
        return self.fit(X, sample_weight=sample_weight).labels_

    @serialised
    def transform(self, X: Any) -> np.ndarray:
        """Distance of each row to every center (Euclidean, or 1 - x.c when spherical)."""
        x = self._checked(X)
        return center_distances(x, self.cluster_centers_, bool(self.spherical))

    @serialised
    def fit_transform(self, X: Any, y: Any = None, sample_weight: Any = None) -> np.ndarray:
        return self.fit(X, sample_weight=sample_weight).transform(X)

    @serialised
    def score(self, X: Any, y: Any = None) -> float:
        """Minus the summed distance of the rows to their nearest centers (higher is better)."""
        x = self._checked(X)
        labels = self._native.predict(x)
        return -assigned_distance_sum(x, self.cluster_centers_, labels, bool(self.spherical))

    def _n_features_out(self) -> int:
        return int(self.cluster_centers_.shape[0])

    # --- saved state ---------------------------------------------------------------------------

    def _state(self) -> Dict[str, Any]:
        if not hasattr(self, "cluster_centers_"):
            return {}
        return {"cluster_centers_": self.cluster_centers_, **common_state(self, clustering=True)}

    def _load_state(self, reader: _persist.StateReader) -> None:
        centers = reader.array("cluster_centers_", [np.float32], (self.n_clusters, None))
        check_finite_state("cluster_centers_", centers)
        native = self._new_native()
        # spherical models keep unit-norm centers; a saved fit's are reinstalled bit for bit, since
        # normalising them again can move their last bits and the labels of near ties with them
        if self.spherical and not np.allclose(native.normalize_rows(centers), centers, rtol=1e-5, atol=1e-6):
            raise _persist.ModelFileError("cluster_centers_ are not unit-norm in a spherical model")
        native.restore_cluster_centers(centers)
        load_common_state(self, reader, centers.shape[1], centers.shape[0])
        self._native = native
        self.cluster_centers_ = centers
