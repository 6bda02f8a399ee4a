"""Stopping long fits with Ctrl-C, and the per-pass progress hook."""

import json
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np

import pytest

from vantorix import _vantorix as vx

# Each child sets up a model whose fit would run for minutes, has a helper process send it
# SIGINT one second into the call, and reports how the call ended, how long it took and whether
# the model's state survived. `state()` returns the model's observable state as bytes.
PRELUDE = """
import json, os, subprocess, time
import numpy as np
from vantorix import _vantorix as vx
rng = np.random.default_rng(0)
"""

EPILOGUE = """
before = state()
killer = subprocess.Popen(["sh", "-c", f"sleep 1; kill -INT {os.getpid()}"])
start = time.monotonic()
try:
    call()
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
elapsed = time.monotonic() - start
killer.wait()
unchanged = state() == before
# A stopped call leaves nothing behind: the next one runs to the end.
small = vx._NativeDenseKMeans(2, iterations=3)
small.fit(np.arange(8, dtype=np.float32).reshape(4, 2))
print(json.dumps({"outcome": outcome, "elapsed": elapsed, "unchanged": unchanged}))
"""

CASES = {
    "dense, many short passes": """
x = rng.standard_normal((20000, 32), dtype=np.float32)
model = vx._NativeDenseKMeans(32, iterations=10**8)
model.set_cluster_centers(x[:32])
state = lambda: (model.cluster_centers.tobytes(), model.labels.tobytes(), model.inertia_history.tobytes())
call = lambda: model.fit(x)
""",
    "product quantizer": """
x = rng.standard_normal((20000, 32), dtype=np.float32)
model = vx._NativeProductQuantizer.from_codewords(
    rng.standard_normal((4, 256, 8), dtype=np.float32), iterations=10**8)
state = lambda: (model.codewords.tobytes(), model.rotation)
call = lambda: model.fit(x)
""",
    "product quantizer with OPQ": """
x = rng.standard_normal((20000, 32), dtype=np.float32)
model = vx._NativeProductQuantizer.from_codewords(
    rng.standard_normal((4, 64, 8), dtype=np.float32), iterations=2, opq_iterations=10**8)
state = lambda: (model.codewords.tobytes(), model.rotation)
call = lambda: model.fit(x)
""",
    "symmetric, many short passes": """
cw = rng.standard_normal((8, 256, 4), dtype=np.float32)
codes = rng.integers(0, 256, (50000, 8), dtype=np.uint8)
model = vx._NativePQKMeans(cw, 64, iterations=10**8)
model.set_cluster_centers(codes[:64])
state = lambda: (model.cluster_centers.tobytes(), model.labels.tobytes(), model.inertia_history.tobytes())
call = lambda: model.fit(codes)
""",
    "symmetric, one long initialisation and pass": """
cw = rng.standard_normal((8, 256, 4), dtype=np.float32)
codes = rng.integers(0, 256, (400000, 8), dtype=np.uint8)
model = vx._NativePQKMeans(cw, 4096, iterations=1, lookup_table_bytes=0)
model.set_cluster_centers(codes[:4096])
state = lambda: (model.cluster_centers.tobytes(), model.labels.tobytes(), model.inertia_history.tobytes())
call = lambda: model.fit(codes)
""",
    "asymmetric": """
cw = rng.standard_normal((8, 256, 4), dtype=np.float32)
codes = rng.integers(0, 256, (50000, 8), dtype=np.uint8)
model = vx._NativePQKMeans(cw, 64, iterations=10**8)
model.set_dense_cluster_centers(rng.standard_normal((64, 32), dtype=np.float32))
state = lambda: (model.dense_cluster_centers.tobytes(), model.cluster_centers.tobytes(), model.labels.tobytes())
call = lambda: model.fit_adc(codes)
""",
    "candidate-k analysis": """
cw = rng.standard_normal((8, 256, 4), dtype=np.float32)
codes = rng.integers(0, 256, (50000, 8), dtype=np.uint8)
state = lambda: None
call = lambda: vx._NativePQKMeans.analyze_k_candidates(cw, codes, [8, 64, 1024], iterations=10**8, sample_rows=0)
""",
}


@pytest.mark.parametrize("setup", CASES.values(), ids=CASES.keys())
def test_sigint_stops_a_fit_within_a_second_and_keeps_the_model(setup):
    code = PRELUDE + textwrap.dedent(setup) + EPILOGUE
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout.strip().splitlines()[-1])
    assert report["outcome"] == "KeyboardInterrupt"
    # One second until the signal, about one more to notice it; generous for a shared machine.
    assert report["elapsed"] < 4.0, report
    assert report["unchanged"]


def test_a_signal_handler_exception_is_what_the_call_raises(run_python):
    code = """
import os, signal, numpy as np
from vantorix import _vantorix as vx
class Stop(Exception): pass
def handler(signum, frame): raise Stop("from the handler")
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.5)
x = np.random.default_rng(0).standard_normal((5000, 16), dtype=np.float32)
try:
    vx._NativeDenseKMeans(16, iterations=10**8).fit(x)
except Stop as e:
    print("Stop", e)
"""
    assert run_python(code) == "Stop from the handler"


