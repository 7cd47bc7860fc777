"""The ML example end to end: political democracy, 38.125 on 35 df."""
import re

import numpy as np

import fit_ml


def test_example_fit(capsys):
    fit_ml.main()
    out = capsys.readouterr().out
    stat, df = re.search(r"chi-square = ([\d.]+) on (\d+) df", out).groups()
    # N * F at the minimum of the classic 31-parameter model; the optimiser
    # stops within 1e-3 of it.
    assert abs(float(stat) - 38.125) < 1e-3 and df == "35"
    rows = [ln.split() for ln in out.splitlines() if "~" in ln]
    assert len(rows) == 31
    se = np.array([[float(v) for v in r[2:]] for r in rows])
    assert np.all(se > 0)
