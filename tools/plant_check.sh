#!/usr/bin/env bash
# The plant check: the worked example's plant influent, written by
# tarnlet.io.write_influent, read by QSDsan 1.5.3 and run through a small
# ASM2d plant (tools/plant_check.py says what is checked). Exits non-zero when
# a check fails.
#
# QSDsan lives in a virtual environment of its own, .venv-plant, kept between
# runs (set TARNLET_PLANT_VENV for another place): made once with QSDsan
# (about a minute), then tarnlet from this tree is installed again only when
# its sources changed (a stamp of their git hashes); the wheel TARNLET_WHEEL
# names (CI) is installed every time. Extra arguments go to plant_check.py.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/find_python.sh
venv=${TARNLET_PLANT_VENV:-.venv-plant}
started=$SECONDS
kept_venv "$venv"
# (the installed version is asked of the package metadata: importing QSDsan takes 15-30 s)
if [ "$("$venv/bin/python" -c 'import importlib.metadata as m; print(m.version("qsdsan"))' 2>/dev/null)" != 1.5.3 ]
then
    "$venv/bin/python" -m pip install -q "qsdsan==1.5.3"
fi
stamp="$venv/tarnlet-sources"
sources=$( (git ls-files -s -- tarnlet frame meson.build meson.options pyproject.toml 2>/dev/null || true;
    git diff HEAD -- tarnlet frame meson.build meson.options pyproject.toml 2>/dev/null || true) | sha256sum)
if [ -n "${TARNLET_WHEEL:-}" ]; then
    install_tarnlet "$venv"  # the given wheel, whatever the stamp says
    rm -f "$stamp"
elif [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$sources" ] ||
    ! "$venv/bin/python" -P -c "import tarnlet.io, tarnlet.brookvane.sewer" >/dev/null 2>&1; then
    install_tarnlet "$venv"
    echo "$sources" > "$stamp"
fi
echo "plant check environment ready in $((SECONDS - started)) s"
# -P keeps the source tree off sys.path: the installed tarnlet is checked.
"$venv/bin/python" -P -W ignore::DeprecationWarning tools/plant_check.py "$@"
