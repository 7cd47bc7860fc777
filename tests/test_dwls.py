"""DWLS engine: implied correlations under the unit-variance rule for ordinal
indicators, the fit function, its gradient, Jacobian and information, and the
residual variances the fit uses."""
import numpy as np
import pytest

import _backend
from semfront import (
    BETA, GAMMA, LAMBDA_X, LAMBDA_Y, PHI, PSI, TAU_X, THETA_DELTA, THETA_EPSILON,
    THETA_EPSILON_DELTA, Model, political_democracy_model,
)


def lower_by_column(R):
    """Entries below the diagonal, column by column: (1,0), (2,0), ..., (2,1), ..."""
    return R.T[np.triu_indices(R.shape[0], 1)]


def standardise(S):
    d = 1.0 / np.sqrt(np.diag(S))
    return S * d[:, None] * d[None, :]


def engine_for(model, is_ordinal, s_vec=None, w_inv=None):
    n = model.p * (model.p - 1) // 2
    s = np.zeros(n) if s_vec is None else s_vec
    w = np.ones(n) if w_inv is None else w_inv
    return model.register(_backend.DwlsEngine(model.nx, model.ny, model.nxi, model.neta, s, w,
                                              list(is_ordinal)))


def one_factor_x(loadings=(0.8, 0.7, 0.6), thetas=(0.36, 0.51, 0.64)):
    m = Model(nx=len(loadings), ny=0, nxi=1, neta=0)
    m.fix(PHI, 0, 0, 1.0)
    for i, l in enumerate(loadings):
        m.free(LAMBDA_X, i, 0, l)
    for i, t in enumerate(thetas):
        m.free(THETA_DELTA, i, i, t)
    return m


def structural_y():
    """eta1 -> eta2, two indicators each, one residual covariance."""
    m = Model(nx=0, ny=4, nxi=0, neta=2)
    m.fix(LAMBDA_Y, 0, 0)
    m.free(LAMBDA_Y, 1, 0, 0.9)
    m.fix(LAMBDA_Y, 2, 1)
    m.free(LAMBDA_Y, 3, 1, 0.8)
    m.free(BETA, 1, 0, 0.5)
    m.free(PSI, 0, 0, 0.6)
    m.free(PSI, 1, 1, 0.4)
    for i in range(4):
        m.free(THETA_EPSILON, i, i, 0.4)
    m.free(THETA_EPSILON, 3, 2, 0.05)
    return m


def mixed_xy():
    """xi -> eta with three indicators each and one y-x residual covariance."""
    m = Model(nx=3, ny=3, nxi=1, neta=1)
    m.fix(LAMBDA_X, 0, 0)
    m.free(LAMBDA_X, 1, 0, 0.8)
    m.free(LAMBDA_X, 2, 0, 0.7)
    m.fix(LAMBDA_Y, 0, 0)
    m.free(LAMBDA_Y, 1, 0, 0.9)
    m.free(LAMBDA_Y, 2, 0, 0.6)
    m.free(GAMMA, 0, 0, 0.5)
    m.free(PHI, 0, 0, 0.7)
    m.free(PSI, 0, 0, 0.3)
    for i in range(3):
        m.free(THETA_DELTA, i, i, 0.4)
        m.free(THETA_EPSILON, i, i, 0.35)
    m.free(THETA_EPSILON_DELTA, 1, 2, 0.05)
    return m


# (model, ordinal flags) in the backend's order: y-variables first, then x.
SHAPES = {
    "x-model, continuous": (one_factor_x(), [False] * 3),
    "x-model, ordinal": (one_factor_x(), [True] * 3),
    "y-model with Beta, mixed": (structural_y(), [True, False, True, True]),
    "y and x, mixed": (mixed_xy(), [True, False, True, False, True, True]),
}


