"""Property-based robustness: whatever Python passes, a method returns a
result of the documented shape or raises TypeError/ValueError, and an
engine that saw bad input answers exactly like a fresh one.

SEM_FUZZ_EXAMPLES sets the examples per test (CI default below; use e.g.
2000 for a deep run)."""
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _backend

EXAMPLES = int(os.environ.get("SEM_FUZZ_EXAMPLES", "500"))
settings.register_profile(
    "fuzz", max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
FUZZ = settings.get_profile("fuzz")
EXPECTED = (TypeError, ValueError)

# Values that break arithmetic rather than bounds.
nasty_floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 1e308, -1e308, 5e-324, 1e-300, 0.999, 1.0043]),
    st.floats(-3, 3),
)
small_int = st.integers(-3, 6)


@st.composite
def float_arrays(draw, shape_st, elements=nasty_floats):
    """Arrays of any shape/order/stride/dtype, or a list; TypeError is fine for odd dtypes."""
    shape = draw(shape_st)
    a = draw(hnp.arrays(np.float64, shape, elements=elements))
    kind = draw(st.sampled_from(["c", "f", "strided", "list", "float32", "int", "object"]))
    if kind == "f":
        return np.asfortranarray(a)
    if kind == "strided" and a.ndim >= 1 and a.size:
        big = np.repeat(a, 2, axis=0)
        return big[::2]
    if kind == "list":
        return a.tolist()
    if kind == "float32":
        with np.errstate(all="ignore"):
            return a.astype(np.float32)
    if kind == "int":
        return np.nan_to_num(a, posinf=0, neginf=0).clip(-5, 5).astype(np.int64)
    if kind == "object":
        return a.astype(object)
    return a


def vec(n_max=8):
    return float_arrays(st.tuples(st.integers(0, n_max)))


def mat(r_max=6, c_max=6):
    return float_arrays(st.tuples(st.integers(0, r_max), st.integers(0, c_max)))


dims_st = st.tuples(*[st.integers(-1, 3)] * 4)
cell = st.one_of(st.integers(0, 2), small_int)  # mostly inside a small model
mapping_st = st.tuples(st.one_of(st.integers(0, 12), st.integers(-2, 14)), cell, cell,
                       st.booleans(), st.one_of(st.integers(0, 5), st.integers(-2, 8)),
                       nasty_floats)


def call(fn, *args, **kw):
    """Run fn; an expected error is a legal outcome (returns None)."""
    try:
        out = fn(*args, **kw)
    except EXPECTED as e:
        event(f"raised {type(e).__name__}")
        return None
    event("returned a result")
    return out


def same(a, b):
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, tuple):
        return all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or a == b
    return np.array_equal(a, b, equal_nan=True)


def build(cls, dims, mappings, *extra):
    """An engine with the acceptable mappings; returns (engine, accepted)."""
    eng = cls(*dims, *extra)
    accepted = []
    for m in mappings:
        try:
            eng.add_mapping(*m)
            accepted.append(m)
        except ValueError:
            pass
    return eng, accepted


def probe_ml(eng, p, n_params):
    """A fixed, valid request whose answer must not depend on history."""
    params = np.linspace(0.3, 1.1, n_params)
    S = np.eye(p) * 2.0 + 0.1
    mean = np.full(p, 0.5)
    return (eng.get_implied_moments(params), eng.objective_ml(params, S, mean),
            eng.gradient_ml(params, S, mean, n_params),
            eng.expected_hessian_ml(params, n_params))


def n_params_for(accepted):
    return 1 + max([m[4] for m in accepted if m[3] and 0 <= m[0] <= 12] + [0])


def assert_ml_like_fresh(eng, dims, accepted, meanstructure):
    """Whatever the engine saw, it answers like one built from its accepted mappings."""
    fresh, _ = build(_backend.MlEngine, dims, accepted, meanstructure)
    p, n = dims[0] + dims[1], n_params_for(accepted)
    assert same(probe_ml(eng, p, n), probe_ml(fresh, p, n))


