"""Resident memory while every method runs many times on small inputs.

Each call is repeated N times (100,000 by default; error paths 10,000) after
a warm-up; the resident set size is read before and after. A flat RSS means
nothing is retained per call. Usage:

    .venv/bin/python bench/leak_check.py [--calls 100000] [--error-calls 10000]
"""
import argparse
import resource
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import _backend  # noqa: E402
from semfront import political_democracy_model  # noqa: E402


def rss_kib():
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


class _FillsShell:
    """An int whose conversion fills `shell` first: a nested __init__."""

    def __init__(self, shell):
        self.shell = shell

    def __index__(self):
        type(self.shell).__init__(self.shell, 0, 1, 0, 1)
        return 1


def nested_init():
    shell = _backend.MlEngine.__new__(_backend.MlEngine)
    _backend.MlEngine.__init__(shell, _FillsShell(shell), 1, 0, 1)


def cases():
    m = political_democracy_model(meanstructure=True)
    ml = m.ml_engine(meanstructure=True)
    params = m.start_vector()
    nf = m.n_free
    sigma, mu = ml.get_implied_moments(params)
    S = sigma + 0.05 * np.eye(m.p)
    data = np.random.default_rng(1).multivariate_normal(mu, S, size=20)
    holes = data.copy()
    holes[::3, [1, 4, 7]] = np.nan
    infinite = holes.copy()
    infinite[2, 3] = np.inf
    obs = [list(range(m.p)), list(range(0, m.p, 2))]
    n_obs = [10, 5]
    means = [mu, mu[::2].copy()]
    covs = [S, S[::2, ::2].copy()]
    small = political_democracy_model()
    small_ml = small.ml_engine()
    sp = small.start_vector()

    p = 4
    s_vec = np.full(p * (p - 1) // 2, 0.3)
    dw = _backend.DwlsEngine(p, 0, 1, 0, s_vec, np.ones_like(s_vec), [True] * p)
    for i in range(p):
        dw.add_mapping(0, i, 0, True, i, 0.0)
    dw.add_mapping(4, 0, 0, False, 0, 1.0)
    lam = np.full(p, 0.6)
    x = np.array([0, 1, 2, 1, 0] * 4, dtype=np.int32)
    tau = np.array([-0.5, 0.5])
    pls_data = np.random.default_rng(2).normal(size=(50, 6))
    likert = np.random.default_rng(3).integers(0, 4, size=(200, 6))
    path = np.array([[0.0, 0.0], [1.0, 0.0]])
    pls = _backend.PlsEngine()

    ok = {
        "get_implied_moments": lambda: ml.get_implied_moments(params),
        "objective_ml": lambda: ml.objective_ml(params, S, mu),
        "gradient_ml": lambda: ml.gradient_ml(params, S, mu, nf),
        "expected_hessian_ml": lambda: small_ml.expected_hessian_ml(sp, small.n_free),
        "observed_hessian_ml": lambda: small_ml.observed_hessian_ml(sp, S, None, 5),
        "casewise_scores": lambda: ml.casewise_scores(data, params, nf, True),
        "jacobian_implied_moments": lambda: small_ml.jacobian_implied_moments(sp, 5),
        "objective_fiml": lambda: ml.objective_fiml(params, obs, n_obs, means, covs),
        "gradient_fiml": lambda: ml.gradient_fiml(params, obs, n_obs, means, covs, nf),
        "expected_hessian_fiml": lambda: ml.expected_hessian_fiml(params, obs, n_obs, 8),
        "observed_hessian_fiml": lambda: ml.observed_hessian_fiml(params, obs, n_obs, means, covs, nf),
        "casewise_scores_fiml": lambda: ml.casewise_scores_fiml(holes, params, nf),
        "implied_corr": lambda: dw.implied_corr(lam),
        "objective_dwls": lambda: dw.objective_dwls(lam),
        "gradient_dwls": lambda: dw.gradient_dwls(lam, p),
        "expected_hessian_dwls": lambda: dw.expected_hessian_dwls(lam, p),
        "jacobian_dwls": lambda: dw.jacobian_dwls(lam, p),
        "get_diagonal_residuals": lambda: dw.get_diagonal_residuals(lam),
        "bivariate_loglik": lambda: _backend.bivariate_loglik(x, x[::-1].copy(), tau, tau, 0.3),
        "categorical_casewise_scores":
            lambda: _backend.categorical_casewise_scores(x, x[::-1].copy(), tau, tau, 0.3),
        "polychoric_statistics": lambda: _backend.polychoric_statistics(likert, True),
        "polychoric_statistics(threads)": lambda: _backend.polychoric_statistics(likert, True, 2),
        "run_algorithm": lambda: pls.run_algorithm(pls_data, [[0, 1, 2], [3, 4, 5]], ["A", "B"],
                                                   path, 20, 1e-7),
        "MlEngine+add_mapping": lambda: political_democracy_model().ml_engine(),
    }
    bad = {
        "objective_ml(bad S)": lambda: ml.objective_ml(params, S[:3, :3], mu),
        "gradient_ml(bad n_free)": lambda: ml.gradient_ml(params, S, mu, 999),
        "objective_fiml(bad index)": lambda: ml.objective_fiml(params, [[99]], [1], [mu[:1]],
                                                               [S[:1, :1]]),
        "casewise_scores_fiml(inf)": lambda: ml.casewise_scores_fiml(infinite, params, nf),
        "add_mapping(bad cell)": lambda: ml.add_mapping(0, 99, 0, True, 0, 0.0),
        "bivariate_loglik(bad code)": lambda: _backend.bivariate_loglik(x + 5, x, tau, tau, 0.3),
        "polychoric_statistics(bad column)":
            lambda: _backend.polychoric_statistics(np.column_stack([x, x + 1]), False),
        "run_algorithm(bad block)": lambda: pls.run_algorithm(pls_data, [[0, 9]], ["A"],
                                                              np.zeros((1, 1)), 5, 1e-7),
        "get_implied_moments(str)": lambda: ml.get_implied_moments("nope"),
        "MlEngine.__init__(nested)": nested_init,
    }
    return ok, bad


def measure(name, fn, calls, expect_error):
    def once():
        if expect_error:
            try:
                fn()
            except (TypeError, ValueError):
                return
            raise AssertionError(f"{name} did not raise")
        fn()

    for _ in range(min(2000, calls // 10)):
        once()
    before = rss_kib()
    for _ in range(calls):
        once()
    after = rss_kib()
    return before, after


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=100_000)
    ap.add_argument("--error-calls", type=int, default=10_000)
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    ok, bad = cases()
    print(f"{'method':<32} {'calls':>8} {'RSS before':>11} {'RSS after':>10} {'growth':>8}")
    worst = 0
    for group, calls, err in ((ok, args.calls, False), (bad, args.error_calls, True)):
        for name, fn in group.items():
            if args.only and args.only not in name:
                continue
            before, after = measure(name, fn, calls, err)
            worst = max(worst, after - before)
            print(f"{name:<32} {calls:>8} {before:>8} KiB {after:>7} KiB {after - before:>5} KiB",
                  flush=True)
    print(f"largest growth after warm-up: {worst} KiB")


if __name__ == "__main__":
    main()
