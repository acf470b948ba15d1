#!/usr/bin/env bash
# Builds into dist/ the sdist and one wheel per interpreter (CPython 3.13,
# 3.14, 3.15), from the unpacked sdist (a file the build needs but the sdist
# lacks fails here), each wheel repaired by auditwheel to the manylinux tag it
# qualifies for; then tests them as installed (README.md, "Building the
# wheels and the sdist").
#
#   scripts/build-dist.sh [--no-test]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

case "${1:-}" in "" | --no-test) ;; *) die "usage: scripts/build-dist.sh [--no-test]" ;; esac
VERSIONS=(3.13 3.14 3.15)
WORK="$ROOT/build/dist"

ensure_tools313  # the build environment of 3.13
for v in 3.14 3.15; do
    venv="$CACHE/venv-$v"
    # (one the interpreter does not see as an environment is made again)
    if ! "$venv/bin/python" -c 'import sys; assert sys.prefix != sys.base_prefix' 2>/dev/null; then
        say "creating a Python $v build environment in $venv"
        fresh_venv "$v" "$venv"
    fi
    pip_for "$venv" install "${BUILD_TOOLS[@]}" build || die "could not install the build tools into $venv"
done

rm -rf dist "$WORK"
mkdir -p dist "$WORK/wheels"

say "building the sdist"
logged "$WORK/sdist.log" "building the sdist failed" "$VENV/bin/python" -m build --sdist --no-isolation --outdir dist .
SDIST=$(ls dist/*.tar.gz)
NAME=$(basename "$SDIST" .tar.gz)

# Everything in the sdist is a source the build reads (the build files, the
# README and LICENSE the metadata names, src/ and python/), plus PKG-INFO;
# nothing that git ignores (build trees, caches, compiled files).
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    diff -u --label "expected" --label "$SDIST" \
        <( (git ls-files --cached --others --exclude-standard pyproject.toml CMakeLists.txt README.md LICENSE src python; echo PKG-INFO) | sort) \
        <(tar tzf "$SDIST" | sed -e "s|^$NAME/||" -e '/\/$/d' -e '/^$/d' | sort) \
        || die "the sdist holds other files than the build's sources (diff above)"
fi
tar xzf "$SDIST" -C "$WORK"

use_ccache  # the core library compiles once for the three wheels
ccache --zero-stats >/dev/null
for v in "${VERSIONS[@]}"; do
    say "building the CPython $v wheel"
    logged "$WORK/wheel-$v.log" "building the CPython $v wheel failed" \
        "$CACHE/venv-$v/bin/python" -m build --wheel --no-isolation --outdir "$WORK/wheels" "$WORK/$NAME"
done
ccache --print-stats | awk -F'\t' '
    $1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" { hits += $2 }
    $1 == "cache_miss" { misses = $2 }
    END { printf "ccache: %d hits, %d misses (%.0f%% hits)\n", hits, misses, hits + misses ? 100 * hits / (hits + misses) : 0 }'

# Each wheel gets the most compatible manylinux tag its symbol versions allow
# (auditwheel show's verdict), which cannot exceed this machine's glibc; a
# library outside the manylinux set would be grafted into the wheel.
GLIBC=$(getconf GNU_LIBC_VERSION | awk '{ print $2 }')
say "repairing the wheels with auditwheel (this machine's glibc: $GLIBC)"
for whl in "$WORK"/wheels/*.whl; do
    plat=$("$VENV/bin/auditwheel" show "$whl" 2>/dev/null | tr -s ' \n' ' ' |
        sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
    [ -n "$plat" ] || die "auditwheel show names no platform tag for $whl"
    echo "$(basename "$whl"): $plat"
    logged "$WORK/repair.log" "auditwheel repair failed for $whl" \
        env PATH="$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair --plat "$plat" -w dist "$whl"
done

say "dist/"
du -k dist/*
for whl in dist/*.whl; do
    printf '\n%s\n' "$(basename "$whl")"
    "$VENV/bin/auditwheel" show "$whl" | sed 's/^/    /'
done

[ "${1:-}" != --no-test ] || exit 0

# Installs the CPython $1 wheel alone into a fresh environment and runs the
# Python tests there, from the environment's folder: neither the checkout nor
# the current directory is on the path (-I), so veltrix.core is the installed
# copy. The 3.13 run also installs the wheel into environments of its own
# (beside another veltrix distribution; with a type checker).
test_wheel() {
    local v="$1" tag="cp${1/./}" whl env extra=()
    whl=$(ls dist/*-"$tag"-"$tag"-*.whl) || return 1
    env="$WORK/env-$v"
    [ "$v" != 3.13 ] || extra=(VELTRIX_WHEEL="$ROOT/$whl")
    echo "$(basename "$whl"), installed alone into $env"
    fresh_venv "$v" "$env" "pytest>=8" &&
        pip_for "$env" install --no-deps --no-index "$whl" &&
        (cd "$env" && check_installed "$env/bin/python" &&
            env "${extra[@]}" "$env/bin/python" -I -B -m pytest -q -p no:cacheprovider "$ROOT/tests/python")
}
lane() {  # versions, tested one after another
    local v
    for v; do test_wheel "$v" >"$WORK/test-$v.log" 2>&1 && echo 0 >"$WORK/test-$v.status" || echo 1 >"$WORK/test-$v.status"; done
}

# A test run keeps one core busy, so two lanes run at once: 3.13 (which also
# runs the installation tests) beside 3.14 then 3.15.
say "Python tests against the installed wheels: CPython 3.13, beside 3.14 then 3.15"
lane 3.13 &
lane 3.14 3.15 &
wait
failed=()
for v in "${VERSIONS[@]}"; do
    say "Python tests on CPython $v"
    cat "$WORK/test-$v.log"
    [ "$(cat "$WORK/test-$v.status")" = 0 ] || failed+=("$v")
done
[ ${#failed[@]} -eq 0 ] || die "the Python tests failed against the installed wheels of CPython ${failed[*]}"

say "installing the sdist into a fresh CPython 3.13 environment (builds it)"
env="$WORK/env-sdist"
fresh_venv 3.13 "$env"
# pip unpacks the sdist under TMPDIR: inside the checkout, where ccache's
# base directory applies, so this build shares the wheels' cached objects.
mkdir -p "$WORK/tmp"
TMPDIR="$WORK/tmp" logged "$WORK/sdist-install.log" "pip install $SDIST failed" pip_for "$env" install "$SDIST"
say "running the example against the package built from the sdist"
(cd "$env" && check_installed "$env/bin/python" && "$env/bin/python" -I "$ROOT/examples/pipeline.py" "$env/example-out") \
    || die "the example failed against the package built from the sdist"
