#!/usr/bin/env bash
# Incremental developer build into build/dev (or $1) without installing:
# run tests against it with PYTHONPATH=<that dir>.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
vpy="${SEM_PYTHON:-$root/.venv/bin/python}"
out="${1:-$root/build/dev}"
shift || true
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$vpy" -Dpybind11_DIR="$("$vpy" -m pybind11 --cmakedir)" "$@" >/dev/null
cmake --build "$out"
