#!/usr/bin/env bash
# Sets up a fresh machine for kevro and keeps it set up: Debian packages, a virtual environment
# for one interpreter, the build tools in it, and kevro built and installed into it. A second run
# repeats only what is missing or out of date.
#
#   scripts/bootstrap.sh [VENV [INTERPRETER]]     defaults: .venv pypy3
#   KEVRO_APT_EXTRA="pkg ..."                     more Debian packages to make sure of
set -euo pipefail

cd "$(dirname "$0")/.."
venv=${1:-.venv}
interpreter=${2:-pypy3}

say() { printf 'bootstrap: %s\n' "$*" >&2; }

# Debian packages, installed only when missing.
# graphviz lays out the graph of `kevro report`; chromium renders that page in the tests;
# redis-server is the broker of the tests of `kevro run --executor celery`.
packages="pypy3 pypy3-dev pypy3-venv gcc g++ libgtest-dev graphviz chromium redis-server ${KEVRO_APT_EXTRA:-}"
missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
if [ -n "$missing" ]; then
    say "installing Debian packages:$missing"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq $missing >/dev/null
fi

# The virtual environment, made anew only when it is missing or broken.
if ! "$venv/bin/python" -c "import sys" >/dev/null 2>&1; then
    say "creating $venv with $interpreter"
    rm -rf "$venv"
    "$interpreter" -m venv "$venv"
fi
py="$venv/bin/python"

# Build and test tools inside the environment, kevro's own dependency (rich, for the
# progress display and summary of `python -m kevro run`) and its kevro[celery] extra (Celery
# and redis-py, for `kevro run --executor celery` and `kevro worker`; the tests use them).
if ! "$py" -c "import pytest, scikit_build_core, rich, celery, redis" >/dev/null 2>&1 ||
    [ ! -x "$venv/bin/cmake" ] || [ ! -x "$venv/bin/ninja" ]; then
    say "installing build and test tools into $venv"
    "$py" -m pip install -q --disable-pip-version-check --upgrade pip
    "$py" -m pip install -q --disable-pip-version-check "pytest>=7" "scikit-build-core>=0.10" \
        "cmake>=3.20" ninja "rich>=13" "celery[redis]>=5.3" "redis>=4"
fi

# kevro itself, rebuilt when any file that goes into it changed. The build directory is
# kept per interpreter, so a rebuild compiles only what changed.
stamp="$venv/.kevro-source-hash"
hash=$(find CMakeLists.txt pyproject.toml src -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' \
    -o -name '*.pyi' -o -name '*.txt' -o -name '*.toml' -o -name 'py.typed' \) -print0 |
    sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$hash" ] || ! "$py" -c "import kevro, _kevro" >/dev/null 2>&1; then
    say "building and installing kevro into $venv"
    PATH="$PWD/$venv/bin:$PATH" "$py" -m pip install -q --disable-pip-version-check \
        --no-build-isolation --no-deps --force-reinstall .
    echo "$hash" >"$stamp"
fi
"$py" -c "import kevro, _kevro"
