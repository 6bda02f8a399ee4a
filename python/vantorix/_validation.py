"""Turns whatever a user passes into the strict arrays the native classes take.

Conversion happens here and only here: the native module never converts. Each input is
converted once, to a C-contiguous array of the native dtype, and an array that already fits is
passed through without a copy. Error messages follow scikit-learn's wording where its checks
look for it, and always name the argument.
"""

from __future__ import annotations

import datetime
import warnings
from typing import Any, Callable, Dict, Iterable, Optional

import numpy as np

from ._compat import NotFittedError

_INT32_MAX = np.iinfo(np.int32).max


def _is_sparse(x: object) -> bool:
    module = type(x).__module__ or ""
    return module.startswith("scipy.sparse") or hasattr(x, "tocsr") and hasattr(x, "toarray")


def feature_names(x: object) -> Optional[np.ndarray]:
    """Column names of a DataFrame whose columns are all strings, else None."""
    columns = getattr(x, "columns", None)
    if columns is None or not hasattr(x, "iloc"):
        return None
    names = list(columns)
    kinds = {type(name) is str for name in names}
    if kinds == {True}:
        return np.asarray(names, dtype=object)
    if True in kinds:
        raise TypeError(
            "Feature names are only supported if all input features have string names, but your "
            "input has mixed types; convert the column names to strings, e.g. X.columns = "
            "X.columns.astype(str)"
        )
    return None


_NOT_NUMBERS = (str, bytes, datetime.date, datetime.time, datetime.timedelta, np.datetime64, np.timedelta64)


def _non_numeric(values: Iterable[Any]) -> Optional[Any]:
    """The first text or date value (which numpy would parse or convert to a number), else None.

    Other objects are left to the float conversion, which refuses them with a TypeError.
    """
    for v in values:
        if isinstance(v, _NOT_NUMBERS):
            return v
    return None


def _refuse_non_numeric(name: str, what: str, example: Any) -> None:
    shown = f"dtype {example}" if isinstance(example, np.dtype) or hasattr(example, "kind") else f"{example!r}"
    raise ValueError(
        f"{name}: {what} is not numeric ({shown}); vantorix clusters numbers only: convert or drop such columns first"
    )


def _frame_to_array(x: Any, name: str, dtype: type) -> np.ndarray:
    """A DataFrame (or Series) of numeric columns, nullable Int64/Float64 included (pd.NA -> NaN)."""
    dtypes = list(x.dtypes) if hasattr(x, "columns") else [x.dtype]
    columns = list(x.columns) if hasattr(x, "columns") else [getattr(x, "name", 0)]
    for column, dt in zip(columns, dtypes):
        kind = getattr(dt, "kind", "O")
        if kind in "biuf":  # numpy and pandas' nullable numeric dtypes
            continue
        if kind == "O":  # numbers held as objects are fine, text is not
            values = x[column] if hasattr(x, "columns") else x
            bad = _non_numeric(values.dropna().tolist() if hasattr(values, "dropna") else values)
            if bad is None:
                continue
            _refuse_non_numeric(name, f"column {column!r}", bad)
        _refuse_non_numeric(name, f"column {column!r}", dt)
    try:
        return np.asarray(x.to_numpy(dtype=dtype, na_value=np.nan))
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name}: cannot convert the DataFrame to {np.dtype(dtype).name}: {exc}") from None


def _to_array(x: object, name: str, dtype: type) -> np.ndarray:
    if _is_sparse(x):
        raise TypeError(
            f"{name}: a sparse matrix was passed, but dense data is required; "
            "use .toarray() to convert it to a dense numpy array"
        )
    if hasattr(x, "iloc") and hasattr(x, "to_numpy"):  # pandas: one conversion, no object detour
        return _frame_to_array(x, name, dtype)
    if isinstance(x, (str, bytes)):
        _refuse_non_numeric(name, "the input", x)
    try:
        arr = np.asarray(x)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name}: cannot be read as a numeric array: {exc}") from None
    if arr.dtype.kind == "c":
        raise ValueError(f"{name}: Complex data not supported")
    if arr.dtype.kind in "USMmV":
        _refuse_non_numeric(name, "the data", arr.dtype)
    if arr.dtype.kind == "O":
        bad = _non_numeric(arr.flat)
        if bad is not None:
            _refuse_non_numeric(name, "a value", bad)
        try:
            arr = arr.astype(dtype)
        except (TypeError, ValueError) as exc:
            raise type(exc)(f"{name}: cannot convert {arr.dtype} values to {np.dtype(dtype).name}: {exc}") from None
    return arr


