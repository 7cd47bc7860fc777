"""Timing of PlsEngine.run_algorithm.

Per size: the median time of one outer pass (the difference between runs
with `max_iter` passes and with none, divided by the passes) next to the
same pass written in NumPy, measured in this run; then the wall-time
speed-up of two concurrent calls (two threads) over the same two calls one
after the other, which needs the interpreter lock released.

    PYTHONPATH=build/dev python bench/bench_pls.py
"""
import statistics
import threading
import time

import numpy as np

import _backend

BLOCK_SIZE = 4


def model(n, J, seed=1):
    rng = np.random.default_rng(seed)
    path = np.eye(J, k=-1)
    path[2:, 0] = 1.0  # the first composite also predicts every later one
    eta = np.zeros((n, J))
    for j in range(J):
        eta[:, j] = eta @ (0.4 * path[j]) + rng.normal(size=n)
    data = np.repeat(eta, BLOCK_SIZE, axis=1) + rng.normal(size=(n, J * BLOCK_SIZE))
    blocks = [list(range(BLOCK_SIZE * j, BLOCK_SIZE * (j + 1))) for j in range(J)]
    modes = ["A" if j % 2 == 0 else "B" for j in range(J)]
    return np.asfortranarray(data), blocks, modes, path


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def numpy_pass(Z, Y, G, blocks, modes):
    """One outer pass in NumPy (inner estimate, outer estimate, new scores)."""
    n = Z.shape[0]
    T = Y @ ((Y.T @ Y / (n - 1)) * G)
    T = (T - T.mean(axis=0)) / T.std(axis=0, ddof=1)
    W = np.zeros((Z.shape[1], len(blocks)))
    for j, b in enumerate(blocks):
        X = Z[:, b]
        W[b, j] = X.T @ T[:, j] / (n - 1) if modes[j] == "A" else np.linalg.lstsq(
            X, T[:, j], rcond=None)[0]
    Y = Z @ W
    return (Y - Y.mean(axis=0)) / Y.std(axis=0, ddof=1)


def per_pass_table():
    engine = _backend.PlsEngine()
    print(f"{'n':>7} {'J':>3} {'P':>3} {'call, 0 passes':>15} {'per pass':>11} "
          f"{'NumPy pass':>11} {'ratio':>6}")
    for n in (500, 5_000, 50_000):
        for J in (3, 10):
            data, blocks, modes, path = model(n, J)
            passes = 200 if n <= 5_000 else 20
            repeats = 7 if n <= 5_000 else 5
            t0 = median_time(lambda: engine.run_algorithm(data, blocks, modes, path, 0, 0.0),
                             repeats)
            tk = median_time(lambda: engine.run_algorithm(data, blocks, modes, path, passes, 0.0),
                             repeats)
            per_pass = (tk - t0) / passes
            Z = (data - data.mean(axis=0)) / data.std(axis=0, ddof=1)
            W0 = np.zeros((data.shape[1], J))
            for j, b in enumerate(blocks):
                W0[b, j] = 1.0
            Y = Z @ W0
            Y = (Y - Y.mean(axis=0)) / Y.std(axis=0, ddof=1)
            G = np.minimum(path + path.T, 1.0)
            t_np = median_time(lambda: numpy_pass(Z, Y, G, blocks, modes), repeats)
            print(f"{n:>7} {J:>3} {data.shape[1]:>3} {t0 * 1e3:>12.3f} ms {per_pass * 1e6:>8.1f} us "
                  f"{t_np * 1e6:>8.1f} us {t_np / per_pass:>5.1f}x")


def speed_up(n=50_000, J=10, passes=60, repeats=5):
    engine = _backend.PlsEngine()
    problems = [model(n, J, seed) for seed in (1, 2)]

    def call(p):
        engine.run_algorithm(p[0], p[1], p[2], p[3], passes, 0.0)

    def sequential():
        for p in problems:
            call(p)

    def concurrent():
        threads = [threading.Thread(target=call, args=(p,)) for p in problems]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    t_seq = median_time(sequential, repeats)
    t_con = median_time(concurrent, repeats)
    print(f"\ntwo calls (n = {n}, J = {J}, {passes} passes each): sequential {t_seq:.3f} s, "
          f"two threads {t_con:.3f} s, speed-up {t_seq / t_con:.2f}x")


def main():
    per_pass_table()
    speed_up()


if __name__ == "__main__":
    main()
