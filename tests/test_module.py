"""The module's entry point: interpreter check, initialisation slots, and
the calling conventions every method relies on."""
import ctypes
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest

import _backend

HERE = Path(__file__).resolve().parent

# Slot numbers and values from CPython's moduleobject.h (stable ABI).
PY_MOD_CREATE, PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS = 1, 2, 3
PY_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED = 0


class PyModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class PyModuleDef(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("m_init", ctypes.c_void_p),
        ("m_index", ctypes.c_ssize_t),
        ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p),
        ("m_doc", ctypes.c_char_p),
        ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p),
        ("m_slots", ctypes.POINTER(PyModuleDefSlot)),
        ("m_traverse", ctypes.c_void_p),
        ("m_clear", ctypes.c_void_p),
        ("m_free", ctypes.c_void_p),
    ]


def module_def():
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype = ctypes.POINTER(PyModuleDef)
    get_def.argtypes = [ctypes.py_object]
    ptr = get_def(_backend)
    assert ptr, "the module has no definition: it was not built by multi-phase init"
    return ptr.contents


def test_module_definition_is_multi_phase_with_three_slots():
    d = module_def()
    assert d.m_name == b"_backend"
    assert d.m_doc is None and d.m_size == 0 and d.m_methods is None
    slots = []
    i = 0
    while d.m_slots[i].slot != 0:
        slots.append((d.m_slots[i].slot, d.m_slots[i].value))
        i += 1
    assert [s for s, _ in slots] == [PY_MOD_CREATE, PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS]
    # ctypes reads a NULL void* as None.
    assert slots[2][1] in (None, PY_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED)


def test_module_refuses_subinterpreters():
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create()
    try:
        err = interpreters.exec(interp, "import _backend")
    finally:
        interpreters.destroy(interp)
    assert err is not None and "_backend" in str(err.msg) and "subinterpreter" in str(err.msg)


def test_no_docstrings_beyond_signatures():
    assert _backend.__doc__ is None
    for obj in (_backend.MlEngine.__init__, _backend.MlEngine.add_mapping,
                _backend.MlEngine.get_implied_moments):
        # The generated signature is the only text.
        assert obj.__doc__.strip().count("\n") <= 1, obj.__doc__


def _fake_version_host(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc")
    config = shutil.which(f"python{sys.version_info.major}.{sys.version_info.minor}-config")
    if not cc or not config:
        pytest.skip("needs a C compiler and the interpreter's -config script")
    flags = subprocess.run([config, "--cflags"], capture_output=True, text=True, check=True).stdout
    ldflags = subprocess.run([config, "--ldflags", "--embed"], capture_output=True, text=True,
                             check=True).stdout
    exe = tmp_path / "host"
    subprocess.run([cc, str(HERE / "data" / "fake_version_host.c"), *flags.split(),
                    "-Wl,--export-dynamic", *ldflags.split(), "-o", str(exe)], check=True)
    return exe


@pytest.mark.parametrize(
    "version, accepted",
    [
        ("3.13.1 (main, Jan 1 2026)", True),
        ("3.13.0rc2", True),
        ("3.130.0", False),  # the digit after "3.13" makes it another minor version
        ("3.12.7 (main)", False),
        ("3.14.0", False),
    ],
)
def test_version_string_rule(tmp_path, version, accepted):
    """A host interpreter reporting a chosen version string imports the module."""
    exe = _fake_version_host(tmp_path)
    site_dir = str(Path(_backend.__file__).parent)
    out = subprocess.run([str(exe), version, site_dir], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    if accepted:
        assert out.stdout.strip() == "imported"
    else:
        assert out.stdout.strip() == (
            "ImportError: Python version mismatch: module was compiled for Python 3.13, "
            f"but the interpreter version is incompatible: {version}.")


LOAD_ELSEWHERE = """
import importlib.machinery, importlib.util, os, sys
if sys.argv[2] == "lazy":
    sys.setdlopenflags(os.RTLD_LAZY)
loader = importlib.machinery.ExtensionFileLoader("_backend", sys.argv[1])
found = importlib.util.spec_from_file_location("_backend", sys.argv[1], loader=loader)
try:
    importlib.util.module_from_spec(found)
    print("imported")
except ImportError as e:
    print("ImportError:", e)
"""


@pytest.mark.parametrize("binding", ["now", "lazy"])
def test_older_interpreter_cannot_load_module(binding):
    other = shutil.which("python3.11") or "/usr/bin/python3.11"
    if not os.path.exists(other):
        pytest.skip("no Python 3.11 on this machine")
    out = subprocess.run([other, "-I", "-c", LOAD_ELSEWHERE, _backend.__file__, binding],
                         capture_output=True, text=True, timeout=60)
    line = out.stdout.strip()
    assert line.startswith("ImportError:"), (line, out.stderr)
    if binding == "lazy":
        # With lazy symbol binding the loader reaches the initialiser's own check.
        assert "Python version mismatch: module was compiled for Python 3.13, but the " \
               "interpreter version is incompatible: 3.11" in line
    else:
        # Immediate binding stops earlier, at a 3.13-only C API symbol.
        assert "undefined symbol" in line or "Python version mismatch" in line


def test_extension_suffix_is_for_this_interpreter():
    assert _backend.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
    assert sys.version_info[:2] == (3, 13)


def test_engine_arguments_by_keyword_and_default():
    e = _backend.MlEngine(nx=2, ny=3, nxi=1, neta=1)
    sigma, mu = e.get_implied_moments(params=np.zeros(0))
    assert sigma.shape == (5, 5) and mu.shape == (5,)
    with pytest.raises(TypeError):
        _backend.MlEngine(1, 1, 1, 1.0)  # a float is not an int
    with pytest.raises(TypeError):
        _backend.MlEngine(1, 1, 1, 2**31)  # does not fit a 32-bit int
    with pytest.raises(TypeError):
        e.add_mapping(0, 0, 0, True, 0)  # six arguments, all required


@pytest.mark.parametrize("params", [[None, 1.0], ["0.5", 1.0], np.array([0.5 + 1j, 1.0]),
                                    np.array([None, 1.0], dtype=object), np.array(["0.5", "1"])])
@pytest.mark.parametrize("method", ["objective_ml", "get_implied_moments", "jacobian_implied_moments",
                                    "objective_fiml", "objective_dwls"])
def test_params_holding_none_or_strings_are_a_conversion_error(params, method):
    # NumPy's forced cast would read None as NaN and parse "0.5".
    ml = _backend.MlEngine(0, 2, 0, 1)
    dwls = _backend.DwlsEngine(0, 2, 0, 1, [0.3], [1.0], [False, False])
    for e in (ml, dwls):
        e.add_mapping(1, 0, 0, True, 0, 0.0)
        e.add_mapping(1, 1, 0, True, 1, 0.0)
    calls = {
        "objective_ml": lambda p: ml.objective_ml(p, np.eye(2)),
        "get_implied_moments": lambda p: ml.get_implied_moments(p)[0],
        "jacobian_implied_moments": lambda p: ml.jacobian_implied_moments(p, 2),
        "objective_fiml": lambda p: ml.objective_fiml(p, [[0, 1]], [5], [np.zeros(2)], [np.eye(2)]),
        "objective_dwls": lambda p: dwls.objective_dwls(p),
    }
    before = calls[method](np.array([0.5, 1.0]))
    with pytest.raises(TypeError, match="incompatible function arguments"):
        calls[method](params)
    np.testing.assert_array_equal(calls[method]([0.5, 1]), before)
