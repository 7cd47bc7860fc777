"""NaN in, NaN out: a model cell that is not finite, a singular I - Beta, a
missing data value or an empty set of cases never comes back as an ordinary
number, and a huge but finite threshold is an infinite one."""
import numpy as np
import pytest

import _backend
from semfront import (
    ALPHA, BETA, GAMMA, KAPPA, LAMBDA_X, LAMBDA_Y, PHI, PSI, TAU_X, TAU_Y, THETA_DELTA,
    THETA_EPSILON, THETA_EPSILON_DELTA, Model,
)


def feedback_model():
    """xi -> eta1 <-> eta2 (a feedback loop), two indicators each, one y-x
    residual covariance and a mean structure; every matrix holds a free
    parameter, the first one placed in it is the one spoilt below."""
    m = Model(nx=2, ny=4, nxi=1, neta=2)
    first = {}

    def free(matrix, row, col, start):
        k = m.free(matrix, row, col, start)
        first.setdefault(matrix, k)

    free(LAMBDA_X, 1, 0, 0.8)
    m.fix(LAMBDA_X, 0, 0)
    m.fix(LAMBDA_Y, 0, 0)
    free(LAMBDA_Y, 1, 0, 0.9)
    m.fix(LAMBDA_Y, 2, 1)
    m.place(LAMBDA_Y, 3, 1, first[LAMBDA_Y])
    free(BETA, 1, 0, 0.4)  # eta1 -> eta2
    free(BETA, 0, 1, 0.2)  # eta2 -> eta1: b * c = 1 makes I - Beta singular
    free(GAMMA, 0, 0, 0.5)
    free(PHI, 0, 0, 0.7)
    free(PSI, 0, 0, 0.3)
    m.place(PSI, 1, 1, first[PSI])
    for i in range(2):
        free(THETA_DELTA, i, i, 0.4)
    for i in range(4):
        free(THETA_EPSILON, i, i, 0.35)
    free(THETA_EPSILON_DELTA, 0, 0, 0.05)
    free(TAU_X, 0, 0, 0.1)
    free(TAU_Y, 0, 0, -0.2)
    free(KAPPA, 0, 0, 0.3)
    free(ALPHA, 0, 0, 0.1)
    return m, first


MODEL, FIRST = feedback_model()
NAMES = {LAMBDA_X: "LambdaX", LAMBDA_Y: "LambdaY", BETA: "Beta", GAMMA: "Gamma", PHI: "Phi",
         PSI: "Psi", THETA_DELTA: "ThetaDelta", THETA_EPSILON: "ThetaEpsilon",
         THETA_EPSILON_DELTA: "ThetaEpsilonDelta", TAU_X: "TauX", TAU_Y: "TauY",
         KAPPA: "Kappa", ALPHA: "Alpha"}
SPOILT = [(NAMES[mat], v) for mat in FIRST for v in (np.nan, np.inf, -np.inf)]
MEAN_CELLS = {"TauX", "TauY", "Kappa", "Alpha"}


def spoilt_params(cell, value):
    params = MODEL.start_vector()
    if cell == "singular I - Beta":
        params[FIRST[BETA]], params[FIRST[BETA] + 1] = 2.0, 0.5
    else:
        mat = next(k for k, name in NAMES.items() if name == cell)
        params[FIRST[mat]] = value
    return params


def dwls_engine():
    n = MODEL.p * (MODEL.p - 1) // 2
    return MODEL.register(_backend.DwlsEngine(MODEL.nx, MODEL.ny, MODEL.nxi, MODEL.neta,
                                              np.full(n, 0.3), np.ones(n), [False] * MODEL.p))


def test_the_unspoilt_model_is_finite():
    params = MODEL.start_vector()
    sigma, mu = MODEL.ml_engine(True).get_implied_moments(params)
    assert np.isfinite(sigma).all() and np.isfinite(mu).all()
    assert np.isfinite(dwls_engine().implied_corr(params)).all()


@pytest.mark.parametrize("cell, value", SPOILT + [("singular I - Beta", None)])
def test_moments_are_never_finite_for_a_spoilt_model(cell, value):
    # The singular point is b c = 1 with both finite: the LU "inverse" used to
    # zero the null direction and leave plausible moments.
    params = spoilt_params(cell, value)
    ml = MODEL.ml_engine(True)
    sigma, mu = ml.get_implied_moments(params)
    assert not (np.isfinite(sigma).all() and np.isfinite(mu).all())
    assert np.isnan(ml.jacobian_implied_moments(params, MODEL.n_free)).any()
    # The sentinel, or an infinite discrepancy (an infinite variance or mean).
    assert ml.objective_ml(params, np.eye(MODEL.p), np.zeros(MODEL.p)) >= 1e15
    if cell in MEAN_CELLS:
        return  # the DWLS engine reads no mean cell
    dw = dwls_engine()
    assert np.isnan(dw.implied_corr(params)).any()
    assert dw.objective_dwls(params) == 1e15
    assert np.isnan(dw.gradient_dwls(params, MODEL.n_free)).any()
    assert np.isnan(dw.expected_hessian_dwls(params, MODEL.n_free)).any()
    assert np.isnan(dw.jacobian_dwls(params, MODEL.n_free)).any()


# ---- huge thresholds in the high-correlation branch ---------------------------

