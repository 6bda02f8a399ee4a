"""What every public estimator shares: saving, pickling, seeds and distances to centers."""

from __future__ import annotations

import functools
import numbers
import threading
import weakref
from typing import Any, Callable, Dict, Optional, Tuple, TypeVar

import numpy as np

from . import _persist
from ._compat import HAVE_SKLEARN, BaseEstimator
from ._validation import check_params, labels_dtype

_Method = TypeVar("_Method", bound=Callable[..., Any])

# One re-entrant lock per estimator, kept outside the estimator so that its attributes stay
# exactly the parameters and the fitted state.
_LOCKS: "weakref.WeakKeyDictionary[Any, threading.RLock]" = weakref.WeakKeyDictionary()
_LOCKS_GUARD = threading.Lock()


def _lock_of(estimator: Any) -> "threading.RLock":
    with _LOCKS_GUARD:
        lock = _LOCKS.get(estimator)
        if lock is None:
            lock = _LOCKS[estimator] = threading.RLock()
        return lock


def serialised(method: _Method) -> _Method:
    """Calls on one estimator from several threads run one at a time.

    A fit commits several attributes; a prediction reads several. Without this, two threads
    could leave labels_ from one fit beside centers from another, or predict with a native
    model and centers of different fits.
    """

    @functools.wraps(method)
    def wrapper(self: Any, *args: Any, **kwargs: Any) -> Any:
        with _lock_of(self):
            return method(self, *args, **kwargs)

    return wrapper  # type: ignore[return-value]


_OVERFLOW = "the fit's sums or distances overflow float32 (values too large); scale the data down"


def check_finite_result(what: str, *arrays: Any) -> None:
    """Refuses a fit whose result holds NaN or infinity, before it is committed."""
    for arr in arrays:
        if arr is not None and not np.isfinite(arr).all():
            raise ValueError(f"{what}: {_OVERFLOW}")


def overflow_reason(x: np.ndarray, exc: ValueError) -> ValueError:
    """``exc`` of a failed fit, saying why when the rows' squared distances overflow float32
    (an initialisation then finds no finite distance to draw by, and says only that)."""
    if x.size and float(np.abs(x).max()) ** 2 * x.shape[1] > float(np.finfo(np.float32).max):
        return ValueError(f"X: {_OVERFLOW} ({exc})")
    return exc


# Rows per block when distances to every center are computed: the float32 scratch of one block
# stays near 16 MiB whatever n and k are.
_BLOCK_ELEMENTS = 1 << 22


def resolve_seed(random_state: Any) -> int:
    """The native 64-bit seed for scikit-learn's ``random_state`` (None, an int or a generator)."""
    if random_state is None:
        return int(np.random.randint(0, np.iinfo(np.int64).max, dtype=np.int64))
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, bool):
        seed = int(random_state)
        if not 0 <= seed < 2**64:
            raise ValueError(f"random_state must be in [0, 2**64), got {seed}")
        return seed
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, np.iinfo(np.int64).max, dtype=np.int64))
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 2**64, dtype=np.uint64))
    raise TypeError(f"random_state must be None, an int or a numpy random generator, got {random_state!r}")


