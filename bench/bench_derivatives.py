"""Cost of the analytic derivatives against the objective, measured in one run.

Models (bench/generated_models.py, fixed seeds, data drawn from the model,
evaluated at the generating parameters slightly perturbed):
  - all-x CFA, p = 20/60/100 on 2/6/8 factors, n_free = 50/200/300;
  - structural model of the same sizes on the y side (Beta chain, two
    covariates through Gamma, covariance part 50/200/300 parameters plus
    p free intercepts, mean structure on), N = 500;
  - FIML, p = 40, 200 missing-data patterns, N = 2000, n_free = 126;
  - casewise_scores for N = 10,000 on the p = 60 CFA against N objectives.

Each figure is a median of time.perf_counter() (--cpu: time.thread_time(),
steadier on a shared machine) over repeats after one warm-up call, in one
of two heap states. The main process first frees one large block, which
(glibc) raises the heap trim threshold, so buffers freed by a call stay
mapped for the next one: its figures are the warm state that any process
holding large NumPy arrays is in. "fresh process" figures come
from new interpreters that have only unpickled the engine (medians over
several of them): the first call pays for lazy binding and first-touch page
faults, and later calls still fault on every buffer the heap gave back.
The FIML table also times observed_hessian_fiml and casewise_scores_fiml
("n/a" while the engine lacks them), after checking the first against
differences of the gradient and the second's column sums against it.

    PYTHONPATH=build/dev python bench/bench_derivatives.py [--quick] [--cpu]
"""
from __future__ import annotations

import argparse
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generated_models as gm  # noqa: E402

# Bounds on the ratios that the structured derivatives aim for.
ML_TARGETS = {"gradient": 3.0, "fresh": 3.0, "observed": 3.0}
EXPECTED_TARGET_AT_P100 = 25.0
FIML_TARGETS = {"expected": 30.0, "gradient": 3.0, "observed_fiml": 3.0, "scores_fiml": 2.0}

# A fresh interpreter that has only unpickled the engine: its first call pays
# for lazy symbol binding and first-touch page faults of every buffer, later
# calls fault again on whatever the heap returned to the system. Objective
# and gradient run in separate processes so neither warms the other.
CHILD = r"""
import pickle, statistics, sys, time
import _backend  # noqa: F401
clock = getattr(time, sys.argv[3])
with open(sys.argv[1], "rb") as fh:
    engine, theta, S, mean, n_free = pickle.load(fh)
call = (lambda: engine.objective_ml(theta, S, mean)) if sys.argv[2] == "objective" else (
    lambda: engine.gradient_ml(theta, S, mean, n_free))
times = []
for _ in range(11):
    t0 = clock()
    call()
    times.append(clock() - t0)
print(times[0], statistics.median(times[1:]))
"""


class Timer:
    def __init__(self, quick: bool, cpu: bool):
        self.clock_name = "thread_time" if cpu else "perf_counter"
        self.clock = getattr(time, self.clock_name)
        self.budget = 0.15 if quick else 1.0
        self.min_reps = 3 if quick else 5
        self.fresh_runs = 3 if quick else 7

    def median(self, f) -> float:
        f()  # warm-up (also fills the engine's log|S| cache)
        times: list[float] = []
        start = time.perf_counter()
        while len(times) < self.min_reps or (time.perf_counter() - start < self.budget and len(times) < 10000):
            t0 = self.clock()
            f()
            times.append(self.clock() - t0)
        return statistics.median(times)

    def fresh(self, engine, prob: gm.Problem) -> dict[str, float]:
        """Medians over fresh processes of the first call and of the median of
        the next ten, for the objective and (in other processes) the gradient."""
        out: dict[str, list[float]] = {}
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "engine.pkl")
            with open(path, "wb") as fh:
                pickle.dump((engine, prob.theta, prob.sample_cov, prob.sample_mean, prob.n_free), fh)

            def run(what: str) -> list[str]:
                return subprocess.run([sys.executable, "-c", CHILD, path, what, self.clock_name], check=True,
                                      capture_output=True, text=True).stdout.split()

            for _ in range(self.fresh_runs):
                for what in ("objective", "gradient"):
                    first, later = map(float, run(what))
                    out.setdefault(what + " 1st", []).append(first)
                    out.setdefault(what + " later", []).append(later)
        return {key: statistics.median(times) for key, times in out.items()}


def fmt(seconds: float | None) -> str:
    if seconds is None:
        return "n/a"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-6:.3g} us"


