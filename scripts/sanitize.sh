#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole Python test suite against it on CPython 3.13, with the
# sanitizer runtimes preloaded into the interpreter.
#
#   scripts/sanitize.sh [PYTEST ARGS...]     (default: tests/python)
#
# Python objects are allocated with the system malloc (PYTHONMALLOC=malloc) so
# that AddressSanitizer also sees use-after-free of objects whose reference
# counts the extension got wrong. Leak detection is off: the interpreter
# itself does not free everything at exit. The scale tests run at reduced
# sizes (VELTRIX_SANITIZED=1).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

# The 3.13 environment with the build and test tools (sets VENV).
ensure_tools313
CMAKE="$VENV/bin/cmake"
CXX=${CXX:-g++}
DIR=build/rel-asan

# Warnings are the plain builds' business: gcc's diagnostics change under
# instrumentation and some are spurious there.
say "building the extension with -fsanitize=address,undefined"
CXX="$CXX" "$CMAKE" -S . -B "$DIR" -DVELTRIX_PYTHON=ON -DVELTRIX_TESTS=OFF -DVELTRIX_WERROR=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$VENV/bin/python" \
    -DVELTRIX_SANITIZE=address,undefined >/dev/null
"$CMAKE" --build "$DIR" -j"$JOBS" --target veltrix_core

SITE="$DIR/site"
rm -rf "$SITE" && mkdir -p "$SITE"
cp -r python/veltrix "$SITE/"
cp "$DIR"/veltrix_core*.so "$SITE/veltrix/core/"
origin=$(PYTHONPATH="$ROOT/$SITE" "$VENV/bin/python" -c \
    'import importlib.util; print(importlib.util.find_spec("veltrix.core.veltrix_core").origin)')
[[ "$origin" == "$ROOT/$SITE/"* ]] || die "veltrix.core.veltrix_core resolves to $origin, not to the build in $SITE"

# The runtimes the module was linked against, in the order the loader needs
# (ASan first).
so=$(ls "$SITE"/veltrix/core/veltrix_core*.so)
asan=$(ldd "$so" | awk '/libasan\.so/ {print $3}')
ubsan=$(ldd "$so" | awk '/libubsan\.so/ {print $3}')
[ -n "$asan" ] || die "$so is not linked against libasan"
preload="$asan${ubsan:+ $ubsan}"

# Reports go to files: pytest captures the test process's stderr, and a
# report printed there would vanish with the process it halts.
REPORTS="$DIR/reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"

say "Python tests on CPython 3.13 under ASan and UBSan"
[ $# -gt 0 ] || set -- tests/python
status=0
LD_PRELOAD="$preload" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$ROOT/$REPORTS/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$ROOT/$REPORTS/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
PYTHONMALLOC=malloc \
VELTRIX_SANITIZED=1 \
PYTHONPATH="$ROOT/$SITE" \
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
    for report in "$REPORTS"/*; do
        printf '\n--- %s\n' "$report"
        cat "$report"
    done
    die "the sanitizers reported errors (pytest exit status $status)"
fi
[ "$status" -eq 0 ] || die "pytest failed under the sanitizers (exit status $status)"
