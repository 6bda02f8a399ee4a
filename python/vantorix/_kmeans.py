"""Dense k-means with scikit-learn's conventions over ``_NativeDenseKMeans``."""

from __future__ import annotations

from typing import Any, Dict

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
from ._validation import as_matrix, check_features, check_fitted, labels_dtype
from ._vantorix import _NativeDenseKMeans


def check_enough_rows(n_samples: int, n_clusters: Any) -> None:
    if isinstance(n_clusters, (int, np.integer)) and 0 < n_clusters and n_samples < n_clusters:
        raise ValueError(f"n_samples={n_samples} should be >= n_clusters={n_clusters}.")


@_persist.register
class KMeans(ClusterMixin, TransformerMixin, VantorixEstimator):
    """k-means over float32 rows, Euclidean or spherical.

    Parameters
    ----------
    n_clusters : number of clusters.
    init : "k-means++" (default), "farthest_first" or "random".
    max_iter : maximum number of Lloyd iterations.
    random_state : None (a fresh seed per fit), an int, or a numpy generator.
    early_stopping : stop once the mean distance improved by at most 0.01 % twice in a row.
    spherical : unit-norm centers and the distance 1 - x.c (give unit-norm rows).
    verbose : show a progress bar per fit.

    Attributes
    ----------
    cluster_centers_ (k, d) float32, labels_ (n,) int32, inertia_ (sum of the rows' distances to
    their centers), inertia_history_ (mean distance of each iteration), n_iter_,
    n_features_in_, feature_names_in_ (DataFrame input with string column names).
    """

    _native: _NativeDenseKMeans
    labels_: np.ndarray
    cluster_centers_: np.ndarray
    inertia_history_: np.ndarray
    inertia_: float
    n_iter_: int

    def __init__(
        self,
        n_clusters: int = 8,
        *,
        init: str = "k-means++",
        max_iter: int = 20,
        random_state: Any = None,
        early_stopping: bool = False,
        spherical: bool = False,
        verbose: bool = False,
    ) -> None:
        self.n_clusters = n_clusters
        self.init = init
        self.max_iter = max_iter
        self.random_state = random_state
        self.early_stopping = early_stopping
        self.spherical = spherical
        self.verbose = verbose

    def _new_native(self, seed: int = 0) -> _NativeDenseKMeans:
        return _NativeDenseKMeans(
            self.n_clusters,
            iterations=self.max_iter,
            seed=seed,
            init=self.init,
            early_stopping=bool(self.early_stopping),
            spherical=bool(self.spherical),
        )

    @serialised
    def fit(self, X: Any, y: Any = None) -> "KMeans":
        """Clusters the rows of ``X``; returns self."""
        self._check_params()
        x = as_matrix(X)
        check_enough_rows(x.shape[0], self.n_clusters)
        native = self._new_native(resolve_seed(self.random_state))
        # the native model is new, and attributes are set only after it succeeded: an error or
        # Ctrl-C during the fit leaves this estimator as it was
        with _progress.fit_progress(type(self).__name__, self.max_iter, self.verbose) as progress:
            try:
                _progress.run(progress, native.fit, x)
            except ValueError as exc:
                raise overflow_reason(x, exc) from None
        centers = native.cluster_centers
        check_finite_result("X", centers, native.inertia_history)
        check_features(self, X, x, reset=True)
        self._native = native
        self.cluster_centers_ = centers
        record_fit(self, native, x.shape[0])
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
    def fit_predict(self, X: Any, y: Any = None) -> np.ndarray:
        return self.fit(X).labels_

    @serialised
    def transform(self, X: Any) -> np.ndarray:
        """Distance of each row to every center (Euclidean, or 1 - x.c when spherical)."""
        x = self._checked(X)
        return center_distances(x, self.cluster_centers_, bool(self.spherical))

    @serialised
    def fit_transform(self, X: Any, y: Any = None) -> np.ndarray:
        return self.fit(X).transform(X)

    @serialised
    def score(self, X: Any, y: Any = None) -> float:
        """Minus the summed distance of the rows to their nearest centers (higher is better)."""
        x = self._checked(X)
        labels = self._native.predict(x)
        return -assigned_distance_sum(x, self.cluster_centers_, labels, bool(self.spherical))

    # --- saved state ---------------------------------------------------------------------------

    def _state(self) -> Dict[str, Any]:
        if not hasattr(self, "cluster_centers_"):
            return {}
        return {"cluster_centers_": self.cluster_centers_, **common_state(self, clustering=True)}

    def _load_state(self, reader: _persist.StateReader) -> None:
        centers = reader.array("cluster_centers_", [np.float32], (self.n_clusters, None))
        check_finite_state("cluster_centers_", centers)
        native = self._new_native()
        native.set_cluster_centers(centers)
        # spherical models keep unit-norm centers: the native model normalises what it is given
        if not np.allclose(native.cluster_centers, centers, rtol=1e-5, atol=1e-6):
            raise _persist.ModelFileError("cluster_centers_ are not unit-norm in a spherical model")
        load_common_state(self, reader, centers.shape[1], centers.shape[0])
        self._native = native
        self.cluster_centers_ = centers
