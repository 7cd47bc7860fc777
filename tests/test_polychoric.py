"""polychoric_statistics: thresholds, polychoric correlations, DWLS weights and
their asymptotic covariance Gamma from N x p category codes in one call.

Oracles: the closed form of a 2 x 2 table at thresholds 0, the score of
`bivariate_loglik` by central differences, the margins through SciPy's normal
quantile, and the two-step sandwich written out in NumPy on forward-difference
scores from `categorical_casewise_scores`."""
import io
import os
import subprocess
import sys

import numpy as np
import pytest
from scipy.stats import norm

from _backend import bivariate_loglik, categorical_casewise_scores, polychoric_statistics

BOUND = 0.9999  # |rho-hat| of a pair whose likelihood keeps rising towards |rho| = 1


def generated_codes(n=600, seed=2020):
    """Four items with 3, 5, 2 and 4 categories, correlations 0.2 to 0.7."""
    rng = np.random.default_rng(seed)
    R = np.array([[1.0, 0.5, 0.3, 0.7],
                  [0.5, 1.0, 0.2, 0.4],
                  [0.3, 0.2, 1.0, -0.3],
                  [0.7, 0.4, -0.3, 1.0]])
    z = rng.multivariate_normal(np.zeros(4), R, size=n)
    cuts = [[-0.6, 0.5], [-1.3, -0.4, 0.2, 1.0], [0.3], [-0.9, 0.0, 0.8]]
    return np.column_stack([np.searchsorted(c, z[:, j]) for j, c in enumerate(cuts)]).astype(np.int32)


CODES = generated_codes()
P = CODES.shape[1]
PAIRS = [(i, j) for j in range(P) for i in range(j + 1, P)]  # the statistics order


@pytest.fixture(scope="module")
def stats():
    return polychoric_statistics(CODES, gamma=True)


def table_codes(n00, n01, n10, n11):
    rows = [(0, 0)] * n00 + [(0, 1)] * n01 + [(1, 0)] * n10 + [(1, 1)] * n11
    return np.array(rows, dtype=np.int32)


def test_result_keys_and_shapes(stats):
    assert list(stats) == ["thresholds", "correlations", "weights", "gamma"]
    plain = polychoric_statistics(CODES.tolist())  # lists of lists convert too
    assert list(plain) == ["thresholds", "correlations", "weights"]
    np.testing.assert_array_equal(plain["weights"], stats["weights"])
    assert [t.size for t in stats["thresholds"]] == [2, 4, 1, 3]
    m = P * (P - 1) // 2
    assert stats["correlations"].shape == stats["weights"].shape == (m,)
    assert stats["gamma"].shape == (m, m)


@pytest.mark.parametrize("n00, n01", [(50, 50), (70, 30), (30, 70), (97, 3), (2, 98)])
def test_two_by_two_at_zero_thresholds_has_the_closed_form(n00, n01):
    # Margins of 1/2 put both thresholds at 0, where P00 = 1/4 + arcsin(rho)/(2 pi);
    # the likelihood is maximal where P00 = n00/N. The quadrature's error (3e-10
    # in P00, whose derivative is at least 1/(2 pi)) moves rho-hat by < 2e-9.
    n11, n10 = n00, n01
    n = n00 + n01 + n10 + n11
    out = polychoric_statistics(table_codes(n00, n01, n10, n11))
    np.testing.assert_allclose(np.concatenate(out["thresholds"]), 0.0, atol=1e-15)
    expected = np.sin(np.pi / 2 * (n00 + n11 - n01 - n10) / n)
    assert out["correlations"][0] == pytest.approx(expected, abs=1e-8)


@pytest.mark.parametrize("k", range(len(PAIRS)))
def test_correlation_maximises_bivariate_loglik(stats, k):
    i, j = PAIRS[k]
    x, y = CODES[:, i], CODES[:, j]
    tx, ty = stats["thresholds"][i], stats["thresholds"][j]
    r = stats["correlations"][k]

    def loglik(rho):
        return bivariate_loglik(x, y, tx, ty, rho).sum()

    h = 1e-4
    lo, mid, hi = loglik(r - h), loglik(r), loglik(r + h)
    assert mid > lo and mid > hi
    # The estimator uses the exact density, bivariate_loglik a 15-point rule
    # accurate to ~3e-10 whose slope errs by about as much, so the rule's
    # score at rho-hat is near zero, not zero. Measured as the Newton step to
    # the rule's own maximum: central differences at 1e-5 err by
    # (1e-10 / 6) L'''/L'' (~1e-10 here) and by rounding (1e-13 / 1e-5 over a
    # curvature of order N), the rule's slope by ~1e-10: all below 1e-8.
    score = (loglik(r + 1e-5) - loglik(r - 1e-5)) / 2e-5
    curvature = (hi - 2 * mid + lo) / h**2
    assert abs(score / curvature) < 1e-8


