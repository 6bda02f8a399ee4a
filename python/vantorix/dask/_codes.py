"""The code driver: symmetric k-means over a dask array of codes (or of vectors, encoded chunk by
chunk)."""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import dask.array as da
import numpy as np

from .._base import assigned_distance_sum, center_distances, resolve_seed
from .._compat import BaseEstimator, ClusterMixin
from .._kmeans import check_enough_rows
from .._pq import ProductQuantizer
from .._pqkmeans import PQKMeans as LocalPQKMeans
from .._validation import as_codes, as_matrix, check_fitted, check_params, labels_dtype
from .._vantorix import _NativePQKMeans
from ._scheduling import (
    _Fit,
    _block_shape,
    _checked_block,
    _farthest,
    _hold,
    _local_with_fit,
    _reduce_summaries,
    _rows,
    _sample_rows,
    _take_rows,
)


class CodeSummary(NamedTuple):
    histogram: Any  # (k, M, Ks) int64, or (keys, counts) of its non-zero cells
    counts: np.ndarray  # (k,) int64
    distance: float
    far_dist: np.ndarray
    far_rows: np.ndarray
    far_labels: np.ndarray


def code_chunk_summary(
    block: Any, codewords: np.ndarray, centers: np.ndarray, hint: None, offset: int
) -> Tuple[CodeSummary, None]:
    """One symmetric assignment pass over a chunk of codes, reduced to codeword histograms."""
    m, ks = codewords.shape[:2]
    native = _NativePQKMeans(np.require(codewords, requirements=["C", "A"]), centers.shape[0])
    native.set_cluster_centers(centers)
    r = native.chunk_summary(as_codes(block, "codes", m, ks) if len(block) else np.zeros((0, m), np.uint8), farthest=centers.shape[0])
    hist = r["histogram"].astype(np.int64) if "histogram" in r else (r["cells"].astype(np.int64), r["cell_counts"].astype(np.int64))
    summary = CodeSummary(
        hist, r["counts"].astype(np.int64), r["distance_sum"], r["far_distances"],
        r["far_rows"].astype(np.int64) + offset, r["far_labels"].astype(np.int64),
    )
    return summary, None


def _add_histograms(a: Any, b: Any) -> Any:
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        return a + b
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        dense, sparse = (a.copy(), b) if isinstance(a, np.ndarray) else (b.copy(), a)
        np.add.at(dense, sparse[0], sparse[1])
        return dense
    keys, inverse = np.unique(np.concatenate([a[0], b[0]]), return_inverse=True)
    return keys, np.bincount(inverse, weights=np.concatenate([a[1], b[1]])).astype(np.int64)


def combine_codes(parts: Sequence[CodeSummary]) -> CodeSummary:
    k = parts[0].counts.shape[0]
    far = _farthest(
        np.concatenate([p.far_dist for p in parts]),
        np.concatenate([p.far_rows for p in parts]),
        np.concatenate([p.far_labels for p in parts]),
        k,
    )
    hist = parts[0].histogram
    counts = parts[0].counts.copy()
    distance = parts[0].distance
    for p in parts[1:]:
        hist = _add_histograms(hist, p.histogram)
        counts += p.counts
        distance += p.distance
    return CodeSummary(hist, counts, distance, *far)


def _lazy_codes(quantizer: ProductQuantizer, X: Any) -> Tuple[da.Array, bool]:
    arr = X if isinstance(X, da.Array) else da.asarray(X)
    if arr.dtype == np.uint8:
        return arr, False
    m = quantizer.codewords_.shape[0]
    if arr.ndim == 2 and len(arr.chunks[1]) > 1:
        arr = arr.rechunk({1: -1})

    dtype = arr.dtype

    def encode_block(block: np.ndarray, block_info: Optional[Dict[Any, Any]] = None) -> np.ndarray:
        _checked_block(block, _block_shape(block_info), dtype, "X")
        codes: np.ndarray = quantizer._native.encode(as_matrix(block, "X", min_rows=0))
        return codes

    return arr.map_blocks(encode_block, chunks=(arr.chunks[0], (m,)), dtype=np.uint8), True


def encode(quantizer: ProductQuantizer, X: Any) -> da.Array:
    """The codes of the rows of ``X``, encoded chunk by chunk and held in the cluster's memory.

    M bytes a row, so codes fit in memory where the vectors do not: encode once, then fit
    ``PQKMeans`` over the result as often as needed (several k, say) without reading the
    vectors again. The chunks stay where the fits will summarise them.
    """
    if not isinstance(quantizer, ProductQuantizer) or not quantizer.__sklearn_is_fitted__():
        raise ValueError("quantizer: pass a fitted vantorix.ProductQuantizer")
    codes, encoded = _lazy_codes(quantizer, X)
    codes = _rows(codes, "X")
    return _hold(codes) if encoded else codes


