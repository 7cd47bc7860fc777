"""What users of the installed module rely on beyond the numerics: the type
stub describes the runtime module, a wheel installs into a clean environment,
and a type checker run there finds the stub on its own."""
import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import _backend

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "_backend-stubs" / "__init__.pyi"
under_sanitizer = pytest.mark.skipif(bool(os.environ.get("SEM_SANITIZED")),
                                     reason="builds and installs outside the sanitized module")


def project_version() -> str:
    return tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]


def without_mypypath() -> dict[str, str]:
    return {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}


def test_stub_matches_runtime(tmp_path):
    pytest.importorskip("mypy")
    # The search path takes a plain stub file, not a -stubs package: check
    # the very file the wheel ships, under the module's own name.
    shutil.copy(STUB, tmp_path / "_backend.pyi")
    env = dict(os.environ, MYPYPATH=str(tmp_path),
               PYTHONPATH=os.pathsep.join([str(Path(_backend.__file__).parent),
                                           os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_backend",
                          "--mypy-config-file", str(ROOT / "pyproject.toml"),
                          "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt")],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


# A front end's typical calls, written as NumPy code writes them; each
# marked line is a wrong call that must stay an error.
TYPED_CLIENT = """\
import numpy as np
import numpy.typing as npt
import _backend

p = np.int64(2)
e = _backend.MlEngine(0, p, 0, np.int32(1), meanstructure=np.bool_(True))
e.add_mapping(np.uint8(1), 0, 0, np.True_, np.int64(0), np.float32(0.5))
params: npt.NDArray[np.float64] = np.array([0.7, 0.6])
n_free = np.int64(2)
means: list[npt.NDArray[np.float64]] = [np.zeros(2), np.zeros(1)]
covs: list[npt.NDArray[np.float64]] = [np.eye(2), np.eye(1)]
obs = [np.array([0, 1]), np.array([1])]
counts = np.array([10, 5])
g: npt.NDArray[np.float64] = e.gradient_fiml(params, obs, counts, means, covs, n_free)
h = e.observed_hessian_fiml(params, obs, counts, tuple(means), tuple(covs), n_free)
f: float = e.objective_fiml(params, [[0, 1], [np.int64(1)]], [10, 5], means, covs)
j = e.jacobian_implied_moments(params, n_free)
d = _backend.DwlsEngine(0, 2, 0, 1, np.array([0.3]), np.array([1.0]), np.array([True, False]))
d.add_mapping(1, 0, 0, True, 0, 0.0)
r: npt.NDArray[np.float64] = d.gradient_dwls(params, n_free)
ll = _backend.bivariate_loglik(np.array([0, 1]), [0, 1], [0.0], [0.0], np.float32(0.5))
pls = _backend.PlsEngine().run_algorithm(np.ones((5, 2)), [np.array([0]), [1]], ("A", "B"),
                                         np.zeros((2, 2)), np.int64(5), 1e-7)
iterations: int = pls["iterations"]
stats = _backend.polychoric_statistics(np.array([[0, 1], [1, 0], [1, 1]]), np.True_, np.int64(1))
w: npt.NDArray[np.float64] = stats["weights"]
e.add_mapping(matrix_id=1, row=0, col=0, is_free=True, param_index=0, value=0.0)  # error
e.gradient_fiml(params, obs, counts, means, covs, "2")  # error
e.gradient_fiml(params, obs, counts, means, covs, 2.0)  # error
_backend.DwlsEngine(0, 2, 0, 1, [0.3], [1.0], ["yes", "no"])  # error
_backend.polychoric_statistics([[0, 1], [1, 0]], n_threads=1.5)  # error
"""


def test_stub_takes_numpy_code_under_strict_checking(tmp_path):
    pytest.importorskip("mypy")
    shutil.copy(STUB, tmp_path / "_backend.pyi")
    script = tmp_path / "client.py"
    script.write_text(TYPED_CLIENT)
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--config-file", "", str(script)], capture_output=True, text=True,
                         cwd=tmp_path, env=dict(without_mypypath(), MYPYPATH=str(tmp_path)),
                         timeout=300)
    report = out.stdout + out.stderr
    wrong = {i for i, line in enumerate(TYPED_CLIENT.splitlines(), 1) if line.endswith("# error")}
    flagged = {int(m) for m in re.findall(r"client\.py:(\d+): error", report)}
    assert flagged == wrong, report
    # And the calls the stub accepts do run.
    script.write_text("\n".join(line for line in TYPED_CLIENT.splitlines()
                                if not line.endswith("# error")))
    env = dict(os.environ, PYTHONPATH=str(Path(_backend.__file__).parent))
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         cwd=tmp_path, env=env, timeout=120)
    assert run.returncode == 0, run.stderr


def test_module_version_is_the_distributions():
    assert _backend.__version__ == project_version()