def test_thresholds_come_from_the_margins(stats):
    for j, tau in enumerate(stats["thresholds"]):
        cumulative = np.cumsum(np.bincount(CODES[:, j]))[:-1] / len(CODES)
        np.testing.assert_allclose(tau, norm.ppf(cumulative), rtol=0, atol=1e-13)


def univariate_scores(c, tau):
    """N x K scores d ln P(x = c) / d tau of the univariate probit model."""
    ext = np.concatenate(([-np.inf], tau, [np.inf]))
    prob = norm.cdf(ext[c + 1]) - norm.cdf(ext[c])
    u = np.zeros((c.size, tau.size))
    up, low = np.flatnonzero(c < tau.size), np.flatnonzero(c > 0)
    u[up, c[up]] += norm.pdf(tau[c[up]]) / prob[up]
    u[low, c[low] - 1] -= norm.pdf(tau[c[low] - 1]) / prob[low]
    return u


def test_weights_and_gamma_follow_the_two_step_sandwich(stats):
    # v_ik = N (s_ik - u_a' A_a^-1 sum s t_a - u_b' A_b^-1 sum s t_b) / sum s^2,
    # Gamma = V'V / N, with the pair scores by forward differences at eps.
    n, eps = len(CODES), 1e-7
    taus = stats["thresholds"]
    u = [univariate_scores(CODES[:, j], taus[j]) for j in range(P)]
    V = np.empty((n, len(PAIRS)))
    for k, (a, b) in enumerate(PAIRS):
        sc = categorical_casewise_scores(CODES[:, a], CODES[:, b], taus[a], taus[b],
                                         stats["correlations"][k], eps)
        ka = taus[a].size
        t_a, t_b, s = sc[:, :ka], sc[:, ka:-1], sc[:, -1]
        v = s - u[a] @ np.linalg.solve(u[a].T @ u[a], t_a.T @ s) \
              - u[b] @ np.linalg.solve(u[b].T @ u[b], t_b.T @ s)
        V[:, k] = n * v / (s @ s)
    gamma = V.T @ V / n
    # A forward difference errs by eps/2 (ln P)'', a few eps relative to the
    # scores for these cells (|(ln P)''| up to ~10 |(ln P)'|), and so do the
    # sandwich's sums and ratios of them; the rule's slope differs from the
    # exact density's by ~1e-9 / P. Measured: 4 eps; allowed: 40 eps.
    tol = 40 * eps
    np.testing.assert_allclose(stats["gamma"], gamma, rtol=0, atol=tol * np.abs(gamma).max())
    np.testing.assert_allclose(stats["weights"], 1 / np.diag(gamma), rtol=tol)


def test_gamma_is_the_covariance_of_repeated_estimates(rng):
    # What Gamma claims: over samples of N cases from a known correlation
    # matrix, sqrt(N) (rho-hat - rho) has covariance Gamma. 2000 samples: a
    # sample covariance has standard error sqrt((G_ii G_jj + G_ij^2) / 2000),
    # allowed 4 of them; the estimates' bias (~1e-3) adds only ~1e-3 here.
    R = np.array([[1.0, 0.6, 0.3], [0.6, 1.0, 0.5], [0.3, 0.5, 1.0]])
    cuts = [[-0.5, 0.6], [-1.0, 0.0, 0.9], [0.2]]
    reps, n = 2000, 500
    z = rng.standard_normal((reps, n, 3)) @ np.linalg.cholesky(R).T
    err, gamma = np.empty((reps, 3)), np.zeros((3, 3))
    for r in range(reps):
        out = polychoric_statistics(
            np.column_stack([np.searchsorted(c, z[r, :, j]) for j, c in enumerate(cuts)]),
            gamma=True)
        err[r] = np.sqrt(n) * (out["correlations"] - R[[1, 2, 2], [0, 0, 1]])
        gamma += out["gamma"] / reps
    se = np.sqrt((np.outer(np.diag(gamma), np.diag(gamma)) + gamma**2) / reps)
    assert np.all(np.abs(err.T @ err / reps - gamma) < 4 * se)


def test_gamma_is_symmetric_with_diagonal_one_over_weights(stats):
    g = stats["gamma"]
    np.testing.assert_array_equal(g, g.T)
    # The weights come from their own sums over the N cases (they do not
    # need Gamma), the rank-N update sums in another order: ~N ulp apart.
    np.testing.assert_allclose(np.diag(g), 1 / stats["weights"], rtol=1e-13)
    assert np.all(np.linalg.eigvalsh(g) > -1e-12 * np.abs(g).max())  # a covariance matrix


