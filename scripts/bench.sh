#!/usr/bin/env bash
# Builds the module and the C++ benchmark programs (Release) in their own
# build directory, and the module for the free-threaded CPython 3.15 of
# scripts/free-threaded-python.sh (which builds the interpreter on first use)
# in another, then runs every benchmark: bench/run.py prints one table and
# writes it as JSON. The free_threaded figure runs on that interpreter, the
# others on CPython 3.13.
#
#   scripts/bench.sh [run.py options...]    e.g. --sizes 10000,100000 --runs 3
#
# VELTRIX_BENCH_BUILD picks the build directory (default build/bench; the
# free-threaded module's is the same with -free-threaded appended).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

PY="$(find_python313)"
ensure_build_tools
BUILD="${VELTRIX_BENCH_BUILD:-build/bench}"

say "building the module and the benchmark programs in $BUILD (Release)"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVELTRIX_PYTHON=ON -DVELTRIX_BENCH=ON \
    -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target veltrix_core bench_pipeline bench_store_threads argfloor

FT_PY="$(scripts/free-threaded-python.sh plain)"
say "building the module for the free-threaded CPython 3.15 in $BUILD-free-threaded (Release)"
cmake -S . -B "$BUILD-free-threaded" -DCMAKE_BUILD_TYPE=Release -DVELTRIX_PYTHON=ON -DPython_EXECUTABLE="$FT_PY" >/dev/null
cmake --build "$BUILD-free-threaded" -j"$JOBS" --target veltrix_core

# Private package directories: the Python package with the fresh extension.
stage_site "$BUILD-free-threaded"
FT_SITE="$SITE"
stage_site "$BUILD"
cp "$BUILD"/argfloor*.so "$SITE/"  # the benchmark's argument-handling floor

say "running the benchmarks (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
PYTHONPATH="$SITE" "$PY" bench/run.py --bench-bin "$BUILD" --free-threaded "$FT_PY" "$FT_SITE" "$@"
