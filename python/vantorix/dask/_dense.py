"""The dense driver: k-means over a dask array of float32 rows."""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import dask.array as da
import numpy as np

from .._base import assigned_distance_sum, center_distances, resolve_seed
from .._compat import BaseEstimator, ClusterMixin
from .._kmeans import KMeans as LocalKMeans
from .._kmeans import check_enough_rows
from .._validation import as_matrix, check_fitted, check_params, labels_dtype
from .._vantorix import _NativeDenseKMeans
from ._scheduling import (
    _Fit,
    _block_shape,
    _checked_block,
    _farthest,
    _local_with_fit,
    _reduce_summaries,
    _rows,
    _sample_rows,
    _take_rows,
)


class DenseSummary(NamedTuple):
    sums: np.ndarray  # (k, d) float64
    counts: np.ndarray  # (k,) int64
    distance: float  # summed row distances
    far_dist: np.ndarray  # farthest rows of the chunk, farthest first
    far_rows: np.ndarray  # their global row indices
    far_labels: np.ndarray  # their clusters


def dense_chunk_summary(
    block: Any, centers: np.ndarray, spherical: bool, labels: Optional[np.ndarray], offset: int
) -> Tuple[DenseSummary, np.ndarray]:
    """One assignment pass over a row chunk against fixed centers, reduced to per-cluster sums,
    and the rows' labels (given back as ``labels`` on the next pass, they speed it up)."""
    # rows are checked for NaN and infinity on the first pass; later passes read the same rows
    x = as_matrix(block, "X", min_rows=0, finite=labels is None)
    centers = as_matrix(centers, "centers")
    k = centers.shape[0]
    native = _NativeDenseKMeans(k, spherical=spherical)
    native.set_cluster_centers(centers)
    hint = None if labels is None or len(labels) != len(x) else np.require(labels, np.uint32, ["A"])
    # a repair needs at most k rows from clusters that keep at least 2 members, and at most k
    # of the farthest finite rows sit in clusters that end up with fewer: 2k always hold the
    # rows the single-machine rule picks (and so do the 2k farthest of any union of them)
    r = native.chunk_summary(x, farthest=2 * k, labels=hint)
    summary = DenseSummary(
        r["sums"], r["counts"].astype(np.int64), r["distance_sum"], r["far_distances"],
        r["far_rows"].astype(np.int64) + offset, r["far_labels"].astype(np.int64),
    )
    return summary, r["labels"]


def combine_dense(parts: Sequence[DenseSummary]) -> DenseSummary:
    k = parts[0].counts.shape[0]
    far = _farthest(
        np.concatenate([p.far_dist for p in parts]),
        np.concatenate([p.far_rows for p in parts]),
        np.concatenate([p.far_labels for p in parts]),
        2 * k,
    )
    sums = parts[0].sums.copy()
    counts = parts[0].counts.copy()
    distance = parts[0].distance
    for p in parts[1:]:
        sums += p.sums
        counts += p.counts
        distance += p.distance
    return DenseSummary(sums, counts, distance, *far)


def _block_labels(x: np.ndarray, centers: np.ndarray, k: int, spherical: bool) -> np.ndarray:
    native = _NativeDenseKMeans(k, spherical=spherical)
    native.set_cluster_centers(as_matrix(centers, "centers"))
    return native.predict(x).astype(labels_dtype(k))


