"""Model matrices and implied moments: the placement rule and the LISREL
formulas, checked against closed forms and an independent NumPy build."""
import numpy as np
import pytest

import _backend
from semfront import (ALPHA, BETA, GAMMA, KAPPA, LAMBDA_X, LAMBDA_Y, PHI, PSI, TAU_X, TAU_Y,
                      THETA_DELTA, THETA_EPSILON, THETA_EPSILON_DELTA)

SHAPES = {  # matrix id -> shape as a function of (nx, ny, nxi, neta)
    LAMBDA_X: lambda nx, ny, nxi, neta: (nx, nxi),
    LAMBDA_Y: lambda nx, ny, nxi, neta: (ny, neta),
    BETA: lambda nx, ny, nxi, neta: (neta, neta),
    GAMMA: lambda nx, ny, nxi, neta: (neta, nxi),
    PHI: lambda nx, ny, nxi, neta: (nxi, nxi),
    PSI: lambda nx, ny, nxi, neta: (neta, neta),
    THETA_DELTA: lambda nx, ny, nxi, neta: (nx, nx),
    THETA_EPSILON: lambda nx, ny, nxi, neta: (ny, ny),
    THETA_EPSILON_DELTA: lambda nx, ny, nxi, neta: (ny, nx),
    TAU_X: lambda nx, ny, nxi, neta: (nx,),
    TAU_Y: lambda nx, ny, nxi, neta: (ny,),
    KAPPA: lambda nx, ny, nxi, neta: (nxi,),
    ALPHA: lambda nx, ny, nxi, neta: (neta,),
}


def reference_moments(mats, ny):
    """The implied moments written out with NumPy."""
    LX, LY, B, G, Ph, Ps, TD, TE, TED, tx, ty, ka, al = (mats[i] for i in range(13))
    A = np.linalg.inv(np.eye(B.shape[0]) - B)
    C = G @ Ph @ G.T + Ps
    syy = LY @ A @ C @ A.T @ LY.T + TE
    syx = LY @ A @ G @ Ph @ LX.T + TED
    sxx = LX @ Ph @ LX.T + TD
    sigma = np.block([[syy, syx], [syx.T, sxx]])
    mu = np.concatenate([ty + LY @ A @ (al + G @ ka), tx + LX @ ka])
    return sigma, mu


def random_engine(rng, dims, free_share=0.5):
    """Every cell of every target mapped, some free and some fixed."""
    eng = _backend.MlEngine(*dims, meanstructure=True)
    mats, params = {}, []
    for mid, shape in SHAPES.items():
        m = rng.normal(scale=0.3, size=shape(*dims))
        if mid == BETA:
            m = np.triu(m, 1)  # recursive: I - Beta stays invertible
        mats[mid] = m
        for idx in np.ndindex(m.shape):
            row, col = (idx[0], idx[1]) if m.ndim == 2 else (idx[0], 7)  # col of a vector is ignored
            if rng.random() < free_share:
                eng.add_mapping(mid, row, col, True, len(params), 0.0)
                params.append(m[idx])
            else:
                eng.add_mapping(mid, row, col, False, 0, m[idx])
    return eng, mats, np.array(params)


@pytest.mark.parametrize("dims", [(3, 4, 2, 2), (2, 5, 1, 3), (0, 3, 0, 1), (4, 0, 2, 0),
                                  (1, 1, 1, 1), (0, 0, 0, 0)])
