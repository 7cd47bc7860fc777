"""Full-information ML over missing-data patterns: discrepancy, gradient and
expected information checked against closed forms, a NumPy transcription of
the formulas, finite differences and invariances."""
import re

import numpy as np
import pytest

from semfront import (
    ALPHA, BETA, GAMMA, KAPPA, LAMBDA_X, LAMBDA_Y, PHI, PSI, TAU_X, TAU_Y, THETA_DELTA,
    THETA_EPSILON, THETA_EPSILON_DELTA, Model, political_democracy_model,
)


def one_factor_y():
    m = Model(nx=0, ny=4, nxi=0, neta=1)
    m.fix(LAMBDA_Y, 0, 0)
    for i in (1, 2, 3):
        m.free(LAMBDA_Y, i, 0, 0.7 + 0.2 * i)
    m.free(PSI, 0, 0, 1.5)
    for i in range(4):
        m.free(THETA_EPSILON, i, i, 0.6)
        m.free(TAU_Y, i, 0, 1.0 + i)
    return m


def latent_means_xy():
    """Latent means and a y-x residual covariance, so that dmu depends on
    loadings, Gamma, Kappa and Alpha as well as on the intercepts."""
    m = Model(nx=3, ny=3, nxi=1, neta=1)
    m.fix(LAMBDA_X, 0, 0)
    m.free(LAMBDA_X, 1, 0, 0.9)
    m.free(LAMBDA_X, 2, 0, 1.1)
    m.fix(LAMBDA_Y, 0, 0)
    m.free(LAMBDA_Y, 1, 0, 1.2)
    m.free(LAMBDA_Y, 2, 0, 0.7)
    m.free(GAMMA, 0, 0, 0.6)
    m.free(PHI, 0, 0, 1.3)
    m.free(PSI, 0, 0, 0.8)
    for i in range(3):
        m.free(THETA_DELTA, i, i, 0.5)
        m.free(THETA_EPSILON, i, i, 0.4)
    m.free(THETA_EPSILON_DELTA, 1, 2, 0.1)
    m.free(KAPPA, 0, 0, 0.5)
    m.free(ALPHA, 0, 0, -0.3)
    for i in (1, 2):
        m.free(TAU_X, i, 0, 0.2 * i)
        m.free(TAU_Y, i, 0, -0.1 * i)
    return m


MODELS = {
    "political_democracy": lambda: political_democracy_model(meanstructure=True),
    "one_factor_y": one_factor_y,
    "latent_means_xy": latent_means_xy,
}


@pytest.fixture(params=sorted(MODELS))
def case(request, rng):
    """An engine, a parameter point near the start values, and its implied moments."""
    model = MODELS[request.param]()
    engine = model.ml_engine(meanstructure=True)
    theta = model.start_vector() * (1.0 + 0.05 * rng.standard_normal(model.n_free))
    Sigma, mu = engine.get_implied_moments(theta)
    return model, engine, theta, Sigma, mu


def sample_moments(rng, Sigma, mu, idx, n):
    """Mean and ML (divisor n) covariance of n normal draws over idx."""
    k = len(idx)
    if k == 0:
        return np.zeros(0), np.zeros((0, 0))
    x = rng.multivariate_normal(mu[idx], Sigma[np.ix_(idx, idx)], size=n)
    d = x - x.mean(axis=0)
    return x.mean(axis=0), d.T @ d / n


def some_patterns(rng, Sigma, mu, with_empty=True):
    """A complete pattern, shuffled partial ones, a single variable, and an
    empty one (when asked), with moments drawn from a nearby model."""
    p = len(mu)
    perm = rng.permutation(p)
    lists = [list(range(p)), list(perm[: p - 1]), list(perm[1:][::-1]), [int(perm[0])]]
    counts = [30, 12, 9, 4]
    if with_empty:
        lists.insert(2, [])
        counts.insert(2, 7)
    lists = [[int(i) for i in idx] for idx in lists]
    # Data from slightly different moments, so the gradient is not zero.
    Sigma_data = Sigma + 0.1 * np.diag(np.diag(Sigma))
    moments = [sample_moments(rng, Sigma_data, mu + 0.2, idx, 40) for idx in lists]
    return lists, counts, [m for m, _ in moments], [c for _, c in moments]


