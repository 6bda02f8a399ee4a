"""Argument handling at the native boundary under hostile callers: conversions that run Python
code, exceptions raised by that code, huge nominal shapes and text with NUL bytes."""

import sys
import textwrap

import numpy as np
import pytest

from vantorix import _vantorix as vx

PQK = vx._NativePQKMeans

# Each snippet runs in a fresh interpreter, so a crash fails the test instead of ending the run.
REENTRANT_PRELUDE = textwrap.dedent(
    """
    import numpy as np
    from vantorix import _vantorix as vx
    rng = np.random.default_rng(0)
    cw = rng.random((4, 16, 2), dtype=np.float32)
    codes = rng.integers(0, 16, (200, 4)).astype(np.uint8)

    class Hook:
        def __init__(self, value, action):
            self.value, self.action = value, action
        def __index__(self):
            self.action()
            return self.value
    """
)


@pytest.mark.parametrize(
    "snippet, expected",
    [
        # The list is emptied while its first item converts; the call uses the items it was given.
        (
            "lst = [None] + list(range(3, 53))\n"
            "lst[0] = Hook(2, lst.clear)\n"
            "r = vx._NativePQKMeans.analyze_k_candidates(cw, codes, lst, iterations=2)\n"
            "print(r['candidate_ks'][:3].tolist(), len(r['candidate_ks']))",
            "[2, 3, 4] 51",
        ),
        # The codewords shrink while k converts: the model sees the array as it is afterwards.
        (
            "k = Hook(2, lambda: cw.resize((1, 1, 1), refcheck=False))\n"
            "print(vx._NativePQKMeans(cw, k).codewords.shape)",
            "(1, 1, 1)",
        ),
        # ... and grow: the new rows are read, not zeros from a stale size.
        (
            "k = Hook(2, lambda: (cw.resize((8, 16, 2), refcheck=False), cw.fill(3.0)))\n"
            "m = vx._NativePQKMeans(cw, k)\n"
            "print(m.codewords.shape, float(m.codewords.min()))",
            "(8, 16, 2) 3.0",
        ),
        # The codes shrink while seed converts.
        (
            "seed = Hook(5, lambda: codes.resize((3, 4), refcheck=False))\n"
            "r = vx._NativePQKMeans.analyze_k_candidates(cw, codes, [2, 3], seed=seed)\n"
            "print(r['sample_size'], r['candidate_ks'].tolist())",
            "3 [2, 3]",
        ),
        # The codewords change shape so that they no longer fit the codes: a clean error.
        (
            "seed = Hook(5, lambda: cw.resize((1, 1, 1), refcheck=False))\n"
            "try:\n"
            "    vx._NativePQKMeans.analyze_k_candidates(cw, codes, [2, 3], seed=seed)\n"
            "except ValueError as e:\n"
            "    print(e)",
            "code dimensionality does not match codewords",
        ),
    ],
    ids=["candidate-list-cleared", "codewords-shrunk", "codewords-grown", "codes-shrunk", "codewords-mismatch"],
)
def test_arguments_stay_valid_while_other_arguments_convert(run_python, snippet, expected):
    assert run_python(REENTRANT_PRELUDE + snippet) == expected


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


CW = np.random.default_rng(0).random((4, 16, 2), dtype=np.float32)
CODES = np.random.default_rng(1).integers(0, 16, (50, 4)).astype(np.uint8)


@pytest.mark.parametrize(
    "call",
    [
        lambda v: vx._NativeDenseKMeans(v),
        lambda v: vx._NativeDenseKMeans(2, seed=v),
        lambda v: vx._NativeProductQuantizer(2, codebook_size=v),
        lambda v: PQK(CW, 2, lookup_table_bytes=v),
        lambda v: PQK.analyze_k_candidates(CW, CODES, [2, v]),
    ],
    ids=["dense-k", "dense-seed", "pq-codebook-size", "pqk-lookup-bytes", "candidate-item"],
)
@pytest.mark.parametrize("exc", [ValueError("boom"), ZeroDivisionError("boom"), KeyboardInterrupt("boom")])
def test_exceptions_raised_by_index_propagate_unchanged(call, exc):
    with pytest.raises(type(exc)) as info:
        call(Raising(exc))
    assert info.value is exc


def test_a_type_mismatch_inside_index_still_names_the_argument():
    with pytest.raises(TypeError, match="^argument 'k': 'Raising' object cannot be interpreted as an integer$"):
        vx._NativeDenseKMeans(Raising(TypeError("inner")))


def huge(dtype, shape):
    """A zero-stride view whose nominal size no machine could copy."""
    return np.lib.stride_tricks.as_strided(np.zeros(1, dtype), shape=shape, strides=(0,) * len(shape))


