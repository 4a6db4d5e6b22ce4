#!/usr/bin/env bash
# Coverage-guided fuzz run of every public function (fuzz/fuzz_tarnlet.py)
# with libFuzzer through atheris, the compiled modules built by clang with
# AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage
# instrumentation (-fsanitize=fuzzer-no-link), so the fuzzer steers by the
# branches of the C++ code as well as of the Python code.
#
# Usage: bash tools/fuzz.sh [SECONDS] [libFuzzer options...]
#   SECONDS defaults to $TARNLET_FUZZ_SECONDS, else 180.
#   TARNLET_FUZZ_WORK=DIR  work in DIR and keep it (its virtual environment,
#                          atheris and corpus are reused by the next run);
#                          otherwise a fresh directory in ${TMPDIR:-/tmp},
#                          removed after a clean run, kept after a finding.
#   TARNLET_FUZZ_KNOWN=0   leave out the fault classes found first
#                          (arguments mutated during a call, a misaligned
#                          np.empty result, a NaN's sign or payload in a
#                          run) to look for others.
#
# Exit status: 0 when the run ends without a finding; 1 on any finding (an
# oracle violation, a crash, a sanitizer report, a timeout or out-of-memory).
# Crashing inputs are kept in WORK/crashes/ and printed, each with the call
# it decodes to (rerun one with: TARNLET_FUZZ_VERBOSE=1 python fuzz_tarnlet.py
# FILE, the sanitizer runtime preloaded as below).
#
# A longer run (an hour, both cores, going on past findings, corpus kept):
#   TARNLET_FUZZ_WORK=$HOME/tarnlet-fuzz bash tools/fuzz.sh 3600 \
#       -fork=2 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1
# then look at $HOME/tarnlet-fuzz/crashes/; repeat to go on from the corpus.
#
# Needs Debian's clang and its compiler runtime (libclang-rt-dev); both are
# installed with apt-get when missing. atheris is built from source against
# that clang's libFuzzer (a few minutes the first time; pip caches the wheel).
# The sanitizer runtime preloaded is atheris's asan_with_fuzzer.so: clang's
# ASan runtime (which carries UBSan's handlers) with libFuzzer linked in, so
# the coverage hooks of the instrumented modules reach libFuzzer. GCC's
# libasan cannot stand in: its own coverage hooks would take those calls.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
source tools/find_python.sh

