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
            tol: float = 1e-9, maxiter: int = 200) -> Fit:
    """Minimise F from `start`; converged when the Newton decrement g'H^-1 g
    (twice the predicted decrease of F) is below `tol`."""
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

    `newton` ends with one step on the exact Hessian: scoring converges
    linearly away from a perfect fit, Newton quadratically from close by.
    """
    n = len(start)
    fit = scoring(lambda t: engine.objective_ml(t, S, mean),
                  lambda t: engine.gradient_ml(t, S, mean, n),
                  lambda t: engine.expected_hessian_ml(t, n), start, tol=tol)
    if newton and fit.converged:
        x = fit.x - np.linalg.solve(engine.observed_hessian_ml(fit.x, S, mean, n),
                                    engine.gradient_ml(fit.x, S, mean, n))
        f = engine.objective_ml(x, S, mean)
        if f <= fit.fun:
            fit = Fit(x, f, fit.iterations + 1, True)
    return fit


def fit_fiml(engine, patterns, start: Vector, *, tol: float = 1e-9) -> Fit:
    """FIML estimates; `patterns` are the four lists of the FIML methods."""
    n = len(start)
    lists, counts = patterns[0], patterns[1]
    return scoring(lambda t: engine.objective_fiml(t, *patterns),
                   lambda t: engine.gradient_fiml(t, *patterns, n),
                   lambda t: engine.expected_hessian_fiml(t, lists, counts, n), start, tol=tol)
