"""Fit the political-democracy model by maximum likelihood with SciPy.

The backend supplies the discrepancy F and its gradient to the optimiser,
then the expected and observed information and the casewise scores for
standard errors.

Scaling: F = log|Sigma| + tr(S Sigma^-1) - log|S| - p is not multiplied by
the sample size. The log-likelihood is -N/2 F + const, so the information
in log-likelihood units is N/2 times the Hessian of F, and
    cov(ML)     = 2/N * inv(H_expected),
    cov(robust) = inv(N/2 H_observed) (sum_r s_r s_r') inv(N/2 H_observed),
with s_r the casewise scores. The test statistic is N * F at the minimum.

Run: python examples/fit_ml.py  (with the built module on PYTHONPATH)
"""
from __future__ import annotations

import os

# The optimiser's own linear algebra is tiny; BLAS threads only add
# synchronisation, which dominates the fit on a busy machine.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import time

import numpy as np
from scipy.optimize import minimize
from scipy.stats import chi2

import semfront


def fit(model, engine, S):
    n_free = model.n_free
    res = minimize(lambda x: engine.objective_ml(x, S),
                   model.start_vector(),
                   jac=lambda x: engine.gradient_ml(x, S, None, n_free),
                   method="L-BFGS-B",
                   options={"maxiter": 2000, "ftol": 1e-14, "gtol": 1e-9})
    if not res.success:
        raise RuntimeError(f"optimiser did not converge: {res.message}")
    return res


def standard_errors(model, engine, data, S, theta):
    N, n_free = data.shape[0], model.n_free
    H_exp = engine.expected_hessian_ml(theta, n_free)
    se = np.sqrt(np.diag(2.0 / N * np.linalg.inv(H_exp)))

    bread = np.linalg.inv(N / 2.0 * engine.observed_hessian_ml(theta, S, None, n_free))
    scores = engine.casewise_scores(data, theta, n_free, False)  # N x n_free
    meat = scores.T @ scores
    robust = np.sqrt(np.diag(bread @ meat @ bread))
    return se, robust


def main() -> None:
    model = semfront.political_democracy_model()
    engine = model.ml_engine()
    _, data = semfront.political_democracy_data()
    N, p = data.shape
    S = np.cov(data, rowvar=False, bias=True)  # divisor N, as the discrepancy expects

    t0 = time.perf_counter()
    res = fit(model, engine, S)
    fit_time = time.perf_counter() - t0
    theta = res.x
    se, robust = standard_errors(model, engine, data, S, theta)

    stat = N * res.fun
    df = p * (p + 1) // 2 - model.n_free
    print(f"Political democracy, ML: N = {N}, {p} observed variables, "
          f"{model.n_free} free parameters")
    print("se: sqrt diag 2/N inv(expected information); robust se: sandwich of the\n"
          "casewise scores with N/2 times the observed information")
    print(f"{'parameter':<16}{'estimate':>10}{'se':>10}{'robust se':>11}")
    for name, est, s, r in zip(model.names, theta, se, robust):
        print(f"{name:<16}{est:>10.3f}{s:>10.3f}{r:>11.3f}")
    print(f"chi-square = {stat:.3f} on {df} df (p = {chi2.sf(stat, df):.3f})")
    print(f"fit: {res.nit} iterations, {res.nfev} evaluations, {fit_time * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
