"""The ML example end to end: political democracy, 38.125 on 35 df, and the
fit measures that follow from it, each against a computation of its own."""
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from scipy.stats import chi2, multivariate_normal, ncx2, norm

import _backend
from semfront import political_democracy_data, political_democracy_model

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "fit_ml.py"
NUMBER = r"-?\d+(?:\.\d+)?"


def parse(out: str) -> tuple[dict[str, list[float]], dict[str, list[float]]]:
    """Parameter rows `lhs op rhs  numbers` and fit rows `label  numbers`."""
    params, fit = {}, {}
    for line in out.splitlines():
        m = re.match(rf"  (\S+ (?:=~|~~|~) \S+)((?:\s+{NUMBER})+)$", line)
        if m:
            params[m[1]] = [float(v) for v in m[2].split()]
            continue
        m = re.match(rf"  (\S.*?)((?:\s+{NUMBER})+)$", line)
        if m:
            fit[m[1]] = [float(v) for v in m[2].split()]
    return params, fit


@pytest.fixture(scope="module")
def printed():
    # A fresh interpreter, so the example's single-threaded BLAS setting
    # takes effect before NumPy loads.
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_backend.__file__))
    out = subprocess.run([sys.executable, str(EXAMPLE)], env=env, capture_output=True,
                         text=True, check=True, timeout=120).stdout
    return parse(out)


@pytest.fixture(scope="module")
def sample():
    _, data = political_democracy_data()
    return data, np.cov(data, rowvar=False, bias=True)


def test_parameter_table(printed):
    params, _ = printed
    names = political_democracy_model().names
    assert sorted(params) == sorted(names)
    rows = np.array([params[n] for n in names])  # estimate, se, z, p, robust
    assert np.all(rows[:, 1] > 0) and np.all(rows[:, 4] > 0)
    # z = estimate / se, both rounded to three decimals.
    est, se, z, p = rows[:, :4].T
    slack = np.abs(est / se) * (5e-4 / se + 5e-4 / np.abs(est)) + 5e-4
    assert np.all(np.abs(z - est / se) <= slack)
    np.testing.assert_allclose(p, 2 * norm.sf(np.abs(z)), atol=2e-3)
    assert params["dem60 ~ ind60"][:2] == [1.483, 0.399]  # Bollen (1989)


def test_test_statistic_and_baseline(printed, sample):
    _, fit = printed
    data, S = sample
    N = len(data)
    stat, df, p = fit["chi-square, df, p-value"]
    # N * F at the minimum of the classic 31-parameter model.
    assert abs(stat - 38.125) < 1e-3 and df == 35
    assert p == pytest.approx(chi2.sf(38.125, 35), abs=6e-4)
    # The independence model's ML fit is Sigma = diag(S), so its statistic
    # is N (sum log s_ii - log|S|).
    base = N * (np.log(np.diag(S)).sum() - np.linalg.slogdet(S)[1])
    base_stat, base_df, _ = fit["baseline chi-square, df, p-value"]
    assert base_stat == pytest.approx(base, abs=6e-4) and base_df == 55


def test_measures_that_follow_from_the_statistics(printed, sample):
    _, fit = printed
    data, S = sample
    N, stat, df = len(data), 38.125, 35
    base_stat, base_df, _ = fit["baseline chi-square, df, p-value"]
    cfi, tli = fit["CFI, TLI"]
    assert cfi == pytest.approx(1 - (stat - df) / (base_stat - base_df), abs=6e-4)
    assert tli == pytest.approx((base_stat / base_df - stat / df) / (base_stat / base_df - 1),
                                abs=6e-4)
    est, lo, hi = fit["RMSEA, 90 % interval"]
    assert est == pytest.approx(np.sqrt((stat - df) / (df * N)), abs=6e-4)
    # The interval's ends are the noncentralities N df rmsea^2 at which the
    # statistic is the 95 % and 5 % quantile; 0 when even 0 is too much.
    assert lo == 0 and chi2.cdf(stat, df) < 0.95
    assert ncx2.cdf(stat, df, N * df * hi ** 2) == pytest.approx(0.05, abs=2e-3)


def test_likelihood_and_information_criteria(printed, sample):
    """The log-likelihoods as sums of normal densities over the cases: at the
    estimates (Sigma from the backend, mean the sample mean) and saturated."""
    params, fit = printed
    data, S = sample
    N = len(data)
    model = political_democracy_model()
    theta = np.array([params[n][0] for n in model.names])
    Sigma, _ = model.ml_engine().get_implied_moments(theta)
    xbar = data.mean(axis=0)
    loglik, sat = fit["log-likelihood, saturated"]
    # Estimates printed to three decimals move log L by a few thousandths.
    assert loglik == pytest.approx(multivariate_normal(xbar, Sigma).logpdf(data).sum(), abs=0.05)
    assert sat == pytest.approx(multivariate_normal(xbar, S).logpdf(data).sum(), abs=6e-4)
    aic, bic = fit["AIC, BIC"]
    assert fit["N, free parameters"] == [75, 31]
    assert aic == pytest.approx(-2 * loglik + 2 * 31, abs=2e-3)
    assert bic == pytest.approx(-2 * loglik + 31 * np.log(N), abs=2e-3)
