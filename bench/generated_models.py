"""Generated benchmark models with data drawn from them (fixed seeds).

Shared by the derivative benchmarks: an all-x CFA, a structural model on
the y side with a mean structure, and a FIML problem with many
missing-data patterns. Each builder returns a `Problem`: the model, the
generating parameters, an evaluation point near them and the data.
"""
from __future__ import annotations

import sys
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from semfront import (BETA, GAMMA, LAMBDA_X, LAMBDA_Y, PHI, PSI, TAU_X, TAU_Y,  # noqa: E402
                      THETA_DELTA, THETA_EPSILON, Model)

# (p, factors, n_free of the covariance structure) of the three sizes.
SIZES = ((20, 2, 50), (60, 6, 200), (100, 8, 300))


@dataclass
class Problem:
    label: str
    model: Model
    meanstructure: bool
    theta_true: np.ndarray
    theta: np.ndarray          # evaluation point: theta_true slightly perturbed
    data: np.ndarray           # N x p, NaN where a value is missing
    sample_cov: np.ndarray     # of the complete draw (divisor N)
    sample_mean: np.ndarray | None

    def engine(self):
        return self.model.ml_engine(meanstructure=self.meanstructure)

    @property
    def n_free(self) -> int:
        return self.model.n_free


def _blocks(n_items: int, factors: int) -> list[int]:
    return [i * factors // n_items for i in range(n_items)]


def _add_extras(m: Model, rng, loadings: int, residuals: int, owner: list[int], target: int) -> None:
    """Cross-loadings and residual covariances, alternately, until n_free = target.

    Marker indicators get no cross-loading, so every factor keeps its scale
    and a pure indicator."""
    n_items, factors = len(owner), max(owner) + 1
    markers = {owner.index(f) for f in range(factors)}
    cross = [(i, f) for i in range(n_items) for f in range(factors) if f != owner[i] and i not in markers]
    pairs = [(i, j) for i in range(n_items) for j in range(i)]
    cross = [cross[c] for c in rng.permutation(len(cross))]
    pairs = [pairs[c] for c in rng.permutation(len(pairs))]
    step = 0
    while m.n_free < target:
        if step % 2 == 0 and cross:
            i, f = cross.pop()
            m.free(loadings, i, f, 0.15 * rng.choice((-1.0, 1.0)))
        else:
            i, j = pairs.pop()
            m.free(residuals, i, j, 0.06)
        step += 1


def _draw(m: Model, meanstructure: bool, theta: np.ndarray, n: int, rng):
    import _backend

    engine = m.register(_backend.MlEngine(m.nx, m.ny, m.nxi, m.neta, meanstructure))
    Sigma, mu = engine.get_implied_moments(theta)
    L = np.linalg.cholesky(Sigma)  # fails loudly if the generator made an indefinite Sigma
    return mu + rng.standard_normal((n, m.p)) @ L.T


def _finish(label, m, meanstructure, rng, n, with_mean) -> Problem:
    theta_true = m.start_vector()
    x = _draw(m, meanstructure, theta_true, n, rng)
    d = x - x.mean(axis=0)
    return Problem(label, m, meanstructure, theta_true,
                   theta_true + 0.02 * rng.standard_normal(theta_true.size), x,
                   d.T @ d / n, x.mean(axis=0) if with_mean else None)


def cfa(p: int, factors: int, n_free: int, n: int = 500, seed: int | None = None) -> Problem:
    """All-x CFA: simple structure, first loading of each factor fixed to 1,
    correlated factors, then cross-loadings and residual covariances."""
    rng = np.random.default_rng(1000 + p if seed is None else seed)
    m = Model(nx=p, ny=0, nxi=factors, neta=0)
    owner = _blocks(p, factors)
    for i, f in enumerate(owner):
        if i == 0 or owner[i - 1] != f:
            m.fix(LAMBDA_X, i, f)
        else:
            m.free(LAMBDA_X, i, f, rng.uniform(0.7, 1.3))
    for f in range(factors):
        for g in range(f + 1):
            m.free(PHI, f, g, 0.5 if f == g else 0.15)
    for i in range(p):
        m.free(THETA_DELTA, i, i, rng.uniform(0.3, 0.6))
    _add_extras(m, rng, LAMBDA_X, THETA_DELTA, owner, n_free)
    return _finish(f"CFA p={p} k={factors}", m, False, rng, n, with_mean=False)


def structural(p: int, factors: int, n_free_cov: int, n: int = 500, seed: int | None = None) -> Problem:
    """p observed variables: p - 2 indicators of `factors` eta in a Beta chain
    and two observed covariates (xi measured without error: LambdaX = I,
    no ThetaDelta) predicting the first eta through Gamma. Cross-loadings and
    residual covariances bring the covariance structure to n_free_cov
    parameters; the p intercepts come on top (mean structure on)."""
    rng = np.random.default_rng(2000 + p if seed is None else seed)
    ny = p - 2
    m = Model(nx=2, ny=ny, nxi=2, neta=factors)
    owner = _blocks(ny, factors)
    for i, f in enumerate(owner):
        if i == 0 or owner[i - 1] != f:
            m.fix(LAMBDA_Y, i, f)
        else:
            m.free(LAMBDA_Y, i, f, rng.uniform(0.7, 1.3))
    for i in range(ny):
        m.free(THETA_EPSILON, i, i, rng.uniform(0.3, 0.6))
    for f in range(factors):
        m.free(PSI, f, f, 0.5)
        if f > 0:
            m.free(BETA, f, f - 1, 0.5)
    m.free(GAMMA, 0, 0, 0.4)
    m.free(GAMMA, 0, 1, 0.3)
    for a in range(2):
        m.fix(LAMBDA_X, a, a)
        for b in range(a + 1):
            m.free(PHI, a, b, 1.0 if a == b else 0.3)
    _add_extras(m, rng, LAMBDA_Y, THETA_EPSILON, owner, n_free_cov)
    for i in range(ny):
        m.free(TAU_Y, i, 0, rng.uniform(-1.0, 1.0))
    for a in range(2):
        m.free(TAU_X, a, 0, 0.0)
    return _finish(f"SEM p={p} k={factors}", m, True, rng, n, with_mean=True)


@dataclass
class FimlProblem(Problem):
    # The pattern lists of objective_fiml; `data` keeps the cases with NaN.
    obs_indices: list[list[int]] = field(default_factory=list)
    n_obs_list: list[int] = field(default_factory=list)
    means: list[np.ndarray] = field(default_factory=list)
    covs: list[np.ndarray] = field(default_factory=list)

    @property
    def patterns(self):
        return self.obs_indices, self.n_obs_list, self.means, self.covs

    @property
    def missing_fraction(self) -> float:
        return float(np.isnan(self.data).mean())


def fiml(p: int = 40, factors: int = 4, n_patterns: int = 200, n: int = 2000, seed: int = 40) -> FimlProblem:
    """Four factors with ten indicators each and free intercepts
    (n_free = 126 at the default size); each pattern misses 10-20 % of the
    variables, every pattern holds at least two cases."""
    rng = np.random.default_rng(seed)
    m = Model(nx=p, ny=0, nxi=factors, neta=0)
    owner = _blocks(p, factors)
    for i, f in enumerate(owner):
        if i == 0 or owner[i - 1] != f:
            m.fix(LAMBDA_X, i, f)
        else:
            m.free(LAMBDA_X, i, f, 0.8 + 0.02 * (i % 10))
        m.free(THETA_DELTA, i, i, 0.5)
    for f in range(factors):
        for g in range(f + 1):
            m.free(PHI, f, g, 1.0 if f == g else 0.3)
    for i in range(p):
        m.free(TAU_X, i, 0, 0.1 * i)
    base = _finish("FIML", m, True, rng, n, with_mean=True)
    masks: set[tuple[int, ...]] = set()
    while len(masks) < n_patterns:
        n_missing = int(round(rng.uniform(0.10, 0.20) * p))
        masks.add(tuple(sorted(rng.choice(p, n_missing, replace=False).tolist())))
    missing = sorted(masks)
    counts = rng.multinomial(n - 2 * n_patterns, np.full(n_patterns, 1.0 / n_patterns)) + 2
    x = base.data.copy()
    obs_indices, means, covs, start = [], [], [], 0
    for miss, count in zip(missing, counts):
        rows = slice(start, start + count)
        x[rows, list(miss)] = np.nan
        idx = [j for j in range(p) if j not in miss]
        xs = x[rows][:, idx]
        d = xs - xs.mean(axis=0)
        obs_indices.append(idx)
        means.append(xs.mean(axis=0))
        covs.append(d.T @ d / count)
        start += count
    return FimlProblem(f"FIML p={p}", m, True, base.theta_true, base.theta, x, base.sample_cov,
                       base.sample_mean, obs_indices, [int(c) for c in counts], means, covs)
