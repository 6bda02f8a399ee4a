"""k-means past one machine: the same fits over ``dask.array`` inputs on a Dask cluster.

Every worker assigns its own row chunks with the native kernels (the same assignment a
single-machine fit runs, so a chunk's labels are the ones that fit would give against the same
centers) and returns a small per-cluster summary; the summaries are added up in a tree whose
shape depends only on the chunk order, never on which worker ran what. The driver then updates
the centers exactly as the single-machine fit does. Chunks are read and summarised in runs of
consecutive chunks, one run per worker, and only centers and the few summaries whose pair
straddles two workers travel, so the bytes moved per iteration do not grow with the number of
rows. When a worker dies, the pass in progress starts over on the workers left (Dask recomputes
whatever the dead one held), so a fit survives losing one, with the same result.

    import dask.array as da
    from vantorix.dask import KMeans
    x = da.from_zarr(...)                         # (n, d), chunked by rows
    km = KMeans(n_clusters=1000, random_state=0).fit(x)
    km.cluster_centers_, km.inertia_history_, km.labels_ (a lazy dask array)
"""

from __future__ import annotations

import logging
from concurrent.futures import CancelledError
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

import dask
import dask.array as da
from dask.delayed import Delayed
import numpy as np

from . import _progress
from ._base import resolve_seed
from ._compat import BaseEstimator, ClusterMixin
from ._kmeans import KMeans as LocalKMeans
from ._kmeans import check_enough_rows
from ._pq import ProductQuantizer
from ._pqkmeans import PQKMeans as LocalPQKMeans
from ._validation import as_codes, as_matrix, check_fitted, check_params, labels_dtype
from ._vantorix import _NativeDenseKMeans, _NativePQKMeans

__all__ = ["KMeans", "PQKMeans", "encode"]

_FAN_IN = 2  # summaries combined per reduction task: pairs, so that with consecutive chunks on one
# worker only the few pairs that straddle two workers move a summary between them
_log = logging.getLogger("vantorix.dask")


# --- shared pieces --------------------------------------------------------------------------


def _rows(x: Any, name: str) -> da.Array:
    """A 2-D dask array of ``x`` with known row chunks and a single column chunk."""
    arr = x if isinstance(x, da.Array) else da.asarray(x)
    if arr.ndim != 2:
        raise ValueError(f"{name}: expected a 2D array, got {arr.ndim}D")
    if any(np.isnan(c) for c in arr.chunks[0]):
        arr = arr.compute_chunk_sizes()
    if len(arr.chunks[1]) > 1:
        arr = arr.rechunk({1: -1})
    return arr


def _tree_reduce(parts: List[Any], combine: Callable[[List[Any]], Any]) -> Any:
    """Combines in fixed groups of chunk order, so the sums do not depend on scheduling."""
    if not parts:
        raise ValueError("X: the array has no row chunks")
    while len(parts) > 1:
        parts = [dask.delayed(combine, pure=False)(parts[i : i + _FAN_IN]) for i in range(0, len(parts), _FAN_IN)]
    return parts[0]


def _distributed_client() -> Any:
    """The distributed client the computation would run on, or None (local schedulers)."""
    if dask.config.get("scheduler", None) not in (None, "dask.distributed", "distributed"):
        return None
    try:
        from distributed import get_client
    except ImportError:
        return None
    try:
        return get_client()
    except ValueError:
        return None


def _workers(client: Any) -> List[str]:
    return sorted(client.scheduler_info(n_workers=-1)["workers"])


