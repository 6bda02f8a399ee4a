"""Runs every benchmark script in a fixed order (those that exist), each in its own process."""

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ORDER = ["kernels.py", "exact_assign.py", "dense_kmeans.py", "pq.py", "pq_kmeans.py", "pq4.py", "hybrid.py", "hybrid_fit.py",
         "autok.py", "dask_kmeans.py", "scale.py"]

failed = []
for script in ORDER:
    path = HERE / script
    if path.exists():
        print(f"== {script}", flush=True)
        if subprocess.call([sys.executable, str(path)] + sys.argv[1:]) != 0:
            failed.append(script)
sys.exit(1 if failed else 0)
