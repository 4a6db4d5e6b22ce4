#!/usr/bin/env bash
# Coverage-guided fuzz run of every public function (fuzz/fuzz_tarnlet.py)
# and of the model layer (fuzz/fuzz_model.py)
# with libFuzzer through atheris, the compiled modules built by clang with
# AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage
# instrumentation (-fsanitize=fuzzer-no-link), so the fuzzer steers by the
# branches of the C++ code as well as of the Python code.
#
# Usage: bash tools/fuzz.sh [SECONDS] [libFuzzer options...]
#   SECONDS defaults to $TARNLET_FUZZ_SECONDS, else 180 (the model layer's
#   target runs for $TARNLET_FUZZ_MODEL_SECONDS, else 60, after it).
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
source tools/native.sh

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
ensure_clang

# ---- environment: atheris and the instrumented package ---------------------
venv=$work/venv
kept_venv "$venv"
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
# The preloaded runtime has no C++ part of UBSan, hence no function/vptr
# checks; -fno-sanitize-recover=all makes every UBSan finding abort.
CC=clang CXX=clang++ build_wheel "$venv" "$work/dist" "$work/wheel.log" \
    --config-settings=setup-args=-Db_sanitize=address,undefined \
    --config-settings=setup-args=-Db_lundef=false \
    "--config-settings=setup-args=-Dcpp_args=-fsanitize=fuzzer-no-link -fno-sanitize=function,vptr -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
"$venv/bin/python" -m pip install -q --force-reinstall "$wheel"
check_instrumented "$venv" __asan_ __ubsan_handle_ __sanitizer_cov_

# ---- the run -------------------------------------------------------------------
# The sanitizer harness of tools/native.sh, reports on standard error (where
# libFuzzer reads them). libFuzzer's -fork and -jobs modes start the target
# again as a program: the script's "#!/usr/bin/env python3" then finds the
# environment's interpreter.
sanitizer_env - "$runtime"
san_env+=(PATH="$venv/bin:$PATH")
sanitizer_selftest "$venv/bin/python" "$work/harness.log"

# Each target in turn: the block modules' functions for SECONDS, then the
# model layer (fuzz/fuzz_model.py, random models compiled and run against
# their reference loop) for TARNLET_FUZZ_MODEL_SECONDS (default 60; 0 leaves
# it out). TARNLET_FUZZ_TARGETS names others, all for SECONDS.
if [ -n "${TARNLET_FUZZ_TARGETS:-}" ]; then
    read -r -a targets <<<"$TARNLET_FUZZ_TARGETS"
    declare -A target_seconds=()
    for t in "${targets[@]}"; do target_seconds[$t]=$seconds; done
else
    targets=(fuzz_tarnlet)
    declare -A target_seconds=([fuzz_tarnlet]=$seconds)
    model_seconds=${TARNLET_FUZZ_MODEL_SECONDS:-60}
    if [ "$model_seconds" -gt 0 ]; then
        targets+=(fuzz_model)
        target_seconds[fuzz_model]=$model_seconds
    fi
fi

failed_targets=()
for target in "${targets[@]}"; do
    secs=${target_seconds[$target]}
    section "fuzzing $target for $secs s"
    corpus=$work/corpus/$target
    crashes=$work/crashes/$target
    log=$work/$target.log
    mkdir -p "$corpus" "$crashes"
    cd "$work"
    rc=0
    env "${san_env[@]}" "$venv/bin/python" -P "$src/fuzz/$target.py" \
        -max_total_time="$secs" -detect_leaks=0 -rss_limit_mb=6144 -timeout=60 \
        -print_final_stats=1 -artifact_prefix="$crashes/" "$@" "$corpus" \
        >"$log" 2>&1 || rc=$?
    cd "$src"

    # The last status line carries coverage (cov: edges, ft: features).
    grep -m1 "^$target:" "$log" || true
    grep -E '^#[0-9]+' "$log" | tail -n 1 || true
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
    echo "corpus: $(find "$corpus" -type f | wc -l) inputs in $corpus"

    mapfile -t found < <(find "$crashes" -type f | sort)
    reported=0
    sanitizer_scan "$log" >"$work/reports.txt" || reported=1
    if [ $rc -ne 0 ] || [ ${#found[@]} -gt 0 ] || [ $reported = 1 ]; then
        finding=1
        section "FINDINGS of $target"
        cat "$work/reports.txt"
        grep -E -A12 'Uncaught Python exception|ERROR: libFuzzer|SUMMARY: libFuzzer' \
            "$log" | grep -vE '^\s+#[0-9]+ 0x' | head -n 80 || true
        for f in "${found[@]}"; do
            echo "---- $f (base64: $(base64 -w0 "$f"))"
            env "${san_env[@]}" TARNLET_FUZZ_VERBOSE=1 "$venv/bin/python" -P \
                "$src/fuzz/$target.py" -runs=1 "$f" 2>&1 | grep -E '^CALL ' | head -n 1 || true
        done
        echo "FAILED: fuzzing $target found ${#found[@]} crashing input(s) (libFuzzer exit code $rc);" \
            "full log: $log" >&2
        failed_targets+=("$target")
    fi
done
[ ${#failed_targets[@]} -eq 0 ] || exit 1
echo "no findings"
