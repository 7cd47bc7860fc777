"""Analytic ML derivatives (gradient, expected and observed information)
and the numerical moment Jacobian, against finite differences and closed
forms."""
import numpy as np
import pytest

import _backend
from ml_model_shapes import SHAPES, central_difference, duplication, make_case, vech
from semfront import BETA, LAMBDA_Y, PSI, TAU_Y, THETA_EPSILON, Model

SENTINEL = 1e10
CASES = [(s, m) for s in SHAPES for m in (False, True)]


def mean_or_none(c, means):
    return c.xbar if means else None


# --- gradient -------------------------------------------------------------

@pytest.mark.parametrize("shape,means", CASES)
def test_gradient_matches_central_differences(shape, means):
    c = make_case(shape, means)
    xbar = mean_or_none(c, means)
    g = c.engine.gradient_ml(c.params, c.S, xbar, c.n_free)
    fd = central_difference(lambda x: c.engine.objective_ml(x, c.S, xbar), c.params,
                            c.n_free, 1e-6)
    # Objective values are O(1): rounding/h ~ 1e-10, truncation h^2 ~ 1e-12.
    np.testing.assert_allclose(g, fd, rtol=1e-6, atol=1e-7)


def test_gradient_of_unnamed_and_held_parameters():
    c = make_case("held_and_unnamed", False)
    g = c.engine.gradient_ml(c.params, c.S, None, c.n_free)
    assert g.shape == (c.n_free,) == (len(c.params) - 1,)
    assert g[2] == 0.0  # no mapping names parameter 2


@pytest.mark.parametrize("shape", SHAPES)
def test_gradient_vanishes_at_perfect_fit(shape):
    c = make_case(shape, True)
    Sigma, mu = c.engine.get_implied_moments(c.params)
    g = c.engine.gradient_ml(c.params, Sigma, mu, c.n_free)
    np.testing.assert_allclose(g, 0.0, atol=1e-12)


def test_gradient_ignores_mean_without_meanstructure():
    c = make_case("structural", True, meanstructure=False)
    assert np.array_equal(c.engine.gradient_ml(c.params, c.S, c.xbar, c.n_free),
                          c.engine.gradient_ml(c.params, c.S, None, c.n_free))


def test_gradient_requires_sample_mean_argument():
    c = make_case("cfa_xy", False)
    with pytest.raises(TypeError):
        c.engine.gradient_ml(c.params, c.S, n_free=c.n_free)


def test_indefinite_sigma_sentinel_only_in_objective():
    # The objective tests positive definiteness, the gradient only invertibility.
    c = make_case("cfa_xy", False)
    params = c.params.copy()
    params[c.model.names.index("m6[0,0]")] = -3.0  # first ThetaDelta variance
    assert np.linalg.eigvalsh(c.engine.get_implied_moments(params)[0]).min() < 0
    assert c.engine.objective_ml(params, c.S) == 1e15
    g = c.engine.gradient_ml(params, c.S, None, c.n_free)
    assert np.all(np.isfinite(g)) and np.all(g != SENTINEL)


def singular_engines():
    """A singular Sigma (nothing placed for y2) and a singular I - Beta."""
    m = Model(nx=0, ny=2, nxi=0, neta=1)
    m.free(LAMBDA_Y, 0, 0, 1.0)
    m.free(PSI, 0, 0, 1.0)
    m.free(THETA_EPSILON, 0, 0, 0.5)
    yield m.ml_engine(True), m.start_vector()
    m = Model(nx=0, ny=2, nxi=0, neta=1)
    m.free(LAMBDA_Y, 0, 0, 1.0)
    m.free(LAMBDA_Y, 1, 0, 1.0)
    m.free(BETA, 0, 0, 1.0)  # I - Beta = 0
    m.free(PSI, 0, 0, 1.0)
    m.free(THETA_EPSILON, 0, 0, 0.5)
    m.free(THETA_EPSILON, 1, 1, 0.5)
    yield m.ml_engine(True), m.start_vector()


@pytest.mark.parametrize("which", [0, 1], ids=["singular_sigma", "singular_i_minus_beta"])
def test_singular_model_gives_sentinels(which):
    e, params = list(singular_engines())[which]
    k = len(params)
    S, xbar = np.eye(2), np.zeros(2)
    assert np.all(e.gradient_ml(params, S, xbar, k) == SENTINEL)
    assert e.gradient_ml(params, S, xbar, k).shape == (k,)
    assert np.all(e.expected_hessian_ml(params, k) == SENTINEL)
    assert np.all(e.observed_hessian_ml(params, S, xbar, k) == SENTINEL)
    assert e.observed_hessian_ml(params, S, None, k).shape == (k, k)
    scores = e.casewise_scores(np.ones((4, 2)), params, k, True)
    assert scores.shape == (4, k) and np.all(scores == SENTINEL)
    assert e.objective_ml(params, S, xbar) == 1e15


# --- expected information -------------------------------------------------

