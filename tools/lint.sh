#!/usr/bin/env bash
# The formatting and lint checks of CI (tools/ci_checks.sh lint):
#
#   ruff check .                       the rules of [tool.ruff] in pyproject.toml
#   clang-format --dry-run --Werror    every tracked C++ source (*.cpp, *.h) against
#                                      .clang-format
#   commit subjects                    at most 72 characters, for every commit after
#                                      the one that made it the rule
#
# ruff (pinned below) lives in a virtual environment of its own (.venv-lint,
# kept between runs; TARNLET_LINT_VENV for another place); clang-format is
# Debian's package, installed with apt-get when missing.
#
# Usage: bash tools/lint.sh          check, change nothing
#        bash tools/lint.sh --fix    apply ruff's fixes and clang-format in place
#                                    (then commit that on its own: formatting only)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/find_python.sh
source tools/native.sh

ruff_version=0.17.6
# Commits after this one have subjects of at most 72 characters.
subjects_since=858a34a

fix=0
case "${1:-}" in
    "") ;;
    --fix) fix=1 ;;
    *) echo "usage: bash tools/lint.sh [--fix]" >&2; exit 2 ;;
esac

venv=${TARNLET_LINT_VENV:-.venv-lint}
kept_venv "$venv"
if [ "$("$venv/bin/ruff" --version 2>/dev/null)" != "ruff $ruff_version" ]; then
    "$venv/bin/python" -m pip install -q "ruff==$ruff_version"
fi
command -v clang-format >/dev/null 2>&1 || apt_install clang-format

failed=()
mapfile -t cxx < <(git ls-files '*.cpp' '*.h')

if [ $fix = 1 ]; then
    "$venv/bin/ruff" check --fix . || failed+=("ruff (what --fix leaves)")
    clang-format -i "${cxx[@]}"
    echo "$(clang-format --version): ${#cxx[@]} C++ sources formatted"
else
    echo "-- $("$venv/bin/ruff" --version): ruff check ."
    "$venv/bin/ruff" check . || failed+=("ruff check")
    echo "-- $(clang-format --version): ${#cxx[@]} C++ sources"
    clang-format --dry-run --Werror "${cxx[@]}" || failed+=("clang-format")
fi

echo "-- commit subjects after $subjects_since: at most 72 characters"
if git rev-parse -q --verify "$subjects_since^{commit}" >/dev/null &&
    git merge-base --is-ancestor "$subjects_since" HEAD; then
    long=$(git log --format='%h %s' "$subjects_since..HEAD" | awk 'length($0) - index($0, " ") > 72')
    if [ -n "$long" ]; then
        echo "subjects longer than 72 characters (put the rest in the body):"
        echo "$long"
        failed+=("commit subjects")
    fi
else
    echo "skipped: $subjects_since is not in this history (a shallow clone or an export)"
fi

if [ ${#failed[@]} -gt 0 ]; then
    printf 'FAILED: %s\n' "${failed[@]}" >&2
    exit 1
fi
echo "lint: clean"