def fiml_reference(Sigma, mu, lists, counts, means, covs):
    F = N = 0.0
    for idx, n, xbar, S in zip(lists, counts, means, covs):
        if not idx:
            continue
        Sp = Sigma[np.ix_(idx, idx)]
        e = xbar - mu[idx]
        F += n * (np.linalg.slogdet(Sp)[1] + np.trace(np.linalg.solve(Sp, S)) + e @ np.linalg.solve(Sp, e))
        N += n
    return F / N


def moment_derivatives(engine, theta, n_free, p):
    """dSigma_i, dmu_i from the central-difference moment Jacobian, an
    independent route to the derivatives."""
    J = engine.jacobian_implied_moments(theta, n_free)
    rows, cols = np.triu_indices(p)  # (col, row) of the lower triangle, column by column
    dSigma = np.zeros((n_free, p, p))
    dSigma[:, cols, rows] = J[: len(rows)].T
    dSigma[:, rows, cols] = J[: len(rows)].T
    return dSigma, J[len(rows):].T


def gradient_reference(Sigma, mu, dSigma, dmu, lists, counts, means, covs):
    g = np.zeros(len(dSigma))
    N = 0.0
    for idx, n, xbar, S in zip(lists, counts, means, covs):
        if not idx:
            continue
        ix = np.ix_(idx, idx)
        Si = np.linalg.inv(Sigma[ix])
        e = xbar - mu[idx]
        W = Si @ (Sigma[ix] - S - np.outer(e, e)) @ Si
        for i in range(len(g)):
            g[i] += n * (np.trace(W @ dSigma[i][ix]) - 2 * dmu[i][idx] @ Si @ e)
        N += n
    return g / N


def information_reference(Sigma, dSigma, dmu, lists, counts):
    n_free = len(dSigma)
    H = np.zeros((n_free, n_free))
    N = float(sum(counts))
    for idx, n in zip(lists, counts):
        if not idx:
            continue
        ix = np.ix_(idx, idx)
        Si = np.linalg.inv(Sigma[ix])
        B = [Si @ dSigma[i][ix] for i in range(n_free)]
        for i in range(n_free):
            for j in range(n_free):
                H[i, j] += n / N * (np.trace(B[i] @ B[j]) + 2 * dmu[i][idx] @ Si @ dmu[j][idx])
    return H


# --- objective -------------------------------------------------------------


def test_single_complete_pattern_at_saturated_fit_is_logdet_plus_p(case):
    _, engine, theta, Sigma, mu = case
    p = len(mu)
    F = engine.objective_fiml(theta, [list(range(p))], [75], [mu], [Sigma])
    # trace term p and mean term 0 exactly in theory; rounding of one solve.
    assert F == pytest.approx(np.linalg.slogdet(Sigma)[1] + p, rel=1e-12)


def test_objective_matches_numpy_transcription(case, rng):
    _, engine, theta, Sigma, mu = case
    pats = some_patterns(rng, Sigma, mu)
    # Same formula, different factorisations: agreement to rounding.
    assert engine.objective_fiml(theta, *pats) == pytest.approx(fiml_reference(Sigma, mu, *pats), rel=1e-11)


def test_empty_pattern_is_neither_summed_nor_counted(case, rng):
    _, engine, theta, Sigma, mu = case
    lists, counts, means, covs = some_patterns(rng, Sigma, mu, with_empty=False)
    base = engine.objective_fiml(theta, lists, counts, means, covs)
    with_empty = engine.objective_fiml(
        theta, lists + [[]], counts + [500], means + [np.zeros(0)], covs + [np.zeros((0, 0))]
    )
    assert with_empty == base  # the pattern is skipped before anything is computed


def test_no_pattern_gives_nan():
    engine = one_factor_y().ml_engine(True)
    theta = one_factor_y().start_vector()
    assert np.isnan(engine.objective_fiml(theta, [], [], [], []))
    assert np.isnan(engine.objective_fiml(theta, [[]], [10], [np.zeros(0)], [np.zeros((0, 0))]))


# --- gradient --------------------------------------------------------------


def central_gradient(f, theta, h=1e-6):
    g = np.zeros(len(theta))
    for i in range(len(theta)):
        step = h * max(1.0, abs(theta[i]))
        tp, tm = theta.copy(), theta.copy()
        tp[i] += step
        tm[i] -= step
        g[i] = (f(tp) - f(tm)) / (2 * step)
    return g


def test_gradient_matches_central_differences(case, rng):
    model, engine, theta, Sigma, mu = case
    pats = some_patterns(rng, Sigma, mu)
    g = engine.gradient_fiml(theta, *pats, model.n_free)
    fd = central_gradient(lambda t: engine.objective_fiml(t, *pats), theta)
    # Central-difference error: h^2 F''' ~ 1e-12 plus eps |F| / h ~ 1e-8.
    np.testing.assert_allclose(g, fd, rtol=1e-6, atol=1e-6)


