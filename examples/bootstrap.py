"""Bootstrap standard errors of the political-democracy ML fit, scaled out
over worker processes.

The engine is pickled to the workers; each task refits the model on a chunk
of resamples. Runs on Dask's distributed scheduler (a LocalCluster of worker
processes by default, or a running scheduler when its address is given) or
on a concurrent.futures process pool:

    python examples/main.py bootstrap --workers 2
    python examples/main.py bootstrap --scheduler tcp://127.0.0.1:8786
    python examples/main.py bootstrap --pool process --workers 2
"""
from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
from scipy.optimize import minimize

from fit_ml import standard_errors
from semfront import political_democracy_data, political_democracy_model


def fit_ml(engine, S, start):
    """ML estimates for one sample covariance matrix (divisor N).

    Newton steps on the exact Hessian inside a trust region: a step into a
    region where Sigma is not positive definite (objective 1e15) only
    shrinks the region, where a quasi-Newton line search can stall and
    report a point short of the minimum as converged.
    """
    n = len(start)
    res = minimize(lambda t: engine.objective_ml(t, S), start,
                   jac=lambda t: engine.gradient_ml(t, S, None, n),
                   hess=lambda t: engine.observed_hessian_ml(t, S, None, n),
                   method="trust-exact", options={"gtol": 1e-7, "maxiter": 500})
    return res.x, res.fun


def covariance(x):
    d = x - x.mean(axis=0)
    return d.T @ d / len(x)


def bootstrap_chunk(engine, data, start, seeds):
    """Refit on one resample per seed; returns len(seeds) x n_free estimates."""
    out = np.empty((len(seeds), len(start)))
    for i, seed in enumerate(seeds):
        rows = np.random.default_rng(seed).integers(0, len(data), len(data))
        out[i], _ = fit_ml(engine, covariance(data[rows]), start)
    return out


def chunks(n_boot, n_chunks, seed=2026):
    seeds = np.random.SeedSequence(seed).generate_state(n_boot)
    return [s.tolist() for s in np.array_split(seeds, n_chunks) if len(s)]


def run_dask(engine, data, start, seed_chunks, workers, address):
    from dask.distributed import Client, LocalCluster

    if address:
        client, cluster = Client(address), None
    else:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        t0 = time.perf_counter()
        [eng] = client.scatter([engine], broadcast=True)
        futures = [client.submit(bootstrap_chunk, eng, data, start, s, pure=False)
                   for s in seed_chunks]
        results = client.gather(futures)
        return np.vstack(results), time.perf_counter() - t0
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def run_pool(engine, data, start, seed_chunks, workers):
    # Fresh interpreters rather than forks of this (possibly threaded) one.
    ctx = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=ctx) as pool:
        t0 = time.perf_counter()
        futures = [pool.submit(bootstrap_chunk, engine, data, start, s) for s in seed_chunks]
        results = [f.result() for f in futures]
        return np.vstack(results), time.perf_counter() - t0


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="bootstrap", description=__doc__.split("\n\n")[0])
    ap.add_argument("--resamples", type=int, default=1000)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--pool", choices=["dask", "process"], default="dask")
    ap.add_argument("--scheduler", default="", help="address of a running Dask scheduler")
    return ap


def main(argv: list[str] | None = None):
    args = parser().parse_args([] if argv is None else argv)
    # One BLAS thread per worker process: the workers are the parallelism,
    # and oversubscribed BLAS threads only contend for the cores.
    os.environ["OPENBLAS_NUM_THREADS"] = "1"
    os.environ["OMP_NUM_THREADS"] = "1"

    names_data, data = political_democracy_data()
    model = political_democracy_model()
    engine = model.ml_engine()
    S = covariance(data)
    est, fmin = fit_ml(engine, S, model.start_vector())
    # Normal-theory SEs, cov = (2/N) H^-1, and the sandwich ones, which the
    # nonparametric bootstrap estimates without assuming normality.
    se_ml, se_robust = standard_errors(model, engine, data, S, est)

    seed_chunks = chunks(args.resamples, max(1, 4 * args.workers))
    if args.pool == "dask":
        boots, wall = run_dask(engine, data, est, seed_chunks, args.workers, args.scheduler)
        where = args.scheduler or f"LocalCluster, {args.workers} worker processes"
    else:
        boots, wall = run_pool(engine, data, est, seed_chunks, args.workers)
        where = f"process pool, {args.workers} workers"
    se_boot = boots.std(axis=0, ddof=1)

    print(f"Bootstrap of the political-democracy ML fit: {len(boots)} resamples on {where}")
    print(f"wall time {wall:.1f} s ({1000 * wall / len(boots):.1f} ms per resample)\n")
    print(f"{'parameter':<16} {'estimate':>9} {'SE (ML)':>8} {'robust':>8} {'boot':>8}"
          f" {'boot/ML':>8} {'boot/rob':>8}")
    for name, e, a, r, b in zip(model.names, est, se_ml, se_robust, se_boot):
        print(f"{name:<16} {e:9.3f} {a:8.3f} {r:8.3f} {b:8.3f} {b / a:8.2f} {b / r:8.2f}")
    for label, ref in (("ML", se_ml), ("robust", se_robust)):
        ratio = se_boot / ref
        print(f"bootstrap/{label} SE ratio: median {np.median(ratio):.2f}, "
              f"range {ratio.min():.2f} to {ratio.max():.2f}")
    # With B resamples an SE estimate carries a relative error of about
    # 1/sqrt(2(B-1)); the ratios' spread beyond that is the data's
    # departure from normality, which only the robust SEs account for.
    print(f"(relative bootstrap error of one SE: about {1 / np.sqrt(2 * (len(boots) - 1)):.1%})")
    return est, se_ml, se_boot, wall


if __name__ == "__main__":
    main(sys.argv[1:])
