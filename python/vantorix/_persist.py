"""Saving and loading models as plain ``.npz`` archives, never pickle.

Layout, format version 1 (every entry is a ``.npy`` member of a zip archive):

    vantorix_format    int64 scalar, the layout version (1)
    model              str scalar: "KMeans", "ProductQuantizer" or "PQKMeans"
    params             str scalar: JSON object of the constructor parameters that are numbers,
                       strings, booleans or null
    param/<name>/...   a parameter that is itself a model (PQKMeans.quantizer), same layout
                       without vantorix_format
    state/<name>       a fitted attribute (absent for an unfitted model)
    state/<name>/...   a fitted attribute that is itself a model (PQKMeans.quantizer_)

Loading reads each member's header first and checks its dtype and size before reading its
data, refuses object arrays, checks every array's dtype and shape against the model, and
turns any damage into a ``ValueError``. Pickling uses the same dictionary of arrays.
"""

from __future__ import annotations

import json
import os
import zipfile
import zlib
from typing import Any, Dict, Optional, Sequence, Set, Tuple, Type, Union

import numpy as np

FORMAT_VERSION = 1
MODELS: Dict[str, Type[Any]] = {}

PathLike = Union[str, "os.PathLike[str]"]


class ModelFileError(ValueError):
    """A file or payload that is not a valid saved model."""


def register(cls: Type[Any]) -> Type[Any]:
    MODELS[cls.__name__] = cls
    return cls


# --- writing --------------------------------------------------------------------------------


def _rng_json(value: Any) -> Any:
    """A numpy random generator as JSON (its kind and full state), so models that hold one
    still save, pickle and deep-copy; arrays in the state become lists."""

    def plain(v: Any) -> Any:
        if isinstance(v, np.ndarray):
            return {"__array__": v.tolist(), "dtype": v.dtype.str}
        if isinstance(v, dict):
            return {k: plain(x) for k, x in v.items()}
        return v.item() if isinstance(v, np.generic) else v

    if isinstance(value, np.random.RandomState):
        return {"__rng__": "RandomState", "state": plain(value.get_state(legacy=False))}
    return {"__rng__": "Generator", "state": plain(value.bit_generator.state)}


def _rng_from_json(obj: Dict[str, Any]) -> Any:
    def arrays(v: Any) -> Any:
        if isinstance(v, dict) and "__array__" in v:
            return np.asarray(v["__array__"], dtype=np.dtype(v["dtype"]))
        return {k: arrays(x) for k, x in v.items()} if isinstance(v, dict) else v

    try:
        state = arrays(obj["state"])
        if obj["__rng__"] == "RandomState":
            rng = np.random.RandomState()
            rng.set_state(state)
            return rng
        bit_generator = getattr(np.random, state["bit_generator"])()
        bit_generator.state = state
        return np.random.Generator(bit_generator)
    except (KeyError, TypeError, ValueError, AttributeError) as exc:
        raise ModelFileError(f"params: a saved random generator cannot be restored ({exc})") from None


def _json_value(owner: str, name: str, value: Any) -> Any:
    if isinstance(value, (np.random.RandomState, np.random.Generator)):
        return _rng_json(value)
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value)
    raise TypeError(
        f"{owner}: parameter {name}={value!r} cannot be saved; only numbers, strings, booleans, "
        "None and vantorix models can (pass an int as random_state)"
    )


def to_payload(model: Any, prefix: str = "") -> Dict[str, np.ndarray]:
    owner = type(model).__name__
    out: Dict[str, np.ndarray] = {prefix + "model": np.array(owner)}
    simple = {}
    for name, value in model.get_params(deep=False).items():
        if type(value).__name__ in MODELS and hasattr(value, "_state"):
            out.update(to_payload(value, f"{prefix}param/{name}/"))
        elif isinstance(value, np.ndarray) or isinstance(value, (list, tuple)):
            # an array parameter (KMeans init= starting centers)
            out[f"{prefix}paramarray/{name}"] = np.asarray(value, dtype=np.float64)
        else:
            simple[name] = _json_value(owner, name, value)
    out[prefix + "params"] = np.array(json.dumps(simple, sort_keys=True))
    for name, value in model._state().items():
        if hasattr(value, "_state"):
            out.update(to_payload(value, f"{prefix}state/{name}/"))
        else:
            out[f"{prefix}state/{name}"] = np.asarray(value)
    return out


