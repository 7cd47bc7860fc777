"""ML methods against one Cholesky factorisation of the same Sigma, per kernel.

On the generated CFAs and structural models of bench_derivatives.py
(p = 20 / 60 / 100), times NumPy's Cholesky of the model's Sigma (the unit),
objective_ml, gradient_ml, expected_hessian_ml and observed_hessian_ml, and
a Fisher-scoring and an L-BFGS-B fit of the p = 60 CFA from its start
vector. Every figure is measured twice, each time in a child process of its
own: with the kernel this CPU selects, and with the baseline x86-64 kernel,
forced by masking AVX2 and FMA from the C library's CPU features
(GLIBC_TUNABLES). --compare DIR adds a third child that imports the module
from DIR (an earlier build, say) for the same rows. Ratios are against the
Cholesky measured in the same child; each child first warms the heap as
bench_derivatives.py does.

    PYTHONPATH=build/dev python bench/bench_ml_core.py [--quick] [--cpu] [--compare DIR]

NumPy's own BLAS is part of the unit: run with OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE unset (where they are set) so that it uses its native kernels.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generated_models as gm  # noqa: E402

MASK_V3 = "glibc.cpu.hwcaps=-AVX2,-FMA"
TARGETS_AT_60_100 = {"objective_ml": 2.5, "gradient_ml": 4.0}
METHODS = ("numpy.linalg.cholesky(Sigma)", "objective_ml", "gradient_ml", "expected_hessian_ml",
           "observed_hessian_ml")


def median_time(f, clock, budget: float, min_reps: int) -> float:
    f()
    times: list[float] = []
    start = time.perf_counter()
    while len(times) < min_reps or (time.perf_counter() - start < budget and len(times) < 20000):
        t0 = clock()
        f()
        times.append(clock() - t0)
    return statistics.median(times)


def fits(prob: gm.Problem, clock, reps: int) -> dict[str, tuple[float, int]]:
    """Median time and iterations of a Fisher-scoring and an L-BFGS-B fit."""
    from scipy.optimize import minimize

    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
    from estimation import fit_ml

    S, k, start = prob.sample_cov, prob.n_free, prob.model.start_vector()
    out = {}
    for name, run in (
        ("Fisher scoring", lambda e: fit_ml(e, S, start)),
        ("L-BFGS-B", lambda e: minimize(lambda t: e.objective_ml(t, S), start, jac=lambda t: e.gradient_ml(
            t, S, None, k), method="L-BFGS-B", options={"maxiter": 5000, "gtol": 1e-7}))):
        times, iters = [], 0
        for _ in range(reps):
            e = prob.engine()
            t0 = clock()
            res = run(e)
            times.append(clock() - t0)
            iters = int(getattr(res, "iterations", getattr(res, "nit", 0)))
        out[name] = (statistics.median(times), iters)
    return out


def warm_heap() -> None:
    """As in bench_derivatives.py: free one block above glibc's mmap threshold,
    which raises the heap's trim threshold, so buffers freed by a call stay
    mapped for the next one (the state of any process holding large arrays)."""
    block = np.ones(3_000_000)
    del block


def worker(quick: bool, cpu: bool) -> None:
    """Runs in a child: prints one JSON record of medians."""
    import _backend  # noqa: F401

    warm_heap()
    clock = time.thread_time if cpu else time.perf_counter
    budget, reps = (0.1, 3) if quick else (0.6, 5)
    rows: dict[str, dict[str, float]] = {}
    for build in (gm.cfa, gm.structural):
        for p, factors, n_free in gm.SIZES:
            prob = build(p, factors, n_free)
            e = prob.engine()
            th, S, xbar, k = prob.theta, prob.sample_cov, prob.sample_mean, prob.n_free
            Sigma, _ = e.get_implied_moments(th)
            slow = 0.3 if p == 100 else 1.0
            rows[f"{prob.label} n_free={k}"] = {
                METHODS[0]: median_time(lambda: np.linalg.cholesky(Sigma), clock, budget, reps),
                METHODS[1]: median_time(lambda: e.objective_ml(th, S, xbar), clock, budget, reps),
                METHODS[2]: median_time(lambda: e.gradient_ml(th, S, xbar, k), clock, budget, reps),
                METHODS[3]: median_time(lambda: e.expected_hessian_ml(th, k), clock, budget * slow, 3),
                METHODS[4]: median_time(lambda: e.observed_hessian_ml(th, S, xbar, k), clock,
                                        budget * slow, 3),
            }
    fit = fits(gm.cfa(60, 6, 200), clock, 1 if quick else 3)
    print(json.dumps({"rows": rows, "fits": fit, "module": _backend.__file__}))


def child(args, env_extra: dict[str, str], pythonpath: str | None = None) -> dict:
    env = dict(os.environ, **env_extra)
    if pythonpath is not None:
        env["PYTHONPATH"] = pythonpath
    cmd = [sys.executable, __file__, "--worker"] + (["--quick"] if args.quick else []) + (
        ["--cpu"] if args.cpu else [])
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def fmt(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-6:.3g} us"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short run")
    parser.add_argument("--cpu", action="store_true", help="CPU time of the thread instead of wall time")
    parser.add_argument("--compare", metavar="DIR", help="also time the module found in DIR")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.quick, args.cpu)
        return
    runs = {"selected kernel": child(args, {}),
            "baseline kernel": child(args, {"GLIBC_TUNABLES": MASK_V3})}
    if args.compare:
        runs[f"module in {args.compare}"] = child(args, {}, args.compare)
    names = list(runs)
    print(f"medians of {'thread_time' if args.cpu else 'perf_counter'}; load average "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())} on {os.cpu_count()} cores; "
          f"each column a child process")
    for n in names:
        print(f"  {n}: {runs[n]['module']}")
    for model in runs[names[0]]["rows"]:
        print(f"\n{model}")
        head = "".join(f" | {n[:22]:>22} {'x chol':>7}" for n in names)
        print(f"  {'method':<30}{head}   target")
        big = not model.startswith(("CFA p=20 ", "SEM p=20 "))
        for method in METHODS:
            cells = ""
            for n in names:
                row = runs[n]["rows"][model]
                t = row[method]
                cells += f" | {fmt(t):>22} {t / row[METHODS[0]]:>7.2f}"
            target = TARGETS_AT_60_100.get(method)
            mark = ""
            if big and target is not None:
                r = runs[names[0]]["rows"][model][method] / runs[names[0]]["rows"][model][METHODS[0]]
                mark = f"<= {target:g} " + ("ok" if r <= target else "MISS")
            print(f"  {method:<30}{cells}   {mark}")
        sel = runs[names[0]]["rows"][model]
        print(f"  {'gradient / objective':<30} {sel[METHODS[2]] / sel[METHODS[1]]:.2f} (<= 3); "
              f"observed / expected {sel[METHODS[4]] / sel[METHODS[3]]:.2f}")
    print("\nfits of the CFA p=60 from its start vector")
    for fit in runs[names[0]]["fits"]:
        cells = "".join(f" | {n}: {fmt(runs[n]['fits'][fit][0])} ({runs[n]['fits'][fit][1]} it.)"
                        for n in names)
        print(f"  {fit:<16}{cells}")


if __name__ == "__main__":
    main()
