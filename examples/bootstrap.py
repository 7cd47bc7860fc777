"""Bootstrap standard errors of the political-democracy ML fit, scaled out
over worker processes.

The engine is pickled to the workers; each task refits the model on a chunk
of resamples (a few chunks per worker, so a task's cost hides the
scheduler's). A refit starts from the full-sample estimate, takes Fisher
scoring steps and ends with one Newton step on the exact Hessian. Runs on
Dask's distributed scheduler (a LocalCluster of worker processes by default,
or a running scheduler when its address is given) or on a concurrent.futures
process pool, with a progress bar:

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
from concurrent.futures import ProcessPoolExecutor, as_completed

import numpy as np

import estimation
import report
from fit_ml import standard_errors
from semfront import political_democracy_data, political_democracy_model

CHUNKS_PER_WORKER = 4


def fit_ml(engine, S, start):
    """ML estimates for one sample covariance matrix (divisor N)."""
    res = estimation.fit_ml(engine, S, start, newton=True, tol=1e-12)
    return res.x, res.fun, res.converged


def covariance(x):
    d = x - x.mean(axis=0)
    return d.T @ d / len(x)


def bootstrap_chunk(engine, data, start, seeds):
    """Refit on one resample per seed: len(seeds) x n_free estimates and
    the number of refits that did not converge."""
    out = np.empty((len(seeds), len(start)))
    failed = 0
    for i, seed in enumerate(seeds):
        rows = np.random.default_rng(seed).integers(0, len(data), len(data))
        out[i], _, ok = fit_ml(engine, covariance(data[rows]), start)
        failed += not ok
    return out, failed


def chunks(n_boot, n_chunks, seed=2026):
    seeds = np.random.SeedSequence(seed).generate_state(n_boot)
    return [s.tolist() for s in np.array_split(seeds, n_chunks) if len(s)]


def warm(delay: float = 0.0) -> int:
    """Load a worker's imports before the clock starts."""
    time.sleep(delay)
    return os.getpid()


def collect(results):
    return np.vstack([r[0] for r in results]), sum(r[1] for r in results)


def run_dask(engine, data, start, seed_chunks, workers, address, progress_bar=True):
    from dask.distributed import Client, LocalCluster, progress

    if address:
        client, cluster = Client(address), None
    else:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        client.run(warm)
        t0 = time.perf_counter()
        [eng] = client.scatter([engine], broadcast=True)
        futures = [client.submit(bootstrap_chunk, eng, data, start, s, pure=False)
                   for s in seed_chunks]
        if progress_bar:
            progress(futures)  # draws on stdout and erases itself when done
        results = client.gather(futures)
        return *collect(results), time.perf_counter() - t0
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def run_pool(engine, data, start, seed_chunks, workers, progress_bar=True):
    from tqdm import tqdm

    # Fresh interpreters rather than forks of this (possibly threaded) one.
    ctx = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=ctx) as pool:
        # One warm-up task per worker: each sleeps, so no worker takes two.
        for f in [pool.submit(warm, 0.2) for _ in range(workers)]:
            f.result()
        t0 = time.perf_counter()
        futures = [pool.submit(bootstrap_chunk, engine, data, start, s) for s in seed_chunks]
        n_total = sum(len(s) for s in seed_chunks)
        with tqdm(total=n_total, unit="resample", disable=not progress_bar,
                  file=sys.stderr) as bar:
            for f, size in zip(as_completed(futures), map(len, seed_chunks)):
                bar.update(size)
        results = [f.result() for f in futures]
        return *collect(results), time.perf_counter() - t0


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="bootstrap", description=__doc__.split("\n\n")[0])
    ap.add_argument("--resamples", type=int, default=1000)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--pool", choices=["dask", "process"], default="dask")
    ap.add_argument("--scheduler", default="", help="address of a running Dask scheduler")
    ap.add_argument("--no-progress", action="store_true", help="no progress bar")
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
    est, fmin, _ = fit_ml(engine, S, model.start_vector())
    # Normal-theory SEs, cov = (2/N) H^-1, and the sandwich ones, which the
    # nonparametric bootstrap estimates without assuming normality.
    se_ml, se_robust = standard_errors(model, engine, data, S, est)

    seed_chunks = chunks(args.resamples, max(1, CHUNKS_PER_WORKER * args.workers))
    show = not args.no_progress
    if args.pool == "dask":
        boots, failed, wall = run_dask(engine, data, est, seed_chunks, args.workers,
                                       args.scheduler, show)
        where = args.scheduler or f"LocalCluster, {args.workers} worker processes"
    else:
        boots, failed, wall = run_pool(engine, data, est, seed_chunks, args.workers, show)
        where = f"process pool, {args.workers} workers"
    se_boot = boots.std(axis=0, ddof=1)

    print(f"Bootstrap of the political-democracy ML fit: {len(boots)} resamples on {where}, "
          f"{len(seed_chunks)} tasks")
    print(f"wall time {wall:.2f} s after the workers started "
          f"({1000 * wall / len(boots):.2f} ms per resample); "
          f"{len(boots) - failed} of {len(boots)} refits converged")
    print("Std.Err from the expected information, robust: sandwich, boot: bootstrap")
    report.print_lines(report.parameter_table(model.names, est, se_ml,
                                              {"robust": se_robust, "boot": se_boot}))
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
