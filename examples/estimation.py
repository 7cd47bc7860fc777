"""Fisher scoring on the backend's discrepancy, gradient and information.

Every ML and FIML fit of the examples goes through `scoring`: the model, its
independence (baseline) model and the saturated model, and each bootstrap
refit. A step solves H d = -g with H the expected information of F, which
stays positive definite where the observed Hessian need not; a step that
leaves the region where Sigma is positive definite (objective 1e15) or that
raises F is halved.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

import numpy as np

Vector = np.ndarray
BAD = 1e15  # the backend's value for a Sigma that is not positive definite


@dataclass
class Fit:
    x: Vector
    fun: float
    iterations: int
    converged: bool


def scoring(objective: Callable[[Vector], float], gradient: Callable[[Vector], Vector],
            information: Callable[[Vector], np.ndarray], start: Vector, *,
            tol: float = 1e-9, maxiter: int = 200, last_below: float = 0.0) -> Fit:
    """Minimise F from `start`; converged when the Newton decrement g'H^-1 g
    (twice the predicted decrease of F) is below `tol`, or, with `H` the
    exact Hessian, once a full step from a decrement below `last_below` is
    taken: Newton's quadratic convergence leaves nothing to check after it."""
    x = np.array(start, dtype=float)
    f = objective(x)
    for it in range(1, maxiter + 1):
        g = gradient(x)
        try:
            step = -np.linalg.solve(information(x), g)
        except np.linalg.LinAlgError:
            return Fit(x, f, it, False)
        decrement = -float(g @ step)
        if not np.isfinite(decrement) or decrement < 0:
            return Fit(x, f, it, False)
        if decrement < tol:
            return Fit(x, f, it, True)
        if decrement < last_below:
            trial = x + step
            f_trial = objective(trial)
            if f_trial <= f:
                return Fit(trial, f_trial, it, True)
        t = 1.0
        while t > 1e-10:
            trial = x + t * step
            f_trial = objective(trial)
            if f_trial < BAD and f_trial <= f + 1e-4 * t * float(g @ step):
                break
            t /= 2
        else:
            return Fit(x, f, it, False)
        x, f = trial, f_trial
    return Fit(x, f, maxiter, False)


def fit_ml(engine, S: np.ndarray, start: Vector, *, mean: Vector | None = None,
           newton: bool = False, tol: float = 1e-9) -> Fit:
    """ML estimates for one sample covariance matrix (divisor N).

    `newton` finishes with Newton steps on the exact Hessian once scoring
    is close: scoring converges only linearly away from a perfect fit,
    Newton quadratically from close by. Where the exact Hessian is not
    positive definite, scoring carries on.
    """
    n = len(start)

    def objective(t):
        return engine.objective_ml(t, S, mean)

    def gradient(t):
        return engine.gradient_ml(t, S, mean, n)

    def expected(t):
        return engine.expected_hessian_ml(t, n)

    if not newton:
        return scoring(objective, gradient, expected, start, tol=tol)
    near = scoring(objective, gradient, expected, start, tol=max(tol, 1e-2))
    if not near.converged:
        return near
    fit = scoring(objective, gradient, lambda t: engine.observed_hessian_ml(t, S, mean, n),
                  near.x, tol=tol, maxiter=20, last_below=1e-8)
    if not fit.converged:
        fit = scoring(objective, gradient, expected, fit.x, tol=tol)
    return Fit(fit.x, fit.fun, near.iterations + fit.iterations, fit.converged)


def fit_fiml(engine, patterns, start: Vector, *, tol: float = 1e-9) -> Fit:
    """FIML estimates; `patterns` are the four lists of the FIML methods."""
    n = len(start)
    lists, counts = patterns[0], patterns[1]
    return scoring(lambda t: engine.objective_fiml(t, *patterns),
                   lambda t: engine.gradient_fiml(t, *patterns, n),
                   lambda t: engine.expected_hessian_fiml(t, lists, counts, n), start, tol=tol)