def _check_2d(arr: np.ndarray, name: str, min_rows: int = 1) -> None:
    if arr.ndim != 2:
        raise ValueError(
            f"{name}: expected a 2D array, got a {arr.ndim}D array of shape {arr.shape} instead. "
            "Reshape your data with .reshape(-1, 1) for a single feature or .reshape(1, -1) for "
            "a single sample."
        )
    if arr.shape[0] < min_rows:
        raise ValueError(
            f"{name}: Found array with {arr.shape[0]} sample(s) (shape={arr.shape}) while a "
            f"minimum of {min_rows} is required."
        )
    if arr.shape[1] < 1:
        raise ValueError(
            f"{name}: Found array with 0 feature(s) (shape={arr.shape}) while a minimum of 1 is required."
        )


def check_finite(arr: np.ndarray, name: str) -> None:
    # One float64 sum finds any NaN or infinity without a boolean copy of the data; a float32
    # matrix cannot overflow a float64 sum, so only a non-finite element makes it non-finite.
    if arr.size and not np.isfinite(np.add.reduce(arr, axis=None, dtype=np.float64)):
        what = "NaN" if np.isnan(arr).any() else "infinity"
        raise ValueError(f"Input {name} contains {what}; every value must be finite")


def as_matrix(x: object, name: str = "X", *, min_rows: int = 1, finite: bool = True) -> np.ndarray:
    """A 2-D C-contiguous float32 array of finite values; no copy when ``x`` already is one.

    ``finite=False`` skips the finiteness check, for data checked on an earlier pass.
    """
    arr = _to_array(x, name, np.float32)
    _check_2d(arr, name, min_rows)
    arr = _aligned(np.ascontiguousarray(arr, dtype=np.float32))
    if finite:
        check_finite(arr, name)
    return arr


def _aligned(arr: np.ndarray) -> np.ndarray:
    # buffers unpickled from another process (Dask, multiprocessing) can be unaligned, which
    # the native module refuses
    return arr if arr.flags.aligned else arr.copy()


def as_vector(x: object, name: str, length: int) -> np.ndarray:
    """A 1-D C-contiguous float32 array of ``length`` finite values."""
    arr = _to_array(x, name, np.float32)
    if arr.ndim != 1 or arr.shape[0] != length:
        raise ValueError(f"{name}: expected shape ({length},), got {arr.shape}")
    arr = _aligned(np.ascontiguousarray(arr, dtype=np.float32))
    check_finite(arr, name)
    return arr


def as_codes(x: object, name: str, num_subquantizers: int, codebook_size: int) -> np.ndarray:
    """A 2-D C-contiguous uint8 code matrix whose values lie below the codebook size."""
    arr = _to_array(x, name, np.uint8)
    _check_2d(arr, name)
    if arr.dtype.kind not in "biu":
        raise ValueError(f"{name}: codes must be integers, got {arr.dtype}")
    if arr.shape[1] != num_subquantizers:
        raise ValueError(f"{name}: codes have {arr.shape[1]} columns, expected {num_subquantizers}")
    if arr.dtype != np.uint8 and arr.size and (arr.min() < 0 or arr.max() > 255):
        raise ValueError(f"{name}: codes must lie in [0, {codebook_size - 1}]")
    arr = np.ascontiguousarray(arr, dtype=np.uint8)
    if arr.size and int(arr.max()) >= codebook_size:
        raise ValueError(f"{name}: codes must lie in [0, {codebook_size - 1}]")
    return arr


def is_uint8(x: object) -> bool:
    """uint8 arrays and all-uint8 DataFrames (dtypes checked in column order, never as a set)."""
    dtype = getattr(x, "dtype", None)
    if dtype is None and hasattr(x, "dtypes"):  # DataFrame
        kinds = list(getattr(x, "dtypes"))
        return bool(kinds) and all(isinstance(k, np.dtype) and k == np.uint8 for k in kinds)
    return isinstance(dtype, np.dtype) and dtype == np.uint8


def labels_dtype(k: int) -> type:
    return np.int32 if k <= _INT32_MAX else np.int64


def check_fitted(estimator: Any, attribute: str) -> None:
    if not hasattr(estimator, attribute):
        raise NotFittedError(
            f"This {type(estimator).__name__} instance is not fitted yet. Call 'fit' with "
            "appropriate arguments before using this estimator."
        )


