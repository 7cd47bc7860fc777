"""Full-information ML for incomplete data: Bollen's political-democracy model
with a mean structure, fitted to a copy of the data from which about 10 % of
the values were removed completely at random, beside the fit to the complete
data.

The backend expects the cases already grouped into missing-data patterns;
`group_patterns` below is that step. Standard errors come from the expected
information: the FIML discrepancy F relates to the normal log-likelihood by
-2 log L = N F + const (N cases), so the information of log L is (N / 2) H,
H = expected_hessian_fiml, and cov = 2 / N * inv(H). The script checks that
scaling against the observed information (observed_hessian_fiml) and prints
observed-information and robust (sandwich, from casewise_scores_fiml)
standard errors beside the expected ones.
"""
from __future__ import annotations

import time

import numpy as np
from scipy.optimize import minimize

from semfront import political_democracy_data, political_democracy_model

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
    """Fisher scoring in a trust region: the expected information is the
    expected Hessian of the discrepancy. (A quasi-Newton line search that
    steps into a non-positive-definite Sigma and meets the 1e15 sentinel can
    stall on rounding-level differences.)"""
    n_free = len(start)
    lists, counts = patterns[0], patterns[1]
    result = minimize(
        lambda t: engine.objective_fiml(t, *patterns),
        start,
        jac=lambda t: engine.gradient_fiml(t, *patterns, n_free),
        hess=lambda t: engine.expected_hessian_fiml(t, lists, counts, n_free),
        method="trust-exact",
        options={"gtol": 1e-8, "maxiter": 500},
    )
    return result.x, result.fun, result.nit


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


def main() -> None:
    t0 = time.perf_counter()
    model = political_democracy_model(meanstructure=True)
    engine = model.ml_engine(meanstructure=True)
    _, complete = political_democracy_data()

    rng = np.random.default_rng(SEED)
    incomplete = complete.copy()
    incomplete[rng.random(complete.shape) < MISSING_FRACTION] = np.nan

    # The intercepts are the last p parameters, in the data's column order;
    # start them at the observed means.
    start = model.start_vector()
    start[-model.p:] = np.nanmean(incomplete, axis=0)

    full = group_patterns(complete)
    partial = group_patterns(incomplete)
    theta_c, F_c, it_c = fit(engine, start, full)
    theta_m, F_m, it_m = fit(engine, start, partial)
    se_c = standard_errors(engine, theta_c, full)
    se_m = standard_errors(engine, theta_m, partial)
    se_obs = observed_standard_errors(engine, theta_m, partial)
    se_rob = robust_standard_errors(engine, theta_m, partial, incomplete)

    n_missing = int(np.isnan(incomplete).sum())
    print(f"political democracy, {complete.shape[0]} countries x {complete.shape[1]} indicators, "
          f"{model.n_free} free parameters (with intercepts)")
    print(f"complete data : 1 pattern,  F = {F_c:.6f} after {it_c} scoring iterations")
    print(f"incomplete    : {n_missing} of {incomplete.size} values removed ({n_missing / incomplete.size:.1%}), "
          f"{len(partial[0])} patterns, {sum(partial[1])} cases, F = {F_m:.6f} after {it_m} iterations")
    print()
    print(f"{'parameter':<14}{'complete':>10}{'s.e.':>8}{'FIML':>11}{'s.e.':>8}{'FIML/complete s.e.':>20}")
    for k, name in enumerate(model.names):
        print(f"{name:<14}{theta_c[k]:>10.3f}{se_c[k]:>8.3f}{theta_m[k]:>11.3f}{se_m[k]:>8.3f}"
              f"{se_m[k] / se_c[k]:>20.2f}")
    print()
    ratio = se_m / se_obs
    print("standard errors: cov = 2/N * inv(expected_hessian_fiml), N = number of cases;")
    print(f"  check against the observed information (same scaling): s.e. ratio expected/observed "
          f"median {np.median(ratio):.3f}, range {ratio.min():.3f} .. {ratio.max():.3f}")
    print(f"  (a wrong factor of 2 would put the ratio near {np.sqrt(2):.2f} or {1 / np.sqrt(2):.2f})")
    print()
    print("FIML standard errors from the expected information, the observed information and robust (sandwich):")
    print(f"{'parameter':<14}{'expected':>10}{'observed':>10}{'robust':>10}")
    for k, name in enumerate(model.names):
        print(f"{name:<14}{se_m[k]:>10.3f}{se_obs[k]:>10.3f}{se_rob[k]:>10.3f}")
    print(f"elapsed {time.perf_counter() - t0:.2f} s")


if __name__ == "__main__":
    main()
