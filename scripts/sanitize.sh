#!/usr/bin/env bash
# Builds the extension with sanitizers and runs Python tests against it on
# CPython 3.13, with the sanitizer runtimes preloaded into the interpreter, or
# on the free-threaded CPython 3.15 built with ThreadSanitizer.
#
#   scripts/sanitize.sh [address|thread|free-threaded] [PYTEST ARGS...]
#
# address (default): ASan and UBSan over the whole suite (default
# tests/python); no leak detection, the interpreter does not free everything.
# thread: TSan over the tests that run our code in several threads at once
# (default tests/python/test_threads.py). The interpreter is not
# instrumented, but hands the GIL over through pthread calls that TSan sees:
# a clean run means our detached work is properly ordered.
# free-threaded: TSan over those tests and test_free_threaded.py on the
# interpreter built with it (scripts/free-threaded-python.sh tsan), whose own
# work is instrumented too; a report anywhere fails the run (suppressions
# for reports wholly inside the interpreter, with their reasons:
# scripts/tsan-free-threaded.supp). The test tools come from the plain
# free-threaded interpreter's environment: installing them under TSan is slow.
# On 3.13 objects are allocated with the system malloc, which the sanitizers
# see (a use-after-free from a wrong reference count is caught). The scale
# tests run at reduced sizes (VELTRIX_SANITIZED=1).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

ensure_tools313
MODE=address
case "${1:-}" in address | thread | free-threaded) MODE=$1; shift ;; esac
PYTHON="$VENV/bin/python" LABEL="CPython 3.13" PYTHONPATH_EXTRA="" SUPPRESSIONS="$ROOT/scripts/tsan-python.supp" MALLOC=malloc
case "$MODE" in
    thread)
        PRESET=tsan RUNTIMES="libtsan"
        [ $# -gt 0 ] || set -- tests/python/test_threads.py
        ;;
    free-threaded)
        ensure_tools315t
        PYTHON="$(scripts/free-threaded-python.sh tsan)" SUPPRESSIONS="$ROOT/scripts/tsan-free-threaded.supp"
        PYTHONPATH_EXTRA=$("$FT_VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
        # The interpreter links libtsan itself; it allocates with mimalloc, which it cannot do without.
        PRESET=ft-tsan RUNTIMES="" MALLOC=mimalloc
        LABEL="the free-threaded CPython 3.15 built with ThreadSanitizer"
        [ $# -gt 0 ] || set -- tests/python/test_threads.py tests/python/test_free_threaded.py
        ;;
    *)
        PRESET=asan RUNTIMES="libasan libubsan"
        [ $# -gt 0 ] || set -- tests/python
        ;;
esac
DIR="build/$PRESET"

say "building the extension in $DIR (the $PRESET flavour)"
build_preset "$PRESET" "$PYTHON"
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
REPORTS="$ROOT/$DIR/reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"

say "Python tests on $LABEL under the $PRESET flavour: $*"
status=0
LD_PRELOAD="$preload" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$REPORTS/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$SUPPRESSIONS:log_path=$REPORTS/tsan${TSAN_OPTIONS:+:$TSAN_OPTIONS}" \
PYTHONMALLOC="$MALLOC" VELTRIX_SANITIZED=1 PYTHONPATH="$SITE${PYTHONPATH_EXTRA:+:$PYTHONPATH_EXTRA}" \
    "$PYTHON" -B -m pytest -q -p no:cacheprovider "$@" || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
    tail -n +1 "$REPORTS"/*  # each report under its file's name
    die "the sanitizers reported errors (pytest exit status $status)"
fi
[ "$status" -eq 0 ] || die "pytest failed under the sanitizers (exit status $status)"
