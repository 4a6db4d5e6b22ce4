#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html with warnings as
# errors, in a virtual environment of its own (.venv-docs, kept between runs):
# the package (built from this tree, or the wheel TARNLET_WHEEL names) plus
# docs/requirements.txt. The gallery runs the
# examples; TARNLET_DOCS_QUICK=1 runs them in their short mode. Extra
# arguments go to sphinx-build.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/find_python.sh
venv=${TARNLET_DOCS_VENV:-.venv-docs}
kept_venv "$venv"
"$venv/bin/python" -m pip install -q -r docs/requirements.txt
install_tarnlet "$venv"
rm -rf docs/_build/html docs/_build/doctrees docs/gallery
# Matplotlib draws off-screen; -P keeps the source tree off sys.path.
MPLBACKEND=Agg "$venv/bin/python" -P -m sphinx -W --keep-going -b html -d docs/_build/doctrees \
    docs docs/_build/html "$@"
# An example that ended the interpreter would leave an empty site behind.
for page in index blocks/sewer gallery/storm_event api/runs; do
    [ -s "docs/_build/html/$page.html" ] || { echo "docs: $page.html was not built" >&2; exit 1; }
done
echo "Open docs/_build/html/index.html"
