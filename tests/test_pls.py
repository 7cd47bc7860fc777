"""PLS path modelling (factorial inner weighting, Mode A/B outer estimation).

Checks run_algorithm against closed forms, against ordinary and minimum-norm
least squares, against an independent NumPy implementation of the
algorithm, and checks that the interpreter lock is released while it works.
"""
import sys
import threading

import numpy as np
import pytest

import _backend
from semfront import political_democracy_data

KEYS = ["latent_scores", "outer_weights", "outer_loadings", "inner_paths", "iterations",
        "converged"]


def run(data, blocks, modes, path, max_iter=300, tol=1e-10):
    return _backend.PlsEngine().run_algorithm(data, blocks, modes, np.asarray(path, float),
                                              max_iter, tol)


def standardise(m):
    out = np.zeros_like(m, dtype=float)
    for c in range(m.shape[1]):
        x = m[:, c]
        if np.isfinite(x[0]) and np.all(x == x[0]):
            continue  # no spread at all: a column of zeros
        d = x - x.mean()
        sd = np.sqrt(d @ d / (len(x) - 1))
        out[:, c] = d / (sd if sd >= 1e-15 else 1.0)
    return out


def unit_weights(P, blocks):
    W = np.zeros((P, len(blocks)))
    for j, b in enumerate(blocks):
        W[b, j] = 1.0
    return W


def pls_reference(data, blocks, modes, path, max_iter, tol):
    """The algorithm written out with NumPy (LAPACK least squares, np.cov)."""
    n, P = data.shape
    J = len(blocks)
    Z = standardise(data)
    W = unit_weights(P, blocks)
    Y = standardise(Z @ W)
    G = np.minimum(path + path.T, 1.0)
    lonely = ~(G != 0).any(axis=1)
    it, converged = 0, False
    while it < max_iter:
        W_old = W.copy()
        T = Y @ (np.atleast_2d(np.cov(Y, rowvar=False)) * G)
        T[:, lonely] = Y[:, lonely]
        T = standardise(T)
        for j, b in enumerate(blocks):
            if modes[j] == "A":
                W[b, j] = Z[:, b].T @ T[:, j] / (n - 1)
            else:
                W[b, j] = np.linalg.lstsq(Z[:, b], T[:, j], rcond=None)[0]
        Y = standardise(Z @ W)
        it += 1
        if tol > np.abs(W - W_old).max():
            converged = True
            break
    B = np.zeros((J, J))
    for j in range(J):
        preds = [i for i in range(J) if path[j, i] == 1.0]
        if preds:
            B[preds, j] = np.linalg.lstsq(Y[:, preds], Y[:, j], rcond=None)[0]
    return {"latent_scores": Y, "outer_weights": W, "outer_loadings": Z.T @ Y / (n - 1),
            "inner_paths": B, "iterations": it, "converged": converged}


def simulated(rng, n, block_sizes, path):
    """Composite data: latent variables following `path`, indicators loading on them."""
    J = len(block_sizes)
    eta = np.zeros((n, J))
    for j in range(J):  # path is lower triangular: predictors come first
        eta[:, j] = eta @ (0.5 * path[j]) + rng.normal(size=n)
    cols = [eta[:, [j]] * rng.uniform(0.5, 1.0, k) + rng.normal(size=(n, k))
            for j, k in enumerate(block_sizes)]
    data = np.hstack(cols) * rng.uniform(0.5, 20.0) + rng.normal(size=sum(block_sizes))
    starts = np.cumsum([0] + block_sizes)
    return data, [list(range(starts[j], starts[j + 1])) for j in range(J)]


def chain(J):
    return np.eye(J, k=-1)


def assert_same(a, b):
    for k in KEYS:
        np.testing.assert_array_equal(a[k], b[k], err_msg=k)


# --- result record -----------------------------------------------------------