def _blocks(n: int, width: int) -> range:
    return range(0, n, max(1, _BLOCK_ELEMENTS // max(1, width)))


def center_distances(x: np.ndarray, centers: np.ndarray, spherical: bool) -> np.ndarray:
    """n x k distances: Euclidean, or 1 - x.c for spherical models; computed block by block."""
    n, k = x.shape[0], centers.shape[0]
    out = np.empty((n, k), dtype=np.float32)
    center_norms = np.einsum("ij,ij->i", centers, centers)
    step = _blocks(n, max(k, x.shape[1])).step
    for start in range(0, n, step):
        xb = x[start : start + step]
        block = out[start : start + step]
        np.matmul(xb, centers.T, out=block)
        if spherical:
            np.subtract(1.0, block, out=block)
        else:
            block *= -2.0
            block += np.einsum("ij,ij->i", xb, xb)[:, None]
            block += center_norms[None, :]
            np.maximum(block, 0.0, out=block)
            np.sqrt(block, out=block)
    return out


def assigned_distance_sum(x: np.ndarray, centers: np.ndarray, labels: np.ndarray, spherical: bool) -> float:
    """Sum over rows of the distance to the row's own center (squared L2, or 1 - x.c)."""
    total = 0.0
    step = _blocks(x.shape[0], x.shape[1]).step
    for start in range(0, x.shape[0], step):
        xb = x[start : start + step]
        cb = centers[labels[start : start + step]]
        if spherical:
            total += float(xb.shape[0]) - float(np.einsum("ij,ij->", xb, cb, dtype=np.float64))
        else:
            diff = xb - cb
            total += float(np.einsum("ij,ij->", diff, diff, dtype=np.float64))
    return total


class VantorixEstimator(BaseEstimator):
    """Base of the public estimators: save/load and pickling through one validated state."""

    n_features_in_: int

    def _state(self) -> Dict[str, Any]:
        """Fitted attributes to save (arrays, numbers or nested models); empty when unfitted."""
        raise NotImplementedError

    def _load_state(self, reader: _persist.StateReader) -> None:
        """Checks and installs fitted attributes read back from a saved state."""
        raise NotImplementedError

    def _n_features_out(self) -> int:
        """Columns of what ``transform`` returns."""
        raise NotImplementedError

    def get_feature_names_out(self, input_features: Any = None) -> np.ndarray:
        """Names of the columns ``transform`` returns: the class name in lower case and an index
        ("kmeans0", "kmeans1", ...), as scikit-learn names a clustering's distances."""
        n_in = getattr(self, "n_features_in_", None)
        if n_in is None:
            from ._validation import check_fitted

            check_fitted(self, "n_features_in_")
        if input_features is not None:
            given = np.asarray(input_features, dtype=object)
            names = getattr(self, "feature_names_in_", None)
            if len(given) != n_in or (names is not None and not np.array_equal(given, names)):
                raise ValueError("input_features is not equal to feature_names_in_")
        prefix = type(self).__name__.lower()
        return np.asarray([f"{prefix}{i}" for i in range(self._n_features_out())], dtype=object)

    @serialised
    def set_params(self, **params: Any) -> Any:
        return super().set_params(**params)

    def _check_params(self) -> None:
        """Types and ranges of the parameters; fit and load run it."""
        check_params(self)

    @serialised
    def save(self, path: _persist.PathLike) -> None:
        """Writes the model (parameters and fitted state) to ``path`` as an ``.npz`` archive."""
        _persist.save(self, path)

    @serialised
    def __reduce__(self) -> Tuple[Any, Tuple[Dict[str, np.ndarray]]]:
        payload = {"vantorix_format": np.array(_persist.FORMAT_VERSION, dtype=np.int64)}
        payload.update(_persist.to_payload(self))
        return (_persist.from_payload, (payload,))

    if HAVE_SKLEARN:

        def __sklearn_tags__(self) -> Any:
            tags = super().__sklearn_tags__()  # type: ignore[misc]
            tags.input_tags.allow_nan = False
            tags.input_tags.sparse = False
            return tags


def record_fit(estimator: Any, native: Any, n_rows: float) -> None:
    """Copies a finished native clustering fit's labels and history onto the estimator.

    ``n_rows``: what the history's means are means over (the row count, or the summed weights).
    """
    history = native.inertia_history
    estimator.labels_ = native.labels.astype(labels_dtype(estimator.n_clusters))
    estimator.inertia_history_ = history
    estimator.n_iter_ = len(history)
    estimator.inertia_ = float(history[-1]) * n_rows


def common_state(estimator: Any, clustering: bool) -> Dict[str, Any]:
    """The saved attributes every model has (plus the fit record of a clustering model)."""
    state: Dict[str, Any] = {}
    if clustering:
        state.update(
            labels_=estimator.labels_,
            inertia_history_=estimator.inertia_history_,
            inertia_=np.float64(estimator.inertia_),
            n_iter_=np.int64(estimator.n_iter_),
        )
    names = getattr(estimator, "feature_names_in_", None)
    if names is not None:
        state["feature_names_in_"] = names.astype(str)
    return state


def load_common_state(estimator: Any, reader: _persist.StateReader, n_features: int, n_clusters: Optional[int]) -> None:
    """Reads and installs what ``common_state`` wrote; call after the model's own arrays passed."""
    attrs: Dict[str, Any] = {"n_features_in_": n_features}
    if n_clusters is not None:
        n_iter = reader.integer("n_iter_")
        if n_iter < 1 or reader.declared_shape("inertia_history_") != (n_iter,):
            raise _persist.ModelFileError(f"inertia_history_ must hold one entry for each of the n_iter_ ({n_iter}) passes")
        history = reader.array("inertia_history_", [np.float64], (n_iter,))
        inertia = reader.number("inertia_")
        if not (np.isfinite(history).all() and (history >= 0).all()):
            raise _persist.ModelFileError("inertia_history_ holds negative or non-finite values")
        # a fit records the last mean distance times the rows: the row count the labels declare
        # is checked before they are read
        rows = reader.declared_shape("labels_")
        if len(rows) != 1 or not np.isclose(inertia, float(history[-1]) * rows[0], rtol=1e-9, atol=0.0):
            raise _persist.ModelFileError("inertia_ does not match inertia_history_ and the number of labels_")
        labels = reader.array("labels_", [np.int32, np.int64], (None,))
        if labels.size and (labels.min() < 0 or labels.max() >= n_clusters):
            raise _persist.ModelFileError("labels_ out of range")
        attrs.update(labels_=labels, inertia_history_=history, n_iter_=n_iter, inertia_=inertia)
    names = reader.optional("feature_names_in_", ["U"], (n_features,))
    if names is not None:
        attrs["feature_names_in_"] = names.astype(object)
    for name, value in attrs.items():
        setattr(estimator, name, value)


def check_finite_state(name: str, arr: Optional[np.ndarray]) -> None:
    if arr is not None and not np.isfinite(arr).all():
        raise _persist.ModelFileError(f"{name} holds non-finite values")