def save(model: Any, path: PathLike) -> None:
    payload = {"vantorix_format": np.array(FORMAT_VERSION, dtype=np.int64)}
    payload.update(to_payload(model))
    # np.savez appends ".npz" to names without it; write through a file object so the file is
    # exactly the path the caller gave
    with open(path, "wb") as f:
        np.savez_compressed(f, **payload)  # type: ignore[arg-type]


# --- reading --------------------------------------------------------------------------------


class StateReader:
    """Hands a model its saved fitted attributes, each checked for dtype and shape."""

    def __init__(self, arrays: Dict[str, np.ndarray], prefix: str) -> None:
        self._arrays = arrays
        self._prefix = prefix
        self.used: Set[str] = set()

    def _fail(self, message: str) -> ModelFileError:
        return ModelFileError(f"{self._prefix or 'state/'}: {message}")

    def has(self, name: str) -> bool:
        return self._prefix + name in self._arrays or self._prefix + name + "/model" in self._arrays

    def array(self, name: str, dtypes: Sequence[Any], shape: Tuple[Optional[int], ...]) -> np.ndarray:
        key = self._prefix + name
        if key not in self._arrays:
            raise self._fail(f"missing {name}")
        arr = self._arrays[key]
        self.used.add(key)
        # a one-letter string names a dtype kind ("U": text of any length)
        if not any(arr.dtype.kind == d if isinstance(d, str) and len(d) == 1 else arr.dtype == np.dtype(d) for d in dtypes):
            raise self._fail(f"{name} has dtype {arr.dtype}, expected {' or '.join(str(d if isinstance(d, str) else np.dtype(d)) for d in dtypes)}")
        if arr.ndim != len(shape) or any(want is not None and got != want for got, want in zip(arr.shape, shape)):
            want_text = "(" + ", ".join("*" if w is None else str(w) for w in shape) + ")"
            raise self._fail(f"{name} has shape {arr.shape}, expected {want_text}")
        return arr if arr.flags.c_contiguous else arr.copy(order="C")

    def optional(self, name: str, dtypes: Sequence[Any], shape: Tuple[Optional[int], ...]) -> Optional[np.ndarray]:
        return self.array(name, dtypes, shape) if self.has(name) else None

    def integer(self, name: str, low: int = 0) -> int:
        value = int(self.array(name, [np.int64], ()))
        if value < low:
            raise self._fail(f"{name} is {value}, expected at least {low}")
        return value

    def number(self, name: str) -> float:
        value = float(self.array(name, [np.float64], ()))
        if not np.isfinite(value):
            raise self._fail(f"{name} is not finite")
        return value

    def model(self, name: str, cls: Type[Any]) -> Any:
        nested_prefix = f"{self._prefix}{name}/"
        value = from_payload(self._arrays, nested_prefix, self.used)
        if not isinstance(value, cls):
            raise self._fail(f"{name} is a {type(value).__name__}, expected {cls.__name__}")
        return value


def _str_scalar(arrays: Dict[str, np.ndarray], key: str) -> str:
    arr = arrays.get(key)
    if arr is None:
        raise ModelFileError(f"missing {key}")
    if arr.dtype.kind != "U" or arr.ndim != 0:
        raise ModelFileError(f"{key} must be a string scalar")
    return str(arr)


