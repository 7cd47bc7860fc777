"""Model shapes shared by the ML tests, each at a point that is not a
perfect fit, with sample moments drawn from a nearby model.

Every builder takes `means`: with it the model also places free
parameters in the mean vectors.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from semfront import (ALPHA, BETA, GAMMA, KAPPA, LAMBDA_X, LAMBDA_Y, PHI, PSI, TAU_X, TAU_Y,
                      THETA_DELTA, THETA_EPSILON, THETA_EPSILON_DELTA, Model)


def cfa_xy(means: bool) -> Model:
    """One factor on each side, eta regressed on xi."""
    m = Model(nx=3, ny=3, nxi=1, neta=1)
    m.fix(LAMBDA_X, 0, 0)
    m.fix(LAMBDA_Y, 0, 0)
    for i in (1, 2):
        m.free(LAMBDA_X, i, 0, 0.8)
        m.free(LAMBDA_Y, i, 0, 1.1)
    m.free(GAMMA, 0, 0, 0.6)
    m.free(PHI, 0, 0, 1.2)
    m.free(PSI, 0, 0, 0.7)
    for i in range(3):
        m.free(THETA_DELTA, i, i, 0.5)
        m.free(THETA_EPSILON, i, i, 0.4)
    if means:
        for i in range(3):
            m.free(TAU_X, i, 0, 0.3 * i)
            m.free(TAU_Y, i, 0, -0.2 * i)
    return m


def structural(means: bool) -> Model:
    """Reciprocal Beta, Gamma, a residual covariance placed in both
    triangles, a y-x residual covariance and a latent residual covariance."""
    m = Model(nx=3, ny=4, nxi=1, neta=2)
    m.fix(LAMBDA_X, 0, 0)
    m.free(LAMBDA_X, 1, 0, 0.9)
    m.free(LAMBDA_X, 2, 0, 1.2)
    m.fix(LAMBDA_Y, 0, 0)
    m.free(LAMBDA_Y, 1, 0, 0.8)
    m.fix(LAMBDA_Y, 2, 1)
    m.free(LAMBDA_Y, 3, 1, 1.3)
    m.free(BETA, 1, 0, 0.5)
    m.free(BETA, 0, 1, 0.2)
    m.free(GAMMA, 0, 0, 0.7)
    m.free(GAMMA, 1, 0, -0.4)
    m.free(PHI, 0, 0, 1.1)
    m.free(PSI, 0, 0, 0.6)
    m.free(PSI, 1, 1, 0.5)
    m.free(PSI, 1, 0, 0.1)
    for i in range(3):
        m.free(THETA_DELTA, i, i, 0.4)
    for i in range(4):
        m.free(THETA_EPSILON, i, i, 0.5)
    m.free(THETA_EPSILON, 2, 0, 0.15)
    m.free(THETA_EPSILON_DELTA, 1, 2, 0.1)
    if means:
        for i in range(4):
            m.free(TAU_Y, i, 0, 0.1 * i)
        for i in range(3):
            m.free(TAU_X, i, 0, -0.1 * i)
        m.free(KAPPA, 0, 0, 0.5)
        m.free(ALPHA, 1, 0, -0.3)
    return m


def equality(means: bool) -> Model:
    """x-only two-factor model; one loading shared by both factors, one
    residual variance shared by all six indicators."""
    m = Model(nx=6, ny=0, nxi=2, neta=0)
    m.fix(LAMBDA_X, 0, 0)
    m.fix(LAMBDA_X, 3, 1)
    shared = m.free(LAMBDA_X, 1, 0, 0.9)
    m.place(LAMBDA_X, 4, 1, shared)
    m.free(LAMBDA_X, 2, 0, 1.1)
    m.free(LAMBDA_X, 5, 1, 0.7)
    m.free(PHI, 0, 0, 1.0)
    m.free(PHI, 1, 1, 0.8)
    m.free(PHI, 1, 0, 0.3)
    theta = m.free(THETA_DELTA, 0, 0, 0.5)
    for i in range(1, 6):
        m.place(THETA_DELTA, i, i, theta)
    if means:
        m.free(KAPPA, 0, 0, 0.2)
        m.free(KAPPA, 1, 0, -0.1)
        for i in (1, 2, 4, 5):
            m.free(TAU_X, i, 0, 0.1)
    return m


def held_and_unnamed(means: bool) -> Model:
    """y-only one-factor model with a parameter no mapping names (index 2)
    and a last parameter that is placed but lies beyond n_free."""
    m = Model(nx=0, ny=4, nxi=0, neta=1)
    m.free(LAMBDA_Y, 0, 0, 1.0)
    m.free(LAMBDA_Y, 1, 0, 0.8)
    m.starts.append(0.25)  # unnamed
    m.names.append("unnamed")
    m.free(LAMBDA_Y, 2, 0, 1.2)
    m.free(LAMBDA_Y, 3, 0, 0.6)
    m.fix(PSI, 0, 0, 1.0)
    for i in range(3):
        m.free(THETA_EPSILON, i, i, 0.5)
    if means:
        m.free(ALPHA, 0, 0, 0.4)
        m.free(TAU_Y, 1, 0, 0.2)
    m.free(THETA_EPSILON, 3, 3, 0.6, "held")  # last index, never differentiated
    return m


BUILDERS = {"cfa_xy": cfa_xy, "structural": structural, "equality": equality,
            "held_and_unnamed": held_and_unnamed}


@dataclass
class Case:
    model: Model
    engine: object
    params: np.ndarray
    n_free: int
    S: np.ndarray     # divisor-N covariance of `data`
    xbar: np.ndarray  # column means of `data`
    data: np.ndarray


def make_case(name: str, means: bool, meanstructure: bool | None = None, n: int = 150,
              seed: int = 7) -> Case:
    """Engine with meanstructure (default: `means`), a perturbed parameter
    vector, and a sample of n cases drawn at a second perturbed point."""
    model = BUILDERS[name](means)
    engine = model.ml_engine(means if meanstructure is None else meanstructure)
    rng = np.random.default_rng(seed)
    start = model.start_vector()
    params = start * (1 + 0.05 * rng.standard_normal(start.size))
    truth = start * (1 + 0.1 * rng.standard_normal(start.size))
    Sigma, mu = engine.get_implied_moments(truth)
    data = rng.multivariate_normal(mu, Sigma, size=n)
    n_free = model.n_free - 1 if name == "held_and_unnamed" else model.n_free
    return Case(model, engine, params, n_free, np.cov(data, rowvar=False, bias=True),
                data.mean(axis=0), data)


SHAPES = list(BUILDERS)


def central_difference(f, x: np.ndarray, n: int, h: float) -> np.ndarray:
    """Columns d f / d x[k] for k < n by central differences (f may be
    scalar- or array-valued)."""
    cols = []
    for k in range(n):
        e = np.zeros_like(x)
        e[k] = h
        cols.append((np.asarray(f(x + e)) - np.asarray(f(x - e))) / (2 * h))
    return np.stack(cols, axis=-1)


def vech(a: np.ndarray) -> np.ndarray:
    """Lower triangle with the diagonal, column by column."""
    p = a.shape[0]
    return np.concatenate([a[j:, j] for j in range(p)]) if p else np.zeros(0)


def duplication(p: int) -> np.ndarray:
    """D with vec(A) = D vech(A) for symmetric A (column-major vec)."""
    D = np.zeros((p * p, p * (p + 1) // 2))
    r = 0
    for j in range(p):
        for i in range(j, p):
            D[i + j * p, r] = 1.0
            D[j + i * p, r] = 1.0
            r += 1
    return D


def dense_moments(m: Model, theta):
    """Sigma and mu of any model by the model formulas (complex theta welcome)."""
    dt = np.result_type(theta, float)
    shape = {LAMBDA_X: (m.nx, m.nxi), LAMBDA_Y: (m.ny, m.neta), BETA: (m.neta, m.neta),
             GAMMA: (m.neta, m.nxi), PHI: (m.nxi, m.nxi), PSI: (m.neta, m.neta),
             THETA_DELTA: (m.nx, m.nx), THETA_EPSILON: (m.ny, m.ny),
             THETA_EPSILON_DELTA: (m.ny, m.nx), TAU_X: (m.nx, 1), TAU_Y: (m.ny, 1),
             KAPPA: (m.nxi, 1), ALPHA: (m.neta, 1)}
    M = {k: np.zeros(s, dt) for k, s in shape.items()}
    for mid, r, c, is_free, k, v in m.mappings:
        M[mid][r, 0 if mid >= TAU_X else c] = theta[k] if is_free else v
    A = np.linalg.inv(np.eye(m.neta) - M[BETA])
    LY, LX, G = M[LAMBDA_Y] @ A, M[LAMBDA_X], M[GAMMA]
    yy = LY @ (G @ M[PHI] @ G.T + M[PSI]) @ LY.T + M[THETA_EPSILON]
    yx = LY @ G @ M[PHI] @ LX.T + M[THETA_EPSILON_DELTA]
    Sigma = np.block([[yy, yx], [yx.T, LX @ M[PHI] @ LX.T + M[THETA_DELTA]]])
    mu = np.concatenate([M[TAU_Y] + LY @ (M[ALPHA] + G @ M[KAPPA]),
                         M[TAU_X] + LX @ M[KAPPA]]).ravel()
    return Sigma, mu


def dense_objective_and_gradient(m: Model, theta, S, xbar):
    """F and its gradient by the dense formulas, dSigma and dmu by the
    complex step (exact to rounding); xbar None: no mean part."""
    Sigma, mu = dense_moments(m, theta)
    X = np.linalg.inv(Sigma)
    d = np.zeros(m.p) if xbar is None else xbar - mu
    F = np.linalg.slogdet(Sigma)[1] + np.trace(S @ X) - np.linalg.slogdet(S)[1] - m.p + d @ X @ d
    W = X - X @ (S + np.outer(d, d)) @ X
    g = np.empty(theta.size)
    for k in range(theta.size):
        t = theta.astype(complex)
        t[k] += 1e-30j
        dS, dm = (a.imag / 1e-30 for a in dense_moments(m, t))
        g[k] = np.sum(W * dS) - 2 * dm @ X @ d
    return F, g
