#!/usr/bin/env bash
# The whole test suite: C++ unit tests (plain, under ThreadSanitizer and
# under AddressSanitizer + UndefinedBehaviorSanitizer), the fuzzer for a
# bounded time, a compile of the binding layer for the free-threaded
# interpreter against the final 3.15 headers, the artifacts of
# scripts/build-dist.sh (sdist and wheels) with the Python tests on CPython
# 3.13, 3.14 and 3.15 against the installed wheels, the Python tests on the
# free-threaded CPython 3.15 (built here from the source snapshot) against
# the extension built for it, the Python tests on 3.13 against an
# AddressSanitizer + UndefinedBehaviorSanitizer build of the extension, and
# the Python thread tests against a ThreadSanitizer build, on 3.13 and on the
# free-threaded 3.15 built with ThreadSanitizer.
# Set VELTRIX_QUICK=1 to skip the sanitizer builds and the fuzzer.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

WERROR=OFF
[ -n "${CI:-}" ] && WERROR=ON

# Each step's wall time, listed at the end.
TIMES=()
STEP=""
STEP_START=$SECONDS
step() {  # name of the next step ("" ends the last)
    [ -z "$STEP" ] || TIMES+=("$(printf '%6ds  %s' $((SECONDS - STEP_START)) "$STEP")")
    STEP="$1"
    STEP_START=$SECONDS
    [ -z "$STEP" ] || say "$STEP"
}

step "installing the tools"
ensure_debs libgtest-dev graphviz clang libclang-rt-14-dev cmake ccache
ensure_tools313
CMAKE="$VENV/bin/cmake"

cpp_suite() {  # name, extra cmake args...
    local dir="build/$1"; shift
    "$CMAKE" -S . -B "$dir" -DVELTRIX_TESTS=ON -DVELTRIX_WERROR=$WERROR "$@" >/dev/null
    "$CMAKE" --build "$dir" -j"$JOBS" --target veltrix_tests
}

step "C++ unit tests"
cpp_suite cpp-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
build/cpp-tests/veltrix_tests --gtest_brief=1

if [ -z "${VELTRIX_QUICK:-}" ]; then
    step "C++ unit tests under ThreadSanitizer"
    cpp_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIX_SANITIZE=thread
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan/veltrix_tests --gtest_brief=1

    # Leaks, double frees and out-of-bounds use in the core's own memory
    # management (large blocks, e-node storage, input lists).
    step "C++ unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
    cpp_suite asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIX_SANITIZE=address,undefined
    ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
        build/asan/veltrix_tests --gtest_brief=1

    if [ -x scripts/fuzz.sh ]; then
        step "fuzzing the blob reader and token parsers"
        scripts/fuzz.sh "${VELTRIX_FUZZ_SECONDS:-60}"
    fi
fi

# The free-threaded interpreter that runs the tests below is a snapshot that
# predates 3.15's final C API, so the binding layer is also compiled against
# the final 3.15 headers with Py_GIL_DISABLED, as a free-threaded
# interpreter's headers define it.
step "compiling the binding layer for the free-threaded interpreter (3.15t)"
PY315_INCLUDE="$(scripts/debian-python.sh 3.15 --include)"
VERSION="$(sed -n 's/^version = "\([^"]*\)"$/\1/p' pyproject.toml | head -n1)"  # as CMake reads it
for src in src/python/*.cpp; do
    echo "$src"
    g++ -std=c++20 -O2 -DNDEBUG -fPIC -Wall -Wextra -Werror -DPy_GIL_DISABLED=1 -DVELTRIX_VERSION="\"$VERSION\"" \
        -Isrc -I"$PY315_INCLUDE" -c "$src" -o /dev/null
done

# The wheels are what the Python tests run against, on every interpreter.
step "sdist and wheels; the Python tests on CPython 3.13, 3.14 and 3.15 against the installed wheels"
VELTRIX_WERROR=$WERROR scripts/build-dist.sh

step "building the free-threaded CPython 3.15 from the source snapshot"
scripts/free-threaded-python.sh plain
step "Python tests on the free-threaded CPython 3.15 against the wheel built for it"
VELTRIX_WERROR=$WERROR scripts/free-threaded-tests.sh

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
