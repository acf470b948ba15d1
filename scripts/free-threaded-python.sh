#!/usr/bin/env bash
# Builds free-threaded CPython 3.15 interpreters (configure --disable-gil)
# from the CPython source snapshot shipped beside the project, each into a
# private prefix in the project's cache (VELTRIX_CACHE, default
# ~/.cache/veltrix), once; later runs reuse them.
#
#   scripts/free-threaded-python.sh plain    builds <cache>/cpython-3.15t if missing
#   scripts/free-threaded-python.sh tsan     the same built with ThreadSanitizer,
#                                            <cache>/cpython-3.15t-tsan
#
# and prints its bin/python3. The snapshot is CPython's main branch of late
# May 2025 (3.15.0a0; scripts/free-threaded-requirements.txt pins the tools
# that run on it): shared/cpython/cpython-3.15.0a0-src.tar.xz beside the
# checkout (or beside a worktree's main checkout), or VELTRIX_CPYTHON_TARBALL.
# A prefix holds the interpreter, its standard library without the test
# suite (byte-compiled on first import: under TSan, installing would take
# minutes) and the headers. The build's output goes to <prefix>.log.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

TARBALL_NAME=cpython-3.15.0a0-src.tar.xz
TARBALL_SHA256=3b4f0384afc4fd2169489a95635da66f2f16b1d83be28a64ec20f1b94ac920ea
LAYOUT="cpython-3.15.0a0 layout 1"  # the marker's first line: another one is built again
case "${1:-}" in
    plain) PREFIX="$CACHE/cpython-3.15t" OPTIONS=() ;;
    tsan) PREFIX="$CACHE/cpython-3.15t-tsan" OPTIONS=(--with-thread-sanitizer) ;;
    -h | --help | "") usage; exit 0 ;;
    *) die "unknown argument '$1' (see --help)" ;;
esac
VARIANT="$1" OPTIONS+=(--disable-gil --with-ensurepip=no --disable-test-modules)

# Fills STAGE/root with the interpreter, installed for PREFIX; prints the
# marker's description.
build_interpreter() {  # STAGE
    local stage="$1" log="$PREFIX.log" t0=$SECONDS
    note "building CPython 3.15 ($VARIANT: ${OPTIONS[*]}) into $PREFIX, output in $log"
    tar -xJf "$TARBALL" -C "$stage" || die "could not unpack $TARBALL"
    # PYTHON_FOR_BUILD=true turns the install's byte-compilation of the
    # standard library into a no-op; everything else it would run is
    # already up to date after make.
    (cd "$stage"/cpython-*/ && logged "$log" "building CPython 3.15 ($VARIANT) failed" \
        sh -c "./configure --prefix='$PREFIX' ${OPTIONS[*]} && make -j$JOBS && make install DESTDIR='$stage/dest' PYTHON_FOR_BUILD=true")
    mv "$stage/dest$PREFIX" "$stage/root" || die "make install left no $stage/dest$PREFIX"
    ln -sfn python3.15t "$stage/root/bin/python3"
    # The modules that pip, the tests and the benchmarks need.
    logged "$stage/check.log" "the new interpreter lacks a module or runs with the GIL" "$stage/root/bin/python3" -c \
        "import sys, sysconfig, ssl, zlib, ctypes, _decimal, hashlib, json, venv, ensurepip, sqlite3, bz2, lzma
assert sysconfig.get_config_var('Py_GIL_DISABLED') and not sys._is_gil_enabled()"
    [ "$VARIANT" = plain ] || ldd "$stage/root/bin/python3.15t" | grep -q libtsan \
        || die "the ThreadSanitizer build is not linked against libtsan"
    note "built $VARIANT in $((SECONDS - t0))s"
    echo "CPython 3.15.0a0 ($VARIANT) configured with ${OPTIONS[*]}, from $TARBALL (sha256 $TARBALL_SHA256), built $(date -u +%Y-%m-%dT%H:%M:%SZ)"
}

if ! prefix_complete "$PREFIX" "$LAYOUT"; then
    TARBALL="${VELTRIX_CPYTHON_TARBALL:-$ROOT/../shared/cpython/$TARBALL_NAME}"
    if [ -z "${VELTRIX_CPYTHON_TARBALL:-}" ] && [ ! -e "$TARBALL" ] \
        && common=$(git -C "$ROOT" rev-parse --path-format=absolute --git-common-dir 2>/dev/null); then
        TARBALL="$common/../../shared/cpython/$TARBALL_NAME"
    fi
    TARBALL=$(realpath -m "$TARBALL")
    [ -f "$TARBALL" ] || die "$TARBALL: no such file (expected sha256 $TARBALL_SHA256; set VELTRIX_CPYTHON_TARBALL)"
    actual=$(sha256sum "$TARBALL" | cut -d' ' -f1)
    [ "$actual" = "$TARBALL_SHA256" ] || die "$TARBALL: sha256 $actual, expected $TARBALL_SHA256"
    ensure_debs g++ make pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
    ensure_prefix "$PREFIX" "$LAYOUT" build_interpreter
fi
echo "$PREFIX/bin/python3"