BIG = [41.0, 1e78, 1e100, np.finfo(float).max]


@pytest.mark.parametrize("rho", [0.95, -0.95, 0.9999, 1.0, -1.0])
@pytest.mark.parametrize("t", BIG + [-b for b in BIG])
def test_a_threshold_beyond_the_normal_range_is_an_infinite_one(t, rho):
    # Beyond about 38.5 a normal tail is below the smallest double, so the
    # cells must be those of an infinite threshold, bit for bit.
    # A threshold at 0 on the other side is where the integral's terms met.
    tau_x = np.array([-0.5, 0.0, t]) if t > 0 else np.array([t, 0.0, 0.5])
    at_inf = tau_x.copy()
    at_inf[np.abs(at_inf) == abs(t)] = np.copysign(np.inf, t)
    tau_y = np.array([-0.4, 0.0, 0.6])
    x = np.repeat(np.arange(4, dtype=np.int32), 4)
    y = np.tile(np.arange(4, dtype=np.int32), 4)
    ll = _backend.bivariate_loglik(x, y, tau_x, tau_y, rho)
    assert np.isfinite(ll).all()
    np.testing.assert_array_equal(ll, _backend.bivariate_loglik(x, y, at_inf, tau_y, rho))
    np.testing.assert_array_equal(_backend.categorical_casewise_scores(x, y, tau_x, tau_y, rho),
                                  _backend.categorical_casewise_scores(x, y, at_inf, tau_y, rho))
    # Both sides at once, and the y side alone.
    np.testing.assert_array_equal(_backend.bivariate_loglik(x, y, tau_x, tau_x, rho),
                                  _backend.bivariate_loglik(x, y, at_inf, at_inf, rho))
    np.testing.assert_array_equal(_backend.bivariate_loglik(y, x, tau_y, tau_x, rho),
                                  _backend.bivariate_loglik(y, x, tau_y, at_inf, rho))


@pytest.mark.parametrize("rho", [0.95, -0.99, 1.0])
def test_no_jump_where_thresholds_become_infinite(rho):
    # At 30 the tail is 5e-198: the cells agree with the infinite threshold
    # to rounding (the floor of 1e-15 bounds the cell's own error).
    x = np.repeat(np.arange(3, dtype=np.int32), 3)
    y = np.tile(np.arange(3, dtype=np.int32), 3)
    tau = np.array([-0.7, 0.4])
    near = np.exp(_backend.bivariate_loglik(x, y, np.array([-0.7, 30.0]), tau, rho))
    far = np.exp(_backend.bivariate_loglik(x, y, np.array([-0.7, np.inf]), tau, rho))
    np.testing.assert_allclose(near, far, rtol=1e-13, atol=1e-15)


# ---- missing data and empty case sets -------------------------------------------

def small_engine():
    """One factor, two indicators; parameter 4 is read by no cell."""
    e = _backend.MlEngine(0, 2, 0, 1, True)
    e.add_mapping(LAMBDA_Y, 0, 0, True, 0, 0.0)
    e.add_mapping(LAMBDA_Y, 1, 0, True, 1, 0.0)
    e.add_mapping(PSI, 0, 0, False, 0, 1.0)
    e.add_mapping(THETA_EPSILON, 0, 0, True, 2, 0.0)
    e.add_mapping(THETA_EPSILON, 1, 1, True, 3, 0.0)
    return e, np.array([0.8, 0.6, 0.5, 0.5, 9.0])


@pytest.mark.parametrize("bad", [np.nan, np.inf])
@pytest.mark.parametrize("centred_on_mu", [True, False])
def test_a_case_with_a_nonfinite_value_has_no_score(bad, centred_on_mu):
    e, params = small_engine()
    data = np.array([[0.1, 0.2], [bad, 0.3], [0.5, -0.2]])
    scores = e.casewise_scores(data, params, 5, centred_on_mu)
    assert np.isnan(scores[1]).all()
    if centred_on_mu:
        assert np.isfinite(scores[[0, 2]]).all() and (scores[[0, 2], 4] == 0.0).all()
    else:
        assert np.isnan(scores).all()  # the column mean is not finite either


@pytest.mark.parametrize("obs, counts, expected_is_nan", [
    ([[0, 1]], [0], True),           # a pattern weighted 0/0
    ([[0, 1], []], [0, 3], False),   # N = 3 from the empty pattern: weight 0
    ([[]], [3], False),              # no pattern contributes: nothing divided
    ([], [], False),
])
def test_no_usable_pattern(obs, counts, expected_is_nan):
    # The gradient and the observed information divide by the cases of
    # patterns that observe something: 0/0 in every entry, a parameter no
    # cell reads included. The expected information counts every pattern's
    # cases and divides only where a pattern contributes.
    e, params = small_engine()
    means = [np.zeros(len(o)) for o in obs]
    covs = [np.eye(len(o)) for o in obs]
    assert np.isnan(e.objective_fiml(params, obs, counts, means, covs))
    assert np.isnan(e.gradient_fiml(params, obs, counts, means, covs, 5)).all()
    assert np.isnan(e.observed_hessian_fiml(params, obs, counts, means, covs, 5)).all()
    H = e.expected_hessian_fiml(params, obs, counts, 5)
    if expected_is_nan:
        assert np.isnan(H).all()
    else:
        np.testing.assert_array_equal(H, np.zeros((5, 5)))
