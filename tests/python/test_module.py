import inspect

import numpy as np

import pytest

from vantorix import _vantorix as vx


def test_simd_runtime_signature_and_default():
    assert str(inspect.signature(vx.simd_runtime)) == "()"
    assert vx.simd_runtime() in ("neon", "scalar")


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, "neon"),
        ("auto", "neon"),
        ("AUTO", "neon"),
        ("", "neon"),
        ("sse", "neon"),
        (" neon", "neon"),
        ("NEON", "neon"),
        ("off", "scalar"),
        ("NONE", "scalar"),
        ("Scalar", "scalar"),
        ("s-c_a-lar", "scalar"),
        ("avx2", "scalar"),
        ("AVX-512", "scalar"),
    ],
)
def test_simd_runtime_follows_the_environment(run_python, value, expected):
    env = {} if value is None else {"VANTORIX_SIMD": value}
    assert run_python("from vantorix import _vantorix as vx; print(vx.simd_runtime())", **env) == expected


def test_simd_choice_is_made_once(run_python):
    code = (
        "import os; from vantorix import _vantorix as vx; a = vx.simd_runtime();"
        "os.environ['VANTORIX_SIMD'] = 'off'; print(a, vx.simd_runtime())"
    )
    assert run_python(code) == "neon neon"


def test_module_registers_exactly_the_public_names_in_order(run_python):
    # a fresh interpreter: nothing imported or patched by other tests can add a name
    code = "from vantorix import _vantorix as vx; print(' '.join(n for n in vars(vx) if not n.startswith('__')))"
    assert run_python(code).split() == ["_NativeProductQuantizer", "_NativeDenseKMeans", "_NativePQKMeans", "simd_runtime"]
    assert not hasattr(vx, "analyze_k_candidates")
    assert callable(vx._NativePQKMeans.analyze_k_candidates)
    assert callable(vx._NativeProductQuantizer.from_codewords)


@pytest.mark.parametrize("cls", [vx._NativeProductQuantizer, vx._NativeDenseKMeans, vx._NativePQKMeans])
def test_every_constructor_and_method_has_a_signature(cls):
    assert cls.__module__ == "vantorix._vantorix"
    assert list(inspect.signature(cls).parameters)[0] in ("num_subquantizers", "k", "codewords")
    for name, member in vars(cls).items():
        if name.startswith("__") or isinstance(member, type(vx._NativeDenseKMeans.k)):
            continue  # properties
        sig = inspect.signature(getattr(cls, name))
        assert sig.parameters, name


def test_errors_cross_the_boundary_with_their_python_types():
    with pytest.raises(ValueError, match="^k must be greater than zero$"):
        vx._NativeDenseKMeans(0)
    model = vx._NativeDenseKMeans(2, iterations=3)
    data = np.arange(20, dtype=np.float32).reshape(10, 2)
    # Exactly float32 in native byte order, 2-D; nothing is ever converted.
    for bad in (data.astype(np.float64), data.astype(">f4"), data.ravel(), data.tolist()):
        with pytest.raises(TypeError, match="data"):
            model.fit(bad)
    assert model.labels.shape == (0,)
    # Negative or oversized integers are rejected naming the parameter.
    with pytest.raises(OverflowError, match="iterations"):
        vx._NativeDenseKMeans(2, iterations=-1)
    with pytest.raises(OverflowError, match="seed"):
        vx._NativeDenseKMeans(2, seed=2**64)
    with pytest.raises(TypeError, match="k"):
        vx._NativeDenseKMeans(2.0)
    # Any strides are accepted at the boundary: a reversed, strided view fits like its copy.
    view = np.arange(40, dtype=np.float32).reshape(10, 4)[::-1, ::2]
    model.fit(view)
    labels_view = model.labels
    model.fit(np.ascontiguousarray(view))
    assert np.array_equal(labels_view, model.labels)