def test_gradient_matches_numpy_transcription(case, rng):
    model, engine, theta, Sigma, mu = case
    pats = some_patterns(rng, Sigma, mu)
    dSigma, dmu = moment_derivatives(engine, theta, model.n_free, len(mu))
    ref = gradient_reference(Sigma, mu, dSigma, dmu, *pats)
    # The reference derivatives come from central differences (step 1e-5):
    # relative error about 1e-9.
    np.testing.assert_allclose(engine.gradient_fiml(theta, *pats, model.n_free), ref, rtol=1e-6, atol=1e-7)


def test_gradient_vanishes_at_saturated_fit(case):
    model, engine, theta, Sigma, mu = case
    p = len(mu)
    g = engine.gradient_fiml(theta, [list(range(p))], [50], [mu], [Sigma], model.n_free)
    np.testing.assert_allclose(g, 0.0, atol=1e-10)  # rounding of a k x k inverse


def test_gradient_skips_empty_pattern_and_empty_list_is_nan(case, rng):
    model, engine, theta, Sigma, mu = case
    lists, counts, means, covs = some_patterns(rng, Sigma, mu, with_empty=False)
    base = engine.gradient_fiml(theta, lists, counts, means, covs, model.n_free)
    with_empty = engine.gradient_fiml(
        theta, [[]] + lists, [99] + counts, [np.zeros(0)] + means, [np.zeros((0, 0))] + covs, model.n_free
    )
    np.testing.assert_array_equal(with_empty, base)
    assert np.isnan(engine.gradient_fiml(theta, [], [], [], [], model.n_free)).all()
    assert np.isnan(engine.observed_hessian_fiml(theta, [], [], [], [], model.n_free)).all()
    np.testing.assert_array_equal(
        engine.observed_hessian_fiml(theta, [[]] + lists, [99] + counts, [np.zeros(0)] + means,
                                     [np.zeros((0, 0))] + covs, model.n_free),
        engine.observed_hessian_fiml(theta, lists, counts, means, covs, model.n_free))


def test_gradient_sizes_and_unmapped_parameter(case, rng):
    model, engine, theta, Sigma, mu = case
    pats = some_patterns(rng, Sigma, mu)
    assert engine.gradient_fiml(theta, *pats, 0).shape == (0,)
    g = engine.gradient_fiml(np.append(theta, 3.0), *pats, model.n_free + 1)
    assert g[-1] == 0.0
    assert engine.observed_hessian_fiml(theta, *pats, 0).shape == (0, 0)
    H = engine.observed_hessian_fiml(np.append(theta, 3.0), *pats, model.n_free + 1)
    assert not H[-1].any() and not H[:, -1].any()


# --- expected information --------------------------------------------------


def test_information_matches_numpy_transcription(case, rng):
    model, engine, theta, Sigma, mu = case
    lists, counts, _, _ = some_patterns(rng, Sigma, mu)
    dSigma, dmu = moment_derivatives(engine, theta, model.n_free, len(mu))
    H = engine.expected_hessian_fiml(theta, lists, counts, model.n_free)
    ref = information_reference(Sigma, dSigma, dmu, lists, counts)
    # Central-difference derivatives in the reference, about 1e-9 relative.
    np.testing.assert_allclose(H, ref, rtol=1e-6, atol=1e-7 * np.abs(ref).max())


def hessian_by_differences(f, theta, h=1e-4):
    n = len(theta)
    H = np.zeros((n, n))
    E = np.eye(n) * h
    f0 = f(theta)
    for i in range(n):
        H[i, i] = (f(theta + 2 * E[i]) - 2 * f0 + f(theta - 2 * E[i])) / (4 * h * h)
        for j in range(i):
            H[i, j] = H[j, i] = (
                f(theta + E[i] + E[j]) - f(theta + E[i] - E[j]) - f(theta - E[i] + E[j]) + f(theta - E[i] - E[j])
            ) / (4 * h * h)
    return H