@FUZZ
@given(dims=dims_st, mappings=st.lists(mapping_st, max_size=12), meanstructure=st.booleans())
def test_ml_construction_and_mappings(dims, mappings, meanstructure):
    if min(dims) < 0:
        with pytest.raises(ValueError):
            _backend.MlEngine(*dims, meanstructure)
        return
    eng, accepted = build(_backend.MlEngine, dims, mappings, meanstructure)
    assert_ml_like_fresh(eng, dims, accepted, meanstructure)



def misfit(data):
    """One draw in five deliberately ignores the shape the call needs."""
    return data.draw(st.integers(0, 4), label="misfit") == 0


def vector_for(data, n, label):
    if misfit(data):
        return data.draw(vec(), label=label)
    return data.draw(float_arrays(st.just((n,))), label=label)


def matrix_for(data, rows, cols, label, pd=False):
    if misfit(data):
        return data.draw(mat(), label=label)
    if pd and data.draw(st.booleans(), label=f"{label} positive definite"):
        g = data.draw(hnp.arrays(np.float64, (rows, cols), elements=st.floats(-2, 2)), label=label)
        return g @ g.T + np.eye(rows)
    return data.draw(float_arrays(st.just((rows, cols))), label=label)


def params_for(data, accepted, max_id=12):
    needed = 1 + max([m[4] for m in accepted if m[3] and 0 <= m[0] <= max_id] + [-1])
    if misfit(data):
        return data.draw(vec(), label="params")
    n = needed + data.draw(st.integers(0, 2), label="extra params")
    return data.draw(float_arrays(st.just((n,))), label="params")


def n_free_for(data, params):
    if misfit(data):
        return data.draw(st.integers(-3, 12), label="n_free")
    return data.draw(st.integers(0, len(params)), label="n_free")


ml_engine_st = st.tuples(st.tuples(*[st.integers(0, 3)] * 4),
                         st.lists(mapping_st, max_size=12), st.booleans())

ML_METHODS = ["objective_ml", "gradient_ml", "expected_hessian_ml", "observed_hessian_ml",
              "casewise_scores", "jacobian_implied_moments", "get_implied_moments"]


