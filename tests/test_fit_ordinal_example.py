"""The ordinal example's DWLS weights and statistic.

Oracle for the two-step variance of a polychoric: the influence of a case is
the derivative of the whole estimator (thresholds from the weighted margins,
then rho from the weighted pair likelihood) when that case's weight grows,
taken by a finite difference; its mean square is N avar(rho)."""
import numpy as np
import pytest
from scipy.optimize import minimize_scalar
from scipy.stats import norm

import _backend
import fit_ordinal


@pytest.fixture(scope="module")
def result():
    return fit_ordinal.main([])


def weighted_polychoric(x, y, w, k=4):
    def taus(c):
        return norm.ppf(np.cumsum(np.bincount(c, weights=w, minlength=k))[:-1] / w.sum())

    tx, ty = taus(x), taus(y)
    res = minimize_scalar(lambda r: -w @ _backend.bivariate_loglik(x, y, tx, ty, r),
                          bounds=(-0.99, 0.99), method="bounded", options={"xatol": 1e-12})
    return res.x


@pytest.mark.parametrize("pair", [0, 5, 20, 30, 35])
def test_weight_is_inverse_n_times_two_step_variance(result, pair):
    i, j = result["pairs"][pair]
    x, y = result["codes"][i], result["codes"][j]
    n, eps = len(x), 1e-4
    base = np.ones(n)
    r0 = weighted_polychoric(x, y, base)
    influence = np.empty(n)
    # Cases in one cell of the pair's table have the same influence.
    for a in range(4):
        for b in range(4):
            cell = np.flatnonzero((x == a) & (y == b))
            if cell.size:
                w = (1 - eps) * base
                w[cell[0]] += eps * n
                influence[cell] = (weighted_polychoric(x, y, w) - r0) / eps
    n_avar = influence @ influence / n
    # eps 1e-4 and the scores' own differences agree to about 1e-3.
    assert 1 / result["weights"][pair] == pytest.approx(n_avar, rel=3e-3)
    assert result["gamma"][pair, pair] == pytest.approx(n_avar, rel=3e-3)


def test_statistic_is_n_times_f(result):
    assert result["converged"]
    assert result["stat"] == pytest.approx(301 * result["objective"], rel=1e-12)
    assert result["df"] == 36 - 12
    assert np.all(result["se"] > 0) and np.all(result["robust"] > 0)
