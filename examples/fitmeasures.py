"""Fit measures from a model's and its baseline's test statistics.

Conventions: RMSEA and its interval use N (not N - 1), as the statistic
N * F does; SRMR averages the squared residual covariances, each divided by
sqrt(s_ii s_jj), over the p(p + 1)/2 variances and covariances.
"""
from __future__ import annotations

import numpy as np
from scipy.optimize import brentq
from scipy.stats import chi2, ncx2


def cfi(stat: float, df: int, base_stat: float, base_df: int) -> float:
    d = max(stat - df, 0.0)
    d_base = max(base_stat - base_df, d)
    return 1.0 if d_base == 0 else 1.0 - d / d_base


def tli(stat: float, df: int, base_stat: float, base_df: int) -> float:
    base = base_stat / base_df
    return (base - stat / df) / (base - 1.0)


def rmsea(stat: float, df: int, n: int) -> float:
    return float(np.sqrt(max(stat - df, 0.0) / (df * n)))


def rmsea_interval(stat: float, df: int, n: int, level: float = 0.90) -> tuple[float, float]:
    """Noncentrality lambda at which the observed statistic is the upper and
    the lower (1 - level)/2 quantile of a noncentral chi-square, as RMSEA."""
    tail = (1.0 - level) / 2

    def bound(prob: float) -> float:
        # cdf(stat; df, lambda) falls in lambda; no root when even lambda = 0
        # leaves the statistic below that quantile.
        if chi2.cdf(stat, df) < prob:
            return 0.0
        hi = max(stat, 1.0)
        while ncx2.cdf(stat, df, hi) > prob:
            hi *= 2
        lam = brentq(lambda nc: ncx2.cdf(stat, df, nc) - prob, 1e-12, hi, xtol=1e-10)
        return float(np.sqrt(lam / (df * n)))

    return bound(1.0 - tail), bound(tail)


def srmr(S: np.ndarray, Sigma: np.ndarray) -> float:
    d = np.sqrt(np.diag(S))
    resid = (S - Sigma) / np.outer(d, d)
    lower = resid[np.tril_indices(len(S))]
    return float(np.sqrt(np.mean(lower ** 2)))


def information_criteria(loglik: float, k: int, n: int) -> tuple[float, float]:
    """AIC and BIC of a fit with k free parameters on n cases."""
    return -2 * loglik + 2 * k, -2 * loglik + k * np.log(n)


def summary(stat: float, df: int, base_stat: float, base_df: int, n: int) -> dict[str, float]:
    lo, hi = rmsea_interval(stat, df, n)
    return {"p": float(chi2.sf(stat, df)), "base_p": float(chi2.sf(base_stat, base_df)),
            "cfi": cfi(stat, df, base_stat, base_df), "tli": tli(stat, df, base_stat, base_df),
            "rmsea": rmsea(stat, df, n), "rmsea_lo": lo, "rmsea_hi": hi}
