"""Observed information (exact) against expected information
(first derivatives only) on two model sizes; prints medians and ratios.

Run: PYTHONPATH=build/dev python bench/bench_ml_hessian.py
"""
from __future__ import annotations

import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import semfront  # noqa: E402
from semfront import (BETA, GAMMA, LAMBDA_X, LAMBDA_Y, PHI, PSI, THETA_DELTA,  # noqa: E402
                      THETA_EPSILON, Model)


def generated_model(per_factor: int = 5, factors: int = 4) -> Model:
    """factors xi and factors eta, per_factor indicators each, a chain of
    etas, Gamma on and below the diagonal, correlated xi and a few
    correlated y residuals."""
    n = per_factor * factors
    m = Model(nx=n, ny=n, nxi=factors, neta=factors)
    for f in range(factors):
        for i in range(per_factor):
            r = f * per_factor + i
            if i == 0:
                m.fix(LAMBDA_X, r, f)
                m.fix(LAMBDA_Y, r, f)
            else:
                m.free(LAMBDA_X, r, f, 0.8 + 0.05 * i)
                m.free(LAMBDA_Y, r, f, 0.9 + 0.05 * i)
        m.free(PHI, f, f, 1.0)
        m.free(PSI, f, f, 0.5)
        for g in range(f):
            m.free(PHI, f, g, 0.2)
        m.free(GAMMA, f, f, 0.4)
        if f > 0:
            m.free(GAMMA, f, f - 1, 0.1)
            m.free(BETA, f, f - 1, 0.3)
    for r in range(n):
        m.free(THETA_DELTA, r, r, 0.5)
        m.free(THETA_EPSILON, r, r, 0.5)
    for r in range(0, 16, 4):
        m.free(THETA_EPSILON, r + 1, r, 0.05)
    return m


def median_seconds(f, repeats: int) -> float:
    f()  # warm-up
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def bench(label: str, model: Model, S: np.ndarray, repeats: int) -> None:
    engine = model.ml_engine()
    theta, k = model.start_vector(), model.n_free
    expected = median_seconds(lambda: engine.expected_hessian_ml(theta, k), repeats)
    observed = median_seconds(lambda: engine.observed_hessian_ml(theta, S, None, k), repeats)
    gradient = median_seconds(lambda: engine.gradient_ml(theta, S, None, k), repeats)
    print(f"{label:<28} p={model.p:<3} n_free={k:<4} "
          f"gradient {gradient * 1e3:8.3f} ms  expected {expected * 1e3:8.3f} ms  "
          f"observed {observed * 1e3:8.3f} ms  observed/expected {observed / expected:6.1f}x")


def main() -> None:
    pd = semfront.political_democracy_model()
    _, data = semfront.political_democracy_data()
    bench("political democracy", pd, np.cov(data, rowvar=False, bias=True), repeats=200)

    big = generated_model()
    Sigma, _ = big.ml_engine().get_implied_moments(big.start_vector())
    rng = np.random.default_rng(1)
    sample = rng.multivariate_normal(np.zeros(big.p), Sigma, size=500)
    bench("generated (4+4 factors)", big, np.cov(sample, rowvar=False, bias=True), repeats=20)


if __name__ == "__main__":
    main()
