#!/usr/bin/env bash
# Idempotent set-up: CPython 3.13 and Eigen from Debian, a project-local
# virtual environment with the build and test tools from PyPI, and the
# `_backend` module built into it. Fast when everything is already there.
#
# One line per step on stdout; the tools' own output goes to
# build/setup.log, whose tail is shown when a step fails.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
venv="$root/.venv"
vpy="$venv/bin/python"
py313=/usr/bin/python3.13
mkdir -p "$root/build"
log="$root/build/setup.log"
: > "$log"

now() { date +%s.%N; }
ran_steps=0
step() {  # step "what is done" command...
    local what="$1" t0 rc=0
    shift
    printf '%s ... ' "$what"
    t0=$(now)
    printf '\n==> %s\n' "$what" >> "$log"
    # A subshell outside any condition, so that errexit holds inside it.
    set +e
    ( set -e; "$@" ) >> "$log" 2>&1
    rc=$?
    set -e
    local took
    took=$(awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }')
    if [ "$rc" -ne 0 ]; then
        echo "failed after ${took} s (exit $rc); last lines of $log:"
        tail -n 25 "$log" | sed 's/^/    /'
        exit "$rc"
    fi
    echo "${took} s"
    ran_steps=$((ran_steps + 1))
}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Steps run in subshells: the marker of a done update is a file.
apt_update() {
    [ -f "$probe/apt-updated" ] || { as_root apt-get update -qq; touch "$probe/apt-updated"; }
}
apt_install() { as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"; }

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# CPython 3.13 with headers and venv support, from Debian's own suite when it
# has them, otherwise from the next stable suite (only these packages and
# what they need are taken from it).
venv_ok() { rm -rf "$1" && "$py313" -m venv "$1" >/dev/null 2>&1; }
venv_healthy() {
    [ "$("$vpy" -c 'import sys, pip; print(sys.version_info[:2] == (3, 13))' 2>/dev/null)" = True ]
}

install_python() {
    apt_update
    local src=/etc/apt/sources.list.d/trixie.sources
    # Once the newer suite was added, /etc/debian_version reads 13 here too:
    # keep taking these packages from it.
    if [ ! -f "$src" ] && [ "$(cut -d. -f1 /etc/debian_version 2>/dev/null)" -ge 13 ] 2>/dev/null; then
        apt_install python3.13 python3.13-dev python3.13-venv python3-pip-whl
        return
    fi
    if [ ! -f "$src" ]; then
        local uri
        uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
        [ -n "$uri" ] || uri=$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
        printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$uri" | as_root tee "$src" >/dev/null
        printf 'Package: *\nPin: release n=trixie\nPin-Priority: 100\n' \
            | as_root tee /etc/apt/preferences.d/trixie-low >/dev/null
        rm -f "$probe/apt-updated"
        apt_update
    fi
    # The older suite's bundled pip cannot bootstrap 3.13; take the newer one.
    apt_install -t trixie python3.13 python3.13-dev python3.13-venv python3-pip-whl \
        python3-setuptools-whl
}

install_eigen() { apt_update; apt_install libeigen3-dev; }

# A venv made by another interpreter, or a broken one, is rebuilt.
create_venv() { rm -rf "$venv"; "$py313" -m venv "$venv" || { rm -rf "$venv"; return 1; }; }

req="$root/requirements-dev.txt"
stamp="$venv/.requirements.sha"
install_requirements() {
    "$vpy" -m pip install -q --upgrade pip
    "$vpy" -m pip install -q -r "$req"
    sha256sum "$req" | cut -d' ' -f1 > "$stamp"
}

build_stamp="$venv/.build.sha"
build_inputs() {
    find src cmake CMakeLists.txt pyproject.toml -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.txt' -o -name '*.cmake' \
        -o -name '*.toml' -o -name '*.pyi' \) -print0 | sort -z | xargs -0 sha256sum | sha256sum \
        | cut -d' ' -f1
}
build_module() {
    "$vpy" -m pip install -q --no-build-isolation --no-deps "$root"
    build_inputs > "$build_stamp"
}

t_start=$(now)
probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
if ! have_pkg python3.13-dev || [ ! -x "$py313" ] || \
   { ! venv_healthy && ! venv_ok "$probe/v"; }; then
    step "installing CPython 3.13 and its headers from Debian" install_python
fi
if ! have_pkg libeigen3-dev; then
    step "installing Eigen 3 from Debian" install_eigen
fi
if ! venv_healthy; then
    step "creating .venv" create_venv
fi
if [ ! -f "$stamp" ] || [ "$(sha256sum "$req" | cut -d' ' -f1)" != "$(cat "$stamp")" ]; then
    step "installing the build, test and example tools into .venv (requirements-dev.txt)" \
        install_requirements
fi
# Rebuild only when a build input changed.
if [ ! -f "$build_stamp" ] || [ "$(build_inputs)" != "$(cat "$build_stamp")" ] || \
   ! "$vpy" -c 'import _backend' >/dev/null 2>&1; then
    step "building _backend and installing it into .venv" build_module
fi
if [ "$ran_steps" -eq 0 ]; then
    awk -v a="$t_start" -v b="$(now)" 'BEGIN { printf "set-up in place (checked in %.1f s)\n", b - a }'
fi