def test_result_dict_keys_types_and_shapes(rng):
    data, blocks = simulated(rng, 50, [2, 3, 2], chain(3))
    res = run(data, blocks, ["A", "B", "A"], chain(3))
    assert list(res) == KEYS
    assert type(res["iterations"]) is int and type(res["converged"]) is bool
    shapes = [(50, 3), (7, 3), (7, 3), (3, 3)]
    for k, shape in zip(KEYS, shapes):
        assert res[k].dtype == np.float64 and res[k].shape == shape


def test_c_ordered_list_and_fortran_data_agree(rng):
    data, blocks = simulated(rng, 40, [3, 3], chain(2))
    ref = run(np.asfortranarray(data), blocks, ["B", "A"], chain(2))
    assert_same(run(np.ascontiguousarray(data), blocks, ["B", "A"], chain(2)), ref)
    assert_same(run(data.tolist(), blocks, ["B", "A"], chain(2).tolist()), ref)


# --- closed forms --------------------------------------------------------------

@pytest.mark.parametrize("sign", [1.0, -1.0])
def test_two_single_indicators_closed_form(rng, sign):
    # One indicator per block, Mode A: each inner estimate is the other
    # standardised indicator times sign(r), so both weights are |r| after the
    # first pass and the second pass repeats them; the path is r itself.
    x = rng.normal(size=60)
    data = np.column_stack([3 * x + 1, sign * x + rng.normal(size=60)])
    r = np.corrcoef(data, rowvar=False)[0, 1]
    res = run(data, [[0], [1]], ["A", "A"], chain(2))
    # 1e-13: the results are a few standardisations of the same columns
    np.testing.assert_allclose(res["outer_weights"], np.diag([abs(r)] * 2), atol=1e-13)
    np.testing.assert_allclose(res["latent_scores"], standardise(data), atol=1e-13)
    np.testing.assert_allclose(res["outer_loadings"], [[1, r], [r, 1]], atol=1e-13)
    np.testing.assert_allclose(res["inner_paths"], [[0, r], [0, 0]], atol=1e-13)
    assert res["iterations"] == 2 and res["converged"]


def test_single_indicator_blocks_mode_a(rng):
    # Each weight is the correlation of its indicator with the standardised
    # inner estimate, each score the standardised indicator times its sign.
    path = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0]], float)
    data = rng.normal(size=(80, 3)) @ [[1, -0.6, 0.3], [0, 1, 0.5], [0, 0, 1]]
    res = run(data, [[0], [1], [2]], ["A"] * 3, path, tol=0.0, max_iter=20)
    Y, W = res["latent_scores"], res["outer_weights"]
    G = np.minimum(path + path.T, 1.0)
    T = standardise(Y @ (np.corrcoef(Y, rowvar=False) * G))
    w = np.diag(W)
    # 1e-12: rounding of a few standardisations and 3 x 3 products
    np.testing.assert_allclose(w, [np.corrcoef(data[:, j], T[:, j])[0, 1] for j in range(3)],
                               atol=1e-12)
    np.testing.assert_allclose(Y, standardise(data) * np.sign(w), atol=1e-12)


def first_inner_estimate(data, blocks):
    """Two blocks in a chain: each inner estimate is the other composite, signed."""
    Z = standardise(data)
    Y0 = standardise(Z @ unit_weights(data.shape[1], blocks))
    return Z, standardise(Y0[:, ::-1] * np.sign(np.corrcoef(Y0, rowvar=False)[0, 1]))


@pytest.mark.parametrize("k", [1, 2, 5])
def test_mode_b_first_pass_is_ols(rng, k):
    # One pass from unit weights: block 0's weights are the OLS coefficients
    # of its inner estimate on its indicators.
    data, blocks = simulated(rng, 90, [k, 3], chain(2))
    Z, T0 = first_inner_estimate(data, blocks)
    res = run(data, blocks, ["B", "A"], chain(2), max_iter=1, tol=0.0)
    X = Z[:, blocks[0]]
    ols = np.linalg.solve(X.T @ X, X.T @ T0[:, 0])
    # 1e-10: normal equations of a well-conditioned 90 x k design
    np.testing.assert_allclose(res["outer_weights"][blocks[0], 0], ols, atol=1e-10)