def from_payload(arrays: Dict[str, np.ndarray], prefix: str = "", used: Optional[Set[str]] = None) -> Any:
    """Rebuilds a model from its arrays; every entry under ``prefix`` must be accounted for."""
    top = used is None
    used = set() if used is None else used
    if top:
        version = arrays.get("vantorix_format")
        if version is None or version.dtype != np.int64 or version.ndim != 0:
            raise ModelFileError("not a vantorix model (no vantorix_format entry)")
        if int(version) != FORMAT_VERSION:
            raise ModelFileError(f"format version {int(version)} is not supported (this version reads {FORMAT_VERSION})")
        used.add("vantorix_format")
    name = _str_scalar(arrays, prefix + "model")
    cls = MODELS.get(name)
    if cls is None:
        raise ModelFileError(f"unknown model {name!r}")
    try:
        params = json.loads(_str_scalar(arrays, prefix + "params"))
    except json.JSONDecodeError as exc:
        raise ModelFileError(f"{prefix}params is not valid JSON: {exc}") from None
    used.update({prefix + "model", prefix + "params"})
    allowed = set(cls._get_param_names())
    if not isinstance(params, dict) or not set(params) <= allowed:
        raise ModelFileError(f"{prefix}params does not describe a {name}")
    for key, value in params.items():
        if isinstance(value, dict) and "__rng__" in value:
            params[key] = _rng_from_json(value)
        elif not (value is None or isinstance(value, (bool, int, float, str))):
            raise ModelFileError(f"{prefix}params: {key} has an unsupported value")
    for key in allowed - set(params):
        array_key = f"{prefix}paramarray/{key}"
        if array_key in arrays:
            if arrays[array_key].dtype != np.float64:
                raise ModelFileError(f"{array_key} must be float64")
            params[key] = arrays[array_key]
            used.add(array_key)
        elif prefix + f"param/{key}/model" in arrays:
            params[key] = from_payload(arrays, f"{prefix}param/{key}/", used)
    try:
        model = cls(**params)
        reader = StateReader(arrays, prefix + "state/")
        if any(k.startswith(prefix + "state/") for k in arrays):
            model._load_state(reader)
    except ModelFileError:
        raise
    except (TypeError, ValueError, OverflowError) as exc:
        raise ModelFileError(f"{name}: invalid saved state: {exc}") from None
    used.update(reader.used)
    if top:
        extra = sorted(set(arrays) - used)
        if extra:
            raise ModelFileError(f"unexpected entries: {', '.join(extra[:5])}")
    return model


def _read_member(archive: zipfile.ZipFile, info: zipfile.ZipInfo) -> np.ndarray:
    fmt = np.lib.format
    with archive.open(info) as f:
        version = fmt.read_magic(f)
        if version == (1, 0):
            shape, fortran, dtype = fmt.read_array_header_1_0(f)
        elif version == (2, 0):
            shape, fortran, dtype = fmt.read_array_header_2_0(f)
        else:
            raise ModelFileError(f"{info.filename}: unsupported .npy version {version}")
        if dtype.hasobject or dtype.kind not in "biufU":
            raise ModelFileError(f"{info.filename}: dtype {dtype} is not allowed")
        count = 1
        for extent in shape:
            count *= int(extent)
        # the declared shape must fit in the member, so a forged header cannot make us
        # allocate more than the archive really holds
        if count * dtype.itemsize > info.file_size:
            raise ModelFileError(f"{info.filename}: header declares more data than the file holds")
        data = f.read(count * dtype.itemsize)
        if len(data) != count * dtype.itemsize:
            raise ModelFileError(f"{info.filename}: truncated")
    arr = np.frombuffer(data, dtype=dtype, count=count)
    arr = arr.reshape(shape[::-1]).transpose() if fortran else arr.reshape(shape)
    return np.array(arr, dtype=dtype.newbyteorder("="))


def load(path: PathLike) -> Any:
    """Loads a model written by ``save``; a damaged or foreign file raises ``ValueError``."""
    try:
        arrays: Dict[str, np.ndarray] = {}
        with zipfile.ZipFile(path) as archive:
            for info in archive.infolist():
                if not info.filename.endswith(".npy"):
                    raise ModelFileError(f"unexpected member {info.filename}")
                arrays[info.filename[:-4]] = _read_member(archive, info)
        return from_payload(arrays)
    except ModelFileError as exc:
        raise ModelFileError(f"{os.fspath(path)}: {exc}") from None
    except (zipfile.BadZipFile, zlib.error, EOFError, UnicodeDecodeError, MemoryError, ValueError, KeyError) as exc:
        raise ModelFileError(f"{os.fspath(path)}: not a readable vantorix model file ({exc})") from None
