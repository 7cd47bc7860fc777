"""Every analytic derivative method against the derivative formulas written
out densely in NumPy, on one model that uses every matrix: a Beta chain,
Gamma, Kappa, Alpha, ThetaEpsilonDelta, equality constraints across
matrices, a covariance in both triangles or in one only, a held parameter,
and cells written more than once (the last mapping decides).

The oracle's dSigma_k and dmu_k come from the complex step on a NumPy
evaluation of the model, exact to rounding; second derivatives are central
differences of those."""
import numpy as np
import pytest

import _backend
from ml_model_shapes import central_difference
from semfront import (ALPHA, BETA, GAMMA, KAPPA, LAMBDA_X, LAMBDA_Y, PHI, PSI, TAU_X, TAU_Y,
                      THETA_DELTA, THETA_EPSILON, THETA_EPSILON_DELTA, Model)

NX, NY, NXI, NETA = 3, 5, 2, 3
P = NX + NY
SHAPES = {LAMBDA_X: (NX, NXI), LAMBDA_Y: (NY, NETA), BETA: (NETA, NETA), GAMMA: (NETA, NXI),
          PHI: (NXI, NXI), PSI: (NETA, NETA), THETA_DELTA: (NX, NX),
          THETA_EPSILON: (NY, NY), THETA_EPSILON_DELTA: (NY, NX),
          TAU_X: (NX, 1), TAU_Y: (NY, 1), KAPPA: (NXI, 1), ALPHA: (NETA, 1)}
MEAN_IDS = (TAU_X, TAU_Y, KAPPA, ALPHA)


def kitchen_sink(phi_one_triangle: bool):
    """Mappings and parameter values. Parameter 0 is the loading shared by
    LambdaY and LambdaX; 1 sits on a cell that a fixed value overwrites and
    so has no derivative; the last one is held (index n_free)."""
    maps, vals = [], []

    def new(v):
        vals.append(v)
        return len(vals) - 1

    def free(mid, r, c, k):
        maps.append((mid, r, c, True, k, 0.0))

    def fix(mid, r, c, v):
        maps.append((mid, r, c, False, 0, v))

    shared = new(0.9)
    overwritten = new(0.4)
    for i, j in ((0, 0), (2, 1), (4, 2)):
        fix(LAMBDA_Y, i, j, 1.0)
    free(LAMBDA_Y, 4, 2, overwritten)   # written after the fixed 1: kept
    fix(LAMBDA_Y, 4, 2, 1.0)            # ... and overwritten again
    free(LAMBDA_Y, 1, 0, new(1.1))
    free(LAMBDA_Y, 3, 1, shared)
    free(LAMBDA_Y, 1, 1, new(0.3))      # cross-loading
    fix(LAMBDA_X, 0, 0, 1.0)
    free(LAMBDA_X, 1, 0, shared)
    fix(LAMBDA_X, 2, 1, 1.0)
    free(BETA, 1, 0, new(0.5))
    free(BETA, 2, 1, new(-0.4))
    g = new(0.6)
    free(GAMMA, 0, 0, g)
    free(GAMMA, 2, 1, g)                # replaced by the next mapping
    free(GAMMA, 2, 1, new(0.35))
    free(GAMMA, 0, 1, new(-0.2))
    free(PHI, 0, 0, new(1.2))
    free(PHI, 1, 1, new(0.9))
    phi = new(0.25)
    free(PHI, 1, 0, phi)
    if not phi_one_triangle:
        free(PHI, 0, 1, phi)
    for i in range(NETA):
        free(PSI, i, i, new(0.5 + 0.1 * i))
    psi = new(0.1)
    free(PSI, 2, 0, psi)
    free(PSI, 0, 2, psi)
    theta = new(0.45)
    for i in range(NY):
        k = theta if i == 4 else new(0.3 + 0.05 * i)
        free(THETA_EPSILON, i, i, k)
    free(THETA_EPSILON, 0, 0, 2)        # the same cell and parameter again
    free(THETA_DELTA, 0, 0, theta)      # equal to ThetaEpsilon(4, 4)
    free(THETA_DELTA, 2, 2, new(0.5))
    free(THETA_EPSILON_DELTA, 1, 2, new(0.08))
    for i in range(NY):
        free(TAU_Y, i, 0, new(0.1 * i))
    free(TAU_X, 1, 0, new(-0.2))
    free(TAU_X, 2, 0, new(0.15))
    free(KAPPA, 0, 0, new(0.3))
    free(KAPPA, 1, 0, new(-0.1))
    free(ALPHA, 1, 0, new(0.2))
    held = new(0.55)
    free(THETA_DELTA, 1, 1, held)
    return maps, np.array(vals), held


