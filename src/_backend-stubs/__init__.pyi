"""Numerical backend of a structural equation modelling package.

Observed variables are ordered y first, then x. Numerical trouble never
raises: objectives return 1e15 and derivative results are filled with 1e10
when a matrix they need is not positive definite or not invertible.
Arguments that cannot be converted raise TypeError; inputs that do not fit
the model (shapes, lengths, indices, ``n_free``) raise ValueError.
"""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypedDict, final

import numpy as np
import numpy.typing as npt

__version__: str

_Vector = npt.NDArray[np.float64]
_Matrix = npt.NDArray[np.float64]
# What the runtime converts: an int is anything with __index__ (NumPy
# integers included), a float anything with __float__ or __index__, a bool
# a Python or NumPy boolean, a list any sequence (NumPy arrays included).
_Int = SupportsIndex
_Float = SupportsFloat | SupportsIndex
_Bool = bool | np.bool_
_Ints = Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]]
_Bools = Sequence[_Bool] | npt.NDArray[np.bool_]

class _PolychoricStatistics(TypedDict, total=False):
    thresholds: list[_Vector]
    correlations: _Vector
    weights: _Vector
    gamma: _Matrix  # only with gamma=True

class _PlsResult(TypedDict):
    latent_scores: _Matrix
    outer_weights: _Matrix
    outer_loadings: _Matrix
    inner_paths: _Matrix
    iterations: int
    converged: bool

