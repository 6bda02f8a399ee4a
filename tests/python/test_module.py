import inspect

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