def print_table(title: str, rows: list[tuple[str, float | None, str, float | None, float | None]]) -> None:
    """rows: (method, seconds, ratio label, ratio, target bound)."""
    print(f"\n{title}")
    print(f"  {'method':<38} {'median':>10}   {'ratio':<30} {'value':>8} {'target':>8}")
    for name, t, label, ratio, bound in rows:
        r = ("n/a" if label else "") if ratio is None else f"{ratio:.3g}"
        if bound is None:
            b = ""
        else:
            b = f"<= {bound:g}" + ("" if ratio is None else ("  ok" if ratio <= bound else "  MISS"))
        print(f"  {name:<38} {fmt(t):>10}   {label:<30} {r:>8} {b:>8}")


def ratio(a: float | None, b: float | None) -> float | None:
    return None if a is None or b is None else a / b


def directional_check(prob: gm.Problem, objective, gradient) -> float:
    """Gap between the gradient along a random unit direction and a central
    difference of the objective, relative to |g| (step 1e-6: ~1e-8 at these
    scales); a wrong derivative shows up at order one."""
    v = np.random.default_rng(0).standard_normal(prob.n_free)
    v /= np.linalg.norm(v)
    h = 1e-6
    fd = (objective(prob.theta + h * v) - objective(prob.theta - h * v)) / (2 * h)
    g = gradient(prob.theta) @ v
    return abs(fd - g) / np.linalg.norm(gradient(prob.theta))


def sanity(prob: gm.Problem, F: float, g: np.ndarray, gap: float) -> str:
    if not np.isfinite(F) or F >= 1e15 or not np.all(np.isfinite(g)) or np.any(g == 1e10):
        raise SystemExit(f"{prob.label}: the model is not sensible (objective {F})")
    flag = "" if gap < 1e-5 else "  <-- gradient disagrees with the objective"
    return f"F = {F:.4g}, |g| = {np.linalg.norm(g):.3g}, directional check {gap:.1e}{flag}"


def bench_ml(prob: gm.Problem, timer: Timer) -> None:
    e = prob.engine()
    th, S, xbar, k = prob.theta, prob.sample_cov, prob.sample_mean, prob.n_free
    gap = directional_check(prob, lambda t: e.objective_ml(t, S, xbar), lambda t: e.gradient_ml(t, S, xbar, k))
    note = sanity(prob, e.objective_ml(th, S, xbar), e.gradient_ml(th, S, xbar, k), gap)
    t_obj = timer.median(lambda: e.objective_ml(th, S, xbar))
    t_grad = timer.median(lambda: e.gradient_ml(th, S, xbar, k))
    fresh = timer.fresh(e, prob)
    t_exp = timer.median(lambda: e.expected_hessian_ml(th, k))
    t_obs = timer.median(lambda: e.observed_hessian_ml(th, S, xbar, k))
    exp_bound = EXPECTED_TARGET_AT_P100 if prob.model.p == 100 else None
    print_table(f"{prob.label} n_free={k} N={len(prob.data)}: {note}", [
        ("objective_ml", t_obj, "", None, None),
        ("gradient_ml", t_grad, "gradient / objective", t_grad / t_obj, ML_TARGETS["gradient"]),
        ("objective_ml, fresh process: 1st", fresh["objective 1st"], "", None, None),
        ("gradient_ml, fresh process: 1st", fresh["gradient 1st"], "gradient / objective, both 1st",
         fresh["gradient 1st"] / fresh["objective 1st"], ML_TARGETS["fresh"]),
        ("objective_ml, fresh process: 2nd-11th", fresh["objective later"], "", None, None),
        ("gradient_ml, fresh process: 2nd-11th", fresh["gradient later"], "gradient / objective, fresh",
         fresh["gradient later"] / fresh["objective later"], ML_TARGETS["fresh"]),
        ("expected_hessian_ml", t_exp, "expected / objective", t_exp / t_obj, exp_bound),
        ("observed_hessian_ml", t_obs, "observed / expected", t_obs / t_exp, ML_TARGETS["observed"]),
    ])


def fiml_second_check(prob: gm.FimlProblem, e) -> str:
    """Observed information along a random direction against a central
    difference of the gradient, and the scores' column sums against
    -N/2 times the gradient, both relative; a wrong term shows at order one."""
    th, k, pats = prob.theta, prob.n_free, prob.patterns
    v = np.random.default_rng(1).standard_normal(k)
    v /= np.linalg.norm(v)
    h = 1e-5
    fd = (e.gradient_fiml(th + h * v, *pats, k) - e.gradient_fiml(th - h * v, *pats, k)) / (2 * h)
    Hv = e.observed_hessian_fiml(th, *pats, k) @ v
    g = e.gradient_fiml(th, *pats, k)
    s = e.casewise_scores_fiml(prob.data, th, k).sum(axis=0)
    n = sum(prob.n_obs_list)
    return (f"Hessian check {np.linalg.norm(Hv - fd) / np.linalg.norm(Hv):.1e}, "
            f"scores check {np.abs(s + n / 2 * g).max() / (n / 2 * np.abs(g).max()):.1e}")


