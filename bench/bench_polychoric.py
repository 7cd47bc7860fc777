"""Cost of everything an ordinal DWLS or WLSMV fit needs from the data:
thresholds, polychoric correlations, DWLS weights and their full asymptotic
covariance, from `polychoric_statistics` in one call, against the per-pair
Python path the ordinal example took before (kept below as the baseline) and
against one `bivariate_loglik` call per pair over all N cases (the reference
unit: the least any per-pair method has to evaluate).

Data: generated Likert items, a multivariate normal with simple structure
(a few cross-loadings) cut at fixed thresholds into 5 categories (and into
7 for one size). Before timing, the new correlations are checked against the
baseline's (to 1e-6; the baseline maximises over [-0.99, 0.99] with a
tolerance of 1e-8); the baseline's weights use a different bread (observed
second derivatives of the pair likelihood) and are only compared, by their
largest relative difference.

Times are CPU time of the calling thread (one thread everywhere), medians of
repeats; the baseline runs once per size (seconds at the largest size). One
more column: gamma=True with n_threads=2, in wall-clock seconds.

    PYTHONPATH=build/dev python bench/bench_polychoric.py
"""
from __future__ import annotations

import argparse
import time

import numpy as np
from scipy.optimize import minimize_scalar
from scipy.stats import norm

import _backend

# (items p, cases N, categories)
SIZES = ((20, 1000, 5), (40, 2000, 5), (60, 3000, 5), (40, 2000, 7))
CUTS = {5: np.array([-1.4, -0.5, 0.3, 1.2]), 7: np.array([-1.8, -1.1, -0.45, 0.15, 0.8, 1.5])}


def likert_data(p: int, n: int, categories: int, seed: int = 20) -> np.ndarray:
    """N x p codes: p/5 correlated factors (0.3), five items each with
    loadings 0.5-0.8, every seventh item also loading 0.3 on the next
    factor; each item's cuts shifted a little so the margins differ."""
    rng = np.random.default_rng(seed)
    factors = p // 5
    lam = np.zeros((p, factors))
    owner = np.arange(p) * factors // p
    lam[np.arange(p), owner] = rng.uniform(0.5, 0.8, p)
    cross = np.arange(3, p, 7)
    lam[cross, (owner[cross] + 1) % factors] = 0.3
    phi = np.full((factors, factors), 0.3) + 0.7 * np.eye(factors)
    sigma = lam @ phi @ lam.T
    sigma[np.diag_indices(p)] = 1.0
    z = rng.multivariate_normal(np.zeros(p), sigma, size=n)
    cuts = CUTS[categories][None, :] + rng.uniform(-0.3, 0.3, (p, 1))
    codes = np.column_stack([np.searchsorted(cuts[j], z[:, j]) for j in range(p)])
    return codes.astype(np.int32)


# ---- the baseline: the ordinal example's former per-pair path ---------------------------

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


def per_pair_path(data: np.ndarray, categories: int):
    """Thresholds, correlations, weights and Gamma as the example computed them."""
    n, p = data.shape
    codes = [np.ascontiguousarray(data[:, j]) for j in range(p)]
    taus = [marginal_thresholds(c, categories) for c in codes]
    pairs = [(i, j) for j in range(p) for i in range(j + 1, p)]
    rho = np.array([polychoric(codes[i], codes[j], taus[i], taus[j]) for i, j in pairs])
    influence = np.column_stack([
        polychoric_influence(codes[i], codes[j], taus[i], taus[j], r)
        for (i, j), r in zip(pairs, rho)])
    gamma = influence.T @ influence / n
    return taus, rho, 1.0 / np.diag(gamma), gamma


# ---- timing -------------------------------------------------------------------------------

def cpu_seconds(f, budget: float, min_reps: int, clock=time.thread_time) -> float:
    """Median time over repeats: CPU time of the calling thread by default."""
    f()  # warm-up
    times = []
    start = clock()
    while len(times) < min_reps or clock() - start < budget:
        t0 = clock()
        f()
        times.append(clock() - t0)
    return float(np.median(times))


def reference_unit(data: np.ndarray, taus) -> None:
    """One `bivariate_loglik` call per pair over all N cases (at rho 0.3)."""
    p = data.shape[1]
    cols = [np.ascontiguousarray(data[:, j]) for j in range(p)]
    for j in range(p):
        for i in range(j + 1, p):
            _backend.bivariate_loglik(cols[i], cols[j], taus[i], taus[j], 0.3)


def main(argv: list[str] | None = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--budget", type=float, default=1.0,
                    help="CPU seconds of repeats per row (default %(default)s)")
    ap.add_argument("--no-baseline", action="store_true",
                    help="skip the former per-pair path (the slowest row)")
    args = ap.parse_args(argv)
    print("CPU seconds of the calling thread, medians; ratios against the reference unit "
          "(one bivariate_loglik call per pair over all N cases)")
    head = (f"{'p':>3} {'N':>5} {'K+1':>3} {'pairs':>5} | {'reference':>9} | {'stats':>8} "
            f"{'ratio':>6} | {'+gamma':>8} {'ratio':>6} {'2 thr':>7} | {'baseline':>8} {'ratio':>6} "
            f"{'old/new':>7} | {'max|dr|':>8} {'max rel dw':>10}")
    print(head)
    print("-" * len(head))
    for p, n, k in SIZES:
        data = likert_data(p, n, k)
        new = _backend.polychoric_statistics(data, gamma=True)
        taus = new["thresholds"]
        t_ref = cpu_seconds(lambda: reference_unit(data, taus), args.budget, 5)
        t_new = cpu_seconds(lambda: _backend.polychoric_statistics(data), args.budget, 5)
        t_gam = cpu_seconds(lambda: _backend.polychoric_statistics(data, gamma=True),
                            args.budget, 5)
        # two workers: wall time, as the second thread's CPU time is not the caller's
        t_two = cpu_seconds(lambda: _backend.polychoric_statistics(data, gamma=True, n_threads=2),
                            args.budget, 5, clock=time.perf_counter)
        base = f"{'-':>8} {'-':>6} {'-':>7} | {'-':>8} {'-':>10}"
        if not args.no_baseline:
            t0 = time.thread_time()
            old_taus, old_rho, old_w, _ = per_pair_path(data, k)
            t_old = time.thread_time() - t0
            for a, b in zip(old_taus, taus):
                np.testing.assert_allclose(a, b, rtol=0, atol=1e-12)
            dr = np.abs(old_rho - new["correlations"]).max()
            assert dr < 1e-6, dr
            dw = np.abs(old_w / new["weights"] - 1).max()
            base = (f"{t_old:>8.3f} {t_old / t_ref:>5.0f}x {t_old / t_gam:>6.0f}x | "
                    f"{dr:>8.1e} {dw:>10.3f}")
        print(f"{p:>3} {n:>5} {k:>3} {p * (p - 1) // 2:>5} | {t_ref:>9.4f} | {t_new:>8.4f} "
              f"{t_new / t_ref:>5.2f}x | {t_gam:>8.4f} {t_gam / t_ref:>5.2f}x {t_two:>7.4f} | {base}")
    print("\nstats: polychoric_statistics(codes); +gamma: with gamma=True; 2 thr: the same with "
          "n_threads=2, wall seconds;\nbaseline: the ordinal example's former per-pair path, "
          "one run; old/new: baseline / +gamma, which gives\nwhat the baseline gave (thresholds, "
          "correlations, weights, Gamma); max|dr|, max rel dw: its correlations and\nweights "
          "against the new ones.")


if __name__ == "__main__":
    main()
