# Sourced by the tools: sets PY to a CPython 3.12 interpreter. On these
# machines pyenv installs it; elsewhere python3.12 on PATH is used.
PY=""
if command -v pyenv >/dev/null 2>&1; then
    PY=$(ls -d "$(pyenv root)"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V | tail -n 1 || true)
fi
if [ -z "$PY" ]; then
    PY=$(command -v python3.12 || true)
fi
if [ -z "$PY" ]; then
    echo "CPython 3.12 not found (neither under pyenv nor as python3.12 on PATH)" >&2
    exit 1
fi
