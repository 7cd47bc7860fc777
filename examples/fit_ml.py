"""Fit the political-democracy model by maximum likelihood.

The backend supplies the discrepancy F, its gradient and the expected
information to Fisher scoring, then the observed information and the
casewise scores for robust standard errors.

Scaling: F = log|Sigma| + tr(S Sigma^-1) - log|S| - p is not multiplied by
the sample size. The log-likelihood is -N/2 (F + log|S| + p + p log 2 pi),
so the information in log-likelihood units is N/2 times the Hessian of F:
    cov(ML)     = 2/N * inv(H_expected),
    cov(robust) = inv(N/2 H_observed) (sum_r s_r s_r') inv(N/2 H_observed),
with s_r the casewise scores. The test statistic is N * F at the minimum;
the baseline is the independence model fitted by the same engine.
"""
from __future__ import annotations

import argparse
import os
import sys

# The optimiser's own linear algebra is tiny; BLAS threads only add
# synchronisation, which dominates the fit on a busy machine.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np

import fitmeasures
import report
import semfront
from estimation import fit_ml


def parser() -> argparse.ArgumentParser:
    return argparse.ArgumentParser(prog="fit_ml", description=__doc__.split("\n\n")[0])


def fit(model, engine, S):
    res = fit_ml(engine, S, model.start_vector())
    if not res.converged:
        raise RuntimeError(f"Fisher scoring did not converge after {res.iterations} iterations")
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


def loglik(F: float, S: np.ndarray, N: int) -> float:
    p = len(S)
    return -N / 2 * (F + np.linalg.slogdet(S)[1] + p + p * np.log(2 * np.pi))


def main(argv: list[str] | None = None) -> dict:
    parser().parse_args([] if argv is None else argv)
    model = semfront.political_democracy_model()
    engine = model.ml_engine()
    names, data = semfront.political_democracy_data()
    N, p = data.shape
    S = np.cov(data, rowvar=False, bias=True)  # divisor N, as the discrepancy expects

    res = fit(model, engine, S)
    theta = res.x
    se, robust = standard_errors(model, engine, data, S, theta)

    base = semfront.independence_model(names, np.diag(S))
    base_fit = fit(base, base.ml_engine(), S)

    moments = p * (p + 1) // 2
    stat, df = N * res.fun, moments - model.n_free
    base_stat, base_df = N * base_fit.fun, moments - base.n_free
    Sigma, _ = engine.get_implied_moments(theta)

    print(f"Political democracy, ML: {N} countries, {p} observed variables; "
          f"Fisher scoring, {res.iterations} iterations")
    print("Std.Err from the expected information, robust: sandwich of the casewise scores")
    report.print_lines(report.parameter_table(model.names, theta, se, {"robust": robust}))
    print()
    report.print_lines(report.ml_fit_rows(N, model.n_free, stat, df, base_stat, base_df,
                                          loglik(res.fun, S, N), loglik(0.0, S, N),
                                          fitmeasures.srmr(S, Sigma)))
    return {"params": theta, "se": se, "robust": robust, "stat": stat, "df": df,
            "base_stat": base_stat, "base_df": base_df}


if __name__ == "__main__":
    main(sys.argv[1:])