def moments(maps, theta, with_means=True):
    """Sigma and mu by the model formulas (complex theta welcome)."""
    dt = np.result_type(theta, float)
    M = {mid: np.zeros(s, dtype=dt) for mid, s in SHAPES.items()}
    for mid, r, c, is_free, k, v in maps:
        if mid in MEAN_IDS and not with_means:
            continue
        M[mid][r, 0 if mid in MEAN_IDS else c] = theta[k] if is_free else v
    A = np.linalg.inv(np.eye(NETA) - M[BETA])
    C = M[GAMMA] @ M[PHI] @ M[GAMMA].T + M[PSI]
    LY, LX = M[LAMBDA_Y], M[LAMBDA_X]
    yy = LY @ A @ C @ A.T @ LY.T + M[THETA_EPSILON]
    yx = LY @ A @ M[GAMMA] @ M[PHI] @ LX.T + M[THETA_EPSILON_DELTA]
    xx = LX @ M[PHI] @ LX.T + M[THETA_DELTA]
    Sigma = np.block([[yy, yx], [yx.T, xx]])
    nu = M[ALPHA] + M[GAMMA] @ M[KAPPA]
    mu = np.concatenate([M[TAU_Y] + LY @ A @ nu, M[TAU_X] + LX @ M[KAPPA]]).ravel()
    return Sigma, mu


def first_derivatives(maps, theta, n_free, with_means=True):
    """dSigma[k], dmu[k] for k < n_free by the complex step."""
    h = 1e-30
    dS, dm = [], []
    for k in range(n_free):
        t = theta.astype(complex)
        t[k] += 1j * h
        S, m = moments(maps, t, with_means)
        dS.append(S.imag / h)
        dm.append(m.imag / h)
    return np.array(dS), np.array(dm)


def engine_for(maps, meanstructure):
    e = _backend.MlEngine(NX, NY, NXI, NETA, meanstructure)
    for m in maps:
        e.add_mapping(*m)
    return e


def sample(maps, theta, n, seed):
    rng = np.random.default_rng(seed)
    S, mu = moments(maps, theta * (1 + 0.1 * rng.standard_normal(theta.size)))
    S = (S + S.T) / 2
    data = rng.multivariate_normal(mu, S, size=n)
    return data, np.cov(data, rowvar=False, bias=True), data.mean(axis=0)


def dense_gradient(maps, theta, S, xbar, n_free):
    with_means = xbar is not None
    Sigma, mu = moments(maps, theta, with_means)
    X = np.linalg.inv(Sigma)
    Q = S.copy()
    d = np.zeros(P) if xbar is None else xbar - mu
    Q = Q + np.outer(d, d)
    W = X - X @ Q @ X
    dS, dm = first_derivatives(maps, theta, n_free, with_means)
    return np.einsum("ij,kji->k", W, dS) - 2 * dm @ (X @ d)


VARIANTS = [(one, means, nf) for one in (False, True) for means in (False, True)
            for nf in ("all", "some")]
IDS = [f"{'one' if o else 'both'}-triangle{'-means' if m else ''}-{nf}" for o, m, nf in VARIANTS]


def setup(one_triangle, means, nf):
    maps, theta, held = kitchen_sink(one_triangle)
    n_free = held if nf == "all" else held - 9
    data, S, xbar = sample(maps, theta, 300, seed=3)
    return maps, theta, n_free, data, S, (xbar if means else None)


