#!/usr/bin/env bash
# Builds tarnlet on CPython 3.12 in a fresh virtual environment (.venv) and
# runs its test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/find_python.sh
venv=.venv
rm -rf "$venv"
"$PY" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q ".[test]"
# -P keeps the source tree off sys.path, so the installed build is tested.
"$venv/bin/python" -P -m pytest -q tests "$@"
