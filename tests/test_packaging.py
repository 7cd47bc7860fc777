"""What users of the installed module rely on beyond the numerics: the type
stub describes the runtime module, and a wheel installs into a clean
environment."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _backend

ROOT = Path(__file__).resolve().parent.parent
under_sanitizer = pytest.mark.skipif(bool(os.environ.get("SEM_SANITIZED")),
                                     reason="builds and installs outside the sanitized module")


def test_stub_matches_runtime():
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(ROOT / "src"),
               PYTHONPATH=os.pathsep.join([str(Path(_backend.__file__).parent),
                                           os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_backend",
                          "--mypy-config-file", str(ROOT / "pyproject.toml"),
                          "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt")],
                         capture_output=True, text=True, env=env, cwd=ROOT, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


@under_sanitizer
def test_wheel_installs_and_imports_in_fresh_environment(tmp_path):
    wheels = tmp_path / "wheels"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation",
                    "--no-deps", "-w", str(wheels), str(ROOT)], check=True, timeout=900)
    [wheel] = wheels.glob("*.whl")
    assert "cp313" in wheel.name
    venv = tmp_path / "venv"
    subprocess.run([getattr(sys, "_base_executable", sys.executable), "-m", "venv", str(venv)],
                   check=True, timeout=300)
    py = venv / "bin" / "python"
    subprocess.run([str(py), "-m", "pip", "install", "-q", str(wheel)], check=True, timeout=900)
    probe = (
        "import _backend, pathlib, numpy as np\n"
        "e = _backend.MlEngine(0, 1, 0, 1)\n"
        "e.add_mapping(7, 0, 0, True, 0, 0.0)\n"
        "s, mu = e.get_implied_moments(np.array([2.5]))\n"
        "assert s[0, 0] == 2.5\n"
        "here = pathlib.Path(_backend.__file__).parent\n"
        "assert (here / '_backend.pyi').is_file() and (here / 'py.typed').is_file()\n"
        "print(_backend.__file__)\n")
    out = subprocess.run([str(py), "-I", "-c", probe], capture_output=True, text=True,
                         cwd=tmp_path, timeout=120)
    assert out.returncode == 0, out.stderr
    assert str(venv) in out.stdout
