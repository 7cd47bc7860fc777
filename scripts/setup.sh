#!/usr/bin/env bash
# Idempotent set-up: CPython 3.13 and Eigen from Debian, a project-local
# virtual environment with the build and test tools from PyPI, and the
# `_backend` module built into it. Fast when everything is already there.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
venv="$root/.venv"
py313=/usr/bin/python3.13

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

apt_updated=0
apt_update() { [ "$apt_updated" = 1 ] || { as_root apt-get update -qq; apt_updated=1; }; }

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# CPython 3.13 with headers and venv support, from Debian's own suite when it
# has them, otherwise from the next stable suite (only these packages and
# what they need are taken from it).
venv_ok() { rm -rf "$1" && "$py313" -m venv "$1" >/dev/null 2>&1; }
venv_healthy() {
    [ "$("$venv/bin/python" -c 'import sys, pip; print(sys.version_info[:2] == (3, 13))' 2>/dev/null)" = True ]
}
probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
if ! have_pkg python3.13-dev || [ ! -x "$py313" ] || \
   { ! venv_healthy && ! venv_ok "$probe/v"; }; then
    apt_update
    src=/etc/apt/sources.list.d/trixie.sources
    # Once the newer suite was added, /etc/debian_version reads 13 here too:
    # keep taking these packages from it.
    if [ ! -f "$src" ] && [ "$(cut -d. -f1 /etc/debian_version 2>/dev/null)" -ge 13 ] 2>/dev/null; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            python3.13 python3.13-dev python3.13-venv python3-pip-whl
    else
        if [ ! -f "$src" ]; then
            uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
            [ -n "$uri" ] || uri=$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
            printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
                "$uri" | as_root tee "$src" >/dev/null
            printf 'Package: *\nPin: release n=trixie\nPin-Priority: 100\n' \
                | as_root tee /etc/apt/preferences.d/trixie-low >/dev/null
            apt_updated=0
            apt_update
        fi
        # The older suite's bundled pip cannot bootstrap 3.13; take the newer one.
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -t trixie \
            python3.13 python3.13-dev python3.13-venv python3-pip-whl python3-setuptools-whl
    fi
fi

if ! have_pkg libeigen3-dev; then
    apt_update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libeigen3-dev
fi

# A venv made by another interpreter, or a broken one, is rebuilt.
if ! venv_healthy; then
    rm -rf "$venv"
    "$py313" -m venv "$venv" || { rm -rf "$venv"; exit 1; }
fi
vpy="$venv/bin/python"

req="$root/requirements-dev.txt"
stamp="$venv/.requirements.sha"
if [ ! -f "$stamp" ] || [ "$(sha256sum "$req" | cut -d' ' -f1)" != "$(cat "$stamp")" ]; then
    "$vpy" -m pip install -q --upgrade pip
    "$vpy" -m pip install -q -r "$req"
    sha256sum "$req" | cut -d' ' -f1 > "$stamp"
fi

# Rebuild only when a build input changed.
build_stamp="$venv/.build.sha"
sum=$(cd "$root" && find src CMakeLists.txt pyproject.toml -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.txt' -o -name '*.toml' -o -name '*.pyi' -o -name 'py.typed' \) -print0 \
      | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
if [ ! -f "$build_stamp" ] || [ "$sum" != "$(cat "$build_stamp")" ] || \
   ! "$vpy" -c 'import _backend' >/dev/null 2>&1; then
    "$vpy" -m pip install -q --no-build-isolation --no-deps "$root"
    echo "$sum" > "$build_stamp"
fi
