#!/usr/bin/env bash
# Builds free-threaded CPython 3.15 interpreters (configure --disable-gil)
# from the CPython source snapshot shipped beside the project, each into a
# private prefix in the project's cache, once; later runs reuse them.
#
#   plain  <cache>/cpython-3.15t       the free-threaded interpreter
#   tsan   <cache>/cpython-3.15t-tsan  the same, built with ThreadSanitizer
#
# Usage:
#   scripts/free-threaded-python.sh                  build both if missing, print where they are
#   scripts/free-threaded-python.sh plain|tsan       build that one if missing, print its bin/python3
#   scripts/free-threaded-python.sh plain|tsan --prefix
#                                                    print its prefix (no build)
#   scripts/free-threaded-python.sh --help           this text
#
# The snapshot is CPython's main branch of late May 2025 (3.15.0a0): it
# predates 3.15's final C API and the builtins that later 3.15 releases
# added, so the newest pip, pytest and hypothesis do not run on it
# (FT_TOOLS in scripts/common.sh pins versions that do). Each prefix holds
# the interpreter, its standard library without the test suite, and the
# headers; the standard library is byte-compiled on first import rather
# than at install time (under ThreadSanitizer that takes minutes).
# Progress goes to standard error, the build's output to <prefix>.log.
#
# Environment:
#   VELTRIX_CPYTHON_TARBALL  the source tarball (default: shared/cpython/
#                            cpython-3.15.0a0-src.tar.xz in the checkout's
#                            parent directory, or, from a git worktree, in
#                            its main checkout's parent)
#   VELTRIX_CACHE            the project's cache directory
#   VELTRIX_JOBS             parallel compile jobs (default 2)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

TARBALL_NAME=cpython-3.15.0a0-src.tar.xz
TARBALL_SHA256=3b4f0384afc4fd2169489a95635da66f2f16b1d83be28a64ec20f1b94ac920ea
# The marker's first line: a prefix made by an earlier version of this
# script (other configure options) is built again.
LAYOUT="cpython-3.15.0a0 layout 1"

die() { echo "free-threaded-python.sh: error: $*" >&2; exit 1; }
note() { echo "free-threaded-python.sh: $*" >&2; }
usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'; }

prefix_of() {  # VARIANT
    case "$1" in
        plain) echo "$CACHE/cpython-3.15t" ;;
        tsan) echo "$CACHE/cpython-3.15t-tsan" ;;
    esac
}

# The tarball: the override, else shared/cpython/ beside the checkout or
# beside the main checkout of this worktree.
find_tarball() {
    if [ -n "${VELTRIX_CPYTHON_TARBALL:-}" ]; then
        echo "$VELTRIX_CPYTHON_TARBALL"
        return
    fi
    local first="$ROOT/../shared/cpython/$TARBALL_NAME" common
    if [ ! -e "$first" ] && common=$(git -C "$ROOT" rev-parse --path-format=absolute --git-common-dir 2>/dev/null) \
        && [ -e "$common/../../shared/cpython/$TARBALL_NAME" ]; then
        first="$common/../../shared/cpython/$TARBALL_NAME"
    fi
    realpath -m "$first"
}

check_tarball() {
    local actual
    [ -f "$TARBALL" ] || die "$TARBALL: no such file (expected sha256 $TARBALL_SHA256; set VELTRIX_CPYTHON_TARBALL)"
    actual=$(sha256sum "$TARBALL" | cut -d' ' -f1)
    [ "$actual" = "$TARBALL_SHA256" ] || die "$TARBALL: sha256 $actual, expected $TARBALL_SHA256"
}

# Fills STAGE/root with the interpreter VARIANT, installed for PREFIX; prints
# the marker's description.
build_interpreter() {  # STAGE
    local stage="$1" log="$PREFIX.log" t0=$SECONDS src options=(--disable-gil --with-ensurepip=no --disable-test-modules)
    [ "$VARIANT" = tsan ] && options+=(--with-thread-sanitizer)
    note "building CPython 3.15 ($VARIANT: ${options[*]}) into $PREFIX, output in $log"
    tar -xJf "$TARBALL" -C "$stage" || die "could not unpack $TARBALL"
    src=$(echo "$stage"/cpython-*/)
    # PYTHON_FOR_BUILD=true turns the install's byte-compilation of the
    # standard library into a no-op; everything else it would run is
    # already up to date after make.
    if ! (cd "$src" && ./configure --prefix="$PREFIX" "${options[@]}" \
        && make -j"$JOBS" && make install DESTDIR="$stage/dest" PYTHON_FOR_BUILD=true) >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        die "building CPython 3.15 ($VARIANT) failed (the end of $log is above)"
    fi
    mv "$stage/dest$PREFIX" "$stage/root" || die "make install left no $stage/dest$PREFIX"
    ln -sfn python3.15t "$stage/root/bin/python3"
    # The modules that pip, the tests and the benchmarks need.
    "$stage/root/bin/python3" -c "import sys, sysconfig, ssl, zlib, ctypes, _decimal, hashlib, json, venv, ensurepip, sqlite3, bz2, lzma
assert sysconfig.get_config_var('Py_GIL_DISABLED') and not sys._is_gil_enabled()" >>"$log" 2>&1 \
        || { tail -n 20 "$log" >&2; die "the new interpreter lacks a module or runs with the GIL (see $log)"; }
    if [ "$VARIANT" = tsan ]; then
        ldd "$stage/root/bin/python3.15t" | grep -q libtsan || die "the ThreadSanitizer build is not linked against libtsan"
    fi
    note "built $VARIANT in $((SECONDS - t0))s"
    echo "CPython 3.15.0a0 ($VARIANT) configured with ${options[*]}, from $TARBALL (sha256 $TARBALL_SHA256), built $(date -u +%Y-%m-%dT%H:%M:%SZ)"
}

ensure_interpreter() {  # VARIANT
    VARIANT="$1" PREFIX=$(prefix_of "$1")
    prefix_complete "$PREFIX" "$LAYOUT" && return 0
    TARBALL=$(find_tarball)
    check_tarball
    ensure_build_tools >&2
    ensure_debs make pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev >&2
    ensure_prefix "$PREFIX" "$LAYOUT" build_interpreter
}

case "${1:-}" in
    -h | --help) usage ;;
    "")
        for variant in plain tsan; do ensure_interpreter $variant; done
        for variant in plain tsan; do printf '%-6s %s/bin/python3\n' $variant "$(prefix_of $variant)"; done
        ;;
    plain | tsan)
        case "${2:-}" in
            --prefix) prefix_of "$1" ;;
            "") ensure_interpreter "$1"; echo "$(prefix_of "$1")/bin/python3" ;;
            *) die "unknown option '$2' (see --help)" ;;
        esac
        ;;
    *) die "unknown argument '$1' (see --help)" ;;
esac
