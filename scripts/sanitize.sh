#!/usr/bin/env bash
# Build the module with AddressSanitizer + UndefinedBehaviorSanitizer into
# build/asan and run the test suite (or the given pytest arguments) against
# it. Any sanitizer report aborts the run with a non-zero exit.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
out="$root/build/asan"
bash "$root/scripts/dev_build.sh" "$out" -DSEM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cd "$root"
# The interpreter is not instrumented, so the runtime must come first.
# libstdc++ too: ASan resolves the real __cxa_throw when it starts.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
# Leaks are measured separately (bench/leak_check.py): the interpreter's own
# allocations at exit would drown the report.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Route Python's small-object allocations through malloc so ASan sees them.
export PYTHONMALLOC=malloc
export PYTHONPATH="$out"
export SEM_SANITIZED=1
# The fuzz profile is smaller here than in the plain run: every call costs
# several times more under the sanitizers.
export SEM_FUZZ_EXAMPLES="${SEM_FUZZ_EXAMPLES:-200}"
exec "$root/.venv/bin/python" -m pytest -p no:cacheprovider "${@:--q}"