def test_information_is_hessian_of_objective_in_expectation(case, rng):
    model, engine, theta, Sigma, mu = case
    lists, counts, _, _ = some_patterns(rng, Sigma, mu, with_empty=False)
    # In expectation the data are the implied moments at theta.
    means = [mu[idx] for idx in lists]
    covs = [Sigma[np.ix_(idx, idx)] for idx in lists]
    fd = hessian_by_differences(lambda t: engine.objective_fiml(t, lists, counts, means, covs), theta)
    H = engine.expected_hessian_fiml(theta, lists, counts, model.n_free)
    # Second differences with h = 1e-4: eps |F| / h^2 ~ 1e-6 dominates.
    np.testing.assert_allclose(H, fd, rtol=1e-4, atol=1e-5 * np.abs(H).max())


def test_information_exactly_symmetric_and_counts_empty_patterns(case, rng):
    model, engine, theta, Sigma, mu = case
    lists, counts, _, _ = some_patterns(rng, Sigma, mu, with_empty=False)
    H = engine.expected_hessian_fiml(theta, lists, counts, model.n_free)
    assert np.array_equal(H, H.T)
    # An empty pattern's cases enter N: every entry shrinks by N / (N + 25).
    H_empty = engine.expected_hessian_fiml(theta, lists + [[]], counts + [25], model.n_free)
    np.testing.assert_allclose(H_empty, H * sum(counts) / (sum(counts) + 25), rtol=1e-12, atol=1e-15)
    zero = engine.expected_hessian_fiml(theta, [], [], model.n_free)
    np.testing.assert_array_equal(zero, np.zeros((model.n_free, model.n_free)))


def test_information_sizes_and_unmapped_parameter(case, rng):
    model, engine, theta, Sigma, mu = case
    lists, counts, _, _ = some_patterns(rng, Sigma, mu)
    assert engine.expected_hessian_fiml(theta, lists, counts, 0).shape == (0, 0)
    H = engine.expected_hessian_fiml(np.append(theta, 3.0), lists, counts, model.n_free + 1)
    assert not H[-1].any() and not H[:, -1].any()


# --- observed information and casewise scores --------------------------------


def gradient_jacobian(engine, theta, pats, n_free, h=1e-5):
    """Central differences of the analytic gradient, symmetrised."""
    J = np.zeros((n_free, n_free))
    for k in range(n_free):
        tp, tm = theta.copy(), theta.copy()
        tp[k] += h
        tm[k] -= h
        J[:, k] = (engine.gradient_fiml(tp, *pats, n_free) - engine.gradient_fiml(tm, *pats, n_free)) / (2 * h)
    return (J + J.T) / 2


def test_observed_information_is_jacobian_of_gradient(case, rng):
    model, engine, theta, Sigma, mu = case
    pats = some_patterns(rng, Sigma, mu)  # complete, partial, empty and one-variable patterns
    H = engine.observed_hessian_fiml(theta, *pats, model.n_free)
    assert np.array_equal(H, H.T)
    # Differences of an exact gradient: h^2 g''' ~ 1e-10, rounding eps |g| / h ~ 1e-11.
    np.testing.assert_allclose(H, gradient_jacobian(engine, theta, pats, model.n_free),
                               rtol=1e-6, atol=1e-7 * np.abs(H).max())


@pytest.mark.parametrize("which", ["one complete pattern", "saturated patterns"])
def test_observed_information_reduces_to_closed_forms(case, rng, which):
    model, engine, theta, Sigma, mu = case
    n = model.n_free
    if which == "one complete pattern":
        # The discrepancy is then the complete-data one with its mean term.
        everything = list(range(len(mu)))
        xbar, S = sample_moments(rng, Sigma + 0.1 * np.eye(len(mu)), mu + 0.2, everything, 50)
        H = engine.observed_hessian_fiml(theta, [everything], [50], [xbar], [S], n)
        ref = engine.observed_hessian_ml(theta, S, xbar, n)
    else:
        # Sample moments equal to the implied ones: W_p and e_p vanish.
        lists, counts, _, _ = some_patterns(rng, Sigma, mu, with_empty=False)
        means = [mu[idx] for idx in lists]
        covs = [Sigma[np.ix_(idx, idx)] for idx in lists]
        H = engine.observed_hessian_fiml(theta, lists, counts, means, covs, n)
        ref = engine.expected_hessian_fiml(theta, lists, counts, n)
    # Same quantities, different summation orders.
    np.testing.assert_allclose(H, ref, rtol=1e-9, atol=1e-11 * np.abs(ref).max())


def incomplete_data(rng, Sigma, mu, n=60):
    """Draws with about a quarter of the values missing, one row missing
    everything and one variable observed alone in another row."""
    x = rng.multivariate_normal(mu + 0.1, Sigma + 0.1 * np.diag(np.diag(Sigma)), size=n)
    x[rng.random(x.shape) < 0.25] = np.nan
    x[4] = np.nan
    x[7, 1:] = np.nan
    x[7, 0] = 0.3
    return x


