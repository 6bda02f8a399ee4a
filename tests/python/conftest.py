import os
import subprocess
import sys

import numpy as np
import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter with extra environment; returns its stdout."""

    def run(code: str, **env: str) -> str:
        full_env = dict(os.environ)
        for key in [k for k in full_env if k.startswith("VANTORIX_")]:
            del full_env[key]
        full_env.update(env)
        out = subprocess.run([sys.executable, "-c", code], env=full_env, capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        return out.stdout.strip()

    return run


# --- small integer codewords, for the fits over codes -------------------------------------------


def grid_codewords(m=4, ks=16, ds=2):
    """Distinct small-integer codewords: every distance is an exact float32 integer."""
    cw = np.zeros((m, ks, ds), dtype=np.float32)
    for s in range(m):
        for t in range(ks):
            cw[s, t, 0] = (t % 4) * 3 + s
            cw[s, t, 1] = (t // 4) * 2 - s
            if ds > 2:
                cw[s, t, 2:] = t % 3
    return cw


def sym_distances(codewords, codes, centers):
    """Row x center symmetric distances, from the codeword-to-codeword table."""
    d = ((codewords[:, :, None, :] - codewords[:, None, :, :]) ** 2).sum(-1)
    out = np.zeros((len(codes), len(centers)))
    for s in range(codewords.shape[0]):
        out += d[s][codes[:, s][:, None], centers[:, s][None, :]]
    return out


@pytest.fixture(scope="module")
def codewords():
    """The grid codewords: 4 subquantizers of 16 codewords in 2 dimensions."""
    return grid_codewords()
