"""Every constructor, method and static method against hostile arguments, one argument at a time.

Each case has one expected outcome, set by the rules below: a result equal to the plain valid
call's (the same values in another layout), a result (other values), or a refusal with one named
exception and a message. The argument layer refuses what it cannot convert (TypeError, or
OverflowError for an integer out of range) naming the argument; the library refuses what it can
convert but not use (ValueError). An exception raised by the caller's own code (an `__index__`)
comes out unchanged, and a refused call leaves the model as it was.
"""

import numpy as np
import pytest

from vantorix import _vantorix as vx

RNG = np.random.default_rng(7)
X = RNG.standard_normal((40, 4), dtype=np.float32)  # data: 40 rows, D = 4
CODES = RNG.integers(0, 16, (40, 2), dtype=np.uint8)  # M = 2, Ks = 16
CODEWORDS = RNG.standard_normal((2, 16, 2), dtype=np.float32)
WEIGHTS = RNG.random(40, dtype=np.float32) + 0.5
HISTORY = np.array([5.0, 4.0, 3.0, 3.0, 3.0])  # mean distances of five passes
HISTOGRAM = RNG.integers(0, 5, 3 * 2 * 16).astype(np.uint64)  # k = 3, M = 2, Ks = 16
# a summed pass for k = 3 centers X[:3] with cluster 1 empty, and four candidate rows
SUMMED = dict(centers=X[:3], sums=X[3:6].astype(np.float64) * 4, counts=np.array([4, 0, 3], np.uint64),
              far_distances=np.array([2.0, 5.0, 1.0, 5.0]), far_labels=np.array([0, 2, 0, 0], np.uint64),
              far_rows=np.array([7, 30, 2, 11], np.uint64))


class Boom(ZeroDivisionError):
    pass


class IndexRaises:
    def __index__(self):
        raise Boom("from __index__")


def memmapped(a, tmp_path):
    m = np.lib.format.open_memmap(tmp_path / "arg.npy", mode="w+", dtype=a.dtype, shape=a.shape)
    m[...] = a
    m.flush()
    return np.load(tmp_path / "arg.npy", mmap_mode="r")


def read_only(a):
    b = a.copy()
    b.flags.writeable = False
    return b


def huge_broadcast(a):
    """A zero-stride view repeating the first row 2**40 times (no memory behind it)."""
    row = np.ascontiguousarray(a[:1])
    return np.lib.stride_tricks.as_strided(row, shape=(2**40,) + a.shape[1:], strides=(0,) + row.strides[1:])


def off_alignment(a):
    """A copy whose data starts one element past a 64-byte boundary: aligned for its type, not for
    any vector register or cache line."""
    buf = np.empty(a.nbytes + 128, np.uint8)
    start = (-buf.ctypes.data) % 64 + a.itemsize
    out = buf[start:start + a.nbytes].view(a.dtype).reshape(a.shape)
    out[...] = a
    return out


