"""Wall time of the bootstrap example's resampling, after the workers start.

Baseline: the same refits in this process, one after the other. Then the
process pool and Dask's LocalCluster with 1 and 2 workers; each line gives
the median over the repeats and its ratio to the 1-worker time of the same
back end and to the baseline.

    PYTHONPATH=build/dev python bench/bench_bootstrap.py [--resamples 1000] [--repeats 3]
"""
import argparse
import os
import statistics
import sys
import time
from pathlib import Path

os.environ["OPENBLAS_NUM_THREADS"] = "1"
os.environ["OMP_NUM_THREADS"] = "1"
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import bootstrap  # noqa: E402
from semfront import political_democracy_data, political_democracy_model  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--resamples", type=int, default=1000)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    _, data = political_democracy_data()
    model = political_democracy_model()
    engine = model.ml_engine()
    est, _, _ = bootstrap.fit_ml(engine, bootstrap.covariance(data), model.start_vector())

    def in_process():
        t0 = time.perf_counter()
        [seeds] = bootstrap.chunks(args.resamples, 1)
        bootstrap.bootstrap_chunk(engine, data, est, seeds)
        return time.perf_counter() - t0

    def on(pool, workers):
        seeds = bootstrap.chunks(args.resamples, bootstrap.CHUNKS_PER_WORKER * workers)
        if pool == "dask":
            *_, wall = bootstrap.run_dask(engine, data, est, seeds, workers, "", False)
        else:
            *_, wall = bootstrap.run_pool(engine, data, est, seeds, workers, False)
        return wall

    base = statistics.median(in_process() for _ in range(args.repeats))
    print(f"{args.resamples} resamples, median of {args.repeats}; load average "
          f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print(f"{'back end':<14}{'workers':>8}{'wall s':>9}{'ms/refit':>10}{'vs 1 worker':>13}"
          f"{'vs in-process':>15}")
    print(f"{'in-process':<14}{1:>8}{base:>9.2f}{1e3 * base / args.resamples:>10.2f}"
          f"{'':>13}{1.0:>15.2f}")
    for pool in ("process", "dask"):
        one = None
        for workers in (1, 2):
            wall = statistics.median(on(pool, workers) for _ in range(args.repeats))
            one = one or wall
            print(f"{pool:<14}{workers:>8}{wall:>9.2f}{1e3 * wall / args.resamples:>10.2f}"
                  f"{one / wall:>12.2f}x{base / wall:>14.2f}x")


if __name__ == "__main__":
    main()
