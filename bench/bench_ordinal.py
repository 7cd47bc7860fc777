"""Cost of the bivariate ordinal-probit functions, evaluated per distinct
cell, against the case-by-case rule measured in the same run (the internal
`_bivariate_loglik_per_case` and `_categorical_casewise_scores_per_case`,
which give the same values bit for bit).

Cases: a Holzinger-Swineford pair cut at the quartiles (N = 301, 4 x 4
categories) and a simulated pair with N = 100,000 and 5 x 5 categories,
each at rho = 0.5 and at rho = 0.95 (where the distribution function
integrates from the degenerate distribution). Then the example's polychoric
matrix (36 pairs, thresholds from the margins, one bounded maximisation of
the log-likelihood per pair) with either function.

Times are CPU time of the calling thread (the backend is single-threaded),
so other jobs on a shared machine do not inflate them; medians of repeats.

    PYTHONPATH=build/dev python bench/bench_ordinal.py
"""
from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import _backend  # noqa: E402
from bench_polychoric import marginal_thresholds  # noqa: E402
from fit_ordinal import quartile_categories  # noqa: E402
from scipy.optimize import minimize_scalar  # noqa: E402
from semfront import holzinger_swineford_data  # noqa: E402


def median_seconds(f, budget=0.4, min_reps=5):
    f()  # warm-up
    times = []
    start = time.thread_time()
    while len(times) < min_reps or time.thread_time() - start < budget:
        t0 = time.thread_time()
        f()
        times.append(time.thread_time() - t0)
    return float(np.median(times))


def cases():
    names, data = holzinger_swineford_data()
    x, y = quartile_categories(data[:, 0]), quartile_categories(data[:, 1])
    yield "HS x1,x2 N=301 4x4", x, y, marginal_thresholds(x), marginal_thresholds(y)
    rng = np.random.default_rng(12)
    z = rng.multivariate_normal([0, 0], [[1, 0.5], [0.5, 1]], size=100_000)
    tau = np.array([-1.2, -0.4, 0.3, 1.1])
    yield ("simulated N=100000 5x5", np.searchsorted(tau, z[:, 0]).astype(np.int32),
           np.searchsorted(tau, z[:, 1]).astype(np.int32), tau, tau + 0.1)


def polychoric_matrix(loglik):
    _, data = holzinger_swineford_data()
    codes = [quartile_categories(data[:, j]) for j in range(data.shape[1])]
    taus = [marginal_thresholds(c) for c in codes]
    out = []
    for j in range(len(codes)):
        for i in range(j + 1, len(codes)):
            args = (codes[i], codes[j], taus[i], taus[j])
            res = minimize_scalar(lambda r: -float(loglik(*args, r).sum()), bounds=(-0.99, 0.99),
                                  method="bounded", options={"xatol": 1e-8})
            out.append(res.x)
    return np.array(out)


def main():
    functions = [
        ("bivariate_loglik", _backend.bivariate_loglik, _backend._bivariate_loglik_per_case),
        ("categorical_casewise_scores", _backend.categorical_casewise_scores,
         _backend._categorical_casewise_scores_per_case),
    ]
    print("cells: evaluated per distinct cell; cases: the case-by-case baseline;"
          " per call, then per case (call / N)")
    print(f"{'case':<24} {'rho':>5} {'function':<28} {'cells/call':>11} {'cases/call':>11} "
          f"{'cells/case':>11} {'cases/case':>11} {'ratio':>7}")
    for label, x, y, tau_x, tau_y in cases():
        for rho in (0.5, 0.95):
            for name, cells, per_case in functions:
                args = (x, y, tau_x, tau_y, rho)
                assert np.array_equal(cells(*args), per_case(*args), equal_nan=True)
                t_new = median_seconds(lambda: cells(*args))
                t_old = median_seconds(lambda: per_case(*args), budget=1.0, min_reps=3)
                print(f"{label:<24} {rho:>5} {name:<28} {t_new * 1e6:>9.1f}us "
                      f"{t_old * 1e6:>9.1f}us {t_new / x.size * 1e9:>9.2f}ns "
                      f"{t_old / x.size * 1e9:>9.1f}ns {t_old / t_new:>6.1f}x")

    rho_new = polychoric_matrix(_backend.bivariate_loglik)
    assert np.array_equal(rho_new, polychoric_matrix(_backend._bivariate_loglik_per_case))
    t_new = median_seconds(lambda: polychoric_matrix(_backend.bivariate_loglik), budget=1.0)
    t_old = median_seconds(lambda: polychoric_matrix(_backend._bivariate_loglik_per_case),
                           budget=1.0, min_reps=3)
    print(f"\nHolzinger-Swineford polychoric matrix (36 pairs, bounded maximisation per pair):"
          f"\n  per cell {t_new * 1e3:.2f} ms, per case {t_old * 1e3:.2f} ms,"
          f" ratio {t_old / t_new:.1f}x (identical estimates, max |rho| {np.abs(rho_new).max():.3f})")


if __name__ == "__main__":
    main()