HUGE = 2**48  # rows: 2**50 bytes and more, past any address space


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vx._NativeDenseKMeans(4).set_cluster_centers(huge(np.float32, (HUGE, 1))), "expected 4 centers"),
        (lambda: PQK(CW, 4).set_cluster_centers(huge(np.uint8, (HUGE, 4))), "cluster center shape"),
        (lambda: PQK(CW, 4).set_dense_cluster_centers(huge(np.float32, (HUGE, 8))), "dense cluster center shape"),
        (lambda: vx._NativeProductQuantizer.from_codewords(huge(np.float32, (HUGE, 512, 1))), "above 256"),
        (
            lambda: vx._NativeProductQuantizer.from_codewords(CW, rotation=huge(np.float32, (HUGE, 8))),
            "rotation must be square",
        ),
        (lambda: PQK(huge(np.float32, (HUGE, 512, 1)), 2), "above 256"),
        (lambda: PQK(CW, 2, rotation=huge(np.float32, (HUGE, 8))), "rotation must be square"),
        (lambda: PQK.analyze_k_candidates(huge(np.float32, (HUGE, 16, 1)), CODES, [2]), "code dimensionality"),
    ],
    ids=[
        "dense-centers",
        "pqk-centers",
        "pqk-dense-centers",
        "pq-codewords",
        "pq-rotation",
        "pqk-codewords",
        "pqk-rotation",
        "analysis-codewords",
    ],
)
def test_shapes_are_checked_before_anything_is_copied(call, message):
    with pytest.raises(ValueError, match=message):
        call()


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: vx._NativeProductQuantizer.from_codewords(huge(np.float32, (HUGE, 1, 1))),
            f"^cannot allocate {HUGE * 4} bytes for a copy of codewords$",
        ),
        (
            lambda: PQK(huge(np.float32, (HUGE, 1, 1)), 2),
            f"^cannot allocate {HUGE * 4} bytes for a copy of codewords$",
        ),
        (
            lambda: vx._NativeDenseKMeans(HUGE).set_cluster_centers(huge(np.float32, (HUGE, 1))),
            f"^cannot allocate {HUGE * 4} bytes for a copy of centers$",
        ),
        (
            lambda: fitted_dense().predict(huge(np.float32, (HUGE, 2))),
            rf"^out of memory in predict\(\) working on argument 'data' \({HUGE} x 2 of 4-byte items, {HUGE * 8} bytes\)$",
        ),
    ],
    ids=["pq-codewords", "pqk-codewords", "dense-centers", "dense-predict"],
)
def test_memory_errors_say_what_could_not_be_allocated(call, message):
    with pytest.raises(MemoryError, match=message):
        call()


def test_a_refused_weighted_fit_of_a_huge_repeating_view_fails_fast():
    # the weights repeat one value: the check must not visit 2**40 entries before the training's
    # own checks refuse the data
    data = huge(np.float32, (2**40, 2**20))
    weights = np.lib.stride_tricks.as_strided(np.ones(1, np.float32), shape=(2**40,), strides=(0,))
    with pytest.raises(MemoryError, match=r"^out of memory in fit_weighted\(\)"):
        vx._NativeProductQuantizer(8).fit_weighted(data, weights)
    bad = np.lib.stride_tricks.as_strided(np.full(1, -1.0, np.float32), shape=(2**40,), strides=(0,))
    with pytest.raises(ValueError, match="^sample_weight values must be finite and non-negative$"):
        vx._NativeProductQuantizer(8).fit_weighted(data, bad)
    zero = np.lib.stride_tricks.as_strided(np.zeros(1, np.float32), shape=(2**40,), strides=(0,))
    with pytest.raises(ValueError, match="^sample_weight must contain at least one positive value$"):
        vx._NativeProductQuantizer(8).fit_weighted(data, zero)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda a: vx._NativeDenseKMeans(2).fit(a["f64"]), TypeError),
        (lambda a: vx._NativeDenseKMeans(2).predict(a["f64"]), TypeError),
        (lambda a: PQK.analyze_k_candidates(a["cw"], a["codes"], a["ks"]), OverflowError),
        (lambda a: PQK.analyze_k_candidates(a["cw"], a["codes"], a["zero_ks"]), ValueError),
        (lambda a: vx._NativeProductQuantizer(2).fit_weighted(a["f32"], a["f64"][:, 0]), TypeError),
    ],
    ids=["dense-fit-float64", "dense-predict-float64", "analysis-negative-k", "analysis-no-valid-k", "pq-weights-float64"],
)
def test_refused_calls_release_every_argument(call, error):
    args = {
        "f64": np.zeros((40, 4)),
        "f32": np.zeros((40, 4), np.float32),
        "cw": CW.copy(),
        "codes": CODES.copy(),
        "ks": [2, -1],
        "zero_ks": [0],
    }
    before = {name: sys.getrefcount(value) for name, value in args.items()}
    for _ in range(100):
        with pytest.raises(error):
            call(args)
    assert {name: sys.getrefcount(value) for name, value in args.items()} == before


def fitted_dense():
    model = vx._NativeDenseKMeans(2, iterations=2)
    model.fit(np.arange(20, dtype=np.float32).reshape(10, 2))
    return model


@pytest.mark.parametrize(
    "call, shown",
    [
        (lambda: vx._NativeDenseKMeans(2, init="random\0x"), r"'random\x00x'"),
        (lambda: PQK(CW, 2, init="far\nthest\0"), r"'far\nthest\x00'"),
        (lambda: PQK.analyze_k_candidates(CW, CODES, [2], method="bic\0"), r"'bic\x00'"),
        (lambda: vx._NativeDenseKMeans(2, **{"k\0x": 1}), r"'k\x00x'"),
    ],
    ids=["dense-init", "pqk-init", "analysis-method", "keyword-name"],
)
def test_messages_show_the_whole_value_escaped(call, shown):
    with pytest.raises((ValueError, TypeError)) as info:
        call()
    assert shown in str(info.value)
    assert "\0" not in str(info.value)