def grouped(x):
    """The pattern lists of the rows of x (ML moments, divisor n_p)."""
    groups = {}
    for r, row in enumerate(x):
        groups.setdefault(tuple(int(i) for i in np.flatnonzero(~np.isnan(row))), []).append(r)
    lists, counts, means, covs = [], [], [], []
    for idx, rows in groups.items():
        xs = x[np.ix_(rows, list(idx))]
        d = xs - xs.mean(axis=0) if idx else xs
        lists.append(list(idx))
        counts.append(len(rows))
        means.append(xs.mean(axis=0) if idx else np.zeros(0))
        covs.append(d.T @ d / len(rows))
    return lists, counts, means, covs


def test_casewise_scores_sum_to_gradient_and_extend_complete_data_scores(case, rng):
    model, engine, theta, Sigma, mu = case
    n = model.n_free
    x = incomplete_data(rng, Sigma, mu)
    scores = engine.casewise_scores_fiml(x, theta, n)
    assert scores.shape == (len(x), n)
    assert not scores[4].any()  # observes nothing
    pats = grouped(x)
    n_seen = sum(c for idx, c in zip(pats[0], pats[1]) if idx)
    # Sums over a few dozen cases of O(1) terms: rounding ~1e-13.
    g = engine.gradient_fiml(theta, *pats, n)
    np.testing.assert_allclose(scores.sum(axis=0), -n_seen / 2 * g, rtol=1e-9, atol=1e-10)
    complete = rng.multivariate_normal(mu, Sigma, size=20)
    np.testing.assert_allclose(engine.casewise_scores_fiml(complete, theta, n),
                               engine.casewise_scores(complete, theta, n, True), rtol=1e-12, atol=1e-12)


def test_casewise_scores_sizes_and_bad_data():
    model = one_factor_y()
    engine = model.ml_engine(True)
    theta = model.start_vector()
    n = model.n_free
    assert engine.casewise_scores_fiml(np.zeros((0, 4)), theta, n).shape == (0, n)
    assert engine.casewise_scores_fiml(np.ones((3, 4)), theta, 0).shape == (3, 0)
    x = np.ones((3, 4))
    before = engine.casewise_scores_fiml(x, theta, n)
    for value, shown in ((np.inf, "inf"), (-np.inf, "-inf")):
        bad = x.copy()
        bad[2, 1] = value
        with pytest.raises(ValueError, match=re.escape(f"data[2, 1] is {shown}; only NaN marks a missing value")):
            engine.casewise_scores_fiml(bad, theta, n)
    with pytest.raises(ValueError, match="data must have 4 columns"):
        engine.casewise_scores_fiml(np.ones((3, 5)), theta, n)
    for bad in (-1, len(theta) + 1):
        with pytest.raises(ValueError, match="n_free"):
            engine.casewise_scores_fiml(x, theta, bad)
    with pytest.raises(ValueError, match="params has length"):
        engine.casewise_scores_fiml(x, theta[:-1], n - 1)
    np.testing.assert_array_equal(engine.casewise_scores_fiml(x, theta, n), before)


# --- invariances -----------------------------------------------------------


def test_variable_order_within_a_pattern_does_not_matter(case, rng):
    model, engine, theta, Sigma, mu = case
    lists, counts, means, covs = some_patterns(rng, Sigma, mu)
    shuffled = ([], [], [], [])
    for idx, n, xbar, S in zip(lists, counts, means, covs):
        o = rng.permutation(len(idx))
        for out, item in zip(shuffled, ([idx[a] for a in o], n, xbar[o], S[np.ix_(o, o)])):
            out.append(item)
    # Reordering changes only the rounding of the factorisations.
    assert engine.objective_fiml(theta, *shuffled) == pytest.approx(
        engine.objective_fiml(theta, lists, counts, means, covs), rel=1e-12
    )
    np.testing.assert_allclose(
        engine.gradient_fiml(theta, *shuffled, model.n_free),
        engine.gradient_fiml(theta, lists, counts, means, covs, model.n_free),
        rtol=1e-9, atol=1e-11,
    )
    H = engine.expected_hessian_fiml(theta, lists, counts, model.n_free)
    np.testing.assert_allclose(
        engine.expected_hessian_fiml(theta, shuffled[0], counts, model.n_free),
        H, rtol=1e-9, atol=1e-12 * np.abs(H).max(),
    )
    H = engine.observed_hessian_fiml(theta, lists, counts, means, covs, model.n_free)
    np.testing.assert_allclose(
        engine.observed_hessian_fiml(theta, *shuffled, model.n_free),
        H, rtol=1e-9, atol=1e-12 * np.abs(H).max(),
    )