class KMeans(ClusterMixin, BaseEstimator):
    """Dense k-means over a ``dask.array`` of rows; parameters as ``vantorix.KMeans``.

    ``init`` is a method name, applied by a single-machine fit of ``init_max_iter`` iterations
    on a seeded sample of ``init_sample_rows`` rows, or an array of k initial centers. Each
    iteration is one pass over the chunks; the summaries are combined in a tree and the
    centers updated as the single-machine fit does (mean of the members, empty clusters
    re-seeded with the farthest rows of clusters that have rows to spare).

    ``predict`` and ``transform`` give lazy dask arrays, ``score`` a number, as
    ``vantorix.KMeans`` measures them; ``save`` writes the file of ``to_local().save``.

    Attributes: cluster_centers_, inertia_ (sum of the rows' distances), inertia_history_ (mean
    distance per iteration), n_iter_, labels_ (lazy dask array), n_features_in_.
    """

    def __init__(
        self,
        n_clusters: int = 8,
        *,
        init: Any = "k-means++",
        max_iter: int = 20,
        random_state: Any = None,
        early_stopping: bool = False,
        spherical: bool = False,
        init_sample_rows: int = 65536,
        init_max_iter: int = 5,
        verbose: bool = False,
    ) -> None:
        self.n_clusters = n_clusters
        self.init = init
        self.max_iter = max_iter
        self.random_state = random_state
        self.early_stopping = early_stopping
        self.spherical = spherical
        self.init_sample_rows = init_sample_rows
        self.init_max_iter = init_max_iter
        self.verbose = verbose

    def _initial_centers(self, arr: da.Array, seed: int) -> np.ndarray:
        """The starting centers as the chunks' native models take them (they normalise)."""
        k, d = self.n_clusters, arr.shape[1]
        if not isinstance(self.init, str):
            centers = as_matrix(self.init, "init")
            if centers.shape != (k, d):
                raise ValueError(f"init: expected shape ({k}, {d}), got {centers.shape}")
            start: np.ndarray = centers.copy()
            return start
        rows = _sample_rows(arr.shape[0], max(self.init_sample_rows, k), seed)
        sample = np.asarray(arr[rows].compute())
        local = LocalKMeans(k, init=self.init, max_iter=self.init_max_iter, random_state=seed, spherical=self.spherical)
        return local.fit(sample).cluster_centers_

    def _summary(self, arr: da.Array, centers: np.ndarray, hints: Optional[List[Any]]) -> Tuple[DenseSummary, List[Any]]:
        # the labels of each pass stay with their chunks and speed the next pass up
        return _reduce_summaries(arr, dense_chunk_summary, (centers, bool(self.spherical)), combine_dense, hints)

    def _update(self, arr: da.Array, centers: np.ndarray, s: DenseSummary) -> np.ndarray:
        # the single-machine fit's own update; only the re-seeding rows live here, in the chunks.
        # It starts from the centers the pass used (an empty cluster no row re-seeds keeps them).
        used = _NativeDenseKMeans.normalize_rows(centers) if self.spherical else centers
        u = _NativeDenseKMeans.update_from_sums(
            used, s.sums, s.counts.astype(np.uint64), s.far_dist,
            s.far_labels.astype(np.uint64), s.far_rows.astype(np.uint64),
        )
        new: np.ndarray = u["centers"]
        if u["rows"].size:
            new[u["clusters"].astype(np.int64)] = _take_rows(arr, u["rows"].astype(np.int64))
        # not normalised here: the chunks' native models normalise what they are given, and a
        # second normalisation would move some centers by an ulp (the single-machine fit does one)
        return new

    def _stops(self, h: List[float]) -> bool:
        return bool(self.early_stopping) and _NativeDenseKMeans.should_stop(np.asarray(h, np.float64))

    def fit(self, X: Any, y: Any = None) -> "KMeans":
        check_params(self)
        arr = _rows(X, "X")
        n = int(arr.shape[0])
        if n < 1:
            raise ValueError(f"X: Found array with 0 sample(s) (shape={arr.shape}) while a minimum of 1 is required.")
        check_enough_rows(n, self.n_clusters)
        # the single-machine checks of k, max_iter and the init name, before any pass runs
        LocalKMeans(self.n_clusters, init=self.init if isinstance(self.init, str) else "random", max_iter=self.max_iter)._new_native()
        seed = resolve_seed(self.random_state)
        centers = self._initial_centers(arr, seed)
        history: List[float] = []
        hints: Optional[List[Any]] = None
        run = _Fit(self, "dense")
        try:
            for it in range(self.max_iter):
                s, hints = self._summary(arr, centers, hints)
                history.append(s.distance / n)
                run.record(it, history[-1])
                if self._stops(history):
                    break
                centers = self._update(arr, centers, s)
            # one more pass against the final centers, as the single-machine fit ends
            history[-1] = self._summary(arr, centers, hints)[0].distance / n
        finally:
            run.close()
            del hints  # labels held by the workers
        self.n_features_in_ = int(arr.shape[1])
        self._installed_centers = centers
        self.cluster_centers_ = _NativeDenseKMeans.normalize_rows(centers) if self.spherical else centers
        self.inertia_history_ = np.asarray(history)
        self.n_iter_ = len(history)
        self.inertia_ = history[-1] * n
        self.labels_ = self._labels(arr)
        return self

    def _block_model(self) -> Tuple[Any, ...]:
        """What a worker needs to measure a block (plain values, so the closures that capture them
        pickle without the estimator): the centers; what a native model is given to hold exactly
        them (after a fit, the centers before their normalisation, which the model applies: a
        second one could move their last bits); k; spherical."""
        installed = getattr(self, "_installed_centers", self.cluster_centers_)
        return self.cluster_centers_, installed, self.n_clusters, bool(self.spherical)

    def _labels(self, arr: da.Array) -> da.Array:
        (_, installed, k, spherical), dtype = self._block_model(), arr.dtype

        def assign(block: np.ndarray, block_info: Optional[Dict[Any, Any]] = None) -> np.ndarray:
            _checked_block(block, _block_shape(block_info), dtype, "X")
            return _block_labels(as_matrix(block, "X", min_rows=0), installed, k, spherical)

        return arr.map_blocks(assign, drop_axis=1, dtype=labels_dtype(k))

    def _checked_rows(self, X: Any) -> da.Array:
        check_fitted(self, "cluster_centers_")
        arr = _rows(X, "X")
        if arr.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {arr.shape[1]} features, but KMeans is expecting {self.n_features_in_} features as input.")
        return arr

    def predict(self, X: Any) -> da.Array:
        """Lazy labels of the rows of ``X``."""
        return self._labels(self._checked_rows(X))

    def transform(self, X: Any) -> da.Array:
        """Lazy (n, k) float32 distances of the rows to every center (Euclidean, or 1 - x.c when
        spherical), as ``vantorix.KMeans.transform`` gives them."""
        arr = self._checked_rows(X)
        (centers, _, k, spherical), dtype = self._block_model(), arr.dtype

        def distances(block: np.ndarray, block_info: Optional[Dict[Any, Any]] = None) -> np.ndarray:
            _checked_block(block, _block_shape(block_info), dtype, "X")
            return center_distances(as_matrix(block, "X", min_rows=0), centers, spherical)

        return arr.map_blocks(
            distances, chunks=(arr.chunks[0], (k,)), dtype=np.float32, meta=np.empty((0, 0), np.float32)
        )

    def fit_transform(self, X: Any, y: Any = None) -> da.Array:
        return self.fit(X).transform(X)

    def score(self, X: Any, y: Any = None) -> float:
        """Minus the summed distance of the rows to their nearest centers (squared Euclidean, or
        1 - x.c when spherical), as ``vantorix.KMeans.score``; computes."""
        arr = self._checked_rows(X)
        (centers, installed, k, spherical), dtype = self._block_model(), arr.dtype

        def block_sum(block: np.ndarray, block_info: Optional[Dict[Any, Any]] = None) -> np.ndarray:
            _checked_block(block, _block_shape(block_info), dtype, "X")
            x = as_matrix(block, "X", min_rows=0)
            labels = _block_labels(x, installed, k, spherical)
            return np.array([assigned_distance_sum(x, centers, labels, spherical)])

        sums = arr.map_blocks(
            block_sum, drop_axis=1, chunks=((1,) * arr.numblocks[0],), dtype=np.float64, meta=np.empty((0,), np.float64)
        )
        # the per-block sums in chunk order, added here: the result does not depend on scheduling
        return -float(np.sum(sums.compute(), dtype=np.float64))

    def save(self, path: Any) -> None:
        """Writes the model as ``to_local().save(path)`` does (the labels are computed); read it
        back with ``vantorix.load``, which gives a ``vantorix.KMeans``."""
        self.to_local().save(path)

    def fit_predict(self, X: Any, y: Any = None) -> da.Array:
        return self.fit(X).labels_

    def to_local(self) -> LocalKMeans:
        """A ``vantorix.KMeans`` with these centers (to save, or to predict in memory)."""
        check_fitted(self, "cluster_centers_")
        local = LocalKMeans(**{k: v for k, v in self.get_params().items() if k in LocalKMeans._get_param_names()})
        if not isinstance(local.init, str):
            local.init = "k-means++"
        native = local._new_native()
        native.set_cluster_centers(self._block_model()[1])
        # the fit's own centers, which the native model now holds too (it was given them before
        # their normalisation: normalising spherical ones again can move their last bits, and the
        # distances would then differ from this model's transform and score)
        return _local_with_fit(local, self, native, self.cluster_centers_.copy())
