#!/usr/bin/env bash
# Runs the worked storm-event example (examples/storm_event.py) on CPython
# 3.12 in a virtual environment of its own (.venv-example, kept between runs),
# with matplotlib for the figure. Extra arguments go to the example, e.g.
# --days 5, --steps 300, --out DIR, --no-plot.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/find_python.sh
venv=.venv-example
if [ ! -x "$venv/bin/python" ]; then
    "$PY" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
fi
"$venv/bin/python" -m pip install -q ".[plot]"
# -P keeps the source tree off sys.path, so the installed build is used.
"$venv/bin/python" -P examples/storm_event.py "$@"
