"""The ML discrepancy and gradient on models whose Sigma = Theta + L K L'
has the structure the fast route inverts (residual variances alone or in
small groups, covariates measured without error, tiny residuals, a latent
variable without variance), and on its edges, where the dense route
decides: a negative residual, one large group, a singular Sigma. The
oracle is the formulas written out densely in NumPy, with dSigma and dmu by
the complex step."""
import numpy as np
import pytest

from ml_model_shapes import dense_moments, dense_objective_and_gradient
from semfront import (BETA, GAMMA, LAMBDA_X, LAMBDA_Y, PHI, PSI, TAU_X, TAU_Y, THETA_EPSILON,
                      Model)

def factor_model(p=36, factors=4, pairs=(), covariates=0, seed=0):
    """Congeneric factors on y (eta in a Beta chain when there are
    covariates, which then are x measured without error and predict the
    first eta), residual covariances at `pairs`, intercepts."""
    rng = np.random.default_rng(seed)
    m = Model(nx=covariates, ny=p, nxi=covariates, neta=factors)
    for i in range(p):
        f = i * factors // p
        if i == 0 or (i - 1) * factors // p != f:
            m.fix(LAMBDA_Y, i, f)
        else:
            m.free(LAMBDA_Y, i, f, rng.uniform(0.6, 1.3))
        m.free(THETA_EPSILON, i, i, rng.uniform(0.3, 0.7))
        m.free(TAU_Y, i, 0, rng.uniform(-1, 1))
    for f in range(factors):
        m.free(PSI, f, f, 0.6)
        if covariates and f:
            m.free(BETA, f, f - 1, 0.4)
        elif not covariates:
            for g in range(f):
                m.free(PSI, f, g, 0.15)
    for a in range(covariates):
        m.fix(LAMBDA_X, a, a)
        m.free(GAMMA, 0, a, 0.3)
        m.free(PHI, a, a, 1.0)
        m.free(TAU_X, a, 0, 0.1)
    for i, j in pairs:
        m.free(THETA_EPSILON, i, j, 0.05)
    return m


def sample(m, theta, seed=1, n=300):
    """Moments of a draw from a nearby model (so that no evaluation point
    is the population one)."""
    rng = np.random.default_rng(seed)
    Sigma, mu = dense_moments(m, theta * (1 + 0.1 * rng.standard_normal(theta.size)))
    data = rng.multivariate_normal(mu, (Sigma + Sigma.T) / 2, size=n)
    return np.cov(data, rowvar=False, bias=True), data.mean(axis=0)


def set_cell(m, theta, matrix, row, col, value):
    theta = theta.copy()
    k = next(k for mid, r, c, f, k, v in m.mappings if f and (mid, r, c) == (matrix, row, col))
    theta[k] = value
    return theta


def case(name):
    chain = [(i + 1, i) for i in range(8, 13)]
    if name == "diagonal":
        return factor_model(), None
    if name == "groups":
        return factor_model(pairs=chain + [(20, 3), (30, 31)]), None
    if name == "covariates":
        return factor_model(covariates=2), None
    if name == "tiny-residuals":  # one far below, one just below the cut to the Schur side
        m = factor_model(pairs=chain)
        theta = set_cell(m, m.start_vector(), THETA_EPSILON, 5, 5, 1e-9)
        return m, set_cell(m, theta, THETA_EPSILON, 17, 17, 0.012)
    if name == "latent-without-variance":
        m = factor_model()
        theta = m.start_vector()
        for g in range(4):
            theta = set_cell(m, theta, PSI, 3, g, 0.0)
        return m, theta
    if name == "negative-residual":  # Sigma stays positive definite
        m = factor_model()
        return m, set_cell(m, m.start_vector(), THETA_EPSILON, 7, 7, -0.02)
    if name == "one-large-group":
        return factor_model(pairs=[(i + 1, i) for i in range(35)]), None
    raise ValueError(name)


CASES = ["diagonal", "groups", "covariates", "tiny-residuals", "latent-without-variance",
         "negative-residual", "one-large-group"]


@pytest.mark.parametrize("means", [False, True], ids=["no-means", "means"])
@pytest.mark.parametrize("name", CASES)
def test_objective_and_gradient_match_dense_formulas(name, means):
    m, theta = case(name)
    theta = m.start_vector() if theta is None else theta
    S, xbar = sample(m, m.start_vector())
    mean = xbar if means else None
    F_dense, g_dense = dense_objective_and_gradient(m, theta, S, mean)
    e = m.ml_engine(meanstructure=means)
    F = e.objective_ml(theta, S, mean)
    g = e.gradient_ml(theta, S, mean, m.n_free)
    # Sigma's condition number is at most about 5e3 in these cases: a few
    # 1e-13 of the largest entry, and F a difference of O(p) terms.
    np.testing.assert_allclose(g, g_dense, rtol=0, atol=1e-11 * np.abs(g_dense).max())
    assert F == pytest.approx(F_dense, rel=0, abs=1e-11 * m.p)


@pytest.mark.parametrize("means", [False, True], ids=["no-means", "means"])
def test_covariates_without_distinct_scores_give_the_sentinels(means):
    """Two covariates measured without error on one xi: Sigma's x block is
    phi [[1, 1], [1, 1]], exactly singular."""
    m = factor_model(covariates=1)
    m.nx += 1
    m.fix(LAMBDA_X, 1, 0)
    m.free(TAU_X, 1, 0, 0.0)
    theta = m.start_vector()
    S, xbar = sample(factor_model(covariates=2), factor_model(covariates=2).start_vector())
    e = m.ml_engine(meanstructure=means)
    mean = xbar if means else None
    assert e.objective_ml(theta, S, mean) == 1e15
    assert np.all(e.gradient_ml(theta, S, mean, m.n_free) == 1e10)