def test_implied_moments_match_reference(rng, dims):
    eng, mats, params = random_engine(rng, dims)
    sigma, mu = eng.get_implied_moments(params)
    ref_sigma, ref_mu = reference_moments(mats, dims[1])
    p = dims[0] + dims[1]
    assert sigma.shape == (p, p) and mu.shape == (p,)
    # Same formulas, different association: agreement to rounding.
    np.testing.assert_allclose(sigma, ref_sigma, rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(mu, ref_mu, rtol=1e-12, atol=1e-14)


def test_no_mappings_gives_zeros():
    sigma, mu = _backend.MlEngine(2, 3, 1, 2).get_implied_moments(np.zeros(0))
    assert not sigma.any() and not mu.any() and sigma.shape == (5, 5)


def test_one_factor_closed_form():
    """Sigma = l l' v + diag(t), mu = TauY + l * Alpha."""
    l, v, t, tau, alpha = np.array([1.0, 0.8, 1.3]), 2.5, np.array([0.4, 0.5, 0.6]), \
        np.array([1.0, 2.0, 3.0]), 0.7
    eng = _backend.MlEngine(0, 3, 0, 1)
    assert eng.get_implied_moments(np.zeros(0))[0].shape == (3, 3)
    for i in range(3):
        eng.add_mapping(LAMBDA_Y, i, 0, True, i, 0.0)
        eng.add_mapping(THETA_EPSILON, i, i, True, 3 + i, 0.0)
        eng.add_mapping(TAU_Y, i, 99, False, 0, tau[i])  # the column of a vector is not read
    eng.add_mapping(PSI, 0, 0, True, 6, 0.0)
    eng.add_mapping(ALPHA, 0, 0, True, 7, 0.0)
    sigma, mu = eng.get_implied_moments(np.r_[l, t, v, alpha])
    np.testing.assert_allclose(sigma, np.outer(l, l) * v + np.diag(t), rtol=1e-15)
    np.testing.assert_allclose(mu, tau + l * alpha, rtol=1e-15)


def test_x_only_model():
    eng = _backend.MlEngine(2, 0, 1, 0)
    eng.add_mapping(LAMBDA_X, 0, 0, False, 0, 1.0)
    eng.add_mapping(LAMBDA_X, 1, 0, True, 0, 0.0)
    eng.add_mapping(PHI, 0, 0, True, 1, 0.0)
    eng.add_mapping(THETA_DELTA, 1, 1, False, 0, 0.3)
    eng.add_mapping(KAPPA, 0, 0, True, 2, 0.0)
    eng.add_mapping(TAU_X, 1, 0, False, 0, 5.0)
    sigma, mu = eng.get_implied_moments(np.array([2.0, 1.5, 0.5]))
    lx = np.array([1.0, 2.0])
    np.testing.assert_allclose(sigma, 1.5 * np.outer(lx, lx) + np.diag([0, 0.3]), rtol=1e-15)
    np.testing.assert_allclose(mu, [0.5, 5.0 + 1.0], rtol=1e-15)


def test_beta_feedback_closed_form():
    """Beta(0,1) = b gives A = [[1, b], [0, 1]]; with LambdaY = I and Psi = I, Sigma = A A'."""
    b = 0.6
    eng = _backend.MlEngine(0, 2, 0, 2)
    eng.add_mapping(BETA, 0, 1, True, 0, 0.0)
    for i in range(2):
        eng.add_mapping(LAMBDA_Y, i, i, False, 0, 1.0)
        eng.add_mapping(PSI, i, i, False, 0, 1.0)
        eng.add_mapping(ALPHA, i, 0, False, 0, [2.0, 3.0][i])
    sigma, mu = eng.get_implied_moments(np.array([b]))
    A = np.array([[1.0, b], [0.0, 1.0]])
    np.testing.assert_allclose(sigma, A @ A.T, rtol=1e-15)
    np.testing.assert_allclose(mu, A @ [2.0, 3.0], rtol=1e-15)


def test_placement_rule_one_sided_and_later_wins():
    eng = _backend.MlEngine(2, 0, 2, 0)
    for i in range(2):
        eng.add_mapping(LAMBDA_X, i, i, False, 0, 1.0)
    eng.add_mapping(PHI, 0, 1, True, 3, 0.0)  # only the upper cell: nothing mirrors it
    eng.add_mapping(THETA_DELTA, 0, 0, False, 0, 1.0)
    eng.add_mapping(THETA_DELTA, 0, 0, True, 0, 0.0)  # later free mapping wins over fixed 1.0
    eng.add_mapping(13, 0, 0, False, 0, 1.0)  # unknown identifiers are ignored
    eng.add_mapping(-1, 0, 0, False, 0, 1.0)
    sigma, _ = eng.get_implied_moments(np.array([0.25, 0, 0, 0.9]))
    np.testing.assert_array_equal(sigma, [[0.25, 0.9], [0.0, 0.0]])


def _layouts(a):
    """The same values as C-ordered, Fortran-ordered, strided and list input."""
    big = np.zeros((2 * a.shape[0],) + a.shape[1:])
    big[::2] = a
    return [np.ascontiguousarray(a), np.asfortranarray(a), big[::2], a.tolist()]


def test_params_layout_does_not_matter(rng):
    eng, _, params = random_engine(rng, (2, 3, 1, 2))
    ref = eng.get_implied_moments(params)
    for layout in _layouts(params):
        got = eng.get_implied_moments(layout)
        np.testing.assert_array_equal(got[0], ref[0])
        np.testing.assert_array_equal(got[1], ref[1])


BAD_MAPPINGS = [
    ((LAMBDA_X, 2, 0, False, 0, 1.0), "row 2 is outside LambdaX"),
    ((LAMBDA_X, 0, 1, False, 0, 1.0), "col 1 is outside LambdaX"),
    ((LAMBDA_Y, -1, 0, False, 0, 1.0), "row -1 is outside LambdaY"),
    ((THETA_EPSILON_DELTA, 0, 2, True, 0, 0.0), "col 2 is outside ThetaEpsilonDelta"),
    ((BETA, 1, 0, False, 0, 1.0), "row 1 is outside Beta"),
    ((TAU_Y, 3, 0, False, 0, 1.0), "row 3 is outside TauY, which has 3 elements"),
    ((ALPHA, 1, 0, True, 0, 0.0), "row 1 is outside Alpha"),
    ((PHI, 0, 0, True, -1, 0.0), "param_index must be non-negative"),
]


@pytest.mark.parametrize("mapping, message", BAD_MAPPINGS)
def test_out_of_range_mapping_raises_and_leaves_engine(mapping, message):
    eng = _backend.MlEngine(2, 3, 1, 1)
    eng.add_mapping(LAMBDA_X, 1, 0, True, 0, 0.0)
    eng.add_mapping(PHI, 0, 0, False, 0, 2.0)
    before = eng.get_implied_moments([0.5])
    with pytest.raises(ValueError, match=message):
        eng.add_mapping(*mapping)
    after = eng.get_implied_moments([0.5])
    np.testing.assert_array_equal(before[0], after[0])
    np.testing.assert_array_equal(before[1], after[1])


def test_unknown_identifiers_accept_any_cell():
    eng = _backend.MlEngine(1, 1, 1, 1)
    eng.add_mapping(13, 99, 99, True, -5, 0.0)
    eng.add_mapping(-7, -1, -1, True, 10**6, 0.0)
    sigma, _ = eng.get_implied_moments(np.zeros(0))  # neither needs a parameter
    assert not sigma.any()


@pytest.mark.parametrize("dims", [(-1, 0, 0, 0), (0, -2, 0, 0), (0, 0, -1, 0), (0, 0, 0, -3)])
def test_negative_dimensions_raise(dims):
    name = ["nx", "ny", "nxi", "neta"][int(np.argmin(dims))]
    with pytest.raises(ValueError, match=f"{name} must be non-negative"):
        _backend.MlEngine(*dims)


def test_params_too_short_raises():
    eng = _backend.MlEngine(1, 0, 1, 0)
    eng.add_mapping(LAMBDA_X, 0, 0, True, 4, 0.0)
    with pytest.raises(ValueError, match=r"params has length 4, but a free mapping reads params\[4\]"):
        eng.get_implied_moments(np.zeros(4))
    with pytest.raises(ValueError, match="params has length 2"):
        eng.jacobian_implied_moments(np.zeros(2), 0)
    assert eng.get_implied_moments(np.ones(5))[0][0, 0] == 0.0  # Phi unset


def test_results_are_new_arrays():
    eng = _backend.MlEngine(0, 1, 0, 1)
    eng.add_mapping(THETA_EPSILON, 0, 0, True, 0, 0.0)
    s1, _ = eng.get_implied_moments([1.0])
    s1[0, 0] = 42.0
    s2, _ = eng.get_implied_moments([1.0])
    assert s2[0, 0] == 1.0