def fd_hessian(f, x, n, h):
    """Four-point central second differences, O(h^2) on and off the diagonal."""
    H = np.empty((n, n))
    for i in range(n):
        for j in range(i, n):
            ei = np.zeros_like(x); ei[i] = h
            ej = np.zeros_like(x); ej[j] = h
            H[i, j] = H[j, i] = (f(x + ei + ej) - f(x + ei - ej) - f(x - ei + ej)
                                 + f(x - ei - ej)) / (4 * h * h)
    return H


@pytest.mark.parametrize("shape", SHAPES)
def test_expected_information_is_hessian_at_perfect_fit(shape):
    c = make_case(shape, True)
    Sigma, mu = c.engine.get_implied_moments(c.params)
    H = c.engine.expected_hessian_ml(c.params, c.n_free)
    fd = fd_hessian(lambda x: c.engine.objective_ml(x, Sigma, mu), c.params, c.n_free, 1e-4)
    # rounding ~ 1e-16 / h^2 = 1e-8, truncation ~ h^2 = 1e-8 (relative to O(1)).
    np.testing.assert_allclose(H, fd, rtol=1e-5, atol=1e-6)
    assert np.array_equal(H, H.T)


def test_expected_information_intercept_closed_form():
    # A parameter only in TauY(r) moves mu_r alone: H = 2 SigmaInv(r, r).
    c = make_case("cfa_xy", True)
    H = c.engine.expected_hessian_ml(c.params, c.n_free)
    Sigma, _ = c.engine.get_implied_moments(c.params)
    Si = np.linalg.inv(Sigma)
    for k, (mid, r, _, free, idx, _) in enumerate(c.model.mappings):
        if free and mid == TAU_Y:
            assert H[idx, idx] == pytest.approx(2 * Si[r, r], rel=1e-12)


def test_expected_information_unnamed_parameter_row_is_zero():
    c = make_case("held_and_unnamed", True)
    H = c.engine.expected_hessian_ml(c.params, c.n_free)
    assert H.shape == (c.n_free, c.n_free)
    assert np.all(H[2] == 0.0) and np.all(H[:, 2] == 0.0)


# --- observed information -------------------------------------------------

@pytest.mark.parametrize("shape,means", CASES)
def test_observed_information_matches_differenced_gradient(shape, means):
    c = make_case(shape, means)
    xbar = mean_or_none(c, means)
    H = c.engine.observed_hessian_ml(c.params, c.S, xbar, c.n_free)
    fd = central_difference(lambda x: c.engine.gradient_ml(x, c.S, xbar, c.n_free),
                            c.params, c.n_free, 1e-6)
    # Gradient entries are O(1): rounding/h ~ 1e-10, truncation h^2 ~ 1e-12.
    np.testing.assert_allclose(H, fd, rtol=1e-6, atol=1e-7)
    assert np.array_equal(H, H.T)


@pytest.mark.parametrize("shape", SHAPES)
def test_observed_equals_expected_at_perfect_fit(shape):
    c = make_case(shape, True)
    Sigma, mu = c.engine.get_implied_moments(c.params)
    obs = c.engine.observed_hessian_ml(c.params, Sigma, mu, c.n_free)
    np.testing.assert_allclose(obs, c.engine.expected_hessian_ml(c.params, c.n_free),
                               rtol=1e-10, atol=1e-12)


def test_observed_information_ignores_mean_without_meanstructure():
    c = make_case("structural", True, meanstructure=False)
    assert np.array_equal(c.engine.observed_hessian_ml(c.params, c.S, c.xbar, c.n_free),
                          c.engine.observed_hessian_ml(c.params, c.S, None, c.n_free))


@pytest.mark.parametrize("shape", SHAPES)
def test_zero_free_parameters(shape):
    c = make_case(shape, True)
    assert c.engine.gradient_ml(c.params, c.S, c.xbar, 0).shape == (0,)
    assert c.engine.expected_hessian_ml(c.params, 0).shape == (0, 0)
    assert c.engine.observed_hessian_ml(c.params, c.S, c.xbar, 0).shape == (0, 0)


# --- moment Jacobian ------------------------------------------------------

def test_jacobian_row_order_one_factor():
    # Sigma = l l' v + diag(t): d Sigma(i, j) / d l_k = v (l_i [j=k] + l_j [i=k]).
    m = Model(nx=0, ny=3, nxi=0, neta=1)
    for i in range(3):
        m.free(LAMBDA_Y, i, 0, [0.7, 1.1, 1.3][i])
    m.fix(PSI, 0, 0, 2.0)
    for i in range(3):
        m.free(THETA_EPSILON, i, i, 0.5)
    m.free(TAU_Y, 0, 0, 0.3)
    params = m.start_vector()
    l, v = params[:3], 2.0
    for meanstructure in (False, True):
        J = m.ml_engine(meanstructure).jacobian_implied_moments(params, 7)
        rows = [(i, j) for j in range(3) for i in range(j, 3)]
        assert J.shape == (6 + 3 * meanstructure, 7)
        for k in range(3):
            want = [v * (l[i] * (j == k) + l[j] * (i == k)) for i, j in rows]
            # Quadratic in one parameter: the central difference is exact up
            # to rounding of the order 1e-16 / 1e-5.
            np.testing.assert_allclose(J[:6, k], want, atol=1e-9)
        for k in range(3, 6):
            np.testing.assert_allclose(J[:6, k], [float(r == (k - 3, k - 3)) for r in rows],
                                       atol=1e-9)
        if meanstructure:
            np.testing.assert_allclose(J[6:, 6], [1.0, 0.0, 0.0], atol=1e-9)
            np.testing.assert_allclose(J[6:, :6], 0.0, atol=1e-9)


