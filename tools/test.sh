#!/usr/bin/env bash
# Builds tarnlet on CPython 3.12 in a fresh virtual environment (.venv) and
# runs its test suite. Extra arguments go to pytest.
#
# The package is built once, as a wheel in pip's build isolation, into
# build/wheel/ (beside it build.log, the verbose build), and that wheel is
# installed and tested. CI hands the same wheel on to the steps that only
# install the package (TARNLET_WHEEL, see .ci/run). TARNLET_WERROR=1 builds it
# with the compiler's warnings as errors, as CI does.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/find_python.sh
venv=.venv
fresh_venv "$venv"
options=()
if [ "${TARNLET_WERROR:-0}" = 1 ]; then
    options+=(--config-settings=setup-args=-Dwerror=true)
fi
build_wheel "$venv" build/wheel build/wheel/build.log "${options[@]}"
"$venv/bin/python" -m pip install -q "${wheel}[test]"
# -P keeps the source tree off sys.path, so the installed build is tested.
"$venv/bin/python" -P -m pytest -q tests "$@"