@pytest.fixture(params=list(SHAPES), ids=list(SHAPES))
def fitted(request, rng):
    """An engine whose statistics sit near (not at) the model, random weights."""
    model, flags = SHAPES[request.param]
    params = model.start_vector()
    probe = engine_for(model, flags)
    s = probe.implied_corr(params) + rng.normal(0, 0.05, model.p * (model.p - 1) // 2)
    w = rng.uniform(0.5, 3.0, s.size)
    return engine_for(model, flags, s, w), params + rng.normal(0, 0.02, params.size), s, w


# ---- implied correlations --------------------------------------------------

def test_three_indicator_closed_form():
    l, t = np.array([0.8, 0.7, 0.6]), np.array([0.5, 0.3, 0.9])
    e = engine_for(one_factor_x(l, t), [False] * 3)
    v = l**2 + t
    expected = [l[1] * l[0] / np.sqrt(v[1] * v[0]), l[2] * l[0] / np.sqrt(v[2] * v[0]),
                l[2] * l[1] / np.sqrt(v[2] * v[1])]
    # a handful of roundings on numbers of order 1
    np.testing.assert_allclose(e.implied_corr(np.r_[l, t]), expected, rtol=1e-15, atol=1e-15)


@pytest.mark.parametrize("registered", [0.0, 0.2, 7.5, -3.0])
def test_ordinal_residual_ignores_registered_value(registered):
    l = np.array([0.8, 0.7, 0.6])
    e = engine_for(one_factor_x(l), [True] * 3)
    sigma = e.implied_corr(np.r_[l, [registered] * 3])
    # unit variances up to rounding, so the correlations are the loading products
    np.testing.assert_allclose(sigma, [l[1] * l[0], l[2] * l[0], l[2] * l[1]], rtol=1e-15)
    np.testing.assert_allclose(e.get_diagonal_residuals(np.r_[l, [registered] * 3]), 1 - l**2,
                               rtol=1e-15)


def test_ordinal_indicator_with_loading_above_one_keeps_the_floor():
    l = np.array([1.2, 0.7, 0.6])
    e = engine_for(one_factor_x(l), [True] * 3)
    v = np.r_[1.2**2 + 1e-5, 1.0, 1.0]
    expected = [l[1] * l[0] / np.sqrt(v[1] * v[0]), l[2] * l[0] / np.sqrt(v[2] * v[0]),
                l[2] * l[1]]
    np.testing.assert_allclose(e.implied_corr(np.r_[l, 0, 0, 0]), expected, rtol=1e-15)
    np.testing.assert_allclose(e.get_diagonal_residuals(np.r_[l, 0, 0, 0]), [1e-5, 0.51, 0.64],
                               rtol=1e-14)


def test_all_continuous_is_the_standardised_ml_sigma(rng):
    model = political_democracy_model()
    params = model.start_vector() * rng.uniform(0.8, 1.2, model.n_free)
    Sigma, _ = model.ml_engine().get_implied_moments(params)
    e = engine_for(model, [False] * model.p)
    # same products, reassociated at most once
    np.testing.assert_allclose(e.implied_corr(params), lower_by_column(standardise(Sigma)),
                               rtol=1e-13, atol=1e-15)


def test_mean_structure_mappings_are_ignored():
    model = one_factor_x()
    plain = engine_for(model, [True, False, True])
    model.free(TAU_X, 1, 0, 3.0)  # parameter 6, read by no DWLS operation
    with_means = engine_for(model, [True, False, True])
    params = model.start_vector()
    np.testing.assert_array_equal(with_means.implied_corr(params[:6]), plain.implied_corr(params[:6]))
    np.testing.assert_array_equal(with_means.get_diagonal_residuals(params[:6]),
                                  plain.get_diagonal_residuals(params[:6]))


def test_single_variable_has_no_statistics():
    m = Model(nx=1, ny=0, nxi=1, neta=0)
    m.free(LAMBDA_X, 0, 0, 0.7)
    e = engine_for(m, [True])
    assert e.implied_corr([0.7]).shape == (0,)
    assert e.objective_dwls([0.7]) == 0.0
    assert e.jacobian_dwls([0.7], 1).shape == (0, 1)
    np.testing.assert_array_equal(e.expected_hessian_dwls([0.7], 1), [[0.0]])


def test_zero_and_negative_variances_give_nonfinite_correlations():
    e = engine_for(one_factor_x(), [False] * 3)
    zero = e.implied_corr([0.5, 0.7, 0.6, -0.25, 0.51, 0.64])
    assert not np.isfinite(zero[:2]).any() and np.isfinite(zero[2])
    negative = [0.5, 0.7, 0.6, -0.5, 0.51, 0.64]
    assert np.isnan(e.implied_corr(negative)[:2]).all()
    assert e.objective_dwls(negative) == 1e15
    assert np.isnan(e.gradient_dwls(negative, 6)).any()


# ---- residual variances ----------------------------------------------------

def test_residuals_of_continuous_indicators_are_the_registered_diagonals():
    model = mixed_xy()
    params = model.start_vector() + np.arange(model.n_free) * 0.01
    theta = engine_for(model, [False] * 6).get_diagonal_residuals(params)
    np.testing.assert_array_equal(theta, params[[8, 10, 12, 7, 9, 11]])
    unmapped = Model(nx=2, ny=0, nxi=1, neta=0)
    unmapped.free(THETA_DELTA, 1, 1, 0.3)
    np.testing.assert_array_equal(engine_for(unmapped, [False, False]).get_diagonal_residuals([0.3]),
                                  [0.0, 0.3])


def test_ordinal_y_residual_follows_the_structural_model():
    model = structural_y()
    params = model.start_vector()
    l2, l4, b, psi1, psi2 = params[:5]
    theta = engine_for(model, [True] * 4).get_diagonal_residuals(params)
    var_eta2 = b * b * psi1 + psi2
    np.testing.assert_allclose(theta, [1 - psi1, 1 - l2**2 * psi1, 1 - var_eta2,
                                       1 - l4**2 * var_eta2], rtol=1e-14)


def test_nan_explained_variance_is_not_floored():
    e = engine_for(one_factor_x(), [True] * 3)
    theta = e.get_diagonal_residuals([np.nan, 0.7, 0.6, 0, 0, 0])
    assert np.isnan(theta[0]) and np.isfinite(theta[1:]).all()


# ---- objective and gradient ------------------------------------------------

def two_indicator_engine(s, w):
    m = Model(nx=2, ny=0, nxi=1, neta=0)
    m.fix(PHI, 0, 0, 1.0)
    m.free(LAMBDA_X, 0, 0, 0.5)
    m.free(LAMBDA_X, 1, 0, 0.6)
    return engine_for(m, [True, True], np.array(s), np.array(w))


def test_weighted_squared_residual():
    e = two_indicator_engine([0.5], [4.0])
    assert e.implied_corr([0.5, 0.6])[0] == pytest.approx(0.3, abs=1e-16)
    assert e.objective_dwls([0.5, 0.6]) == pytest.approx(0.16, rel=1e-14)


def test_exact_fit_has_zero_objective_and_gradient():
    e = two_indicator_engine([0.3], [4.0])
    assert e.objective_dwls([0.5, 0.6]) == pytest.approx(0.0, abs=1e-30)
    # J entries are O(1), the residual is a rounding at most
    np.testing.assert_allclose(e.gradient_dwls([0.5, 0.6], 2), 0.0, atol=1e-15)


def test_zero_weights_give_zero_fit_whatever_the_parameters():
    e = two_indicator_engine([0.9], [0.0])
    assert e.objective_dwls([0.1, -0.4]) == 0.0
    np.testing.assert_array_equal(e.gradient_dwls([0.1, -0.4], 2), [0.0, 0.0])


def test_gradient_is_close_to_differences_of_the_objective(fitted):
    e, params, _, _ = fitted
    g = e.gradient_dwls(params, params.size)
    h = 1e-5
    for i in range(params.size):
        up, down = params.copy(), params.copy()
        up[i] += h
        down[i] -= h
        # a step ten times the Jacobian's; O(h^2) truncation and 1e-16/h
        # rounding are both far below the tolerance
        assert g[i] == pytest.approx((e.objective_dwls(up) - e.objective_dwls(down)) / (2 * h),
                                     abs=1e-7)


def test_jacobian_columns_are_divided_differences_of_implied_corr(fitted):
    e, params, _, _ = fitted
    J = e.jacobian_dwls(params, params.size)
    for i in range(params.size):
        up, down = params.copy(), params.copy()
        up[i] += 1e-6
        down[i] -= 1e-6
        np.testing.assert_array_equal(J[:, i], (e.implied_corr(up) - e.implied_corr(down)) / 2e-6)


def test_gradient_and_hessian_from_the_jacobian(fitted):
    e, params, s, w = fitted
    J = e.jacobian_dwls(params, params.size)
    resid = s - e.implied_corr(params)
    # only the summation order of the products differs
    np.testing.assert_allclose(e.gradient_dwls(params, params.size), -2 * J.T @ (w * resid),
                               rtol=1e-12, atol=1e-14)
    H = e.expected_hessian_dwls(params, params.size)
    np.testing.assert_allclose(H, 2 * J.T @ np.diag(w) @ J, rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(H, H.T, rtol=1e-13, atol=1e-13)
    assert np.all(np.linalg.eigvalsh(H) > -1e-9 * np.abs(H).max())


def test_parameter_in_no_mapping_gets_exact_zeros():
    model = one_factor_x()
    e = engine_for(model, [False] * 3, np.full(3, 0.4), np.ones(3))
    params = np.r_[model.start_vector(), 9.0]  # index 6 is placed nowhere
    J = e.jacobian_dwls(params, 7)
    H = e.expected_hessian_dwls(params, 7)
    np.testing.assert_array_equal(J[:, 6], 0.0)
    np.testing.assert_array_equal(H[6], 0.0)
    np.testing.assert_array_equal(H[:, 6], 0.0)
    assert e.gradient_dwls(params, 7)[6] == 0.0


def test_trailing_parameters_are_held_and_zero_free_gives_empty_results():
    model = one_factor_x()
    e = engine_for(model, [False] * 3, np.full(3, 0.4), np.ones(3))
    params = model.start_vector()
    np.testing.assert_array_equal(e.gradient_dwls(params, 3), e.gradient_dwls(params, 6)[:3])
    assert e.gradient_dwls(params, 0).shape == (0,)
    assert e.jacobian_dwls(params, 0).shape == (3, 0)
    assert e.expected_hessian_dwls(params, 0).shape == (0, 0)


def two_factor_ordinal():
    """Six ordinal indicators, two correlated standardised factors."""
    m = Model(nx=6, ny=0, nxi=2, neta=0)
    for i, l in enumerate((0.8, 0.7, 0.6, 0.75, 0.65, 0.55)):
        m.free(LAMBDA_X, i, i // 3, l)
    m.fix(PHI, 0, 0, 1.0)
    m.fix(PHI, 1, 1, 1.0)
    m.free(PHI, 1, 0, 0.4)
    return m


def test_dwls_recovers_a_model_from_its_own_correlations(rng):
    from scipy.optimize import minimize

    model = two_factor_ordinal()
    truth = model.start_vector()
    probe = engine_for(model, [True] * 6)
    e = engine_for(model, [True] * 6, probe.implied_corr(truth), rng.uniform(0.5, 2.0, 15))
    res = minimize(e.objective_dwls, truth * 0.8, jac=lambda p: e.gradient_dwls(p, 7),
                   method="BFGS", options={"gtol": 1e-12})
    assert res.fun < 1e-16
    # the fit is exact at the truth; the optimiser stops within its tolerance
    np.testing.assert_allclose(res.x, truth, atol=1e-6)


# ---- bad input -------------------------------------------------------------

@pytest.mark.parametrize("s_len, w_len, flags, message", [
    (2, 3, [True] * 3, "s_vec"),
    (3, 4, [True] * 3, "w_inv"),
    (3, 3, [True] * 2, "is_ordinal"),
])
def test_construction_rejects_statistics_of_the_wrong_length(s_len, w_len, flags, message):
    with pytest.raises(ValueError, match=message):
        _backend.DwlsEngine(3, 0, 1, 0, np.zeros(s_len), np.ones(w_len), flags)


def test_construction_accepts_extra_flags_and_rejects_negative_dimensions():
    _backend.DwlsEngine(3, 0, 1, 0, np.zeros(3), np.ones(3), [True] * 5)
    with pytest.raises(ValueError, match="nxi"):
        _backend.DwlsEngine(3, 0, -1, 0, np.zeros(3), np.ones(3), [True] * 3)


def test_bad_mappings_params_and_n_free_leave_the_engine_usable():
    model = one_factor_x()
    e = engine_for(model, [False] * 3, np.full(3, 0.4), np.ones(3))
    params = model.start_vector()
    before = e.implied_corr(params)
    with pytest.raises(ValueError, match="row"):
        e.add_mapping(LAMBDA_X, 3, 0, True, 0, 0.0)
    with pytest.raises(ValueError, match="param_index"):
        e.add_mapping(LAMBDA_X, 0, 0, True, -1, 0.0)
    for method in ("implied_corr", "objective_dwls", "get_diagonal_residuals"):
        with pytest.raises(ValueError, match="params"):
            getattr(e, method)(params[:5])
    for method in ("gradient_dwls", "jacobian_dwls", "expected_hessian_dwls"):
        with pytest.raises(ValueError, match="params"):
            getattr(e, method)(params[:5], 3)
        with pytest.raises(ValueError, match="n_free"):
            getattr(e, method)(params, -1)
        with pytest.raises(ValueError, match="n_free"):
            getattr(e, method)(params, 7)
    np.testing.assert_array_equal(e.implied_corr(params), before)
