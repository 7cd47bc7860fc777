"""Bivariate ordinal probit: cell probabilities from the standard bivariate
normal distribution function, per-case log-likelihoods and their
forward-difference scores."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import integrate, special, stats

import _backend
from _backend import bivariate_loglik, categorical_casewise_scores

ZERO = np.zeros(1, dtype=np.int32)


def codes(*values):
    return np.array(values, dtype=np.int32)


def bvn_cdf(a, b, rho):
    """The backend's distribution function, isolated in the lowest cell:
    P(-inf < X <= a, -inf < Y <= b) is one evaluation and three exact zeros."""
    return np.exp(bivariate_loglik(ZERO, ZERO, [a], [b], rho)[0])


def all_cells(kx, ky):
    cx, cy = np.meshgrid(np.arange(kx + 1), np.arange(ky + 1), indexing="ij")
    return cx.ravel().astype(np.int32), cy.ravel().astype(np.int32)


# Largest error against SciPy over a in [-3, 3], b in [-3, 3] for each |rho|.
# Up to 0.9 the fixed 15-point rule, whose integrand in the correlation
# steepens near |r| = 1 (measured: 1e-13 at 0.8, 2.7e-10 at 0.9); beyond,
# the integral from the degenerate distribution (measured: 2.2e-16).
ACCURACY = [(0.5, 1e-15), (0.8, 2e-13), (0.9, 5e-10), (0.95, 1e-15), (0.99, 1e-15),
            (0.999, 1e-15)]


@pytest.mark.parametrize("rho_abs, tol", ACCURACY)
@pytest.mark.parametrize("sign", [-1, 1])
def test_distribution_function_against_scipy(rho_abs, tol, sign):
    rho = sign * rho_abs
    grid = np.linspace(-3, 3, 9)
    pts = np.array([(a, b) for a in grid for b in grid])
    ref = stats.multivariate_normal(mean=[0, 0], cov=[[1, rho], [rho, 1]]).cdf(pts)
    ours = np.array([bvn_cdf(a, b, rho) for a, b in pts])
    # below the 1e-15 floor the two may differ by the floor itself (plus the
    # rounding of its log/exp round trip)
    np.testing.assert_allclose(ours, ref, rtol=0, atol=max(tol, 1.1e-15))


@pytest.mark.parametrize("rho", [0.0, 1e-11, -5e-11])
def test_uncorrelated_cells_are_products_of_the_margins(rho):
    tau_x, tau_y = np.array([-0.8, 0.1, 1.2]), np.array([-0.3, 0.9])
    x, y = all_cells(3, 2)
    px = np.diff(stats.norm.cdf(np.r_[-np.inf, tau_x, np.inf]))
    py = np.diff(stats.norm.cdf(np.r_[-np.inf, tau_y, np.inf]))
    p = np.exp(bivariate_loglik(x, y, tau_x, tau_y, rho))
    # differences of products of erfc values: a few roundings of O(1) numbers
    np.testing.assert_allclose(p, px[x] * py[y], rtol=1e-13, atol=1e-15)


def test_median_split_cells():
    x, y = all_cells(1, 1)
    # rho = 0: exactly a quarter each
    np.testing.assert_array_equal(bivariate_loglik(x, y, [0.0], [0.0], 0.0), np.log(0.25))
    # rho = 0.5: 1/4 + arcsin(rho) / (2 pi) = 1/3 on the diagonal cells; the
    # 15-point rule is exact to rounding at this correlation
    p = np.exp(bivariate_loglik(x, y, [0.0], [0.0], 0.5))
    np.testing.assert_allclose(p, [1 / 3, 1 / 6, 1 / 6, 1 / 3], rtol=1e-15)


@pytest.mark.parametrize("rho", [-0.6, 0.3, 0.9])
def test_highest_category_from_the_distribution_function(rho):
    lx, ly = 0.4, -0.7
    p = np.exp(bivariate_loglik(codes(2), codes(1), [-1.0, lx], [ly], rho)[0])
    expected = 1 - stats.norm.cdf(lx) - stats.norm.cdf(ly) + bvn_cdf(lx, ly, rho)
    # erfc against SciPy's normal cdf, plus the exp/log round trip
    assert p == pytest.approx(expected, rel=1e-14)


# The cells telescope to P(+inf, +inf) = 1 whatever the rule's error, except
# where a far-off-diagonal cell comes out negative and is floored to 1e-15,
# as with the 15-point rule near |rho| = 1 (1 + 1.6e-5 at 0.99); at |rho| = 1
# the emptied cells add up to 1e-15 each.
@pytest.mark.parametrize("rho, tol", [(-0.95, 1e-13), (-0.4, 1e-13), (0.0, 1e-13),
                                      (0.35, 1e-13), (0.8, 1e-13), (0.99, 1e-13),
                                      (-0.99, 1e-13), (0.999, 1e-13), (-0.999, 1e-13),
                                      (1.0, 1e-13), (-1.0, 1e-13)])
def test_cell_probabilities_sum_to_one(rho, tol):
    tau_x, tau_y = np.array([-1.1, -0.2, 0.5, 1.4]), np.array([-0.6, 0.3, 1.0])
    x, y = all_cells(4, 3)
    p = np.exp(bivariate_loglik(x, y, tau_x, tau_y, rho))
    assert p.sum() == pytest.approx(1.0, abs=tol)


def test_unordered_thresholds_empty_a_cell_to_the_floor():
    assert bivariate_loglik(codes(1), codes(0), [1.0, 0.0], [0.0], 0.3)[0] == np.log(1e-15)


def test_correlations_beyond_one():
    x, y = all_cells(1, 1)
    assert np.isfinite(bivariate_loglik(x, y, [0.2], [-0.1], 1.0)).all()
    # the outermost node stays inside |r| < 1 up to rho = 2 / 1.99145... = 1.00429
    assert np.isfinite(bivariate_loglik(x, y, [0.2], [-0.1], 1.0042)).all()
    assert np.isnan(bivariate_loglik(x, y, [0.2], [-0.1], 1.005)).all()
    assert np.isnan(categorical_casewise_scores(x, y, [0.2], [-0.1], -1.01)).all()


def reference_cell(lo_x, hi_x, lo_y, hi_y, rho):
    """P(lo_x < X <= hi_x, lo_y < Y <= hi_y) as one integral over x of the
    density times the conditional probability of the y-interval, by SciPy's
    adaptive quadrature; at |rho| = 1 the overlap of two intervals of X."""
    if abs(rho) == 1:
        lo, hi = (lo_y, hi_y) if rho > 0 else (-hi_y, -lo_y)
        lo, hi = max(lo_x, lo), min(hi_x, hi)
        return max(0.0, interval_probability(lo, hi))
    s = np.sqrt((1 - rho) * (1 + rho))
    # mass beyond |x| = 9 is below 1e-18
    lo_x, hi_x = max(lo_x, -9.0), min(hi_x, 9.0)
    if lo_x >= hi_x:
        return 0.0
    steps = [v / rho + d * s for v in (lo_y, hi_y) if np.isfinite(v) for d in (-3, 0, 3)]
    points = [p for p in steps if lo_x < p < hi_x] or None
    def integrand(x):
        return stats.norm.pdf(x) * interval_probability((lo_y - rho * x) / s, (hi_y - rho * x) / s)

    value, _ = integrate.quad(integrand, lo_x, hi_x, points=points, epsabs=1e-17, epsrel=1e-12,
                              limit=200)
    return value


def interval_probability(lo, hi):
    """Phi(hi) - Phi(lo) from the smaller tail, so that upper tails keep their digits."""
    if lo > 0:
        return special.ndtr(-lo) - special.ndtr(-hi)
    return special.ndtr(hi) - special.ndtr(lo)


def cell_table(tau_x, tau_y, rho, prob):
    ext_x, ext_y = np.r_[-np.inf, tau_x, np.inf], np.r_[-np.inf, tau_y, np.inf]
    x, y = all_cells(len(tau_x), len(tau_y))
    return x, y, np.array([prob(ext_x[i], ext_x[i + 1], ext_y[j], ext_y[j + 1], rho)
                           for i, j in zip(x, y)])


HIGH_RHO = [0.9000001, 0.93, 0.99, 0.995, 0.999, 0.99999, 1.0,
            -0.9000001, -0.95, -0.99, -0.999, -1.0]


@pytest.mark.parametrize("rho", HIGH_RHO)
@pytest.mark.parametrize("tau_x, tau_y", [
    ([-1.6, -0.5, 0.2, 1.9], [-0.8, 0.4, 2.5]),
    ([-2.5, -1.2, 0.1, 0.3, 0.6, 2.2], [-1.9, -0.1, 1.0, 1.1])])
def test_cells_near_perfect_correlation_against_quadrature(rho, tau_x, tau_y):
    x, y, ref = cell_table(tau_x, tau_y, rho, reference_cell)
    p = np.exp(bivariate_loglik(x, y, tau_x, tau_y, rho))
    # distribution-function values accurate to about 1e-15 (quadrature to
    # 1e-17); cells the model empties sit on the 1e-15 floor
    np.testing.assert_allclose(p, ref, rtol=0, atol=1e-13)
    # small cells from corner values that are small too (measured: 2.4e-13)
    big = ref > 1e-12
    np.testing.assert_allclose(p[big], ref[big], rtol=1e-8, atol=0)


@pytest.mark.parametrize("rho", [0.99, 0.995])
def test_polychoric_on_an_exact_table_recovers_a_high_correlation(rho):
    from scipy.optimize import minimize_scalar

    tau_x, tau_y = np.array([-0.7, 0.4]), np.array([-0.2, 0.9])
    x, y, freq = cell_table(tau_x, tau_y, rho, reference_cell)
    res = minimize_scalar(lambda r: -freq @ bivariate_loglik(x, y, tau_x, tau_y, r),
                          bounds=(0.9, 0.9999), method="bounded", options={"xatol": 1e-10})
    # expected frequencies: the likelihood is maximal at the true value,
    # up to the accuracy of the cells (the 15-point rule gave 0.98825 here)
    assert res.x == pytest.approx(rho, abs=1e-6)


# Thresholds far apart, or beyond any overflow: the probability is the
# degenerate limit and never a NaN from an overflowing factor.
@pytest.mark.parametrize("a, b, rho, expected", [
    (40.0, -40.0, 0.95, 0.0), (-40.0, 40.0, -0.95, 0.0), (40.0, 40.0, -0.999, 1.0),
    (-12.0, 12.0, 0.99, 0.0), (1e200, -1e200, 0.99, 0.0), (1e200, 1e200, -0.93, 1.0),
    (9.0, 9.5, 0.97, 1.0)])
def test_far_thresholds_near_perfect_correlation(a, b, rho, expected):
    assert bvn_cdf(a, b, rho) == pytest.approx(max(expected, 1e-15), rel=1e-14, abs=1e-15)


@pytest.mark.parametrize("rho", [0.5, 0.95, -0.999])
def test_nan_threshold_passes_through(rho):
    x, y = all_cells(1, 1)
    out = bivariate_loglik(x, y, [np.nan], [0.3], rho)
    assert np.isnan(out).all()
    assert np.isnan(categorical_casewise_scores(x, y, [0.2], [np.nan], rho)[:, -1]).all()


# The per-cell evaluation against the case-by-case one on the same inputs:
# tables with fewer cells than cases (evaluated per cell) and with more
# (handed to the case-by-case rule), rho inside and beyond the 15-point range.
@settings(max_examples=150, deadline=None, derandomize=True, database=None)
@given(kx=st.integers(0, 4), ky=st.integers(0, 4), n=st.integers(0, 60),
       rho=st.one_of(st.floats(-0.9, 0.9), st.floats(-1.01, 1.01)),
       eps=st.sampled_from([1e-5, 1e-3, 0.7, 0.0, -1e-4]), data=st.data())
def test_per_cell_evaluation_is_bit_identical_to_per_case(kx, ky, n, rho, eps, data):
    threshold = st.floats(-3, 3)
    tau_x = np.sort(data.draw(st.lists(threshold, min_size=kx, max_size=kx)))
    tau_y = np.array(data.draw(st.lists(threshold, min_size=ky, max_size=ky)))  # any order
    x = codes(*data.draw(st.lists(st.integers(0, kx), min_size=n, max_size=n)))
    y = codes(*data.draw(st.lists(st.integers(0, ky), min_size=n, max_size=n)))
    np.testing.assert_array_equal(bivariate_loglik(x, y, tau_x, tau_y, rho),
                                  _backend._bivariate_loglik_per_case(x, y, tau_x, tau_y, rho))
    np.testing.assert_array_equal(
        categorical_casewise_scores(x, y, tau_x, tau_y, rho, eps),
        _backend._categorical_casewise_scores_per_case(x, y, tau_x, tau_y, rho, eps))


def test_polychoric_maximum_recovers_the_correlation():
    from scipy.optimize import minimize_scalar

    rng = np.random.default_rng(7)
    z = rng.multivariate_normal([0, 0], [[1, 0.6], [0.6, 1]], size=2000)
    tau_x, tau_y = np.array([-0.9, 0.0, 0.7]), np.array([-0.4, 0.8])
    x = np.searchsorted(tau_x, z[:, 0]).astype(np.int32)
    y = np.searchsorted(tau_y, z[:, 1]).astype(np.int32)
    res = minimize_scalar(lambda r: -bivariate_loglik(x, y, tau_x, tau_y, r).sum(),
                          bounds=(-0.99, 0.99), method="bounded")
    # the polychoric standard error at n = 2000 is about 0.02
    assert res.x == pytest.approx(0.6, abs=0.06)
    # the correlation score of the maximum is near zero (forward step eps)
    s = categorical_casewise_scores(x, y, tau_x, tau_y, res.x)[:, -1].sum()
    assert abs(s) < 1.0


# ---- scores ----------------------------------------------------------------

TAU_X, TAU_Y = np.array([-1.0, -0.1, 0.6, 1.3]), np.array([-0.5, 0.4])


@pytest.fixture
def cases():
    x, y = all_cells(4, 2)
    return x, y


@pytest.mark.parametrize("rho", [-0.5, 0.0, 0.45])
def test_scores_are_forward_differences_of_the_loglik(cases, rho):
    x, y = cases
    eps = 1e-5
    S = categorical_casewise_scores(x, y, TAU_X, TAU_Y, rho, eps)
    assert S.shape == (x.size, 4 + 2 + 1)
    f = bivariate_loglik(x, y, TAU_X, TAU_Y, rho)
    for t in range(4):
        moved = TAU_X.copy()
        moved[t] += eps
        np.testing.assert_array_equal(S[:, t], (bivariate_loglik(x, y, moved, TAU_Y, rho) - f) / eps)
    for t in range(2):
        moved = TAU_Y.copy()
        moved[t] += eps
        np.testing.assert_array_equal(S[:, 4 + t],
                                      (bivariate_loglik(x, y, TAU_X, moved, rho) - f) / eps)
    np.testing.assert_array_equal(S[:, 6], (bivariate_loglik(x, y, TAU_X, TAU_Y, rho + eps) - f) / eps)


def test_scores_vanish_where_a_threshold_bounds_neither_side(cases):
    x, y = cases
    S = categorical_casewise_scores(x, y, TAU_X, TAU_Y, 0.3)
    for k in range(x.size):
        bounding_x = {x[k] - 1, x[k]} & set(range(4))
        bounding_y = {y[k] - 1, y[k]} & set(range(2))
        for t in range(4):
            assert (S[k, t] != 0.0) == (t in bounding_x)
        for t in range(2):
            assert (S[k, 4 + t] != 0.0) == (t in bounding_y)
    # category 0: only threshold 0 moves the cell (its lower bound is -inf)
    row = S[(x == 0) & (y == 0)][0]
    np.testing.assert_array_equal(row[[1, 2, 3, 5]], 0.0)
    # raising an upper bound adds probability, raising a lower bound removes it
    assert row[0] > 0 and row[4] > 0


def test_scores_approximate_the_analytic_derivative(cases):
    x, y = cases
    rho = 0.3
    S = categorical_casewise_scores(x, y, TAU_X, TAU_Y, rho, 1e-7)
    h = 1e-5
    up = bivariate_loglik(x, y, TAU_X, TAU_Y, rho + h)
    down = bivariate_loglik(x, y, TAU_X, TAU_Y, rho - h)
    # forward (1e-7) against central (1e-5) differences of smooth O(1) functions
    np.testing.assert_allclose(S[:, -1], (up - down) / (2 * h), rtol=1e-5, atol=1e-6)


def test_correlation_step_is_clamped_but_divided_by_eps():
    x, y = all_cells(1, 1)
    f = bivariate_loglik(x, y, [0.0], [0.0], 0.9995)
    g = bivariate_loglik(x, y, [0.0], [0.0], 0.999)
    S = categorical_casewise_scores(x, y, [0.0], [0.0], 0.9995, 1e-5)
    np.testing.assert_array_equal(S[:, 2], (g - f) / 1e-5)
    # the step went down, so the diagonal cells lose probability
    assert S[0, 2] < 0 and S[3, 2] < 0


def test_default_eps_and_a_variable_without_thresholds():
    x, y = codes(0, 0, 0), codes(0, 1, 2)
    S = categorical_casewise_scores(x, y, np.array([]), [-0.3, 0.5], 0.2)
    assert S.shape == (3, 3)
    np.testing.assert_array_equal(S, categorical_casewise_scores(x, y, [], [-0.3, 0.5], 0.2, 1e-5))
    # with x unrestricted the correlation cannot matter beyond rounding
    np.testing.assert_allclose(S[:, -1], 0.0, atol=1e-9)


# ---- bad input -------------------------------------------------------------

@pytest.mark.parametrize("x, y, message", [
    (codes(0, 3), codes(0, 1), r"x\[1\] = 3 .*0\.\.2.*tau_x"),
    (codes(-1, 0), codes(0, 1), r"x\[0\] = -1"),
    (codes(0, 1), codes(2, 0), r"y\[0\] = 2 .*0\.\.1.*tau_y"),
    (codes(0, 1), codes(0), "same length"),
    (codes(0), codes(0, 1), "same length"),
])
@pytest.mark.parametrize("scores", [False, True])
def test_out_of_range_codes_and_unequal_lengths(x, y, message, scores):
    args = (x, y, [-0.5, 0.5], [0.0], 0.3)
    with pytest.raises(ValueError, match=message):
        categorical_casewise_scores(*args) if scores else bivariate_loglik(*args)


@pytest.mark.parametrize("x, error, message", [
    # Integers of any width and integral floats convert when they fit ...
    (np.array([2, 0], dtype=np.int8), None, None),
    (np.array([2, 0], dtype=np.uint64), None, None),
    (np.array([2.0, 0.0]), None, None),
    ([2, 0], None, None),
    # ... anything else is refused with the original value, not wrapped or truncated.
    (np.array([2**32, 0], dtype=np.int64), ValueError, r"x\[0\] is 4294967296, which does not fit"),
    (np.array([0, 2**32 + 2]), ValueError, r"x\[1\] is 4294967298"),
    (np.array([2**40, 0]), ValueError, r"x\[0\] is 1099511627776"),
    ([2**70, 0], ValueError, r"x\[0\] is 1180591620717411303424"),
    (np.array([1.7, 0.0]), ValueError, r"x\[0\] is 1.7, not an integer"),
    (np.array([np.nan, 0.0]), ValueError, r"x\[0\] is nan"),
    (np.array([1 + 2j, 0]), ValueError, r"x\[0\] is \(1\+2j\)"),
    ([1, None], TypeError, r"x\[1\] is None"),
    (np.array(["1", "0"]), TypeError, "incompatible function arguments"),
])
@pytest.mark.parametrize("scores", [False, True])
def test_category_codes_convert_only_exactly(x, error, message, scores):
    args = ([-0.5, 0.5], [0.0, 1.0], 0.3)
    call = categorical_casewise_scores if scores else bivariate_loglik
    if error is None:
        np.testing.assert_array_equal(call(x, codes(1, 2), *args), call(codes(2, 0), codes(1, 2), *args))
    else:
        with pytest.raises(error, match=message):
            call(x, codes(1, 2), *args)


def test_ordinal_example_fits_the_three_factor_model(capsys):
    from fit_ordinal import main

    out = main()
    assert out["converged"]
    assert "visual ~~ textual" in capsys.readouterr().out
    # standardised loadings and correlations of a proper solution
    assert np.all((out["params"][:9] > 0) & (out["params"][:9] < 1))
    assert np.all(np.abs(out["params"][9:]) < 1)
    np.testing.assert_allclose(out["residuals"], 1 - out["params"][:9] ** 2, rtol=1e-12)
    assert np.all(np.abs(out["polychorics"]) < 0.99) and np.all(out["weights"] > 0)