@pytest.mark.parametrize("design", ["sum", "duplicate", "wide"])
def test_mode_b_rank_deficient_block_is_minimum_norm(rng, design):
    n, k = (6, 8) if design == "wide" else (70, 3)
    data, blocks = simulated(rng, n, [k, 3], chain(2))
    if design == "sum":
        data[:, 2] = data[:, 0] - 2 * data[:, 1]
    elif design == "duplicate":
        data[:, 2] = data[:, 0]
    Z, T0 = first_inner_estimate(data, blocks)
    res = run(data, blocks, ["B", "A"], chain(2), max_iter=1, tol=0.0)
    w = res["outer_weights"][blocks[0], 0]
    # 1e-8: pseudo-inverse of a design with an exactly zero singular value
    np.testing.assert_allclose(w, np.linalg.pinv(Z[:, blocks[0]]) @ T0[:, 0], atol=1e-8)
    if design == "duplicate":  # the coefficient is split evenly between the copies
        X = Z[:, blocks[0][:2]]
        c = np.linalg.solve(X.T @ X, X.T @ T0[:, 0])[0]
        np.testing.assert_allclose(w[[0, 2]], [c / 2, c / 2], atol=1e-10)


# --- edge cases ------------------------------------------------------------------

def test_isolated_latent_variable_uses_its_own_scores(rng):
    data, blocks = simulated(rng, 100, [3, 2, 4], chain(3))
    path = np.zeros((3, 3))
    path[1, 0] = 1.0  # latent variable 2 has no neighbour
    res = run(data, blocks, ["A", "B", "A"], path, max_iter=200, tol=0.0)
    alone = run(data[:, blocks[2]], [[0, 1, 2, 3]], ["A"], [[0.0]], max_iter=200, tol=0.0)
    # 1e-12: same arithmetic on the block, products summed in another order
    np.testing.assert_allclose(res["outer_weights"][blocks[2], 2],
                               alone["outer_weights"][:, 0], atol=1e-12)
    np.testing.assert_allclose(res["latent_scores"][:, 2], alone["latent_scores"][:, 0],
                               atol=1e-12)
    # Fixed point of Mode A on its own scores: weights are the loadings.
    np.testing.assert_allclose(res["outer_weights"][blocks[2], 2],
                               res["outer_loadings"][blocks[2], 2], atol=1e-10)
    assert not res["inner_paths"][2].any() and not res["inner_paths"][:, 2].any()


@pytest.mark.parametrize("tol", [0.0, -1.0])
def test_non_positive_tol_runs_max_iter_passes(rng, tol):
    data, blocks = simulated(rng, 60, [2, 2], chain(2))
    res = run(data, blocks, ["A", "A"], chain(2), max_iter=7, tol=tol)
    assert res["iterations"] == 7 and res["converged"] is False


@pytest.mark.parametrize("max_iter", [0, -4])
def test_no_passes_keeps_unit_weights(rng, max_iter):
    data, blocks = simulated(rng, 60, [2, 3], chain(2))
    res = run(data, blocks, ["A", "B"], chain(2), max_iter=max_iter)
    W0 = unit_weights(5, blocks)
    assert res["iterations"] == 0 and res["converged"] is False
    np.testing.assert_array_equal(res["outer_weights"], W0)
    # 1e-12: one standardisation of sums of standardised columns
    np.testing.assert_allclose(res["latent_scores"], standardise(standardise(data) @ W0),
                               atol=1e-12)


@pytest.mark.parametrize("mode", ["A", "B"])
def test_constant_indicator_contributes_nothing(rng, mode):
    # 3.7 over 75 cases: the rounded mean leaves deviations of ~5e-15, above
    # the sd guard, so only the exact-constant rule makes this column zeros.
    data, blocks = simulated(rng, 75, [3, 2], chain(2))
    with_const = np.insert(data, 1, 3.7, axis=1)
    res = run(with_const, [[0, 1, 2, 3], [4, 5]], [mode, "A"], chain(2))
    ref = run(data, blocks, [mode, "A"], chain(2))
    assert not res["outer_loadings"][1].any()
    # 1e-10: the same fit; the decomposition sees one more (zero) column
    np.testing.assert_allclose(res["outer_weights"][1], 0.0, atol=1e-12)
    np.testing.assert_allclose(np.delete(res["outer_weights"], 1, axis=0), ref["outer_weights"],
                               atol=1e-10)
    np.testing.assert_allclose(res["latent_scores"], ref["latent_scores"], atol=1e-10)