@final
class MlEngine:
    """Normal-theory maximum likelihood for one LISREL-type model.

    Matrix identifiers for ``add_mapping``: 0 LambdaX, 1 LambdaY, 2 Beta,
    3 Gamma, 4 Phi, 5 Psi, 6 ThetaDelta, 7 ThetaEpsilon, 8 ThetaEpsilonDelta,
    9 TauX, 10 TauY, 11 Kappa, 12 Alpha. Negative dimensions raise ValueError.
    """

    def __init__(self, nx: _Int, ny: _Int, nxi: _Int, neta: _Int, meanstructure: _Bool = False) -> None: ...
    def add_mapping(
        self, matrix_id: _Int, row: _Int, col: _Int, is_free: _Bool, param_index: _Int, value: _Float, /
    ) -> None:
        """Place ``params[param_index]`` (free) or ``value`` (fixed) in one cell.

        Applied in insertion order, later mappings win, nothing is mirrored.
        A cell outside its matrix or a negative free index raises ValueError;
        identifiers outside 0-12 are accepted and ignored.
        """
    def objective_ml(
        self, params: npt.ArrayLike, sample_cov: npt.ArrayLike, sample_mean: npt.ArrayLike | None = None
    ) -> float:
        """ML discrepancy log|Sigma| + tr(S Sigma^-1) - log|S| - p [+ mean term], floored at 0.

        1e15 when Sigma is not positive definite or the value is NaN.
        ValueError when S is not p x p or not positive definite, or the mean
        is not of length p.
        """
    def gradient_ml(
        self, params: npt.ArrayLike, sample_cov: npt.ArrayLike, sample_mean: npt.ArrayLike | None, n_free: _Int
    ) -> _Vector:
        """Analytic gradient of ``objective_ml`` for the first ``n_free`` parameters.

        All 1e10 when Sigma or I - Beta is not invertible.
        """
    def expected_hessian_ml(self, params: npt.ArrayLike, n_free: _Int) -> _Matrix:
        """Expected information tr(Sigma^-1 dSigma_i Sigma^-1 dSigma_j) + 2 dmu_i' Sigma^-1 dmu_j.

        Not multiplied by N; all 1e10 when Sigma or I - Beta is not invertible.
        """
    def observed_hessian_ml(
        self, params: npt.ArrayLike, sample_cov: npt.ArrayLike, sample_mean: npt.ArrayLike | None, n_free: _Int
    ) -> _Matrix:
        """Exact Hessian of ``objective_ml`` from analytic second derivatives.

        All 1e10 when Sigma or I - Beta is not invertible.
        """
    def casewise_scores(
        self, data: npt.ArrayLike, params: npt.ArrayLike, n_free: _Int, meanstructure_active: _Bool
    ) -> _Matrix:
        """N x n_free matrix of each case's log-likelihood derivatives.

        Cases are centred on mu (``meanstructure_active``) or on the column
        means. All 1e10 when Sigma or I - Beta is not invertible.
        """
    def objective_fiml(
        self,
        params: npt.ArrayLike,
        obs_indices: Sequence[_Ints],
        n_obs_list: _Ints,
        means: Sequence[npt.ArrayLike],
        covs: Sequence[npt.ArrayLike],
    ) -> float:
        """Case-weighted FIML discrepancy over missing-data patterns.

        1e15 when a pattern's Sigma_p is not positive definite; NaN with no
        non-empty pattern.
        """
    def gradient_fiml(
        self,
        params: npt.ArrayLike,
        obs_indices: Sequence[_Ints],
        n_obs_list: _Ints,
        means: Sequence[npt.ArrayLike],
        covs: Sequence[npt.ArrayLike],
        n_free: _Int,
    ) -> _Vector:
        """Analytic gradient of ``objective_fiml``; all 1e10 when a matrix is not invertible."""
    def expected_hessian_fiml(
        self, params: npt.ArrayLike, obs_indices: Sequence[_Ints], n_obs_list: _Ints, n_free: _Int
    ) -> _Matrix:
        """Expected information of ``objective_fiml``; all 1e10 when a matrix is not invertible."""
    def observed_hessian_fiml(
        self,
        params: npt.ArrayLike,
        obs_indices: Sequence[_Ints],
        n_obs_list: _Ints,
        means: Sequence[npt.ArrayLike],
        covs: Sequence[npt.ArrayLike],
        n_free: _Int,
    ) -> _Matrix:
        """Exact Hessian of ``objective_fiml``, exactly symmetric.

        All 1e10 when a matrix is not invertible; NaN with no non-empty pattern.
        """
    def casewise_scores_fiml(self, data: npt.ArrayLike, params: npt.ArrayLike, n_free: _Int) -> _Matrix:
        """N x n_free log-likelihood scores of incomplete cases (NaN = missing).

        Each case over the variables it observes, centred on mu; zeros for a
        case that observes nothing. All 1e10 when a matrix is not invertible.
        """
    def jacobian_implied_moments(self, params: npt.ArrayLike, n_free: _Int) -> _Matrix:
        """Central-difference (step 1e-5) Jacobian of vech(Sigma) [and mu]."""
    def get_implied_moments(self, params: npt.ArrayLike) -> tuple[_Matrix, _Vector]:
        """The implied covariance matrix Sigma and mean vector mu."""
    def __getstate__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...

@final
class DwlsEngine:
    """Diagonally weighted least squares on correlations, with ordinal indicators.

    ``s_vec`` and ``w_inv`` hold p(p-1)/2 entries (below the diagonal, column
    by column), ``is_ordinal`` at least p flags; otherwise ValueError.
    """

    def __init__(
        self,
        nx: _Int,
        ny: _Int,
        nxi: _Int,
        neta: _Int,
        s_vec: npt.ArrayLike,
        w_inv: npt.ArrayLike,
        is_ordinal: _Bools,
    ) -> None: ...
    def add_mapping(
        self, matrix_id: _Int, row: _Int, col: _Int, is_free: _Bool, param_index: _Int, value: _Float, /
    ) -> None:
        """As ``MlEngine.add_mapping``; the mean vectors 9-12 are ignored here."""
    def objective_dwls(self, params: npt.ArrayLike) -> float:
        """sum(w_inv * (s_vec - implied_corr)^2); 1e15 when a correlation is NaN."""
    def gradient_dwls(self, params: npt.ArrayLike, n_free: _Int) -> _Vector:
        """-2 J'(w_inv * e) with J by central differences (step 1e-6)."""
    def expected_hessian_dwls(self, params: npt.ArrayLike, n_free: _Int) -> _Matrix:
        """2 J' W J."""
    def jacobian_dwls(self, params: npt.ArrayLike, n_free: _Int) -> _Matrix:
        """Central-difference Jacobian of ``implied_corr``."""
    def implied_corr(self, params: npt.ArrayLike) -> _Vector:
        """Model-implied correlations in the order of ``s_vec``."""
    def get_diagonal_residuals(self, params: npt.ArrayLike) -> _Vector:
        """Residual variances as used, ordinal ones set for unit variance."""
    def __getstate__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...

