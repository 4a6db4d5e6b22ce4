# Sourced by the tools: sets PY to a CPython 3.12 interpreter, and defines
# find_cpython VERSION, which prints the newest interpreter of that CPython
# version (such as 3.13) or fails, and kept_venv DIR, which makes DIR a
# virtual environment of PY with a current pip unless it already is one
# (kept between runs). On these machines pyenv installs the interpreters;
# elsewhere pythonX.Y on PATH is used.
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
    if [ ! -x "$1/bin/python" ]; then
        "$PY" -m venv "$1"
        "$1/bin/python" -m pip install -q --upgrade pip
    fi
}