seconds=${1:-${TARNLET_FUZZ_SECONDS:-180}}
[ $# -gt 0 ] && shift
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
    echo "usage: bash tools/fuzz.sh [SECONDS] [libFuzzer options...]" >&2
    exit 2
fi

if [ -n "${TARNLET_FUZZ_WORK:-}" ]; then
    work=$TARNLET_FUZZ_WORK
    mkdir -p "$work"
    keep=1
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/tarnlet-fuzz.XXXXXX")
    keep=0
fi
finding=0
cleanup() {
    if [ $keep = 1 ] || [ $finding = 1 ]; then
        echo "(work directory kept: $work)"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

section() { printf '\n======== %s ========\n' "$*"; }

# ---- toolchain ---------------------------------------------------------------
section "clang and libFuzzer"
have_toolchain() {
    command -v clang >/dev/null && command -v clang++ >/dev/null || return 1
    local lib
    lib=$(clang -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a)
    [ -f "$lib" ] || lib=$(clang -print-file-name=libclang_rt.fuzzer_no_main.a)
    [ -f "$lib" ]
}
if ! have_toolchain; then
    echo "installing clang and its compiler runtime with apt-get"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq clang libclang-rt-dev >"$work/apt.log" 2>&1 || {
        tail -n 20 "$work/apt.log"
        echo "FAILED: apt-get install clang libclang-rt-dev" >&2
        exit 1
    }
    have_toolchain || { echo "FAILED: clang's libFuzzer not found after install" >&2; exit 1; }
fi
clang --version | head -n 1

# ---- environment: atheris and the instrumented package ---------------------
venv=$work/venv
if [ ! -x "$venv/bin/python" ]; then
    "$PY" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
fi
if ! "$venv/bin/python" -c "import atheris" 2>/dev/null; then
    section "atheris, built against clang's libFuzzer"
    install_atheris() {
        CC=clang CXX=clang++ CLANG_BIN=$(command -v clang) \
            "$venv/bin/python" -m pip install --no-binary atheris atheris >>"$work/atheris.log" 2>&1
    }
    if ! install_atheris && ! install_atheris; then  # a second try for a passing fault
        tail -n 40 "$work/atheris.log"
        echo "FAILED: atheris build (log: $work/atheris.log)" >&2
        finding=1  # keeps the work directory
        exit 1
    fi
fi
runtime=$("$venv/bin/python" -c "import atheris; print(atheris.path())")/asan_with_fuzzer.so
[ -f "$runtime" ] || { echo "FAILED: $runtime missing from the atheris build" >&2; exit 1; }
echo "atheris $("$venv/bin/python" -c 'import importlib.metadata as m; print(m.version("atheris"))'); runtime: $runtime"

section "tarnlet built by clang with ASan, UBSan and coverage for libFuzzer"
rm -rf "$work/dist"
# The preloaded runtime has no C++ part of UBSan, hence no function/vptr
# checks; -fno-sanitize-recover=all makes every UBSan finding abort.
if ! CC=clang CXX=clang++ "$venv/bin/python" -m pip wheel -v --no-deps -w "$work/dist" \
    --config-settings=setup-args=-Db_sanitize=address,undefined \
    --config-settings=setup-args=-Db_lundef=false \
    "--config-settings=setup-args=-Dcpp_args=-fsanitize=fuzzer-no-link -fno-sanitize=function,vptr -fno-sanitize-recover=all -fno-omit-frame-pointer -g" \
    "$src" >"$work/wheel.log" 2>&1; then
    tail -n 60 "$work/wheel.log"
    echo "FAILED: instrumented build" >&2
    exit 1
fi
"$venv/bin/python" -m pip install -q --force-reinstall "$work"/dist/tarnlet-*.whl
mapfile -t sos < <(find "$venv/lib" -path '*/tarnlet/*' -name '*.so' | sort)
[ ${#sos[@]} -gt 0 ] || { echo "FAILED: no compiled tarnlet modules installed" >&2; exit 1; }
for so in "${sos[@]}"; do
    symbols=$(nm -D --undefined-only "$so")
    for wanted in __asan_ __ubsan_handle_ __sanitizer_cov_; do
        grep -q "$wanted" <<<"$symbols" || {
            echo "FAILED: $so lacks $wanted instrumentation" >&2
            exit 1
        }
    done
done
echo "${#sos[@]} compiled modules, each instrumented for ASan, UBSan and libFuzzer"

# ---- the run -------------------------------------------------------------------
# libFuzzer's -fork and -jobs modes start the target again as a program: the
# script's "#!/usr/bin/env python3" then finds the environment's interpreter.
run_env=(
    PATH="$venv/bin:$PATH"
    LD_PRELOAD="$runtime"
    PYTHONMALLOC=malloc
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=0"
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
)
# The harness: the preloaded runtime must catch a deliberate overflow.
if env "${run_env[@]}" "$venv/bin/python" -P -c '
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
ctypes.string_at(libc.malloc(8), 64)
' >"$work/harness.log" 2>&1 || ! grep -q heap-buffer-overflow "$work/harness.log"; then
    cat "$work/harness.log"
    echo "FAILED: the preloaded runtime did not catch a deliberate overflow" >&2
    exit 1
fi

section "fuzzing for $seconds s"
corpus=$work/corpus
crashes=$work/crashes
mkdir -p "$corpus" "$crashes"
cd "$work"
rc=0
env "${run_env[@]}" "$venv/bin/python" -P "$src/fuzz/fuzz_tarnlet.py" \
    -max_total_time="$seconds" -detect_leaks=0 -rss_limit_mb=6144 -timeout=60 \
    -print_final_stats=1 -artifact_prefix="$crashes/" "$@" "$corpus" \
    >"$work/fuzz.log" 2>&1 || rc=$?
cd "$src"

# The last status line carries coverage (cov: edges, ft: features).
grep -m1 '^fuzz_tarnlet:' "$work/fuzz.log" || true
grep -E '^#[0-9]+' "$work/fuzz.log" | tail -n 1 || true
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$work/fuzz.log" || true
echo "corpus: $(find "$corpus" -type f | wc -l) inputs in $corpus"

mapfile -t found < <(find "$crashes" -type f | sort)
if [ $rc -ne 0 ] || [ ${#found[@]} -gt 0 ]; then
    finding=1
    section "FINDINGS"
    grep -E -A12 'Uncaught Python exception|ERROR: (AddressSanitizer|libFuzzer)|runtime error:|SUMMARY: ' \
        "$work/fuzz.log" | grep -vE '^\s+#[0-9]+ 0x' | head -n 80 || true
    for f in "${found[@]}"; do
        echo "---- $f (base64: $(base64 -w0 "$f"))"
        env "${run_env[@]}" TARNLET_FUZZ_VERBOSE=1 "$venv/bin/python" -P \
            "$src/fuzz/fuzz_tarnlet.py" -runs=1 "$f" 2>&1 | grep -E '^CALL ' | head -n 1 || true
    done
    echo "FAILED: fuzzing found ${#found[@]} crashing input(s) (libFuzzer exit code $rc); full log: $work/fuzz.log" >&2
    exit 1
fi
echo "no findings"