def with_value(a, value):
    b = a.copy()
    b.flat[len(b.flat) // 2] = value
    return b


# Hostile variants of an array argument: (id, make(valid, tmp_path)).
ARRAY_VARIANTS = [
    ("float64", lambda a, t: a.astype(np.float64)),
    ("big-endian", lambda a, t: a.astype(a.dtype.newbyteorder(">"))),
    ("int8", lambda a, t: a.astype(np.int8)),
    ("ndim-1", lambda a, t: a.reshape(-1)[:, None] if a.ndim == 1 else a[0]),
    ("ndim+1", lambda a, t: a[None]),
    ("list", lambda a, t: a.tolist()),
    ("none", lambda a, t: None),
    ("no-rows", lambda a, t: a[:0]),
    ("no-columns", lambda a, t: a[..., :0]),
    ("one-element", lambda a, t: a[(slice(0, 1),) * a.ndim]),
    ("broadcast-2**40", lambda a, t: huge_broadcast(a)),
    ("reversed", lambda a, t: a[(slice(None, None, -1),) * a.ndim]),
    ("nan", lambda a, t: with_value(a, np.nan) if a.dtype.kind == "f" else a),
    ("inf", lambda a, t: with_value(a, -np.inf) if a.dtype.kind == "f" else a),
    ("large-code", lambda a, t: with_value(a, 255) if a.dtype == np.uint8 else a),
    ("fortran", lambda a, t: np.asfortranarray(a)),
    ("strided", lambda a, t: np.repeat(a, 2, axis=-1)[..., ::2]),
    ("off-alignment", lambda a, t: off_alignment(a)),
    ("read-only", lambda a, t: read_only(a)),
    ("memmap", lambda a, t: memmapped(a, t)),
]
INT_VARIANTS = [("negative", -1), ("2**64", 2**64), ("float", 1.5), ("str", "3"), ("zero", 0), ("raising-index", IndexRaises())]
BIG_INT = ("2**63", 2**63)  # only where a large value cannot mean a huge amount of work
BOOL_VARIANTS = [("int", 1), ("str", "yes"), ("none", None)]
STR_VARIANTS = [("bytes", b"bic"), ("nul", "random\0x"), ("surrogate", "\ud800"), ("int", 5), ("empty", "")]
SEQ_VARIANTS = [
    ("str", "248"),
    ("negative", [2, -1]),
    ("2**64", [2, 2**64]),
    ("float", [2.5]),
    ("empty", []),
    ("none", None),
    ("raising-index", [2, IndexRaises()]),
]


def dense():
    m = vx._NativeDenseKMeans(3, iterations=3)
    m.fit(X)
    return m


def pq(opq=0):
    m = vx._NativeProductQuantizer(2, codebook_size=16, iterations=2, opq_iterations=opq)
    m.fit(X)
    return m


def pq_kmeans():
    m = vx._NativePQKMeans(CODEWORDS, 3, iterations=3)
    m.fit_adc(CODES)
    return m


def state(model):
    if model is None:
        return None
    out = []
    for name in ("cluster_centers", "dense_cluster_centers", "labels", "inertia_history", "codewords", "rotation"):
        try:
            value = getattr(model, name)
        except (AttributeError, ValueError):
            continue
        out.append(None if value is None else value.tobytes())
    return out


# (id, model factory or None, callable(model, **kwargs), valid kwargs, kinds of the arguments).
# Kinds: "array", "int", "bigint" (an int that may be huge), "bool", "str", "seq".
TARGETS = [
    ("DenseKMeans()", None, lambda m, **a: vx._NativeDenseKMeans(**a),
     dict(k=3, iterations=3, seed=0, verbose=False, init="kmeans++", early_stopping=False, spherical=False),
     dict(k="bigint", iterations="int", seed="bigint", verbose="bool", init="str", early_stopping="bool",
          spherical="bool")),
    ("DenseKMeans.fit", dense, lambda m, **a: m.fit(**a), dict(data=X), dict(data="array")),
    ("DenseKMeans.fit_with", dense, lambda m, **a: m.fit_with(**a),
     dict(data=X, sample_weight=WEIGHTS, init_centers=X[:3], tol=0.0),
     dict(data="array", sample_weight="array", init_centers="array")),
    ("DenseKMeans.fit_predict", dense, lambda m, **a: m.fit_predict(**a), dict(data=X), dict(data="array")),
    ("DenseKMeans.predict", dense, lambda m, **a: m.predict(**a), dict(data=X), dict(data="array")),
    ("DenseKMeans.chunk_summary", dense, lambda m, **a: m.chunk_summary(**a),
     dict(data=X, farthest=3, labels=np.zeros(len(X), np.uint32)), dict(data="array", farthest="bigint", labels="array")),
    ("DenseKMeans.set_cluster_centers", dense, lambda m, **a: m.set_cluster_centers(**a), dict(centers=X[:3]),
     dict(centers="array")),
    ("DenseKMeans.restore_cluster_centers", dense, lambda m, **a: m.restore_cluster_centers(**a), dict(centers=X[:3]),
     dict(centers="array")),
    ("DenseKMeans.should_stop", None, lambda m, **a: vx._NativeDenseKMeans.should_stop(**a),
     dict(inertia_history=HISTORY), dict(inertia_history="array")),
    ("DenseKMeans.normalize_rows", None, lambda m, **a: vx._NativeDenseKMeans.normalize_rows(**a), dict(rows=X),
     dict(rows="array")),
    ("DenseKMeans.update_from_sums", None, lambda m, **a: vx._NativeDenseKMeans.update_from_sums(**a), SUMMED,
     dict.fromkeys(SUMMED, "array")),
    ("ProductQuantizer()", None, lambda m, **a: vx._NativeProductQuantizer(**a),
     dict(num_subquantizers=2, codebook_size=16, iterations=2, seed=0, opq_iterations=0),
     dict(num_subquantizers="bigint", codebook_size="bigint", iterations="int", seed="bigint",
          opq_iterations="int")),
    ("ProductQuantizer.from_codewords", None, lambda m, **a: vx._NativeProductQuantizer.from_codewords(**a),
     dict(codewords=CODEWORDS, rotation=np.eye(4, dtype=np.float32), iterations=2, seed=0, opq_iterations=0),
     dict(codewords="array", rotation="array", iterations="bigint", seed="bigint", opq_iterations="bigint")),
    ("ProductQuantizer.fit", pq, lambda m, **a: m.fit(**a), dict(data=X), dict(data="array")),
    ("ProductQuantizer.fit(opq)", lambda: pq(opq=1), lambda m, **a: m.fit(**a), dict(data=X), dict(data="array")),
    ("ProductQuantizer.fit_weighted", pq, lambda m, **a: m.fit_weighted(**a), dict(data=X, sample_weight=WEIGHTS),
     dict(data="array", sample_weight="array")),
    ("ProductQuantizer.encode", lambda: pq(opq=1), lambda m, **a: m.encode(**a), dict(data=X), dict(data="array")),
    ("ProductQuantizer.decode", lambda: pq(opq=1), lambda m, **a: m.decode(**a), dict(codes=CODES),
     dict(codes="array")),
    ("ProductQuantizer.distance_table", lambda: pq(opq=1), lambda m, **a: m.distance_table(**a),
     dict(queries=X[:5], metric="ip"), dict(queries="array", metric="str")),
    ("ProductQuantizer.table_distances", pq, lambda m, **a: m.table_distances(**a),
     dict(tables=np.ones((3, 2, 16), np.float32), codes=CODES), dict(tables="array", codes="array")),
    ("ProductQuantizer.search", lambda: pq(opq=1), lambda m, **a: m.search(**a),
     dict(queries=X[:5], codes=CODES, top_k=3, metric="l2"),
     dict(queries="array", codes="array", top_k="bigint", metric="str")),
    ("PQKMeans()", None, lambda m, **a: vx._NativePQKMeans(**a),
     dict(codewords=CODEWORDS, k=3, iterations=3, seed=0, verbose=False, lookup_table_bytes=1 << 20,
          rotation=np.eye(4, dtype=np.float32), init="random", early_stopping=False, spherical=False),
     dict(codewords="array", k="bigint", iterations="int", seed="bigint", verbose="bool",
          lookup_table_bytes="bigint", rotation="array", init="str", early_stopping="bool", spherical="bool")),
] + [
    (f"PQKMeans.{name}", pq_kmeans, (lambda name: lambda m, **a: getattr(m, name)(**a))(name), dict(codes=CODES),
     dict(codes="array"))
    for name in ("fit", "fit_adc", "fit_predict", "fit_predict_adc", "predict", "predict_adc")
] + [
    (f"PQKMeans.{name}", pq_kmeans, (lambda name: lambda m, **a: getattr(m, name)(**a))(name),
     dict(codes=CODES, vectors=X, refine_exact_top_l=2), dict(codes="array", vectors="array", refine_exact_top_l="bigint"))
    for name in ("fit_hybrid", "fit_predict_hybrid", "predict_hybrid")
] + [
    ("PQKMeans.chunk_summary", pq_kmeans, lambda m, **a: m.chunk_summary(**a), dict(codes=CODES, farthest=3),
     dict(codes="array", farthest="bigint")),
    ("PQKMeans.set_cluster_centers", pq_kmeans, lambda m, **a: m.set_cluster_centers(**a), dict(centers=CODES[:3]),
     dict(centers="array")),
    ("PQKMeans.set_dense_cluster_centers", pq_kmeans, lambda m, **a: m.set_dense_cluster_centers(**a),
     dict(centers=X[:3]), dict(centers="array")),
    ("PQKMeans.vote_from_histogram", pq_kmeans, lambda m, **a: m.vote_from_histogram(**a),
     dict(histogram=HISTOGRAM), dict(histogram="array")),
    ("PQKMeans.should_stop", None, lambda m, **a: vx._NativePQKMeans.should_stop(**a),
     dict(inertia_history=HISTORY), dict(inertia_history="array")),
    ("PQKMeans.analyze_k_candidates", None, lambda m, **a: vx._NativePQKMeans.analyze_k_candidates(**a),
     dict(codewords=CODEWORDS, codes=CODES, candidate_ks=[2, 4], iterations=2, seed=0, verbose=False,
          lookup_table_bytes=1 << 20, sample_rows=30, method="bic"),
     dict(codewords="array", codes="array", candidate_ks="seq", iterations="int", seed="bigint", verbose="bool",
          lookup_table_bytes="bigint", sample_rows="bigint", method="str")),
]


def variants(kind):
    if kind == "array":
        return ARRAY_VARIANTS
    values = {
        "int": INT_VARIANTS,
        "bigint": INT_VARIANTS + [BIG_INT],
        "bool": BOOL_VARIANTS,
        "str": STR_VARIANTS,
        "seq": SEQ_VARIANTS,
    }[kind]
    return [(vid, (lambda v: lambda a, t: v)(value)) for vid, value in values]


CASES = [
    pytest.param(target, arg, vid, make, id=f"{target[0]}-{arg}-{vid}")
    for target in TARGETS
    for arg, kind in target[4].items()
    for vid, make in variants(kind)
]


def comparable(result):
    if isinstance(result, dict):
        return {k: comparable(v) for k, v in result.items()}
    if isinstance(result, tuple):
        return tuple(comparable(v) for v in result)
    if isinstance(result, np.ndarray):
        return (result.dtype.str, result.shape, result.tobytes())
    if type(result).__module__ == "vantorix._vantorix":
        return state(result)
    return result


# --- expected outcomes ------------------------------------------------------------------------

SAME = "same"  # returns what the plain valid call returns, and leaves the model as it would
DEFAULT = "default"  # returns what the call without this argument returns
ACCEPTED = "accepted"  # returns (other values, so another answer)

_NOT_DECLARED = ["float64", "big-endian", "int8", "ndim-1", "ndim+1", "list", "none"]
_OTHER_LAYOUT = ["fortran", "strided", "off-alignment", "read-only", "memmap"]

# What each variant of each kind of argument does, unless a rule below says otherwise.
OUTCOMES = {
    "array": {
        # exactly the declared element type (native byte order) and dimensions, never converted
        **dict.fromkeys(_NOT_DECLARED, TypeError),
        # convertible, but a shape the operation cannot use
        **dict.fromkeys(["no-rows", "no-columns", "one-element", "broadcast-2**40", "large-code"], ValueError),
        **dict.fromkeys(["nan", "inf", "reversed"], ACCEPTED),
        **dict.fromkeys(_OTHER_LAYOUT, SAME),
    },
    "int": {"negative": OverflowError, "2**64": OverflowError, "float": TypeError, "str": TypeError,
            "zero": ACCEPTED, "raising-index": Boom},
    "bool": dict.fromkeys(["int", "str", "none"], TypeError),  # only True and False
    "str": {"bytes": TypeError, "surrogate": TypeError, "int": TypeError, "nul": ValueError, "empty": ValueError},
    "seq": {"str": TypeError, "none": TypeError, "float": TypeError, "negative": OverflowError,
            "2**64": OverflowError, "empty": ValueError, "raising-index": Boom},
}
OUTCOMES["bigint"] = {**OUTCOMES["int"], "2**63": ACCEPTED}

_PQKMEANS_CODE_OPS = ["fit", "fit_adc", "fit_predict", "fit_predict_adc", "predict", "predict_adc", "chunk_summary"]
_HYBRID_OPS = ["fit_hybrid", "fit_predict_hybrid", "predict_hybrid"]
# Arguments read as whole rows of memory: another layout is refused with the operation's message.
ROW_MAJOR = {
    ("ProductQuantizer.decode", "codes"): "code matrix must be C-contiguous",
    **{(f"PQKMeans.{op}", "codes"): "code matrix must be C-contiguous" for op in _PQKMEANS_CODE_OPS + _HYBRID_OPS},
    **{(f"PQKMeans.{op}", "vectors"): "input vectors must be C-contiguous" for op in _HYBRID_OPS},
    **{(f"ProductQuantizer.{op}", "codes"): "code matrix must be C-contiguous" for op in ("table_distances", "search")},
}
ROW_MAJOR_VARIANTS = {"fortran", "strided", "reversed"}

# Counts that must be above zero (codebook_size: 2 to 256). from_codewords only keeps
# iterations for later use, so it takes 0.
POSITIVE = {"k", "iterations", "num_subquantizers", "codebook_size", "refine_exact_top_l", "top_k"}

# Single cases that differ from their kind's rule, and why.
OVERRIDES = {
    ("ProductQuantizer.from_codewords", "iterations", "zero"): ACCEPTED,
    ("ProductQuantizer()", "codebook_size", "2**63"): ValueError,
    # optional arrays: None means left out
    ("DenseKMeans.chunk_summary", "labels", "none"): DEFAULT,
    ("ProductQuantizer.from_codewords", "rotation", "none"): DEFAULT,
    ("PQKMeans()", "rotation", "none"): DEFAULT,
    ("DenseKMeans.fit_with", "sample_weight", "none"): DEFAULT,
    ("DenseKMeans.fit_with", "init_centers", "none"): DEFAULT,
    # predicting, encoding or summarising no rows is an empty answer
    ("DenseKMeans.predict", "data", "no-rows"): ACCEPTED,
    ("ProductQuantizer.encode", "data", "no-rows"): ACCEPTED,
    ("ProductQuantizer.decode", "codes", "no-rows"): ACCEPTED,
    ("PQKMeans.predict", "codes", "no-rows"): ACCEPTED,
    ("PQKMeans.predict_adc", "codes", "no-rows"): ACCEPTED,
    ("PQKMeans.chunk_summary", "codes", "no-rows"): ACCEPTED,
    ("ProductQuantizer.distance_table", "queries", "no-rows"): ACCEPTED,
    ("ProductQuantizer.table_distances", "tables", "no-rows"): ACCEPTED,
    ("ProductQuantizer.table_distances", "codes", "no-rows"): ACCEPTED,
    ("ProductQuantizer.search", "queries", "no-rows"): ACCEPTED,
    ("ProductQuantizer.search", "codes", "no-rows"): ACCEPTED,
    # 2**40 rows need per-row work (labels, distances, codes) that memory cannot hold
    **{(t, "data", "broadcast-2**40"): MemoryError
       for t in ["DenseKMeans.fit", "DenseKMeans.fit_predict", "DenseKMeans.predict", "ProductQuantizer.fit",
                 "ProductQuantizer.fit(opq)", "ProductQuantizer.encode"]},
    ("ProductQuantizer.distance_table", "queries", "broadcast-2**40"): MemoryError,
    ("ProductQuantizer.table_distances", "tables", "broadcast-2**40"): MemoryError,
    ("ProductQuantizer.search", "queries", "broadcast-2**40"): MemoryError,
    # the labels are copied to contiguous memory before their count is compared with the rows
    ("DenseKMeans.chunk_summary", "labels", "broadcast-2**40"): MemoryError,
    # the analysis reads only the sample_rows rows it samples
    ("PQKMeans.analyze_k_candidates", "codes", "broadcast-2**40"): ACCEPTED,
    # a history of any length has a verdict, and rows of any shape a normalisation
    **{(t, "inertia_history", v): ACCEPTED
       for t in ["DenseKMeans.should_stop", "PQKMeans.should_stop"]
       for v in ["no-rows", "no-columns", "one-element", "broadcast-2**40"]},
    **{("DenseKMeans.normalize_rows", "rows", v): ACCEPTED for v in ["no-rows", "no-columns", "one-element"]},
    ("DenseKMeans.normalize_rows", "rows", "broadcast-2**40"): MemoryError,
    # non-finite values where they are checked
    **{("ProductQuantizer.fit(opq)", "data", v): (ValueError, "linear algebra error: svd input contains non-finite values")
       for v in ["nan", "inf"]},
    **{("ProductQuantizer.fit_weighted", "sample_weight", v): (ValueError, "sample_weight values must be finite and non-negative")
       for v in ["nan", "inf"]},
    **{("DenseKMeans.fit_with", "sample_weight", v): (ValueError, "sample_weight must be finite and non-negative")
       for v in ["nan", "inf"]},
    **{("DenseKMeans.fit_with", "init_centers", v): (ValueError, "initial centers must be finite") for v in ["nan", "inf"]},
}


def same_values(value, valid):
    """True when a variant did not change the argument (a NaN in uint8 codes, a byte order of uint8)."""
    if isinstance(valid, np.ndarray):
        return (isinstance(value, np.ndarray) and value.dtype == valid.dtype and value.shape == valid.shape
                and np.array_equal(value, valid))
    return type(value) is type(valid) and value == valid


def expected(target, arg, vid, value):
    """The outcome of one case: SAME, DEFAULT, ACCEPTED, an exception type or (type, message)."""
    name, _, _, valid, kinds = target
    if (name, arg) in ROW_MAJOR and vid in ROW_MAJOR_VARIANTS:
        return ValueError, ROW_MAJOR[(name, arg)]
    if same_values(value, valid[arg]):
        return SAME
    if (name, arg, vid) in OVERRIDES:
        return OVERRIDES[(name, arg, vid)]
    if vid == "zero" and arg in POSITIVE:
        return ValueError
    return OUTCOMES[kinds[arg]][vid]


@pytest.mark.parametrize("target, arg, vid, make", CASES)
def test_hostile_argument(target, arg, vid, make, tmp_path):
    name, factory, call, valid, _ = target
    model = factory() if factory else None
    before = state(model)
    kwargs = dict(valid)
    kwargs[arg] = make(valid[arg], tmp_path)
    outcome = expected(target, arg, vid, kwargs[arg])
    if outcome in (SAME, DEFAULT, ACCEPTED):
        result = call(model, **kwargs)
        if outcome == ACCEPTED:
            return
        reference_kwargs = dict(valid)
        if outcome == DEFAULT:
            del reference_kwargs[arg]
        reference_model = factory() if factory else None
        reference = call(reference_model, **reference_kwargs)
        assert comparable(result) == comparable(reference)
        assert state(model) == state(reference_model)
        return

    error, message = outcome if isinstance(outcome, tuple) else (outcome, None)
    with pytest.raises(error) as caught:
        call(model, **kwargs)
    assert type(caught.value) is error, f"{type(caught.value).__name__}: {caught.value}"
    text = str(caught.value)
    if message is not None:
        assert text == message
    elif error in (TypeError, OverflowError):
        assert text.startswith(f"argument '{arg}'"), text  # the argument layer names the argument
    elif error is not Boom:
        assert text, f"{error.__name__} without a message"
    assert state(model) == before, "a refused call changed the model"


# Conversions that run the caller's code, which then frees or reshapes another argument. Each
# runs in its own interpreter, so a crash fails the case instead of the whole run.
MUTATING = {
    "candidate list cleared while read": """
class C:
    def __index__(self):
        lst.clear()
        return 2
lst = [C()] + list(range(3, 53))
call = lambda: vx._NativePQKMeans.analyze_k_candidates(cw, codes, lst)
""",
    "codewords shrunk by k": """
class K:
    def __index__(self):
        cw.resize((1, 1, 1), refcheck=False)
        return 3
call = lambda: vx._NativePQKMeans(cw, K())
""",
    "codewords grown by k": """
class K:
    def __index__(self):
        cw.resize((4, 64, 8), refcheck=False)
        return 3
call = lambda: vx._NativePQKMeans(cw, K()).codewords.shape
""",
    "codewords shrunk by the analysis seed": """
class S:
    def __index__(self):
        cw.resize((1, 1, 1), refcheck=False)
        return 0
call = lambda: vx._NativePQKMeans.analyze_k_candidates(cw, codes, [2, 4], seed=S())
""",
    "codes shrunk by the analysis seed": """
class S:
    def __index__(self):
        codes.resize((1, 1), refcheck=False)
        return 0
call = lambda: vx._NativePQKMeans.analyze_k_candidates(cw, codes, [2, 4], seed=S())
""",
}


@pytest.mark.parametrize("setup", MUTATING.values(), ids=MUTATING.keys())
def test_conversions_that_mutate_other_arguments(run_python, setup):
    code = (
        "import numpy as np\nfrom vantorix import _vantorix as vx\n"
        "rng = np.random.default_rng(0)\n"
        "cw = rng.standard_normal((2, 16, 2), dtype=np.float32)\n"
        "codes = rng.integers(0, 16, (200, 2), dtype=np.uint8)\n"
        + setup
        + "try:\n    call()\n    print('result')\n"
        "except (TypeError, OverflowError, ValueError, MemoryError) as e:\n    print(type(e).__name__, bool(str(e)))\n"
    )
    assert run_python(code) in ("result", "TypeError True", "OverflowError True", "ValueError True",
                                "MemoryError True")


def test_the_sweep_covers_every_constructor_and_method():
    swept = {t[0] for t in TARGETS}
    for cls, short in [(vx._NativeDenseKMeans, "DenseKMeans"), (vx._NativeProductQuantizer, "ProductQuantizer"),
                       (vx._NativePQKMeans, "PQKMeans")]:
        assert f"{short}()" in swept
        for name in vars(cls):
            if not name.startswith("_") and callable(getattr(cls, name)):
                assert f"{short}.{name}" in swept, f"{short}.{name} is missing from the sweep"
