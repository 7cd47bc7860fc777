"""Ordinal CFA by DWLS on polychoric correlations.

The nine Holzinger-Swineford tests are cut at their quartiles into four
ordered categories, as if they had been recorded on a four-point scale.
Each variable's thresholds come from its marginal proportions; each pair's
polychoric correlation maximises the bivariate ordinal-probit likelihood
with the thresholds held there. A three-factor model (visual x1-x3, textual
x4-x6, speed x7-x9; factor variances fixed to 1) is then fitted to the
polychorics by diagonally weighted least squares.

Weights: w = 1 / (N avar(rho)), the inverse of the diagonal of the
asymptotic covariance of sqrt(N) (r - rho). avar is the two-step variance:
each case's influence on the polychoric comes from the casewise scores of
the pair likelihood for rho and of both variables' univariate threshold
likelihoods, linearised around the estimates, so the thresholds'
estimation is taken into account (`polychoric_influence`); avar is the mean
square of the influences over N. The fit statistic is T = N F; standard
errors from the expected information are cov = 2/N inv(expected_hessian_dwls),
the robust ones the sandwich with the full covariance of the polychorics
(outer products of the same casewise influences).
"""
from __future__ import annotations

import argparse
import sys
from itertools import combinations

import numpy as np
from scipy.optimize import minimize, minimize_scalar
from scipy.stats import chi2, norm

import _backend
import report
from semfront import LAMBDA_X, PHI, Model, holzinger_swineford_data

FACTORS = {"visual": (0, 1, 2), "textual": (3, 4, 5), "speed": (6, 7, 8)}


def quantile_categories(column: np.ndarray, k: int = 4) -> np.ndarray:
    """Codes 0..k-1: at most the first k-quantile, ..., above the last."""
    cuts = np.quantile(column, np.arange(1, k) / k)
    return np.digitize(column, cuts, right=True).astype(np.int32)


def quartile_categories(column: np.ndarray) -> np.ndarray:
    return quantile_categories(column, 4)


def marginal_thresholds(codes: np.ndarray, n_categories: int = 4) -> np.ndarray:
    counts = np.bincount(codes, minlength=n_categories)
    return norm.ppf(np.cumsum(counts)[:-1] / codes.size)


def threshold_scores(codes: np.ndarray, tau: np.ndarray) -> np.ndarray:
    """N x K-1 casewise scores of the univariate probit likelihood: a case in
    category c has probability Phi(tau_c) - Phi(tau_{c-1})."""
    cuts = np.concatenate(([-np.inf], tau, [np.inf]))
    prob = norm.cdf(cuts[codes + 1]) - norm.cdf(cuts[codes])
    dens = norm.pdf(tau)
    u = np.zeros((codes.size, tau.size))
    cases = np.arange(codes.size)
    up, low = codes < tau.size, codes > 0
    u[cases[up], codes[up]] = dens[codes[up]] / prob[up]
    u[cases[low], codes[low] - 1] -= dens[codes[low] - 1] / prob[low]
    return u


def cells(x: np.ndarray, y: np.ndarray):
    """The pair's occupied cells: their codes, counts and each case's cell.

    Cases in one cell share every likelihood term, so the sums over cases
    are count-weighted sums over at most K^2 cells.
    """
    keys, which, counts = np.unique(np.column_stack([x, y]), axis=0, return_inverse=True,
                                    return_counts=True)
    return (np.ascontiguousarray(keys[:, 0]), np.ascontiguousarray(keys[:, 1]),
            counts.astype(float), which.ravel())


def polychoric(x, y, tau_x, tau_y) -> float:
    cx, cy, counts, _ = cells(x, y)
    res = minimize_scalar(lambda r: -counts @ _backend.bivariate_loglik(cx, cy, tau_x, tau_y, r),
                          bounds=(-0.99, 0.99), method="bounded", options={"xatol": 1e-8})
    return float(res.x)


def polychoric_influence(x, y, tau_x, tau_y, rho, h: float = 1e-4) -> np.ndarray:
    """Each case's influence on rho-hat, the thresholds' estimation included:
    rho-hat - rho is about the mean of these; their mean square is N avar.

    Two-step estimating equations: sum u = 0 for each variable's thresholds,
    then sum s = 0 for rho with the thresholds held. Linearised,
    rho-hat - rho = -(sum s - g_tau H^-1 sum u) / g_rho, with g the
    derivatives of sum s and H those of sum u, taken by central differences
    of the casewise scores themselves.
    """
    cx, cy, counts, which = cells(x, y)
    kx = len(tau_x)
    point = np.concatenate([tau_x, tau_y, [rho]])

    def rho_score(q):  # per cell
        return _backend.categorical_casewise_scores(cx, cy, q[:kx], q[kx:-1], q[-1])[:, -1]

    def threshold_sums(q):  # sum u over the cases, both variables
        return np.concatenate([counts @ threshold_scores(cx, q[:kx]),
                               counts @ threshold_scores(cy, q[kx:])])

    g = np.empty(point.size)
    H = np.empty((point.size - 1, point.size - 1))
    for m in range(point.size):
        step = np.zeros(point.size)
        step[m] = h
        g[m] = counts @ (rho_score(point + step) - rho_score(point - step)) / (2 * h)
        if m < point.size - 1:
            # Block diagonal: each variable's thresholds have their own likelihood.
            H[:, m] = (threshold_sums(point[:-1] + step[:-1])
                       - threshold_sums(point[:-1] - step[:-1])) / (2 * h)
    u = np.hstack([threshold_scores(cx, tau_x), threshold_scores(cy, tau_y)])
    per_cell = -(rho_score(point) - u @ np.linalg.solve(H.T, g[:-1])) / g[-1]
    return len(x) * per_cell[which]