def bench_fiml(prob: gm.FimlProblem, timer: Timer) -> None:
    e = prob.engine()
    th, k, pats = prob.theta, prob.n_free, prob.patterns
    gap = directional_check(prob, lambda t: e.objective_fiml(t, *pats), lambda t: e.gradient_fiml(t, *pats, k))
    note = sanity(prob, e.objective_fiml(th, *pats), e.gradient_fiml(th, *pats, k), gap)
    t_obj = timer.median(lambda: e.objective_fiml(th, *pats))
    t_grad = timer.median(lambda: e.gradient_fiml(th, *pats, k))
    t_exp = timer.median(lambda: e.expected_hessian_fiml(th, pats[0], pats[1], k))
    # Later methods of the same problem; "n/a" until the engine has them.
    t_ofi = (timer.median(lambda: e.observed_hessian_fiml(th, *pats, k))
             if hasattr(e, "observed_hessian_fiml") else None)
    t_sfi = (timer.median(lambda: e.casewise_scores_fiml(prob.data, th, k))
             if hasattr(e, "casewise_scores_fiml") else None)
    if t_ofi is not None and t_sfi is not None:
        note += "; " + fiml_second_check(prob, e)
    print_table(f"{prob.label} n_free={k} N={sum(prob.n_obs_list)} patterns={len(prob.obs_indices)} "
                f"missing={prob.missing_fraction:.1%}: {note}", [
        ("objective_fiml", t_obj, "", None, None),
        ("gradient_fiml", t_grad, "gradient / objective", t_grad / t_obj, FIML_TARGETS["gradient"]),
        ("expected_hessian_fiml", t_exp, "expected / objective", t_exp / t_obj, FIML_TARGETS["expected"]),
        ("observed_hessian_fiml", t_ofi, "observed / expected", ratio(t_ofi, t_exp), FIML_TARGETS["observed_fiml"]),
        (f"casewise_scores_fiml (N={len(prob.data)})", t_sfi, "scores / gradient", ratio(t_sfi, t_grad),
         FIML_TARGETS["scores_fiml"]),
    ])


def bench_scores(timer: Timer, n: int = 10_000) -> None:
    prob = gm.cfa(60, 6, 200, n=n)
    e = prob.engine()
    th, k = prob.theta, prob.n_free
    t_obj = timer.median(lambda: e.objective_ml(th, prob.sample_cov, None))
    t_sc = timer.median(lambda: e.casewise_scores(prob.data, th, k, False))
    # Column sums of the scores are N/2 times minus the gradient when centred on the sample mean.
    g = e.gradient_ml(th, prob.sample_cov, None, k)
    s = e.casewise_scores(prob.data, th, k, False).sum(axis=0)
    gap = np.abs(s + n / 2 * g).max() / (n / 2 * np.abs(g).max())
    print_table(f"casewise_scores, {prob.label} n_free={k} N={n}: column sums vs gradient {gap:.1e}", [
        ("objective_ml", t_obj, "", None, None),
        (f"casewise_scores (N={n})", t_sc, "scores / (N x objective)", t_sc / (n * t_obj), None),
    ])


def warm_heap() -> None:
    """Free a block above glibc's mmap threshold (24 MB, under its 32 MB cap):
    the thresholds for mmap and for trimming the heap follow it upwards, so
    the in-process figures do not depend on which model happened to run first."""
    block = np.ones(3_000_000)
    del block


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short run: fewer repeats and fresh processes")
    parser.add_argument("--cpu", action="store_true",
                        help="CPU time of the thread (time.thread_time) instead of perf_counter, "
                             "for a machine shared with other jobs")
    args = parser.parse_args()
    timer = Timer(args.quick, args.cpu)
    import _backend

    print(f"_backend: {_backend.__file__}")
    print(f"medians of {timer.clock_name}; {timer.min_reps}+ repeats within {timer.budget:g} s per figure, "
          f"{timer.fresh_runs} fresh processes; load average {load()} on {os.cpu_count()} cores")
    warm_heap()
    start = time.perf_counter()
    for p, factors, n_free in gm.SIZES:
        bench_ml(gm.cfa(p, factors, n_free), timer)
    for p, factors, n_free in gm.SIZES:
        bench_ml(gm.structural(p, factors, n_free), timer)
    bench_fiml(gm.fiml(), timer)
    bench_scores(timer)
    print(f"\ntotal {time.perf_counter() - start:.0f} s; load average {load()}")


if __name__ == "__main__":
    main()
