"""Every float argument holds real numbers: None, strings and complex values
are a conversion error wherever a vector or matrix is taken (NumPy's forced
cast would read None as NaN, parse "0.5" and drop an imaginary part).
Category codes read alike from a list and from an object array."""
import numpy as np
import pytest

import _backend

P = 2
GOOD_S = np.array([[1.0, 0.3], [0.3, 1.0]])


def ml_engine():
    e = _backend.MlEngine(0, P, 0, 1, True)
    e.add_mapping(1, 0, 0, True, 0, 0.0)
    e.add_mapping(1, 1, 0, True, 1, 0.0)
    e.add_mapping(5, 0, 0, False, 0, 1.0)
    e.add_mapping(7, 0, 0, False, 0, 0.5)
    e.add_mapping(7, 1, 1, False, 0, 0.5)
    return e


PARAMS = np.array([0.7, 0.6])
PLS_DATA = np.random.default_rng(3).normal(size=(20, 4))
PATH = np.array([[0.0, 0.0], [1.0, 0.0]])
TAU = np.array([-0.3, 0.4])
CODES = np.array([0, 1, 2, 1], dtype=np.int32)

# argument -> call with that argument replaced by `v` (None: the good value).
CALLS = {
    "sample_cov": lambda v: ml_engine().objective_ml(PARAMS, GOOD_S if v is None else v),
    "sample_mean": lambda v: ml_engine().gradient_ml(PARAMS, GOOD_S,
                                                     np.zeros(P) if v is None else v, 2),
    "casewise_scores data": lambda v: ml_engine().casewise_scores(
        GOOD_S if v is None else v, PARAMS, 2, True),
    "means": lambda v: ml_engine().objective_fiml(PARAMS, [[0, 1]], [5],
                                                  [np.zeros(P) if v is None else v], [GOOD_S]),
    "covs": lambda v: ml_engine().gradient_fiml(PARAMS, [[0, 1]], [5], [np.zeros(P)],
                                                [GOOD_S if v is None else v], 2),
    "casewise_scores_fiml data": lambda v: ml_engine().casewise_scores_fiml(
        GOOD_S if v is None else v, PARAMS, 2),
    "tau_x": lambda v: _backend.bivariate_loglik(CODES, CODES, TAU if v is None else v, TAU, 0.3),
    "tau_y": lambda v: _backend.categorical_casewise_scores(CODES, CODES, TAU,
                                                            TAU if v is None else v, 0.3),
    "s_vec": lambda v: _backend.DwlsEngine(0, 3, 0, 1, TAU.tolist() + [0.1] if v is None
                                           else list(v) + [0.1], [1.0] * 3, [True] * 3),
    "w_inv": lambda v: _backend.DwlsEngine(0, 2, 0, 1, [0.3], [1.0] if v is None else v[:1],
                                           [True] * 2),
    "s_vec in a pickled state": lambda v: _backend.DwlsEngine.__new__(_backend.DwlsEngine)
        .__setstate__((0, 2, 0, 1, [0.3] if v is None else v[:1], [1.0], [True] * 2, [])),
    "run_algorithm data": lambda v: _backend.PlsEngine().run_algorithm(
        PLS_DATA if v is None else np.vstack([v, v] * 5), [[0, 1], [2, 3]], ["A", "A"], PATH,
        20, 1e-7),
    "run_algorithm path_matrix": lambda v: _backend.PlsEngine().run_algorithm(
        PLS_DATA, [[0, 1], [2, 3]], ["A", "A"], PATH if v is None else v, 20, 1e-7),
}
# Vectors get the first row of these, matrices the 2 x 2 (2 x 4 for the PLS
# data, stacked to 20 rows).
BAD = {
    "None": [[None, 1.0, 0.5, 0.2], [0.3, 1.0, 0.1, 0.4]],
    "numeric string": [["0.5", 1.0, 0.5, 0.2], [0.3, 1.0, 0.1, 0.4]],
    "complex": np.array([[1.0 + 1j, 0.3, 0.5, 0.2], [0.3, 1.0, 0.1, 0.4]]),
    "object array with None": np.array([[None, 0.3, 0.5, 0.2], [0.3, 1.0, 0.1, 0.4]],
                                       dtype=object),
    "string array": np.array([["1", "0.3", "0.5", "0.2"], ["0.3", "1", "0.1", "0.4"]]),
}
VECTORS = {"sample_mean", "means", "tau_x", "tau_y", "s_vec", "w_inv", "s_vec in a pickled state"}


def shaped(arg, bad):
    a = np.array(bad, dtype=object) if isinstance(bad, list) else bad
    if arg in VECTORS:
        v = a[0, :2]
    elif arg == "run_algorithm data":
        v = a
    else:
        v = a[:, :2]
    return v.tolist() if isinstance(bad, list) else v


@pytest.mark.parametrize("bad", list(BAD))
@pytest.mark.parametrize("arg", list(CALLS))
def test_float_arguments_refuse_none_strings_and_complex(arg, bad):
    CALLS[arg](None)  # the good value is accepted
    with pytest.raises(TypeError):
        CALLS[arg](shaped(arg, BAD[bad]))


@pytest.mark.parametrize("arg", list(CALLS))
def test_float_arguments_take_integers_and_object_arrays_of_numbers(arg):
    good = {"run_algorithm data": PLS_DATA, "run_algorithm path_matrix": PATH}.get(arg)
    if good is None:
        good = np.array([[1, 0], [0, 1]]) if arg not in VECTORS else np.array([-1, 1])
    CALLS[arg](good)
    CALLS[arg](np.asarray(good).astype(object))


VALUES = {
    "NumPy booleans": [np.True_, np.False_, np.True_, np.False_],
    "NumPy floats": [np.float32(1.0), np.float64(0.0), np.float16(2.0), np.longdouble(1)],
    "NumPy integers beside Python ints": [np.uint8(1), 0, np.int64(2), np.int16(1)],
}


@pytest.mark.parametrize("values", list(VALUES))
def test_codes_read_alike_from_lists_and_object_arrays(values):
    v = VALUES[values]
    as_int = np.array([int(c) for c in v], dtype=np.int32)
    expected = _backend.bivariate_loglik(as_int, CODES, TAU, TAU, 0.4)
    np.testing.assert_array_equal(_backend.bivariate_loglik(v, CODES, TAU, TAU, 0.4), expected)
    np.testing.assert_array_equal(
        _backend.bivariate_loglik(np.array(v, dtype=object), CODES, TAU, TAU, 0.4), expected)


@pytest.mark.parametrize("bad, message", [
    (np.float32(1.5), "1.5, not an integer"),
    (np.complex64(1), r"\(1\+0j\), not an integer"),
    (np.float64(np.nan), "nan, not an integer"),
])
def test_codes_that_are_not_integers_are_refused_alike(bad, message):
    v = [bad, 0, 1, 2]
    for codes in (v, np.array(v, dtype=object)):
        with pytest.raises(ValueError, match=r"x\[0\] is " + message):
            _backend.bivariate_loglik(codes, CODES, TAU, TAU, 0.4)