def check_features(estimator: Any, x: object, arr: np.ndarray, *, reset: bool) -> None:
    """Records (reset=True) or checks the number and names of the input's features."""
    names = feature_names(x)
    cls = type(estimator).__name__
    if reset:
        estimator.n_features_in_ = arr.shape[1]
        if names is not None:
            estimator.feature_names_in_ = names
        elif hasattr(estimator, "feature_names_in_"):
            del estimator.feature_names_in_
        return
    fitted_names = getattr(estimator, "feature_names_in_", None)
    if fitted_names is not None and names is None:
        warnings.warn(f"X does not have valid feature names, but {cls} was fitted with feature names", UserWarning)
    elif fitted_names is None and names is not None:
        warnings.warn(f"X has feature names, but {cls} was fitted without feature names", UserWarning)
    elif fitted_names is not None and names is not None:
        if len(fitted_names) != len(names) or np.any(fitted_names != names):
            unseen = sorted(set(names) - set(fitted_names))
            missing = sorted(set(fitted_names) - set(names))
            detail = ""
            if unseen:
                detail += f"\nFeature names unseen at fit time:\n- " + "\n- ".join(unseen)
            if missing:
                detail += f"\nFeature names seen at fit time, yet now missing:\n- " + "\n- ".join(missing)
            if not detail:
                detail = "\nFeature names must be in the same order as they were in fit."
            raise ValueError("The feature names should match those that were passed during fit." + detail)
    expected = estimator.n_features_in_
    if arr.shape[1] != expected:
        raise ValueError(
            f"X has {arr.shape[1]} features, but {cls} is expecting {expected} features as input."
        )


# --- parameters -----------------------------------------------------------------------------
# Checked in Python before the native layer sees them, so a bad value is reported against the
# public name (n_clusters, max_iter, ...) as ValueError or TypeError, never as the native
# argument's OverflowError. bool is an int subclass but never a count, str never a flag, and
# a float never an integer, even when it holds a whole number. The check_* functions are the
# rules; an estimator's constructor parameters go through them by name (check_params).

_U64_MAX = 2**64 - 1


def _bound(value: int) -> str:
    return "2**64 - 1" if value == _U64_MAX else str(value)


def check_int(name: str, value: Any, low: int = 1, high: int = _U64_MAX) -> int:
    span = f"[{_bound(low)}, {_bound(high)}]"
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int in {span}, got {value!r} ({type(value).__name__})")
    if not low <= int(value) <= high:
        raise ValueError(f"{name} must be an int in {span}, got {int(value)}")
    return int(value)


def check_flag(name: str, value: Any) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {value!r} ({type(value).__name__})")
    return bool(value)


def check_real(name: str, value: Any, low: float = 0.0) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a real number >= {low}, got {value!r} ({type(value).__name__})")
    if not (np.isfinite(value) and value >= low):
        raise ValueError(f"{name} must be a finite number >= {low}, got {value!r}")
    return float(value)


def check_verbose(value: Any) -> bool:
    """verbose: a bool, or an int level as scikit-learn takes it (0 is quiet)."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)) and value >= 0:
        return bool(value)
    raise TypeError(f"verbose must be True, False or an int >= 0, got {value!r} ({type(value).__name__})")


def check_choice(name: str, value: Any, choices: Any) -> str:
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(repr(c) for c in choices)}, got {value!r}")
    return value


def check_seed(name: str, value: Any) -> None:
    """An int seed must fit the native 64 bits; None and generators are resolve_seed's to read."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)) and not 0 <= value <= _U64_MAX:
        raise ValueError(f"{name} must be in [0, 2**64), got {value}")


Rule = Callable[[str, Any], Any]


def count(low: int = 1, high: int = _U64_MAX) -> Rule:
    """The rule of an integer parameter in [low, high]."""
    return lambda name, value: check_int(name, value, low, high)


def one_of(*choices: str) -> Rule:
    return lambda name, value: check_choice(name, value, choices)


# The rule of every constructor parameter that means the same in every estimator. Parameters
# whose check needs the data (init arrays) or another object (quantizer) are checked where
# they are used; an estimator adds its own rules in ``_param_rules``.
PARAM_RULES: Dict[str, Rule] = {
    "n_clusters": count(1),
    "max_iter": count(1),
    "num_subquantizers": count(1),
    "codebook_size": count(2, 256),
    "opq_iterations": count(0),
    "refine_exact_top_l": count(1),
    "lookup_table_bytes": count(0),
    "init_sample_rows": count(0),
    "init_max_iter": count(0),
    "early_stopping": check_flag,
    "spherical": check_flag,
    "verbose": lambda name, value: check_verbose(value),
    "random_state": check_seed,
}


def check_params(estimator: Any) -> None:
    """Types and ranges of an estimator's constructor parameters, before any work.

    ``fit`` runs it, and so does loading a saved model, whose parameters come from a file.
    """
    rules: Dict[str, Rule] = getattr(estimator, "_param_rules", PARAM_RULES)
    for name, value in estimator.get_params(deep=False).items():
        rule = rules.get(name)
        if rule is not None:
            rule(name, value)