def categorical_casewise_scores(
    x: npt.ArrayLike, y: npt.ArrayLike, tau_x: npt.ArrayLike, tau_y: npt.ArrayLike, rho: _Float, eps: _Float = 1e-5
) -> _Matrix:
    """Forward-difference scores of each case's bivariate probit log-probability.

    Columns: thresholds of x, thresholds of y, then the correlation.
    ValueError for codes outside 0..K, codes that are not integers or do not
    fit 32 bits, or x and y of different lengths.
    """

def bivariate_loglik(
    x: npt.ArrayLike, y: npt.ArrayLike, tau_x: npt.ArrayLike, tau_y: npt.ArrayLike, rho: _Float
) -> _Vector:
    """Each case's log-probability of its pair of categories (cells floored at 1e-15).

    Each distinct cell is evaluated once; cell probabilities are accurate to
    about 3e-10 up to |rho| = 0.9 and to about 1e-15 for 0.9 < |rho| <= 1.
    """

def polychoric_statistics(
    codes: npt.ArrayLike, gamma: _Bool = False, n_threads: _Int = 1
) -> _PolychoricStatistics:
    """Thresholds, two-step polychoric correlations, DWLS weights (and Gamma) of N x p codes.

    Pairs in the order of a DwlsEngine's s_vec: (i, j), i > j, column j
    outer. weights = 1 / diag(Gamma), Gamma the asymptotic covariance of
    sqrt(N) (r - rho) with the thresholds' estimation taken into account.
    A pair whose likelihood still rises at |rho| = 0.9999 is reported there
    with weight 0 and a zero row and column in Gamma. Releases the
    interpreter lock; n_threads workers share the pairs (same results for
    any number). ValueError naming the column ("codes[:, j]") for a
    negative code, a skipped category or a single category; ValueError for
    N < 2, p < 2, codes that are not 2-D, or n_threads < 1.
    """

# Internal (tests and benchmarks): the same two results evaluated case by
# case, bit-identical to the functions above; not part of the interface.
def _categorical_casewise_scores_per_case(
    x: npt.ArrayLike, y: npt.ArrayLike, tau_x: npt.ArrayLike, tau_y: npt.ArrayLike, rho: _Float, eps: _Float = 1e-5
) -> _Matrix: ...
def _bivariate_loglik_per_case(
    x: npt.ArrayLike, y: npt.ArrayLike, tau_x: npt.ArrayLike, tau_y: npt.ArrayLike, rho: _Float
) -> _Vector: ...

@final
class PlsEngine:
    """PLS path modelling (Mode A/B outer estimation, factorial inner weighting)."""

    def __init__(self) -> None: ...
    def run_algorithm(
        self,
        data: npt.ArrayLike,
        blocks: Sequence[_Ints],
        modes: Sequence[str],
        path_matrix: npt.ArrayLike,
        max_iter: _Int,
        tol: _Float,
        /,
    ) -> _PlsResult:
        """Outer weights, latent scores, loadings and path coefficients.

        Releases the interpreter lock for the numerical work. ValueError for
        indicator indices outside the data, too few modes, a path matrix that
        is not J x J, or fewer than two cases.
        """
    def __getstate__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
