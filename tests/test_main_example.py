"""The example runner's command line: help, unknown names, per-example options."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _backend

RUNNER = Path(__file__).resolve().parent.parent / "examples" / "main.py"
EXAMPLES = ["implied_moments", "fit_ml", "fit_fiml", "fit_ordinal", "fit_pls", "bootstrap"]


def run(*args: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_backend.__file__))
    return subprocess.run([sys.executable, str(RUNNER), *args], env=env, capture_output=True,
                          text=True, timeout=120)


def test_help_lists_every_example_with_its_options():
    out = run("--help")
    assert out.returncode == 0, out.stderr
    for name in EXAMPLES:
        assert f"\n  {name} " in out.stdout
    assert "[--missing MISSING]" in out.stdout and "[--pool {dask,process}]" in out.stdout


@pytest.mark.parametrize("argv", [["json"], ["--json"], ["fit_ml", "--bogus"]])
def test_bad_command_line_exits_2_saying_what_exists(argv):
    out = run(*argv)
    assert out.returncode == 2 and out.stdout == ""
    if argv == ["json"]:
        [line] = out.stderr.splitlines()
        assert "'json'" in line and all(name in line for name in EXAMPLES)
    else:
        assert "error:" in out.stderr


@pytest.mark.parametrize("name", EXAMPLES)
def test_each_example_answers_help(name):
    out = run(name, "--help")
    assert out.returncode == 0 and out.stdout.startswith(f"usage: {name} "), out.stderr