@pytest.mark.parametrize("exponent", [-150, -16, 154, 150])
@pytest.mark.parametrize("mode", ["A", "B"])
def test_estimates_do_not_depend_on_the_unit_of_measurement(rng, exponent, mode):
    # Under an absolute sd guard and a plain squared norm, 1e-16 made every
    # column "constant" and 1e154 overflowed, both reported as converged.
    data, blocks = simulated(rng, 60, [3, 2], chain(2))
    ulp = np.spacing(3.7)
    wobble = 3.7 + ulp * rng.integers(-1, 2, size=60)  # constant to rounding
    data = np.column_stack([wobble, data])
    blocks = [[0] + [i + 1 for i in blocks[0]], [i + 1 for i in blocks[1]]]
    ref = run(data, blocks, [mode, "A"], chain(2))
    scaled = run(data * 10.0**exponent, blocks, [mode, "A"], chain(2))
    assert ref["converged"] and scaled["converged"]
    assert not ref["outer_loadings"][0].any() and not scaled["outer_loadings"][0].any()
    for key in ("outer_weights", "outer_loadings", "inner_paths", "latent_scores"):
        # 1e-12: the scaled data differ from the original by one rounding each
        np.testing.assert_allclose(scaled[key], ref[key], atol=1e-12, err_msg=key)


@pytest.mark.parametrize("mode", ["a", "b", "", "AA", " A", "Mode A"])
def test_only_exact_A_selects_mode_a(rng, mode):
    data, blocks = simulated(rng, 50, [3, 3], chain(2))
    res = run(data, blocks, [mode, mode], chain(2))
    assert_same(res, run(data, blocks, ["B", "B"], chain(2)))
    assert not np.allclose(res["outer_weights"], run(data, blocks, ["A", "A"],
                                                     chain(2))["outer_weights"])


def test_path_entry_two_makes_adjacency_but_no_path(rng):
    data, blocks = simulated(rng, 50, [2, 3, 2], chain(3))
    path = chain(3)
    ones = run(data, blocks, ["A", "B", "A"], path)
    path[2, 1] = 2.0
    twos = run(data, blocks, ["A", "B", "A"], path)
    for k in ["latent_scores", "outer_weights", "outer_loadings", "iterations"]:
        np.testing.assert_array_equal(twos[k], ones[k])
    assert ones["inner_paths"][1, 2] != 0.0 and twos["inner_paths"][1, 2] == 0.0
    np.testing.assert_array_equal(twos["inner_paths"][0], ones["inner_paths"][0])


def test_one_block_model(rng):
    data, blocks = simulated(rng, 80, [4], np.zeros((1, 1)))
    res = run(data, blocks, ["A"], [[0.0]])
    np.testing.assert_array_equal(res["inner_paths"], np.zeros((1, 1)))
    Y = res["latent_scores"][:, 0]
    # 1e-12: correlations of the same columns computed two ways
    np.testing.assert_allclose(res["outer_loadings"][:, 0],
                               [np.corrcoef(data[:, r], Y)[0, 1] for r in range(4)], atol=1e-12)