class PQKMeans(ClusterMixin, BaseEstimator):
    """Symmetric k-means over a ``dask.array`` of codes (or of vectors, encoded chunk by chunk).

    ``quantizer`` must be a fitted ``vantorix.ProductQuantizer``. Codeword histograms per
    cluster and subspace are the only per-cluster data that travel: the vote that picks each
    center's codewords is made from them, which makes the update independent of the chunking.
    Initialisation is a single-machine ``vantorix.PQKMeans`` fit of ``init_max_iter`` passes on
    a seeded sample, or an array of k initial code centers.

    ``predict`` and ``transform`` give lazy dask arrays, ``score`` a number, as a symmetric
    ``vantorix.PQKMeans`` measures them (vectors as they are, codes decoded); ``save`` writes
    the file of ``to_local().save``.
    """

    def __init__(
        self,
        n_clusters: int = 8,
        *,
        quantizer: Optional[ProductQuantizer] = None,
        init: Any = "farthest_first",
        max_iter: int = 20,
        random_state: Any = None,
        early_stopping: bool = False,
        init_sample_rows: int = 65536,
        init_max_iter: int = 5,
        verbose: bool = False,
    ) -> None:
        self.n_clusters = n_clusters
        self.quantizer = quantizer
        self.init = init
        self.max_iter = max_iter
        self.random_state = random_state
        self.early_stopping = early_stopping
        self.init_sample_rows = init_sample_rows
        self.init_max_iter = init_max_iter
        self.verbose = verbose

    def _codes(self, X: Any) -> Tuple[da.Array, bool]:
        """Codes as they are, or the lazy encoding of vectors chunk by chunk (and True)."""
        if not isinstance(self.quantizer, ProductQuantizer) or not self.quantizer.__sklearn_is_fitted__():
            raise ValueError("quantizer: pass a fitted vantorix.ProductQuantizer")
        return _lazy_codes(self.quantizer, X)

    def _initial_centers(self, codes: da.Array, seed: int) -> np.ndarray:
        q = self.quantizer
        assert q is not None
        m, ks = q.codewords_.shape[:2]
        k = self.n_clusters
        if not isinstance(self.init, str):
            centers = as_codes(self.init, "init", m, ks)
            if centers.shape[0] != k:
                raise ValueError(f"init: expected {k} code centers, got {centers.shape[0]}")
            return np.array(centers)
        rows = _sample_rows(codes.shape[0], max(self.init_sample_rows, k), seed)
        sample = np.asarray(codes[rows].compute())
        local = LocalPQKMeans(k, quantizer=q, init=self.init, max_iter=self.init_max_iter, random_state=seed)
        return local.fit(codes=sample).code_centers_

    def _summary(self, codes: da.Array, centers: np.ndarray) -> CodeSummary:
        assert self.quantizer is not None
        s, _ = _reduce_summaries(codes, code_chunk_summary, (self.quantizer.codewords_, centers), combine_codes)
        return s  # type: ignore[no-any-return]

    def _update(self, codes: da.Array, centers: np.ndarray, s: CodeSummary, native: _NativePQKMeans) -> np.ndarray:
        k, m = centers.shape
        assert self.quantizer is not None
        ks = self.quantizer.codewords_.shape[1]
        hist = s.histogram
        if not isinstance(hist, np.ndarray):
            dense = np.zeros(k * m * ks, np.int64)
            dense[hist[0]] = hist[1]
            hist = dense
        # the single-machine fit's vote (same table, same sums, same ties)
        native.set_cluster_centers(centers)
        new: np.ndarray = native.vote_from_histogram(hist.astype(np.uint64))
        present = s.counts > 0
        empty = np.flatnonzero(~present)
        if empty.size:
            rows = s.far_rows[: empty.size]
            new[empty[: rows.size]] = _take_rows(codes, rows)
        return new

    def _stops(self, h: List[float]) -> bool:
        return bool(self.early_stopping) and _NativePQKMeans.should_stop(np.asarray(h, np.float64))

    def fit(self, X: Any, y: Any = None) -> "PQKMeans":
        check_params(self)
        lazy, encoded = self._codes(X)
        lazy = _rows(lazy, "codes")
        # vectors are encoded once, and their codes (M bytes a row) held for the passes
        codes = _hold(lazy) if encoded else lazy
        codes = _rows(codes, "codes")
        n = int(codes.shape[0])
        if n < 1:
            raise ValueError(f"X: Found array with 0 sample(s) (shape={codes.shape}) while a minimum of 1 is required.")
        check_enough_rows(n, self.n_clusters)
        assert self.quantizer is not None
        native = _NativePQKMeans(np.require(self.quantizer.codewords_, requirements=["C", "A"]), self.n_clusters)
        seed = resolve_seed(self.random_state)
        centers = self._initial_centers(codes, seed)
        history: List[float] = []
        run = _Fit(self, "symmetric")
        try:
            for it in range(self.max_iter):
                s = self._summary(codes, centers)
                history.append(s.distance / n)
                run.record(it, history[-1])
                if self._stops(history) or it + 1 == self.max_iter:
                    break
                centers = self._update(codes, centers, s, native)
        finally:
            run.close()
        self.n_features_in_ = int(self.quantizer.codewords_.shape[0] * self.quantizer.codewords_.shape[2])
        self.code_centers_ = centers
        self.cluster_centers_ = self.quantizer.decode(centers)
        self.inertia_history_ = np.asarray(history)
        self.n_iter_ = len(history)
        self.inertia_ = history[-1] * n
        self.labels_ = self._labels(lazy)
        return self

    def _labels(self, codes: da.Array) -> da.Array:
        assert self.quantizer is not None
        cw, centers, k, dtype = self.quantizer.codewords_, self.code_centers_, self.n_clusters, codes.dtype

        def assign(block: np.ndarray, block_info: Optional[Dict[Any, Any]] = None) -> np.ndarray:
            _checked_block(block, _block_shape(block_info), dtype, "codes")
            native = _NativePQKMeans(np.require(cw, requirements=["C", "A"]), k)
            native.set_cluster_centers(centers)
            return native.predict(np.ascontiguousarray(block, dtype=np.uint8)).astype(labels_dtype(k))

        return codes.map_blocks(assign, drop_axis=1, dtype=labels_dtype(k))

    def predict(self, X: Any) -> da.Array:
        check_fitted(self, "code_centers_")
        codes = _rows(self._codes(X)[0], "codes")
        return self._labels(codes)

    def _measured(self, X: Any, measure: Any, chunks: Any, dtype: Any, drop_axis: Any = None) -> da.Array:
        """``measure(points, labels, centers)`` per row block: the block's rows as they are
        (vectors) or decoded (codes), their labels against the code centers, and the dense
        centers, as the local model takes them."""
        check_fitted(self, "code_centers_")
        arr = _rows(X, "X")
        q = self.quantizer
        assert q is not None
        m, ks, ds = q.codewords_.shape
        is_codes = arr.dtype == np.uint8
        width = m if is_codes else m * ds
        if arr.shape[1] != width:
            what = "code columns" if is_codes else "features"
            raise ValueError(f"X has {arr.shape[1]} {what}, but PQKMeans is expecting {width} as input.")
        # the quantizer travels as the estimator (which pickles), not as its native model
        cw, code_centers, dense, k, dtype_in = q.codewords_, self.code_centers_, self.cluster_centers_, self.n_clusters, arr.dtype

        def block_fn(block: np.ndarray, block_info: Optional[Dict[Any, Any]] = None) -> np.ndarray:
            _checked_block(block, _block_shape(block_info), dtype_in, "X")
            if is_codes:
                codes = as_codes(block, "codes", m, ks) if len(block) else np.zeros((0, m), np.uint8)
                points = q._native.decode(codes)
            else:
                points = as_matrix(block, "X", min_rows=0)
                codes = q._native.encode(points)
            native = _NativePQKMeans(np.require(cw, requirements=["C", "A"]), k)
            native.set_cluster_centers(code_centers)
            return measure(points, native.predict(codes), dense)  # type: ignore[no-any-return]

        return arr.map_blocks(
            block_fn, chunks=chunks(arr), dtype=dtype, drop_axis=drop_axis, meta=np.empty((0,) * (1 if drop_axis else 2), dtype)
        )

    def transform(self, X: Any) -> da.Array:
        """Lazy (n, k) float32 Euclidean distances of the rows (codes decoded) to every center."""
        k = self.n_clusters
        return self._measured(
            X, lambda points, labels, dense: center_distances(points, dense, False), lambda a: (a.chunks[0], (k,)), np.float32
        )

    def fit_transform(self, X: Any, y: Any = None) -> da.Array:
        return self.fit(X).transform(X)

    def score(self, X: Any, y: Any = None) -> float:
        """Minus the summed squared distance of the rows (codes decoded) to their centers,
        as ``vantorix.PQKMeans.score``; computes."""
        sums = self._measured(
            X,
            lambda points, labels, dense: np.array([assigned_distance_sum(points, dense, labels, False)]),
            lambda a: ((1,) * a.numblocks[0],),
            np.float64,
            drop_axis=1,
        )
        return -float(np.sum(sums.compute(), dtype=np.float64))

    def to_local(self) -> LocalPQKMeans:
        """A symmetric ``vantorix.PQKMeans`` with these centers (to save, or to predict in memory)."""
        check_fitted(self, "code_centers_")
        assert self.quantizer is not None
        params = {k: v for k, v in self.get_params(deep=False).items() if k in LocalPQKMeans._get_param_names()}
        if not isinstance(params["init"], str):
            params["init"] = "farthest_first"
        local = LocalPQKMeans(**params, mode="symmetric")
        native = local._new_native(self.quantizer)
        native.set_cluster_centers(self.code_centers_)
        local.quantizer_ = self.quantizer
        local.code_centers_ = native.cluster_centers
        return _local_with_fit(local, self, native, self.cluster_centers_)

    def save(self, path: Any) -> None:
        """Writes the model as ``to_local().save(path)`` does (the labels are computed); read it
        back with ``vantorix.load``, which gives a ``vantorix.PQKMeans``."""
        self.to_local().save(path)

    def fit_predict(self, X: Any, y: Any = None) -> da.Array:
        return self.fit(X).labels_
