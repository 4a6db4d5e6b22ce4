# Sourced by every tool: the interpreters, the virtual environments and the
# package's wheel, each made one way.
#
#   PY                       a CPython 3.12 interpreter (pyenv's on these
#                            machines; python3.12 on PATH elsewhere)
#   find_cpython VERSION     prints the newest interpreter of that CPython
#                            version (such as 3.13) or fails
#   kept_venv DIR [PYTHON]   makes DIR a virtual environment of PYTHON (PY by
#                            default) with a current pip, unless it already is
#                            a working one of that interpreter: kept between
#                            runs (.venv-docs, .venv-bench, ...)
#   fresh_venv DIR [PYTHON]  the same, made anew (DIR removed first)
#   build_wheel VENV OUTDIR LOG [pip wheel options...]
#                            one wheel of the source tree, built in pip's build
#                            isolation by VENV's pip; sets `wheel` to its path
#   install_tarnlet VENV [EXTRAS]
#                            installs tarnlet into VENV: the wheel named by
#                            TARNLET_WHEEL when set (CI: the one tools/test.sh
#                            built and tested), else one wheel built now from
#                            the source tree; EXTRAS such as "[test]"
TARNLET_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

find_cpython() {
    local version=$1 found=""
    if command -v pyenv >/dev/null 2>&1; then
        # (free-threaded builds, such as 3.13.0t, are left out)
        found=$(ls -d "$(pyenv root)"/versions/"$version".*/bin/python"$version" 2>/dev/null |
            grep -v 't/bin/' | sort -V | tail -n 1 || true)
    fi
    if [ -z "$found" ]; then
        found=$(command -v "python$version" || true)
    fi
    if [ -z "$found" ]; then
        echo "CPython $version not found (neither under pyenv nor as python$version on PATH)" >&2
        return 1
    fi
    echo "$found"
}

PY=$(find_cpython 3.12) || exit 1

kept_venv() {
    local dir=$1 python=${2:-$PY}
    # A kept environment whose interpreter vanished or changed version is made again.
    local want have
    want=$("$python" -c 'import sys; print(sys.version)')
    have=$("$dir/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null || true)
    if [ "$have" != "$want" ]; then
        rm -rf "$dir"
        "$python" -m venv "$dir"
        # (repeated --config-settings keys need pip >= 23.1)
        "$dir/bin/python" -m pip install -q --upgrade pip
    fi
}

fresh_venv() {
    rm -rf "$1"
    kept_venv "$@"
}

build_wheel() {
    local venv=$1 out=$2 log=$3
    shift 3
    mkdir -p "$out" "$(dirname "$log")"
    rm -f "$out"/tarnlet-*.whl
    echo "building a wheel of $TARNLET_ROOT (log: $log)"
    if ! "$venv/bin/python" -m pip wheel -v --no-deps -w "$out" "$@" "$TARNLET_ROOT" >"$log" 2>&1; then
        tail -n 80 "$log"
        echo "FAILED: wheel build (full log: $log; last 80 lines above)" >&2
        exit 1
    fi
    local wheels=("$out"/tarnlet-*.whl)
    if [ ${#wheels[@]} -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
        echo "FAILED: expected one tarnlet wheel in $out" >&2
        exit 1
    fi
    wheel=${wheels[0]}
    echo "wheel: $wheel"
    grep -m1 "Run-time dependency numpy found" "$log" || true
}

install_tarnlet() {
    local venv=$1 extras=${2:-} use=${TARNLET_WHEEL:-}
    if [ -n "$use" ]; then
        if [ ! -f "$use" ]; then
            echo "FAILED: TARNLET_WHEEL=$use is not a file" >&2
            exit 1
        fi
        echo "installing the given wheel: $use"
    else
        local out
        out=$(mktemp -d "${TMPDIR:-/tmp}/tarnlet-wheel.XXXXXX")
        build_wheel "$venv" "$out" "$out/build.log"
        use=$wheel
    fi
    # The same version may be installed already: replaced, then its
    # dependencies (and EXTRAS) brought in.
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$use"
    "$venv/bin/python" -m pip install -q "$use$extras"
    [ -n "${TARNLET_WHEEL:-}" ] || rm -rf "$(dirname "$use")"
}
