#!/usr/bin/env bash
# Lints the Python code with ruff (its rules are in pyproject.toml), installed into the CPython
# environment that the CPython test run sets up.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=.venv-cpython
scripts/bootstrap.sh "$venv" python3 >/dev/null
"$venv/bin/python" -m pip install -q --disable-pip-version-check "ruff==0.17.6"
"$venv/bin/ruff" check src tests bench scripts tools examples