def test_empty_block_is_a_zero_composite(rng):
    data, blocks = simulated(rng, 60, [2, 3], chain(2))
    path3 = np.array([[0, 0, 0], [1, 0, 1], [0, 0, 0]], float)
    res = run(data, [blocks[0], blocks[1], []], ["A", "B", "B"], path3)
    ref = run(data, blocks, ["A", "B"], chain(2))
    assert not res["inner_paths"][2].any()
    for k in ["latent_scores", "outer_weights", "outer_loadings", "inner_paths"]:
        assert not res[k][:, 2].any()
        # 1e-12: the zero composite adds exact zeros to every sum
        np.testing.assert_allclose(res[k][:ref[k].shape[0], :2], ref[k], atol=1e-12)
    nothing = run(np.zeros((5, 0)), [[]], ["A"], [[0.0]])
    assert [nothing[k].shape for k in KEYS[:4]] == [(5, 1), (0, 1), (0, 1), (1, 1)]
    assert not nothing["latent_scores"].any() and nothing["converged"]


@pytest.mark.parametrize("mode", ["A", "B"])
@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_non_finite_value_is_never_reported_as_converged(rng, mode, bad):
    # The decomposition of a design holding a NaN reports rank 0 with its
    # factors unset: solving with it would give zeros (or read garbage).
    data, blocks = simulated(rng, 50, [3, 2], chain(2))
    data[4, 1] = bad
    res = run(data, blocks, [mode, "B"], chain(2), max_iter=25)
    assert res["converged"] is False and res["iterations"] == 25
    assert np.isnan(res["outer_weights"][blocks[0], 0]).all()
    assert np.isnan(res["inner_paths"][0, 1])


def test_nan_in_path_matrix_connects_and_poisons(rng):
    data, blocks = simulated(rng, 50, [2, 2], chain(2))
    res = run(data, blocks, ["A", "A"], [[0.0, 0.0], [np.nan, 0.0]], max_iter=10)
    assert res["converged"] is False and np.isnan(res["outer_weights"][blocks[0], 0]).all()


# --- independent implementation ----------------------------------------------------

MODELS = {
    "chain_mode_a": ([3, 3, 3], ["A"] * 3, [(1, 0), (2, 1)]),
    "mixed_with_isolated": ([2, 4, 3, 2], ["B", "A", "B", "A"], [(1, 0), (2, 0), (2, 1)]),
    "mode_b_five": ([2, 3, 2, 4, 3], ["B"] * 5, [(1, 0), (2, 0), (3, 1), (3, 2), (4, 3)]),
}


@pytest.mark.parametrize("name", MODELS)
def test_matches_numpy_implementation(rng, name):
    sizes, modes, edges = MODELS[name]
    path = np.zeros((len(sizes), len(sizes)))
    for j, i in edges:
        path[j, i] = 1.0
    data, blocks = simulated(rng, 150, sizes, path)
    blocks[1] = blocks[1] + [blocks[0][0]]  # an indicator shared by two blocks
    got = run(data, blocks, modes, path, max_iter=100, tol=1e-9)
    ref = pls_reference(data, blocks, modes, path, 100, 1e-9)
    assert (got["iterations"], got["converged"]) == (ref["iterations"], ref["converged"])
    for k in KEYS[:4]:
        # 1e-10: both iterate the same contraction; rounding does not grow
        np.testing.assert_allclose(got[k], ref[k], atol=1e-10, err_msg=k)


def test_political_democracy_matches_numpy_implementation():
    _, data = political_democracy_data()
    blocks = [[8, 9, 10], [0, 1, 2, 3], [4, 5, 6, 7]]
    path = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0]], float)
    for modes in (["A"] * 3, ["B", "A", "B"]):
        got = run(data, blocks, modes, path, max_iter=300, tol=1e-7)
        ref = pls_reference(data, blocks, modes, path, 300, 1e-7)
        assert got["converged"] and got["iterations"] == ref["iterations"]
        for k in KEYS[:4]:
            np.testing.assert_allclose(got[k], ref[k], atol=1e-10, err_msg=k)


# --- bad input ------------------------------------------------------------------------