@pytest.mark.parametrize("shape,means", CASES)
def test_jacobian_matches_differenced_moments(shape, means):
    c = make_case(shape, means)

    def moments(x):
        Sigma, mu = c.engine.get_implied_moments(x)
        return np.concatenate([vech(Sigma), mu if means else []])

    J = c.engine.jacobian_implied_moments(c.params, c.n_free)
    # A different step than the method's own 1e-5; both errors are ~1e-9.
    np.testing.assert_allclose(J, central_difference(moments, c.params, c.n_free, 3e-5),
                               rtol=1e-7, atol=1e-8)


@pytest.mark.parametrize("shape", SHAPES)
def test_jacobian_consistent_with_analytic_derivatives(shape):
    # With Delta the Jacobian of (vech Sigma, mu), the analytic gradient is
    # Delta' (D' vec W, -2 SigmaInv d) and the expected information is
    # Delta' blockdiag(D' (SigmaInv x SigmaInv) D, 2 SigmaInv) Delta.
    c = make_case(shape, True)
    Sigma, mu = c.engine.get_implied_moments(c.params)
    Si = np.linalg.inv(Sigma)
    p = Sigma.shape[0]
    D = duplication(p)
    J = c.engine.jacobian_implied_moments(c.params, c.n_free)
    d = c.xbar - mu
    W = Si - Si @ (c.S + np.outer(d, d)) @ Si
    grad = J.T @ np.concatenate([D.T @ W.reshape(-1, order="F"), -2 * Si @ d])
    # The Jacobian's relative error is ~1e-9.
    np.testing.assert_allclose(c.engine.gradient_ml(c.params, c.S, c.xbar, c.n_free), grad,
                               rtol=1e-6, atol=1e-7)
    V = np.zeros((J.shape[0], J.shape[0]))
    q = p * (p + 1) // 2
    V[:q, :q] = D.T @ np.kron(Si, Si) @ D
    V[q:, q:] = 2 * Si
    np.testing.assert_allclose(c.engine.expected_hessian_ml(c.params, c.n_free), J.T @ V @ J,
                               rtol=1e-6, atol=1e-7)


def test_jacobian_edge_shapes():
    c = make_case("held_and_unnamed", True)
    J = c.engine.jacobian_implied_moments(c.params, c.n_free)
    assert J.shape == (10 + 4, c.n_free)
    assert np.all(J[:, 2] == 0.0)  # unnamed
    assert c.engine.jacobian_implied_moments(c.params, 0).shape == (14, 0)


# --- bad input ------------------------------------------------------------

def call(method, c, params, S, mean, n_free):
    e = c.engine
    if method == "gradient_ml":
        return e.gradient_ml(params, S, mean, n_free)
    if method == "observed_hessian_ml":
        return e.observed_hessian_ml(params, S, mean, n_free)
    return getattr(e, method)(params, n_free)


WITH_MOMENTS = ["gradient_ml", "observed_hessian_ml"]
ALL = WITH_MOMENTS + ["expected_hessian_ml", "jacobian_implied_moments"]
BAD = {
    "n_free_negative": (ALL, r"n_free must be non-negative", lambda c: (c.params, c.S, c.xbar, -1)),
    "n_free_too_large": (ALL, r"n_free is 31, larger than len\(params\) = 30",
                         lambda c: (c.params, c.S, c.xbar, 31)),
    "params_short": (ALL, r"params has length 28, but a free mapping reads params\[29\]",
                     lambda c: (c.params[:-2], c.S, c.xbar, 3)),
    "cov_shape": (WITH_MOMENTS, r"sample_cov must be 7 x 7, got 7 x 6",
                  lambda c: (c.params, c.S[:, :-1], c.xbar, 3)),
    "mean_length": (WITH_MOMENTS, r"sample_mean must have length 7, got 6",
                    lambda c: (c.params, c.S, c.xbar[:-1], 3)),
}


@pytest.mark.parametrize("bad,method", [(b, m) for b, (ms, _, _) in BAD.items() for m in ms])
def test_bad_input_raises_value_error(bad, method):
    c = make_case("structural", True)
    _, pattern, args = BAD[bad]
    before = call(method, c, c.params, c.S, c.xbar, c.n_free)
    with pytest.raises(ValueError, match=pattern):
        call(method, c, *args(c))
    assert np.array_equal(call(method, c, c.params, c.S, c.xbar, c.n_free), before)
