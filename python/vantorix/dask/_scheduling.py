"""Scheduling shared by the Dask drivers: chunks placed on workers, summaries reduced in a fixed
tree, passes restarted when a worker goes away, and the few rows a driver reads back."""

from __future__ import annotations

import logging
from concurrent.futures import CancelledError
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar

import dask
import dask.array as da
import numpy as np

from .. import _progress

_FAN_IN = 2  # summaries combined per reduction task: pairs, so that with consecutive chunks on one
# worker only the few pairs that straddle two workers move a summary between them
_log = logging.getLogger("vantorix.dask")


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


_Local = TypeVar("_Local")


def _local_with_fit(local: _Local, fitted: Any, native: Any, cluster_centers: np.ndarray) -> _Local:
    """`local` (a single-machine estimator) holding `native` and the fit `fitted` ended with: its
    centers, history and labels (computed now)."""
    state: Any = local  # any single-machine estimator: the attributes are theirs in common
    state._native = native
    state.cluster_centers_ = cluster_centers
    state.n_features_in_ = fitted.n_features_in_
    state.inertia_history_ = fitted.inertia_history_
    state.inertia_ = fitted.inertia_
    state.n_iter_ = fitted.n_iter_
    state.labels_ = np.asarray(fitted.labels_.compute())
    return local


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
