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


def test_module_version_is_the_distributions():
    assert _backend.__version__ == project_version()


@pytest.fixture(scope="module")
def installed_wheel(tmp_path_factory):
    """A freshly built wheel installed into a new virtual environment."""
    tmp = tmp_path_factory.mktemp("wheel")
    wheels = tmp / "wheels"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation",
                    "--no-deps", "-w", str(wheels), str(ROOT)], check=True, timeout=900)
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
        "print(_backend.__version__, md.version('sem-backend'))\n")
    out = subprocess.run([str(py), "-I", "-c", probe], capture_output=True, text=True,
                         cwd=venv.parent, timeout=120)
    assert out.returncode == 0, out.stderr
    where, versions = out.stdout.splitlines()
    assert where.startswith(str(venv))
    assert versions.split() == [project_version()] * 2


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
           'type "str"; expected "int"' in report, report
    assert "Found 1 error in 1 file" in report, report