@pytest.mark.parametrize("perm", [[1, 0, 2, 3], [3, 2, 1, 0], [2, 0, 3, 1]])
def test_permuting_columns_permutes_the_statistics(stats, perm):
    out = polychoric_statistics(CODES[:, perm], gamma=True)
    for t, j in zip(out["thresholds"], perm):
        np.testing.assert_array_equal(t, stats["thresholds"][j])
    # column a of the permuted data is column perm[a] of the original
    where = {frozenset(pair): k for k, pair in enumerate(PAIRS)}
    idx = [where[frozenset((perm[i], perm[j]))] for i, j in PAIRS]
    # A transposed table sums the same terms in another order: rounding only.
    np.testing.assert_allclose(out["correlations"], stats["correlations"][idx], rtol=0, atol=1e-12)
    np.testing.assert_allclose(out["weights"], stats["weights"][idx], rtol=1e-10)
    np.testing.assert_allclose(out["gamma"], stats["gamma"][np.ix_(idx, idx)], rtol=1e-10,
                               atol=1e-12)


@pytest.mark.parametrize("table, sign", [((30, 0, 20, 50), 1), ((40, 25, 35, 0), -1),
                                         ((0, 50, 50, 0), -1)])
def test_a_pair_rising_towards_one_gets_the_bound_and_weight_zero(table, sign):
    # The documented rule: rho-hat at the bound, weight 0 and a zero row and
    # column in Gamma, so the pair drops out of the fit instead of a NaN.
    two = table_codes(*table)
    third = np.arange(len(two)) % 3  # a regular column beside the degenerate pair
    out = polychoric_statistics(np.column_stack([two, third]), gamma=True)
    assert out["correlations"][0] == sign * BOUND
    assert out["weights"][0] == 0 and np.all(out["gamma"][0] == 0) and np.all(out["gamma"][:, 0] == 0)
    assert np.all(np.isfinite(out["weights"])) and np.all(out["weights"][1:] > 0)
    assert np.all(np.isfinite(out["gamma"]))


def test_two_threads_give_the_same_bits(stats):
    codes = generated_codes(n=300, seed=7)
    one, two = (polychoric_statistics(codes, gamma=True, n_threads=t) for t in (1, 2))
    for key in ("correlations", "weights", "gamma"):
        np.testing.assert_array_equal(one[key], two[key])
    for a, b in zip(one["thresholds"], two["thresholds"]):
        np.testing.assert_array_equal(a, b)


def column_with(values, j=1):
    codes = np.tile(np.array([[0, 0], [1, 1], [2, 0], [0, 1]], dtype=np.int64), (2, 1))
    codes[:, j] = values
    return codes


@pytest.mark.parametrize("codes, message", [
    (column_with([0, 2, 0, 2, 0, 2, 0, 2]), r"codes\[:, 1\]"),      # skips category 1
    (column_with([1, 1, 2, 2, 1, 2, 1, 2]), r"codes\[:, 1\]"),      # skips category 0
    (column_with([0] * 8), r"codes\[:, 1\]"),                        # a single category
    (column_with([0, 1, -1, 0, 1, 0, 1, 0]), r"codes\[:, 1\]"),     # a negative code
    (column_with([3, 3, 3, 3, 3, 3, 3, 3], j=0), r"codes\[:, 0\]"),
    (column_with([0, 1, 0, 1, 0, 1, 0, 1]) + 0.5, "codes"),          # not integers
    (np.array([[0, 1]]), "codes"),                                   # N < 2
    (np.array([[0], [1], [0]]), "codes"),                            # p < 2
    (np.array([0, 1, 0, 1]), "codes"),                               # not 2-D
    (np.zeros((2, 2, 2), dtype=np.int32), "codes"),
])
def test_bad_codes_raise_value_error_naming_the_column(codes, message):
    with pytest.raises(ValueError, match=message):
        polychoric_statistics(codes)


def test_no_worker_count_below_one():
    with pytest.raises(ValueError, match="n_threads"):
        polychoric_statistics(CODES, n_threads=0)


GAMMA_CHILD = r"""
import sys
import numpy as np
import _backend
rng = np.random.default_rng(11)
z = rng.standard_normal((400, 1)) * 0.6 + rng.standard_normal((400, 24)) * 0.8
codes = np.searchsorted([-1.0, -0.2, 0.5, 1.3], z)
np.save(sys.stdout.buffer, _backend.polychoric_statistics(codes, gamma=True)["gamma"])
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc tunables")
def test_gamma_from_the_baseline_kernel_agrees():
    """Gamma's product runs on the CPU's widest kernel; with AVX2 and FMA
    masked from the C library the process takes the baseline one. The two
    sum in other orders (FMA rounds once): 1e-12 relative to the largest
    entry covers that."""
    def child(tunables):
        env = {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"}
        if tunables:
            env["GLIBC_TUNABLES"] = tunables
        out = subprocess.run([sys.executable, "-c", GAMMA_CHILD], env=env, check=True,
                             capture_output=True).stdout
        return np.load(io.BytesIO(out))

    fast, base = child(None), child("glibc.cpu.hwcaps=-AVX2,-FMA")
    np.testing.assert_allclose(base, fast, rtol=0, atol=1e-12 * np.abs(fast).max())
