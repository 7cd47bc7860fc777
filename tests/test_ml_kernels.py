"""The ML discrepancy and gradient on a model large enough for several
levels of the factorised path's recursive triangular kernels (p = 70, some
residual variances fixed), against the formulas written out densely in
NumPy; and the baseline x86-64 kernel, forced from outside the module by
masking AVX2 and FMA from the C library's CPU features, against the kernel
this CPU selects."""
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from ml_model_shapes import dense_moments, dense_objective_and_gradient
from semfront import KAPPA, LAMBDA_X, PHI, TAU_X, THETA_DELTA, Model

P, FACTORS = 70, 5


def cfa(seed: int = 11) -> Model:
    """Five factors, a few cross-loadings and residual covariances; the
    residual variances of variables 36-47 are fixed (no W entry wanted
    there); intercepts and a factor mean for the mean part."""
    rng = np.random.default_rng(seed)
    m = Model(nx=P, ny=0, nxi=FACTORS, neta=0)
    owner = [i * FACTORS // P for i in range(P)]
    for i, f in enumerate(owner):
        if i == 0 or owner[i - 1] != f:
            m.fix(LAMBDA_X, i, f)
        else:
            m.free(LAMBDA_X, i, f, rng.uniform(0.6, 1.2))
    for i in (5, 20, 50, 66):
        m.free(LAMBDA_X, i, (owner[i] + 1) % FACTORS, 0.2)
    for f in range(FACTORS):
        for g in range(f + 1):
            m.free(PHI, f, g, 0.8 if f == g else 0.2)
    for i in range(P):
        if 36 <= i < 48:
            m.fix(THETA_DELTA, i, i, 0.5)
        else:
            m.free(THETA_DELTA, i, i, rng.uniform(0.3, 0.7))
    for i, j in ((3, 1), (69, 2), (60, 33)):
        m.free(THETA_DELTA, i, j, 0.05)
    for i in range(P):
        if i % 3:
            m.free(TAU_X, i, 0, 0.1)
    m.free(KAPPA, 1, 0, 0.2)
    return m


def problem(asymmetric: bool):
    m = cfa()
    theta = m.start_vector()
    rng = np.random.default_rng(5)
    Sigma, mu = dense_moments(m, theta * (1 + 0.1 * rng.standard_normal(theta.size)))
    data = rng.multivariate_normal(mu, (Sigma + Sigma.T) / 2, size=400)
    S = np.cov(data, rowvar=False, bias=True)
    if asymmetric:  # both triangles equal only to rounding
        S = S + np.triu(rng.uniform(-1, 1, S.shape), 1) * 4e-16 * np.abs(S).max()
    return m, theta, S, data.mean(axis=0)


@pytest.mark.parametrize("asymmetric", [False, True], ids=["symmetric-S", "rounding-asymmetric-S"])
@pytest.mark.parametrize("means", [False, True], ids=["no-means", "means"])
@pytest.mark.parametrize("objective_first", [False, True], ids=["gradient-alone", "after-objective"])
def test_factorised_objective_and_gradient_match_dense_formulas(asymmetric, means, objective_first):
    m, theta, S, xbar = problem(asymmetric)
    e = m.ml_engine(meanstructure=means)
    mean = xbar if means else None
    F_dense, g_dense = dense_objective_and_gradient(m, theta, S, mean)
    F = e.objective_ml(theta, S, mean) if objective_first else None
    g = e.gradient_ml(theta, S, mean, m.n_free)
    # Sigma's condition number is O(100): rounding of products of p = 70
    # terms, a few 1e-13 relative to the largest entry.
    scale = np.abs(g_dense).max()
    np.testing.assert_allclose(g, g_dense, rtol=0, atol=1e-11 * scale)
    if F is not None:
        # F is a difference of O(p) terms.
        assert F == pytest.approx(F_dense, rel=0, abs=1e-11 * P)


CHILD = r"""
import json, sys
import numpy as np
sys.path[:0] = sys.argv[1:3]
import test_ml_kernels as t
m, theta, S, xbar = t.problem(False)
out = {}
for means in (False, True):
    e = m.ml_engine(meanstructure=means)
    mean = xbar if means else None
    out[str(means)] = [e.objective_ml(theta, S, mean), list(e.gradient_ml(theta, S, mean, m.n_free))]
print(json.dumps(out))
"""


def cpu_has_v3() -> bool:
    try:
        flags = next(line for line in Path("/proc/cpuinfo").read_text().splitlines()
                     if line.startswith("flags")).split()
    except (OSError, StopIteration):
        return False
    return {"avx2", "fma", "bmi2", "movbe"} <= set(flags)


def run_child(tunables: str | None):
    env = dict(os.environ)
    env.pop("GLIBC_TUNABLES", None)
    if tunables:
        env["GLIBC_TUNABLES"] = tunables
    here = Path(__file__).resolve().parent
    out = subprocess.run([sys.executable, "-c", CHILD, str(here), str(here.parent / "examples")],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc tunables")
def test_baseline_kernel_agrees_with_the_selected_one():
    """The selected kernel (AVX2 + FMA where the CPU has them) and the
    baseline one, both in fresh processes: the same values to 1e-12
    relative (rounding of differently ordered sums). On a CPU with those
    features the two must differ somewhere in the last bits, or the mask did
    not reach the module's choice."""
    fast = run_child(None)
    base = run_child("glibc.cpu.hwcaps=-AVX2,-FMA")
    identical = True
    for means in fast:
        F1, g1 = fast[means][0], np.array(fast[means][1])
        F0, g0 = base[means][0], np.array(base[means][1])
        assert F0 == pytest.approx(F1, rel=1e-12)
        np.testing.assert_allclose(g0, g1, rtol=0, atol=1e-12 * np.abs(g1).max())
        identical &= F0 == F1 and np.array_equal(g0, g1)
    if cpu_has_v3():
        assert not identical
