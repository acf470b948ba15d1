#!/usr/bin/env bash
# The whole test suite: C++ unit tests (plain, under ThreadSanitizer and
# under AddressSanitizer + UndefinedBehaviorSanitizer), the
# fuzzer for a bounded time, and the Python tests on CPython 3.13 (plain,
# under AddressSanitizer + UndefinedBehaviorSanitizer, and the thread tests
# under ThreadSanitizer) and 3.15.
# Set VELTRIX_QUICK=1 to skip the sanitizer builds and the fuzzer.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

WERROR=OFF
[ -n "${CI:-}" ] && WERROR=ON

ensure_debs libgtest-dev graphviz clang libclang-rt-14-dev cmake
ensure_venv313
CMAKE="$VENV/bin/cmake"

cpp_suite() {  # name, extra cmake args...
    local dir="build/$1"; shift
    "$CMAKE" -S . -B "$dir" -DVELTRIX_TESTS=ON -DVELTRIX_WERROR=$WERROR "$@" >/dev/null
    "$CMAKE" --build "$dir" -j"$JOBS" --target veltrix_tests
}

say "C++ unit tests"
cpp_suite cpp-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
build/cpp-tests/veltrix_tests --gtest_brief=1

if [ -z "${VELTRIX_QUICK:-}" ]; then
    say "C++ unit tests under ThreadSanitizer"
    cpp_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIX_SANITIZE=thread
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan/veltrix_tests --gtest_brief=1

    # Leaks, double frees and out-of-bounds use in the core's own memory
    # management (large blocks, e-node storage, input lists).
    say "C++ unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
    cpp_suite asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIX_SANITIZE=address,undefined
    ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
        build/asan/veltrix_tests --gtest_brief=1

    if [ -x scripts/fuzz.sh ]; then
        say "fuzzing the blob reader and token parsers"
        scripts/fuzz.sh "${VELTRIX_FUZZ_SECONDS:-60}"
    fi
fi

say "Python tests on CPython 3.13"
"$VENV/bin/python" -m pytest -q tests/python

if [ -z "${VELTRIX_QUICK:-}" ]; then
    VENV="$VENV" scripts/sanitize.sh address
    VENV="$VENV" scripts/sanitize.sh thread
fi

say "Python tests on CPython 3.15"
PY315="$ROOT/scripts/python315.sh"
"$PY315" --ensure >/dev/null
"$CMAKE" -S . -B build/py315 -DVELTRIX_PYTHON=ON -DVELTRIX_WERROR=$WERROR -DCMAKE_BUILD_TYPE=Release \
    -DVELTRIX_PYTHON_INCLUDE="$("$PY315" --include)" -DVELTRIX_PYTHON_SUFFIX="$("$PY315" --ext-suffix)" >/dev/null
"$CMAKE" --build build/py315 -j"$JOBS" --target veltrix_core
SITE=build/py315/site
rm -rf "$SITE" && mkdir -p "$SITE"
cp -r python/veltrix "$SITE/"
cp build/py315/veltrix_core*.so "$SITE/veltrix/core/"
PYTHONPATH="$ROOT/$SITE:$("$PY315" --site-deps)" "$PY315" -m pytest -q -p no:cacheprovider tests/python
