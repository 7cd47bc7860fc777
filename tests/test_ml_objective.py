"""ML discrepancy: the closed form, its sentinels and its log|S| cache."""
import numpy as np
import pytest

import _backend
from ml_model_shapes import SHAPES, make_case
from semfront import LAMBDA_Y, PSI, TAU_Y, THETA_EPSILON, Model

SENTINEL = 1e15


def discrepancy(Sigma, S, mu=None, xbar=None):
    """log|Sigma| + tr(S Sigma^-1) - log|S| - p [+ d' Sigma^-1 d], by NumPy."""
    p = S.shape[0]
    Si = np.linalg.inv(Sigma)
    F = np.linalg.slogdet(Sigma)[1] + np.trace(S @ Si) - np.linalg.slogdet(S)[1] - p
    if xbar is not None:
        d = xbar - mu
        F += d @ Si @ d
    return F


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("means", [False, True])
def test_matches_closed_form(shape, means):
    c = make_case(shape, means)
    Sigma, mu = c.engine.get_implied_moments(c.params)
    expected = discrepancy(Sigma, c.S, mu, c.xbar if means else None)
    # Cholesky against LU-based log-determinants: agreement to rounding.
    assert c.engine.objective_ml(c.params, c.S, c.xbar) == pytest.approx(expected, rel=1e-12)


def test_mean_term_needs_meanstructure_and_mean():
    with_ms = make_case("structural", True)
    without = make_case("structural", True, meanstructure=False)
    Sigma, mu = with_ms.engine.get_implied_moments(with_ms.params)
    d = with_ms.xbar - mu
    f_cov = with_ms.engine.objective_ml(with_ms.params, with_ms.S)
    f_full = with_ms.engine.objective_ml(with_ms.params, with_ms.S, with_ms.xbar)
    assert f_full - f_cov == pytest.approx(d @ np.linalg.solve(Sigma, d), rel=1e-10)
    # Without a mean structure a given mean changes nothing at all.
    assert without.engine.objective_ml(without.params, without.S, without.xbar) == \
        without.engine.objective_ml(without.params, without.S)


@pytest.mark.parametrize("shape", SHAPES)
def test_perfect_fit_is_zero(shape):
    c = make_case(shape, True)
    Sigma, mu = c.engine.get_implied_moments(c.params)
    assert c.engine.objective_ml(c.params, Sigma, mu) == pytest.approx(0.0, abs=1e-12)
    assert c.engine.objective_ml(c.params, Sigma, mu) >= 0.0


def one_factor(ny=3):
    m = Model(nx=0, ny=ny, nxi=0, neta=1)
    for i in range(ny):
        m.free(LAMBDA_Y, i, 0, 1.0)
    m.fix(PSI, 0, 0, 1.0)
    for i in range(ny):
        m.free(THETA_EPSILON, i, i, 0.5)
    return m


def test_indefinite_sigma_gives_sentinel():
    m = one_factor()
    e = m.ml_engine()
    params = m.start_vector()
    params[3] = -2.0  # residual variance far below zero
    S = np.eye(3) + 0.3
    assert e.objective_ml(params, S) == SENTINEL


def test_nan_discrepancy_is_not_a_perfect_fit():
    c = make_case("cfa_xy", True)
    nan_params = c.params.copy()
    nan_params[0] = np.nan
    assert c.engine.objective_ml(nan_params, c.S, c.xbar) == SENTINEL
    # Non-finite sample moments are bad input, not a fit: a NaN above the
    # diagonal of S would pass the factorisation (which reads the lower
    # triangle) and reach only the trace.
    nan_mean = c.xbar.copy()
    nan_mean[1] = np.nan
    S = c.S.copy()
    S[0, 2] = np.nan
    for args in ((c.S, nan_mean), (S, c.xbar)):
        with pytest.raises(ValueError, match="must be finite"):
            c.engine.objective_ml(c.params, *args)


def test_a_new_sample_refills_the_cache():
    c = make_case("structural", False)
    fresh = make_case("structural", False).engine
    S2 = c.S * 1.3 + 0.05 * np.eye(c.S.shape[0])
    first = c.engine.objective_ml(c.params, c.S)
    assert c.engine.objective_ml(c.params, S2) == fresh.objective_ml(c.params, S2)
    assert c.engine.objective_ml(c.params, c.S) == first
    # The cache holds its own copy: changing the caller's array in place is a
    # new sample too.
    S = np.asfortranarray(c.S.copy())
    c.engine.objective_ml(c.params, S)
    S *= 0.9
    fresh = make_case("structural", False).engine
    assert c.engine.objective_ml(c.params, S) == fresh.objective_ml(c.params, S)


@pytest.mark.parametrize("bad", ["indefinite", "singular", "nan_diagonal"])
def test_sample_cov_not_positive_definite(bad):
    c = make_case("cfa_xy", False)
    S = c.S.copy()
    if bad == "indefinite":
        S[0, 0] = -1.0
    elif bad == "singular":
        S[:, 1] = S[:, 0]
        S[1, :] = S[0, :]
    else:
        S[2, 2] = np.nan
    good = c.engine.objective_ml(c.params, c.S)
    with pytest.raises(ValueError, match="not positive definite|must be finite"):
        c.engine.objective_ml(c.params, S)
    # The engine and its cache are as before.
    assert c.engine.objective_ml(c.params, c.S) == good


def test_c_ordered_sample_equals_fortran_ordered():
    c = make_case("structural", True)
    f = c.engine.objective_ml(c.params, np.asfortranarray(c.S), c.xbar)
    assert c.engine.objective_ml(c.params, np.ascontiguousarray(c.S), list(c.xbar)) == f


def test_empty_model_gives_zero():
    e = _backend.MlEngine(0, 0, 0, 0)
    assert e.objective_ml(np.zeros(0), np.zeros((0, 0))) == 0.0


@pytest.mark.parametrize("kind", ["cov_shape", "cov_rectangular", "mean_length", "params_short"])
def test_bad_input_raises_and_leaves_engine_usable(kind):
    c = make_case("structural", True)
    p = c.S.shape[0]
    args = [c.params, c.S, c.xbar]
    if kind == "cov_shape":
        args[1] = np.eye(p + 1)
    elif kind == "cov_rectangular":
        args[1] = np.ones((p, p - 1))
    elif kind == "mean_length":
        args[2] = np.zeros(p - 1)
    else:
        args[0] = c.params[:-1]
    with pytest.raises(ValueError, match=r"sample_cov|sample_mean|params"):
        c.engine.objective_ml(*args)
    fresh = make_case("structural", True).engine
    assert c.engine.objective_ml(c.params, c.S, c.xbar) == fresh.objective_ml(c.params, c.S, c.xbar)


def test_params_need_to_cover_the_means_only_when_they_are_used():
    m = one_factor()
    m.free(TAU_Y, 1, 0, 0.0)  # the last parameter
    e = m.ml_engine(meanstructure=True)
    cov_params = m.start_vector()[:-1]
    Sigma, _ = e.get_implied_moments(m.start_vector())
    assert e.objective_ml(cov_params, Sigma) == pytest.approx(0.0, abs=1e-12)
    with pytest.raises(ValueError, match=r"params has length 6, but a free mapping reads params\[6\]"):
        e.objective_ml(cov_params, Sigma, np.zeros(3))
