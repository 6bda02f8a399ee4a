"""The main job: each step of the pipeline on real data, in order (the steps that exist)."""

import importlib.util
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
STEPS = ["demo_api.py", "demo_kernels.py", "demo_dense.py", "demo_pq.py", "demo_pipeline.py", "demo_autok.py"]

for step in STEPS:
    path = HERE / step
    if not path.exists():
        continue
    print(f"==== {step[:-3]}", flush=True)
    spec = importlib.util.spec_from_file_location(step[:-3], path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.main()
    sys.stdout.flush()
