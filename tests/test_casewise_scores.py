"""Casewise scores: per-case derivatives of the normal log-density and
their sums, which are the ML gradient in log-likelihood units."""
import numpy as np
import pytest

from ml_model_shapes import SHAPES, central_difference, make_case
from semfront import TAU_Y

CASES = [(s, m) for s in SHAPES for m in (False, True)]


@pytest.mark.parametrize("shape", SHAPES)
def test_scores_are_derivatives_of_the_case_log_density(shape):
    # With the centre at mu, score (r, k) is d/dparams[k] of
    # -1/2 log|Sigma| - 1/2 (x_r - mu)' Sigma^-1 (x_r - mu).
    c = make_case(shape, True, n=12)

    def log_density(x):
        Sigma, mu = c.engine.get_implied_moments(x)
        d = c.data - mu
        return -0.5 * np.linalg.slogdet(Sigma)[1] - 0.5 * np.einsum(
            "ri,ri->r", d, np.linalg.solve(Sigma, d.T).T)

    scores = c.engine.casewise_scores(c.data, c.params, c.n_free, True)
    fd = central_difference(log_density, c.params, c.n_free, 1e-6)
    # Log-densities are O(1): rounding/h ~ 1e-10, truncation h^2 ~ 1e-12.
    np.testing.assert_allclose(scores, fd, rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("shape,means", CASES)
@pytest.mark.parametrize("active", [False, True])
def test_column_sums_against_ml_gradient(shape, means, active):
    # Sum over cases with d_r = x_r - centre: sum d_r d_r' = N (S + e e') and
    # sum d_r = N e, e = xbar - centre, S the divisor-N covariance. So
    #   sum_r score(r, k) = -N/2 [trace(W dSigma_k) - 2 dmu_k' SigmaInv e],
    #   W = SigmaInv - SigmaInv (S + e e') SigmaInv,
    # which is -N/2 times the ML gradient: with the mean part when the centre
    # is mu, and without it (e = 0) when the centre is xbar.
    c = make_case(shape, means, meanstructure=True)
    N = c.data.shape[0]
    scores = c.engine.casewise_scores(c.data, c.params, c.n_free, active)
    g = c.engine.gradient_ml(c.params, c.S, c.xbar if active else None, c.n_free)
    # Sums of N = 150 O(1) terms: a few hundred ulps of the total.
    np.testing.assert_allclose(scores.sum(axis=0), -N / 2 * g, rtol=1e-9, atol=1e-9)


def test_column_sums_closed_form_without_mean_part():
    # (N/2) trace(SigmaInv (S - Sigma) SigmaInv dSigma_k), with dSigma_k by
    # differencing the implied covariance.
    c = make_case("structural", False)
    N = c.data.shape[0]
    Sigma, _ = c.engine.get_implied_moments(c.params)
    Si = np.linalg.inv(Sigma)
    dSigma = central_difference(lambda x: c.engine.get_implied_moments(x)[0], c.params,
                                c.n_free, 1e-6)
    want = [N / 2 * np.trace(Si @ (c.S - Sigma) @ Si @ dSigma[:, :, k])
            for k in range(c.n_free)]
    got = c.engine.casewise_scores(c.data, c.params, c.n_free, False).sum(axis=0)
    np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-6)
    # At Sigma = S the sums vanish: refit the sample to the model's Sigma.
    L = np.linalg.cholesky(Sigma)
    z = c.data - c.xbar
    exact = z @ np.linalg.inv(np.linalg.cholesky(c.S)).T @ L.T + c.xbar
    sums = c.engine.casewise_scores(exact, c.params, c.n_free, False).sum(axis=0)
    np.testing.assert_allclose(sums, 0.0, atol=1e-9)


def test_case_at_the_centre_scores_minus_half_trace():
    c = make_case("structural", True, n=5)
    Sigma, mu = c.engine.get_implied_moments(c.params)
    data = np.vstack([c.data, mu])
    scores = c.engine.casewise_scores(data, c.params, c.n_free, True)
    dSigma = central_difference(lambda x: c.engine.get_implied_moments(x)[0], c.params,
                                c.n_free, 1e-6)
    want = [-0.5 * np.trace(np.linalg.solve(Sigma, dSigma[:, :, k])) for k in range(c.n_free)]
    np.testing.assert_allclose(scores[-1], want, rtol=1e-7, atol=1e-8)


def test_intercept_score_closed_form():
    c = make_case("cfa_xy", True, n=20)
    Sigma, mu = c.engine.get_implied_moments(c.params)
    scores = c.engine.casewise_scores(c.data, c.params, c.n_free, True)
    z = np.linalg.solve(Sigma, (c.data - mu).T).T
    for mid, r, _, free, k, _ in c.model.mappings:
        if free and mid == TAU_Y:
            np.testing.assert_allclose(scores[:, k], z[:, r], rtol=1e-12, atol=1e-14)


def test_empty_shapes():
    c = make_case("structural", True)
    assert c.engine.casewise_scores(c.data[:0], c.params, c.n_free, False).shape == (0, c.n_free)
    assert c.engine.casewise_scores(c.data[:0], c.params, c.n_free, True).shape == (0, c.n_free)
    assert c.engine.casewise_scores(c.data, c.params, 0, True).shape == (len(c.data), 0)


def test_nan_rows():
    c = make_case("cfa_xy", True, n=6)
    data = c.data.copy()
    data[2, 1] = np.nan
    around_mu = c.engine.casewise_scores(data, c.params, c.n_free, True)
    assert np.all(np.isnan(around_mu[2]))
    assert np.all(np.isfinite(np.delete(around_mu, 2, axis=0)))
    # The column mean carries the NaN into every case.
    assert np.all(np.isnan(c.engine.casewise_scores(data, c.params, c.n_free, False)))


def test_scores_do_not_depend_on_row_order(rng):
    c = make_case("equality", True, n=30)
    perm = rng.permutation(30)
    a = c.engine.casewise_scores(c.data, c.params, c.n_free, False)
    b = c.engine.casewise_scores(c.data[perm], c.params, c.n_free, False)
    np.testing.assert_allclose(b, a[perm], rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("kind,pattern", [
    ("columns", r"data must have 7 columns \(one per observed variable\), got 6"),
    ("n_free_negative", r"n_free must be non-negative"),
    ("n_free_too_large", r"larger than len\(params\)"),
    ("params_short", r"params has length"),
])
def test_bad_input(kind, pattern):
    c = make_case("structural", True, n=10)
    args = [c.data, c.params, c.n_free, True]
    if kind == "columns":
        args[0] = c.data[:, :-1]
    elif kind == "n_free_negative":
        args[2] = -1
    elif kind == "n_free_too_large":
        args[2] = len(c.params) + 1
    else:
        args[1] = c.params[:-1]
        args[2] = 3
    before = c.engine.casewise_scores(c.data, c.params, c.n_free, True)
    with pytest.raises(ValueError, match=pattern):
        c.engine.casewise_scores(*args)
    assert np.array_equal(c.engine.casewise_scores(c.data, c.params, c.n_free, True), before)
