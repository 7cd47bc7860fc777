"""The ML example end to end: political democracy, 38.125 on 35 df."""
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np

import _backend

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "fit_ml.py"


def test_example_fit():
    # A fresh interpreter, so the example's single-threaded BLAS setting
    # takes effect before NumPy loads.
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_backend.__file__))
    out = subprocess.run([sys.executable, str(EXAMPLE)], env=env, capture_output=True,
                         text=True, check=True, timeout=120).stdout
    stat, df = re.search(r"chi-square = ([\d.]+) on (\d+) df", out).groups()
    # N * F at the minimum of the classic 31-parameter model; the optimiser
    # stops within 1e-3 of it.
    assert abs(float(stat) - 38.125) < 1e-3 and df == "35"
    rows = [ln.split() for ln in out.splitlines() if re.match(r"\S+~", ln)]
    assert len(rows) == 31
    se = np.array([[float(v) for v in r[2:]] for r in rows])
    assert np.all(se > 0)
