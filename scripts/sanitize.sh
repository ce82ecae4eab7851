#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (Debug build type, so assertions stay on) into .venv-sanitize and runs the
# test suite against it. Any sanitizer report fails the run. Extra arguments
# go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
VENV="$ROOT/.venv-sanitize"
setup_venv "test,monitor" \
    --config-settings=cmake.build-type=Debug \
    --config-settings=cmake.define.MTHREAD_SANITIZE=ON \
    --config-settings=build-dir=build/sanitize

CXX_BIN="${CXX:-g++}"
# The runtimes must come first; libstdc++ too, or the sanitizer cannot find
# the real __cxa_throw when the interpreter (a C program) loads our module.
PRELOAD="$($CXX_BIN -print-file-name=libasan.so) $($CXX_BIN -print-file-name=libstdc++.so.6)"
REPORTS="$(mktemp -d)"
export PYTHONMALLOC=malloc
# Tests skip RSS checks (the sanitizer keeps freed memory in quarantine) and the
# Ray tests (Ray's processes would inherit the sanitizer preload).
export MTHREAD_SANITIZED=1
export LSAN_OPTIONS="suppressions=$ROOT/tools/lsan.supp:print_suppressions=0"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"
cd "$ROOT"

# run_suite: runs pytest once; any failure or sanitizer report fails it.
run_suite() {
    local status=0
    rm -rf "$REPORTS"/*
    LD_PRELOAD="$PRELOAD" "$VENV/bin/python" -m pytest -p no:cacheprovider "$@" || status=$?
    if compgen -G "$REPORTS/*" >/dev/null; then
        echo "sanitizer reports:" >&2
        cat "$REPORTS"/* >&2
        status=1
    fi
    return $status
}

# LeakSanitizer's own tracer now and then crashes while it stops a process's
# threads at exit ("LeakSanitizer has encountered a fatal error"): a failure of
# the tool, not a finding. A run whose only reports are such crashes is run
# once more; any real report, or a second failure, fails.
status=0
run_suite "$@" || status=$?
if [ $status -ne 0 ] && compgen -G "$REPORTS/*" >/dev/null \
        && grep -q "LeakSanitizer has encountered a fatal error" "$REPORTS"/* \
        && ! grep -qE "ERROR: (AddressSanitizer|LeakSanitizer: detected)|runtime error" "$REPORTS"/*; then
    echo "sanitize: LeakSanitizer's tracer crashed; running the suite once more" >&2
    status=0
    run_suite "$@" || status=$?
fi
rm -rf "$REPORTS"
exit $status