def test_doubling_every_count_changes_nothing(case, rng):
    model, engine, theta, Sigma, mu = case
    lists, counts, means, covs = some_patterns(rng, Sigma, mu)
    twice = [2 * n for n in counts]
    # The counts are weights: scaling by 2 is exact in floating point, so the
    # results are bit-identical.
    assert engine.objective_fiml(theta, lists, twice, means, covs) == engine.objective_fiml(
        theta, lists, counts, means, covs
    )
    np.testing.assert_array_equal(
        engine.gradient_fiml(theta, lists, twice, means, covs, model.n_free),
        engine.gradient_fiml(theta, lists, counts, means, covs, model.n_free),
    )
    np.testing.assert_array_equal(
        engine.expected_hessian_fiml(theta, lists, twice, model.n_free),
        engine.expected_hessian_fiml(theta, lists, counts, model.n_free),
    )
    np.testing.assert_array_equal(
        engine.observed_hessian_fiml(theta, lists, twice, means, covs, model.n_free),
        engine.observed_hessian_fiml(theta, lists, counts, means, covs, model.n_free),
    )


# --- sentinels -------------------------------------------------------------


def democracy_point(**changes):
    model = political_democracy_model(meanstructure=True)
    theta = model.start_vector()
    for name, value in changes.items():
        theta[model.names.index(name)] = value
    return model, model.ml_engine(True), theta


X2 = 9  # y1..y8, then x1, x2, x3


@pytest.mark.parametrize("singular_first", [False, True])
def test_singular_pattern_covariance_gives_sentinels(rng, singular_first):
    # x2 without loading or residual variance: its row of Sigma is zero, so
    # only the patterns that observe x2 are singular.
    model, engine, theta = democracy_point(**{"ind60 =~ x2": 0.0, "x2 ~~ x2": 0.0})
    Sigma, mu = engine.get_implied_moments(theta)
    others = [i for i in range(11) if i != X2]
    lists = [others, others[:5], [X2, 0, 1]]
    if singular_first:
        lists = lists[::-1]
    counts = [20, 10, 5]
    means = [mu[idx] + 0.1 for idx in lists]
    covs = [Sigma[np.ix_(idx, idx)] + np.eye(len(idx)) for idx in lists]
    n = model.n_free
    assert engine.objective_fiml(theta, lists, counts, means, covs) == 1e15
    np.testing.assert_array_equal(engine.gradient_fiml(theta, lists, counts, means, covs, n), np.full(n, 1e10))
    np.testing.assert_array_equal(engine.expected_hessian_fiml(theta, lists, counts, n), np.full((n, n), 1e10))
    np.testing.assert_array_equal(engine.observed_hessian_fiml(theta, lists, counts, means, covs, n),
                                  np.full((n, n), 1e10))
    x = rng.multivariate_normal(mu, Sigma + np.eye(11), size=6)
    x[:, X2] = np.nan
    x[5 if singular_first else 0, X2] = 1.0  # one case observes x2
    np.testing.assert_array_equal(engine.casewise_scores_fiml(x, theta, n), np.full((6, n), 1e10))
    x[:, X2] = np.nan
    assert (np.abs(engine.casewise_scores_fiml(x, theta, n)) < 1e10).all()
    # Without the pattern observing x2 everything is finite.
    keep = [i for i, idx in enumerate(lists) if X2 not in idx]
    sub = [[a[i] for i in keep] for a in (lists, counts, means, covs)]
    assert np.isfinite(engine.objective_fiml(theta, *sub)) and engine.objective_fiml(theta, *sub) < 1e15
    assert np.isfinite(engine.gradient_fiml(theta, *sub, n)).all()
    assert np.isfinite(engine.expected_hessian_fiml(theta, sub[0], sub[1], n)).all()
    assert np.isfinite(engine.observed_hessian_fiml(theta, *sub, n)).all()


