"""A minimal model front end: names cells of the model matrices and turns
them into the engines' mappings and a start vector.

The backend only knows matrix cells; this is the small piece of bookkeeping
a statistician's front end does before calling it.
"""
from __future__ import annotations

import csv
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

DATA_DIR = Path(__file__).resolve().parent / "data"

# Matrix identifiers of the backend.
LAMBDA_X, LAMBDA_Y, BETA, GAMMA, PHI, PSI = 0, 1, 2, 3, 4, 5
THETA_DELTA, THETA_EPSILON, THETA_EPSILON_DELTA = 6, 7, 8
TAU_X, TAU_Y, KAPPA, ALPHA = 9, 10, 11, 12
SYMMETRIC = {PHI, PSI, THETA_DELTA, THETA_EPSILON}


@dataclass
class Model:
    """Dimensions, mappings and start values of one structural model."""

    nx: int
    ny: int
    nxi: int
    neta: int
    mappings: list[tuple[int, int, int, bool, int, float]] = field(default_factory=list)
    starts: list[float] = field(default_factory=list)
    names: list[str] = field(default_factory=list)

    @property
    def n_free(self) -> int:
        return len(self.starts)

    @property
    def p(self) -> int:
        return self.nx + self.ny

    def free(self, matrix: int, row: int, col: int = 0, start: float = 0.0, name: str = "") -> int:
        """A new free parameter in one cell (both triangles of a symmetric matrix)."""
        k = len(self.starts)
        self.starts.append(float(start))
        self.names.append(name or f"m{matrix}[{row},{col}]")
        self.place(matrix, row, col, k)
        return k

    def place(self, matrix: int, row: int, col: int, k: int) -> None:
        """Put existing parameter k into a cell too (an equality constraint)."""
        self.mappings.append((matrix, row, col, True, k, 0.0))
        if matrix in SYMMETRIC and row != col:
            self.mappings.append((matrix, col, row, True, k, 0.0))

    def fix(self, matrix: int, row: int, col: int = 0, value: float = 1.0) -> None:
        self.mappings.append((matrix, row, col, False, 0, float(value)))
        if matrix in SYMMETRIC and row != col:
            self.mappings.append((matrix, col, row, False, 0, float(value)))

    def register(self, engine):
        for m in self.mappings:
            engine.add_mapping(*m)
        return engine

    def ml_engine(self, meanstructure: bool = False):
        import _backend

        return self.register(_backend.MlEngine(self.nx, self.ny, self.nxi, self.neta, meanstructure))

    def start_vector(self) -> np.ndarray:
        return np.array(self.starts, dtype=float)


def read_csv(path: Path) -> tuple[list[str], list[list[str]]]:
    with open(path, newline="") as fh:
        rows = list(csv.reader(fh))
    return rows[0], rows[1:]


def political_democracy_data() -> tuple[list[str], np.ndarray]:
    """Bollen's 75 countries; columns y1..y8 then x1..x3 (the backend's order)."""
    header, rows = read_csv(DATA_DIR / "political_democracy.csv")
    return header, np.array([[float(v) for v in r] for r in rows])


def holzinger_swineford_data() -> tuple[list[str], np.ndarray]:
    """The nine test scores x1..x9 of the 301 children."""
    header, rows = read_csv(DATA_DIR / "holzinger_swineford_1939.csv")
    cols = [header.index(f"x{i}") for i in range(1, 10)]
    return [header[c] for c in cols], np.array([[float(r[c]) for c in cols] for r in rows])


def political_democracy_model(meanstructure: bool = False) -> Model:
    """ind60 (xi) -> dem60, dem65 (eta); dem60 -> dem65; six residual covariances.

    31 free parameters without means (the classic 35 degrees of freedom).
    """
    m = Model(nx=3, ny=8, nxi=1, neta=2)
    m.fix(LAMBDA_X, 0, 0)
    m.free(LAMBDA_X, 1, 0, 2.0, "ind60 =~ x2")
    m.free(LAMBDA_X, 2, 0, 1.8, "ind60 =~ x3")
    m.fix(LAMBDA_Y, 0, 0)
    for i in (1, 2, 3):
        m.free(LAMBDA_Y, i, 0, 1.2, f"dem60 =~ y{i + 1}")
    m.fix(LAMBDA_Y, 4, 1)
    for i in (5, 6, 7):
        m.free(LAMBDA_Y, i, 1, 1.2, f"dem65 =~ y{i + 1}")
    m.free(GAMMA, 0, 0, 1.5, "dem60 ~ ind60")
    m.free(GAMMA, 1, 0, 0.5, "dem65 ~ ind60")
    m.free(BETA, 1, 0, 0.8, "dem65 ~ dem60")
    m.free(PHI, 0, 0, 0.45, "ind60 ~~ ind60")
    m.free(PSI, 0, 0, 4.0, "dem60 ~~ dem60")
    m.free(PSI, 1, 1, 0.2, "dem65 ~~ dem65")
    for i in range(8):
        m.free(THETA_EPSILON, i, i, 2.0, f"y{i + 1} ~~ y{i + 1}")
    for i, j in ((0, 4), (1, 3), (1, 5), (2, 6), (3, 7), (5, 7)):
        m.free(THETA_EPSILON, j, i, 0.5, f"y{i + 1} ~~ y{j + 1}")
    for i in range(3):
        m.free(THETA_DELTA, i, i, 0.1, f"x{i + 1} ~~ x{i + 1}")
    if meanstructure:
        for i in range(8):
            m.free(TAU_Y, i, 0, 4.0, f"y{i + 1} ~ 1")
        for i in range(3):
            m.free(TAU_X, i, 0, 5.0, f"x{i + 1} ~ 1")
    return m


def _moment_model(names: list[str], covariances: bool, variances: np.ndarray,
                  means: np.ndarray | None) -> Model:
    # Observed variables as x-variables without latent ones: Sigma is
    # ThetaDelta itself and mu is TauX.
    p = len(names)
    m = Model(nx=p, ny=0, nxi=0, neta=0)
    for j in range(p):
        for i in range(j, p):
            if i == j or covariances:
                m.free(THETA_DELTA, i, j, variances[i] if i == j else 0.0,
                       f"{names[i]} ~~ {names[j]}")
    if means is not None:
        for i in range(p):
            m.free(TAU_X, i, 0, means[i], f"{names[i]} ~ 1")
    return m


def independence_model(names: list[str], variances: np.ndarray,
                       means: np.ndarray | None = None) -> Model:
    """The baseline model: uncorrelated observed variables (free variances,
    and free means when `means` gives their start values)."""
    return _moment_model(names, False, variances, means)


def saturated_model(names: list[str], variances: np.ndarray,
                    means: np.ndarray | None = None) -> Model:
    """Every variance and covariance free (and every mean with `means`):
    the model whose fit is the data's own."""
    return _moment_model(names, True, variances, means)
