#!/usr/bin/env bash
# Builds the extension with sanitizers and runs Python tests against it on
# CPython 3.13, with the sanitizer runtimes preloaded into the interpreter, or
# on the free-threaded CPython 3.15 built with ThreadSanitizer.
#
#   scripts/sanitize.sh [address|thread|free-threaded] [PYTEST ARGS...]
#
# address (the default): AddressSanitizer and UndefinedBehaviorSanitizer,
# over the whole suite (default: tests/python). Leak detection is off: the
# interpreter itself does not free everything at exit.
# thread: ThreadSanitizer, over the tests that run our code in several
# threads at once (default: tests/python/test_threads.py). The interpreter is
# not instrumented, so reports come from our code; the GIL is handed over
# through pthread calls that ThreadSanitizer sees, so a clean run means that
# the work we do detached from the interpreter is properly ordered.
# free-threaded: ThreadSanitizer over the same tests and those that need the
# GIL disabled (tests/python/test_threads.py and test_free_threaded.py), on
# the free-threaded interpreter built with it (scripts/free-threaded-python.sh
# tsan), whose own work is instrumented too: every Python call runs in
# parallel with every other, and a report anywhere fails the run. Suppressions
# for reports wholly inside the interpreter, each with its reason, go into
# scripts/tsan-free-threaded.supp. The test tools come from the plain
# free-threaded interpreter's tools environment (pure Python, for the same
# interpreter version), since installing them under ThreadSanitizer is slow.
#
# On CPython 3.13, Python objects are allocated with the system malloc
# (PYTHONMALLOC=malloc), which the sanitizers see: AddressSanitizer then also
# catches use-after-free of objects whose reference counts the extension got
# wrong. The scale tests run at reduced sizes (VELTRIX_SANITIZED=1).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

# The 3.13 environment with the build and test tools (sets VENV).
ensure_tools313
CMAKE="$VENV/bin/cmake"
CXX=${CXX:-g++}
MODE=address
case "${1:-}" in address | thread | free-threaded) MODE=$1; shift ;; esac
PYTHON="$VENV/bin/python" LABEL="CPython 3.13" PYTHONPATH_EXTRA="" SUPPRESSIONS="$ROOT/scripts/tsan-python.supp" MALLOC=malloc
case "$MODE" in
    thread)
        SANITIZE=thread DIR=build/rel-tsan RUNTIMES="libtsan"
        [ $# -gt 0 ] || set -- tests/python/test_threads.py
        ;;
    free-threaded)
        ensure_tools315t
        PYTHON="$(scripts/free-threaded-python.sh tsan)" SUPPRESSIONS="$ROOT/scripts/tsan-free-threaded.supp"
        PYTHONPATH_EXTRA=$("$FT_VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
        # The interpreter links libtsan itself; it allocates with mimalloc, which it cannot do without.
        SANITIZE=thread DIR=build/ft-tsan RUNTIMES="" MALLOC=mimalloc
        LABEL="the free-threaded CPython 3.15 built with ThreadSanitizer"
        [ $# -gt 0 ] || set -- tests/python/test_threads.py tests/python/test_free_threaded.py
        ;;
    *)
        SANITIZE=address,undefined DIR=build/rel-asan RUNTIMES="libasan libubsan"
        [ $# -gt 0 ] || set -- tests/python
        ;;
esac

# Warnings are the plain builds' business: gcc's diagnostics change under
# instrumentation and some are spurious there.
say "building the extension with -fsanitize=$SANITIZE"
CXX="$CXX" "$CMAKE" -S . -B "$DIR" -DVELTRIX_PYTHON=ON -DVELTRIX_TESTS=OFF -DVELTRIX_WERROR=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PYTHON" \
    -DVELTRIX_SANITIZE="$SANITIZE" >/dev/null
"$CMAKE" --build "$DIR" -j"$JOBS" --target veltrix_core

stage_site "$DIR"
origin=$(PYTHONPATH="$SITE" "$PYTHON" -c \
    'import importlib.util; print(importlib.util.find_spec("veltrix.core.veltrix_core").origin)')
[[ "$origin" == "$SITE/"* ]] || die "veltrix.core.veltrix_core resolves to $origin, not to the build in $SITE"

# The runtimes the module was linked against, in the order the loader needs
# (ASan first).
so=$(ls "$SITE"/veltrix/core/veltrix_core*.so)
preload=""
for lib in $RUNTIMES; do
    path=$(ldd "$so" | awk -v lib="$lib" '$1 ~ "^" lib "\\.so" {print $3}')
    [ -n "$path" ] || die "$so is not linked against $lib"
    preload="$preload${preload:+ }$path"
done

# Reports go to files: pytest captures the test process's stderr, and a
# report printed there would vanish with the process it halts.
REPORTS="$DIR/reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"

say "Python tests on $LABEL under -fsanitize=$SANITIZE: $*"
status=0
LD_PRELOAD="$preload" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$ROOT/$REPORTS/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$ROOT/$REPORTS/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$SUPPRESSIONS:log_path=$ROOT/$REPORTS/tsan${TSAN_OPTIONS:+:$TSAN_OPTIONS}" \
PYTHONMALLOC="$MALLOC" \
VELTRIX_SANITIZED=1 \
PYTHONPATH="$SITE${PYTHONPATH_EXTRA:+:$PYTHONPATH_EXTRA}" \
    "$PYTHON" -B -m pytest -q -p no:cacheprovider "$@" || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
    for report in "$REPORTS"/*; do
        printf '\n--- %s\n' "$report"
        cat "$report"
    done
    die "the sanitizers reported errors (pytest exit status $status)"
fi
[ "$status" -eq 0 ] || die "pytest failed under the sanitizers (exit status $status)"