def test_indefinite_but_invertible_pattern():
    # A negative residual variance larger than the explained variance: the
    # Cholesky test of the objective fails, the LU rank test of the gradient
    # does not.
    model, engine, theta = democracy_point(**{"x2 ~~ x2": -50.0})
    Sigma, mu = engine.get_implied_moments(theta)
    lists = [list(range(11))]
    assert engine.objective_fiml(theta, lists, [10], [mu], [Sigma]) == 1e15
    g = engine.gradient_fiml(theta, lists, [10], [mu], [Sigma], model.n_free)
    assert np.isfinite(g).all() and (np.abs(g) < 1e10).all()


def test_singular_structural_matrix_gives_sentinels():
    m = Model(nx=0, ny=2, nxi=0, neta=1)
    m.fix(LAMBDA_Y, 0, 0)
    m.free(LAMBDA_Y, 1, 0, 1.0)
    m.free(BETA, 0, 0, 1.0)  # I - Beta = 0
    m.free(PSI, 0, 0, 1.0)
    m.free(THETA_EPSILON, 0, 0, 1.0)
    m.free(THETA_EPSILON, 1, 1, 1.0)
    engine = m.ml_engine(True)
    theta = m.start_vector()
    lists, counts, means, covs = [[0, 1]], [10], [np.zeros(2)], [np.eye(2)]
    # The objective too: the LU "inverse" of the singular I - Beta is finite
    # and would give a plausible value.
    assert engine.objective_fiml(theta, lists, counts, means, covs) == 1e15
    np.testing.assert_array_equal(engine.gradient_fiml(theta, lists, counts, means, covs, 5), np.full(5, 1e10))
    np.testing.assert_array_equal(engine.expected_hessian_fiml(theta, lists, counts, 5), np.full((5, 5), 1e10))
    np.testing.assert_array_equal(engine.observed_hessian_fiml(theta, lists, counts, means, covs, 5),
                                  np.full((5, 5), 1e10))
    np.testing.assert_array_equal(engine.casewise_scores_fiml(np.ones((3, 2)), theta, 5), np.full((3, 5), 1e10))


def test_repeated_index_longer_than_model_is_refused_not_out_of_bounds():
    # A pattern longer than the model can only repeat an index; it is refused
    # before any buffer sized by it is touched.
    model = one_factor_y()
    engine = model.ml_engine(True)
    theta = model.start_vector()
    k = model.p + 3
    lists, counts, means, covs = [[0] * k], [10], [np.zeros(k)], [np.eye(k)]
    n = model.n_free
    for call in (lambda: engine.objective_fiml(theta, lists, counts, means, covs),
                 lambda: engine.gradient_fiml(theta, lists, counts, means, covs, n),
                 lambda: engine.expected_hessian_fiml(theta, lists, counts, n),
                 lambda: engine.observed_hessian_fiml(theta, lists, counts, means, covs, n)):
        with pytest.raises(ValueError, match=r"obs_indices\[0\] lists variable 0 twice"):
            call()


# --- bad input -------------------------------------------------------------


@pytest.fixture
def valid(rng):
    model = one_factor_y()
    engine = model.ml_engine(True)
    theta = model.start_vector()
    Sigma, mu = engine.get_implied_moments(theta)
    lists, counts, means, covs = some_patterns(rng, Sigma, mu)
    return engine, theta, lists, counts, means, covs, model.n_free


def every_result(engine, theta, lists, counts, means, covs, n_free):
    return (
        engine.objective_fiml(theta, lists, counts, means, covs),
        engine.gradient_fiml(theta, lists, counts, means, covs, n_free),
        engine.expected_hessian_fiml(theta, lists, counts, n_free),
        engine.observed_hessian_fiml(theta, lists, counts, means, covs, n_free),
    )


def shorten(key, by):
    return lambda a: a.__setitem__(key, a[key][:-by])


def replace(key, q, value):
    return lambda a: a[key].__setitem__(q, value(a[key][q]))


MOMENTS = ("objective", "gradient", "observed")
EVERY = MOMENTS + ("information",)