@pytest.fixture(scope="module")
def installed_wheel(tmp_path_factory):
    """A wheel built from a freshly made source distribution, away from the
    checkout, installed into a new virtual environment."""
    tmp = tmp_path_factory.mktemp("wheel")
    sdists, wheels = tmp / "sdist", tmp / "wheels"
    subprocess.run([sys.executable, "-c", "import sys, scikit_build_core.build as b; "
                    "b.build_sdist(sys.argv[1])", str(sdists)], cwd=ROOT, check=True,
                   timeout=300)
    [sdist] = sdists.glob("*.tar.gz")
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation",
                    "--no-deps", "-w", str(wheels), str(sdist)], cwd=tmp, check=True, timeout=900)
    [wheel] = wheels.glob("*.whl")
    venv = tmp / "venv"
    subprocess.run([getattr(sys, "_base_executable", sys.executable), "-m", "venv", str(venv)],
                   check=True, timeout=300)
    py = venv / "bin" / "python"
    subprocess.run([str(py), "-m", "pip", "install", "-q", str(wheel)], check=True, timeout=900)
    return wheel, venv, py


@under_sanitizer
def test_wheel_installs_and_imports_in_fresh_environment(installed_wheel):
    wheel, venv, py = installed_wheel
    assert "cp313" in wheel.name
    probe = (
        "import _backend, importlib.metadata as md, numpy as np\n"
        "e = _backend.MlEngine(0, 1, 0, 1)\n"
        "e.add_mapping(7, 0, 0, True, 0, 0.0)\n"
        "s, mu = e.get_implied_moments(np.array([2.5]))\n"
        "assert s[0, 0] == 2.5\n"
        "print(_backend.__file__)\n"
        "print(_backend.__version__, md.version('sem-backend'))\n"
        "meta = md.metadata('sem-backend')\n"
        "print(meta['License-Expression'])\n"
        "print(';'.join(meta.get_all('Classifier')))\n"
        "[lic] = [f for f in md.files('sem-backend') if f.name == 'LICENSE']\n"
        "print(lic.read_text().splitlines()[2])\n")
    out = subprocess.run([str(py), "-I", "-c", probe], capture_output=True, text=True,
                         cwd=venv.parent, timeout=120)
    assert out.returncode == 0, out.stderr
    where, versions, licence, classifiers, copyright_line = out.stdout.splitlines()
    assert where.startswith(str(venv))
    assert versions.split() == [project_version()] * 2
    assert licence == "BSD-3-Clause"
    assert copyright_line.endswith("The sem-backend developers")
    for c in ("Programming Language :: Python :: 3.13", "Programming Language :: C++",
              "Operating System :: POSIX :: Linux", "Topic :: Scientific/Engineering :: Mathematics"):
        assert c in classifiers.split(";")


def test_missing_eigen_names_what_to_install(tmp_path):
    # Configure with Eigen hidden: the message must say what to install.
    pybind11 = pytest.importorskip("pybind11")
    beside = Path(sys.executable).parent / "cmake"  # the build tools' own, from PyPI
    cmake = str(beside) if beside.exists() else shutil.which("cmake") or "cmake"
    out = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path),
                          f"-DPython_EXECUTABLE={sys.executable}",
                          f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
                          "-DCMAKE_DISABLE_FIND_PACKAGE_Eigen3=ON"],
                         capture_output=True, text=True, timeout=300)
    message = " ".join(out.stderr.split())
    assert out.returncode != 0
    for hint in ("Eigen 3.4 was not found", "libeigen3-dev", "eigen3-devel", "conda-forge: eigen",
                 "Homebrew: eigen", "-DEigen3_DIR="):
        assert hint in message, out.stderr


@under_sanitizer
def test_type_checker_finds_the_installed_stub(installed_wheel):
    """mypy resolves `_backend` from the environment alone (no search path
    set): a correct call gets its declared type, a wrong one is reported."""
    pytest.importorskip("mypy")
    _, venv, py = installed_wheel
    script = venv.parent / "client.py"
    script.write_text(
        "import numpy as np\n"
        "import _backend\n"
        "e = _backend.MlEngine(0, 1, 0, 1)\n"
        "reveal_type(e.objective_ml(np.ones(1), np.eye(1)))\n"
        "reveal_type(_backend.__version__)\n"
        "e.add_mapping(7, 0, 0, True, 'zero', 0.0)\n")
    # mypy from the test environment, but resolving imports in the fresh one.
    out = subprocess.run([sys.executable, "-m", "mypy", "--python-executable", str(py),
                          "--no-incremental", "--config-file", "", str(script)],
                         capture_output=True, text=True, cwd=venv.parent,
                         env=without_mypypath(), timeout=300)
    report = out.stdout + out.stderr
    assert out.returncode == 1, report
    assert "import-not-found" not in report and "import-untyped" not in report, report
    # Older mypy releases qualify builtin names.
    assert re.search(r'client.py:4: note: Revealed type is "(builtins\.)?float"', report), report
    assert re.search(r'client.py:5: note: Revealed type is "(builtins\.)?str"', report), report
    assert 'client.py:6: error: Argument 5 to "add_mapping" of "MlEngine" has incompatible ' \
           'type "str"; expected "SupportsIndex"' in report, report
    assert "Found 1 error in 1 file" in report, report
