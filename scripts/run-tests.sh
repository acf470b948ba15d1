#!/usr/bin/env bash
# The whole test suite, step by step below (README.md, "Two commands"); the
# builds are the flavours of CMakePresets.json, in build/<flavour>.
# VELTRIX_QUICK=1 skips the sanitizer builds and the fuzzer.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

export VELTRIX_WERROR=OFF
[ -z "${CI:-}" ] || VELTRIX_WERROR=ON

# Each step's wall time, listed at the end.
TIMES=()
STEP=""
STEP_START=$SECONDS
step() {  # name of the next step ("" ends the last)
    [ -z "$STEP" ] || TIMES+=("$(printf '%6ds  %s' $((SECONDS - STEP_START)) "$STEP")")
    STEP="$1" STEP_START=$SECONDS
    [ -z "$STEP" ] || say "$STEP"
}

step "installing the tools"
ensure_debs libgtest-dev graphviz clang libclang-rt-14-dev
ensure_tools313

step "C++ unit tests"
build_preset tests ""
build/tests/veltrix_tests --gtest_brief=1

if [ -z "${VELTRIX_QUICK:-}" ]; then
    # The same builds serve the Python tests under the sanitizers below.
    step "C++ unit tests under ThreadSanitizer"
    build_preset tsan "$VENV/bin/python"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan/veltrix_tests --gtest_brief=1

    # Leaks, double frees and out-of-bounds use in the core's own memory
    # management (large blocks, e-node storage, input lists).
    step "C++ unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
    build_preset asan "$VENV/bin/python"
    ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
        build/asan/veltrix_tests --gtest_brief=1

    step "fuzzing the blob reader and token parsers"
    scripts/fuzz.sh "${VELTRIX_FUZZ_SECONDS:-60}"
fi

# The free-threaded interpreter that runs the tests below is a snapshot that
# predates 3.15's final C API, so the binding layer is also compiled against
# the final 3.15 headers with Py_GIL_DISABLED, as a free-threaded
# interpreter's headers define it.
step "compiling the binding layer for the free-threaded interpreter (3.15t)"
build_preset free-threaded "" -DVELTRIX_PYTHON_INCLUDE="$(scripts/debian-python.sh 3.15 --include)"

# The wheels are what the Python tests run against, on every interpreter.
step "sdist and wheels; the Python tests on CPython 3.13, 3.14 and 3.15 against the installed wheels"
scripts/build-dist.sh

step "building the free-threaded CPython 3.15 from the source snapshot"
scripts/free-threaded-python.sh plain
step "Python tests on the free-threaded CPython 3.15 against the wheel built for it"
scripts/free-threaded-tests.sh

if [ -z "${VELTRIX_QUICK:-}" ]; then
    step "Python tests on CPython 3.13 under AddressSanitizer + UndefinedBehaviorSanitizer"
    scripts/sanitize.sh address
    step "Python thread tests on CPython 3.13 under ThreadSanitizer"
    scripts/sanitize.sh thread
    step "building the free-threaded CPython 3.15 with ThreadSanitizer"
    scripts/free-threaded-python.sh tsan
    step "Python thread tests on the free-threaded CPython 3.15 built with ThreadSanitizer"
    scripts/sanitize.sh free-threaded
fi

step ""
say "wall time of each step"
printf '%s\n' "${TIMES[@]}"
printf '%6ds  total\n' "$SECONDS"
