# Sourced by tools/ci_checks.sh and tools/fuzz.sh: the one clang install and
# the one sanitizer harness they share.
#
#   apt_install PACKAGE...   Debian packages with apt-get (as root; apt-get
#                            update first); fails with the packages named
#                            where apt-get cannot run
#   ensure_clang             clang, clang++ and clang's compiler runtime
#                            (libclang-rt-dev: its sanitizer runtimes and
#                            libFuzzer), installed once when missing
#   sanitizer_env REPORTS RUNTIME...
#                            sets the array `san_env`, the environment of a
#                            process under the sanitizers: RUNTIME(s)
#                            preloaded, Python's allocations through malloc,
#                            every ASan and UBSan finding fatal; ASan's
#                            reports go to files in the directory REPORTS, or
#                            with REPORTS "-" to standard error
#   sanitizer_selftest PYTHON LOG
#                            a deliberate heap overflow under `san_env` must
#                            end PYTHON with a report
#   check_instrumented VENV WHAT...
#                            every compiled tarnlet module installed in VENV
#                            references each symbol prefix WHAT (__asan_ ...)
#                            or, for WHAT "needs:LIB", links LIB
#   sanitizer_scan LOG       prints every sanitizer report in LOG and in the
#                            REPORTS files; fails when there is one

apt_install() {
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "FAILED: missing $* (install Debian's package(s): apt-get install $*)" >&2
        return 1
    fi
    echo "installing $* with apt-get"
    local log
    log=$(mktemp "${TMPDIR:-/tmp}/apt.XXXXXX")
    if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"; } >"$log" 2>&1
    then
        tail -n 20 "$log"
        rm -f "$log"
        echo "FAILED: apt-get install $*" >&2
        return 1
    fi
    rm -f "$log"
}

_have_clang() {
    command -v clang >/dev/null 2>&1 && command -v clang++ >/dev/null 2>&1 || return 1
    local lib
    lib=$(clang -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a)
    [ -f "$lib" ] || lib=$(clang -print-file-name=libclang_rt.fuzzer_no_main.a)
    [ -f "$lib" ]
}

ensure_clang() {
    if ! _have_clang; then
        apt_install clang libclang-rt-dev || return 1
        _have_clang || { echo "FAILED: clang or its libFuzzer not found after the install" >&2; return 1; }
    fi
    clang++ --version | head -n 1
}

sanitizer_env() {
    san_reports=$1
    shift
    local log_path=""
    if [ "$san_reports" != - ]; then
        mkdir -p "$san_reports"
        log_path=":log_path=$san_reports/asan"
    fi
    # An impossible allocation (the MemoryError tests) must return NULL, not
    # abort; leaks are not looked for (the interpreter keeps memory on purpose).
    san_env=(
        LD_PRELOAD="$*"
        PYTHONMALLOC=malloc
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:allocator_may_return_null=1$log_path"
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    )
}

_report_files() {
    [ "$san_reports" != - ] || return 0
    find "$san_reports" -type f | sort
}

sanitizer_selftest() {
    local python=$1 log=$2 rc=0
    env "${san_env[@]}" "$python" -P -c '
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
ctypes.string_at(libc.malloc(8), 64)
' >"$log" 2>&1 || rc=$?
    local files
    mapfile -t files < <(_report_files)
    if [ $rc -eq 0 ] || ! cat "$log" "${files[@]}" | grep -q heap-buffer-overflow; then
        cat "$log" "${files[@]}"
        echo "FAILED: the preloaded sanitizer runtime did not catch a deliberate overflow" >&2
        return 1
    fi
    [ ${#files[@]} -eq 0 ] || rm -f "${files[@]}"
    echo "the preloaded sanitizer runtime catches a deliberate overflow: yes"
}

check_instrumented() {
    local venv=$1
    shift
    local sos
    mapfile -t sos < <(find "$venv/lib" -path '*/tarnlet/*' -name '*.so' | sort)
    if [ ${#sos[@]} -eq 0 ]; then
        echo "FAILED: no compiled tarnlet modules installed in $venv" >&2
        return 1
    fi
    local so what symbols needed
    for so in "${sos[@]}"; do
        symbols=$(nm -D --undefined-only "$so")
        needed=$(readelf -d "$so" | grep NEEDED || true)
        for what in "$@"; do
            case $what in
                needs:*) grep -q "${what#needs:}" <<<"$needed" ;;
                *) grep -q "$what" <<<"$symbols" ;;
            esac || {
                echo "FAILED: $so lacks ${what#needs:}" >&2
                return 1
            }
        done
    done
    echo "${#sos[@]} compiled modules, each with: $*"
}

# A report of either sanitizer, as they print it.
SANITIZER_REPORT='runtime error:|ERROR: AddressSanitizer|SUMMARY: (Address|UndefinedBehavior)Sanitizer'

sanitizer_scan() {
    local log=$1 found=0 f
    if grep -Eq "$SANITIZER_REPORT" "$log"; then
        echo "---- sanitizer report(s) in $log ----"
        grep -E -A12 "$SANITIZER_REPORT" "$log" | grep -vE '^\s+#[0-9]+ 0x' | head -n 80
        found=1
    fi
    while IFS= read -r f; do
        # An impossible allocation refused by the allocator (the MemoryError
        # tests, allocator_may_return_null=1) leaves only a warning.
        grep -qv "WARNING: AddressSanitizer failed to allocate" "$f" || continue
        echo "---- sanitizer report $(basename "$f") ----"
        cat "$f"
        found=1
    done < <(_report_files)
    return $found
}
