import os
import subprocess
import sys

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