BAD = {
    "index below 0": (8, [[0, -1], [2]], ["A", "A"], 2, r"blocks\[0\]\[1\] = -1 .* 0 \.\. 3"),
    "index P": (8, [[0, 1], [4]], ["A", "A"], 2, r"blocks\[1\]\[0\] = 4 .* 0 \.\. 3"),
    "index twice": (8, [[0, 1, 0], [2]], ["B", "A"], 2, r"blocks\[0\] lists indicator 0"),
    "few modes": (8, [[0, 1], [2]], ["A"], 2, r"modes has 1 entries, fewer than the 2"),
    "path shape": (8, [[0, 1], [2]], ["A", "A"], 3, r"path_matrix must be 2 x 2 .*got 3 x 3"),
    "one case": (1, [[0, 1], [2]], ["A", "A"], 2, r"at least 2 cases"),
    "no cases": (0, [[0, 1], [2]], ["A", "A"], 2, r"at least 2 cases"),
    "no blocks": (8, [], [], 0, r"at least one block"),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_input_is_value_error(rng, case):
    n, blocks, modes, J, message = BAD[case]
    engine = _backend.PlsEngine()
    with pytest.raises(ValueError, match=message):
        engine.run_algorithm(rng.normal(size=(n, 4)), blocks, modes, np.zeros((J, J)), 10, 1e-6)
    assert engine.run_algorithm(rng.normal(size=(8, 4)), [[0, 1], [2, 3]], ["A", "B"],
                                chain(2), 10, 1e-6)["iterations"] > 0


# --- the interpreter lock -------------------------------------------------------------

def python_progress_inside(target, call):
    """Iterations of a pure-Python loop in another thread that ran while the
    C function `target`, called directly by `call` in a worker thread, was
    inside its C call.

    A profile hook marks entry and exit of the call; an iteration counts only
    while the worker is inside and its top frame is `call`, so switches at the
    hook's own entry or after the return do not count.
    """
    state = {"inside": False, "done": False, "during": 0}

    def hook(frame, event, arg):
        if arg is target and event in ("c_call", "c_return", "c_exception"):
            state["inside"] = event == "c_call"

    def work():
        sys.setprofile(hook)
        try:
            call()
        finally:
            sys.setprofile(None)
            state["done"] = True

    worker = threading.Thread(target=work)

    def count():
        while not state["done"]:
            if state["inside"]:
                top = sys._current_frames().get(worker.ident)
                if top is not None and top.f_code is call.__code__:
                    state["during"] += 1

    counter = threading.Thread(target=count)
    worker.start()
    counter.start()
    worker.join()
    counter.join()
    return state["during"]


def test_other_threads_run_during_the_estimation(rng):
    # Many passes over a small data set: a big array would be copied by
    # NumPy's own conversion, which drops the lock itself and would let the
    # other thread run even if the estimation kept it.
    data, blocks = simulated(rng, 40, [3, 3, 3, 3], chain(4))
    engine = _backend.PlsEngine()
    modes, path = ["A", "B"] * 2, chain(4)
    estimate = engine.run_algorithm.__func__  # the C function a bound call reaches
    assert python_progress_inside(
        estimate, lambda: engine.run_algorithm(data, blocks, modes, path, 20_000, 0.0)) > 0
    # The same harness sees no progress during a call that keeps the lock.
    descending = list(range(300_000, 0, -1))
    assert python_progress_inside(sorted, lambda: sorted(descending)) == 0


def test_concurrent_results_equal_sequential_bit_for_bit(rng):
    problems = []
    for sizes, modes in (([3, 4, 3], ["A", "B", "A"]), ([5, 2, 3], ["B", "B", "A"])):
        data, blocks = simulated(rng, 20_000, sizes, chain(3))
        problems.append((data, blocks, modes, chain(3), 40, 0.0))
    engine = _backend.PlsEngine()  # one stateless engine shared by both threads
    sequential = [engine.run_algorithm(*p) for p in problems]
    concurrent = [None, None]

    def work(k):
        concurrent[k] = engine.run_algorithm(*problems[k])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for seq, con in zip(sequential, concurrent):
        assert_same(con, seq)


def test_example_runs(capsys):
    import fit_pls

    fit_pls.main()
    out = capsys.readouterr().out
    assert "converged after" in out and "dem60 -> dem65" in out