class Progress(list):
    """The passes one call reports, through the per-call hook every native class has."""

    def call(self, method, *args, **kwargs):
        return vx._NativeDenseKMeans._call_with_progress(lambda *event: self.append(event), method, *args, **kwargs)


@pytest.fixture
def progress():
    return Progress()


def _fitted_pq_kmeans():
    rng = np.random.default_rng(1)
    cw = rng.standard_normal((4, 16, 2), dtype=np.float32)
    codes = rng.integers(0, 16, (300, 4), dtype=np.uint8)
    return vx._NativePQKMeans(cw, 5, iterations=6), codes


def _dense():
    x = np.random.default_rng(2).standard_normal((300, 4), dtype=np.float32)
    return vx._NativeDenseKMeans(5, iterations=6), x


@pytest.mark.parametrize(
    "make, method, name",
    [(_dense, "fit", "dense"), (_fitted_pq_kmeans, "fit", "symmetric"), (_fitted_pq_kmeans, "fit_adc", "adc")],
)
def test_progress_reports_every_pass_of_a_fit(progress, make, method, name):
    model, data = make()
    progress.call(getattr(model, method), data)
    history = model.inertia_history
    assert [e[:2] for e in progress] == [(name, i) for i in range(len(history))]
    assert all(isinstance(e[2], float) for e in progress)
    # The dense fit refreshes its last entry with the closing assignment.
    assert np.array_equal([e[2] for e in progress][:-1], history[:-1])


def test_progress_reports_opq_passes_and_analysis_candidates(progress):
    rng = np.random.default_rng(3)
    x = rng.standard_normal((400, 8), dtype=np.float32)
    progress.call(vx._NativeProductQuantizer(2, codebook_size=16, iterations=3, opq_iterations=3).fit, x)
    assert [e[:2] for e in progress] == [("opq", 0), ("opq", 1), ("opq", 2)]
    assert all(e[2] > 0 for e in progress)

    progress.clear()
    cw = rng.standard_normal((4, 16, 2), dtype=np.float32)
    codes = rng.integers(0, 16, (300, 4), dtype=np.uint8)
    result = progress.call(vx._NativePQKMeans.analyze_k_candidates, cw, codes, [9, 3, 6], iterations=4)
    assert progress == [("analysis", i, v) for i, v in enumerate(result["inertia"])]


def test_an_exception_from_the_callback_stops_the_fit_and_keeps_the_model():
    model, data = _dense()
    model.fit(data)
    before = (model.cluster_centers, model.labels, model.inertia_history)

    def callback(name, index, inertia):
        if index == 2:
            raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        vx._NativeDenseKMeans._call_with_progress(callback, model.fit, data[::-1])
    for kept, now in zip(before, (model.cluster_centers, model.labels, model.inertia_history)):
        assert np.array_equal(kept, now)


def test_progress_goes_to_the_one_call_that_asked_for_it(progress):
    model, data = _dense()
    other, other_data = _fitted_pq_kmeans()
    nested = []

    def callback(*event):
        progress.append(event)
        if event[1] == 0:
            # a call made from the callback reports to nobody, unless it asks for itself
            other.fit(other_data)
            vx._NativePQKMeans._call_with_progress(lambda *e: nested.append(e), other.fit, other_data)

    vx._NativeDenseKMeans._call_with_progress(callback, model.fit, data)
    assert [e[:2] for e in progress] == [("dense", i) for i in range(6)]
    assert [e[:2] for e in nested] == [("symmetric", i) for i in range(6)]
    model.fit(data)  # a later call without a callback reports nothing
    assert len(progress) == 6


def test_progress_from_two_threads_reaches_each_threads_own_call():
    # The callbacks run Python code, so the interpreter switches threads inside them: the other
    # thread's fit runs while this one waits, and its passes must not land here.
    errors = []

    def worker(seed):
        rng = np.random.default_rng(seed)
        for _ in range(10):
            model = vx._NativeDenseKMeans(4, iterations=int(rng.integers(3, 9)), seed=seed)
            x = rng.standard_normal((200, 4), dtype=np.float32)
            events = []

            def callback(*event):
                events.append(event)
                time.sleep(0.0005)

            vx._NativeDenseKMeans._call_with_progress(callback, model.fit, x)
            if [e[1] for e in events] != list(range(len(model.inertia_history))):
                errors.append((seed, [e[1] for e in events], len(model.inertia_history)))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in (1, 2, 3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.parametrize(
    "args, message",
    [((42, vx.simd_runtime), "callable"), ((None, lambda: 1), "native class"), ((None,), "a callback and a method")],
)
def test_the_progress_hook_checks_its_arguments(args, message):
    with pytest.raises(TypeError, match=message):
        vx._NativePQKMeans._call_with_progress(*args)


def test_without_a_callback_a_call_runs_as_usual():
    model, data = _dense()
    assert vx._NativeDenseKMeans._call_with_progress(None, model.fit_predict, data).shape == (300,)
    assert len(model.inertia_history) == 6
