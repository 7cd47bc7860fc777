"""Ordinal CFA by DWLS on polychoric correlations.

The nine Holzinger-Swineford tests are cut at their quartiles into four
ordered categories, as if they had been recorded on a four-point scale.
Each variable's thresholds come from its marginal proportions; each pair's
polychoric correlation maximises the bivariate ordinal-probit likelihood
with the thresholds held there. A three-factor model (visual x1-x3, textual
x4-x6, speed x7-x9; factor variances fixed to 1) is then fitted to the
polychorics by diagonally weighted least squares.

Weights: the inverse of each polychoric's asymptotic variance, taken from the
pair's own score outer products (thresholds of both variables and the
correlation, from categorical_casewise_scores): var(rho) is the last diagonal
element of (S'S)^-1. Covariances between different polychorics are ignored,
which is what makes the weight matrix diagonal.
"""
from __future__ import annotations

import time
from itertools import combinations

import numpy as np
from scipy.optimize import minimize, minimize_scalar
from scipy.stats import norm

import _backend
from semfront import LAMBDA_X, PHI, Model, holzinger_swineford_data

FACTORS = {"visual": (0, 1, 2), "textual": (3, 4, 5), "speed": (6, 7, 8)}


def quartile_categories(column: np.ndarray) -> np.ndarray:
    """Codes 0-3: at most the first quartile, ..., above the third."""
    cuts = np.quantile(column, [0.25, 0.5, 0.75])
    return np.digitize(column, cuts, right=True).astype(np.int32)


def marginal_thresholds(codes: np.ndarray, n_categories: int = 4) -> np.ndarray:
    counts = np.bincount(codes, minlength=n_categories)
    return norm.ppf(np.cumsum(counts)[:-1] / codes.size)


def polychoric(x, y, tau_x, tau_y) -> float:
    res = minimize_scalar(lambda r: -bivariate_loglik_sum(x, y, tau_x, tau_y, r),
                          bounds=(-0.99, 0.99), method="bounded", options={"xatol": 1e-8})
    return float(res.x)


def bivariate_loglik_sum(x, y, tau_x, tau_y, rho) -> float:
    return float(_backend.bivariate_loglik(x, y, tau_x, tau_y, rho).sum())


def polychoric_variance(x, y, tau_x, tau_y, rho) -> float:
    S = _backend.categorical_casewise_scores(x, y, tau_x, tau_y, rho)
    return float(np.linalg.inv(S.T @ S)[-1, -1])


def three_factor_model() -> Model:
    m = Model(nx=9, ny=0, nxi=3, neta=0)
    for f, items in enumerate(FACTORS.values()):
        for i in items:
            m.free(LAMBDA_X, i, f, 0.7, f"x{i + 1}")
        m.fix(PHI, f, f, 1.0)
    for f, g in combinations(range(3), 2):
        m.free(PHI, g, f, 0.3, f"{list(FACTORS)[f]}~~{list(FACTORS)[g]}")
    # no residual variances: with every indicator ordinal they follow from
    # the unit variance of the latent responses
    return m


def main() -> dict:
    start = time.perf_counter()
    names, data = holzinger_swineford_data()
    n, p = data.shape
    codes = [quartile_categories(data[:, j]) for j in range(p)]
    taus = [marginal_thresholds(c) for c in codes]

    # statistics order: below the diagonal, column by column
    pairs = [(i, j) for j in range(p) for i in range(j + 1, p)]
    rho = np.array([polychoric(codes[i], codes[j], taus[i], taus[j]) for i, j in pairs])
    var = np.array([polychoric_variance(codes[i], codes[j], taus[i], taus[j], r)
                    for (i, j), r in zip(pairs, rho)])

    model = three_factor_model()
    engine = model.register(_backend.DwlsEngine(model.nx, model.ny, model.nxi, model.neta,
                                                rho, 1.0 / var, [True] * p))
    # the gradient comes from 1e-6 central differences, so a tighter gtol
    # would only chase their rounding
    fit = minimize(engine.objective_dwls, model.start_vector(),
                   jac=lambda q: engine.gradient_dwls(q, model.n_free), method="BFGS",
                   options={"gtol": 1e-5})
    est = fit.x
    theta = engine.get_diagonal_residuals(est)
    elapsed = time.perf_counter() - start

    print(f"Holzinger-Swineford, n = {n}, nine tests cut at their quartiles (4 categories)")
    print("Polychoric correlations (lower triangle):")
    R = np.eye(p)
    for (i, j), r in zip(pairs, rho):
        R[i, j] = R[j, i] = r
    print("      " + " ".join(f"{nm:>6}" for nm in names))
    for i, nm in enumerate(names):
        print(f"{nm:>6}" + " ".join(f"{R[i, j]:6.3f}" for j in range(i + 1)))
    print(f"Weights 1/avar(rho), diagonal approximation from the pairwise score outer products:"
          f" median {np.median(1 / var):.0f}")
    print(f"\nDWLS fit: F = {fit.fun:.6f} after {fit.nit} iterations"
          f" ({'converged' if fit.success else fit.message})")
    print("\nStandardised loadings     loading  residual")
    for f, (factor, items) in enumerate(FACTORS.items()):
        for i in items:
            print(f"  {factor:>8} =~ {names[i]:<4}     {est[i]:7.3f}   {theta[i]:7.3f}")
    phi = np.eye(3)
    for k, (f, g) in enumerate(combinations(range(3), 2)):
        phi[f, g] = phi[g, f] = est[9 + k]
    print("\nFactor correlations")
    print("           " + " ".join(f"{nm:>8}" for nm in FACTORS))
    for f, nm in enumerate(FACTORS):
        print(f"  {nm:>8} " + " ".join(f"{phi[f, g]:8.3f}" for g in range(f + 1)))
    print(f"\n({elapsed:.2f} s)")
    return {"polychorics": rho, "weights": 1.0 / var, "params": est, "residuals": theta,
            "factor_correlations": phi, "converged": bool(fit.success), "objective": fit.fun}


if __name__ == "__main__":
    main()
