#!/usr/bin/env bash
# Runs the worked storm-event example (examples/storm_event.py) on CPython
# 3.12 in a virtual environment of its own (.venv-example, kept between runs),
# with matplotlib for the figure. Extra arguments go to the example, e.g.
# --days 5, --steps 300, --out DIR, --no-plot, --step-loop, --check.
#
# The package is installed editable: the first run builds it (in build/),
# later runs rebuild only what changed in the sources, when Python imports it.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/find_python.sh
venv=.venv-example
kept_venv "$venv"
# (Re)install only when the project's metadata changed: new dependencies or build requirements.
stamp="$venv/.tarnlet-installed"
want="$(cat pyproject.toml meson.build | "$venv/bin/python" -c 'import hashlib, sys; print(hashlib.sha256(sys.stdin.buffer.read()).hexdigest())')"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    # An editable build runs in this environment: it needs the build requirements here.
    "$venv/bin/python" -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))' \
        > "$venv/build-requirements.txt"
    "$venv/bin/python" -m pip install -q ninja -r "$venv/build-requirements.txt"
    "$venv/bin/python" -m pip install -q --no-build-isolation -e ".[plot]"
    echo "$want" > "$stamp"
fi
# -P keeps the source folder off sys.path: the editable install's import hook
# finds the package and rebuilds it when the sources changed.
"$venv/bin/python" -P examples/storm_event.py "$@"
