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

Loading reads regular files only. It bounds the archive's member list, refuses unknown,
repeated, encrypted or oddly compressed members, reads each member's header first and checks
that the member holds exactly that header and its data, checks every array's dtype and shape
against the model before reading its data, reads each member to its end (so that its checksum
is compared), and then checks the model's invariants (finite values, orthogonal rotations, code
ranges, arrays that derive from each other, parameter types and ranges). Any damage becomes a
``ValueError`` that names the file. Pickling uses the same dictionary of arrays and the same
checks.
"""

from __future__ import annotations

import json
import os
import re
import stat
import struct
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
    try:
        with open(path, "wb") as f:
            np.savez_compressed(f, **payload)  # type: ignore[arg-type]
    except OSError as exc:
        # a failed write (a full disk) says nothing of the file it was writing
        raise OSError(exc.errno, f"{shown_path(path)}: {exc.strerror or exc}") from None


# --- reading --------------------------------------------------------------------------------
#
# A saved model is read from entries: numpy arrays (an unpickled payload) or members of an
# archive that are read only when the model asks for them, after their dtype and shape passed.

_MAX_MEMBERS = 64  # a model has about 20 entries
_MAX_DIRECTORY = 1 << 20  # bytes of the archive's member list
_MAX_HEADER = 4096  # bytes of a member's .npy header; numpy writes about 128
_MAX_TEXT = 1 << 16  # characters of the model name and the parameters
_CHUNK = 1 << 20  # bytes decompressed at a time
_DEFLATE_RATIO = 1032  # the most deflate can expand its input
_KINDS = "biufU"
_MAX_PARAM_ARRAY_BYTES = 1 << 28
_ENTRY = re.compile(r"vantorix_format|(?:(?:param|state)/\w+/)*(?:model|params|state/\w+|paramarray/\w+)", re.ASCII)
_HEADER = re.compile(
    r"\{\s*'descr':\s*'([<>|=][biufU]\d{1,6})',\s*'fortran_order':\s*(True|False),\s*"
    r"'shape':\s*\(\s*((?:\d{1,19}\s*,\s*)*(?:\d{1,19})?)\s*\),?\s*\}\s*",
    re.ASCII,
)


class _Member:
    """One ``.npy`` member of an archive: its header is read now, its data when asked."""

    def __init__(self, archive: zipfile.ZipFile, info: zipfile.ZipInfo) -> None:
        self._archive = archive
        self._info = info
        self.name = info.filename
        with archive.open(info) as f:
            head = f.read(10)
            if len(head) < 10 or head[:6] != b"\x93NUMPY" or head[6] not in (1, 2, 3):
                raise ModelFileError(f"{self.name}: not a .npy member")
            if head[6] == 1:
                length, start = struct.unpack("<H", head[8:10])[0], 10
            else:
                head += f.read(2)
                if len(head) < 12:
                    raise ModelFileError(f"{self.name}: truncated header")
                length, start = struct.unpack("<I", head[8:12])[0], 12
            if length > _MAX_HEADER:
                raise ModelFileError(f"{self.name}: header of {length} bytes is too long")
            header = f.read(length)
        if len(header) != length:
            raise ModelFileError(f"{self.name}: truncated header")
        match = _HEADER.fullmatch(header.decode("latin-1"))
        if match is None:
            raise ModelFileError(f"{self.name}: malformed header")
        self.dtype = np.dtype(match.group(1))
        self.fortran = match.group(2) == "True"
        self.shape = tuple(int(v) for v in match.group(3).replace(",", " ").split())
        count = 1
        for extent in self.shape:
            count *= extent
        self.count = count
        self.offset = start + length
        # the member holds exactly its header and its data; checking the declared size against
        # the header before reading anything bounds what reading can allocate, and a member
        # that is longer would hide bytes from its checksum
        if self.offset + count * self.dtype.itemsize != info.file_size:
            raise ModelFileError(
                f"{self.name}: holds {info.file_size} bytes, its header describes {self.offset + count * self.dtype.itemsize}"
            )

    def read(self) -> np.ndarray:
        out = np.empty(self.count, dtype=self.dtype)
        buffer = memoryview(out.view(np.uint8).data) if out.nbytes else memoryview(bytearray())
        with self._archive.open(self._info) as raw:
            f: Any = raw  # a ZipExtFile, which reads into a buffer
            f.read(self.offset)
            done = 0
            while done < out.nbytes:
                got = f.readinto(buffer[done : done + _CHUNK])
                if not got:
                    raise ModelFileError(f"{self.name}: truncated")
                done += got
            # reaching the end is what makes the archive compare the member's checksum
            if f.read(1):
                raise ModelFileError(f"{self.name}: longer than its header says")
        shape = self.shape[::-1] if self.fortran else self.shape
        arr = out.reshape(shape)
        return arr.transpose() if self.fortran else arr


Entry = Union[np.ndarray, _Member]


def _spec(entry: Entry) -> Tuple[np.dtype, Tuple[int, ...]]:
    # byte order is not part of what a model checks: _value reads every entry in native order
    return entry.dtype.newbyteorder("="), tuple(entry.shape)


def _value(entry: Entry) -> np.ndarray:
    """The entry's data: native byte order, aligned and C-contiguous (the native module's terms)."""
    arr = entry.read() if isinstance(entry, _Member) else entry
    arr = arr.astype(arr.dtype.newbyteorder("="), copy=False)
    return np.require(arr, requirements=["C", "A"])


def _check_entries(entries: Any) -> Dict[str, Entry]:
    """Entries of a payload: known names, arrays of numbers or text, nothing else."""
    if not isinstance(entries, dict):
        raise ModelFileError(f"a model payload is a dict of arrays, got {type(entries).__name__}")
    if len(entries) > _MAX_MEMBERS:
        raise ModelFileError(f"{len(entries)} entries, a model has at most {_MAX_MEMBERS}")
    out: Dict[str, Entry] = {}
    for key, entry in entries.items():
        if not isinstance(key, str) or not _ENTRY.fullmatch(key):
            raise ModelFileError(f"unexpected entry {key!r}")
        if not isinstance(entry, (np.ndarray, _Member)):
            raise ModelFileError(f"{key} is a {type(entry).__name__}, not an array")
        if entry.dtype.kind not in _KINDS or entry.dtype.hasobject or entry.dtype.fields is not None:
            raise ModelFileError(f"{key}: dtype {entry.dtype} is not allowed")
        out[key] = entry
    return out


class StateReader:
    """Hands a model its saved fitted attributes, each checked for dtype and shape."""

    def __init__(self, arrays: Dict[str, Entry], prefix: str) -> None:
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
        dtype, got_shape = _spec(self._arrays[key])
        self.used.add(key)
        # checked before the data is read: a one-letter string names a dtype kind ("U": text of
        # any length)
        if not any(dtype.kind == d if isinstance(d, str) and len(d) == 1 else dtype == np.dtype(d) for d in dtypes):
            raise self._fail(f"{name} has dtype {dtype}, expected {' or '.join(str(d if isinstance(d, str) else np.dtype(d)) for d in dtypes)}")
        if len(got_shape) != len(shape) or any(want is not None and got != want for got, want in zip(got_shape, shape)):
            want_text = "(" + ", ".join("*" if w is None else str(w) for w in shape) + ")"
            raise self._fail(f"{name} has shape {got_shape}, expected {want_text}")
        if dtype.kind == "U" and dtype.itemsize > 4 * _MAX_TEXT:
            raise self._fail(f"{name} holds texts longer than {_MAX_TEXT} characters")
        return _value(self._arrays[key])

    def declared_shape(self, name: str) -> Tuple[int, ...]:
        """The shape an entry declares, without reading its data."""
        key = self._prefix + name
        if key not in self._arrays:
            raise self._fail(f"missing {name}")
        return _spec(self._arrays[key])[1]

    def optional(self, name: str, dtypes: Sequence[Any], shape: Tuple[Optional[int], ...]) -> Optional[np.ndarray]:
        return self.array(name, dtypes, shape) if self.has(name) else None

    def integer(self, name: str, low: int = 0) -> int:
        value = int(self.array(name, [np.int64], ()))
        if value < low:
            raise self._fail(f"{name} is {value}, expected at least {low}")
        return value

    def number(self, name: str) -> float:
        value = float(self.array(name, [np.float64], ()))
        if not np.isfinite(value) or value < 0:
            raise self._fail(f"{name} is {value}, expected a finite non-negative number")
        return value

    def model(self, name: str, cls: Type[Any]) -> Any:
        nested_prefix = f"{self._prefix}{name}/"
        value = from_payload(self._arrays, nested_prefix, self.used)
        if not isinstance(value, cls):
            raise self._fail(f"{name} is a {type(value).__name__}, expected {cls.__name__}")
        return value


def _str_scalar(arrays: Dict[str, Entry], key: str) -> str:
    entry = arrays.get(key)
    if entry is None:
        raise ModelFileError(f"missing {key}")
    dtype, shape = _spec(entry)
    if dtype.kind != "U" or shape != ():
        raise ModelFileError(f"{key} must be a string scalar")
    if dtype.itemsize > 4 * _MAX_TEXT:
        raise ModelFileError(f"{key} is longer than {_MAX_TEXT} characters")
    return str(_value(entry)[()])


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a number a model can have")


def _params(arrays: Dict[str, Entry], key: str) -> Any:
    try:
        return json.loads(_str_scalar(arrays, key), parse_constant=_no_constant)
    except (ValueError, RecursionError) as exc:
        # a flat object is all a model writes; deep nesting is damage, not a model
        raise ModelFileError(f"{key} is not valid JSON: {exc if not isinstance(exc, RecursionError) else 'nested too deeply'}") from None


def from_payload(arrays: Any, prefix: str = "", used: Optional[Set[str]] = None) -> Any:
    """Rebuilds a model from its entries; every entry under ``prefix`` must be accounted for."""
    top = used is None
    used = set() if used is None else used
    if top:
        arrays = _check_entries(arrays)
        version = arrays.get("vantorix_format")
        if version is None or _spec(version) != (np.dtype(np.int64), ()):
            raise ModelFileError("not a vantorix model (no vantorix_format entry)")
        number = int(_value(version)[()])
        if number != FORMAT_VERSION:
            raise ModelFileError(f"format version {number} is not supported (this version reads {FORMAT_VERSION})")
        used.add("vantorix_format")
    name = _str_scalar(arrays, prefix + "model")
    cls = MODELS.get(name)
    if cls is None:
        raise ModelFileError(f"unknown model {name!r}")
    params = _params(arrays, prefix + "params")
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
            # an array parameter is a (n_clusters, n_features) float64 matrix (starting centers)
            dtype, shape = _spec(arrays[array_key])
            if dtype != np.float64 or len(shape) != 2 or shape[0] != params.get("n_clusters"):
                raise ModelFileError(f"{array_key} must be a float64 matrix of n_clusters rows")
            if shape[0] * shape[1] * 8 > _MAX_PARAM_ARRAY_BYTES:
                raise ModelFileError(f"{array_key} of shape {shape} is larger than a parameter can be")
            params[key] = _value(arrays[array_key])
            used.add(array_key)
        elif prefix + f"param/{key}/model" in arrays:
            params[key] = from_payload(arrays, f"{prefix}param/{key}/", used)
    try:
        model = cls(**params)
        model._check_params()
    except (TypeError, ValueError, OverflowError) as exc:
        raise ModelFileError(f"{name}: invalid parameters: {exc}") from None
    reader = StateReader(arrays, prefix + "state/")
    try:
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


def shown_path(path: Any) -> str:
    """The path as a message can show it: undecodable bytes and control characters escaped."""
    name = os.fsdecode(path)
    return "".join(ch if ch.isprintable() else ch.encode("unicode_escape", "backslashreplace").decode("ascii") for ch in name)


def _open_regular(path: Any) -> Any:
    # a FIFO would block the open and a device never ends: look before opening, then check the
    # file that was opened (the name may point elsewhere by then)
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise ModelFileError("not a regular file")
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ModelFileError("not a regular file")
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _check_directory(f: Any) -> None:
    """Bounds the archive's member list before the zip reader loads all of it.

    Finds the end record as the zip reader does (the last 22 bytes, else the last signature in
    the final 64 KiB) and its zip64 form when there is one.
    """
    size = f.seek(0, os.SEEK_END)
    tail_size = min(size, 22 + 0xFFFF)
    f.seek(size - tail_size)
    tail = f.read(tail_size)
    at = tail_size - 22 if tail[-22:-18] == b"PK\x05\x06" and tail[-2:] == b"\0\0" else tail.rfind(b"PK\x05\x06")
    if at < 0 or tail_size - at < 22:
        return  # not a zip archive: the zip reader says so
    entries, directory = struct.unpack("<10xHL6x", tail[at : at + 22])
    record_at = size - tail_size + at
    if record_at >= 20 + 56:
        f.seek(record_at - 20)
        locator = f.read(20)
        if locator[:4] == b"PK\x06\x07":
            f.seek(record_at - 20 - 56)
            record = f.read(56)
            if record[:4] == b"PK\x06\x06":
                entries, directory = struct.unpack("<32xQQ8x", record)
    if entries > _MAX_MEMBERS or directory > _MAX_DIRECTORY:
        raise ModelFileError(f"the archive lists {entries} members in {directory} bytes; a model has at most {_MAX_MEMBERS}")
    f.seek(0)


def _members(archive: zipfile.ZipFile, size: int) -> Dict[str, Entry]:
    members: Dict[str, Entry] = {}
    infos = archive.infolist()
    if len(infos) > _MAX_MEMBERS:
        raise ModelFileError(f"the archive has {len(infos)} members; a model has at most {_MAX_MEMBERS}")
    for info in infos:
        name = info.filename
        key = name[:-4]
        if not name.endswith(".npy") or not _ENTRY.fullmatch(key):
            raise ModelFileError(f"unexpected member {name!r}")
        if key in members:
            raise ModelFileError(f"member {name} appears twice")
        if info.flag_bits & 0x1:
            raise ModelFileError(f"{name}: encrypted members are not supported")
        if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
            raise ModelFileError(f"{name}: compression method {info.compress_type} is not supported")
        if info.compress_size > size:
            raise ModelFileError(f"{name}: claims {info.compress_size} compressed bytes in a file of {size}")
        limit = info.compress_size if info.compress_type == zipfile.ZIP_STORED else _DEFLATE_RATIO * info.compress_size + 1024
        if info.file_size > limit:
            raise ModelFileError(f"{name}: claims {info.file_size} bytes from {info.compress_size} compressed bytes")
        members[key] = _Member(archive, info)
    return members


# What a damaged archive can make the readers raise; each becomes a ModelFileError that names the
# file. (OSError is the file system's and stays one.)
_DAMAGE = (
    zipfile.BadZipFile,
    zlib.error,
    EOFError,
    UnicodeError,
    MemoryError,
    ValueError,
    KeyError,
    IndexError,
    TypeError,
    OverflowError,
    NotImplementedError,
    RuntimeError,
    struct.error,
)


def load(path: PathLike) -> Any:
    """Loads a model written by ``save``.

    A damaged or foreign file raises ``ModelFileError`` (a ``ValueError``), a file that cannot
    be read ``OSError``; both name the file. Only regular files are read, and nothing is read
    before its size has been checked against what the model can hold.
    """
    shown = shown_path(path)  # TypeError for anything that is not a path
    try:
        with _open_regular(path) as f:
            _check_directory(f)
            size = os.fstat(f.fileno()).st_size
            with zipfile.ZipFile(f) as archive:
                return from_payload(_members(archive, size))
    except ModelFileError as exc:
        raise ModelFileError(f"{shown}: {exc}") from None
    except OSError as exc:
        raise OSError(exc.errno, f"{shown}: {exc.strerror or exc}") from None
    except _DAMAGE as exc:
        reason = str(exc) or type(exc).__name__
        raise ModelFileError(f"{shown}: not a readable vantorix model file ({reason})") from None
