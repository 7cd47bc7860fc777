"""Number formatting shared by the examples: the parameter table and the
fit block, in the notation of SEM output.

Parameter names read `lhs op rhs`: `f =~ y` a loading, `y ~ x` a
regression, `a ~~ b` a covariance (a variance when a == b), `y ~ 1` an
intercept, `y | t1` a threshold.
"""
from __future__ import annotations

from collections.abc import Sequence

import numpy as np
from scipy.stats import norm

import fitmeasures

LABEL = 22
COLUMN = 9

SECTIONS = ("Latent variables", "Regressions", "Covariances", "Variances", "Intercepts",
            "Thresholds")


def section(name: str) -> str:
    lhs, op, rhs = name.split(" ", 2)
    if op == "=~":
        return "Latent variables"
    if op == "|":
        return "Thresholds"
    if op == "~":
        return "Intercepts" if rhs == "1" else "Regressions"
    return "Variances" if lhs == rhs else "Covariances"


def number(x: float, width: int = COLUMN, digits: int = 3) -> str:
    if isinstance(x, (int, np.integer)):
        return f"{x:>{width}d}"
    return f"{x:>{width}.{digits}f}" if np.isfinite(x) else f"{'':>{width - 1}}-"


def parameter_table(names: Sequence[str], est: np.ndarray, se: np.ndarray,
                    extra: dict[str, np.ndarray] | None = None) -> list[str]:
    """Estimates by section with standard error, z and two-sided normal
    p-value; `extra` adds further standard-error columns (robust, ...)."""
    extra = extra or {}
    z = est / se
    p = 2 * norm.sf(np.abs(z))
    heads = ["Estimate", "Std.Err", "z-value", "P(>|z|)", *extra]
    lines = [f"{'':<{LABEL}}" + "".join(f"{h:>{COLUMN}}" for h in heads)]
    order = sorted(range(len(names)), key=lambda k: SECTIONS.index(section(names[k])))
    current = None
    for k in order:
        if section(names[k]) != current:
            current = section(names[k])
            lines.append(current)
        cells = [est[k], se[k], z[k], p[k], *(col[k] for col in extra.values())]
        lines.append(f"  {names[k]:<{LABEL - 2}}" + "".join(number(c) for c in cells))
    return lines


def fit_rows(rows: Sequence[tuple[str, Sequence[float]]]) -> list[str]:
    """One measure a line: the label names the values that follow it."""
    return [f"  {label:<{LABEL + 12}}" + "".join(number(v, 10) for v in values)
            for label, values in rows]


def ml_fit_rows(n: int, k: int, stat: float, df: int, base_stat: float, base_df: int,
                loglik: float, sat_loglik: float, srmr: float) -> list[str]:
    """The fit block of an ML or FIML fit."""
    s = fitmeasures.summary(stat, df, base_stat, base_df, n)
    aic, bic = fitmeasures.information_criteria(loglik, k, n)
    return fit_rows([
        ("N, free parameters", (n, k)),
        ("chi-square, df, p-value", (stat, df, s["p"])),
        ("baseline chi-square, df, p-value", (base_stat, base_df, s["base_p"])),
        ("CFI, TLI", (s["cfi"], s["tli"])),
        ("RMSEA, 90 % interval", (s["rmsea"], s["rmsea_lo"], s["rmsea_hi"])),
        ("SRMR", (srmr,)),
        ("log-likelihood, saturated", (loglik, sat_loglik)),
        ("AIC, BIC", (aic, bic)),
    ])


def print_lines(lines: Sequence[str]) -> None:
    print("\n".join(lines))