@pytest.mark.parametrize("one_triangle,means,nf", VARIANTS, ids=IDS)
def test_gradient_and_information_match_dense_formulas(one_triangle, means, nf):
    maps, theta, n_free, data, S, xbar = setup(one_triangle, means, nf)
    e = engine_for(maps, means)
    Sigma, mu = moments(maps, theta, means)
    X = np.linalg.inv(Sigma)
    dS, dm = first_derivatives(maps, theta, n_free, means)
    assert not dS[1].any() and not dm[1].any()  # the overwritten parameter

    # Condition numbers are O(10): rounding of a few products of Sigma^-1.
    g = e.gradient_ml(theta, S, xbar, n_free)
    np.testing.assert_allclose(g, dense_gradient(maps, theta, S, xbar, n_free),
                               rtol=1e-10, atol=1e-12)

    dSm, dmm = first_derivatives(maps, theta, n_free, True)
    Xm = np.linalg.inv(moments(maps, theta, True)[0])
    XdS = np.einsum("ij,kjl->kil", Xm, dSm)
    expected = np.einsum("kij,lji->kl", XdS, XdS) + 2 * dmm @ Xm @ dmm.T
    # With a one-sided Phi, Sigma^-1 is not symmetric: the upper triangle is
    # the one defined.
    expected = np.triu(expected) + np.triu(expected, 1).T
    np.testing.assert_allclose(e.expected_hessian_ml(theta, n_free), expected,
                               rtol=1e-10, atol=1e-12)

    # The observed information is the Jacobian of the dense gradient; the
    # central difference of an exact gradient is good to h^2 ~ 1e-10.
    H = e.observed_hessian_ml(theta, S, xbar, n_free)
    np.testing.assert_array_equal(H, H.T)
    if not (one_triangle and means):  # then the mean terms are not a Jacobian
        fd = central_difference(lambda t: dense_gradient(maps, t, S, xbar, n_free), theta,
                                n_free, 1e-5)
        np.testing.assert_allclose(H, (fd + fd.T) / 2, rtol=1e-7, atol=1e-8)

    # Scores use the mean part of the model whether or not it is active.
    dSa, dma = first_derivatives(maps, theta, n_free, True)
    Xa = np.linalg.inv(moments(maps, theta, True)[0])
    Da = data - (moments(maps, theta, True)[1] if means else data.mean(axis=0))
    scores = (-0.5 * np.einsum("ij,kji->k", Xa, dSa)[None, :]
              + 0.5 * np.einsum("ri,ij,kjl,lm,rm->rk", Da, Xa, dSa, Xa, Da, optimize=True)
              + Da @ Xa @ dma.T)
    np.testing.assert_allclose(e.casewise_scores(data, theta, n_free, means), scores,
                               rtol=1e-9, atol=1e-10)


PATTERNS = [list(range(P)), [0, 2, 5, 7], [1], [3, 4, 6], [0, 1, 2, 3, 4], [5, 6, 7], []]


@pytest.mark.parametrize("one_triangle", [False, True], ids=["both-triangles", "one-triangle"])
def test_fiml_gradient_and_information_match_dense_formulas(one_triangle):
    maps, theta, held = kitchen_sink(one_triangle)
    n_free = held
    rng = np.random.default_rng(11)
    counts = [40, 25, 3, 30, 12, 20, 5]
    means, covs = [], []
    full, _, _ = sample(maps, theta, 400, seed=5)
    for idx, n in zip(PATTERNS, counts):
        rows = full[rng.choice(len(full), n, replace=False)][:, idx]
        means.append(rows.mean(axis=0) if idx else np.zeros(0))
        covs.append(np.cov(rows, rowvar=False, bias=True).reshape(len(idx), len(idx))
                    if idx else np.zeros((0, 0)))
    e = engine_for(maps, True)
    Sigma, mu = moments(maps, theta)
    dS, dm = first_derivatives(maps, theta, n_free)

    g = np.zeros(n_free)
    H = np.zeros((n_free, n_free))
    for idx, n, xbar, S in zip(PATTERNS, counts, means, covs):
        if not idx:
            continue
        ix = np.ix_(idx, idx)
        X = np.linalg.inv(Sigma[ix])
        d = xbar - mu[idx]
        W = X - X @ (S + np.outer(d, d)) @ X
        dSp, dmp = dS[:, idx][:, :, idx], dm[:, idx]
        g += n * (np.einsum("ij,kji->k", W, dSp) - 2 * dmp @ (X @ d))
        XdS = np.einsum("ij,kjl->kil", X, dSp)
        H += n * (np.einsum("kij,lji->kl", XdS, XdS) + 2 * dmp @ X @ dmp.T)
    # The discrepancy averages over observed cases, the information over all.
    N = sum(counts)
    N_seen = sum(n for idx, n in zip(PATTERNS, counts) if idx)
    lists = [list(map(int, i)) for i in PATTERNS]
    np.testing.assert_allclose(e.gradient_fiml(theta, lists, counts, means, covs, n_free),
                               g / N_seen, rtol=1e-10, atol=1e-12)
    Hb = e.expected_hessian_fiml(theta, lists, counts, n_free)
    np.testing.assert_array_equal(Hb, Hb.T)
    H = np.triu(H) + np.triu(H, 1).T  # the defined triangle, as above
    np.testing.assert_allclose(Hb, H / N, rtol=1e-10, atol=1e-12)

    # The observed information is the Jacobian of that gradient (symmetrised:
    # with Phi in one triangle the mean terms are not symmetric); central
    # differences of an exact gradient are good to h^2 ~ 1e-10.
    Ho = e.observed_hessian_fiml(theta, lists, counts, means, covs, n_free)
    np.testing.assert_array_equal(Ho, Ho.T)
    fd = central_difference(lambda t: e.gradient_fiml(t, lists, counts, means, covs, n_free), theta,
                            n_free, 1e-5)
    np.testing.assert_allclose(Ho, (fd + fd.T) / 2, rtol=1e-7, atol=1e-8)

    # Scores of incomplete cases, each over its observed variables.
    x = full[:40].copy()
    x[rng.random(x.shape) < 0.3] = np.nan
    x[0, 1:] = np.nan
    x[1] = np.nan
    ref = np.zeros((len(x), n_free))
    for r, row in enumerate(x):
        idx = np.flatnonzero(~np.isnan(row))
        if not idx.size:
            continue
        X = np.linalg.inv(Sigma[np.ix_(idx, idx)])
        d = row[idx] - mu[idx]
        dSp, dmp = dS[:, idx][:, :, idx], dm[:, idx]
        ref[r] = (-0.5 * np.einsum("ij,kji->k", X, dSp) + 0.5 * np.einsum("i,ij,kjl,lm,m->k", d, X, dSp, X, d)
                  + dmp @ (X.T @ d))
    np.testing.assert_allclose(e.casewise_scores_fiml(x, theta, n_free), ref, rtol=1e-9, atol=1e-10)