# The valid patterns observe 4, 3, 0, 3 and 1 of the 4 variables.
BAD_INPUTS = {  # change to the valid arguments, message, methods that read the argument
    "short n_obs_list": (shorten("counts", 1), "n_obs_list has 4 entries, fewer than the 5 patterns", EVERY),
    "short means": (shorten("means", 1), "means has 4 entries", MOMENTS),
    "short covs": (shorten("covs", 2), "covs has 3 entries", MOMENTS),
    "negative index": (replace("lists", 1, lambda idx: [-1] + idx[1:]), "obs_indices[1][0] is -1, outside", EVERY),
    "index p": (
        replace("lists", 3, lambda idx: idx[:1] + [4] + idx[2:]),
        "obs_indices[3][1] is 4, outside the observed variables 0 .. 3",
        EVERY,
    ),
    "means length": (replace("means", 1, lambda m: m[:-1]), "means[1] must have length 3", MOMENTS),
    "covs rows": (replace("covs", 0, lambda c: c[:-1]), "covs[0] must be 4 x 4", MOMENTS),
    "covs wrong square": (replace("covs", 1, lambda c: np.eye(4)), "covs[1] must be 3 x 3", MOMENTS),
    "empty pattern with a mean": (replace("means", 2, lambda m: np.zeros(1)), "means[2] must have length 0", MOMENTS),
    # A repeated index reads as a superb fit (about -36 for a quarter of variances).
    "repeated index": (replace("lists", 1, lambda idx: idx[:2] + idx[:1]), "obs_indices[1] lists variable", EVERY),
    "negative count": (replace("counts", 3, lambda n: -n), "n_obs_list[3] is -", EVERY),
    "inf mean": (replace("means", 0, lambda m: np.r_[m[:-1], np.inf]), "means[0] holds a non-finite", MOMENTS),
    "nan cov": (replace("covs", 4, lambda c: np.full_like(c, np.nan)), "covs[4] holds a non-finite", MOMENTS),
}


@pytest.mark.parametrize("bad", sorted(BAD_INPUTS))
def test_inconsistent_patterns_raise_value_error(valid, bad):
    change, message, methods = BAD_INPUTS[bad]
    engine, theta, lists, counts, means, covs, n_free = valid
    before = every_result(*valid)
    a = dict(lists=[list(i) for i in lists], counts=list(counts), means=list(means), covs=list(covs))
    change(a)
    calls = {
        "objective": lambda: engine.objective_fiml(theta, a["lists"], a["counts"], a["means"], a["covs"]),
        "gradient": lambda: engine.gradient_fiml(theta, a["lists"], a["counts"], a["means"], a["covs"], n_free),
        "information": lambda: engine.expected_hessian_fiml(theta, a["lists"], a["counts"], n_free),
        "observed": lambda: engine.observed_hessian_fiml(theta, a["lists"], a["counts"], a["means"], a["covs"],
                                                         n_free),
    }
    for method in methods:
        with pytest.raises(ValueError, match=re.escape(message)):
            calls[method]()
    after = every_result(*valid)  # the engine is untouched and still usable
    assert after[0] == before[0]
    np.testing.assert_array_equal(after[1], before[1])
    np.testing.assert_array_equal(after[2], before[2])
    np.testing.assert_array_equal(after[3], before[3])


def test_bad_n_free_and_short_params_raise_value_error(valid):
    engine, theta, lists, counts, means, covs, n_free = valid
    for bad in (-1, len(theta) + 1):
        with pytest.raises(ValueError, match="n_free"):
            engine.gradient_fiml(theta, lists, counts, means, covs, bad)
        with pytest.raises(ValueError, match="n_free"):
            engine.expected_hessian_fiml(theta, lists, counts, bad)
        with pytest.raises(ValueError, match="n_free"):
            engine.observed_hessian_fiml(theta, lists, counts, means, covs, bad)
    short = theta[:-1]
    with pytest.raises(ValueError, match="params has length"):
        engine.objective_fiml(short, lists, counts, means, covs)
    with pytest.raises(ValueError, match="params has length"):
        engine.gradient_fiml(short, lists, counts, means, covs, len(short))
    with pytest.raises(ValueError, match="params has length"):
        engine.expected_hessian_fiml(short, lists, counts, len(short))
    with pytest.raises(ValueError, match="params has length"):
        engine.observed_hessian_fiml(short, lists, counts, means, covs, len(short))


def test_longer_lists_are_accepted_and_extra_entries_ignored(valid):
    engine, theta, lists, counts, means, covs, n_free = valid
    base = every_result(*valid)
    extra = every_result(engine, theta, lists, counts + [5], means + [np.zeros(9)], covs + [np.eye(2)], n_free)
    assert extra[0] == base[0]
    np.testing.assert_array_equal(extra[1], base[1])
    np.testing.assert_array_equal(extra[2], base[2])
    np.testing.assert_array_equal(extra[3], base[3])


def test_index_into_model_without_observed_variables():
    engine = Model(nx=0, ny=0, nxi=0, neta=0).ml_engine(True)
    with pytest.raises(ValueError, match="no observed variables"):
        engine.objective_fiml(np.zeros(0), [[0]], [1], [np.zeros(1)], [np.eye(1)])
