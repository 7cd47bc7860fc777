#!/usr/bin/env bash
# Set up if needed, then fit the example models on the bundled data.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/examples/main.py" "$@"
