"""The scale-out example keeps working: engines pickle to worker processes,
both on a process pool and on Dask's scheduler, and the refits agree."""
import os

import numpy as np
import pytest

pytestmark = pytest.mark.skipif(bool(os.environ.get("SEM_SANITIZED")),
                                reason="worker processes would load the uninstrumented module")


@pytest.mark.parametrize("pool", ["process", "dask"])
def test_bootstrap_runs_on_worker_processes(pool, capsys):
    if pool == "dask":
        pytest.importorskip("dask.distributed")
    import bootstrap

    est, se_ml, se_boot, _ = bootstrap.main(["--resamples", "12", "--workers", "1",
                                             "--pool", pool])
    out = capsys.readouterr().out
    assert "12 resamples" in out
    # Twelve resamples give rough SEs; they must still be of the ML ones' order.
    assert np.all(se_boot > 0.2 * se_ml) and np.all(se_boot < 5 * se_ml)


def test_same_seeds_give_same_resamples_anywhere():
    """Chunks are seeded up front, so a result does not depend on which worker ran it."""
    import bootstrap

    a = bootstrap.chunks(10, 3)
    b = bootstrap.chunks(10, 5)
    assert sum(a, []) == sum(b, [])
