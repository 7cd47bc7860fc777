#!/usr/bin/env bash
# Set up if needed, then run the whole test suite.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
cd "$root"
exec "$root/.venv/bin/python" -m pytest "$@"