@FUZZ
@given(model=ml_engine_st, method=st.sampled_from(ML_METHODS), data=st.data())
def test_ml_methods(model, method, data):
    dims, mappings, ms = model
    eng, accepted = build(_backend.MlEngine, dims, mappings, ms)
    p = dims[0] + dims[1]
    params = params_for(data, accepted)
    n_free = n_free_for(data, params)
    S = matrix_for(data, p, p, "sample_cov", pd=True)
    mean = None if data.draw(st.booleans(), label="no mean") else vector_for(data, p, "mean")
    cases = matrix_for(data, data.draw(st.integers(0, 6), label="N"), p, "data")
    active = data.draw(st.booleans(), label="meanstructure_active")
    args = {
        "objective_ml": (params, S, mean),
        "gradient_ml": (params, S, mean, n_free),
        "expected_hessian_ml": (params, n_free),
        "observed_hessian_ml": (params, S, mean, n_free),
        "casewise_scores": (cases, params, n_free, active),
        "jacobian_implied_moments": (params, n_free),
        "get_implied_moments": (params,),
    }[method]
    out = call(getattr(eng, method), *args)
    if out is not None:
        shapes = {
            "gradient_ml": (n_free,),
            "expected_hessian_ml": (n_free, n_free),
            "observed_hessian_ml": (n_free, n_free),
            "casewise_scores": (len(cases), n_free),
            "jacobian_implied_moments": (p * (p + 1) // 2 + (p if ms else 0), n_free),
        }
        if method == "objective_ml":
            assert isinstance(out, float)
        elif method == "get_implied_moments":
            assert out[0].shape == (p, p) and out[1].shape == (p,)
        else:
            assert out.shape == shapes[method] and out.dtype == np.float64
    assert_ml_like_fresh(eng, dims, accepted, ms)


@st.composite
def patterns(draw, p):
    """Lists of observed indices: mostly distinct and in range."""
    out = []
    for _ in range(draw(st.integers(0, 4))):
        if p and draw(st.integers(0, 4)):
            k = draw(st.integers(0, p))
            out.append(draw(st.permutations(range(p)))[:k])
        else:
            out.append(draw(st.lists(st.integers(-1, p + 1), max_size=4)))
    return out


@FUZZ
@given(model=ml_engine_st,
       method=st.sampled_from(["objective_fiml", "gradient_fiml", "expected_hessian_fiml",
                               "observed_hessian_fiml", "casewise_scores_fiml"]),
       data=st.data())
def test_fiml_methods(model, method, data):
    dims, mappings, ms = model
    eng, accepted = build(_backend.MlEngine, dims, mappings, ms)
    p = dims[0] + dims[1]
    params = params_for(data, accepted)
    n_free = n_free_for(data, params)
    obs = data.draw(patterns(p), label="obs_indices")
    n_obs = data.draw(st.lists(st.integers(-3, 2**31 - 1), min_size=len(obs),
                               max_size=len(obs) + (1 if misfit(data) else 0)), label="n_obs")
    if misfit(data):
        n_obs = n_obs[:-1]
    means = [vector_for(data, len(o), "mean") for o in obs]
    covs = [matrix_for(data, len(o), len(o), "cov", pd=True) for o in obs]
    # Cases with holes: the nasty floats include NaN and the infinities.
    cases = (matrix_for(data, data.draw(st.integers(0, 6), label="N"), p, "data")
             if method == "casewise_scores_fiml" else None)
    args = {
        "objective_fiml": (params, obs, n_obs, means, covs),
        "gradient_fiml": (params, obs, n_obs, means, covs, n_free),
        "expected_hessian_fiml": (params, obs, n_obs, n_free),
        "observed_hessian_fiml": (params, obs, n_obs, means, covs, n_free),
        "casewise_scores_fiml": (cases, params, n_free),
    }[method]
    out = call(getattr(eng, method), *args)
    if out is not None:
        if method == "objective_fiml":
            assert isinstance(out, float)
        elif method == "gradient_fiml":
            assert out.shape == (n_free,)
        elif method == "casewise_scores_fiml":
            assert out.shape == (len(cases), n_free)
        else:
            assert out.shape == (n_free, n_free)
    assert_ml_like_fresh(eng, dims, accepted, ms)


def probe_dwls(eng, n_params):
    params = np.linspace(0.2, 0.9, n_params)
    return (eng.implied_corr(params), eng.objective_dwls(params),
            eng.gradient_dwls(params, n_params), eng.get_diagonal_residuals(params))


DWLS_METHODS = ["objective_dwls", "gradient_dwls", "expected_hessian_dwls", "jacobian_dwls",
                "implied_corr", "get_diagonal_residuals"]


@FUZZ
@given(dims=st.tuples(*[st.integers(0, 3)] * 4), mappings=st.lists(mapping_st, max_size=12),
       method=st.sampled_from(DWLS_METHODS), data=st.data())
def test_dwls_methods(dims, mappings, method, data):
    p = dims[0] + dims[1]
    n_stats = p * (p - 1) // 2
    s_vec = vector_for(data, n_stats, "s_vec")
    w_inv = vector_for(data, n_stats, "w_inv")
    n_flags = data.draw(st.integers(0, 8), label="flags") if misfit(data) else p
    is_ordinal = data.draw(st.lists(st.booleans(), min_size=n_flags, max_size=n_flags))
    try:
        eng, accepted = build(_backend.DwlsEngine, dims, mappings, s_vec, w_inv, is_ordinal)
    except EXPECTED:
        event("constructor refused")
        return
    params = params_for(data, accepted, max_id=8)
    n_free = n_free_for(data, params)
    takes_n_free = method in ("gradient_dwls", "expected_hessian_dwls", "jacobian_dwls")
    out = call(getattr(eng, method), *((params, n_free) if takes_n_free else (params,)))
    if out is not None:
        expected = {
            "objective_dwls": None,
            "gradient_dwls": (n_free,),
            "expected_hessian_dwls": (n_free, n_free),
            "jacobian_dwls": (n_stats, n_free),
            "implied_corr": (n_stats,),
            "get_diagonal_residuals": (p,),
        }[method]
        if expected is None:
            assert isinstance(out, float)
        else:
            assert out.shape == expected
    fresh, _ = build(_backend.DwlsEngine, dims, accepted, s_vec, w_inv, is_ordinal)
    n = 1 + max([m[4] for m in accepted if m[3] and 0 <= m[0] <= 8] + [0])
    assert same(probe_dwls(eng, n), probe_dwls(fresh, n))


def codes_for(data, n, k, label):
    if misfit(data):
        return data.draw(float_arrays(st.tuples(st.integers(0, 6)),
                                      elements=st.floats(-2, 6).map(round)), label=label)
    return np.array(data.draw(st.lists(st.integers(0, k), min_size=n, max_size=n), label=label),
                    dtype=np.int32)


@FUZZ
@given(tau_x=vec(4), tau_y=vec(4), rho=nasty_floats, eps=nasty_floats, which=st.booleans(),
       data=st.data())
def test_ordinal_functions(tau_x, tau_y, rho, eps, which, data):
    n = data.draw(st.integers(0, 6), label="N")
    x = codes_for(data, n, len(tau_x), "x")
    y = codes_for(data, n, len(tau_y), "y")
    if which:
        out = call(_backend.bivariate_loglik, x, y, tau_x, tau_y, rho)
        if out is not None:
            assert out.shape == (len(x),)
    else:
        out = call(_backend.categorical_casewise_scores, x, y, tau_x, tau_y, rho, eps)
        if out is not None:
            assert out.shape == (len(x), len(tau_x) + len(tau_y) + 1)


@FUZZ
@given(n=st.integers(0, 7), p=st.integers(0, 4), gamma=st.booleans(),
       n_threads=st.integers(-1, 3), data=st.data())
def test_polychoric_statistics(n, p, gamma, n_threads, data):
    if misfit(data):
        codes = data.draw(float_arrays(st.tuples(st.integers(0, 7), st.integers(0, 4)),
                                       elements=st.floats(-2, 4).map(round)), label="codes")
    else:
        codes = data.draw(hnp.arrays(np.int64, (n, p), elements=st.integers(-1, 3)),
                          label="codes")
    out = call(_backend.polychoric_statistics, codes, gamma, n_threads)
    if out is not None:
        n, p = np.shape(codes)
        m = p * (p - 1) // 2
        assert list(out) == ["thresholds", "correlations", "weights"] + (["gamma"] if gamma else [])
        assert [t.shape for t in out["thresholds"]] == [(int(np.max(c)),) for c in np.asarray(codes).T]
        assert out["correlations"].shape == out["weights"].shape == (m,)
        assert np.all(np.abs(out["correlations"]) <= 0.9999)
        assert np.all(np.isfinite(out["weights"])) and np.all(out["weights"] >= 0)
        if gamma:
            assert out["gamma"].shape == (m, m) and np.all(np.isfinite(out["gamma"]))


@FUZZ
@given(n=st.integers(0, 8), P=st.integers(0, 5), J=st.integers(0, 3),
       max_iter=st.integers(-2, 30), tol=nasty_floats, data=st.data())
def test_pls_run_algorithm(n, P, J, max_iter, tol, data):
    cases = matrix_for(data, n, P, "data")
    index = st.integers(0, P - 1) if P and not misfit(data) else st.integers(-1, P + 1)
    blocks = [data.draw(st.lists(index, max_size=3, unique=not misfit(data)), label="block")
              for _ in range(J)]
    n_modes = J if not misfit(data) else data.draw(st.integers(0, 4))
    modes = data.draw(st.lists(st.sampled_from(["A", "B", "a", "", "AB"]), min_size=n_modes,
                               max_size=n_modes), label="modes")
    path = matrix_for(data, J, J, "path_matrix")
    if not misfit(data) and np.shape(path) == (J, J):
        path = data.draw(hnp.arrays(np.float64, (J, J),
                                    elements=st.sampled_from([0.0, 1.0, 2.0, np.nan])))
    out = call(_backend.PlsEngine().run_algorithm, cases, blocks, modes, path, max_iter, tol)
    if out is not None:
        assert list(out) == ["latent_scores", "outer_weights", "outer_loadings", "inner_paths",
                             "iterations", "converged"]
        rows, cols = np.shape(cases)
        assert out["latent_scores"].shape == (rows, len(blocks))
        assert out["outer_weights"].shape == (cols, len(blocks))
        assert out["outer_loadings"].shape == (cols, len(blocks))
        assert out["inner_paths"].shape == (len(blocks), len(blocks))
        assert 0 <= out["iterations"] <= max(max_iter, 0)


# --- object lifecycle ---------------------------------------------------------
# No sequence of __new__, __init__, __setstate__, __class__ assignment, copy
# and pickle calls crashes the interpreter: an object without an engine
# refuses every method with TypeError, a live engine refuses a second
# __init__ or __setstate__, and a refused call leaves a live engine as it was.

import copy as _copy  # noqa: E402
import pickle as _pickle  # noqa: E402

PLS_PROBE = (np.linspace(0.0, 1.0, 12).reshape(6, 2) ** 2, [[0], [1]], ["A", "B"],
             np.array([[0.0, 0.0], [1.0, 0.0]]), 20, 1e-9)


def dwls_args(dims):
    p = dims[0] + dims[1]
    k = p * (p - 1) // 2
    return (*dims, np.linspace(0.1, 0.4, k), np.linspace(1.0, 2.0, k), [True] * p)


LIFE = {  # class, constructor arguments from dims, probe (9 params cover mapping_st)
    "ml": (_backend.MlEngine, lambda d: (*d, True),
           lambda e: e.get_implied_moments(np.linspace(0.3, 1.1, 9))),
    "dwls": (_backend.DwlsEngine, dwls_args, lambda e: e.implied_corr(np.linspace(0.2, 0.9, 9))),
    "pls": (_backend.PlsEngine, lambda d: (), lambda e: e.run_algorithm(*PLS_PROBE)),
}
JUNK = [None, "1", 1.5, -1, 2**40, {}, [], (1, 2), [(1,)], {"a": 1}, [[0, 0, 0, True, 0, 0.0]]]
small_dims = st.tuples(*[st.integers(0, 2)] * 4)
life_op = st.one_of(
    st.tuples(st.sampled_from(["new", "call", "getstate", "class", "copy", "deepcopy", "base",
                               "reduce", "del"]), st.integers(0, 7)),
    st.tuples(st.just("pickle"), st.integers(0, 7), st.integers(0, _pickle.HIGHEST_PROTOCOL)),
    st.tuples(st.just("init"), st.integers(0, 7), small_dims, st.booleans()),
    st.tuples(st.just("setstate"), st.integers(0, 7), small_dims, st.integers(-1, 7),
              st.sampled_from(JUNK)),
    st.tuples(st.just("add_mapping"), st.integers(0, 7), mapping_st),
)


def fingerprint(obj, probe):
    return _pickle.dumps(obj.__getstate__()), probe(obj)


def same_print(a, b):
    return a[0] == b[0] and same(a[1], b[1])


@FUZZ
@given(which=st.sampled_from(sorted(LIFE)), dims=small_dims,
       ops=st.lists(life_op, min_size=1, max_size=12))
def test_no_sequence_of_object_calls_crashes(which, dims, ops):
    cls, make_args, probe = LIFE[which]
    others = [c for c, _, _ in LIFE.values() if c is not cls]
    pool = [[cls(*make_args(dims)), True], [cls.__new__(cls), False]]  # [object, live]
    for op in ops:
        name, k = op[0], op[1] % (len(pool) or 1)
        if name == "new" or not pool:
            pool.append([cls.__new__(cls), False])
            continue
        obj, live = pool[k]
        if name == "add_mapping" and cls is _backend.PlsEngine:
            name = "call"
        before = fingerprint(obj, probe) if live else None
        refused = False
        try:
            if name == "call":
                probe(obj)
            elif name == "getstate":
                obj.__getstate__()
            elif name == "class":
                obj.__class__ = others[op[1] % 2]
            elif name in ("copy", "deepcopy", "pickle", "reduce"):
                clone = {"copy": _copy.copy, "deepcopy": _copy.deepcopy,
                         "pickle": lambda o: _pickle.loads(_pickle.dumps(o, protocol=op[-1])),
                         "reduce": lambda o: _copy.copy(o) if o.__reduce_ex__(op[1]) else o}[name](obj)
                assert type(clone) is cls and same_print(fingerprint(clone, probe), before)
                pool.append([clone, True])
            elif name == "base":
                type(obj).__mro__[1]()
            elif name == "del":
                pool.pop(k)
                continue
            elif name == "init":
                args = make_args(op[2]) if op[3] else (*op[2], "junk")
                obj.__init__(*args)
                pool[k][1] = True
            elif name == "setstate":
                state = list(cls(*make_args(op[2])).__getstate__())
                if 0 <= op[3] < len(state):
                    state[op[3]] = op[4]
                obj.__setstate__(tuple(state))
                pool[k][1] = True
            elif name == "add_mapping":
                obj.add_mapping(*op[2])
                before = fingerprint(obj, probe)  # the one legitimate change
        except EXPECTED as e:
            refused = True
            event(f"{name}: {type(e).__name__}")
            if not live:
                assert not pool[k][1]
        else:
            event(f"{name}: done")
        # Only a shell may be filled; only "base" and "class" never succeed.
        assert not (name in ("base", "class") and not refused)
        if live:
            assert not (name in ("init", "setstate") and not refused)
            assert same_print(fingerprint(obj, probe), before)
        elif name not in ("init", "setstate"):
            assert refused


@FUZZ
@given(p=st.integers(1, 4), method=st.sampled_from(["objective_ml", "gradient_ml",
                                                    "observed_hessian_ml"]),
       kind=st.sampled_from(["asymmetric", "rounding", "non-finite S", "non-finite mean"]),
       bad=st.sampled_from([np.nan, np.inf, -np.inf]), data=st.data())
def test_sample_moments_must_be_symmetric_and_finite(p, method, kind, bad, data):
    """A factorisation reads one triangle of S and the trace both: an
    asymmetric S once scored a perfect fit (0.0) with a non-zero gradient."""
    eng = _backend.MlEngine(0, p, 0, 1, True)
    for i in range(p):
        eng.add_mapping(1, i, 0, True, i, 0.0)
        eng.add_mapping(7, i, i, True, p + i, 0.0)
        eng.add_mapping(10, i, 0, True, 2 * p + i, 0.0)
    eng.add_mapping(5, 0, 0, False, 0, 1.0)
    params = np.linspace(0.5, 1.2, 3 * p)
    g = data.draw(hnp.arrays(np.float64, (p, p), elements=st.floats(-2, 2)), label="g")
    S, mean = g @ g.T + np.eye(p), np.linspace(-0.3, 0.3, p)
    i, j = data.draw(st.integers(0, p - 1), label="i"), data.draw(st.integers(0, p - 1), label="j")
    call = {
        "objective_ml": lambda S, m: eng.objective_ml(params, S, m),
        "gradient_ml": lambda S, m: eng.gradient_ml(params, S, m, 3 * p),
        "observed_hessian_ml": lambda S, m: eng.observed_hessian_ml(params, S, m, 3 * p),
    }[method]
    good = call(S, mean)
    bad_S, bad_mean = S.copy(), mean.copy()
    if kind in ("asymmetric", "rounding"):
        if i == j:
            return
        # 1e-14 of the variances is rounding; 1e-9 is a different matrix.
        bad_S[i, j] += (1e-14 if kind == "rounding" else 1e-9) * np.sqrt(S[i, i] * S[j, j])
    elif kind == "non-finite S":
        bad_S[i, j] = bad
    else:
        bad_mean[i] = bad
    if kind == "rounding":
        np.testing.assert_allclose(call(bad_S, bad_mean), good, rtol=1e-8, atol=1e-10)
    else:
        with pytest.raises(ValueError, match="not symmetric|must be finite"):
            call(bad_S, bad_mean)
    assert same(call(S, mean), good)  # the engine is as before
