"""Ordinal CFA by DWLS on polychoric correlations.

The nine Holzinger-Swineford tests are cut at their quartiles into four
ordered categories, as if they had been recorded on a four-point scale.
One call, `polychoric_statistics`, gives each variable's thresholds (from its
marginal proportions), each pair's polychoric correlation (the bivariate
ordinal-probit likelihood maximised with the thresholds held there), the
DWLS weights and Gamma, the asymptotic covariance of sqrt(N) (r - rho) of
the polychorics r, by the two-step sandwich that takes the thresholds'
estimation into account. A three-factor model (visual x1-x3, textual x4-x6,
speed x7-x9; factor variances fixed to 1) is then fitted to the polychorics
by diagonally weighted least squares with W = diag(weights) = diag(Gamma)^-1.

Conventions. F = sum_k w_k e_k^2, e = r - sigma(theta-hat), the engine's
objective (no factor 1/2). Gamma belongs to sqrt(N) (r - rho), so the
covariance of r itself is Gamma / N, and to first order
sqrt(N) e = (I - Delta (Delta' W Delta)^-1 Delta' W) sqrt(N) (r - rho) with
Delta the Jacobian of sigma (`jacobian_dwls`) at the estimates. Hence
N F -> z' U z, z ~ N(0, Gamma), U = W - W Delta (Delta' W Delta)^-1 Delta' W:
a weighted sum of chi-squares(1) with the eigenvalues of U Gamma as weights,
mean tr(U Gamma) and variance 2 tr((U Gamma)^2), not a chi-square unless
W = Gamma^-1. The statistic printed is T = (N - 1) F, the convention users
compare with (same limit as N F); beside it the mean-and-variance adjusted
(scaled-shifted) T_ss = a T + df - a tr(U Gamma), a = sqrt(df / tr((U Gamma)^2)),
which has mean df and variance 2 df, referred to chi-square(df). T_ss and
the shift do not depend on the scale of W (a scales inversely to T).
Standard errors: from the expected information, cov = 2/N
inv(expected_hessian_dwls) = inv(Delta' W Delta) / N (right only if W were
Gamma^-1), and robust ones from the sandwich
inv(Delta' W Delta) Delta' W Gamma W Delta inv(Delta' W Delta) / N with the
same Gamma (N, as Gamma is that of sqrt(N) (r - rho)).
"""
from __future__ import annotations

import argparse
import sys
from itertools import combinations

import numpy as np
from scipy.optimize import minimize
from scipy.stats import chi2

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


def scaled_shifted(stat: float, df: int, weights: np.ndarray, gamma: np.ndarray,
                   delta: np.ndarray) -> tuple[float, float, float]:
    """T_ss, the scaling factor a and the shift df - a tr(U Gamma)."""
    wd = weights[:, None] * delta
    U = np.diag(weights) - wd @ np.linalg.solve(delta.T @ wd, wd.T)
    ug = U @ gamma
    a = np.sqrt(df / np.trace(ug @ ug))
    shift = df - a * np.trace(ug)
    return a * stat + shift, a, shift


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
    # Tied scores can leave a quantile category empty; the codes must number
    # occupied categories only, so an empty one is merged away.
    codes = np.column_stack([np.unique(quantile_categories(data[:, j], k), return_inverse=True)[1]
                             for j in range(p)])
    stats = _backend.polychoric_statistics(codes, gamma=True)
    taus, rho = stats["thresholds"], stats["correlations"]
    weights, gamma = stats["weights"], stats["gamma"]   # gamma: acov of sqrt(n) (r - rho)
    # statistics order: below the diagonal, column by column
    pairs = [(i, j) for j in range(p) for i in range(j + 1, p)]

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
    # One Jacobian serves both: expected_hessian_dwls is 2 J'WJ with this J,
    # so 2/N inv(expected_hessian_dwls) = bread / N.
    J = engine.jacobian_dwls(est, model.n_free)
    bread = np.linalg.inv(J.T @ (weights[:, None] * J))
    meat = J.T @ (weights[:, None] * gamma * weights[None, :]) @ J
    se = np.sqrt(np.diag(bread) / n)
    robust = np.sqrt(np.diag(bread @ meat @ bread) / n)
    stat, df = (n - 1) * fit.fun, len(rho) - model.n_free
    stat_ss, scaling, shift = scaled_shifted(stat, df, weights, gamma, J)

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
    print(f"DWLS weights 1/Gamma_kk, two-step sandwich with the thresholds' estimation: "
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
        ("DWLS F, T = (N - 1) F", (fit.fun, stat)),
        ("df, p-value (T as chi-square)", (df, float(chi2.sf(stat, df)))),
        ("scaled-shifted T, p-value", (stat_ss, float(chi2.sf(stat_ss, df)))),
        ("scaling factor, shift", (scaling, shift)),
    ]))
    print(f"  (T uses N - 1 = {n - 1}; the scaled-shifted T = a T + shift matches mean and")
    print("  variance of chi-square(df); the thresholds are not part of the DWLS fit, so")
    print("  neither the statistics nor the parameters count them)")
    phi = np.eye(3)
    for kk, (f, g) in enumerate(combinations(range(3), 2)):
        phi[f, g] = phi[g, f] = est[9 + kk]
    return {"polychorics": rho, "weights": weights, "gamma": gamma, "params": est,
            "se": se, "robust": robust, "residuals": theta, "factor_correlations": phi,
            "converged": bool(fit.success), "objective": fit.fun, "stat": stat, "df": df,
            "stat_scaled_shifted": stat_ss, "scaling": scaling, "shift": shift,
            "jacobian": J, "codes": codes, "thresholds": taus, "pairs": pairs}


if __name__ == "__main__":
    main(sys.argv[1:])