def test_parameter_registered_twice_has_its_true_derivative():
    """A front end that mirrors symmetric cells registers a variance cell
    twice; the gradient must stay that of the objective."""
    m = Model(nx=4, ny=0, nxi=1, neta=0)
    m.fix(LAMBDA_X, 0, 0)
    for i in (1, 2, 3):
        m.free(LAMBDA_X, i, 0, 0.8)
    k = m.free(PHI, 0, 0, 1.1)
    m.place(PHI, 0, 0, k)
    for i in range(4):
        m.free(THETA_DELTA, i, i, 0.5)
    e = m.ml_engine()
    theta = m.start_vector()
    rng = np.random.default_rng(2)
    S = np.cov(rng.standard_normal((200, 4)) @ np.diag([1, 1.2, 0.9, 1.1]) + 0.5, rowvar=False)
    fd = central_difference(lambda t: e.objective_ml(t, S), theta, m.n_free, 1e-6)
    # O(1) objective: rounding/h ~ 1e-10.
    np.testing.assert_allclose(e.gradient_ml(theta, S, None, m.n_free), fd, atol=1e-7)


def full_pivot_rank_test(A):
    """Complete-pivoting LU as the rank test counts it: every pivot above
    n 2^-52 times the first (largest) one."""
    from scipy.linalg import lapack
    lu, _, _, info = lapack.dgetc2(np.array(A, order="F"))
    u = np.abs(np.diag(lu))
    return bool(np.all(u > A.shape[0] * 2.0**-52 * u[0]))


@pytest.mark.parametrize("smallest", [0.0, 1e-16, 1e-14, 1e-13, 1e-12, 1e-9, 1e-6, -0.3])
def test_sentinel_follows_the_full_pivoting_rank_test(smallest):
    """Sigma = Phi with eigenvalues 1, 0.5 and `smallest`: below the rank
    threshold (6.7e-16 here), between it and the Cholesky proof's margin,
    beyond the margin, and indefinite. The derivatives give the sentinel
    exactly when full-pivoting LU would call Sigma singular."""
    rng = np.random.default_rng(int(abs(smallest) * 1e18) % 1000 + 1)
    Q, _ = np.linalg.qr(rng.standard_normal((3, 3)))
    Phi = Q @ np.diag([1.0, 0.5, smallest]) @ Q.T
    Phi = (Phi + Phi.T) / 2
    m = Model(nx=3, ny=0, nxi=3, neta=0)
    for i in range(3):
        m.fix(LAMBDA_X, i, i)
        for j in range(i + 1):
            m.free(PHI, i, j, Phi[i, j])
    e = m.ml_engine()
    theta = m.start_vector()
    Sigma = e.get_implied_moments(theta)[0]
    np.testing.assert_array_equal(Sigma, Phi)
    invertible = full_pivot_rank_test(Sigma)
    assert invertible == (smallest != 0.0 and abs(smallest) > 1e-15)
    S = np.eye(3)
    g = e.gradient_ml(theta, S, None, m.n_free)
    H = e.expected_hessian_ml(theta, m.n_free)
    assert (np.all(g == SENTINEL_FILL) and np.all(H == SENTINEL_FILL)) == (not invertible)
    if invertible and abs(smallest) >= 1e-9:
        maps = m.mappings
        X = np.linalg.inv(Sigma)
        W = X - X @ S @ X
        dS = []
        for k in range(m.n_free):
            d = np.zeros((3, 3))
            for mid, r, c, _, kk, _ in maps:
                if mid == PHI and kk == k:
                    d[r, c] = 1.0
            dS.append(d)
        # Rounding scales with the condition number (up to 1e9 here).
        np.testing.assert_allclose(g, [np.sum(W.T * d) for d in dS],
                                   rtol=1e-6 * max(1.0, 1e-9 / abs(smallest)))


SENTINEL_FILL = 1e10
