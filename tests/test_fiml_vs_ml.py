"""FIML with a single pattern that observes every variable against the
complete-data ML methods of the same mean-structure model.

With S and xbar the moments of all N cases,
    objective_ml   = log|Sigma| + tr(S Sigma^-1) - log|S| - p + (xbar - mu)' Sigma^-1 (xbar - mu)
    objective_fiml = log|Sigma| + tr(S Sigma^-1)             + (xbar - mu)' Sigma^-1 (xbar - mu),
so the two differ by the constant log|S| + p (where objective_ml is above its
floor at 0), and their gradients and expected informations coincide.
"""
import numpy as np
import pytest

from test_fiml import MODELS, sample_moments


@pytest.fixture(params=sorted(MODELS))
def case(request, rng):
    """Model, a point near its start values, and complete-data moments drawn
    from a nearby model (so that the fit is not perfect)."""
    model = MODELS[request.param]()
    theta = model.start_vector() * (1.0 + 0.05 * rng.standard_normal(model.n_free))
    Sigma, mu = model.ml_engine(meanstructure=True).get_implied_moments(theta)
    p = len(mu)
    xbar, S = sample_moments(rng, Sigma * 1.2, mu + 0.3, list(range(p)), 200)
    return model, theta, S, xbar


def one_pattern(S, xbar, n=200, order=None):
    """The complete data as one pattern, its variables listed in `order`."""
    o = np.arange(len(xbar)) if order is None else np.asarray(order)
    return [[int(i) for i in o]], [n], [xbar[o]], [S[np.ix_(o, o)]]


def test_objectives_differ_by_logdet_s_plus_p(case):
    model, theta, S, xbar = case
    ml = model.ml_engine(meanstructure=True)  # fresh: its first call caches log|S| of this S
    F_ml = ml.objective_ml(theta, S, xbar)
    assert F_ml > 0.0  # away from the floor at 0
    F_fiml = model.ml_engine(meanstructure=True).objective_fiml(theta, *one_pattern(S, xbar))
    # Same terms, summed in a different order: rounding of values of order 10-100.
    assert F_fiml == pytest.approx(F_ml + np.linalg.slogdet(S)[1] + model.p, rel=1e-12, abs=1e-10)


def test_gradients_coincide(case, rng):
    model, theta, S, xbar = case
    engine = model.ml_engine(meanstructure=True)
    g_ml = engine.gradient_ml(theta, S, xbar, model.n_free)
    # Rounding of two k x k LU inverses and products; scale of the entries.
    tol = dict(rtol=1e-9, atol=1e-11 * np.abs(g_ml).max())
    np.testing.assert_allclose(engine.gradient_fiml(theta, *one_pattern(S, xbar), model.n_free), g_ml, **tol)
    shuffled = one_pattern(S, xbar, order=rng.permutation(model.p))
    np.testing.assert_allclose(engine.gradient_fiml(theta, *shuffled, model.n_free), g_ml, **tol)


def test_expected_informations_coincide(case, rng):
    model, theta, S, xbar = case
    engine = model.ml_engine(meanstructure=True)
    H_ml = engine.expected_hessian_ml(theta, model.n_free)
    tol = dict(rtol=1e-9, atol=1e-12 * np.abs(H_ml).max())
    lists, counts, _, _ = one_pattern(S, xbar, n=37)
    np.testing.assert_allclose(engine.expected_hessian_fiml(theta, lists, counts, model.n_free), H_ml, **tol)
    order = rng.permutation(model.p)
    np.testing.assert_allclose(
        engine.expected_hessian_fiml(theta, [[int(i) for i in order]], [5], model.n_free), H_ml, **tol
    )