def three_factor_model() -> Model:
    m = Model(nx=9, ny=0, nxi=3, neta=0)
    for f, items in enumerate(FACTORS.values()):
        for i in items:
            m.free(LAMBDA_X, i, f, 0.7, f"{list(FACTORS)[f]} =~ x{i + 1}")
        m.fix(PHI, f, f, 1.0)
    for f, g in combinations(range(3), 2):
        m.free(PHI, g, f, 0.3, f"{list(FACTORS)[f]} ~~ {list(FACTORS)[g]}")
    # no residual variances: with every indicator ordinal they follow from
    # the unit variance of the latent responses
    return m


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="fit_ordinal", description=__doc__.split("\n\n")[0])
    ap.add_argument("--categories", type=int, default=4,
                    help="ordered categories each test is cut into (default %(default)s)")
    return ap


def main(argv: list[str] | None = None) -> dict:
    args = parser().parse_args([] if argv is None else argv)
    k = args.categories
    names, data = holzinger_swineford_data()
    n, p = data.shape
    codes = [quantile_categories(data[:, j], k) for j in range(p)]
    taus = [marginal_thresholds(c, k) for c in codes]

    # statistics order: below the diagonal, column by column
    pairs = [(i, j) for j in range(p) for i in range(j + 1, p)]
    rho = np.array([polychoric(codes[i], codes[j], taus[i], taus[j]) for i, j in pairs])
    influence = np.column_stack([
        polychoric_influence(codes[i], codes[j], taus[i], taus[j], r)
        for (i, j), r in zip(pairs, rho)])                      # n x n_stats
    gamma = influence.T @ influence / n    # acov of sqrt(n) (r - rho)
    weights = 1.0 / np.diag(gamma)

    model = three_factor_model()
    engine = model.register(_backend.DwlsEngine(model.nx, model.ny, model.nxi, model.neta,
                                                rho, weights, [True] * p))
    # the gradient comes from 1e-6 central differences, so a tighter gtol
    # would only chase their rounding
    fit = minimize(engine.objective_dwls, model.start_vector(),
                   jac=lambda q: engine.gradient_dwls(q, model.n_free), method="BFGS",
                   options={"gtol": 1e-7})
    est = fit.x
    theta = engine.get_diagonal_residuals(est)
    se = np.sqrt(np.diag(2.0 / n * np.linalg.inv(engine.expected_hessian_dwls(est, model.n_free))))
    J = engine.jacobian_dwls(est, model.n_free)
    bread = np.linalg.inv(J.T @ (weights[:, None] * J))
    meat = J.T @ (weights[:, None] * gamma * weights[None, :]) @ J
    robust = np.sqrt(np.diag(bread @ meat @ bread) / n)
    stat, df = n * fit.fun, len(rho) - model.n_free

    print(f"Holzinger-Swineford, N = {n}, nine tests cut at their quantiles into {k} categories")
    print("Thresholds (from the margins)")
    for nm, t in zip(names, taus):
        print(f"  {nm:<4}" + "".join(report.number(v, 8) for v in t))
    print("Polychoric correlations (thresholds held at the margins' values)")
    R = np.eye(p)
    for (i, j), r in zip(pairs, rho):
        R[i, j] = R[j, i] = r
    print("    " + "".join(f"{nm:>7}" for nm in names))
    for i, nm in enumerate(names):
        print(f"  {nm:<2}" + "".join(report.number(R[i, j], 7) for j in range(i + 1)))
    print(f"DWLS weights 1/(N avar), two-step avar with the thresholds' estimation: "
          f"median {np.median(weights):.3f}")
    print(f"DWLS by BFGS, {fit.nit} iterations ({'converged' if fit.success else fit.message})")
    print("Std.Err from the expected information, robust: sandwich with the polychorics' "
          "full covariance")
    report.print_lines(report.parameter_table(model.names, est, se, {"robust": robust}))
    print("Residual variances (from the unit variance of the latent responses)")
    print("  " + " ".join(f"{nm} {v:.3f}" for nm, v in zip(names, theta)))
    print()
    report.print_lines(report.fit_rows([
        ("N, free parameters", (n, model.n_free)),
        ("DWLS F, T = N F", (fit.fun, stat)),
        ("df, p-value (T as chi-square)", (df, float(chi2.sf(stat, df)))),
    ]))
    print(f"  (T uses N = {n}, the number of cases, not N - 1; the thresholds are not")
    print("  part of the DWLS fit, so neither the statistics nor the parameters count them)")
    phi = np.eye(3)
    for kk, (f, g) in enumerate(combinations(range(3), 2)):
        phi[f, g] = phi[g, f] = est[9 + kk]
    return {"polychorics": rho, "weights": weights, "gamma": gamma, "params": est,
            "se": se, "robust": robust, "residuals": theta, "factor_correlations": phi,
            "converged": bool(fit.success), "objective": fit.fun, "stat": stat, "df": df,
            "codes": codes, "thresholds": taus, "pairs": pairs}


if __name__ == "__main__":
    main(sys.argv[1:])