def _owners(count: int, workers: List[str]) -> List[str]:
    """Chunk i goes to worker i * W // count of the W workers in address order: every worker gets
    an equal share, and consecutive chunks (which the reduction tree combines first) sit
    together, so few summaries cross between workers."""
    return [workers[i * len(workers) // count] for i in range(count)]


def _placed(client: Any, items: List[Tuple[Any, ...]], owners: List[str], strict: bool) -> List[Tuple[Any, ...]]:
    """Futures of ``items`` (one tuple of delayed values per chunk), each chunk's on its owner.

    Strict placement also keeps the scheduler from moving a task away from the block it has
    read (the caller must start over when a worker goes away); otherwise it is a preference.
    """
    out: List[Tuple[Any, ...]] = []
    start = 0
    while start < len(items):
        end = start
        while end < len(items) and owners[end] == owners[start]:
            end += 1
        flat = [x for group in items[start:end] for x in group]
        futures = client.compute(flat, workers=[owners[start]], allow_other_workers=not strict)
        width = len(items[start])
        out += [tuple(futures[i : i + width]) for i in range(0, len(futures), width)]
        start = end
    return out


def _hold(arr: da.Array) -> da.Array:
    """``arr`` computed and held in the cluster's memory, placed as the summaries will want it."""
    client = _distributed_client()
    workers = _workers(client) if client is not None else []
    if not workers:
        return arr.persist()
    # each block is read and encoded in one fused task, so a moved task moves no data
    blocks = [(b,) for b in arr.to_delayed(optimize_graph=True)[:, 0]]
    futures = [f for (f,) in _placed(client, blocks, _owners(len(blocks), workers), strict=False)]
    return da.concatenate(
        [da.from_delayed(f, shape=(r, arr.shape[1]), dtype=arr.dtype) for f, r in zip(futures, arr.chunks[0])]
    )


def _checked_block(block: Any, shape: Optional[Tuple[int, int]], dtype: Any, name: str) -> np.ndarray:
    """A chunk as its array declared it: a numpy array of the declared dtype and shape.

    Dask believes what a chunk's producer declared. A chunk of text declared float32 would be
    parsed as numbers, and a short chunk would shift the rows after it and divide the inertia
    by rows that are not there.
    """
    ok = isinstance(block, np.ndarray) and block.dtype == dtype and block.ndim == 2
    if not ok or (shape is not None and block.shape != shape):
        got = f"{type(block).__name__} of dtype {getattr(block, 'dtype', None)} and shape {getattr(block, 'shape', None)}"
        declared = "?" if shape is None else f"{shape[0]} x {shape[1]}"
        raise ValueError(f"{name}: a chunk declared as {declared} {np.dtype(dtype)} is a {got}")
    checked: np.ndarray = block
    return checked


def _block_shape(block_info: Optional[Dict[Any, Any]]) -> Optional[Tuple[int, int]]:
    """The shape ``map_blocks`` declared for the block (None when dask is only probing)."""
    if not block_info or 0 not in block_info:
        return None
    (r0, r1), (c0, c1) = block_info[0]["array-location"]
    return int(r1 - r0), int(c1 - c0)


def _summarise_checked(
    summarise: Callable[..., Any], block: Any, shape: Tuple[int, int], dtype: Any, name: str, *args: Any
) -> Any:
    return summarise(_checked_block(block, shape, dtype, name), *args)


def _leaf_parts(
    arr: da.Array, summarise: Callable[..., Any], shared: Sequence[Any], hints: Sequence[Any], name: str = "X"
) -> List[Tuple[Any, Any]]:
    """Per row block, in chunk order: delayed (summary, hint) of
    ``summarise(block, *shared, hint, first_row)``, the block checked against its declaration."""
    starts = np.concatenate([[0], np.cumsum(arr.chunks[0])[:-1]]).astype(int).tolist()
    out = []
    for b, rows, hint, off in zip(arr.to_delayed()[:, 0], arr.chunks[0], hints, starts):
        summary, new_hint = dask.delayed(_summarise_checked, pure=False, nout=2)(
            summarise, b, (int(rows), int(arr.shape[1])), arr.dtype, name, *shared, hint, off
        )
        out.append((summary, new_hint))
    return out


def _reduce_summaries(
    arr: da.Array,
    summarise: Callable[..., Any],
    args: Tuple[Any, ...],
    combine: Callable[[List[Any]], Any],
    hints: Optional[List[Any]] = None,
) -> Tuple[Any, List[Any]]:
    """``combine`` over the summaries of every row block, in a fixed tree, and the new hints.

    ``summarise(block, *args, hint, first_row)`` returns a chunk's summary and a hint for the
    next pass over the same chunk (the rows' labels, which speed the search up but never change
    it); the hints stay where they were made. The tree depends only on the chunk order (pairs of
    consecutive chunks, then pairs of pairs), so the result does not depend on where anything
    ran. On a distributed cluster, chunks not held in memory yet (read from storage or
    generated) are read and summarised where ``_placed`` puts them, strictly; if a worker goes
    away meanwhile, the pass starts over on the workers there are then, without hints, with the
    same result. Chunks already held in memory are summarised where they are.
    """
    count = arr.numblocks[0]
    if hints is None or len(hints) != count:
        hints = [None] * count
    client = _distributed_client()
    if client is None:
        leaves = _leaf_parts(arr, summarise, [dask.delayed(a, pure=True) for a in args], hints)
        result, *new_hints = dask.compute(_tree_reduce([s for s, _ in leaves], combine), *[h for _, h in leaves])
        return result, new_hints
    keys = [k[0] if isinstance(k, list) else k for k in arr.__dask_keys__()]
    held = any(client.who_has(keys).values())
    while True:
        shared = [client.scatter(a, broadcast=True, hash=False) for a in args]
        leaves = _leaf_parts(arr, summarise, shared, hints)
        workers = [] if held else _workers(client)
        if workers:
            owners = _owners(count, workers)
            placed = _placed(client, leaves, owners, strict=True)
            root = _placed_tree(client, [s for s, _ in placed], owners, combine)
            new_hints = [h for _, h in placed]
        else:
            root, *new_hints = client.compute([_tree_reduce([s for s, _ in leaves], combine)] + [h for _, h in leaves])
        while True:
            try:
                return root.result(timeout=0.5), new_hints
            except TimeoutError:
                if not set(workers) <= set(_workers(client)):
                    break  # a worker that was given chunks is gone: start the pass over
            except CancelledError:
                # inputs lost with a worker that died: this pass's chunks or the last pass's hints
                if all(h is None for h in hints) and set(workers) <= set(_workers(client)):
                    raise
                break
        _log.info("a worker left during a pass: the pass starts over on %d workers", len(_workers(client)))
        client.cancel([root] + new_hints)
        hints = [None] * count


def _placed_tree(client: Any, parts: List[Any], owners: List[str], combine: Callable[[List[Any]], Any]) -> Any:
    """``_tree_reduce`` over futures, each combination on the worker of its first input."""
    while len(parts) > 1:
        level, owner_of = [], []
        for i in range(0, len(parts), _FAN_IN):
            level.append(client.submit(combine, parts[i : i + _FAN_IN], workers=[owners[i]], pure=False))
            owner_of.append(owners[i])
        parts, owners = level, owner_of
    return parts[0]


def _farthest(dist: np.ndarray, rows: np.ndarray, labels: np.ndarray, count: int) -> Tuple[np.ndarray, ...]:
    """The ``count`` largest distances, farthest first, ties to the lower row index."""
    if dist.size > count:
        # everything at least as far as the count-th largest survives; ties are settled below
        cut = np.partition(dist, dist.size - count)[dist.size - count]
        keep = np.flatnonzero(dist >= cut)
        dist, rows, labels = dist[keep], rows[keep], labels[keep]
    order = np.lexsort((rows, -dist.astype(np.float64)))[:count]
    return dist[order], rows[order], labels[order]


def _sample_rows(n: int, size: int, seed: int) -> np.ndarray:
    """Sorted indices of a seeded sample: the same rows whatever the chunking."""
    if size >= n:
        return np.arange(n)
    return np.sort(np.random.default_rng(seed).choice(n, size=size, replace=False))


def _take_rows(arr: da.Array, rows: np.ndarray) -> np.ndarray:
    """Rows of a dask array in the given order.

    Only the chunks holding them are read, each in one task with the picking, so that only the
    picked rows travel.
    """
    starts = np.concatenate([[0], np.cumsum(arr.chunks[0])])
    chunk_of = np.searchsorted(starts, rows, side="right") - 1
    chunks = np.unique(chunk_of)
    picks = []
    for c in chunks:
        local = rows[chunk_of == c] - starts[c]
        block = arr.blocks[int(c)]
        picks.append(
            block.map_blocks(lambda b, at=local: np.asarray(b)[at], chunks=((local.size,), block.chunks[1]), dtype=arr.dtype)
        )
    out = np.empty((rows.size, arr.shape[1]), dtype=arr.dtype)
    for c, values in zip(chunks, dask.compute(*picks)):
        out[chunk_of == c] = values
    return out


class _Fit:
    """The progress display of one distributed fit (nothing when the estimator is quiet)."""

    def __init__(self, estimator: Any, fit_name: str) -> None:
        self.progress = _progress.FitProgress(type(estimator).__name__, estimator.max_iter) if estimator.verbose else None
        self.fit_name = fit_name

    def record(self, pass_index: int, inertia: float) -> None:
        if self.progress is not None:
            self.progress.update(self.fit_name, pass_index, inertia)

    def close(self) -> None:
        if self.progress is not None:
            self.progress.close()


# --- dense k-means --------------------------------------------------------------------------


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
    # of the farthest rows sit in clusters that end up with fewer: 2k always suffice
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


class KMeans(ClusterMixin, BaseEstimator):
    """Dense k-means over a ``dask.array`` of rows; parameters as ``vantorix.KMeans``.

    ``init`` is a method name, applied by a single-machine fit of ``init_max_iter`` iterations
    on a seeded sample of ``init_sample_rows`` rows, or an array of k initial centers. Each
    iteration is one pass over the chunks; the summaries are combined in a tree and the
    centers updated as the single-machine fit does (mean of the members, empty clusters
    re-seeded with the farthest rows of clusters that have rows to spare).

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
        k, d = self.n_clusters, arr.shape[1]
        if not isinstance(self.init, str):
            centers = as_matrix(self.init, "init")
            if centers.shape != (k, d):
                raise ValueError(f"init: expected shape ({k}, {d}), got {centers.shape}")
            return _NativeDenseKMeans.normalize_rows(centers) if self.spherical else centers.copy()
        rows = _sample_rows(arr.shape[0], max(self.init_sample_rows, k), seed)
        sample = np.asarray(arr[rows].compute())
        local = LocalKMeans(k, init=self.init, max_iter=self.init_max_iter, random_state=seed, spherical=self.spherical)
        return local.fit(sample).cluster_centers_

    def _summary(self, arr: da.Array, centers: np.ndarray, hints: Optional[List[Any]]) -> Tuple[DenseSummary, List[Any]]:
        # the labels of each pass stay with their chunks and speed the next pass up
        return _reduce_summaries(arr, dense_chunk_summary, (centers, bool(self.spherical)), combine_dense, hints)

    def _update(self, arr: da.Array, centers: np.ndarray, s: DenseSummary) -> np.ndarray:
        new = centers.copy()
        present = s.counts > 0
        new[present] = (s.sums[present] / s.counts[present, None]).astype(np.float32)
        empty = np.flatnonzero(~present)
        if empty.size:
            ok = (s.counts[s.far_labels] >= 2) & np.isfinite(s.far_dist)
            rows = s.far_rows[ok][: empty.size]
            if rows.size:
                new[empty[: rows.size]] = _take_rows(arr, rows)
        return _NativeDenseKMeans.normalize_rows(new) if self.spherical else new

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
        self.cluster_centers_ = centers
        self.inertia_history_ = np.asarray(history)
        self.n_iter_ = len(history)
        self.inertia_ = history[-1] * n
        self.labels_ = self._labels(arr)
        return self

    def _labels(self, arr: da.Array) -> da.Array:
        centers, k, spherical, dtype = self.cluster_centers_, self.n_clusters, bool(self.spherical), arr.dtype

        def assign(block: np.ndarray, block_info: Optional[Dict[Any, Any]] = None) -> np.ndarray:
            _checked_block(block, _block_shape(block_info), dtype, "X")
            native = _NativeDenseKMeans(k, spherical=spherical)
            centers_here = as_matrix(centers, "centers")
            native.set_cluster_centers(centers_here)
            return native.predict(as_matrix(block, "X", min_rows=0)).astype(labels_dtype(k))

        return arr.map_blocks(assign, drop_axis=1, dtype=labels_dtype(k))

    def predict(self, X: Any) -> da.Array:
        """Lazy labels of the rows of ``X``."""
        check_fitted(self, "cluster_centers_")
        arr = _rows(X, "X")
        if arr.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {arr.shape[1]} features, but KMeans is expecting {self.n_features_in_} features as input.")
        return self._labels(arr)

    def fit_predict(self, X: Any, y: Any = None) -> da.Array:
        return self.fit(X).labels_

    def to_local(self) -> LocalKMeans:
        """A ``vantorix.KMeans`` with these centers (to save, or to predict in memory)."""
        check_fitted(self, "cluster_centers_")
        local = LocalKMeans(**{k: v for k, v in self.get_params().items() if k in LocalKMeans._get_param_names()})
        if not isinstance(local.init, str):
            local.init = "k-means++"
        native = local._new_native()
        native.set_cluster_centers(self.cluster_centers_)
        local._native = native
        local.cluster_centers_ = native.cluster_centers
        local.n_features_in_ = self.n_features_in_
        local.inertia_history_ = self.inertia_history_
        local.inertia_ = self.inertia_
        local.n_iter_ = self.n_iter_
        local.labels_ = np.asarray(self.labels_.compute())
        return local


# --- k-means over codes ---------------------------------------------------------------------


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

    def fit_predict(self, X: Any, y: Any = None) -> da.Array:
        return self.fit(X).labels_
