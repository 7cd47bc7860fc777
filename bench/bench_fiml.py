"""Cost of one FIML objective + gradient evaluation as the number of
missing-data patterns grows (1, 10, 100), for p = 11 (political democracy
with intercepts) and p = 40 (four factors, ten indicators each, with
intercepts). Baseline: the single complete pattern of the same model,
measured in the same run. Also prints the expected information once.

Times are CPU time of the calling thread (the backend is single-threaded),
so other jobs on a shared machine do not inflate them; medians of repeats.

    PYTHONPATH=build/dev python bench/bench_fiml.py
"""
from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from semfront import LAMBDA_X, PHI, TAU_X, THETA_DELTA, Model, political_democracy_model  # noqa: E402


def four_factor_model() -> Model:
    m = Model(nx=40, ny=0, nxi=4, neta=0)
    for i in range(40):
        f = i // 10
        if i % 10 == 0:
            m.fix(LAMBDA_X, i, f)
        else:
            m.free(LAMBDA_X, i, f, 0.8 + 0.02 * (i % 10))
        m.free(THETA_DELTA, i, i, 0.5)
    for f in range(4):
        for g in range(f + 1):
            m.free(PHI, f, g, 1.0 if f == g else 0.3)
    for i in range(40):
        m.free(TAU_X, i, 0, 0.1 * i)
    return m


def make_patterns(rng, Sigma, mu, n_patterns):
    p = len(mu)
    lists = [list(range(p))]
    while len(lists) < n_patterns:
        idx = [i for i in range(p) if rng.random() > 0.1]
        if idx and idx not in lists:
            lists.append(idx)
    counts, means, covs = [], [], []
    for idx in lists:
        n = int(rng.integers(5, 50))
        x = rng.multivariate_normal(mu[idx] + 0.1, Sigma[np.ix_(idx, idx)] * 1.1, size=max(n, len(idx) + 1))
        d = x - x.mean(axis=0)
        counts.append(n)
        means.append(x.mean(axis=0))
        covs.append(d.T @ d / len(x))
    return lists, counts, means, covs


def median_seconds(f, budget=0.4, min_reps=5):
    f()  # warm-up
    times = []
    start = time.thread_time()
    while len(times) < min_reps or time.thread_time() - start < budget:
        t0 = time.thread_time()
        f()
        times.append(time.thread_time() - t0)
    return float(np.median(times))


def main():
    rng = np.random.default_rng(7)
    models = {11: political_democracy_model(meanstructure=True), 40: four_factor_model()}
    print(f"{'p':>3} {'n_free':>6} {'patterns':>8} {'obj+grad':>12} {'per pattern':>12} "
          f"{'per-pattern ratio':>18} {'total ratio':>12} {'information':>12}")
    for p, model in models.items():
        engine = model.ml_engine(meanstructure=True)
        theta = model.start_vector()
        Sigma, mu = engine.get_implied_moments(theta)
        n = model.n_free
        base = None
        for n_patterns in (1, 10, 100):
            pats = make_patterns(rng, Sigma, mu, n_patterns)
            t = median_seconds(lambda: (engine.objective_fiml(theta, *pats), engine.gradient_fiml(theta, *pats, n)))
            t_info = median_seconds(lambda: engine.expected_hessian_fiml(theta, pats[0], pats[1], n), budget=0.2, min_reps=3)
            base = base or t
            per = t / n_patterns
            print(f"{p:>3} {n:>6} {n_patterns:>8} {t * 1e6:>10.1f}us {per * 1e6:>10.1f}us "
                  f"{per / base:>18.3f} {t / base:>12.2f} {t_info * 1e3:>10.2f}ms")


if __name__ == "__main__":
    main()
