"""Full-information ML for incomplete data: Bollen's political-democracy model
with a mean structure, fitted to a copy of the data from which about 10 % of
the values were removed completely at random.

The backend expects the cases already grouped into missing-data patterns;
`group_patterns` below is that step. Standard errors come from the expected
information: the FIML discrepancy F relates to the normal log-likelihood by
-2 log L = N F + const (N cases), so the information of log L is (N / 2) H,
H = expected_hessian_fiml, and cov = 2 / N * inv(H). The script checks that
scaling against the observed information (observed_hessian_fiml) and prints
observed-information and robust (sandwich, from casewise_scores_fiml)
standard errors beside the expected ones.

The test statistic is N (F - F_saturated), the saturated model (every mean,
variance and covariance free) and the independence baseline being fitted by
the same engine on the same patterns.
"""
from __future__ import annotations

import argparse
import sys

import numpy as np

import fitmeasures
import report
from estimation import fit_fiml
from semfront import (independence_model, political_democracy_data, political_democracy_model,
                      saturated_model)

MISSING_FRACTION = 0.10
SEED = 20240611


def group_patterns(data: np.ndarray):
    """Cases grouped by the set of variables they observe.

    Returns the four parallel lists of the FIML methods: observed indices,
    case counts, means and ML covariance matrices (divisor n_p, as the
    likelihood needs) over each pattern's observed variables. Cases that
    observe nothing carry no information and are left out.
    """
    observed = ~np.isnan(data)
    observed = observed[observed.any(axis=1)]
    data = data[~np.isnan(data).all(axis=1)]
    keys, which = np.unique(observed, axis=0, return_inverse=True)
    which = which.ravel()
    lists, counts, means, covs = [], [], [], []
    for q, key in enumerate(keys):
        idx = np.flatnonzero(key)
        x = data[which == q][:, idx]
        centred = x - x.mean(axis=0)
        lists.append([int(i) for i in idx])
        counts.append(len(x))
        means.append(x.mean(axis=0))
        covs.append(centred.T @ centred / len(x))
    return lists, counts, means, covs


def fit(engine, start: np.ndarray, patterns) -> tuple[np.ndarray, float, int]:
    res = fit_fiml(engine, patterns, start)
    if not res.converged:
        raise RuntimeError(f"Fisher scoring did not converge after {res.iterations} iterations")
    return res.x, res.fun, res.iterations


def standard_errors(engine, theta: np.ndarray, patterns) -> np.ndarray:
    lists, counts = patterns[0], patterns[1]
    H = engine.expected_hessian_fiml(theta, lists, counts, len(theta))
    return np.sqrt(np.diag(2.0 / sum(counts) * np.linalg.inv(H)))


def observed_standard_errors(engine, theta: np.ndarray, patterns) -> np.ndarray:
    """The same scaling on the observed information, the exact Hessian of F:
    the usual choice with incomplete data, valid when the values are missing
    at random (the expected information assumes completely at random)."""
    H = engine.observed_hessian_fiml(theta, *patterns, len(theta))
    return np.sqrt(np.diag(2.0 / sum(patterns[1]) * np.linalg.inv(H)))


def robust_standard_errors(engine, theta: np.ndarray, patterns, data: np.ndarray) -> np.ndarray:
    """Sandwich standard errors, robust to non-normality: cov = A^-1 B A^-1
    with A = (N/2) observed_hessian_fiml, the observed information of log L,
    and B the sum of the outer products of the cases' scores."""
    n = len(theta)
    A_inv = np.linalg.inv(sum(patterns[1]) / 2.0 * engine.observed_hessian_fiml(theta, *patterns, n))
    scores = engine.casewise_scores_fiml(data, theta, n)
    return np.sqrt(np.diag(A_inv @ (scores.T @ scores) @ A_inv))


def loglik(F: float, patterns) -> float:
    """-2 log L = N F + sum_p n_p p_p log(2 pi)."""
    lists, counts = patterns[0], patterns[1]
    return -0.5 * (sum(counts) * F + sum(n * len(i) for i, n in zip(lists, counts))
                   * np.log(2 * np.pi))


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="fit_fiml", description=__doc__.split("\n\n")[0])
    ap.add_argument("--missing", type=float, default=MISSING_FRACTION,
                    help="fraction of values removed at random (default %(default)s)")
    ap.add_argument("--seed", type=int, default=SEED, help="seed of the removal")
    return ap


def main(argv: list[str] | None = None) -> dict:
    args = parser().parse_args([] if argv is None else argv)
    model = political_democracy_model(meanstructure=True)
    engine = model.ml_engine(meanstructure=True)
    names, complete = political_democracy_data()

    rng = np.random.default_rng(args.seed)
    incomplete = complete.copy()
    incomplete[rng.random(complete.shape) < args.missing] = np.nan

    # The intercepts are the last p parameters, in the data's column order;
    # start them at the observed means.
    means, variances = np.nanmean(incomplete, axis=0), np.nanvar(incomplete, axis=0)
    start = model.start_vector()
    start[-model.p:] = means

    partial = group_patterns(incomplete)
    theta, F, iterations = fit(engine, start, partial)
    se = standard_errors(engine, theta, partial)
    se_obs = observed_standard_errors(engine, theta, partial)
    se_rob = robust_standard_errors(engine, theta, partial, incomplete)

    sat = saturated_model(names, variances, means)
    sat_engine = sat.ml_engine(meanstructure=True)
    sat_theta, F_sat, _ = fit(sat_engine, sat.start_vector(), partial)
    base = independence_model(names, variances, means)
    _, F_base, _ = fit(base.ml_engine(meanstructure=True), base.start_vector(), partial)

    N, p = sum(partial[1]), model.p
    moments = p * (p + 1) // 2 + p
    stat, df = N * (F - F_sat), moments - model.n_free
    base_stat, base_df = N * (F_base - F_sat), moments - base.n_free
    Sigma, _ = engine.get_implied_moments(theta)
    S_sat, _ = sat_engine.get_implied_moments(sat_theta)

    n_missing = int(np.isnan(incomplete).sum())
    print(f"Political democracy, FIML: {n_missing} of {incomplete.size} values removed at random "
          f"({n_missing / incomplete.size:.1%}),")
    print(f"{len(partial[0])} missing-data patterns; Fisher scoring, {iterations} iterations")
    print("Std.Err: cov = 2/N * inv(expected_hessian_fiml), N = number of cases;")
    print("observed: the same scaling on the observed information (observed_hessian_fiml);")
    print("robust (sandwich): A^-1 B A^-1, A = N/2 observed_hessian_fiml, B from casewise_scores_fiml")
    report.print_lines(report.parameter_table(model.names, theta, se,
                                              {"observed": se_obs, "robust": se_rob}))
    print()
    report.print_lines(report.ml_fit_rows(N, model.n_free, stat, df, base_stat, base_df,
                                          loglik(F, partial), loglik(F_sat, partial),
                                          fitmeasures.srmr(S_sat, Sigma)))
    print("  (statistics against the saturated model; SRMR against its covariance matrix)")
    return {"params": theta, "se": se, "se_observed": se_obs, "se_robust": se_rob, "stat": stat, "df": df,
            "base_stat": base_stat, "base_df": base_df, "patterns": partial}


if __name__ == "__main__":
    main(sys.argv[1:])
