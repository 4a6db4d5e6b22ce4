#!/usr/bin/env bash
# Builds the kernel-floor benchmark and runs it, then benchmarks/bench_runs.py
# against it, on CPython 3.12 in a virtual environment of its own
# (.venv-bench, kept between runs, with numba for the Numba peer). The
# package is installed on every run: built from the working tree, or the
# wheel TARNLET_WHEEL names. The benchmark's Meson build lives in build/bench.
# Extra arguments go to bench_runs.py, e.g. --quick, --no-year, --repeats 15,
# --json FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/find_python.sh
venv=.venv-bench
kept_venv "$venv"
"$venv/bin/python" -c "import mesonbuild, ninja, numba" 2>/dev/null ||
    "$venv/bin/python" -m pip install -q meson ninja numba
install_tarnlet "$venv"

# Meson finds NumPy's headers through the environment's numpy-config.
export PATH="$PWD/$venv/bin:$PATH"
if [ ! -f build/bench/build.ninja ]; then
    meson setup build/bench -Dbenchmarks=true
fi
ninja -C build/bench benchmarks/kernel_floor
build/bench/benchmarks/kernel_floor
"$venv/bin/python" -P benchmarks/bench_runs.py --kernel-floor build/bench/benchmarks/kernel_floor "$@"
